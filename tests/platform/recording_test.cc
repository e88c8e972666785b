// The recording stand-ins: what tests set up and read back, and the one reset of it all.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::MediaManager;
using platform::MMCall;

std::vector<long long> ArgsOf(const std::string& op) {
  auto calls = MediaManager().CallsOf(op);
  return calls.empty() ? std::vector<long long>{} : calls.back().args;
}

TEST(MediaManagerTest, RecordsEveryCallAndAnswersFromTheRecords) {
  MLMMessageInstance mlm;
  MediaManager().volumes[12].occupiedBytes = 1 << 30;
  MediaManager().volumes[12].mediaId = 77;
  MediaManager().volumes[12].checkFileMarkerStatus = 305;
  MediaManager().barcodes[77] = "BC0077";
  MediaManager().drives[3].libraryName = "lib1";

  OZMMvolInfo vol(12, &mlm);
  long long occupied = 0;
  EXPECT_EQ(0, vol.setFileMarker(41, 1, occupied));
  EXPECT_EQ(1 << 30, occupied);
  EXPECT_EQ(0, vol.incrNumFiles(2));
  EXPECT_EQ(0, vol.incrNumPhysicalBytes(65536, -1));
  EXPECT_EQ(0, vol.incrNumLogicalBytes(60000));
  EXPECT_EQ(0, vol.markFull(3, 9001));
  int status = 0;
  char message[2048] = "old";
  EXPECT_EQ(0, vol.checkFileMarker(9001, status, message, sizeof(message)));
  EXPECT_EQ(305, status);
  EXPECT_EQ(0, vol.setVolumeSize({{12, 500}, {13, 20}}));

  const platform::MMVolume& v = MediaManager().volumes[12];
  EXPECT_EQ(41, v.fileMarker);
  EXPECT_EQ(2, v.numFiles);
  EXPECT_EQ(65536, v.physicalBytes);
  EXPECT_EQ(60000, v.logicalBytes);
  EXPECT_EQ(3, v.fullReason);
  EXPECT_EQ((std::vector<long long>{41, 1}), ArgsOf("setFileMarker"));
  EXPECT_EQ((std::vector<long long>{3, 9001}), ArgsOf("markFull"));
  EXPECT_EQ((std::vector<long long>{65536, -1}), ArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ((std::vector<long long>{12, 500, 13, 20}), ArgsOf("setVolumeSize"));
  EXPECT_EQ(12, MediaManager().calls.front().id);
  EXPECT_EQ("setFileMarker", MediaManager().calls.front().op);

  OZMMdriveInfo drive(3, &mlm);
  EXPECT_STREQ("lib1", drive.getLibAliasName());
  EXPECT_EQ(nullptr, drive.getDriveAliasName());
  EXPECT_EQ(0, drive.setDriveNeedsCleaning());
  EXPECT_TRUE(MediaManager().drives[3].needsCleaning);
  OZMMmedInfo media(&mlm);
  media.setMediaId(vol.getMediaID());
  EXPECT_STREQ("BC0077", media.getBarCode());
  media.setMediaId(78);
  EXPECT_EQ(nullptr, media.getBarCode());

  // An unknown volume starts empty.
  OZMMvolInfo fresh(999, &mlm);
  EXPECT_EQ(0, fresh.getNumFiles());
  EXPECT_EQ(1u, MediaManager().CallsOf("getNumFiles", 999).size());
}

TEST(MediaManagerTest, ScriptedFailuresAnswerTheNextCalls) {
  MLMMessageInstance mlm;
  OZMMvolInfo vol(5, &mlm);
  MediaManager().Fail("incrNumFiles", -1, 2);
  MediaManager().Fail("setFileMarker", 7);
  EXPECT_EQ(-1, vol.incrNumFiles(1));
  EXPECT_EQ(-1, vol.incrNumFiles(1));
  EXPECT_EQ(0, vol.incrNumFiles(1));
  EXPECT_EQ(1, MediaManager().volumes[5].numFiles);  // the refused calls changed nothing
  EXPECT_EQ(3u, MediaManager().Count("incrNumFiles"));  // but are recorded
  long long occupied = -5;
  EXPECT_EQ(7, vol.setFileMarker(9, 1, occupied));
  EXPECT_EQ(-5, occupied);
  MediaManager().Fail("checkFileMarker", -1, -1);
  int status = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(-1, vol.checkFileMarker(1, status, nullptr, 0));
  MediaManager().Fail("getLibAliasName");
  MediaManager().drives[1].libraryName = "lib";
  OZMMdriveInfo drive(1, &mlm);
  EXPECT_EQ(nullptr, drive.getLibAliasName());
  EXPECT_STREQ("lib", drive.getLibAliasName());
}

TEST(JobManagerTest, EventsCarryTheirArgumentsInOrder) {
  OZJobClient client;
  EXPECT_EQ(1, client.init("hubmaster", OZS_PLATFORM_UNIX, 4242));
  const char* path = "/mnt/mp1";
  int32_t reason = 0x2800007B;
  client.addArgument(path, EvArgText);
  client.addArgument(&reason, EvArgInt32);
  client.addArgument(nullptr, EvArgText);
  client.setPendingCauseAndEvent(0x28000041, 6, 0, false, EvMsgInfo, false, JMAlertNone, JMPendingNone, 0, reason);
  client.setPendingCauseAndEvent(0x28000040, 6, 0, false, EvMsgWarning, false, JMAlertNone, JMPendingNone, 0, 1);

  auto& jobs = platform::Jobs();
  ASSERT_EQ(2u, jobs.events.size());
  const platform::JobEventRecord& e = jobs.events[0];
  EXPECT_EQ(4242, e.jobId);
  EXPECT_EQ(0x28000041, e.eventId);
  EXPECT_EQ(EvMsgInfo, e.type);
  EXPECT_EQ(static_cast<unsigned>(reason), e.reason);
  EXPECT_EQ(6, e.a);
  ASSERT_EQ(3u, e.arguments.size());
  EXPECT_EQ(std::string("/mnt/mp1"), std::get<std::string>(e.arguments[0]));
  EXPECT_EQ(reason, std::get<int32_t>(e.arguments[1]));
  EXPECT_EQ(std::string(), std::get<std::string>(e.arguments[2]));
  EXPECT_TRUE(jobs.events[1].arguments.empty());  // each event takes only its own
  EXPECT_EQ(1, jobs.clientsAlive);

  jobs.initFailures = 1;
  OZJobClient refused;
  EXPECT_EQ(0, refused.init("hubmaster", OZS_PLATFORM_UNIX, 1));
  EXPECT_EQ(1, refused.init("hubmaster", OZS_PLATFORM_UNIX, 1));
  EXPECT_EQ(0, refused.init(nullptr, OZS_PLATFORM_UNIX, 1));
  EXPECT_EQ((std::vector<std::string>{"init", "setPendingCauseAndEvent", "setPendingCauseAndEvent", "init", "init", "init"}),
            jobs.calls);

  jobs.jobStatus[77] = 4;
  int status = 0;
  EXPECT_EQ(0, OZJobQuery().GetJobStatus(77, status));
  EXPECT_EQ(4, status);
  EXPECT_NE(0, OZJobQuery().GetJobStatus(78, status));
}

TEST(LoggingTest, CapturesEveryLineWithSourceAndLevel) {
  OZLOG_HANDLE* handle = static_cast<OZLOG_HANDLE*>(malloc(sizeof(OZLOG_HANDLE)));
  InitOZlog(handle, "SIFS", "job", 11);
  OZlog(handle, 1, "Failed to open [%s]", "/mnt/a");
  OZlog(handle, -1, "hard I/O failure");
  OZlog(nullptr, 2, "no handle");
  free(handle);
  EvDebug dbg("CIndexFile");
  dbg.debug("one %d", 1);
  dbg.DebugLvl("LockFile", 3, "detail %s", "x");
  EXPECT_FALSE(OZASSERT(1 == 2));
  EXPECT_TRUE(OZASSERT(true));

  const auto& lines = platform::Logs();
  ASSERT_EQ(6u, lines.size());
  EXPECT_EQ("SIFS", lines[0].source);
  EXPECT_EQ(1, lines[0].level);
  EXPECT_EQ("Failed to open [/mnt/a]", lines[0].text);
  EXPECT_EQ(-1, lines[1].level);
  EXPECT_EQ("", lines[2].source);
  EXPECT_EQ("CIndexFile", lines[3].source);
  EXPECT_EQ("LockFile: detail x", lines[4].text);
  EXPECT_EQ(3, lines[4].level);
  EXPECT_EQ("ozassert", lines[5].source);
  EXPECT_NE(std::string::npos, lines[5].text.find("1 == 2")) << lines[5].text;  // the broken expression
  EXPECT_EQ(1u, platform::LogCount("hard I/O", -1));
  EXPECT_EQ(0u, platform::LogCount("hard I/O", 1));
  EXPECT_TRUE(platform::LogContains("one 1"));

  platform::SetLogCaptureLimit(2);
  for (int i = 0; i < 10; ++i) dbg.debug("line %d", i);
  ASSERT_EQ(2u, platform::Logs().size());
  EXPECT_EQ("line 9", platform::Logs().back().text);
}

TEST(LoggingTest, LogFileGetsTheLinesForPeople) {
  TempDir dir;
  std::string path = dir / "mfs.log";
  platform::SetLogFile(path);
  EvDebug("Pruner").debug("pruned %d chunks", 3);
  platform::SetLogFile("");
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, text.find("Pruner 1 pruned 3 chunks"));
}

TEST(ConfigTest, ValuesFromTestsAndFiles) {
  OZPlatformInfo info;
  long long value = 64;
  EXPECT_FALSE(info.getNumber("ZovadAdeve", "dwReadBufferKB", &value));
  EXPECT_EQ(64, value);  // an absent value keeps the caller's default
  platform::Config().SetNumber("ZovadAdeve", "dwReadBufferKB", 512);
  int small = 0;
  EXPECT_TRUE(info.getNumber("ZovadAdeve", "dwReadBufferKB", &small));
  EXPECT_EQ(512, small);
  EXPECT_FALSE(info.getNumber("ZovadAdeve", "dwReadBufferKB", static_cast<int*>(nullptr)));

  TempDir dir;
  std::string path = dir / "config.txt";
  std::ofstream(path) << "# tunables\nZovadAdeve nSpaceCheckLimitMB 25\n\nbroken line\nZovadAdeve MaxFlushThreads 4\n";
  ASSERT_TRUE(platform::LoadConfigFile(path));
  EXPECT_TRUE(info.getNumber("ZovadAdeve", "nSpaceCheckLimitMB", &value));
  EXPECT_EQ(25, value);
  EXPECT_TRUE(info.getNumber("ZovadAdeve", "MaxFlushThreads", &value));
  EXPECT_EQ(4, value);
  EXPECT_FALSE(platform::LoadConfigFile(dir / "missing.txt"));

  platform::Config().mountPaths[{7, 2}] = platform::MountPathRecord{"/mnt/mp7", "user", "pw", 0, 0, 2, 5};
  OZPI_FileSystemAgent agent;
  std::string mp, user, pw;
  int type = -1, sub = -1, flags = -1, attrs = -1;
  EXPECT_EQ(1, agent.getMagneticMountPathInfo(7, 2, mp, user, pw, type, sub, flags, attrs));
  EXPECT_EQ("/mnt/mp7", mp);
  EXPECT_EQ(5, attrs);
  EXPECT_EQ(0, agent.getMagneticMountPathInfo(8, 2, mp, user, pw, type, sub, flags, attrs));
  EXPECT_EQ(2u, agent.getLastError());

  char host[4] = "zzz";
  info.getClientHostName(info.getPhysicalMachine(), host, sizeof(host));
  EXPECT_STREQ("loc", host);  // cut to the buffer, always terminated
  info.getClientHostName(nullptr, nullptr, 10);
}

TEST(IdentityTest, LogonAndImpersonationFailOnRequest) {
  CLoggedOnUser user;
  user.Init("CORP\\backup", "secret", true);
  EXPECT_EQ("CORP", user.GetDomain());
  EXPECT_EQ("CORP\\backup", user.GetDomainAndUser());
  platform::Identity().logonFailures = 1;
  EXPECT_EQ(1326, user.Logon());
  EXPECT_EQ(0, user.Logon());
  EXPECT_NE(0u, user.GetToken());

  platform::Identity().impersonateFailures = 1;
  platform::Identity().impersonateThrows = 1;
  EXPECT_THROW(CImpersonator{user.GetToken()}, OzException);
  EXPECT_EQ(1314, CImpersonator(user.GetToken()).GetStatus());
  EXPECT_EQ(0, CImpersonator(user.GetToken()).GetStatus());
  EXPECT_EQ(1, platform::Identity().impersonations);
}

int g_libraryValue = 0;

TEST(ResetTest, OneResetReturnsEverythingToItsStart) {
  platform::RegisterReset([] { g_libraryValue = 0; });
  g_libraryValue = 5;
  MLMMessageInstance mlm;
  OZMMvolInfo(1, &mlm).markFull(1, 1);
  platform::Config().SetNumber("a", "b", 1);
  OZJobClient().init("h", OZS_PLATFORM_UNIX, 1);
  EvDebug().debug("x");
  platform::Faults().Add({platform::FsOp::Write, "", 1, -1, 5, -1});
  platform::Faults().SetFreeSpace("/", 1);
  platform::Identity().logonFailures = 3;
  platform::RemoteStorage().skarvoPrefixes.push_back("/skarvo");
  platform::RemoteStorage().calls.push_back("TryLock /skarvo/x");
  XOSLEEP(10);
  TempDir dir;
  std::string logFile = dir / "test.log";
  platform::SetLogFile(logFile);

  platform::ResetAll();
  EXPECT_EQ(0, g_libraryValue);
  EXPECT_TRUE(MediaManager().calls.empty());
  EXPECT_TRUE(MediaManager().volumes.empty());
  EXPECT_TRUE(platform::Config().numbers.empty());
  EXPECT_TRUE(platform::Jobs().calls.empty());
  EXPECT_TRUE(platform::Logs().empty());
  EXPECT_EQ(0, platform::Identity().logonFailures);
  EXPECT_FALSE(CSkarvoFS::IsSkarvoPath("/skarvo/x"));
  EXPECT_TRUE(platform::RemoteStorage().calls.empty());
  EXPECT_EQ(0, platform::SleptMs());
  EXPECT_EQ(0, platform::Faults().Calls(platform::FsOp::Write));
  unsigned long long free = 0, total = 0;
  EXPECT_FALSE(platform::Faults().FreeSpaceFor("/x", free, total));

  EvDebug().debug("after the reset");
  std::ifstream log(logFile);
  std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string::npos, logged.find("after the reset"));  // a test's log file ends with it
}

TEST(RemoteStorageTest, SkarvoLocksConflictInProcess) {
  platform::RemoteStorage().skarvoPrefixes.push_back("/skarvo/");
  EXPECT_TRUE(CSkarvoFS::IsSkarvoPath("/skarvo/mp/SFILE_CONTAINER.idx"));
  EXPECT_FALSE(CSkarvoFS::IsSkarvoPath("/mnt/skarvo/x"));
  EXPECT_FALSE(CSkarvoFS::IsSkarvoPath(""));

  CFSInitParams params;
  std::string path = "/skarvo/mp/SFILE_CONTAINER.idx";
  {
    CSkarvoLock a(params, path, nullptr);
    CSkarvoLock b(params, path, nullptr);
    EXPECT_EQ(0, a.TryLock());
    EXPECT_EQ(11, b.TryLock());
    EXPECT_EQ(0, a.Unlock());
    platform::RemoteStorage().tryLockFailures = 1;
    EXPECT_EQ(5, b.TryLock());
    EXPECT_EQ(0, b.TryLock());
  }  // a lock object that goes away lets go
  CSkarvoLock c(params, path, nullptr);
  EXPECT_EQ(0, c.TryLock());
  EXPECT_EQ((std::vector<std::string>{"TryLock " + path, "TryLock " + path, "Unlock " + path, "TryLock " + path,
                                      "TryLock " + path, "TryLock " + path}),
            platform::RemoteStorage().calls);
}

}  // namespace
