// Continuing a chunk that an earlier job wrote: the metadata offset at the end of the metadata
// file, both index files open for appending, and the container number at the highest one the
// container index has ever recorded, so new objects go into containers of their own after it.
// The index files have no journal: after a power loss in the middle of a checkpoint they may end
// in records that never reached the disk whole, and opening them for appending drops those, so
// that the new records follow the last valid one. The metadata index may also end in records of
// metadata that the power loss took; they go too (DropRecordsPastMetaData).

#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

const char kTag[] = "InitExistingChunkForWriting";

// The records at the end of the chunk metadata index whose metadata begins at or past `end`, the
// end of the metadata file: the index's pages reached the disk (written out by its cache, or by
// a close after the last checkpoint) and the power loss took the metadata they point to. A
// completed checkpoint flushes the metadata before the index, so none of its records is among
// them. The new metadata goes at `end` and its records must follow the others: these go.
CXoError DropRecordsPastMetaData(SingleInstancer_FS::ChunkMDIndex& index, uint64_t end, uint64_t* dropped) {
  *dropped = 0;
  if (index.GetLastKey() < end) return CXoError::Success();
  uint64_t count = index.m_Header.TotalEntries;
  while (count > 0) {
    SChunkMetaDataIndexEntry record{};
    CXoError e = index.GetEntry(static_cast<int64_t>(count - 1), &record);
    if (e.IsFailure()) return e.Push(FX_LOCATION);
    if (record.Key < end) break;
    --count;
  }
  *dropped = index.m_Header.TotalEntries - count;
  CXoError e = index.DropEntriesFrom(count);
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}

}  // namespace

CXoError SingleInstancer_FS::InitializeExistingChunkForWriting() {
  CXoError e = m_pFdMetaDataFile->Seek(0, SEEK_END, nullptr);
  if (e.IsFailure()) {
    Log(1, "%s: Failed to create the metadata file [%s], error=%s", kTag, m_strMetaDataFileName.c_str(),
        e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  m_MetaDataFileOffset = 0;
  CXoFile::offset end = 0;
  e = m_pFdMetaDataFile->Seek(0, SEEK_CUR, &end);
  if (e.IsFailure()) {
    Log(1, "%s:%d: Cannot get the current Meta file offset for\file [%s], error=%s", kTag, __LINE__,
        m_strMetaDataFileName.c_str(), e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  m_MetaDataFileOffset = static_cast<uint64_t>(end);

  try {
    CImpersonator scope(m_LoggedOnUser.GetToken());
    m_MDIdxState = -1;
    bool exists = false;
    e = IndexFileExists(m_strChunkMDIdxName, exists);
    if (e.IsFailure()) {
      Log(1, "%s: Failed to check if file [%s] exists or not. Error [%s]", kTag, m_strChunkMDIdxName.c_str(),
          e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    ChunkMDIndex::Options options{false, true, true, true};
    if (exists) {
      e = m_fdChunkMDIdx.Open(m_strChunkMDIdxName, 2, options);
      uint64_t dropped = 0;
      if (e.IsSuccess()) {
        e = DropRecordsPastMetaData(m_fdChunkMDIdx, m_MetaDataFileOffset, &dropped);
        if (e.IsFailure()) (void)m_fdChunkMDIdx.Close();
      }
      if (e.IsFailure()) {
        Log(1, "%s: Cannot open index file [%s], error=%s. Continuing...", kTag, m_strChunkMDIdxName.c_str(),
            e.AsString().c_str());
        m_MDIdxState = 2;
      } else {
        if (dropped != 0) {
          Log(1, "%s: Dropped [%llu] records of metadata past the end [%llu] of the metadata file from [%s]", kTag,
              static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(m_MetaDataFileOffset),
              m_strChunkMDIdxName.c_str());
        }
        m_MDIdxState = 1;
      }
    }

    e = IndexFileExists(m_strSfileIdxName, exists);
    if (e.IsFailure()) {
      Log(1, "%s: Failed to check if file [%s] exists or not. Error [%s]", kTag, m_strSfileIdxName.c_str(),
          e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    if (!exists) return CXoError::Success();

    SfileIndex::Options sfileOptions{false, true, true, true};
    e = m_fdSFileIdx.Open(m_strSfileIdxName, 2, sfileOptions);
    if (e.IsFailure()) {
      Log(1, "%s: Failed to open file [%s]. Error [%s]", kTag, m_strSfileIdxName.c_str(), e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    // Deleted records count too: a pruned container keeps its number, so its file is never made
    // again over what a pruner may still find in it.
    m_SfileNumber = 0;
    const int64_t records = static_cast<int64_t>(m_fdSFileIdx.m_Header.TotalEntries);
    for (int64_t i = 0; i < records; ++i) {
      SSfileContainerIndexEntry entry{};
      e = m_fdSFileIdx.GetEntry(i, &entry);
      if (e.IsFailure()) {
        Log(1, "%s: Failed to enumerate the sfile container idx entries. Error [%s]", kTag, e.AsString().c_str());
        return e.Push(FX_LOCATION);
      }
      if (entry.ContainerNo > m_SfileNumber) m_SfileNumber = entry.ContainerNo;
    }
    return CXoError::Success();
  } catch (const OzException& ex) {
    Log(1, "%s: Caught exception: %s", kTag, ex.text.c_str());
    return FXErrorUtil::ErrorWin32(FX_LOCATION, static_cast<unsigned int>(ex.code), "Impersonation failure");
  }
}
