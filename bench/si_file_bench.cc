// A restore through the single-instance file reader against pread(2): 1 GiB of 1 MiB objects in
// SFile containers of 256 MiB, each object reached with a seek (OpenDataFileAndSeek, which keeps
// the container open while the next object lies in it) and read in 64 KiB pieces (ReadData), and,
// as the baseline, the same byte ranges read with one pread(2) per piece from the container files,
// kept open. In one run, alternating which goes first. The files stay in the page cache: the
// comparison measures the reader's work, not the disk.
//
// The second benchmark reads the live half of compacted containers (every other object dropped,
// so each seek is translated through a map of about 128 runs) against pread(2) of the same
// physical ranges. Counters: MB per second of each way and `ratio` (reader / pread(2)).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SIFile.h"
#include "bench_chunk.h"
#include "fuzz/compacted_container_seeds.h"
#include "media_vs_syscalls.h"

namespace {

using benchchunk::BenchChunk;
using benchchunk::kObjectHeader;

constexpr size_t kObjectSize = 1 << 20;
constexpr unsigned int kPiece = 64 * 1024;
constexpr unsigned long long kCompactedChunk = 2;

// What one pass reads: per object its container, its logical offset and the physical offset of
// its range.
struct Range {
  unsigned int container;
  uint64_t logical;
  uint64_t physical;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the compaction of `container` that drops every other object into `copyPath`, as a
// compacting host writes it; the kept objects' ranges go to `ranges`.
void WriteCompacted(const std::string& container, const std::string& copyPath, unsigned int number,
                    const std::vector<benchchunk::Object>& objects, std::vector<Range>& ranges) {
  std::vector<std::pair<uint64_t, uint64_t>> holes;
  std::vector<uint64_t> live;
  bool drop = false;
  for (const benchchunk::Object& o : objects) {
    if (o.container != number) continue;
    if (drop) {
      holes.emplace_back(o.offset, kObjectHeader + kObjectSize);
    } else {
      live.push_back(o.offset);
    }
    drop = !drop;
  }
  const std::string copy = fuzz::CompactedContainer(ReadWhole(container), holes);
  std::ofstream out(copyPath, std::ios::binary | std::ios::trunc);
  out << copy;
  if (!out.flush()) std::abort();
  // The map as a reader loads it, for the physical ranges of the baseline.
  SCompactionMapHeader header{};
  header.uEntryCount = DecodeBE32(copy.data() + kCompactionMapHeaderOffset + 16);
  CSFileCompactionMap map;
  map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(copy.data() + kCompactionMapEntriesOffset), header);
  for (uint64_t logical : live) ranges.push_back(Range{number, logical, map.GetPhysicalOffset(logical, false)});
}

struct Setup {
  std::unique_ptr<BenchChunk> chunk;
  std::vector<Range> ranges;
  std::vector<std::string> paths;  // by container number
  unsigned long long chunkId = benchchunk::kChunkId;
};

// The reader's pass: a seek to each object, then 64 KiB reads of its range.
double ReaderPass(CSIFile& reader, const std::vector<Range>& ranges, std::vector<char>& dst) {
  const auto start = mediabench::Clock::now();
  for (const Range& r : ranges) {
    if (reader.OpenDataFileAndSeek(0, r.container, r.logical, 0) != 0) return -1;
    for (size_t done = 0; done < kObjectHeader + kObjectSize; done += kPiece) {
      const unsigned int want = static_cast<unsigned int>(std::min<size_t>(kPiece, kObjectHeader + kObjectSize - done));
      if (reader.ReadData(dst.data(), want) != want) return -1;
    }
  }
  benchmark::DoNotOptimize(dst.data());
  return mediabench::Seconds(start);
}

double PreadPass(const std::vector<int>& fds, const std::vector<Range>& ranges, std::vector<char>& dst) {
  const auto start = mediabench::Clock::now();
  for (const Range& r : ranges) {
    for (size_t done = 0; done < kObjectHeader + kObjectSize; done += kPiece) {
      const size_t want = std::min<size_t>(kPiece, kObjectHeader + kObjectSize - done);
      if (pread(fds[r.container], dst.data(), want, static_cast<off_t>(r.physical + done)) !=
          static_cast<ssize_t>(want)) {
        return -1;
      }
    }
  }
  benchmark::DoNotOptimize(dst.data());
  return mediabench::Seconds(start);
}

void Run(benchmark::State& state, bool compacted) {
  platform::SetLogCaptureLimit(64);
  Setup s;
  s.chunk = std::make_unique<BenchChunk>(kObjectSize, "mfs-sifile-bench");
  if (!s.chunk->ok()) {
    state.SkipWithError("no folder for the chunk");
    return;
  }
  s.paths = s.chunk->paths();
  if (compacted) {
    s.chunkId = kCompactedChunk;
    const std::string dir = path_append(s.chunk->volume(), SingleInstancer_FS::GetChunkDirName(kCompactedChunk));
    std::filesystem::create_directories(dir);
    for (unsigned int n = 0; n < s.paths.size(); ++n) {
      const std::string copy = path_append(dir, SingleInstancer_FS::GetSFileContainerName(n));
      WriteCompacted(s.paths[n], copy, n, s.chunk->objects(), s.ranges);
      s.paths[n] = copy;
    }
  } else {
    for (const benchchunk::Object& o : s.chunk->objects()) s.ranges.push_back(Range{o.container, o.offset, o.offset});
  }

  _OzLogDef log{};
  InitOZlog(&log, "SIBENCH", "restore", 1);
  CSIFile reader(&log);
  CFSInitParams params;
  params.m_Host.m_Path = s.chunk->mountPath();
  if (reader.Init(&params, s.chunkId, benchchunk::kVolId, false) != 0) std::abort();
  std::vector<int> fds;
  for (const std::string& path : s.paths) fds.push_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<char> dst(kPiece);
  const size_t bytes = s.ranges.size() * (kObjectHeader + kObjectSize);
  mediabench::Compare(
      state, bytes, "sifile", [&] { return ReaderPass(reader, s.ranges, dst); },
      [&] { return PreadPass(fds, s.ranges, dst); }, "pread");
  for (int fd : fds) close(fd);
}

void BM_SIFile_ReadVsPread(benchmark::State& state) { Run(state, false); }
void BM_SIFile_CompactedReadVsPread(benchmark::State& state) { Run(state, true); }

BENCHMARK(BM_SIFile_ReadVsPread)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_SIFile_CompactedReadVsPread)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

}  // namespace
