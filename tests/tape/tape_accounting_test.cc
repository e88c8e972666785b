// The media manager's accounting of the tape and the small slots: the append point from the
// volume's file count, physical bytes and transfer statistics, remaining space, compression
// failures that do not stop a backup, and writes of nothing or of less than asked.

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;
using platform::TapeFault;

TEST_F(TapeTest, AppendPointFromTheVolumesFileCount) {
  struct Case {
    long long reservationFiles;
    long long volumeFiles;
    int result;
  };
  for (const Case& c : {Case{1, 9, 0}, Case{-1, 1, 0}, Case{0, 9, -1}, Case{-1, 0, -1}}) {
    SCOPED_TRACE(std::to_string(c.reservationFiles) + "/" + std::to_string(c.volumeFiles));
    platform::ResetAll();
    SetUp();
    MediaManager().volumes[kVolId].numFiles = c.volumeFiles;
    JobSetup s = Job();
    s.reserve.m_numFiles = c.reservationFiles;
    auto tape = Start(s);
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    EXPECT_EQ(c.result, tape->Create(&id));
    if (c.result == 0) {
      EXPECT_EQ(1, tape->GetFileNumber());
      EXPECT_EQ(2, tape->GetNumFiles());
      EXPECT_TRUE(platform::LogContains("Starting FM = 1. Hardware compression [0]"));
    } else {
      EXPECT_EQ(30029, tape->MediaFSGetLastError());
      EXPECT_EQ("Failed to determine the last write position on the media to continue the backup",
                tape->m_strLastErrorMsg);
      EXPECT_EQ(1u, Library().Count("closeDevice"));
    }
    EXPECT_EQ(c.reservationFiles < 0 ? 1u : 0u, MediaManager().Count("getNumFiles"));
  }
}

TEST_F(TapeTest, CheckForDataBeingOverWrittenStopsTheBackup) {
  MediaManager().volumes[kVolId].checkFileMarkerStatus = 305;
  JobSetup s = Job();
  auto tape = Start(s);
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  EXPECT_EQ(-1, tape->Create(&id));
  EXPECT_TRUE(platform::LogContains("Check for Data Being Over Written failed "));
  EXPECT_EQ(42009, MediaManager().CallsOf("markFull").back().args[0]);
  EXPECT_EQ(0u, Library().Count("writeData"));
}

TEST_F(TapeTest, PhysicalBytesAndTransferStatistics) {
  for (bool countTrailers : {false, true}) {
    SCOPED_TRACE(countTrailers);
    platform::ResetAll();
    SetUp();
    JobSetup s = Job();
    auto tape = Start(s);
    tape->m_bCountTrailerTransfer = countTrailers;
    ASSERT_EQ(2, BackupChunk(*tape, 1, Pattern(3 * block, 1)));
    const auto physical = MediaManager().CallsOf("incrNumPhysicalBytes");
    ASSERT_EQ(2u, physical.size());
    EXPECT_EQ((std::vector<long long>{static_cast<long long>(3 * block) + 32768, -1}), physical[0].args);
    EXPECT_EQ((std::vector<long long>{static_cast<long long>(block) + 32768, -1}), physical[1].args);
    const auto transfers = MediaManager().CallsOf("updateDataTransferInfo");
    ASSERT_EQ(countTrailers ? 2u : 1u, transfers.size());
    EXPECT_EQ(0, transfers[0].args[0]);  // whole MiB
    EXPECT_EQ(0, transfers[0].args[1]);
  }
}

TEST_F(TapeTest, RemainingSpace) {
  JobSetup s = Job();
  auto tape = Start(s);
  EXPECT_EQ(1073741824, tape->GetRemainingSpace());
  tape->m_bVolumeFull = true;
  EXPECT_EQ(0, tape->GetRemainingSpace());
  tape->m_bCalculatedSpace = true;
  tape->m_llKBRemaining = 10;
  tape->m_llPhysicalBytes = 1000;
  EXPECT_EQ(10 * 1024 - 1000, tape->GetRemainingSpace());
  tape->m_llKBRemaining = 0;
  EXPECT_EQ(0, tape->GetRemainingSpace());

  unsigned long long bytes = 77;
  EXPECT_EQ(-1, tape->getFreeSpaceFromMedia(bytes));
  EXPECT_EQ(77u, bytes);
  EXPECT_EQ(1, tape->WriteRetrySupported());
  EXPECT_EQ(0, tape->InitCatalogOperationOnMedia(3));
  EXPECT_EQ(1, tape->GetMarkType());
  EXPECT_EQ(1, tape->media_fs::LocateChunk(5));  // the frame's default, for comparison
}

TEST_F(TapeTest, CompressionFailureDoesNotStopTheBackup) {
  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    platform::ResetAll();
    SetUp();
    Library().Fail(kDevice, TapeFault{"setCompression", kTapeHardwareError, 1, 2, -1, 0});
    JobSetup s = Job();
    auto tape = Start(s);
    tape->SetHardwareComp(on);
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    EXPECT_EQ(0, tape->Create(&id));
    EXPECT_EQ(790, tape->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains(on ? "Error in setting tape drive compression for the tape drive path=/dev/nst0 - "
                                           "Tape VolId= 11 "
                                         : "Error in resetting tape drive compression for the tape drive "
                                           "path=/dev/nst0 - Tape VolId=11 "));
    EXPECT_TRUE(platform::LogContains("Encountered the error Hardware error (drive /dev/nst0) while setting the "
                                      "compression on the drive "));
    EXPECT_EQ(0u, tape->m_strLastErrorMsg.find("Failed to set Tape Drive Compression. This will not affect the backup"));
    EXPECT_EQ((std::vector<long long>{on ? 1 : 0}), Library().CallsOf("setCompression").back().args);
  }
}

TEST_F(TapeTest, WritesOfNothingAndShortWrites) {
  JobSetup s = Job();
  auto tape = Start(s);
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, tape->Create(&id));
  const size_t writes = Library().Count("writeData");
  int eom = 1;
  EXPECT_EQ(0, tape->WriteToMedia("x", 0, &eom));
  EXPECT_EQ(0, eom);
  EXPECT_EQ(writes, Library().Count("writeData"));
  EXPECT_STREQ("Request to write zero bytes - Tape VolId=11", tape->GetErrorString());

  Library().Fail(kDevice, TapeFault{"writeData", kTapeOk, 1, 1, 100, 0});
  const std::string data = Pattern(block, 2);
  EXPECT_EQ(100, tape->WriteToMedia(data.data(), static_cast<long>(block), &eom));
  EXPECT_EQ(0, eom);
  EXPECT_TRUE(platform::LogContains("Wrote 100 bytes instead of 65536 bytes at filemarker=1 path=/dev/nst0 - Tape "
                                    "VolId=11"));
}

// The physical end of the tape: the volume is marked full, the job is told, the block failed.
TEST_F(TapeTest, PhysicalEndOfTheTape) {
  platform::TapeGeometry g;
  g.physicalEnd = static_cast<long long>(block);  // nothing fits after the label
  LoadCartridge(g);
  JobSetup s = Job();
  auto tape = Start(s);
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, tape->Create(&id));
  const std::string data = Pattern(block, 3);
  bool eom = false;
  EXPECT_EQ(-1, tape->Write2(data.data(), block, eom));
  EXPECT_EQ(974, tape->MediaFSGetLastError());
  EXPECT_EQ(42001, MediaManager().CallsOf("markFull").back().args[0]);
  EXPECT_TRUE(platform::LogContains("Trying to write to media which reached its physical end. Marking the volume 11 full "));
  EXPECT_NE(std::string::npos, tape->m_strLastErrorMsg.find("The Physical End of Tape Reached."));
  EXPECT_EQ(0u, tape->m_strLastErrorMsg.find("WriteFile to media failed"));
}

// A retry after LEOT that fails with another code marks the volume full and shows nothing to the
// job; the bytes both passes took are what the frame counts.
TEST_F(TapeTest, RetryAfterLeotFailingWithAnotherCode) {
  platform::TapeGeometry g;
  g.earlyWarning = static_cast<long long>(block + 500);
  LoadCartridge(g);
  JobSetup s = Job();
  auto tape = Start(s);
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, tape->Create(&id));
  Library().Fail(kDevice, TapeFault{"writeData", kTapeNoMedia, 2, 1, 20, 0});
  const std::string data = Pattern(block, 4);
  const size_t events = platform::Jobs().events.size();
  int eom = 0;
  EXPECT_EQ(-1, tape->WriteToMedia(data.data(), static_cast<long>(block), &eom));
  EXPECT_EQ(1, eom);
  EXPECT_EQ(520, tape->GetCurrentTransferCount());
  EXPECT_EQ(2u, MediaManager().Count("markFull"));
  EXPECT_TRUE(platform::LogContains("Encountered the above error after retrying write... on tape at fileMarker=1 tape "
                                    "media path=/dev/nst0 - Tape VolId=11 bytes_written 20"));
  EXPECT_EQ(events, platform::Jobs().events.size());
  EXPECT_EQ(770, tape->MediaFSGetLastError());
}

TEST_F(TapeTest, ReaderModeReadsWithoutTheMediaManager) {
  JobSetup s = Job();
  auto writer = Start(s);
  ASSERT_EQ(2, BackupChunk(*writer, 1, Pattern(20000, 5)));
  writer.reset();
  JobSetup r = Job(0);
  auto reader = NewTape(r);
  ASSERT_EQ(0, reader->Init(Params(r, kMediaTypeReader), false));
  ASSERT_EQ(0, reader->SetDrReaderVolumeBlockSize(static_cast<int>(block / 1024)));
  const size_t calls = MediaManager().calls.size();
  EXPECT_TRUE(Pattern(20000, 5) == Restore(*reader, 2, 20000));
  // A read error: no soft errors, no job events in the reader mode.
  MediaFSArchiveFileId_t id = Id(CHUNK, 1, 2, 20000);
  ASSERT_EQ(0, reader->Open(&id, true));
  Library().Fail(kDevice, TapeFault{"readData", kTapeIoError, 1, 1, -1, 0});
  std::string buf(1000, '\0');
  EXPECT_EQ(-1, reader->Read(buf.data(), buf.size()));
  EXPECT_EQ(calls, MediaManager().calls.size());
}

}  // namespace
