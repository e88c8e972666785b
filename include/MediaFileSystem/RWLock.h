// CRWLock: a read/write lock of the process's threads that prefers writers. Any number of threads
// may hold it for reading at once; the write hold excludes every other holder; while a writer
// waits, new readers wait behind it. So a thread that holds a read hold must not ask for another
// one (it would wait for the writer, which waits for it), and neither kind of hold nests.
//
// The locks wait as long as needed and return 1 once the hold is taken; the unlocks return 0.
// Every failure throws OzException (operation, message "<call> failed. Error [<errno>]", tag
// "RWLock", line, code -1); after a failed lock nothing is held, after a failed unlock the hold
// is as it was.
#pragma once

#include <pthread.h>

#include "platform/error.h"

class CRWLock {
 public:
  CRWLock();
  // The lock must not be held.
  ~CRWLock();
  CRWLock(const CRWLock&) = delete;
  CRWLock& operator=(const CRWLock&) = delete;

  // The argument has no effect; callers pass -1.
  int LockRead(int timeout);
  int LockWrite(int timeout);
  int UnlockRead();
  int UnlockWrite();

 private:
  pthread_rwlock_t m_lock;
};
