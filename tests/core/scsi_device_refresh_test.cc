// The SCSI device path refresh: which errors try it, the automatic update and its interval on the
// machine, the media manager's answer, and what the caller is told.

#include "frame_fixture.h"

namespace {

using platform::Config;
using platform::LogContains;
using platform::MediaManager;

constexpr int kController = 5;
constexpr long long kNow = 1700000000;  // the fake clock after a reset, in seconds

class ScsiRefreshTest : public FrameTest {
 protected:
  void SetUp() override {
    platform::ResetAll();
    details.iDriveControllerId = kController;
    details.uiAutoScsiUpdateFlags = 1;
    details.iAutoScsiUpdateIntervalSec = 600;
    Config().clientHostName = "ma01";
    Config().mediaConfig.driveControllers[kController] = "/dev/nst7";
    MediaManager().dcpAccessPaths[kController] = "/dev/nst9";
  }

  void Init(MediaFSDriveDetails* drive) {
    MediaFsInitParams p = Params();
    p.pDriveDetails = drive;
    ASSERT_EQ(0, media->Init(p, false));
    media->MediaFSSetLastError(776);
  }

  // Runs the refresh as the tape media does, from its old path.
  int Refresh(std::string& path, const char* ndmp = nullptr) {
    path = "/dev/nst0";
    return media->checkAndDoScsiUpdate(kController, path, ndmp);
  }

  static std::vector<std::string> ConfigCalls() { return Config().mediaConfig.calls; }
  static size_t MediaManagerQueries() { return MediaManager().Count("getDcpInfo"); }
  static long long LastUpdate() {
    long long t = -1;
    OZPlatformInfo().getNumber("ZovadAdeve", "lastUpdateScsiTime", &t);
    return t;
  }

  MediaFSDriveDetails details;
};

TEST_F(ScsiRefreshTest, OnlyDeviceErrorsThatARescanMayCureTryIt) {
  Init(&details);
  const long long refreshable[] = {770, 776, 781, 792, 973, 40012, (1LL << 32) | 973};
  for (long long code : refreshable) {
    SCOPED_TRACE(code);
    Config().Erase("ZovadAdeve", "lastUpdateScsiTime");
    media->MediaFSSetLastError(code);
    std::string path;
    EXPECT_NE(0, Refresh(path));
    EXPECT_EQ("/dev/nst7", path);
  }
  const long long others[] = {0, 30079, 771, 993, 40013, (1LL << 32)};
  for (long long code : others) {
    SCOPED_TRACE(code);
    platform::ResetAll();
    media->MediaFSSetLastError(code);
    std::string path = "/dev/old";
    EXPECT_EQ(0, media->checkAndDoScsiUpdate(kController, path, nullptr));
    EXPECT_EQ("/dev/old", path);  // left alone
    EXPECT_TRUE(ConfigCalls().empty());
    EXPECT_EQ(0u, MediaManagerQueries());
    EXPECT_EQ(code, media->MediaFSGetLastError());
  }
}

TEST_F(ScsiRefreshTest, AutomaticUpdateReconfiguresByModeAndStoresTheTime) {
  Init(&details);
  struct Case {
    const char* ndmp;
    std::vector<std::string> calls;
    bool ndmpLines;
  };
  const Case cases[] = {
      {nullptr, {"Initialize 1", "ReadCurrentConfig 0", "Configure ma01 1 "}, false},
      {"", {"Initialize 1", "ReadCurrentConfig 0", "Configure ma01 1 "}, false},
      {"ndmp-srv:tape0", {"Initialize 1", "ReadCurrentConfig 0", "Configure ma01 7 ndmp-srv:tape0"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ndmp == nullptr ? "null" : c.ndmp);
    Config().mediaConfig.calls.clear();
    Config().Erase("ZovadAdeve", "lastUpdateScsiTime");
    platform::ResetLogs();
    std::string path;
    EXPECT_NE(0, Refresh(path, c.ndmp));
    EXPECT_EQ("/dev/nst7", path);
    EXPECT_EQ(c.calls, ConfigCalls());
    EXPECT_EQ(kNow, LastUpdate());
    EXPECT_EQ(0u, MediaManagerQueries());
    EXPECT_TRUE(LogContains("Starting SCSI ID update..ZovadAdeve Host Name ma01\n"));
    EXPECT_TRUE(LogContains("Completed SCSI ID update.."));
    EXPECT_EQ(c.ndmpLines, LogContains("Starting NDMP path update..\n"));
    EXPECT_EQ(c.ndmpLines, LogContains("Completed NDMP path update..\n"));
  }
}

TEST_F(ScsiRefreshTest, WithinTheIntervalTheMediaManagerAnswers) {
  Init(&details);
  std::string path;
  ASSERT_NE(0, Refresh(path));  // nothing stored: the first failure reconfigures at once
  ASSERT_EQ(3u, ConfigCalls().size());

  platform::AdvanceClock(600 * 1000);  // the interval has not passed yet (it must be exceeded)
  EXPECT_NE(0, Refresh(path));
  EXPECT_EQ("/dev/nst9", path);
  EXPECT_EQ(1u, MediaManagerQueries());
  EXPECT_EQ(3u, ConfigCalls().size());
  EXPECT_EQ(kNow, LastUpdate());
  EXPECT_TRUE(LogContains(
      "The New AccessPath obtained from Media Manager for the Drive Controller id= 5 is: /dev/nst9. Old Accesspath = "
      "/dev/nst0 "));

  platform::AdvanceClock(1000);
  EXPECT_NE(0, Refresh(path));
  EXPECT_EQ("/dev/nst7", path);
  EXPECT_EQ(6u, ConfigCalls().size());
  EXPECT_EQ(kNow + 601, LastUpdate());
}

TEST_F(ScsiRefreshTest, MediaManagerAnswersTable) {
  Init(&details);
  struct Case {
    const char* name;
    std::optional<std::string> answer;  // none: the media manager has no record
    bool scriptedFailure;
    int result;
    const char* path;
    bool failureLine;
  };
  const Case cases[] = {
      {"new path", std::string("/dev/nst9"), false, 1, "/dev/nst9", false},
      {"same path", std::string("/dev/nst0"), false, 0, "/dev/nst0", false},
      {"longer path", std::string("/dev/nst00"), false, 1, "/dev/nst00", false},
      {"empty answer", std::string(""), false, 0, "", false},
      {"no record", std::nullopt, false, 0, "", true},
      {"query fails", std::string("/dev/nst9"), true, 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetLogs();
    Config().SetNumber("ZovadAdeve", "lastUpdateScsiTime", kNow - 10);
    MediaManager().dcpAccessPaths.erase(kController);
    if (c.answer) MediaManager().dcpAccessPaths[kController] = *c.answer;
    if (c.scriptedFailure) MediaManager().Fail("getDcpInfo", 5);
    std::string path;
    EXPECT_EQ(c.result, Refresh(path) != 0 ? 1 : 0);
    EXPECT_EQ(c.path, path);
    EXPECT_EQ(c.failureLine,
              LogContains("Failed to get the New AccessPath obtained from Media Manager for the Drive Controller id= 5 "
                          "Old Accesspath = /dev/nst0 "));
    EXPECT_TRUE(LogContains("The New AccessPath obtained from Media Manager for the Drive Controller id= 5 is: " +
                            std::string(c.path) + ". Old Accesspath = /dev/nst0 "));
  }
}

TEST_F(ScsiRefreshTest, FeatureOffOrNoDriveDetailsAsksNobody) {
  struct Case {
    const char* name;
    uint32_t flags;
    int interval;
  };
  const Case cases[] = {{"bit 0 clear", 2, 600}, {"interval 0", 1, 0}, {"interval negative", 1, -5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    details.uiAutoScsiUpdateFlags = c.flags;
    details.iAutoScsiUpdateIntervalSec = c.interval;
    media = std::make_unique<MemoryMedia>(&job);
    Init(&details);
    std::string path;
    EXPECT_EQ(0, Refresh(path));
    EXPECT_EQ("", path);
    EXPECT_TRUE(ConfigCalls().empty());
    EXPECT_EQ(0u, MediaManagerQueries());
    EXPECT_EQ(-1, LastUpdate());
    EXPECT_TRUE(LogContains("Skipping AUTO UPDATE SCSI ID as the feature is not enabled.Enable AUTO UPDATE SCSI ID "
                            "attribute on ZovadAdeve property to activate the feature"));
  }

  platform::ResetAll();
  media = std::make_unique<MemoryMedia>(&job);
  Init(nullptr);
  std::string path;
  EXPECT_EQ(0, Refresh(path));
  EXPECT_EQ("", path);
  EXPECT_EQ("Scsi Update cannot be completed as the drive details are NULL", media->m_strLastErrorMsg);
  EXPECT_TRUE(LogContains("Scsi Update cannot be completed as the drive details are NULL"));
  EXPECT_EQ(776, media->MediaFSGetLastError());
  EXPECT_TRUE(ConfigCalls().empty());
}

TEST_F(ScsiRefreshTest, ControllerIdZeroStillUpdatesButYieldsNoPath) {
  Init(&details);
  std::string path = "/dev/nst0";
  EXPECT_EQ(0, media->checkAndDoScsiUpdate(0, path, nullptr));
  EXPECT_EQ(3u, ConfigCalls().size());
  EXPECT_EQ(kNow, LastUpdate());
  EXPECT_EQ(0, media->checkAndDoScsiUpdate(0, path, nullptr));  // within the interval: no query
  EXPECT_EQ(0u, MediaManagerQueries());
  EXPECT_EQ("", path);
}

TEST_F(ScsiRefreshTest, ConfigurationWithoutTheControllerOrUnreadable) {
  Init(&details);
  Config().mediaConfig.driveControllers.erase(kController);
  std::string path;
  EXPECT_EQ(0, Refresh(path));
  EXPECT_TRUE(LogContains(
      "Failed to get the Drive controller accesspath as the Drive Controller for id= 5 is not found in list"));

  // An unreadable configuration reconfigures nothing, and still counts as an update.
  platform::ResetAll();
  Config().mediaConfig.readResult = 0;
  Config().mediaConfig.driveControllers[kController] = "/dev/nst7";
  EXPECT_EQ(0, Refresh(path));
  EXPECT_EQ((std::vector<std::string>{"Initialize 1", "ReadCurrentConfig 0"}), ConfigCalls());
  EXPECT_TRUE(LogContains("Completed SCSI ID update.."));
  EXPECT_EQ(kNow, LastUpdate());
}

// A stored time ahead of the clock (the clock was set back) does not hold the update off.
TEST_F(ScsiRefreshTest, StoredTimeInTheFutureDoesNotBlockTheUpdate) {
  Init(&details);
  for (long long stored : {kNow + 1, kNow + 100000000LL, kNow + (1LL << 32)}) {
    SCOPED_TRACE(stored);
    Config().mediaConfig.calls.clear();
    Config().SetNumber("ZovadAdeve", "lastUpdateScsiTime", stored);
    std::string path;
    EXPECT_NE(0, Refresh(path));
    EXPECT_EQ("/dev/nst7", path);
    EXPECT_EQ(3u, ConfigCalls().size());
    EXPECT_EQ(kNow, LastUpdate());
  }
}

TEST_F(ScsiRefreshTest, LastUpdateTimeRoundTrip) {
  unsigned long t = 42;
  media->getLastScsiUpdateTime(t);
  EXPECT_EQ(0u, t);
  media->setLastScsiUpdateTime(1234567890123UL);
  media->getLastScsiUpdateTime(t);
  EXPECT_EQ(1234567890123UL, t);
}

}  // namespace
