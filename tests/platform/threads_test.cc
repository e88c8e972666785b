// Locks and time: named locks between objects and processes, and the injectable sleep and clock.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(TimeTest, StopwatchResolvesTimesBelowAMillisecond) {
  CStopWatch never;
  EXPECT_EQ(0, never.TicksPerSecond());  // no rate before a start: no seconds either
  EXPECT_EQ(0.0, never.ElapsedSeconds());

  CStopWatch watch;
  watch.Start();
  platform::AdvanceClockNs(250000);
  watch.Stop();
  platform::AdvanceClockNs(1000000);
  EXPECT_EQ(1000000000, watch.TicksPerSecond());
  EXPECT_EQ(250000, watch.ElapsedTicks());
  EXPECT_DOUBLE_EQ(0.00025, watch.ElapsedSeconds());
  EXPECT_EQ(0, watch.ElapsedMs());
}

// The real clock, once: a sleep of a few milliseconds, and a wait of a tenth of one.
TEST(TimeTest, StopwatchOnTheRealClockMeasuresWhatPassed) {
  platform::SetRealClock(true);
  CStopWatch watch;
  watch.Start();
  timespec pause{0, 5000000};
  while (nanosleep(&pause, &pause) != 0) {
  }
  watch.Stop();
  EXPECT_GT(watch.TicksPerSecond(), 0);
  EXPECT_GE(watch.ElapsedSeconds(), 0.004);
  EXPECT_LT(watch.ElapsedSeconds(), 1.0);
  EXPECT_NEAR(watch.ElapsedSeconds(), static_cast<double>(watch.ElapsedTicks()) / watch.TicksPerSecond(), 1e-9);

  timespec from{}, now{};
  clock_gettime(CLOCK_MONOTONIC, &from);
  watch.Start();
  do {
    clock_gettime(CLOCK_MONOTONIC, &now);
  } while ((now.tv_sec - from.tv_sec) * 1000000000L + (now.tv_nsec - from.tv_nsec) < 100000);
  watch.Stop();
  EXPECT_GT(watch.ElapsedSeconds(), 0.00005);
  EXPECT_LT(watch.ElapsedSeconds(), 0.5);
}

}  // namespace
