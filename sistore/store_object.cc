// The store object: its two constructors, the per-object reset, the destructor that gives back
// every hold in a fixed order, and the small slots that belong to no road.

#include <cstdlib>
#include <cstring>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "sistore/data_file_readers.h"
#include "sistore/silo_volume_db.h"

namespace {

constexpr unsigned int kMetaDataReaderBlock = 262144;

#define STORE_ASSERT(expr, text) \
  ozassert(static_cast<bool>(expr), text, "SingleInstancerFS", "virtual SingleInstancer_FS::~SingleInstancer_FS()", __LINE__)

}  // namespace

SingleInstancer_FS::SingleInstancer_FS(_JobContext* job)
    : media_fs(job),
      m_fdSFileIdx(nullptr, nullptr),
      m_fdChunkMDIdx(nullptr, nullptr),
      m_fdChunkMDIdx90(nullptr, nullptr) {
  _Init();
}

SingleInstancer_FS::SingleInstancer_FS(_JobContext* job, CFSInitParams params, bool containerMode, int cloudMode)
    : media_fs(job),
      m_fdSFileIdx(&params, nullptr),
      m_fdChunkMDIdx(&params, nullptr),
      m_fdChunkMDIdx90(&params, nullptr) {
  _Init();
  m_bOZSIDevice = containerMode;
  m_iCloudMode = cloudMode;
  if (m_iCloudMode == 0) m_LoggedOnUser.Init(params.m_User.m_UserName, params.m_User.m_Password, true);
  m_pFSInterface = CFSInterface::GetFSInterfaceInstance(params);
  m_pFdNonSIFile = CFileInterface::GetFileInterfaceInstance(params);
  m_pMetaDataReader = new CBufferedFileReader(&params);
  m_pMetaDataReader->Init(kMetaDataReaderBlock);
  m_FileInitParams = params;
  m_TotalBytesWritten = 0;
}

// Every member starts at the default its declaration gives; what remains is the frame's cloud
// mode, the time of the last statistics line and the statistics switch.
void SingleInstancer_FS::_Init() {
  m_iCloudMode = 0;
  m_PerfLastLogTime = static_cast<time_t>(MDTime().seconds());
  InitializePerfCounter();
}

SingleInstancer_FS::~SingleInstancer_FS() {
  ReleaseSiloVolResourceLock(0, false, true);
  CloseSpecific(-1);
  ReleaseSiloHolds();
  CloseChunkCollectFile();
  delete m_pFSInterface;
  m_pFSInterface = nullptr;

  STORE_ASSERT(m_DelayedSfileFlushQ.empty(), "m_DelayedSfileFlushQ.size () == 0");
  STORE_ASSERT(m_BusySfileFlushQ.empty(), "m_BusySfileFlushQ.size () == 0");

  Log(2, "Free Flush Queue Size [%d]", static_cast<int>(m_FreeFlushReqsQ.size()));
  for (SFlushReq* req : m_FreeFlushReqsQ) delete req;
  m_FreeFlushReqsQ.clear();

  Log(2, "Data file cache queue size [%d]", static_cast<int>(m_lstDataFileCache.size()));
  for (CFileInterface* file : m_lstDataFileCache) {
    if (file->IsValid()) file->Close();
    delete file;
  }
  m_lstDataFileCache.clear();
  m_pFdDataFile = nullptr;

  if (m_pFdMetaDataFile != nullptr) {
    m_pFdMetaDataFile->Close();
    delete m_pFdMetaDataFile;
    m_pFdMetaDataFile = nullptr;
  }
  delete m_pFdNonSIFile;
  m_pFdNonSIFile = nullptr;
  delete m_pMetaDataReader;
  m_pMetaDataReader = nullptr;

  {
    OzCriticalSectionGuard guard(m_pMountPathCacheLock);
    m_MountPathCache.clear();
  }
  if (m_pFileFlusher != nullptr) {
    CFileFlusher::Release(m_pFileFlusher);
    m_pFileFlusher = nullptr;
  }
  FreeWriteBuffers();
  if (m_bPerfLogEnabled && m_PerfTotalBytes != 0) LogWriteStats();
}

// The SIVolumeDB records, the SILO job objects and the SILO answer's text.
void SingleInstancer_FS::ReleaseSiloHolds() {
  delete m_pPrimarySIVolDB;
  m_pPrimarySIVolDB = nullptr;
  delete m_pSecondarySIVolDB;
  m_pSecondarySIVolDB = nullptr;
  delete m_pSiloJobClient;
  m_pSiloJobClient = nullptr;
  delete m_pSiloJobQuery;
  m_pSiloJobQuery = nullptr;
  delete[] m_SiloVolInfo.InstallationGuid;
  m_SiloVolInfo.InstallationGuid = nullptr;
}

long long SingleInstancer_FS::ConvertAndSetLastMMError(CXoError e) { return media_fs::ConvertAndSetLastMMError(e); }

long SingleInstancer_FS::GetMarkType() const { return 0; }

int SingleInstancer_FS::getSingleInstanceID(char* buf, int size) {
  if (buf == nullptr || size <= 0 || m_strDataFileName.size() >= static_cast<size_t>(size)) {
    Log(1, "Not enough space for the buffer to pass back Single Instance Id %s", m_strDataFileName.c_str());
    return -1;
  }
  std::memcpy(buf, m_strDataFileName.c_str(), m_strDataFileName.size() + 1);
  return 0;
}
