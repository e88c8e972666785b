// A finalization of a chunk of many containers, killed in a child process before each of its file
// operations and at random moments, and cut by power losses at its removals, cuts, holes and
// flushes. Then a new pruner prunes the same keys again (the driver does, until their records are
// purged) and finalizes: no valid object is lost, and the chunk with its space is what an
// uninterrupted run leaves.

#include <signal.h>

#include <map>
#include <random>

#include "index/index_test_util.h"
#include "power_cut.h"
#include "pruner_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 12;

// The pruner's operations on the chunk that change it or make it durable.
bool Counted(FsOp op, const std::string& path) {
  if (path.find("CHUNK_12") == std::string::npos) return false;
  return op == FsOp::Remove || op == FsOp::Truncate || op == FsOp::DrillHole || op == FsOp::Flush ||
         op == FsOp::Write || op == FsOp::Open;
}

class PrunerCrashTest : public PrunerTest {
 public:
  // The state a test compares: per container its size and allocated bytes (-1: gone), and whether
  // the index is there.
  struct State {
    std::map<uint32_t, std::pair<long long, long long>> containers;
    bool index = false;
  };

  PrunerCrashTest() {
    SetConfig("DedupDrillHolesMinSize", 4096);
    SetConfig("DedupDrillHolesMaxSize", 16384);
  }

  // Eight containers of random objects; container 2 comes back after container 5.
  void Craft(std::mt19937_64& rng) {
    chunk = std::make_unique<craft::Chunk>(volumePath, kChunk, kVolumeBlock);
    for (uint32_t n : {0u, 1u, 2u, 3u, 4u, 5u, 2u, 6u, 7u}) {
      const int count = 2 + static_cast<int>(rng() % 5);
      for (int i = 0; i < count; ++i) chunk->Add(n, 3000 + rng() % 40000, 64, rng());
    }
    keys.clear();
    for (const craft::Object& o : chunk->Objects()) {
      if (o.container == 1 || o.container == 4 || rng() % 3 == 0) keys.insert(o.key);
    }
  }

  void Fresh() {
    std::filesystem::remove_all(ChunkDir(kChunk));
    chunk->Write();
  }

  int PruneAndFinalize() {
    auto pruner = MakePruner();
    if (int rc = Open(*pruner, kChunk); rc != 0) return 100 + rc;
    for (uint64_t k : keys) {
      if (pruner->PruneEntry(static_cast<uint32_t>(k), DbMetaOffset(chunk->Objects()[k - 1])) != 0) return 200;
    }
    bool empty = false;
    return pruner->Finalize(empty);
  }

  State Now() const {
    State s;
    for (const craft::Object& o : chunk->Objects()) {
      const std::string p = chunk->ContainerPath(o.container);
      s.containers[o.container] = {Size(p), Allocated(p)};
    }
    s.index = Exists(ContainerIndexPath(kChunk));
    return s;
  }

  // Every object not pruned is where it was, byte for byte.
  void ExpectValidObjects() const {
    for (const craft::Object& o : chunk->Objects()) {
      if (keys.count(o.key)) continue;
      ASSERT_EQ(o.bytes, sitest::FileBytes(chunk->ContainerPath(o.container), o.offset, o.bytes.size()))
          << "object " << o.key;
    }
  }

  // Sizes as the reference has them; allocated bytes too, give or take the partial blocks at the
  // ends of each hole (the power-loss model keeps or drops whole 4 KiB pages of an unflushed hole),
  // and one block of the file system's own: pages written back into a punched file and punched
  // again can leave its extents in a block of their own.
  void ExpectLikeReference(const State& reference) const {
    const State now = Now();
    EXPECT_EQ(reference.index, now.index);
    std::map<uint32_t, long long> objects;
    for (const craft::Object& o : chunk->Objects()) ++objects[o.container];
    for (const auto& [n, v] : reference.containers) {
      const auto& [size, allocated] = now.containers.at(n);
      EXPECT_EQ(v.first, size) << "container " << n;
      EXPECT_LE(allocated, v.second + 4096) << "container " << n;
      EXPECT_GE(allocated, v.second - 2 * 4096 * objects[n]) << "container " << n;
    }
  }

  // After an interrupted pass: the valid objects are there, and the next pass leaves what an
  // uninterrupted run leaves.
  void FinishAndCompare(const State& reference) {
    ExpectValidObjects();
    ASSERT_EQ(0, PruneAndFinalize());
    ExpectValidObjects();
    ExpectLikeReference(reference);
  }

  // What an uninterrupted run leaves, and how many counted calls it makes.
  State Reference(long& calls) {
    Fresh();
    calls = 0;
    Faults().SetHook([&](FsOp op, const std::string& path) { calls += Counted(op, path) ? 1 : 0; });
    EXPECT_EQ(0, PruneAndFinalize());
    Faults().SetHook(nullptr);
    return Now();
  }

  std::unique_ptr<craft::Chunk> chunk;
  std::set<uint64_t> keys;
};

TEST_F(PrunerCrashTest, AKilledFinalizationIsFinishedByTheNextPass) {
  const uint64_t seed = mfstest::Seed(41);
  std::mt19937_64 rng(seed);
  Craft(rng);
  long calls = 0;
  const State reference = Reference(calls);
  ASSERT_GT(calls, 10);
  const long kills = std::max(calls, mfstest::EnvCount("MFS_SFILE_PRUNE_KILLS", 60L));
  for (long i = 0; i < kills; ++i) {
    // Before each counted call once, then at random ones.
    const long step = i < calls ? i + 1 : 1 + static_cast<long>(rng() % static_cast<uint64_t>(calls));
    SCOPED_TRACE("kill before counted call " + std::to_string(step) + ", seed " + std::to_string(seed));
    Fresh();
    const pid_t pid = idxtest::Fork([&] {
      long seen = 0;
      Faults().SetHook([&](FsOp op, const std::string& path) {
        if (Counted(op, path) && ++seen == step) raise(SIGKILL);
      });
      return PruneAndFinalize();
    });
    const int status = idxtest::Wait(pid);
    ASSERT_TRUE(status == 128 + SIGKILL || status == 0) << status;
    FinishAndCompare(reference);
    if (HasFailure()) return;
  }
}

TEST_F(PrunerCrashTest, APowerCutFinalizationIsFinishedByTheNextPass) {
  const uint64_t seed = mfstest::Seed(43);
  std::mt19937_64 rng(seed);
  Craft(rng);
  long calls = 0;
  const State reference = Reference(calls);
  const long cuts = mfstest::EnvCount("MFS_SFILE_PRUNE_CUTS", 40L);
  for (platform::PowerCutMode mode : {platform::PowerCutMode::kDropUnflushed, platform::PowerCutMode::kRandomPages}) {
    for (long i = 0; i < cuts; ++i) {
      Fresh();
      powercut::Plan plan;
      plan.mode = mode;
      plan.seed = rng() | 1;
      plan.step = 1 + static_cast<long>(rng() % static_cast<uint64_t>(calls + 1));
      plan.counts = Counted;
      const powercut::Result r = powercut::Run(plan, [&] { return PruneAndFinalize(); });
      SCOPED_TRACE(r.Describe() + ", test seed " + std::to_string(seed));
      ASSERT_TRUE(r.report.errors.empty());
      FinishAndCompare(reference);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
