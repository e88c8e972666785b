// The chunk level of the walk: a chunk is bound with its chunk pruner, each record clears its
// entry in the chunk's container index, and the chunk ends with a flush (it goes on in the next
// batch) or with finalization and the removal of what is left of it.
#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr uint32_t kPrimaryInContainer = 0x40;

// Results of the chunk pruner.
constexpr int kIdxNoContainerIndex = 1;  // OpenSfileIdx: the chunk has no usable container index
constexpr int kIdxErrno22 = -2;          // OpenSfileIdx: a failure with errno 22
constexpr int kEntryCleared = 0;
constexpr int kEntryNotFound = 1;
constexpr int kIndexCorrupt = 2;  // PruneEntry and Finalize

}  // namespace

int CSingleInstancerPruner::OnChunkStart(unsigned long chunkId) {
  PASSERT(m_pPruner.get() == NULL, "m_pPruner.get () == NULL");
  m_ullChunkId = chunkId;
  m_bChunkSet = true;
  m_bNoEntryPruning = false;
  m_bSkipRecords = false;
  m_ullChunkRecords = 0;
  m_strChunkPath.clear();
  if (m_bMPSkipped) {
    m_bNoEntryPruning = true;
    if (!(m_bMPDropRecords && !m_bMPReadOnly)) m_bSkipRecords = true;
    return 0;
  }
  if (m_bVolumeSkipped) {
    m_bNoEntryPruning = true;
    m_bSkipRecords = true;
  }
  m_strChunkPath = m_pFS->AppendPath(m_strVolumePath, SingleInstancer_FS::GetChunkDirName(chunkId));
  CFSInitParams params = m_pFS->GetInitParams();
  m_pPruner = std::make_unique<CSFilePruner>(&params, m_pLog, &m_DeleteLog, m_uEngineId);
  const int r = m_pPruner->OpenSfileIdx(m_MPId, m_strMountPath, m_uVolumeId, m_ullChunkId);
  if (r != 0) {
    m_bNoEntryPruning = true;
    if (r != kIdxNoContainerIndex) {
      m_bSkipRecords = true;
      PLOG(1, "OnChunkStart", "Cannot initialize SI Chunk pruner. iRet [%d]", r);
      if (m_bLogonAgainOnErr22 && r == kIdxErrno22) OnMountPathStart(m_MPId, true);
    }
    m_pPruner.reset();
  }
  return 0;
}

bool CSingleInstancerPruner::CollectWithoutIndexWork(uint64_t primaryId) {
  if (m_bSkipRecords) return true;
  if (!m_bNoEntryPruning) return false;
  PASSERT(m_pPruner.get() == NULL, "m_pPruner.get () == NULL");
  m_vPrimaryIds.push_back(primaryId);
  return true;
}

int CSingleInstancerPruner::PruneBlock(CZeroRefRecord* record) {
  if (CollectWithoutIndexWork(record->PrimaryId)) return 0;
  if (!PASSERT(m_pPruner.get() != NULL, "m_pPruner.get () != NULL")) {
    // Nothing can clear the entry: the record stays in the database.
    m_bNoEntryPruning = true;
    m_bSkipRecords = true;
    return 0;
  }
  const int r = m_pPruner->PruneEntry(record->SFileKey, record->MetadataOffset);
  if (r == kEntryCleared ||
      (r == kEntryNotFound && ((record->Flags & kZeroRefEntryMayBeAbsent) != 0 || m_pPruner->IsChunkCompacted()))) {
    m_vPrimaryIds.push_back(record->PrimaryId);
    return 0;
  }
  PLOG(1, "PruneBlock", "Failed to prune primary id [%llu], Metadata Offset [%llu], Chunk [%llu]",
       static_cast<unsigned long long>(record->PrimaryId), static_cast<unsigned long long>(record->MetadataOffset),
       m_ullChunkId);
  if (r == kIndexCorrupt) {
    m_vPrimaryIds.push_back(record->PrimaryId);
    m_bSkipRecords = false;
  } else {
    m_bSkipRecords = true;
  }
  m_bNoEntryPruning = true;
  m_pPruner.reset();
  return 0;
}

int CSingleInstancerPruner::PruneBlock(CPrimaryRecord* record) {
  if (CollectWithoutIndexWork(record->PrimaryId)) return 0;
  if ((record->Flags & kPrimaryInContainer) != 0) {
    CZeroRefRecord z;
    z.Flags = record->Flags;
    z.MountPathId = record->MountPathId;
    z.VolumeId = record->VolumeId;
    z.ZeroRefWord = record->ZeroRefWord;
    z.SFileKey = record->SFileKey;
    z.PrimaryId = record->PrimaryId;
    z.ZeroRefField = record->ZeroRefField;
    z.ChunkId = record->ChunkId;
    z.MetadataOffset = record->MetadataOffset;
    return PruneBlock(&z);
  }
  const std::string path =
      path_append(m_strChunkPath, SingleInstancer_FS::GetSIFileName(record->FileFirstNumber, record->FileSecondNumber,
                                                                    static_cast<int>(record->SFileKey),
                                                                    record->MetadataOffset, true));
  if (m_bCountersEnabled) m_AvgDeleteFile.Start();
  CXoError e = m_pFS->RemoveFile(path, 0);
  if (m_bCountersEnabled) m_AvgDeleteFile.Stop();
  if (e.IsFailure()) {
    PLOG(1, "PruneBlock", "Failed to delete file [%s], error [%s]", path.c_str(), e.AsString().c_str());
    return -1;
  }
  PLOG(1, "PruneBlock", "Removed file [%s]. iRet [%d]", path.c_str(), 0);
  LogDelete(&m_DeleteLog, __LINE__, "D %u %u %llu %s", m_MPId, m_uVolumeId, m_ullChunkId,
            CXoPath::GetBaseName(path).c_str());
  m_vPrimaryIds.push_back(record->PrimaryId);
  return 0;
}

int CSingleInstancerPruner::OnChunkEnd(bool finalize) {
  const char* tag = "OnChunkEnd";
  bool noContainerLeft = false;
  if (m_bNoEntryPruning) {
    // A chunk that goes on in the next batch stays bound whatever its state: unbound, the next
    // batch's first record would be worked on under this chunk's volume and mount path.
    if (finalize) m_bChunkSet = false;
    m_pPruner.reset();
    if (m_bMPSkipped || m_bVolumeSkipped) return 0;
    PASSERT(m_pFS != NULL, "m_pFS != NULL");
    if (!finalize) return 0;
  } else if (m_pPruner && !finalize) {
    const int r = m_pPruner->Flush();
    if (r == 0) return 0;
    PLOG(1, tag, "Unable to flush chunk index file for chunk [%s]. iRet [%d]", m_strChunkPath.c_str(), r);
    DropCollectedIds();
    m_bNoEntryPruning = true;
    m_bSkipRecords = true;
    m_pPruner.reset();
    return 0;
  } else if (m_pPruner) {
    const int r = m_pPruner->Finalize(noContainerLeft);
    m_pPruner.reset();
    m_bChunkSet = false;
    if (r != 0) {
      PLOG(1, tag, "Cannot finalize chunk [%s] for pruning. iRet [%d]", m_strChunkPath.c_str(), r);
      if (r == kIndexCorrupt) {
        m_bSkipRecords = false;
      } else {
        DropCollectedIds();
        m_bSkipRecords = true;
      }
      m_bNoEntryPruning = true;
      // A failed walk may leave containers while it reports none: their side files can be the only
      // copy of live data, so only a finished walk is trusted.
      noContainerLeft = false;
    }
  } else if (!finalize) {
    return 0;
  }
  m_bChunkSet = false;
  if (m_pFS == nullptr) return 0;
  const int r = PruneChunk(m_uVolumeId, m_ullChunkId, noContainerLeft);
  if (r >= 0) return 0;
  PLOG(1, tag, "PruneChunk failed. Chunk [%llu]. iRet [%d]", m_ullChunkId, r);
  WithholdOneId();
  m_bNoEntryPruning = true;
  m_bSkipRecords = true;
  return 0;
}

void CSingleInstancerPruner::DropCollectedIds() {
  m_ullStartIdx += m_vPrimaryIds.size();
  m_vPrimaryIds.clear();
}

void CSingleInstancerPruner::WithholdOneId() {
  if (m_vPrimaryIds.empty()) return;
  m_vPrimaryIds.pop_back();
  ++m_ullStartIdx;
}
