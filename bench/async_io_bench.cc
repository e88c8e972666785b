// Read-ahead through the three read managers against a plain loop of pread(2), in the same run:
// a 1 GiB file in the page cache read front to back in blocks of 1 MiB (and 64 KiB) with 8 slots
// in flight. The readers take turns of 64 MiB, so that a change of the machine's speed falls on
// all alike. Counters: bytes per second of the manager (manager_Bps), of pread(2) into one buffer
// (pread_Bps) and into 8 buffers in turn (pread_8buf_Bps: the memory that 8 slots stage into), the
// ratios of the manager's throughput to each (ratio, ratio_8buf) and their medians over the turns
// (median_turn_ratio, median_turn_ratio_8buf), which a moment of another process's load on the
// machine does not move. BM_NativeDirect reads with O_DIRECT on a disk folder (MFS_BENCH_DIR,
// else TMPDIR, /var/tmp or /tmp) against pread(2) of a descriptor opened with O_DIRECT, and is
// skipped where no folder takes direct I/O.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"

namespace {

constexpr uint64_t kFileSize = 1ull << 30;
constexpr uint64_t kTurn = 64ull << 20;
constexpr int kInFlight = 8;
constexpr uint32_t kMountPath = 1;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A folder on a disk file system (direct I/O needs one; the cached reads do not mind).
std::string BenchFolder() {
  std::vector<std::string> candidates;
  for (const char* env : {"MFS_BENCH_DIR", "TMPDIR"}) {
    const char* value = getenv(env);
    if (value != nullptr && *value != '\0') candidates.emplace_back(value);
  }
  candidates.insert(candidates.end(), {"/var/tmp", "/tmp"});
  for (const std::string& dir : candidates) {
    struct statfs fs {};
    if (statfs(dir.c_str(), &fs) == 0 && fs.f_type != TMPFS_MAGIC) return dir;
  }
  return "/tmp";
}

// The 1 GiB file, written once and read once so that it sits in the page cache; removed at exit.
const std::string& TestFile() {
  static std::string path = [] {
    std::string pattern = BenchFolder() + "/mfs-aio-bench-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) std::abort();
    std::vector<char> chunk(8 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    for (uint64_t at = 0; at < kFileSize; at += chunk.size()) {
      if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
    }
    fsync(fd);
    for (uint64_t at = 0; at < kFileSize; at += chunk.size()) {
      if (pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(at)) <= 0) std::abort();
    }
    close(fd);
    return pattern;
  }();
  // Removed at exit by a copy of the name: the string above is destroyed before a handler
  // registered inside its initialisation runs.
  static char removeAtExit[4096] = {};
  if (removeAtExit[0] == '\0' && path.size() < sizeof(removeAtExit)) {
    std::memcpy(removeAtExit, path.c_str(), path.size() + 1);
    std::atexit([] { unlink(removeAtExit); });
  }
  return path;
}

bool DirectIoWorks(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Reads [start, start + bytes) with pread(2) of `block` bytes into the buffers in turn; seconds
// taken.
double PreadTurn(int fd, const std::vector<unsigned char*>& buffers, uint32_t block, uint64_t start,
                 uint64_t bytes) {
  auto t = Clock::now();
  size_t i = 0;
  for (uint64_t at = start; at < start + bytes; at += block, ++i) {
    if (pread(fd, buffers[i % buffers.size()], block, static_cast<off_t>(at)) != static_cast<ssize_t>(block)) {
      std::abort();
    }
  }
  return Since(t);
}

// Reads [start, start + bytes) through the manager with kInFlight slots in flight; `name` fills
// in the file of a slot. Seconds taken.
double ManagerTurn(CAsyncIoManager2& mgr, const std::function<void(IoSlot*)>& name, uint32_t block, uint64_t start,
                   uint64_t bytes) {
  auto t = Clock::now();
  std::deque<IoSlot*> window;
  uint64_t next = start;
  const uint64_t end = start + bytes;
  while (next < end || !window.empty()) {
    while (window.size() < kInFlight && next < end) {
      IoSlot* slot = mgr.AllocateSlot(kMountPath);
      if (slot == nullptr) std::abort();
      name(slot);
      slot->ullOffset = next;
      if (mgr.SubmitRead(slot, 0, false, nullptr) != 0) std::abort();
      window.push_back(slot);
      next += block;
    }
    IoSlot* slot = window.front();
    window.pop_front();
    slot->WaitForIO(true);
    if (slot->LastError.IsFailure() || slot->ullBytesRead != block) std::abort();
    mgr.FreeSlot(slot);
  }
  return Since(t);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The whole file three ways, turn by turn: through the manager, with pread(2) into one buffer
// (the plain loop) and with pread(2) into as many buffers as slots are in flight (the memory the
// manager stages into). In a turn the three read ranges a third of the file apart, so that none
// finds its range still in the processor's cache from another reader: between two reads of a
// range lie about 1 GiB of other reads. The order of the three rotates from turn to turn.
void Compare(benchmark::State& state, CAsyncIoManager2& mgr, const std::function<void(IoSlot*)>& name, int preadFd,
             uint32_t block) {
  std::vector<unsigned char*> buffers;
  for (int i = 0; i < kInFlight; ++i) {
    void* raw = nullptr;
    if (posix_memalign(&raw, 4096, block) != 0) std::abort();
    std::memset(raw, 0, block);
    buffers.push_back(static_cast<unsigned char*>(raw));
  }
  const std::vector<unsigned char*> one{buffers[0]};
  constexpr uint64_t kTurns = kFileSize / kTurn;
  constexpr int kReaders = 3;  // 0: the manager, 1: pread(2) into one buffer, 2: into 8
  double seconds[kReaders] = {0, 0, 0};
  std::vector<double> turnRatios;
  std::vector<double> turnRatios8;
  for (auto _ : state) {
    double iteration = 0;
    for (uint64_t turn = 0; turn < kTurns; ++turn) {
      double taken[kReaders] = {0, 0, 0};
      for (int k = 0; k < kReaders; ++k) {
        const int reader = static_cast<int>((turn + k) % kReaders);
        const uint64_t start = ((turn + reader * kTurns / kReaders) % kTurns) * kTurn;
        if (reader == 0) {
          taken[0] = ManagerTurn(mgr, name, block, start, kTurn);
        } else {
          taken[reader] = PreadTurn(preadFd, reader == 1 ? one : buffers, block, start, kTurn);
        }
      }
      for (int r = 0; r < kReaders; ++r) seconds[r] += taken[r];
      turnRatios.push_back(taken[1] / taken[0]);
      turnRatios8.push_back(taken[2] / taken[0]);
      iteration += taken[0];
    }
    state.SetIterationTime(iteration);
  }
  for (unsigned char* buffer : buffers) free(buffer);
  double bytes = static_cast<double>(kFileSize) * static_cast<double>(state.iterations());
  state.counters["manager_Bps"] = bytes / seconds[0];
  state.counters["pread_Bps"] = bytes / seconds[1];
  state.counters["ratio"] = seconds[1] / seconds[0];
  state.counters["median_turn_ratio"] = Median(turnRatios);
  state.counters["pread_8buf_Bps"] = bytes / seconds[2];
  state.counters["ratio_8buf"] = seconds[2] / seconds[0];
  state.counters["median_turn_ratio_8buf"] = Median(turnRatios8);
}

int OpenForPread(bool direct) {
  int fd = open(TestFile().c_str(), O_RDONLY | O_CLOEXEC | (direct ? O_DIRECT : 0));
  if (fd < 0) std::abort();
  return fd;
}

void NativeRun(benchmark::State& state, bool direct) {
  const uint32_t block = static_cast<uint32_t>(state.range(0)) * 1024;
  if (direct && !DirectIoWorks(TestFile())) {
    state.SkipWithError("no folder on a disk file system takes O_DIRECT here");
    return;
  }
  CAsyncIoManager2 mgr;
  mgr.InitializeMgr(nullptr, nullptr, block);
  int fd = mgr.OpenForNativeAsyncRead(TestFile().c_str(), direct, nullptr);
  if (fd < 0) std::abort();
  int preadFd = OpenForPread(direct);
  Compare(state, mgr, [fd](IoSlot* slot) { slot->nFd = fd; }, preadFd, block);
  mgr.DeInitializeMgr();
  mgr.Close(fd);
  close(preadFd);
}

void BM_Native(benchmark::State& state) { NativeRun(state, false); }
void BM_NativeDirect(benchmark::State& state) { NativeRun(state, true); }

void BM_NonOvl(benchmark::State& state) {
  const uint32_t block = static_cast<uint32_t>(state.range(0)) * 1024;
  CSimulatedIoNonOvlMgr mgr;
  mgr.InitializeMgr(nullptr, nullptr, block, kInFlight, kInFlight);
  mgr.IncrementReaderCount(false);
  CFileInterface* ifc = nullptr;
  CFSInitParams params;
  if (mgr.OpenForAsyncRead(TestFile().c_str(), params, &ifc).IsFailure()) std::abort();
  int preadFd = OpenForPread(false);
  Compare(state, mgr, [ifc](IoSlot* slot) { slot->pFileIfc = ifc; }, preadFd, block);
  mgr.DecrementReaderCount();
  mgr.DeInitializeMgr();
  mgr.Close(ifc);
  close(preadFd);
}

void BM_Ovl(benchmark::State& state) {
  const uint32_t block = static_cast<uint32_t>(state.range(0)) * 1024;
  CSimulatedIoOvlMgr mgr;
  mgr.InitializeMgr(nullptr, nullptr, block, 32);
  CFSInitParams params;
  params.m_MountPathId = kMountPath;
  mgr.SetFSInitParams(params);
  mgr.IncrementReaderCount(false);
  const char* path = TestFile().c_str();
  int preadFd = OpenForPread(false);
  Compare(state, mgr, [path](IoSlot* slot) { slot->pszPath = path; }, preadFd, block);
  mgr.DecrementReaderCount();
  mgr.DeInitializeMgr();
  close(preadFd);
}

BENCHMARK(BM_Native)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_NonOvl)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Ovl)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_NativeDirect)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
