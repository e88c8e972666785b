// The chunk pruner's space reclamation: what Finalize's walk found for each container becomes
// holes over pruned runs, a cut of the dead tail, or the container's removal, recorded in the
// index entries and the delete log.
//
// A container number may come back later in the index, and records whose checksums hold may still
// contradict each other. So a container is reclaimed only once the walk has read every run of it,
// and then as one: no hole, cut or removal reaches bytes that a valid entry naming it accounts
// for, and bytes between its entries that no entry accounts for keep it from removal and cuts.
#include <algorithm>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/checked_add.h"

namespace {

constexpr unsigned int kMMRefused = 68013;
constexpr int kMMNotSupported = 789;
constexpr int kMMNotSupported2 = 790;
constexpr int kMMNotSupported3 = 44319;
constexpr char kTag[] = "FinalizeSFile";

}  // namespace

std::string CSFilePruner::SFilePath(uint32_t number) {
  if (m_pFS == nullptr) return std::string();
  return m_pFS->AppendPath(m_sChunkPath, SingleInstancer_FS::GetSFileContainerName(number));
}

bool CSFilePruner::IsDoNotDrill() {
  OzCriticalSectionGuard guard(&s_csDoNotDrillMPIds);
  return s_stDoNotDrillMPIds.count(m_uMPId) != 0;
}

bool CSFilePruner::SupportsDrillingHoles(int mmCode) {
  return mmCode != kMMNotSupported && mmCode != kMMNotSupported2 && mmCode != kMMNotSupported3;
}

bool CSFilePruner::CanDrillHolesOnChunk() {
  if (m_FSInitParams.m_Type == kFSTypeCloud) return true;
  return !IsChunkCompacted();
}

bool CSFilePruner::CanDrillHoleOnSFile() {
  if (m_FSInitParams.m_Type == kFSTypeCloud) return true;
  return !IsSFileCompacted();
}

CXoError CSFilePruner::DrillHoleStepped(uint64_t offset, uint64_t length) {
  const int type = m_pSFile->GetInitParams().m_Type;
  if (type == kFSTypeDisk || type == kFSTypeDataServerIP) {
    const uint64_t step = m_uDrillHolesMaxSize;
    while (length > step) {
      CXoError e = m_pSFile->DrillHole(offset, step);
      if (e.IsFailure()) return e.Push(FX_LOCATION);
      offset += step;
      length -= step;
    }
  }
  if (length == 0) return CXoError::Success();
  return m_pSFile->DrillHole(offset, length);
}

namespace {

// Sorts extents and joins those that overlap or touch.
std::vector<CSFilePruner::SExtent> Joined(std::vector<CSFilePruner::SExtent> extents) {
  std::sort(extents.begin(), extents.end(),
            [](const CSFilePruner::SExtent& a, const CSFilePruner::SExtent& b) { return a.uBegin < b.uBegin; });
  std::vector<CSFilePruner::SExtent> out;
  for (const CSFilePruner::SExtent& e : extents) {
    if (!out.empty() && e.uBegin <= out.back().uEnd) {
      out.back().uEnd = std::max(out.back().uEnd, e.uEnd);
    } else {
      out.push_back(e);
    }
  }
  return out;
}

// Whether [begin, end) overlaps one of `joined` (sorted, apart).
bool Overlaps(const std::vector<CSFilePruner::SExtent>& joined, uint64_t begin, uint64_t end) {
  const auto it = std::upper_bound(joined.begin(), joined.end(), begin,
                                   [](uint64_t at, const CSFilePruner::SExtent& e) { return at < e.uEnd; });
  return it != joined.end() && it->uBegin < end && begin < end;
}

}  // namespace

int CSFilePruner::FinalizeSFile(SSFileInfo* pSFileInfo) {
  if (CloseSFile().IsFailure()) return -1;
  const SSFileInfo& info = *pSFileInfo;
  (void)ozassert(!info.bDeleted, "pSFileInfo->bDeleted == false", __FILE__, __func__, __LINE__);
  const std::string path = SFilePath(info.uSFileNum);
  if (!info.bOrdered) {
    Log(1, kTag, __LINE__, "Entries of SFILE [%s] overlap. No hole or cut is made among them.", path.c_str());
  }
  // The entries of every run together, in offset order, from the header on: bytes between them
  // belong to no entry.
  const std::vector<SExtent> covered = Joined(info.vCovered);
  const bool gap = covered.size() > 1;
  const uint64_t logicalEnd = covered.empty() ? 0 : covered.back().uEnd;

  if (info.bAllPruned && !gap) {
    const int removed = RemoveSFile(info, path, logicalEnd);
    if (removed != 1) return removed;
  } else if (info.bAllPruned) {
    Log(1, kTag, __LINE__,
        "SFILE number [%u] holds bytes between its indexed objects that no entry of index [%s] accounts for. It "
        "is kept.",
        info.uSFileNum, m_sSFileIdxPath.c_str());
  } else if (info.vRanges.empty()) {
    return 0;
  } else if (info.uRuns > 1) {
    // Valid objects of another run may lie past a run's tail: no cut, only holes.
    Log(1, kTag, __LINE__, "SFILE number [%u] comes back in index [%s]. Its runs are drilled, never cut.",
        info.uSFileNum, m_sSFileIdxPath.c_str());
  }
  const bool cut = !info.bAllPruned && info.uRuns == 1 && m_bAllowTruncate && info.Tail.uOffset != 0 &&
                   !info.Tail.bTruncated;
  return ReclaimRanges(info, path, cut, logicalEnd);
}

int CSFilePruner::OpenForReclaim(const std::string& path, unsigned long long& size) {
  CXoError e = OpenSFile(path.c_str());
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to open file [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
    return (FXErrorUtil::IsMM(e, kMMRefused) || IsMediaFSItemNotFoundError(e)) ? 1 : -1;
  }
  size = GetSFileSize();
  if (size == ~0ull) {
    Log(1, kTag, __LINE__, "Unable to stat [%s].", path.c_str());
    return -1;
  }
  return 0;
}

bool CSFilePruner::Translate(uint64_t logical, uint64_t& physical) {
  CXoError e = GetPhysicalOffset(logical, physical);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Cannot get physical offset for logical offset [%llu]. error=%s",
        static_cast<unsigned long long>(logical), e.AsString().c_str());
  }
  return e.IsSuccess();
}

int CSFilePruner::FlushSFile(const std::string& path) {
  if (!m_pSFile->IsValid()) return 0;
  StartCounter(m_FlushCounter);
  CXoError e = m_pSFile->Flush();
  StopCounter(m_FlushCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to flush file [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
    return -1;
  }
  return 0;
}

int CSFilePruner::DrillRanges(const std::string& path, const std::vector<SSFileRange>& ranges, uint64_t size,
                              std::vector<SSFileRange>& drilled, uint32_t number) {
  for (const SSFileRange& r : ranges) {
    if (r.uOffset >= size) continue;  // the runs of a container that comes back need not ascend
    if (r.bAllDrilled) continue;
    if (r.uLength < m_uDrillHolesMinSize) continue;
    CXoError e = OpenSFile(path.c_str());
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Unable to open file [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
      return -1;
    }
    if (!CanDrillHoleOnSFile()) {
      Log(1, kTag, __LINE__,
          "SFILE [%s] is compacted. Cannot drill hole on a compacted SFILE. Skipping this SFILE. SFileVersion [%u].",
          path.c_str(), m_uSFileVersion);
      break;
    }
    uint64_t physical = 0;
    if (!Translate(r.uOffset, physical)) return -1;
    // The hole ends where the next valid object starts on the media (the file's end for a tail):
    // a compacted container holds the run's bytes closer together than their logical length.
    uint64_t end = size;
    if (r.uNextOffset != 0) {
      if (!Translate(r.uNextOffset, end)) return -1;
      end = std::min<uint64_t>(end, size);
    }
    const uint64_t length = end > physical ? std::min<uint64_t>(r.uLength, end - physical) : 0;
    if (length == 0) continue;
    StartCounter(m_HoleCounter);
    e = DrillHoleStepped(physical, length);
    StopCounter(m_HoleCounter);
    if (e.IsFailure()) {
      const int code = static_cast<int>(MMS2BaseError::ConvertToMMError(e));
      if (!SupportsDrillingHoles(code)) {
        Log(1, kTag, __LINE__, "Switching off hole drilling on mount path [%d] as it is not supported",
            static_cast<int>(m_uMPId));
        OzCriticalSectionGuard guard(&s_csDoNotDrillMPIds);
        s_stDoNotDrillMPIds.insert(m_uMPId);
      } else {
        Log(1, kTag, __LINE__,
            "Cannot set the range [%llu:%llu][%llu] in file [%s] as sparse. Error [%d][%s]. Continuing...",
            static_cast<unsigned long long>(r.uOffset), static_cast<unsigned long long>(physical),
            static_cast<unsigned long long>(r.uLength), path.c_str(), code, e.AsString().c_str());
      }
      break;
    }
    drilled.push_back(r);
    Log(2, kTag, __LINE__, "drilled hole at offset [%llu:%llu], size [%llu] in file [%s]",
        static_cast<unsigned long long>(r.uOffset), static_cast<unsigned long long>(physical),
        static_cast<unsigned long long>(r.uLength), path.c_str());
    if (m_pDeleteLog != nullptr) {
      LogDelete(m_pDeleteLog, __LINE__, "H %u %u %llu %u %llu %llu", m_uMPId, m_uVolId, m_ullChunkId, number,
                static_cast<unsigned long long>(r.uOffset), static_cast<unsigned long long>(r.uLength));
    }
  }
  return 0;
}

void CSFilePruner::MarkEntries(int64_t first, int64_t last, uint32_t flag) {
  for (int64_t i = first; i >= 0 && i <= last; ++i) {
    SSfileContainerIndexEntry entry{};
    CXoError e = GetEntry(static_cast<long>(i), &entry);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Error in getting entry [%lld] for file [%s]. Error [%s]", static_cast<long long>(i),
          m_sSFileIdxPath.c_str(), e.AsString().c_str());
      return;
    }
    if (flag == FLAG_SFILE_HOLE_DRILLED) {
      (void)ozassert((entry.Flags & FLAG_SFILE_ENTRY_VALID) == 0, "(Entry.Flags & FLAG_SFILE_ENTRY_VALID) == 0",
                     __FILE__, __func__, __LINE__);
    }
    entry.Flags |= flag;
    e = UpdateEntry(static_cast<long>(i), &entry);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Error in updating entry [%lld] for file [%s]. Error [%s]", static_cast<long long>(i),
          m_sSFileIdxPath.c_str(), e.AsString().c_str());
      return;
    }
  }
}

// ---- Removal and holes of one container ------------------------------------------------------

// Bytes past the container's last indexed object are no pruned object's: an index that lost its
// last records (cut by damage) leaves live objects there. Such a container keeps every byte but
// the holes of its pruned runs.
CSFilePruner::EndCheck CSFilePruner::CheckEnd(const std::string& path, uint64_t size, uint64_t logicalEnd) {
  uint64_t physicalEnd = 0;
  if (!Translate(logicalEnd, physicalEnd)) return EndCheck::kFailed;
  if (size <= physicalEnd) return EndCheck::kEndsThere;
  Log(1, kTag, __LINE__,
      "SFILE [%s] holds [%llu] bytes past its last indexed object, which ends at physical offset [%llu], logical "
      "offset [%llu]. Nothing past it is cut or removed.",
      path.c_str(), static_cast<unsigned long long>(size - physicalEnd), static_cast<unsigned long long>(physicalEnd),
      static_cast<unsigned long long>(logicalEnd));
  return EndCheck::kBytesPast;
}

int CSFilePruner::RemoveSFile(const SSFileInfo& info, const std::string& path, uint64_t logicalEnd) {
  // A container already gone was removed by an earlier pass that stopped before its index flush.
  bool alreadyGone = false;
  CXoError e = OpenSFile(path.c_str());
  if (e.IsFailure() && IsMediaFSItemNotFoundError(e)) {
    alreadyGone = true;
  } else if (e.IsFailure() && FXErrorUtil::IsMM(e, kMMRefused)) {
    // Refused for holes and cuts (a hard link, a foreign header): its plain size is all there is.
    unsigned long long size = 0;
    e = m_pFS->GetFileAttributes(path, size);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Unable to stat [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
      return IsMediaFSItemNotFoundError(e) ? 0 : -1;
    }
    if (size > logicalEnd) {
      Log(1, kTag, __LINE__, "SFILE [%s] holds [%llu] bytes past its last indexed object. It is kept.", path.c_str(),
          static_cast<unsigned long long>(size - logicalEnd));
      return 0;
    }
  } else if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to open file [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
    return -1;
  } else {
    const unsigned long long size = GetSFileSize();
    if (size == ~0ull) {
      Log(1, kTag, __LINE__, "Unable to stat [%s].", path.c_str());
      return -1;
    }
    const EndCheck end = CheckEnd(path, size, logicalEnd);
    if (end == EndCheck::kFailed) return -1;
    if (end == EndCheck::kBytesPast) return 1;  // still open, for its holes
    e = CloseSFile();
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Unable to close file [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
      return -1;
    }
  }
  if (!alreadyGone) {
    StartCounter(m_DeleteCounter);
    e = CSingleInstancerPruner::RemoveFileHelper(m_pFS, path, m_pLog);
    StopCounter(m_DeleteCounter);
    alreadyGone = e.IsFailure() && IsMediaFSItemNotFoundError(e);
    if (e.IsFailure() && !alreadyGone) {
      Log(1, kTag, __LINE__, "Error in removing [%s], Error [%s]", path.c_str(), e.AsString().c_str());
      return -1;
    }
  }
  // Each run's first entry, so that a later walk skips every run of the container.
  for (const int64_t first : info.vRunFirstEntries) {
    SSfileContainerIndexEntry entry{};
    e = GetEntry(static_cast<long>(first), &entry);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Error in getting entry [%lld] for file [%s]. Error [%s]", static_cast<long long>(first),
          m_sSFileIdxPath.c_str(), e.AsString().c_str());
      return -1;
    }
    entry.Flags |= FLAG_SFILE_REMOVED;
    e = UpdateEntry(static_cast<long>(first), &entry);
    if (e.IsFailure()) {
      Log(1, kTag, __LINE__, "Error in updating entry [%lld] for file [%s]. Error [%s]",
          static_cast<long long>(first), m_sSFileIdxPath.c_str(), e.AsString().c_str());
      return -1;
    }
  }
  // The index marks the removal only after the chunk folder is flushed, also for a removal an
  // earlier pass made.
  m_bRemovedAny = true;
  if (alreadyGone) {
    // The pass that removed it may have stopped before its record: the log gets it now, at worst
    // twice, never not at all.
    Log(1, kTag, __LINE__, "[%s] is already removed.", path.c_str());
  } else {
    Log(1, kTag, __LINE__, "Removed [%s].", path.c_str());
  }
  if (m_pDeleteLog != nullptr) {
    LogDelete(m_pDeleteLog, __LINE__, "D %u %u %llu %u", m_uMPId, m_uVolId, m_ullChunkId, info.uSFileNum);
  }
  return 0;
}

int CSFilePruner::ReclaimRanges(const SSFileInfo& info, const std::string& path, bool cut, uint64_t logicalEnd) {
  const auto isTail = [&](const SSFileRange& r) { return r.iFirstEntry == info.Tail.iFirstEntry; };
  // Records that contradict each other: pruned entries over bytes that a valid entry of another
  // run accounts for name no dead object.
  const std::vector<SExtent> valid = Joined(info.vValid);
  std::vector<SSFileRange> ranges;
  for (const SSFileRange& r : info.vRanges) {
    if (!Overlaps(valid, r.uOffset, SaturatingAdd(r.uOffset, r.uLength))) {
      ranges.push_back(r);
      continue;
    }
    Log(1, kTag, __LINE__,
        "Pruned objects at offset [%llu], size [%llu] of SFILE [%s] lie over bytes of a valid object. No hole or cut "
        "is made there.",
        static_cast<unsigned long long>(r.uOffset), static_cast<unsigned long long>(r.uLength), path.c_str());
    if (isTail(r)) cut = false;
  }

  const bool drill = m_bDrillHoles && !IsDoNotDrill() && CanDrillHolesOnChunk();
  std::vector<SSFileRange> drilled;
  if (cut || (drill && !ranges.empty())) {
    unsigned long long size = 0;
    if (const int opened = OpenForReclaim(path, size); opened != 0) return opened > 0 ? 0 : -1;
    if (cut) {
      const EndCheck end = CheckEnd(path, size, logicalEnd);
      if (end == EndCheck::kFailed) return -1;
      // The tail stays: its pruned objects become a hole like any other run.
      if (end == EndCheck::kBytesPast) cut = false;
    }
    if (drill) {
      // A tail to be cut is not drilled first.
      std::vector<SSFileRange> holes;
      for (const SSFileRange& r : ranges) {
        if (!cut || !isTail(r)) holes.push_back(r);
      }
      if (DrillRanges(path, holes, size, drilled, info.uSFileNum) != 0) return -1;
    }
    if (cut && CutTail(path, info, size) != 0) return -1;
    if ((cut || !drilled.empty()) && FlushSFile(path) != 0) return -1;
  }

  if (IsDoNotDrill() && m_pDeleteLog != nullptr) {
    for (const SSFileRange& r : ranges) {
      if (isTail(r)) continue;
      Log(2, kTag, __LINE__, "Compactable hole at offset [%llu], size [%llu] in file [%s]",
          static_cast<unsigned long long>(r.uOffset), static_cast<unsigned long long>(r.uLength), path.c_str());
    }
  }

  CXoError e = CloseSFile();
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Unable to close file [%s]. Error [%s]", path.c_str(), e.AsString().c_str());
    return -1;
  }
  if (cut) MarkEntries(info.Tail.iFirstEntry, info.Tail.iFirstEntry, FLAG_SFILE_TRUNCATED);
  for (const SSFileRange& r : drilled) MarkEntries(r.iFirstEntry, r.iLastEntry, FLAG_SFILE_HOLE_DRILLED);
  return 0;
}

int CSFilePruner::CutTail(const std::string& path, const SSFileInfo& info, unsigned long long size) {
  const SSFileRange& tail = info.Tail;
  uint64_t physical = 0;
  if (!Translate(tail.uOffset, physical)) return -1;
  // A cut at or past the end cuts nothing; the tail is still marked.
  if (physical >= size) return 0;
  StartCounter(m_TruncateCounter);
  CXoError e = m_pSFile->Truncate(static_cast<CXoFile::offset>(physical));
  StopCounter(m_TruncateCounter);
  if (e.IsFailure()) {
    Log(1, kTag, __LINE__, "Truncate at physical offset [%llu], logical offset [%llu], error [%s]",
        static_cast<unsigned long long>(physical), static_cast<unsigned long long>(tail.uOffset), e.AsString().c_str());
    return -1;
  }
  Log(1, kTag, __LINE__, "Truncated file [%s] at physical offset [%llu], logical offset [%llu]. Prev Size [%llu]",
      path.c_str(), static_cast<unsigned long long>(physical), static_cast<unsigned long long>(tail.uOffset), size);
  if (m_pDeleteLog != nullptr) {
    LogDelete(m_pDeleteLog, __LINE__, "T %u %u %llu %u %llu %llu %llu", m_uMPId, m_uVolId, m_ullChunkId,
              info.uSFileNum, static_cast<unsigned long long>(physical), size,
              static_cast<unsigned long long>(tail.uOffset));
  }
  return 0;
}
