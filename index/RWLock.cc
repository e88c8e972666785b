#include "MediaFileSystem/RWLock.h"

#include <cstdio>

namespace {

// The exception of a failed pthread call `call` of `operation` that returned `err`.
[[noreturn]] void Throw(const char* operation, const char* call, int err, int line) {
  char message[512];
  snprintf(message, sizeof(message), "%s failed. Error [%d]", call, err);
  throw OzException{operation, message, "RWLock", line, -1};
}

}  // namespace

CRWLock::CRWLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  const int err = pthread_rwlock_init(&m_lock, &attr);
  pthread_rwlockattr_destroy(&attr);
  if (err != 0) Throw("CRWLock::CRWLock", "pthread_rwlock_init", err, __LINE__);
}

CRWLock::~CRWLock() { (void)pthread_rwlock_destroy(&m_lock); }

int CRWLock::LockRead(int) {
  const int err = pthread_rwlock_rdlock(&m_lock);
  if (err != 0) Throw("CRWLock::LockRead", "pthread_rwlock_rdlock", err, __LINE__);
  return 1;
}

int CRWLock::LockWrite(int) {
  const int err = pthread_rwlock_wrlock(&m_lock);
  if (err != 0) Throw("CRWLock::LockWrite", "pthread_rwlock_wrlock", err, __LINE__);
  return 1;
}

int CRWLock::UnlockRead() {
  const int err = pthread_rwlock_unlock(&m_lock);
  if (err != 0) Throw("CRWLock::Unlock", "pthread_rwlock_unlock", err, __LINE__);
  return 0;
}

int CRWLock::UnlockWrite() { return UnlockRead(); }
