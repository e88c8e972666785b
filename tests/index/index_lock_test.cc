// The container index lock between processes, and which storage kinds lock how.
#include <gtest/gtest.h>

#include "index_test_util.h"

namespace {

using namespace idxtest;

class IndexLock : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeContainerIndex(path_, params_, {1});
    content_ = ReadFile(path_);
  }

  // Opens the index in `mode` in a child that holds it until told to let go.
  struct Holder {
    pid_t pid = -1;
    Pipe ready;
    Pipe release;
  };
  void Hold(Holder& h, int mode) {
    h.pid = Fork([&] {
      SFileIndex idx(&params_, nullptr);
      auto opt = Opts<SFileIndex>(false, false);
      if (idx.Open(path_, mode, opt).IsFailure()) return 1;
      h.ready.Send();
      (void)h.release.Receive();
      return idx.Close().IsSuccess() ? 0 : 2;
    });
    ASSERT_EQ(h.ready.Receive(), 'x') << "the holder could not open the index";
  }
  int Let(Holder& h) {
    h.release.Send();
    return Wait(h.pid);
  }

  // Opens the index in `mode` in this process and closes it again.
  CXoError TryOpen(int mode) {
    SFileIndex idx(&params_, nullptr);
    auto opt = Opts<SFileIndex>(false, false);
    return idx.Open(path_, mode, opt);
  }

  TempDir dir_;
  std::string path_ = dir_.File("SFILE_CONTAINER.idx");
  CFSInitParams params_ = Params();
  std::string content_;
};

TEST_F(IndexLock, AWriterExcludesEveryOtherOpenAndCreate) {
  Holder writer;
  Hold(writer, 2);
  // The holder's lock is one of its open file, which names no process; the refusal finds it.
  const std::string holder = std::to_string(writer.pid);
  for (int mode : {1, 2}) {
    CXoError e = TryOpen(mode);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrLock)) << e.AsString();
    EXPECT_EQ(e.Message(), "Unable to aquire the Lock to File [" + path_ + "] ErrorNo:11 LockedPID:" + holder);
  }
  EXPECT_TRUE(platform::LogContains("LockedPid=" + holder));
  EXPECT_TRUE(platform::LogContains("Unable Lock index file [" + path_ + "]"));

  // Create must not empty a file that another process holds.
  SFileIndex idx(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  EXPECT_TRUE(FXErrorUtil::IsWin32(idx.Create(path_, opt), kIdxWin32ErrLock));
  EXPECT_EQ(ReadFile(path_), content_);
  EXPECT_TRUE(platform::LogContains("Unable to Lock index file [" + path_ + "]"));
  EXPECT_TRUE(platform::LogContains("Failed to create file [" + path_ + "]"));

  EXPECT_EQ(Let(writer), 0);
  EXPECT_TRUE(TryOpen(2).IsSuccess());
}

TEST_F(IndexLock, ReadersShareAndAWriterWaitsForAllOfThem) {
  SFileIndex reader(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(reader.Open(path_, 1, opt).IsSuccess());
  Holder other;
  Hold(other, 1);  // a second reader succeeds

  auto writerInChild = [&] { return Wait(Fork([&] { return TryOpen(2).IsSuccess() ? 0 : 1; })); };
  EXPECT_EQ(writerInChild(), 1);
  ASSERT_TRUE(reader.Close().IsSuccess());
  EXPECT_EQ(writerInChild(), 1) << "the other reader still holds it";
  EXPECT_EQ(Let(other), 0);
  EXPECT_EQ(writerInChild(), 0);
}

// A host may open one index in several objects, a writer and readers: they share the process's
// lock, whose mode follows the strongest of them, and it ends with the last of them.
TEST_F(IndexLock, ObjectsOfOneProcessShareOneLock) {
  auto childOpens = [&](int mode) { return Wait(Fork([&] { return TryOpen(mode).IsSuccess() ? 0 : 1; })) == 0; };
  auto opt = Opts<SFileIndex>(false, false);
  SFileIndex writer(&params_, nullptr);
  SFileIndex second(&params_, nullptr);
  SFileIndex reader(&params_, nullptr);
  ASSERT_TRUE(writer.Open(path_, 2, opt).IsSuccess());
  CXoError e = second.Open(path_, 2, opt);
  ASSERT_TRUE(e.IsSuccess()) << e.AsString();
  e = reader.Open(path_, 1, opt);
  ASSERT_TRUE(e.IsSuccess()) << e.AsString();
  EXPECT_EQ(HeldLockType(path_), F_WRLCK);
  EXPECT_FALSE(childOpens(1));

  ASSERT_TRUE(writer.Close().IsSuccess());  // the object whose open took the lock
  EXPECT_EQ(HeldLockType(path_), F_WRLCK);
  EXPECT_FALSE(childOpens(1));
  ASSERT_TRUE(second.Close().IsSuccess());
  EXPECT_EQ(HeldLockType(path_), F_RDLCK) << "the reader alone keeps it shared";
  EXPECT_TRUE(childOpens(1));
  EXPECT_FALSE(childOpens(2));
  ASSERT_TRUE(reader.Close().IsSuccess());
  EXPECT_EQ(HeldLockType(path_), F_UNLCK);
  EXPECT_TRUE(childOpens(2));
}

// A writer that joins this process's readers needs the lock alone: another process's reader
// refuses it at once, and the readers here keep what they hold.
TEST_F(IndexLock, AWriterJoiningReadersNeedsTheLockAlone) {
  auto opt = Opts<SFileIndex>(false, false);
  SFileIndex reader(&params_, nullptr);
  ASSERT_TRUE(reader.Open(path_, 1, opt).IsSuccess());
  Holder other;
  Hold(other, 1);

  SFileIndex writer(&params_, nullptr);
  CXoError e = writer.Open(path_, 2, opt);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrLock)) << e.AsString();
  EXPECT_EQ(e.Message(),
            "Unable to aquire the Lock to File [" + path_ + "] ErrorNo:11 LockedPID:" + std::to_string(other.pid));
  EXPECT_EQ(HeldLockType(path_), F_RDLCK);
  SSfileContainerIndexEntry r;
  EXPECT_TRUE(reader.GetEntry(0, &r).IsSuccess());

  EXPECT_EQ(Let(other), 0);
  ASSERT_TRUE(writer.Open(path_, 2, opt).IsSuccess());
  EXPECT_EQ(HeldLockType(path_), F_WRLCK);
  ASSERT_TRUE(writer.Close().IsSuccess());
  EXPECT_EQ(HeldLockType(path_), F_RDLCK);
}

// The lock is that of the open file, not of the process: closing another descriptor of the same
// file in this process must not drop it.
TEST_F(IndexLock, ClosingAnotherDescriptorKeepsTheLock) {
  SFileIndex writer(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(writer.Open(path_, 2, opt).IsSuccess());
  int fd = ::open(path_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(Wait(Fork([&] { return TryOpen(2).IsSuccess() ? 0 : 1; })), 1);
  EXPECT_EQ(HeldLockType(path_), F_WRLCK);
}

// Processes that lock the range the classic way conflict exactly as before, and show their pid.
TEST_F(IndexLock, ClassicLocksOfOtherProcessesConflictAndShowTheirPid) {
  Pipe ready;
  Pipe release;
  pid_t pid = Fork([&] {
    int fd = ::open(path_.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1024;
    if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0) return 1;
    ready.Send();
    (void)release.Receive();
    return 0;
  });
  ASSERT_EQ(ready.Receive(), 'x');
  CXoError e = TryOpen(1);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrLock));
  EXPECT_NE(e.Message().find("LockedPID:" + std::to_string(pid)), std::string::npos) << e.Message();
  EXPECT_TRUE(platform::LogContains("LockedPid=" + std::to_string(pid)));
  release.Send();
  EXPECT_EQ(Wait(pid), 0);
  EXPECT_TRUE(TryOpen(2).IsSuccess());

  // The other way round: our writer keeps a classic reader out.
  SFileIndex writer(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(writer.Open(path_, 2, opt).IsSuccess());
  EXPECT_EQ(Wait(Fork([&] {
              int fd = ::open(path_.c_str(), O_RDONLY);
              struct flock fl {};
              fl.l_type = F_RDLCK;
              fl.l_whence = SEEK_SET;
              fl.l_len = 1024;
              return fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1;
            })),
            1);
}

// Which mechanism each storage kind uses.
TEST_F(IndexLock, StorageKindsChooseTheirLock) {
  struct Case {
    const char* name;
    int type;
    int subType;
    bool chunkIndex;
    bool skarvo;
    int fcntlLock;          // the lock seen from another descriptor while open read-write
    const char* callOpen;   // the stand-ins' record of the lock, or null
    const char* callClose;
  };
  const Case cases[] = {
      {"Disk", kFSTypeDisk, -1, false, false, F_WRLCK, nullptr, nullptr},
      {"ChunkIndexNeverLocked", kFSTypeDisk, -1, true, false, F_UNLCK, nullptr, nullptr},
      {"Cloud", kFSTypeCloud, 2, false, false, F_UNLCK, nullptr, nullptr},
      {"DataServer", kFSTypeDataServerIP, 4, false, false, F_UNLCK, "DSLock %s exclusive", "DSUnlock %s"},
      {"DataServerSubtype1", kFSTypeDataServerIP, 1, false, false, F_UNLCK, nullptr, nullptr},
      {"Distributed", kFSTypeDisk, -1, false, true, F_UNLCK, "TryLock %s", "Unlock %s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    if (c.skarvo) platform::RemoteStorage().skarvoPrefixes.push_back(dir_.path());
    CFSInitParams params = Params(c.type, c.subType);
    auto expectCall = [&](const char* format) {
      if (format == nullptr) return;
      char call[512];
      snprintf(call, sizeof(call), format, path_.c_str());
      const auto& calls = platform::RemoteStorage().calls;
      EXPECT_NE(std::find(calls.begin(), calls.end(), call), calls.end()) << call;
    };
    auto run = [&](auto& idx) {
      using Index = std::remove_reference_t<decltype(idx)>;
      auto opt = Opts<Index>(false, false);
      ASSERT_TRUE(idx.Open(path_, 2, opt).IsSuccess());
      EXPECT_EQ(HeldLockType(path_), c.fcntlLock);
      expectCall(c.callOpen);
      ASSERT_TRUE(idx.Close().IsSuccess());
      EXPECT_EQ(HeldLockType(path_), F_UNLCK);
      expectCall(c.callClose);
      if (c.callOpen == nullptr) {
        EXPECT_TRUE(platform::RemoteStorage().calls.empty());
      }
    };
    if (c.chunkIndex) {
      HeaderFields h;
      h.magic = "CHNKIDX";
      WriteFile(path_, HeaderBytes(h));
      ChunkIndex idx(&params, nullptr);
      run(idx);
      WriteFile(path_, content_);
    } else {
      SFileIndex idx(&params, nullptr);
      run(idx);
    }
  }
}

TEST_F(IndexLock, ReadersTakeASharedLock) {
  SFileIndex reader(&params_, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(reader.Open(path_, 1, opt).IsSuccess());
  EXPECT_EQ(HeldLockType(path_), F_RDLCK);

  CFSInitParams dataServer = Params(kFSTypeDataServerIP, 4);
  SFileIndex dsReader(&dataServer, nullptr);
  ASSERT_TRUE(dsReader.Open(path_, 1, opt).IsSuccess());
  const auto& calls = platform::RemoteStorage().calls;
  EXPECT_NE(std::find(calls.begin(), calls.end(), "DSLock " + path_ + " shared"), calls.end());
}

TEST_F(IndexLock, ARefusedDistributedLockFailsTheOpen) {
  platform::RemoteStorage().skarvoPrefixes.push_back(dir_.path());
  platform::RemoteStorage().tryLockFailures = 1;
  CXoError e = TryOpen(2);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrLock));
  EXPECT_EQ(e.Message(), "Unable to aquire the Lock to File [" + path_ + "]. iRet [5]");
  EXPECT_FALSE(platform::LogContains("Unable to Lock the index file")) << "the refusal itself logs nothing";
  EXPECT_TRUE(TryOpen(2).IsSuccess());
}

}  // namespace
