// The chunk metadata index on the appliance (".idx" in the chunk's path): created or opened by its
// first entry, searched by key, flushed with the metadata object, and measured.

#include "MediaFileSystem/HPStoreOnceFS.h"

namespace {

const char kOpenTag[] = "OpenMetaDataIndexFile";
constexpr long long kMMErrNoInterface = 105;

}  // namespace

int HPStoreOnce_FS::OpenMetaDataIndexFile(HPStoreOnceFSOpenMode mode) {
  if (!m_pChunkMDIndex) m_pChunkMDIndex = std::make_unique<ChunkMDIndex>(&m_FSInitParams, nullptr);
  if (m_pChunkMDIndex->IsValid()) return 0;
  ChunkMDIndex::Options options{false, true, true};
  if (mode == kOpenRead) {
    CXoError e = m_pChunkMDIndex->Open(m_strIndexPath, 1, options);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot open the chunk metadata index file [%s], error=%s", kOpenTag, m_strIndexPath.c_str(),
          e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
    m_bIndexReadOnly = true;
    return 0;
  }
  if (mode != kOpenCreate) return RefuseOpenMode("metadata", m_strIndexPath, mode);

  CFSInterface* fs = GetFSInterface();
  bool exists = false;
  CXoError e = fs != nullptr ? fs->Exists(m_strIndexPath, exists)
                             : FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoInterface, "No file-system interface");
  if (e.IsFailure()) {
    Log(1, "%s: Cannot find if index file [%s] exists. Error [%s].", kOpenTag, m_strIndexPath.c_str(),
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  if (!exists) {
    if (!HaveObjectTags(m_strIndexPath)) return -1;
    e = m_pChunkMDIndex->Create(m_strIndexPath, options);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot create index file [%s]. Error [%s].", kOpenTag, m_strIndexPath.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
  } else {
    e = m_pChunkMDIndex->Open(m_strIndexPath, 2, options);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot open index file [%s]. Error [%s].", kOpenTag, m_strIndexPath.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
  }
  m_bIndexReadOnly = false;
  return 0;
}

// An index that a search opened read-only is opened again for writing before the entry goes in:
// its Close would drop the entry, which the add had reported as made.
int HPStoreOnce_FS::AddChunkMetaDataIndexEntry(SChunkMetaDataIndexEntry& entry) {
  static const char kTag[] = "AddChunkMetaDataIndexEntry";
  if (m_pChunkMDIndex && m_pChunkMDIndex->IsValid() && m_bIndexReadOnly) {
    CXoError e = m_pChunkMDIndex->Close();
    m_bIndexReadOnly = false;
    if (e.IsFailure()) {
      Log(1, "%s: Cannot close the chunk metadata index file [%s] opened for reading, error=%s", kTag,
          m_strIndexPath.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
  }
  const int opened = OpenMetaDataIndexFile(kOpenCreate);
  if (opened != 0) {
    Log(1, "Failed to open metadata file. iRet [%d].", opened);
    return -1;
  }
  entry.OwnerValue32 = ~0ULL;
  CXoError e = m_pChunkMDIndex->AddEntry(&entry);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot add entry into the chunk metadata index file, error=%s", kTag, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return 0;
}

long long HPStoreOnce_FS::SearchChunkMetaDataIndex(unsigned long long key, SChunkMetaDataIndexEntry& entry) {
  static const char kTag[] = "SearchChunkMetaDataIndex";
  const int opened = OpenMetaDataIndexFile(kOpenRead);
  if (opened != 0) {
    Log(1, "Failed to open metadata file. iRet [%d].", opened);
    return -1;
  }
  int64_t position = -1;
  int64_t low = 0;
  int64_t high = static_cast<int64_t>(m_pChunkMDIndex->m_Header.TotalEntries) - 1;
  CXoError e = m_pChunkMDIndex->SearchEntry(key, &entry, &position, low, high);
  if (e.IsFailure()) {
    Log(1, "%s:%d Cannot search the index entry for offset [%llu], error=%s", kTag, __LINE__, key,
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return position == -1 ? 1 : 0;
}

int HPStoreOnce_FS::FlushMetaDataFile() {
  if (m_pMetaDataFile && m_pMetaDataFile->IsValid()) {
    CXoError e = m_pMetaDataFile->Flush();
    if (e.IsFailure()) {
      Log(1, "Failed to flush the metadata file, error=%s", e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
  }
  if (m_pChunkMDIndex && m_pChunkMDIndex->IsValid()) {
    CXoError e = m_pChunkMDIndex->Flush();
    if (e.IsFailure()) {
      Log(1, "Failed to flush the chunk metadata index file, error=%s", e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
  }
  return 0;
}

CXoError HPStoreOnce_FS::GetChunkMetadataIndexSize(unsigned long long& size) {
  size = 0;
  if (!m_pChunkMDIndex || !m_pChunkMDIndex->IsValid()) return CXoError::Success();
  uint64_t expected = 0;
  CXoError e = m_pChunkMDIndex->GetSize(expected);
  size = expected;
  if (e.IsFailure()) return e.Push(FXCodeLocation{"HPStoreOnceFS", __PRETTY_FUNCTION__, __LINE__});
  return CXoError::Success();
}
