// Arbitrary chunk collect file contents (long lines, carriage returns, no final line feed, any
// bytes) through the optical reader mode's opens: none may crash, each open takes the next line
// whole, cut at its line feed or carriage return, a name that does not fit its buffer is refused
// (never cut into another name), and the opens end once the lines do.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "MediaFileSystem/NTOptical.h"
#include "fuzz_seeds.h"
#include "platform/platform.h"

namespace {

class FuzzedOptical : public nt_fs_optical {
 public:
  using nt_fs_optical::nt_fs_optical;
  using nt_fs_optical::m_pCatalogFile;
};

// The names the opens must ask for: each line (the last one also without its line feed) up to its
// carriage return, as a C text; those that do not fit a name buffer are refused.
std::vector<std::string> ExpectedNames(const std::string& text, size_t& lines) {
  std::vector<std::string> names;
  lines = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    line = line.substr(0, line.find('\r'));
    line = std::string(line.c_str());
    ++lines;
    if (line.size() < nt_fs_optical::kNameBufferSize) names.push_back(line);
    at = end + 1;
  }
  return names;
}

// The logical drive's folder, the process's own, removed at exit.
struct Sandbox {
  Sandbox() {
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/mfs_ccf_fuzz_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) dir = pattern;
  }
  ~Sandbox() {
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
  std::string dir;
};

// Lists as the catalog writes them, and the shapes that readers of other systems leave.
std::vector<std::string> Seeds() {
  const std::string chunk = "/mnt/optical/OZ_MAGNETIC/V_12/CHUNK_345";
  return {chunk + "\n", chunk + "\n" + chunk + "6\n" + chunk + "7\n", chunk + "\r\n" + chunk + "8\r\n",
          chunk + "\n" + std::string(1100, 'x') + "\n" + chunk + "9", "\n\n" + chunk + "\n"};
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox sandbox;
  if (sandbox.dir.empty()) return 0;
  const std::string& kDisk = sandbox.dir;
  platform::ResetAll();
  platform::SetLogCaptureLimit(16);
  platform::OpticalLibrary().AddDrive(kDisk);
  // No file is really opened: the names are only recorded.
  platform::OpticalLibrary().Fail(kDisk, platform::OpticalFault{"open", 993, 1, -1, -1, 0});

  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t lines = 0;
  const std::vector<std::string> expected = ExpectedNames(text, lines);

  _JobContext job{1, 1};
  FuzzedOptical media(&job, kMediaTypeReader);
  MediaFsInitParams params;
  params.strPath = kDisk;
  params.iMediaType = kMediaTypeReader;
  if (media.Init(params, false) != 0) __builtin_trap();
  std::string copy = text;
  media.m_pCatalogFile = size == 0 ? nullptr : fmemopen(copy.data(), copy.size(), "r");
  if (size != 0 && media.m_pCatalogFile == nullptr) return 0;

  MediaFSArchiveFileId_t next;
  size_t opens = 0;
  while (media.Open(&next, false) != 0) {
    const long long error = media.MediaFSGetLastError();
    if (error == kMFSErrChunkCollectExhausted || error == kMFSErrNoChunkCollectFile ||
        error == kMFSErrChunkCollectLineUnreadable) {
      break;
    }
    if (++opens > lines + 1) {
      std::fprintf(stderr, "%zu opens of a list of %zu lines\n", opens, lines);
      __builtin_trap();
    }
  }
  const std::vector<platform::OpticalCall> asked = platform::OpticalLibrary().CallsOf("open");
  if (asked.size() != expected.size()) {
    std::fprintf(stderr, "%zu names asked for, %zu expected\n", asked.size(), expected.size());
    __builtin_trap();
  }
  for (size_t i = 0; i < asked.size(); ++i) {
    if (asked[i].name != expected[i] || asked[i].name.size() >= nt_fs_optical::kNameBufferSize) __builtin_trap();
  }
  if (media.m_pCatalogFile != nullptr) std::fclose(media.m_pCatalogFile);
  media.m_pCatalogFile = nullptr;
  return 0;
}
