// Power cuts of the backup road. A backup job with checkpoints writes into one chunk, in the test
// process, and the power goes just before a chosen call of the file-system layer: any call, or the
// nth container write, index write, metadata write, file flush, folder flush, creation, or call of
// the close. Only what was flushed survives: everything else is lost in one mode, page by page at
// random in the other. After the power returns the test makes the checks of store_crash_fixture.h
// (the last completed checkpoint intact, the chunk continued after it), and the next job, cut in
// its turn, continues the same chunk. A second test cuts jobs whose last round outgrows the
// index's page cache, which then writes records out ahead of the metadata they point to.
//
// MFS_STORE_POWER_CUTS sets the number of cuts per mode of the first test for longer runs: by
// default 400, and 100 in the sanitizer builds. A failure names the cut's mode, seed and step.

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>

#include "power_cut.h"
#include "store_crash_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace sitest;
using platform::FsOp;
using platform::PowerCutMode;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultCuts = 100;
#else
constexpr int kDefaultCuts = 400;
#endif

int PowerCuts() {
  return mfstest::EnvCount("MFS_STORE_POWER_CUTS", kDefaultCuts);
}

// The calls a cut is counted among: about as many as a job makes of each kind (a few more, so
// that some cuts come after the close).
long CallsOfAJob(CrashStep step) {
  switch (step) {
    case kAnyStep: return 100;
    case kContainerWrite: return 8;
    case kIndexWrite: return 6;
    case kMetaDataWrite: return 3;
    case kFileFlush: return 8;
    case kFolderFlush: return 3;
    case kCreate: return 8;
    default: return 12;  // the close
  }
}

class StorePowerCutTest : public StoreCrashFixture, public ::testing::WithParamInterface<PowerCutMode> {
 public:
  // Whether the chunk's metadata index holds, before its first record that fails its CRC, a
  // record of metadata that begins past the end of the metadata file.
  bool RecordsPastMetaData(long long chunkId) const {
    if (!std::filesystem::exists(MetaDataPath(chunkId))) return false;
    const uint64_t end = std::filesystem::file_size(MetaDataPath(chunkId));
    for (const std::string& r : ReadMetaDataIndex(MetaDataPath(chunkId) + ".idx").records) {
      if (DecodeBE32(r.data() + 76) != Crc32(r.data(), 76)) break;
      if (DecodeMetaRecord(r).Key >= end) return true;
    }
    return false;
  }
};

TEST_P(StorePowerCutTest, EveryCutLeavesTheLastCheckpointIntactAndTheChunkContinuable) {
  const PowerCutMode mode = GetParam();
  const int cuts = PowerCuts();
  std::mt19937_64 rng(mfstest::Seed(mode == PowerCutMode::kRandomPages ? 4417 : 1744));
  std::map<uint64_t, int> cutAt;
  long long chunkId = 100;
  std::vector<WrittenObject> committed;
  bool chunkExists = false;

  for (int iter = 0; iter < cuts; ++iter) {
    const uint64_t seed = rng();
    const CrashStep point = iter % 4 == 0 ? kAnyStep : static_cast<CrashStep>(1 + rng() % (kCrashSteps - 1));
    std::atomic<bool> closing{false};
    powercut::Plan plan;
    plan.mode = mode;
    plan.seed = rng() | 1;
    plan.step = 1 + static_cast<long>(rng() % CallsOfAJob(point));
    plan.counts = [&, point](FsOp op, const std::string& path) {
      if (!InChunkFolders(path)) return false;
      return point == kAnyStep || (point == kInClose ? closing.load() : Classify(op, path) == point);
    };
    std::vector<WrittenObject> underWay;
    const powercut::Result r = powercut::Run(plan, [&] {
      return RunJob(
          chunkId, chunkExists, seed, [&](const WrittenObject& w) { underWay.push_back(w); },
          [&] {
            committed.insert(committed.end(), underWay.begin(), underWay.end());
            underWay.clear();
          },
          closing);
    });
    SCOPED_TRACE("cut " + std::to_string(iter) + " at " + kCrashStepNames[point] + ", chunk " +
                 std::to_string(chunkId) + (chunkExists ? " (continued)" : " (new)") + ", job seed " +
                 std::to_string(seed) + "; " + r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    if (r.cutInWriter) ++cutAt[point];

    ContinueAfterCrash(chunkId, committed, chunkExists, seed ^ 0x5555);
    if (HasFatalFailure()) return;
  }

  ExpectEveryStep(cutAt, "cut_points", cuts >= 100);
}

// A round of more objects than the index's page cache holds records for: the cache writes pages
// of records out before any checkpoint, so the disk may keep records whose metadata it loses. The
// power goes at an index page written out during the round, or as the job closes without a
// checkpoint (at its first flush, when everything is written and nothing flushed); the next job
// must still continue the chunk after the last checkpoint.
TEST_P(StorePowerCutTest, ARoundLargerThanTheIndexCacheLeavesTheChunkContinuable) {
  constexpr int kLongRound = 14000;  // more than 1 MiB of metadata index records
  constexpr int kCuts = 80;
  SetConfig("MaxSFileContainerItems", 100000);
  SetConfig("MaxSFileContainerSize", 64 << 20);
  std::mt19937_64 rng(mfstest::Seed(GetParam() == PowerCutMode::kRandomPages ? 71 : 17));
  long long chunkId = 300;
  std::vector<WrittenObject> committed;
  bool chunkExists = false;
  int cutsInWriter = 0, pastMetaData[2] = {0, 0};
  for (int iter = 0; iter < kCuts; ++iter) {
    const bool atClose = iter % 2 == 0;
    std::atomic<bool> inRound{false}, closing{false};
    powercut::Plan plan;
    plan.mode = GetParam();
    plan.seed = rng() | 1;
    plan.step = atClose ? 1 : 1 + static_cast<long>(rng() % 4);
    plan.counts = [&, atClose](FsOp op, const std::string& path) {
      if (!InChunkFolders(path)) return false;
      if (atClose) return closing.load() && op == FsOp::Flush;
      return inRound.load() && op == FsOp::Write && Classify(op, path) == kIndexWrite;
    };
    const uint64_t seed = rng();
    const powercut::Result r = powercut::Run(plan, [&] {
      int status = 0;
      auto store = StartJob(chunkId, chunkExists, status);
      if (store == nullptr) return status;
      std::mt19937_64 jobRng(seed);
      uint64_t key = store->GetLastObjectNumber();
      std::vector<WrittenObject> round;
      for (int i = 0; i < 3; ++i) {
        WrittenObject w;
        if (WriteObject(*store, Object(++key, jobRng), w) != 0) return 4;
        round.push_back(w);
      }
      if (Checkpoint(*store) != 0) return 5;
      committed.insert(committed.end(), round.begin(), round.end());
      inRound = true;
      for (int i = 0; i < kLongRound; ++i) {
        ObjectShape s;
        s.key = ++key;
        s.dataSize = 16;
        s.metaSize = 64;
        s.seed = jobRng();
        WrittenObject w;
        if (WriteObject(*store, s, w) != 0) return 6;
      }
      inRound = false;
      closing = true;
      return store->Close() != 0 ? 7 : 0;
    });
    SCOPED_TRACE("cut " + std::to_string(iter) + (atClose ? " at the close" : " at an index page written out") +
                 ", job seed " + std::to_string(seed) + "; " + r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    cutsInWriter += r.cutInWriter;
    pastMetaData[atClose] += RecordsPastMetaData(chunkId);
    ContinueAfterCrash(chunkId, committed, chunkExists, seed ^ 0x5555);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(cutsInWriter, kCuts);
  // Drop mode loses every page written out; random mode keeps some, now and then with records of
  // metadata that it lost.
  if (GetParam() == PowerCutMode::kRandomPages) {
    EXPECT_GT(pastMetaData[false], 0) << "no cut at a page written out left records past the metadata";
    EXPECT_GT(pastMetaData[true], 0) << "no cut at the close left records past the metadata";
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, StorePowerCutTest,
                         ::testing::Values(PowerCutMode::kDropUnflushed, PowerCutMode::kRandomPages),
                         [](const ::testing::TestParamInfo<PowerCutMode>& info) {
                           return std::string(info.param == PowerCutMode::kRandomPages ? "RandomPages"
                                                                                       : "DropUnflushed");
                         });

}  // namespace
