// Binding a mount path for pruning: its record from the ZovadAdeve's configuration, whether it
// can be pruned, and the file-system and file interfaces every later step works through.
#include <cerrno>
#include <cstring>

#include "MediaFileSystem/MountPathRecords.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/config.h"
#include "platform/threads.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr const char* kMountPathRegLock = "OZMAMntPathRegLock";
constexpr int kMountPathInfoKind = 2;
constexpr int kMountPathWritable = 0x2;
constexpr MountPathType kCloudMountPath = 7;

}  // namespace

int CSingleInstancerPruner::OnMountPathStart(unsigned int mpId, bool rebind) {
  m_MPId = mpId;
  m_bMPSet = true;
  m_uCacheMPId = kNoCacheMountPath;
  m_bMPReadOnly = false;
  m_bMPSkipped = false;
  m_bMPDropRecords = false;
  if (mpId == 0) {
    m_bMPSkipped = true;
    m_bMPDropRecords = true;
    return 0;
  }
  const int r = SetMountPath(mpId, rebind);
  if (r != 0) {
    PLOG(1, "OnMountPathStart", "Unable to initialize mount path information for mount path id [%d]. iRet [%d]",
         static_cast<int>(mpId), r);
    m_bMPSkipped = true;
  }
  return 0;
}

int CSingleInstancerPruner::SetMountPath(unsigned int mpId, bool rebind) {
  (void)rebind;
  const char* tag = "SetMountPath";
  std::string path, user, password;
  int type = 0, subType = 0, flags = 0, attributes = 0;
  int found = 0, count = 0;
  OZPI_FileSystemAgent agent;
  {
    MDLock lock(kMountPathRegLock);
    if (lock.set(0xFFFFFFFF) == 0) {
      const int err = errno;
      PLOG(0, tag, "Failed to set Named lock (%s) . Err [%d] %s", kMountPathRegLock, err, strerror(err));
      return -1;
    }
    found = agent.getMagneticMountPathInfo(static_cast<int>(mpId), kMountPathInfoKind, path, user, password, type,
                                           subType, flags, attributes);
    count = agent.getMagneticMountPathCount();
    lock.unset();
  }
  if (count == 0) {
    PLOG(1, tag, "Error: getMagneticMountPathCount returned 0 mountpaths. probably, no access to registry.");
    return -1;
  }
  if (found == 0) {
    PLOG(1, tag, "Error: getMagneticMountPathInfo failed for mount path id [%u]. Error [%lu]", mpId,
         agent.getLastError());
    if (m_bDropInaccessibleMPData) m_bMPDropRecords = true;
    return -1;
  }
  PLOG(1, tag, "Got path [%s] for id [%d]. User [%s]", path.c_str(), static_cast<int>(mpId), user.c_str());
  m_MpType = type;

  DataServerMountPathInfo dataServer;
  const bool isDataServer = media_fs::IsDataServerMountPath(path);
  if (isDataServer) {
    bool skip = false;
    if (media_fs::ParseDataServerMountPath(path, dataServer) == 0) {
      PLOG(1, tag, "Warning: Skip mountpath [%d] since it is an Invalid data server path [%s].",
           static_cast<int>(mpId), path.c_str());
      skip = true;
    } else if (dataServer.m_Transport != kDataServerTransportIp) {
      PLOG(1, tag, "Skip mountpath [%d] since it is unsupported data server [%s].", static_cast<int>(mpId),
           path.c_str());
      skip = true;
    }
    if (skip) {
      m_bMPSkipped = true;
      m_stInaccessibleMPIds.insert(mpId);
      return -1;
    }
  }
  if ((flags & kMountPathWritable) == 0) {
    PLOG(1, tag, "Mountpath [%d] is read only.", static_cast<int>(mpId));
    m_stInaccessibleMPIds.insert(mpId);
    m_bMPReadOnly = true;
    m_bMPSkipped = true;
    return 0;
  }

  m_MPId = mpId;
  m_strMountPath = path;
  m_bMPReadOnly = false;
  m_uCacheMPId = kNoCacheMountPath;
  m_uMPAttributes = static_cast<unsigned int>(attributes);
  m_pFS.reset();
  m_pFile.reset();

  CFSInitParams params;
  if (type == kCloudMountPath) {
    params.m_Type = kFSTypeCloud;
    params.m_SubType = subType;
  } else if (isDataServer) {
    params.m_Type = kFSTypeDataServerIP;
    params.m_SubType = dataServer.m_Transport;
    params.m_Host.m_HostName = dataServer.m_Host;
    m_strMountPath = dataServer.m_Path;
  } else {
    params.m_Type = kFSTypeDisk;
    params.m_SubType = -1;
  }
  params.m_ClientName = m_strClientName;
  params.m_Host.m_Path = m_strMountPath;
  params.m_User.m_UserName = user;
  params.m_User.m_Password = password;
  params.m_MountPathId = static_cast<int32_t>(mpId);

  m_pFS.reset(CFSInterface::GetFSInterfaceInstance(params));
  if (!m_pFS) {
    PLOG(1, tag, "Cannot initialize file system interface.");
    return -1;
  }
  m_pFile.reset(CFileInterface::GetFileInterfaceInstance(params));
  if (!m_pFile) {
    PLOG(1, tag, "Cannot initialize file interface.");
    return -1;
  }
  return 0;
}

int CSingleInstancerPruner::OnMountPathEnd() {
  m_bMPSet = false;
  m_uMPAttributes = 0;
  m_MpType = -1;
  m_uCacheMPId = kNoCacheMountPath;
  m_pFS.reset();
  m_pFile.reset();
  return 0;
}

MountPathType CSingleInstancerPruner::GetMountpathType() {
  PASSERT(m_MpType != (MountPathType)-1, "m_MpType != (MountPathType) -1");
  return m_MpType;
}

std::vector<unsigned int> CSingleInstancerPruner::GetOfflineMPIds() {
  std::vector<unsigned int> ids = GetPruningDisabledMPIds();
  ids.insert(ids.end(), m_stInaccessibleMPIds.begin(), m_stInaccessibleMPIds.end());
  return ids;
}

CFSInterface* CSingleInstancerPruner::GetFSInterface() { return m_pFS.get(); }
CFileInterface* CSingleInstancerPruner::GetFileInterface() { return m_pFile.get(); }
