// A disk backup's first chunk takes the process's file flusher: the pools of a backup, the
// flusher shared by stores and given back by the last one, and a flusher that cannot start.

#include "store_fixture.h"

namespace {

class StoreFlusherTest : public StoreTest {
 public:
  std::unique_ptr<TestStore> BackupStore() {
    auto store = MakeStore();
    store->m_bWriting = true;
    return store;
  }
};

TEST_F(StoreFlusherTest, DiskBackupPoolsHoldTheFlusherUntilTheStoreGoes) {
  auto first = BackupStore();
  ASSERT_TRUE(first->InitFileInterfaceCache());
  EXPECT_EQ(4, first->m_MaxDelayedSfileFlushQSize);
  EXPECT_EQ(4u, first->m_lstDataFileCache.size());
  EXPECT_EQ(4u, first->m_FreeFlushReqsQ.size());
  ASSERT_NE(nullptr, first->m_pFileFlusher);
  EXPECT_EQ(1, platform::LiveThreads());

  auto second = BackupStore();
  ASSERT_TRUE(second->InitFileInterfaceCache());
  EXPECT_EQ(first->m_pFileFlusher, second->m_pFileFlusher);

  first.reset();
  EXPECT_EQ(1, platform::LiveThreads());
  second.reset();
  EXPECT_EQ(0, platform::LiveThreads());
  EXPECT_EQ(1u, platform::LogCount("flusher thread(s) stopped."));
  EXPECT_EQ(2u, platform::LogCount("Free Flush Queue Size [4]", 2));
  EXPECT_EQ(2u, platform::LogCount("Data file cache queue size [4]", 2));
}

// Nothing of a failed attempt stays: the next one builds the pools once, not twice.
TEST_F(StoreFlusherTest, FlusherThatCannotStartFailsTheSetUpUntilItCan) {
  auto store = BackupStore();
  platform::FailThreadStarts(0, 1);
  EXPECT_FALSE(store->InitFileInterfaceCache());
  EXPECT_EQ(1u, platform::LogCount("Failed to start the file flusher thread.", 1));
  EXPECT_FALSE(store->m_bFileIfCacheReady);
  EXPECT_EQ(nullptr, store->m_pFileFlusher);
  EXPECT_TRUE(store->m_lstDataFileCache.empty());
  EXPECT_TRUE(store->m_FreeFlushReqsQ.empty());
  EXPECT_EQ(nullptr, store->m_pFdDataFile);

  ASSERT_TRUE(store->InitFileInterfaceCache());
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  EXPECT_EQ(4u, store->m_FreeFlushReqsQ.size());
  EXPECT_NE(nullptr, store->m_pFileFlusher);
  store.reset();
  EXPECT_EQ(0, platform::LiveThreads());
}

}  // namespace
