// Disk file operations for callers without a media object, on real folders: existence with the
// offline test of the library root and its retries (counted on the file-system layer), and the
// removal of files and folders.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "MediaFileSystem/RealMagnetic.h"
#include "frame_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;
using platform::LogContains;

class DiskFileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    fs.reset(CFSInterface::GetFSInterfaceInstance(CFSInitParams{}));
    root = dir.path() + "/OZ_MAGNETIC";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  }

  static void MakeFile(const std::string& path) { std::ofstream(path) << "data"; }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
  static long long Tests(const std::string& pathContains) { return Faults().Calls(FsOp::Stat, pathContains); }

  TempDir dir;
  std::string root;
  std::unique_ptr<CFSInterface> fs;
};

TEST_F(DiskFileOpsTest, PathExistsTable) {
  struct Case {
    const char* name;
    std::string path;
    bool exists;
    long long pathTests, rootTests, sleptMs;
  };
  MakeFile(root + "/present");
  const Case cases[] = {
      {"present under the root", root + "/present", true, 1, 0, 0},
      {"missing without a root", dir.path() + "/missing", false, 1, 0, 0},
      {"missing under a present root", root + "/V_1/missing", false, 3, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Faults().Reset();
    const long long slept = platform::SleptMs();
    bool exists = !c.exists;
    CXoError e = RealMagneticFS::PathExists(fs.get(), c.path.c_str(), &exists, nullptr);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_EQ(c.exists, exists);
    const std::string leaf = c.path.substr(c.path.rfind('/'));
    EXPECT_EQ(c.pathTests, Tests(leaf));
    EXPECT_EQ(c.rootTests, Tests("") - Tests(leaf));
    EXPECT_EQ(c.sleptMs, platform::SleptMs() - slept);
  }
}

TEST_F(DiskFileOpsTest, PathThatAppearsBetweenAttempts) {
  const std::string path = root + "/late";
  int rootTests = 0;
  Faults().SetHook([&](FsOp op, const std::string& p) {
    if (op == FsOp::Stat && p == root && ++rootTests == 1) MakeFile(path);
  });
  bool exists = false;
  ASSERT_TRUE(RealMagneticFS::PathExists(fs.get(), path.c_str(), &exists, nullptr).IsSuccess());
  EXPECT_TRUE(exists);
  EXPECT_EQ(2, Tests("/late"));
  EXPECT_EQ(1, rootTests);
  EXPECT_EQ(1, platform::SleptMs());
}

TEST_F(DiskFileOpsTest, MissingRootMeansTheWholePathIsOffline) {
  const std::string offline = dir.path() + "/gone/OZ_MAGNETIC/V_1/CHUNK_1";
  bool exists = true;
  CXoError e = RealMagneticFS::PathExists(fs.get(), offline.c_str(), &exists, nullptr);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774)) << e.AsString();
  EXPECT_EQ("Entire path is offline", e.Message());
  EXPECT_NE(std::string::npos, std::string(e.Stack().back().function).find("PathExists"));
  EXPECT_FALSE(exists);
  EXPECT_EQ(0, platform::SleptMs());  // decided at the first attempt

  for (auto op : {&RealMagneticFS::DeleteFile, &RealMagneticFS::DeleteDirectory}) {
    platform::ResetLogs();
    CXoError d = op(fs.get(), offline.c_str(), nullptr);
    EXPECT_TRUE(FXErrorUtil::IsWin32(d, 774)) << d.AsString();
    EXPECT_EQ(1u, platform::LogCount("Unable to check if path [" + offline + "] exists or not. Error ["));
  }
  EXPECT_TRUE(LogContains("DeleteDirectory:"));
}

// The root ends after the last "OZ_MAGNETIC": a present outer root does not hide a missing inner one.
TEST_F(DiskFileOpsTest, RootIsTheLastOccurrence) {
  const std::string path = root + "/x/OZ_MAGNETIC/V_1";
  bool exists = true;
  CXoError e = RealMagneticFS::PathExists(fs.get(), path.c_str(), &exists, nullptr);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774)) << e.AsString();
  EXPECT_EQ(2, Tests("/x/OZ_MAGNETIC"));               // the path, then the inner root
  EXPECT_EQ(0, Tests("") - Tests("/x/OZ_MAGNETIC"));  // the outer root is never asked
}

TEST_F(DiskFileOpsTest, FailedExistenceTestsComeBackAsTheyCame) {
  const std::string path = root + "/V_1/CHUNK_1";
  // The first test below the root is the path's, the second the root's.
  for (const auto& [nth, tested] : {std::pair{1, path}, std::pair{2, root}}) {
    SCOPED_TRACE(tested);
    platform::ResetAll();
    Faults().Add(FaultRule{FsOp::Stat, root, nth, 1, EIO, -1});
    bool exists = false;
    CXoError e = RealMagneticFS::PathExists(fs.get(), path.c_str(), &exists, nullptr);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
    EXPECT_EQ(1u, e.Stack().size());  // nothing pushed
    EXPECT_TRUE(LogContains("Unable to check presence of [" + tested + "]. Error ["));
    EXPECT_TRUE(LogContains("PathExists:"));
  }
}

TEST_F(DiskFileOpsTest, DeleteFileTable) {
  struct Case {
    const char* name;
    bool present;
    std::vector<FaultRule> faults;
    bool vanishOnRemove;  // the file disappears during the first removal
    int succeeds;         // 1 success, 0 failure
    int errnoValue;
    long long removes, chmods;
    bool fileLeft;
    const char* logLine;  // a line that must be logged, or null for none
  };
  const Case cases[] = {
      {"absent", false, {}, false, 1, 0, 0, 0, false, nullptr},
      {"removed", true, {}, false, 1, 0, 1, 0, false, nullptr},
      {"refused once", true, {{FsOp::Remove, "CHUNK_1", 1, 1, EACCES, -1}}, false, 1, 0, 2, 1, false, nullptr},
      {"vanishes meanwhile", true, {{FsOp::Remove, "CHUNK_1", 1, 1, EACCES, -1}}, true, 1, 0, 1, 1, false, nullptr},
      {"mode change fails", true,
       {{FsOp::Remove, "CHUNK_1", 1, 1, EACCES, -1}, {FsOp::Chmod, "CHUNK_1", 1, 1, EPERM, -1}}, false, 0, EPERM, 1, 1,
       true, "DeleteFile:"},
      {"second removal fails", true, {{FsOp::Remove, "CHUNK_1", 1, 2, EBUSY, -1}}, false, 0, EBUSY, 2, 1, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    const std::string path = root + "/CHUNK_1";
    unlink(path.c_str());
    if (c.present) {
      MakeFile(path);
      chmod(path.c_str(), 0444);
    }
    for (const FaultRule& f : c.faults) Faults().Add(f);
    if (c.vanishOnRemove) {
      Faults().SetHook([](FsOp op, const std::string& p) {
        if (op == FsOp::Remove) unlink(p.c_str());
      });
    }
    EvDebug callerLog("caller");
    CXoError e = RealMagneticFS::DeleteFile(fs.get(), path.c_str(), &callerLog);
    if (c.succeeds) {
      EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    } else {
      EXPECT_TRUE(FXErrorUtil::IsErrNo(e, c.errnoValue)) << e.AsString();
      EXPECT_NE(std::string::npos, std::string(e.Stack().back().function).find("DeleteFile"));
    }
    EXPECT_EQ(c.removes, Faults().Calls(FsOp::Remove, "CHUNK_1"));
    EXPECT_EQ(c.chmods, Faults().Calls(FsOp::Chmod, "CHUNK_1"));
    EXPECT_EQ(c.fileLeft, Exists(path));
    if (c.logLine != nullptr) {
      EXPECT_TRUE(LogContains("Failed to change the mode of the file [" + path + "] to read write mode. Error ["));
      ASSERT_FALSE(platform::Logs().empty());
      EXPECT_EQ("caller", platform::Logs().back().source);
    } else {
      EXPECT_TRUE(platform::Logs().empty());
    }
  }
}

TEST_F(DiskFileOpsTest, DeleteDirectory) {
  const std::string folder = root + "/V_1";
  EXPECT_TRUE(RealMagneticFS::DeleteDirectory(fs.get(), folder.c_str(), nullptr).IsSuccess());  // absent
  EXPECT_EQ(0, Faults().Calls(FsOp::Remove));

  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  MakeFile(folder + "/CHUNK_1");
  CXoError e = RealMagneticFS::DeleteDirectory(fs.get(), folder.c_str(), nullptr);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOTEMPTY)) << e.AsString();
  EXPECT_NE(std::string::npos, std::string(e.Stack().back().function).find("DeleteDirectory"));
  EXPECT_TRUE(platform::Logs().empty());
  EXPECT_EQ(1, Faults().Calls(FsOp::Chmod) + Faults().Calls(FsOp::Remove));  // one removal, no mode change

  ASSERT_EQ(0, unlink((folder + "/CHUNK_1").c_str()));
  EXPECT_TRUE(RealMagneticFS::DeleteDirectory(fs.get(), folder.c_str(), nullptr).IsSuccess());
  EXPECT_FALSE(Exists(folder));
}

TEST_F(DiskFileOpsTest, DefaultLogAndArguments) {
  Faults().Add(FaultRule{FsOp::Stat, "CHUNK_1", 1, 1, EIO, -1});
  bool exists = false;
  EXPECT_TRUE(RealMagneticFS::PathExists(fs.get(), (root + "/CHUNK_1").c_str(), &exists, nullptr).IsFailure());
  ASSERT_FALSE(platform::Logs().empty());
  EXPECT_EQ("", platform::Logs().back().source);  // the call's own default log

  EXPECT_EQ(0, RealMagneticFS::GrantDeletePermissions(nullptr, nullptr, nullptr));
  EXPECT_EQ(0, RealMagneticFS::RevokeDeletePermissionsFromAll(nullptr, "x", nullptr));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(RealMagneticFS::PathExists(nullptr, "x", &exists, nullptr), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(RealMagneticFS::PathExists(fs.get(), "x", nullptr, nullptr), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(RealMagneticFS::DeleteFile(fs.get(), nullptr, nullptr), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(RealMagneticFS::DeleteDirectory(nullptr, "x", nullptr), EINVAL));
}

}  // namespace
