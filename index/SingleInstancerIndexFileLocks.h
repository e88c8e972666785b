// Definitions of the index file template: the inter-process lock of a container index.
//
// On plain file systems the lock is a record lock on bytes 0..1023, shared for readers and
// exclusive for writers, taken without waiting. It is an open-file-description lock: it conflicts
// with the classic record locks of other processes on the same range, but unlike a classic lock it
// is not dropped when this process closes some other descriptor of the same file. (The kernel
// reports no process id for such a holder: a conflict with another open-file-description lock
// shows -1 as the locked process id.)
#pragma once

#ifndef IDX_TEMPLATE
#error "included only by index/SingleInstancerIndexFile.cc, which instantiates the template"
#endif

IDX_TEMPLATE
CXoError IDX_CLASS::LockFile() {
  if (IsSkarvo()) {
    const CFSInitParams params = InitParams() ? *InitParams() : CFSInitParams{};
    m_pSkarvoLock = std::make_unique<CSkarvoLock>(params, m_FileName, m_pDbg);
    const int iRet = m_pSkarvoLock->TryLock();
    if (iRet == 0) return CXoError::Success();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrLock, "Unable to aquire the Lock to File [%s]. iRet [%d]",
                                   m_FileName.c_str(), iRet);
  }
  if (auto* dataServerFile = dynamic_cast<CDataServerFile*>(m_pFp.get())) {
    return dataServerFile->LockFile(m_iMode == 1);
  }
  const int fd = m_pFp->GetFD();
  if (fd == -1) return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrInvalidParameter);

  struct flock fl {};
  fl.l_type = m_iMode == 1 ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = kLockRangeBytes;
  fl.l_pid = 0;  // must be 0 for open-file-description locks
  if (fcntl(fd, F_OFD_SETLK, &fl) != -1) return CXoError::Success();

  const int err = errno;
  fl.l_type = m_iMode == 1 ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = kLockRangeBytes;
  fl.l_pid = 0;
  (void)fcntl(fd, F_OFD_GETLK, &fl);
  const int lockedPid = fl.l_type == F_UNLCK ? 0 : fl.l_pid;
  m_pDbg->debug("%s:%d Unable to Lock the index file:[%s][%d], errorno=%d Error:%s LockedPid=%d", "LockFile",
                __LINE__, m_FileName.c_str(), fd, err, strerror(err), lockedPid);
  return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrLock,
                                 "Unable to aquire the Lock to File [%s] ErrorNo:%d LockedPID:%d", m_FileName.c_str(),
                                 err, lockedPid);
}

IDX_TEMPLATE
CXoError IDX_CLASS::UnlockFile() {
  if (m_pSkarvoLock) {
    (void)m_pSkarvoLock->Unlock();
    m_pSkarvoLock.reset();
    return CXoError::Success();
  }
  if (auto* dataServerFile = dynamic_cast<CDataServerFile*>(m_pFp.get())) {
    return dataServerFile->UnlockFile();
  }
  const int fd = m_pFp->GetFD();
  if (fd == -1) return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrInvalidParameter);

  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = kLockRangeBytes;
  fl.l_pid = 0;
  if (fcntl(fd, F_OFD_SETLK, &fl) != -1) return CXoError::Success();

  const int err = errno;
  m_pDbg->debug("%s:%d Unable to Unlock the index file:[%s][%d], errorno=%d Error:%s ", "UnlockFile", __LINE__,
                m_FileName.c_str(), fd, err, strerror(err));
  return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Unable to UnLock File [%s][%d] ErrorNo:%d ",
                                 m_FileName.c_str(), fd, err);
}
