#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

// Every test starts from the stand-ins' initial state.
class ResetPlatform : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { platform::ResetAll(); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new ResetPlatform);
  return RUN_ALL_TESTS();
}
