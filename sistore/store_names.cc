// The names of a volume's tree, the existence tests of its folders and files, the split of a store
// path into mount path and volume id, and the feed of the frame's mount path cache. Files already
// on disk carry these names, so every format is exact: prefix, number format, width and case.

#include <cctype>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/local_files.h"
#include "platform/string_format.h"

namespace {

const char kMagneticFolder[] = "OZ_MAGNETIC";
const char kVolumePrefix[] = "V_";

// 1 when the path exists, 0 when not; -1 (logged) when that cannot be told.
int PathExistence(const char* operation, const std::string& path) {
  bool exists = false;
  CXoError e = CXoPath::Exists(path, exists);
  if (e.IsFailure()) {
    EvDebug log;
    log.debugLvl(1, "%s: Error in determining whether the file [%s] exists or not, error=%s", operation,
                 path.c_str(), e.AsString().c_str());
    return -1;
  }
  return exists ? 1 : 0;
}

std::string ChunkFolderPath(const std::string& mountPath, unsigned int volId, unsigned long long chunkId) {
  std::string path = path_append(mountPath, SingleInstancer_FS::GetVolumeDirName(volId));
  return path_append(path, SingleInstancer_FS::GetChunkDirName(chunkId));
}

}  // namespace

// ---- Names --------------------------------------------------------------------------------------

std::string SingleInstancer_FS::GetVolumeDirName(unsigned int volId) { return StringFormat("V_%u", volId); }

std::string SingleInstancer_FS::GetChunkDirName(unsigned long long chunkId) {
  return StringFormat("CHUNK_%llu", chunkId);
}

std::string SingleInstancer_FS::GetChunkMetadataName(unsigned long long chunkId) {
  return StringFormat("CHUNK_META_DATA_%llu", chunkId);
}

std::string SingleInstancer_FS::GetChunkMapTrailerName(unsigned long long chunkId) {
  return StringFormat("CHUNKMAP_TRAILER_%llu", chunkId);
}

// The number prints as a signed 32-bit value at least three digits wide: SFILE_CONTAINER_007,
// SFILE_CONTAINER_1000.
std::string SingleInstancer_FS::GetSFileContainerName(unsigned int number) {
  return StringFormat("%s%03d", "SFILE_CONTAINER_", static_cast<int>(number));
}

std::string SingleInstancer_FS::GetSIFileName(unsigned long long first, unsigned long long second, int third,
                                              unsigned long long fourth, bool primary) {
  return StringFormat("%cFILE_%llu-%llu_%d-%llu", primary ? 'S' : 'N', first, second, third, fourth);
}

std::string SingleInstancer_FS::GetChunkDirName() { return m_strChunkDir; }

std::string SingleInstancer_FS::GetMetaDataFileName() { return m_strMetaDataFileName; }

std::string SingleInstancer_FS::GetDataFileName() { return std::string(m_strDataFileName.c_str()); }

// ---- Existence tests ----------------------------------------------------------------------------

int SingleInstancer_FS::DoesVolFolderExist(std::string mountPath, unsigned int volId) {
  return PathExistence("SingleInstancer_FS::DoesVolFolderExist", path_append(mountPath, GetVolumeDirName(volId)));
}

int SingleInstancer_FS::DoesChunkFolderExist(std::string mountPath, unsigned int volId, unsigned long long chunkId) {
  return PathExistence("SingleInstancer_FS::DoesChunkFolderExist", ChunkFolderPath(mountPath, volId, chunkId));
}

int SingleInstancer_FS::DoesChunkMetadataExist(std::string mountPath, unsigned int volId,
                                               unsigned long long chunkId) {
  std::string path = path_append(ChunkFolderPath(mountPath, volId, chunkId), GetChunkMetadataName(chunkId));
  return PathExistence("SingleInstancer_FS::DoesChunkMetadataExist", path);
}

int SingleInstancer_FS::DoesPrimaryFileExist(std::string mountPath, unsigned int volId, unsigned long long chunkId,
                                             unsigned long long first, unsigned long long second, int third,
                                             unsigned long long fourth) {
  std::string path =
      path_append(ChunkFolderPath(mountPath, volId, chunkId), GetSIFileName(first, second, third, fourth, true));
  return PathExistence("SingleInstancer_FS::DoesPrimaryFileExist", path);
}

// ---- Mount paths --------------------------------------------------------------------------------

bool ParseMountPathAndVolId(const std::string& path, std::string& mountPath, unsigned int& volId) {
  const size_t magnetic = path.find(kMagneticFolder);
  if (magnetic == std::string::npos) return false;
  const size_t slash = path.find('/', magnetic);
  if (slash == std::string::npos) return false;
  const size_t volume = path.find(kVolumePrefix, slash);
  if (volume == std::string::npos) return false;

  // The digits after "V_" as an unsigned 32-bit number (an id beyond 32 bits wraps).
  unsigned int id = 0;
  for (size_t i = volume + 2; i < path.size() && std::isdigit(static_cast<unsigned char>(path[i])) != 0; ++i) {
    id = id * 10u + static_cast<unsigned int>(path[i] - '0');
  }
  mountPath = path.substr(0, volume - 1);  // "V_" follows at least the '/' found above
  volId = id;
  return true;
}

bool SingleInstancer_FS::AddMPInfoToList(SMountInfo& info) {
  OzCriticalSectionGuard guard(m_pMountPathCacheLock);
  info.m_MountPath = convertSlashes(info.m_MountPath.c_str());
  std::string mountPath;
  unsigned int volId = 0;
  if (ParseMountPathAndVolId(info.m_MountPath, mountPath, volId)) {
    Log(1, "MPId %u, MP from reservemount [%s], MP adding [%s]", static_cast<unsigned int>(info.m_MountPathId),
        info.m_MountPath.c_str(), mountPath.c_str());
    info.m_MountPath = mountPath;
  } else {
    Log(1, "Adding MPId %u, MP [%s]", static_cast<unsigned int>(info.m_MountPathId), info.m_MountPath.c_str());
  }
  m_MountPathCache.push_back(info);
  return true;
}
