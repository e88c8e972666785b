// Prune windows: the agent's answers cached for 30 seconds for every pruner of the process,
// failures that answer false and keep the cache, and the messages of changes.

#include "driver_fixture.h"

namespace {

using platform::Config;

class WindowsTest : public prunetest::DriverTest {};

TEST_F(WindowsTest, TheZovadAdeveWindowIsCachedForThirtySeconds) {
  auto p = MakeDriver();
  auto other = MakeDriver();
  struct Step {
    long long advanceMs;
    bool agentAnswer;
    unsigned long agentError;
    bool force;
    bool answer;
    int questions;  // agent questions so far
    const char* message;
  };
  const std::vector<Step> steps = {
      {0, true, 0, false, true, 1, "No change in pruning status on ZovadAdeve. Pruning allowed [true]."},
      {29000, false, 0, false, true, 1, nullptr},  // cached
      {1000, false, 0, false, false, 2, "Pruning has been disabled on ZovadAdeve."},
      {0, true, 0, true, true, 3, "Pruning has been enabled on ZovadAdeve."},
      // A failed question answers false and leaves the cache and its time: the next asks again.
      {30000, true, 1722, false, false, 4, "Cannot check if pruning is allowed on zovadadeve, Error [1722]."},
      {0, true, 0, false, true, 5, "No change in pruning status on ZovadAdeve. Pruning allowed [true]."},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    platform::AdvanceClock(s.advanceMs);
    Config().pruningEnabled = s.agentAnswer;
    Config().pruningEnabledError = s.agentError;
    platform::ResetLogs();
    // Pruners share the cache: the odd steps ask through the other one.
    EXPECT_EQ(s.answer, (i % 2 ? other : p)->IsPruningAllowedOnMA(s.force));
    EXPECT_EQ(s.questions, Config().pruningEnabledQuestions);
    if (s.message != nullptr) {
      EXPECT_TRUE(platform::LogContains(std::string("7-3 IsPruningAllowedOnMA:")));
      EXPECT_TRUE(platform::LogContains(s.message));
    }
  }
  // The static operation without a context logs without engine id.
  platform::ResetLogs();
  EXPECT_TRUE(CSingleInstancerPruner::IsPruningAllowedOnMAStatic(true, nullptr));
  EXPECT_TRUE(platform::LogContains("IsPruningAllowedOnMA:"));
  EXPECT_FALSE(platform::LogContains("7-3 IsPruningAllowedOnMA:"));
}

TEST_F(WindowsTest, TheMountPathWindowLogsWhatChanged) {
  auto p = MakeDriver();
  Config().pruningDisabledMountPaths = {9, 4};
  EXPECT_FALSE(p->IsPruningAllowedOnMP(4, false));
  EXPECT_TRUE(platform::LogContains("Pruning has been disabled on mountpath [4]."));
  EXPECT_TRUE(platform::LogContains("Pruning has been disabled on mountpath [9]."));
  EXPECT_EQ((std::vector<unsigned int>{4, 9}), CSingleInstancerPruner::GetPruningDisabledMPIds());
  EXPECT_TRUE(p->IsPruningAllowedOnMP(5, false));  // cached
  EXPECT_EQ(1, Config().pruningDisabledQuestions);

  platform::AdvanceClock(30000);
  Config().pruningDisabledMountPaths = {9, 5};
  platform::ResetLogs();
  EXPECT_FALSE(p->IsPruningAllowedOnMP(5, false));
  EXPECT_TRUE(platform::LogContains("Pruning has been disabled on mountpath [5]."));
  EXPECT_TRUE(platform::LogContains("Pruning has been enabled on mountpath [4]."));

  platform::ResetLogs();
  EXPECT_TRUE(p->IsPruningAllowedOnMP(4, true));
  EXPECT_EQ(1u, platform::LogCount("Didn't find any new mountpaths on which pruning is disabled. Enabled MP count [0].", 3));

  // A failed list answers false and keeps the cache.
  Config().pruningDisabledError = 31;
  platform::ResetLogs();
  EXPECT_FALSE(p->IsPruningAllowedOnMP(4, true));
  EXPECT_EQ(1u, platform::LogCount("Cannot get mountpaths on which pruning is disabled, uMPId [4], Error [31].", 0));
  EXPECT_EQ((std::vector<unsigned int>{5, 9}), CSingleInstancerPruner::GetPruningDisabledMPIds());

  // The ZovadAdeve window closed: no list is asked for.
  Config().pruningDisabledError = 0;
  Config().pruningEnabled = false;
  const int asked = Config().pruningDisabledQuestions;
  EXPECT_FALSE(p->IsPruningAllowedOnMP(4, true));
  EXPECT_EQ(asked, Config().pruningDisabledQuestions);
}

TEST_F(WindowsTest, AClosedZovadAdeveWindowEndsEveryPassAtItsStart) {
  CraftChunk(mountPath, kVolId, 40, 2);
  AddRecords({Rec(prunetest::kMP1, kVolId, 40, 1)});
  Config().pruningEnabled = false;
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_EQ((std::vector<uint64_t>{40001}), RecordsLeft());
  EXPECT_TRUE(platform::Sidb().calls.empty());
}

}  // namespace
