// WebStorageMediaFS: the backup road: an archive file created as an object, its blocks written,
// the object closed (appearing whole) with the chunk's object id recorded on object-ID stores and
// the volume's uploaded megabytes counted.

#include <climits>
#include <cstring>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/WebStorageMediaFS.h"

namespace {

const char kSource[] = "WebStorageMediaFS";
const char kMediaTrailerName[] = "MEDIA_TRAILER";

// A megabyte count as a log line's 32-bit figure shows it.
int LogFigure(long long megabytes) {
  return megabytes > INT_MAX ? INT_MAX : static_cast<int>(megabytes);
}

}  // namespace

int WebStorageMediaFS::CreateSpecific(const MediaFSArchiveFileId_t* id) {
  if (!RequireRemote("WebStorageMediaFS::CreateSpecific", "Web Storage Media File Object is NULL or Invalid.")) {
    return -1;
  }
  if (m_llFileNumber == -1) {
    m_llFileNumber = m_llNumFiles;
    ++m_llNumFiles;
  }
  // A failed close must never record the previous chunk's id for this one.
  m_strObjectId.clear();

  std::string name;
  switch (id->uiDataType) {
    case CHUNK:
      if (BelowLowWaterMark()) return kMFSNoRoomOnMedia;
      name = SingleInstancer_FS::GetChunkDirName(static_cast<unsigned long long>(id->llChunkId));
      m_ullChunkId = static_cast<unsigned long long>(id->llChunkId);
      break;
    case CHUNKMAP_TRAILER:
      name = SingleInstancer_FS::GetChunkMapTrailerName(static_cast<unsigned long long>(id->llChunkId));
      break;
    case MEDIA_TRAILER:
      name = kMediaTrailerName;
      break;
    default:
      SetLastError(kMFSErrUnknownArchiveType, "Invalid archive file type specified.");
      Log(1, "%s %d Invalid Archive File data type has been specified.", kSource, __LINE__);
      return -1;
  }
  const std::string object = path_append(m_szPath, name);

  if (ObjectIdStore() && id->uiDataType == CHUNKMAP_TRAILER) {
    Log(6, "Skip creating trailor file %s for Object Based Cloud.", object.c_str());
    return 0;
  }
  const int mode = id->bCreateMode ? kRFModeWriteNew : (kRFModeWriteNew | kRFModeFlagStoreCreateSettings);
  if (m_pRemoteFile->OpenFile(object, mode, 0) == 0) {
    FailText("%s: Failed to Create File [%s]. Error Code: [%ld], Error Msg: [%s].", "WebStorageMediaFS::CreateSpecific",
             object.c_str(), static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to Create File.");
    return -1;
  }
  if (m_bChunksReadOnly && m_uiRetentionDays > 0) m_pRemoteFile->SetRetentionTime(static_cast<long>(m_uiRetentionDays));
  Log(1, "Created File %s.", object.c_str());
  return 0;
}

int WebStorageMediaFS::WriteToMedia(const char* buf, long len, int* eom) {
  if (buf == nullptr || len <= 0) {
    Log(1, "%s: Invalid Buffer or Buffer Size passed in. Buff Size [%ld].", "WebStorageMediaFS::WriteToMedia", len);
    return -1;
  }
  if (!RequireRemote("WebStorageMediaFS::WriteToMedia", "Web Storage Media File Object is NULL or Invalid...", true,
                     "%s: Web Storage Media File Object is NULL or Invalid, Type = [%d].")) {
    return -1;
  }
  if (ObjectIdStore() && m_iArchiveType == CHUNKMAP_TRAILER) {
    Log(6, "Skip writing data for trailor file for Object Based Cloud.");
    return static_cast<int>(len);
  }
  if (len > INT_MAX || m_pRemoteFile->WriteFile(buf, static_cast<unsigned int>(len)) == 0) {
    FailText("%s: Failed to Write [%ld] bytes to chunk. Error Code: [%ld], Error Msg: [%s].",
             "WebStorageMediaFS::WriteToMedia", len, static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to Write bytes to chunk...");
    MediaFSSetLastError(977);
    return -1;
  }
  if (eom != nullptr) *eom = 0;
  return static_cast<int>(len);
}

int WebStorageMediaFS::CloseSpecific(long) {
  if (!RequireRemote("WebStorageMediaFS::CloseSpecific", "Web Storage Media File Object is NULL or Invalid,")) {
    return -1;
  }
  if (m_bWriting && ObjectIdStore() && m_iArchiveType == CHUNKMAP_TRAILER) {
    Log(6, "Skip closing trailor file for Object Based Cloud.");
    return 0;
  }
  if (m_pRemoteFile->CloseFile() == 0) {
    FailText("%s: Failed to close Chunk File [%s]. Error Code: [%ld], Error Msg: [%s].",
             "WebStorageMediaFS::CloseSpecific", m_szPath, static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to close Chunk File.");
    // The store kept nothing: no id names this chunk, and none is recorded.
    return -1;
  }
  if (m_bWriting && ObjectIdStore() && m_iArchiveType == CHUNK && RecordObjectId() != 0) return -1;

  Log(1, "Closed Web Storage Chunk File %s.", m_szPath);
  if (m_iMediaType == kMediaTypeReader) return 0;
  if (m_pVolInfo == nullptr) {
    Log(1, "volumeInfo is NULL after closing Chunk File %s. Uploaded/Downloaded Bytes will not be updated.", m_szPath);
    return 0;
  }
  AccountTransfer();
  return 0;
}

int WebStorageMediaFS::RecordObjectId() {
  static const char kFunction[] = "WebStorageMediaFS::CloseSpecific";
  m_strObjectId = m_pRemoteFile->m_strObjectId;
  if (m_strObjectId.empty()) {
    Log(1, "Object Id for file is [%s].", m_strObjectId.c_str());
    return -1;
  }
  if (m_pArchiveManager == nullptr) {
    Log(1, "%s: AMDS Object is NULL or Invalid, DeviceType = [%d].", kFunction, m_iDeviceType);
    return -1;
  }
  SetChunkCClipArgsDS_t args;
  args.ullChunkId = m_ullChunkId;
  // An id cut to fit the record would name another object: one that does not fit is not recorded.
  const bool fits = m_strObjectId.size() < sizeof(args.szObjectId);
  if (fits) std::memcpy(args.szObjectId, m_strObjectId.c_str(), m_strObjectId.size() + 1);
  if (!fits || m_pArchiveManager->setChunkCClip(&args) != 0) {
    FailText("%s: Failed to update Object Id [%s] into HM Database for Chunk ID %llu.", kFunction,
             m_strObjectId.c_str(), m_ullChunkId);
    MediaFSSetLastError(kMFSErrCloudObjectIdNotRecorded);
    DisplayError(kMFSErrCloudObjectIdNotRecorded, kCloudKind, "Failed to udpate object id for chunk into HM database.");
    return -1;
  }
  Log(1, "Updated Chunk Id[%llu] => Object Id [%s] into HM database.", m_ullChunkId, m_strObjectId.c_str());
  return 0;
}

void WebStorageMediaFS::AccountTransfer() {
  if (m_bWriting) {
    const long long megabytes = m_pRemoteFile->m_llUploadedBytes >> 20;
    if (m_pVolInfo->incrUploadDataForVolume(megabytes) == 0) {
      Log(1, "Added [%d] MBs to total Uploaded Bytes for the volume.", LogFigure(megabytes));
      m_pRemoteFile->ResetCounters();
    } else {
      Log(1, "Failed to add [%d] MBs to total Uploaded Bytes for the volume.", LogFigure(megabytes));
    }
    return;
  }
  const long long megabytes = m_pRemoteFile->m_llDownloadedBytes >> 20;
  if (m_pVolInfo->incrDownloadDataForVolume(megabytes) == 0) {
    Log(2, "Added [%d] MBs to total Downloaded Bytes for the volume.", LogFigure(megabytes));
    m_pRemoteFile->ResetCounters();
  } else {
    Log(1, "Failed to add [%d] MBs to total Downloaded Bytes for the volume.", LogFigure(megabytes));
  }
}
