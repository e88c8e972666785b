// WebStorageMediaFS: the restore road: an archive file opened as the chunk object of its chunk id
// (on object-ID stores by the id the management server recorded), read with or without
// read-ahead, and sought for the host.

#include <climits>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/WebStorageMediaFS.h"

int WebStorageMediaFS::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  static const char kFunction[] = "WebStorageMediaFS::OpenSpecific";
  if (InitSpecific() == -1) {
    Log(1, "%s: Init Specific failed.", kFunction);
    return -1;
  }
  m_llMaxChunkSize = m_llBytesLeftToRead;
  const std::string object =
      path_append(m_szPath, SingleInstancer_FS::GetChunkDirName(static_cast<unsigned long long>(id->llChunkId)));
  if (!RequireRemote(kFunction, "Web Storage Media File Object is NULL or Invalid..")) return -1;
  if (ObjectIdStore() && LookUpObjectId(id) != 0) return -1;

  if (m_pRemoteFile->m_iReadAheadLimitFixed == 0) {
    m_pRemoteFile->m_iReadAheadThreadLimit = id->bReadAhead ? OZBaseRemoteFile::m_giReadAheadThreadLimit : 0;
  }
  const std::string& target = ObjectIdStore() ? m_strObjectId : object;
  if (m_pRemoteFile->OpenFile(target, kRFModeRead, -1) == 0) {
    FailText("%s: Failed to Open Chunk File [%s]. Error Code: [%ld], Error Msg: [%s].", kFunction, object.c_str(),
             static_cast<long>(m_pRemoteFile->GetLastErrorCode()), m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to Open Chunk File.");
    return -1;
  }
  Log(1, "Opened Web Storage Chunk File %s.", object.c_str());
  return 0;
}

int WebStorageMediaFS::LookUpObjectId(const MediaFSArchiveFileId_t* id) {
  if (m_pArchiveManager == nullptr) {
    Log(1, "%s: AMDS Object is NULL or Invalid, DeviceType = [%d].", "WebStorageMediaFS::OpenSpecific", m_iDeviceType);
    return -1;
  }
  GetAfileCClipArgsDS_t args;
  args.llArchFileId = id->iArchFileId;
  args.llTHId = id->iTHId;
  args.llCopyId = id->llCopyId;
  GetAfileCClipRetDS_t ret;
  if (m_pArchiveManager->getAfileCClip(&args, &ret) != 0 || ret.entries.empty()) {
    Log(1, "Failed to get Object ID for Chunk. AFID = %d, CopyID = %ld, TarnholdID = %d.", id->iArchFileId,
        static_cast<long>(id->llCopyId), id->iTHId);
    return -1;
  }
  m_strObjectId.clear();
  for (const AfileCClipEntryDS_t& entry : ret.entries) {
    if (entry.ullChunkId == static_cast<unsigned long long>(id->llChunkId)) {
      m_strObjectId = entry.strObjectId;
      break;
    }
  }
  if (m_strObjectId.empty()) {
    Log(1, "After retrieving Object ID for Chunk [%d], value returned from HM is empty.", static_cast<int>(id->llChunkId));
    return -1;
  }
  Log(1, "Chunk ID [%d] => Object ID [%s]", static_cast<int>(id->llChunkId), m_strObjectId.c_str());
  return 0;
}

int WebStorageMediaFS::ReadFromMedia(char* buf, long len) {
  static const char kFunction[] = "WebStorageMediaFS::ReadFromMedia";
  if (buf == nullptr || len <= 0) {
    Log(1, "%s: Invalid Buffer or Read Size passed in. Read Size [%ld].", kFunction, len);
    return -1;
  }
  if (!RequireRemote(kFunction, "Web Storage Media File Object is NULL or Invalid, , ,")) return -1;
  // A read beyond what one count can tell asks for less; the caller reads on.
  const unsigned int want = len > INT_MAX ? static_cast<unsigned int>(INT_MAX) : static_cast<unsigned int>(len);
  unsigned int done = 0;
  if (m_pRemoteFile->ReadFile(buf, want, done) == 0) {
    FailText("%s: Failed to Read [%ld] bytes from chunk. Could Read only %lld bytes. Error Code: [%ld], Error Msg: "
             "[%s].",
             kFunction, len, static_cast<long long>(done), static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to Read bytes from chunk.");
    return -1;
  }
  return static_cast<int>(done);
}

int WebStorageMediaFS::SetSeekOffset(long long offset) {
  static const char kFunction[] = "WebStorageMediaFS::SetSeekOffset";
  if (offset < 0) {
    Log(1, "%s: Invalid Seek offset [%llx] passed in.", kFunction, static_cast<unsigned long long>(offset));
    return 0;
  }
  if (!RequireRemote(kFunction, "Web Storage Media File Object is NULL or Invalid,..")) return 0;
  const int sought = m_pRemoteFile->SeekFile(offset);
  if (sought == 0) {
    FailText("%s: Failed to Seek to offset [%llx] in the chunk. Error Code: [%ld], Error Msg: [%s].", kFunction,
             static_cast<unsigned long long>(offset), static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to Seek to offset... ");
    return 0;
  }
  m_llRoff = 0;
  m_llRlen = 0;
  m_llBytesLeftToRead = m_llMaxChunkSize - offset + 1;
  return sought;
}
