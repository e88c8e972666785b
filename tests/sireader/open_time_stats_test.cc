// The overlapped manager's statistics of open times: a running mean over the first N samples,
// then an exponential average with the factor 2/(N+1).

#include <gtest/gtest.h>

#include "MediaFileSystem/AsyncIoManager2_Ovl.h"

namespace {

TEST(OpenTimeStatsTest, MeanThenExponentialAverage) {
  CSimulatedIoOvlMgr::OpenTimeStats stats;
  EXPECT_EQ(100u, stats.uWindow);
  EXPECT_DOUBLE_EQ(2.0 / 101.0, stats.dFactor);
  stats.SetWindow(1000, "Open File");
  EXPECT_EQ("Open File", stats.strName);
  EXPECT_DOUBLE_EQ(2.0 / 1001.0, stats.dFactor);
  double sum = 0;
  for (int i = 1; i <= 1000; ++i) {
    stats.Add(i);
    sum += i;
  }
  EXPECT_DOUBLE_EQ(sum / 1000, stats.dAverage) << "the first 1000 opens give their mean";
  EXPECT_EQ(1000, stats.nSamples);
  double before = stats.dAverage;
  stats.Add(2000);
  EXPECT_DOUBLE_EQ(2000 * (2.0 / 1001.0) + (1 - 2.0 / 1001.0) * before, stats.dAverage);
  EXPECT_EQ(1000, stats.nSamples);
  EXPECT_EQ(1001u, stats.ullCount);
  EXPECT_DOUBLE_EQ(sum + 2000, stats.dTotal);

  // Windows of 0 and 1 keep the last time.
  for (uint32_t window : {0u, 1u}) {
    CSimulatedIoOvlMgr::OpenTimeStats small;
    small.SetWindow(window, "small");
    small.Add(5);
    small.Add(9);
    EXPECT_DOUBLE_EQ(9, small.dAverage);
    EXPECT_EQ(static_cast<int32_t>(window), small.nSamples);
  }
}

}  // namespace
