// The virtual tape drive: the cartridge file (records, torn ends), movement over file marks, the
// ends of the tape, WORM and write protection, key tags, reservations between drive objects,
// injected failures and the code table.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::TapeFault;
using platform::TapeGeometry;
using platform::TapeLibrary;

constexpr char kPath[] = "/dev/nst3";

class VirtualDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    file = dir / "tape.vtape";
    TapeLibrary().AddDrive(kPath);
  }

  void Load(const std::vector<std::vector<std::string>>& files, const TapeGeometry& g = {}, bool lastOpen = false) {
    ASSERT_TRUE(platform::WriteTapeFile(file, files, lastOpen));
    std::string error;
    ASSERT_TRUE(TapeLibrary().LoadCartridge(kPath, file, g, &error)) << error;
  }

  std::unique_ptr<OZScsiTapeDrive> Drive(long long job = 1) {
    return std::unique_ptr<OZScsiTapeDrive>(OZScsiTapeDrive::instance(1, kPath, job, 0, "", "", "", -1));
  }

  static std::string Read(OZScsiTapeDrive& d, int& rc, long size = 4096) {
    std::string buf(static_cast<size_t>(size), '\0');
    long long count = -1;
    rc = d.readData(buf.data(), size, count);
    buf.resize(static_cast<size_t>(count));
    return buf;
  }

  size_t Head() { return TapeLibrary().Slot(kPath)->head; }

  TempDir dir;
  std::string file;
};

TEST_F(VirtualDrive, SpacesOverFileMarksAndReadsBlocksMarksAndEndOfData) {
  Load({{"label"}, {"a1", "a2"}, {}, {"c1"}});
  auto d = Drive();
  ASSERT_TRUE(d->isValid());
  int rc = 0;
  EXPECT_EQ("label", Read(*d, rc));
  EXPECT_EQ(kTapeOk, rc);
  EXPECT_EQ("", Read(*d, rc));
  EXPECT_EQ(kTapeFileMark, rc);  // the head moves past the mark
  EXPECT_EQ("a1", Read(*d, rc));

  // Forward: just after the n-th mark ahead; backward: just before the n-th mark behind.
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(2));
  EXPECT_EQ("c1", Read(*d, rc));
  ASSERT_EQ(kTapeOk, d->spaceFileMarksBackward(2));
  EXPECT_EQ("", Read(*d, rc));
  EXPECT_EQ(kTapeFileMark, rc);  // the mark that ends file 2
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(2));
  EXPECT_EQ(kTapeEndOfData, d->spaceFileMarksForward(1));
  EXPECT_EQ(Head(), 8u);  // stopped at the end of data
  Read(*d, rc);
  EXPECT_EQ(kTapeEndOfData, rc);
  EXPECT_EQ(kTapeBeginningOfMedia, d->spaceFileMarksBackward(9));
  EXPECT_EQ(0u, Head());

  // A block larger than the read: what fits, and an error.
  ASSERT_EQ(kTapeOk, d->rewindMedia());
  EXPECT_EQ("lab", Read(*d, rc, 3));
  EXPECT_EQ(kTapeIncorrectLength, rc);
  std::string text;
  EXPECT_EQ(kTapeIncorrectLength, d->getLastError(text));
  EXPECT_EQ(763, MMS2BaseError::OZScsiTapeErrorConvertToMMError(kTapeIncorrectLength));
  EXPECT_NE(std::string::npos, text.find(kPath));
}

TEST_F(VirtualDrive, WritesCutOffWhatFollowsAndSurviveAReload) {
  Load({{"label"}, {"old1"}, {"old2"}});
  auto d = Drive();
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
  long long count = 0;
  ASSERT_EQ(kTapeOk, d->writeData("new", 3, count));
  EXPECT_EQ(3, count);
  ASSERT_EQ(kTapeOk, d->writeFileMarks(1));

  // The cartridge file holds exactly what the drive wrote.
  ASSERT_TRUE(TapeLibrary().LoadCartridge(kPath, file));
  auto files = TapeLibrary().Files(kPath);
  ASSERT_EQ(2u, files.size());
  EXPECT_EQ("label", files[0].Bytes());
  EXPECT_EQ("new", files[1].Bytes());
  EXPECT_TRUE(files[1].closed);
}

TEST_F(VirtualDrive, TornEndOfTheFileIsDroppedOnOpen) {
  Load({{"label"}, {"block-one", "block-two"}}, {}, true);
  const auto full = std::filesystem::file_size(file);
  for (uintmax_t cut : {uintmax_t{1}, uintmax_t{5}, uintmax_t{9}, uintmax_t{20}}) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(platform::WriteTapeFile(file, {{"label"}, {"block-one", "block-two"}}, true));
    ASSERT_EQ(0, truncate(file.c_str(), static_cast<off_t>(full - cut)));
    ASSERT_TRUE(TapeLibrary().LoadCartridge(kPath, file));
    auto files = TapeLibrary().Files(kPath);
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(std::vector<std::string>{"block-one"}, files[1].blocks);
    EXPECT_FALSE(files[1].closed);
    // And the file was cut to the last whole record, so appending goes on cleanly.
    auto d = Drive();
    ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
    ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(0));
    long long count = 0;
    int rc = 0;
    EXPECT_EQ("block-one", Read(*d, rc));
    ASSERT_EQ(kTapeOk, d->writeData("tail", 4, count));
    ASSERT_TRUE(TapeLibrary().LoadCartridge(kPath, file));
    EXPECT_EQ((std::vector<std::string>{"block-one", "tail"}), TapeLibrary().Files(kPath)[1].blocks);
  }
  std::string error;
  ASSERT_TRUE(platform::WriteTapeFile(file, {{"x"}}));
  ASSERT_EQ(0, truncate(file.c_str(), 4));
  std::FILE* f = std::fopen(file.c_str(), "w");
  std::fputs("not a tape at all", f);
  std::fclose(f);
  EXPECT_FALSE(TapeLibrary().LoadCartridge(kPath, file, {}, &error));
  EXPECT_NE(std::string::npos, error.find("not a virtual tape"));
}

struct EndCase {
  const char* name;
  TapeGeometry geometry;
  long long before;  // data bytes on the tape before the write
  long size;
  int rc;
  long long taken;
};

class TapeEnds : public VirtualDrive, public ::testing::WithParamInterface<EndCase> {};

TEST_P(TapeEnds, WriteAtTheEnds) {
  const EndCase& c = GetParam();
  Load({{std::string(static_cast<size_t>(c.before), 'x')}}, c.geometry, true);
  auto d = Drive();
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(0));
  int rc = 0;
  Read(*d, rc, 1 << 20);
  std::string data(static_cast<size_t>(c.size), 'y');
  long long count = -1;
  EXPECT_EQ(c.rc, d->writeData(data.data(), c.size, count));
  EXPECT_EQ(c.taken, count);
  auto files = TapeLibrary().Files(kPath);
  const std::string want = std::string(static_cast<size_t>(c.before), 'x') + std::string(static_cast<size_t>(c.taken), 'y');
  EXPECT_EQ(want, files[0].Bytes());
}

TapeGeometry Ends(long long ew, long long pe, bool cut = true) {
  TapeGeometry g;
  g.earlyWarning = ew;
  g.physicalEnd = pe;
  g.cutAtEarlyWarning = cut;
  return g;
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, TapeEnds,
    ::testing::Values(EndCase{"BeforeWarning", Ends(100, 200), 10, 50, kTapeOk, 50},
                      EndCase{"EndsOnWarning", Ends(100, 200), 10, 90, kTapeOk, 90},
                      EndCase{"CrossesWarning", Ends(100, 200), 10, 120, kTapeEarlyWarning, 90},
                      EndCase{"CrossesWarningWhole", Ends(100, 200, false), 10, 120, kTapeEarlyWarning, 120},
                      EndCase{"PastWarning", Ends(100, 200), 100, 50, kTapeEarlyWarning, 50},
                      EndCase{"CrossesPhysicalEnd", Ends(100, 200), 150, 80, kTapeEarlyWarning, 50},
                      EndCase{"AtPhysicalEnd", Ends(100, 200), 200, 10, kTapePhysicalEnd, 0}),
    [](const ::testing::TestParamInfo<EndCase>& i) { return std::string(i.param.name); });

TEST_F(VirtualDrive, FileMarksPastTheWarningAreWrittenWithIt) {
  Load({{std::string(150, 'x')}}, Ends(100, 150), true);
  auto d = Drive();
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(0));
  int rc = 0;
  Read(*d, rc, 1000);
  EXPECT_EQ(kTapeEarlyWarning, d->writeFileMarks(1));
  EXPECT_TRUE(TapeLibrary().Files(kPath)[0].closed);
}

TEST_F(VirtualDrive, WormAndWriteProtectedMediaKeepWhatTheyHold) {
  TapeGeometry worm;
  worm.wormType = 3;
  Load({{"label"}, {"a"}, {}, {"b"}}, worm);
  auto d = Drive();
  int type = 0;
  EXPECT_NE(0, d->isMediaWorm(type));
  EXPECT_EQ(3, type);
  long long count = 0;
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
  EXPECT_EQ(kTapeWriteProtected, d->writeData("z", 1, count));
  int marks = -1;
  ASSERT_EQ(kTapeOk, d->locateWormEndOfData(2, marks));
  EXPECT_EQ(4, marks);
  EXPECT_EQ(kTapeOk, d->writeData("z", 1, count));

  TapeGeometry locked;
  locked.writeProtected = true;
  Load({{"label"}}, locked);
  EXPECT_EQ(0, d->isMediaWorm(type));
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
  EXPECT_EQ(kTapeWriteProtected, d->writeData("z", 1, count));
  EXPECT_EQ(kTapeWriteProtected, d->writeFileMarks(1));
  EXPECT_EQ(766, MMS2BaseError::OZScsiTapeErrorConvertToMMError(kTapeWriteProtected));
}

TEST_F(VirtualDrive, BlocksCarryTheKeyTheyWereWrittenWith) {
  Load({{"label"}});
  auto d = Drive();
  const unsigned char key[] = {1, 2, 3, 4};
  const unsigned char other[] = {9, 9};
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
  ASSERT_EQ(kTapeOk, d->setEncryptionKey(sizeof(key), key));
  long long count = 0;
  ASSERT_EQ(kTapeOk, d->writeData("secret", 6, count));
  ASSERT_EQ(kTapeOk, d->spaceFileMarksBackward(1));
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
  ASSERT_EQ(kTapeOk, d->setEncryptionKey(sizeof(other), other));
  int rc = 0;
  Read(*d, rc);
  EXPECT_EQ(kTapeKeyMismatch, rc);
  ASSERT_EQ(kTapeOk, d->setEncryptionKey(sizeof(key), key));
  EXPECT_EQ("secret", Read(*d, rc));
  EXPECT_NE(0u, TapeLibrary().Files(kPath)[1].keyTags[0]);
  ASSERT_EQ(kTapeOk, d->disableEncryption());
  ASSERT_EQ(kTapeOk, d->spaceFileMarksBackward(1));
  ASSERT_EQ(kTapeOk, d->spaceFileMarksForward(1));
  Read(*d, rc);
  EXPECT_EQ(kTapeKeyMismatch, rc);

  TapeLibrary().Slot(kPath)->setup.encryptionSupported = false;
  bool supported = true;
  ASSERT_EQ(kTapeOk, d->isEncryptionSupported(supported));
  EXPECT_FALSE(supported);
  EXPECT_EQ(kTapeNotSupported, d->setEncryptionKey(sizeof(key), key));
}

TEST_F(VirtualDrive, ReservationsOfOneJobShutOutOtherJobs) {
  Load({{"label"}});
  auto mine = Drive(1);
  auto again = Drive(1);
  auto other = Drive(2);
  ASSERT_EQ(kTapeOk, mine->doSCSI2Reserve());
  EXPECT_EQ(kTapeOk, again->rewindMedia());  // same job
  EXPECT_EQ(kTapeReservationConflict, other->rewindMedia());
  EXPECT_EQ(kTapeReservationConflict, other->doSCSI2Reserve());
  std::string key;
  EXPECT_EQ(kTapeReservationConflict, other->doForcePR_Reserve(1, 2, 3, key));
  EXPECT_EQ(792, MMS2BaseError::OZScsiTapeErrorConvertToMMError(kTapeReservationConflict));
  // Closing the device ends a SCSI-2 reservation.
  mine->closeDevice();
  EXPECT_EQ(kTapeDeviceNotOpen, mine->rewindMedia());
  EXPECT_EQ(kTapeOk, other->rewindMedia());

  // A SCSI-3 reservation outlives its object until its key is released.
  ASSERT_EQ(kTapeOk, other->doForcePR_Reserve(1, 2, 3, key));
  EXPECT_FALSE(key.empty());
  EXPECT_EQ((std::vector<long long>{1, 2, 3}), TapeLibrary().CallsOf("doForcePR_Reserve").back().args);
  other.reset();
  EXPECT_EQ(kTapeReservationConflict, again->rewindMedia());
  auto otherAgain = Drive(2);
  std::string newKey;
  EXPECT_EQ(kTapeOk, otherAgain->doForcePR_Reserve(1, 2, 3, newKey));  // same job: taken over
  EXPECT_EQ(kTapeReservationConflict, otherAgain->doPR_Release(key));
  EXPECT_EQ(kTapeOk, otherAgain->doPR_Release(newKey));
  EXPECT_EQ(kTapeOk, again->rewindMedia());
}

TEST_F(VirtualDrive, FactoryAnswersAndInjectedFailures) {
  Load({{"label"}, {"data"}});
  auto none = std::unique_ptr<OZScsiTapeDrive>(OZScsiTapeDrive::instance(1, "/dev/absent", 1, 0, "", "", "", -1));
  ASSERT_NE(nullptr, none);
  EXPECT_FALSE(none->isValid());
  std::string text;
  EXPECT_EQ(kTapeDeviceNotFound, none->getLastError(text));
  EXPECT_EQ(kTapeDeviceNotFound, none->rewindMedia());

  TapeLibrary().Slot(kPath)->setup.factoryFails = true;
  EXPECT_EQ(nullptr, OZScsiTapeDrive::instance(1, kPath, 1, 0, "", "", "", -1));
  TapeLibrary().Slot(kPath)->setup.factoryFails = false;
  TapeLibrary().Slot(kPath)->setup.invalidCode = kTapeNoMedia;
  EXPECT_FALSE(Drive()->isValid());
  TapeLibrary().Slot(kPath)->setup.invalidCode = kTapeOk;

  auto d = Drive();
  TapeFault fault;
  fault.op = "readData";
  fault.code = kTapeCrcError;
  fault.nth = 2;
  TapeLibrary().Fail(kPath, fault);
  int rc = 0;
  EXPECT_EQ("label", Read(*d, rc));
  Read(*d, rc);
  EXPECT_EQ(kTapeCrcError, rc);
  EXPECT_EQ(1u, Head());  // an injected failure does not move the head
  Read(*d, rc);
  EXPECT_EQ(kTapeFileMark, rc);

  // A failing write that took part of the block first.
  TapeLibrary().Fail(kPath, TapeFault{"writeData", kTapeIoError, 1, 1, 2, 0});
  long long count = 0;
  EXPECT_EQ(kTapeIoError, d->writeData("wxyz", 4, count));
  EXPECT_EQ(2, count);
  EXPECT_EQ("wx", TapeLibrary().Files(kPath)[1].Bytes());
  EXPECT_EQ(kTapeIoError, d->getLastError(text));
  EXPECT_EQ(kTapeIoError, TapeLibrary().CallsOf("writeData").back().result);

  // A write answered as a success that took less than it was given: the tape holds only that.
  TapeLibrary().Fail(kPath, TapeFault{"writeData", kTapeOk, 1, 1, 1, 0});
  EXPECT_EQ(kTapeOk, d->writeData("pqrs", 4, count));
  EXPECT_EQ(1, count);
  EXPECT_EQ("wxp", TapeLibrary().Files(kPath)[1].Bytes());
  EXPECT_EQ(kTapeIoError, d->getLastError(text));  // a success leaves the last failure as it was
}

TEST(TapeCodes, EveryDriveCodeHasItsMediaManagerCode) {
  const std::vector<std::pair<int, long long>> table = {
      {kTapeOk, 0},           {kTapeEarlyWarning, 785},        {kTapeFileMark, 786},     {kTapeEndOfData, 773},
      {kTapePhysicalEnd, 974}, {kTapeNoMedia, 770},            {kTapeWriteProtected, 766}, {kTapeCrcError, 762},
      {kTapeIoError, 764},    {kTapeHardwareError, 790},       {kTapeNeedsCleaning, 793}, {kTapeMediumError, 843},
      {kTapeReservationConflict, 792}, {kTapeIncorrectLength, 763}, {kTapeDeviceNotFound, 776},
      {kTapeDeviceNotOpen, 994}, {kTapeBeginningOfMedia, 979}, {kTapeKeyMismatch, 979}, {kTapeNotSupported, 789},
      {kTapeFileError, 764},  {kTapeNoSense, 0},               {-5, 979},                        {12345, 979}};
  for (const auto& [code, mm] : table) EXPECT_EQ(mm, MMS2BaseError::OZScsiTapeErrorConvertToMMError(code)) << code;
}

TEST(TapeGlobals, FlagsAndCallbackAreProcessWideAndReset) {
  OZScsiTapeDrive::SetGoblalFlag(0x10, true);
  OZScsiTapeDrive::SetGoblalFlag(0x100, true);
  OZScsiTapeDrive::SetGoblalFlag(0x10, false);
  OZScsiTapeDrive::SetUXScsiCallback();
  EXPECT_FALSE(platform::TapeGlobalFlag(0x10));
  EXPECT_TRUE(platform::TapeGlobalFlag(0x100));
  EXPECT_EQ(1, platform::TapeCallbackSets());
  platform::ResetAll();
  EXPECT_FALSE(platform::TapeGlobalFlag(0x100));
  EXPECT_EQ(0, platform::TapeCallbackSets());
}

TEST(OnMediaLabel, VerifiesTheMediaIdOnItsFirst300Characters) {
  OZMAOMLParams params;
  const std::string longId = std::string(300, 'm');
  params.SetUniqueMediaId(longId);
  OzTapeOMLLib lib(nullptr);
  EXPECT_NE(0, lib.VerifyOML(platform::FormatTapeLabel(longId + "-tail", 1024).data(), &params));
  EXPECT_EQ(0, lib.VerifyOML(platform::FormatTapeLabel(std::string(299, 'm') + "x", 1024).data(), &params));
  EXPECT_EQ(768, lib.getErrorCode());
  char text[16];
  ASSERT_EQ(0, lib.getLastError(text, sizeof(text)));
  EXPECT_EQ(15u, std::strlen(text));
  std::string junk(1024, 'j');
  EXPECT_EQ(0, lib.VerifyOML(junk.data(), &params));
  EXPECT_EQ(0, lib.VerifyOML(nullptr, &params));
}

TEST(KeyBucket, CopiesShareUntilDetached) {
  const unsigned char bytes[] = {1, 2, 3};
  OzcBucket a(bytes, sizeof(bytes));
  OzcBucket b = a;
  EXPECT_TRUE(b.shared());
  EXPECT_EQ(a.data(), b.data());
  b.detach();
  EXPECT_FALSE(b.shared());
  EXPECT_NE(a.data(), b.data());
  b.bytes()[0] = 7;
  EXPECT_EQ(1, a.data()[0]);
  EXPECT_EQ(3u, b.length());
  EXPECT_TRUE(OzcBucket().empty());
  EXPECT_EQ(nullptr, OzcBucket(nullptr, 0).data());
}

}  // namespace
