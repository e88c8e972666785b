// Delayed flushing and the data mover's checkpoints. A full container is parked, still open, in
// the delayed queue; once the queue is half full the oldest goes to the process's file flusher,
// whose workers flush it while the writer goes on. Finished flushes are collected one at a time:
// the container is closed and its file interface goes back to the pool. FlushDataFile hands the
// current container (it stays open) and every parked one to the flusher, flushes the container
// index and waits for them all; FlushMetaDataFile flushes the metadata file and its index. A
// checkpoint also flushes the folders in which it created names, so what it made durable can be
// found after a crash. On cloud mount paths nothing is submitted: collected containers are closed.
//
// A request is in exactly one place: the free list, the delayed queue or the busy queue. Only the
// host's thread touches the queues; a busy request belongs to the flusher until it is collected.

#include "MediaFileSystem/RealMagnetic.h"
#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

constexpr unsigned int kNoTimeLimit = 0xFFFFFFFFu;

}  // namespace

SingleInstancer_FS::SFlushReq* SingleInstancer_FS::AllocFlushReq() {
  if (m_FreeFlushReqsQ.empty()) return new SFlushReq;
  SFlushReq* req = m_FreeFlushReqsQ.front();
  m_FreeFlushReqsQ.pop_front();
  return req;
}

void SingleInstancer_FS::FreeFlushReq(SFlushReq* req) {
  if (req == nullptr) return;
  if (m_FreeFlushReqsQ.size() >= static_cast<size_t>(m_MaxDelayedSfileFlushQSize)) {
    delete req;
    return;
  }
  req->pFile = nullptr;
  req->Result = CXoError::Success();
  req->strFileName.clear();
  req->bKeepOpen = false;
  m_FreeFlushReqsQ.push_back(req);
}

void SingleInstancer_FS::FlushOneDelayedSfileAsync() {
  if (m_DelayedSfileFlushQ.empty()) return;
  SFlushReq* req = m_DelayedSfileFlushQ.front();
  m_DelayedSfileFlushQ.pop_front();
  if (m_iCloudMode == 0) {
    if (ozassert(m_pFileFlusher != nullptr, "m_pFileFlusher != NULL", "SingleInstancerFS",
                 "SingleInstancer_FS::FlushOneDelayedSfileAsync", __LINE__)) {
      m_pFileFlusher->Submit(req);
    } else {
      // No flusher to hand it to: the flush is done here, so the request is still settled.
      req->Result = req->pFile->Flush();
      req->pDoneEvent->set();
    }
  }
  m_BusySfileFlushQ.push_back(req);
}

int SingleInstancer_FS::WaitForFlushRequest(SFlushReq* req, unsigned int ms) {
  if (m_pFileFlusher != nullptr) return m_pFileFlusher->Wait(req, ms);
  return req->pDoneEvent->wait(ms) ? 0 : 1;
}

int SingleInstancer_FS::WaitAndProcessSfileFlush(unsigned int ms) {
  static const char kOp[] = "WaitAndProcessSfileFlush";
  const int rc = WriteCacheBuffersToFile(1, true);
  if (rc != 0) {
    Log(1, "%s: [Error] Failed to flush Cache. iRet [%d], Line [%d]", kOp, rc, __LINE__);
    return -1;
  }
  if (m_BusySfileFlushQ.empty()) return 0;

  StartTimedOperation();
  SFlushReq* req = m_BusySfileFlushQ.front();
  if (m_iCloudMode == 0) {
    int waited;
    if (ms == 0) {
      waited = WaitForFlushRequest(req, 0);
    } else {
      m_SfileFlushWaitCounter.Start();
      waited = WaitForFlushRequest(req, ms);
      if (waited == 0) m_SfileFlushWaitCounter.Stop();
    }
    if (waited != 0) {
      EndTimedOperation(0);
      return 1;
    }
  }
  m_BusySfileFlushQ.pop_front();
  const std::string name = req->strFileName;
  const CXoError result = req->Result;
  CFileInterface* file = req->pFile;
  const bool keepOpen = req->bKeepOpen;
  FreeFlushReq(req);

  if (result.IsFailure()) {
    Log(1, "%s: Unable to flush data file [%s]. Error [%s]", kOp, name.c_str(), result.AsString().c_str());
    ConvertAndSetLastMMError(result);
    if (!keepOpen) {
      (void)file->Close();
      m_lstDataFileCache.push_back(file);
    }
    EndTimedOperation(0);
    return -1;
  }
  if (!keepOpen) {
    CXoError e = file->Close();
    m_lstDataFileCache.push_back(file);
    if (e.IsFailure()) {
      Log(1, "%s: Unable to close data file [%s]. Error [%s]", kOp, name.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      EndTimedOperation(0);
      return -1;
    }
  }
  EndTimedOperation(0);
  return 0;
}

void SingleInstancer_FS::SettleBusyFlushes() {
  const long long lastError = m_llLastError;
  const std::string lastErrorMsg = m_strLastErrorMsg;
  while (!m_BusySfileFlushQ.empty()) {
    if (WaitAndProcessSfileFlush(kNoTimeLimit) == 1) break;  // cannot happen without a time limit
  }
  m_llLastError = lastError;
  m_strLastErrorMsg = lastErrorMsg;
}

int SingleInstancer_FS::FlushDataFile() {
  static const char kOp[] = "SingleInstancer_FS::FlushDataFile";
  const int rc = WriteCacheBuffersToFile(1, true);
  if (rc != 0) {
    Log(1, "%s: [Error] Failed to flush Cache. iRet [%d], Line [%d]", kOp, rc, __LINE__);
    return -1;
  }
  const bool indexOpen = m_fdSFileIdx.IsValid();
  if (indexOpen && m_fdSFileIdx.m_Header.TotalEntries >= 1 && m_pFdDataFile != nullptr && m_pFdDataFile->IsValid()) {
    SFlushReq* req = AllocFlushReq();
    req->pFile = m_pFdDataFile;
    req->strFileName = m_strDataFileName;
    req->bKeepOpen = true;
    m_DelayedSfileFlushQ.push_back(req);
  }
  while (!m_DelayedSfileFlushQ.empty()) FlushOneDelayedSfileAsync();

  // From here on a failure first waits for every flush it started: a request goes back to the
  // free list only after its worker let go of it, and the current container is written again
  // only after its flush ended.
  StartTimedOperation();
  if (indexOpen) {
    CXoError e;
    try {
      CImpersonator scope(m_LoggedOnUser.GetToken());
      e = m_fdSFileIdx.Flush();
    } catch (...) {
      SettleBusyFlushes();
      throw;
    }
    if (e.IsFailure()) {
      Log(1, "Failed to flush the data index file, error=%s", e.AsString().c_str());
      RecordFailure(e);
      if (m_llLastError == kMMErrAccessDenied) DisplayError(kMMErrAccessDenied, 1, "Failed to flush the data index file");
      SettleBusyFlushes();
      return -1;
    }
  }
  if (m_bOZSIDevice && m_pFdNonSIFile != nullptr && m_pFdNonSIFile->IsValid()) {
    CXoError e = m_pFdNonSIFile->Flush();
    if (e.IsFailure()) {
      Log(1, "Failed to flush the non si file, error=%s", e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      SettleBusyFlushes();
      return -1;
    }
  }
  EndTimedOperation(0);

  while (!m_BusySfileFlushQ.empty()) {
    const int ret = WaitAndProcessSfileFlush(kNoTimeLimit);
    if (ret != 0) {
      Log(1, "FlushFile failed. iRet [%d]", ret);
      SettleBusyFlushes();
      return ret;
    }
  }
  return FlushChangedFolders(kOp);
}

int SingleInstancer_FS::FlushMetaDataFile() {
  static const char kOp[] = "SingleInstancer_FS::FlushMetaDataFile";
  if (m_pFdMetaDataFile == nullptr || !m_pFdMetaDataFile->IsValid()) return 0;
  const int rc = WriteCacheBuffersToFile(2, true);
  if (rc != 0) {
    Log(1, "%s: [Error] Failed to flush Cache. iRet [%d], Line [%d]", kOp, rc, __LINE__);
    return -1;
  }
  StartTimedOperation();
  CXoError e = m_pFdMetaDataFile->Flush();
  EndTimedOperation(0);
  if (e.IsFailure()) {
    Log(1, "Failed to flush the metadata file, error=%s", e.AsString().c_str());
    RecordFailure(e);
    return -1;
  }
  if (m_fdChunkMDIdx.IsValid()) {
    e = m_fdChunkMDIdx.Flush();
    if (e.IsFailure()) {
      Log(1, "Failed to flush the chunk metadata index file, error=%s", e.AsString().c_str());
      RecordFailure(e);
      return -1;
    }
  }
  return FlushChangedFolders(kOp);
}

int SingleInstancer_FS::FlushChangedFolders(const char* op) {
  if (m_iCloudMode != 0) {  // object stores have no folders to flush
    m_bChunkFolderChanged = m_bVolumeFolderChanged = false;
    return 0;
  }
  struct Folder {
    bool* changed;
    std::string path;
  };
  for (const Folder& f : {Folder{&m_bChunkFolderChanged, m_strChunkDir}, Folder{&m_bVolumeFolderChanged, m_szPath}}) {
    if (!*f.changed || f.path.empty()) continue;
    CXoError e = FlushFolder(f.path);
    if (e.IsFailure()) {
      Log(1, "%s: Failed to flush the folder [%s], error=%s", op, f.path.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
    *f.changed = false;
  }
  return 0;
}

CXoError SingleInstancer_FS::FlushFolder(const std::string& folder) {
  return RealMagneticFS::FlushFolder(m_FileInitParams, folder);
}
