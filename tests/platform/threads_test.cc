// Locks and time: named locks between objects and processes, recursive critical sections and
// the injectable sleep and clock.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(MDLockTest, TwoObjectsOfOneProcessExcludeEachOther) {
  MDLock a("OZMAMntPathRegLock");
  MDLock b("OZMAMntPathRegLock");
  MDLock other("OZMA_SIDB_PRUNE_PHASE_3_LOCK_CHUNK_7");
  ASSERT_NE(0, a.set(0));
  EXPECT_TRUE(a.isSet());
  EXPECT_NE(0, a.set(0));  // holding it already
  EXPECT_NE(0, other.set(0));
  EXPECT_EQ(0, b.set(0));
  EXPECT_EQ(0, platform::SleptMs());

  // A timed wait polls through the injectable sleep: it ends after the timeout on the fake
  // clock, at once in real time.
  long long before = platform::NowMs();
  EXPECT_EQ(0, b.set(300000));
  EXPECT_EQ(300000, platform::SleptMs());
  EXPECT_EQ(before + 300000, platform::NowMs());
  EXPECT_FALSE(b.isSet());

  a.unset();
  EXPECT_NE(0, b.set(0));
}

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

// The lock is machine-wide: a process holding it shuts out others until it ends.
TEST(MDLockTest, ExcludesAnotherProcess) {
  int ready[2], go[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(go));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    MDLock held("OZMAMntPathRegLock");
    char ok = held.set(0) != 0 ? 1 : 0;
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(3);
    _exit(0);  // ending the process frees the lock
  }
  char ok = 0;
  ASSERT_EQ(1, read(ready[0], &ok, 1));
  ASSERT_EQ(1, ok);

  MDLock mine("OZMAMntPathRegLock");
  EXPECT_EQ(0, mine.set(0));
  EXPECT_EQ(0, mine.set(1000));
  EXPECT_EQ(1000, platform::SleptMs());

  ASSERT_EQ(1, write(go[1], "x", 1));
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_NE(0, mine.set(0));

  // And the other way round: the child cannot take what the parent holds.
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    MDLock theirs("OZMAMntPathRegLock");
    _exit(theirs.set(50) == 0 ? 0 : 1);
  }
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
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

TEST(TimeTest, SleepAndClockAreFakeAfterReset) {
  MDTime start;
  CStopWatch watch;
  watch.Start();
  XOSLEEP(2500);
  XOSLEEP(500);
  EXPECT_EQ(3000, platform::SleptMs());
  platform::AdvanceClock(1000);
  MDTime end;
  EXPECT_EQ(4000, end - start);
  EXPECT_EQ(4000, watch.ElapsedMs());
  watch.Stop();
  platform::AdvanceClock(1000);
  EXPECT_EQ(4000, watch.ElapsedMs());
  EXPECT_EQ(platform::NowMs() * 10000, CTimeStamp::Now());

  platform::ResetAll();
  EXPECT_EQ(0, platform::SleptMs());
  EXPECT_EQ(start.ms(), MDTime().ms());  // the fake clock starts at the same instant each time
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
