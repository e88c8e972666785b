// Opening files for the thread-pool managers' reads on file interfaces: interfaces made or
// reused, the open flags by storage type, and the errors.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "aio_test_util.h"
#include "platform/platform.h"
#include "recording_file.h"

namespace {

using aio_test::Folder;

bool PushedHere(const CXoError& e) {
  for (const FXCodeLocation& at : e.Stack()) {
    if (std::strcmp(at.file, "AsyncIoManager2") == 0 && std::strcmp(at.function, "OpenForAsyncRead") == 0) return true;
  }
  return false;
}

class OpenForAsyncReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", 5000));
    ASSERT_EQ(0, mgr.InitializeMgr(nullptr, &log.handle, 4096));
  }

  Folder folder;
  aio_test::TestLog log;
  CAsyncIoManager2 mgr;
};

TEST_F(OpenForAsyncReadTest, MakesAnInterfaceThatTheCallerOwns) {
  CFSInitParams params;
  CFileInterface* ifc = nullptr;
  ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc).IsSuccess());
  ASSERT_NE(nullptr, ifc);
  unsigned char byte = 0;
  unsigned int done = 0;
  ASSERT_TRUE(ifc->Seek(4999, SEEK_SET, nullptr).IsSuccess());
  ASSERT_TRUE(ifc->Read(&byte, 1, &done).IsSuccess());
  EXPECT_EQ(1u, done);
  EXPECT_EQ(aio_test::ByteAt(4999), byte);
  mgr.Close(ifc);
  mgr.Close(static_cast<CFileInterface*>(nullptr));
}

TEST_F(OpenForAsyncReadTest, ReusedInterfacesAreClosedFirstAndCounted) {
  aio_test::RecordingFile file;
  CFileInterface* ifc = &file;
  CFSInitParams params;
  ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc).IsSuccess());
  ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc).IsSuccess());
  EXPECT_EQ(&file, ifc);
  EXPECT_EQ(2, file.Closes());
  ASSERT_EQ(2u, file.OpenModes().size());
  EXPECT_EQ(0400, file.OpenModes()[0]);
  ASSERT_NE(nullptr, mgr.AllocateSlot(0));
  mgr.DeInitializeMgr();
  EXPECT_TRUE(platform::LogContains("FileIntReuseCount=2"));
}

TEST_F(OpenForAsyncReadTest, RemoteStorageTypesOpenWithTheLayersRemoteFlag) {
  struct Case {
    int type;
    bool remote;
  };
  for (Case c : {Case{0, false}, Case{1, true}, Case{2, false}, Case{4, true}, Case{6, true}}) {
    SCOPED_TRACE("storage type " + std::to_string(c.type));
    aio_test::RecordingFile file;
    CFileInterface* ifc = &file;
    CFSInitParams params;
    params.m_Type = c.type;
    ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc).IsSuccess());
    ASSERT_EQ(1u, file.OpenFlags().size());
    int flags = file.OpenFlags()[0];
    EXPECT_EQ(O_RDONLY | O_LARGEFILE | (c.remote ? kFSOpenRemoteRead : 0), flags);
  }
}

TEST_F(OpenForAsyncReadTest, Errors) {
  CFSInitParams params;
  EXPECT_TRUE(FXErrorUtil::IsWin32(mgr.OpenForAsyncRead((folder / "data").c_str(), params, nullptr), 160));

  CFSInitParams unknown;
  unknown.m_Type = 99;
  CFileInterface* none = nullptr;
  EXPECT_TRUE(FXErrorUtil::IsWin32(mgr.OpenForAsyncRead((folder / "data").c_str(), unknown, &none), 8));
  EXPECT_EQ(nullptr, none);

  CFileInterface* made = nullptr;
  EXPECT_TRUE(FXErrorUtil::IsWin32(mgr.OpenForAsyncRead(nullptr, params, &made), 160)) << "no path";
  mgr.Close(made);

  // A failed open: the interface made belongs to the caller all the same.
  CFileInterface* ifc = nullptr;
  CXoError err = mgr.OpenForAsyncRead((folder / "missing").c_str(), params, &ifc);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
  EXPECT_TRUE(PushedHere(err));
  ASSERT_NE(nullptr, ifc);

  // A failed close of the file the interface had open stops the operation.
  ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc).IsSuccess());
  platform::Faults().Add({platform::FsOp::Close, "data", 1, 1, EIO});
  err = mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << err.AsString();
  EXPECT_TRUE(PushedHere(err));
  EXPECT_EQ(1, platform::Faults().Calls(platform::FsOp::Open, "data"));
  mgr.Close(ifc);
}

}  // namespace
