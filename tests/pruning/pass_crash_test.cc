// A pass killed at chosen moments, or cut by a power failure, then run again to its end: no
// unpruned object is lost, no record is purged while its entry is still valid on disk, and
// storage ends as an uninterrupted run leaves it (save an empty volume folder whose marker went
// just before the stop: the host marks it again).
//
// MFS_PRUNE_KILLS and MFS_PRUNE_CUTS set how many kills and cuts run (40 and 40 by default).

#include <sys/wait.h>

#include <cstdlib>
#include <random>
#include <set>

#include "driver_fixture.h"
#include "index/index_test_util.h"
#include "power_cut.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using prunetest::kMP1;

class PassCrashTest : public prunetest::DriverTest {
 public:
  static constexpr unsigned int kMarked = 18;

  // Volume 17: chunk 40 loses three of six objects, chunk 41 all of its three, chunk 42 (no
  // container index) its records only. Volume 18, marked: chunk 200 loses everything.
  void Build() {
    std::filesystem::remove_all(mountPath);
    std::filesystem::create_directories(mountPath);
    chunk40 = std::make_unique<craft::Chunk>(CraftChunk(mountPath, kVolId, 40, 6, 2));
    CraftChunk(mountPath, kVolId, 41, 3);
    chunk42 = std::make_unique<craft::Chunk>(CraftChunk(mountPath, kVolId, 42, 2, 1, false));
    CraftChunk(mountPath, kMarked, 200, 2);
    craft::WriteFile(path_append(VolumeDir(mountPath, kMarked), ".prunable"), "");
    std::vector<CZeroRefRecord> records = {Rec(kMP1, kVolId, 40, 1), Rec(kMP1, kVolId, 40, 2),
                                           Rec(kMP1, kVolId, 40, 3), Rec(kMP1, kMarked, 200, 1),
                                           Rec(kMP1, kMarked, 200, 2)};
    for (uint64_t k = 1; k <= 3; ++k) records.push_back(Rec(kMP1, kVolId, 41, k));
    records.push_back(Rec(kMP1, kVolId, 42, 1, 0, DbMetaOffset(chunk42->Objects()[0])));
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, records));
    platform::Sidb().purged.clear();
    platform::Sidb().batchSize = 3;
    platform::ResetLogs();
  }

  int RunPass() {
    auto p = MakeDriver();
    return p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600);
  }

  // Every path below the mount path.
  std::set<std::string> Tree() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(mountPath)) {
      out.insert(e.path().string().substr(mountPath.size()));
    }
    return out;
  }

  // The objects that no record names read back whole.
  void ExpectSurvivors() {
    for (size_t i = 3; i < 6; ++i) {
      const craft::Object& o = chunk40->Objects()[i];
      EXPECT_EQ(o.bytes, craft::ReadFile(chunk40->ContainerPath(o.container)).substr(o.offset, o.bytes.size()))
          << "object " << o.key;
    }
    const craft::Object& o = chunk42->Objects()[1];
    EXPECT_EQ(o.bytes, craft::ReadFile(chunk42->ContainerPath(0)).substr(o.offset, o.bytes.size()));
    EXPECT_EQ(chunk42->MetaBytes(), craft::ReadFile(chunk42->MetaPath()));
  }

  // No purged record of chunk 40 has a valid entry on disk.
  void ExpectPurgedEntriesCleared() {
    if (!Exists(ContainerIndexPath(40))) return;
    std::set<uint64_t> purged(platform::Sidb().purged.begin(), platform::Sidb().purged.end());
    for (const SSfileContainerIndexEntry& e : Records(40)) {
      if ((e.Flags & FLAG_SFILE_ENTRY_VALID) != 0) {
        EXPECT_EQ(0u, purged.count(40000 + e.Key)) << "key " << e.Key;
      }
    }
  }

  // After the stop the pass runs again to its end; then storage is as `reference` says.
  void Finish(const std::set<std::string>& reference, const std::string& trace) {
    SCOPED_TRACE(trace);
    ExpectPurgedEntriesCleared();
    ASSERT_EQ(0, RunPass());
    EXPECT_TRUE(RecordsLeft().empty());
    std::set<std::string> tree = Tree();
    tree.erase("/V_18");  // an emptied volume folder whose marker went first stays for the host
    EXPECT_EQ(reference, tree);
    ExpectSurvivors();
  }

  // An uninterrupted run: what it leaves, and how many file operations it makes.
  void Reference() {
    Build();
    ops = 0;
    platform::Faults().SetHook([&](platform::FsOp, const std::string&) { ++ops; });
    ASSERT_EQ(0, RunPass());
    platform::Faults().SetHook(nullptr);
    reference = Tree();
    ASSERT_GT(ops, 10);
    ASSERT_EQ(0u, reference.count("/V_18"));
  }

  std::unique_ptr<craft::Chunk> chunk40, chunk42;
  long ops = 0;
  std::set<std::string> reference;
};

TEST_F(PassCrashTest, KilledPassesRunAgainToTheSameEnd) {
  std::mt19937_64 rng(mfstest::Seed(24));
  ASSERT_NO_FATAL_FAILURE(Reference());

  const int kills = mfstest::EnvCount("MFS_PRUNE_KILLS", 40);
  for (int i = 0; i < kills; ++i) {
    Build();
    const long at = 1 + static_cast<long>(rng() % static_cast<uint64_t>(ops));
    const pid_t child = idxtest::Fork([&] {
      long seen = 0;
      platform::Faults().SetHook([&](platform::FsOp, const std::string&) {
        if (++seen == at) _exit(0);
      });
      return RunPass();
    });
    ASSERT_GT(child, 0);
    idxtest::Wait(child);
    Finish(reference, "killed before file operation " + std::to_string(at));
    if (HasFatalFailure()) return;
  }
}

TEST_F(PassCrashTest, PowerCutsInAPassLoseNothing) {
  std::mt19937_64 rng(mfstest::Seed(2424));
  ASSERT_NO_FATAL_FAILURE(Reference());

  const int cuts = mfstest::EnvCount("MFS_PRUNE_CUTS", 40);
  for (int i = 0; i < cuts; ++i) {
    Build();
    powercut::Plan plan;
    plan.mode = i % 2 == 0 ? platform::PowerCutMode::kDropUnflushed : platform::PowerCutMode::kRandomPages;
    plan.seed = rng() | 1;
    plan.step = 1 + static_cast<long>(rng() % static_cast<uint64_t>(ops));
    const powercut::Result r = powercut::Run(plan, [&] { return RunPass(); });
    Finish(reference, r.Describe());
    if (HasFatalFailure()) return;
  }
}

}  // namespace
