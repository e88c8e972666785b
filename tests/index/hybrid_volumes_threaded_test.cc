// The hybrid volumes index shared by many threads: they open, cache, look up and close at once,
// round after round, and no mapping is lost.
//
// MFS_HYBRID_ROUNDS sets the rounds per thread (default 100) for longer runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "index_test_util.h"
#include "test_env.h"

namespace {

using namespace idxtest;

TEST(HybridVolumesThreads, ConcurrentUsersLoseNoMapping) {
  const int rounds = mfstest::EnvCount("MFS_HYBRID_ROUNDS", 100);
  constexpr int kThreads = 8;
  TempDir dir;
  platform::Config().jobResultsDirectory = dir.path();
  platform::SetLogCaptureLimit(1000);
  CFSInitParams params = Params();
  CHybridVolumesIndexFile vols(&params);
  auto volumeOf = [](int thread, int round) { return static_cast<unsigned long>(thread) * 1000000 + round + 1; };
  auto mountPathOf = [](unsigned long vol) { return static_cast<uint64_t>(vol % 997); };

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        if (vols.Open(true) != 0) {
          ++failures;
          continue;
        }
        const unsigned long vol = volumeOf(t, r);
        SHybridVolumeRecord rec{};
        rec.VolId = vol;
        rec.CacheMPId = mountPathOf(vol);
        if (vols.Cache(vol, &rec, "thread") != 0) ++failures;
        // Under this thread's reference the mapping stays, whatever the others do.
        const SHybridVolumeRecord* found = vols.Find(vol);
        if (found == nullptr || found->CacheMPId != mountPathOf(vol)) ++failures;
        if (vols.GetCacheMPId(vol) != static_cast<int>(mountPathOf(vol)) || !vols.IsHybrid(vol)) ++failures;
        if (r > 0 && vols.GetCacheMPId(volumeOf(t, r - 1)) != static_cast<int>(mountPathOf(volumeOf(t, r - 1)))) {
          ++failures;  // cached in the round before, and written back or still cached since
        }
        if (vols.Count() < 1) ++failures;
        if (vols.Close() != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(vols.IsOpen());

  // Every mapping cached reached the file.
  HybridIndex idx(&params, nullptr);
  auto opt = Opts<HybridIndex>(false, false);
  ASSERT_TRUE(idx.Open(dir.File("HybridVolumes.idx"), 1, opt).IsSuccess());
  EXPECT_EQ(idx.m_Header.TotalEntries, static_cast<uint64_t>(kThreads) * rounds);
  int64_t pos = -1;
  SHybridVolumeRecord rec;
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < rounds; ++r) {
      const unsigned long vol = volumeOf(t, r);
      int64_t lo = 0, hi = static_cast<int64_t>(idx.m_Header.TotalEntries) - 1;
      ASSERT_TRUE(idx.SearchEntry(vol, &rec, &pos, lo, hi).IsSuccess());
      ASSERT_NE(pos, -1) << "volume " << vol << " is missing";
      EXPECT_EQ(rec.CacheMPId, mountPathOf(vol));
    }
  }
}

}  // namespace
