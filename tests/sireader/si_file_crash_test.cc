// Containers that a compaction left half-switched: a compacting child killed at each step of the
// switch, in both schemes; the reader's open repairs what needs repair and every live object
// reads back with its bytes. Then power cuts inside the repair that an open started: the next
// open repairs again and reads every live object.
//
// MFS_CRASH_KILLS sets the number of kills (default 26, each step twice); MFS_POWER_CUTS the
// number of power cuts (default 16).

#include <signal.h>

#include <cstdlib>
#include <random>

#include "index/index_test_util.h"
#include "power_cut.h"
#include "si_file_fixture.h"
#include "sistore/compaction_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using platform::FsOp;

constexpr unsigned long long kChunk = 50;
constexpr unsigned int kContainer = 1;

class SIFileCrashTest : public SIFileTest {
 public:
  SIFileCrashTest() : SIFileTest() {
    chunkDir = path_append(volumePath, SingleInstancer_FS::GetChunkDirName(kChunk));
    std::filesystem::create_directories(chunkDir);
    sfile = path_append(chunkDir, SingleInstancer_FS::GetSFileContainerName(kContainer));
    idxtest::MakeContainerIndex(path_append(chunkDir, "SFILE_CONTAINER.idx"), FsParams(), {1});
  }

  // A fresh container of random objects and holes that drop some of them; `after` is the model
  // once the compaction is in place.
  std::vector<SSFileRange> NewCompaction(std::mt19937_64& rng) {
    for (;;) {
      model = std::make_unique<cmptest::ContainerModel>(rng, 8 + static_cast<int>(rng() % 30),
                                                        40 + static_cast<int>(rng() % 400));
      for (const char* s : {"", ".compact2", ".compact", ".temp"}) std::remove((sfile + s).c_str());
      cmptest::WriteWhole(sfile, model->bytes());
      std::vector<SSFileRange> holes = model->ChooseHoles(rng, 2 + static_cast<int>(rng() % 4), rng() % 2 == 0);
      const uint64_t dropping = model->DroppingBytes();
      if (dropping == 0 || dropping >= model->LiveBytes()) continue;
      after = std::make_unique<cmptest::ContainerModel>(*model);
      after->Apply("");
      return holes;
    }
  }

  // A child compacts the container by `kind` and dies just before the nth call of the step.
  void KillCompactionAt(cmptest::Kind kind, const cmptest::Step& step, int nth, std::vector<SSFileRange> holes) {
    const int status = idxtest::Wait(idxtest::Fork([&] {
      int seen = 0;
      platform::Faults().SetHook([&](FsOp op, const std::string& path) {
        const char* suffix = cmptest::SuffixOf(chunkDir, sfile, path);
        if (op == step.op && suffix != nullptr && std::string(suffix) == step.suffix && ++seen >= nth) raise(SIGKILL);
      });
      return cmptest::Compact(FsParams(), sfile, kind, std::move(holes));
    }));
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "compacting child status " << status;
  }

  // Opens the container through a new reader and reads every object that lives after the
  // compaction, by its logical offset.
  ::testing::AssertionResult LiveObjectsReadBack() {
    auto reader = Reader(kChunk);
    const int rc = reader->OpenDataFile_4(0, kContainer, 0, false);
    if (rc != 0) return ::testing::AssertionFailure() << "open: " << rc;
    std::mt19937_64 rng(1);
    for (const cmptest::Object& o : after->objects()) {
      if (!o.alive) continue;
      if (reader->Seek(o.logical) != 0) return ::testing::AssertionFailure() << "seek to " << o.logical;
      if (ReadPieces(*reader, Stream::kData, o.bytes.size(), rng, 300) != o.bytes) {
        return ::testing::AssertionFailure() << "object at logical " << o.logical;
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::string chunkDir, sfile;
  std::unique_ptr<cmptest::ContainerModel> model, after;
};

TEST_F(SIFileCrashTest, OpensRepairContainersThatAKilledCompactionLeft) {
  std::mt19937_64 rng(mfstest::Seed(71));
  const int kills = mfstest::EnvCount("MFS_CRASH_KILLS", 26);
  int repaired = 0;
  for (int kill = 0; kill < kills; ++kill) {
    const cmptest::Kind kind = kill % 2 == 0 ? cmptest::Kind::kDiskCompact2 : cmptest::Kind::kDiskCompact;
    const std::vector<cmptest::Step>& steps = cmptest::StepsOf(kind);
    const cmptest::Step& step = steps[(kill / 2) % steps.size()];
    SCOPED_TRACE(std::string("kill ") + std::to_string(kill) + " at " + step.name);
    std::vector<SSFileRange> holes = NewCompaction(rng);
    KillCompactionAt(kind, step, step.nth != 0 ? step.nth : 1 + static_cast<int>(rng() % 3), holes);
    if (HasFatalFailure()) return;
    repaired += !CXoPath::Exists(sfile);
    ASSERT_TRUE(LiveObjectsReadBack());
  }
  EXPECT_GT(repaired, 0);
}

TEST_F(SIFileCrashTest, APowerCutInsideTheRepairIsRepairedByTheNextOpen) {
  std::mt19937_64 rng(mfstest::Seed(72));
  const int cuts = mfstest::EnvCount("MFS_POWER_CUTS", 16);
  const std::vector<cmptest::Step>& steps = cmptest::StepsOf(cmptest::Kind::kDiskCompact2);
  const cmptest::Step* rename = nullptr;
  for (const cmptest::Step& s : steps) {
    if (std::string(s.name) == "rename") rename = &s;
  }
  ASSERT_NE(nullptr, rename);
  int cutInRepair = 0;
  for (int cut = 0; cut < cuts; ++cut) {
    // The child dies between the container's removal and the copy's rename: the open fails and
    // starts the repair.
    KillCompactionAt(cmptest::Kind::kDiskCompact2, *rename, 1, NewCompaction(rng));
    if (HasFatalFailure()) return;
    ASSERT_FALSE(CXoPath::Exists(sfile));

    powercut::Plan plan;
    plan.mode = cut % 2 == 0 ? platform::PowerCutMode::kRandomPages : platform::PowerCutMode::kDropUnflushed;
    plan.step = 1 + static_cast<long>(rng() % 12);
    plan.counts = [this](FsOp, const std::string& path) {
      return path.compare(0, chunkDir.size(), chunkDir) == 0;
    };
    const powercut::Result r = powercut::Run(plan, [&] {
      auto reader = Reader(kChunk);
      return reader->OpenDataFile_4(0, kContainer, 0, false);
    });
    SCOPED_TRACE(r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    cutInRepair += r.cutInWriter;
    ASSERT_TRUE(LiveObjectsReadBack());
  }
  EXPECT_GT(cutInRepair, 0);
}

}  // namespace
