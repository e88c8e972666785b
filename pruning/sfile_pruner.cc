// The chunk pruner's index road: construction, the opening of "SFILE_CONTAINER.idx" under the
// chunk's named lock, the pruning of single entries, flush and close, and the finalizing walk that
// hands each container to the space reclamation (sfile_reclaim.cc).
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <map>

#include "MediaFileSystem/RealMagnetic.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/checked_add.h"
#include "platform/config.h"
#include "platform/platform.h"
#include "platform/remote_storage.h"
#include "platform/string_format.h"

namespace {

constexpr uint32_t kPhase = 3;
constexpr unsigned int kMMCorrupt = 1204;
constexpr int kChunkIndexMode = 0666;
constexpr int kIndexReadWrite = 2;
constexpr char kChunkLockFormat[] = "OZMA_SIDB_PRUNE_PHASE_3_LOCK_CHUNK_%llu";
constexpr uint32_t kDefaultHolesMinSize = 131072;
constexpr uint32_t kDefaultHolesMaxSize = 4194304;
// Versions 0 and 1 keep the 16-byte object header out of an entry's length.
constexpr uint64_t kOldObjectHeaderBytes = 16;
constexpr uint64_t kSFileHeaderBytes = 128;

inline uint32_t ExtractSFileOffset(unsigned long long metaOffset) { return static_cast<uint32_t>(metaOffset); }

}  // namespace

std::set<uint32_t> CSFilePruner::s_stDoNotDrillMPIds;
OzCriticalSectionH CSFilePruner::s_csDoNotDrillMPIds;

namespace {
// Tests start every case with hole drilling allowed everywhere.
struct DoNotDrillReset {
  DoNotDrillReset() {
    platform::RegisterReset([] {
      OzCriticalSectionGuard guard(&CSFilePruner::s_csDoNotDrillMPIds);
      CSFilePruner::s_stDoNotDrillMPIds.clear();
    });
  }
} g_doNotDrillReset;
}  // namespace

CSFilePruner::CSFilePruner(const CFSInitParams* params, EvDebug* log, EvDebug* deleteLog, uint32_t engineId)
    : m_pLog(log != nullptr ? log : &m_OwnLog), m_pDeleteLog(deleteLog), m_uEngineId(engineId) {
  static constexpr char kTag[] = "CSFilePruner";
  CAverageCounter* counters[] = {&m_SearchCounter, &m_UpdateCounter,   &m_FinalizeCounter, &m_FlushCounter,
                                 &m_FlushIdxCounter, &m_HoleCounter,   &m_TruncateCounter, &m_DeleteCounter,
                                 &m_WalkCounter,   &m_OpenCounter,     &m_OpenIdxCounter,  &m_ExistsCounter,
                                 &m_RecoverCounter, &m_ChmodCounter,   &m_ReadCounter,     &m_SizeCounter,
                                 &m_CloseCounter,  &m_CloseIdxCounter};
  const char* names[] = {"Avg Search", "Avg Update", "Avg Finalize", "Avg Flush", "Avg Flush Idx", "Avg Hole",
                         "Avg Truncate", "Avg Delete", "Avg Walk", "Avg Open", "Avg Open Idx", "Avg Exists",
                         "Avg Recover", "Avg Chmod", "Avg Read", "Avg Size", "Avg Close", "Avg Close Idx"};
  for (size_t i = 0; i < std::size(counters); ++i) {
    *counters[i] = CAverageCounter(m_pLog);
    counters[i]->Init(names[i], 0);
  }
  if (params != nullptr) {
    m_pFS = CFSInterface::GetFSInterfaceInstance(*params);
    if (m_pFS == nullptr) Log(1, kTag, __LINE__, "Cannot initialize file system interface.");
    m_pSFile = CFileInterface::GetFileInterfaceInstance(*params);
    if (m_pSFile == nullptr) Log(1, kTag, __LINE__, "Cannot initialize file interface.");
    m_FSInitParams = *params;
  } else {
    Log(1, kTag, __LINE__, "Cannot initialize file system interface.");
  }
}

CSFilePruner::~CSFilePruner() {
  Close();
  (void)CloseSFile();
  delete m_pFS;
  delete m_pSFile;
  delete m_pCompactionMap;
  delete m_pMPAttributes;
  if (!m_bSFileIdxBorrowed) delete m_pSFileIdx;
}

void CSFilePruner::Log(int level, const char* tag, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  CSingleInstancerPruner::LogMessage(m_pLog, level, m_uEngineId, kPhase, tag, line, "%s", text.c_str());
}

void CSFilePruner::StartCounter(CAverageCounter& c) {
  if (m_bCountersEnabled) c.Start();
}

void CSFilePruner::StopCounter(CAverageCounter& c) {
  if (m_bCountersEnabled) c.Stop();
}

// ---- Opening the index ------------------------------------------------------------------------

int CSFilePruner::OpenSfileIdx(uint32_t mpId, const std::string& mountPath, uint32_t volId,
                               unsigned long long chunkId) {
  return OpenSfileIdx(mpId, mountPath, volId, chunkId, nullptr, nullptr);
}

int CSFilePruner::OpenSfileIdx(uint32_t mpId, const std::string& mountPath, uint32_t volId,
                               unsigned long long chunkId, SfileIndex* index) {
  return OpenSfileIdx(mpId, mountPath, volId, chunkId, index, nullptr);
}

int CSFilePruner::OpenSfileIdx(uint32_t mpId, const std::string& mountPath, uint32_t volId,
                               unsigned long long chunkId, SfileIndex* index, uint32_t* mpAttributes) {
  static constexpr char kTag[] = "OpenIdx";
  Close();
  if (m_pFS == nullptr || m_pSFile == nullptr) {
    Log(1, kTag, __LINE__, "Cannot initialize file interfaces.");
    return -1;
  }
  m_sChunkPath = m_pFS->AppendPath(m_pFS->AppendPath(mountPath, SingleInstancer_FS::GetVolumeDirName(volId)),
                                   SingleInstancer_FS::GetChunkDirName(chunkId));
  m_sSFileIdxPath = m_pFS->AppendPath(m_sChunkPath, "SFILE_CONTAINER") + ".idx";
  m_uMPId = mpId;  // the attribute look-up of a cloud mount path goes by it

  delete m_pMPAttributes;
  m_pMPAttributes = mpAttributes != nullptr ? new uint32_t(*mpAttributes) : nullptr;

  if (index != nullptr) {
    if (m_pSFileIdx != nullptr && m_pSFileIdx != index && !m_bSFileIdxBorrowed) {
      (void)m_pSFileIdx->Close();
      delete m_pSFileIdx;
    }
    m_pSFileIdx = index;
    m_bSFileIdxBorrowed = true;
  } else {
    m_pChunkLock = new MDLock(StringFormat(kChunkLockFormat, chunkId));
    if (m_pChunkLock->set(0) == 0) {
      Log(1, kTag, __LINE__, "Cannot lock chunk [%llu].", chunkId);
      delete m_pChunkLock;
      m_pChunkLock = nullptr;
      return -1;
    }

    bool opened = false;
    bool skipChmod = false;
    for (int attempt = 0; attempt < 2 && !opened; ++attempt) {
      bool chmodFailed = false;
      if (!skipChmod) {
        StartCounter(m_ChmodCounter);
        CXoError e = m_pFS->Chmod(m_sSFileIdxPath, kChunkIndexMode);
        StopCounter(m_ChmodCounter);
        if (e.IsFailure()) {
          Log(1, kTag, __LINE__,
              "Failed to chg mode of Sfile Idx [%s]. SysErr [%d], PermResetFlg [%d], Line [%d], Err [%s]",
              m_sSFileIdxPath.c_str(), 0, SingleInstancer_FS::GetPermissionsResetFlag(m_pLog), __LINE__,
              e.AsString().c_str());
          chmodFailed = true;
        }
      }
      if (!chmodFailed) {
        if (m_pSFileIdx != nullptr) {
          (void)m_pSFileIdx->Close();
          delete m_pSFileIdx;
        }
        m_pSFileIdx = new SfileIndex(&m_FSInitParams, m_pLog);
        // The options of every writer of a container index: what a power cut's unfinished flush
        // left at the end is trimmed, as a writer continuing the chunk would.
        SfileIndex::Options options{false, true, true, true};
        StartCounter(m_OpenIdxCounter);
        CXoError e = m_pSFileIdx->Open(m_sSFileIdxPath, kIndexReadWrite, options);
        StopCounter(m_OpenIdxCounter);
        if (e.IsSuccess()) {
          opened = true;
          break;
        }
        Log(1, kTag, __LINE__, "Cannot open Sfile Idx [%s], SysErr [%d], Err [%s]", m_sSFileIdxPath.c_str(), 0,
            e.AsString().c_str());
        if (FXErrorUtil::IsMM(e, kMMCorrupt)) return 1;
        skipChmod = true;
      }
      if (attempt == 0) {
        StartCounter(m_RecoverCounter);
        CXoError e = RecoverCompactableFile(m_sSFileIdxPath.c_str(), COMPACT_TYPE_BOTH, false);
        StopCounter(m_RecoverCounter);
        if (e.IsFailure()) {
          Log(1, kTag, __LINE__, "Unable to recover Sfile.idx [%s]. Err [%s].", m_sSFileIdxPath.c_str(),
              e.AsString().c_str());
          return FXErrorUtil::IsErrNo(e, EINVAL) ? -2 : -1;
        }
      } else {
        bool exists = false;
        CXoError e = PathExists(m_sSFileIdxPath.c_str(), exists);
        if (e.IsFailure()) {
          Log(1, kTag, __LINE__, "Failed to do Exists check for [%s], Err [%s]", m_sSFileIdxPath.c_str(),
              e.AsString().c_str());
          return -1;
        }
        return exists ? -1 : 1;
      }
    }
    m_bSFileIdxBorrowed = false;
  }

  int64_t position = -1;
  SSfileContainerIndexEntry first{};
  CXoError e = m_pSFileIdx->GetFirstEntry(&position, &first);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Cannot find if chunk [%s] is compacted, error [%s]", m_sSFileIdxPath.c_str(),
        e.AsString().c_str());
    return -1;
  }
  m_uVolId = volId;
  m_ullChunkId = chunkId;
  m_uMPId = mpId;
  m_bChunkCompacted = position >= 0 && (first.Flags & FLAG_SFILE_COMPACTED_CHUNK) != 0;

  ReadConfiguration();
  Log(1, kTag, __LINE__,
      "Initialized pruner object. Path [%s], Drill Holes [%d], Hole Size Min/Max [%u/%u], Truncate [%d], Counters "
      "[%d], Chunk compacted [%d].",
      m_sSFileIdxPath.c_str(), m_bDrillHoles, m_uDrillHolesMinSize, m_uDrillHolesMaxSize, m_bAllowTruncate,
      m_bCountersEnabled, m_bChunkCompacted);
  return 0;
}

void CSFilePruner::ReadConfiguration() {
  static constexpr char kTag[] = "OpenIdx";
  OZPlatformInfo info;
  long long value = 0;
  m_bDrillHoles = true;
  m_bAllowTruncate = true;
  if (IsStrataform(m_sSFileIdxPath.c_str())) {
    m_bDrillHoles = false;
    m_bAllowTruncate = false;
  } else {
    if (info.getNumber("ZovadAdeve", "DedupDrillHoles", &value)) m_bDrillHoles = value != 0;
    if (info.getNumber("ZovadAdeve", "DedupPruneAllowTruncate", &value)) m_bAllowTruncate = value != 0;
  }
  m_bCountersEnabled = true;
  if (info.getNumber("ZovadAdeve", "DedupEnablePruningCounters", &value)) m_bCountersEnabled = value != 0;
  m_uDrillHolesMinSize = kDefaultHolesMinSize;
  if (info.getNumber("ZovadAdeve", "DedupDrillHolesMinSize", &value)) m_uDrillHolesMinSize = static_cast<uint32_t>(value);
  m_uDrillHolesMaxSize = kDefaultHolesMaxSize;
  if (info.getNumber("ZovadAdeve", "DedupDrillHolesMaxSize", &value)) m_uDrillHolesMaxSize = static_cast<uint32_t>(value);
  if (m_uDrillHolesMaxSize == 0) {
    // A step of 0 would never end a stepped drill.
    Log(1, kTag, __LINE__, "Hole size max of 0 is not usable. Using [%u].", kDefaultHolesMaxSize);
    m_uDrillHolesMaxSize = kDefaultHolesMaxSize;
  }
}

// ---- Entries ----------------------------------------------------------------------------------

int CSFilePruner::PruneEntry(uint32_t key, unsigned long long metaOffset) {
  static constexpr char kTag[] = "PruneEntry";
  if (m_pSFileIdx == nullptr || !m_pSFileIdx->IsValid()) {
    Log(1, kTag, __LINE__, "Index file [%s] is not open.", m_sSFileIdxPath.c_str());
    return -1;
  }
  const unsigned int version = m_pSFileIdx->GetVersion();
  if (!ozassert(version <= 4, "m_pSFileIdx->GetVersion() <= 4", __FILE__, __func__, __LINE__)) return -1;
  const uint64_t searchKey = version <= 1 ? metaOffset : static_cast<uint64_t>(key);

  SSfileContainerIndexEntry entry{};
  int64_t position = -1;
  int64_t lo = 0;
  int64_t hi = static_cast<int64_t>(m_pSFileIdx->m_Header.TotalEntries) - 1;
  StartCounter(m_SearchCounter);
  CXoError e = m_pSFileIdx->SearchEntry(searchKey, &entry, &position, lo, hi);
  StopCounter(m_SearchCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Cannot search for entry in index file [%s], error [%s]", m_sSFileIdxPath.c_str(),
        e.AsString().c_str());
    return FXErrorUtil::IsMM(e, kMMCorrupt) ? 2 : -1;
  }
  if (position < 0) {
    Log(1, kTag, __LINE__, "Cannot find the index entry for metadata offset [%llu] in file [%s]",
        static_cast<unsigned long long>(searchKey), m_sSFileIdxPath.c_str());
    return 1;
  }
  // Keys are reissued when an index lost its last records: an appending job numbers its objects
  // on from the last key left. The entry found may then be another object's, and clearing it
  // would hand a live object to reclamation.
  if (version >= 2 && metaOffset != 0 &&
      ExtractSFileOffset(metaOffset) != static_cast<uint32_t>(entry.DataFileOffset)) {
    Log(1, kTag, __LINE__,
        "Index entry for key [%llu] in file [%s] is at offset [%llu], not at the offset [%u] of metadata offset "
        "[%llu]. It is another object's and is kept.",
        static_cast<unsigned long long>(searchKey), m_sSFileIdxPath.c_str(),
        static_cast<unsigned long long>(entry.DataFileOffset), ExtractSFileOffset(metaOffset), metaOffset);
    return 1;
  }
  entry.Flags &= ~FLAG_SFILE_ENTRY_VALID;
  e = UpdateEntry(static_cast<long>(position), &entry);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Cannot update entry in index file [%s], error [%s]", m_sSFileIdxPath.c_str(),
        e.AsString().c_str());
    return -1;
  }
  return 0;
}

CXoError CSFilePruner::GetEntry(long position, SSfileContainerIndexEntry* entry) {
  StartCounter(m_WalkCounter);
  CXoError e = m_pSFileIdx->GetEntry(position, entry);
  StopCounter(m_WalkCounter);
  return e;
}

CXoError CSFilePruner::UpdateEntry(long position, SSfileContainerIndexEntry* entry) {
  StartCounter(m_UpdateCounter);
  CXoError e = m_pSFileIdx->UpdateEntry(position, entry);
  StopCounter(m_UpdateCounter);
  return e;
}

int CSFilePruner::Flush() {
  static constexpr char kTag[] = "Flush";
  if (m_pSFileIdx == nullptr || !m_pSFileIdx->IsValid()) return 0;
  StartCounter(m_FlushIdxCounter);
  CXoError e = m_pSFileIdx->Flush();
  StopCounter(m_FlushIdxCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to flush file [%s]. Error [%s]", m_sSFileIdxPath.c_str(), e.AsString().c_str());
    return -1;
  }
  return 0;
}

int CSFilePruner::Close() {
  if (m_pSFileIdx != nullptr) {
    if (m_bSFileIdxBorrowed) {
      m_pSFileIdx = nullptr;
      m_bSFileIdxBorrowed = false;
    } else if (m_pSFileIdx->IsValid()) {
      StartCounter(m_CloseIdxCounter);
      (void)m_pSFileIdx->Close();
      StopCounter(m_CloseIdxCounter);
    }
  }
  if (m_pChunkLock != nullptr) {
    m_pChunkLock->unset();
    delete m_pChunkLock;
    m_pChunkLock = nullptr;
  }
  m_bChunkCompacted = false;
  return 0;
}

bool CSFilePruner::IsChunkCompacted() { return m_pSFileIdx != nullptr && m_pSFileIdx->IsValid() && m_bChunkCompacted; }

bool CSFilePruner::IsGlusterFS(const char* path) {
  return StartsWithGlusterPrefixNoCase(path);
}

bool CSFilePruner::IsStrataform(const char* path) {
  return path != nullptr && (CSkarvoFS::IsSkarvoPath(path) || IsGlusterFS(path));
}

CXoError CSFilePruner::PathExists(const char* path, bool& bExists) {
  SSIPrunerLogContext context{m_pLog, m_uEngineId, kPhase};
  return CSingleInstancerPruner::PathExistsStatic(m_pFS, path, bExists, &context,
                                                  m_bCountersEnabled ? &m_ExistsCounter : nullptr);
}

// ---- The finalizing walk ----------------------------------------------------------------------

int CSFilePruner::Finalize(bool& bEmpty) {
  static constexpr char kTag[] = "Finalize";
  if (m_pSFileIdx == nullptr || !m_pSFileIdx->IsValid()) {
    Log(1, kTag, __LINE__, "Index file [%s] is not open.", m_sSFileIdxPath.c_str());
    return -1;
  }
  const unsigned int version = m_pSFileIdx->GetVersion();
  if (!ozassert(version <= 4, "m_pSFileIdx->GetVersion() <= 4", __FILE__, __func__, __LINE__)) return -1;
  m_FinalizeCounter.Cancel();
  StartCounter(m_FinalizeCounter);
  Log(1, kTag, __LINE__, "Finalizing SI entries in chunk [%llu].", m_ullChunkId);
  bEmpty = true;
  m_bRemovedAny = false;

  // Every run of a container is read before any of its bytes go: a number that comes back later
  // in the index may name valid objects where an earlier run's pruned entries lie.
  const uint64_t headerBytes = version <= 1 ? kOldObjectHeaderBytes : 0;
  std::map<uint32_t, SSFileInfo> containers;
  SRun run;
  SSFileInfo* info = nullptr;
  bool haveRun = false;
  uint32_t failures = 0;

  int64_t position = -1;
  SSfileContainerIndexEntry entry{};
  StartCounter(m_WalkCounter);
  CXoError walk = m_pSFileIdx->GetFirstEntry(&position, &entry);
  StopCounter(m_WalkCounter);
  while (walk.IsSuccess() && position >= 0) {
    if (!haveRun || entry.ContainerNo != run.uSFileNum) {
      if (haveRun) CloseRun(run, *info);
      info = &containers[entry.ContainerNo];
      StartRun(run, entry, position, *info);
      haveRun = true;
    } else {
      run.llLastEntry = position;
    }
    if (!run.bDeleted) {
      AddToRun(run, entry, position, headerBytes, *info);
      if ((entry.Flags & FLAG_SFILE_ENTRY_VALID) != 0) bEmpty = false;
    }
    StartCounter(m_WalkCounter);
    walk = m_pSFileIdx->GetNextEntry(&position, &entry);
    StopCounter(m_WalkCounter);
  }
  // A walk whose read failed has not seen every run: nothing is reclaimed.
  if (walk.IsSuccess()) {
    if (haveRun) CloseRun(run, *info);
    for (auto& [number, container] : containers) {
      if (container.uRuns != 0 && FinalizeSFile(&container) != 0) ++failures;
    }
  }

  if (walk.IsFailure() || failures != 0) {
    Log(1, kTag, __LINE__, "Unable to walk the index file. [%s], Failed [%u], error [%s].", m_sSFileIdxPath.c_str(),
        failures, walk.AsString().c_str());
    return FXErrorUtil::IsMM(walk, kMMCorrupt) ? 2 : -1;
  }

  // Removals reach the disk before the index that records them: an index flushed as "removed"
  // beside a container that came back after a power cut would skip it for ever.
  if (m_bRemovedAny) {
    CXoError e = FlushChunkFolder();
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Cannot flush the chunk folder [%s], error [%s]", m_sChunkPath.c_str(),
          e.AsString().c_str());
      return -1;
    }
  }
  StartCounter(m_FlushIdxCounter);
  CXoError e = m_pSFileIdx->Flush();
  StopCounter(m_FlushIdxCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Cannot flush the index file, error [%s]", e.AsString().c_str());
    return -1;
  }
  // Entries tell what the index still holds, not what the chunk folder holds: an index that lost
  // records (cut by damage) may name no container while containers with live objects remain.
  if (bEmpty) {
    const int holds = ChunkFolderHoldsContainers();
    if (holds != 0) {
      Log(1, kTag, __LINE__,
          holds > 0 ? "Chunk folder [%s] still holds SFile containers. Index [%s] is kept."
                    : "Cannot list chunk folder [%s]. Index [%s] is kept.",
          m_sChunkPath.c_str(), m_sSFileIdxPath.c_str());
      bEmpty = false;
    }
  }
  if (!m_bSFileIdxBorrowed) {
    StartCounter(m_CloseIdxCounter);
    e = m_pSFileIdx->Close();
    StopCounter(m_CloseIdxCounter);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Cannot close the index file, error [%s]", e.AsString().c_str());
      return -1;
    }
    if (bEmpty) {
      Log(1, kTag, __LINE__, "Going to remove the idx file [%s] as there are no more container files.",
          m_sSFileIdxPath.c_str());
      // The record goes first: once the index is gone, no later pass can tell that it was there.
      // A removal that then fails is tried, and recorded, again by a later pass.
      if (m_pDeleteLog != nullptr) {
        LogDelete(m_pDeleteLog, __LINE__, "D %u %u %llu SIDX", m_uMPId, m_uVolId, m_ullChunkId);
      }
      StartCounter(m_DeleteCounter);
      e = CSingleInstancerPruner::RemoveFileHelper(m_pFS, m_sSFileIdxPath, m_pLog);
      StopCounter(m_DeleteCounter);
      if (e.IsFailure()) {
        Log(1, kTag, __LINE__, "Cannot remove the index data file, error [%s]", e.AsString().c_str());
        return -1;
      }
      Log(1, kTag, __LINE__, "Removed index file [%s].", m_sSFileIdxPath.c_str());
      e = FlushChunkFolder();
      if (e.IsFailure()) {
        Log(1, kTag, __LINE__, "Cannot flush the chunk folder [%s], error [%s]", m_sChunkPath.c_str(),
            e.AsString().c_str());
        return -1;
      }
    }
  }
  StopCounter(m_FinalizeCounter);
  return 0;
}

namespace {

// Adds [begin, end) to extents kept in index order, joining it to the last one where they touch.
void AddExtent(std::vector<CSFilePruner::SExtent>& extents, uint64_t begin, uint64_t end) {
  if (!extents.empty() && extents.back().uEnd == begin) {
    extents.back().uEnd = end;
  } else {
    extents.push_back(CSFilePruner::SExtent{begin, end});
  }
}

}  // namespace

void CSFilePruner::StartRun(SRun& run, const SSfileContainerIndexEntry& entry, int64_t position, SSFileInfo& info) {
  run = SRun();
  run.uSFileNum = entry.ContainerNo;
  run.llFirstEntry = run.llLastEntry = position;
  run.bDeleted = (entry.Flags & FLAG_SFILE_REMOVED) != 0;
  run.uPrevEnd = kSFileHeaderBytes;
  if (info.vCovered.empty()) {
    // No hole, cut or removal reaches the container's header.
    info.uSFileNum = entry.ContainerNo;
    info.vValid.push_back(SExtent{0, kSFileHeaderBytes});
    info.vCovered.push_back(SExtent{0, kSFileHeaderBytes});
  }
}

void CSFilePruner::AddToRun(SRun& run, const SSfileContainerIndexEntry& entry, int64_t position, uint64_t headerBytes,
                            SSFileInfo& info) {
  const uint64_t end = SaturatingAdd(SaturatingAdd(entry.DataFileOffset, entry.DataLength), headerBytes);
  // An entry below the end of the one before overlaps it: ranges of such a run are not to be
  // trusted with holes or cuts.
  if (entry.DataFileOffset < run.uPrevEnd) run.bOrdered = false;
  // Bytes between two entries belong to no entry of the index: a run of pruned entries ends
  // before them, so that no hole or cut reaches them.
  const bool afterGap = entry.DataFileOffset > run.uPrevEnd;
  run.uPrevEnd = end;
  AddExtent(info.vCovered, entry.DataFileOffset, end);
  const bool valid = (entry.Flags & FLAG_SFILE_ENTRY_VALID) != 0;
  if (run.bPending && (valid || afterGap)) {
    run.Pending.uNextOffset = entry.DataFileOffset;
    run.vRanges.push_back(run.Pending);
    run.bPending = false;
  }
  if (valid) {
    (void)ozassert((entry.Flags & ~(FLAG_SFILE_ENTRY_VALID | FLAG_SFILE_COMPACTED_CHUNK)) == 0,
                   "(Entry.Flags & ~(FLAG_SFILE_ENTRY_VALID|FLAG_SFILE_COMPACTED_CHUNK)) == 0", __FILE__, __func__,
                   __LINE__);
    AddExtent(info.vValid, entry.DataFileOffset, end);
    info.bAllPruned = false;
    return;
  }
  if (!run.bPending) {
    run.Pending = SSFileRange();
    run.Pending.uOffset = entry.DataFileOffset;
    run.Pending.iFirstEntry = position;
    run.Pending.bTruncated = (entry.Flags & FLAG_SFILE_TRUNCATED) != 0;
    run.Pending.bAllDrilled = true;
    run.Pending.uLength = 0;
    run.bPending = true;
  }
  if ((entry.Flags & FLAG_SFILE_HOLE_DRILLED) == 0) run.Pending.bAllDrilled = false;
  run.Pending.iLastEntry = position;
  if ((entry.Flags & FLAG_SFILE_NO_LENGTH) == 0) {
    run.Pending.uLength = SaturatingAdd(run.Pending.uLength, SaturatingAdd(entry.DataLength, headerBytes));
  }
}

void CSFilePruner::CloseRun(SRun& run, SSFileInfo& info) {
  // A pending range never reaches into the next run.
  SSFileRange tail;
  if (run.bPending && run.Pending.uLength != 0) {
    tail = run.Pending;
    run.vRanges.push_back(tail);
  }
  run.bPending = false;
  if (run.bDeleted) return;
  ++info.uRuns;
  info.vRunFirstEntries.push_back(run.llFirstEntry);
  if (info.llFirstEntry < 0) info.llFirstEntry = run.llFirstEntry;
  info.llLastEntry = run.llLastEntry;
  if (!run.bOrdered) {
    info.bOrdered = false;
    info.Tail = SSFileRange();
    return;
  }
  info.vRanges.insert(info.vRanges.end(), run.vRanges.begin(), run.vRanges.end());
  info.Tail = tail;
}

int CSFilePruner::ChunkFolderHoldsContainers() {
  static constexpr char kPrefix[] = "SFILE_CONTAINER_";
  std::vector<std::string> files, folders;
  CXoError e = m_pFS->GetDirContents(m_sChunkPath, files, folders);
  if (e.IsFailure()) {
    Log(1, "Finalize", __LINE__, "Cannot list [%s], error [%s]", m_sChunkPath.c_str(), e.AsString().c_str());
    return -1;
  }
  for (const std::string& name : files) {
    // A container is its prefix and its number; side files of a compaction carry a suffix.
    if (name.size() <= sizeof(kPrefix) - 1 || strncasecmp(name.c_str(), kPrefix, sizeof(kPrefix) - 1) != 0) continue;
    if (name.find_first_not_of("0123456789", sizeof(kPrefix) - 1) == std::string::npos) return 1;
  }
  return 0;
}

CXoError CSFilePruner::FlushChunkFolder() {
  // Object stores have no folders whose names could be lost.
  if (IsRemoteStorage(m_FSInitParams.m_Type)) return CXoError::Success();
  return RealMagneticFS::FlushFolder(m_FSInitParams, m_sChunkPath);
}
