// Pruning of the single-instance store: the pruning driver CSingleInstancerPruner, the chunk
// pruner CSFilePruner and the delete log.
//
// The driver walks the dedup database's zero-reference records by mount path, volume and chunk.
// For each chunk it makes a CSFilePruner, which clears the objects' entries in the chunk's
// "SFILE_CONTAINER.idx" and, when the chunk is done, gives the space back: a container without a
// valid object is removed, a dead tail is cut off, pruned runs inside a container become holes.
// A chunk pruner is used this way:
//
//   CSFilePruner pruner(&params, &log, &deleteLog, engineId);
//   if (pruner.OpenSfileIdx(mpId, mountPathFolder, volId, chunkId) == 0) {
//     for each record: pruner.PruneEntry(record.key, record.metadataOffset);
//     bool empty = false;
//     chunk done ? pruner.Finalize(empty) : pruner.Flush();
//   }
//
// While its own index is open the chunk pruner holds the named lock
// "OZMA_SIDB_PRUNE_PHASE_3_LOCK_CHUNK_<chunk id>", so no second pruner (of this process or
// another) works on the chunk. A pruner is driven by one thread; several pruners may run at once
// and share the set of mount paths on which holes cannot be drilled.
//
// Every removal, cut and hole is written to the delete log, one line per event, after the storage
// operation succeeded (LogDelete).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/counters.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logging.h"
#include "platform/threads.h"

// The log of a static pruner operation: its log (null: a log object of the operation's own), and
// the engine id and phase of the message prefix.
struct SSIPrunerLogContext {
  EvDebug* pLog = nullptr;
  uint32_t uEngineId = 0;
  uint32_t uPhase = 0;
};

// Writes one delete-log line: "<kernel thread id> MM/DD hh:mm:ss <line> " and the record formatted
// from `format`, at most 510 characters in all (a longer record is cut). `log` must not be null.
void LogDelete(EvDebug* log, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Longest delete-log line, in characters.
inline constexpr size_t kDeleteLogLineMax = 510;
// The delete log's identity in the log component: its id, access method and least versions.
inline constexpr unsigned int kDeleteLogId = 0x7E1B68E4;
inline constexpr int kDeleteLogAccessMethod = 100;
inline constexpr int kDeleteLogMinVersions = 30;

// The name part of a mount path below which its volumes lie.
inline constexpr char kMagneticRootName[] = "OZ_MAGNETIC";

// What the pass needs beside the shared part: the database client, the windows' lock, the
// mount path type and the host's callback after a volume was examined for removal (context,
// volume id, code -4 removed or gone, -1 kept, log; its result is not used).
#include <atomic>
#include <ctime>

#include "MediaFileSystem/MountPathRecords.h"
#include "MediaFileSystem/RWLock.h"
#include "platform/sidb_client.h"

class CSFilePruner;
class CHybridVolumesIndexFile;
typedef bool (*PFN_OnDedupVolModified)(void* context, int volId, int code, EvDebug* log);

class CSingleInstancerPruner {
 public:
  // ---- Shared with the chunk pruner: message prefix, existence tests, removals ---------------

  // The prefix of a pruner message: "<engine>-<phase> <tag>:<line> ", or "<tag>:<line> " for
  // engine id 0.
  static std::string MessagePrefix(uint32_t engineId, uint32_t phase, const char* tag, int line);
  // Logs the prefix and the formatted text at `level` on `log` (a local log object when null).
  static void LogMessage(EvDebug* log, int level, uint32_t engineId, uint32_t phase, const char* tag, int line,
                         const char* format, ...) __attribute__((format(printf, 7, 8)));

  // Whether `path` exists. A missing path below "OZ_MAGNETIC" is tried three times, 1 ms apart
  // (once on plain cloud storage), and fails with media manager error 312 ("Entire path is
  // offline") when the mount path's root is missing too. `exists` is meaningful on success only.
  // `counter`, when given, times every Exists call.
  static CXoError PathExistsStatic(CFSInterface* fs, const char* path, bool& exists, SSIPrunerLogContext* context,
                                   CAverageCounter* counter);
  // The same with a context of `log`, engine id 0 and phase 0.
  static CXoError PathExistsStatic(CFSInterface* fs, const char* path, bool& exists, EvDebug* log,
                                   CAverageCounter* counter);
  // The same on an interface made from `params` for the call (media manager error 104 when none
  // can be made).
  static CXoError PathExistsStatic(const CFSInitParams& params, const char* path, bool& exists, EvDebug* log,
                                   CAverageCounter* counter);

  // Removes a file (removal flags 8, or 0x18 when the store's permission-reset flag has bit
  // 0x10), and once more after a permission reset that the store reports done.
  static CXoError RemoveFileHelper(CFSInterface* fs, const std::string& path, EvDebug* log);

  // ---- The pass: the walk over mount paths, volumes and chunks, and its state -----------------
  // A pruning pass: construct, Initialize once, then PruneZeroRefRecords any number of times.
  explicit CSingleInstancerPruner(EvDebug* log = nullptr);
  ~CSingleInstancerPruner();
  CSingleInstancerPruner(const CSingleInstancerPruner&) = delete;
  CSingleInstancerPruner& operator=(const CSingleInstancerPruner&) = delete;

  // Stores the five values, opens the delete log and reads the pruning configuration. 0.
  int Initialize(const std::string& clientName, unsigned int engineId, unsigned int phase, unsigned int deleteMetadata,
                 bool keepFolders);
  // Prunes for at most `seconds`: up to 5 passes while a pass ends with 0. 0, 65131 (the time
  // budget is used up) or a code of the database client; 53050 is answered as 0.
  int PruneZeroRefRecords(CSIDBClientApi* db, PFN_OnDedupVolModified onVolModified, void* context,
                          unsigned int seconds);
  // One pass, until `until` (seconds of the platform clock) between batches.
  int PruneZeroRefRecordsInt(CSIDBClientApi* db, PFN_OnDedupVolModified onVolModified, void* context, time_t until);

  // Prune windows, cached 30 s for every pruner of the process.
  static bool IsPruningAllowedOnMAStatic(bool force, SSIPrunerLogContext* context);
  bool IsPruningAllowedOnMA(bool force);
  bool IsPruningAllowedOnMP(unsigned int mpId, bool force);
  static std::vector<unsigned int> GetPruningDisabledMPIds();

  // Mount path binding. OnMountPathStart always returns 0; SetMountPath 0 bound or read only, -1.
  int OnMountPathStart(unsigned int mpId, bool rebind);
  int SetMountPath(unsigned int mpId, bool rebind);
  int OnMountPathEnd();
  MountPathType GetMountpathType();
  // The mount paths the database is asked to leave out: pruning disabled, then found unusable.
  std::vector<unsigned int> GetOfflineMPIds();
  CFSInterface* GetFSInterface();  // the pruner keeps ownership
  CFileInterface* GetFileInterface();

  // Volume, chunk and record transitions of the walk.
  int OnVolumeStart(unsigned int volId);
  int OnVolumeEnd();
  int OnChunkStart(unsigned long chunkId);
  int OnChunkEnd(bool finalize);
  int PruneBlock(CZeroRefRecord* record);
  // 0, or -1 when the object's standalone file was not removed.
  int PruneBlock(CPrimaryRecord* record);

  // Chunk removal: 1 gone, 0 kept or absent, -1 failure, -2 mount path offline.
  int PruneChunk(unsigned int volId, unsigned long long chunkId, bool noContainerLeft);
  // 1 no SFile container left, 0 some are, -1 failure.
  int SkarvoPruneChunk(unsigned int volId, unsigned long chunkId);

  // Volume removal: 0 removed, absent or kept folders, 1 not removable now, -1 failure, -2 offline.
  int MarkVolumePrunable(unsigned int volId);
  int PruneVolume(unsigned int volId);
  CXoError CanPruneVolume(const char* mountPath, unsigned int volId, bool& canPrune);
  static int CanPruneVolumeWalkerStatic(const std::string& folder, const std::string& name, bool isFolder,
                                        void* context);
  CXoError CanPruneVolumeWalker(const char* folder, const char* name, bool isFolder, void* context);
  static int PruneVolumeWalkerStatic(const std::string& folder, const std::string& name, bool isFolder, void* context);
  CXoError PruneVolumeWalker(const char* folder, const char* name, bool isFolder, void* context);

  // Cloud and hybrid volumes.
  bool IsCloud();
  bool IsFSInterfaceHybrid();
  bool CanMPHaveHybridVolumes();
  int FindCacheMountPath(unsigned long volId);
  bool SetFSInterfaceHybrid(unsigned int cacheId);
  bool SetFSInterfaceCloud();
  bool SetCacheMountPath(unsigned int cacheId, unsigned int volId);
  unsigned int GetCacheMountPath();
  int PruneVolumeOnCloud(unsigned int volId);

  // The existence test through the pruner's interface, log and "Avg Exists" counter.
  CXoError PathExists(const char* path, bool& exists);

  // Class statics shared by every pruner of the process.
  static CHybridVolumesIndexFile* s_pHybVols;
  static std::vector<unsigned int> s_vuPrnDsblMPIds;
  static CRWLock s_PrnWndwReadLock;
  static bool s_bIsPrnAllowedOnMA;
  static std::atomic<time_t> s_tMAPrnWndwLastReadTime;
  static std::atomic<time_t> s_tMPPrnWndwLastReadTime;
  // Back to their state at load (registered with the platform's reset).
  static void ResetStatics();

  static constexpr unsigned int kNoCacheMountPath = 0xFFFFFFFF;

 private:
  int WalkBatch(CSIDBClientApi* db, std::vector<CZeroRefRecord>& batch, unsigned long next, size_t& purged);
  int Purge(CSIDBClientApi* db, size_t& purged);
  // Ids of a failed chunk stay in the database; one id keeps a chunk or volume coming back.
  void DropCollectedIds();
  // A record of a chunk whose records are skipped (true, not collected) or collected without index
  // work (true, collected); false when its entry is to be cleared.
  bool CollectWithoutIndexWork(uint64_t primaryId);
  void WithholdOneId();
  std::string VolumeFolder(const std::string& mountPath, unsigned int volId);
  // After a chunk folder (`chunkId` given) or a volume folder could not be examined: 0 when it is
  // gone, with its "DN" record written; -1 when it is still there or its existence test fails; -2
  // when the test fails with media manager error 312 (the mount path is offline).
  int TestVanishedFolder(const char* tag, const std::string& folder, unsigned int volId,
                         std::optional<unsigned long long> chunkId);
  // With "DedupLogonAgainOnErr22" on, an errno 22 failure binds the mount path again (true).
  bool RebindOnInvalidArgument(const CXoError& e);
  int RemoveMarkerAndFolder(const std::string& folder, unsigned int volId);
  // Removes a file of the volume being removed (m_uVolumeId) and logs it as `name`.
  CXoError RemoveVolumeFile(const char* tag, const std::string& path, const std::string& name);
  // Makes the removals in a folder durable before their records are purged.
  CXoError FlushFolder(const std::string& folder);
  int FlushAfterFailure(const std::string& folder);
  static bool IsGone(const CXoError& e);

  // The host's consent to a volume folder's removal: a file of this name directly inside it.
  static constexpr char kPrunableMarker[] = ".prunable";

  EvDebug* m_pLog;
  EvDebug m_OwnLog;
  EvDebug m_DeleteLog;
  EvDebugFileInstance m_DeleteLogFile;
  unsigned int m_uEngineId = 0;
  unsigned int m_uPhase = 0;
  unsigned int m_uDeleteMetadata = 0;
  bool m_bMPSet = false;
  unsigned int m_MPId = 0;
  unsigned int m_uMPAttributes = 0;
  bool m_bMPSkipped = false;
  bool m_bMPDropRecords = false;
  bool m_bDropInaccessibleMPData = false;
  bool m_bMPReadOnly = false;
  bool m_bLogonAgainOnErr22 = false;
  bool m_bPruneViaNetResource = true;  // kept; read by nothing
  std::string m_strMountPath;
  bool m_bVolSet = false;
  unsigned long long m_ullVolRecords = 0;
  unsigned int m_uVolumeId = 0;
  std::string m_strVolumePath;
  bool m_bVolumeSkipped = false;
  bool m_bChunkSet = false;
  unsigned long long m_ullChunkId = 0;
  unsigned long long m_ullChunkRecords = 0;
  unsigned long long m_ullStartIdx = 0;
  bool m_bNoEntryPruning = false;
  bool m_bSkipRecords = false;
  std::string m_strChunkPath;
  std::unique_ptr<CSFilePruner> m_pPruner;
  std::string m_strClientName;
  bool m_bKeepFolders = false;
  std::vector<unsigned long long> m_vPrimaryIds;
  PFN_OnDedupVolModified m_pfnOnVolModified = nullptr;
  void* m_pVolModifiedCtx = nullptr;
  std::unique_ptr<CFSInterface> m_pFS;
  std::unique_ptr<CFileInterface> m_pFile;
  std::set<unsigned int> m_stInaccessibleMPIds;
  MountPathType m_MpType = -1;
  bool m_bHybVolsOpened = false;
  unsigned int m_uCacheMPId = kNoCacheMountPath;
  bool m_bCountersEnabled = true;
  CAverageCounter m_AvgExists, m_AvgOpen, m_AvgClose, m_AvgDeleteFile, m_AvgDeleteDir, m_AvgCanPruneVolume,
      m_AvgPruneVolume, m_AvgGetDirContents;
};

// Prunes one chunk of the single-instance store: its container index entries, and the space of
// its SFile containers. Made and driven by the pruning driver, one per chunk, on one thread.
class CSFilePruner {
 public:
  using SfileIndex = SingleInstancer_FS::SfileIndex;

  // Logical bytes [uBegin, uEnd) of a container.
  struct SExtent {
    uint64_t uBegin = 0;
    uint64_t uEnd = 0;
  };

  // What the finalizing walk collects for one container, over every run of its entries: a
  // container number may come back later in the index, and its runs must agree before any of its
  // bytes go.
  struct SSFileInfo {
    uint32_t uSFileNum = 0;
    bool bAllPruned = true;    // no valid entry was seen
    bool bDeleted = false;     // the first entry carries FLAG_SFILE_REMOVED
    int64_t llFirstEntry = -1;
    int64_t llLastEntry = -1;
    std::vector<SSFileRange> vRanges;  // runs of pruned entries, in index order
    SSFileRange Tail;                  // the range that reaches the last run's last entry (uOffset 0: none)
    uint32_t uRuns = 0;                     // runs of the container in the index
    std::vector<int64_t> vRunFirstEntries;  // a removal marks the first entry of each
    bool bOrdered = true;  // each run's bytes ascend without overlap; a run that does not gives no range
    std::vector<SExtent> vValid;    // bytes valid entries (and the header) account for
    std::vector<SExtent> vCovered;  // bytes any entry (or the header) accounts for
  };

  // `params` may be null (then no interfaces are made and OpenSfileIdx fails); `log` and
  // `deleteLog` may be null: the pruner then logs through its own log, and writes no delete-log
  // record.
  CSFilePruner(const CFSInitParams* params, EvDebug* log, EvDebug* deleteLog, uint32_t engineId);
  ~CSFilePruner();
  CSFilePruner(const CSFilePruner&) = delete;
  CSFilePruner& operator=(const CSFilePruner&) = delete;

  // Opens the chunk's "SFILE_CONTAINER.idx" (or borrows `index`, which the caller has opened and
  // keeps exclusive). 0 ready; 1 nothing to prune (corrupt, or absent after recovery); -1
  // failure; -2 failure of the index's recovery with errno 22.
  int OpenSfileIdx(uint32_t mpId, const std::string& mountPath, uint32_t volId, unsigned long long chunkId,
                   SfileIndex* index, uint32_t* mpAttributes);
  int OpenSfileIdx(uint32_t mpId, const std::string& mountPath, uint32_t volId, unsigned long long chunkId,
                   SfileIndex* index);
  int OpenSfileIdx(uint32_t mpId, const std::string& mountPath, uint32_t volId, unsigned long long chunkId);

  // Clears the valid bit of the object's entry. 0 pruned; 1 no entry for the key; 2 the index is
  // corrupt; -1 failure.
  int PruneEntry(uint32_t key, unsigned long long metaOffset);
  CXoError GetEntry(long position, SSfileContainerIndexEntry* entry);
  CXoError UpdateEntry(long position, SSfileContainerIndexEntry* entry);
  // 0, or -1 when the index could not be flushed.
  int Flush();
  // Reclaims the space of every container and removes the index when no valid entry is left.
  // 0 done; -1 failure; 2 the index is corrupt.
  int Finalize(bool& bEmpty);
  // Closes an own index and releases the chunk lock; drops a borrowed index. Always 0.
  int Close();

  unsigned long long GetChunkId() const { return m_ullChunkId; }
  bool IsChunkCompacted();
  static bool IsGlusterFS(const char* path);
  static bool IsStrataform(const char* path);
  CXoError PathExists(const char* path, bool& bExists);

  // ---- Space reclamation of one container --------------------------------------------------
  int FinalizeSFile(SSFileInfo* pSFileInfo);
  CXoError DrillHoleStepped(uint64_t offset, uint64_t length);
  static bool SupportsDrillingHoles(int mmCode);
  bool CanDrillHolesOnChunk();
  bool CanDrillHoleOnSFile();

  // ---- Container access ----------------------------------------------------------------------
  CXoError OpenSFile(const char* path);
  CXoError CloseSFile();
  unsigned long long GetSFileSize();
  CXoError GetPhysicalOffset(uint64_t logical, uint64_t& physical);
  bool IsSFileCompacted();
  bool CanMPHaveCompactedChunks(const char* path);
  CXoError RecoverCompactableFile(const char* path, ECompactFileType kind, bool bChunkLocked);

  // Mount paths on which a drill reported holes unsupported: no pruner of the process drills
  // there again. Guarded by s_csDoNotDrillMPIds for each look-up and insertion.
  static std::set<uint32_t> s_stDoNotDrillMPIds;
  static OzCriticalSectionH s_csDoNotDrillMPIds;

 private:
  // One run of index entries of one container (consecutive entries with its number), while the
  // finalizing walk reads it.
  struct SRun {
    uint32_t uSFileNum = 0;
    int64_t llFirstEntry = -1;
    int64_t llLastEntry = -1;
    bool bDeleted = false;  // the first entry carries FLAG_SFILE_REMOVED: the rest is not read
    bool bOrdered = true;
    uint64_t uPrevEnd = 0;  // where the previous entry's bytes end
    bool bPending = false;  // a range of pruned entries is open
    SSFileRange Pending;
    std::vector<SSFileRange> vRanges;
  };
  // Whether a container ends where the last byte its index entries account for ends (`logicalEnd`,
  // through its compaction map): only then may its tail be cut or the container removed.
  enum class EndCheck { kEndsThere, kBytesPast, kFailed };

  void Log(int level, const char* tag, int line, const char* format, ...) __attribute__((format(printf, 5, 6)));
  // Storage reached through the remote-file library (types 1, 4 and 6): no folders to flush,
  // containers opened for remote reads.
  static bool IsRemoteStorage(int type) { return type == kFSTypeCloud || type == kFSTypeCloudCached || type == 6; }
  std::string SFilePath(uint32_t number);
  bool IsDoNotDrill();
  void ReadConfiguration();
  void StartCounter(CAverageCounter& c);
  void StopCounter(CAverageCounter& c);
  // The finalizing walk: a run begins, takes an entry, ends into its container's SSFileInfo.
  void StartRun(SRun& run, const SSfileContainerIndexEntry& entry, int64_t position, SSFileInfo& info);
  void AddToRun(SRun& run, const SSfileContainerIndexEntry& entry, int64_t position, uint64_t headerBytes,
                SSFileInfo& info);
  static void CloseRun(SRun& run, SSFileInfo& info);

  // Removes a container none of whose runs holds a valid entry or leaves bytes between its
  // entries: 0 removed (or found gone, or refused), 1 kept for bytes past `logicalEnd`, -1 failure.
  int RemoveSFile(const SSFileInfo& info, const std::string& path, uint64_t logicalEnd);
  // Drills the container's ranges and, with `cut`, cuts its tail: none of them reaches bytes a
  // valid entry accounts for. 0, or -1 on a failure.
  int ReclaimRanges(const SSFileInfo& info, const std::string& path, bool cut, uint64_t logicalEnd);
  // Cuts the open container (of `size` bytes) at its tail, when the tail begins before its end:
  // 0, or -1 on a failure.
  int CutTail(const std::string& path, const SSFileInfo& info, unsigned long long size);
  // Compares the open container's size with `logicalEnd` translated; logs a container that holds
  // bytes past it.
  EndCheck CheckEnd(const std::string& path, uint64_t size, uint64_t logicalEnd);
  // Whether the chunk folder still holds an SFile container file: -1 when it cannot be listed.
  int ChunkFolderHoldsContainers();
  // Opens a container for a cut or holes and reads its size: 0, 1 when it is to be skipped
  // (refused, or gone), -1 on a failure.
  int OpenForReclaim(const std::string& path, unsigned long long& size);
  // GetPhysicalOffset, its failure logged.
  bool Translate(uint64_t logical, uint64_t& physical);
  // Makes the open container's cut and holes durable: 0, or -1.
  int FlushSFile(const std::string& path);
  // Drills the ranges in order, but none at or beyond `size`. The drilled ranges are appended to
  // `drilled`. -1 on a failure that fails the container.
  int DrillRanges(const std::string& path, const std::vector<SSFileRange>& ranges, uint64_t size,
                  std::vector<SSFileRange>& drilled, uint32_t number);
  void MarkEntries(int64_t first, int64_t last, uint32_t flag);
  CXoError FlushChunkFolder();

  EvDebug m_OwnLog;
  EvDebug* m_pLog;
  EvDebug* m_pDeleteLog;
  uint32_t m_uEngineId;
  unsigned long long m_ullChunkId = 0;
  uint32_t m_uVolId = 0;
  uint32_t m_uMPId = 0;
  std::string m_sChunkPath;
  bool m_bDrillHoles = true;
  bool m_bAllowTruncate = true;
  uint32_t m_uDrillHolesMinSize = 131072;
  uint32_t m_uDrillHolesMaxSize = 4194304;
  std::string m_sSFileIdxPath;
  SfileIndex* m_pSFileIdx = nullptr;
  bool m_bSFileIdxBorrowed = false;
  CFSInitParams m_FSInitParams;
  CFileInterface* m_pSFile = nullptr;
  CFSInterface* m_pFS = nullptr;
  bool m_bIsSFileOpen = false;
  uint32_t m_uSFileVersion = ~0u;
  unsigned long long m_ullSFileSize = ~0ull;
  bool m_bCountersEnabled = false;
  CAverageCounter m_SearchCounter, m_UpdateCounter, m_FinalizeCounter, m_FlushCounter, m_FlushIdxCounter,
      m_HoleCounter, m_TruncateCounter, m_DeleteCounter, m_WalkCounter, m_OpenCounter, m_OpenIdxCounter,
      m_ExistsCounter, m_RecoverCounter, m_ChmodCounter, m_ReadCounter, m_SizeCounter, m_CloseCounter,
      m_CloseIdxCounter;
  bool m_bChunkCompacted = false;
  MDLock* m_pChunkLock = nullptr;
  uint32_t* m_pMPAttributes = nullptr;
  CSFileCompactionMap* m_pCompactionMap = nullptr;

  // Walk state of Finalize: a container was removed.
  bool m_bRemovedAny = false;
};
