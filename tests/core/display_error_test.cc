// DisplayError by code and media kind: the log line, the user text, the job event with its
// arguments, and the job manager client behind it.

#include <cstring>

#include "frame_fixture.h"

namespace {

using platform::Jobs;
using platform::MediaManager;
using Arg = EvEvent::Argument;

constexpr int kLibrary = 1, kDrive = 2, kBarcode = 4, kAllNames = 7;

const std::string kPath = "/mnt/mp1";
const std::string kDiskPrefix = "Error occurred in Magnetic Media, Path [/mnt/mp1]. ";
const std::string kLibraryPrefix =
    "Error occurred in Library [LIB1], Drive Name [DRV1], Barcode [BC0001], Path [/mnt/mp1]. ";
const std::string kText = "Failed to write to media";
const std::string kOldMessage = "No such file or directory";

unsigned int Reason(int code) { return MMS2BaseError::getEvEventErrorCodeID(code); }
Arg Int(unsigned int v) { return Arg(static_cast<int32_t>(v)); }
Arg Text(const std::string& s) { return Arg(s); }

struct DisplayCase {
  const char* name;
  unsigned long code;
  int kind;
  bool tape;
  int names;
  std::string lastMessage;
  std::string log;
  int eventId;  // 0: no event
  std::vector<Arg> args;
  EvMessageType type;
  unsigned int reason;
  bool cleaning;
};

std::vector<DisplayCase> DisplayCases() {
  const std::string permission = "Check whether the path /mnt/mp1 is accessible. Permission denied Error";
  const std::string cleaning = "The drive requires cleaning Please retry after cleaning the drive ";
  const std::string busy =
      "The device is busy or not yet initialized Please check whether the device is initialized and "
      "working properly";
  const std::string noDevice =
      "Unable to communicate with the device %s Please check whether the correct version of drivers have "
      "been installed for this devicePlease check whether the device have been configured properly";
  auto device = [&](const std::string& name) {
    std::string m = noDevice;
    return m.replace(m.find("%s"), 2, name);
  };
  const std::string full =
      "The mount path /mnt/mp1 is full Add a new mount path to a different disk so that the job can resume ";
  const std::string diskCrc =
      "The drive reported a CRC error This could be due to a bad block on the disk. Please run disk "
      "utilities to correct this problem.";
  const std::string tapeCrc =
      "The drive reported a CRC error This could be due to the drive needs cleaning or the tape used is "
      "old. Please retry the operation after cleaning the drive and use a different tape";
  const std::string impersonation = "User impersonation failed.";
  const std::string network = "The specified Network path is not accessible";
  const std::string accessible = "Check whether the path /mnt/mp1 is accessible";
  const std::string readDisk =
      "Check whether the drive is online and connected properly Please check whether the correct "
      "version of drivers have been installed for this device ";
  const std::string exists =
      "Backup file already exists on the path /mnt/mp1  This could be due to an error in previous "
      "deconfiguration of mount path /mnt/mp1";
  const std::string cloud = "Error occurred in Cloud Storage Library Path [/mnt/mp1], Error Code [5].";
  auto because = [](const std::string& m, int code) {
    return "The operation failed because " + m + " errorno " + std::to_string(code);
  };
  auto plain = [](int code) { return "The operation failed. errorno [" + std::to_string(code) + "]"; };
  const std::vector<Arg> names = {Text("LIB1"), Text("DRV1"), Text("BC0001"), Text(kPath)};
  auto withNames = [&](std::vector<Arg> rest) {
    std::vector<Arg> a = names;
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
  };
  const std::vector<Arg> unknownNames = {Text("UNKNOWN"), Text("UNKNOWN"), Text("UNKNOWN"), Text(kPath)};

  return {
      {"Disk996", 996, 1, false, kAllNames, kDiskPrefix + kText + ". " + permission, because(permission, 996),
       0x28000041, {Text(kPath), Int(0x2800007B), Text(kPath)}, EvMsgInfo, 0x2800007B, false},
      {"DiskCodeWithoutRow", 4321, 1, false, kAllNames, kDiskPrefix + kText + ". " + kOldMessage, plain(4321),
       0x28000041, {Text(kPath), Int(Reason(4321))}, EvMsgWarning, Reason(4321), false},
      {"Library793", 793, 0, true, kAllNames, kLibraryPrefix + kText + ". " + cleaning, because(cleaning, 793),
       0x28000040, withNames({Int(0x28000052)}), EvMsgInfo, 0x28000052, true},
      {"Disk793MarksCleaningWithoutEvent", 793, 1, false, kAllNames, kDiskPrefix + kText + ". " + cleaning,
       because(cleaning, 793), 0, {}, EvMsgInfo, 0, true},
      {"LibraryWithoutBarcode761", 761, 0, true, kLibrary | kDrive, kText + ". " + busy, because(busy, 761), 0,
       {}, EvMsgInfo, 0, false},
      {"LibraryNameMissing790", 790, 0, true, kDrive | kBarcode, kText + ". " + device("UNKNOWN"),
       because(device("UNKNOWN"), 790), 0, {}, EvMsgInfo, 0, false},
      {"Library790", 790, 0, true, kAllNames, kLibraryPrefix + kText + ". " + device("LIB1"),
       because(device("LIB1"), 790), 0x28000040, withNames({Int(0x28000042), Text("LIB1")}), EvMsgInfo,
       0x28000042, false},
      {"Disk767", 767, 1, false, kAllNames, kDiskPrefix + kText + ". " + full, because(full, 767), 0, {},
       EvMsgInfo, 0, false},
      {"Library767", 767, 0, true, kAllNames, kLibraryPrefix + kText + ". " + kOldMessage, plain(767), 0, {},
       EvMsgInfo, 0, false},
      {"Disk762", 762, 1, false, kAllNames, kDiskPrefix + kText + ". " + diskCrc, because(diskCrc, 762), 0, {},
       EvMsgInfo, 0, false},
      {"Library762", 762, 0, true, kAllNames, kLibraryPrefix + kText + ". " + tapeCrc, because(tapeCrc, 762),
       0x28000040, withNames({Int(0x28000058)}), EvMsgWarning, 0x28000058, false},
      {"Disk751", 751, 1, false, kAllNames, kDiskPrefix + kText + ". " + impersonation,
       because(impersonation, 751), 0x28000041, {Text(kPath), Int(Reason(751))}, EvMsgWarning, Reason(751),
       false},
      {"Library751", 751, 0, true, kAllNames, kLibraryPrefix + kText + ". " + impersonation,
       because(impersonation, 751), 0, {}, EvMsgInfo, 0, false},
      {"OtherKind751", 751, 3, false, kAllNames, kDiskPrefix + kText + ". " + impersonation,
       because(impersonation, 751), 0, {}, EvMsgInfo, 0, false},
      {"Disk1207", 1207, 1, false, kAllNames, kDiskPrefix + kText + ". " + network, because(network, 1207),
       0x28000041, {Text(kPath), Int(0x28000077), Text("client1")}, EvMsgWarning, 0x28000077, false},
      {"Library1207", 1207, 0, true, kAllNames, kLibraryPrefix + kText + ". " + network, because(network, 1207),
       0, {}, EvMsgInfo, 0, false},
      {"LibraryNamesMissing993", 993, 0, true, 0, kText + ". " + accessible, because(accessible, 993),
       0x28000040, [&] {
         std::vector<Arg> a = unknownNames;
         a.push_back(Int(0x28000044));
         a.push_back(Text(kPath));
         return a;
       }(),
       EvMsgInfo, 0x28000044, false},
      {"LibraryNamesMissingCodeWithoutRow", 4321, 0, true, 0, kText + ". " + kOldMessage, plain(4321),
       0x28000040, [&] {
         std::vector<Arg> a = unknownNames;
         a.push_back(Int(Reason(4321)));
         return a;
       }(),
       EvMsgWarning, Reason(4321), false},
      {"OtherKind996", 996, 3, false, kAllNames, kDiskPrefix + kText + ". " + permission,
       because(permission, 996), 0x28000041, {Text(kPath), Int(0x2800007B), Text(kPath)}, EvMsgInfo,
       0x2800007B, false},
      {"Disk979", 979, 1, false, kAllNames, kDiskPrefix + kText + ". " + readDisk, because(readDisk, 979), 0, {},
       EvMsgInfo, 0, false},
      {"Library975", 975, 0, true, kAllNames, kLibraryPrefix + kText + ". " + exists, because(exists, 975),
       0x28000040, withNames({Int(0x28000046), Text(kPath), Text(kPath)}), EvMsgWarning, 0x28000046, false},
      {"Cloud", 5, 2, false, kAllNames, cloud, "The operation failed because " + cloud, 0x2800006D,
       {Text(kPath), Int(Reason(5))}, EvMsgInfo, Reason(5), false},
  };
}

class DisplayErrorTable : public FrameTest, public ::testing::WithParamInterface<DisplayCase> {
 protected:
  void SetUpNames(int names) {
    MediaManager().volumes[kVolId].mediaId = 21;
    if (names & kLibrary) MediaManager().drives[kDriveId].libraryName = "LIB1";
    if (names & kDrive) MediaManager().drives[kDriveId].driveName = "DRV1";
    if (names & kBarcode) MediaManager().barcodes[21] = "BC0001";
  }
};

TEST_P(DisplayErrorTable, MessageLogAndEvent) {
  const DisplayCase& c = GetParam();
  InitBackup();
  SetUpNames(c.names);
  media->m_bIsTape = c.tape;
  media->m_strLastErrorMsg = kOldMessage;
  media->SetErrorString("unchanged");
  media->MediaFSSetLastError(123);

  media->DisplayError(c.code, c.kind, kText.c_str());

  EXPECT_EQ(c.lastMessage, media->m_strLastErrorMsg);
  EXPECT_EQ(1u, platform::LogCount(c.log, 1)) << c.log;
  EXPECT_STREQ("unchanged", media->GetErrorString());
  EXPECT_EQ(123, media->MediaFSGetLastError());
  EXPECT_EQ(c.cleaning, MediaManager().drives[kDriveId].needsCleaning);
  if (c.eventId == 0) {
    EXPECT_TRUE(Jobs().events.empty());
    return;
  }
  ASSERT_EQ(1u, Jobs().events.size());
  const platform::JobEventRecord& e = Jobs().events[0];
  EXPECT_EQ(c.eventId, e.eventId);
  EXPECT_EQ(c.args, e.arguments);
  EXPECT_EQ(c.type, e.type);
  EXPECT_EQ(c.reason, e.reason);
  EXPECT_EQ(6, e.a);
  EXPECT_EQ(0, e.b);
  EXPECT_EQ(4242, e.jobId);
}

INSTANTIATE_TEST_SUITE_P(ByCodeAndKind, DisplayErrorTable, ::testing::ValuesIn(DisplayCases()),
                         [](const ::testing::TestParamInfo<DisplayCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(FrameTest, DisplayErrorDoesNothingWithoutAnError) {
  InitBackup();
  media->m_strLastErrorMsg = kOldMessage;
  media->SetErrorString("unchanged");
  for (int kind : {0, 1, 2}) media->DisplayError(0, kind, "text");

  auto reader = std::make_unique<MemoryMedia>(&job);
  ASSERT_EQ(0, reader->Init(Params(kMediaTypeReader), false));
  reader->DisplayError(996, 1, "text");

  EXPECT_EQ(kOldMessage, media->m_strLastErrorMsg);
  EXPECT_STREQ("unchanged", media->GetErrorString());
  EXPECT_EQ("", reader->m_strLastErrorMsg);
  EXPECT_EQ(0, Jobs().clientsCreated);
  EXPECT_EQ(0u, platform::LogCount("The operation failed"));

  // Without the media manager records only a log line is written.
  auto fresh = std::make_unique<MemoryMedia>(&job);
  fresh->DisplayError(996, 1, "text");
  EXPECT_EQ(1u, platform::LogCount("driveInfo or volumeInfo is NULL", 1));
  EXPECT_EQ("", fresh->m_strLastErrorMsg);
}

TEST_F(FrameTest, OneJobClientCarriesEveryEvent) {
  InitBackup();
  media->DisplayError(996, 1, "first");
  media->DisplayError(996, 1, "second");
  EXPECT_EQ(1, Jobs().clientsCreated);
  EXPECT_EQ(2u, Jobs().events.size());
  media.reset();
  EXPECT_EQ(0, Jobs().clientsAlive);
}

TEST_F(FrameTest, RefusedJobClientIsTriedAgain) {
  InitBackup();
  Jobs().initFailures = 1;
  media->DisplayError(996, 1, "first");
  EXPECT_STREQ("Failed to instantiate the Job Client object ", media->GetErrorString());
  EXPECT_EQ(1u, platform::LogCount("ERROR! Could not init with Job Manager", 1));
  EXPECT_EQ(nullptr, media->m_pJobClient);
  EXPECT_EQ(0, Jobs().clientsAlive);
  EXPECT_TRUE(Jobs().events.empty());

  media->DisplayError(996, 1, "second");
  EXPECT_EQ(2, Jobs().clientsCreated);
  EXPECT_EQ(1u, Jobs().events.size());

  platform::Config().hubmasterHostName.clear();
  auto other = std::make_unique<MemoryMedia>(&job);
  other->InitJobClient();
  EXPECT_STREQ("Failed to Get Hubmaster Name to instantiate the Job Client object in media_fs",
               other->GetErrorString());
}

TEST_F(FrameTest, LongPathsFitTheMessages) {
  InitBackup();
  const std::string longPath = "/" + std::string(1022, 'p');
  media->SetPath(longPath.c_str());
  ASSERT_EQ(longPath, media->GetPath());
  const std::string longText(3000, 't');
  MediaManager().volumes[kVolId].mediaId = 21;
  MediaManager().drives[kDriveId].libraryName = "LIB1";
  MediaManager().drives[kDriveId].driveName = "DRV1";
  MediaManager().barcodes[21] = "BC0001";

  media->DisplayError(975, 0, longText.c_str());
  const std::string& msg = media->m_strLastErrorMsg;
  EXPECT_EQ(3u, [&] {
    size_t n = 0;
    for (size_t at = msg.find(longPath); at != std::string::npos; at = msg.find(longPath, at + 1)) ++n;
    return n;
  }());
  EXPECT_NE(std::string::npos, msg.find(longText + ". Backup file already exists on the path " + longPath));
}

TEST_F(FrameTest, LocalHostName) {
  char name[1024];
  platform::Config().clientHostName = "client-7";
  media->getLocalHostName(name);
  EXPECT_STREQ("client-7", name);

  platform::Config().clientHostName.clear();
  std::strcpy(name, "stale");
  media->getLocalHostName(name);
  EXPECT_STREQ("", name);
  EXPECT_EQ(1u, platform::LogCount("Failed to get hostname from MA PLATFORM INFO", 1));
  media->getLocalHostName(nullptr);
}

}  // namespace
