// The chunk pruner's access to one SFile container: opening it with its checks and recovery, its
// size, the translation of logical offsets through a compacted container's map, and whether the
// mount path may hold compacted chunks at all.
#include <cerrno>
#include <cstring>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/byte_order.h"
#include "platform/config.h"

namespace {

constexpr unsigned int kMMRefused = 68013;
constexpr unsigned int kMMNotOpen = 40012;
constexpr unsigned int kWin32InvalidOffset = 774;
constexpr int kSFileMode = 0666;
constexpr int kSFileCreateMode = 0600;
constexpr uint32_t kSFileHeaderBytes = 128;
constexpr size_t kSFileMagicBytes = 8;
constexpr char kSFileMagic[kSFileMagicBytes] = {'S', 'F', 'I', 'L', 'H', 'D', 'R', '\0'};
constexpr size_t kSFileVersionAt = 8;
constexpr uint32_t kMPAttrCompactedChunks = 0x200;
constexpr char kMountPathLockName[] = "OZMAMntPathRegLock";
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
constexpr int kLookupInstallation = 2;

}  // namespace

CXoError CSFilePruner::OpenSFile(const char* path) {
  static constexpr char kTag[] = "OpenSFile";
  if (m_bIsSFileOpen) return CXoError::Success();
  std::string file = path != nullptr ? path : "";
  if (m_pFS == nullptr || m_pSFile == nullptr) {
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMNotOpen, "No file interfaces for [%s]", file.c_str());
  }
  if (SingleInstancer_FS::IsSfileHardLink(file)) {
    Log(1, kTag, __LINE__, "Warning: Skipping Sfile pruning [%s] as it is hard link", file.c_str());
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMRefused);
  }
  const int type = m_pFS->GetInitParams().m_Type;
  bool recovered = false;
  if (type == kFSTypeCloud && CanMPHaveCompactedChunks(nullptr)) {
    StartCounter(m_RecoverCounter);
    CXoError e = RecoverCompactableFile(file.c_str(), COMPACT_TYPE_BOTH, true);
    StopCounter(m_RecoverCounter);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Cannot recover SFILE.compact [%s], Err [%s]", file.c_str(), e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    recovered = true;
  }

  bool skipChmod = false;
  bool opened = false;
  for (int attempt = 0; attempt < 2 && !opened; ++attempt) {
    CXoError e;
    if (!skipChmod) {
      StartCounter(m_ChmodCounter);
      e = m_pFS->Chmod(file, kSFileMode);
      StopCounter(m_ChmodCounter);
      if (e.IsFailure()) {
        Log(1, kTag, __LINE__,
            "Failed to chg mode of Sfile [%s]. SysErr [%d], PermResetFlg [%d], Line [%d], Err [%s]", file.c_str(), 0,
            SingleInstancer_FS::GetPermissionsResetFlag(m_pLog), __LINE__, e.AsString().c_str());
      }
    }
    if (e.IsSuccess()) {
      const int flags = O_RDWR | O_LARGEFILE | (IsRemoteStorage(type) ? kFSOpenRemoteRead : 0);
      StartCounter(m_OpenCounter);
      e = m_pSFile->Open(file, flags, kSFileCreateMode, 0);
      StopCounter(m_OpenCounter);
      if (e.IsSuccess()) {
        opened = true;
        break;
      }
      Log(1, kTag, __LINE__, "Cannot open [%s], Will skip pruning portions of the file, error [%s]", file.c_str(),
          e.AsString().c_str());
      skipChmod = true;
    }
    if (recovered) return e.Push(FX_LOCATION);
    StartCounter(m_RecoverCounter);
    CXoError r = RecoverCompactableFile(file.c_str(), COMPACT_TYPE_BOTH, true);
    StopCounter(m_RecoverCounter);
    if (r.IsFailure()) {
      Log(1, kTag, __LINE__, "Cannot recover SFILE.compact [%s], Err [%s]", file.c_str(), r.AsString().c_str());
      return r.Push(FX_LOCATION);
    }
    recovered = true;
  }

  // From here a refusal closes the container again: the file interface must not stay on it.
  auto refuse = [&](CXoError e) {
    (void)m_pSFile->Close();
    return e.Push(FX_LOCATION);
  };
  if (CanMPHaveCompactedChunks(nullptr)) {
    unsigned char header[kSFileHeaderBytes] = {};
    EncodeBE32(header + kSFileVersionAt, 1);
    unsigned int done = 0;
    StartCounter(m_ReadCounter);
    CXoError e = m_pSFile->Read(header, kSFileHeaderBytes, &done);
    StopCounter(m_ReadCounter);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Failed to read header from SFILE [%s]. Error [%s].", file.c_str(), e.AsString().c_str());
      return refuse(e);
    }
    uint32_t version = DecodeBE32(header + kSFileVersionAt);
    if (memcmp(header, kSFileMagic, kSFileMagicBytes) != 0) {
      Log(1, kTag, __LINE__, "SFILE contains invalid header [%s]. SFILE [%s]. Expected [%s].",
          std::string(reinterpret_cast<const char*>(header), strnlen(reinterpret_cast<const char*>(header),
                                                                     kSFileMagicBytes)).c_str(),
          file.c_str(), "SFILHDR");
      return refuse(FXErrorUtil::ErrorMM(FX_LOCATION, kMMRefused));
    }
    m_uSFileVersion = version;
  }
  unsigned long long size = 0;
  StartCounter(m_SizeCounter);
  CXoError e = m_pSFile->Size(size);
  StopCounter(m_SizeCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to get size of SFILE [%s]. ", file.c_str());
    m_uSFileVersion = ~0u;
    return refuse(e);
  }
  m_ullSFileSize = size;
  m_bIsSFileOpen = true;
  return CXoError::Success();
}

CXoError CSFilePruner::CloseSFile() {
  static constexpr char kTag[] = "CloseSFile";
  delete m_pCompactionMap;
  m_pCompactionMap = nullptr;
  if (!m_bIsSFileOpen) return CXoError::Success();
  StartCounter(m_CloseCounter);
  CXoError e = m_pSFile->Close();
  StopCounter(m_CloseCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to close SFILE handle Error [%s].", e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  m_bIsSFileOpen = false;
  m_uSFileVersion = ~0u;
  m_ullSFileSize = ~0ull;
  return CXoError::Success();
}

unsigned long long CSFilePruner::GetSFileSize() {
  if (!ozassert(m_bIsSFileOpen, "m_bIsSFileOpen == true", __FILE__, __func__, __LINE__)) return ~0ull;
  if (!ozassert(m_ullSFileSize != ~0ull, "m_ullSFileSize != -1", __FILE__, __func__, __LINE__)) return ~0ull;
  return m_ullSFileSize;
}

bool CSFilePruner::IsSFileCompacted() {
  (void)ozassert(m_bIsSFileOpen, "m_bIsSFileOpen == true", __FILE__, __func__, __LINE__);
  (void)ozassert(m_pSFile != nullptr && m_pSFile->IsValid(), "m_pSFile != NULL && m_pSFile->IsValid ()", __FILE__,
                 __func__, __LINE__);
  return CanMPHaveCompactedChunks(nullptr) && m_uSFileVersion != 1;
}

CXoError CSFilePruner::GetPhysicalOffset(uint64_t logical, uint64_t& physical) {
  static constexpr char kTag[] = "GetPhysicalOffset";
  if (m_pSFile == nullptr || !m_pSFile->IsValid()) {
    Log(1, kTag, __LINE__, "Error: SFILE is not open.");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMNotOpen);
  }
  if (!IsSFileCompacted()) {
    physical = logical;
    return CXoError::Success();
  }
  if (m_pCompactionMap == nullptr) {
    m_pCompactionMap = new CSFileCompactionMap(m_pLog, 0);
    CXoError e = SingleInstancer_FS::GetCompactionMap(m_pSFile, *m_pCompactionMap);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Error: Failed to get compaction map from SFILE. Error [%s].", e.AsString().c_str());
      delete m_pCompactionMap;
      m_pCompactionMap = nullptr;
      return e.Push(FX_LOCATION);
    }
  }
  if (m_pCompactionMap->EntryCount() == 0) {
    physical = logical;
    return CXoError::Success();
  }
  physical = m_pCompactionMap->GetPhysicalOffset(logical, true);
  if (physical == CSFileCompactionMap::kInvalidOffset) {
    Log(1, kTag, __LINE__, "Invalid logical offset [%lu] encountered. File [%s].", static_cast<unsigned long>(logical),
        m_pSFile->GetFileName().c_str());
    m_pCompactionMap->Dump(3, "Invalid logical offset");
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32InvalidOffset, "Invalid logical offset encountered.");
  }
  return CXoError::Success();
}

bool CSFilePruner::CanMPHaveCompactedChunks(const char* path) {
  static constexpr char kTag[] = "CanMPHaveCompactedChunks";
  if (m_FSInitParams.m_Type != kFSTypeCloud) return true;
  if (m_pMPAttributes != nullptr) return (*m_pMPAttributes & kMPAttrCompactedChunks) != 0;

  MDLock lock(kMountPathLockName);
  if (lock.set(kWaitForever) == 0) {
    const int err = errno;
    Log(1, kTag, __LINE__, "Failed to set Named lock (%s). Err [%d] %s", kMountPathLockName, err, strerror(err));
    return true;
  }
  OZPI_FileSystemAgent agent;
  std::string mountPath, user, password;
  int mountPathId = 0, mountPathType = 0, subType = 0, accessFlags = 0, attributes = 0;
  int found = 0;
  if (path != nullptr) {
    std::string key = path;
    const size_t at = key.find(kMagneticRootName);
    if (at != std::string::npos) key.resize(at + sizeof(kMagneticRootName) - 1);
    found = agent.getMagneticMountPathInfo(key.c_str(), user, password, mountPathId, mountPathType, accessFlags,
                                           attributes);
  } else if (m_uMPId != 0) {
    found = agent.getMagneticMountPathInfo(static_cast<int>(m_uMPId), kLookupInstallation, mountPath, user, password,
                                           mountPathType, subType, accessFlags, attributes);
  }
  lock.unset();
  if (found == 0) {
    Log(1, kTag, __LINE__, "getMagneticMountPathInfo failed for mount path id [%d]. Error [%lu]",
        static_cast<int>(m_uMPId), agent.getLastError());
    return true;
  }
  delete m_pMPAttributes;
  m_pMPAttributes = new uint32_t(static_cast<uint32_t>(attributes));
  return (*m_pMPAttributes & kMPAttrCompactedChunks) != 0;
}

CXoError CSFilePruner::RecoverCompactableFile(const char* path, ECompactFileType kind, bool bChunkLocked) {
  if (!CanMPHaveCompactedChunks(path)) return CXoError::Success();
  return SingleInstancer_FS::RecoverCompactableFileByInterface(m_pFS, path, kind, m_pLog, bChunkLocked);
}
