// The drive's codes as one table, each through the roads that meet it: a block write, a block
// read, the positioning of an open and of a create. For each: the last error, the soft errors of
// the volume and the drive (1, or 6 for a medium error), the drive's cleaning mark, volume-full
// marking and its reason, the text shown to the job, and the media manager's cached file markers
// reset.

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;
using platform::TapeFault;

enum class Road { Write, Read, Open, Create };

const char* RoadName(Road r) {
  switch (r) {
    case Road::Write: return "Write";
    case Road::Read: return "Read";
    case Road::Open: return "Open";
    case Road::Create: return "Create";
  }
  return "";
}

struct CodeRow {
  int driveCode;
  long long mm;
  int volumeSoftErrors;  // 1 or 6 (medium error), 0: none
  int driveSoftErrors;
  bool cleaning;         // the drive is marked for cleaning (without the clean-on-CRC option)
  int writeFullReason;   // the write road's volume-full reason, 0: none
};

const CodeRow kRows[] = {
    {kTapeCrcError, 762, 1, 1, false, 0},        {kTapeIoError, 764, 1, 1, false, 0},
    {kTapeHardwareError, 790, 1, 1, false, 0},   {kTapeNeedsCleaning, 793, 1, 1, true, 0},
    {kTapeMediumError, 843, 6, 0, false, 0},     {kTapeWriteProtected, 766, 0, 0, false, 42008},
    {kTapePhysicalEnd, 974, 0, 0, false, 42001}, {kTapeNoMedia, 770, 0, 0, false, 0},
    {kTapeReservationConflict, 792, 0, 0, false, 0},
};

class DriveCodes : public TapeTest, public ::testing::WithParamInterface<std::tuple<CodeRow, Road>> {
 protected:
  // A tape holding one chunk (file 2) and its trailer, the MM's state as after that job.
  void SetUp() override {
    TapeTest::SetUp();
    JobSetup s = Job();
    auto tape = Start(s);
    chunkData = Pattern(2 * block, 5);
    ASSERT_EQ(2, BackupChunk(*tape, 42, chunkData));
  }

  void Inject(const char* op, int code) {
    TapeFault f;
    f.op = op;
    f.code = code;
    Library().Fail(kDevice, f);
  }

  std::string chunkData;
};

TEST_P(DriveCodes, CountedMarkedAndShown) {
  const auto& [row, road] = GetParam();
  const bool restore = road == Road::Read || road == Road::Open;
  JobSetup s = Job(restore ? 0 : kDataMoverModeBackup);
  s.reserve.m_cachedFileMark = -1;  // the create spaces from the beginning
  auto tape = Start(s);
  const size_t callsBefore = MediaManager().calls.size();
  const char* shown = nullptr;
  int rc = 0;
  switch (road) {
    case Road::Write: {
      MediaFSArchiveFileId_t id = Id(CHUNK, 43);
      ASSERT_EQ(0, tape->Create(&id));
      Inject("writeData", row.driveCode);
      const std::string data = Pattern(block, 6);
      bool eom = false;
      rc = tape->Write2(data.data(), block, eom);
      EXPECT_FALSE(eom);
      shown = "WriteFile to media failed";
      break;
    }
    case Road::Read: {
      MediaFSArchiveFileId_t id = Id(CHUNK, 42, 2, static_cast<long long>(chunkData.size()));
      ASSERT_EQ(0, tape->Open(&id, true));
      Inject("readData", row.driveCode);
      std::string buf(block, '\0');
      rc = tape->Read(buf.data(), buf.size());
      shown = "ReadFile from media failed";
      break;
    }
    case Road::Open: {
      Inject("spaceFileMarksForward", row.driveCode);
      MediaFSArchiveFileId_t id = Id(CHUNK, 42, 2, static_cast<long long>(chunkData.size()));
      rc = tape->Open(&id, true);
      shown = "Failed to set the tape position";
      break;
    }
    case Road::Create: {
      Inject("spaceFileMarksForward", row.driveCode);
      MediaFSArchiveFileId_t id = Id(CHUNK, 43);
      rc = tape->Create(&id);
      shown = "Failed to set the tape position";
      break;
    }
  }
  EXPECT_EQ(-1, rc);
  EXPECT_EQ(row.mm, tape->MediaFSGetLastError());
  EXPECT_NE(std::string::npos, tape->m_strDeviceError.find("/dev/nst0"));
  EXPECT_EQ(0u, tape->m_strLastErrorMsg.find(shown)) << tape->m_strLastErrorMsg;

  // Soft errors: counted with the kind 5, the media ID asked first on the block roads.
  const platform::MMVolume& v = MediaManager().volumes[kVolId];
  const platform::MMDrive& d = MediaManager().drives[kDriveId];
  EXPECT_EQ(row.volumeSoftErrors, v.softErrors);
  EXPECT_EQ(row.driveSoftErrors, d.softErrors);
  const bool blockRoad = road == Road::Write || road == Road::Read;
  for (size_t i = callsBefore; i < MediaManager().calls.size(); ++i) {
    const platform::MMCall& c = MediaManager().calls[i];
    if (c.op == "incrSoftErrors") {
      EXPECT_EQ((std::vector<long long>{row.volumeSoftErrors, 5}), c.args);
      EXPECT_EQ(blockRoad, MediaManager().calls[i - 1].op == "getMediaID");
    }
    if (c.op == "incrNumSoftErrs") {
      EXPECT_EQ(blockRoad, MediaManager().calls[i - 1].op == "drive.getMediaID");
    }
  }
  EXPECT_EQ(row.cleaning, d.needsCleaning);
  if (row.volumeSoftErrors == 1 && !row.cleaning) {
    EXPECT_TRUE(platform::LogContains("Will not mark the drive needs cleaning as option is not enabled "));
  }

  // Volume full: the write road by the code's reason, the create road with the code itself.
  const auto full = MediaManager().CallsOf("markFull", kVolId);
  if (road == Road::Write && row.writeFullReason != 0) {
    ASSERT_EQ(1u, full.size());
    EXPECT_EQ(row.writeFullReason, full[0].args[0]);
    EXPECT_EQ(s.job.jobId, full[0].args[1]);
  } else if (road == Road::Create) {
    ASSERT_EQ(1u, full.size());
    EXPECT_EQ(row.mm, full[0].args[0]);
  } else {
    EXPECT_TRUE(full.empty());
  }

  // The media manager's cached file markers are reset by every failed write, read and open.
  const auto resets = MediaManager().CallsOf("resetFileMarker", kVolId);
  if (road == Road::Create) {
    EXPECT_TRUE(resets.empty());
  } else {
    ASSERT_FALSE(resets.empty());
    EXPECT_EQ(std::vector<long long>{0}, resets.back().args);
  }
  EXPECT_EQ(-1, tape->m_llWriteCachedFM);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DriveCodes,
    ::testing::Combine(::testing::ValuesIn(kRows),
                       ::testing::Values(Road::Write, Road::Read, Road::Open, Road::Create)),
    [](const ::testing::TestParamInfo<std::tuple<CodeRow, Road>>& i) {
      return std::string(RoadName(std::get<1>(i.param))) + "_" + std::to_string(std::get<0>(i.param).mm);
    });

// A CRC error marks the drive for cleaning only with the clean-on-CRC option.
TEST_F(TapeTest, CrcErrorMarksTheDriveForCleaningOnlyWithTheOption) {
  for (bool option : {false, true}) {
    SCOPED_TRACE(option);
    platform::ResetAll();
    SetUp();
    JobSetup s = Job();
    if (option) s.oml.m_uiFlags |= OZMAOMLParams::kFlagCleanOnCrc;
    auto tape = Start(s);
    EXPECT_EQ(option, tape->m_bCleanOnCrc);
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    ASSERT_EQ(0, tape->Create(&id));
    Library().Fail(kDevice, TapeFault{"writeData", kTapeCrcError, 1, 1, -1, 0});
    int eom = 0;
    const std::string data = Pattern(block, 1);
    EXPECT_EQ(-1, tape->WriteToMedia(data.data(), static_cast<long>(block), &eom));
    EXPECT_EQ(option, MediaManager().drives[kDriveId].needsCleaning);
    EXPECT_EQ(option ? 1u : 0u,
              platform::LogCount("Marking that drive needs cleaning as CRC error/cleaning required error has been "
                                 "reported by the drive "));
    EXPECT_TRUE(platform::LogContains("IO Error while writing to tape at fileMarker=1 tape media path=/dev/nst0 - Tape "
                                      "VolId=11"));
  }
}

// End of data met while spacing to the append point fails the create and marks the volume full
// with the code as the reason (only an empty tape, at file number 0, may end there).
TEST_F(TapeTest, EndOfDataWhilePositioningForAWriteMarksTheVolumeFull) {
  JobSetup s = Job();
  auto tape = Start(s);
  Library().Fail(kDevice, TapeFault{"spaceFileMarksForward", kTapeEndOfData, 1, 1, -1, 0});
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  EXPECT_EQ(-1, tape->Create(&id));  // file number 1: not tolerated
  EXPECT_EQ(773, MediaManager().CallsOf("markFull").back().args[0]);
  EXPECT_TRUE(platform::LogContains("nttape"));
  EXPECT_TRUE(platform::LogContains("Marking the Tape as Full as it could not position the tape file marker"));
}

// The read that meets the file mark ends the archive file: it returns the bytes delivered with
// the mark, advances the file number, and every read after it fails until the next open.
TEST_F(TapeTest, FileMarkEndsTheArchiveFile) {
  JobSetup s = Job();
  auto tape = Start(s);
  ASSERT_EQ(2, BackupChunk(*tape, 42, Pattern(100, 1)));
  tape.reset();
  JobSetup r = Job(0);
  tape = Start(r);
  MediaFSArchiveFileId_t id = Id(CHUNK, 42, 2, 100);
  ASSERT_EQ(0, tape->Open(&id, true));
  std::string buf(block, '\0');
  EXPECT_EQ(static_cast<int>(block), tape->ReadFromMedia(buf.data(), static_cast<long>(block)));
  Library().Fail(kDevice, TapeFault{"readData", kTapeFileMark, 1, 1, 40, 0});
  EXPECT_EQ(0, tape->ReadFromMedia(buf.data(), static_cast<long>(block)));  // the mark: nothing came with it
  EXPECT_TRUE(tape->m_bFileClosed);
  EXPECT_EQ(2, tape->GetFileNumber());
  EXPECT_EQ(-1, tape->ReadFromMedia(buf.data(), static_cast<long>(block)));
  EXPECT_TRUE(platform::LogContains("Read occuring on file which is already closed or end of file marker detected"));
  EXPECT_EQ(786, tape->MediaFSGetLastError());
  EXPECT_EQ(std::vector<long long>{0}, MediaManager().CallsOf("resetFileMarker").back().args);

  // Bytes delivered together with a file mark are returned.
  ASSERT_EQ(0, tape->Close());
  ASSERT_EQ(0, tape->Open(&id, true));
  Library().Fail(kDevice, TapeFault{"readData", kTapeFileMark, 1, 1, 40, 0});
  EXPECT_EQ(40, tape->ReadFromMedia(buf.data(), static_cast<long>(block)));
  EXPECT_TRUE(tape->m_bFileClosed);
}

}  // namespace
