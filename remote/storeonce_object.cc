// The appliance media object: construction, the chunk's object names, opening and closing a chunk,
// the space figures, volume-full marking, and the slots that forward to the metadata and data
// objects.

#include <climits>
#include <cstdint>
#include <cstring>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

const char kSource[] = "HPStoreOnceFS";
const char kMountRootFolder[] = "OZ_MAGNETIC";
constexpr long long kMB = 1048576LL;

}  // namespace

HPStoreOnce_FS::HPStoreOnce_FS(_JobContext* ctx, CFSInitParams& params) : media_fs(ctx) {
  if (params.m_Type != kFSTypeStoreOnce) {
    ozassert(false, "FSInitParams.iType == FSTYPE_HPSTOREONCE", kSource,
             "HPStoreOnce_FS::HPStoreOnce_FS(JobContext*, CFSInitParams&)", __LINE__);
  }
  m_FSInitParams = params;
}

HPStoreOnce_FS::~HPStoreOnce_FS() {
  CloseSpecific(-1);
  m_pFS.reset();
}

int HPStoreOnce_FS::InitSpecific() {
  int lowWaterMarkMB = 0;
  int maxFillMB = 0;
  if (m_pReserveMount != nullptr) m_pReserveMount->getMediaInfoForDM(lowWaterMarkMB, maxFillMB);
  m_llMaxSpaceToFill = static_cast<long long>(maxFillMB) * kMB;
  if (m_iDataMoverMode == kDataMoverModeBackup) m_llKBRemaining = LLONG_MAX;
  return 0;
}

void HPStoreOnce_FS::NameChunkObjects(const MediaFSArchiveFileId_t* id) {
  m_strChunkPath = path_append(m_szPath, SingleInstancer_FS::GetChunkDirName(static_cast<unsigned long long>(id->llChunkId)));
  m_strMetaDataPath = path_append(m_strChunkPath, ".meta");
  m_strIndexPath = path_append(m_strChunkPath, ".idx");
  m_strDataPath = path_append(m_strChunkPath, FormatText("%d%s", 1, ".data"));
  m_strMountRoot = GetMountPath(m_strChunkPath.c_str());
}

int HPStoreOnce_FS::CreateSpecific(const MediaFSArchiveFileId_t* id) {
  if (id->uiDataType != CHUNK) {
    Log(1, "Unknown archfile data type [%d].", static_cast<int>(id->uiDataType));
    return -1;
  }
  if (m_llFileNumber == -1) m_llFileNumber = 0;
  NameChunkObjects(id);
  return 0;
}

int HPStoreOnce_FS::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (id->uiDataType != CHUNK) return 0;
  if (id->bChunkReuse) {
    Log(1, "Cannot reuse chunk.");
    return -1;
  }
  NameChunkObjects(id);
  const int opened = OpenMetaDataFile(kOpenRead);
  if (opened != 0) {
    Log(1, "Failed to open metadata file. iRet [%d].", opened);
    return -1;
  }
  return 0;
}

void HPStoreOnce_FS::ClearPendingCopy() {
  m_ullCopySrcOffset = ~0ULL;
  m_ullCopySize = 0;
  std::memset(&m_CopyLink, 0, sizeof(m_CopyLink));
  m_uCopyTHId = 0;
  m_strCopyDestPath.clear();
  m_ullCopyDestOffset = 0;
}

// Every step runs whatever the earlier ones gave: a chunk is never left half open. The pending
// copy runs after the metadata object and the index are closed and before the data object is.
int HPStoreOnce_FS::CloseSpecific(long markType) {
  (void)markType;
  static const char kTag[] = "HPStoreOnce_FS::CloseSpecific";
  bool failed = false;
  auto closeFailed = [&](const char* what, const CXoError& e) {
    Log(1, "%s: Cannot close the %s, error=%s", kTag, what, e.AsString().c_str());
    if (!failed) ConvertAndSetLastMMError(e);
    failed = true;
  };

  if (m_pMetaDataFile) {
    CXoError e = m_pMetaDataFile->Close();
    if (e.IsFailure()) closeFailed("metadata file", e);
  }
  m_pMetaDataFile.reset();
  m_strMetaDataPath.clear();

  if (m_pChunkMDIndex) {
    CXoError e = m_pChunkMDIndex->Close();
    if (e.IsFailure()) closeFailed("metadata index file", e);
  }
  m_pChunkMDIndex.reset();
  m_bIndexReadOnly = false;
  m_strIndexPath.clear();

  if (CopyPending()) {
    const int copied = CopyDataFile();
    if (copied != 0) {
      Log(1, "%s: Cannot copy data file, error=%d.", kTag, copied);
      failed = true;  // the copy set its own last error
    }
  }

  if (m_pDataFile) {
    CXoError e = m_pDataFile->Close();
    if (e.IsFailure()) closeFailed("data file", e);
  }
  m_pDataFile.reset();
  ClearPendingCopy();
  m_bDataObjectOwned = false;
  m_strDataPath.clear();

  if (m_pFS) {
    Log(1, "%s: Catalyst API perf counters for path [%s] ", kTag, m_strChunkPath.c_str());
    m_pFS.reset();
  }
  m_strChunkPath.clear();
  m_strMountRoot.clear();
  return failed ? -1 : 0;
}

long long HPStoreOnce_FS::GetRemainingSpace() {
  if (m_llMaxSpaceToFill <= 0) return m_llKBRemaining;
  const long long used = m_llSpaceOccupied + m_llPhysicalBytes;
  const long long remaining = m_llMaxSpaceToFill - used;
  if (remaining > 0) return remaining;
  Log(1,
      "Storage will be marked full as used space [%lld] is more than allocated [%lld]. Most recent write size "
      "[%lld].",
      used, m_llMaxSpaceToFill, m_llPhysicalBytes);
  return 0;
}

int HPStoreOnce_FS::MarkVolumeFull(int reason, unsigned long long value) {
  (void)reason, (void)value;
  if (m_pVolInfo == nullptr) return -1;
  Log(1, "Marking volume [%s] full.", m_szPath);
  m_pVolInfo->setFreeBytesMB(0);
  return m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
}

int HPStoreOnce_FS::MarkVolumeFullOnErr(const CXoError& e, int mmCode) {
  if (!FXErrorUtil::IsMM(e, static_cast<unsigned int>(mmCode))) return 0;
  return MarkVolumeFull(kVolumeFullReasonFull, 0);
}

std::string HPStoreOnce_FS::GetMountPath(const char* path) {
  if (path == nullptr) return std::string();
  const char* found = std::strstr(path, kMountRootFolder);
  if (found == nullptr) return std::string();
  return std::string(path, static_cast<size_t>(found - path) + std::strlen(kMountRootFolder));
}

CFSInterface* HPStoreOnce_FS::GetFSInterface() {
  if (!m_pFS) m_pFS.reset(CFSInterface::GetFSInterfaceInstance(m_FSInitParams));
  return m_pFS.get();
}

// The record's user, password and mount path id come from the reservation too, as the mount
// path lookup fills them for other storage.
int HPStoreOnce_FS::ConstructFSInitParams(OZMMreserveMount* reservation, long long value, const char* client,
                                          CFSInitParams& params) {
  if (reservation == nullptr) return 0;
  params.m_Param64 = value;
  params.m_ClientName = client != nullptr ? client : "";
  params.m_User.m_UserName = reservation->getUserName();
  params.m_User.m_Password = reservation->getPassword();
  params.m_MountPathId = reservation->getMountPathId();
  return 0;
}

int HPStoreOnce_FS::FlushDataFile() {
  if (!m_pDataFile || !m_pDataFile->IsValid()) return 0;
  CXoError e = m_pDataFile->Flush();
  if (e.IsFailure()) {
    Log(1, "Failed to flush the datadata file, error=%s", e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return 0;
}

// ---- Slots that forward ----------------------------------------------------------------------

int HPStoreOnce_FS::WriteToMedia(const char* buf, long len, int* eom) { return WriteToMetaData(buf, len, eom); }

int HPStoreOnce_FS::ReadFromMedia(char* buf, long len) { return ReadFromMetaData(buf, len); }

int HPStoreOnce_FS::SetSeekOffset(long long offset) { return HPStoreOnce_FS::SetMetaDataSeekOffset(offset, 0); }

long long HPStoreOnce_FS::GetMetaDataFileOffset() { return GetFileOffset(2); }

long long HPStoreOnce_FS::GetDataFileOffset() { return GetFileOffset(1); }
