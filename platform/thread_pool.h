// A pool of worker threads of the utility library (REAL, on std::thread).
//
// Work is a function and an argument; a pool thread runs it. A pool starts its initial threads
// at initialisation and starts another when work arrives while every thread is busy, up to its
// maximum; the work waits in a queue, oldest first, while the maximum is reached. A thread that
// finds no work for the idle time-out ends, as long as more threads than the minimum are left.
// Lowering the maximum ends surplus threads as they finish their work. The destructor lets the
// queued work run and ends every thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

class OzThreadPool {
 public:
  using WorkFunction = void* (*)(void*);

  OzThreadPool() = default;
  ~OzThreadPool();
  OzThreadPool(const OzThreadPool&) = delete;
  OzThreadPool& operator=(const OzThreadPool&) = delete;

  // Names the pool (its threads carry the name), sets the idle time-out in seconds (0: idle
  // threads never end) and the counts, and starts `initialCount` threads. Nonzero on success; 0 when the counts make no pool
  // (maximum below 1, minimum or initial count below 0 or above the maximum), when the pool was
  // initialised before, or when no thread could be started.
  int initThreadPool(const char* name, int idleTimeoutSeconds, int initialCount, int maxCount, int minCount);

  // Queues `function(argument)` for a pool thread; its result is dropped. Nonzero when queued,
  // 0 when the pool is not initialised.
  int doWork(WorkFunction function, void* argument);

  int getMinCount() const;
  int getMaxCount() const;
  // A maximum below 1 is taken as 1.
  void setMaxCount(int maxCount);

  // Threads alive, and of them those running work (for diagnostics and tests).
  int getThreadCount() const;
  int getBusyCount() const;
  const std::string& getName() const { return m_name; }

 private:
  void Run();
  // Under m_mutex: starts one thread; false when none could be started.
  bool StartThreadLocked();

  mutable std::mutex m_mutex;
  std::condition_variable m_workArrived;
  std::condition_variable m_threadEnded;
  std::deque<std::pair<WorkFunction, void*>> m_queue;
  std::string m_name;
  int m_idleTimeoutSeconds = 0;
  int m_minCount = 0;
  int m_maxCount = 0;
  int m_threads = 0;
  int m_idle = 0;
  int m_busy = 0;
  bool m_initialised = false;
  bool m_stopping = false;
};

namespace platform {
// Makes the next `count` initialisations of any pool fail (0), as when no thread can be started.
void FailThreadPoolInits(int count);
// Clears that count (platform::ResetAll).
void ResetThreadPools();
}  // namespace platform
