// Set-up of the tape media: the drive object, the library's process-wide flags, the serial number
// check, the SCSI-3 and SCSI-2 reservations (and two jobs competing for one drive), the reader
// mode, the position monitor setting and the re-initialisation of the read side.

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;
using platform::TapeFault;

// ---- Serial numbers ----------------------------------------------------------------------------

struct SerialCase {
  const char* name;
  const char* driveSerial;
  int32_t driveType;
  const char* expected;
  int result;
  long long lastError;
  const char* logLine;
  bool reserved;  // the SCSI-2 reservation was made
};

class SerialNumbers : public TapeTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialNumbers, CheckThenReserve) {
  const SerialCase& c = GetParam();
  Library().Slot(kDevice)->setup.serialNumber = c.driveSerial;
  Library().Slot(kDevice)->setup.driveType = c.driveType;
  platform::Config().SetNumber("ZovadAdeve", "nVerifyTapePosition", 1);
  JobSetup s = Job();
  s.oml.m_strSerialNumber = c.expected;
  s.details.uiReservationFlags = MediaFSDriveDetails::kReserveScsi2;
  auto tape = NewTape(s);
  EXPECT_EQ(c.result, tape->Init(Params(s), false));
  EXPECT_EQ(c.lastError, tape->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains(c.logLine)) << c.logLine;
  EXPECT_EQ(c.reserved, Library().Slot(kDevice)->scsi2Holder == s.job.jobId);
  EXPECT_EQ(c.reserved, tape->m_bVerifyPosition);
}

const char kMismatchText[] = "Serial Number of the drive is mismatched. The Drive Access Paths may have changed";

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialNumbers,
    ::testing::Values(
        SerialCase{"Exact", kSerial, 1, kSerial, 0, 0,
                   "Serial number HU1234567 for drive, access path- /dev/nst0 Matched successfully.", true},
        SerialCase{"DriveType4", "OTHER", 4, kSerial, 0, 0, "Matched successfully.", true},
        SerialCase{"NoExpectedSerial", "OTHER", 1, "", 0, 0, "Successfully completed SCSI2 reservations", true},
        // A partial match reserves the drive too: nobody else may write to it.
        SerialCase{"ExpectedInsideDrive", kSerial, 1, "1234567", 0, 0,
                   "Matched Partially successfully.Expected [1234567], Got [HU1234567]", true},
        SerialCase{"DriveInsideExpected", "1234", 1, kSerial, 0, 0, "Matched Partially successfully.", true},
        SerialCase{"EmptyDriveSerial", "", 1, kSerial, -1, 973, kMismatchText, false},
        SerialCase{"Mismatch", "ZZ999", 1, kSerial, -1, 973,
                   "For Drive access path- /dev/nst0, Expected Serial Number [HU1234567], Got [ZZ999]", false}),
    [](const ::testing::TestParamInfo<SerialCase>& i) { return std::string(i.param.name); });

TEST_F(TapeTest, MismatchLeavesItsTextForTheJob) {
  Library().Slot(kDevice)->setup.serialNumber = "ZZ999";
  JobSetup s = Job();
  auto tape = NewTape(s);
  EXPECT_EQ(-1, tape->Init(Params(s), false));
  EXPECT_EQ(kMismatchText, tape->m_strLastErrorMsg);
  EXPECT_EQ(kMismatchText, tape->m_strDeviceError);
}

TEST_F(TapeTest, UnreadableSerialNumberKeepsShortDriveTextsOnly) {
  const std::string longPath = "/dev/" + std::string(120, 'p');
  for (const std::string& path : {std::string(kDevice), longPath}) {
    SCOPED_TRACE(path.size());
    platform::ResetAll();
    SetUp();
    Library().AddDrive(path, Library().Slot(kDevice)->setup);
    Library().Fail(path, TapeFault{"getSerialNumber", kTapeHardwareError, 1, 1, -1, 0});
    JobSetup s = Job();
    auto tape = std::make_unique<TapeUnderTest>(&s.job, kMediaType, path.c_str(), false);
    MediaFsInitParams p = Params(s, kMediaType, kVolId, path);
    EXPECT_EQ(-1, tape->Init(p, false));
    EXPECT_EQ(790, tape->MediaFSGetLastError());
    if (path == kDevice) {
      EXPECT_EQ(tape->m_strDeviceError, tape->m_strLastErrorMsg);
      EXPECT_LT(tape->m_strDeviceError.size(), 100u);
    } else {
      EXPECT_GE(tape->m_strDeviceError.size(), 100u);
      EXPECT_EQ("Failed to get Serial Number from Drive.", tape->m_strLastErrorMsg);
    }
  }
}

// ---- Reservations ------------------------------------------------------------------------------

TEST_F(TapeTest, Scsi3ReservationValuesKeyAndRelease) {
  JobSetup s = Job();
  s.oml.m_uiFlags |= OZMAOMLParams::kFlagScsi3Reservation;
  s.oml.m_iReservationA = 1;
  s.oml.m_iReservationB = 2;
  s.oml.m_iReservationC = 3;
  s.details.uiReservationFlags = MediaFSDriveDetails::kReserveScsi2;  // SCSI-3 wins
  auto tape = Start(s);
  EXPECT_EQ((std::vector<long long>{2, 3, 1}), Library().CallsOf("doForcePR_Reserve").back().args);
  EXPECT_EQ(0u, Library().Count("doSCSI2Reserve"));
  EXPECT_FALSE(tape->m_strReservationKey.empty());
  EXPECT_EQ(Library().Slot(kDevice)->scsi3Key, tape->m_strReservationKey);
  tape.reset();
  EXPECT_EQ(-1, Library().Slot(kDevice)->scsi3Holder);
  EXPECT_TRUE(platform::LogContains("Successfully completed SCSI3 Release for drive accesspath /dev/nst0."));
  EXPECT_EQ(0, Library().objectsAlive);
}

TEST_F(TapeTest, Scsi3ReservationFailingThreeTimesPausesBetweenTries) {
  Library().Fail(kDevice, TapeFault{"doForcePR_Reserve", kTapeHardwareError, 1, 3, -1, 0});
  JobSetup s = Job();
  s.oml.m_uiFlags |= OZMAOMLParams::kFlagScsi3Reservation;
  auto tape = NewTape(s);
  EXPECT_EQ(-1, tape->Init(Params(s), false));
  EXPECT_EQ(3u, Library().Count("doForcePR_Reserve"));
  EXPECT_EQ(3u, platform::LogCount("Failed to do SCSI3 reservation for drive accesspath /dev/nst0. Error:("));
  EXPECT_EQ(3000, platform::SleptMs());
  EXPECT_TRUE(platform::LogContains("Returning error due to SCSI3 reservation failure for drive accesspath /dev/nst0."));
  EXPECT_EQ(790, tape->MediaFSGetLastError());
  EXPECT_TRUE(tape->m_strReservationKey.empty());
  tape.reset();
  EXPECT_EQ(0u, Library().Count("doPR_Release"));
}

TEST_F(TapeTest, Scsi3ReservationSucceedingOnTheThirdTry) {
  Library().Fail(kDevice, TapeFault{"doForcePR_Reserve", kTapeHardwareError, 1, 2, -1, 0});
  JobSetup s = Job();
  s.oml.m_uiFlags |= OZMAOMLParams::kFlagScsi3Reservation;
  auto tape = Start(s);
  EXPECT_EQ(2000, platform::SleptMs());
  EXPECT_FALSE(tape->m_strReservationKey.empty());
}

TEST_F(TapeTest, Scsi2ReservationFailureFailsTheSetUp) {
  Library().Fail(kDevice, TapeFault{"doSCSI2Reserve", kTapeReservationConflict, 1, 1, -1, 0});
  JobSetup s = Job();
  s.details.uiReservationFlags = MediaFSDriveDetails::kReserveScsi2;
  auto tape = NewTape(s);
  EXPECT_EQ(-1, tape->Init(Params(s), false));
  EXPECT_EQ(792, tape->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to do SCSI2 reservation for drive accesspath /dev/nst0. Error:("));
  EXPECT_EQ(tape->m_strDeviceError, tape->m_strLastErrorMsg);
}

// Two jobs want one drive: the second is refused while the first holds its reservation, and gets
// the drive once the first is done.
TEST_F(TapeTest, TwoJobsCompeteForOneReservation) {
  for (bool scsi3 : {false, true}) {
    SCOPED_TRACE(scsi3);
    platform::ResetAll();
    SetUp();
    JobSetup first = Job(kDataMoverModeBackup, 1);
    JobSetup second = Job(kDataMoverModeBackup, 2);
    for (JobSetup* s : {&first, &second}) {
      if (scsi3) s->oml.m_uiFlags |= OZMAOMLParams::kFlagScsi3Reservation;
      s->details.uiReservationFlags = MediaFSDriveDetails::kReserveScsi2;
    }
    auto holder = Start(first);
    auto other = NewTape(second);
    EXPECT_EQ(-1, other->Init(Params(second), false));
    EXPECT_EQ(792, other->MediaFSGetLastError());
    // The holder writes; the other job cannot move the tape.
    ASSERT_EQ(2, BackupChunk(*holder, 1, Pattern(100, 1)));
    EXPECT_EQ(kTapeReservationConflict, other->m_pDrive->rewindMedia());
    holder.reset();
    auto next = NewTape(second);
    EXPECT_EQ(0, next->Init(Params(second), false)) << next->m_strLastErrorMsg;
  }
}

// ---- Drive object, flags, modes ------------------------------------------------------------------

TEST_F(TapeTest, ConstructorMakesTheDriveObjectAndSetsTheCallback) {
  JobSetup s = Job();
  auto tape = NewTape(s, true);
  EXPECT_EQ(1, platform::TapeCallbackSets());
  ASSERT_NE(nullptr, tape->m_pDrive);
  EXPECT_TRUE(tape->m_bDualMode);
  EXPECT_EQ(3, tape->m_iDriverMode);
  EXPECT_EQ((std::vector<long long>{kMediaType, s.job.jobId, 3}), Library().CallsOf("instance").back().args);
  EXPECT_EQ(1, tape->m_llMarkType);
  EXPECT_EQ(32768, tape->GetFileMarkerSize());
  EXPECT_TRUE(tape->IsMediaTape());
  EXPECT_STREQ(kDevice, tape->GetPath());
  EXPECT_TRUE(platform::LogContains("mediatype [2], mountpath [/dev/nst0]"));
  EXPECT_TRUE(platform::LogContains("Creating the tape drive object in the dual mode to use native and pass thru drivers "));
}

// No object at all from the factory: nothing is read from a missing object; the last error is
// 994 and the device error text says what happened.
TEST_F(TapeTest, FactoryWithoutAnObject) {
  Library().Slot(kDevice)->setup.factoryFails = true;
  JobSetup s = Job();
  auto tape = NewTape(s);
  EXPECT_EQ(nullptr, tape->m_pDrive);
  EXPECT_EQ(994, tape->MediaFSGetLastError());
  EXPECT_EQ("No tape drive object could be made for the device path /dev/nst0", tape->m_strDeviceError);
  EXPECT_EQ(-1, tape->Init(Params(s), false));
  EXPECT_EQ(994, tape->MediaFSGetLastError());
  // Every operation fails cleanly without a drive object.
  MediaFSArchiveFileId_t id = Id(CHUNK, 1, 2, 10);
  EXPECT_EQ(-1, tape->Open(&id, true));
  EXPECT_EQ(0, tape->LocateChunk(1));
  bool found = true;
  EXPECT_EQ(0, tape->IsCurrentPositionEndOfValidData(found));
  EXPECT_EQ(-1, tape->ResetFileMarkerOnMedia());
  EXPECT_FALSE(tape->isHardWareEncryptionSupported());
}

TEST_F(TapeTest, UnusableDriveObjectFailsTheSetUpWithTheDriveError) {
  Library().Slot(kDevice)->setup.invalidCode = kTapeHardwareError;
  JobSetup s = Job();
  auto tape = NewTape(s);
  EXPECT_EQ(-1, tape->Init(Params(s), false));
  EXPECT_EQ(790, tape->MediaFSGetLastError());  // no rescan for this code
  EXPECT_TRUE(platform::LogContains("Encounted the error Hardware error (drive /dev/nst0) while instantiating"));
}

struct FlagCase {
  uint32_t omlFlags;
  bool syncFileMarks;
  bool flag10;
  bool flag100;
  bool flag1000;
};

TEST_F(TapeTest, LibraryFlagsFollowTheLabelParameters) {
  for (const FlagCase& c : {FlagCase{0, false, true, true, false},
                            FlagCase{OZMAOMLParams::kFlagLibraryFlag10Off | OZMAOMLParams::kFlagLibraryFlag100Off,
                                     true, false, false, true}}) {
    platform::ResetAll();
    SetUp();
    platform::Config().syncFileMarks = c.syncFileMarks;
    JobSetup s = Job();
    s.oml.m_uiFlags = c.omlFlags;
    auto tape = Start(s);
    EXPECT_EQ(c.flag10, platform::TapeGlobalFlag(0x10));
    EXPECT_EQ(c.flag100, platform::TapeGlobalFlag(0x100));
    EXPECT_TRUE(platform::TapeGlobalFlag(0x1));
    EXPECT_EQ(c.flag1000, platform::TapeGlobalFlag(0x1000));
    // Before the first archive file, the library attributes decide flag 0x10.
    s.reserve.m_libraryAttributes = c.flag10 ? 1 : 0;
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    ASSERT_EQ(0, tape->Create(&id));
    EXPECT_EQ(!c.flag10, platform::TapeGlobalFlag(0x10));
  }
}

TEST_F(TapeTest, MissingLabelParametersOrDriveDetails) {
  JobSetup s = Job();
  auto tape = NewTape(s);
  tape->MediaFSSetLastError(123);
  MediaFsInitParams p = Params(s);
  p.pOmlParams = nullptr;
  EXPECT_EQ(-1, tape->Init(p, false));
  EXPECT_EQ(123, tape->MediaFSGetLastError());
  EXPECT_EQ("Serial number of the drive is missing that is needed to validate the drive", tape->m_strLastErrorMsg);

  auto other = NewTape(s);
  p = Params(s);
  p.pDriveDetails = nullptr;
  EXPECT_EQ(-1, other->Init(p, false));
  EXPECT_EQ("Scsi Update cannot be completed as the drive details are NULL", other->m_strLastErrorMsg);
}

TEST_F(TapeTest, ReaderModeChecksNothing) {
  JobSetup s = Job(0);
  s.oml.m_strSerialNumber = "WRONG";
  auto tape = NewTape(s);
  MediaFsInitParams p = Params(s, kMediaTypeReader);
  p.pOmlParams = nullptr;
  p.pDriveDetails = nullptr;
  EXPECT_EQ(0, tape->Init(p, false));
  EXPECT_EQ(0u, Library().Count("getSerialNumber"));
}

TEST_F(TapeTest, PositionMonitorSettingIsReadForBackupsOnly) {
  platform::Config().SetNumber("ZovadAdeve", "nVerifyTapePosition", 1);
  JobSetup backup = Job();
  EXPECT_TRUE(Start(backup)->m_bVerifyPosition);
  JobSetup restore = Job(0);
  EXPECT_FALSE(Start(restore)->m_bVerifyPosition);
  platform::Config().SetNumber("ZovadAdeve", "nVerifyTapePosition", 0);
  EXPECT_FALSE(Start(backup)->m_bVerifyPosition);
}

TEST_F(TapeTest, ReInitializeMediaOnTheReadSideOnly) {
  JobSetup backup = Job();
  auto writer = Start(backup);
  OZScsiTapeDrive* before = writer->m_pDrive;
  EXPECT_EQ(-1, writer->ReInitializeMedia());
  EXPECT_EQ(before, writer->m_pDrive);

  ASSERT_EQ(2, BackupChunk(*writer, 1, Pattern(10, 1)));
  writer.reset();
  JobSetup restore = Job(0);
  restore.oml.m_uiFlags |= OZMAOMLParams::kFlagScsi3Reservation;
  auto reader = Start(restore);
  ASSERT_TRUE(Pattern(10, 1) == Restore(*reader, 2, 10));
  const std::string key = reader->m_strReservationKey;
  const long long made = Library().objectsMade;
  EXPECT_EQ(0, reader->ReInitializeMedia());
  EXPECT_EQ(made + 1, Library().objectsMade);
  EXPECT_EQ(-1, reader->GetFileNumber());
  EXPECT_EQ(0u, Library().Count("doPR_Release"));  // reserved again, not released
  EXPECT_NE(key, reader->m_strReservationKey);
  EXPECT_TRUE(platform::LogContains("Successfully re-initialized the scsi tape drive object "));
  EXPECT_TRUE(Pattern(10, 1) == Restore(*reader, 2, 10));

  Library().Slot(kDevice)->setup.invalidCode = kTapeHardwareError;
  EXPECT_EQ(-1, reader->ReInitializeMedia());
  EXPECT_TRUE(platform::LogContains("Failed to create a handle to the tape drive while re-initilizing "));
}

// ---- Rescans: the drive answers at another access path ------------------------------------------

struct RescanCase {
  const char* name;
  bool moveDrive;           // the drive answers at kNewPath only
  const char* wrongSerial;  // the drive at the old path has this serial number (null: the right one)
  const char* rescanPath;   // the path the refresh reports
  bool featureOn;
  bool due;                 // the automatic update runs instead of the media manager query
  int result;
  long long lastError;
  size_t recreated;         // drive objects made again after a rescan
};

class Rescans : public TapeTest, public ::testing::WithParamInterface<RescanCase> {};

TEST_P(Rescans, DriveObjectMadeAgainForTheNewPath) {
  const RescanCase& c = GetParam();
  platform::TapeDriveSetup right = Library().Slot(kDevice)->setup;
  if (c.moveDrive) Library().MoveDrive(kDevice, kNewPath);
  if (c.wrongSerial != nullptr) {
    Library().Slot(kDevice)->setup.serialNumber = c.wrongSerial;
    Library().AddDrive(kNewPath, right);
    ASSERT_TRUE(Library().LoadCartridge(kNewPath, cartridge));
  }
  JobSetup s = Job();
  if (c.featureOn) EnableRefresh(s, c.rescanPath, c.due);
  auto tape = NewTape(s);
  EXPECT_EQ(c.result, tape->Init(Params(s), false)) << tape->m_strLastErrorMsg;
  EXPECT_EQ(c.lastError, tape->MediaFSGetLastError());
  EXPECT_EQ(c.recreated, platform::LogCount("Re-Created OzScsiTape Object after rescan.."));
  EXPECT_STREQ(kDevice, tape->GetPath());  // the media path is kept
  if (c.result == 0) {
    EXPECT_EQ(kNewPath, tape->m_pDrive->path());
    EXPECT_EQ(2, BackupChunk(*tape, 1, Pattern(100, 1)));
    EXPECT_EQ(1u, Library().Files(kNewPath).size() - 2);
  }
  if (c.due) {
    EXPECT_FALSE(platform::Config().mediaConfig.calls.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rescans,
    ::testing::Values(
        RescanCase{"MovedFoundByTheMediaManager", true, nullptr, kNewPath, true, false, 0, 0, 1},
        RescanCase{"MovedFoundByReconfiguring", true, nullptr, kNewPath, true, true, 0, 0, 1},
        RescanCase{"MovedNotFoundAfterTwoRescans", true, nullptr, "/dev/nst8", true, false, -1, 776, 2},
        RescanCase{"MovedWithoutTheFeature", true, nullptr, kNewPath, false, false, -1, 776, 0},
        RescanCase{"SerialMismatchCured", false, "OTHER", kNewPath, true, false, 0, 0, 1},
        RescanCase{"SerialMismatchTwice", false, "OTHER", kDevice, true, false, -1, 973, 2},
        RescanCase{"SerialMismatchWithoutTheFeature", false, "OTHER", kNewPath, false, false, -1, 973, 0}),
    [](const ::testing::TestParamInfo<RescanCase>& i) { return std::string(i.param.name); });

// A drive object that no rescan is tried for (its error is not one that a rescan may cure).
TEST_F(TapeTest, NoRescanForOtherDeviceErrors) {
  Library().Slot(kDevice)->setup.invalidCode = kTapeHardwareError;
  JobSetup s = Job();
  EnableRefresh(s, kNewPath);
  auto tape = NewTape(s);
  EXPECT_EQ(-1, tape->Init(Params(s), false));
  EXPECT_EQ(0u, MediaManager().Count("getDcpInfo"));
}

}  // namespace
