// Locks and events between threads: a named lock handed over, recursive critical sections, events
// and semaphores.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(MDLockTest, WaitEndsWhenAnotherThreadLetsGo) {
  MDLock a("lock.handover");
  ASSERT_NE(0, a.set(0));
  std::atomic<bool> taken{false};
  std::thread waiter([&] {
    MDLock b("lock.handover");
    taken = b.set(0xFFFFFFFFu) != 0;  // without limit
  });
  while (platform::SleptMs() == 0) std::this_thread::yield();  // the waiter is polling
  a.unset();
  waiter.join();
  EXPECT_TRUE(taken);
}

TEST(CriticalSectionTest, HolderMayEnterAgainOthersWait) {
  OzCriticalSectionH cs;
  ASSERT_TRUE(cs.enter(true));
  ASSERT_TRUE(cs.enter(false));  // the holder enters again without waiting
  auto tryFromOtherThread = [&cs] {
    bool entered = false;
    std::thread t([&] {
      entered = cs.enter(false);
      if (entered) cs.leave();
    });
    t.join();
    return entered;
  };
  EXPECT_FALSE(tryFromOtherThread());
  cs.leave();
  EXPECT_FALSE(tryFromOtherThread());  // still held once
  cs.leave();
  EXPECT_TRUE(tryFromOtherThread());

  // The layer's process-wide lock is one of them, there from the start.
  ASSERT_NE(nullptr, CFSInitParams::m_ReadWriteLock);
  OzCriticalSectionGuard outer(CFSInitParams::m_ReadWriteLock);
  OzCriticalSectionGuard inner(CFSInitParams::m_ReadWriteLock);
  OzCriticalSectionGuard none(nullptr);
}

TEST(EventTest, EventsAndSemaphoresHandOver) {
  OzEventH manual(true, false);
  EXPECT_FALSE(manual.wait(0));
  manual.set();
  EXPECT_TRUE(manual.wait(0));
  EXPECT_TRUE(manual.wait(0));  // stays set
  OzEventH automatic(false, true);
  EXPECT_TRUE(automatic.wait(0));
  EXPECT_FALSE(automatic.wait(0));  // the wait reset it

  OzSemaphoreH sem(0);
  std::thread producer([&] { sem.release(2); });
  EXPECT_TRUE(sem.wait());
  EXPECT_TRUE(sem.wait());
  producer.join();
  EXPECT_FALSE(sem.wait(1));
}

}  // namespace
