// Read-ahead through the three read managers against a plain loop of pread(2), in the same run:
// a 1 GiB file in the page cache read front to back in blocks of 1 MiB (and 64 KiB) with 8 slots
// in flight. The readers take turns of 64 MiB, so that a change of the machine's speed falls on
// all alike. Counters: bytes per second of the manager (manager_Bps), of pread(2) into one buffer
// (pread_Bps) and into 8 buffers in turn (pread_8buf_Bps: the memory that 8 slots stage into), the
// ratios of the manager's throughput to each (ratio, ratio_8buf) and their medians over the turns
// (median_turn_ratio, median_turn_ratio_8buf), which a moment of another process's load on the
// machine does not move. The native manager is also compared with a bare loop of aio_read64 and
// aio_suspend64 with as many reads in flight (aio_Bps, ratio_aio): the most POSIX AIO gives; the
// non-overlapped manager with one thread that reads in order and wakes the host per read
// (handoff_Bps, ratio_handoff).
// BM_NativeDirect reads with O_DIRECT against reads of a descriptor opened with O_DIRECT, and is
// skipped where the folder does not take direct I/O. Files go where MFS_BENCH_DIR says (by
// default "bench-data" in the build folder).

#include "bench_dir.h"
#include <benchmark/benchmark.h>
#include <aio.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"
#include "platform/threads.h"

namespace {

constexpr uint64_t kFileSize = 1ull << 30;
constexpr uint64_t kTurn = 64ull << 20;
constexpr int kInFlight = 8;
constexpr uint32_t kMountPath = 1;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A folder on a disk file system (direct I/O needs one; the cached reads do not mind).
std::string BenchFolder() { return bench::BaseDir(); }

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

// Reads [start, start + bytes) in blocks with kInFlight reads in flight, waiting for the oldest
// before the next starts: `submit(i, offset)` starts a read in place i (0 to kInFlight - 1, in
// turn), `collect(i)` waits for the read in place i and checks it. Seconds taken.
template <typename Submit, typename Collect>
double WindowTurn(uint32_t block, uint64_t start, uint64_t bytes, Submit submit, Collect collect) {
  auto t = Clock::now();
  std::deque<size_t> window;
  uint64_t next = start;
  const uint64_t end = start + bytes;
  size_t place = 0;
  while (next < end || !window.empty()) {
    while (window.size() < kInFlight && next < end) {
      submit(place, next);
      window.push_back(place);
      place = (place + 1) % kInFlight;
      next += block;
    }
    collect(window.front());
    window.pop_front();
  }
  return Since(t);
}

// Reads [start, start + bytes) through the manager; `name` fills in the file of a slot. Seconds
// taken.
double ManagerTurn(CAsyncIoManager2& mgr, const std::function<void(IoSlot*)>& name, uint32_t block, uint64_t start,
                   uint64_t bytes) {
  IoSlot* slots[kInFlight] = {};
  auto submit = [&](size_t place, uint64_t offset) {
    IoSlot* slot = mgr.AllocateSlot(kMountPath);
    if (slot == nullptr) std::abort();
    name(slot);
    slot->ullOffset = offset;
    if (mgr.SubmitRead(slot, 0, false, nullptr) != 0) std::abort();
    slots[place] = slot;
  };
  auto collect = [&](size_t place) {
    IoSlot* slot = slots[place];
    slot->WaitForIO(true);
    if (slot->LastError.IsFailure() || slot->ullBytesRead != block) std::abort();
    mgr.FreeSlot(slot);
  };
  return WindowTurn(block, start, bytes, submit, collect);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A plain reader the manager is compared with: it reads [start, start + kTurn) and gives the
// seconds taken. Its counters are `name`_Bps, ratio`suffix` and median_turn_ratio`suffix`.
struct Baseline {
  std::string name;
  std::string suffix;
  std::function<double(uint64_t start)> read;
};

// The whole file through the manager and through each baseline, turn by turn. In a turn the
// readers read ranges spread evenly over the file, so that none finds its range still in the
// processor's cache from another reader: between two reads of a range lie about 1 GiB of other
// reads. The order of the readers rotates from turn to turn. Counters per baseline: its bytes per
// second, the ratio of the manager's throughput to it, and the median of that ratio over the turns.
void Compare(benchmark::State& state, const std::function<double(uint64_t start)>& manager,
             const std::vector<Baseline>& baselines) {
  constexpr uint64_t kTurns = kFileSize / kTurn;
  const size_t readers = baselines.size() + 1;  // 0: the manager
  std::vector<double> seconds(readers, 0.0);
  std::vector<std::vector<double>> turnRatios(baselines.size());
  for (auto _ : state) {
    double iteration = 0;
    for (uint64_t turn = 0; turn < kTurns; ++turn) {
      std::vector<double> taken(readers, 0.0);
      for (size_t k = 0; k < readers; ++k) {
        const size_t reader = (turn + k) % readers;
        const uint64_t start = ((turn + reader * kTurns / readers) % kTurns) * kTurn;
        taken[reader] = reader == 0 ? manager(start) : baselines[reader - 1].read(start);
      }
      for (size_t r = 0; r < readers; ++r) seconds[r] += taken[r];
      for (size_t b = 0; b < baselines.size(); ++b) turnRatios[b].push_back(taken[b + 1] / taken[0]);
      iteration += taken[0];
    }
    state.SetIterationTime(iteration);
  }
  double bytes = static_cast<double>(kFileSize) * static_cast<double>(state.iterations());
  state.counters["manager_Bps"] = bytes / seconds[0];
  for (size_t b = 0; b < baselines.size(); ++b) {
    const Baseline& baseline = baselines[b];
    state.counters[baseline.name + "_Bps"] = bytes / seconds[b + 1];
    state.counters["ratio" + baseline.suffix] = seconds[b + 1] / seconds[0];
    state.counters["median_turn_ratio" + baseline.suffix] = Median(turnRatios[b]);
  }
}

// Page-aligned buffers of `block` bytes, touched once so that no baseline pays for the first
// touch of its memory.
class Buffers {
 public:
  Buffers(int count, uint32_t block) {
    for (int i = 0; i < count; ++i) {
      void* raw = nullptr;
      if (posix_memalign(&raw, 4096, block) != 0) std::abort();
      std::memset(raw, 0, block);
      m_buffers.push_back(static_cast<unsigned char*>(raw));
    }
  }
  ~Buffers() {
    for (unsigned char* buffer : m_buffers) free(buffer);
  }
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  const std::vector<unsigned char*>& all() const { return m_buffers; }

 private:
  std::vector<unsigned char*> m_buffers;
};

// The buffers of the plain loops: one, and as many as slots are in flight (the memory the
// manager stages into).
struct PlainBuffers {
  explicit PlainBuffers(uint32_t block) : one(1, block), eight(kInFlight, block) {}
  Buffers one;
  Buffers eight;
};

// The plain loops of pread(2) into one buffer and into the eight in turn.
std::vector<Baseline> PreadBaselines(int fd, uint32_t block, const PlainBuffers& buffers) {
  auto into = [fd, block](const Buffers& target) {
    return [fd, block, &target](uint64_t start) { return PreadTurn(fd, target.all(), block, start, kTurn); };
  };
  return {{"pread", "", into(buffers.one)}, {"pread_8buf", "_8buf", into(buffers.eight)}};
}

// Reads [start, start + bytes) with aio_read64 and aio_suspend64 themselves into the buffers:
// what POSIX AIO gives without the manager. Seconds taken.
double AioTurn(int fd, const std::vector<unsigned char*>& buffers, uint32_t block, uint64_t start, uint64_t bytes) {
  aiocb64 blocks[kInFlight];
  auto submit = [&](size_t place, uint64_t offset) {
    aiocb64& cb = blocks[place];
    std::memset(&cb, 0, sizeof(cb));
    cb.aio_fildes = fd;
    cb.aio_buf = buffers[place];
    cb.aio_nbytes = block;
    cb.aio_offset = static_cast<off64_t>(offset);
    cb.aio_sigevent.sigev_notify = SIGEV_NONE;
    if (aio_read64(&cb) != 0) std::abort();
  };
  auto collect = [&](size_t place) {
    aiocb64& cb = blocks[place];
    const aiocb64* list[1] = {&cb};
    while (aio_error64(&cb) == EINPROGRESS) aio_suspend64(list, 1, nullptr);
    if (aio_return64(&cb) != static_cast<ssize_t>(block)) std::abort();
  };
  return WindowTurn(block, start, bytes, submit, collect);
}

// One thread that reads, with pread(2), in submission order and sets an event per read, the host
// waiting for the oldest: a single reader per file and a wake-up per read, the way the
// non-overlapped manager reads one file interface, without the manager.
class HandOffReader {
 public:
  HandOffReader(int fd, uint32_t block, const Buffers& buffers)
      : m_fd(fd), m_block(block), m_buffers(buffers.all()), m_done(kInFlight), m_thread([this] { Run(); }) {}
  ~HandOffReader() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_work.notify_one();
    m_thread.join();
  }
  HandOffReader(const HandOffReader&) = delete;
  HandOffReader& operator=(const HandOffReader&) = delete;

  // Reads [start, start + bytes) into the buffers; seconds taken.
  double Turn(uint64_t start, uint64_t bytes) {
    auto submit = [this](size_t place, uint64_t offset) {
      m_done[place].reset();
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(Read{offset, place});
      }
      m_work.notify_one();
    };
    return WindowTurn(m_block, start, bytes, submit, [this](size_t place) { m_done[place].wait(); });
  }

 private:
  struct Read {
    uint64_t offset;
    size_t buffer;
  };

  void Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
      if (m_queue.empty()) return;
      Read read = m_queue.front();
      m_queue.pop_front();
      lock.unlock();
      if (pread(m_fd, m_buffers[read.buffer], m_block, static_cast<off_t>(read.offset)) !=
          static_cast<ssize_t>(m_block)) {
        std::abort();
      }
      m_done[read.buffer].set();
      lock.lock();
    }
  }

  const int m_fd;
  const uint32_t m_block;
  const std::vector<unsigned char*>& m_buffers;
  std::vector<OzEventH> m_done;
  std::mutex m_mutex;
  std::condition_variable m_work;
  std::deque<Read> m_queue;
  bool m_stop = false;
  std::thread m_thread;  // last: it starts once everything it uses is made
};

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
  PlainBuffers buffers(block);
  std::vector<Baseline> baselines = PreadBaselines(preadFd, block, buffers);
  baselines.push_back({"aio", "_aio", [preadFd, block, &buffers](uint64_t start) {
                         return AioTurn(preadFd, buffers.eight.all(), block, start, kTurn);
                       }});
  auto name = [fd](IoSlot* slot) { slot->nFd = fd; };
  Compare(state, [&](uint64_t start) { return ManagerTurn(mgr, name, block, start, kTurn); }, baselines);
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
  PlainBuffers buffers(block);
  HandOffReader handOff(preadFd, block, buffers.eight);
  std::vector<Baseline> baselines = PreadBaselines(preadFd, block, buffers);
  baselines.push_back({"handoff", "_handoff", [&handOff](uint64_t start) { return handOff.Turn(start, kTurn); }});
  auto name = [ifc](IoSlot* slot) { slot->pFileIfc = ifc; };
  Compare(state, [&](uint64_t start) { return ManagerTurn(mgr, name, block, start, kTurn); }, baselines);
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
  PlainBuffers buffers(block);
  auto name = [path](IoSlot* slot) { slot->pszPath = path; };
  Compare(state, [&](uint64_t start) { return ManagerTurn(mgr, name, block, start, kTurn); },
          PreadBaselines(preadFd, block, buffers));
  mgr.DecrementReaderCount();
  mgr.DeInitializeMgr();
  close(preadFd);
}

BENCHMARK(BM_Native)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_NonOvl)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Ovl)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_NativeDirect)->Arg(1024)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
