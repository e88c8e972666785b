// Cloud volumes: the type tests of the pruner's interfaces, the cache mount path of a hybrid
// volume and the switch between plain cloud and hybrid interfaces, and the removal of a volume
// on plain cloud storage, which works from one listing of the volume.
#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/SingleInstancerIndexRecords.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/cloud_store.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr int kListingBatch = 100;

bool IsCloudType(int type) { return type == kFSTypeCloud || type == kFSTypeCloudCached || type == 5 || type == 6; }

}  // namespace

bool CSingleInstancerPruner::IsCloud() {
  if (!PASSERT(m_pFS != NULL, "m_pFS != NULL")) return false;
  return IsCloudType(m_pFS->GetType());
}

bool CSingleInstancerPruner::IsFSInterfaceHybrid() {
  if (!PASSERT(m_pFS != NULL, "m_pFS != NULL")) return false;
  PASSERT(m_pFile != NULL, "m_pFile != NULL");
  if (m_pFile) PASSERT(m_pFS->GetType() == m_pFile->GetType(), "m_pFS->GetType () == m_pFile->GetType ()");
  return m_pFS->GetType() == kFSTypeCloudCached;
}

bool CSingleInstancerPruner::CanMPHaveHybridVolumes() {
  PASSERT(m_MPId != 0, "m_MPId != 0");
  return SingleInstancer_FS::CanMPHaveHybridVolumes(m_uMPAttributes);
}

int CSingleInstancerPruner::FindCacheMountPath(unsigned long volId) {
  return SingleInstancer_FS::FindCacheMountPath(volId, m_uEngineId, s_pHybVols, m_uMPAttributes, m_pLog,
                                                &m_bHybVolsOpened, false);
}

bool CSingleInstancerPruner::SetFSInterfaceHybrid(unsigned int cacheId) {
  if (!m_pFS || !m_pFile || m_pFS->GetType() != kFSTypeCloud || m_pFile->GetType() != kFSTypeCloud) return false;
  CFSInitParams params = m_pFS->GetInitParams();
  params.m_Type = kFSTypeCloudCached;
  params.m_Param32b = static_cast<int32_t>(cacheId);
  auto fs = std::make_unique<CHybridFS>(params, m_pFS.release());
  auto file = std::make_unique<CHybridFile>(params, m_pFile.release());
  m_pFS = std::move(fs);
  m_pFile = std::move(file);
  return true;
}

bool CSingleInstancerPruner::SetFSInterfaceCloud() {
  if (!m_pFS || !m_pFile || m_pFS->GetType() != kFSTypeCloudCached || m_pFile->GetType() != kFSTypeCloudCached) {
    return false;
  }
  CFSInitParams params = m_pFS->GetInitParams();
  params.m_Type = kFSTypeCloud;
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  if (!fs || !file) return false;
  m_pFS = std::move(fs);
  m_pFile = std::move(file);
  return true;
}

bool CSingleInstancerPruner::SetCacheMountPath(unsigned int cacheId, unsigned int volId) {
  const char* tag = "SetCacheMountPath";
  if (!m_pFS) {
    PLOG(1, tag, "Cannot proceed as m_pFS is NULL");
    return false;
  }
  const int type = m_pFS->GetType();
  if ((type != kFSTypeCloud && type != kFSTypeCloudCached) || !CanMPHaveHybridVolumes()) return true;
  PASSERT(cacheId != kNoCacheMountPath, "uCacheMpId != -1");
  if (volId != kNoCacheMountPath) {
    if (!m_bHybVolsOpened) {
      const int r = s_pHybVols->Open(false);
      if (r == 0) {
        m_bHybVolsOpened = true;
      } else {
        PLOG(1, tag,
             "Info: Cannot cache volid-mpid mapping for volume [%u]. Unable to open the hybrid volumes file. iRet [%d]",
             volId, r);
      }
    }
    if (s_pHybVols->IsOpen()) {
      SHybridVolumeRecord record{};
      record.VolId = volId;
      record.CacheMPId = cacheId;
      (void)s_pHybVols->Cache(volId, &record, "Caching record - Phase 1");
    }
    if (cacheId != 0) PLOG(1, tag, "Using mountpath [%u] as cache for hybrid cloud volume [%u].", cacheId, volId);
  }
  if (cacheId != 0) {
    if (IsFSInterfaceHybrid()) {
      if (static_cast<CHybridFS*>(m_pFS.get())->SetDiskMPId(cacheId) != 0) return false;
      if (static_cast<CHybridFile*>(m_pFile.get())->SetDiskMPId(cacheId) != 0) return false;
    } else if (!SetFSInterfaceHybrid(cacheId)) {
      return false;
    }
  } else if (IsFSInterfaceHybrid() && !SetFSInterfaceCloud()) {
    return false;
  }
  m_uCacheMPId = cacheId;
  return true;
}

unsigned int CSingleInstancerPruner::GetCacheMountPath() { return m_uCacheMPId; }

int CSingleInstancerPruner::PruneVolumeOnCloud(unsigned int volId) {
  const char* tag = "PruneVolume";
  if (m_bKeepFolders) return 0;
  const std::string folder = VolumeFolder(m_strMountPath, volId);
  std::vector<std::string> files, folders;
  if (m_bCountersEnabled) m_AvgGetDirContents.Start();
  CXoError e = m_pFS->GetDirContents(folder, files, folders, kListingBatch);
  if (m_bCountersEnabled) m_AvgGetDirContents.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot get contents of volume [%s], error [%s]", folder.c_str(), e.AsString().c_str());
    return RebindOnInvalidArgument(e) ? -1 : TestVanishedFolder(tag, folder, volId, std::nullopt);
  }
  bool marked = false;
  for (const std::vector<std::string>* list : {&folders, &files}) {
    for (const std::string& name : *list) {
      if (name.starts_with("CHUNK_") || (IsCloud() && name.starts_with("CHUNKMAP_TRAILER_"))) return 1;
      if (name == kPrunableMarker) marked = true;
    }
  }
  if (!marked) return 1;
  m_uVolumeId = volId;
  PASSERT(folders.empty(), "vDirList.empty () == true");
  for (const std::string& name : files) {
    if (name == kPrunableMarker) continue;
    if (RemoveVolumeFile(tag, m_pFS->AppendPath(folder, name), name).IsFailure()) return -1;
  }
  return RemoveMarkerAndFolder(folder, volId);
}
