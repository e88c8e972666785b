// SingleInstancer_FS: the media type of the deduplicated single-instance store.
//
// One object serves one volume of one job on a disk mount path or on cloud storage. The host
// constructs it with the mount path's CFSInitParams, the container-mode flag and the cloud mode,
// initialises it through media_fs::Init (which calls InitSpecific), then creates (backup) or opens
// (restore) chunks through media_fs::Create and media_fs::Open and, between these, drives the
// store's own operations on the chunk's data files and metadata; media_fs::Close ends each chunk.
//
// A volume is a folder tree under the mount path's "OZ_MAGNETIC" folder, with fixed names:
//   OZ_MAGNETIC/V_<volume id>/                       volume folder (the path given to Init)
//     MEDIA_TRAILER, CHUNKMAP_TRAILER_<chunk id>     trailer files
//     CHUNK_<chunk id>/                              chunk folder
//       CHUNK_META_DATA_<chunk id>[.idx]             metadata file and its index
//       SFILE_CONTAINER_<nnn>, SFILE_CONTAINER.idx   containers of objects and their index
//       NFILE_CONTAINER                              data that is not deduplicated
// The name operations below form these names; other subsystems build paths from them.
//
// A backup on a mount path other than a cloud one holds the process's CFileFlusher from its first
// chunk to its destruction; full containers are flushed in the background.
//
// A chunk in container mode, as a backup's data mover writes it:
//   store.Create(&id);                                  // the chunk folder and its metadata file
//   for each object:
//     store.StartDataFile2(engineId, &container, &offset);   // where the object begins
//     store.WriteToDataFile(object...);  store.WriteToMetaData(record...);
//     store.AddSfileContainerIndexEntry(entry);  store.AddChunkMetaDataIndexEntry(mdEntry);
//   now and then: store.FlushDataFile(); store.FlushMetaDataFile();   // a checkpoint
//   store.Close();
// What a completed checkpoint wrote survives a crash; a later job continues the chunk (the
// chunk-reuse flag of the archive file id) with new objects in new containers after the old ones.
//
// Results of the store's reads, opens, walks and searches: a byte count or 0 on success, -1 when
// the chunk is to be marked bad (a check of the store's own failed, or IsMarkChunkBadMMError says
// so), -2 when the failure does not make the chunk bad. Units: free space from the file system in
// bytes, the frame's free space in KB, the low-water mark in MB, sizes for the media manager in MB.
//
// An object is driven by one thread at a time; the static operations keep no state of an object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "MediaFileSystem/BufferedFileReader.h"
#include "MediaFileSystem/FileFlusher.h"
#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/counters.h"

class CSFileCompactionMap;
class CHybridVolumesIndexFile;
class OZBaseRemoteFile;
struct IoSlot;
struct CSIVolumeDB;  // the store's hold on a mount path's SIVolumeDB (sistore/)
struct SIVolumeInfo_t;
struct _JobPerfCounterCollection;
namespace sistore {
class DataFileReader;  // sistore/data_file_readers.h
struct KeptContainer;
class KeptContainers;
}  // namespace sistore

// The kind of compaction recovery asked for.
enum ECompactFileType : int {
  COMPACT_TYPE_BOTH = 0,      // ".compact2", then ".compact" when no ".compact2" was found
  COMPACT_TYPE_COMPACT = 1,   // ".compact" and ".temp"
  COMPACT_TYPE_COMPACT2 = 2,  // ".compact2"
};

// The lock of a chunk's compaction, held while the context lives (SingleInstancer_FS::
// LockChunkForCompaction). The user fills the first four fields before locking.
struct SCmpctChnkLockCtx {
  std::string strChunkDir;             // the chunk folder
  CFileInterface* pLockFile = nullptr; // the open lock file while the lock is held
  EvDebug* pDbg = nullptr;             // log of the release; null: one of its own
  CFSInitParams InitParams;            // the lock file's interface is made from these
  CIndexFileLockShare LockShare;       // the process's share of the file's lock while held

  SCmpctChnkLockCtx() = default;
  SCmpctChnkLockCtx(const SCmpctChnkLockCtx&) = delete;
  SCmpctChnkLockCtx& operator=(const SCmpctChnkLockCtx&) = delete;
  ~SCmpctChnkLockCtx();                // releases a held lock
  bool IsLocked() const { return pLockFile != nullptr; }
};

// The first 24 bytes of a chunk metadata index record, in host order: the offset of an object's
// file header in the metadata file and the two values that follow it.
struct ChunkMetaDataIndexEntry {
  uint64_t Key = 0;
  uint64_t OwnerValue8 = 0;
  uint64_t OwnerValue16 = 0;
};

// An entry of the store's online volume cache: a volume found on disk.
struct SSIVolInfo {
  uint32_t uVolId = 0;
  uint32_t uMountPathId = 0;
  uint32_t uNewMountPathId = 0;  // 0 when unchanged
  uint32_t uReserved1 = 0;
  uint32_t uReserved2 = 0;
  std::string strReserved;
  bool operator==(const SSIVolInfo& o) const { return uVolId == o.uVolId && uMountPathId == o.uMountPathId; }
};

class SingleInstancer_FS : public media_fs {
 public:
  using SfileIndex = CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;
  using ChunkMDIndex = CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>;
  using ChunkMDIndex90 = CIndexFile<SChunkMetaDataIndexEntry90, g_szChunkIndexHdrMagic>;

  // A container handed to the flusher. A request owns its completion event.
  struct SFlushReq : public CFileFlusher::SRequest {
    std::string strFileName;  // the container's path, for messages
    bool bKeepOpen = false;   // the current container of a checkpoint: stays open after its flush

    SFlushReq() { pDoneEvent = new OzEventH(true); }
    ~SFlushReq() { delete pDoneEvent; }
    SFlushReq(const SFlushReq&) = delete;
    SFlushReq& operator=(const SFlushReq&) = delete;
  };

  // Without file-system parameters: no file-system interface, NFILE interface or metadata reader.
  explicit SingleInstancer_FS(_JobContext* job);
  // A store on the mount path of `params`; `containerMode` packs objects into SFile containers;
  // a non-zero `cloudMode` means cloud storage (no user is logged on).
  SingleInstancer_FS(_JobContext* job, CFSInitParams params, bool containerMode, int cloudMode);

  // ---- Virtual slots of media_fs that the store replaces, in slot order ----------------------
  long long ConvertAndSetLastMMError(CXoError e) override;                   // 0
  ~SingleInstancer_FS() override;                                            // 2, 3
  int InitSpecific() override;                                               // 17
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;             // 18
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;               // 19
  int CloseSpecific(long markType) override;                                 // 20
  int WriteToMedia(const char* buf, long len, int* eom) override;            // 21
  int ReadFromMedia(char* buf, long len) override;                           // 22
  long GetMarkType() const override;                                         // 23: 0
  int UpdateNumPhysicalBytes(long long writeTime) override;                  // 24: always 0
  // 0 with the free bytes of the mount path; -1 when the chunk is to be marked bad; -2 otherwise.
  int getFreeSpaceFromMedia(unsigned long long& bytes) override;             // 25
  // Bytes the host may still write to the volume; never below 0.
  long long GetRemainingSpace() override;                                    // 26
  int InitCatalogOperationOnMedia(int n) override;                           // 28
  int SetSeekOffset(long long offset) override;                              // 30
  int WriteToDataFile(const char* buf, long len, int* eom) override;         // 31
  int WriteToMetaData(const char* buf, long len, int* eom) override;         // 32
  int StartDataFile(unsigned long long a, unsigned long long b, unsigned int c) override;  // 33
  int EndDataFile() override;                                                // 34
  // Copies the current data file's path (terminated) when `size` has room for it: 0; else -1.
  int getSingleInstanceID(char* buf, int size) override;                     // 35
  int OpenDataFile(char* name) override;                                     // 36
  int ReadFromDataFile(char* buf, long len) override;                        // 37
  int ReadFromMetaData(char* buf, long len) override;                        // 38
  int GetMetaDataSeekOffset(long long key, long long chunkId, long long& offset) override;   // 39
  int GetTavrixVersionFromChunkMapTrailer(long long chunkId, std::string& version) override; // 40
  int CheckAndRecallVolumeFromTape(std::string mountPath, unsigned long long chunkId, unsigned int volId,
                                   int thId, unsigned int mountPathId, unsigned int& newMountPathId,
                                   unsigned int& newThId, void* handle, bool primary) override;  // 46
  int ReleaseSiloVolResourceLock(unsigned int volId, bool primary, bool releaseAll) override;  // 47

  // ---- Virtual operations the store adds, in slot order ---------------------------------------
  virtual long long GetMetaDataFileOffset();                                       // 50
  virtual int SetMetaDataFileOffset(unsigned long long offset);                    // 51
  virtual int SetDataFileOffset(unsigned long long offset);                        // 52
  virtual int StartDataFile2(unsigned int engineId, unsigned int* sfileNumber, unsigned long* offset);  // 53
  virtual int OpenDataFile2(const char* path, unsigned long long offset);          // 54
  virtual int ReadFromNonSIFile(char* buf, long len);                              // 55
  virtual int SetSeekOffset2(unsigned long long metaDataOffset, unsigned long long ulNonSIFileOffset);  // 56

  // ---- Names of the volume tree, existence tests ----------------------------------------------
  static std::string GetVolumeDirName(unsigned int volId);                  // "V_%u"
  static std::string GetChunkDirName(unsigned long long chunkId);           // "CHUNK_%llu"
  static std::string GetChunkMetadataName(unsigned long long chunkId);      // "CHUNK_META_DATA_%llu"
  static std::string GetChunkMapTrailerName(unsigned long long chunkId);    // "CHUNKMAP_TRAILER_%llu"
  static std::string GetSFileContainerName(unsigned int number);            // "SFILE_CONTAINER_%03d"
  // "%cFILE_%llu-%llu_%d-%llu" with 'S' (primary) or 'N'.
  static std::string GetSIFileName(unsigned long long first, unsigned long long second, int third,
                                   unsigned long long fourth, bool primary);
  std::string GetChunkDirName();
  std::string GetMetaDataFileName();
  std::string GetDataFileName();
  // 1 when the path exists, 0 when not, -1 when the test failed (logged). `mountPath` is the path
  // up to and including "OZ_MAGNETIC". Local paths only.
  static int DoesVolFolderExist(std::string mountPath, unsigned int volId);
  static int DoesChunkFolderExist(std::string mountPath, unsigned int volId, unsigned long long chunkId);
  static int DoesChunkMetadataExist(std::string mountPath, unsigned int volId, unsigned long long chunkId);
  static int DoesPrimaryFileExist(std::string mountPath, unsigned int volId, unsigned long long chunkId,
                                  unsigned long long first, unsigned long long second, int third,
                                  unsigned long long fourth);
  // Adds the record to the frame's mount path cache with its path cut at the volume folder.
  bool AddMPInfoToList(SMountInfo& info);

  // ---- Object, configuration and write speed statistics ----------------------------------------
  CFSInitParams GetFileInitParams() { return m_FileInitParams; }
  // Makes the two guarded write buffers once: 0, or -1 without a block size or memory.
  int SetBufferedWriteCache(unsigned int cacheKB);
  // The data file interfaces, the flush requests and the flusher, once per object. False when
  // the flusher cannot be had; the next call tries again.
  bool InitFileInterfaceCache();
  int InitializePerfCounter();
  void UpdatePerfCounters(_JobPerfCounterCollection* collection, unsigned int value);

  // ---- Writing (buffers, containers, delayed flushes) -----------------------------------------
  int WriteToFile(int file, const char* buf, long len, int* eom);
  int WriteToCache(int file, const char* buf, long len);
  int WriteCacheBuffersToFile(int mask, bool force);
  int WriteToFileInternal(int file, unsigned char* buf, long len, bool force);
  int GrowFileIfNecessary(int file, unsigned long long offset, long len);
  long long GetFileOffset(int file);
  int SetFileOffset(int file, unsigned long long offset);
  unsigned long long getTotalBytesWritten() { return m_TotalBytesWritten; }
  CXoError OpenCurSFile(bool existing);
  int GetSFileNumber() { return static_cast<int>(m_SfileNumber); }
  int FinalizeChunkForBackup(CFileInterface* file, bool isDataFile, unsigned long long size);
  SFlushReq* AllocFlushReq();
  void FreeFlushReq(SFlushReq* req);
  void FlushOneDelayedSfileAsync();
  int WaitAndProcessSfileFlush(unsigned int ms);
  int FlushDataFile();
  int FlushMetaDataFile();
  CXoError InitializeExistingChunkForWriting();

  // ---- Reading, opening, catalog mode ------------------------------------------------------------
  int ReadFromFile(int file, char* buf, long len);
  unsigned long long GetMetaDataFileSize();
  int GetNextFileHdrOffset(unsigned long long offset, bool& found, ChunkMetaDataIndexEntry& entry);
  int TryOpeningSFileContainerIndex();
  bool NFileContainerExists() { return m_bNFileExists; }
  int TraverseMountPathDirectory(std::string path);
  static CXoError MountPathWalkerStatic(const char* folder, const char* name, bool isDirectory, void* context);
  CXoError MountPathWalker(const char* folder, const char* name, bool isDirectory);

  // ---- The chunk's two index files ----------------------------------------------------------------
  int AddSfileContainerIndexEntry(SSfileContainerIndexEntry& entry);
  int GetFirstSfileContainerIndexEntry(int64_t* position, SSfileContainerIndexEntry& entry);
  int GetNextSfileContainerIndexEntry(int64_t* position, SSfileContainerIndexEntry& entry);
  uint32_t GetLastObjectNumber();
  CXoError GetSfileContainerIndexSize(uint64_t& size);
  int AddChunkMetaDataIndexEntry(SChunkMetaDataIndexEntry& entry);
  int SearchChunkMetaDataIndex(unsigned long long offset, SChunkMetaDataIndexEntry& entry);
  int SearchNextChunkMetaDataIndex(unsigned long long offset, SChunkMetaDataIndexEntry& entry);
  int SearchChunkMetaDataIndex90(unsigned long long offset, SChunkMetaDataIndexEntry90& entry);
  int SearchNextChunkMetaDataIndex90(unsigned long long offset, SChunkMetaDataIndexEntry90& entry);
  bool ChunkMetaDataIndexExists() { return m_MDIdxState > 0; }
  int GetChunkMetaDataIndexFileVersion() { return m_ChunkMDIdxVersion; }
  CXoError GetChunkMetadataIndexSize(uint64_t& size);

  // ---- Compaction maps, the compaction lock and recovery -------------------------------------------
  // A container's map (SFileCompactionMap.h) is read from the open container, or from a finished
  // read of its first bytes (media manager 1210 with nSizeNeeded when the slot holds too little);
  // damaged or cut-off maps fail with 1204. A container of version 0 or 1 has none.
  //
  // The chunk's compaction lock is ".compactlock" (guarding the container index's own compaction)
  // or "SFILE_CONTAINER.idx" (guarding its SFiles, and excluding every process that has the index
  // open); it is shared by the objects of one process, tried 400 times 5 ms apart, never creates
  // the container index, and fails without a descriptor to lock. Recovery looks for side files
  // without the lock and decides again under it; a failure to get the lock (996, or EACCES) is
  // retried "SIFSCompactFileRetryCount" times 2 s apart unless the caller holds the lock. The
  // switch of a finished ".compact2" takes the lock too and refuses to run without the copy. On
  // cloud storage no lock is taken: a checkpoint object marks a switch under way.
  static CXoError GetCompactionMap(CFileInterface* file, CSFileCompactionMap& map);
  static CXoError GetCompactionMapBySlot(IoSlot* slot, CSFileCompactionMap& map, int& nSizeNeeded);
  static CXoError GetCompactedOffset(CFileInterface* file, uint64_t ullLogicalOff, bool bPrunerMode,
                                     uint64_t& ullPhysicalOff);
  static CXoError GetCompactedOffset(CFileInterface* file, uint64_t ullLogicalOff, uint64_t& ullPhysicalOff);
  static CXoError LockChunkForCompaction(SCmpctChnkLockCtx* ctx, EvDebug* log, bool bLockSfileIdx);
  static CXoError RenameCompactableFile(std::string& strSrc, std::string& strDst, CFSInterface* fs, EvDebug* log);
  static bool IsSfileHardLink(std::string& path);
  static int GetPermissionsResetFlag(EvDebug* log);
  static CXoError AttemptPermissionsReset(CFSInterface* fs, const char* szPath, EvDebug* log, bool flag, bool& bReset);
  static CXoError ShouldRecoverCompactableFile(CFSInterface* fs, const char* szPath, EvDebug* log,
                                               bool& bCompactExists, bool& bTempExists);
  static CXoError RecoverCompactableFileEx(CFSInterface* fs, const char* szPath, EvDebug* log, bool bChunkLocked);
  static CXoError RecoverCompactableFileEx2(CFSInterface* fs, const char* szPath, EvDebug* log, bool bChunkLocked,
                                            bool& bCompact2Found);
  static CXoError RecoverCompactableFileByInterface(CFSInterface* fs, const char* szPath, ECompactFileType type,
                                                    EvDebug* log, bool bChunkLocked);
  static CXoError RecoverCompactableFileByParams(CFSInitParams& params, const char* szPath, ECompactFileType type,
                                                 EvDebug* log, bool bChunkLocked);
  static CXoError SwitchCompactableFile(const CFSInitParams& params, const char* szPath, EvDebug* log);
  static int SetFilePermissionsForEveryone(std::string& path, bool flag, EvDebug* log);
  static int SetFolderPermissionsForEveryone(std::string& path, EvDebug* log);
  static CXoError SwitchCompactableFileCloud(const CFSInitParams& params, const char* szPath, EvDebug* log);
  static CXoError RecoverCompactableFileByInterfaceCloud(CFSInterface* fs, const char* szPath, EvDebug* log);

  // ---- SILO -------------------------------------------------------------------------------------
  bool QuerySILOVolumeInfoFromHM(unsigned int volId, int thId, unsigned int mountPathId);
  bool IsTapeSI() { return m_iIsTapeSI > 0; }
  bool RecallVolumeFromTape(std::string mountPath, unsigned long long chunkId, unsigned int volId, int thId,
                            unsigned int mountPathId, bool bPrimary);

  // ---- Space --------------------------------------------------------------------------------------
  // Reports the volume folder's size to the media manager: 0, or -1.
  int updateVolumeSize();
  // Marks the volume full after a failure with media manager error 767 or 996.
  void diskMarkFull(unsigned int mmError);
  // Adds up the space of every file below `folder` through the file-system interface: a file's
  // byte size, or the space its allocated blocks take when that is smaller (a sparse file).
  // Success means every file was counted; on failure `*total` is a partial sum to discard.
  static CXoError GetSizeOfVolumeDirectory(CFSInterface* fileSystem, const char* folder, long long* total);

  // ---- Cloud and hybrid mount paths ---------------------------------------------------------------
  static OZBaseRemoteFile* GetOZRemoteFile(const CFSInitParams& params);
  OZBaseRemoteFile* GetNewOZRemoteFile();
  int GetSfileSizesCloud(std::unordered_map<int, unsigned long long>& sizes);
  static int FindCacheMountPath(unsigned long volId, unsigned int engineId, CHybridVolumesIndexFile* index,
                                unsigned int mountPathAttributes, EvDebug* log, bool* indexOpened,
                                bool flushOnDestroy);
  static bool CanMPHaveHybridVolumes(unsigned int mountPathAttributes);

 protected:
  // Resets the per-object state; the constructors' common part.
  void _Init();

  // The write speed statistics: a timed operation of `bytes` (0 for waits, checkpoints and the
  // close) between the two calls. Nothing is timed while the statistics are off.
  void StartTimedOperation();
  void EndTimedOperation(unsigned long long bytes);
  // After a block write: the statistics line at most every 600 seconds.
  void LogWriteStatsWhenDue();
  void LogWriteStats();

  // ---- The restore road's steps ---------------------------------------------------------------
  // Opening (store_open.cc): the chunk's path members from a volume folder, and the open's parts.
  void SetChunkPaths(const std::string& volumeDir, unsigned long long chunkId);
  int OpenChunkForRead(const MediaFSArchiveFileId_t* id, unsigned int mountPathId);
  int OpenMetaDataForRead(const std::string& path, bool readAhead);
  int OpenChunkMDIndexForRead();
  int OpenNFileForRead();
  // Reading (store_read.cc). A failed read or open: the error becomes the last error, the job
  // sees `userText`, and the answer is -1 when the chunk at `path` is to be marked bad, else -2.
  int ReadFailure(const CXoError& e, const char* userText, const std::string& path);
  // -1 when the failure at `path` (the last error) makes the chunk bad, else -2.
  int MarkBadDecision(const std::string& path);
  void AccountRead(long len);
  bool ReadSizeFits(const char* op, long len);
  // Opens `path` as a kept container and checks its container header: 0, -1 or -2; `opened` is
  // the container on success.
  int OpenContainerForRead(const char* op, const std::string& path, sistore::KeptContainer*& opened);
  // `retried`: the object is asked for again after a kept container turned out to be replaced.
  int OpenObjectForRead(const char* path, unsigned long long offset, bool retried);
  static std::string HeaderText(const char* header, size_t size);
  // The data file a restore reads from (ReadFromDataFile): the reader of the container that
  // OpenDataFile2 opened last, or of the per-object data file of OpenDataFile; null when none.
  sistore::DataFileReader* m_pDataFileReader = nullptr;
  // The SFile containers the restore keeps open (made at the first OpenDataFile2), and the
  // reader of m_pFdDataFile for per-object data files.
  std::unique_ptr<sistore::KeptContainers> m_pKeptContainers;
  std::unique_ptr<sistore::DataFileReader> m_pLegacyFileReader;
  // Closes every kept container: the first failure, or success.
  CXoError CloseKeptContainers();
  // Catalog mode (store_catalog.cc).
  void CloseChunkCollectFile();
  // SILO (store_silo.cc, store_silo_recall.cc).
  bool CheckVolumeInSIVolumeDB(const std::string& mountPath, const std::string& root, unsigned long long chunkId,
                               unsigned int volId, int thId, unsigned int mountPathId, unsigned int& newMountPathId,
                               unsigned int& newThId, void* handle, bool primary);
  bool OpenSIVolumeDB(const std::string& mountPath, const std::string& root, unsigned int volId, int thId,
                      unsigned int mountPathId, void* handle, bool primary);
  bool InitialSIVolumeRecord(const std::string& mountPath, const std::string& root, unsigned int volId, int thId,
                             unsigned int mountPathId, SIVolumeInfo_t& info);
  int SiloVolumeFolderExists(const std::string& mountPath, const std::string& root, unsigned int volId,
                             unsigned int mountPathId, unsigned int newMountPathId, bool initial);
  bool EnsureSiloJobQuery(const char* op);
  // Tells the management server that the volume is on disk: the request's result (-1 failure).
  int TellSiloVolumeOnDisk(unsigned int volId, unsigned int siloNumber, unsigned int& newMountPathId,
                           unsigned int& newThId);

  // The members, in declaration order; their meaning is the store's vocabulary.
  bool m_bFileIfCacheReady = false;
  uint64_t m_MaxSfileContainerItems = 0;
  uint64_t m_MaxSfileContainerSize = 0;
  uint32_t m_CurSfileItemCount = 0;
  uint64_t m_DataFileOffset = 0;
  uint32_t m_SfileNumber = 0;
  std::string m_strDataFileName;
  CFSInterface* m_pFSInterface = nullptr;
  CFileFlusher* m_pFileFlusher = nullptr;
  CAverageCounter m_SfileFlushWaitCounter;
  std::list<SFlushReq*> m_FreeFlushReqsQ;
  std::list<SFlushReq*> m_BusySfileFlushQ;
  int32_t m_MaxDelayedSfileFlushQSize = 0;
  std::list<SFlushReq*> m_DelayedSfileFlushQ;
  std::list<CFileInterface*> m_lstDataFileCache;
  CFileInterface* m_pFdDataFile = nullptr;
  std::string m_strSfileIdxName;
  SfileIndex m_fdSFileIdx;
  std::string m_strNFileName;
  CFileInterface* m_pFdNonSIFile = nullptr;
  bool m_bNFileExists = false;
  std::string m_strMetaDataFileName;
  CFileInterface* m_pFdMetaDataFile = nullptr;
  CBufferedFileReader* m_pMetaDataReader = nullptr;
  std::string m_strChunkMDIdxName;
  ChunkMDIndex m_fdChunkMDIdx;
  ChunkMDIndex90 m_fdChunkMDIdx90;
  int32_t m_MDIdxState = -1;
  CFSInitParams m_FileInitParams;
  int32_t m_ChunkMDIdxVersion = -1;
  std::string m_strChunkDir;
  std::string m_strOpenDataFileName;
  uint64_t m_ullChunkId = 0;
  bool m_bOZSIDevice = false;
  bool m_bNewOZSIFormat = true;
  FILE* m_fpChunkCollectFile = nullptr;
  std::string m_strArchiveFileName;
  int64_t m_LowWaterMarkMB = 0;
  bool m_bDiskFull = false;
  uint64_t m_BytesSinceSpaceCheck = 0;
  uint64_t m_SpaceCheckInterval = 0;
  int32_t m_iIsTapeSI = -1;
  uint32_t m_MAClientId = 0;
  CSIVolumeDB* m_pPrimarySIVolDB = nullptr;
  CSIVolumeDB* m_pSecondarySIVolDB = nullptr;
  std::vector<SSIVolInfo> m_vecSIVolInfo;
  OZJobClient* m_pSiloJobClient = nullptr;
  OZJobQuery* m_pSiloJobQuery = nullptr;
  MMGetSiloVolInfoResp m_SiloVolInfo;
  std::string m_strTransformedVolDir;
  uint64_t m_TransformedMPToken = 0;
  bool m_bCheckSIVolDBCorruption = true;
  bool m_bPerfLogEnabled = true;
  CStopWatch m_WriteStopWatch;
  double m_PerfAvgSecs = 0;
  double m_PerfAlpha = 2.0 / 101.0;
  double m_PerfTotalSecs = 0;
  double m_PerfCurSecs = 0;
  uint64_t m_PerfWrites = 0;
  uint64_t m_PerfTotalBytes = 0;
  uint64_t m_PerfCurBytes = 0;
  int32_t m_PerfSamples = 0;
  uint32_t m_PerfWindow = 100;
  bool m_bPerfResetCur = false;
  std::string m_strPerfId;
  time_t m_PerfLastLogTime = 0;
  bool m_bAllowIncrChunk = false;
  unsigned char* m_pMetaDataCache = nullptr;
  unsigned char* m_pMetaDataCachePos = nullptr;
  unsigned char* m_pDataCache = nullptr;
  unsigned char* m_pDataCachePos = nullptr;
  uint32_t m_CacheSize = 0;
  uint32_t m_MetaDataCacheFree = 0;
  uint32_t m_DataCacheFree = 0;
  uint32_t m_WriteBlockSize = 524288;
  uint64_t m_MetaDataFileOffset = 0;
  uint64_t m_TotalBytesWritten = 0;
  bool m_bCloudCreateMode = false;

  // The backup road's own state beside the vocabulary above.
  // Names were created or removed in the chunk folder (or the volume folder) since the folder was
  // last flushed: the next checkpoint flushes it, so what it made durable can be found again.
  bool m_bChunkFolderChanged = false;
  bool m_bVolumeFolderChanged = false;
  // This chunk's writer created the current SFile container, and "SFILE_CONTAINER.idx": only
  // what the writer created is removed again by the close when no object was indexed.
  bool m_bCurSfileCreated = false;
  bool m_bSfileIdxCreated = false;

 private:
  void FreeWriteBuffers();
  void ReleaseSiloHolds();

  // Impersonation scopes of the writing roads. Enters a scope over the logged-on user's token;
  // false after reporting an exception raised on the way in (last error 751).
  bool EnterImpersonation(std::optional<CImpersonator>& scope, const char* op);
  // Reports an OzException raised inside a scope: its converted code becomes the last error.
  void ReportScopeException(const char* op, const OzException& ex);
  // A failed file operation of the writing roads: its code becomes the last error, a full disk
  // marks the volume full, and with `jobText` the job is told.
  void RecordFailure(const CXoError& e, const char* jobText = nullptr);
  // Free space at or below the low-water mark (as a new chunk or a space check finds it): the
  // frame has no KB left and the volume is marked full. False when there is room.
  bool MarkFullAtLowWaterMark(unsigned long long freeBytes, const char* format);

  // Write cache: the selected buffer, its file and its logical offset (file 1 data, 2 metadata).
  struct WriteBuffer {
    unsigned char* start;
    unsigned char** pos;
    uint32_t* free;
    uint64_t* offset;
    CFileInterface* file;
    const char* name;  // "sfile" or "metadata", for messages
  };
  bool SelectWriteBuffer(int file, WriteBuffer& out);
  bool WriteBufferGuardsIntact(int file, uint64_t* front, uint64_t* back);
  // One block write of the cache: adds what reached the file to `written`.
  CXoError WriteCacheBytes(CFileInterface* file, const unsigned char* from, uint32_t length, bool wholeBlock,
                           uint32_t& written);
  // Empties both write buffers, logging what a failed chunk left in them.
  void DropBufferedBytes(const char* op);

  // Containers: the next container on the pool's first file interface, skipping numbers whose
  // files exist; the container index created when it is not open.
  bool ChunkOpenForWriting(const char* op);
  int OpenNextSFile(const char* op);
  int EnsureSfileIndex(unsigned int engineId, const char* op);
  int MakeRoomForNextSFile();

  // Delayed flushes: waits for a submitted request (flusher or, without one, its event).
  int WaitForFlushRequest(SFlushReq* req, unsigned int ms);
  // Collects every busy request, keeping the last error of the failure that went before.
  void SettleBusyFlushes();
  // Flushes the chunk and volume folders whose names changed: 0, or -1 with the last error set.
  int FlushChangedFolders(const char* op);
  CXoError FlushFolder(const std::string& folder);
  // Cloud mount paths: the megabytes the chunk's files moved, added to the volume's totals.
  void AccountCloudTransfers();

  // Whether an index file of the chunk exists with at least its header (appending, and before
  // an index is created, which empties the file).
  CXoError IndexFileExists(const std::string& path, bool& exists);

  // The chunk's two index files.
  // The searches of the chunk metadata index in either format; `decide` tells the exact search
  // of the current format, whose failures are decided, from the others (always -1).
  template <class Index>
  int OpenChunkMDIndexForSearch(Index& index, const char* tag, bool decide);
  template <class Index, class Entry>
  int SearchChunkMDIndexExact(Index& index, unsigned long long offset, Entry& entry, const char* tag, bool decide);
  template <class Index, class Entry>
  int SearchChunkMDIndexNext(Index& index, unsigned long long offset, Entry& entry);
};

// Splits a store path at its volume folder: the mount path (the text before the separator that
// precedes the first "V_" after "OZ_MAGNETIC/") and the volume id (the digits after "V_"; 0 when
// none). False, with both outputs unchanged, when the path has no "OZ_MAGNETIC", no '/' after it
// or no "V_" after that '/'. /mnt/a/OZ_MAGNETIC/V_17/CHUNK_3 gives /mnt/a/OZ_MAGNETIC and 17.
bool ParseMountPathAndVolId(const std::string& path, std::string& mountPath, unsigned int& volId);
