// Volume sizes on a real folder tree: the logical sizes walked through the local files, and the
// occupied space walked through the file-system interface, which counts a sparse file by its
// allocated blocks.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "frame_fixture.h"

namespace {

using platform::LogContains;

class VolumeSizeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    fs.reset(CFSInterface::GetFSInterfaceInstance(CFSInitParams{}));
    media.SetPath(dir.path().c_str());
  }

  std::string Make(const std::string& relative, size_t bytes) {
    const std::string path = dir.path() + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << std::string(bytes, 'x');
    return path;
  }

  // A file of `logical` bytes of which only the first `written` hold data.
  std::string MakeSparse(const std::string& relative, off_t logical, size_t written) {
    const std::string path = Make(relative, 0);
    const int fd = open(path.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, ftruncate(fd, logical));
    const std::string data(written, 'd');
    EXPECT_EQ(static_cast<ssize_t>(written), pwrite(fd, data.data(), written, 0));
    close(fd);
    return path;
  }

  static struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st));
    return st;
  }

  long long Occupied() {
    long long total = -7;
    CXoError e = SingleInstancer_FS::GetSizeOfVolumeDirectory(fs.get(), dir.path().c_str(), &total);
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    return total;
  }

  TempDir dir;
  std::unique_ptr<CFSInterface> fs;
  _JobContext job{4242, 1};
  MemoryMedia media{&job};
};

TEST_F(VolumeSizeTest, EmptyMountPathMeasuresZero) {
  EXPECT_EQ(-1, media.GetMagneticVolumeSize());
  EXPECT_EQ(0, media.PopulateMagneticVolumeSize());
  EXPECT_EQ(0, media.GetMagneticVolumeSize());
  EXPECT_EQ(0, Occupied());
  ASSERT_EQ(0, mkdir((dir.path() + "/V_1").c_str(), 0755));  // folders add nothing
  EXPECT_EQ(0, media.PopulateMagneticVolumeSize());
  EXPECT_EQ(0, media.GetMagneticVolumeSize());
  EXPECT_EQ(0, Occupied());
}

// Logical sizes in one measure, occupied space in the other, at every depth of the tree.
TEST_F(VolumeSizeTest, SparseFileCountsItsAllocatedSpaceThroughTheInterface) {
  Make("V_1/CHUNK_1/CHUNK_META_DATA_1", 5000);
  Make("V_1/CHUNK_1/a/b/c/d/e/deep", 300);  // below the fourth level
  const std::string sparse = MakeSparse("V_1/CHUNK_1/SFILE_CONTAINER_001", 1LL << 30, 4096);
  const std::string hollow = MakeSparse("V_1/CHUNK_2/SFILE_CONTAINER_001", 1 << 20, 0);
  const long long allocated = StatOf(sparse).st_blocks * 512LL;
  ASSERT_GT(allocated, 0);
  ASSERT_LT(allocated, 1LL << 30) << "the temporary folder's file system keeps no sparse files";
  ASSERT_EQ(0, StatOf(hollow).st_blocks);

  EXPECT_EQ(0, media.PopulateMagneticVolumeSize());
  EXPECT_EQ(5000 + 300 + (1LL << 30) + (1 << 20), media.GetMagneticVolumeSize());
  const long long small = StatOf(dir.path() + "/V_1/CHUNK_1/CHUNK_META_DATA_1").st_blocks * 512LL;
  // A file counts by its blocks only when they take less than its bytes.
  EXPECT_EQ(std::min(5000LL, small) + 300 + allocated + (1 << 20), Occupied());
  EXPECT_EQ(1, platform::Identity().impersonations);  // the local walk runs as the object's user
}

TEST_F(VolumeSizeTest, WalkThatCannotStart) {
  media.SetPath((dir.path() + "/absent").c_str());
  EXPECT_EQ(-1, media.PopulateMagneticVolumeSize());
  EXPECT_EQ(-1, media.GetMagneticVolumeSize());
  EXPECT_EQ(993, media.MediaFSGetLastError());
  EXPECT_TRUE(LogContains("media_fs::PopulateMagneticVolumeSize: CXoDirectory::Walk failed, path=[" + dir.path() +
                          "/absent], error="));

  long long total = -7;
  CXoError e = SingleInstancer_FS::GetSizeOfVolumeDirectory(fs.get(), (dir.path() + "/absent").c_str(), &total);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT)) << e.AsString();
  EXPECT_EQ(0, total);
  EXPECT_NE(std::string::npos, std::string(e.Stack().back().function).find("GetSizeOfVolumeDirectory"));
}

TEST_F(VolumeSizeTest, FileThatCannotBeReadFailsTheMeasurement) {
  Make("V_1/a", 10);
  const std::string bad = Make("V_1/b", 20);
  Make("V_1/c", 30);
  platform::Faults().Add(platform::FaultRule{platform::FsOp::Stat, "V_1/b", 1, 1, EIO, -1});
  long long total = 0;
  CXoError e = SingleInstancer_FS::GetSizeOfVolumeDirectory(fs.get(), dir.path().c_str(), &total);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
  EXPECT_NE(std::string::npos, e.Message().find(bad));  // the error comes back with its own text
  EXPECT_NE(std::string::npos, std::string(e.Stack().back().function).find("GetSizeOfVolumeDirectory"));
  EXPECT_TRUE(LogContains("Failed to get size of file [" + bad + "] due to error ["));

  // The local walk meets a link to nothing.
  ASSERT_EQ(0, symlink((dir.path() + "/nothing").c_str(), (dir.path() + "/V_1/link").c_str()));
  EXPECT_EQ(-1, media.PopulateMagneticVolumeSize());
  EXPECT_EQ(-1, media.GetMagneticVolumeSize());
  EXPECT_EQ(993, media.MediaFSGetLastError());
  EXPECT_TRUE(LogContains("media_fs::DirectoryWalker(): CXoFile::Stat failed, File=[" + dir.path() + "/V_1/link], error="));
}

TEST_F(VolumeSizeTest, MissingArgumentsAreRefused) {
  long long total = 5;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(SingleInstancer_FS::GetSizeOfVolumeDirectory(nullptr, "/", &total), EINVAL));
  EXPECT_TRUE(
      FXErrorUtil::IsErrNo(SingleInstancer_FS::GetSizeOfVolumeDirectory(fs.get(), dir.path().c_str(), nullptr), EINVAL));
}

}  // namespace
