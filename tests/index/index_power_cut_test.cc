// Power cuts of journaled index files. A writer opens the index (replaying a journal that a cut
// left), now and then empties it with Create first, and works round after round of appends and
// updates, each ending in a Flush. The power goes just before a chosen file-system call of the
// writer: only what was flushed survives, all of it lost beyond that in drop mode, page by page
// at random in the other mode. After the power returns the file opens and holds exactly the
// records of the last completed Flush or of the one under way, never a mix of pages of two
// Flushes, with every CRC valid and the header's counts right. A Create under way may instead
// leave a file of zeros, which Open refuses, or the file it was emptying as it was on disk
// without its journal.
//
// The hybrid volumes file, which the library writes whole under a name of its own and renames
// into place, holds its old records or its new ones after a cut in its write back.
//
// MFS_POWER_CUTS sets the number of cuts per layout and mode (default 200) for longer runs; a
// failure names the cut's seed and step.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <tuple>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "index_crash_model.h"
#include "power_cut.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace crashmodel;
using platform::PowerCutMode;

constexpr uint64_t kRounds = 60;
constexpr uint64_t kAnyCall = 0;  // a cut point: the nth of all the writer's calls

int PowerCuts() {
  return mfstest::EnvCount("MFS_POWER_CUTS", 200);
}

class IndexPowerCut : public ::testing::TestWithParam<std::tuple<bool /*aligned*/, PowerCutMode>>,
                      protected CrashFixture {
 protected:
  void SetUp() override {
    mode_ = std::get<1>(GetParam());
    Start(std::get<0>(GetParam()));
  }

  // The writer: with `create`, empties the file first (Close flushes it); then opens it, which
  // replays a journal, and works its rounds.
  int Writer(uint64_t seed, bool create, bool& created, uint64_t& completed) {
    auto opt = Options();
    if (create) {
      SFileIndex idx(&params_, nullptr);
      if (idx.Create(path_, opt).IsFailure()) return 1;
      if (idx.Close().IsFailure()) return 2;
      created = true;
    }
    SFileIndex idx(&params_, nullptr);
    if (idx.Open(path_, 2, opt).IsFailure()) return 3;
    return RunRounds(idx, created ? Model() : model_, seed, kRounds, [&](uint64_t done) { completed = done; });
  }

  // A Create cut short may leave nothing but zeros (unless its journal holds the new header):
  // true when Open refuses the file.
  bool RefusedZeros() {
    if (ReadFile(path_).find_first_not_of('\0') != std::string::npos) return false;
    SFileIndex reader(&params_, nullptr);
    auto opt = Options();
    return reader.Open(path_, 1, opt).IsFailure();
  }

  PowerCutMode mode_ = PowerCutMode::kDropUnflushed;
};

TEST_P(IndexPowerCut, EveryCutLeavesAFlushedState) {
  platform::SetLogCaptureLimit(1000);
  const int cuts = PowerCuts();
  std::mt19937_64 rng(mfstest::Seed((aligned_ ? 17 : 23) + (mode_ == PowerCutMode::kRandomPages ? 1000 : 0)));
  std::map<uint64_t, int> cutPoints;
  int journalsLeft = 0, createsCut = 0;

  for (int iter = 0; iter < cuts; ++iter) {
    const bool journal = Exists(path_ + ".change");
    journalsLeft += journal;
    const std::string before = ReadFile(path_);
    const uint64_t writerSeed = rng();
    // A Create over a file that a cut left with its journal is where a stale journal would
    // come back to haunt the new file.
    const bool create = model_.records.size() > 4000 || rng() % 8 == 0 || (journal && rng() % 3 == 0);
    const uint64_t point = rng() % kOther;  // kAnyCall or a crash point
    long nth = 1 + static_cast<long>(rng() % 5);
    if (point == kJournalWrite || point == kPageWrite) nth = 1 + static_cast<long>(rng() % 40);
    if (point == kAnyCall) nth = 1 + static_cast<long>(rng() % 1200);

    powercut::Plan plan;
    plan.mode = mode_;
    plan.seed = rng() | 1;
    plan.step = nth;
    plan.counts = [&, point](platform::FsOp op, const std::string& p) {
      if (p.compare(0, dir_.path().size(), dir_.path()) != 0) return false;
      return point == kAnyCall || Classify(op, p, path_) == point;
    };
    bool created = false;
    uint64_t completed = 0;
    const powercut::Result r = powercut::Run(plan, [&] { return Writer(writerSeed, create, created, completed); });
    SCOPED_TRACE("cut " + std::to_string(iter) + " at " + (point == kAnyCall ? "any call" : CrashPointName(point)) +
                 (create ? ", after a Create" : "") + ", writer seed " + std::to_string(writerSeed) + "; " +
                 r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    if (r.cutInWriter) ++cutPoints[point];

    if (create && !created) {
      ++createsCut;
      // A Create that removed the journal of the file it empties and got no further leaves the
      // file as its last writer left it on disk, without its journal: content that the Create
      // was discarding. Anything else must be the old records or the new empty file.
      const bool bare = journal && !Exists(path_ + ".change") && ReadFile(path_) == before;
      if (bare || RefusedZeros()) {
        Recreate();
        continue;
      }
      // The old records, or the new empty file.
      VerifyState(params_, path_, aligned_, {model_, Model()}, iter % 2 == 0, model_);
    } else {
      const Model start = created ? Model() : model_;
      VerifyState(params_, path_, aligned_, {After(start, writerSeed, completed), After(start, writerSeed, completed + 1)},
                  iter % 2 == 0, model_);
    }
    if (HasFatalFailure()) return;
  }

  std::string seen;
  for (const auto& [p, count] : cutPoints) {
    seen += std::string(p == kAnyCall ? "any" : CrashPointName(p)) + "=" + std::to_string(count) + " ";
  }
  RecordProperty("cut_points", seen);
  for (uint64_t p : {kAnyCall, uint64_t{kOpen}, uint64_t{kJournalWrite}, uint64_t{kJournalFlush}, uint64_t{kJournalRename},
                     uint64_t{kFolderFlush}, uint64_t{kPageWrite}, uint64_t{kIndexFlush}, uint64_t{kJournalRemove}}) {
    EXPECT_GT(cutPoints[p], 0) << "no cut at " << (p == kAnyCall ? "any" : CrashPointName(p)) << "; seen: " << seen;
  }
  EXPECT_GT(journalsLeft, 0) << "no cut left a journal to replay";
  EXPECT_GT(createsCut, 0) << "no cut fell in a Create";
}

// The hybrid volumes write back: a process learns mappings and its last Close writes the file
// anew. Whatever step the power goes at, the file then loads with the old mappings or with all
// of them.
TEST(HybridVolumesPowerCut, TheFileHoldsTheOldMappingsOrTheNew) {
  platform::SetLogCaptureLimit(1000);
  TempDir dir;
  platform::Config().jobResultsDirectory = dir.path();
  CFSInitParams params = Params();
  using Mappings = std::map<uint64_t, uint64_t>;
  auto load = [&](Mappings& found) {
    CHybridVolumesIndexFile vols(&params);
    ASSERT_EQ(vols.Open(false), 0);
    CHybridVolumesIndexFile::Iterator it;
    for (SHybridVolumeRecord* r = vols.GetFirst(&it); r != nullptr; r = vols.GetNext(&it)) {
      found[r->VolId] = r->CacheMPId;
    }
    ASSERT_EQ(vols.Close(), 0);
  };
  std::mt19937_64 rng(mfstest::Seed(31));
  Mappings model;
  uint64_t nextVol = 1;
  int cutsInWriter = 0;
  const int cuts = PowerCuts() / 2;
  for (int iter = 0; iter < cuts; ++iter) {
    Mappings learned = model;
    const int adds = 1 + static_cast<int>(rng() % 20);
    for (int i = 0; i < adds; ++i) learned[nextVol++] = 1 + rng() % 50;
    powercut::Plan plan;
    plan.mode = iter % 2 == 0 ? PowerCutMode::kDropUnflushed : PowerCutMode::kRandomPages;
    plan.seed = rng() | 1;
    plan.step = 1 + static_cast<long>(rng() % 20);
    const powercut::Result r = powercut::Run(plan, [&] {
      CHybridVolumesIndexFile vols(&params);
      if (vols.Open(false) != 0) return 1;
      for (const auto& [vol, mp] : learned) {
        SHybridVolumeRecord rec{};
        rec.VolId = vol;
        rec.CacheMPId = mp;
        if (vols.Cache(vol, &rec, "test") != 0) return 2;
      }
      return vols.Close() == 0 ? 0 : 3;
    });
    SCOPED_TRACE("cut " + std::to_string(iter) + "; " + r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    cutsInWriter += r.cutInWriter;
    Mappings found;
    load(found);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(found == model || found == learned) << found.size() << " mappings; old " << model.size()
                                                    << ", new " << learned.size();
    if (r.writerStatus == 0 && !r.cutInWriter) {
      ASSERT_TRUE(found == learned);
    }
    model = found;
  }
  EXPECT_GT(cutsInWriter, cuts / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, IndexPowerCut,
    ::testing::Combine(::testing::Values(false, true),
                       ::testing::Values(PowerCutMode::kDropUnflushed, PowerCutMode::kRandomPages)),
    [](const ::testing::TestParamInfo<std::tuple<bool, PowerCutMode>>& info) {
      return std::string(std::get<0>(info.param) ? "AlignedWithJournal" : "PackedContainerIndex") +
             (std::get<1>(info.param) == PowerCutMode::kRandomPages ? "RandomPages" : "DropUnflushed");
    });

}  // namespace
