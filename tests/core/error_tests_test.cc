// Error values and tests: the last error, item-not-found, the chunk-bad decision with its probe of
// a real mount path folder, and the path helpers it uses.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "frame_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

TEST_F(FrameTest, ConvertAndSetLastMMErrorKeepsCodeAndText) {
  const CXoError errors[] = {
      FXErrorUtil::ErrorMM(FX_LOCATION, 993, "gone"),
      FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOSPC),
      FXErrorUtil::ErrorWin32(FX_LOCATION, 5),
  };
  for (const CXoError& e : errors) {
    const long long code = media->ConvertAndSetLastMMError(e);
    EXPECT_EQ(MMS2BaseError::ConvertToMMError(e), code);
    EXPECT_EQ(code, media->MediaFSGetLastError());
    EXPECT_EQ(e.AsString(), media->m_strLastErrorMsg);
  }
}

TEST_F(FrameTest, DataBaseErrorStringHasStrncpySemantics) {
  char buf[12];
  media->m_strLastErrorMsg = "0123456789ABC";
  std::memset(buf, 'z', sizeof(buf));
  media->GetDataBaseErrorString(buf, 10);
  EXPECT_EQ(0, std::memcmp(buf, "0123456789zz", 12));  // no terminator, nothing past 10 bytes

  media->m_strLastErrorMsg = "abc";
  std::memset(buf, 'z', sizeof(buf));
  media->GetDataBaseErrorString(buf, 10);
  EXPECT_EQ(0, std::memcmp(buf, "abc\0\0\0\0\0\0\0zz", 12));

  media->GetWindowsErrorString(ENOENT);
  EXPECT_EQ(std::strerror(ENOENT), media->m_strLastErrorMsg);
}

TEST(ItemNotFound, ByFacilityAndCode) {
  struct Case {
    CXoError error;
    bool notFound;
  };
  const Case cases[] = {
      {FXErrorUtil::ErrorMM(FX_LOCATION, 993), true},     {FXErrorUtil::ErrorMM(FX_LOCATION, 1005), true},
      {FXErrorUtil::ErrorMM(FX_LOCATION, 1204), false},   {FXErrorUtil::ErrorMM(FX_LOCATION, 2), false},
      {FXErrorUtil::ErrorErrNo(FX_LOCATION, 2), true},    {FXErrorUtil::ErrorErrNo(FX_LOCATION, 20), true},
      {FXErrorUtil::ErrorErrNo(FX_LOCATION, 14), true},   {FXErrorUtil::ErrorErrNo(FX_LOCATION, 13), false},
      {FXErrorUtil::ErrorWin32(FX_LOCATION, 2), true},    {FXErrorUtil::ErrorWin32(FX_LOCATION, 3), true},
      {FXErrorUtil::ErrorWin32(FX_LOCATION, 993), false}, {CXoError::Success(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error.AsString());
    EXPECT_EQ(c.notFound, IsMediaFSItemNotFoundError(c.error));
  }
}

TEST(MarkChunkBad, DecidedByCodeWithoutAProbe) {
  struct Case {
    int type;
    int subType;
    MM_longlong code;
    bool bad;
    int line;  // -7: left as it was
  };
  const Case cases[] = {
      {0, 3, 764, false, -7},     {0, -1, 764, false, 3759},  {0, -1, 1204, true, 3763},
      {1, 2, 68013, true, 3763},  {0, -1, 996, false, 3759},  {0, -1, 1210, false, 3759},
      {1, 2, 993, true, 3781},    {1, 2, 44111, true, 3781},  {1, 2, 1207, false, 3786},
      {1, 2, 44036, false, 3786}, {1, 2, 101, false, 3788},   {1, 2, 52502, false, 3788},
      {2, 4, 52504, false, 3805}, {2, 4, 101, false, 3805},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.subType << " " << c.code);
    CFSInitParams params;
    params.m_Type = c.type;
    params.m_SubType = c.subType;
    int line = -7;
    EXPECT_EQ(c.bad, IsMarkChunkBadMMError(c.code, &params, "/nowhere/OZ_MAGNETIC/V_1", &line));
    EXPECT_EQ(c.line, line);
    EXPECT_EQ(c.bad, IsMarkChunkBadMMError(c.code, &params, "/nowhere/OZ_MAGNETIC/V_1", nullptr));
  }
  EXPECT_EQ(0, Faults().Calls(FsOp::Open));
}

// A mount path folder "<tmp>/lib/OZ_MAGNETIC" with a volume folder inside.
class MarkChunkBadProbe : public ::testing::Test {
 protected:
  MarkChunkBadProbe() {
    std::filesystem::create_directories(root + "/V_12");
    chunk = root + "/V_12/CHUNK_3";
  }

  bool Probe(const std::string& path, int* line, MM_longlong code = 52502) {
    CFSInitParams params;
    return IsMarkChunkBadMMError(code, &params, path, line);
  }

  bool TestFileLeft() const { return std::filesystem::exists(root + "/ReadWriteTest.txt"); }

  TempDir tmp;
  std::string root = tmp.path() + "/lib/OZ_MAGNETIC";
  std::string chunk;
};

TEST_F(MarkChunkBadProbe, HealthyMountPathBlamesTheChunk) {
  int line = 0;
  EXPECT_TRUE(Probe(chunk, &line));
  EXPECT_EQ(3889, line);
  EXPECT_FALSE(TestFileLeft());
  // The file is closed before it is opened again, and closed at the end.
  EXPECT_EQ(2, Faults().Calls(FsOp::Open, "ReadWriteTest.txt"));
  EXPECT_EQ(2, Faults().Calls(FsOp::Close, "ReadWriteTest.txt"));

  // Backslashes and data server paths lead to the same root.
  std::string backslashed = chunk;
  backslashed.replace(backslashed.rfind('/'), 1, "\\");
  EXPECT_TRUE(Probe(backslashed, &line));
  EXPECT_TRUE(Probe("IP|1|2|nas01|3|" + chunk, &line));
  EXPECT_EQ(3889, line);
}

TEST_F(MarkChunkBadProbe, PathsThatCannotBeProbed) {
  struct Case {
    std::string path;
    int line;
  };
  const Case cases[] = {
      {"", 0},
      {tmp.path() + "/lib/V_12/CHUNK_3", 0},
      {tmp.path() + "/other/OZ_MAGNETIC/V_1/CHUNK_3", 3849},
      {"IP|1|2|nas01|3", 3826},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int line = -7;
    EXPECT_FALSE(Probe(c.path, &line));
    EXPECT_EQ(c.line, line);
  }
  EXPECT_EQ(0, Faults().Calls(FsOp::Open));
}

// The process runs as root in CI, where a folder of mode 0555 is still writable, so the
// read-only mount path is made by the file-system layer failing the create with EROFS, exactly
// as a read-only mount answers. A non-root run also tries a real 0555 folder.
TEST_F(MarkChunkBadProbe, ReadOnlyMountPathIsNotTheChunksFault) {
  Faults().Add(FaultRule{FsOp::Open, "ReadWriteTest.txt", 1, -1, EROFS});
  int line = 0;
  EXPECT_FALSE(Probe(chunk, &line));
  EXPECT_EQ(3901, line);
  EXPECT_FALSE(TestFileLeft());
  EXPECT_EQ(0, Faults().Calls(FsOp::Remove, "ReadWriteTest.txt"));

  if (geteuid() != 0) {
    Faults().Reset();
    ASSERT_EQ(0, chmod(root.c_str(), 0555));
    EXPECT_FALSE(Probe(chunk, &line));
    EXPECT_EQ(3901, line);
    chmod(root.c_str(), 0755);
  }
}

TEST_F(MarkChunkBadProbe, FailureAfterCreateRemovesTheTestFile) {
  for (FsOp op : {FsOp::Write, FsOp::Read}) {
    SCOPED_TRACE(platform::FsOpName(op));
    Faults().Reset();
    Faults().Add(FaultRule{op, "ReadWriteTest.txt", 1, 1, EIO});
    int line = 0;
    EXPECT_FALSE(Probe(chunk, &line));
    EXPECT_EQ(3901, line);
    EXPECT_FALSE(TestFileLeft());
  }
  // The reopen fails.
  Faults().Reset();
  Faults().Add(FaultRule{FsOp::Open, "ReadWriteTest.txt", 2, 1, EACCES});
  int line = 0;
  EXPECT_FALSE(Probe(chunk, &line));
  EXPECT_EQ(3901, line);
  EXPECT_FALSE(TestFileLeft());
}

TEST_F(MarkChunkBadProbe, TestFileIsUsableByOwnerAndGroup) {
  // A failed remove leaves the file behind, with the mode it was created with.
  Faults().Add(FaultRule{FsOp::Remove, "ReadWriteTest.txt", 1, 1, EIO});
  const mode_t old = umask(0);
  int line = 0;
  EXPECT_TRUE(Probe(chunk, &line));
  umask(old);
  ASSERT_TRUE(TestFileLeft());
  struct stat st {};
  ASSERT_EQ(0, stat((root + "/ReadWriteTest.txt").c_str(), &st));
  EXPECT_EQ(0660u, st.st_mode & 0777);
  std::ifstream in(root + "/ReadWriteTest.txt", std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string("OZMEDIALABEL", 13), content);
}

TEST_F(MarkChunkBadProbe, ImpersonationFailureIsCaughtAndTheLockLeft) {
  platform::Identity().impersonateThrows = 1;
  int line = 0;
  EXPECT_FALSE(Probe(chunk, &line));
  EXPECT_EQ(3911, line);

  // Another thread can take the probe lock: nobody holds it.
  bool entered = false;
  std::thread other([&entered] {
    entered = CFSInitParams::m_ReadWriteLock->enter(false);
    if (entered) CFSInitParams::m_ReadWriteLock->leave();
  });
  other.join();
  EXPECT_TRUE(entered);
}

TEST(ConvertSlashes, OnlyBackslashesChange) {
  EXPECT_EQ("C:/mp/V_1", convertSlashes("C:\\mp\\V_1"));
  EXPECT_EQ("", convertSlashes(""));
  EXPECT_EQ("//a//b/", convertSlashes("\\/a/\\b\\"));
}

}  // namespace
