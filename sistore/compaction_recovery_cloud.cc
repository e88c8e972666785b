// The switch of a compacted copy on cloud storage and the recovery of an interrupted one. An
// object store cannot delete and rename in one step, so the switch first writes an empty
// checkpoint object: while it exists, the copy ".compact2" is complete and recovery finishes the
// switch; without it, ".compact2" is unfinished and recovery drops it. No lock is taken on cloud
// storage: callers keep two processes from switching one object at once.
//
// Every step tolerates a run that an earlier, interrupted switch already made: an object to be
// deleted that is gone counts as deleted, and a checkpoint that exists is written again.

#include <cerrno>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/remote_file.h"
#include "sistore/compaction_internal.h"

using namespace compaction;

namespace {

constexpr int kCheckpointMode = kRFModeCreate | kRFModeWrite | kRFModeRead;  // 1029
constexpr int kRenameReplaces = 1;

bool AlreadyGone(const OZBaseRemoteFile& remote) { return FXErrorUtil::IsErrNo(remote.GetLastError(), ENOENT); }

}  // namespace

CXoError SingleInstancer_FS::SwitchCompactableFileCloud(const CFSInitParams& params, const char* szPath, EvDebug* pDbg) {
  static const char kTag[] = "SwitchCompFileCloud";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (params.m_Type != kFSTypeCloud) {
    log->DebugLvl(kTag, 1, "Error: Incompatible fstype [%d].", params.m_Type);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidParameter);
  }
  if (szPath == nullptr) {
    log->DebugLvl(kTag, 1, "Error: szPath is null.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidParameter);
  }
  std::unique_ptr<OZBaseRemoteFile> remote(GetOZRemoteFile(params));
  if (!remote) {
    log->DebugLvl(kTag, 1, "Error: Cannot create cloud interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoFSInterface);
  }
  const std::string path = szPath;
  const std::string compact2 = path + kCompact2Suffix;
  const std::string checkpoint = path + kCheckpointSuffix;
  auto failed = [&](const char* format, const std::string& a, const std::string* b = nullptr) {
    const std::string text = remote->GetLastError().AsString();
    if (b != nullptr) {
      log->DebugLvl(kTag, 1, format, a.c_str(), b->c_str(), text.c_str());
    } else {
      log->DebugLvl(kTag, 1, format, a.c_str(), text.c_str());
    }
    return remote->GetLastError();
  };

  // Without a finished copy the switch would only delete the object.
  bool copyExists = false;
  if (remote->FileExists(compact2, copyExists) == 0) {
    return failed("Unable to find if compact file is present [%s]. Error [%s].", compact2);
  }
  if (!copyExists) {
    log->DebugLvl(kTag, 1, "Error: Compact file [%s] not found. [%s] is left as it is.", compact2.c_str(), szPath);
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "No compacted copy [%s]", compact2.c_str());
  }

  if (remote->OpenFile(checkpoint, kCheckpointMode, 0) == 0) return failed("Error: Cannot create [%s]. Error [%s].", checkpoint);
  if (remote->CloseFile() == 0) return failed("Error: Cannot close handle on [%s]. Error [%s].", checkpoint);
  if (remote->DeleteFile(path) == 0 && !AlreadyGone(*remote)) return failed("Error: Cannot delete [%s]. Error [%s].", path);
  if (remote->RenameFile(compact2, path, kRenameReplaces) == 0) {
    return failed("Error: Cannot rename [%s] to [%s]. Error [%s].", compact2, &path);
  }
  if (remote->DeleteFile(checkpoint) == 0 && !AlreadyGone(*remote)) {
    return failed("Error: Cannot delete [%s]. Error [%s].", checkpoint);
  }
  if (remote->DeleteFile(compact2) == 0 && !AlreadyGone(*remote)) {
    return failed("Error: Cannot delete [%s]. Error [%s].", compact2);
  }
  return CXoError::Success();
}

CXoError SingleInstancer_FS::RecoverCompactableFileByInterfaceCloud(CFSInterface* fs, const char* szPath, EvDebug* pDbg) {
  static const char kTag[] = "RecoverCompactableFileByInterfaceCloud";
  EvDebug own;
  EvDebug* log = LogOf(pDbg, own);
  if (fs == nullptr) {
    log->DebugLvl(kTag, 1, "Invalid FS interface.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidFSInterface);
  }
  if (szPath == nullptr) {
    log->DebugLvl(kTag, 1, "Invalid szPath");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  const std::string path = szPath;
  const std::string compact2 = path + kCompact2Suffix;
  const std::string checkpoint = path + kCheckpointSuffix;
  auto test = [&](const std::string& name, bool& exists, const char* format) {
    CXoError e = fs->Exists(name, exists);
    if (e.IsFailure()) log->DebugLvl(kTag, 1, format, name.c_str(), e.AsString().c_str());
    return e;
  };
  auto remove = [&](const std::string& name) {
    CXoError e = fs->RemoveFile(name, 0);
    if (FXErrorUtil::IsErrNo(e, ENOENT)) return CXoError::Success();
    if (e.IsFailure()) log->DebugLvl(kTag, 1, "ERROR: Cannot delete file [%s]. Err [%s].", name.c_str(), e.AsString().c_str());
    return e;
  };

  bool compact2Exists = false;
  CXoError e = test(compact2, compact2Exists, "Unable to find if compact file is present [%s]. Error [%s].");
  if (e.IsFailure()) return e;
  bool checkpointExists = false;
  if (!compact2Exists) {
    // A checkpoint without its copy belongs to a switch that completed its rename: left in place
    // it would make the next, unfinished copy pass for a complete one.
    e = test(checkpoint, checkpointExists, "Unable to find if compact file is present [%s]. Error [%s].");
    if (e.IsFailure() || !checkpointExists) return e;
    e = remove(checkpoint);
    if (e.IsSuccess()) log->DebugLvl(kTag, 1, "Deleted stale checkpoint file as compact file is not present. [%s].", checkpoint.c_str());
    return e;
  }

  log->DebugLvl(kTag, 1, "Compact2 file found during recovery. [%s].", compact2.c_str());
  e = test(checkpoint, checkpointExists, "Unable to find if compact file is present [%s]. Error [%s].");
  if (e.IsFailure()) return e;
  if (checkpointExists) {
    log->DebugLvl(kTag, 1, "Checkpoint file found during recovery. [%s]. Renaming .compact to [%s].", checkpoint.c_str(),
                  szPath);
    const CFSInitParams params = fs->GetInitParams();
    e = SwitchCompactableFileCloud(params, szPath, pDbg);
    if (e.IsSuccess()) {
      log->DebugLvl(kTag, 1, "Successfully recovered file [%s].", szPath);
    } else {
      log->DebugLvl(kTag, 1, "ERROR: Cannot rename file [%s] to [%s]. Err [%s].", compact2.c_str(), szPath,
                    e.AsString().c_str());
    }
    return e;
  }

  log->DebugLvl(kTag, 1, "Checkpoint file not found during recovery. [%s].", checkpoint.c_str());
  bool original = false;
  e = test(path, original, "Failed to find if orig file is present [%s]. Err [%s].");
  if (e.IsFailure()) return e;
  if (!original) {
    log->DebugLvl(kTag, 1, "Strange: Both check and original files aren't present. [%s] [%s].", szPath, checkpoint.c_str());
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNotFound);
  }
  e = remove(compact2);
  if (e.IsSuccess()) {
    log->DebugLvl(kTag, 1, "Deleted partial compact file as checkpoint file is not present. [%s].", compact2.c_str());
  }
  return e;
}
