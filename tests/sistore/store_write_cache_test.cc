// The write cache: block-aligned write-outs (traced as the file layer received them), logical
// offsets, guard words, refused writes, short writes and the periodic space check.
//
// The store here serves a cloud mount path: it takes no file flusher, so these tests start no
// thread; buffers, offsets and writes are the same on every kind of mount path.

#include <algorithm>
#include <filesystem>

#include "backup_job.h"
#include "platform/media_manager_calls.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;
using platform::FsTransfer;

constexpr uint32_t kBlock = 65536;
constexpr uint32_t kCache = 4 * kBlock;
constexpr long long kChunkId = 3;

class WriteCacheTest : public StoreTest {
 public:
  void SetUp() override {
    SetConfig("nSIFSWriteBlockSizeKB", kBlock / 1024);
    SetConfig("nSIFSCacheSizeKB", kCache / 1024);
    store = BackupChunk(kChunkId, true, 1);
    ASSERT_EQ(kCache, store->m_CacheSize);
    ASSERT_EQ(kBlock, store->m_WriteBlockSize);
    unsigned int number = 0;
    unsigned long offset = 0;
    ASSERT_EQ(0, store->StartDataFile2(sitest::kEngineId, &number, &offset));
    ASSERT_EQ(1u, number);
    ASSERT_EQ(128u, offset);
    container = ContainerPath(kChunkId, 1);
    platform::Faults().TraceTransfers(true);
  }

  // Writes `n` bytes of the stream (following what was written before) as one host write.
  int Write(size_t n) {
    std::string bytes(n, '\0');
    sitest::FillBytes(bytes.data(), n, stream.size());
    stream += bytes;
    int eom = 0;
    return store->WriteToDataFile(bytes.data(), static_cast<long>(n), &eom);
  }

  // The container's writes as (offset, length), in order, since the last Forget.
  std::vector<std::pair<long long, unsigned long long>> Writes() const {
    std::vector<std::pair<long long, unsigned long long>> out;
    for (const FsTransfer& t : platform::Faults().Transfers(container)) {
      if (t.op == FsOp::Write) out.emplace_back(t.offset, t.length);
    }
    out.erase(out.begin(), out.begin() + static_cast<long>(std::min(forgotten, out.size())));
    return out;
  }
  void Forget() { forgotten += Writes().size(); }

  std::string Expected() const { return sitest::ContainerHeader() + stream; }

  std::unique_ptr<TestStore> store;
  std::string container;
  std::string stream;  // the host's bytes after the header
  size_t forgotten = 0;
};

using WriteList = std::vector<std::pair<long long, unsigned long long>>;

TEST_F(WriteCacheTest, LessThanABlockGoesOutWholeForcedOrNot) {
  ASSERT_EQ(1000, Write(1000));
  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, false));
  EXPECT_EQ((WriteList{{0, 1128}}), Writes());
  ASSERT_EQ(10, Write(10));
  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ((WriteList{{0, 1128}, {1128, 10}}), Writes());
  EXPECT_EQ(Expected(), sitest::ReadWholeFile(container));
}

// A host write larger than the free space: what the buffer held goes out first, then the buffer
// is filled and written out in whole blocks from a block boundary on, and the rest stays.
TEST_F(WriteCacheTest, HostWriteLargerThanTheBufferGoesOutInAlignedBlocks) {
  ASSERT_EQ(300 * 1024, Write(300 * 1024));
  EXPECT_EQ((WriteList{{0, 128}, {128, kBlock - 128}, {kBlock, kBlock}, {2 * kBlock, kBlock}, {3 * kBlock, kBlock}}),
            Writes());
  EXPECT_EQ(kCache - 128 - (300 * 1024 - kCache), store->m_DataCacheFree);
  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ(Expected(), sitest::ReadWholeFile(container));
}

// A buffer that starts 100 bytes past a block boundary and holds four blocks: the rest of that
// block, three whole blocks, and the last 100 bytes stay (forced: go out too).
TEST_F(WriteCacheTest, MisalignedBufferRealignsOnTheFirstWrite) {
  ASSERT_EQ(static_cast<int>(kBlock + 100 - 128), Write(kBlock + 100 - 128));
  ASSERT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ((WriteList{{0, kBlock}, {kBlock, 100}}), Writes());
  Forget();

  ASSERT_EQ(static_cast<int>(kCache), Write(kCache));
  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, false));
  const long long base = kBlock + 100;
  EXPECT_EQ((WriteList{{base, kBlock - 100}, {2 * kBlock, kBlock}, {3 * kBlock, kBlock}, {4 * kBlock, kBlock}}), Writes());
  EXPECT_EQ(kCache - 100, store->m_DataCacheFree);
  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ(100u, Writes().back().second);
  EXPECT_EQ(Expected(), sitest::ReadWholeFile(container));
}

TEST_F(WriteCacheTest, ForcedWholeBlocksFromABoundaryEndWithAnEmptyWrite) {
  ASSERT_EQ(static_cast<int>(kBlock - 128), Write(kBlock - 128));
  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ((WriteList{{0, kBlock}, {kBlock, 0}}), Writes());
}

TEST_F(WriteCacheTest, LogicalOffsetsCountBufferedBytes) {
  EXPECT_EQ(128, store->GetFileOffset(1));
  ASSERT_EQ(77, Write(77));
  EXPECT_EQ(205, store->GetFileOffset(1));
  EXPECT_EQ(0, store->GetMetaDataFileOffset());
  int eom = 0;
  ASSERT_EQ(5, store->WriteToMetaData("abcde", 5, &eom));
  EXPECT_EQ(5, store->GetMetaDataFileOffset());
  EXPECT_EQ(0, store->FlushMetaDataFile());
  ASSERT_EQ(3, store->WriteToMetaData("fgh", 3, &eom));
  // Seeking the metadata file to its end leaves the buffered bytes and the logical offset alone.
  EXPECT_EQ(0, store->SetMetaDataFileOffset(~0ULL));
  EXPECT_EQ(8, store->GetMetaDataFileOffset());
  EXPECT_EQ(0, store->FlushMetaDataFile());
  EXPECT_EQ("abcdefgh", sitest::ReadWholeFile(MetaDataPath(kChunkId)));
  EXPECT_EQ(8u + 77u, store->getTotalBytesWritten());
}

// A damaged guard word: the buffer's bytes cannot be trusted, so none of them reach the file.
TEST_F(WriteCacheTest, DamagedGuardWordFailsTheWriteBeforeAnyByteIsWritten) {
  for (bool front : {false, true}) {
    SCOPED_TRACE(front ? "front guard" : "back guard");
    ASSERT_EQ(100, Write(100));
    const uint32_t freeBefore = store->m_DataCacheFree;
    unsigned char* guard = front ? store->m_pDataCache - 8 : store->m_pDataCache + kCache;
    const unsigned char saved = guard[3];
    guard[3] = 0x11;
    EXPECT_EQ(-1, store->WriteCacheBuffersToFile(1, true));
    EXPECT_EQ(kMFSErrBufferGuardCorrupted, store->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains("SiFS::WrtToFileInt: Failing the write. Data buffer found corrupted. Sig ["));
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(freeBefore, store->m_DataCacheFree) << "the bytes stay buffered";
    guard[3] = saved;
    EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, true));
    EXPECT_EQ(Expected(), sitest::ReadWholeFile(container));
    Forget();
  }
}

TEST_F(WriteCacheTest, RefusedWritesChangeNothing) {
  int eom = 7;
  EXPECT_EQ(0, store->WriteToDataFile("x", 0, &eom));
  EXPECT_EQ(0, eom);
  EXPECT_EQ(0, store->m_llBytesAtEOM);

  // Counts that cannot travel back as an int are refused, not cut.
  const uint64_t total = store->getTotalBytesWritten();
  for (long len : {-1L, 1L << 31, (1L << 32) + 10}) {
    EXPECT_EQ(-1, store->WriteToDataFile("x", len, &eom));
  }
  EXPECT_EQ(total, store->getTotalBytesWritten());
  EXPECT_EQ(kCache - 128, store->m_DataCacheFree);

  EXPECT_EQ(-1, store->WriteToFile(3, "abc", 3, &eom));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::WriteToCache: [ERROR] Invalid write mode [3]"));
  EXPECT_EQ(total + 3, store->getTotalBytesWritten());
}

// Without an open file a write larger than the free space could never make room: it fails at
// once, and buffers nothing.
TEST_F(WriteCacheTest, WriteLargerThanTheBufferIntoAFileNotOpenFails) {
  ASSERT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  ASSERT_TRUE(store->m_pFdDataFile->Close().IsSuccess());
  int eom = 0;
  EXPECT_EQ(-1, store->WriteToDataFile("x", 1, &eom));
  EXPECT_STREQ("WriteToDataFile Failed as data file is not open yet.", store->GetErrorString());
  std::string big(kCache + 1, 'b');
  EXPECT_EQ(-1, store->WriteToCache(1, big.data(), static_cast<long>(big.size())));
  EXPECT_EQ(kCache, store->m_DataCacheFree);
  EXPECT_EQ(0, store->WriteToCache(1, big.data(), 10));
}

// A short write is a full disk: the volume is marked full and the frame is told the write took
// nothing. The bytes that did not reach the file stay buffered at the file's position, so a later
// write-out neither repeats nor skips one.
TEST_F(WriteCacheTest, ShortWriteMarksTheVolumeFullAndKeepsTheUnwrittenBytes) {
  ASSERT_EQ(static_cast<int>(2 * kBlock), Write(2 * kBlock));
  platform::Faults().Add({FsOp::Write, container, 2, 1, 0, 1000});
  store->m_bCloseChunk = true;
  EXPECT_EQ(-1, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ(767, store->MediaFSGetLastError());
  EXPECT_TRUE(store->m_bDiskFull);
  EXPECT_FALSE(store->GetCloseChunkFlag());
  EXPECT_EQ(-1, store->GetCurrentTransferCount());
  EXPECT_EQ(0, store->m_llKBRemaining);
  EXPECT_EQ(1u, platform::LogCount("Disk is full. Failing the write.", 1));
  EXPECT_TRUE(platform::LogContains("Could not write [65536] bytes to media. Written [1000]"));
  EXPECT_EQ((std::vector<long long>{kVolumeFullReasonFull, job.jobId}), MediaManagerLastArgs("markFull"));

  EXPECT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ(Expected(), sitest::ReadWholeFile(container));
}

TEST_F(WriteCacheTest, FailedWriteOtherThanAFullDiskIsShownToTheJob) {
  ASSERT_EQ(10, Write(10));
  platform::Faults().Add({FsOp::Write, container, 1, 1, EIO});
  EXPECT_EQ(-1, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), store->MediaFSGetLastError());
  EXPECT_FALSE(store->m_bDiskFull);
  EXPECT_EQ(0u, platform::MediaManager().Count("markFull"));
  EXPECT_TRUE(platform::LogContains("SiFS::WrtToFileInt: Cannot write to sfile file. Input Size [138], Bytes written [0]"));
}

struct SpaceCase {
  const char* name;
  unsigned long long freeBytes;
  bool failQuery;
  bool skarvo;
  bool full;
  long long kbAfter;
};

// Free space at or below the low-water mark asks the host to close the chunk and marks the volume
// full; the write itself succeeds. The check runs once the interval's bytes went through.
TEST_F(WriteCacheTest, SpaceCheckEveryIntervalAgainstTheLowWaterMark) {
  const unsigned long long lowWater = 10ull << 20;
  const SpaceCase cases[] = {
      {"at the mark", lowWater, false, false, true, 0},
      {"one byte above", lowWater + 1, false, false, false, static_cast<long long>((lowWater + 1) / 1024)},
      {"query fails", lowWater, true, false, false, 0},
      {"distributed storage", lowWater, false, true, false, -1},
  };
  for (const SpaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    store.reset();
    std::filesystem::remove_all(ChunkDir(kChunkId));
    platform::ResetAll();
    SetUp();
    if (c.skarvo) platform::RemoteStorage().skarvoPrefixes.push_back(mountPath);
    store->m_LowWaterMarkMB = 10;
    store->m_SpaceCheckInterval = 1000;
    store->m_llKBRemaining = -1;
    platform::Faults().SetFreeSpace(mountPath, c.freeBytes);
    if (c.failQuery) platform::Faults().Add({FsOp::FreeSpace, "", 1, 1, EIO});
    const long long queries = platform::Faults().Calls(FsOp::FreeSpace);
    int eom = 0;
    std::string bytes(999, 'x');
    ASSERT_EQ(999, store->WriteToDataFile(bytes.data(), 999, &eom));
    EXPECT_EQ(0, eom);
    EXPECT_EQ(queries, platform::Faults().Calls(FsOp::FreeSpace));
    ASSERT_EQ(1, store->WriteToDataFile("y", 1, &eom));
    EXPECT_EQ(c.full ? 1 : 0, eom);
    EXPECT_EQ(c.full, store->GetCloseChunkFlag());
    EXPECT_EQ(c.full, store->m_bDiskFull);
    EXPECT_EQ(c.kbAfter, store->m_llKBRemaining);
    EXPECT_EQ(queries + (c.skarvo ? 0 : 1), platform::Faults().Calls(FsOp::FreeSpace));
    EXPECT_EQ(c.skarvo ? 1000u : 0u, store->m_BytesSinceSpaceCheck);
    EXPECT_EQ(c.full ? 1u : 0u, platform::MediaManager().Count("markFull"));
    if (c.full) {
      EXPECT_EQ(10, MediaManagerLastArgs("setFreeBytesMB").at(0));
      // Every later write reports the full mount path too.
      ASSERT_EQ(1, store->WriteToDataFile("z", 1, &eom));
      EXPECT_EQ(1, eom);
    }
  }
}

}  // namespace
