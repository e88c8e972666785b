// Recovery of interrupted compactions on disk and the switch of a finished copy: every state the
// side files can be left in, the chunk lock around the decisions, retries, and the failures that
// must leave files as they are.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "child_holder.h"
#include "compaction_fixture.h"
#include "platform/temp_dir.h"

namespace {

using platform::FsOp;
using Files = std::map<std::string, std::string>;  // suffix ("" the file itself) -> content

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    chunk_ = dir_ / "CHUNK_9";
    ASSERT_EQ(mkdir(chunk_.c_str(), 0777), 0);
    idxtest::MakeContainerIndex(Index(), params_, {1, 2});
    fs_.reset(CFSInterface::GetFSInterfaceInstance(params_));
    platform::ResetAll();  // the tests count calls from here
  }

  std::string Index() const { return path_append(chunk_, "SFILE_CONTAINER.idx"); }
  std::string Sfile() const { return path_append(chunk_, "SFILE_CONTAINER_001"); }

  void Put(const std::string& path, const Files& files) {
    for (const auto& [suffix, content] : files) cmptest::WriteWhole(path + suffix, content);
  }
  // The files of `path` and its side files that exist, with their contents.
  Files Get(const std::string& path) {
    Files out;
    for (const char* suffix : {"", ".compact", ".temp", ".compact2"}) {
      if (CXoPath::Exists(path + suffix)) out[suffix] = cmptest::ReadWhole(path + suffix);
    }
    return out;
  }

  CXoError Recover(const std::string& path, ECompactFileType kind, bool locked = false) {
    return SingleInstancer_FS::RecoverCompactableFileByInterface(fs_.get(), path.c_str(), kind, &log_, locked);
  }

  // A second process that holds the chunk's container index open.
  std::unique_ptr<ChildHolder> HoldIndex() {
    return std::make_unique<ChildHolder>([this]() -> std::shared_ptr<void> {
      auto idx = std::make_shared<SFileIndex>(&params_, nullptr);
      auto options = idxtest::Opts<SFileIndex>(false, true);
      return idx->Open(Index(), 2, options).IsSuccess() ? idx : nullptr;
    });
  }

  TempDir dir_;
  std::string chunk_;
  CFSInitParams params_;
  std::unique_ptr<CFSInterface> fs_;
  EvDebug log_;
};

TEST_F(RecoveryTest, EveryStateOfTheSideFilesEndsInOneFile) {
  struct Case {
    const char* name;
    ECompactFileType kind;
    Files before, after;
  };
  const auto k = [](int v) { return static_cast<ECompactFileType>(v); };
  const Case cases[] = {
      {"Nothing", COMPACT_TYPE_BOTH, {{"", "old"}}, {{"", "old"}}},
      {"TempAlone", COMPACT_TYPE_BOTH, {{"", "old"}, {".temp", ""}}, {{"", "old"}}},
      {"CompactAlone", COMPACT_TYPE_BOTH, {{"", "old"}, {".compact", "new"}}, {{"", "old"}}},
      {"CompactAndTemp", COMPACT_TYPE_BOTH, {{"", "old"}, {".compact", "new"}, {".temp", ""}}, {{"", "new"}}},
      {"CompactAndTempWithoutFile", COMPACT_TYPE_COMPACT, {{".compact", "new"}, {".temp", ""}}, {{"", "new"}}},
      {"Compact2BesideFile", COMPACT_TYPE_BOTH, {{"", "old"}, {".compact2", "new"}}, {{"", "old"}}},
      {"Compact2Alone", COMPACT_TYPE_BOTH, {{".compact2", "new"}}, {{"", "new"}}},
      {"Compact2Only", COMPACT_TYPE_COMPACT2, {{".compact2", "new"}, {".temp", ""}}, {{"", "new"}, {".temp", ""}}},
      {"CompactOnly", COMPACT_TYPE_COMPACT, {{"", "old"}, {".compact2", "new"}, {".temp", ""}},
       {{"", "old"}, {".compact2", "new"}}},
      // Scheme 1 files wait for a call that finds no ".compact2".
      {"BothSchemes", COMPACT_TYPE_BOTH, {{"", "old"}, {".compact2", "x"}, {".compact", "new"}, {".temp", ""}},
       {{"", "old"}, {".compact", "new"}, {".temp", ""}}},
      {"UnknownKind", k(3), {{"", "old"}, {".compact2", "x"}}, {{"", "old"}, {".compact2", "x"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    for (const auto& [suffix, content] : Get(Sfile())) std::remove((Sfile() + suffix).c_str());
    Put(Sfile(), c.before);
    ASSERT_TRUE(Recover(Sfile(), c.kind).IsSuccess());
    EXPECT_EQ(Get(Sfile()), c.after);
    // The lock is taken only where there was something to do, and never on ".compactlock".
    const bool acted = c.before != c.after;
    EXPECT_EQ(platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx") > 0, acted);
    EXPECT_FALSE(CXoPath::Exists(path_append(chunk_, ".compactlock")));
    if (!acted) {
      EXPECT_EQ(platform::LogCount("RcvrCompFileEx"), 0u);
    }
  }
}

// The container index is recovered under ".compactlock", whatever the case of its name.
TEST_F(RecoveryTest, ContainerIndexIsRecoveredUnderTheCompactLock) {
  const std::string index = path_append(chunk_, "SFILE_CONTAINER.IDX");
  Put(index, {{".compact2", "new"}});
  ASSERT_TRUE(Recover(index, COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(Get(index), (Files{{"", "new"}}));
  EXPECT_TRUE(CXoPath::Exists(path_append(chunk_, ".compactlock")));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx"), 0);

  // A caller that holds the chunk lock takes no lock; scheme 1 reports that its lock does not
  // cover the index, and recovers all the same.
  Put(index, {{".compact", "newer"}, {".temp", ""}});
  ASSERT_TRUE(Recover(index, COMPACT_TYPE_COMPACT, true).IsSuccess());
  EXPECT_EQ(Get(index), (Files{{"", "newer"}}));
  EXPECT_TRUE(platform::LogContains("!nIsSfileIdx"));
  platform::ResetLogs();
  Put(index, {{".compact2", "newest"}});
  ASSERT_TRUE(Recover(index, COMPACT_TYPE_COMPACT2, true).IsSuccess());
  EXPECT_FALSE(platform::LogContains("!nIsSfileIdx"));
}

TEST_F(RecoveryTest, LeftoversThatCannotBeRemovedWaitForTheNextRecovery) {
  Put(Sfile(), {{"", "old"}, {".compact", "new"}, {".temp", ""}});
  platform::Faults().Add({FsOp::Remove, ".temp", 1, 1, EACCES});
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_COMPACT).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}, {".temp", ""}}));
  EXPECT_TRUE(platform::LogContains("ERROR: Cannot delete temp file [" + Sfile() + ".temp]. Debug ["));
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_COMPACT).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));
}

TEST_F(RecoveryTest, SideFileThatVanishesIsLookedAtAgain) {
  Put(Sfile(), {{"", "old"}, {".compact", "new"}, {".temp", ""}});
  // Another recovery renames the copy between this one's check and its rename.
  platform::Faults().SetHook([&](FsOp op, const std::string& path) {
    if (op == FsOp::Rename && path == Sfile() + ".compact") std::rename(path.c_str(), Sfile().c_str());
  });
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_COMPACT).IsSuccess());
  platform::Faults().SetHook(nullptr);
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));
  EXPECT_TRUE(platform::LogContains("WARNING: Compact file not found for rename. Running recovery again."));
}

// A side file that the file system lists but cannot rename does not hold the chunk for ever.
TEST_F(RecoveryTest, SideFileThatKeepsVanishingEndsTheCall) {
  Put(Sfile(), {{".compact2", "new"}});
  platform::Faults().Add({FsOp::Rename, ".compact2", 1, -1, ENOENT});
  CXoError e = Recover(Sfile(), COMPACT_TYPE_COMPACT2);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT)) << e.AsString();
  EXPECT_EQ(platform::Faults().Calls(FsOp::Rename, ".compact2"), 10);
  EXPECT_EQ(platform::SleptMs(), 9 * 1000);
  EXPECT_EQ(Get(Sfile()), (Files{{".compact2", "new"}}));
  EXPECT_TRUE(platform::LogContains("keep vanishing. Recovery gave up after [10] attempts."));

  platform::ResetAll();
  Put(Sfile(), {{"", "old"}, {".compact", "new"}, {".temp", ""}});
  platform::Faults().Add({FsOp::Rename, ".compact", 1, -1, ENOENT});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(Recover(Sfile(), COMPACT_TYPE_COMPACT), ENOENT));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Rename, ".compact"), 10);
}

// A ".compact2" that could not be looked for is not hidden by a scheme 1 recovery that succeeds.
TEST_F(RecoveryTest, FailedCompact2TestIsReported) {
  Put(Sfile(), {{"", "old"}, {".compact", "new"}, {".temp", ""}});
  platform::Faults().Add({FsOp::Stat, ".compact2", 1, 1, EIO});
  CXoError e = Recover(Sfile(), COMPACT_TYPE_BOTH);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
  EXPECT_EQ(Get(Sfile()), (Files{{"", "old"}, {".compact", "new"}, {".temp", ""}}));
  EXPECT_TRUE(platform::LogContains("Unable to recover .compact(0) file. Path [" + Sfile() + "]."));
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));
}

TEST_F(RecoveryTest, RetriesWhileTheChunkIsLockedElsewhere) {
  Put(Sfile(), {{"", "old"}, {".compact2", "new"}});
  auto other = HoldIndex();
  ASSERT_TRUE(other->holding());
  CXoError e = Recover(Sfile(), COMPACT_TYPE_BOTH);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, 996)) << e.AsString();
  EXPECT_EQ(Get(Sfile()), (Files{{"", "old"}, {".compact2", "new"}}));
  EXPECT_EQ(platform::SleptMs(), 30 * (399 * 5 + 2000));
  EXPECT_TRUE(platform::LogContains("Unable to lock path [" + chunk_ + "] for recovery. Error ["));
  EXPECT_EQ(platform::LogCount("Unable to recover .compact(0) file."), 1u);
  EXPECT_TRUE(platform::LogContains("WARNING: Time taken to recover .compact(0) file is [119] secs. Retries [30], "
                                    "Comp2Prsnt [1], Path [" + Sfile() + "]."));
  other->Release();
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "old"}}));
}

TEST_F(RecoveryTest, RetriesFollowTheConfigurationAndTheCallersLock) {
  // A caller that holds the lock gets one attempt.
  Put(Sfile(), {{"", "old"}, {".compact2", "new"}});
  platform::Faults().Add({FsOp::Remove, ".compact2", 1, 1, EACCES});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(Recover(Sfile(), COMPACT_TYPE_BOTH, true), EACCES));
  EXPECT_EQ(platform::SleptMs(), 0);
  EXPECT_FALSE(platform::LogContains("WARNING: Time taken"));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx"), 0);

  // Without it the refusal is tried again, and the second attempt succeeds.
  platform::ResetAll();
  platform::Faults().Add({FsOp::Remove, ".compact2", 1, 1, EACCES});
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(platform::SleptMs(), 2000);
  EXPECT_TRUE(platform::LogContains("Retries [1], Comp2Prsnt [1]"));

  // Retries switched off: nothing is looked at.
  platform::ResetAll();
  platform::Config().SetNumber("ZovadAdeve", "SIFSCompactFileRetryCount", 0);
  Put(Sfile(), {{".compact2", "new"}});
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "old"}, {".compact2", "new"}}));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Stat), 0);
  EXPECT_TRUE(platform::LogContains("RecvrCompFileI: SI FS compact file max retry count is [0]."));
}

TEST_F(RecoveryTest, MissingInterfacesAndCloudInterfaces) {
  bool a = false, b = false;
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::ShouldRecoverCompactableFile(nullptr, "x", nullptr, a, b), 994));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RecoverCompactableFileEx(nullptr, "x", nullptr, false), 994));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RecoverCompactableFileEx2(nullptr, "x", nullptr, false, a), 994));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RecoverCompactableFileByInterface(nullptr, "x", COMPACT_TYPE_BOTH,
                                                                                      nullptr, false),
                                994));
  EXPECT_TRUE(platform::LogContains("Cannot proceed without a file system interface."));
  CFSInitParams unknown;
  unknown.m_Type = 99;
  EXPECT_TRUE(FXErrorUtil::IsMM(
      SingleInstancer_FS::RecoverCompactableFileByParams(unknown, Sfile().c_str(), COMPACT_TYPE_BOTH, nullptr, false), 994));
  EXPECT_TRUE(platform::LogContains("Unable to allocate an file system interface."));

  // The disk schemes leave cloud storage alone.
  CFSInitParams cloud;
  cloud.m_Type = kFSTypeCloud;
  std::unique_ptr<CFSInterface> cloudFs(CFSInterface::GetFSInterfaceInstance(cloud));
  Put(Sfile(), {{".compact", "new"}, {".temp", ""}, {".compact2", "x"}});
  bool found = true;
  EXPECT_TRUE(SingleInstancer_FS::RecoverCompactableFileEx(cloudFs.get(), Sfile().c_str(), nullptr, false).IsSuccess());
  EXPECT_TRUE(SingleInstancer_FS::RecoverCompactableFileEx2(cloudFs.get(), Sfile().c_str(), nullptr, false, found).IsSuccess());
  EXPECT_TRUE(found);
  EXPECT_EQ(Get(Sfile()).size(), 3u);
}

// ---- Chunks without a container index ------------------------------------------------------------

// A chunk of an older layout has data files but no container index. Their recovery and switch lock
// the chunk through ".compactlock" and never make an index, which would hide a compacted copy of
// the index itself.
TEST_F(RecoveryTest, ChunkWithoutAContainerIndexIsLockedThroughTheCompactLock) {
  ASSERT_EQ(std::remove(Index().c_str()), 0);
  const std::string data = path_append(chunk_, "OBJECTS_A");
  const struct {
    const char* name;
    Files before, after;
  } cases[] = {
      {"CompactAndTempWithoutFile", {{".compact", "new"}, {".temp", ""}}, {{"", "new"}}},
      {"CompactAndTemp", {{"", "old"}, {".compact", "new"}, {".temp", ""}}, {{"", "new"}}},
      {"CompactAlone", {{"", "old"}, {".compact", "new"}}, {{"", "old"}}},
      {"Compact2Alone", {{".compact2", "new"}}, {{"", "new"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    for (const auto& [suffix, content] : Get(data)) std::remove((data + suffix).c_str());
    Put(data, c.before);
    ASSERT_TRUE(Recover(data, COMPACT_TYPE_BOTH).IsSuccess());
    EXPECT_EQ(Get(data), c.after);
    EXPECT_EQ(platform::SleptMs(), 0);
    EXPECT_TRUE(CXoPath::Exists(path_append(chunk_, ".compactlock")));
    EXPECT_FALSE(CXoPath::Exists(Index()));
  }

  // The switch takes the same lock.
  Put(data, {{".compact2", "newer"}});
  ASSERT_TRUE(SingleInstancer_FS::SwitchCompactableFile(params_, data.c_str(), nullptr).IsSuccess());
  EXPECT_EQ(Get(data), (Files{{"", "newer"}}));
  EXPECT_FALSE(CXoPath::Exists(Index()));

  // Another process that holds ".compactlock" (an index being recovered, or another repair)
  // keeps the recovery out.
  platform::ResetAll();
  platform::Config().SetNumber("ZovadAdeve", "SIFSCompactFileRetryCount", 1);
  Put(data, {{".compact", "newest"}, {".temp", ""}});
  {
    ChildHolder other([this]() -> std::shared_ptr<void> {
      auto ctx = std::make_shared<SCmpctChnkLockCtx>();
      ctx->strChunkDir = chunk_;
      ctx->InitParams = params_;
      return SingleInstancer_FS::LockChunkForCompaction(ctx.get(), nullptr, false).IsSuccess() ? ctx : nullptr;
    });
    ASSERT_TRUE(other.holding());
    EXPECT_TRUE(FXErrorUtil::IsMM(Recover(data, COMPACT_TYPE_BOTH), 996));
    EXPECT_EQ(Get(data), (Files{{"", "newer"}, {".compact", "newest"}, {".temp", ""}}));
  }
  ASSERT_TRUE(Recover(data, COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(Get(data), (Files{{"", "newest"}}));
}

// An index that appears while the chunk is locked through ".compactlock" guards the chunk from
// then on: that attempt gives the lock back as busy, and the next one takes the index.
TEST_F(RecoveryTest, IndexThatAppearsUnderTheCompactLockIsTakenByTheNextAttempt) {
  ASSERT_EQ(std::remove(Index().c_str()), 0);
  Put(Sfile(), {{"", "old"}, {".compact", "new"}, {".temp", ""}});
  bool made = false;
  platform::Faults().SetHook([&](FsOp op, const std::string& path) {
    if (op != FsOp::Open || made || path != path_append(chunk_, ".compactlock")) return;
    made = true;
    idxtest::MakeContainerIndex(Index(), params_, {1});
  });
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_BOTH).IsSuccess());
  platform::Faults().SetHook(nullptr);
  EXPECT_TRUE(made);
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));
  EXPECT_EQ(platform::SleptMs(), 2000);
  EXPECT_TRUE(platform::LogContains("appeared while the chunk was locked"));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, ".compactlock"), 1);
}

// ---- The switch ---------------------------------------------------------------------------------

TEST_F(RecoveryTest, SwitchPutsTheCopyInPlaceUnderTheChunkLock) {
  Put(Sfile(), {{"", "old"}, {".compact2", "new"}});
  ASSERT_TRUE(SingleInstancer_FS::SwitchCompactableFile(params_, Sfile().c_str(), nullptr).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));
  EXPECT_GT(platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx"), 0);

  // Without a copy there is nothing to switch to: the file stays.
  CXoError e = SingleInstancer_FS::SwitchCompactableFile(params_, Sfile().c_str(), nullptr);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT)) << e.AsString();
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));

  // A file that cannot be deleted keeps the copy beside it, for the next recovery to drop.
  Put(Sfile(), {{".compact2", "newer"}});
  platform::Faults().Add({FsOp::Remove, "SFILE_CONTAINER_001", 1, 1, EACCES});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(SingleInstancer_FS::SwitchCompactableFile(params_, Sfile().c_str(), nullptr), EACCES));
  EXPECT_TRUE(platform::LogContains("Unable to delete file [" + Sfile() + "]. Error ["));
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}, {".compact2", "newer"}}));
  ASSERT_TRUE(Recover(Sfile(), COMPACT_TYPE_BOTH).IsSuccess());
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));

  CFSInitParams unknown;
  unknown.m_Type = 99;
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::SwitchCompactableFile(unknown, Sfile().c_str(), nullptr), 124));
}

// A recovery in another process that runs while a switch is half done (the file deleted, the copy
// not yet renamed) is kept out by the chunk lock instead of judging the copy.
TEST_F(RecoveryTest, SwitchAndRecoveryOfOneContainerAreSerialised) {
  Put(Sfile(), {{"", "old"}, {".compact2", "new"}});
  platform::Config().SetNumber("ZovadAdeve", "SIFSCompactFileRetryCount", 1);
  int recoveryStatus = -1;
  platform::Faults().SetHook([&](FsOp op, const std::string& path) {
    if (op != FsOp::Remove || path != Sfile() || recoveryStatus != -1) return;
    recoveryStatus = idxtest::Wait(idxtest::Fork([&] {
      platform::Faults().SetHook(nullptr);
      CXoError e = SingleInstancer_FS::RecoverCompactableFileByParams(params_, Sfile().c_str(), COMPACT_TYPE_BOTH,
                                                                     nullptr, false);
      return FXErrorUtil::IsMM(e, 996) ? 0 : 1;
    }));
  });
  ASSERT_TRUE(SingleInstancer_FS::SwitchCompactableFile(params_, Sfile().c_str(), nullptr).IsSuccess());
  platform::Faults().SetHook(nullptr);
  EXPECT_EQ(recoveryStatus, 0);
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}}));

  // And a switch waits for a holder of the chunk in the same way.
  Put(Sfile(), {{".compact2", "newer"}});
  auto other = HoldIndex();
  ASSERT_TRUE(other->holding());
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::SwitchCompactableFile(params_, Sfile().c_str(), nullptr), 996));
  EXPECT_EQ(Get(Sfile()), (Files{{"", "new"}, {".compact2", "newer"}}));
}

}  // namespace
