// Container index objects of one process opened and closed by many threads at once share the
// process's lock: none of them is refused, and the lock ends with the last of them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "index_test_util.h"

namespace {

using namespace idxtest;

TEST(IndexLockThreads, ObjectsOnManyThreadsShareTheLock) {
  TempDir dir;
  const std::string path = dir.File("SFILE_CONTAINER.idx");
  CFSInitParams params = Params();
  MakeContainerIndex(path, params, {1});
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        SFileIndex idx(&params, nullptr);
        auto opt = Opts<SFileIndex>(false, false);
        const int mode = (t + round) % 3 == 0 ? 2 : 1;
        if (idx.Open(path, mode, opt).IsFailure()) {
          ++refused;
          continue;
        }
        SSfileContainerIndexEntry r;
        if (idx.GetEntry(0, &r).IsFailure() || idx.Close().IsFailure()) ++refused;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(HeldLockType(path), F_UNLCK);
}

}  // namespace
