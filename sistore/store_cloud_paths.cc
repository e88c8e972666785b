// Cloud and hybrid mount paths: remote-file objects for a cloud mount path, the sizes of a chunk's
// containers on cloud storage, and the cache mount path of a hybrid volume (a cloud volume whose
// data a disk mount path caches), which the pruners look up once per volume.

#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/media_manager.h"
#include "platform/remote_file.h"
#include "platform/threads.h"

namespace {

constexpr int kSizesNotCloud = 103;
constexpr int kSizesNoRemoteFile = 105;
constexpr unsigned int kHybridVolumesAttribute = 0x800;
constexpr int kMediaManagerOnHubmaster = 2;
constexpr char kContainerPrefix[] = "SFILE_CONTAINER_";

// A reference to the hybrid volumes index that a lookup took for itself, given back on every
// road out of the lookup. A caller that keeps its own flag keeps the reference instead.
class IndexReference {
 public:
  explicit IndexReference(CHybridVolumesIndexFile* index) : m_index(index) {}
  ~IndexReference() {
    if (m_index != nullptr) m_index->Close();
  }
  IndexReference(const IndexReference&) = delete;
  IndexReference& operator=(const IndexReference&) = delete;

 private:
  CHybridVolumesIndexFile* m_index;
};

}  // namespace

OZBaseRemoteFile* SingleInstancer_FS::GetOZRemoteFile(const CFSInitParams& params) {
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  if (!fs) return nullptr;
  const std::string password = fs->GetDPassword();
  std::string root, rest;
  if (OZBaseRemoteFile::GetRootFolderForRemoteHost(params.m_Host.m_Path, root, rest) == 0 || root.empty()) return nullptr;
  return OZBaseRemoteFile::GetRemoteFileInstance(params.m_SubType, params.m_User.m_UserName, password, root,
                                                 params.m_Param64, -1);
}

OZBaseRemoteFile* SingleInstancer_FS::GetNewOZRemoteFile() { return GetOZRemoteFile(m_FileInitParams); }

int SingleInstancer_FS::GetSfileSizesCloud(std::unordered_map<int, unsigned long long>& sizes) {
  static const char kTag[] = "GetSfileSizesCloud";
  if (m_FileInitParams.m_Type != kFSTypeCloud) {
    Log(1, "%s: Invalid m_FileInitParams.iType [%d].", kTag, m_FileInitParams.m_Type);
    return kSizesNotCloud;
  }
  std::unique_ptr<OZBaseRemoteFile> remote(GetNewOZRemoteFile());
  if (!remote) {
    Log(1, "%s: Unable to create pRemoteFile.", kTag);
    return kSizesNoRemoteFile;
  }
  std::vector<OZRFInfo> files;
  std::vector<std::string> folders;
  if (remote->GetFileList(m_strChunkDir, files, folders, 1, 0) == 0) {
    Log(1, "%s: GetFileList failed for [%s]. Error [%s].", kTag, m_strChunkDir.c_str(),
        remote->GetLastError().AsString().c_str());
    return remote->GetLastErrorCode();
  }
  for (const OZRFInfo& file : files) {
    const size_t at = file.sName.find(kContainerPrefix);
    if (at == std::string::npos || file.sName.find(".SIZE") != std::string::npos) {
      Log(10, "%s: Skip chunkDirName [%s], File.sName [%s].", kTag, m_strChunkDir.c_str(), file.sName.c_str());
      continue;
    }
    // A container and its side objects carry the same number and count as one.
    const int number = atoi(file.sName.c_str() + at + sizeof(kContainerPrefix) - 1);
    if (number == 0) {
      Log(10, "%s: Skip chunkDirName [%s], File.sName [%s], nSfileNum [%d].", kTag, m_strChunkDir.c_str(),
          file.sName.c_str(), number);
      continue;
    }
    unsigned long long& total = sizes[number];
    total += file.ullSize;
    Log(10, "%s: Accept chunkDirName [%s], nSfileNum [%d], mSfileSizes [%llu].", kTag, m_strChunkDir.c_str(), number,
        total);
  }
  return 0;
}

bool SingleInstancer_FS::CanMPHaveHybridVolumes(unsigned int mountPathAttributes) {
  return ((mountPathAttributes & kHybridVolumesAttribute) >> 11) != 0;
}

int SingleInstancer_FS::FindCacheMountPath(unsigned long volId, unsigned int engineId, CHybridVolumesIndexFile* index,
                                           unsigned int mountPathAttributes, EvDebug* pDbg, bool* indexOpened,
                                           bool flushOnDestroy) {
  static const char kTag[] = "FindCacheMountPath";
  if (!CanMPHaveHybridVolumes(mountPathAttributes)) return 0;
  EvDebug own;
  EvDebug* log = pDbg != nullptr ? pDbg : &own;
  if (index == nullptr) {
    log->debug("%s:%d Failed to open hybrid volumes index file.", kTag, __LINE__);
    return -1;
  }
  CHybridVolumesIndexFile* ownReference = nullptr;
  if (indexOpened == nullptr || !*indexOpened) {
    if (index->Open(flushOnDestroy) != 0) {
      log->debug("%s:%d Failed to open hybrid volumes index file.", kTag, __LINE__);
      return -1;
    }
    if (indexOpened != nullptr) {
      *indexOpened = true;
    } else {
      ownReference = index;
    }
  }
  const IndexReference reference(ownReference);

  const int cached = index->GetCacheMPId(volId);
  if (cached != -1) return cached;

  CStopWatch watch;
  watch.Start();
  MLMMessageInstance mlm;
  if (mlm.Init(kMediaManagerOnHubmaster, nullptr) != 0) {
    log->debug("%s:%d Error: Failed to connect to MediaManager service on Hubmaster. VolId [%llu].", kTag, __LINE__,
               static_cast<unsigned long long>(volId));
    return -1;
  }
  std::map<unsigned long, unsigned int> cacheMPIds;
  OZMMvolInfo volumes(0, &mlm);
  if (volumes.getCacheMPIdForVolume(engineId, volId, cacheMPIds) != 0) {
    log->debug("%s:%d Error: Cannot get cachempid for volume [%llu].", kTag, __LINE__,
               static_cast<unsigned long long>(volId));
    return -1;
  }
  watch.Stop();
  for (const auto& [volume, cacheMPId] : cacheMPIds) {
    SHybridVolumeRecord record{};
    record.VolId = volume;
    record.CacheMPId = cacheMPId;
    index->Cache(volume, &record, "Caching record - Phase 3");
  }
  index->UpdateStats(static_cast<unsigned int>(cacheMPIds.size()), watch.ElapsedSeconds());
  return index->GetCacheMPId(volId);
}
