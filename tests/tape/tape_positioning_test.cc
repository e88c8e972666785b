// Positioning that hosts ask for (the search for a chunk, the end-of-data test, the rewind after a
// failed file marker update), WORM media and hardware encryption.

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;
using platform::TapeFault;

// A tape with the label and three chunks, each followed by its trailer: chunk k in file 2k,
// its trailer in file 2k + 1.
class Positioning : public TapeTest {
 protected:
  void SetUp() override {
    TapeTest::SetUp();
    std::vector<std::vector<std::string>> files = {{platform::FormatTapeLabel(kMediaId, block)}};
    for (long long k = 1; k <= 3; ++k) {
      files.push_back({Pattern(block, k), Pattern(block, 10 + k)});
      std::string trailer = TrailerText(100 + k, 2 * k, kMediaId);
      trailer.resize(block, '0');
      files.push_back({trailer});
    }
    ASSERT_TRUE(platform::WriteTapeFile(cartridge, files));
    LoadCartridge();
    platform::MediaManager().volumes[kVolId].numFiles = 7;
  }

  // The record index just after file mark `marks` (0: the beginning of the tape).
  size_t StartOfFile(long long file) {
    const platform::VirtualTape& t = *Library().Slot(kDevice)->tape;
    long long marks = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      if (marks == file - 1) return i;
      if (t.record(i).mark) ++marks;
    }
    return t.size();
  }

  size_t& Head() { return Library().Slot(kDevice)->head; }
};

// The movement after a match is kept as it is: P + 2 file marks back from inside the trailer
// (P one more than the file marks passed), then one forward; the file number is put back.
TEST_F(Positioning, LocateChunkMovesBackFromTheMatchingTrailer) {
  struct Case {
    long long startFile;  // where the search starts
    bool atEndOfFile;     // at the end of the file before it (a file mark is read first)
    long long chunkId;
    long long endFile;    // the file at whose start the head ends
  };
  for (const Case& c : {Case{5, false, 102, 3}, Case{7, false, 103, 5}, Case{4, true, 102, 2}}) {
    SCOPED_TRACE(c.startFile);
    JobSetup s = Job(0);
    auto tape = Start(s);
    tape->m_llFileNumber = 42;
    Head() = c.atEndOfFile ? StartOfFile(c.startFile + 1) - 1 : StartOfFile(c.startFile);
    EXPECT_EQ(1, tape->LocateChunk(c.chunkId));
    EXPECT_EQ(StartOfFile(c.endFile), Head());
    EXPECT_EQ(42, tape->GetFileNumber());
    EXPECT_FALSE(tape->m_bFileClosed);
    const long long back = c.atEndOfFile ? 4 : 3;
    EXPECT_EQ(std::vector<long long>{back}, Library().CallsOf("spaceFileMarksBackward").back().args);
    EXPECT_TRUE(platform::LogContains("Trying to rewind back by " + std::to_string(back) +
                                      " filemarks from the current position"));
  }
}

TEST_F(Positioning, LocateChunkStopsAtWhatIsNotATrailer) {
  JobSetup s = Job(0);
  auto tape = Start(s);
  Head() = StartOfFile(4);  // a chunk's data
  EXPECT_EQ(0, tape->LocateChunk(103));
  EXPECT_TRUE(tape->m_bFileClosed);
  EXPECT_TRUE(platform::LogContains("Could not get Media info from CMT locating and verifying chunk. "));

  // Another chunk's trailer, its file mark, then a chunk: no match.
  Head() = StartOfFile(3);
  EXPECT_EQ(0, tape->LocateChunk(103));
  // A failing spacing after the match.
  Head() = StartOfFile(5);
  Library().Fail(kDevice, TapeFault{"spaceFileMarksBackward", kTapeIoError, 1, 1, -1, 0});
  EXPECT_EQ(0, tape->LocateChunk(102));
  EXPECT_TRUE(platform::LogContains(" Could not locate the chunk upon file marker mismatch "));
}

// A blank or odd tape cannot keep the search reading: it ends after as many file marks as the
// volume holds files (at least two), or after two empty reads in a row.
TEST_F(Positioning, LocateChunkSearchIsBounded) {
  std::vector<std::vector<std::string>> empty(200);
  ASSERT_TRUE(platform::WriteTapeFile(cartridge, empty));
  LoadCartridge();
  for (long long files : {0LL, 1LL, 5LL}) {
    SCOPED_TRACE(files);
    MediaManager().volumes[kVolId].numFiles = files;
    JobSetup s = Job(0);
    auto tape = Start(s);
    Head() = 0;
    const size_t reads = Library().Count("readData");
    EXPECT_EQ(0, tape->LocateChunk(1));
    EXPECT_EQ(static_cast<size_t>(std::max(files, 2LL)), Library().Count("readData") - reads);
  }
  // A drive that fails without a reason and delivers nothing, for ever.
  JobSetup s = Job(0);
  auto tape = Start(s);
  Library().Fail(kDevice, TapeFault{"readData", kTapeNoSense, 1, -1, 0, 0});
  const size_t reads = Library().Count("readData");
  EXPECT_EQ(0, tape->LocateChunk(1));
  EXPECT_EQ(2u, Library().Count("readData") - reads);
  EXPECT_EQ(2u, platform::LogCount("Continue locating chunk as we got empty buffer after FM"));
}

TEST_F(Positioning, EndOfValidData) {
  JobSetup s = Job();
  auto tape = Start(s);
  bool found = true;
  Head() = Library().Slot(kDevice)->tape->size();
  EXPECT_EQ(1, tape->IsCurrentPositionEndOfValidData(found));
  EXPECT_FALSE(found);
  EXPECT_EQ(Library().Slot(kDevice)->tape->size(), Head());

  Head() = StartOfFile(6);
  EXPECT_EQ(0, tape->IsCurrentPositionEndOfValidData(found));
  EXPECT_TRUE(found);

  Library().Fail(kDevice, TapeFault{"spaceFileMarksForward", kTapeHardwareError, 1, 1, -1, 0});
  EXPECT_EQ(0, tape->IsCurrentPositionEndOfValidData(found));
  EXPECT_FALSE(found);
  EXPECT_EQ(tape->m_strDeviceError, tape->m_strLastErrorMsg);
  EXPECT_TRUE(platform::LogContains("But the error code is not End of data."));

  Head() = Library().Slot(kDevice)->tape->size();
  Library().Fail(kDevice, TapeFault{"spaceFileMarksBackward", kTapeHardwareError, 1, 1, -1, 0});
  EXPECT_EQ(0, tape->IsCurrentPositionEndOfValidData(found));
  EXPECT_TRUE(platform::LogContains("Failed to move backwards on the tape by one file mark "));
}

TEST_F(Positioning, ResetFileMarkerOnMediaRewinds) {
  JobSetup s = Job();
  auto tape = Start(s);
  Head() = 5;
  EXPECT_EQ(0, tape->ResetFileMarkerOnMedia());
  EXPECT_EQ(0u, Head());
  Library().Fail(kDevice, TapeFault{"rewindMedia", kTapeHardwareError, 1, 1, -1, 0});
  EXPECT_EQ(-1, tape->ResetFileMarkerOnMedia());
  EXPECT_STREQ("Error rewinding tape volid = 11", tape->GetErrorString());
}

// ---- WORM media ---------------------------------------------------------------------------------

// A WORM tape with one file mark more than the volume record knows (written after the last
// update of the media manager): the append point is its end of data, and the next Close records
// the extra file too.
TEST_F(Positioning, WormTapeWithAnExtraFileMark) {
  auto files = Library().Files(kDevice);
  std::vector<std::vector<std::string>> withExtra;
  for (const auto& f : files) withExtra.push_back(f.blocks);
  withExtra.push_back({});
  ASSERT_TRUE(platform::WriteTapeFile(cartridge, withExtra));
  platform::TapeGeometry worm;
  worm.wormType = 2;
  LoadCartridge(worm);
  JobSetup s = Job();
  s.details.uiOptionFlags = MediaFSDriveDetails::kOptionWormDetection;
  auto tape = Start(s);
  const std::string data = Pattern(block, 50);
  MediaFSArchiveFileId_t id = Id(CHUNK, 104);
  ASSERT_EQ(0, WriteFile(*tape, id, data)) << tape->m_strLastErrorMsg;
  EXPECT_EQ((std::vector<long long>{2}), MediaManager().CallsOf("setMediaWorm").back().args);
  EXPECT_EQ((std::vector<long long>{9, 1}), MediaManager().CallsOf("setFileMarker").back().args);
  EXPECT_EQ((std::vector<long long>{2}), MediaManager().CallsOf("incrNumFiles").back().args);
  EXPECT_EQ(9, MediaManager().volumes[kVolId].numFiles);
  EXPECT_EQ(1, tape->m_iFilesPerClose);
  EXPECT_TRUE(platform::LogContains("Wrote Extra File Mark or Found new FM on the WORM tape after EOD on volume "
                                    "11.Now there are 8 FMs. FM Increment Count= 2"));
  const auto onTape = Library().Files(kDevice);
  ASSERT_EQ(9u, onTape.size());
  EXPECT_TRUE(onTape[8].Bytes() == data);

  // Without WORM detection the spacing lands before the extra mark, where WORM media refuse to
  // write: the volume is marked full as write protected.
  tape.reset();
  ASSERT_TRUE(platform::WriteTapeFile(cartridge, withExtra));
  LoadCartridge(worm);
  MediaManager().volumes[kVolId].numFiles = 7;
  JobSetup plain = Job();
  plain.reserve.m_cachedFileMark = -1;
  tape = Start(plain);
  EXPECT_EQ(-2, WriteFile(*tape, id, data));
  EXPECT_TRUE(platform::LogContains("Skipping WORM MEDIA Detection as per user selection for this ZovadAdeve..."));
  EXPECT_EQ(42008, MediaManager().CallsOf("markFull").back().args[0]);
}

// ---- Hardware encryption -------------------------------------------------------------------------

TEST_F(Positioning, EncryptionOperations) {
  JobSetup s = Job();
  auto tape = Start(s);
  EXPECT_TRUE(tape->isHardWareEncryptionSupported());
  unsigned char key[] = {1, 2, 3};
  EXPECT_EQ(0, tape->enableHardwareEncryption(0, key));
  EXPECT_EQ(0, tape->enableHardwareEncryption(3, nullptr));
  EXPECT_TRUE(platform::LogContains("[nt_fs_tape::enableHardwareEncryption]: Key Length passed in invalid or Key "
                                    "value is null. iKeyLength = [0]"));
  EXPECT_EQ(1, tape->enableHardwareEncryption(3, key));
  EXPECT_NE(0u, Library().Slot(kDevice)->keyTag);
  EXPECT_EQ(1, tape->disableHardwareEncryption());
  EXPECT_EQ(0u, Library().Slot(kDevice)->keyTag);

  Library().Slot(kDevice)->setup.encryptionSupported = false;
  EXPECT_FALSE(tape->isHardWareEncryptionSupported());
  EXPECT_EQ(0, tape->enableHardwareEncryption(3, key));
  EXPECT_EQ(789, tape->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to set Data Encryption Key on the tape drive"));
  EXPECT_EQ(0, tape->disableHardwareEncryption());
  EXPECT_TRUE(platform::LogContains("Failed to disable Data Encryption on the tape drive"));

  // The key accessors copy.
  OzcBucket bucket(key, sizeof(key));
  tape->setHardwareEncryptionKey(bucket);
  EXPECT_EQ(3u, tape->getHardwareEncryptionKey().length());
  tape->setFlagForTrailerValidation(7);
  EXPECT_EQ(7, tape->getFlagForTrailerValidation());
}

// Trailers written with hardware encryption are checked with the job's key set on the drive; a
// key that the drive refuses shows 30070 and the label is verified instead.
TEST_F(TapeTest, EncryptedTrailerChecks) {
  const unsigned char key[] = {7, 7, 7, 7, 7, 7, 7, 7};
  for (bool refuseKey : {false, true}) {
    SCOPED_TRACE(refuseKey);
    platform::ResetAll();
    SetUp();
    {
      JobSetup s = Job();
      auto tape = Start(s);
      ASSERT_EQ(1, tape->enableHardwareEncryption(sizeof(key), const_cast<unsigned char*>(key)));
      ASSERT_EQ(2, BackupChunk(*tape, 1, Pattern(100, 1), 1));
      ASSERT_EQ(1, tape->disableHardwareEncryption());
    }
    platform::ResetLogs();
    JobSetup s = Job();
    s.reserve.m_hwEncryptedTrailers = true;
    if (refuseKey) Library().Fail(kDevice, TapeFault{"setEncryptionKey", kTapeHardwareError, 1, 1, -1, 0});
    auto tape = Start(s);
    MediaFSArchiveFileId_t id = Id(CHUNK, 2);
    id.iTrailerValidationMode = 1;
    id.HwEncryptionKey = OzcBucket(key, sizeof(key));
    ASSERT_EQ(0, tape->Create(&id)) << tape->m_strLastErrorMsg;
    EXPECT_TRUE(platform::LogContains("Going to decrypt the chunk map trailer."));
    EXPECT_EQ(!refuseKey, platform::LogContains("DataMover will use cached filemarker since it is validated "));
    EXPECT_EQ(refuseKey, platform::LogContains("Failed to set hardware encryption Key on hardware device while "
                                               "validating  encrypted chunk map trailer."));
    EXPECT_EQ(refuseKey ? 0 : 1, tape->m_iTrailerValidationMode);
    EXPECT_EQ(refuseKey, platform::LogContains("After OML verify, rewinding media to beginning for VolId=11"));
    EXPECT_EQ(sizeof(key), tape->getHardwareEncryptionKey().length());
    ASSERT_EQ(0, tape->Close());
    EXPECT_EQ(4, tape->GetFileNumber());
  }
}

// The restore side: the read cached position's trailer is encrypted.
TEST_F(TapeTest, EncryptedTrailerCheckOnTheReadSide) {
  const unsigned char key[] = {5, 4, 3};
  {
    JobSetup s = Job();
    auto tape = Start(s);
    ASSERT_EQ(1, tape->enableHardwareEncryption(sizeof(key), const_cast<unsigned char*>(key)));
    ASSERT_EQ(2, BackupChunk(*tape, 1, Pattern(100, 1), 1));
    ASSERT_EQ(4, BackupChunk(*tape, 2, Pattern(100, 2), 1));
  }
  {
    JobSetup r = Job(0);
    auto reader = Start(r);
    ASSERT_EQ(1, reader->enableHardwareEncryption(sizeof(key), const_cast<unsigned char*>(key)));
    ASSERT_TRUE(Pattern(100, 1) == Restore(*reader, 2, 100));
    ASSERT_EQ(1, reader->disableHardwareEncryption());
  }
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse);
    platform::ResetLogs();
    JobSetup r = Job(0);
    r.reserve.m_hwEncryptedTrailers = true;
    r.reserve.m_cachedFileMark = 2;
    r.reserve.m_cachedFileMarkKind = 2;
    if (refuse) Library().Fail(kDevice, TapeFault{"setEncryptionKey", kTapeHardwareError, 1, 1, -1, 0});
    auto reader = Start(r);
    Library().Slot(kDevice)->head = 3;  // inside file 2, where the last restore stopped
    MediaFSArchiveFileId_t id = Id(CHUNK, 2, 4, 100);
    id.iTrailerValidationMode = 1;
    id.HwEncryptionKey = OzcBucket(key, sizeof(key));
    EXPECT_EQ(0, reader->Open(&id, true)) << reader->m_strLastErrorMsg;
    EXPECT_EQ(!refuse, platform::LogContains("Successfully validated the filemarker position on the media.."));
    EXPECT_EQ(refuse, platform::LogContains("validating  Encrypted chunk map trailer."));
    EXPECT_EQ(refuse, platform::LogContains("Failed to validate the read cached filemarker location for restore"));
    reader->disableHardwareEncryption();
  }
}

}  // namespace
