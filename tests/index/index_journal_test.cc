// Flush with the change journal, and the journal's replay (or refusal) at Open.
#include <gtest/gtest.h>

#include "index_test_util.h"

namespace {

using namespace idxtest;
using platform::FsOp;

class IndexJournal : public ::testing::Test {
 protected:
  // A packed container index in change-file mode with records 1..n.
  void CreateJournaled(SFileIndex& idx, uint64_t n) {
    auto opt = Opts<SFileIndex>(true, false);
    ASSERT_TRUE(idx.Create(path_, opt).IsSuccess());
    Append(idx, 1, n);
  }
  static void Append(SFileIndex& idx, uint64_t from, uint64_t to) {
    for (uint64_t k = from; k <= to; ++k) {
      SSfileContainerIndexEntry r = SfileRec(k, k % 5 == 0);
      ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
    }
  }

  // Runs a Flush that stops once the journal is complete and `pagesWritten` pages are in place,
  // where a crash could stop it; the failure leaves the files as such a crash would.
  CXoError FlushStoppingInApply(SFileIndex& idx, int pagesWritten) {
    const std::string path = path_;
    platform::Faults().SetHook([path, pagesWritten](FsOp op, const std::string& p) {
      if (op == FsOp::Rename && p == path + ".change.tmp") {
        platform::Faults().Add(platform::FaultRule{FsOp::Write, path, pagesWritten + 1, -1});
      }
    });
    CXoError e = idx.Flush();
    platform::Faults().SetHook(nullptr);
    platform::Faults().Reset();
    return e;
  }

  // The files of the index as a crash would leave them, in a folder of their own.
  std::string CrashCopy() {
    const std::string copy = crash_.File("SFILE_CONTAINER.idx");
    WriteFile(copy, ReadFile(path_));
    if (Exists(path_ + ".change")) WriteFile(copy + ".change", ReadFile(path_ + ".change"));
    return copy;
  }

  static void ExpectRecords(SFileIndex& idx, uint64_t n) {
    ASSERT_EQ(idx.m_Header.TotalEntries, n);
    uint64_t deleted = 0;
    for (uint64_t k = 1; k <= n; ++k) {
      SSfileContainerIndexEntry r;
      ASSERT_TRUE(idx.GetEntry(static_cast<int64_t>(k - 1), &r).IsSuccess()) << k;
      ASSERT_EQ(r.Key, k);
      ASSERT_EQ(r.DataLength, 100 + k);
      deleted += r.Deleted != 0;
    }
    EXPECT_EQ(idx.m_Header.DeletedEntries, deleted);
  }

  TempDir dir_;
  TempDir crash_;
  std::string path_ = dir_.File("SFILE_CONTAINER.idx");
  CFSInitParams params_ = Params();
};

TEST_F(IndexJournal, TheJournalHoldsEveryModifiedPageInOrder) {
  SFileIndex idx(&params_, nullptr);
  CreateJournaled(idx, 1300);  // 128 + 1300 * 56 bytes: pages 0, 1 and 7392 bytes of page 2
  const CXoError e = FlushStoppingInApply(idx, 1);
  ASSERT_TRUE(e.IsFailure());
  EXPECT_TRUE(platform::LogContains("Failed to write to page 1"));
  EXPECT_FALSE(Exists(path_ + ".change.tmp"));

  const std::string journal = ReadFile(path_ + ".change");
  ASSERT_EQ(journal.size(), 12u + 3 * 12 + 2 * IDX_PAGE_SIZE + 7392);
  EXPECT_EQ(GetBE32(journal, 0), Crc(journal, 4));
  EXPECT_EQ(GetBE32(journal, 4), 2u);
  EXPECT_EQ(GetBE32(journal, 8), 3u);
  size_t at = 12;
  const uint64_t sizes[] = {IDX_PAGE_SIZE, IDX_PAGE_SIZE, 7392};
  for (uint64_t page = 0; page < 3; ++page) {
    EXPECT_EQ(GetBE64(journal, at), page);
    EXPECT_EQ(GetBE32(journal, at + 8), sizes[page]);
    at += 12 + sizes[page];
  }
  EXPECT_EQ(journal.substr(12 + 12, 7), "SFILIDX");

  // Page 0 is in place and clean, the rest wait for the next Flush, which completes the work.
  EXPECT_EQ(Access::Pages(idx).at(0)->Modified, 0);
  EXPECT_EQ(Access::Pages(idx).at(1)->Modified, 1);
  EXPECT_EQ(Access::Pages(idx).at(2)->Modified, 1);
  EXPECT_TRUE(Access::Dirty(idx));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Flush, "SFILE_CONTAINER.idx") -
                platform::Faults().Calls(FsOp::Flush, ".change"),
            0)
      << "the index file is not flushed after a failed page write";

  ASSERT_TRUE(idx.Flush().IsSuccess());
  EXPECT_FALSE(Exists(path_ + ".change"));
  EXPECT_TRUE(platform::LogContains("Change [1], Aligned [0]"));
  ASSERT_TRUE(idx.Close().IsSuccess());
  SFileIndex reopened(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(reopened.Open(path_, 1, opt).IsSuccess());
  ExpectRecords(reopened, 1300);
}

TEST_F(IndexJournal, WithoutChangeFileModeNoJournalIsWritten) {
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(path_, opt).IsSuccess());
  Append(idx, 1, 50);
  ASSERT_TRUE(idx.Flush().IsSuccess());
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, ".change"), 0);
  EXPECT_EQ(platform::Faults().Calls(FsOp::Remove), 0);
  EXPECT_TRUE(platform::LogContains("Change [0], Aligned [1]"));

  // Nothing changed since: a Flush touches nothing and says nothing.
  platform::Faults().Reset();
  platform::ResetLogs();
  ASSERT_TRUE(idx.Flush().IsSuccess());
  for (FsOp op : {FsOp::Open, FsOp::Write, FsOp::Seek, FsOp::Flush, FsOp::Remove}) {
    EXPECT_EQ(platform::Faults().Calls(op), 0) << platform::FsOpName(op);
  }
  EXPECT_TRUE(platform::Logs().empty());
}

TEST_F(IndexJournal, AJournalThatCannotBeOpenedIsRetriedFiveTimes) {
  SFileIndex idx(&params_, nullptr);
  CreateJournaled(idx, 10);
  platform::Faults().Add(platform::FaultRule{FsOp::Open, ".change.tmp", 1, -1, EINVAL});
  CXoError e = idx.Flush();
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
  EXPECT_EQ(e.Message(), "WriteChangeFile failed.");
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, ".change.tmp"), 5);
  EXPECT_EQ(platform::SleptMs(), 4000);
  EXPECT_EQ(platform::LogCount("Failed to write to the change file"), 1u);
  EXPECT_TRUE(platform::LogContains("Failed to generate change file."));
  EXPECT_TRUE(Access::Dirty(idx));
  EXPECT_EQ(ReadFile(path_).size(), 0u) << "no page reached the index";
}

TEST_F(IndexJournal, AFailedRemovalIsReportedAndTheNextFlushStartsAfresh) {
  SFileIndex idx(&params_, nullptr);
  CreateJournaled(idx, 10);
  platform::Faults().Add(platform::FaultRule{FsOp::Remove, ".change", 1, 1});
  CXoError e = idx.Flush();
  EXPECT_TRUE(e.IsFailure());
  EXPECT_TRUE(platform::LogContains("Failed to delete file [" + path_ + ".change]"));
  EXPECT_TRUE(Exists(path_ + ".change"));
  Append(idx, 11, 12);
  ASSERT_TRUE(idx.Flush().IsSuccess());
  EXPECT_FALSE(Exists(path_ + ".change"));
}

// After a Flush that failed in the middle of writing pages, the journal on disk is the only
// complete record of the state; a later Flush that fails early must not destroy it.
TEST_F(IndexJournal, AnInterruptedFlushKeepsTheLastCompleteJournal) {
  SFileIndex idx(&params_, nullptr);
  CreateJournaled(idx, 1300);
  ASSERT_TRUE(FlushStoppingInApply(idx, 1).IsFailure());
  const std::string complete = ReadFile(path_ + ".change");

  Append(idx, 1301, 1400);
  platform::Faults().Add(platform::FaultRule{FsOp::Write, ".change.tmp", 3, -1});
  EXPECT_TRUE(idx.Flush().IsFailure());
  EXPECT_EQ(ReadFile(path_ + ".change"), complete);

  SFileIndex recovered(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(recovered.Open(CrashCopy(), 2, opt).IsSuccess());
  ExpectRecords(recovered, 1300);
}

TEST_F(IndexJournal, ReplayAtOpenInReadWriteMode) {
  std::string copy;
  {
    SFileIndex idx(&params_, nullptr);
    CreateJournaled(idx, 600);
    ASSERT_TRUE(idx.Flush().IsSuccess());
    Append(idx, 601, 1300);
    ASSERT_TRUE(FlushStoppingInApply(idx, 1).IsFailure());
    copy = CrashCopy();  // before the object goes away and finishes its work
  }
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  const long long flushes = platform::Faults().Calls(FsOp::Flush, copy);
  ASSERT_TRUE(idx.Open(copy, 2, opt).IsSuccess());
  EXPECT_EQ(platform::Faults().Calls(FsOp::Flush, copy) - flushes, 1) << "the index is flushed once";
  ExpectRecords(idx, 1300);
  EXPECT_TRUE(platform::LogContains("Change file [" + copy + ".change] found. Going to try and replay the file"));
  EXPECT_TRUE(platform::LogContains("Applied changes in the change file."));
  EXPECT_FALSE(Exists(copy + ".change"));
}

// A reader sees the interrupted Flush's state, appended records included, and writes nothing.
TEST_F(IndexJournal, ReplayAtOpenInReadOnlyModeStaysInMemory) {
  std::string copy;
  {
    SFileIndex idx(&params_, nullptr);
    CreateJournaled(idx, 600);
    ASSERT_TRUE(idx.Flush().IsSuccess());
    Append(idx, 601, 1300);
    ASSERT_TRUE(FlushStoppingInApply(idx, 0).IsFailure());
    copy = CrashCopy();
  }
  const std::string index = ReadFile(copy);
  const std::string journal = ReadFile(copy + ".change");
  {
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    ASSERT_TRUE(idx.Open(copy, 1, opt).IsSuccess());
    ExpectRecords(idx, 1300);
    for (const auto& entry : Access::Pages(idx)) {
      EXPECT_EQ(entry.second->Modified, 0) << "the journal lies over the file; its pages stay evictable";
    }
    EXPECT_EQ(Access::Size(idx), 128u + 1300 * 56);
  }
  EXPECT_EQ(ReadFile(copy), index);
  EXPECT_EQ(ReadFile(copy + ".change"), journal);
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx.Open(copy, 2, opt).IsSuccess());
  ExpectRecords(idx, 1300);
}

// Journals whose checksum fails were cut short by a crash: removed, and the index opens as the
// previous Flush left it.
TEST_F(IndexJournal, APartlyWrittenJournalIsRemoved) {
  const std::string index = PackedSfileFile({1, 2, 3}, 3);
  std::string complete = Journal({{0, PackedSfileFile({1, 2, 3, 4}, 4)}});
  std::string flipped = complete;
  flipped[40] ^= 1;
  std::string wrongCrc = complete;
  wrongCrc[0] ^= 1;
  const std::pair<const char*, std::string> cases[] = {
      {"Empty", ""}, {"OnlyTheCrc", complete.substr(0, 4)}, {"Truncated", complete.substr(0, 100)},
      {"FlippedByte", flipped}, {"WrongCrc", wrongCrc}};
  for (int mode : {1, 2}) {
    for (const auto& [name, bytes] : cases) {
      SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode));
      platform::ResetLogs();
      WriteFile(path_, index);
      WriteFile(path_ + ".change", bytes);
      SFileIndex idx(&params_, nullptr);
      auto opt = Opts<SFileIndex>(false, false);
      ASSERT_TRUE(idx.Open(path_, mode, opt).IsSuccess());
      EXPECT_EQ(idx.m_Header.TotalEntries, 3u);
      EXPECT_TRUE(platform::LogContains("Found partially written change file. Deleting it."));
      EXPECT_FALSE(Exists(path_ + ".change"));
    }
  }
}

// Journals whose checksum holds but whose contents do not add up were not cut short by a crash:
// they are refused as corrupt and kept for a person to look at.
TEST_F(IndexJournal, ACorruptJournalFailsTheOpenAndIsKept) {
  const std::string index = PackedSfileFile({1, 2, 3}, 3);
  std::string unknownVersion = Journal({{0, index}}, 3);
  std::string oversized = Journal({{0, std::string(IDX_PAGE_SIZE + 1, 'x')}});
  std::string missingRecord = Journal({{0, index}});
  PutBE32(missingRecord, 8, 2);
  FixJournalCrc(missingRecord);
  std::string hugeCount = Journal({{0, index}});
  PutBE32(hugeCount, 8, 0xFFFFFFFFu);
  FixJournalCrc(hugeCount);
  std::string hugePage = Journal({{0x7FFFFFFFFFFFFFFFull, "x"}});
  std::string farPage = Journal({{0, index}, {uint64_t{1} << 40, "x"}});
  std::string onlyAVersion(8, '\0');  // nothing after the version: the version is what is refused
  PutBE32(onlyAVersion, 4, 3);
  FixJournalCrc(onlyAVersion);
  std::string v1PastThePage(12, '\0');  // block 7 ends at 32768; 8 more bytes would cross the page
  PutBE32(v1PastThePage, 4, 1);
  PutBE32(v1PastThePage, 8, 1);
  std::string block(8, '\0');
  PutBE32(block, 0, 7);
  PutBE32(block, 4, 4096 + 8);
  v1PastThePage += block + std::string(4096 + 8, 'y');
  FixJournalCrc(v1PastThePage);
  const std::pair<const char*, std::string> cases[] = {
      {"UnknownVersion", unknownVersion}, {"RecordLongerThanAPage", oversized},
      {"FewerRecordsThanCounted", missingRecord}, {"CountBeyondTheJournal", hugeCount},
      {"PageBeyondAnyFile", hugePage}, {"PageFarBeyondTheIndex", farPage},
      {"UnknownVersionAlone", onlyAVersion}, {"Version1BlockPastItsPage", v1PastThePage}};
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    platform::ResetLogs();
    WriteFile(path_, index);
    WriteFile(path_ + ".change", bytes);
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    CXoError e = idx.Open(path_, 2, opt);
    EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
    EXPECT_TRUE(platform::LogContains("Unable to read the change file. Skipping it."));
    EXPECT_TRUE(platform::LogContains("Failed to read the change file [" + path_ + ".change]"));
    EXPECT_EQ(ReadFile(path_ + ".change"), bytes);
    EXPECT_EQ(ReadFile(path_), index);
    if (std::string(name).rfind("UnknownVersion", 0) == 0) {
      EXPECT_TRUE(platform::LogContains("Can't handle change file of version [3]."));
    }
  }
}

TEST_F(IndexJournal, Version1JournalsPlaceBlocksInsideTheirPage) {
  std::vector<uint64_t> keys;
  for (uint64_t k = 1; k <= 900; ++k) keys.push_back(k);
  const std::string index = PackedSfileFile(keys, 900);  // 50528 bytes: page 1 is partly there
  std::string journal(12, '\0');
  PutBE32(journal, 4, 1);
  PutBE32(journal, 8, 2);
  for (uint32_t b : {9u, 10u}) {
    std::string head(8, '\0');
    PutBE32(head, 0, b);
    PutBE32(head, 4, 4096);
    journal += head + std::string(4096, static_cast<char>('A' + b - 9));
  }
  FixJournalCrc(journal);
  WriteFile(path_, index);
  WriteFile(path_ + ".change", journal);
  {
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    ASSERT_TRUE(idx.Open(path_, 1, opt).IsSuccess());
    const auto& page = *Access::Pages(idx).at(1);
    EXPECT_EQ(page.Modified, 0) << "read from the index with the journal laid over it";
    EXPECT_EQ(page.Size, 50528u - IDX_PAGE_SIZE);
    EXPECT_EQ(std::string(page.Data, 4096), index.substr(IDX_PAGE_SIZE, 4096)) << "read from the index";
    EXPECT_EQ(std::string(page.Data + 4096, 4096), std::string(4096, 'A'));
    EXPECT_EQ(std::string(page.Data + 8192, 4096), std::string(4096, 'B'));
  }
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx.Open(path_, 2, opt).IsSuccess());
  const std::string disk = ReadFile(path_);
  EXPECT_EQ(disk.substr(36864, 8192), std::string(4096, 'A') + std::string(4096, 'B'));
  EXPECT_EQ(disk.substr(45056), index.substr(45056));
  EXPECT_FALSE(Exists(path_ + ".change"));
}

// A journal of short records spread over many pages is what the format allows (a version 1
// journal of 900 bytes may reach ten pages): it is replayed, holding no more pages than an Open
// reads anyway, however many pages its records reach.
TEST_F(IndexJournal, ShortRecordsInManyPagesReplayWithinFewPages) {
  std::vector<uint64_t> keys;
  for (uint64_t k = 1; k <= 7000; ++k) keys.push_back(k);
  const std::string index = PackedSfileFile(keys, 7000);  // pages 0 to 11
  // In each of ten pages from page 1 on, a record shortly after a 4096-byte block start is marked deleted
  // by a block that runs from that start to the record's end.
  std::string journal(12, '\0');
  std::string expected = index;
  std::vector<uint64_t> marked;
  uint64_t lastPage = 0;
  for (uint64_t i = 0; i < keys.size() && marked.size() < 10; ++i) {
    const uint64_t pos = 128 + i * 56;
    if (pos % 4096 > 24 || pos / IDX_PAGE_SIZE == lastPage) continue;
    lastPage = pos / IDX_PAGE_SIZE;
    const uint64_t start = pos - pos % 4096;
    expected.replace(pos, 56, SfileRecBytes(keys[i], 1));
    std::string head(8, '\0');
    PutBE32(head, 0, static_cast<uint32_t>(start / 4096));
    PutBE32(head, 4, static_cast<uint32_t>(pos + 56 - start));
    journal += head + expected.substr(start, pos + 56 - start);
    marked.push_back(i);
  }
  ASSERT_EQ(marked.size(), 10u);
  PutBE32(journal, 4, 1);
  PutBE32(journal, 8, 10);
  FixJournalCrc(journal);
  ASSERT_LE(journal.size(), 900u);

  auto expectMarked = [&](SFileIndex& idx) {
    ASSERT_EQ(idx.m_Header.TotalEntries, 7000u);
    for (uint64_t i : marked) {
      SSfileContainerIndexEntry r;
      ASSERT_TRUE(idx.GetEntry(static_cast<int64_t>(i), &r).IsSuccess()) << i;
      EXPECT_EQ(r.Deleted, 1u) << i;
    }
  };
  for (int mode : {1, 2}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    WriteFile(path_, index);
    WriteFile(path_ + ".change", journal);
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    CXoError e = idx.Open(path_, mode, opt);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_LE(Access::Pages(idx).size(), 2u) << "the header's page and the last record's";
    expectMarked(idx);
    if (mode == 1) {
      EXPECT_EQ(ReadFile(path_), index);
      EXPECT_EQ(ReadFile(path_ + ".change"), journal);
    } else {
      EXPECT_EQ(ReadFile(path_), expected);
      EXPECT_FALSE(Exists(path_ + ".change"));
    }
  }
}

// An aligned file replays a journal only when its owner works with one; then a short page before
// the last is reported once and the replay goes on.
TEST_F(IndexJournal, AlignedFilesReplayOnlyInChangeFileMode) {
  HeaderFields h;
  h.version = 4;
  h.blockSize = 512;
  const std::string index = HeaderBytes(h);
  std::string page0 = index + std::string(512 - 128, '\0') + SfileRecBytes(1);
  const std::string journal = Journal({{0, page0}, {1, SfileRecBytes(2)}});
  WriteFile(path_, index);
  WriteFile(path_ + ".change", journal);
  {
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    ASSERT_TRUE(idx.Open(path_, 2, opt).IsSuccess());
    EXPECT_EQ(idx.m_Header.TotalEntries, 0u);
    EXPECT_EQ(ReadFile(path_ + ".change"), journal) << "neither read nor removed";
    EXPECT_EQ(platform::Faults().Calls(FsOp::Open, ".change"), 0);
  }
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(true, false);
  ASSERT_TRUE(idx.Open(path_, 2, opt).IsSuccess());
  EXPECT_EQ(platform::LogCount("Assertion failed in"), 1u);
  EXPECT_TRUE(platform::LogContains("pPage->Size == IDX_PAGE_SIZE"));
  EXPECT_FALSE(Exists(path_ + ".change"));
  // Record 567 is the first slot of the block at 32768; the ones between are a hole.
  EXPECT_EQ(idx.m_Header.TotalEntries, 568u);
  SSfileContainerIndexEntry r;
  ASSERT_TRUE(idx.GetEntry(567, &r).IsSuccess());
  EXPECT_EQ(r.Key, 2u);
  ASSERT_TRUE(idx.GetEntry(0, &r).IsSuccess());
  EXPECT_EQ(r.Key, 1u);
}

}  // namespace
