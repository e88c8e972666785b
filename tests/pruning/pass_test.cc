// The pass and its batches against the database stand-in: how many passes run, what their
// results are, which records are purged, withheld or left, and when the database is asked again.

#include "driver_fixture.h"

namespace {

using prunetest::kMP1;
using prunetest::kMP2;
using platform::Sidb;

class PassTest : public prunetest::DriverTest {};

size_t CallsNamed(const std::string& prefix) {
  return static_cast<size_t>(std::count_if(Sidb().calls.begin(), Sidb().calls.end(),
                                           [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

TEST_F(PassTest, ResultsOfThePassesAndTheDatabaseClient) {
  struct Case {
    const char* what;
    std::vector<int> getResults;
    int result;
    size_t batches;
    bool failureMessage;
  };
  const std::vector<Case> cases = {
      {"no records: five passes, each asks once", {}, 0, 5, false},
      {"nothing to do ends at once as 0", {kSIDBNothingToDo}, 0, 1, true},
      {"the budget used up ends without a failure message", {kSIDBTimeBudgetUsed}, kSIDBTimeBudgetUsed, 1, false},
      {"another code is returned", {9}, 9, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetLogs();
    Sidb().calls.clear();
    Sidb().getResults.assign(c.getResults.begin(), c.getResults.end());
    auto p = MakeDriver();
    EXPECT_EQ(c.result, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
    EXPECT_EQ(c.batches, CallsNamed("GetPrunableRecords 0 10000"));
    if (c.getResults.empty()) {
      EXPECT_EQ(5u, platform::LogCount("No records returned for chunkId [0]. Next [0]"));
    }
    EXPECT_EQ(c.batches, CallsNamed("Close"));
    EXPECT_EQ(0, Sidb().openHandles);
    EXPECT_EQ(c.failureMessage, platform::LogContains("Cannot prune the prunable primary records from SIDB"));
  }
}

TEST_F(PassTest, RecordsOfWholeAndPartlyPrunedChunksAcrossBatches) {
  // Chunk 40: five objects, four pruned, over two batches of three; chunk 41: both objects.
  craft::Chunk c40 = CraftChunk(mountPath, kVolId, 40, 5, 2);
  craft::Chunk c41 = CraftChunk(mountPath, kVolId, 41, 2);
  AddRecords({Rec(kMP1, kVolId, 40, 1), Rec(kMP1, kVolId, 40, 2), Rec(kMP1, kVolId, 40, 4), Rec(kMP1, kVolId, 40, 5),
              Rec(kMP1, kVolId, 41, 1), Rec(kMP1, kVolId, 41, 2)});
  Sidb().batchSize = 3;
  prunetest::VolumeCalls volumes;
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, &prunetest::VolumeCalls::OnModified, &volumes, 60));
  EXPECT_TRUE(RecordsLeft().empty());
  // The first batch ends inside chunk 40: its last id is withheld and comes back.
  ASSERT_GE(Sidb().purged.size(), 2u);
  EXPECT_EQ((std::vector<unsigned long long>{40001, 40002}),
            std::vector<unsigned long long>(Sidb().purged.begin(), Sidb().purged.begin() + 2));
  EXPECT_EQ(6u, Sidb().purged.size());

  // Object 3 of chunk 40 is still there and reads back; chunk 41 is gone with its trailer.
  auto store = MakeRestore();
  ASSERT_EQ(0, RestoreTest::Open(*store, 40));
  const craft::Object& o = c40.Objects()[2];
  EXPECT_EQ(o.bytes.substr(16), ReadObject(*store, c40.ContainerPath(o.container), o.offset, o.bytes.size() - 16));
  EXPECT_FALSE(Exists(c41.Dir()));
  EXPECT_FALSE(Exists(TrailerOf(mountPath, kVolId, 41)));
  EXPECT_TRUE(Exists(TrailerOf(mountPath, kVolId, 40)));
  // The volume was not marked: kept, once per pass that ended it.
  ASSERT_FALSE(volumes.calls.empty());
  for (const auto& call : volumes.calls) EXPECT_EQ(std::make_pair(static_cast<int>(kVolId), -1), call);
}

TEST_F(PassTest, SkippedAndDroppedMountPaths) {
  // Mount path 0 and a mount path without a record (dropping on): purged without any work;
  // a read-only mount path and a disabled one: kept, and later batches leave them out.
  platform::Config().SetNumber("ZovadAdeve", "DedupDropInaccessibleMountPathData", 1);
  platform::Config().mountPaths[{kMP2, prunetest::kInstallation}].accessFlags = 0;
  platform::Config().pruningDisabledMountPaths = {8};
  craft::Chunk c = CraftChunk(mountPath2, 30, 300, 2);
  AddRecords({Rec(0, 1, 10, 1), Rec(9, 1, 20, 1), Rec(kMP2, 30, 300, 1), Rec(8, 1, 400, 1)});
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_EQ((std::vector<uint64_t>{300001, 400001}), RecordsLeft());
  EXPECT_TRUE(Exists(c.ContainerPath(0)));
  EXPECT_TRUE(platform::LogContains("Mountpath [6] is read only."));
  const std::vector<unsigned int> offline = p->GetOfflineMPIds();
  EXPECT_EQ((std::vector<unsigned int>{8, 6}), offline);
}

TEST_F(PassTest, RecordsOfUnknownVolumesAndChunksRemoveNothingValid) {
  // Volume 99 and chunk 999 are not on the mount path: nothing there to prune, so their records
  // go; the chunk that exists beside them keeps every object no record names.
  craft::Chunk c = CraftChunk(mountPath, kVolId, 40, 2);
  AddRecords({Rec(kMP1, 99, 41, 1), Rec(kMP1, kVolId, 999, 1), Rec(kMP1, kVolId, 40, 1)});
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_TRUE(RecordsLeft().empty());
  const craft::Object& o = c.Objects()[1];
  EXPECT_EQ(o.bytes, craft::ReadFile(c.ContainerPath(0)).substr(o.offset, o.bytes.size()));
  EXPECT_TRUE(Exists(c.MetaPath()));
  const std::vector<std::string> log = prunetest::DeleteLogRecords();
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "DN 5 17 999"));
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "DN 5 99 41"));
}

TEST_F(PassTest, PurgeFailureEndsThePassAndKeepsTheRecords) {
  CraftChunk(mountPath, kVolId, 40, 3);
  AddRecords({Rec(kMP1, kVolId, 40, 1)});
  Sidb().pruneResults = {11};
  auto p = MakeDriver();
  EXPECT_EQ(11, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_EQ((std::vector<uint64_t>{40001}), RecordsLeft());
  EXPECT_TRUE(platform::LogContains("Failed to purge [1] primary records from SIDB. Error [11]"));
  EXPECT_EQ(0, Sidb().openHandles);
  // The next run clears the entry again and purges it.
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_TRUE(RecordsLeft().empty());
}

TEST_F(PassTest, TheBudgetIsCheckedBetweenBatches) {
  CraftChunk(mountPath, kVolId, 40, 2);
  CraftChunk(mountPath, kVolId, 41, 2);
  AddRecords({Rec(kMP1, kVolId, 40, 1), Rec(kMP1, kVolId, 40, 2), Rec(kMP1, kVolId, 41, 1)});
  Sidb().batchSize = 2;
  // The first batch's mount path look-up takes two seconds of the clock.
  platform::Config().mountPathLookupHook = [](int, int) { platform::AdvanceClock(2000); };
  auto p = MakeDriver();
  EXPECT_EQ(kSIDBTimeBudgetUsed, p->PruneZeroRefRecords(&db, nullptr, nullptr, 1));
  EXPECT_EQ((std::vector<uint64_t>{41001}), RecordsLeft());  // the first batch went to its end
  EXPECT_TRUE(platform::LogContains("Stopping phase 3 pruning engine [7] as max phase time is reached."));
}

TEST_F(PassTest, ANextChunkWithoutProgressMovesOnByOne) {
  // Another pruner holds chunk 40: its records stay. The database cuts its batches inside the
  // chunk, so it answers with the batch's own start: the next batch starts one further.
  CraftChunk(mountPath, kVolId, 40, 2);
  AddRecords({Rec(kMP1, kVolId, 40, 1), Rec(kMP1, kVolId, 40, 2)});
  Sidb().batchSize = 1;
  MDLock other("OZMA_SIDB_PRUNE_PHASE_3_LOCK_CHUNK_40");
  ASSERT_NE(0, other.set(0));
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecordsInt(&db, nullptr, nullptr, 1LL << 40));
  EXPECT_EQ(1u, CallsNamed("GetPrunableRecords 41 10000"));
  EXPECT_EQ((std::vector<uint64_t>{40001, 40002}), RecordsLeft());
  other.unset();
  Sidb().batchSize = 2;  // with batches of one, a chunk that spans batches withholds its only id
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_TRUE(RecordsLeft().empty());
}

}  // namespace
