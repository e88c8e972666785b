// Crash safety of compaction: a child process compacts an SFile container the way a host does
// (reads the container and its map, merges the holes to drop, writes the compacted copy beside
// the container and switches it in) and dies with SIGKILL at a chosen step, often inside the
// switch, or at a random moment. Sometimes the recovery that follows is killed too. Afterwards
// the recovery must leave exactly the old container or exactly the new one, no side file, and
// every live object must read back through the container's map. The container is compacted
// round after round, so maps of maps are recovered too.
//
// On disk both schemes run: the copy ".compact2" switched in by SwitchCompactableFile, and the
// copy ".compact" with its marker ".temp" that the host renames itself. On the cloud stand-in the
// switch goes through the checkpoint object. A last test cuts the power instead of killing, at
// every kind of step, and relies on the host's flush of the copy before the switch.
//
// MFS_CRASH_KILLS sets the number of kills per kind (default 150) for longer runs.

#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "compaction_fixture.h"
#include "index/index_test_util.h"
#include "platform/temp_dir.h"
#include "power_cut.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using platform::FsOp;

using cmptest::kCopyPiece;
using cmptest::Kind;
using cmptest::Step;
using cmptest::StepsOf;

class CompactionCrash : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    platform::ResetAll();
    platform::SetLogCaptureLimit(500);
    chunk_ = dir_ / "OZ_MAGNETIC/V_1/CHUNK_2";
    std::filesystem::create_directories(chunk_);
    sfile_ = path_append(chunk_, "SFILE_CONTAINER_001");
    if (GetParam() == Kind::kCloud) {
      params_.m_Type = kFSTypeCloud;
      params_.m_Host.m_Path = dir_ / "OZ_MAGNETIC";
    } else {
      idxtest::MakeContainerIndex(path_append(chunk_, "SFILE_CONTAINER.idx"), params_, {1, 2, 3});
    }
    fs_.reset(CFSInterface::GetFSInterfaceInstance(params_));
  }

  const char* SuffixOf(const std::string& path) const { return cmptest::SuffixOf(chunk_, sfile_, path); }

  // A fresh container of random objects, with no map.
  void NewContainer(std::mt19937_64& rng) {
    model_ = std::make_unique<cmptest::ContainerModel>(rng, 8 + static_cast<int>(rng() % 30), 40 + static_cast<int>(rng() % 400));
    map_ = CSFileCompactionMap();
    for (const char* s : {"", ".compact2", ".compact", ".temp", ".compact2.checkpoint"}) std::remove((sfile_ + s).c_str());
    cmptest::WriteWhole(sfile_, model_->bytes());
  }

  int Compact(std::vector<SSFileRange> holes) { return cmptest::Compact(params_, sfile_, GetParam(), std::move(holes)); }

  // Kills the calling process just before the step's call; reports the step's number on `fd`.
  void KillAt(const Step& step, int nth, int index, int fd) {
    auto seen = std::make_shared<int>(0);
    platform::Faults().SetHook([this, step, nth, index, fd, seen](FsOp op, const std::string& path) {
      const char* suffix = SuffixOf(path);
      if (op != step.op || suffix == nullptr || std::string(suffix) != step.suffix || ++*seen < nth) return;
      (void)!::write(fd, &index, sizeof(index));
      raise(SIGKILL);
    });
  }

  // Kills the calling process just before its nth call on the chunk.
  void KillAtCall(int nth) {
    auto seen = std::make_shared<int>(0);
    platform::Faults().SetHook([this, nth, seen](FsOp, const std::string& path) {
      if (SuffixOf(path) != nullptr && ++*seen == nth) raise(SIGKILL);
    });
  }

  // What the chunk folder holds, as its storage lists it.
  std::set<std::string> Listing() {
    std::vector<FSDirEntry> entries;
    EXPECT_TRUE(fs_->GetDirContents(chunk_, entries).IsSuccess());
    std::set<std::string> names;
    for (const FSDirEntry& e : entries) names.insert(e.name);
    return names;
  }

  // Every live object through the container's map, on its storage.
  ::testing::AssertionResult LiveObjectsReadBack() {
    std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params_));
    if (file->Open(sfile_, O_RDONLY, 0, 0).IsFailure()) return ::testing::AssertionFailure() << "cannot open";
    CSFileCompactionMap map;
    CXoError e = SingleInstancer_FS::GetCompactionMap(file.get(), map);
    if (e.IsFailure()) return ::testing::AssertionFailure() << "no map: " << e.AsString();
    for (const cmptest::Object& o : model_->objects()) {
      if (!o.alive) continue;
      const uint64_t at = map.GetPhysicalOffset(o.logical, false);
      std::string bytes(o.bytes.size(), '\0');
      unsigned int done = 0;
      if (at == CSFileCompactionMap::kInvalidOffset ||
          file->Seek(static_cast<CXoFile::offset>(at), SEEK_SET, nullptr).IsFailure() ||
          file->Read(bytes.data(), static_cast<unsigned int>(bytes.size()), &done).IsFailure() || bytes != o.bytes) {
        return ::testing::AssertionFailure() << "object at logical " << o.logical << " not at " << at;
      }
    }
    return ::testing::AssertionSuccess();
  }

  // Holes for a compaction that drops something and keeps something; a new container when the
  // current one has too little left.
  std::vector<SSFileRange> NextHoles(std::mt19937_64& rng) {
    for (int tries = 0;; ++tries) {
      if (tries == 20 || model_->LiveBytes() < 200) {
        NewContainer(rng);
        tries = 0;
      }
      std::vector<SSFileRange> holes = model_->ChooseHoles(rng, 2 + static_cast<int>(rng() % 4), rng() % 2 == 0);
      const uint64_t dropping = model_->DroppingBytes();
      if (dropping > 0 && dropping < model_->LiveBytes()) return holes;
    }
  }

  // What a compaction that drops `holes` must make of the current container, worked out here:
  // the new container, its map and the bytes it keeps.
  std::string Expected(const std::vector<SSFileRange>& holes, CSFileCompactionMap& merged, uint64_t& valid) {
    merged = map_;
    std::vector<SSFileRange> mergeHoles = holes, ranges;
    uint64_t dropped = 0;
    EXPECT_EQ(merged.Merge(&mergeHoles, 0, model_->bytes().size(), ranges, valid, dropped), 0);
    EXPECT_FALSE(ranges.empty());
    return cmptest::CompactedCopy(model_->bytes(), merged, ranges);
  }

  // After a crash: recovers (the first recovery may be killed too), then checks that the old or
  // the new container is in place, alone, with every live object readable. Moves the model on
  // when the new one is.
  void RecoverAndCheck(std::mt19937_64& rng, const std::string& before, const std::string& after,
                       const CSFileCompactionMap& merged, int& newOnes) {
    if (rng() % 4 == 0) {
      const int nth = 1 + static_cast<int>(rng() % 8);
      const int status = idxtest::Wait(idxtest::Fork([&] {
        KillAtCall(nth);
        return SingleInstancer_FS::RecoverCompactableFileByParams(params_, sfile_.c_str(), COMPACT_TYPE_BOTH, nullptr,
                                                                  false)
                       .IsSuccess()
                   ? 0
                   : 1;
      }));
      ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "recovery child status " << status;
    }
    CXoError e = SingleInstancer_FS::RecoverCompactableFileByParams(params_, sfile_.c_str(), COMPACT_TYPE_BOTH, nullptr,
                                                                   false);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    std::set<std::string> expected = {"SFILE_CONTAINER_001"};
    if (GetParam() != Kind::kCloud) expected.insert("SFILE_CONTAINER.idx");
    ASSERT_EQ(Listing(), expected);
    const std::string now = cmptest::ReadWhole(sfile_);
    ASSERT_TRUE(now == before || now == after) << "neither the old nor the new container: " << now.size() << " bytes";
    if (now == after) {
      model_->Apply(after);
      map_ = merged;
      ++newOnes;
    }
    ASSERT_TRUE(LiveObjectsReadBack());
  }

  static int Kills() {
    return mfstest::EnvCount("MFS_CRASH_KILLS", 150);
  }

  TempDir dir_{TempDir::MemoryBase()};
  std::string chunk_, sfile_;
  CFSInitParams params_;
  std::unique_ptr<CFSInterface> fs_;
  std::unique_ptr<cmptest::ContainerModel> model_;
  CSFileCompactionMap map_;
};

TEST_P(CompactionCrash, EveryKillLeavesTheOldOrTheNewContainer) {
  std::mt19937_64 rng(mfstest::Seed(static_cast<uint64_t>(GetParam()) * 1000 + 17));
  NewContainer(rng);
  const std::vector<Step>& steps = StepsOf(GetParam());
  std::map<std::string, int> killedAt;
  int newOnes = 0, finished = 0;
  for (int iter = 0; iter < Kills(); ++iter) {
    SCOPED_TRACE("kill " + std::to_string(iter));
    const std::vector<SSFileRange> holes = NextHoles(rng);

    const std::string before = model_->bytes();
    CSFileCompactionMap merged;
    uint64_t valid = 0;
    const std::string after = Expected(holes, merged, valid);

    // Two in three children kill themselves at a step, in turn; the others are killed from here.
    const bool atStep = iter % 3 != 0;
    const int index = static_cast<int>((iter - iter / 3) % steps.size());
    const Step& step = steps[index];
    const int writes = 1 + static_cast<int>((valid + kCopyPiece - 1) / kCopyPiece);
    const int nth = step.nth != 0 ? step.nth : 1 + static_cast<int>(rng() % writes);
    idxtest::Pipe reports;
    const pid_t pid = idxtest::Fork([&] {
      reports.CloseRead();
      if (atStep) KillAt(step, nth, index, reports.WriteFd());
      return Compact(holes);
    });
    reports.CloseWrite();
    if (!atStep) {
      struct timespec pause {0, static_cast<long>(rng() % 1500) * 1000};
      nanosleep(&pause, nullptr);
      kill(pid, SIGKILL);
    }
    const int status = idxtest::Wait(pid);
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "compacting child status " << status;
    int reported = -1;
    if (::read(reports.ReadFd(), &reported, sizeof(reported)) == sizeof(reported)) ++killedAt[steps[reported].name];
    finished += status == 0;
    RecoverAndCheck(rng, before, after, merged, newOnes);
    if (HasFatalFailure()) return;
  }

  std::string seen;
  for (const auto& [name, count] : killedAt) seen += name + "=" + std::to_string(count) + " ";
  RecordProperty("kill_points", seen);
  for (const Step& step : steps) EXPECT_GT(killedAt[step.name], 0) << "no kill at " << step.name << "; seen: " << seen;
  EXPECT_GT(newOnes, 0);
  EXPECT_GT(Kills() - newOnes, 0);
}

INSTANTIATE_TEST_SUITE_P(Storage, CompactionCrash, ::testing::Values(Kind::kDiskCompact2, Kind::kDiskCompact, Kind::kCloud),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           switch (info.param) {
                             case Kind::kDiskCompact2:
                               return std::string("DiskSwitch");
                             case Kind::kDiskCompact:
                               return std::string("DiskCompactAndTemp");
                             default:
                               return std::string("CloudCheckpoint");
                           }
                         });

// Power cuts on disk: what the cut leaves of unflushed bytes and names, at any call of the
// compaction, must still recover to the old or the new container.
class CompactionPowerCut : public CompactionCrash {};

TEST_P(CompactionPowerCut, EveryCutLeavesTheOldOrTheNewContainer) {
  std::mt19937_64 rng(mfstest::Seed(static_cast<uint64_t>(GetParam()) * 1000 + 91));
  NewContainer(rng);
  int newOnes = 0;
  for (int iter = 0; iter < Kills(); ++iter) {
    const std::vector<SSFileRange> holes = NextHoles(rng);
    const std::string before = model_->bytes();
    CSFileCompactionMap merged;
    uint64_t valid = 0;
    const std::string after = Expected(holes, merged, valid);

    powercut::Plan plan;
    plan.mode = iter % 2 == 0 ? platform::PowerCutMode::kRandomPages : platform::PowerCutMode::kDropUnflushed;
    plan.step = 1 + static_cast<long>(rng() % 40);
    plan.counts = [this](FsOp, const std::string& path) { return SuffixOf(path) != nullptr; };
    const powercut::Result r = powercut::Run(plan, [&] { return Compact(holes); });
    SCOPED_TRACE(r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    RecoverAndCheck(rng, before, after, merged, newOnes);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(newOnes, 0);
}

INSTANTIATE_TEST_SUITE_P(Disk, CompactionPowerCut, ::testing::Values(Kind::kDiskCompact2, Kind::kDiskCompact),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(info.param == Kind::kDiskCompact2 ? "DiskSwitch" : "DiskCompactAndTemp");
                         });

}  // namespace
