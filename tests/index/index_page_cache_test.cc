// The page cache: eviction and write-back, reads past the data, zero fill beyond the end, and the
// two modes in which nothing modified is ever evicted.
#include <gtest/gtest.h>

#include "index_test_util.h"

namespace {

using namespace idxtest;
using platform::FsOp;

constexpr uint64_t kPage = IDX_PAGE_SIZE;

class IndexPageCache : public ::testing::Test {
 protected:
  // An aligned chunk index: no lock, no journal, the 32-page limit.
  void CreateChunkIndex(ChunkIndex& idx) {
    auto opt = Opts<ChunkIndex>(false, true);
    ASSERT_TRUE(idx.Create(path_, opt).IsSuccess());
  }
  void WriteAt(ChunkIndex& idx, uint64_t pos, const std::string& bytes) {
    Access::Pos(idx) = pos;
    ASSERT_TRUE(Access::Write(idx, bytes).IsSuccess());
  }
  static std::string Fill(char c, size_t n = kPage) { return std::string(n, c); }
  long long IndexCalls(FsOp op) { return platform::Faults().Calls(op, "meta.idx"); }

  TempDir dir_;
  std::string path_ = dir_.File("meta.idx");
  CFSInitParams params_ = Params();
};

TEST_F(IndexPageCache, ReadWriteModeWritesBackTheLeastRecentlyUsedPage) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);  // page 0: the header, modified
  for (uint64_t k = 1; k < 32; ++k) WriteAt(idx, k * kPage, Fill(static_cast<char>('a' + k % 26)));
  EXPECT_EQ(Access::Pages(idx).size(), 32u);
  EXPECT_EQ(IndexCalls(FsOp::Write), 0);

  // Page 0 goes, written back whole: the write of page 1 zero-filled it to its end.
  WriteAt(idx, 32 * kPage, Fill('#'));
  EXPECT_EQ(Access::Pages(idx).size(), 32u);
  EXPECT_EQ(Access::Pages(idx).count(0), 0u);
  EXPECT_EQ(IndexCalls(FsOp::Write), 1);
  std::string disk = ReadFile(path_);
  ASSERT_EQ(disk.size(), kPage);
  EXPECT_EQ(disk.substr(0, 7), "CHNKIDX");
  EXPECT_EQ(disk.substr(128), std::string(kPage - 128, '\0'));

  uint64_t header = 0;
  Access::Pos(idx) = 24;  // reading page 0 back makes page 1 the next victim
  ASSERT_TRUE(Access::Read(idx, reinterpret_cast<char*>(&header), 8).IsSuccess());
  EXPECT_EQ(Access::Lru(idx).back()->PageNo, 0u);
  EXPECT_EQ(Access::Lru(idx).front()->PageNo, 2u) << "page 1 was evicted for page 0";
  disk = ReadFile(path_);
  ASSERT_EQ(disk.size(), 2 * kPage);
  EXPECT_EQ(disk.substr(kPage), Fill('b'));
}

TEST_F(IndexPageCache, ReadOnlyModeKeepsEveryModifiedPage) {
  {
    ChunkIndex idx(&params_, nullptr);
    CreateChunkIndex(idx);
  }
  ChunkIndex idx(&params_, nullptr);
  auto opt = Opts<ChunkIndex>(false, false);
  ASSERT_TRUE(idx.Open(path_, 1, opt).IsSuccess());  // page 0 cached, not modified
  const long long writes = IndexCalls(FsOp::Write);
  for (uint64_t k = 1; k <= 32; ++k) WriteAt(idx, k * kPage, Fill('r'));
  EXPECT_EQ(Access::Pages(idx).count(0), 0u) << "the one unmodified page was reused";
  EXPECT_EQ(Access::Pages(idx).size(), 32u);
  WriteAt(idx, 33 * kPage, Fill('r'));
  EXPECT_EQ(Access::Pages(idx).size(), 33u) << "no modified page is evicted: the cache grows";
  EXPECT_EQ(IndexCalls(FsOp::Write), writes);
  ASSERT_TRUE(idx.Close().IsSuccess());
  EXPECT_EQ(ReadFile(path_).size(), 128u) << "Close of a reader writes nothing";
}

TEST_F(IndexPageCache, ChangeFileModeWritesNothingBetweenFlushes) {
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(true, true);
  ASSERT_TRUE(idx.Create(dir_.File("SFILE_CONTAINER.idx"), opt).IsSuccess());
  for (uint64_t k = 1; k <= 40; ++k) {
    Access::Pos(idx) = k * kPage;
    ASSERT_TRUE(Access::Write(idx, Fill('j')).IsSuccess());
  }
  EXPECT_EQ(Access::Pages(idx).size(), 41u);
  EXPECT_EQ(platform::Faults().Calls(FsOp::Write), 0);
}

TEST_F(IndexPageCache, ReadsStopAtTheEndOfTheData) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);
  ASSERT_TRUE(idx.Flush().IsSuccess());
  char buf[64];

  Access::Pos(idx) = 100;
  EXPECT_TRUE(Access::Read(idx, buf, 28).IsSuccess()) << "up to the last byte";
  Access::Pos(idx) = 100;
  CXoError e = Access::Read(idx, buf, 29);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
  EXPECT_EQ(Access::Pos(idx), 128u) << "the bytes before the end were copied";

  platform::ResetLogs();
  Access::Pos(idx) = 40000;
  e = Access::Read(idx, buf, 10);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
  EXPECT_TRUE(platform::LogContains("Unable to read bytes."));
  ASSERT_EQ(Access::Pages(idx).count(1), 1u) << "the page beyond the end stays cached";
  EXPECT_EQ(Access::Pages(idx).at(1)->Size, 0u);
}

// A page that is short but not the last (a hole behind it) ends the read instead of splicing the
// next page's bytes in at the wrong place.
TEST_F(IndexPageCache, AReadAcrossAShortPageFails) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);
  ASSERT_TRUE(idx.Flush().IsSuccess());  // 128 bytes on disk
  Access::DropPages(idx);
  WriteAt(idx, kPage + 10, "tail");  // page 0 not cached: no zero fill, the file keeps a hole
  std::string buf(kPage, '\0');
  Access::Pos(idx) = 100;
  CXoError e = Access::Read(idx, buf.data(), static_cast<unsigned int>(kPage));
  EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
  EXPECT_EQ(Access::Pos(idx), 128u);
}

TEST_F(IndexPageCache, WritesBeyondTheEndZeroFillTheCachedLastPage) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);  // page 0 cached with 128 bytes

  Access::Pos(idx) = 100;
  ASSERT_TRUE(Access::Write(idx, "").IsSuccess());
  EXPECT_EQ(Access::Size(idx), 128u) << "within the file a write of nothing extends nothing";

  Access::Pos(idx) = 600;
  ASSERT_TRUE(Access::Write(idx, "").IsSuccess());
  EXPECT_EQ(Access::Size(idx), 600u);
  EXPECT_EQ(Access::Pages(idx).at(0)->Size, 600u);

  WriteAt(idx, kPage + 10, "ab");
  EXPECT_EQ(Access::Pages(idx).at(0)->Size, kPage) << "the gap fills the last page to its end";
  const auto& page1 = *Access::Pages(idx).at(1);
  EXPECT_EQ(page1.Size, 12u);
  EXPECT_EQ(std::string(page1.Data, 12), std::string(10, '\0') + "ab");
  EXPECT_EQ(Access::Size(idx), kPage + 12);
  ASSERT_TRUE(idx.Close().IsSuccess());
  const std::string disk = ReadFile(path_);
  ASSERT_EQ(disk.size(), kPage + 12);
  EXPECT_EQ(disk.substr(128, kPage - 128 + 10), std::string(kPage - 128 + 10, '\0'));
}

// Page numbers come from callers and files: one far beyond the end is cached and found again
// without memory in proportion to its number.
TEST_F(IndexPageCache, APageFarBeyondTheEndIsCachedLikeAnyOther) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);
  for (uint64_t pageNo : {uint64_t{1} << 39, (uint64_t{1} << 39) + 1}) {
    WriteAt(idx, pageNo * kPage + 3, "far");
  }
  char buf[3];
  Access::Pos(idx) = (uint64_t{1} << 39) * kPage + 3;
  ASSERT_TRUE(Access::Read(idx, buf, 3).IsSuccess());
  EXPECT_EQ(std::string(buf, 3), "far");
  EXPECT_EQ(Access::Pages(idx).size(), 3u);
  Access::DropPages(idx);  // no Flush out there
}

TEST_F(IndexPageCache, OnlyPartialWritesInsideTheFileReadThePageFirst) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);
  WriteFile(path_, Fill('y', 3 * kPage));  // three pages on disk, none cached
  Access::DropPages(idx);
  Access::Size(idx) = 3 * kPage;
  const long long before = IndexCalls(FsOp::Read);
  WriteAt(idx, kPage, Fill('w'));
  EXPECT_EQ(IndexCalls(FsOp::Read), before) << "a whole page from its first byte";
  WriteAt(idx, 2 * kPage + 5, "abc");
  EXPECT_EQ(IndexCalls(FsOp::Read), before + 1);
  EXPECT_EQ(Access::Pages(idx).at(2)->Size, kPage);
  EXPECT_EQ(Access::Pages(idx).at(2)->Data[0], 'y');
  WriteAt(idx, 3 * kPage + 5, "abc");
  EXPECT_EQ(IndexCalls(FsOp::Read), before + 1) << "a page beyond the end is never read";
}

TEST_F(IndexPageCache, AShortWriteBackLeavesThePageModified) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);
  platform::FaultRule rule;
  rule.op = FsOp::Write;
  rule.pathContains = "meta.idx";
  rule.err = 0;
  rule.shortBytes = 10;
  platform::Faults().Add(rule);
  CXoError e = idx.Flush();
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
  EXPECT_EQ(e.Message(), "Partial bytes written");
  EXPECT_EQ(Access::Pages(idx).at(0)->Modified, 1);
  EXPECT_TRUE(Access::Dirty(idx));
  EXPECT_TRUE(platform::LogContains("Failed to write [128] bytes for page [0]. Written [10]"));
  ASSERT_TRUE(idx.Flush().IsSuccess());
  EXPECT_EQ(ReadFile(path_).size(), 128u);
}

TEST_F(IndexPageCache, AFailedWriteBackKeepsTheVictimAndReportsEveryLevel) {
  ChunkIndex idx(&params_, nullptr);
  CreateChunkIndex(idx);
  for (uint64_t k = 1; k < 32; ++k) WriteAt(idx, k * kPage, Fill('v'));
  platform::Faults().Add(platform::FaultRule{FsOp::Write, "meta.idx", 1, 1});
  Access::Pos(idx) = 32 * kPage;
  CXoError e = Access::Write(idx, Fill('n'));
  EXPECT_TRUE(e.IsFailure());
  EXPECT_EQ(Access::Lru(idx).front()->PageNo, 0u);
  EXPECT_EQ(Access::Lru(idx).front()->Modified, 1);
  EXPECT_EQ(Access::Pages(idx).size(), 32u);
  EXPECT_EQ(platform::LogCount("Failed to write [32768] bytes for page [0]"), 1u);
  EXPECT_EQ(platform::LogCount("Failed to evict page [0], Error ["), 1u);
  EXPECT_EQ(platform::LogCount("Failed to evict page. Error ["), 2u) << "GetFreePage and Write";
  ASSERT_TRUE(Access::Write(idx, Fill('n')).IsSuccess()) << "the next eviction takes the same page";
  EXPECT_EQ(Access::Pages(idx).count(0), 0u);
}

}  // namespace
