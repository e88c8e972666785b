// The restore of a deduplicated chunk through the store against pread(2): 1 GiB of objects of one
// size (64 KiB or 1 MiB) in SFile containers of 256 MiB, each object read as a restore reads it
// (OpenDataFile2 at its offset, which checks its 16-byte header, then ReadFromDataFile of its
// data) and, as the baseline, with one pread(2) of the same byte range (header and data) from the
// container files, kept open. Both ways read every object of the chunk in turns, alternating
// which goes first, in container order (sequential) and in a random order of the objects.
// The files, written where MFS_BENCH_DIR says (by default "bench-data" in the build folder), stay
// in the page cache: the comparison measures the store's work, not the disk. Counters: bytes per
// second of each way and their ratio (store throughput / pread(2) throughput).

#include "bench_chunk.h"
#include "bench_dir.h"
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"
#include "platform/logging.h"

namespace {

using benchchunk::BenchChunk;
using benchchunk::kChunkId;
using benchchunk::kDataBytes;
using benchchunk::kObjectHeader;
using benchchunk::kVolId;
using benchchunk::Object;

using Clock = std::chrono::steady_clock;

// A restore's store, with the chunk open.
struct RestoreStore {
  explicit RestoreStore(const BenchChunk& chunk) {
    CFSInitParams params;
    params.m_Host.m_Path = chunk.mountPath();
    store = std::make_unique<SingleInstancer_FS>(&job, params, true, 0);
    reserve.m_blockSizeKB = 64;
    MediaFsInitParams init;
    init.iVolId = kVolId;
    init.iTHId = 2;
    init.strPath = chunk.volume();
    init.pMlm = &mlm;
    init.iMediaType = 1;
    init.pReserveMount = &reserve;
    if (store->Init(init, false) != 0) std::abort();
    MediaFSArchiveFileId_t id;
    id.llChunkId = kChunkId;
    id.iChunkVersion = 3;
    if (store->Open(&id, false) != 0) std::abort();
  }
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  std::unique_ptr<SingleInstancer_FS> store;
};

double StorePass(const BenchChunk& chunk, SingleInstancer_FS& store, const std::vector<size_t>& order,
                 std::vector<char>& dst) {
  const long size = static_cast<long>(chunk.objectSize());
  auto start = Clock::now();
  for (size_t i : order) {
    const Object& o = chunk.objects()[i];
    if (store.OpenDataFile2(chunk.paths()[o.container].c_str(), o.offset) != 0 ||
        store.ReadFromDataFile(dst.data(), size) != size) {
      std::abort();
    }
  }
  benchmark::DoNotOptimize(dst.data());
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double PreadPass(const BenchChunk& chunk, const std::vector<int>& fds, const std::vector<size_t>& order,
                 std::vector<char>& dst) {
  const size_t range = kObjectHeader + chunk.objectSize();
  auto start = Clock::now();
  for (size_t i : order) {
    const Object& o = chunk.objects()[i];
    if (pread(fds[o.container], dst.data(), range, static_cast<off_t>(o.offset)) != static_cast<ssize_t>(range)) {
      std::abort();
    }
  }
  benchmark::DoNotOptimize(dst.data());
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_Restore_StoreVsPread(benchmark::State& state) {
  const size_t objectSize = static_cast<size_t>(state.range(0));
  const bool random = state.range(1) != 0;
  platform::SetLogCaptureLimit(64);  // a line per object opened: keep the in-process capture small
  BenchChunk chunk(objectSize);
  if (!chunk.ok()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::vector<size_t> order(chunk.objects().size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (random) std::shuffle(order.begin(), order.end(), std::mt19937(11));

  RestoreStore restore(chunk);
  std::vector<int> fds;
  for (const std::string& path : chunk.paths()) fds.push_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<char> dst(kObjectHeader + objectSize);
  // Both ways once, untimed: the same bytes, and warm caches.
  StorePass(chunk, *restore.store, order, dst);
  PreadPass(chunk, fds, order, dst);

  double storeSeconds = 0, preadSeconds = 0;
  int turn = 0;
  for (auto _ : state) {
    double s, p;
    if (turn++ % 2 == 0) {
      s = StorePass(chunk, *restore.store, order, dst);
      p = PreadPass(chunk, fds, order, dst);
    } else {
      p = PreadPass(chunk, fds, order, dst);
      s = StorePass(chunk, *restore.store, order, dst);
    }
    storeSeconds += s;
    preadSeconds += p;
    state.SetIterationTime(s + p);
  }
  for (int fd : fds) close(fd);
  const double bytes = static_cast<double>(kDataBytes) * static_cast<double>(state.iterations());
  state.counters["store_bytes_per_second"] = bytes / storeSeconds;
  state.counters["pread_bytes_per_second"] = bytes / preadSeconds;
  state.counters["ratio"] = preadSeconds / storeSeconds;
}

BENCHMARK(BM_Restore_StoreVsPread)
    ->ArgNames({"object", "random"})
    ->Args({65536, 0})
    ->Args({1048576, 0})
    ->Args({65536, 1})
    ->Args({1048576, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(6);

}  // namespace
