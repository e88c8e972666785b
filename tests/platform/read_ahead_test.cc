// A disk file's read with read-ahead: the asked bytes as Read gives them, and the bytes after them
// in the same call; faults come as they come to Read.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

class ReadAheadTest : public ::testing::Test {
 public:
  ReadAheadTest() : path(dir / "data") {
    for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>('a' + i % 26));
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.reset(CFileInterface::GetFileInterfaceInstance(CFSInitParams()));
    EXPECT_TRUE(file->Open(path, O_RDONLY, 0400, 0).IsSuccess());
  }

  TempDir dir;
  std::string path;
  std::string bytes;
  std::unique_ptr<CFileInterface> file;
};

TEST_F(ReadAheadTest, ReadsTheBytesAfterTheAskedOnesInTheSameCall) {
  Faults().TraceTransfers(true);
  char buf[100], ahead[16];
  unsigned int done = 0, aheadDone = 0;
  ASSERT_TRUE(file->ReadAhead(buf, 100, &done, ahead, 16, &aheadDone).IsSuccess());
  EXPECT_EQ(100u, done);
  EXPECT_EQ(16u, aheadDone);
  EXPECT_EQ(bytes.substr(0, 100), std::string(buf, 100));
  EXPECT_EQ(bytes.substr(100, 16), std::string(ahead, 16));
  EXPECT_EQ(1u, Faults().Transfers("data").size());

  // Near the end: what is left, first for the asked bytes.
  ASSERT_TRUE(file->Seek(990, SEEK_SET, nullptr).IsSuccess());
  ASSERT_TRUE(file->ReadAhead(buf, 5, &done, ahead, 16, &aheadDone).IsSuccess());
  EXPECT_EQ(5u, done);
  EXPECT_EQ(5u, aheadDone);
  ASSERT_TRUE(file->ReadAhead(buf, 100, &done, ahead, 16, &aheadDone).IsSuccess());
  EXPECT_EQ(0u, done);
  EXPECT_EQ(0u, aheadDone);
}

TEST_F(ReadAheadTest, FaultsReachItAsTheyReachRead) {
  char buf[100], ahead[16];
  unsigned int done = 7, aheadDone = 7;
  Faults().Add(FaultRule{FsOp::Read, "data", 1, 1, EIO});
  EXPECT_TRUE(file->ReadAhead(buf, 100, &done, ahead, 16, &aheadDone).IsFailure());
  EXPECT_EQ(0u, aheadDone);

  FaultRule shortRead{FsOp::Read, "data", 1, 1, 0};
  shortRead.shortBytes = 30;
  Faults().Add(shortRead);
  ASSERT_TRUE(file->ReadAhead(buf, 100, &done, ahead, 16, &aheadDone).IsSuccess());
  EXPECT_EQ(30u, done);
  EXPECT_EQ(0u, aheadDone);
  EXPECT_EQ(2, Faults().Calls(FsOp::Read, "data"));
}

}  // namespace
