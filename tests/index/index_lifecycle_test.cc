// Create, Open and Close: modes, entry counts, the last-record check, and what a discarded or
// failed file must not leave behind for the next one.
#include <algorithm>

#include <gtest/gtest.h>

#include "index_test_util.h"

namespace {

using namespace idxtest;

class IndexLifecycle : public ::testing::Test {
 protected:
  std::string Path(const char* name = "SFILE_CONTAINER.idx") { return dir_.File(name); }
  TempDir dir_;
  CFSInitParams params_ = Params();
};

TEST_F(IndexLifecycle, CreateChoosesVersionAndLayoutFromTheOptions) {
  struct Case {
    bool aligned;
    uint32_t version;
    uint32_t blockSize;
  };
  for (Case c : {Case{true, 4, 512}, Case{false, 2, 0}}) {
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, c.aligned);
    ASSERT_TRUE(idx.Create(Path(), opt).IsSuccess());
    EXPECT_EQ(idx.GetVersion(), c.version);
    ASSERT_TRUE(idx.Flush().IsSuccess());
    const std::string bytes = ReadFile(Path());
    ASSERT_EQ(bytes.size(), 128u);
    EXPECT_EQ(GetBE32(bytes, 8), c.version);
    EXPECT_EQ(GetBE32(bytes, 32), c.blockSize);
    EXPECT_TRUE(platform::LogContains(c.aligned ? "Aligned [1]" : "Aligned [0]"));
    ASSERT_TRUE(idx.Close().IsSuccess());
  }
}

TEST_F(IndexLifecycle, CreateEmptiesAnExistingFile) {
  WriteFile(Path(), PackedSfileFile({1, 2, 3}, 3));
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(Path(), opt).IsSuccess());
  EXPECT_EQ(ReadFile(Path()).size(), 0u);
  EXPECT_EQ(idx.m_Header.TotalEntries, 0u);
}

// A stale journal of the file's previous life would be replayed over the new file.
TEST_F(IndexLifecycle, CreateRemovesAStaleJournal) {
  WriteFile(Path(), PackedSfileFile({1, 2, 3}, 3));
  WriteFile(Path() + ".change", Journal({{0, PackedSfileFile({1, 2, 3, 4}, 4)}}));
  WriteFile(Path() + ".change.tmp", "half");
  {
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    ASSERT_TRUE(idx.Create(Path(), opt).IsSuccess());
    EXPECT_FALSE(Exists(Path() + ".change"));
    EXPECT_FALSE(Exists(Path() + ".change.tmp"));
  }
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx.Open(Path(), 2, opt).IsSuccess());
  EXPECT_EQ(idx.m_Header.TotalEntries, 0u);
}

// A failed Open leaves pages of the refused file; the next file must not be built from them.
TEST_F(IndexLifecycle, PagesOfAFailedOpenDoNotReachTheNextFile) {
  HeaderFields refused;
  refused.magic = "CHNKIDX";
  refused.total = 2;
  WriteFile(Path("a.idx"), HeaderBytes(refused) + std::string(160, '\x11'));  // records with bad CRCs
  HeaderFields other;
  other.magic = "CHNKIDX";
  other.engineId = 77;
  WriteFile(Path("b.idx"), HeaderBytes(other));

  ChunkIndex idx(&params_, nullptr);
  auto opt = Opts<ChunkIndex>(false, false);
  CXoError e = idx.Open(Path("a.idx"), 2, opt);
  ASSERT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
  EXPECT_TRUE(platform::LogContains("Cannot get entry at index [1]"));
  EXPECT_FALSE(idx.IsValid());

  ASSERT_TRUE(idx.Open(Path("b.idx"), 2, opt).IsSuccess());
  EXPECT_EQ(idx.m_EngineId, 77u);
  EXPECT_EQ(idx.m_Header.TotalEntries, 0u);
  ASSERT_TRUE(idx.Close().IsSuccess());

  // A Create after a failed Open starts from an empty cache as well.
  ASSERT_FALSE(idx.Open(Path("a.idx"), 2, opt).IsSuccess());
  ASSERT_TRUE(idx.Create(Path("c.idx"), opt).IsSuccess());
  ASSERT_TRUE(idx.Close().IsSuccess());
  EXPECT_EQ(ReadFile(Path("c.idx")).size(), 128u);
}

// An object created or opened on one file and then opened on another without a Close: the first
// file keeps what was added to it, and the second is read and written as itself, not through the
// pages of the first.
TEST_F(IndexLifecycle, ReopeningAnotherFileWithoutACloseKeepsBothFiles) {
  MakeContainerIndex(Path("b.idx"), params_, {7, 8, 9});
  const std::string b = ReadFile(Path("b.idx"));
  for (int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, true);
    ASSERT_TRUE(idx.Create(Path("a.idx"), opt).IsSuccess());
    SSfileContainerIndexEntry r = SfileRec(3);
    ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());

    ASSERT_TRUE(idx.Open(Path("b.idx"), mode, opt).IsSuccess());
    EXPECT_EQ(idx.m_Header.TotalEntries, 3u);
    EXPECT_EQ(idx.GetLastKey(), 9u);
    ASSERT_TRUE(idx.GetEntry(0, &r).IsSuccess());
    EXPECT_EQ(r.Key, 7u);
    ASSERT_TRUE(idx.Close().IsSuccess());
    EXPECT_EQ(ReadFile(Path("b.idx")), b);

    SFileIndex a(&params_, nullptr);
    ASSERT_TRUE(a.Open(Path("a.idx"), 1, opt).IsSuccess());
    EXPECT_EQ(a.m_Header.TotalEntries, 1u);
    EXPECT_EQ(a.GetLastKey(), 3u);
  }
}

// When the first file's changes cannot be written, the open of the second fails and the object
// stays on the first with its changes, for a Close that writes them once the fault is gone.
TEST_F(IndexLifecycle, ReopeningAnotherFileFailsWhenTheFirstCannotBeFlushed) {
  MakeContainerIndex(Path("b.idx"), params_, {7});
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(Path("a.idx"), opt).IsSuccess());
  SSfileContainerIndexEntry r = SfileRec(3);
  ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
  platform::FaultRule rule;
  rule.op = platform::FsOp::Write;
  rule.pathContains = Path("a.idx");
  platform::Faults().Add(rule);

  EXPECT_TRUE(idx.Open(Path("b.idx"), 1, opt).IsFailure());
  EXPECT_TRUE(idx.IsValid());
  ASSERT_TRUE(idx.GetEntry(0, &r).IsSuccess());
  EXPECT_EQ(r.Key, 3u);
  ASSERT_TRUE(idx.Close().IsSuccess());
  SFileIndex a(&params_, nullptr);
  ASSERT_TRUE(a.Open(Path("a.idx"), 1, opt).IsSuccess());
  EXPECT_EQ(a.GetLastKey(), 3u);
}

TEST_F(IndexLifecycle, PackedEntryCountComesFromTheSize) {
  struct Case {
    uint64_t headerTotal;
    size_t extraBytes;
    bool ok;
    const char* logText;
  };
  const Case cases[] = {
      {0, 0, true, nullptr},
      {7, 0, true, nullptr},
      {6, 0, false, "Total number of entries does not match in file"},
      {6, 0, false, "Expected [6], Found [7]"},
      {0, 1, false, "is not in multiples of [56]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headerTotal);
    platform::ResetLogs();
    std::string file = PackedSfileFile({1, 2, 3, 4, 5, 6, 7}, c.headerTotal) + std::string(c.extraBytes, '\0');
    WriteFile(Path(), file);
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    CXoError e = idx.Open(Path(), 1, opt);
    if (c.ok) {
      ASSERT_TRUE(e.IsSuccess()) << e.AsString();
      EXPECT_EQ(idx.m_Header.TotalEntries, 7u);
      EXPECT_EQ(Access::LastKey(idx), 7u);
    } else {
      EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
      EXPECT_TRUE(platform::LogContains(c.logText));
    }
  }
}

TEST_F(IndexLifecycle, AlignedEntryCountIgnoresTheHeaderCounts) {
  HeaderFields h;
  h.version = 4;
  h.blockSize = 512;
  h.total = 100;
  h.deleted = 5;
  std::string file = HeaderBytes(h) + std::string(512 - 128, '\0');
  for (uint64_t k = 1; k <= 9; ++k) file += SfileRecBytes(k, k == 3);
  WriteFile(Path(), file);
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx.Open(Path(), 1, opt).IsSuccess());
  EXPECT_EQ(idx.m_Header.TotalEntries, 9u);
  EXPECT_EQ(idx.m_Header.DeletedEntries, 0u);
  EXPECT_EQ(Access::LastKey(idx), 9u);
}

TEST_F(IndexLifecycle, ChangeFileModeIsForcedOnlyForPackedContainerIndexes) {
  struct Case {
    const char* magic;
    uint32_t version;
    uint32_t blockSize;
    bool journaled;
  };
  const Case cases[] = {
      {"SFILIDX", 3, 0, true},
      {"SFILIDX", 4, 0, true},
      {"SFILIDX", 4, 512, false},
      {"CHNKIDX", 3, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.magic) + " v" + std::to_string(c.version));
    HeaderFields h;
    h.magic = c.magic;
    h.version = c.version;
    h.blockSize = c.blockSize;
    WriteFile(Path(), HeaderBytes(h));
    auto check = [&](auto& idx) {
      using Index = std::remove_reference_t<decltype(idx)>;
      auto opt = Opts<Index>(false, false);
      ASSERT_TRUE(idx.Open(Path(), 2, opt).IsSuccess());
      EXPECT_EQ(Access::UseChangeFile(idx), c.journaled);
      EXPECT_EQ(Access::MaxPages(idx), c.journaled ? 0xFFFFFFFFu : 32u);
    };
    if (std::string(c.magic) == "SFILIDX") {
      SFileIndex idx(&params_, nullptr);
      check(idx);
    } else {
      ChunkIndex idx(&params_, nullptr);
      check(idx);
    }
  }
}

TEST_F(IndexLifecycle, CloseOfAClosedObjectTouchesNothing) {
  SFileIndex idx(&params_, nullptr);
  EXPECT_TRUE(idx.Close().IsSuccess());
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(Path(), opt).IsSuccess());
  ASSERT_TRUE(idx.Close().IsSuccess());
  platform::ResetLogs();
  EXPECT_TRUE(idx.Close().IsSuccess());
  EXPECT_TRUE(platform::Logs().empty());
}

TEST_F(IndexLifecycle, CloseReportsAFailedFlushAndStillCloses) {
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(Path(), opt).IsSuccess());
  platform::Faults().Add(platform::FaultRule{platform::FsOp::Write, "SFILE_CONTAINER.idx", 1, -1});
  CXoError e = idx.Close();
  EXPECT_TRUE(e.IsFailure());
  EXPECT_TRUE(platform::LogContains("Unable to flush the file. error ["));
  EXPECT_FALSE(idx.IsValid());
  EXPECT_TRUE(Access::Pages(idx).empty());
}

// The storage kinds where nothing is locked or replayed.
TEST_F(IndexLifecycle, CloudStorageNeitherLocksNorReplays) {
  WriteFile(Path(), PackedSfileFile({1, 2}, 2));
  const std::string journal = Journal({{0, PackedSfileFile({1, 2, 3}, 3)}});
  WriteFile(Path() + ".change", journal);
  CFSInitParams cloud = Params(kFSTypeCloud, 3);
  SFileIndex idx(&cloud, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx.Open(Path(), 2, opt).IsSuccess());
  EXPECT_EQ(idx.m_Header.TotalEntries, 2u);
  EXPECT_EQ(ReadFile(Path() + ".change"), journal);
  EXPECT_EQ(HeldLockType(Path()), F_UNLCK);
}

TEST_F(IndexLifecycle, WithoutInitParametersEverythingFailsCleanly) {
  SFileIndex idx(nullptr, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  EXPECT_TRUE(FXErrorUtil::IsMM(idx.Create(Path(), opt), kIdxMMErrNoFileInterface));
  EXPECT_TRUE(FXErrorUtil::IsMM(idx.Open(Path(), 1, opt), kIdxMMErrNoFileInterface));
  EXPECT_FALSE(idx.IsValid());
  EXPECT_TRUE(idx.Close().IsSuccess());
}

// What a power loss in the middle of a Flush leaves of an aligned file without a journal: records
// it was adding read as zeros, at the end or before records of the same Flush that arrived. A
// writer that asks for it takes the file back to the record before the first zeroed one; any
// other damage, a writer that does not ask, or a journaled file leaves the file as it is.
TEST_F(IndexLifecycle, AWriterTrimsWhatAnUnfinishedFlushLeft) {
  constexpr uint64_t kRecords = 20;  // 9 per 512-byte block: three blocks
  auto at = [](uint64_t i) { return 512 + (i / 9) * 512 + (i % 9) * 56; };
  auto allRecords = [] {
    std::vector<uint64_t> all;
    for (uint64_t i = 0; i < kRecords; ++i) all.push_back(i);
    return all;
  };
  struct Case {
    const char* name;
    std::vector<uint64_t> zeroed, damaged;
    int mode;
    bool trim, journal;
    bool opens;
    uint64_t kept;  // records left when the file was trimmed; kRecords: the file is unchanged
  };
  const std::vector<Case> cases = {
      {"intact", {}, {}, 2, true, false, true, kRecords},
      {"zeroed tail", {17, 18, 19}, {}, 2, true, false, true, 17},
      {"hole before whole records", {12, 13}, {}, 2, true, false, true, 12},
      {"hole and zeroed tail", {4, 15, 19}, {}, 2, true, false, true, 4},
      {"nothing whole", allRecords(), {}, 2, true, false, true, 0},
      {"damaged record before the zeros", {18, 19}, {6}, 2, true, false, false, kRecords},
      {"damaged last record", {}, {19}, 2, true, false, false, kRecords},
      {"writer that does not ask", {19}, {}, 2, false, false, false, kRecords},
      {"journaled file", {19}, {}, 2, true, true, false, kRecords},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> keys;
    for (uint64_t k = 1; k <= kRecords; ++k) keys.push_back(k);
    {
      SFileIndex idx(&params_, nullptr);
      auto opt = Opts<SFileIndex>(false, true);
      ASSERT_TRUE(idx.Create(Path(), opt).IsSuccess());
      for (uint64_t k : keys) {
        SSfileContainerIndexEntry r = SfileRec(k);
        ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
      }
      ASSERT_TRUE(idx.Close().IsSuccess());
    }
    std::string file = ReadFile(Path());
    for (uint64_t i : c.zeroed) file.replace(at(i), 56, std::string(56, '\0'));
    for (uint64_t i : c.damaged) file[at(i) + 20] ^= 0x40;
    WriteFile(Path(), file);

    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(c.journal, true);
    opt.bTrimTornTail = c.trim;
    CXoError e = idx.Open(Path(), c.mode, opt);
    ASSERT_EQ(c.opens, e.IsSuccess()) << e.AsString();
    if (!c.opens) {
      EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
      EXPECT_EQ(ReadFile(Path()), file);
      continue;
    }
    EXPECT_EQ(idx.m_Header.TotalEntries, c.kept);
    EXPECT_EQ(idx.GetLastKey(), c.kept);
    EXPECT_EQ(ReadFile(Path()), file.substr(0, c.kept > 0 ? at(c.kept - 1) + 56 : 512));
    // The next record follows the last valid one, and the file reads back whole.
    SSfileContainerIndexEntry next = SfileRec(100);
    ASSERT_TRUE(idx.AddEntry(&next).IsSuccess());
    ASSERT_TRUE(idx.Close().IsSuccess());
    SFileIndex reader(&params_, nullptr);
    auto readOpt = Opts<SFileIndex>(false, true);
    ASSERT_TRUE(reader.Open(Path(), 1, readOpt).IsSuccess());
    ASSERT_EQ(reader.m_Header.TotalEntries, c.kept + 1);
    for (uint64_t i = 0; i <= c.kept; ++i) {
      SSfileContainerIndexEntry r;
      ASSERT_TRUE(reader.GetEntry(static_cast<int64_t>(i), &r).IsSuccess()) << i;
      EXPECT_EQ(r.Key, i < c.kept ? i + 1 : 100u);
    }
  }
}

// A reader of such a file, before any writer has continued it, reads the records before the
// first zeroed one when the last record fails, and changes nothing in the file. A valid last
// record opens as always; other damage, or a reader that does not ask, fails as corrupt.
TEST_F(IndexLifecycle, AReaderStopsBeforeWhatAnUnfinishedFlushLeft) {
  constexpr uint64_t kRecords = 20;
  auto at = [](uint64_t i) { return 512 + (i / 9) * 512 + (i % 9) * 56; };
  struct Case {
    const char* name;
    std::vector<uint64_t> zeroed, damaged;
    bool ask;
    bool opens;
    uint64_t records;
  };
  const std::vector<Case> cases = {
      {"zeroed tail", {17, 18, 19}, {}, true, true, 17},
      {"hole and zeroed tail", {4, 15, 19}, {}, true, true, 4},
      {"nothing whole", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, {}, true, true, 0},
      {"hole before a valid last record", {12, 13}, {}, true, true, kRecords},
      {"damaged last record", {}, {19}, true, false, 0},
      {"damaged record before the zeros", {19}, {6}, true, false, 0},
      {"reader that does not ask", {19}, {}, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> keys;
    for (uint64_t k = 1; k <= kRecords; ++k) keys.push_back(k);
    MakeContainerIndex(Path(), params_, keys);
    std::string file = ReadFile(Path());
    for (uint64_t i : c.zeroed) file.replace(at(i), 56, std::string(56, '\0'));
    for (uint64_t i : c.damaged) file[at(i) + 20] ^= 0x40;
    WriteFile(Path(), file);

    SFileIndex reader(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, true);
    opt.bTrimTornTail = c.ask;
    CXoError e = reader.Open(Path(), 1, opt);
    ASSERT_EQ(c.opens, e.IsSuccess()) << e.AsString();
    EXPECT_EQ(ReadFile(Path()), file);
    if (!c.opens) {
      EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
      continue;
    }
    EXPECT_EQ(reader.m_Header.TotalEntries, c.records);
    EXPECT_EQ(reader.GetLastKey(), c.records);
    for (uint64_t i = 0; i < c.records; ++i) {
      SSfileContainerIndexEntry r;
      CXoError got = reader.GetEntry(static_cast<int64_t>(i), &r);
      const bool zeroed = std::find(c.zeroed.begin(), c.zeroed.end(), i) != c.zeroed.end();
      ASSERT_EQ(!zeroed, got.IsSuccess()) << i;
      if (!zeroed) {
        EXPECT_EQ(r.Key, i + 1);
      }
    }
    ASSERT_TRUE(reader.Close().IsSuccess());
  }
}

// Records a writer drops from the end: the file ends after the records it keeps, and the next
// record follows them. Refused where it would lose changes or go around a journal or a reader.
TEST_F(IndexLifecycle, AWriterDropsRecordsFromTheEnd) {
  MakeContainerIndex(Path(), params_, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  {
    SFileIndex reader(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, true);
    ASSERT_TRUE(reader.Open(Path(), 1, opt).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(reader.DropEntriesFrom(5), kIdxWin32ErrInvalidParameter));
  }
  {
    SFileIndex journaled(&params_, nullptr);
    auto opt = Opts<SFileIndex>(true, true);
    ASSERT_TRUE(journaled.Open(Path(), 2, opt).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(journaled.DropEntriesFrom(5), kIdxWin32ErrInvalidParameter));
  }
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Open(Path(), 2, opt).IsSuccess());
  SSfileContainerIndexEntry r = SfileRec(13);
  ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsWin32(idx.DropEntriesFrom(5), kIdxWin32ErrInvalidParameter));  // not flushed
  ASSERT_TRUE(idx.Flush().IsSuccess());
  ASSERT_TRUE(idx.DropEntriesFrom(20).IsSuccess());  // past the end: nothing
  EXPECT_EQ(idx.m_Header.TotalEntries, 13u);
  ASSERT_TRUE(idx.DropEntriesFrom(10).IsSuccess());
  EXPECT_EQ(idx.m_Header.TotalEntries, 10u);
  EXPECT_EQ(idx.GetLastKey(), 10u);
  EXPECT_EQ(ReadFile(Path()).size(), IndexRecordPosition(9, 512, 56) + 56);
  r = SfileRec(11);
  ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
  ASSERT_TRUE(idx.DropEntriesFrom(0).IsFailure());  // the record just added waits for a Flush
  ASSERT_TRUE(idx.Close().IsSuccess());
  SFileIndex reader(&params_, nullptr);
  ASSERT_TRUE(reader.Open(Path(), 1, opt).IsSuccess());
  ASSERT_EQ(reader.m_Header.TotalEntries, 11u);
  EXPECT_EQ(reader.GetLastKey(), 11u);
}

}  // namespace
