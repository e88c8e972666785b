// Definitions of the index file template: the inter-process lock of a container index.
//
// On plain file systems the process holds one lock per file for all its objects
// (CIndexFileLockTable): the objects of one process never exclude each other, a conflicting
// process is refused at once, and the refusal names the holder's process id where the system
// tells it.
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
  int lockedPid = 0;
  const int err = CIndexFileLockTable::Acquire(fd, m_iMode != 1, &m_LockShare, &lockedPid);
  if (err == 0) return CXoError::Success();
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
  // The share is given back even when the object's descriptor has gone (a reopening that could
  // not open the file): the lock is carried by the table's own descriptor.
  const int fd = m_pFp->GetFD();
  if (fd == -1 && !m_LockShare.Held) return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrInvalidParameter);
  const int err = CIndexFileLockTable::Release(&m_LockShare);
  if (err == 0) return CXoError::Success();

  m_pDbg->debug("%s:%d Unable to Unlock the index file:[%s][%d], errorno=%d Error:%s ", "UnlockFile", __LINE__,
                m_FileName.c_str(), fd, err, strerror(err));
  return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Unable to UnLock File [%s][%d] ErrorNo:%d ",
                                 m_FileName.c_str(), fd, err);
}
