// The chunk's compaction lock between processes, the rename of compacted copies with the rename
// method each mount path needs, the hard-link test of SFiles on scale-out storage and the
// permission switch that is read but not honoured.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "child_holder.h"
#include "compaction_fixture.h"
#include "platform/temp_dir.h"
#include "run_chrooted.h"

namespace {

using mfstest::RunChrooted;
using platform::FsOp;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    chunk_ = dir_ / "CHUNK_7";
    ASSERT_EQ(mkdir(chunk_.c_str(), 0777), 0);
    params_.m_MountPathId = 11;
  }

  void Fill(SCmpctChnkLockCtx& ctx, const CFSInitParams& params) {
    ctx.strChunkDir = chunk_;
    ctx.InitParams = params;
  }
  void Fill(SCmpctChnkLockCtx& ctx) { Fill(ctx, params_); }

  std::string Index() const { return path_append(chunk_, "SFILE_CONTAINER.idx"); }
  std::string CompactLock() const { return path_append(chunk_, ".compactlock"); }

  void MakeIndex() { idxtest::MakeContainerIndex(Index(), params_, {1, 2, 3}); }

  // A second process that takes the chunk lock (or opens the container index, with `index`) and
  // keeps it until released.
  std::unique_ptr<ChildHolder> Hold(bool index) {
    return std::make_unique<ChildHolder>([this, index]() -> std::shared_ptr<void> {
      if (index) {
        auto idx = std::make_shared<SFileIndex>(&params_, nullptr);
        auto options = idxtest::Opts<SFileIndex>(false, true);
        return idx->Open(Index(), 2, options).IsSuccess() ? idx : nullptr;
      }
      auto ctx = std::make_shared<SCmpctChnkLockCtx>();
      Fill(*ctx);
      return SingleInstancer_FS::LockChunkForCompaction(ctx.get(), nullptr, false).IsSuccess() ? ctx : nullptr;
    });
  }

  TempDir dir_;
  std::string chunk_;
  CFSInitParams params_;
};

TEST_F(LockTest, LockIsHeldWhileTheContextLives) {
  {
    SCmpctChnkLockCtx ctx;
    Fill(ctx);
    ASSERT_TRUE(SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, false).IsSuccess());
    ASSERT_TRUE(ctx.IsLocked());
    // Taken again through the same context: nothing is opened.
    const long long opens = platform::Faults().Calls(FsOp::Open, ".compactlock");
    EXPECT_TRUE(SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, false).IsSuccess());
    EXPECT_EQ(platform::Faults().Calls(FsOp::Open, ".compactlock"), opens);
    // Another process cannot have it meanwhile.
    auto other = Hold(false);
    EXPECT_FALSE(other->holding());
  }
  EXPECT_TRUE(CXoPath::Exists(CompactLock()));
  auto after = Hold(false);
  EXPECT_TRUE(after->holding());
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::LockChunkForCompaction(nullptr, nullptr, false), 103));
}

// Four hundred attempts five milliseconds apart, on the fake clock, then the holder is named.
TEST_F(LockTest, LockHeldElsewhereFailsAfterFourHundredAttempts) {
  auto other = Hold(false);
  ASSERT_TRUE(other->holding());
  SCmpctChnkLockCtx ctx;
  Fill(ctx);
  CXoError e = SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EACCES)) << e.AsString();
  EXPECT_FALSE(ctx.IsLocked());
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, ".compactlock"), 400);
  EXPECT_EQ(platform::SleptMs(), 399 * 5);
  EXPECT_TRUE(platform::LogContains("Cannot create/open lock file at [" + CompactLock() + "]"));
  EXPECT_TRUE(platform::LogContains("Errno [13]. Locking pid [" + std::to_string(other->pid()) + "]."));
}

TEST_F(LockTest, LockReleasedDuringTheAttemptsIsTaken) {
  auto other = Hold(false);
  ASSERT_TRUE(other->holding());
  long long opens = 0;
  platform::Faults().SetHook([&](FsOp op, const std::string& path) {
    if (op == FsOp::Open && path == CompactLock() && ++opens == 10) other->Release();
  });
  SCmpctChnkLockCtx ctx;
  Fill(ctx);
  EXPECT_TRUE(SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, false).IsSuccess());
  platform::Faults().SetHook(nullptr);
  EXPECT_TRUE(ctx.IsLocked());
  EXPECT_EQ(opens, 10);
  EXPECT_EQ(platform::SleptMs(), 9 * 5);
}

// On the container index the lock excludes every other process that has the index open, and
// every process is excluded from the index while the lock is held; a process that has the index
// open itself can still take it.
TEST_F(LockTest, ContainerIndexLockAndOpenIndexesExcludeEachOther) {
  MakeIndex();
  {
    auto reader = Hold(true);
    ASSERT_TRUE(reader->holding());
    SCmpctChnkLockCtx ctx;
    Fill(ctx);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, true), EACCES));
    EXPECT_TRUE(platform::LogContains("Locking pid [" + std::to_string(reader->pid()) + "]"));
  }
  {
    SFileIndex own(&params_, nullptr);
    auto options = idxtest::Opts<SFileIndex>(false, true);
    ASSERT_TRUE(own.Open(Index(), 2, options).IsSuccess());
    SCmpctChnkLockCtx ctx;
    Fill(ctx);
    ASSERT_TRUE(SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, true).IsSuccess());
    // The index's close does not drop the lock.
    ASSERT_TRUE(own.Close().IsSuccess());
    auto reader = Hold(true);
    EXPECT_FALSE(reader->holding());
  }
  auto reader = Hold(true);
  EXPECT_TRUE(reader->holding());
}

TEST_F(LockTest, LockFailsRatherThanMakeOrPretend) {
  // A chunk without its container index: no empty index appears.
  SCmpctChnkLockCtx missing;
  Fill(missing);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(SingleInstancer_FS::LockChunkForCompaction(&missing, nullptr, true), ENOENT));
  EXPECT_FALSE(CXoPath::Exists(Index()));
  EXPECT_EQ(platform::Faults().Calls(FsOp::Open, "SFILE_CONTAINER.idx"), 1);

  // A file without a descriptor cannot be locked: a failure, not a success without a lock.
  CFSInitParams cloud;
  cloud.m_Type = kFSTypeCloud;
  SCmpctChnkLockCtx noDescriptor;
  Fill(noDescriptor, cloud);
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::LockChunkForCompaction(&noDescriptor, nullptr, false), 996));
  EXPECT_FALSE(noDescriptor.IsLocked());

  // A lock that cannot be flushed is given back.
  platform::Faults().Add({FsOp::Flush, ".compactlock", 1, 1, EIO});
  SCmpctChnkLockCtx unflushed;
  Fill(unflushed);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(SingleInstancer_FS::LockChunkForCompaction(&unflushed, nullptr, false), EIO));
  EXPECT_TRUE(platform::LogContains("Cannot flush lock file at [" + CompactLock() + "]."));
  EXPECT_FALSE(unflushed.IsLocked());
  auto other = Hold(false);
  EXPECT_TRUE(other->holding());
}

TEST_F(LockTest, DataServerFilesUseTheirOwnLock) {
  CFSInitParams dataServer;
  dataServer.m_Type = kFSTypeDataServerIP;
  SCmpctChnkLockCtx first, second;
  Fill(first, dataServer);
  Fill(second, dataServer);
  ASSERT_TRUE(SingleInstancer_FS::LockChunkForCompaction(&first, nullptr, false).IsSuccess());
  EXPECT_EQ(platform::RemoteStorage().calls.front(), "DSLock " + CompactLock() + " exclusive");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(SingleInstancer_FS::LockChunkForCompaction(&second, nullptr, false), EAGAIN));
  EXPECT_EQ(platform::RemoteStorage().calls.size(), 401u);
}

TEST_F(LockTest, ReleaseThatFailsToCloseIsReported) {
  EvDebug log("compactor");
  {
    SCmpctChnkLockCtx ctx;
    Fill(ctx);
    ctx.pDbg = &log;
    ASSERT_TRUE(SingleInstancer_FS::LockChunkForCompaction(&ctx, nullptr, false).IsSuccess());
    platform::Faults().Add({FsOp::Close, ".compactlock", 1, 1, EIO});
  }
  EXPECT_TRUE(platform::LogContains("Unlock: Cannot close lock file under [" + chunk_ + "]. Err ["));
  auto other = Hold(false);
  EXPECT_TRUE(other->holding());
}

// ---- Renames ------------------------------------------------------------------------------------

class RenameTest : public LockTest {
 protected:
  CXoError Rename(const std::string& name, int mountPathId) {
    CFSInitParams params;
    params.m_MountPathId = mountPathId;
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
    std::string src = path_append(chunk_, name + ".compact2");
    std::string dst = path_append(chunk_, name);
    return SingleInstancer_FS::RenameCompactableFile(src, dst, fs.get(), &log_);
  }
  void Make(const std::string& name) { cmptest::WriteWhole(path_append(chunk_, name + ".compact2"), name); }
  long long Renames(const std::string& name) { return platform::Faults().Calls(FsOp::Rename, name + ".compact2"); }

  EvDebug log_;
};

TEST_F(RenameTest, MountPathsWhereTheFirstMethodFailsKeepTheFallback) {
  Make("A");
  platform::Faults().Add({FsOp::Rename, "A.compact2", 1, 1, EPERM});
  ASSERT_TRUE(Rename("A", 11).IsSuccess());
  EXPECT_EQ(Renames("A"), 2);
  EXPECT_EQ(cmptest::ReadWhole(path_append(chunk_, "A")), "A");

  // From now on the fallback is the only method tried on this mount path.
  Make("B");
  platform::Faults().Add({FsOp::Rename, "B.compact2", 1, 1, EPERM});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(Rename("B", 11), EPERM));
  EXPECT_EQ(Renames("B"), 1);
  EXPECT_TRUE(platform::LogContains("Unable to rename file. Flg [4], [" + path_append(chunk_, "B.compact2") + "] to ["));

  // Another mount path starts with the first method.
  Make("C");
  platform::Faults().Add({FsOp::Rename, "C.compact2", 1, 1, EPERM});
  ASSERT_TRUE(Rename("C", 12).IsSuccess());
  EXPECT_EQ(Renames("C"), 2);

  // Past 128 remembered mount paths the memory starts again.
  for (int id = 1000; id < 1130; ++id) EXPECT_TRUE(FXErrorUtil::IsErrNo(Rename("none", id), ENOENT));
  Make("D");
  platform::Faults().Add({FsOp::Rename, "D.compact2", 1, 1, EPERM});
  ASSERT_TRUE(Rename("D", 11).IsSuccess());
  EXPECT_EQ(Renames("D"), 2);
}

TEST_F(RenameTest, MissingSourceOrArgumentsFailAtOnce) {
  EXPECT_TRUE(FXErrorUtil::IsErrNo(Rename("gone", 11), ENOENT));
  EXPECT_EQ(Renames("gone"), 1);
  EXPECT_TRUE(platform::LogContains("Error: Compact file not found for rename. [" + path_append(chunk_, "gone.compact2") + "]."));

  std::string a = "a", b = "b";
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params_));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RenameCompactableFile(a, b, fs.get(), nullptr), 103));
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::RenameCompactableFile(a, b, nullptr, &log_), 103));
  EXPECT_TRUE(platform::LogContains("!\"Null EvDebug or FS Ptr\""));
}

// ---- Hard links and permissions -----------------------------------------------------------------

TEST_F(LockTest, HardLinkTestOnlyLooksAtScaleOutPaths) {
  const std::string file = dir_ / "linked";
  cmptest::WriteWhole(file, "x");
  ASSERT_EQ(link(file.c_str(), (dir_ / "second").c_str()), 0);
  for (std::string path : {file, std::string("/lg/glu"), std::string("/lg/gluster-missing/x")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(SingleInstancer_FS::IsSfileHardLink(path), false);
  }
  EXPECT_EQ(platform::LogCount("IsSfileHardLink: Sfile validity check is set to [1]"), 1u);
}

TEST_F(LockTest, HardLinkedContainersAreRecognisedAndLeftAlone) {
  const std::string volume = dir_ / "lg/glusvol";
  ASSERT_TRUE(std::filesystem::create_directories(volume));
  ASSERT_TRUE(std::filesystem::create_directories(dir_ / "LG/GLUSTER"));
  cmptest::WriteWhole(volume + "/single", "1");
  cmptest::WriteWhole(volume + "/linked", "2");
  cmptest::WriteWhole(volume + "/linked.compact2", "copy");
  ASSERT_EQ(link((volume + "/linked").c_str(), (volume + "/other").c_str()), 0);
  ASSERT_EQ(link((volume + "/linked").c_str(), (dir_ / "LG/GLUSTER/linked").c_str()), 0);
  auto isLink = [](std::string p) { return SingleInstancer_FS::IsSfileHardLink(p); };

  int status = RunChrooted(dir_.path(), [&] {
    if (isLink("/lg/glusvol/single") || !isLink("/lg/glusvol/linked") || isLink("/lg/glusvol/missing") ||
        !isLink("/LG/GLUSTER/linked")) {
      return 1;
    }
    // Recovery refuses a hard-linked SFile and touches nothing.
    CFSInitParams params;
    CXoError e = SingleInstancer_FS::RecoverCompactableFileByParams(params, "/lg/glusvol/linked", COMPACT_TYPE_BOTH,
                                                                   nullptr, false);
    if (!FXErrorUtil::IsMM(e, 1204) || !CXoPath::Exists("/lg/glusvol/linked.compact2")) return 2;
    return platform::LogContains("Error: Cannot open Sfile [/lg/glusvol/linked] as it is hard link") ? 0 : 3;
  });
  if (status == mfstest::kNoChroot) GTEST_SKIP() << "this machine lets no process change its root folder";
  EXPECT_EQ(status, 0);

  // The test can be turned off; the value is read once per process.
  platform::Config().SetNumber("ZovadAdeve", "SIDoSfileValidityCheck", 0);
  status = RunChrooted(dir_.path(), [&] {
    if (isLink("/lg/glusvol/linked")) return 1;
    return platform::LogContains("Sfile validity check is set to [0]") ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(LockTest, PermissionResetIsReadButNeverDone) {
  platform::Config().SetNumber("ZovadAdeve", "SIFSResetSfilePermissions", 1);
  const std::string file = dir_ / "SFILE_CONTAINER_001";
  cmptest::WriteWhole(file, "x");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params_));
  for (int i = 0; i < 2; ++i) {
    bool reset = true;
    EXPECT_TRUE(SingleInstancer_FS::AttemptPermissionsReset(fs.get(), file.c_str(), nullptr, false, reset).IsSuccess());
    EXPECT_FALSE(reset);
    EXPECT_EQ(SingleInstancer_FS::GetPermissionsResetFlag(nullptr), 0);
  }
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(platform::LogCount("GetPermResetFlag: SI FS reset Sfile permissions set to [1]. Its NOT HONORED now. Pls "
                               "contact support."),
            1u);
  std::string path = file;
  EXPECT_EQ(SingleInstancer_FS::SetFilePermissionsForEveryone(path, true, nullptr), 0);
  EXPECT_EQ(SingleInstancer_FS::SetFolderPermissionsForEveryone(path, nullptr), 0);
}

}  // namespace
