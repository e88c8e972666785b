// The pass: batches of zero-reference records from the dedup database, sorted and walked by mount
// path, volume and chunk, with the purge of the handled records after every chunk end.
#include <algorithm>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/threads.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr int kMaxPasses = 5;
constexpr unsigned int kBatchLimit = 10000;
constexpr MountPathType kCloudMountPath = 7;

bool CompareZeroRefRecordFunc(const CZeroRefRecord& a, const CZeroRefRecord& b) {
  if (a.MountPathId != b.MountPathId) return a.MountPathId < b.MountPathId;
  if (a.VolumeId != b.VolumeId) return a.VolumeId < b.VolumeId;
  return a.ChunkId < b.ChunkId;
}

time_t Now() { return static_cast<time_t>(MDTime().seconds()); }

}  // namespace

int CSingleInstancerPruner::PruneZeroRefRecords(CSIDBClientApi* db, PFN_OnDedupVolModified onVolModified,
                                                void* context, unsigned int seconds) {
  const char* tag = "PruneZRRec";
  PLOG(1, tag, "Starting zero ref record pruning. Will prune for [%u] seconds.", seconds);
  const time_t until = Now() + static_cast<time_t>(seconds);
  int passes = 0;
  int r = 0;
  do {
    r = PruneZeroRefRecordsInt(db, onVolModified, context, until);
    ++passes;
  } while (r == 0 && passes < kMaxPasses);
  PLOG(1, tag, "Ending zero ref record pruning. Retries [%d], iRet [%d]", passes, r);
  return r == kSIDBNothingToDo ? 0 : r;
}

int CSingleInstancerPruner::PruneZeroRefRecordsInt(CSIDBClientApi* db, PFN_OnDedupVolModified onVolModified,
                                                   void* context, time_t until) {
  const char* tag = "PruneZRRecInt";
  m_bMPSkipped = m_bMPDropRecords = m_bMPReadOnly = m_bVolumeSkipped = m_bNoEntryPruning = true;
  m_bSkipRecords = false;
  m_MPId = 0;
  m_uMPAttributes = 0;
  m_uVolumeId = 0;
  m_ullVolRecords = m_ullChunkId = m_ullChunkRecords = m_ullStartIdx = 0;
  m_strMountPath.clear();
  m_strVolumePath.clear();
  m_strChunkPath.clear();
  m_vPrimaryIds.clear();
  m_pfnOnVolModified = onVolModified;
  m_pVolModifiedCtx = context;

  (void)IsPruningAllowedOnMA(true);
  (void)IsPruningAllowedOnMP(0, true);
  m_bVolSet = m_bChunkSet = m_bMPSet = false;

  void* handle = nullptr;
  unsigned long start = 0;
  int result = 0;
  std::vector<CZeroRefRecord> batch;
  for (;;) {
    if (!IsPruningAllowedOnMA(false)) break;
    unsigned long next = 0;
    std::vector<unsigned int> excluded = GetOfflineMPIds();
    batch.clear();
    int r = db->GetPrunableRecords(&handle, start, kBatchLimit, &batch, &next, &excluded);
    if (r != 0) {
      PLOG(1, tag, "Failed to get prunable records. StartChunkId [%llu], iRet [%d]",
           static_cast<unsigned long long>(start), r);
      if (r != kSIDBTimeBudgetUsed) {
        PLOG(1, tag, "Cannot prune the prunable primary records from SIDB. Error [%d][%s]", r,
             db->GetErrorString(static_cast<unsigned int>(r)));
      }
      result = r;
      break;
    }
    if (batch.empty()) {
      PLOG(1, tag, "No records returned for chunkId [%llu]. Next [%llu]", static_cast<unsigned long long>(start),
           static_cast<unsigned long long>(next));
      break;
    }
    std::sort(batch.begin(), batch.end(), CompareZeroRefRecordFunc);
    PLOG(1, tag, "Got [%d] primary records. Start ChunkId [%llu], Start Id [%llu], End Chunk Id [%llu], End Id [%llu]",
         static_cast<int>(batch.size()), static_cast<unsigned long long>(batch.front().ChunkId),
         static_cast<unsigned long long>(batch.front().PrimaryId),
         static_cast<unsigned long long>(batch.back().ChunkId),
         static_cast<unsigned long long>(batch.back().PrimaryId));
    size_t purged = 0;
    r = WalkBatch(db, batch, next, purged);
    if (r != 0) {
      result = r;
      break;
    }
    const unsigned long newStart = (m_bSkipRecords && next == start) ? start + 1 : next;
    PASSERT(m_vPrimaryIds.size() == 0, "m_vPrimaryIds.size () == 0");
    PLOG(1, tag, "Start Idx [%llu], Next Chunk [%llu], Next Batch Chunk Id [%llu], Pruned Primaries [%d]",
         m_ullStartIdx, static_cast<unsigned long long>(newStart), static_cast<unsigned long long>(next),
         static_cast<int>(purged));
    start = newStart;
    const time_t now = Now();
    if (now > until) {
      PLOG(1, tag, "Stopping phase 3 pruning engine [%d] as max phase time is reached. tPruneUntil [%lu]. Now [%lu].",
           static_cast<int>(m_uEngineId), static_cast<unsigned long>(until), static_cast<unsigned long>(now));
      result = kSIDBTimeBudgetUsed;
      break;
    }
  }
  m_pfnOnVolModified = nullptr;
  m_pVolModifiedCtx = nullptr;
  if (handle != nullptr) db->GetPrunableRecordsClose(handle);
  return result;
}

int CSingleInstancerPruner::WalkBatch(CSIDBClientApi* db, std::vector<CZeroRefRecord>& batch, unsigned long next,
                                      size_t& purged) {
  for (size_t i = 0; i < batch.size(); ++i) {
    CZeroRefRecord& rec = batch[i];
    const bool last = i + 1 == batch.size();
    unsigned long long followingChunk;
    unsigned int followingVolume, followingMP;
    if (!last) {
      followingChunk = batch[i + 1].ChunkId;
      followingVolume = batch[i + 1].VolumeId;
      followingMP = batch[i + 1].MountPathId;
    } else {
      followingChunk = next;
      const bool same = rec.ChunkId == next;
      followingVolume = same ? rec.VolumeId : 0;
      followingMP = same ? rec.MountPathId : 0;
    }
    if (i == 0 && m_bChunkSet && m_ullChunkId != rec.ChunkId) {
      OnChunkEnd(true);
      PASSERT(m_bVolSet == true, "m_bVolSet == true");
      if (rec.VolumeId != m_uVolumeId) OnVolumeEnd();
      PASSERT(m_bMPSet == true, "m_bMPSet == true");
      if (rec.MountPathId != m_MPId) OnMountPathEnd();
    }
    if (!m_bMPSet) {
      if (IsPruningAllowedOnMP(rec.MountPathId, false)) {
        OnMountPathStart(rec.MountPathId, false);
      } else {
        m_bSkipRecords = true;
        continue;
      }
    }
    if (!m_bVolSet) OnVolumeStart(rec.VolumeId);
    if (!m_bChunkSet) OnChunkStart(static_cast<unsigned long>(rec.ChunkId));
    ++m_ullChunkRecords;
    ++m_ullVolRecords;
    PruneBlock(&rec);
    const bool allowed = IsPruningAllowedOnMP(m_MPId, false);
    if (followingChunk == m_ullChunkId && allowed) {
      if (!last) continue;
      if (m_bSkipRecords) {
        OnChunkEnd(true);
        OnVolumeEnd();
        OnMountPathEnd();
      } else {
        if (!m_vPrimaryIds.empty()) m_vPrimaryIds.pop_back();
        OnChunkEnd(false);
      }
    } else {
      OnChunkEnd(true);
      if (last || followingVolume != m_uVolumeId || !allowed) OnVolumeEnd();
      if (last || followingMP != m_MPId || !allowed) OnMountPathEnd();
    }
    if (const int r = Purge(db, purged); r != 0) return r;
  }
  return Purge(db, purged);
}

int CSingleInstancerPruner::Purge(CSIDBClientApi* db, size_t& purged) {
  if (m_vPrimaryIds.empty()) return 0;
  const size_t count = m_vPrimaryIds.size();
  PLOG(2, "PruneZRRecInt", "Purging [%lu] primary records", static_cast<unsigned long>(count));
  std::vector<unsigned long long> ids(m_vPrimaryIds.begin(), m_vPrimaryIds.end());
  const int r = db->PruneRecords(&ids);
  if (r != 0) {
    PLOG(1, "PruneZRRecInt", "Failed to purge [%lu] primary records from SIDB. Error [%d] [%s]",
         static_cast<unsigned long>(count), r, db->GetErrorString(static_cast<unsigned int>(r)));
    return r;
  }
  purged = count;
  m_vPrimaryIds.clear();
  return 0;
}

int CSingleInstancerPruner::OnVolumeStart(unsigned int volId) {
  m_uVolumeId = volId;
  m_bVolSet = true;
  m_ullVolRecords = 0;
  m_strVolumePath.clear();
  m_bVolumeSkipped = false;
  if (m_bMPSkipped || volId == 0) return 0;
  m_strVolumePath = m_pFS->AppendPath(m_strMountPath, SingleInstancer_FS::GetVolumeDirName(volId));
  if (GetMountpathType() == kCloudMountPath) {
    const int cache = FindCacheMountPath(volId);
    if (cache != -1 && SetCacheMountPath(static_cast<unsigned int>(cache), kNoCacheMountPath)) {
      PLOG(1, "OnVolumeStart", "Using mountpath [%u] as cache for hybrid cloud volume [%u].",
           static_cast<unsigned int>(cache), volId);
    } else {
      m_bVolumeSkipped = true;
    }
  }
  return 0;
}

CXoError CSingleInstancerPruner::PathExists(const char* path, bool& exists) {
  SSIPrunerLogContext ctx{m_pLog, m_uEngineId, m_uPhase};
  return PathExistsStatic(m_pFS.get(), path, exists, &ctx, m_bCountersEnabled ? &m_AvgExists : nullptr);
}
