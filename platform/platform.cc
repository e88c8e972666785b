#include "platform/platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// Where the fake clock stands after a reset: a fixed instant, so times in tests repeat.
constexpr long long kFakeClockStartMs = 1700000000000LL;
constexpr const char* kMachineLockDirectory = "/tmp/mfs-named-locks";

std::atomic<bool> g_realSleep{true};
std::atomic<bool> g_realClock{true};
std::atomic<long long> g_sleptMs{0};
std::atomic<long long> g_fakeNowNs{kFakeClockStartMs * 1000000};

struct LockDirectory {
  std::mutex mutex;
  std::string dir = kMachineLockDirectory;
  std::string ownFolder;  // the folder a reset made for this process, removed at exit
  pid_t owner = 0;
};

LockDirectory& Locks() {
  static LockDirectory* state = new LockDirectory;
  return *state;
}

std::vector<void (*)()>& Resets() {
  static std::vector<void (*)()>* resets = new std::vector<void (*)()>;
  return *resets;
}

std::mutex& ResetsMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void RemoveOwnLockFolder() {
  LockDirectory& l = Locks();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (l.ownFolder.empty() || l.owner != getpid()) return;  // forked children leave it alone
  std::string folder = l.ownFolder;
  CXoDirectory dir;
  if (dir.Open(folder).IsSuccess()) {
    CXoDirectory::Entry e;
    bool atEnd = false;
    // A folder that cannot be read stays, with what is left in it: rmdir below then fails too.
    while (dir.GetEntry(e, atEnd).IsSuccess() && !atEnd) unlink(path_append(folder, e.name).c_str());
    dir.Close();
  }
  rmdir(folder.c_str());
}

// Test processes that run side by side must not contend for the same named locks, so a reset
// gives the process a lock folder of its own; children forked after it share it.
void UseOwnLockFolder() {
  LockDirectory& l = Locks();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (l.ownFolder.empty() || l.owner != getpid()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && *tmp) ? tmp : "/tmp";
    l.ownFolder = path_append(base, "mfs-named-locks-" + std::to_string(getpid()));
    if (l.owner == 0) std::atexit(RemoveOwnLockFolder);
    l.owner = getpid();
  }
  l.dir = l.ownFolder;
}

long long RealNowMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void ResetAll() {
  Faults().Reset();
  // Under each stand-in's own lock: a thread that outlives its test (a process-wide flusher)
  // may still record.
  {
    std::lock_guard<std::mutex> lock(MediaManagerMutex());
    MediaManager() = MediaManagerState();
  }
  {
    std::lock_guard<std::mutex> lock(ConfigMutex());
    Config() = ConfigState();
  }
  {
    std::lock_guard<std::mutex> lock(JobsMutex());
    Jobs() = JobState();
  }
  ResetLogs();
  SetLogCaptureLimit(0);
  ResetLogFile();
  {
    std::lock_guard<std::mutex> lock(IdentityMutex());
    Identity() = IdentityState();
  }
  {
    std::lock_guard<std::mutex> lock(RemoteStorageMutex());
    RemoteStorage() = RemoteStorageState();
  }
  {
    std::lock_guard<std::mutex> lock(ScaleOutStorageMutex());
    ScaleOutStorage() = ScaleOutStorageState();
  }
  {
    std::lock_guard<std::mutex> lock(SidbMutex());
    Sidb() = SidbState();
  }
  ResetSilo();
  ResetAsyncIo();
  ResetThreadPools();
  ResetThreadFaults();
  ResetTapeLibrary();
  Appliance().Reset();
  g_realSleep.store(false);
  g_realClock.store(false);
  g_sleptMs.store(0);
  g_fakeNowNs.store(kFakeClockStartMs * 1000000);
  UseOwnLockFolder();
  std::vector<void (*)()> resets;
  {
    std::lock_guard<std::mutex> lock(ResetsMutex());
    resets = Resets();
  }
  for (void (*reset)() : resets) reset();
}

void RegisterReset(void (*reset)()) {
  if (reset == nullptr) return;
  std::lock_guard<std::mutex> lock(ResetsMutex());
  for (void (*r)() : Resets()) {
    if (r == reset) return;
  }
  Resets().push_back(reset);
}

long long SleptMs() { return g_sleptMs.load(); }

void SetRealSleep(bool real) { g_realSleep.store(real); }

void AdvanceClock(long long ms) { g_fakeNowNs.fetch_add(ms * 1000000); }

void AdvanceClockNs(long long ns) { g_fakeNowNs.fetch_add(ns); }

void SetRealClock(bool real) {
  if (!real && g_realClock.load()) g_fakeNowNs.store(RealNowMs() * 1000000);
  g_realClock.store(real);
}

long long NowMs() {
  if (g_realClock.load(std::memory_order_relaxed)) return RealNowMs();
  return g_fakeNowNs.load(std::memory_order_relaxed) / 1000000;
}

bool ClockIsFake() { return !g_realClock.load(std::memory_order_relaxed); }

long long FakeNowNs() { return g_fakeNowNs.load(std::memory_order_relaxed); }

void SetNamedLockDirectory(const std::string& dir) {
  LockDirectory& l = Locks();
  std::lock_guard<std::mutex> lock(l.mutex);
  l.dir = dir.empty() ? std::string(kMachineLockDirectory) : dir;
}

std::string NamedLockDirectory() {
  LockDirectory& l = Locks();
  std::lock_guard<std::mutex> lock(l.mutex);
  return l.dir;
}

}  // namespace platform

// A recorded sleep moves the fake clock, so a wait that measures time by it ends. Without a real
// sleep the thread still yields, so that a loop polling for another thread lets it run.
void XOSLEEP_InTeRnAl(uint32_t ms, const char* file, int line) {
  (void)file;
  (void)line;
  platform::g_sleptMs.fetch_add(ms);
  if (!platform::g_realClock.load(std::memory_order_relaxed)) platform::g_fakeNowNs.fetch_add(static_cast<long long>(ms) * 1000000);
  if (!platform::g_realSleep.load(std::memory_order_relaxed)) {
    std::this_thread::yield();
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

long long CTimeStamp::Now() {
  if (!platform::g_realClock.load(std::memory_order_relaxed)) return platform::g_fakeNowNs.load(std::memory_order_relaxed) / 100;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}
