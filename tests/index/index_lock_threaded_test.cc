// Container index objects of one process opened and closed by many threads at once share the
// process's lock: none of them is refused, and the lock ends with the last of them.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "index/IndexFileLockTable.h"
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

// Objects created or opened again without a Close, on several threads and files at once, pairs
// of threads on each file: the second call also fails at times, before the lock (a file that
// cannot be opened) or after taking it (a file that is no index). However the calls mix, each
// object holds one share, and every file is free once the objects are closed or destroyed.
TEST(IndexLockThreads, ObjectsReopenedOnManyThreadsGiveEveryShareBack) {
  TempDir dir;
  CFSInitParams params = Params();
  std::vector<std::string> files;
  for (int f = 0; f < 3; ++f) {
    files.push_back(dir.File("SFILE_CONTAINER_" + std::to_string(f) + ".idx"));
    MakeContainerIndex(files.back(), params, {1, 2});
  }
  // Neither can be created nor opened: the first has no folder; the second is no index, and
  // the folder in place of its journal keeps Create from emptying it.
  const std::string missing = dir.File("absent/missing.idx");
  const std::string corrupt = dir.File("corrupt.idx");
  HeaderFields notAnIndex;
  notAnIndex.magic = "CHNKIDX";
  WriteFile(corrupt, HeaderBytes(notAnIndex));
  ASSERT_EQ(mkdir((corrupt + ".change").c_str(), 0700), 0);
  WriteFile(corrupt + ".change/keep", "x");

  enum Call { kCreate, kOpenReadWrite, kOpenReadOnly };
  const Call sequences[][2] = {{kCreate, kCreate},           {kCreate, kOpenReadWrite},
                               {kOpenReadWrite, kOpenReadWrite}, {kOpenReadOnly, kOpenReadOnly},
                               {kOpenReadOnly, kOpenReadWrite},  {kOpenReadWrite, kCreate}};
  auto run = [](SFileIndex& idx, Call call, const std::string& path) {
    auto opt = Opts<SFileIndex>(false, true);
    if (call == kCreate) return idx.Create(path, opt);
    return idx.Open(path, call == kOpenReadOnly ? 1 : 2, opt);
  };

  std::atomic<int> reopened{0};
  std::atomic<int> unlockedWhileOpen{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const std::string& path = files[t / 2];
      for (int round = 0; round < 36; ++round) {
        const Call* s = sequences[(t + round) % 6];
        const int failure = (round / 6) % 3;  // none, before the lock, after it
        auto idx = std::make_unique<SFileIndex>(&params, nullptr);
        // The pair's other thread may be emptying the file for a Create: an Open then fails.
        if (run(*idx, s[0], path).IsFailure()) continue;
        const std::string& second = failure == 0 ? path : failure == 1 ? missing : corrupt;
        // As above, the second call on a sound file may meet it emptied.
        const bool done = run(*idx, s[1], second).IsSuccess();
        if (done && failure != 0) ++unexpected;
        if (done && failure == 0) {
          ++reopened;
          if (HeldLockType(path) == F_UNLCK) ++unlockedWhileOpen;
        }
        if (round % 2 == 0) (void)idx->Close();
        idx.reset();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_GT(reopened.load(), 0);
  EXPECT_EQ(unlockedWhileOpen.load(), 0);
  EXPECT_EQ(unexpected.load(), 0) << "a file that cannot be an index was opened";
  files.push_back(corrupt);
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    EXPECT_EQ(HeldLockType(path), F_UNLCK);
    const CIndexFileLockTable::Counts counts = CIndexFileLockTable::CountsOf(path);
    EXPECT_EQ(counts.readers + counts.writers, 0);
  }
}

}  // namespace
