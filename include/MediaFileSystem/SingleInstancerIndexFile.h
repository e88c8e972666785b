// CIndexFile: a file of fixed-size, key-ordered, CRC-protected records behind a 128-byte header
// (layouts in SingleInstancerIndexRecords.h).
//
// Every byte moves through a page cache of 32 KiB pages. Changes stay in memory until Flush (or,
// without a change journal, until the cache evicts a modified page). In change-file mode Flush
// first writes every modified page to a journal "<name>.change", then writes the pages in place,
// then removes the journal; Open replays a journal that a crash left behind, so the file always
// opens in the state of a completed Flush.
//
// Container indexes ("SFILIDX") are locked against other processes while they are open: readers
// share the lock, a writer holds it alone, and a conflicting Create or Open fails at once. The
// objects of one process share its lock and never exclude each other.
//
// Typical use:
//   CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic> idx(&params, &log);
//   CIndexFile<...>::Options opt{false, true, true};
//   idx.Create(path, opt);  idx.AddEntry(&rec);  idx.Flush();  idx.Close();
//
// An object is used by one thread at a time unless its owner gives it a critical section (m_pcs),
// which the record operations, the page cache and Flush then hold.
#pragma once

#include <string.h>

#include <boost/dynamic_bitset.hpp>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerIndexRecords.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logging.h"
#include "platform/remote_storage.h"
#include "platform/threads.h"

struct CIndexFileTestAccess;  // defined by the tests only

// The file whose container index lock an object shares with the other objects of its process.
struct CIndexFileLockShare {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  bool Exclusive = false;
  bool Held = false;
};

template <typename IndexRecord, const char* IndexHdrMagic>
class CIndexFile {
 public:
  using Traits = CIndexRecordTraits<IndexRecord>;

  struct Options {
    bool bUseChangeFile = false;  // journal every Flush; no page is evicted between Flushes
    bool bCacheKeys = false;      // searches cache the upper levels of their search tree
    bool bAligned = false;        // Create makes an aligned (version 4) file
    bool bTrimTornTail = false;   // Open read-write drops what an unfinished Flush left of an
                                  // aligned file without a journal; Open read-only, when the last
                                  // record fails its CRC, reads only the records before it (see
                                  // TrimTornTail)
  };

  // One cached page: the file bytes [PageNo * IDX_PAGE_SIZE, + Size).
  struct Page {
    uint64_t PageNo = 0;
    int32_t Modified = 0;
    uint32_t Size = 0;
    typename std::list<Page*>::iterator LruPos;
    char Data[IDX_PAGE_SIZE] = {};
  };

  // One record of a journal replayed at Open, laid over the file (see ReadPage): L bytes at
  // m_JournalBytes[At] that go to byte Place of page PageNo, or make up the whole page.
  struct JournalExtent {
    uint64_t PageNo = 0;
    uint32_t Place = 0;
    uint32_t Length = 0;
    uint64_t At = 0;
    bool Replace = false;
  };

  struct SCachedKey {
    uint64_t Key = 0;
    int64_t Pos = 0;
  };

  // Either argument may be null; without init parameters the object has no file to work on.
  CIndexFile(const CFSInitParams* params, EvDebug* log);
  ~CIndexFile();
  CIndexFile(const CIndexFile&) = delete;
  CIndexFile& operator=(const CIndexFile&) = delete;

  // Create and Open are meant for a closed object. On one still open, the new file takes the
  // earlier one's place: a writer's changes to another file are flushed to it first (a failed
  // flush fails the call and leaves the object as it was), and the object keeps one lock, that of
  // the new file; a failed call leaves it closed and holding no lock.
  //
  // Creates (or empties) the file, writes a fresh header and leaves the object open read-write.
  // Refused for the record type that is only read (SChunkMetaDataIndexEntry90), as are appends.
  CXoError Create(std::string name, Options& options);
  // Opens an existing file read-only (mode 1) or read-write (mode 2), replays a journal left by
  // an interrupted Flush, and establishes the record count and the last key. A file without a
  // journal whose last record fails its CRC fails as corrupt, unless a writer asks to trim it.
  CXoError Open(std::string name, int mode, Options& options);
  // Whether the file can be opened for reading: opens it and closes it again at once, without
  // touching the object's state or the file's lock.
  CXoError TryOpen(const std::string& name);
  // Flushes (read-write mode), unlocks, closes and drops the page cache. Always ends closed.
  CXoError Close();
  // Writes the header and every modified page; in change-file mode through the journal.
  CXoError Flush();

  // Reads a header from an open file interface at its current position and gives its version.
  static CXoError GetFileVersion(CFileInterface* file, const char* magic, int& version);

  bool IsValid() { return m_pFp != nullptr && m_pFp->IsValid(); }
  // The file interface the object works on (its owner reads the transfer counters of cloud
  // objects through it); null when the object has none.
  CFileInterface* GetFileInterface() { return m_pFp.get(); }
  // The key of the last record: as Open found it (deleted or not; 0 for an empty file), then of
  // each record appended since.
  uint64_t GetLastKey() const { return m_LastKey; }
  unsigned int GetVersion() const { return m_Version; }

  // Record operations. Indexes are 0-based; -1 in an out-index means none.
  CXoError AddEntry(IndexRecord* rec);
  CXoError GetEntry(int64_t index, IndexRecord* rec);
  CXoError GetFirstEntry(int64_t* pIndex, IndexRecord* rec);
  CXoError GetNextEntry(int64_t* pIndex, IndexRecord* rec);
  // Binary search of `key` among records lo..hi (narrowed in place; on a miss lo is the index at
  // which the key would be inserted).
  CXoError SearchEntry(uint64_t key, IndexRecord* rec, int64_t* pPos, int64_t& lo, int64_t& hi);
  // The first record whose key is greater than `key`.
  CXoError SearchNextEntry(uint64_t key, IndexRecord* rec, int64_t* pPos);
  CXoError UpdateEntry(int64_t iPosition, IndexRecord* rec);
  // Drops the records from index `count` on. For a writer that continues an aligned file without
  // a journal and finds at its end records that a power loss left pointing to nothing; refused
  // for other files, for a reader, and while changes wait for a Flush.
  CXoError DropEntriesFrom(uint64_t count);
  // The size the file has for its record count, checked against the logical size.
  CXoError GetSize(uint64_t& size);

  // The owner reads the record count here and sets m_EngineId before Create.
  SIndexFileHeader m_Header;
  uint32_t m_EngineId = 0;
  // Optional, recursive, owned by the owner.
  OzCriticalSectionH* m_pcs = nullptr;

 protected:
  friend struct ::CIndexFileTestAccess;

  // Header.
  CXoError WriteHeader();
  CXoError ReadHeader();

  // Page cache.
  CXoError Write(const char* buffer, unsigned int length);
  CXoError Read(char* buffer, unsigned int length);
  CXoError GetFreePage(std::unique_ptr<Page>* page);
  CXoError EvictPage(std::unique_ptr<Page>* page);
  CXoError WritePage(const std::unique_ptr<Page>& page);
  CXoError ReadPage(const std::unique_ptr<Page>& page);

  // Makes a rename or a removal in `path`'s folder durable.
  CXoError FlushFolderOf(const std::string& path);

  // Locks.
  CXoError LockFile();
  CXoError UnlockFile();

  // Journal.
  int WriteChangeFile();
  CXoError ApplyChanges();
  CXoError WriteModifiedPage(const std::unique_ptr<Page>& page, const char* tag);
  CXoError FlushWrittenPages(const char* tag);
  CXoError CheckAndApplyChangeFile(bool* applied);
  CXoError ReadChangeFile();
  CXoError ParseChangeFile(const std::string& body, uint64_t indexSize, std::vector<JournalExtent>* extents,
                           int* line);
  CXoError ApplyJournal();
  using JournalExtentRange = std::pair<typename std::vector<JournalExtent>::const_iterator,
                                       typename std::vector<JournalExtent>::const_iterator>;
  JournalExtentRange JournalExtentsOf(uint64_t pageNo) const;
  void LayJournalExtent(Page& page, const JournalExtent& x) const;

  // Records.
  CXoError AddEntryInternal(IndexRecord* rec);
  CXoError WriteEntry(IndexRecord* rec);
  CXoError GetEntry(IndexRecord* rec);
  // What a record holds after a power loss: itself, zeros where its page never reached the
  // disk, or anything else.
  enum class RecordState { kValid, kZeros, kDamaged };
  CXoError ReadRecordState(int64_t index, IndexRecord* rec, RecordState* state);
  CXoError TrimTornTail(bool truncateFile);
  CXoError TruncateRecords(uint64_t count, const char* tag);

  const char* m_szMagic = IndexHdrMagic;
  std::unique_ptr<CFileInterface> m_pFp;
  std::unique_ptr<CFSInterface> m_pFs;
  std::string m_FileName;
  std::string m_ChangeFileName;
  uint64_t m_Size = 0;
  int32_t m_iMode = 0;
  int m_nCacheNodes = 0;
  bool m_bCacheClear = false;
  boost::dynamic_bitset<unsigned long> m_CacheUsed;
  std::vector<SCachedKey> m_CachedKeys;
  EvDebug* m_pDbg = nullptr;
  EvDebug m_Dbg;
  bool m_bOpen = false;
  bool m_bDirty = false;
  uint32_t m_Version = 0;
  uint32_t m_RecSize = sizeof(IndexRecord);
  uint64_t m_LastKey = 0;
  uint64_t m_Pos = 0;
  bool m_bCacheKeys = true;
  std::list<Page*> m_Lru;
  std::map<uint64_t, std::unique_ptr<Page>> m_Pages;
  // The cached pages by page number (null where a page is not cached): a lookup without a tree
  // walk, which searches make for every probe. It covers page numbers below kMaxIndexedPages
  // only; a page beyond (a read far past the end of the file) is found in m_Pages, so that no
  // page number can make this table grow without bound.
  std::vector<Page*> m_PageIndex;
  // A journal replayed at Open, kept by a reader until Close and by a writer until its pages are
  // in place: its bytes after the checksum, and its records ordered by page (within a page, as in
  // the journal).
  std::string m_JournalBytes;
  std::vector<JournalExtent> m_JournalExtents;
  uint32_t m_MaxPages = kDefaultMaxPages;
  bool m_bUseChangeFile = false;
  std::unique_ptr<CSkarvoLock> m_pSkarvoLock;
  // This object's share of the process's lock on a container index on a plain file system.
  CIndexFileLockShare m_LockShare;

 private:
  static constexpr uint32_t kDefaultMaxPages = 32;
  static constexpr uint64_t kMaxIndexedPages = uint64_t{1} << 18;  // 8 GiB of file, 2 MiB of table
  static constexpr uint32_t kUnboundedPages = 0xFFFFFFFFu;
  static constexpr int kChangeFileOpenAttempts = 5;
  static constexpr uint32_t kChangeFileRetryMs = 1000;
  static constexpr uint32_t kChangeFileReadChunk = 4096;
  static constexpr uint32_t kChangeFileReadLimit = 1u << 30;
  static constexpr uint32_t kChangeFileV1BlockSize = 4096;

  void ApplyOptions(const Options& options);
  bool IsMagic(const char* text) const { return strcmp(m_szMagic, text) == 0; }
  const CFSInitParams* InitParams() const { return m_pFs ? &m_pFs->GetInitParams() : nullptr; }
  int StorageType() const { return m_pFs ? m_pFs->GetType() : 0; }
  bool IsCloud() const { return StorageType() == kFSTypeCloud; }
  bool IsLockedFile() const;
  bool IsSkarvo() const { return CSkarvoFS::IsSkarvoPath(m_FileName); }
  CXoError OpenIndexFile(int flags, int permissions, int writeOption);
  CXoError RemoveStaleChangeFiles();
  void ReleaseLockAfterFailure(bool locked);
  bool HoldsLockFromBefore() const;
  CXoError LeaveEarlierFile(const std::string& name, const char* tag);
  void DropPages();
  void ForgetPage(uint64_t pageNo);
  CXoError LoadPage(uint64_t pageNo, bool read, const char* tag, Page** page);
  CXoError PageAtPos(bool readIfLoaded, const char* tag, Page** page);
  CXoError SeekToPage(uint64_t pageNo, const char* tag);
  CXoError NegativeIndex(const char* tag, int64_t index);
  CXoError ReadOnlyRecords(const char* tag, const std::string& name);
  // Asks the processor for the bytes of record `index` when its page is cached.
  void PrefetchRecord(int64_t index) const;
  void PrefetchProbes(int64_t lo, int64_t mid, int64_t hi) const;
  void ResetPageCache();
  void ClearKeyCache();
  uint64_t RecordPosition(int64_t index) const {
    return IndexRecordPosition(index, m_Header.BlockSize, m_RecSize);
  }
  Page* FindPage(uint64_t pageNo);
  Page* InsertPage(std::unique_ptr<Page> page);
  void TailFill();
  std::string ChangeFileTempName() const { return m_ChangeFileName + kChangeFileTempSuffix; }

  static constexpr const char* kChangeFileSuffix = ".change";
  static constexpr const char* kChangeFileTempSuffix = ".tmp";
};

// The library instantiates the template for its four record types (index/SingleInstancerIndexFile.cc,
// which holds the definitions); callers use these instantiations.
extern template class CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;
extern template class CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>;
extern template class CIndexFile<SChunkMetaDataIndexEntry90, g_szChunkIndexHdrMagic>;
extern template class CIndexFile<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>;
