#include "platform/threads.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "platform/local_files.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------------------------
// Critical sections, events, semaphores

bool OzCriticalSectionH::enter(bool wait) {
  if (!wait) return m_mutex.try_lock();
  m_mutex.lock();
  return true;
}

void OzCriticalSectionH::leave() { m_mutex.unlock(); }

namespace {

template <typename Ready>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs,
             Ready ready) {
  if (timeoutMs == 0xFFFFFFFFu) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

namespace {

// Sleeps while *word holds `expected`, at most `timeout` (none: without limit). Wakes early on
// a wake-up, a signal or a change of the word; the caller looks again.
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

// Wakes every thread sleeping on the word. Only the address is used: the word may be gone.
void FutexWakeAll(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

void OzEventH::set() {
  // The exchange is the last touch of the event: a waiter that sees it may destroy the event.
  // Every sleeper wakes and looks again (of an automatic event one takes the set state, the
  // others sleep again).
  if ((m_state.exchange(kSet, std::memory_order_acq_rel) & kWaiters) != 0) FutexWakeAll(&m_state);
}

void OzEventH::reset() { m_state.fetch_and(~kSet, std::memory_order_acq_rel); }

bool OzEventH::wait(uint32_t timeoutMs) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the atomic");
  const bool forever = timeoutMs == 0xFFFFFFFFu;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  uint32_t state = m_state.load(std::memory_order_acquire);
  for (;;) {
    if ((state & kSet) != 0) {
      if (m_manual) return true;
      // An automatic event is taken by one waiter; the waiters mark stays for the others.
      if (m_state.compare_exchange_weak(state, state & ~kSet, std::memory_order_acq_rel)) return true;
      continue;
    }
    timespec left{};
    if (!forever) {
      auto rest = deadline - std::chrono::steady_clock::now();
      if (rest <= std::chrono::steady_clock::duration::zero()) return false;
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(rest).count();
      left.tv_sec = static_cast<time_t>(ns / 1000000000);
      left.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    if ((state & kWaiters) == 0 &&
        !m_state.compare_exchange_weak(state, state | kWaiters, std::memory_order_acq_rel)) {
      continue;
    }
    FutexWait(&m_state, state | kWaiters, forever ? nullptr : &left);
    state = m_state.load(std::memory_order_acquire);
  }
}

void OzSemaphoreH::release(long n) {
  if (n <= 0) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_count += n;
  m_cv.notify_all();
}

bool OzSemaphoreH::wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!WaitFor(m_cv, lock, timeoutMs, [this] { return m_count > 0; })) return false;
  --m_count;
  return true;
}

// ---------------------------------------------------------------------------------------------
// MDLock
//
// An open-file-description lock on the lock's file: unlike a process-associated record lock it
// belongs to the open file, so two objects of one process (each with its own open) exclude each
// other as two processes do, and closing another descriptor of the process does not drop it.

namespace {

constexpr uint32_t kLockPollMs = 20;

// A lock name may hold any character; '/' would make a path of it.
std::string LockFileName(const std::string& name) {
  std::string file = name.empty() ? std::string("unnamed") : name;
  for (char& c : file) {
    if (c == '/') c = '_';
  }
  return file + ".lock";
}

int OpenLockFile(const std::string& name) {
  std::string dir = platform::NamedLockDirectory();
  if (mkdir(dir.c_str(), 01777) == 0) {
    chmod(dir.c_str(), 01777);  // every user of the machine makes lock files here
  } else if (errno != EEXIST) {
    return -1;
  }
  std::string path = path_append(dir, LockFileName(name));
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool TryOfdLock(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // the whole file
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

MDLock::MDLock(const std::string& name) : m_name(name) {}

MDLock::~MDLock() {
  unset();
  if (m_fd >= 0) close(m_fd);
}

int MDLock::set(uint32_t timeoutMs) {
  if (m_held) return 1;
  if (m_fd < 0) m_fd = OpenLockFile(m_name);
  if (m_fd < 0) return 0;
  uint64_t waited = 0;
  for (;;) {
    if (TryOfdLock(m_fd)) {
      m_held = true;
      return 1;
    }
    if (errno != EAGAIN && errno != EACCES) return 0;
    if (timeoutMs != 0xFFFFFFFFu && waited >= timeoutMs) return 0;
    uint32_t step = kLockPollMs;
    if (timeoutMs != 0xFFFFFFFFu && timeoutMs - waited < step) step = static_cast<uint32_t>(timeoutMs - waited);
    XOSLEEP(step);
    waited += step;
  }
}

void MDLock::unset() {
  if (!m_held) return;
  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fcntl(m_fd, F_OFD_SETLK, &fl);
  m_held = false;
}

// ---------------------------------------------------------------------------------------------
// Time

void MDTime::init() { m_ms = platform::NowMs(); }

// A watch reads the clock it started on, so a test that switches clocks never mixes them.
void CStopWatch::Start() {
  m_fake = platform::ClockIsFake();
  m_start = m_fake ? platform::FakeNowNs() : platform::ClockTicks();
  m_stop = m_start;
  m_running = true;
  m_started = true;
}

void CStopWatch::Stop() {
  if (!m_running) return;
  m_stop = m_fake ? platform::FakeNowNs() : platform::ClockTicks();
  m_running = false;
}

long long CStopWatch::ElapsedTicks() const {
  const long long end = !m_running ? m_stop : m_fake ? platform::FakeNowNs() : platform::ClockTicks();
  return end > m_start ? end - m_start : 0;  // counters of two processors may differ a little
}

long long CStopWatch::TicksPerSecond() const {
  if (!m_started) return 0;
  return m_fake ? 1000000000LL : platform::ClockTicksPerSecond();
}

double CStopWatch::ElapsedSeconds() const {
  const long long rate = TicksPerSecond();
  return rate > 0 ? static_cast<double>(ElapsedTicks()) / static_cast<double>(rate) : 0.0;
}

long long CStopWatch::ElapsedMs() const { return static_cast<long long>(ElapsedSeconds() * 1000.0); }

// ---------------------------------------------------------------------------------------------
// OzThread

namespace {

struct ThreadFaults {
  std::mutex mutex;
  int skip = 0;
  int failures = 0;
};

ThreadFaults& StartFaults() {
  static ThreadFaults* faults = new ThreadFaults;  // outlives threads that end at exit
  return *faults;
}

std::atomic<int> g_liveThreads{0};

bool StartFails() {
  ThreadFaults& f = StartFaults();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.failures <= 0) return false;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  --f.failures;
  return true;
}

}  // namespace

OzThread::~OzThread() { join(); }

int OzThread::createThread(Entry entry, void* arg) {
  if (m_started) return EBUSY;
  if (entry == nullptr) return EINVAL;
  if (StartFails()) return EAGAIN;
  g_liveThreads.fetch_add(1);
  try {
    m_impl = new std::thread([entry, arg] {
      entry(arg);
      g_liveThreads.fetch_sub(1);
    });
  } catch (const std::system_error& e) {
    g_liveThreads.fetch_sub(1);
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {
    g_liveThreads.fetch_sub(1);
    return ENOMEM;
  }
  m_started = true;
  return 0;
}

int OzThread::join() {
  if (!m_started) return EINVAL;
  auto* thread = static_cast<std::thread*>(m_impl);
  thread->join();
  delete thread;
  m_impl = nullptr;
  m_started = false;
  return 0;
}

namespace platform {

void FailThreadStarts(int skip, int count) {
  ThreadFaults& f = StartFaults();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.skip = skip > 0 ? skip : 0;
  f.failures = count > 0 ? count : 0;
}

int LiveThreads() { return g_liveThreads.load(); }

void ResetThreadFaults() { FailThreadStarts(0, 0); }

}  // namespace platform
