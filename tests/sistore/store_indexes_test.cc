// The chunk's two index files through the store: container index records (appended in key order
// with their container number, walked past deleted ones, opened for a walk with retries and one
// recovery), and the chunk metadata index (created with the chunk's first record or given up,
// searched by offset in the current and the older format).
//
// The store here serves a cloud mount path: it takes no file flusher, so no thread starts.

#include <filesystem>
#include <fstream>

#include "backup_job.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;

constexpr long long kChunkId = 4;

class StoreIndexTest : public StoreTest {
 public:
  // A new chunk: kChunkId for the first store of a test, the next ids for further ones.
  std::unique_ptr<TestStore> Chunk() { return BackupChunk(nextChunkId++, true, 1); }
  long long nextChunkId = kChunkId;

  static SSfileContainerIndexEntry Record(uint64_t key, uint32_t deleted = 0) {
    SSfileContainerIndexEntry r{};
    r.Key = key;
    r.DataFileOffset = key * 10;
    r.Deleted = deleted;
    return r;
  }

  // A store with a container index of these keys (1 marks a deleted one) in container 1.
  std::unique_ptr<TestStore> ChunkWithRecords(const std::vector<std::pair<uint64_t, uint32_t>>& records) {
    auto store = Chunk();
    unsigned int number = 0;
    unsigned long offset = 0;
    EXPECT_EQ(0, store->StartDataFile2(sitest::kEngineId, &number, &offset));
    for (const auto& [key, deleted] : records) {
      SSfileContainerIndexEntry r = Record(key, deleted);
      EXPECT_EQ(0, store->AddSfileContainerIndexEntry(r));
    }
    return store;
  }
};

TEST_F(StoreIndexTest, ContainerRecordsTakeTheCurrentContainerNumberAndStaySorted) {
  auto store = ChunkWithRecords({{5, 0}});
  store->m_SfileNumber = 3;
  SSfileContainerIndexEntry r = Record(9);
  r.ContainerNo = 77;
  EXPECT_EQ(0, store->AddSfileContainerIndexEntry(r));
  EXPECT_EQ(3u, r.ContainerNo);

  SSfileContainerIndexEntry same = Record(9);
  EXPECT_EQ(-1, store->AddSfileContainerIndexEntry(same));
  EXPECT_EQ(3u, same.ContainerNo) << "the number is written even when the append fails";
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::AddSfileContainerIndexEntry: Cannot write to index file"));
  EXPECT_TRUE(platform::LogContains("Key is not sorted"));
  EXPECT_EQ(0u, platform::MediaManager().Count("markFull"));
  EXPECT_EQ(9u, store->GetLastObjectNumber());

  // A last key of 0 takes any key, 0 again among them.
  auto zero = ChunkWithRecords({{0, 0}});
  SSfileContainerIndexEntry again = Record(0);
  EXPECT_EQ(0, zero->AddSfileContainerIndexEntry(again));
}

TEST_F(StoreIndexTest, WalkSkipsDeletedRecordsAndEndsWithMinusOne) {
  auto store = ChunkWithRecords({{1, 0}, {2, 1}, {3, 0}, {4, 0}, {5, 1}, {6, 0}, {7, 1}});
  std::vector<uint64_t> keys;
  int64_t pos = -1;
  SSfileContainerIndexEntry e{};
  int rc = store->GetFirstSfileContainerIndexEntry(&pos, e);
  while (rc == 0) {
    keys.push_back(e.Key);
    rc = store->GetNextSfileContainerIndexEntry(&pos, e);
  }
  EXPECT_EQ(1, rc);
  EXPECT_EQ(-1, pos);
  EXPECT_EQ((std::vector<uint64_t>{1, 3, 4, 6}), keys);

  pos = 4;  // the first record after index 4 that is not deleted
  EXPECT_EQ(0, store->GetFirstSfileContainerIndexEntry(&pos, e));
  EXPECT_EQ(5, pos);
  EXPECT_EQ(6u, e.Key);

  auto deletedOnly = ChunkWithRecords({{1, 1}, {2, 1}});
  pos = -1;
  EXPECT_EQ(1, deletedOnly->GetFirstSfileContainerIndexEntry(&pos, e));
  EXPECT_EQ(-1, pos);
}

TEST_F(StoreIndexTest, ClosedContainerIndexAnswersWithoutTouchingTheLastError) {
  auto store = ChunkWithRecords({{1, 0}});
  ASSERT_EQ(0, store->Close());
  store->MediaFSSetLastError(123);
  platform::ResetLogs();
  int64_t pos = 0;
  SSfileContainerIndexEntry e{};
  EXPECT_EQ(-1, store->GetNextSfileContainerIndexEntry(&pos, e));
  EXPECT_EQ(-2, pos);
  EXPECT_EQ(123, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::Logs().empty());
  EXPECT_EQ(0u, store->GetLastObjectNumber());
  uint64_t size = 99;
  EXPECT_TRUE(store->GetSfileContainerIndexSize(size).IsSuccess());
  EXPECT_EQ(0u, size);
}

TEST_F(StoreIndexTest, LastObjectNumberIsTheLowHalfOfTheLastKey) {
  auto store = ChunkWithRecords({{(1ull << 32) + 5, 0}});
  EXPECT_EQ(5u, store->GetLastObjectNumber());
  uint64_t size = 0;
  ASSERT_TRUE(store->GetSfileContainerIndexSize(size).IsSuccess());
  EXPECT_EQ(512u + 56u, size);
}

struct AttemptsCase {
  const char* name;
  long long configured;  // -99: absent
  long long opens;
  long long sleptMs;
};

// A walk opens the file read-only; a failed open gets one compaction recovery and one more open
// for free, then "AuxcopySfileIdxOpenAttemps" tries in all, 5 s apart. 0 or less means one.
TEST_F(StoreIndexTest, WalkOpensWithRetriesAndOneRecovery) {
  const AttemptsCase cases[] = {
      {"absent: 2", -99, 3, 5000}, {"1", 1, 2, 0}, {"3", 3, 4, 10000}, {"0 means 1", 0, 2, 0}, {"-4 means 1", -4, 2, 0},
  };
  for (const AttemptsCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    if (c.configured != -99) SetConfig("AuxcopySfileIdxOpenAttemps", c.configured);
    auto store = ChunkWithRecords({{1, 0}});
    ASSERT_EQ(0, store->Close());
    // A lock held elsewhere: access denied, which is not the chunk's fault.
    platform::Faults().Add({FsOp::Open, "SFILE_CONTAINER.idx", 1, -1, EACCES});
    const long long opened = platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx");
    int64_t pos = -1;
    SSfileContainerIndexEntry e{};
    EXPECT_EQ(-2, store->GetFirstSfileContainerIndexEntry(&pos, e));
    EXPECT_EQ(c.opens, platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx") - opened);
    EXPECT_EQ(c.sleptMs, platform::SleptMs());
    EXPECT_EQ(996, store->MediaFSGetLastError());
  }

  // The value is read once per process.
  platform::ResetAll();
  SetConfig("AuxcopySfileIdxOpenAttemps", 1);
  nextChunkId = kChunkId + 10;
  auto store = ChunkWithRecords({{1, 0}});
  ASSERT_EQ(0, store->Close());
  int64_t pos = -1;
  SSfileContainerIndexEntry e{};
  EXPECT_EQ(0, store->GetFirstSfileContainerIndexEntry(&pos, e));
  ASSERT_EQ(0, store->Close());
  SetConfig("AuxcopySfileIdxOpenAttemps", 7);
  platform::Faults().Add({FsOp::Open, "SFILE_CONTAINER.idx", 1, -1, EACCES});
  const long long opened = platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx");
  pos = -1;
  EXPECT_EQ(-2, store->GetFirstSfileContainerIndexEntry(&pos, e));
  EXPECT_EQ(2, platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx") - opened);
  EXPECT_EQ(1u, platform::LogCount("GetFirstSfileIdxEnt: SfileIdx open attemps = 1", 1));
  EXPECT_FALSE(platform::LogContains("SfileIdx open attemps = 7"));
}

// An index whose compaction stopped between the deletion of the index and the rename of its copy
// is put in place by the recovery, and the walk goes on.
TEST_F(StoreIndexTest, InterruptedCompactionOfTheIndexIsRecovered) {
  auto store = ChunkWithRecords({{1, 0}});
  ASSERT_EQ(0, store->Close());
  std::filesystem::rename(ContainerIndexPath(kChunkId), ContainerIndexPath(kChunkId) + ".compact2");
  int64_t pos = -1;
  SSfileContainerIndexEntry e{};
  EXPECT_EQ(0, store->GetFirstSfileContainerIndexEntry(&pos, e));
  EXPECT_EQ(1u, e.Key);
  EXPECT_FALSE(std::filesystem::exists(ContainerIndexPath(kChunkId) + ".compact2"));
}

TEST_F(StoreIndexTest, FailedRecoveryEndsTheWalkAtOnce) {
  auto store = ChunkWithRecords({{1, 0}});
  ASSERT_EQ(0, store->Close());
  std::filesystem::rename(ContainerIndexPath(kChunkId), ContainerIndexPath(kChunkId) + ".compact2");
  platform::Faults().Add({FsOp::Rename, "SFILE_CONTAINER.idx.compact2", 1, -1, EIO});
  const long long opened = platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx");
  int64_t pos = -1;
  SSfileContainerIndexEntry e{};
  EXPECT_EQ(-1, store->GetFirstSfileContainerIndexEntry(&pos, e));  // an I/O error: the chunk is bad
  EXPECT_EQ(1, platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx") - opened);
  EXPECT_TRUE(platform::LogContains("GetFirstSfileIdxEnt: Cannot recover SfileIdx ["));
  EXPECT_EQ(0, platform::SleptMs());
}

// ---- Chunk metadata index --------------------------------------------------------------------

SChunkMetaDataIndexEntry MetaRecord(uint64_t key) {
  SChunkMetaDataIndexEntry r{};
  r.Key = key;
  r.OwnerValue8 = key + 1;
  r.OwnerValue16 = key + 2;
  return r;
}

TEST_F(StoreIndexTest, FirstMetaDataRecordCreatesTheIndexOrTheChunkGoesOnWithoutIt) {
  auto store = Chunk();
  EXPECT_FALSE(store->ChunkMetaDataIndexExists());
  SChunkMetaDataIndexEntry r = MetaRecord(100);
  EXPECT_EQ(0, store->AddChunkMetaDataIndexEntry(r));
  EXPECT_EQ(1, store->m_MDIdxState);
  EXPECT_TRUE(std::filesystem::exists(MetaDataPath(kChunkId) + ".idx"));
  SChunkMetaDataIndexEntry same = MetaRecord(100);
  EXPECT_EQ(-1, store->AddChunkMetaDataIndexEntry(same));
  EXPECT_TRUE(platform::LogContains("Key is not sorted"));
  EXPECT_EQ(1, store->m_MDIdxState);
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(-1, store->m_MDIdxState);

  platform::ResetAll();
  store.reset();
  std::filesystem::remove_all(ChunkDir(kChunkId));
  nextChunkId = kChunkId;
  store = Chunk();
  platform::Faults().Add({FsOp::Open, "CHUNK_META_DATA_4.idx", 1, 1, EACCES});
  const long long lastError = store->MediaFSGetLastError();
  for (uint64_t key : {10, 20, 30}) {
    SChunkMetaDataIndexEntry dropped = MetaRecord(key);
    EXPECT_EQ(0, store->AddChunkMetaDataIndexEntry(dropped));
  }
  EXPECT_EQ(2, store->m_MDIdxState);
  EXPECT_TRUE(store->ChunkMetaDataIndexExists());
  EXPECT_EQ(1u, platform::LogCount("SingleInstancer_FS::AddChunkMetaDataIndexEntry: Cannot create index file [", 1));
  EXPECT_EQ(lastError, store->MediaFSGetLastError());
  EXPECT_EQ(1, platform::Faults().Calls(FsOp::Open, "CHUNK_META_DATA_4.idx"));
}

struct SearchCase {
  uint64_t offset;
  int exact;      // result of the exact search
  int next;       // result of the next-record search
  uint64_t found; // key the next-record search gives
};

const SearchCase kSearches[] = {
    {50, 1, 0, 100}, {100, 0, 0, 200}, {150, 1, 0, 200}, {200, 0, 0, 300}, {300, 0, -2, 0}, {400, 1, -2, 0},
};

TEST_F(StoreIndexTest, SearchesByMetaDataOffset) {
  auto store = Chunk();
  for (uint64_t key : {100, 200, 300}) {
    SChunkMetaDataIndexEntry r = MetaRecord(key);
    ASSERT_EQ(0, store->AddChunkMetaDataIndexEntry(r));
  }
  for (const SearchCase& c : kSearches) {
    SCOPED_TRACE(c.offset);
    SChunkMetaDataIndexEntry exact{};
    EXPECT_EQ(c.exact, store->SearchChunkMetaDataIndex(c.offset, exact));
    if (c.exact == 0) {
      EXPECT_EQ(c.offset + 1, exact.OwnerValue8);
    }
    SChunkMetaDataIndexEntry next = MetaRecord(7);
    EXPECT_EQ(c.next, store->SearchNextChunkMetaDataIndex(c.offset, next));
    EXPECT_EQ(c.next == 0 ? c.found : 7, next.Key);
  }
  ASSERT_EQ(0, store->FlushMetaDataFile());
  uint64_t size = 0;
  ASSERT_TRUE(store->GetChunkMetadataIndexSize(size).IsSuccess());
  EXPECT_EQ(512u + 3 * 80u, size);
  EXPECT_EQ(-1, store->GetChunkMetaDataIndexFileVersion());
}

TEST_F(StoreIndexTest, EmptyOrMissingMetaDataIndex) {
  auto store = Chunk();
  CFSInitParams params = FsParams();
  SingleInstancer_FS::ChunkMDIndex fresh(&params, nullptr);
  SingleInstancer_FS::ChunkMDIndex::Options options{false, true, true};
  ASSERT_TRUE(fresh.Create(MetaDataPath(kChunkId) + ".idx", options).IsSuccess());
  ASSERT_TRUE(fresh.Close().IsSuccess());

  SChunkMetaDataIndexEntry e = MetaRecord(9);
  EXPECT_EQ(1, store->SearchChunkMetaDataIndex(5, e));
  EXPECT_EQ(9u, e.Key) << "unchanged";
  EXPECT_EQ(-2, store->SearchNextChunkMetaDataIndex(5, e));
  ASSERT_EQ(0, store->Close());

  // No index file: the exact search decides (a healthy mount path blames the chunk), the other fails.
  std::filesystem::remove(MetaDataPath(kChunkId) + ".idx");
  EXPECT_EQ(-1, store->SearchChunkMetaDataIndex(5, e));
  EXPECT_TRUE(platform::LogContains(
      "SingleInstancer_FS::SearchChunkMetaDataIndex: Cannot open the chunk metadata index file ["));
  EXPECT_EQ(-1, store->SearchNextChunkMetaDataIndex(5, e));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::GetNextEntry: Cannot open the chunk metadata index file ["));
}

// The 9.0 format: 32-byte records behind a version 2 header, packed; only read.
std::string OldFormatIndex(const std::vector<uint64_t>& keys) {
  std::string f(128, '\0');
  std::memcpy(f.data(), "CHNKIDX", 8);
  EncodeBE32(f.data() + 8, 2);
  EncodeBE64(f.data() + 24, keys.size());
  EncodeBE32(f.data() + 124, sitest::Crc32(f.data(), 124));
  for (uint64_t key : keys) {
    std::string r(32, '\0');
    EncodeBE64(r.data(), key);
    EncodeBE64(r.data() + 8, key + 1);
    EncodeBE64(r.data() + 16, key + 2);
    EncodeBE32(r.data() + 24, sitest::Crc32(r.data(), 24));
    f += r;
  }
  return f;
}

TEST_F(StoreIndexTest, SearchesOfTheOlderFormat) {
  auto store = Chunk();
  {
    std::ofstream out(MetaDataPath(kChunkId) + ".idx", std::ios::binary);
    const std::string bytes = OldFormatIndex({100, 200, 300});
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  for (const SearchCase& c : kSearches) {
    SCOPED_TRACE(c.offset);
    SChunkMetaDataIndexEntry90 exact{};
    EXPECT_EQ(c.exact, store->SearchChunkMetaDataIndex90(c.offset, exact));
    if (c.exact == 0) {
      EXPECT_EQ(c.offset + 2, exact.OwnerValue16);
    }
    SChunkMetaDataIndexEntry90 next{};
    EXPECT_EQ(c.next, store->SearchNextChunkMetaDataIndex90(c.offset, next));
    if (c.next == 0) {
      EXPECT_EQ(c.found, next.Key);
    }
  }
  uint64_t size = 7;
  EXPECT_TRUE(store->GetChunkMetadataIndexSize(size).IsSuccess());
  EXPECT_EQ(0u, size) << "only the older format is open";
  ASSERT_EQ(0, store->Close());

  std::filesystem::remove(MetaDataPath(kChunkId) + ".idx");
  SChunkMetaDataIndexEntry90 e{};
  EXPECT_EQ(-1, store->SearchChunkMetaDataIndex90(5, e));
}

}  // namespace
