// The read/write lock's results and the exception of a failed call, on one thread.
#include <errno.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "MediaFileSystem/RWLock.h"

namespace {

TEST(RWLock, TakenHoldsAreOneAndReleasesZeroWhateverTheArgument) {
  CRWLock lock;
  for (int timeout : {-1, 0, 1000}) {
    SCOPED_TRACE(timeout);
    EXPECT_EQ(lock.LockRead(timeout), 1);
    EXPECT_EQ(lock.UnlockRead(), 0);
    EXPECT_EQ(lock.LockWrite(timeout), 1);
    EXPECT_EQ(lock.UnlockWrite(), 0);
  }
}

// The holder of the write hold asking again, for writing or reading, is refused by the system
// with EDEADLK; the exception carries that number, and the first hold stays.
TEST(RWLock, ARefusedLockThrowsItsErrorNumberAndKeepsTheHold) {
  struct Case {
    const char* operation;
    const char* call;
    std::function<int(CRWLock&)> lockAgain;
  };
  const Case cases[] = {
      {"CRWLock::LockWrite", "pthread_rwlock_wrlock", [](CRWLock& l) { return l.LockWrite(-1); }},
      {"CRWLock::LockRead", "pthread_rwlock_rdlock", [](CRWLock& l) { return l.LockRead(-1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    CRWLock lock;
    ASSERT_EQ(lock.LockWrite(-1), 1);
    try {
      c.lockAgain(lock);
      ADD_FAILURE() << "no exception";
    } catch (const OzException& e) {
      EXPECT_EQ(e.operation, c.operation);
      EXPECT_EQ(e.text, std::string(c.call) + " failed. Error [" + std::to_string(EDEADLK) + "]");
      EXPECT_EQ(e.tag, "RWLock");
      EXPECT_GT(e.line, 0);
      EXPECT_EQ(e.code, -1);
    }
    EXPECT_EQ(lock.UnlockWrite(), 0);
    EXPECT_EQ(lock.LockWrite(-1), 1) << "the write hold was released once, and only once held";
    EXPECT_EQ(lock.UnlockWrite(), 0);
  }
}

}  // namespace
