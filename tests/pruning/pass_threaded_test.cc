// Pruners on threads of one process: over the same and over other mount paths they share the
// prune windows, the hybrid volumes index and the mount paths without holes, and two of them
// never work on one chunk at once; each record is purged once, after its entry was cleared.

#include <thread>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "driver_fixture.h"

namespace {

using prunetest::kMP1;
using prunetest::kMP2;

class PassThreadedTest : public prunetest::DriverTest {};

TEST_F(PassThreadedTest, PrunersOnThreadsShareTheStaticsAndNeverShareAChunk) {
  std::vector<craft::Chunk> chunks;
  std::vector<CZeroRefRecord> records;
  for (unsigned long long id = 40; id < 52; ++id) {
    const bool second = id % 2 == 1;
    chunks.push_back(CraftChunk(second ? mountPath2 : mountPath, second ? 30 : kVolId, id, 4, 2));
    for (uint64_t k = 1; k <= 3; ++k) records.push_back(Rec(second ? kMP2 : kMP1, second ? 30 : kVolId, id, k));
  }
  AddRecords(records);
  platform::Sidb().batchSize = 5;
  platform::Config().pruningDisabledMountPaths = {99};
  platform::Config().jobResultsDirectory = dir.path();

  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::vector<int> results(kThreads, -100);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto p = MakeDriver();
      CSIDBClientApi client;
      // Each thread also asks the windows and touches the hybrid volumes index.
      for (int i = 0; i < 20; ++i) {
        (void)p->IsPruningAllowedOnMP(static_cast<unsigned int>(i % 3 == 0 ? 99 : kMP1), i % 5 == 0);
        if (CSingleInstancerPruner::s_pHybVols->Open(false) == 0) (void)CSingleInstancerPruner::s_pHybVols->Close();
      }
      results[t] = p->PruneZeroRefRecords(&client, nullptr, nullptr, 3600);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int r : results) EXPECT_EQ(0, r);
  // Records of chunks another pruner held came back to the others (and a record two pruners
  // fetched before either purged it is pruned twice, clearing a cleared entry); in the end all
  // are gone, and no pruned object's entry is valid.
  auto last = MakeDriver();
  EXPECT_EQ(0, last->PruneZeroRefRecords(&db, nullptr, nullptr, 3600));
  EXPECT_TRUE(RecordsLeft().empty());
  for (unsigned long long id = 40; id < 52; id += 2) {
    for (const SSfileContainerIndexEntry& e : Records(static_cast<long long>(id))) {
      EXPECT_EQ(e.Key > 3, (e.Flags & FLAG_SFILE_ENTRY_VALID) != 0) << "chunk " << id << " key " << e.Key;
    }
  }
  // The object no record named is whole in every chunk.
  for (const craft::Chunk& c : chunks) {
    const craft::Object& o = c.Objects()[3];
    EXPECT_EQ(o.bytes, craft::ReadFile(c.ContainerPath(o.container)).substr(o.offset, o.bytes.size()));
  }
}

}  // namespace
