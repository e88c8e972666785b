// The switch of a compacted copy on cloud storage and the recovery of interrupted switches, on
// the folder-backed object store: every state a switch can stop in, and the checkpoint that tells
// a complete copy from an unfinished one.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "compaction_fixture.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"

namespace {

using platform::FsOp;
using Objects = std::map<std::string, std::string>;  // suffix ("" the object itself) -> content

class CloudRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    chunk_ = dir_ / "OZ_MAGNETIC/V_3/CHUNK_4";
    std::filesystem::create_directories(chunk_);
    params_.m_Type = kFSTypeCloud;
    params_.m_SubType = 3;
    params_.m_Host.m_Path = dir_ / "OZ_MAGNETIC";
    fs_.reset(CFSInterface::GetFSInterfaceInstance(params_));
    sfile_ = path_append(chunk_, "SFILE_CONTAINER_002");
  }

  void Put(const Objects& objects) {
    for (const auto& [suffix, content] : objects) cmptest::WriteWhole(sfile_ + suffix, content);
  }
  // The objects of the container's name, as the store lists them.
  Objects Get() {
    std::vector<FSDirEntry> entries;
    EXPECT_TRUE(fs_->GetDirContents(chunk_, entries).IsSuccess());
    Objects out;
    for (const FSDirEntry& e : entries) {
      const std::string name = path_append(chunk_, e.name);
      if (name.compare(0, sfile_.size(), sfile_) == 0) out[name.substr(sfile_.size())] = cmptest::ReadWhole(name);
    }
    return out;
  }

  CXoError Recover() { return SingleInstancer_FS::RecoverCompactableFileByInterfaceCloud(fs_.get(), sfile_.c_str(), &log_); }
  CXoError Switch() { return SingleInstancer_FS::SwitchCompactableFile(params_, sfile_.c_str(), &log_); }

  TempDir dir_;
  std::string chunk_, sfile_;
  CFSInitParams params_;
  std::unique_ptr<CFSInterface> fs_;
  EvDebug log_;
};

TEST_F(CloudRecoveryTest, SwitchLeavesOnlyTheNewObject) {
  Put({{"", "old"}, {".compact2", "new"}});
  ASSERT_TRUE(Switch().IsSuccess());
  EXPECT_EQ(Get(), (Objects{{"", "new"}}));
  // The same through the recovery of a disk caller: cloud parameters go to the cloud switch.
  Put({{".compact2", "newer"}, {".compact2.checkpoint", ""}});
  ASSERT_TRUE(SingleInstancer_FS::RecoverCompactableFileByParams(params_, sfile_.c_str(), COMPACT_TYPE_COMPACT, nullptr,
                                                                 false)
                  .IsSuccess());
  EXPECT_EQ(Get(), (Objects{{"", "newer"}}));
}

TEST_F(CloudRecoveryTest, RecoveryOfEveryStateASwitchCanStopIn) {
  struct Case {
    const char* name;
    Objects before, after;
    unsigned int mmError;  // 0: success
  };
  const Case cases[] = {
      {"Nothing", {{"", "old"}}, {{"", "old"}}, 0},
      {"BeforeTheCheckpoint", {{"", "old"}, {".compact2", "new"}}, {{"", "old"}}, 0},
      {"AfterTheCheckpoint", {{"", "old"}, {".compact2", "new"}, {".compact2.checkpoint", ""}}, {{"", "new"}}, 0},
      {"AfterTheDelete", {{".compact2", "new"}, {".compact2.checkpoint", ""}}, {{"", "new"}}, 0},
      {"AfterTheRename", {{"", "new"}, {".compact2", "new"}, {".compact2.checkpoint", ""}}, {{"", "new"}}, 0},
      {"AfterTheCheckpointsDelete", {{"", "new"}, {".compact2", "new"}}, {{"", "new"}}, 0},
      // A rename that moved the copy and a stop before the checkpoint's delete: without the
      // cleanup, the next unfinished copy would pass for a complete one.
      {"StaleCheckpoint", {{"", "new"}, {".compact2.checkpoint", ""}}, {{"", "new"}}, 0},
      {"NeitherCheckpointNorObject", {{".compact2", "new"}}, {{".compact2", "new"}}, 101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [suffix, content] : Get()) std::remove((sfile_ + suffix).c_str());
    Put(c.before);
    CXoError e = Recover();
    if (c.mmError == 0) {
      EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    } else {
      EXPECT_TRUE(FXErrorUtil::IsMM(e, c.mmError)) << e.AsString();
    }
    EXPECT_EQ(Get(), c.after);
  }
  EXPECT_TRUE(platform::LogContains("Strange: Both check and original files aren't present. [" + sfile_ + "] [" + sfile_ +
                                    ".compact2.checkpoint]."));
  EXPECT_TRUE(platform::LogContains("Deleted partial compact file as checkpoint file is not present."));
  EXPECT_TRUE(platform::LogContains("Checkpoint file found during recovery. [" + sfile_ +
                                    ".compact2.checkpoint]. Renaming .compact to [" + sfile_ + "]."));
}

// A switch that stops at one of its steps, then the recovery that follows.
TEST_F(CloudRecoveryTest, SwitchFailingAtEachStepIsFinishedByRecovery) {
  struct Case {
    const char* name;
    platform::FaultRule rule;
    const char* line;
    Objects afterFailure;
  };
  const Case cases[] = {
      {"Checkpoint", {FsOp::Open, ".checkpoint", 1, 1, EIO}, "Error: Cannot create [", {{"", "old"}, {".compact2", "new"}}},
      {"CheckpointClose", {FsOp::Close, ".checkpoint", 1, 1, EIO}, "Error: Cannot close handle on [",
       {{"", "old"}, {".compact2", "new"}}},
      {"Delete", {FsOp::Remove, "SFILE_CONTAINER_002", 1, 1, EIO}, "Error: Cannot delete [",
       {{"", "old"}, {".compact2", "new"}, {".compact2.checkpoint", ""}}},
      {"Rename", {FsOp::Rename, ".compact2", 1, 1, EIO}, "Error: Cannot rename [",
       {{".compact2", "new"}, {".compact2.checkpoint", ""}}},
      {"RenamesSourceDelete", {FsOp::Remove, ".compact2", 1, 1, EIO}, "Error: Cannot rename [",
       {{"", "new"}, {".compact2", "new"}, {".compact2.checkpoint", ""}}},
      {"CheckpointDelete", {FsOp::Remove, ".checkpoint", 1, 1, EIO}, "Error: Cannot delete [",
       {{"", "new"}, {".compact2.checkpoint", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    for (const auto& [suffix, content] : Get()) std::remove((sfile_ + suffix).c_str());
    Put({{"", "old"}, {".compact2", "new"}});
    platform::Faults().Add(c.rule);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(Switch(), EIO));
    EXPECT_TRUE(platform::LogContains(c.line)) << c.line;
    EXPECT_EQ(Get(), c.afterFailure);
    ASSERT_TRUE(Recover().IsSuccess());
    const Objects done = c.afterFailure.count(".compact2.checkpoint") ? Objects{{"", "new"}} : Objects{{"", "old"}};
    EXPECT_EQ(Get(), done);
  }
}

TEST_F(CloudRecoveryTest, BadArgumentsChangeNothing) {
  Put({{"", "old"}, {".compact2", "new"}});
  CFSInitParams disk = params_;
  disk.m_Type = kFSTypeDisk;
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::SwitchCompactableFileCloud(disk, sfile_.c_str(), nullptr), 103));
  EXPECT_TRUE(platform::LogContains("SwitchCompFileCloud: Error: Incompatible fstype [0]."));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::SwitchCompactableFileCloud(params_, nullptr, nullptr), 103));
  CFSInitParams noRoot = params_;
  noRoot.m_Host.m_Path = "relative/path";
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::SwitchCompactableFileCloud(noRoot, sfile_.c_str(), nullptr), 124));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RecoverCompactableFileByInterfaceCloud(nullptr, "x", nullptr), 44058));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RecoverCompactableFileByInterfaceCloud(fs_.get(), nullptr, nullptr), 994));
  EXPECT_EQ(Get(), (Objects{{"", "old"}, {".compact2", "new"}}));
  // Without a copy the switch would only delete the object.
  std::remove((sfile_ + ".compact2").c_str());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(Switch(), ENOENT));
  EXPECT_EQ(Get(), (Objects{{"", "old"}}));
  // A recovery without a log writes to one of its own.
  Put({{".compact2", "new"}, {".compact2.checkpoint", ""}});
  ASSERT_TRUE(SingleInstancer_FS::RecoverCompactableFileByInterfaceCloud(fs_.get(), sfile_.c_str(), nullptr).IsSuccess());
  bool found = false;
  for (const platform::LogLine& line : platform::Logs()) {
    found |= line.source.empty() && line.text.find("RecoverCompactableFileByInterfaceCloud: Successfully recovered") == 0;
  }
  EXPECT_TRUE(found);
}

}  // namespace
