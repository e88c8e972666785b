// Repositioning after a failed block write (a new drive object, the append point again, the
// bytes already written skipped), the position monitor, and the file mark that closes a chunk.

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;
using platform::TapeFault;

class Reposition : public TapeTest {
 protected:
  // A backup object positioned in a new chunk with `blocks` blocks written.
  std::unique_ptr<TapeUnderTest> ChunkWithBlocks(JobSetup& s, int blocks, std::string& written) {
    auto tape = Start(s);
    tape->SetWriteRetryOptions(true, 3);
    MediaFSArchiveFileId_t id = Id(CHUNK, 31);
    EXPECT_EQ(0, tape->Create(&id));
    for (int i = 0; i < blocks; ++i) {
      const std::string b = Pattern(block, 100 + i);
      bool eom = false;
      EXPECT_EQ(static_cast<int>(block), tape->Write2(b.data(), block, eom));
      written += b;
    }
    return tape;
  }
};

TEST_F(Reposition, FailedBlockIsWrittenAgainAtItsPlace) {
  for (int before : {0, 2}) {
    SCOPED_TRACE(before);
    platform::ResetAll();
    SetUp();
    JobSetup s = Job();
    std::string written;
    auto tape = ChunkWithBlocks(s, before, written);
    const long long objects = Library().objectsMade;
    // The drive takes part of the block and fails: that part must not stay on the tape.
    Library().Fail(kDevice, TapeFault{"writeData", kTapeIoError, 1, 1, 1000, 0});
    const std::string b = Pattern(block, 7);
    bool eom = false;
    platform::ResetLogs();
    ASSERT_EQ(static_cast<int>(block), tape->Write2(b.data(), block, eom)) << tape->GetErrorString();
    written += b;
    EXPECT_EQ(objects + 1, Library().objectsMade);
    EXPECT_TRUE(platform::LogContains("We need to skip " + std::to_string(before * block) +
                                      " bytes before we write the data that originally failed "));
    EXPECT_TRUE(platform::LogContains("Successfully positioned to the last data block written to the tape.. after "
                                      "filemarker [1] and data of size " + std::to_string(before * block)));
    ASSERT_EQ(0, tape->Close());
    tape.reset();
    const auto files = Library().Files(kDevice);
    ASSERT_EQ(2u, files.size());
    EXPECT_TRUE(files[1].Bytes() == written);
    JobSetup r = Job(0);
    auto reader = Start(r);
    EXPECT_TRUE(Restore(*reader, 2, written.size()) == written);
  }
}

TEST_F(Reposition, NoRetryFromTheReadSideOrAfterLeotInTheSkip) {
  JobSetup s = Job();
  auto tape = Start(s);
  bool again = true;
  EXPECT_EQ(-1, tape->RepositionMediaForWrite(again));
  EXPECT_FALSE(again);
  EXPECT_TRUE(platform::LogContains("[nt_fs_tape::RepositionMediaForWrite] : function is called during a restore "
                                    "operation.. something is wrong "));

  std::string written;
  JobSetup w = Job();
  auto writer = ChunkWithBlocks(w, 2, written);
  Library().Fail(kDevice, TapeFault{"readData", kTapeEarlyWarning, 2, 1, -1, 0});  // the label read comes first
  EXPECT_EQ(-1, writer->RepositionMediaForWrite(again));
  EXPECT_FALSE(again);
  EXPECT_TRUE(platform::LogContains("Failed to read data of size [65536] while trying the repoistion the tape head"));

  // Another failure of the skip read leaves the retry allowed.
  Library().Fail(kDevice, TapeFault{"readData", kTapeIoError, 2, 1, -1, 0});
  EXPECT_EQ(-1, writer->RepositionMediaForWrite(again));
  EXPECT_TRUE(again);
}

// The append point comes from the reservation. In a later archive file of the job it is no longer
// where the failed file began: repositioning there would overwrite the job's closed files, so it
// refuses and forbids a retry, and those files stay intact.
TEST_F(Reposition, StaleAppendPointIsNotWrittenOver) {
  JobSetup s = Job();
  auto tape = Start(s);
  tape->SetWriteRetryOptions(true, 3);
  const std::string first = Pattern(2 * block, 1);
  ASSERT_EQ(2, BackupChunk(*tape, 1, first));
  MediaFSArchiveFileId_t id = Id(CHUNK, 2);
  ASSERT_EQ(0, tape->Create(&id));
  Library().Fail(kDevice, TapeFault{"writeData", kTapeIoError, 1, 1, -1, 0});
  const std::string b = Pattern(block, 2);
  bool eom = false;
  EXPECT_EQ(-1, tape->Write2(b.data(), block, eom));
  EXPECT_TRUE(platform::LogContains("is not the start of the archive file being written (after file mark 3)"));
  tape.reset();
  const auto files = Library().Files(kDevice);
  ASSERT_GE(files.size(), 3u);
  EXPECT_TRUE(files[1].Bytes() == first);
  EXPECT_TRUE(files[2].closed);
  JobSetup r = Job(0);
  auto reader = Start(r);
  EXPECT_TRUE(Restore(*reader, 2, first.size()) == first);
}

// ---- The position monitor ------------------------------------------------------------------------

TEST_F(TapeTest, PositionMonitorFailsWhenTheTapeWentBackwards) {
  platform::Config().SetNumber("ZovadAdeve", "nVerifyTapePosition", 1);
  JobSetup s = Job();
  auto tape = Start(s);
  ASSERT_TRUE(tape->m_bVerifyPosition);
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, tape->Create(&id));
  EXPECT_EQ(2, tape->m_iLastTapePosition);  // label and its file mark
  EXPECT_TRUE(platform::LogContains("The Tape Position obtained before creating chunk= 2 "));
  const std::string data = Pattern(block, 1);
  ASSERT_EQ(static_cast<int>(block), tape->Write(data.data(), block));
  ASSERT_EQ(0, tape->Close());
  EXPECT_EQ(4, tape->m_iLastTapePosition);
  EXPECT_TRUE(platform::LogContains("The Tape Position obtained after closing the chunk= 4 "));

  // Someone rewound the tape between two archive files.
  Library().Slot(kDevice)->head = 1;
  ASSERT_EQ(-1, tape->Create(&id));
  EXPECT_EQ(972, tape->MediaFSGetLastError());
  EXPECT_EQ(4, tape->m_iLastTapePosition);
  EXPECT_NE(std::string::npos, tape->m_strLastErrorMsg.find("Failed to get Tape Position"));

  // A position that cannot be read fails with the drive's code.
  Library().Slot(kDevice)->head = 4;
  Library().Fail(kDevice, TapeFault{"readPosition", kTapeHardwareError, 1, 1, -1, 0});
  EXPECT_EQ(-1, tape->Create(&id));
  EXPECT_EQ(790, tape->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("while Reading Tape Position"));
}

// ---- The file mark that closes a chunk ------------------------------------------------------------

struct MarkCase {
  const char* name;
  bool volumeFull;  // the volume-full flag was set before the close
  int code;         // the file mark's failure
  int close;        // Close's result
  bool recorded;    // the file was recorded with the media manager
};

class CloseMark : public TapeTest, public ::testing::WithParamInterface<MarkCase> {};

// While the volume is full, only LEOT (the mark is on the tape) is let through: a chunk whose
// closing file mark failed otherwise is never recorded as complete.
TEST_P(CloseMark, OnlyLeotIsLetThrough) {
  const MarkCase& c = GetParam();
  JobSetup s = Job();
  auto tape = Start(s);
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, tape->Create(&id));
  const std::string data = Pattern(block, 1);
  ASSERT_EQ(static_cast<int>(block), tape->Write(data.data(), block));
  tape->m_bVolumeFull = c.volumeFull;
  Library().Fail(kDevice, TapeFault{"writeFileMarks", c.code, 1, 1, -1, 0});
  EXPECT_EQ(c.close, tape->Close());
  EXPECT_EQ(c.recorded, MediaManager().Count("incrNumFiles") == 1);
  EXPECT_TRUE(tape->m_bVolumeFull || c.code != kTapeEarlyWarning);
  if (c.code == kTapeEarlyWarning && !c.volumeFull) {
    EXPECT_EQ(0, tape->m_llKBRemaining);
    EXPECT_TRUE(platform::LogContains("Enocuntered LEOT while writing filemark. Tape will be spanned"));
  }
  if (c.close != 0) {
    EXPECT_EQ(790, tape->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains("Error writing Tape Marker =2, on the tape VolId = 11 "));
    EXPECT_EQ(0u, tape->m_strLastErrorMsg.find("WriteFileMark Failed"));
    EXPECT_EQ(-1, tape->m_llWriteCachedFM);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloseMark,
    ::testing::Values(MarkCase{"Leot", false, kTapeEarlyWarning, 0, true},
                      MarkCase{"LeotWhileFull", true, kTapeEarlyWarning, 0, true},
                      MarkCase{"Failure", false, kTapeHardwareError, -1, false},
                      MarkCase{"FailureWhileFull", true, kTapeHardwareError, -1, false}),
    [](const ::testing::TestParamInfo<MarkCase>& i) { return std::string(i.param.name); });

}  // namespace
