#include "platform/thread_pool.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

namespace {

std::atomic<int> g_failedInitsToCome{0};

// Takes one of the failures a test asked for, if any is left.
bool InitFails() {
  int left = g_failedInitsToCome.load();
  while (left > 0) {
    if (g_failedInitsToCome.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

}  // namespace

namespace platform {

void FailThreadPoolInits(int count) { g_failedInitsToCome.store(count > 0 ? count : 0); }

void ResetThreadPools() { g_failedInitsToCome.store(0); }

}  // namespace platform

OzThreadPool::~OzThreadPool() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_stopping = true;
  m_workArrived.notify_all();
  m_threadEnded.wait(lock, [this] { return m_threads == 0; });
}

int OzThreadPool::initThreadPool(const char* name, int idleTimeoutSeconds, int initialCount, int maxCount,
                                 int minCount) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_initialised || maxCount < 1 || minCount < 0 || minCount > maxCount || initialCount < 0 ||
      initialCount > maxCount) {
    return 0;
  }
  if (InitFails()) return 0;
  m_name = name != nullptr ? name : "";
  m_idleTimeoutSeconds = idleTimeoutSeconds > 0 ? idleTimeoutSeconds : 0;
  m_minCount = minCount;
  m_maxCount = maxCount;
  for (int i = 0; i < initialCount; ++i) {
    if (!StartThreadLocked()) {
      // The threads already started end with the pool; its owner destroys it.
      return 0;
    }
  }
  m_initialised = true;
  return 1;
}

int OzThreadPool::doWork(WorkFunction function, void* argument) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_initialised || m_stopping || function == nullptr) return 0;
    m_queue.emplace_back(function, argument);
    if (m_idle <= static_cast<int>(m_queue.size()) - 1) {
      // Should no thread start, the work waits for one of the threads there are: a pool always
      // keeps at least one (its first is started at initialisation and the last never times out).
      if (m_threads < m_maxCount) StartThreadLocked();
      return 1;
    }
  }
  // Woken after the lock is let go, the idle thread does not wait for it at once.
  m_workArrived.notify_one();
  return 1;
}

int OzThreadPool::getMinCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_minCount;
}

int OzThreadPool::getMaxCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_maxCount;
}

void OzThreadPool::setMaxCount(int maxCount) {
  std::lock_guard<std::mutex> lock(m_mutex);
  int old = m_maxCount;
  m_maxCount = maxCount < 1 ? 1 : maxCount;
  // Work that waited for the old maximum gets threads now.
  int waiting = static_cast<int>(m_queue.size()) - m_idle;
  for (int started = 0; m_maxCount > old && started < waiting && m_threads < m_maxCount; ++started) {
    if (!StartThreadLocked()) break;
  }
  // Idle threads above a lowered maximum end now; busy ones when their work is done.
  if (m_threads > m_maxCount) m_workArrived.notify_all();
}

int OzThreadPool::getThreadCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_threads;
}

int OzThreadPool::getBusyCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_busy;
}

bool OzThreadPool::StartThreadLocked() {
  try {
    std::thread thread([this] { Run(); });
    thread.detach();
  } catch (const std::system_error&) {
    return false;
  }
  ++m_threads;
  return true;
}

void OzThreadPool::Run() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The kernel keeps 15 characters of a thread's name.
    std::string shortName = m_name.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_threads > m_maxCount && !m_stopping) break;
    if (!m_queue.empty()) {
      auto [function, argument] = m_queue.front();
      m_queue.pop_front();
      ++m_busy;
      lock.unlock();
      function(argument);
      lock.lock();
      --m_busy;
      continue;
    }
    if (m_stopping) break;
    auto wake = [this] { return !m_queue.empty() || m_stopping || m_threads > m_maxCount; };
    bool woken = true;
    ++m_idle;
    if (m_idleTimeoutSeconds == 0) {  // no time-out: idle threads stay
      m_workArrived.wait(lock, wake);
    } else {
      woken = m_workArrived.wait_for(lock, std::chrono::seconds(m_idleTimeoutSeconds), wake);
    }
    --m_idle;
    // An idle time-out ends the thread unless the pool would go below its minimum or lose its
    // last thread.
    if (!woken && m_threads > m_minCount && m_threads > 1) break;
  }
  --m_threads;
  m_threadEnded.notify_all();
}
