// The example host: a backup and restore as a data mover does them with this library. It reads
// the options, chooses the roads (the kinds of media the backup goes to; all of them in turn by
// default) and runs them.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo_host.h"
#include "platform/logging.h"

extern "C" const char* MediaFileSystemVersion();

namespace {

const DemoRoad kRoads[] = {
    {"disk", "chunks as files on a disk mount path", &RunDiskRoad},
    {"dedup", "a deduplicated chunk in the single-instance store", &RunDedupRoad},
    {"appliance", "chunks on a dedup appliance's stand-in, then again as clones, copies and new data in each chunk", &RunApplianceRoad},
};

// Log lines the process keeps in memory; the log file, when set, gets them all.
constexpr size_t kKeptLogLines = 10000;

void PrintHelp() {
  std::printf(
      "Usage: mfs_demo [OPTIONS] [FOLDER]\n"
      "\n"
      "Backs up FOLDER (or, without one, a generated stream of files) with the media file system\n"
      "library on each road, reads it back, checks that every byte came back and prints what was\n"
      "done: each road restores its chunks through a second media object, as a restore job\n"
      "opens them (the dedup road through a second store object, which reads every block from\n"
      "its SFile containers). The media manager and the job manager are the library's stand-ins.\n"
      "\n"
      "Options:\n"
      "  --road NAME        where the backup goes (default all, each road in turn):\n");
  for (const DemoRoad& road : kRoads) std::printf("                       %-9s %s\n", road.name, road.summary);
  std::printf(
      "  --mount-path DIR   mount path to back up to, kept afterwards; each run adds a volume\n"
      "                     folder V_<n> (default: a temporary folder, removed)\n"
      "  --restore-to DIR   folder for the restored files, kept afterwards (default: a\n"
      "                     temporary folder, removed)\n"
      "  --size MB          size of the generated stream (default 64)\n"
      "  --chunk-mb MB      largest chunk (default 16)\n"
      "  --block-kb KB      volume block size (default 64)\n"
      "  -h, --help         this help\n"
      "\n"
      "Set MFS_LOG_FILE=FILE to keep the library's log. Exit status: 0 when every byte came\n"
      "back, 1 when the backup or restore failed, 2 for a wrong command line.\n");
}

bool ParseNumber(const char* text, unsigned long long low, unsigned long long high, unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value < low || value > high) return false;
  out = value;
  return true;
}

// 0 with the options filled, 2 for a wrong command line, -1 when the help was asked for.
int ParseOptions(int argc, char** argv, DemoOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return -1;
    const bool takesValue = arg == "--road" || arg == "--mount-path" || arg == "--restore-to" || arg == "--size" ||
                            arg == "--chunk-mb" || arg == "--block-kb";
    if (takesValue) {
      if (i + 1 == argc) {
        std::fprintf(stderr, "mfs_demo: %s needs a value (see --help)\n", arg.c_str());
        return 2;
      }
      const char* value = argv[++i];
      unsigned long long number = 0;
      bool ok = true;
      if (arg == "--road") {
        options.road = value;
      } else if (arg == "--mount-path") {
        options.mountPath = value;
      } else if (arg == "--restore-to") {
        options.restoreTo = value;
      } else if (arg == "--size") {
        ok = ParseNumber(value, 0, 1ULL << 30, number);
        options.generateMB = number;
      } else if (arg == "--chunk-mb") {
        ok = ParseNumber(value, 1, 1ULL << 20, number);
        options.chunkMB = number;
      } else {
        ok = ParseNumber(value, 1, 65536, number);
        options.blockKB = static_cast<int>(number);
      }
      if (!ok) {
        std::fprintf(stderr, "mfs_demo: %s %s is not a valid value (see --help)\n", arg.c_str(), value);
        return 2;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "mfs_demo: unknown option %s (see --help)\n", arg.c_str());
      return 2;
    }
    if (!options.source.empty()) {
      std::fprintf(stderr, "mfs_demo: one folder at a time (see --help)\n");
      return 2;
    }
    options.source = arg;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  DemoOptions options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed == -1) {
    PrintHelp();
    return 0;
  }
  if (parsed != 0) return parsed;

  std::vector<const DemoRoad*> roads;
  for (const DemoRoad& r : kRoads) {
    if (options.road == r.name || options.road == "all") roads.push_back(&r);
  }
  if (roads.empty()) {
    std::fprintf(stderr, "mfs_demo: unknown road %s (see --help)\n", options.road.c_str());
    return 2;
  }

  platform::SetLogCaptureLimit(kKeptLogLines);
  std::printf("media file system library %s: example host\n", MediaFileSystemVersion());
  std::string error;
  const auto source = BackupSource::FromOptions(options, error);
  if (source == nullptr) {
    std::printf("FAILED: %s\n", error.c_str());
    return 1;
  }
  int status = 0;
  for (const DemoRoad* road : roads) {
    if (road != roads.front()) std::printf("\n");
    status |= road->run(options, *source);
  }
  std::printf("%s\n", status == 0 ? "backup and restore passed" : "backup and restore FAILED");
  return status;
}
