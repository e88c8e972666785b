// CSIFile: binding to a chunk, the two readers and their teardown, opens with their retries and
// compaction repair, and the chunk-fault check of failed steps.

#include <cerrno>

#include "MediaFileSystem/SIFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/local_files.h"
#include "platform/threads.h"
#include "sireader/si_file_internal.h"

// The map's lines carry the job of the host's log, when it has one.
CSIFile::CSIFile(_OzLogDef* pLogDef)
    : m_pLogDef(pLogDef),
      m_CompactionMap(nullptr, pLogDef != nullptr ? static_cast<unsigned long long>(pLogDef->jobId) : 0) {}

CSIFile::~CSIFile() { DeInit(); }

MM_int CSIFile::Init(CFSInitParams* pParams, unsigned long long ullChunkId, unsigned int uVolumeId, bool bFlag) {
  const bool sameChunk = uVolumeId == m_uVolumeId && ullChunkId == m_ullChunkId;
  if (sameChunk && m_pMetaDataReader != nullptr && m_pDataReader != nullptr) return 0;
  if (pParams == nullptr) return -1;

  // A mount path of another kind, a cloud one or one of subtype 4 needs readers made for it.
  if (pParams->m_MountPathId != 0 && m_FSInitParams.m_MountPathId != 0 &&
      pParams->m_MountPathId != m_FSInitParams.m_MountPathId &&
      (pParams->m_Type != m_FSInitParams.m_Type || pParams->m_Type == kFSTypeCloud || pParams->m_SubType == 4)) {
    DeInit();
  }
  // Nothing of the previous chunk may stay open: the opens reuse an open metadata file, and a
  // container of the same number would pass for this chunk's.
  if (!sameChunk) {
    CloseDataFile();
    if (m_pMetaDataReader != nullptr) m_pMetaDataReader->Close();
  }

  m_FSInitParams = *pParams;
  m_uVolumeId = uVolumeId;
  m_ullChunkId = ullChunkId;
  m_uSfileNumber = 0;
  m_ullImpersonationToken = pParams->m_Token;
  m_strWorkingPath = path_append(path_append(convertSlashes(pParams->m_Host.m_Path.c_str()),
                                             SingleInstancer_FS::GetVolumeDirName(uVolumeId)),
                                 SingleInstancer_FS::GetChunkDirName(ullChunkId));
  m_strChunkDir = m_strWorkingPath;
  m_strMetaDataPath = path_append(m_strChunkDir, SingleInstancer_FS::GetChunkMetadataName(ullChunkId));
  m_bInitFlag = bFlag;
  if (m_pMetaDataReader == nullptr) m_pMetaDataReader = new CBufferedFileReader(pParams);
  if (m_pDataReader == nullptr) {
    m_pDataReader = new CBufferedFileReader(pParams);
    (void)m_pDataReader->Init(sifile::kDataBlockSize);
  }
  return 0;
}

MM_int CSIFile::DeInit() {
  CloseDataFile();
  if (m_pMetaDataReader != nullptr) m_pMetaDataReader->Close();
  delete m_pMetaDataReader;
  m_pMetaDataReader = nullptr;
  delete m_pDataReader;
  m_pDataReader = nullptr;
  return 0;
}

MM_int CSIFile::CloseDataFile() {
  if (m_pDataReader != nullptr && m_pDataReader->IsValid()) (void)m_pDataReader->Close();
  m_CompactionMap.Reset();
  m_strDataPath.clear();
  return 0;
}

bool CSIFile::OnGluster() const {
  return m_strChunkDir.compare(0, GLUSTER_PATH_PREFIX_LEN, kGlusterPathPrefix) == 0;
}

int CSIFile::DataFileFlags(int iFlags) {
  CFileInterface* file = m_pDataReader->GetFileInterface();
  return file != nullptr && FSReadsRemotely(file->GetType()) ? iFlags | kFSOpenRemoteRead : iFlags;
}

void CSIFile::LogNotBound(const char* szOperation) {
  OZlog(m_pLogDef, 1, "%s: Error: The reader is not bound to a chunk. Init it first.", szOperation);
}

MM_int CSIFile::ChunkFaultResult(const char* szOperation, const CXoError& err, const std::string& path) {
  m_LastError = err;
  const long long code = MMS2BaseError::ConvertToMMError(err);
  if (IsMarkChunkBadMMError(code, &m_FSInitParams, path, nullptr)) return -1;
  OZlog(m_pLogDef, 1, "%s: IsMarkChunkBadMMError returned FALSE for Err =[%d], Path =[%s].", szOperation,
        static_cast<int>(code), path.c_str());
  return -2;
}

CXoError CSIFile::OpenWithRetry(CBufferedFileReader* pReader, const char* szPath, int iFlags, int iMode, bool bRecover,
                                bool bRecoveryFlag) {
  const int attempts = OnGluster() ? sifile::kGlusterAttempts : 1;
  CXoError e;
  for (int attempt = 1;; ++attempt) {
    e = pReader->Open(szPath, iFlags, iMode);
    if (e.IsSuccess() || attempt >= attempts || FXErrorUtil::GetErrNo(e) != EBADF) break;
    XOSLEEP(sifile::kGlusterRetryPauseMs);
  }
  if (e.IsSuccess() || !bRecover || pReader->GetFileInterface() == nullptr) return e;

  // The file may be missing or unreadable because a compaction stopped halfway through its switch.
  CFSInitParams params = pReader->GetFileInterface()->GetInitParams();
  CXoError repair =
      SingleInstancer_FS::RecoverCompactableFileByParams(params, szPath, COMPACT_TYPE_BOTH, nullptr, bRecoveryFlag);
  if (repair.IsFailure()) {
    OZlog(m_pLogDef, 1, "%s: Cannot recover .compact data file [%s], error=%s", "OpenWithRetry", m_strDataPath.c_str(),
          repair.AsString().c_str());
    return repair;
  }
  return pReader->Open(szPath, iFlags, iMode);
}
