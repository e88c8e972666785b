// The thread pool: work runs on pool threads, never more at once than the maximum, a raised
// maximum gives waiting work threads at once, and initialisation refuses counts that make no pool.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace {

// Work that counts how many run at once and waits until the test lets it end.
struct Blocker {
  std::mutex mutex;
  std::condition_variable cv;
  int running = 0;
  int peak = 0;
  int finished = 0;
  bool release = false;

  static void* Run(void* arg) {
    auto* b = static_cast<Blocker*>(arg);
    std::unique_lock<std::mutex> lock(b->mutex);
    ++b->running;
    b->peak = std::max(b->peak, b->running);
    b->cv.notify_all();
    b->cv.wait(lock, [b] { return b->release; });
    --b->running;
    ++b->finished;
    b->cv.notify_all();
    return nullptr;
  }
  void WaitRunning(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return running >= n; });
  }
  void ReleaseAndWait(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    release = true;
    cv.notify_all();
    cv.wait(lock, [&] { return finished >= n; });
  }
};

TEST(ThreadPoolTest, RunsWorkWithinItsMaximum) {
  OzThreadPool pool;
  EXPECT_EQ(0, pool.doWork(&Blocker::Run, nullptr)) << "not initialised";
  ASSERT_NE(0, pool.initThreadPool("test pool", 120, 1, 2, 2));
  EXPECT_EQ(0, pool.initThreadPool("test pool", 120, 1, 2, 2)) << "initialised once";
  EXPECT_EQ("test pool", pool.getName());
  EXPECT_EQ(1, pool.getThreadCount());
  EXPECT_EQ(2, pool.getMinCount());
  EXPECT_EQ(2, pool.getMaxCount());

  Blocker b;
  for (int i = 0; i < 5; ++i) ASSERT_NE(0, pool.doWork(&Blocker::Run, &b));
  b.WaitRunning(2);
  EXPECT_EQ(2, pool.getThreadCount());
  EXPECT_EQ(2, pool.getBusyCount());
  // A raised maximum gives the waiting work threads now.
  pool.setMaxCount(4);
  b.WaitRunning(4);
  b.ReleaseAndWait(5);
  EXPECT_EQ(4, b.peak);
  EXPECT_LE(pool.getThreadCount(), 4);

  pool.setMaxCount(0);
  EXPECT_EQ(1, pool.getMaxCount()) << "a pool keeps at least one thread";
}

TEST(ThreadPoolTest, ALoweredMaximumHoldsTheNextWork) {
  OzThreadPool pool;
  ASSERT_NE(0, pool.initThreadPool("lowered", 0, 1, 3, 1));
  Blocker first;
  for (int i = 0; i < 3; ++i) pool.doWork(&Blocker::Run, &first);
  first.WaitRunning(3);
  pool.setMaxCount(1);
  first.ReleaseAndWait(3);
  Blocker second;
  for (int i = 0; i < 3; ++i) pool.doWork(&Blocker::Run, &second);
  second.WaitRunning(1);
  second.ReleaseAndWait(3);
  EXPECT_EQ(1, second.peak);
}

TEST(ThreadPoolTest, CountsThatMakeNoPool) {
  struct Case {
    int initial, max, min;
  };
  for (Case c : {Case{1, 0, 0}, Case{0, 2, 3}, Case{3, 2, 1}, Case{-1, 2, 1}, Case{1, 2, -1}}) {
    OzThreadPool pool;
    EXPECT_EQ(0, pool.initThreadPool("bad", 120, c.initial, c.max, c.min))
        << c.initial << " " << c.max << " " << c.min;
  }
  platform::FailThreadPoolInits(1);
  OzThreadPool failing;
  EXPECT_EQ(0, failing.initThreadPool("failing", 120, 1, 4, 4));
  OzThreadPool next;
  EXPECT_NE(0, next.initThreadPool("next", 120, 1, 4, 4)) << "only the one failure asked for";
}

TEST(ThreadPoolTest, DestructionRunsTheQueuedWork) {
  std::atomic<int> ran{0};
  {
    OzThreadPool pool;
    ASSERT_NE(0, pool.initThreadPool("drain", 120, 1, 1, 1));
    for (int i = 0; i < 10; ++i) {
      pool.doWork([](void* arg) -> void* {
        static_cast<std::atomic<int>*>(arg)->fetch_add(1);
        return nullptr;
      }, &ran);
    }
  }
  EXPECT_EQ(10, ran.load());
}

}  // namespace
