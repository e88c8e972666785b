// The chunk metadata index (the metadata file's name with ".idx"): one record per object, keyed by
// the offset of the object's metadata in the metadata file. The writer creates it with the chunk's
// first record and goes on without it when that fails (it is an aid, not the chunk's data); readers
// look a record up by its offset, or take the first one after an offset, in the current 80-byte
// format or the older 32-byte one, which is only read.

#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

const char kAddOp[] = "SingleInstancer_FS::AddChunkMetaDataIndexEntry";
const char kNextTag[] = "SingleInstancer_FS::GetNextEntry";

#define MDINDEX_ASSERT(expr, text, function) \
  ozassert(static_cast<bool>(expr), text, "SingleInstancerFS", function, __LINE__)

}  // namespace

int SingleInstancer_FS::AddChunkMetaDataIndexEntry(SChunkMetaDataIndexEntry& entry) {
  MDINDEX_ASSERT(m_bNewOZSIFormat, "m_bNewOZSIFormat == true", kAddOp);
  if (m_MDIdxState == 2) return 0;
  if (m_MDIdxState == -1) {
    std::optional<CImpersonator> scope;
    if (!EnterImpersonation(scope, kAddOp)) return -1;
    try {
      // Creating empties the file: one that holds records is never created again.
      bool exists = false;
      CXoError e = IndexFileExists(m_strChunkMDIdxName, exists);
      if (e.IsSuccess() && exists) {
        e = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "The chunk metadata index [%s] exists and is not open",
                                    m_strChunkMDIdxName.c_str());
      }
      ChunkMDIndex::Options options{false, true, true};
      if (e.IsSuccess()) e = m_fdChunkMDIdx.Create(m_strChunkMDIdxName, options);
      if (e.IsFailure()) {
        Log(1, "%s: Cannot create index file [%s], error=%s", kAddOp, m_strChunkMDIdxName.c_str(), e.AsString().c_str());
        m_MDIdxState = 2;
        return 0;
      }
      m_MDIdxState = 1;
      m_bChunkFolderChanged = true;
    } catch (const OzException& ex) {
      ReportScopeException(kAddOp, ex);
      return -1;
    }
  }
  MDINDEX_ASSERT(m_MDIdxState == 1, "m_MDIdxState == 1", kAddOp);
  CXoError e = m_fdChunkMDIdx.AddEntry(&entry);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot add entry into the chunk metadata index file, error=%s", kAddOp, e.AsString().c_str());
    RecordFailure(e);
    return -1;
  }
  return 0;
}

// 0 when the index is open (opening it read-only when it was not); otherwise the search's result.
template <class Index>
int SingleInstancer_FS::OpenChunkMDIndexForSearch(Index& index, const char* tag, bool decide) {
  if (index.IsValid()) return 0;
  m_strChunkMDIdxName = m_strMetaDataFileName + ".idx";
  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, tag)) return decide ? -2 : -1;
  try {
    typename Index::Options options{false, true, true, true};
    CXoError e = index.Open(m_strChunkMDIdxName, 1, options);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot open the chunk metadata index file [%s], error=%s", tag, m_strChunkMDIdxName.c_str(),
          e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return decide ? MarkBadDecision(m_strChunkMDIdxName) : -1;
    }
  } catch (const OzException& ex) {
    ReportScopeException(tag, ex);
    return decide ? MarkBadDecision(m_strDataFileName) : -1;
  }
  return 0;
}

template <class Index, class Entry>
int SingleInstancer_FS::SearchChunkMDIndexExact(Index& index, unsigned long long offset, Entry& entry,
                                                const char* tag, bool decide) {
  MDINDEX_ASSERT(m_bNewOZSIFormat, "m_bNewOZSIFormat == true", tag);
  const int opened = OpenChunkMDIndexForSearch(index, tag, decide);
  if (opened != 0) return opened;
  int64_t position = -1;
  int64_t low = 0;
  int64_t high = static_cast<int64_t>(index.m_Header.TotalEntries) - 1;
  CXoError e = index.SearchEntry(offset, &entry, &position, low, high);
  if (e.IsFailure()) {
    Log(1, "%s:%d Cannot search the index entry for offset [%llu], error=%s", tag, __LINE__, offset,
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return decide ? MarkBadDecision(m_strChunkMDIdxName) : -1;
  }
  return position >= 0 ? 0 : 1;
}

template <class Index, class Entry>
int SingleInstancer_FS::SearchChunkMDIndexNext(Index& index, unsigned long long offset, Entry& entry) {
  MDINDEX_ASSERT(m_bNewOZSIFormat, "m_bNewOZSIFormat == true", kNextTag);
  if (OpenChunkMDIndexForSearch(index, kNextTag, false) != 0) return -1;
  // The search reads into a record of its own: `entry` changes only when a record follows.
  Entry found{};
  int64_t position = -1;
  CXoError e = index.SearchNextEntry(offset, &found, &position);
  if (e.IsFailure()) {
    Log(1, "%s:%d Cannot search the index entry for offset [%llu], error=%s", kNextTag, __LINE__, offset,
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  if (position < 0) return -2;
  entry = found;
  return 0;
}

int SingleInstancer_FS::SearchChunkMetaDataIndex(unsigned long long offset, SChunkMetaDataIndexEntry& entry) {
  return SearchChunkMDIndexExact(m_fdChunkMDIdx, offset, entry, "SingleInstancer_FS::SearchChunkMetaDataIndex", true);
}

int SingleInstancer_FS::SearchNextChunkMetaDataIndex(unsigned long long offset, SChunkMetaDataIndexEntry& entry) {
  return SearchChunkMDIndexNext(m_fdChunkMDIdx, offset, entry);
}

int SingleInstancer_FS::SearchChunkMetaDataIndex90(unsigned long long offset, SChunkMetaDataIndexEntry90& entry) {
  return SearchChunkMDIndexExact(m_fdChunkMDIdx90, offset, entry, "SingleInstancer_FS::SearchChunkMetaDataIndex90",
                                 false);
}

int SingleInstancer_FS::SearchNextChunkMetaDataIndex90(unsigned long long offset, SChunkMetaDataIndexEntry90& entry) {
  return SearchChunkMDIndexNext(m_fdChunkMDIdx90, offset, entry);
}

CXoError SingleInstancer_FS::GetChunkMetadataIndexSize(uint64_t& size) {
  size = 0;
  if (!m_fdChunkMDIdx.IsValid()) return CXoError::Success();
  CXoError e = m_fdChunkMDIdx.GetSize(size);
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}
