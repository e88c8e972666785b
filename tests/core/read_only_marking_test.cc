// Read-only chunks on real files: the retention date in the access time (both encodings, the
// clamp), the permissions, folders with only their regular files marked, and failures part way.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "frame_fixture.h"

namespace {

using platform::LogContains;

class ReadOnlyMedia : public MemoryMedia {
 public:
  using MemoryMedia::MemoryMedia;
  using media_fs::m_bIsilonSmartLock;
};

constexpr long long kDay = 86400;
constexpr const char kClampText[] = "This value is more than the supported limit.Setting it to the Max possible.";

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

void MakeFile(const std::string& path, mode_t mode = 0644) {
  std::ofstream(path) << "chunk data";
  chmod(path.c_str(), mode);
}

bool IsMarked(const std::string& path) { return (StatOf(path).st_mode & 07777) == 0444; }

class ReadOnlyMarkingTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetAll(); }
  std::string Path(const std::string& name) const { return dir.path() + "/" + name; }

  _JobContext job{4242, 1};
  ReadOnlyMedia media{&job};
  TempDir dir;
};

TEST_F(ReadOnlyMarkingTest, NothingAskedTouchesNothing) {
  EXPECT_EQ(0, media.markMagneticPathReadOnly(Path("absent").c_str()));
  MakeFile(Path("CHUNK_1"));
  EXPECT_EQ(0, media.markMagneticPathReadOnly(Path("CHUNK_1").c_str()));
  EXPECT_EQ(0644u, StatOf(Path("CHUNK_1")).st_mode & 07777);
}

// The expected access time follows from the file's status change time, which the test reads
// before the marking; the retention days are chosen to land in each range of the encoding.
TEST_F(ReadOnlyMarkingTest, RetentionDateEncodingOnRealFiles) {
  MakeFile(Path("probe"));
  const long long ctimeNow = StatOf(Path("probe")).st_ctime;
  const long long wrapDays = (2147483648LL - ctimeNow) / kDay + 10;          // past 2038
  const long long clampDays = (2147483648LL + 1041397199 - ctimeNow) / kDay + 2;  // past 2071
  struct Case {
    const char* name;
    long long days;
    bool smartLock;
    bool clamped;
  };
  const Case cases[] = {
      {"zero days: the change time", 0, false, false},
      {"one day", 1, false, false},
      {"past 2038: wrapped", wrapDays, false, false},
      {"past 2071: clamped", clampDays, false, true},
      {"smart lock past 2038", wrapDays, true, false},
      {"smart lock past 2071", clampDays, true, false},
      {"days read as signed", 0xFFFFFFFFLL, false, false},  // minus one day
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetLogs();
    const std::string file = Path(std::string("CHUNK_") + std::to_string(c.days) + (c.smartLock ? "_s" : ""));
    MakeFile(file);
    const struct stat before = StatOf(file);
    media.SetChunkAsReadOnly(static_cast<unsigned long>(c.days));
    media.m_bIsilonSmartLock = c.smartLock;
    ASSERT_EQ(0, media.markMagneticPathReadOnly(file.c_str()));

    long long want = before.st_ctime + static_cast<int32_t>(static_cast<uint32_t>(c.days)) * kDay;
    if (!c.smartLock && want > 2147483647) want = std::min(want - 2147483648LL, 1041397199LL);
    const struct stat after = StatOf(file);
    EXPECT_EQ(want, static_cast<long long>(after.st_atime));
    EXPECT_EQ(before.st_mtime, after.st_mtime);
    EXPECT_TRUE(IsMarked(file));
    EXPECT_EQ(c.clamped, LogContains(kClampText));
    if (c.clamped) {
      EXPECT_TRUE(LogContains("The retention time of the file [" + file + "] to be set is [" +
                              std::to_string(static_cast<int32_t>(c.days)) + "] days."));
    }
  }
}

TEST_F(ReadOnlyMarkingTest, AFileWithoutOwnerWriteCountsAsMarked) {
  MakeFile(Path("CHUNK_1"), 0555);
  timespec times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, Path("CHUNK_1").c_str(), times, 0));
  media.SetChunkAsReadOnly(30);
  EXPECT_EQ(0, media.markMagneticPathReadOnly(Path("CHUNK_1").c_str()));
  EXPECT_EQ(1000, StatOf(Path("CHUNK_1")).st_atime);
  EXPECT_EQ(0555u, StatOf(Path("CHUNK_1")).st_mode & 07777);

  // A second marking of a marked chunk changes nothing.
  MakeFile(Path("CHUNK_2"));
  ASSERT_EQ(0, media.markMagneticPathReadOnly(Path("CHUNK_2").c_str()));
  ASSERT_TRUE(IsMarked(Path("CHUNK_2")));
  ASSERT_EQ(0, utimensat(AT_FDCWD, Path("CHUNK_2").c_str(), times, 0));
  ASSERT_EQ(0, media.markMagneticPathReadOnly(Path("CHUNK_2").c_str()));
  EXPECT_EQ(1000, StatOf(Path("CHUNK_2")).st_atime);
}

// Only the folder's regular files are marked: its sub-folders (and their files) stay writable.
TEST_F(ReadOnlyMarkingTest, FolderMarksItsRegularFilesOnly) {
  const std::string chunk = Path("CHUNK_7");
  ASSERT_EQ(0, mkdir(chunk.c_str(), 0755));
  for (const char* name : {"SFILE_CONTAINER_001", "SFILE_CONTAINER.idx", "CHUNK_META_DATA_7"}) MakeFile(chunk + "/" + name);
  ASSERT_EQ(0, mkdir((chunk + "/sub").c_str(), 0755));
  MakeFile(chunk + "/sub/inner");
  ASSERT_EQ(0, mkfifo((chunk + "/pipe").c_str(), 0644));
  media.SetChunkAsReadOnly(1);
  ASSERT_EQ(0, media.markMagneticPathReadOnly(chunk.c_str()));
  for (const char* name : {"SFILE_CONTAINER_001", "SFILE_CONTAINER.idx", "CHUNK_META_DATA_7"}) {
    EXPECT_TRUE(IsMarked(chunk + "/" + name)) << name;
  }
  EXPECT_EQ(0755u, StatOf(chunk + "/sub").st_mode & 07777);
  EXPECT_EQ(0644u, StatOf(chunk + "/sub/inner").st_mode & 07777);
  EXPECT_EQ(0644u, StatOf(chunk + "/pipe").st_mode & 07777);
  EXPECT_EQ(0755u, StatOf(chunk).st_mode & 07777);

  ASSERT_EQ(0, mkdir(Path("empty").c_str(), 0755));
  EXPECT_EQ(0, media.markMagneticPathReadOnly(Path("empty").c_str()));
}

// The entry that cannot be marked stops the folder: the files listed before it stay marked, the
// ones after it are not touched.
TEST_F(ReadOnlyMarkingTest, FailureInAFolderStopsAtThatFile) {
  const std::string chunk = Path("CHUNK_8");
  ASSERT_EQ(0, mkdir(chunk.c_str(), 0755));
  for (const char* name : {"a", "b", "c", "d"}) MakeFile(chunk + "/" + name);
  ASSERT_EQ(0, symlink((chunk + "/gone").c_str(), (chunk + "/broken").c_str()));
  std::vector<std::string> order;  // the listing's own order
  DIR* d = opendir(chunk.c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') order.push_back(e->d_name);
  }
  closedir(d);

  media.SetChunkAsReadOnly(1);
  EXPECT_EQ(-1, media.markMagneticPathReadOnly(chunk.c_str()));
  EXPECT_EQ(993, media.MediaFSGetLastError());
  EXPECT_TRUE(LogContains("Cannot stat file [" + chunk + "/broken]"));
  EXPECT_TRUE(LogContains("Cannot mark the file [" + chunk + "/broken] as read only."));
  bool passed = false;
  for (const std::string& name : order) {
    if (name == "broken") {
      passed = true;
      continue;
    }
    EXPECT_EQ(!passed, IsMarked(chunk + "/" + name)) << name;
  }
}

// A listing that breaks off is not the end of the folder: the marking fails, whether the read
// that fails is the first, one in the middle or the one that would have found the end.
TEST_F(ReadOnlyMarkingTest, AListingThatBreaksOffFailsTheMarking) {
  const std::string chunk = Path("CHUNK_9");
  ASSERT_EQ(0, mkdir(chunk.c_str(), 0755));
  const std::vector<std::string> files = {"a", "b", "c", "d"};
  for (const std::string& name : files) MakeFile(chunk + "/" + name);
  media.SetChunkAsReadOnly(1);
  for (int failingRead : {1, 3, 5}) {
    SCOPED_TRACE("read " + std::to_string(failingRead) + " fails");
    for (const std::string& name : files) ASSERT_EQ(0, chmod((chunk + "/" + name).c_str(), 0644));
    platform::ResetLogs();
    platform::Faults().Add(platform::FaultRule{platform::FsOp::ReadDir, chunk, failingRead, 1, EIO, -1});
    EXPECT_EQ(-1, media.markMagneticPathReadOnly(chunk.c_str()));
    EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), media.MediaFSGetLastError());
    EXPECT_TRUE(LogContains("Cannot get the directory entry for path [" + chunk + "], error="));
    const auto marked = std::count_if(files.begin(), files.end(), [&](const std::string& n) { return IsMarked(chunk + "/" + n); });
    EXPECT_EQ(failingRead - 1, marked);
  }
  // Read to its end, the same folder is marked whole.
  EXPECT_EQ(0, media.markMagneticPathReadOnly(chunk.c_str()));
  for (const std::string& name : files) EXPECT_TRUE(IsMarked(chunk + "/" + name)) << name;
}

TEST_F(ReadOnlyMarkingTest, FailedPermissionChangeKeepsTheNewAccessTime) {
  MakeFile(Path("CHUNK_1"));
  const struct stat before = StatOf(Path("CHUNK_1"));
  platform::Faults().Add(platform::FaultRule{platform::FsOp::Chmod, "CHUNK_1", 1, 1, EIO, -1});
  media.SetChunkAsReadOnly(2);
  EXPECT_EQ(-1, media.markMagneticPathReadOnly(Path("CHUNK_1").c_str()));
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), media.MediaFSGetLastError());
  EXPECT_TRUE(LogContains("Cannot change to read only mode for [" + Path("CHUNK_1") + "], error="));
  EXPECT_TRUE(LogContains("Cannot mark the file [" + Path("CHUNK_1") + "] as read only."));
  EXPECT_EQ(before.st_ctime + 2 * kDay, StatOf(Path("CHUNK_1")).st_atime);
  EXPECT_EQ(0644u, StatOf(Path("CHUNK_1")).st_mode & 07777);
}

TEST_F(ReadOnlyMarkingTest, MissingPathFailsTheFolderTest) {
  media.SetChunkAsReadOnly(1);
  EXPECT_EQ(-1, media.markMagneticPathReadOnly(Path("absent").c_str()));
  EXPECT_EQ(993, media.MediaFSGetLastError());
  EXPECT_TRUE(LogContains("Failed to check whether path [" + Path("absent") + "] is a directory or not, error="));
  EXPECT_EQ(-1, media.markFileReadOnly(Path("absent").c_str()));
  EXPECT_TRUE(LogContains("Cannot stat file [" + Path("absent") + "], error="));
}

TEST_F(ReadOnlyMarkingTest, SettersLogTheirChoice) {
  media.SetChunkRetentionDays(12);
  EXPECT_TRUE(LogContains("All the chunks retention day will be set to 12 "));
  MakeFile(Path("CHUNK_1"));
  EXPECT_EQ(0, media.markMagneticPathReadOnly(Path("CHUNK_1").c_str()));  // days alone ask for nothing
  EXPECT_FALSE(IsMarked(Path("CHUNK_1")));
  media.SetChunkAsReadOnly(5);
  EXPECT_TRUE(LogContains("All the chunks will be created as read only and the Retention days will be set to 5 "));
}

}  // namespace
