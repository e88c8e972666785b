// Opening a chunk for a restore: the chunk's paths, the SILO check that makes sure the volume is on
// disk (and may name another mount path to read it from), the metadata file through the buffered
// reader, the chunk metadata index in the format its header version calls for, and
// "NFILE_CONTAINER" when the chunk has one. SFile containers are opened later, one object at a
// time (store_read.cc).
//
// In the reader mode an archive file with id 0 names no chunk: the open takes the next path of the
// chunk collect file (store_catalog.cc) and opens that file as the metadata stream.

#include <fcntl.h>

#include <cstring>
#include <memory>
#include <optional>

#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

const char kOp[] = "SingleInstancer_FS::OpenSpecific";

const char kNFileMagic[8] = {'N', 'F', 'I', 'L', 'H', 'D', 'R', '\0'};
constexpr unsigned int kNFileHeaderSize = 128;
// Chunks written before this header version cannot be restored by the store.
constexpr int kFirstRestorableChunkVersion = 3;
constexpr long long kMMErrVolumeNotAvailable = 1005;

}  // namespace

void SingleInstancer_FS::SetChunkPaths(const std::string& volumeDir, unsigned long long chunkId) {
  m_strChunkDir = path_append(volumeDir, GetChunkDirName(chunkId));
  m_strMetaDataFileName = path_append(m_strChunkDir, GetChunkMetadataName(chunkId));
  m_ullChunkId = chunkId;
  m_strChunkMDIdxName = m_strMetaDataFileName + ".idx";
  m_strSfileIdxName = path_append(m_strChunkDir, "SFILE_CONTAINER") + ".idx";
}

int SingleInstancer_FS::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (InitSpecific() != 0) return -1;
  SetPath(convertSlashes(m_szPath).c_str());
  if (!InitFileInterfaceCache()) return -1;
  const unsigned int mountPathId = m_iMediaType == kMediaTypeReader ? static_cast<unsigned int>(-1)
                                   : m_pVolInfo != nullptr          ? static_cast<unsigned int>(m_pVolInfo->getMountPathID())
                                                                    : 0u;
  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kOp)) return -1;
  try {
    return OpenChunkForRead(id, mountPathId);
  } catch (const OzException& ex) {
    ReportScopeException(kOp, ex);
    return -1;
  }
}

// The open's steps inside the user's impersonation scope.
int SingleInstancer_FS::OpenChunkForRead(const MediaFSArchiveFileId_t* id, unsigned int mountPathId) {
  const bool reader = m_iMediaType == kMediaTypeReader;
  const unsigned long long chunkId = static_cast<unsigned long long>(id->llChunkId);
  std::string path;
  if (reader && id->iArchFileId == 0) {
    if (NextChunkCollectLine(m_fpChunkCollectFile, path) != 0) return -1;
  } else if (reader) {
    SetChunkPaths(m_szPath, chunkId);
    path = m_strMetaDataFileName;
  } else {
    if (id->iChunkVersion < kFirstRestorableChunkVersion) {
      Log(1, "Wrong chunk header version for the data. Restore not supported for older versions");
      return -1;
    }
    SetChunkPaths(m_szPath, chunkId);
    unsigned int newMountPathId = 0, newThId = 0;
    if (CheckAndRecallVolumeFromTape(m_szPath, chunkId, static_cast<unsigned int>(m_iVolId), m_iTHId, mountPathId,
                                     newMountPathId, newThId, nullptr, false) == 0) {
      if (m_llLastError == 0) MediaFSSetLastError(kMMErrVolumeNotAvailable);
      return -1;
    }
    if (newMountPathId == 0) {
      m_strTransformedVolDir.clear();
    } else {
      SMountInfo info;
      if (GetMountPathInfo(newMountPathId, static_cast<unsigned int>(m_iTHId), info) == 0) {
        Log(1, "Cannot get information for transformed MPID = %d. VolId [%d], TarnholdId [%d], OrigMPID [%d].",
            newMountPathId, m_iVolId, m_iTHId, m_pVolInfo != nullptr ? m_pVolInfo->getMountPathID() : 0);
        return -1;
      }
      m_strTransformedVolDir = path_append(info.m_MountPath, GetVolumeDirName(static_cast<unsigned int>(m_iVolId)));
      m_TransformedMPToken = info.m_UserToken;
      SetChunkPaths(m_strTransformedVolDir, chunkId);
    }
    path = m_strMetaDataFileName;
  }

  CImpersonator mountPathScope(m_TransformedMPToken);
  if (const int rc = OpenMetaDataForRead(path, id->bReadAhead); rc != 0) return rc;
  if (reader && id->iArchFileId == 0) return 0;

  if (const int rc = OpenChunkMDIndexForRead(); rc != 0) return rc;
  if (const int rc = OpenNFileForRead(); rc != 0) return rc;

  if (m_bCheckMetaDataZeroSize) {
    m_bMetaDataZeroSize = false;
    FSPathInfo info;
    CXoError e = m_pFSInterface->Stat(m_strMetaDataFileName, info);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot stat on Meta data file [%s], error=%s", kOp, m_strMetaDataFileName.c_str(),
          e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return MarkBadDecision(m_strMetaDataFileName);
    }
    if (info.size == 0) {
      m_bMetaDataZeroSize = true;
      Log(1, "%s: Meta data file [%s] has zero physical size on disk.", kOp, m_strMetaDataFileName.c_str());
    }
  }
  Log(2, "SingleInstancer_FS Opened [%s] file", m_strMetaDataFileName.c_str());
  return 0;
}

// The metadata stream through the buffered reader; a missing file is reported by its deepest
// missing piece.
int SingleInstancer_FS::OpenMetaDataForRead(const std::string& path, bool readAhead) {
  if (m_pMetaDataReader == nullptr) {
    Log(1, "%s: The store has no metadata reader for [%s].", kOp, path.c_str());
    return -1;
  }
  int flags = O_RDONLY | O_LARGEFILE;
  if (m_FileInitParams.m_Type == kFSTypeCloud) flags |= readAhead ? kFSOpenCloudReadAhead : kFSOpenRemoteRead;
  CXoError e = m_pMetaDataReader->Open(path.c_str(), flags, 0400);
  if (e.IsSuccess()) return 0;

  Log(1, "%s: Cannot open file [%s], error=%s", kOp, path.c_str(), e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  if (m_llLastError == kMMErrPathNotAccessible) {
    const char* missing = !CXoPath::Exists(m_szPath)          ? m_szPath
                          : !CXoPath::Exists(m_strChunkDir)   ? m_strChunkDir.c_str()
                                                              : path.c_str();
    DisplayError(kMMErrPathNotAccessible, 1, missing);
  } else {
    DisplayError(static_cast<unsigned long>(static_cast<int>(m_llLastError)), 1, "Failed to open chunk file on media");
  }
  return MarkBadDecision(m_szPath);
}

// The chunk metadata index, read-only in the format of its header's version; a chunk without one
// is read without it.
int SingleInstancer_FS::OpenChunkMDIndexForRead() {
  std::unique_ptr<CFileInterface> probe(CFileInterface::GetFileInterfaceInstance(m_FileInitParams));
  if (!probe) {
    Log(1, "%s: Cannot create FileInterface instance for [%s].", kOp, m_strChunkMDIdxName.c_str());
    return -1;
  }
  auto readWithoutIndex = [this] {
    m_ChunkMDIdxVersion = -1;
    m_MDIdxState = 0;
    return 0;
  };
  int flags = O_RDONLY | O_LARGEFILE;
  if (m_FileInitParams.m_Type == kFSTypeCloud) flags |= kFSOpenCloudReadAhead;
  CXoError e = probe->Open(m_strChunkMDIdxName, flags, 0400, 0);
  if (e.IsFailure()) {
    if (IsMediaFSItemNotFoundError(e)) return readWithoutIndex();
    m_ChunkMDIdxVersion = -1;
    Log(1, "%s: Cannot open ChunkMetaDataIndex file [%s] to get version, error=%s", kOp, m_strChunkMDIdxName.c_str(),
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return MarkBadDecision(m_strChunkMDIdxName);
  }

  int version = -1;
  e = ChunkMDIndex::GetFileVersion(probe.get(), g_szChunkIndexHdrMagic, version);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot determine the file [%s] version, error=%s", kOp, m_strChunkMDIdxName.c_str(),
        e.AsString().c_str());
    version = -1;
  }
  m_ChunkMDIdxVersion = version;
  Log(1, "ChunkMetaDataIndex File [%s] Version [%d]", m_strChunkMDIdxName.c_str(), version);
  m_MDIdxState = 1;
  if (version != -1) {
    ChunkMDIndex::Options options{false, true, true, true};
    ChunkMDIndex90::Options options90{false, true, true};
    e = version <= 2 ? m_fdChunkMDIdx90.Open(m_strChunkMDIdxName, 1, options90)
                     : m_fdChunkMDIdx.Open(m_strChunkMDIdxName, 1, options);
    if (e.IsFailure()) {
      probe->Close();
      // A pruning pass that ends the chunk removes the index, also between the probe and here.
      if (IsMediaFSItemNotFoundError(e)) {
        Log(1, "%s: ChunkMetaDataIndex file [%s] is gone; the chunk is read without it.", kOp,
            m_strChunkMDIdxName.c_str());
        return readWithoutIndex();
      }
      Log(1, "%s: Cannot attach file handle for file [%s], error=%s", kOp, m_strChunkMDIdxName.c_str(),
          e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
  }
  probe->Close();
  return 0;
}

// "NFILE_CONTAINER", the chunk's data that was not deduplicated, when the chunk has one.
int SingleInstancer_FS::OpenNFileForRead() {
  m_strNFileName = path_append(m_strChunkDir, "NFILE_CONTAINER");
  if (m_pFSInterface == nullptr || m_pFdNonSIFile == nullptr) return 0;
  if (m_pFSInterface->GetType() != kFSTypeCloud) {
    bool exists = false;
    CXoError e = m_pFSInterface->Exists(m_strNFileName, exists);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot determine whether the file [%s] exists or not, error=%s", kOp, m_strNFileName.c_str(),
          e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return MarkBadDecision(m_strNFileName);
    }
    m_bNFileExists = exists;
  }
  if (!m_bNFileExists) return 0;

  CXoError e = m_pFdNonSIFile->Open(m_strNFileName, O_RDONLY | O_LARGEFILE, 0400, 0);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot open the file [%s], error=%s", kOp, m_strNFileName.c_str(), e.AsString().c_str());
    return ReadFailure(e, "Failed to open NonSI file", m_strNFileName);
  }
  char header[kNFileHeaderSize] = {};
  unsigned int got = 0;
  e = m_pFdNonSIFile->Read(header, sizeof(header), &got);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read the header information from data file [%s], error=%s", kOp, m_strNFileName.c_str(),
        e.AsString().c_str());
    return ReadFailure(e, "Failed to read NonSI file", m_strNFileName);
  }
  if (got < sizeof(header) || std::memcmp(header, kNFileMagic, sizeof(kNFileMagic)) != 0) {
    Log(1, "%s: The NON-SI data file [%s] contains invalid header [%s].", kOp, m_strNFileName.c_str(),
        HeaderText(header, sizeof(kNFileMagic)).c_str());
    return -1;
  }
  Log(2, "SingleInstaner_FS opened [%s] file", m_strNFileName.c_str());
  if (!m_bOZSIDevice) ozassert(false, "m_bOZSIDevice == true", "SingleInstancerFS", kOp, __LINE__);
  return 0;
}

int SingleInstancer_FS::TryOpeningSFileContainerIndex() {
  m_strSfileIdxName = path_append(m_strChunkDir, "SFILE_CONTAINER") + ".idx";
  try {
    CImpersonator scope(m_LoggedOnUser.GetToken());
    CXoError e = m_fdSFileIdx.TryOpen(m_strSfileIdxName);
    if (e.IsSuccess()) return 0;
    ConvertAndSetLastMMError(e);
    return MarkBadDecision(m_strSfileIdxName);
  } catch (const OzException& ex) {
    Log(1, "%s: Caught exception: %s", "TryOpeningSFileIdx", ex.text.c_str());
    MediaFSSetLastError(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(ex.code)));
    return -2;
  }
}
