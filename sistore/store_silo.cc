// The SILO check of the restore road: before a chunk of a volume whose copy has SILO enabled is
// read, the volume must be on disk. Readers of a volume hold a read-only lock on it in the
// SIVolumeDB of its mount path while they read; the reader that finds the volume folder gone
// upgrades its lock to the exclusive one and has the folder brought back (store_silo_recall.cc),
// while the others keep their read-only locks and look at the volume's state again each minute.
//
// Bits of a volume's state in the SIVolumeDB: 1 the folder was removed from disk and must be
// recalled, 2 the volume is backed up to SILO. A volume that a recall brought back is backed up
// and on disk: its state is 2, never with the recall bit, or every later reader would recall it
// again.

#include <cstdint>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "sistore/silo_volume_db.h"

namespace {

const char kCheckOp[] = "SingleInstancer_FS::CheckAndRecallVolumeFromTape";
const char kReleaseOp[] = "SingleInstancer_FS::ReleaseSiloVolResourceLock";

constexpr long long kSIVolDBError = 1015;
constexpr uint32_t kLockWaitMs = 60000;
// The first attempt at the exclusive lock and 15 retries.
constexpr int kUpgradeAttempts = 16;
constexpr int kJobRunning = 1;
// The management server's volume status: backed up to SILO, and also moved there.
constexpr uint32_t kSiloStatusBackedUp = 2;
constexpr uint32_t kSiloStatusMoved = 3;

const char* TrueFalse(bool b) { return b ? "true" : "false"; }

uint64_t HandleToken(void* handle) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)); }

}  // namespace

int SingleInstancer_FS::CheckAndRecallVolumeFromTape(std::string mountPath, unsigned long long chunkId,
                                                     unsigned int volId, int thId, unsigned int mountPathId,
                                                     unsigned int& newMountPathId, unsigned int& newThId,
                                                     void* handle, bool primary) {
  MediaFSSetLastError(0);
  ozassert(volId > 0 && thId > 0 && mountPathId > 0 && chunkId > 0 && !mountPath.empty(),
           "(uVolId > 0) && (tarnholdId > 0) && (mountPathId > 0) && (ullChunkId >0) && sMountPath.size () > 0",
           "SingleInstancerFS", kCheckOp, __LINE__);

  if (m_iIsTapeSI == 0) {
    Log(6, "Copy for volume [%d], tarnholdId [%d], mountPathId [%d] on path [%s] does not have SILOING enabled. No "
        "need to Recall.", volId, thId, mountPathId, mountPath.c_str());
    return 1;
  }
  if (m_iIsTapeSI == -1) {
    if (!QuerySILOVolumeInfoFromHM(volId, thId, mountPathId)) return 0;
    if (m_SiloVolInfo.SiloEnabled == 0) {
      Log(6, "Copy Id [%d] for volume [%d], tarnholdId [%d], mountPathId [%d] on path [%s] does not have SILOING "
          "enabled. So not retrieving it.", m_SiloVolInfo.CopyId, volId, thId, mountPathId, mountPath.c_str());
      m_iIsTapeSI = 0;
      return 1;
    }
    m_iIsTapeSI = 1;
    if (IsDataServerMountPath(mountPath)) {
      Log(1, "SILO is not supported on DataServer mount path. copy Id [%d], volume [%d], tarnholdId [%d], mountPathId "
          "[%d], path [%s]", m_SiloVolInfo.CopyId, volId, thId, mountPathId, mountPath.c_str());
      m_iIsTapeSI = -1;
      return 0;
    }
  }

  CSIVolumeDB* record = primary ? m_pPrimarySIVolDB : m_pSecondarySIVolDB;
  if (record != nullptr && record->HoldsLockFor(volId) && record->m_bIsVolumeOnDisk) {
    Log(7, "We already have Read-only lock for volume [%d] in SIVolumeDB. bPrimary = [%s],ResId = [%llu], "
        "m_bIsVolumeOnDisk = [%s].", volId, TrueFalse(primary), static_cast<unsigned long long>(record->m_ullResId),
        "true");
    newMountPathId = record->m_uNewMountPathId == mountPathId ? 0 : record->m_uNewMountPathId;
    return 1;
  }
  for (const SSIVolInfo& online : m_vecSIVolInfo) {
    if (online.uVolId == volId && online.uMountPathId == mountPathId) {
      Log(10, "Volume ID [%d], MPID [%d] is in Online Volume Cache. bPrimary = [%s], TransformedMPID = [%d].", volId,
          mountPathId, TrueFalse(primary), online.uNewMountPathId);
      newMountPathId = online.uNewMountPathId;
      return 1;
    }
  }

  if (m_iIsTapeSI == 1 && m_MAClientId == 0) m_MAClientId = OZMMmedAgentInfo(m_strZovadAdeveName, m_pMlm).getHostClientId();

  std::string root;
  unsigned int parsedVolId = 0;
  if (!ParseMountPathAndVolId(mountPath, root, parsedVolId)) {
    Log(1, "Failed to extract out mountpath till OZ_MAGNETIC folder and volume id from Path [%s].", mountPath.c_str());
    return 0;
  }

  try {
    CImpersonator scope(HandleToken(handle));
    return CheckVolumeInSIVolumeDB(mountPath, root, chunkId, volId, thId, mountPathId, newMountPathId, newThId,
                                   handle, primary)
               ? 1
               : 0;
  } catch (const OzException& ex) {
    Log(1, "%s", ex.text.c_str());
    return 0;
  }
}

// Makes the record of the call's side serve `mountPathId`: an existing one for that mount path,
// or a new one with the mount path's SIVolumeDB open (created when an SQL SIVolumeDB is missing).
bool SingleInstancer_FS::OpenSIVolumeDB(const std::string& mountPath, const std::string& root, unsigned int volId,
                                        int thId, unsigned int mountPathId, void* handle, bool primary) {
  CSIVolumeDB*& record = primary ? m_pPrimarySIVolDB : m_pSecondarySIVolDB;
  if (record != nullptr && record->m_uMountPathId == mountPathId) return true;
  if (record != nullptr) {
    if (record->m_ullResId != 0) ReleaseSiloVolResourceLock(record->m_uVolId, primary, false);
    delete record;
    record = nullptr;
  }

  auto fresh = std::make_unique<CSIVolumeDB>(JobId());
  const int rc = fresh->m_DBClient.OpenDB(thId, mountPathId, root);
  bool opened = rc == 0;
  if (rc == 1 && fresh->m_DBClient.UsingSQLApi() != 0) {
    Log(1, "SIVolumeDB does not exist on Mount Path [%s]. Creating a new one..", root.c_str());
    opened = fresh->m_DBClient.Create(root) == 0;
  }
  if (!opened) {
    Log(1, "Failed to Open SIVolumeDB on Mount Path [%s], Volume [%s].", root.c_str(), mountPath.c_str());
    MediaFSSetLastError(kSIVolDBError);
    return false;
  }
  fresh->m_strMountPath = root;
  fresh->m_uMountPathId = mountPathId;
  fresh->m_uVolId = volId;
  fresh->m_hToken = primary ? HandleToken(handle) : m_LoggedOnUser.GetToken();
  record = fresh.release();
  return true;
}

// The volume folder is on disk: 1 yes, 0 no, -1 the test failed (logged). A volume that SILO moved
// to another mount path is looked for there. `initial`: the test of a volume's first record.
int SingleInstancer_FS::SiloVolumeFolderExists(const std::string& mountPath, const std::string& root,
                                               unsigned int volId, unsigned int mountPathId,
                                               unsigned int newMountPathId, bool initial) {
  if (newMountPathId == 0) {
    const int exists = DoesVolFolderExist(root, volId);
    if (exists == -1) {
      Log(1, initial ? "DoesVolFolderExist () returned error for VolId [%d] Path [%s]."
                     : "DoesVolFolderExist () returned error for VolId [%d] Path [%s]..",
          volId, mountPath.c_str());
    }
    return exists;
  }
  SMountInfo info;
  if (GetMountPathInfo(newMountPathId, static_cast<unsigned int>(m_iTHId), info) == 0) {
    Log(1, initial ? "Reg Lookup to get information for Tranfromed MPID = %d. VolId [%d], TarnholdId [%d], OrigMPID "
                     "[%d] failed."
                   : "Failed get information for TranfromedMPID [%d], VolId [%d], TarnholdId [%d], OrigMPID [%d] "
                     "from registry.",
        newMountPathId, volId, m_iTHId, mountPathId);
    return -1;
  }
  const int exists = DoesVolFolderExist(info.m_MountPath, volId);
  if (exists == -1) {
    Log(1, "DoesVolFolderExist () returned error for VolId [%d], New MountPath [%s].", volId, info.m_MountPath.c_str());
  }
  return exists;
}

// The first record of a volume the SIVolumeDB does not know, from the management server's view.
bool SingleInstancer_FS::InitialSIVolumeRecord(const std::string& mountPath, const std::string& root,
                                               unsigned int volId, int thId, unsigned int mountPathId,
                                               SIVolumeInfo_t& info) {
  Log(1, "Volume id [%d] not found in SIVolumeDB. Mount Path [%s], Orig Path [%s]. Inserting initial Entry.", volId,
      root.c_str(), mountPath.c_str());
  if (m_SiloVolInfo.VolumeId != volId && !QuerySILOVolumeInfoFromHM(volId, thId, mountPathId)) {
    Log(1, "QuerySILOVolumeInfoFromHM failed for volume [%d].", volId);
    return false;
  }
  info.VolumeId = volId;
  info.VolState = 0;
  if (m_SiloVolInfo.VolumeStatus >= kSiloStatusBackedUp) {
    info.VolState = kSIVolStateInSilo;
    if (m_SiloVolInfo.VolumeStatus == kSiloStatusMoved) info.VolState |= kSIVolStateRecallNeeded;
  }
  info.LastAccessTime = static_cast<uint64_t>(MDTime().seconds());
  if (m_SiloVolInfo.VolumeStatus < kSiloStatusBackedUp) return true;

  if (m_SiloVolInfo.NewMountPathId != 0 && m_SiloVolInfo.NewMountPathId != mountPathId) {
    info.NewMountPathId = m_SiloVolInfo.NewMountPathId;
  }
  const int exists = SiloVolumeFolderExists(mountPath, root, volId, mountPathId, info.NewMountPathId, true);
  if (exists == -1) return false;
  if (exists == 0) {
    info.VolState |= kSIVolStateRecallNeeded;
    Log(1, "Volume [%d] is missing from disk. Since it's already moved to SILO, retrieve it from SILO.", volId);
  }
  return true;
}

bool SingleInstancer_FS::EnsureSiloJobQuery(const char* op) {
  if (m_pSiloJobQuery != nullptr) return true;
  m_pSiloJobQuery = new OZJobQuery;
  m_pSiloJobQuery->setPlatformType(OZS_PLATFORM_UNIX);
  if (m_strHubmasterName.empty() && GetHubmasterName(m_strHubmasterName) == 0) {
    Log(1, "%s %d Failed to lookup HM Host Name from registry.", op, __LINE__);
  }
  if (m_pSiloJobQuery->init(m_strHubmasterName) == 0) {
    Log(1, "Failed to initialize OZJobQuery object.");
    delete m_pSiloJobQuery;
    m_pSiloJobQuery = nullptr;
    return false;
  }
  return true;
}

// Steps of the check inside the impersonation scope; `record` is the call's side.
bool SingleInstancer_FS::CheckVolumeInSIVolumeDB(const std::string& mountPath, const std::string& root,
                                                 unsigned long long chunkId, unsigned int volId, int thId,
                                                 unsigned int mountPathId, unsigned int& newMountPathId,
                                                 unsigned int& newThId, void* handle, bool primary) {
  if (!OpenSIVolumeDB(mountPath, root, volId, thId, mountPathId, handle, primary)) return false;
  CSIVolumeDB*& record = primary ? m_pPrimarySIVolDB : m_pSecondarySIVolDB;
  CSILODBClientApi& db = record->m_DBClient;

  SIVolumeInfo_t info;
  bool found = false;
  if (const int rc = db.FindVol(volId, info, found); rc != 0) {
    MediaFSSetLastError(kSIVolDBError);
    Log(1, "Cannot find VolID [%d] in SIVolume RetCode [%d].", volId, rc);
    return false;
  }
  if (!found && !InitialSIVolumeRecord(mountPath, root, volId, thId, mountPathId, info)) return false;
  if (!EnsureSiloJobQuery(kCheckOp)) return false;

  enum class Step { Add, Lock, Status, Upgrade, Recall, Recreate };
  Step step = found ? Step::Lock : Step::Add;
  uint64_t pendingRequestId = 0;
  int upgradeFailures = 0;
  auto corrupted = [&] { return db.UsingSQLApi() != 0 && m_bCheckSIVolDBCorruption && db.IsCorrupted() != 0; };

  for (;;) {
    switch (step) {
      case Step::Add: {
        if (db.AddRecord(info) != 0) {
          Log(1, "Failed to insert initial entry for volume [%d] in SIVolumeDB. Mount Path [%s], Orig Path [%s].",
              volId, root.c_str(), mountPath.c_str());
          MediaFSSetLastError(kSIVolDBError);
          return false;
        }
        Log(8, "Added initial entry for volume [%d] in SIVolumeDB. Mount Path [%s]. VolState = [%d].", volId,
            root.c_str(), info.VolState);
        step = Step::Lock;
        break;
      }

      case Step::Lock: {
        // A lock the record still holds would be lost under the new one. One that a retrieval job
        // keeps stays reserved in the SIVolumeDB; the record lets it go, so that the new lock is
        // given back as usual.
        if (record->m_ullResId != 0) {
          if (record->m_bLeaveReserved) {
            record->ForgetLock();
            record->m_bLeaveReserved = false;
          } else {
            ReleaseSiloVolResourceLock(record->m_uVolId, primary, false);
          }
        }
        VolumeLockInfo lock;
        lock.VolumeId = volId;
        lock.LockType = kSIVolLockReadOnly;
        lock.PendingRequestId = pendingRequestId;
        lock.JobId = static_cast<uint64_t>(JobId());
        lock.ClientId = m_MAClientId;
        const int rc = db.LockVolume(lock);
        if (rc == kSIVolLockGrantedCleaned) {
          unsigned int ignoredMountPathId = 0, ignoredThId = 0;
          if (TellSiloVolumeOnDisk(volId, 0, ignoredMountPathId, ignoredThId) == -1) {
            Log(1, "Failed to mark SILO Volume status as ON_DISK in HM DB after cleanup. Will ignore the error.");
          }
        }
        if (rc == 0 || rc == kSIVolLockGrantedCleaned) {
          Log(7, "Acquired Read-Only lock for volume [%d] in SIVolumeDB. ResId = [%llu], bPrimary = [%s]", volId,
              static_cast<unsigned long long>(lock.ResourceId), TrueFalse(primary));
          record->m_uVolId = volId;
          record->m_ullResId = lock.ResourceId;
          SIVolumeInfo_t access;
          access.VolumeId = volId;
          access.LastAccessTime = static_cast<uint64_t>(MDTime().seconds());
          if (const int urc = db.UpdateRecord(lock.ResourceId, access, kSIVolUpdateAccessTime); urc != 0) {
            Log(1, "Cannot update last access time for volume [%d], ResId = [%llu] in SIVolumeDB. RetCode = [%d]",
                volId, static_cast<unsigned long long>(lock.ResourceId), urc);
          } else {
            Log(7, "Updated last access time for volume [%d], ResId = [%llu] in SIVolumeDB.", volId,
                static_cast<unsigned long long>(lock.ResourceId));
          }
          step = Step::Status;
          break;
        }
        Log(1, "Failed to get Read-Only Lock for volume [%d] in SIVolumeDB. Ret [%d], Mount Path [%s], Orig Path [%s].",
            volId, rc, root.c_str(), mountPath.c_str());
        if (rc == kSIVolLockRefused && lock.PendingRequestId != 0) pendingRequestId = lock.PendingRequestId;
        if (corrupted()) {
          step = Step::Recreate;
          break;
        }
        XOSLEEP(kLockWaitMs);
        long long jobId = JobId();
        if (m_pSiloJobQuery->GetJobStatus(jobId) != kJobRunning) {
          Log(1, "Job Status for %lld is not running. Returning error.", JobId());
          return false;
        }
        break;
      }

      case Step::Status: {
        SIVolumeInfo_t status;
        bool known = false;
        if (const int rc = db.FindVol(volId, status, known); rc != 0) {
          Log(1, "Cannot find VolID [%d] in SIVolume for checking it's status. RetCode [%d].", volId, rc);
          ReleaseSiloVolResourceLock(volId, primary, false);
          MediaFSSetLastError(kSIVolDBError);
          return false;
        }
        if (status.VolState & kSIVolStateRecallNeeded) {
          step = Step::Upgrade;
          break;
        }
        const int exists = SiloVolumeFolderExists(mountPath, root, volId, mountPathId, status.NewMountPathId, false);
        if (exists == -1) return false;
        if ((status.VolState & kSIVolStateInSilo) && exists == 0) {
          Log(1, "Volume [%d] missing on disk. Retrieve it from SILO since it's already backed up.", volId);
          step = Step::Upgrade;
          break;
        }
        newMountPathId = status.NewMountPathId;
        newThId = 0;
        record->m_bIsVolumeOnDisk = true;
        record->m_uNewMountPathId = status.NewMountPathId;
        record->m_uNewTHId = 0;
        SSIVolInfo online;
        online.uVolId = volId;
        online.uMountPathId = mountPathId;
        online.uNewMountPathId = status.NewMountPathId;
        bool cached = false;
        for (const SSIVolInfo& entry : m_vecSIVolInfo) cached = cached || entry == online;
        if (!cached) m_vecSIVolInfo.push_back(online);
        return true;
      }

      case Step::Upgrade: {
        const int rc = db.UpgradeVolumeLock(record->m_ullResId, kSIVolLockExclusive);
        if (rc == 0) {
          step = Step::Recall;
          break;
        }
        Log(1, "Cannot upgrade lock to Exclusive for volume [%d], ResId = [%llu] in SIVolumeDB. RetCode = [%d]", volId,
            static_cast<unsigned long long>(record->m_ullResId), rc);
        if (++upgradeFailures >= kUpgradeAttempts) {
          Log(1, "Failing out after 15 attempts to get exclusive lock for volume [%d], ResId = [%llu] in SIVolumeDB.",
              volId, static_cast<unsigned long long>(record->m_ullResId));
          ReleaseSiloVolResourceLock(volId, primary, false);
          MediaFSSetLastError(kSIVolDBError);
          return false;
        }
        if (corrupted()) {
          step = Step::Recreate;
          break;
        }
        XOSLEEP(kLockWaitMs);
        step = Step::Status;  // another reader may have brought the volume back meanwhile
        break;
      }

      case Step::Recall: {
        if (!RecallVolumeFromTape(mountPath, chunkId, volId, thId, mountPathId, primary)) {
          ReleaseSiloVolResourceLock(volId, primary, false);
          return false;
        }
        if (record->m_uNewMountPathId != 0 && record->m_uNewMountPathId != mountPathId) {
          newMountPathId = record->m_uNewMountPathId;
          newThId = record->m_uNewTHId;
        } else {
          newMountPathId = 0;
          newThId = 0;
        }
        SIVolumeInfo_t onDisk;
        onDisk.VolumeId = volId;
        onDisk.VolState = kSIVolStateInSilo;
        onDisk.LastAccessTime = static_cast<uint64_t>(MDTime().seconds());
        onDisk.NewMountPathId = newMountPathId;
        const uint32_t mask = kSIVolUpdateState | kSIVolUpdateAccessTime | kSIVolUpdateNewMountPath;
        if (const int rc = db.UpdateRecord(record->m_ullResId, onDisk, mask); rc != 0) {
          Log(1, "Cannot mark volume as on DISK for volume [%d], ResId = [%llu] in SIVolumeDB. RetCode = [%d]", volId,
              static_cast<unsigned long long>(record->m_ullResId), rc);
        } else {
          Log(7, "Updated accessTime & volume State to ON DISK for volume [%d], ResId = [%llu] in SIVolumeDB.", volId,
              static_cast<unsigned long long>(record->m_ullResId));
        }
        ReleaseSiloVolResourceLock(volId, primary, false);
        upgradeFailures = 0;
        step = Step::Lock;
        break;
      }

      case Step::Recreate: {
        Log(1, "Existing SIVolumeDB is in bad state. Going to recreate SIVolumeDB on Path [%s].", root.c_str());
        if (db.ReCreate() != 0) {
          Log(1, "Error while recreating SIVolumeDB on Path [%s]. Failing the operation.", root.c_str());
          delete record;
          record = nullptr;
          MediaFSSetLastError(kSIVolDBError);
          return false;
        }
        // The new SIVolumeDB holds no lock: the record's is gone with the old one.
        record->ForgetLock();
        step = Step::Add;
        break;
      }
    }
  }
}

int SingleInstancer_FS::ReleaseSiloVolResourceLock(unsigned int volId, bool primary, bool releaseAll) {
  if (m_iIsTapeSI == 0) return 1;
  if (releaseAll) {
    for (CSIVolumeDB* record : {m_pPrimarySIVolDB, m_pSecondarySIVolDB}) {
      if (record == nullptr || record->m_ullResId == 0 || record->m_bLeaveReserved) continue;
      const char* side = record == m_pPrimarySIVolDB ? "Primary" : "Secondary";
      try {
        CImpersonator scope(record->m_hToken);
        if (record->m_DBClient.UnlockVolume(record->m_ullResId) != 0) {
          Log(1, "%s: Failed to unlock %s volume [%d], ResId [%llu] from SIVolumeDB. bReleaseAll = true.", kReleaseOp,
              side, volId, static_cast<unsigned long long>(record->m_ullResId));
        } else {
          Log(7, "%s: Successfully unlocked %s volume ID [%d] using ResId [%llu] from SIVolumeDB. bReleaseAll = true.",
              kReleaseOp, side, volId, static_cast<unsigned long long>(record->m_ullResId));
        }
      } catch (const OzException& ex) {
        Log(1, "%s: Caught exception while impersonating %s SiVolDB: %s", kReleaseOp,
            record == m_pPrimarySIVolDB ? "primary" : "secondary", ex.text.c_str());
      }
      record->ForgetLock();
    }
    return 1;
  }

  CSIVolumeDB* record = primary ? m_pPrimarySIVolDB : m_pSecondarySIVolDB;
  if (record == nullptr || record->m_ullResId == 0) return 1;  // nothing is held on this side
  try {
    CImpersonator scope(record->m_hToken);
    if (record->m_uVolId != volId) {
      Log(1, "%s: Error CSIVolumeDB handle is invalid for volume [%d]..", kReleaseOp, volId);
      return 0;
    }
    if (!record->m_bLeaveReserved) {
      if (record->m_DBClient.UnlockVolume(record->m_ullResId) != 0) {
        Log(1, "%s: Failed to unlock volume [%d], ResId [%llu] from SIVolumeDB. bPrimary = [%s].", kReleaseOp, volId,
            static_cast<unsigned long long>(record->m_ullResId), TrueFalse(primary));
        return 0;
      }
      Log(7, "%s: Successfully unlocked volume ID [%d] using ResId [%llu] from SIVolumeDB. bPrimary = [%s].",
          kReleaseOp, volId, static_cast<unsigned long long>(record->m_ullResId), TrueFalse(primary));
      record->ForgetLock();
    }
    return 1;
  } catch (const OzException& ex) {
    Log(1, "%s: Caught exception: %s", kReleaseOp, ex.text.c_str());
    return 0;
  }
}
