// Mount path information: the configuration's description of a mount path, read under the
// machine-wide lock and cached per media object, and the file-system layer's parameters made
// from it for hosts.

#include "MediaFileSystem/zovadAdeveFS.h"
#include "core/mount_path_text.h"
#include "platform/platform.h"

namespace {

constexpr const char kMountPathLockName[] = "OZMAMntPathRegLock";
constexpr uint32_t kMountPathLockWaitMs = 300000;
// The installation id of the lookup's second try.
constexpr int kRetryTarnholdId = 2;
// Media manager code of GetFSInitParams' failures.
constexpr unsigned int kMMErrMountPathParams = 103;

}  // namespace

int media_fs::LookupMPInfoFromReg(int mountPathId, int tarnholdId, SMountInfo& info) {
  static constexpr const char kTag[] = "media_fs::GetMountPathInfoFromReg";
  info.m_MountPathId = mountPathId;
  info.m_TarnholdId = tarnholdId;
  info.m_UserToken = 0;

  EvDebug log;
  MDLock lock(kMountPathLockName);
  if (lock.set(kMountPathLockWaitMs) == 0) {
    log.debugLvl(1,
                 "%s: Failed to set Named lock (OZMAMntPathRegLock) before looking up mount path info from "
                 "registry for MPID %d.",
                 kTag, mountPathId);
    return 0;
  }

  OZPI_FileSystemAgent agent;
  if (agent.getMagneticMountPathInfo(mountPathId, tarnholdId, info.m_MountPath, info.m_UserName, info.m_Password,
                                     info.m_MountPathType, info.m_CloudSubType, info.m_AccessFlags,
                                     info.m_Attributes) != 1) {
    log.debugLvl(1, "%s: Error: getMagneticMountPathInfo failed to retrieve mount path information for %d. Error = %lu",
                 kTag, mountPathId, agent.getLastError());
    return 0;  // the lock ends with its object
  }

  // Only the text form is a data server path here: a path on a Gluster volume is reached as a
  // plain path, so the grammar must not reject it.
  if (HasDataServerTransportPrefix(info.m_MountPath) && ParseDataServerMountPath(info.m_MountPath, info.m_DataServerInfo) == 0) {
    return 0;
  }
  return 1;
}

int media_fs::GetMountPathInfo(unsigned int mountPathId, unsigned int tarnholdId, SMountInfo& info) {
  OzCriticalSectionGuard cacheLock(m_pMountPathCacheLock);
  const int id = static_cast<int>(mountPathId);
  const int thId = static_cast<int>(tarnholdId);
  auto cached = [this](int mpId, int th) {
    for (const SMountInfo& entry : m_MountPathCache) {
      if (entry.m_MountPathId == mpId && entry.m_TarnholdId == th) return &entry;
    }
    return static_cast<const SMountInfo*>(nullptr);
  };
  if (const SMountInfo* hit = cached(id, thId)) {
    info = *hit;
    return 1;
  }

  // A found record joins the cache once. A request that misses again (the retry's entry carries
  // installation id 2) finds that entry and answers with it: the cache neither grows with
  // repeated requests nor changes what the object saw first.
  auto found = [&](const SMountInfo& record) {
    if (const SMountInfo* entry = cached(record.m_MountPathId, record.m_TarnholdId)) {
      info = *entry;
    } else {
      m_MountPathCache.push_back(record);
      info = record;
    }
    return 1;
  };

  SMountInfo record;
  if (LookupMPInfoFromReg(id, thId, record) != 0) return found(record);

  const char* suffix = ".";
  if (thId != kRetryTarnholdId) {
    long long retry = 0;
    OZPlatformInfo settings;
    settings.getNumber("ZovadAdeve", "RetryMPLookupOnTHIdFailure", &retry);
    if (retry != 0) {
      SMountInfo second;
      if (LookupMPInfoFromReg(id, kRetryTarnholdId, second) != 0) return found(second);
      suffix = ", lookup for tarnholdid 2 failed also";
    }
  }
  Log(1, "%s: Failed to look up mount path info from registry for MPID %d, THID %d%s", "media_fs::GetMountPathInfo",
      id, thId, suffix);
  MediaFSSetLastError(kMFSErrMountPathLookupFailed);
  return 0;
}

CXoError media_fs::GetFSInitParams(unsigned int mountPathId, const std::string& mountPath, int mountPathType,
                                   int cloudSubType, const std::string& user, const std::string& password,
                                   CFSInitParams& out) {
  out.m_User.m_UserName = user;
  out.m_User.m_Password = password;
  out.m_MountPathId = static_cast<int32_t>(mountPathId);

  // A Gluster volume path has no transport word: it is reached as a plain path.
  if (!HasDataServerTransportPrefix(mountPath)) {
    out.m_Host.m_Path = mountPath;
    if (mountPathType == 7) {
      out.m_Type = kFSTypeCloud;
      out.m_SubType = cloudSubType;
    } else {
      out.m_Type = kFSTypeDisk;
    }
    return CXoError::Success();
  }

  DataServerMountPathInfo parsed;
  if (ParseDataServerMountPath(mountPath, parsed) == 0) {
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrMountPathParams, "Cannot parse dataserver mountpath info [%s].",
                                mountPath.c_str());
  }
  if (parsed.m_Transport != kDataServerTransportIp) {
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrMountPathParams, "Unsupported dataserver type [%d].",
                                parsed.m_Transport);
  }
  out.m_Type = kFSTypeDataServerIP;
  out.m_SubType = kDataServerTransportIp;
  out.m_Host.m_Path = parsed.m_Path;
  OZPlatformInfo platformInfo;
  out.m_ClientName = platformInfo.getPhysicalMachine();
  out.m_Host.m_HostName = parsed.m_Host;
  return CXoError::Success();
}

extern "C" int LookupMountPathInfo(int mountPathId, int tarnholdId, SMountInfo& info) {
  return media_fs::LookupMPInfoFromReg(mountPathId, tarnholdId, info);
}
