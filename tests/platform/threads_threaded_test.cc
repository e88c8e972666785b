// Locks and events between threads: a named lock handed over, recursive critical sections, events
// and semaphores.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

// Sleepers on an event wake when another thread sets it: all of them for a manual event, one per
// set for an automatic one; a waiter that saw the event set may delete it at once, as a read's
// host deletes the completion event of a slot whose reader has just set it.
TEST(EventTest, SleepersWakeAndTheEventMayGoWithItsWaiter) {
  OzEventH manual(true, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < 4; ++i) {
    sleepers.emplace_back([&] {
      if (manual.wait()) woken.fetch_add(1);
    });
  }
  manual.set();
  for (std::thread& t : sleepers) t.join();
  EXPECT_EQ(4, woken.load());

  OzEventH automatic(false, false);
  woken = 0;
  sleepers.clear();
  for (int i = 0; i < 2; ++i) {
    sleepers.emplace_back([&] {
      if (automatic.wait()) woken.fetch_add(1);
    });
  }
  automatic.set();
  while (woken.load() < 1) std::this_thread::yield();
  automatic.set();
  for (std::thread& t : sleepers) t.join();
  EXPECT_EQ(2, woken.load());
  EXPECT_FALSE(automatic.wait(1));  // both sets were taken

  manual.reset();
  EXPECT_FALSE(manual.wait(1));
  for (int i = 0; i < 200; ++i) {
    auto* event = new OzEventH(true, false);
    std::thread setter([event] { event->set(); });
    EXPECT_TRUE(event->wait());
    delete event;
    setter.join();
  }
}

}  // namespace
