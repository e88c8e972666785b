// SFile containers for writing. In container mode StartDataFile2 hands out, before each object,
// the current container and the offset at which the object begins, or rolls over: the full
// container is parked for its background flush, the next one ("SFILE_CONTAINER_" and a number) is
// created with its 128-byte header, and the chunk's first container creates the container index.
// Outside container mode every object has a data file of its own (StartDataFile, EndDataFile).
//
// Container header: "SFILHDR\0", version 1 as a big-endian u32 at offset 8, zeros up to 128.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"

namespace {

const char kOp[] = "SingleInstancer_FS::StartDataFile2";

constexpr int kNewContainer = O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE;
constexpr int kExistingContainer = O_WRONLY | O_LARGEFILE;
constexpr int kPerObjectFile = O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE;
constexpr uint32_t kContainerHeaderSize = 128;
constexpr uint32_t kContainerVersion = 1;
constexpr char kContainerMagic[8] = {'S', 'F', 'I', 'L', 'H', 'D', 'R', '\0'};
constexpr unsigned int kNoTimeLimit = 0xFFFFFFFFu;
constexpr unsigned int kWin32ErrGeneric = 774;

#define CONTAINER_ASSERT(expr, text) ozassert(static_cast<bool>(expr), text, "SingleInstancerFS", kOp, __LINE__)

}  // namespace

int SingleInstancer_FS::StartDataFile2(unsigned int engineId, unsigned int* sfileNumber, unsigned long* offset) {
  CONTAINER_ASSERT(m_bNewOZSIFormat, "m_bNewOZSIFormat == true");
  if (!ChunkOpenForWriting(kOp)) return -1;
  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kOp)) return -1;
  try {
    const bool open = m_pFdDataFile != nullptr && m_pFdDataFile->IsValid();
    if (open && m_DataFileOffset < m_MaxSfileContainerSize && m_CurSfileItemCount < m_MaxSfileContainerItems) {
      // A container index whose creation failed is made before any object is handed out.
      if (EnsureSfileIndex(engineId, kOp) != 0) return -1;
    } else {
      if (open) {
        const int rc = WriteCacheBuffersToFile(1, true);
        if (rc != 0) {
          Log(1, "%s: [ERROR] Cannot Flush fil (%d)", kOp, rc);
          return rc;
        }
        Log(3, "%s: Closing current data file [%s] and creating a new one. Size [%lld]. Current items [%ld]", kOp,
            m_strDataFileName.c_str(), static_cast<long long>(m_DataFileOffset), static_cast<long>(m_CurSfileItemCount));
        if (FinalizeChunkForBackup(m_pFdDataFile, true, m_DataFileOffset) != 0) {
          Log(1, "%s: Finalize Sfile failed. Size [%lld]", kOp, static_cast<long long>(m_DataFileOffset));
          return -1;
        }
        CONTAINER_ASSERT(!m_lstDataFileCache.empty() && m_pFdDataFile == m_lstDataFileCache.front(),
                         "m_pFdDataFile == *m_lstDataFileCache.begin()");
        CONTAINER_ASSERT(!m_FreeFlushReqsQ.empty(), "m_FreeFlushReqsQ.size() != 0");
        SFlushReq* req = AllocFlushReq();
        req->pFile = m_pFdDataFile;
        req->strFileName = m_strDataFileName;
        req->bKeepOpen = false;
        m_DelayedSfileFlushQ.push_back(req);
        m_lstDataFileCache.remove(m_pFdDataFile);
        m_pFdDataFile = nullptr;
        m_bCurSfileCreated = false;
      }
      if (MakeRoomForNextSFile() != 0) return -1;
      if (OpenNextSFile(kOp) != 0) return -1;
      if (EnsureSfileIndex(engineId, kOp) != 0) return -1;
    }
    *offset = static_cast<unsigned long>(m_DataFileOffset);
    *sfileNumber = m_SfileNumber;
    ++m_CurSfileItemCount;
    scope.reset();
    Log(2, "SingleInstancer_FS Created DataFile [%s] file", m_strOpenDataFileName.c_str());
    return 0;
  } catch (const OzException& ex) {
    scope.reset();
    ReportScopeException(kOp, ex);
    return -1;
  }
}

// Hands the oldest parked container to the flusher once the delayed queue is half full, collects
// a finished flush, and waits for one when every file interface of the pool is in flight.
int SingleInstancer_FS::MakeRoomForNextSFile() {
  const size_t half = static_cast<size_t>(m_MaxDelayedSfileFlushQSize / 2);
  if (!m_DelayedSfileFlushQ.empty() && m_DelayedSfileFlushQ.size() >= half) FlushOneDelayedSfileAsync();
  const int rc = WaitAndProcessSfileFlush(0);
  if (rc != 0 && rc != 1) {
    Log(1, "Unable to wait for files to get flushed.");
    return -1;
  }
  // A request collected without giving a file interface back (a checkpoint's) leaves the pool
  // empty: the next busy one is waited for, and with none left there is nothing to open on.
  while (m_lstDataFileCache.empty() && !m_BusySfileFlushQ.empty()) {
    if (WaitAndProcessSfileFlush(kNoTimeLimit) != 0) {
      Log(1, "Unable to wait for files to flush.");
      return -1;
    }
  }
  if (m_lstDataFileCache.empty()) {
    CONTAINER_ASSERT(false, "m_lstDataFileCache.size() != 0");
    SetLastError(kMFSErrNotInitializedForBackup, "No file interface is free for the next SFile container");
    Log(1, "%s: No file interface is free for the next SFile container", kOp);
    return -1;
  }
  return 0;
}

// Opens the next container number whose file does not exist yet, and buffers its header. An
// existing file (a container an interrupted job made without indexing it) is never written over.
int SingleInstancer_FS::OpenNextSFile(const char* op) {
  m_pFdDataFile = m_lstDataFileCache.front();
  CXoError e;
  for (;;) {
    ++m_SfileNumber;
    e = OpenCurSFile(false);
    if (e.IsSuccess() || !FXErrorUtil::IsErrNo(e, EEXIST) || m_SfileNumber == UINT32_MAX) break;
    Log(1, "%s: The data file [%s] already exists; going on with the next number", op, m_strDataFileName.c_str());
  }
  if (e.IsFailure()) {
    Log(1, "%s: Failed to create the data file [%s], error=%s", op, m_strDataFileName.c_str(), e.AsString().c_str());
    RecordFailure(e, "Failed to create the data file");
    return -1;
  }
  m_bCurSfileCreated = true;
  m_bChunkFolderChanged = true;

  if (GrowFileIfNecessary(1, 0, kContainerHeaderSize) != 0) {
    Log(1, "GrowFile failed for sfile container [[%u]", m_SfileNumber);
    return -1;
  }
  unsigned char header[kContainerHeaderSize] = {};
  std::memcpy(header, kContainerMagic, sizeof(kContainerMagic));
  EncodeBE32(header + sizeof(kContainerMagic), kContainerVersion);
  m_DataFileOffset = 0;
  m_DataCacheFree = m_CacheSize;
  m_pDataCachePos = m_pDataCache;
  if (WriteToCache(1, reinterpret_cast<const char*>(header), kContainerHeaderSize) != 0) return -1;
  m_CurSfileItemCount = 0;
  Log(2, "SingleInstancer_FS Created DataFile [%s] file", m_strDataFileName.c_str());
  return 0;
}

// Objects go only into a chunk that CreateSpecific made and no close has ended yet: its metadata
// file is open. Anything else would put files where no chunk is being written.
bool SingleInstancer_FS::ChunkOpenForWriting(const char* op) {
  if (m_pFdMetaDataFile != nullptr && m_pFdMetaDataFile->IsValid() && !m_strChunkDir.empty()) return true;
  Log(1, "%s: No chunk is open for writing", op);
  SetLastError(kMFSErrNotInitializedForBackup, "No chunk is open for writing");
  return false;
}

// Creates "SFILE_CONTAINER.idx" with the engine id when it is not open; otherwise, at a new
// container, checks that the index was made for the same engine.
int SingleInstancer_FS::EnsureSfileIndex(unsigned int engineId, const char* op) {
  if (m_fdSFileIdx.IsValid()) {
    if (m_CurSfileItemCount == 0 && m_fdSFileIdx.m_EngineId != 0 && m_fdSFileIdx.m_EngineId != engineId) {
      Log(1, "%s: Mismatched engine id. Found [%u], Expecting [%u]", op, m_fdSFileIdx.m_EngineId, engineId);
      ConvertAndSetLastMMError(FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32ErrGeneric, "Mismatched engine id"));
      return -1;
    }
    return 0;
  }
  // Creating empties the file: one that holds records is never created again.
  bool exists = false;
  CXoError e = IndexFileExists(m_strSfileIdxName, exists);
  if (e.IsSuccess() && exists) {
    e = FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32ErrGeneric, "The container index [%s] exists and is not open",
                                m_strSfileIdxName.c_str());
  }
  m_fdSFileIdx.m_EngineId = engineId;
  SfileIndex::Options options{false, true, true};
  if (e.IsSuccess()) e = m_fdSFileIdx.Create(m_strSfileIdxName, options);
  if (e.IsFailure()) {
    Log(1, "%s: Failed to create the data file [%s], error=%s", op, m_strSfileIdxName.c_str(), e.AsString().c_str());
    RecordFailure(e, "Failed to create the data file");
    return -1;
  }
  m_bSfileIdxCreated = true;
  m_bChunkFolderChanged = true;
  return 0;
}

CXoError SingleInstancer_FS::OpenCurSFile(bool existing) {
  m_strDataFileName = path_append(m_strChunkDir, GetSFileContainerName(m_SfileNumber));
  m_strOpenDataFileName = m_strDataFileName;
  int flags = existing ? kExistingContainer : kNewContainer;
  if (m_iCloudMode != 0) flags |= m_bCloudCreateMode ? (kFSOpenCloudUpload | kFSOpenCloudCreateMode) : kFSOpenCloudUpload;
  CXoError e = m_pFdDataFile != nullptr
                   ? m_pFdDataFile->Open(m_strDataFileName, flags, 0777, 0)
                   : FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface, "No file interface for [%s]",
                                          m_strDataFileName.c_str());
  if (e.IsFailure()) {
    Log(1, "%s: Failed to open the data file [%s], Error [%s]", "OpenCurSFile", m_strDataFileName.c_str(),
        e.AsString().c_str());
  }
  return e;
}

int SingleInstancer_FS::StartDataFile(unsigned long long first, unsigned long long second, unsigned int third) {
  static const char kStartOp[] = "SingleInstancer_FS::StartDataFile";
  if (!ChunkOpenForWriting(kStartOp)) return -1;
  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kStartOp)) return -1;
  try {
    char name[96];
    std::snprintf(name, sizeof(name), "FILE_%d_%lld-%lld", static_cast<int>(third), static_cast<long long>(first),
                  static_cast<long long>(second));
    m_strDataFileName = path_append(m_strChunkDir, name);
    m_strOpenDataFileName = m_strDataFileName;
    CXoError e = m_pFdDataFile != nullptr
                     ? m_pFdDataFile->Open(m_strDataFileName, kPerObjectFile, 0777, 0)
                     : FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface, "No file interface for [%s]",
                                            m_strDataFileName.c_str());
    if (e.IsFailure()) {
      Log(1, "%s: Failed to create the data file [%s], error=%s", kStartOp, m_strDataFileName.c_str(),
          e.AsString().c_str());
      RecordFailure(e, "Failed to create the data file");
      return -1;
    }
    m_bChunkFolderChanged = true;
    m_DataFileOffset = 0;
    scope.reset();
    Log(2, "SingleInstancer_FS Created DataFile [%s] file", m_strOpenDataFileName.c_str());
    return 0;
  } catch (const OzException& ex) {
    scope.reset();
    ReportScopeException(kStartOp, ex);
    return -1;
  }
}

int SingleInstancer_FS::EndDataFile() {
  if (m_bOZSIDevice) return 0;
  if (WriteCacheBuffersToFile(1, true) != 0) return -1;
  CXoError e = m_pFdDataFile != nullptr ? m_pFdDataFile->Close() : CXoError::Success();
  if (e.IsFailure()) {
    Log(1, "%s: Cannot close the data file [%s], error=%s]", "SingleInstancer_FS::EndDataFile",
        m_strDataFileName.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return 0;
}

int SingleInstancer_FS::FinalizeChunkForBackup(CFileInterface*, bool, unsigned long long) { return 0; }
