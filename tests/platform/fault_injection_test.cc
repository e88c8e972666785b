// Faults injected into the file-system layer: the n-th matching call, short transfers, free
// space and a hook before each operation.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CFSInitParams params;
    file_.reset(CFileInterface::GetFileInterfaceInstance(params));
    fs_.reset(CFSInterface::GetFSInterfaceInstance(params));
    path_ = dir_ / "CHUNK_1";
    ASSERT_TRUE(file_->Open(path_, O_RDWR | O_CREAT, 0600, 0).IsSuccess());
    unsigned int done = 0;
    ASSERT_TRUE(file_->Write(std::string(4096, 'a').data(), 4096, &done).IsSuccess());
  }

  TempDir dir_;
  std::unique_ptr<CFileInterface> file_;
  std::unique_ptr<CFSInterface> fs_;
  std::string path_;
};

struct OpCase {
  FsOp op;
  std::function<CXoError(CFileInterface&, CFSInterface&, const std::string&)> call;
};

TEST_F(FaultInjectionTest, EachOperationFailsOnExactlyTheNthCall) {
  char buffer[64];
  unsigned int done = 0;
  const OpCase cases[] = {
      {FsOp::Open, [](auto& f, auto&, auto& p) { return f.Open(p, O_RDWR, 0, 0); }},
      {FsOp::Write, [&](auto& f, auto&, auto&) { return f.Write(buffer, sizeof(buffer), &done); }},
      {FsOp::Read, [&](auto& f, auto&, auto&) { return f.Read(buffer, sizeof(buffer), &done); }},
      {FsOp::Seek, [](auto& f, auto&, auto&) { return f.Seek(0, SEEK_SET, nullptr); }},
      {FsOp::Flush, [](auto& f, auto&, auto&) { return f.Flush(); }},
      {FsOp::Truncate, [](auto& f, auto&, auto&) { return f.Truncate(4096); }},
      {FsOp::Size, [](auto& f, auto&, auto&) {
         unsigned long long s = 0;
         return f.Size(s);
       }},
      {FsOp::DrillHole, [](auto& f, auto&, auto&) { return f.DrillHole(0, 1); }},
      {FsOp::Lock, [](auto& f, auto&, auto&) { return f.LockFile(false); }},
      {FsOp::Rename, [](auto&, auto& fs, auto& p) { return fs.Rename(p, p, 0); }},
      {FsOp::Stat, [](auto&, auto& fs, auto& p) {
         bool e = false;
         return fs.Exists(p, e);
       }},
      {FsOp::FreeSpace, [](auto&, auto& fs, auto& p) {
         unsigned long long t = 0, f = 0;
         return fs.GetFreeSpace(p, t, f);
       }},
      {FsOp::CreateDirectory, [](auto&, auto& fs, auto& p) { return fs.CreateDirectory(p + ".d", false); }},
      {FsOp::Chmod, [](auto&, auto& fs, auto& p) { return fs.Chmod(p, 0600); }},
  };
  for (const OpCase& c : cases) {
    SCOPED_TRACE(platform::FsOpName(c.op));
    Faults().Reset();
    Faults().Add(FaultRule{c.op, "CHUNK_1", 3, 1, ENOSPC, -1});
    for (int call = 1; call <= 5; ++call) {
      CXoError e = c.call(*file_, *fs_, path_);
      if (call == 3) {
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << "call " << call << ": " << e.AsString();
        EXPECT_NE(std::string::npos, e.Message().find(path_));
      } else {
        EXPECT_TRUE(e.IsSuccess()) << "call " << call << ": " << e.AsString();
      }
    }
    EXPECT_EQ(5, Faults().Calls(c.op, "CHUNK_1"));
  }
}

TEST_F(FaultInjectionTest, RulesMatchTheirPathAndRepeat) {
  Faults().Add(FaultRule{FsOp::Write, "other", 1, -1, EIO, -1});
  Faults().Add(FaultRule{FsOp::Write, "CHUNK_1", 2, 2, EIO, -1});
  unsigned int done = 0;
  const char data[8] = {};
  std::vector<bool> failed;
  for (int i = 0; i < 5; ++i) failed.push_back(file_->Write(data, sizeof(data), &done).IsFailure());
  EXPECT_EQ((std::vector<bool>{false, true, true, false, false}), failed);

  Faults().Add(FaultRule{FsOp::Write, "CHUNK_1", 0, 1, ENOSPC, -1});  // a count below 1 means the first
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file_->Write(data, sizeof(data), &done), ENOSPC));
  EXPECT_TRUE(file_->Write(data, sizeof(data), &done).IsSuccess());

  Faults().Add(FaultRule{FsOp::Write, "", 1, -1, EROFS, -1});  // any path, every call
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file_->Write(data, sizeof(data), &done), EROFS));
  EXPECT_EQ(0u, done);
  EXPECT_EQ(9, Faults().Calls(FsOp::Write));  // with the write of SetUp
  EXPECT_EQ(0, Faults().Calls(FsOp::Write, "other"));
}

TEST_F(FaultInjectionTest, ShortTransfersReportSuccessWithFewerBytes) {
  Faults().Add(FaultRule{FsOp::Write, "CHUNK_1", 2, 1, 0, 100});
  Faults().Add(FaultRule{FsOp::Read, "CHUNK_1", 1, 1, 0, 10});
  std::string block(1000, 'b');
  unsigned int done = 0;
  ASSERT_TRUE(file_->Truncate(0).IsSuccess());
  ASSERT_TRUE(file_->Seek(0, SEEK_SET, nullptr).IsSuccess());
  ASSERT_TRUE(file_->Write(block.data(), 1000, &done).IsSuccess());
  EXPECT_EQ(1000u, done);
  ASSERT_TRUE(file_->Write(block.data(), 1000, &done).IsSuccess());
  EXPECT_EQ(100u, done);  // callers take this as a failure

  unsigned long long size = 0;
  ASSERT_TRUE(file_->Size(size).IsSuccess());
  EXPECT_EQ(1100u, size);  // only the reported bytes reached the file
  char back[1000];
  ASSERT_TRUE(file_->Seek(0, SEEK_SET, nullptr).IsSuccess());
  ASSERT_TRUE(file_->Read(back, sizeof(back), &done).IsSuccess());
  EXPECT_EQ(10u, done);
  ASSERT_TRUE(file_->Read(back, sizeof(back), &done).IsSuccess());
  EXPECT_EQ(1000u, done);
}

TEST_F(FaultInjectionTest, FreeSpaceFollowsTheLongestPrefix) {
  Faults().SetFreeSpace(dir_.path(), 1000);
  Faults().SetFreeSpace(dir_ / "mp2", 2000, 9000);
  unsigned long long total = 0, free = 0;
  ASSERT_TRUE(fs_->GetFreeSpace(path_, total, free).IsSuccess());
  EXPECT_EQ(1000u, free);
  EXPECT_GT(total, 0u);  // the real size of the file system
  ASSERT_TRUE(fs_->GetFreeSpace(dir_ / "mp2/V_1", total, free).IsSuccess());  // need not exist
  EXPECT_EQ(2000u, free);
  EXPECT_EQ(9000u, total);
  Faults().SetFreeSpace(dir_ / "mp3/", 3000);  // a mount path given with its trailing slash
  ASSERT_TRUE(fs_->GetFreeSpace(dir_ / "mp3", total, free).IsSuccess());
  EXPECT_EQ(3000u, free);
}

// A crash point: the child dies inside its third write, as a test of a writer's recovery would
// arrange it, and the file holds exactly what the first two wrote.
TEST_F(FaultInjectionTest, HookCanEndAChildAtAChosenOperation) {
  ASSERT_TRUE(file_->Truncate(0).IsSuccess());
  ASSERT_TRUE(file_->Seek(0, SEEK_SET, nullptr).IsSuccess());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int writes = 0;
    Faults().SetHook([&](FsOp op, const std::string& path) {
      if (op == FsOp::Write && path.find("CHUNK_1") != std::string::npos && ++writes == 3) raise(SIGKILL);
    });
    unsigned int done = 0;
    for (int i = 0; i < 5; ++i) file_->Write("0123456789", 10, &done);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  unsigned long long size = 0;
  ASSERT_TRUE(file_->Size(size).IsSuccess());
  EXPECT_EQ(20u, size);
}

TEST_F(FaultInjectionTest, HookSeesEveryOperationInOrder) {
  std::vector<std::string> seen;
  Faults().SetHook([&](FsOp op, const std::string& path) {
    seen.push_back(std::string(platform::FsOpName(op)) + " " + path.substr(path.rfind('/') + 1));
  });
  ASSERT_TRUE(file_->Seek(0, SEEK_SET, nullptr).IsSuccess());
  ASSERT_TRUE(file_->Flush().IsSuccess());
  ASSERT_TRUE(fs_->Rename(path_, dir_ / "CHUNK_2", 0).IsSuccess());
  ASSERT_TRUE(file_->Close().IsSuccess());
  EXPECT_EQ((std::vector<std::string>{"Seek CHUNK_1", "Flush CHUNK_1", "Rename CHUNK_1", "Close CHUNK_1"}), seen);
}

}  // namespace
