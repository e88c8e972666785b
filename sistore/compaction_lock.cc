// The chunk's compaction lock, the rename that puts a compacted copy in place, the hard-link test
// that keeps recovery away from hard-linked SFiles on scale-out storage, and the permission
// switch that is read but no longer honoured. The compacting host, the recovery of interrupted
// compactions and the pruner share them.
//
// The lock is the same open-file-description lock that an open container index holds on its
// file (index/IndexFileLockTable.h): exclusive between processes, shared by the objects of one
// process, and carried by a descriptor of the lock table's own, so that no other descriptor's
// close in the process drops it. On "SFILE_CONTAINER.idx" it therefore excludes every other
// process that has the chunk's container index open, and a host that has the index open itself
// can still take it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "index/IndexFileLockTable.h"
#include "platform/config.h"
#include "platform/platform.h"
#include "platform/posix_file.h"
#include "platform/string_format.h"
#include "platform/threads.h"
#include "sistore/compaction_internal.h"

using namespace compaction;

namespace {

constexpr int kLockAttempts = 400;
constexpr uint32_t kLockRetryMs = 5;
constexpr int kRenameMethodFirst = 2;
constexpr int kRenameMethodFallback = 4;
constexpr size_t kRenameMethodsRemembered = 128;

// ---- Process-wide values, returned to their first state by platform::ResetAll ---------------------

OzCriticalSectionH& RenameMethodLock() {
  static auto* lock = new OzCriticalSectionH;  // outlives every caller
  return *lock;
}

std::map<uint32_t, int>& RenameMethods() {
  static auto* methods = new std::map<uint32_t, int>;
  return *methods;
}

// The two settings below are read once per process, by whichever pruner or store thread asks first.
OzCriticalSectionH& SettingsLock() {
  static auto* lock = new OzCriticalSectionH;  // outlives every caller
  return *lock;
}

bool s_bValidityCheckRead = false;
int s_nDoValidityCheck = 1;
bool s_bResetPermRead = false;
int s_nResetFolderPerm = 0;

void ResetCompactionLockValues() {
  {
    OzCriticalSectionGuard guard(&RenameMethodLock());
    RenameMethods().clear();
  }
  OzCriticalSectionGuard guard(&SettingsLock());
  s_bValidityCheckRead = false;
  s_nDoValidityCheck = 1;
  s_bResetPermRead = false;
  s_nResetFolderPerm = 0;
}

[[maybe_unused]] const bool kResetRegistered = (platform::RegisterReset(&ResetCompactionLockValues), true);

// Takes the lock on the open lock file. Sets `*noDescriptor` when the file has no descriptor to
// lock.
CXoError TakeLock(CFileInterface* file, CIndexFileLockShare* share, bool* noDescriptor) {
  if (auto* dataServerFile = dynamic_cast<CDataServerFile*>(file)) return dataServerFile->LockFile(false);
  const int fd = file->GetFD();
  if (fd < 0) {
    *noDescriptor = true;
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrAccessDenied, "[%s] has no descriptor to lock",
                                file->GetFileName().c_str());
  }
  const int err = CIndexFileLockTable::Acquire(fd, true, share, nullptr);
  if (err == 0) return CXoError::Success();
  // A refusal is a lock held elsewhere, whatever the system calls it.
  const int reported = (err == EAGAIN || err == EACCES) ? EACCES : err;
  return FXErrorUtil::ErrorErrNo(FX_LOCATION, reported, "Cannot lock [%s]", file->GetFileName().c_str());
}

bool IsLockBusy(const CXoError& e) { return FXErrorUtil::IsErrNo(e, EACCES) || FXErrorUtil::IsErrNo(e, EAGAIN); }

}  // namespace

namespace compaction {

bool IsContainerIndexPath(const std::string& path) {
  return CXoString::ReverseFind(CXoString::ToLower(path), CXoString::ToLower(kContainerIndexName)) != std::string::npos;
}

}  // namespace compaction

// ---- The chunk's compaction lock ----------------------------------------------------------------

SCmpctChnkLockCtx::~SCmpctChnkLockCtx() {
  if (pLockFile == nullptr) return;
  (void)CIndexFileLockTable::Release(&LockShare);
  CXoError e = pLockFile->Close();
  if (e.IsFailure()) {
    EvDebug own;
    LogOf(pDbg, own)->DebugLvl("Unlock", 1, "Cannot close lock file under [%s]. Err [%s].", strChunkDir.c_str(),
                               e.AsString().c_str());
  }
  delete pLockFile;
  pLockFile = nullptr;
}

CXoError SingleInstancer_FS::LockChunkForCompaction(SCmpctChnkLockCtx* pCtx, EvDebug* pDbg, bool bLockSfileIdx) {
  if (pCtx == nullptr) return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidParameter);
  if (pCtx->pLockFile != nullptr) return CXoError::Success();
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  const std::string lockPath = CXoPath::Append(pCtx->strChunkDir, bLockSfileIdx ? kContainerIndexName : kCompactLockName);
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(pCtx->InitParams));
  if (!file) {
    CXoError e = FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle, "No file interface for the storage type [%d]",
                                      pCtx->InitParams.m_Type);
    log->DebugLvl("LockChunkForComp", 1, "Cannot create/open lock file at [%s]. Error [%s]. Debug [%s].",
                  lockPath.c_str(), e.AsString().c_str(), "");
    return e;
  }

  // The container index is locked only where it exists: an empty one made here would pass for
  // the chunk's index and hide a compacted copy waiting to replace it.
  const int flags = bLockSfileIdx ? O_RDWR : O_RDWR | O_CREAT;
  CXoError last;
  bool noDescriptor = false;
  for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
    last = file->Open(lockPath, flags, 0777, 0);
    if (last.IsSuccess()) last = TakeLock(file.get(), &pCtx->LockShare, &noDescriptor);
    if (last.IsSuccess()) {
      CXoError flushed = file->Flush();
      if (flushed.IsFailure()) {
        log->DebugLvl("LockChunkForComp", 1, "Cannot flush lock file at [%s]. Error [%s].", lockPath.c_str(),
                      flushed.AsString().c_str());
        (void)CIndexFileLockTable::Release(&pCtx->LockShare);
        (void)file->Close();
        return flushed;
      }
      pCtx->pLockFile = file.release();
      return CXoError::Success();
    }
    if (noDescriptor || !IsLockBusy(last)) break;
    if (attempt < kLockAttempts) XOSLEEP_InTeRnAl(kLockRetryMs, __FILE__, __LINE__);
  }

  std::string debug;
  const int fd = file->GetFD();
  if (fd >= 0 && IsLockBusy(last)) {
    debug = StringFormat("Errno [%d]. Locking pid [%d]. fd [%d].", FXErrorUtil::GetErrNo(last),
                         CIndexFileLockTable::HolderOf(fd, true), fd);
  }
  log->DebugLvl("LockChunkForComp", 1, "Cannot create/open lock file at [%s]. Error [%s]. Debug [%s].", lockPath.c_str(),
                last.AsString().c_str(), debug.c_str());
  (void)file->Close();
  return last;
}

// ---- Renames ------------------------------------------------------------------------------------

CXoError SingleInstancer_FS::RenameCompactableFile(std::string& strSrc, std::string& strDst, CFSInterface* pFS,
                                                   EvDebug* pDbg) {
  if (pDbg == nullptr || pFS == nullptr) {
    ozassert(false, "!\"Null EvDebug or FS Ptr\"", __FILE__, __func__, __LINE__);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidParameter);
  }
  const uint32_t key = static_cast<uint32_t>(pFS->GetInitParams().m_MountPathId);
  int method = kRenameMethodFirst;
  {
    OzCriticalSectionGuard guard(&RenameMethodLock());
    std::map<uint32_t, int>& methods = RenameMethods();
    if (methods.size() > kRenameMethodsRemembered) methods.clear();
    const int remembered = methods[key];
    if (remembered != 0) method = remembered;
  }
  bool fellBack = false;
  for (;;) {
    CXoError e = pFS->Rename(strSrc, strDst, method);
    if (e.IsSuccess()) {
      if (fellBack) {
        OzCriticalSectionGuard guard(&RenameMethodLock());
        RenameMethods()[key] = kRenameMethodFallback;
      }
      return e;
    }
    if (FXErrorUtil::IsErrNo(e, ENOENT)) {
      pDbg->DebugLvl("RenameCompFile", 1, "Error: Compact file not found for rename. [%s].", strSrc.c_str());
      return e;
    }
    if (method == kRenameMethodFirst && !fellBack) {
      method = kRenameMethodFallback;
      fellBack = true;
      continue;
    }
    pDbg->DebugLvl("RenameCompFile", 1, "Unable to rename file. Flg [%d], [%s] to [%s]. Err [%s]", method, strSrc.c_str(),
                   strDst.c_str(), e.AsString().c_str());
    return e;
  }
}

// ---- Hard links and permissions -----------------------------------------------------------------

bool SingleInstancer_FS::IsSfileHardLink(std::string& path) {
  EvDebug log;
  int doValidityCheck = 1;
  {
    OzCriticalSectionGuard guard(&SettingsLock());
    if (!s_bValidityCheckRead) {
      s_bValidityCheckRead = true;
      long long value = 0;
      OZPlatformInfo info;
      if (info.getNumber("ZovadAdeve", "SIDoSfileValidityCheck", &value)) s_nDoValidityCheck = static_cast<int32_t>(value);
      log.DebugLvl("IsSfileHardLink", 1, "%s: Sfile validity check is set to [%d]", "IsSfileHardLink", s_nDoValidityCheck);
    }
    doValidityCheck = s_nDoValidityCheck;
  }
  if (doValidityCheck == 0) return false;
  if (!StartsWithGlusterPrefixNoCase(path.c_str())) return false;
  struct stat st {};
  const int ret = ::lstat(path.c_str(), &st);
  if (ret != 0) {
    const int err = errno;
    log.debugLvl(1, "%s: Failed to get stats for file [%s]. Err [%d], Ret [%d]", "IsSfileHardLink", path.c_str(), err, ret);
    return err != ENOENT;  // a file that cannot be examined counts as linked; a missing one does not
  }
  return st.st_nlink > 1;
}

int SingleInstancer_FS::GetPermissionsResetFlag(EvDebug* pDbg) {
  OzCriticalSectionGuard guard(&SettingsLock());
  if (!s_bResetPermRead) {
    s_bResetPermRead = true;
    long long value = 0;
    OZPlatformInfo info;
    if (info.getNumber("ZovadAdeve", "SIFSResetSfilePermissions", &value)) s_nResetFolderPerm = static_cast<int32_t>(value);
    EvDebug own;
    LogOf(pDbg, own)->DebugLvl("GetPermResetFlag", 1,
                               "%s: SI FS reset Sfile permissions set to [%d]. Its NOT HONORED now. Pls contact support.",
                               "GetPermResetFlag", s_nResetFolderPerm);
    s_nResetFolderPerm = 0;
  }
  return s_nResetFolderPerm;
}

CXoError SingleInstancer_FS::AttemptPermissionsReset(CFSInterface* /*pFS*/, const char* /*szPath*/, EvDebug* pDbg,
                                                     bool /*flag*/, bool& bReset) {
  bReset = false;
  (void)GetPermissionsResetFlag(pDbg);
  return CXoError::Success();
}
