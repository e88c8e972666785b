// CSIFile: the opens of the three layouts. Each open closes the previous data file, opens what it
// needs as the chunk's user, loads the data file's compaction map and positions the readers at the
// object.

#include <cstring>

#include "MediaFileSystem/SIFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"
#include "platform/checked_add.h"
#include "platform/local_files.h"
#include "sireader/si_file_internal.h"

MM_int CSIFile::OpenMetaDataFile(const char* szOperation) {
  CXoError e = OpenWithRetry(m_pMetaDataReader, m_strMetaDataPath.c_str(), sifile::kReadOnlyFlags, sifile::kOpenMode,
                             false, false);
  if (e.IsSuccess()) return 0;
  OZlog(m_pLogDef, 1, "%s: Cannot open the metadata file [%s], error=%s", szOperation, m_strMetaDataPath.c_str(),
        e.AsString().c_str());
  return ChunkFaultResult(szOperation, e, m_strMetaDataPath);
}

MM_int CSIFile::LoadCompactionMap(const char* szOperation, const std::string& faultPath) {
  CXoError e = SingleInstancer_FS::GetCompactionMap(m_pDataReader->GetFileInterface(), m_CompactionMap);
  if (e.IsSuccess()) return 0;
  OZlog(m_pLogDef, 1, "%s: Cannot get compaction map from data file [%s], error=%s", szOperation,
        m_strDataPath.c_str(), e.AsString().c_str());
  return ChunkFaultResult(szOperation, e, faultPath);
}

// ---- Layout 0 ------------------------------------------------------------------------------------

MM_int CSIFile::OpenDataFile_5(MM_ulonglong ullA, MM_ulonglong ullB, MM_int iObjectNumber,
                               MM_ulonglong ullMetadataOffset, bool bSingleInstance) {
  static constexpr char kOp[] = "CSIFile::OpenDataFile_5";
  if (m_pMetaDataReader == nullptr || m_pDataReader == nullptr) {
    LogNotBound(kOp);
    return -1;
  }
  CloseDataFile();
  m_iSIVersion = 0;
  m_strDataPath = path_append(
      m_strWorkingPath, SingleInstancer_FS::GetSIFileName(ullA, ullB, iObjectNumber, ullMetadataOffset, bSingleInstance));
  OZlog(m_pLogDef, 2, "%s: Going to open %s data file. Metadata file = %s", kOp, m_strDataPath.c_str(),
        m_strMetaDataPath.c_str());

  MM_int rc = sifile::Impersonated(m_ullImpersonationToken, m_pLogDef, kOp, m_LastError, [&]() -> MM_int {
    if (!m_pMetaDataReader->IsValid()) {
      if (MM_int r = OpenMetaDataFile(kOp)) return r;
    }
    if (!m_pDataReader->IsValid()) {
      CXoError e = OpenWithRetry(m_pDataReader, m_strDataPath.c_str(), DataFileFlags(sifile::kReadOnlyFlags),
                                 sifile::kOpenMode, true, false);
      if (e.IsFailure()) {
        OZlog(m_pLogDef, 1, "%s: Cannot open the data file [%s], error=%s", kOp, m_strDataPath.c_str(),
              e.AsString().c_str());
        return ChunkFaultResult(kOp, e, m_strDataPath);
      }
    }
    return LoadCompactionMap(kOp, m_strDataPath);
  });
  if (rc != 0) return rc;
  return sifile::Guarded(m_pLogDef, kOp, m_LastError,
                         [&] { return ProbeChunkBlockSize(iObjectNumber, ullMetadataOffset); });
}

// The metadata file keeps its tag header at its block size; the object's metadata starts that
// far past the object's metadata offset.
MM_int CSIFile::ProbeChunkBlockSize(MM_int iObjectNumber, MM_ulonglong ullMetadataOffset) {
  static constexpr char kOp[] = "CSIFile::OpenDataFile_5";
  for (uint64_t block = sifile::kFirstChunkBlockSize; block <= sifile::kLastChunkBlockSize; block *= 2) {
    CXoError e = m_pMetaDataReader->Seek(block, 0, nullptr);
    if (e.IsFailure()) {
      OZlog(m_pLogDef, 1, "%s: Failed to seek to offset [%08X] within the metadata file., Object Number [%d], error=%s",
            kOp, static_cast<unsigned int>(block), iObjectNumber, e.AsString().c_str());
      m_LastError = e;
      return -1;
    }
    char tag[sizeof(sifile::kTagHeader)] = {};
    unsigned int got = 0;
    e = m_pMetaDataReader->Read(tag, sizeof(tag), &got);
    if (e.IsFailure()) {
      OZlog(m_pLogDef, 1, "%s: Failed to read tag header from offset [%08X], error=%s", kOp,
            static_cast<unsigned int>(block), e.AsString().c_str());
      return ChunkFaultResult(kOp, e, m_strDataPath);
    }
    if (got != sizeof(tag) || std::memcmp(tag, sifile::kTagHeader, sizeof(tag)) != 0) continue;

    m_ullChunkBlockSize = block;
    // The offset comes from the object's name: one that wraps past 2^64 or reaches beyond the
    // metadata file would have the reads deliver bytes that are not this object's metadata.
    uint64_t start = 0;
    unsigned long long size = 0;
    const bool fits = CheckedAdd(ullMetadataOffset, block, start);
    if (fits) {
      e = m_pMetaDataReader->GetFileInterface()->Size(size);
      if (e.IsFailure()) {
        OZlog(m_pLogDef, 1, "%s: Cannot get the size of the metadata file [%s], error=%s", kOp,
              m_strMetaDataPath.c_str(), e.AsString().c_str());
        return ChunkFaultResult(kOp, e, m_strMetaDataPath);
      }
    }
    if (!fits || start > size) {
      OZlog(m_pLogDef, 1,
            "%s: Metadata offset [%llu] past block size [%llu] lies beyond the end of the metadata file [%s], Object "
            "Number [%d]",
            kOp, ullMetadataOffset, static_cast<unsigned long long>(block), m_strMetaDataPath.c_str(), iObjectNumber);
      m_LastError = FXErrorUtil::ErrorMM(FX_LOCATION, 1204, "Metadata offset [%llu] lies beyond the end of [%s]",
                                         ullMetadataOffset, m_strMetaDataPath.c_str());
      return -1;
    }
    e = m_pMetaDataReader->Seek(start, 0, nullptr);
    if (e.IsFailure()) {
      OZlog(m_pLogDef, 1,
            "%s: Failed to seek to offset [%llu] within the metadata file [%s], Object Number [%d], error=%s", kOp,
            ullMetadataOffset, m_strMetaDataPath.c_str(), iObjectNumber, e.AsString().c_str());
      m_LastError = e;
      return -1;
    }
    return 0;
  }
  OZlog(m_pLogDef, 1, "%s: Cannot determine the chunk block size. Metadata [%s]", kOp, m_strMetaDataPath.c_str());
  return -1;
}

// ---- Layout 1 ------------------------------------------------------------------------------------

MM_int CSIFile::OpenDataFile_1(MM_ulonglong ullMetadataOffset) {
  static constexpr char kOp[] = "CSIFile::OpenDataFile_1";
  if (m_pMetaDataReader == nullptr || m_pDataReader == nullptr) {
    LogNotBound(kOp);
    return -1;
  }
  CloseDataFile();
  m_iSIVersion = 1;
  OZlog(m_pLogDef, 2, "%s: Going to open [%s] Metadata file and seek to offset [%llu]", kOp, m_strMetaDataPath.c_str(),
        ullMetadataOffset);
  return sifile::Impersonated(m_ullImpersonationToken, m_pLogDef, kOp, m_LastError,
                              [&] { return OpenLayout1(ullMetadataOffset); });
}

MM_int CSIFile::OpenLayout1(MM_ulonglong ullMetadataOffset) {
  static constexpr char kOp[] = "CSIFile::OpenDataFile_1";
  if (!m_pMetaDataReader->IsValid()) {
    if (MM_int r = OpenMetaDataFile(kOp)) return r;
  }
  CXoError e = m_pMetaDataReader->Seek(ullMetadataOffset, 0, nullptr);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot seek to offset [%llu], error=%s", kOp, ullMetadataOffset, e.AsString().c_str());
    m_LastError = e;
    return -1;
  }
  char record[sifile::kRefHdrSize];
  unsigned int got = 0;
  e = m_pMetaDataReader->Read(record, sifile::kRefHdrSize, &got);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot read from offset [%llu]. File [%s], error=%s", kOp, ullMetadataOffset,
          m_strMetaDataPath.c_str(), e.AsString().c_str());
    return ChunkFaultResult(kOp, e, m_strMetaDataPath);
  }
  // A record cut short by the end of the metadata file is the chunk's bytes missing.
  if (got != sifile::kRefHdrSize) {
    OZlog(m_pLogDef, 1, "%s: Read only [%u] of the [%u] bytes of the reference record at offset [%llu]. File [%s]",
          kOp, got, sifile::kRefHdrSize, ullMetadataOffset, m_strMetaDataPath.c_str());
    m_LastError = FXErrorUtil::ErrorMM(FX_LOCATION, 1204, "Reference record cut short at offset [%llu] of [%s]",
                                       ullMetadataOffset, m_strMetaDataPath.c_str());
    return -1;
  }
  const uint32_t isPrimary = DecodeBE32(record + sifile::kRefHdrIsPrimaryAt);
  ozassert(isPrimary == 1, "ntohl (SIRefHdr.Recs.IsPrimary) == 1", __FILE__, __func__, __LINE__);
  const char* name = record + sifile::kRefHdrNameAt;
  const std::string fileName(name, strnlen(name, sifile::kRefHdrDataOffsetAt - sifile::kRefHdrNameAt));
  const uint64_t dataOffset = DecodeBE64(record + sifile::kRefHdrDataOffsetAt);

  // The record comes from the media: a name that would reach outside the chunk folder is damage,
  // and opening it could start a compaction repair on another chunk's or volume's files.
  if (!sifile::NamesAFileOfTheChunk(fileName)) {
    OZlog(m_pLogDef, 1, "%s: The record at offset [%llu] names [%s], which is not a file of the chunk. File [%s]", kOp,
          ullMetadataOffset, fileName.c_str(), m_strMetaDataPath.c_str());
    m_LastError = FXErrorUtil::ErrorMM(FX_LOCATION, 1204, "Reference record at offset [%llu] of [%s] names no file of the chunk",
                                       ullMetadataOffset, m_strMetaDataPath.c_str());
    return -1;
  }
  m_strDataPath = CXoPath::Append(m_strChunkDir, fileName);
  OZlog(m_pLogDef, 3, "%s: Going to open [%s] data file and seek to offset [%llu]", kOp, m_strDataPath.c_str(),
        static_cast<unsigned long long>(dataOffset));
  e = OpenWithRetry(m_pDataReader, m_strDataPath.c_str(), DataFileFlags(sifile::kReadOnlyFlags), sifile::kOpenMode,
                    true, false);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot open the data file [%s]. Metadata Offset [%llu], Data Offset [%llu], error=%s", kOp,
          m_strDataPath.c_str(), ullMetadataOffset, static_cast<unsigned long long>(dataOffset), e.AsString().c_str());
    return ChunkFaultResult(kOp, e, m_strDataPath);
  }
  if (MM_int r = LoadCompactionMap(kOp, m_strDataPath)) return r;

  const uint64_t physical = m_CompactionMap.GetPhysicalOffset(dataOffset, false);
  if (physical == CSFileCompactionMap::kInvalidOffset) {
    OZlog(m_pLogDef, 1, "%s: Invalid logical offset [%llu] encountered. File [%s].", kOp,
          static_cast<unsigned long long>(dataOffset), m_pDataReader->GetFileInterface()->GetFileName().c_str());
    m_CompactionMap.Dump(3, "Invalid logical offset");
    return -1;
  }
  e = m_pDataReader->Seek(physical, 0, nullptr);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1,
          "%s: Cannot seek to offset [%llu] in data file [%s]. Logical offset, [%llu]. Metadata Offset [%llu], error=%s",
          kOp, static_cast<unsigned long long>(physical), m_strDataPath.c_str(),
          static_cast<unsigned long long>(dataOffset), ullMetadataOffset, e.AsString().c_str());
    m_LastError = e;
    return -1;
  }
  char header[sifile::kObjectHeaderSize];
  e = m_pDataReader->Read(header, sifile::kObjectHeaderSize, &got);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot read the header from the data file [%s]. Metadata Offset [%llu], Data Offset [%llu], error=%s",
          kOp, m_strDataPath.c_str(), ullMetadataOffset, static_cast<unsigned long long>(dataOffset),
          e.AsString().c_str());
    return ChunkFaultResult(kOp, e, m_strDataPath);
  }
  if (got != sifile::kObjectHeaderSize) {
    OZlog(m_pLogDef, 1, "%s: Read only [%u] of the [%u] bytes of the object header from the data file [%s]. Metadata Offset [%llu], Data Offset [%llu]",
          kOp, got, sifile::kObjectHeaderSize, m_strDataPath.c_str(), ullMetadataOffset,
          static_cast<unsigned long long>(dataOffset));
    m_LastError = FXErrorUtil::ErrorMM(FX_LOCATION, 1204, "Object header cut short at offset [%llu] of [%s]",
                                       static_cast<unsigned long long>(physical), m_strDataPath.c_str());
    return -1;
  }
  if (std::memcmp(header, sifile::kObjectHeaderTag, sizeof(sifile::kObjectHeaderTag)) == 0) return 0;
  OZlog(m_pLogDef, 1,
        "%s: Cannot validate the signature in the data file. Found [%s]. File [%s], Metadata Offset [%llu] Data Offset [%llu]",
        kOp, std::string(header, 7).c_str(), m_strDataPath.c_str(), ullMetadataOffset,
        static_cast<unsigned long long>(dataOffset));
  return -1;
}

// ---- Layout 2 ------------------------------------------------------------------------------------

MM_int CSIFile::OpenDataFile_4(unsigned int uUnused, unsigned int uSfileNumber, unsigned int uOpenFlags,
                               bool bRecoveryFlag) {
  static constexpr char kOp[] = "CSIFile::OpenDataFile_4";
  (void)uUnused;
  if (m_pMetaDataReader == nullptr || m_pDataReader == nullptr) {
    LogNotBound(kOp);
    return -1;
  }
  // The container is open already: it stays where it is. Only a container counts, not a data
  // file of another layout that happens to be open.
  if (m_iSIVersion == 2 && m_uSfileNumber == uSfileNumber && m_pDataReader->IsValid()) return 0;
  CloseDataFile();
  m_iSIVersion = 2;
  return sifile::Impersonated(m_ullImpersonationToken, m_pLogDef, kOp, m_LastError,
                              [&] { return OpenLayout2(uSfileNumber, uOpenFlags, bRecoveryFlag); });
}

MM_int CSIFile::OpenLayout2(unsigned int uSfileNumber, unsigned int uOpenFlags, bool bRecoveryFlag) {
  static constexpr char kOp[] = "CSIFile::OpenDataFile_4";
  m_strDataPath = CXoPath::Append(m_strChunkDir, SingleInstancer_FS::GetSFileContainerName(uSfileNumber));
  OZlog(m_pLogDef, 2, "%s: Going to open [%s] data file.", kOp, m_strDataPath.c_str());
  const int flags = DataFileFlags(uOpenFlags != 0 ? static_cast<int>(uOpenFlags) : sifile::kReadOnlyFlags);
  CXoError e = OpenWithRetry(m_pDataReader, m_strDataPath.c_str(), flags, sifile::kOpenMode, true, bRecoveryFlag);
  if (e.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot open data file [%s], SysErr=%d, Err=%X:%s", kOp, m_strDataPath.c_str(), 0,
          static_cast<unsigned int>(e.Code()), e.AsString().c_str());
    return ChunkFaultResult(kOp, e, m_strChunkDir);
  }
  if (MM_int r = LoadCompactionMap(kOp, m_strChunkDir)) {
    // Left open, the container would pass for the one the SFile number still names.
    (void)m_pDataReader->Close();
    return r;
  }
  m_uSfileNumber = uSfileNumber;
  return 0;
}

MM_int CSIFile::OpenDataFileAndSeek(unsigned int uUnused, unsigned int uSfileNumber,
                                    unsigned long long ullLogicalOffset, unsigned int uOpenFlags) {
  static constexpr char kOp[] = "CSIFile::OpenDataFileAndSeek";
  MM_int rc = OpenDataFile_4(uUnused, uSfileNumber, uOpenFlags, false);
  if (rc != 0) {
    OZlog(m_pLogDef, 1, "%s: Cannot open data file", kOp);
    return rc;
  }
  rc = Seek(ullLogicalOffset);
  if (rc != 0) {
    OZlog(m_pLogDef, 1, "%s: Cannot seek to offset [%llu]", kOp, ullLogicalOffset);
    return rc;
  }
  return 0;
}
