// CSIFile: positioning by logical offset through the compaction map, the reads of metadata and
// data with their retries, the container check and the state report.

#include <sys/stat.h>

#include <cerrno>

#include "MediaFileSystem/SIFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/local_files.h"
#include "platform/threads.h"
#include "sireader/si_file_internal.h"

MM_int CSIFile::Seek(unsigned long long ullLogicalOffset) {
  static constexpr char kOp[] = "CSIFile::Seek";
  m_ullLastSeekOffset = ullLogicalOffset;
  m_ullBytesSinceSeek = 0;
  if (m_pDataReader == nullptr || !m_pDataReader->IsValid()) {
    OZlog(m_pLogDef, 1, "%s: Error: Cannot seek as the data file is not open.", kOp);
    return -1;
  }
  const uint64_t physical = m_CompactionMap.GetPhysicalOffset(ullLogicalOffset, false);
  if (physical == CSFileCompactionMap::kInvalidOffset) {
    OZlog(m_pLogDef, 1, "%s: Invalid logical offset [%llu] encountered. File [%s].", kOp, ullLogicalOffset,
          m_pDataReader->GetFileInterface()->GetFileName().c_str());
    m_CompactionMap.Dump(3, "Invalid logical offset");
    return kSeekInHole;
  }
  CXoError e = m_pDataReader->Seek(physical, 0, nullptr);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot seek to offset [%llu] in data file [%s]. Logical offset [%llu]. Error=%s", kOp,
          static_cast<unsigned long long>(physical), m_strDataPath.c_str(), ullLogicalOffset, e.AsString().c_str());
    return ChunkFaultResult(kOp, e, m_strDataPath);
  }
  return 0;
}

// A retry reads on from the bytes the failed read delivered, so they are neither lost nor moved.
CXoError CSIFile::ReadWithRetry(CBufferedFileReader* pReader, char* pBuffer, unsigned int uSize, unsigned int* puRead,
                                bool& bOnGluster) {
  int attempts = 1;
  if (OnGluster()) {
    bOnGluster = true;
    attempts = sifile::kGlusterAttempts;
  }
  unsigned int total = 0;
  CXoError e;
  for (int attempt = 1;; ++attempt) {
    unsigned int got = 0;
    e = pReader->Read(pBuffer + total, uSize - total, &got);
    total += got;
    if (e.IsSuccess() || !bOnGluster || attempt >= attempts) break;
    const int err = FXErrorUtil::GetErrNo(e);
    if (err != EIO && err != EINVAL) break;
    XOSLEEP(sifile::kGlusterRetryPauseMs);
  }
  if (puRead != nullptr) *puRead = total;
  return e;
}

MM_uint CSIFile::ReadMetaData(void* pBuffer, MM_uint uSize) {
  static constexpr char kOp[] = "CSIFile::ReadMetaData";
  unsigned int got = 0;
  if (m_iSIVersion != 2) {
    if (m_pMetaDataReader == nullptr || !m_pMetaDataReader->IsValid()) {
      OZlog(m_pLogDef, 1, "%s: Error: Cannot read metadata as the metadata file is not open.", kOp);
      return kReadChunkAtFault;
    }
    CXoError e = m_pMetaDataReader->Read(pBuffer, uSize, &got);
    if (e.IsFailure()) {
      OZlog(m_pLogDef, 1, "%s: Error: Cannot read [%d] bytes from the metadata file, SysErr=%d, LastSeek=%llu, Err=%s (%s)",
            kOp, static_cast<int>(uSize), 0, m_ullLastSeekOffset, e.AsString().c_str(), m_strDataPath.c_str());
      return static_cast<MM_uint>(ChunkFaultResult(kOp, e, m_strDataPath));
    }
  } else {
    if (m_pDataReader == nullptr || !m_pDataReader->IsValid()) {
      OZlog(m_pLogDef, 1, "%s: Error: Cannot read as the data is not valid.", kOp);
      return kReadChunkAtFault;
    }
    bool onGluster = false;
    CXoError e = ReadWithRetry(m_pDataReader, static_cast<char*>(pBuffer), uSize, &got, onGluster);
    if (e.IsFailure()) {
      OZlog(m_pLogDef, 1, "%s: Cannot read [%d] bytes from the data file, SysErr=%d, LastSeek=%llu, Err=%s (%s)", kOp,
            static_cast<int>(uSize), 0, m_ullLastSeekOffset, e.AsString().c_str(), m_strDataPath.c_str());
      return static_cast<MM_uint>(ChunkFaultResult(kOp, e, m_strChunkDir));
    }
    m_ullBytesSinceSeek += got;
  }
  if (got != uSize) {
    OZlog(m_pLogDef, 1,
          "%s: Error: [%s] [LastOffset - %llu], Sfile [%d], SIVer [%d], Read only [%d] bytes from metadata file. Wanted to read [%d]. Hit EOF",
          kOp, m_strDataPath.c_str(), m_ullLastSeekOffset, static_cast<int>(m_uSfileNumber), m_iSIVersion,
          static_cast<int>(got), static_cast<int>(uSize));
    return got;
  }
  return uSize;
}

MM_uint CSIFile::ReadData(void* pBuffer, unsigned int uSize) {
  static constexpr char kOp[] = "CSIFile::ReadData";
  if (m_pDataReader == nullptr || !m_pDataReader->IsValid()) {
    OZlog(m_pLogDef, 1, "%s: Error: Cannot read data as the data file is not open.", kOp);
    return kReadChunkAtFault;
  }
  unsigned int got = 0;
  bool onGluster = false;
  CXoError e = ReadWithRetry(m_pDataReader, static_cast<char*>(pBuffer), uSize, &got, onGluster);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Error: Cannot read [%u] bytes from the data file, SysErr=%d, LastSeek=%llu, Err=%s (%s)",
          kOp, uSize, 0, m_ullLastSeekOffset, e.AsString().c_str(), m_strDataPath.c_str());
    return static_cast<MM_uint>(ChunkFaultResult(kOp, e, m_strChunkDir));
  }
  if (got < uSize) {
    OZlog(m_pLogDef, 1, "%s: Error: Read only [%u] bytes of [%u] from the data file (%s), LastSeek=%llu. Hit EOF", kOp,
          got, uSize, m_strDataPath.c_str(), m_ullLastSeekOffset);
  }
  m_ullBytesSinceSeek += got;
  return got;
}

MM_int CSIFile::IsSFileValid(unsigned int uSfileNumber) {
  static constexpr char kOp[] = "CSIFile::IsSFileValid";
  if (m_pDataReader == nullptr || m_pDataReader->GetFileInterface() == nullptr) {
    LogNotBound(kOp);
    return -1;
  }
  if (m_pDataReader->GetFileInterface()->GetType() != kFSTypeDisk) return 0;
  return sifile::Impersonated(m_ullImpersonationToken, m_pLogDef, kOp, m_LastError, [&]() -> MM_int {
    const std::string path = CXoPath::Append(m_strChunkDir, SingleInstancer_FS::GetSFileContainerName(uSfileNumber));
    struct stat st {};
    CXoError e = CXoFile::Stat(path, &st);
    if (e.IsFailure()) {
      OZlog(m_pLogDef, 1, "%s: Cannot access data file [%s], SysErr=%d, Err=%X:%s", kOp, path.c_str(), 0,
            static_cast<unsigned int>(e.Code()), e.AsString().c_str());
      return ChunkFaultResult(kOp, e, m_strChunkDir);
    }
    if (static_cast<unsigned long long>(st.st_size) < sifile::kSmallestSfile) {
      OZlog(m_pLogDef, 1, "%s: Sfile [%s] is empty, size=%llu", kOp, path.c_str(),
            static_cast<unsigned long long>(st.st_size));
      return -1;
    }
    return 0;
  });
}

void CSIFile::ToString() {
  OZlog(m_pLogDef, 1, "Metadata file [%s].", m_strMetaDataPath.c_str());
  CXoFile::offset position = 0;
  if (m_pMetaDataReader != nullptr && m_pMetaDataReader->IsValid()) {
    CXoError e = m_pMetaDataReader->Seek(0, 1, &position);
    if (e.IsSuccess()) {
      OZlog(m_pLogDef, 1, "Current metadata file offset [%llu]", static_cast<unsigned long long>(position));
    } else {
      OZlog(m_pLogDef, 1, "Unable to get current metadata file offset, error=%s", e.AsString().c_str());
    }
  }
  OZlog(m_pLogDef, 1, "Data file [%s]. Version [%d], SFile Number [%d], Last Seek Offset [%llu]", m_strDataPath.c_str(),
        m_iSIVersion, static_cast<int>(m_uSfileNumber), m_ullLastSeekOffset);
  if (m_pDataReader != nullptr && m_pDataReader->IsValid()) {
    CXoError e = m_pDataReader->Seek(0, 1, &position);
    if (e.IsSuccess()) {
      OZlog(m_pLogDef, 1, "Current data file offset [%llu]", static_cast<unsigned long long>(position));
      m_CompactionMap.Dump(3, "ToString");
    } else {
      OZlog(m_pLogDef, 1, "Unable to get current data file offset, error=%s", e.AsString().c_str());
    }
  }
}
