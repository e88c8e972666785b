// Recovery of interrupted compactions on disk, and the switch that puts a finished compacted copy
// in place. A compaction works on side files beside the file it compacts (an SFile container or
// the chunk's container index):
//   scheme 1: the copy ".compact" and the marker ".temp" (the copy is complete and must replace
//             the file); a ".compact" alone is unfinished, a ".temp" alone a leftover;
//   scheme 2: the copy ".compact2", put in place by SwitchCompactableFile (delete the file, then
//             rename the copy); with the file present the copy is unfinished, without it the
//             switch stopped between its two steps.
// Every recovery step leaves a state that the next recovery finishes, so a recovery may itself
// stop anywhere. Side files are looked for without a lock; the chunk's compaction lock is taken
// only once one is seen, and every decision is made again under it. The switch takes the same
// lock, so a recovery never judges a switch half done. Cloud storage goes to
// compaction_recovery_cloud.cc.

#include <cerrno>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/config.h"
#include "platform/platform.h"
#include "platform/threads.h"
#include "sistore/compaction_internal.h"

using namespace compaction;

namespace {

constexpr int kDefaultRetryMax = 30;
constexpr uint32_t kRetryPauseMs = 2000;
constexpr uint32_t kCompact2RecheckPauseMs = 1000;
// How often one call tries to rename or delete a side file that vanishes under it before it gives
// up. A file that keeps vanishing (a file system that lists what it cannot rename) ends the call
// with its error instead of holding the chunk lock for ever.
constexpr int kMaxVanishedPerCall = 10;
constexpr unsigned int kSwitchDeleteFlags = 8;

// Read once per process, by whichever recovery asks first.
OzCriticalSectionH& RetrySettingLock() {
  static auto* lock = new OzCriticalSectionH;  // outlives every caller
  return *lock;
}
bool s_bRetryRead = false;
int s_nRetryMax = kDefaultRetryMax;

void ResetRecoveryValues() {
  OzCriticalSectionGuard guard(&RetrySettingLock());
  s_bRetryRead = false;
  s_nRetryMax = kDefaultRetryMax;
}

[[maybe_unused]] const bool kResetRegistered = (platform::RegisterReset(&ResetRecoveryValues), true);

void FillLockContext(SCmpctChnkLockCtx& ctx, const char* szPath, EvDebug* pDbg, CFSInterface* fs) {
  ctx.strChunkDir = CXoPath::GetParent(szPath);
  ctx.pLockFile = nullptr;
  ctx.pDbg = pDbg;
  ctx.InitParams = fs->GetInitParams();
}

bool IsCloud(const CFSInterface* fs) { return fs->GetType() == kFSTypeCloud; }

// Counts one side file that vanished under an action; true when the call is to give up.
bool GiveUpAfter(int& vanished, EvDebug* log, const char* tag, const char* szPath) {
  if (++vanished < kMaxVanishedPerCall) return false;
  log->DebugLvl(tag, 1, "Error: Side files of [%s] keep vanishing. Recovery gave up after [%d] attempts.", szPath,
                kMaxVanishedPerCall);
  return true;
}

// Takes the chunk lock for the recovery or switch of `szPath`. An SFile's is the container index,
// which the lock never creates (an empty index would hide a compacted copy of the index). A chunk
// without an index (an older layout, or an index between the two steps of its own switch) is
// locked through ".compactlock" instead, which the index's own recovery and switch take too;
// that stands only while the index is still absent under the lock, else the call is refused
// as busy and the retry takes the index.
CXoError LockFor(SCmpctChnkLockCtx& lock, CFSInterface* fs, const char* szPath, EvDebug* pDbg, EvDebug* log,
                 const char* tag, const char* purpose) {
  const bool byIndex = !LocksCompactLockFile(szPath);
  const std::string index = CXoPath::Append(lock.strChunkDir, kContainerIndexName);
  bool onIndex = byIndex;
  if (byIndex) {
    // A test that fails leaves the index lock, whose open tells what is wrong.
    bool exists = true;
    if (fs->Exists(index, exists).IsSuccess() && !exists) onIndex = false;
  }
  CXoError e = SingleInstancer_FS::LockChunkForCompaction(&lock, pDbg, onIndex);
  if (e.IsSuccess() && byIndex && !onIndex) {
    bool exists = true;
    e = fs->Exists(index, exists);
    if (e.IsSuccess() && exists) {
      e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EAGAIN, "The container index [%s] appeared while the chunk was locked",
                                  index.c_str());
    }
  }
  if (e.IsFailure()) {
    log->DebugLvl(tag, 1, "Unable to lock path [%s] for %s. Error [%s],", lock.strChunkDir.c_str(), purpose,
                  e.AsString().c_str());
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrAccessDenied, "The chunk lock of [%s] was not obtained",
                                lock.strChunkDir.c_str());
  }
  ozassert(lock.IsLocked(), "ChunkLock.IsLocked() == true", __FILE__, __func__, __LINE__);
  return e;
}

}  // namespace

CXoError SingleInstancer_FS::ShouldRecoverCompactableFile(CFSInterface* fs, const char* szPath, EvDebug* pDbg,
                                                          bool& bCompactExists, bool& bTempExists) {
  static const char kTag[] = "ShouldRecoverCompactableFile";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (fs == nullptr) {
    log->DebugLvl(kTag, 1, "Cannot proceed without a file system interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  for (auto [suffix, flag] : {std::pair<const char*, bool*>{kCompactSuffix, &bCompactExists}, {kTempSuffix, &bTempExists}}) {
    const std::string side = std::string(szPath) + suffix;
    bool exists = false;
    CXoError e = fs->Exists(side, exists);
    if (e.IsFailure()) {
      log->DebugLvl(kTag, 1, "Unable to find if compact file is present [%s]. Error [%s].", side.c_str(),
                    e.AsString().c_str());
      return e;
    }
    *flag = exists;
  }
  return CXoError::Success();
}

CXoError SingleInstancer_FS::RecoverCompactableFileEx(CFSInterface* fs, const char* szPath, EvDebug* pDbg,
                                                      bool bChunkLocked) {
  static const char kTag[] = "RcvrCompFileEx";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (fs == nullptr) {
    log->DebugLvl(kTag, 1, "Invalid FS interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  SCmpctChnkLockCtx lock;
  FillLockContext(lock, szPath, pDbg, fs);
  if (IsCloud(fs)) return CXoError::Success();

  std::string path = szPath;
  std::string compact = path + kCompactSuffix;
  const std::string temp = path + kTempSuffix;
  bool isIndexDecided = false;
  bool isIndex = false;
  int vanished = 0;
  for (;;) {
    bool compactExists = false;
    bool tempExists = false;
    CXoError e = ShouldRecoverCompactableFile(fs, szPath, pDbg, compactExists, tempExists);
    if (e.IsFailure()) {
      log->DebugLvl(kTag, 1, "Cannot find if file has to be recovered. [%s]. Error [%s].", szPath, e.AsString().c_str());
      return e;
    }
    if (!compactExists && !tempExists) return CXoError::Success();
    if (!isIndexDecided) {
      isIndex = IsContainerIndexPath(path);
      isIndexDecided = true;
    }
    if (bChunkLocked) {
      // The caller's lock guards SFiles only: the index's own recovery needs ".compactlock".
      if (isIndex) ozassert(false, "!nIsSfileIdx", __FILE__, __func__, __LINE__);
    } else if (!lock.IsLocked()) {
      e = LockFor(lock, fs, szPath, pDbg, log, kTag, "recovery");
      if (e.IsFailure()) return e;
      continue;  // decide again under the lock
    }

    if (compactExists) {
      log->DebugLvl(kTag, 1, "WARNING: Compact file found during recovery. [%s].", compact.c_str());
      if (!tempExists) {
        e = fs->RemoveFile(compact, 0);
        if (e.IsFailure()) {
          if (FXErrorUtil::IsErrNo(e, ENOENT)) {
            log->DebugLvl(kTag, 1, "WARNING: Compact file not found for delete. Running recovery again. [%s].",
                          compact.c_str());
            if (GiveUpAfter(vanished, log, kTag, szPath)) return e;
            continue;
          }
          log->DebugLvl(kTag, 1, "ERROR: Cannot delete file [%s]. Error [%s].", compact.c_str(), e.AsString().c_str());
          return e;
        }
        log->DebugLvl(kTag, 1, "WARNING: Deleted compact file as temp file wasn't found. [%s].", compact.c_str());
        log->DebugLvl(kTag, 1, "Successfully recovered file [%s].", szPath);
        return CXoError::Success();
      }
      e = RenameCompactableFile(compact, path, fs, log);
      if (e.IsFailure()) {
        if (FXErrorUtil::IsErrNo(e, ENOENT)) {
          log->DebugLvl(kTag, 1, "WARNING: Compact file not found for rename. Running recovery again. [%s].",
                        compact.c_str());
          if (GiveUpAfter(vanished, log, kTag, szPath)) return e;
          continue;
        }
        log->DebugLvl(kTag, 1, "ERROR: Cannot rename file [%s] to [%s]. Err [%s].", compact.c_str(), szPath,
                      e.AsString().c_str());
        return e;
      }
      log->DebugLvl(kTag, 1, "WARNING: Renamed compact to orig file as temp file was found. [%s].", compact.c_str());
    }
    // The copy is in place (or there was none): the marker has done its work. One left behind is
    // a leftover that the next recovery removes.
    e = fs->RemoveFile(temp, 0);
    if (e.IsSuccess()) {
      log->DebugLvl(kTag, 1, "Deleted temp file [%s].", temp.c_str());
    } else {
      log->DebugLvl(kTag, 1, "ERROR: Cannot delete temp file [%s]. Debug [%s].", temp.c_str(), e.AsString().c_str());
    }
    log->DebugLvl(kTag, 1, "Successfully recovered file [%s].", szPath);
    return CXoError::Success();
  }
}

CXoError SingleInstancer_FS::RecoverCompactableFileEx2(CFSInterface* fs, const char* szPath, EvDebug* pDbg,
                                                       bool bChunkLocked, bool& bCompact2Found) {
  static const char kTag[] = "RcvrCompFileEx2";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (fs == nullptr) {
    log->DebugLvl(kTag, 1, "Invalid FS interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  if (IsCloud(fs)) return CXoError::Success();
  SCmpctChnkLockCtx lock;
  FillLockContext(lock, szPath, pDbg, fs);

  std::string path = szPath;
  std::string compact2 = path + kCompact2Suffix;
  int vanished = 0;
  for (;;) {
    bool exists = false;
    CXoError e = fs->Exists(compact2, exists);
    if (e.IsFailure()) {
      log->DebugLvl(kTag, 1, "Unable to find if compact file is present [%s]. Error [%s].", compact2.c_str(),
                    e.AsString().c_str());
      return e;
    }
    if (!exists) return CXoError::Success();
    bCompact2Found = true;
    if (!bChunkLocked && !lock.IsLocked()) {
      e = LockFor(lock, fs, szPath, pDbg, log, kTag, "recovery");
      if (e.IsFailure()) return e;
      continue;  // decide again under the lock
    }

    log->DebugLvl(kTag, 1, "Compact2 file found during recovery. [%s].", compact2.c_str());
    bool original = false;
    e = fs->Exists(path, original);
    if (e.IsFailure()) {
      log->DebugLvl(kTag, 1, "Failed to find if orig file is present [%s]. Err [%s].", szPath, e.AsString().c_str());
      return e;
    }
    if (original) {
      e = fs->RemoveFile(compact2, 0);
      if (e.IsSuccess()) log->DebugLvl(kTag, 1, "Deleted partial compact file as Orig file is present. [%s].", compact2.c_str());
    } else {
      log->DebugLvl(kTag, 1, "Orig Sfile not found. Renaming .compact to [%s].", szPath);
      e = RenameCompactableFile(compact2, path, fs, log);
    }
    if (e.IsSuccess()) {
      log->DebugLvl(kTag, 1, "Successfully recovered file [%s].", szPath);
      return e;
    }
    if (FXErrorUtil::IsErrNo(e, ENOENT)) {
      log->DebugLvl(kTag, 1, original ? "Error: Compact file not found for delete. Running recovery again. [%s]."
                                      : "Error: Compact file not found for rename. Running recovery again. [%s].",
                    compact2.c_str());
      if (GiveUpAfter(vanished, log, kTag, szPath)) return e;
      XOSLEEP_InTeRnAl(kCompact2RecheckPauseMs, __FILE__, __LINE__);
      continue;
    }
    if (original) {
      log->DebugLvl(kTag, 1, "ERROR: Cannot delete file [%s]. Err [%s].", compact2.c_str(), e.AsString().c_str());
    } else {
      log->DebugLvl(kTag, 1, "ERROR: Cannot rename file [%s] to [%s]. Err [%s].", compact2.c_str(), szPath,
                    e.AsString().c_str());
    }
    return e;
  }
}

CXoError SingleInstancer_FS::RecoverCompactableFileByInterface(CFSInterface* fs, const char* szPath,
                                                               ECompactFileType type, EvDebug* pDbg, bool bChunkLocked) {
  static const char kTag[] = "RecvrCompFileI";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (fs == nullptr) {
    log->DebugLvl(kTag, 1, "Invalid FS interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  if (IsCloud(fs)) return RecoverCompactableFileByInterfaceCloud(fs, szPath, pDbg);

  const MDTime started;
  int retryMax = kDefaultRetryMax;
  {
    OzCriticalSectionGuard guard(&RetrySettingLock());
    if (!s_bRetryRead) {
      s_bRetryRead = true;
      long long value = 0;
      OZPlatformInfo info;
      if (info.getNumber("ZovadAdeve", "SIFSCompactFileRetryCount", &value)) s_nRetryMax = static_cast<int32_t>(value);
      log->DebugLvl(kTag, 1, "%s: SI FS compact file max retry count is [%d].", kTag, s_nRetryMax);
    }
    retryMax = s_nRetryMax;
  }
  bool reset = false;
  (void)AttemptPermissionsReset(fs, szPath, pDbg, false, reset);

  bool found = false;
  int retries = 0;
  if (retryMax <= 0) return CXoError::Success();
  CXoError result;
  for (;;) {
    switch (static_cast<int>(type)) {
      case COMPACT_TYPE_COMPACT:
        result = RecoverCompactableFileEx(fs, szPath, pDbg, bChunkLocked);
        break;
      case COMPACT_TYPE_COMPACT2:
        result = RecoverCompactableFileEx2(fs, szPath, pDbg, bChunkLocked, found);
        break;
      case COMPACT_TYPE_BOTH:
        // A ".compact2" that could not be looked for is a failure of its own, whatever scheme 1
        // finds.
        result = RecoverCompactableFileEx2(fs, szPath, pDbg, bChunkLocked, found);
        if (result.IsSuccess() && !found) result = RecoverCompactableFileEx(fs, szPath, pDbg, bChunkLocked);
        break;
      default:
        result = CXoError::Success();
        break;
    }
    if (result.IsSuccess()) break;
    const bool lockBusy = FXErrorUtil::IsErrNo(result, EACCES) || FXErrorUtil::IsMM(result, kMMErrAccessDenied);
    if (bChunkLocked || !lockBusy) break;
    XOSLEEP_InTeRnAl(kRetryPauseMs, __FILE__, __LINE__);
    if (++retries >= retryMax) break;
  }
  if (result.IsFailure()) {
    log->DebugLvl(kTag, 1, "Unable to recover .compact(%d) file. Path [%s]. Err [%s].", static_cast<int>(type), szPath,
                  result.AsString().c_str());
  }
  if (retries > 0) {
    log->DebugLvl(kTag, 1,
                  "WARNING: Time taken to recover .compact(%d) file is [%ld] secs. Retries [%d], Comp2Prsnt [%d], "
                  "Path [%s].",
                  static_cast<int>(type), static_cast<long>((MDTime() - started) / 1000), retries, found ? 1 : 0,
                  szPath);
  }
  return result;
}

CXoError SingleInstancer_FS::RecoverCompactableFileByParams(CFSInitParams& params, const char* szPath,
                                                            ECompactFileType type, EvDebug* pDbg, bool bChunkLocked) {
  static const char kTag[] = "RecvrCompFileP";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (params.m_Type == kFSTypeCloud) {
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
    return RecoverCompactableFileByInterfaceCloud(fs.get(), szPath, pDbg);
  }
  std::string path = szPath;
  if (IsSfileHardLink(path)) {
    log->DebugLvl(kTag, 1, "Error: Cannot open Sfile [%s] as it is hard link", szPath);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  if (!fs) {
    log->DebugLvl(kTag, 1, "Unable to allocate an file system interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  return RecoverCompactableFileByInterface(fs.get(), szPath, type, pDbg, bChunkLocked);
}

CXoError SingleInstancer_FS::SwitchCompactableFile(const CFSInitParams& params, const char* szPath, EvDebug* pDbg) {
  static const char kTag[] = "SwitchCompFile";
  if (params.m_Type == kFSTypeCloud) return SwitchCompactableFileCloud(params, szPath, pDbg);
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (szPath == nullptr) {
    log->DebugLvl(kTag, 1, "Error: szPath is null.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidParameter);
  }
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  if (!fs) {
    log->DebugLvl(kTag, 1, "Unable to create fs interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoFSInterface);
  }
  // Under the chunk lock a recovery sees the switch either not begun or finished.
  SCmpctChnkLockCtx lock;
  FillLockContext(lock, szPath, pDbg, fs.get());
  CXoError e = LockFor(lock, fs.get(), szPath, pDbg, log, kTag, "switch");
  if (e.IsFailure()) return e;

  std::string path = szPath;
  std::string compact2 = path + kCompact2Suffix;
  // Without a finished copy the switch would only delete the file.
  bool copyExists = false;
  e = fs->Exists(compact2, copyExists);
  if (e.IsFailure()) {
    log->DebugLvl(kTag, 1, "Unable to find if compact file is present [%s]. Error [%s].", compact2.c_str(),
                  e.AsString().c_str());
    return e;
  }
  if (!copyExists) {
    log->DebugLvl(kTag, 1, "Error: Compact file [%s] not found. [%s] is left as it is.", compact2.c_str(), szPath);
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "No compacted copy [%s]", compact2.c_str());
  }
  e = fs->RemoveFile(path, kSwitchDeleteFlags);
  if (e.IsFailure()) {
    log->DebugLvl(kTag, 1, "Unable to delete file [%s]. Error [%s],", szPath, e.AsString().c_str());
    return e;
  }
  return RenameCompactableFile(compact2, path, fs.get(), log);
}

int SingleInstancer_FS::SetFilePermissionsForEveryone(std::string& /*path*/, bool /*flag*/, EvDebug* /*log*/) {
  return 0;
}

int SingleInstancer_FS::SetFolderPermissionsForEveryone(std::string& /*path*/, EvDebug* /*log*/) { return 0; }
