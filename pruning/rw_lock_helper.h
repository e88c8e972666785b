// A scoped hold of a CRWLock: read or write, released by the destructor.
#pragma once

#include "MediaFileSystem/RWLock.h"

class CRWLockHelper {
 public:
  CRWLockHelper(CRWLock* lock, bool write) : m_pLock(lock), m_bWrite(write) {
    if (m_pLock == nullptr) return;
    if (m_bWrite) {
      m_pLock->LockWrite(-1);
    } else {
      m_pLock->LockRead(-1);
    }
  }
  ~CRWLockHelper() {
    if (m_pLock == nullptr) return;
    if (m_bWrite) {
      m_pLock->UnlockWrite();
    } else {
      m_pLock->UnlockRead();
    }
  }
  CRWLockHelper(const CRWLockHelper&) = delete;
  CRWLockHelper& operator=(const CRWLockHelper&) = delete;

 private:
  CRWLock* m_pLock;
  bool m_bWrite;
};
