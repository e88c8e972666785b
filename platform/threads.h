// Locks, events, named inter-process locks and time of the utility library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

// A recursive critical section: the holder may enter again.
class OzCriticalSectionH {
 public:
  OzCriticalSectionH() = default;
  OzCriticalSectionH(const OzCriticalSectionH&) = delete;
  OzCriticalSectionH& operator=(const OzCriticalSectionH&) = delete;

  // `wait` false: try once; the result tells whether it was entered.
  bool enter(bool wait = true);
  void leave();

 private:
  std::recursive_mutex m_mutex;
};
using OzCriticalSection = OzCriticalSectionH;

// Holds a critical section for a scope; a null section is allowed and does nothing.
class OzCriticalSectionGuard {
 public:
  explicit OzCriticalSectionGuard(OzCriticalSectionH* cs) : m_cs(cs) {
    if (m_cs) m_cs->enter(true);
  }
  ~OzCriticalSectionGuard() {
    if (m_cs) m_cs->leave();
  }
  OzCriticalSectionGuard(const OzCriticalSectionGuard&) = delete;
  OzCriticalSectionGuard& operator=(const OzCriticalSectionGuard&) = delete;

 private:
  OzCriticalSectionH* m_cs;
};

// An event, manual or automatic reset.
//
// The whole state is one word: set() is a single atomic exchange and, only when a thread sleeps
// on the event, a wake-up by the word's address that touches no memory. So a waiter that has
// seen the event set may destroy it at once (a completion event goes with its record), and the
// thread it wakes takes no lock the setter still holds.
class OzEventH {
 public:
  explicit OzEventH(bool manualReset = true, bool initiallySet = false)
      : m_manual(manualReset), m_state(initiallySet ? kSet : 0u) {}
  OzEventH(const OzEventH&) = delete;
  OzEventH& operator=(const OzEventH&) = delete;
  void set();
  void reset();
  // Waits at most `timeoutMs` (0xFFFFFFFF: without limit); true when the event was set.
  bool wait(uint32_t timeoutMs = 0xFFFFFFFFu);

 private:
  static constexpr uint32_t kSet = 1;
  static constexpr uint32_t kWaiters = 2;  // a thread sleeps, or may, on the word

  bool m_manual;
  std::atomic<uint32_t> m_state;
};

class OzSemaphoreH {
 public:
  explicit OzSemaphoreH(long initial = 0) : m_count(initial) {}
  void release(long n = 1);
  bool wait(uint32_t timeoutMs = 0xFFFFFFFFu);

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  long m_count;
};

// A named lock shared by every process of the machine. Two objects of one process with the same
// name exclude each other too. The lock is an open-file-description lock on a file named after
// the lock in the lock folder (platform::SetNamedLockDirectory); it ends with its object or its
// process.
class MDLock {
 public:
  explicit MDLock(const std::string& name);
  ~MDLock();
  MDLock(const MDLock&) = delete;
  MDLock& operator=(const MDLock&) = delete;

  // Takes the lock, waiting at most `timeoutMs` (0: not at all; 0xFFFFFFFF: without limit).
  // Nonzero when taken. Waiting goes through XOSLEEP_InTeRnAl.
  int set(uint32_t timeoutMs);
  void unset();
  bool isSet() const { return m_held; }
  const std::string& name() const { return m_name; }

 private:
  std::string m_name;
  int m_fd = -1;
  bool m_held = false;
};

// Sleeps `ms` milliseconds. After platform::ResetAll (in tests) it only records the time
// (platform::SleptMs) and moves the fake clock, so a wait measured by that clock ends at once.
void XOSLEEP_InTeRnAl(uint32_t ms, const char* file, int line);
#define XOSLEEP(ms) XOSLEEP_InTeRnAl((ms), __FILE__, __LINE__)

// A point in time with millisecond differences; the clock can be faked by tests.
class MDTime {
 public:
  MDTime() { init(); }
  void init();  // now
  long long ms() const { return m_ms; }
  // Milliseconds from `earlier` to this.
  long long operator-(const MDTime& earlier) const { return m_ms - earlier.m_ms; }
  // Seconds since the epoch.
  long long seconds() const { return m_ms / 1000; }

 private:
  long long m_ms = 0;
};

// A stopwatch over the process's monotonic clock (platform::ClockTicks): nanosecond resolution,
// read in user space. After platform::ResetAll it reads the fake clock, in nanoseconds.
class CStopWatch {
 public:
  void Start();
  void Stop();
  // Clock ticks from Start to Stop (to now while the watch runs), and how many ticks make a
  // second: 0 before the first Start, when the watch has no rate.
  long long ElapsedTicks() const;
  long long TicksPerSecond() const;
  // The elapsed time in seconds; 0 without a rate.
  double ElapsedSeconds() const;
  // The elapsed time in whole milliseconds.
  long long ElapsedMs() const;

 private:
  long long m_start = 0;
  long long m_stop = 0;
  bool m_running = false;
  bool m_fake = false;     // started on the fake clock
  bool m_started = false;
};

// Time in 100 ns ticks.
class CTimeStamp {
 public:
  static long long Now();
};

// A thread of the utility library: runs an entry with its argument until the entry returns; its
// owner joins it. A thread still running when its object is destroyed is joined there.
class OzThread {
 public:
  using Entry = void* (*)(void*);

  OzThread() = default;
  ~OzThread();
  OzThread(const OzThread&) = delete;
  OzThread& operator=(const OzThread&) = delete;

  // Starts `entry(arg)` on a new thread. 0 when it started; otherwise an errno value (EBUSY while
  // the object holds a thread not yet joined).
  int createThread(Entry entry, void* arg);
  // Waits until the thread has ended. 0 when joined; EINVAL when there is no thread to join.
  int join();
  bool isStarted() const { return m_started; }

 private:
  void* m_impl = nullptr;  // std::thread
  bool m_started = false;
};

namespace platform {
// The clock of MDTime, milliseconds since the epoch (the fake one after ResetAll).
long long NowMs();
// The clock of CStopWatch: monotonic ticks, and how many make a second. The processor's invariant
// time-stamp counter where there is one (a read of a few nanoseconds that stays in user space),
// else CLOCK_MONOTONIC in nanoseconds; after ResetAll the fake clock, in nanoseconds.
long long ClockTicks();
long long ClockTicksPerSecond();
bool ClockIsFake();
// The fake clock's instant in nanoseconds.
long long FakeNowNs();

// Thread starts that fail (tests): after `skip` more successful starts, the next `count` starts
// of OzThread fail with EAGAIN.
void FailThreadStarts(int skip, int count);
// Threads of OzThread whose entry has not returned yet.
int LiveThreads();
// Back to no failing starts (platform::ResetAll).
void ResetThreadFaults();
}  // namespace platform
