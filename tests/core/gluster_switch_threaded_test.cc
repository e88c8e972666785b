// The once-per-process Gluster support switch, decided by threads that make their first call at
// the same time.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/platform.h"

namespace {

TEST(GlusterSwitchThreaded, FirstCallsTogetherAllSeeTheSameDecision) {
  for (long long configured : {0LL, 1LL}) {
    platform::ResetAll();
    platform::ScaleOutStorage().volumes.push_back({"/gluster/gv0", "node1", "gv0", 24007});
    platform::Config().SetNumber("ZovadAdeve", "nEnableLibGFAPI", configured);
    std::atomic<bool> go{false};
    std::atomic<int> onGluster{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 50; ++i) {
          if (media_fs::IsGlusterMountPath("/gluster/gv0/mp1")) onGluster.fetch_add(1);
          media_fs::IsStrataformPath("/gluster/gv0/mp2");
        }
      });
    }
    go.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(configured == 1 ? 8 * 50 : 0, onGluster.load());
  }
}

}  // namespace
