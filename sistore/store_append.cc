// Continuing a chunk that an earlier job wrote: the metadata offset at the end of the metadata
// file, both index files open for appending, and the container number at the highest one the
// container index has ever recorded, so new objects go into containers of their own after it.

#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

const char kTag[] = "InitExistingChunkForWriting";

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
    ChunkMDIndex::Options options{false, true, true};
    if (exists) {
      e = m_fdChunkMDIdx.Open(m_strChunkMDIdxName, 2, options);
      if (e.IsFailure()) {
        Log(1, "%s: Cannot open index file [%s], error=%s. Continuing...", kTag, m_strChunkMDIdxName.c_str(),
            e.AsString().c_str());
        m_MDIdxState = 2;
      } else {
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

    SfileIndex::Options sfileOptions{false, true, true};
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
