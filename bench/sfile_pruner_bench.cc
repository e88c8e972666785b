// The chunk pruner against the plain work it does, in one run, on the benchmarks' folder:
//
// - BM_Finalize_VsPunchHoles: Finalize of a chunk whose 1 GiB container holds 1,000 pruned runs of
//   128 KiB to 1 MiB between valid objects, against fallocate(PUNCH_HOLE | KEEP_SIZE) over the same
//   ranges of an equal file and one fsync(2). Before each round, outside the timing, both files get
//   their bytes back and the index its entries as pruned and not yet drilled.
// - BM_PruneEntry_VsSearchAndUpdate: PruneEntry over the keys of a container index of a million
//   records against CIndexFile::SearchEntry and UpdateEntry of the same keys in a copy of it.
//
// Counters of both: each road's rate, `ratio` (the plain road's time over the pruner's) and
// `median_ratio`.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "bench_dir.h"
#include "media_vs_syscalls.h"
#include "platform/platform.h"

namespace {

using mediabench::Clock;
using mediabench::Seconds;
using SfileIndex = SingleInstancer_FS::SfileIndex;

constexpr uint64_t kContainerBytes = 1ull << 30;
constexpr int kRanges = 1000;
constexpr unsigned long long kChunkId = 1;

struct Range {
  uint64_t offset;
  uint64_t length;
};

// A chunk folder with one container and its index: valid objects between pruned runs.
struct Chunk {
  std::string mountPath;
  std::string dir;
  std::string container;
  std::string index;
  std::string plain;  // the baseline's copy of the container
  std::vector<Range> pruned;
  std::string indexBytes;  // the index as pruned and not drilled

  explicit Chunk(const std::string& root) {
    mountPath = root + "/OZ_MAGNETIC";
    dir = mountPath + "/V_1/CHUNK_1";
    std::filesystem::create_directories(dir);
    container = dir + "/SFILE_CONTAINER_000";
    index = dir + "/SFILE_CONTAINER.idx";
    plain = root + "/plain";
    std::mt19937_64 rng(5);
    std::vector<uint64_t> pruneLength(kRanges);
    uint64_t prunedTotal = 0;
    for (uint64_t& l : pruneLength) prunedTotal += (l = (128 + rng() % 897) * 1024);
    const uint64_t validLength = (kContainerBytes - 128 - prunedTotal) / kRanges;
    CFSInitParams params;
    SfileIndex idx(&params, nullptr);
    SfileIndex::Options options{false, true, true};
    if (idx.Create(index, options).IsFailure()) return;
    uint64_t at = 128, key = 0;
    auto add = [&](uint64_t length, bool valid) {
      SSfileContainerIndexEntry r{};
      r.Key = ++key;
      r.DataFileOffset = at;
      r.DataLength = length;
      r.Flags = valid ? FLAG_SFILE_ENTRY_VALID : 0;
      (void)idx.AddEntry(&r);
      at += length;
    };
    for (int i = 0; i < kRanges; ++i) {
      pruned.push_back(Range{at, pruneLength[i]});
      add(pruneLength[i], false);
      add(i + 1 == kRanges ? kContainerBytes - at : validLength, true);
    }
    (void)idx.Close();
    indexBytes = Read(index);
    std::vector<char> block(1 << 20, 'd');
    std::vector<char> first = block;  // the container header: "SFILHDR", version 1
    std::memset(first.data(), 0, 128);
    std::memcpy(first.data(), "SFILHDR", 8);
    first[11] = 1;
    for (const std::string& path : {container, plain}) {
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      for (uint64_t done = 0; done < kContainerBytes; done += block.size()) {
        (void)!write(fd, done == 0 ? first.data() : block.data(), block.size());
      }
      fsync(fd);
      close(fd);
    }
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The punched ranges written again, and the index as before the pruner ran.
  bool Restore(const std::string& path) const {
    std::vector<char> bytes(1 << 20, 'd');
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    for (const Range& r : pruned) {
      if (pwrite(fd, bytes.data(), r.length, static_cast<off_t>(r.offset)) != static_cast<ssize_t>(r.length)) {
        close(fd);
        return false;
      }
    }
    fsync(fd);
    close(fd);
    std::ofstream out(index, std::ios::binary | std::ios::trunc);
    out.write(indexBytes.data(), static_cast<std::streamsize>(indexBytes.size()));
    return static_cast<bool>(out.flush());
  }
};

void BM_Finalize_VsPunchHoles(benchmark::State& state) {
  platform::ResetAll();
  platform::SetRealSleep(true);
  platform::SetRealClock(true);
  platform::SetLogCaptureLimit(64);
  bench::TempDir dir("sfile-pruner");
  Chunk chunk(dir.path());
  CFSInitParams params;
  auto pruner = [&]() -> double {
    if (!chunk.Restore(chunk.container)) return -1;
    CSFilePruner p(&params, nullptr, nullptr, 0);
    if (p.OpenSfileIdx(1, chunk.mountPath, 1, kChunkId) != 0) return -1;
    bool empty = false;
    const auto start = Clock::now();
    if (p.Finalize(empty) != 0) return -1;
    return Seconds(start);
  };
  auto plain = [&]() -> double {
    if (!chunk.Restore(chunk.plain)) return -1;
    const auto start = Clock::now();
    const int fd = open(chunk.plain.c_str(), O_RDWR);
    if (fd < 0) return -1;
    for (const Range& r : chunk.pruned) {
      if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(r.offset),
                    static_cast<off_t>(r.length)) != 0) {
        return close(fd), -1;
      }
    }
    if (fsync(fd) != 0) return close(fd), -1;
    close(fd);
    return Seconds(start);
  };
  uint64_t holeBytes = 0;
  for (const Range& r : chunk.pruned) holeBytes += r.length;
  mediabench::Compare(state, holeBytes, "finalize", pruner, plain, "punch");
}
BENCHMARK(BM_Finalize_VsPunchHoles)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_PruneEntry_VsSearchAndUpdate(benchmark::State& state) {
  platform::ResetAll();
  platform::SetRealSleep(true);
  platform::SetRealClock(true);
  platform::SetLogCaptureLimit(64);
  bench::TempDir dir("sfile-prune-entry");
  const uint64_t records = static_cast<uint64_t>(state.range(0));
  const std::string mountPath = dir.path() + "/OZ_MAGNETIC";
  const std::string chunkDir = mountPath + "/V_1/CHUNK_1";
  const std::string copyDir = dir.path() + "/copy";
  std::filesystem::create_directories(chunkDir);
  std::filesystem::create_directories(copyDir);
  CFSInitParams params;
  {
    SfileIndex idx(&params, nullptr);
    SfileIndex::Options options{false, true, true};
    if (idx.Create(chunkDir + "/SFILE_CONTAINER.idx", options).IsFailure()) return state.SkipWithError("create");
    for (uint64_t k = 1; k <= records; ++k) {
      SSfileContainerIndexEntry r{};
      r.Key = k;
      r.DataFileOffset = 128 + k * 100;
      r.DataLength = 100;
      r.ContainerNo = static_cast<uint32_t>(k / 1000);
      r.Flags = FLAG_SFILE_ENTRY_VALID;
      (void)idx.AddEntry(&r);
    }
    (void)idx.Close();
  }
  std::filesystem::copy_file(chunkDir + "/SFILE_CONTAINER.idx", copyDir + "/SFILE_CONTAINER.idx");
  std::vector<uint32_t> keys(records);
  for (uint64_t k = 0; k < records; ++k) keys[k] = static_cast<uint32_t>(k + 1);
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(9));

  CSFilePruner pruner(&params, nullptr, nullptr, 0);
  if (pruner.OpenSfileIdx(1, mountPath, 1, kChunkId) != 0) return state.SkipWithError("open");
  SfileIndex plainIdx(&params, nullptr);
  SfileIndex::Options options{false, true, true, true};
  if (plainIdx.Open(copyDir + "/SFILE_CONTAINER.idx", 2, options).IsFailure()) return state.SkipWithError("open copy");

  auto media = [&]() -> double {
    const auto start = Clock::now();
    for (uint32_t k : keys) {
      if (pruner.PruneEntry(k, 0) != 0) return -1;
    }
    return Seconds(start);
  };
  auto plain = [&]() -> double {
    const auto start = Clock::now();
    for (uint32_t k : keys) {
      SSfileContainerIndexEntry e{};
      int64_t pos = -1, lo = 0, hi = static_cast<int64_t>(plainIdx.m_Header.TotalEntries) - 1;
      if (plainIdx.SearchEntry(k, &e, &pos, lo, hi).IsFailure() || pos < 0) return -1;
      e.Flags &= ~FLAG_SFILE_ENTRY_VALID;
      if (plainIdx.UpdateEntry(pos, &e).IsFailure()) return -1;
    }
    return Seconds(start);
  };
  mediabench::Compare(state, records * sizeof(SSfileContainerIndexEntry), "prune_entry", media, plain,
                      "search_update");
  state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_PruneEntry_VsSearchAndUpdate)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
