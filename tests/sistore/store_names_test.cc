// The volume tree's names, the split of a store path into mount path and volume id, the feed of
// the frame's mount path cache, and the existence tests on real folders.

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "store_fixture.h"

namespace {

using SIFS = SingleInstancer_FS;

struct NameCase {
  std::string made;
  std::string expected;
};

TEST(StoreNamesTest, EveryKindOfNameForSeveralIds) {
  const NameCase cases[] = {
      {SIFS::GetVolumeDirName(0), "V_0"},
      {SIFS::GetVolumeDirName(17), "V_17"},
      {SIFS::GetVolumeDirName(UINT_MAX), "V_4294967295"},
      {SIFS::GetChunkDirName(0ULL), "CHUNK_0"},
      {SIFS::GetChunkDirName(3ULL), "CHUNK_3"},
      {SIFS::GetChunkDirName(ULLONG_MAX), "CHUNK_18446744073709551615"},
      {SIFS::GetChunkMetadataName(0), "CHUNK_META_DATA_0"},
      {SIFS::GetChunkMetadataName(123456789012ULL), "CHUNK_META_DATA_123456789012"},
      {SIFS::GetChunkMapTrailerName(3), "CHUNKMAP_TRAILER_3"},
      {SIFS::GetChunkMapTrailerName(ULLONG_MAX), "CHUNKMAP_TRAILER_18446744073709551615"},
      {SIFS::GetSFileContainerName(0), "SFILE_CONTAINER_000"},
      {SIFS::GetSFileContainerName(7), "SFILE_CONTAINER_007"},
      {SIFS::GetSFileContainerName(99), "SFILE_CONTAINER_099"},
      {SIFS::GetSFileContainerName(1000), "SFILE_CONTAINER_1000"},
      {SIFS::GetSFileContainerName(2147483647u), "SFILE_CONTAINER_2147483647"},
      {SIFS::GetSIFileName(5, 9, -1, 1024, true), "SFILE_5-9_-1-1024"},
      {SIFS::GetSIFileName(5, 9, -1, 1024, false), "NFILE_5-9_-1-1024"},
      {SIFS::GetSIFileName(ULLONG_MAX, 0, INT_MIN, 1, true), "SFILE_18446744073709551615-0_-2147483648-1"},
  };
  for (const NameCase& c : cases) EXPECT_EQ(c.expected, c.made);
}

struct SplitCase {
  std::string path;
  bool ok;
  std::string mountPath;
  unsigned int volId;
};

TEST(StoreNamesTest, PathSplitTakesTheVolumeFolderAfterTheLibraryFolder) {
  const SplitCase cases[] = {
      {"/mnt/a/OZ_MAGNETIC/V_17/CHUNK_3/CHUNK_META_DATA_3", true, "/mnt/a/OZ_MAGNETIC", 17},
      {"/mnt/a/OZ_MAGNETIC/V_17", true, "/mnt/a/OZ_MAGNETIC", 17},
      {"/mnt/a/OZ_MAGNETIC/x/V_5", true, "/mnt/a/OZ_MAGNETIC/x", 5},
      {"/mnt/V_9/OZ_MAGNETIC/V_4", true, "/mnt/V_9/OZ_MAGNETIC", 4},  // only a "V_" after the folder counts
      {"D:/lib/OZ_MAGNETIC/V_8", true, "D:/lib/OZ_MAGNETIC", 8},
      {"/mnt/a/OZ_MAGNETIC/V_", true, "/mnt/a/OZ_MAGNETIC", 0},
      {"/mnt/a/OZ_MAGNETIC/V_12abc/CHUNK_1", true, "/mnt/a/OZ_MAGNETIC", 12},
      {"/mnt/a/OZ_MAGNETIC/V_4294967295", true, "/mnt/a/OZ_MAGNETIC", 4294967295u},
      {"/mnt/a/OZ_MAGNETIC", false, "", 0},
      {"/mnt/a/OZ_MAGNETIC/CHUNK_5", false, "", 0},
      {"/mnt/a/V_5/CHUNK_5", false, "", 0},
      {"D:\\lib\\OZ_MAGNETIC\\V_8", false, "", 0},  // backslashes: converted by the caller first
      {"", false, "", 0},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.path);
    std::string mountPath = "untouched";
    unsigned int volId = 777;
    EXPECT_EQ(c.ok, ParseMountPathAndVolId(c.path, mountPath, volId));
    EXPECT_EQ(c.ok ? c.mountPath : "untouched", mountPath);
    EXPECT_EQ(c.ok ? c.volId : 777u, volId);
  }
}

class StoreNamesFixture : public StoreTest {};

TEST_F(StoreNamesFixture, MountPathCacheGetsThePathCutAtTheVolumeFolder) {
  auto store = MakeStore();
  SMountInfo windows;
  windows.m_MountPathId = 8;
  windows.m_MountPath = "D:\\lib\\OZ_MAGNETIC\\V_8";
  SMountInfo plain;
  plain.m_MountPathId = 9;
  plain.m_MountPath = "\\\\host\\share";

  EXPECT_TRUE(store->AddMPInfoToList(windows));
  EXPECT_TRUE(store->AddMPInfoToList(plain));

  EXPECT_EQ("D:/lib/OZ_MAGNETIC", windows.m_MountPath);
  EXPECT_EQ("//host/share", plain.m_MountPath);
  ASSERT_EQ(2u, store->m_MountPathCache.size());
  EXPECT_EQ("D:/lib/OZ_MAGNETIC", store->m_MountPathCache.front().m_MountPath);
  EXPECT_EQ("//host/share", store->m_MountPathCache.back().m_MountPath);
  EXPECT_EQ(1u, platform::LogCount("MPId 8, MP from reservemount [D:/lib/OZ_MAGNETIC/V_8], MP adding [D:/lib/OZ_MAGNETIC]", 1));
  EXPECT_EQ(1u, platform::LogCount("Adding MPId 9, MP [//host/share]", 1));
}

TEST_F(StoreNamesFixture, ExistenceTestsOnRealFolders) {
  const std::string chunkDir = path_append(volumePath, "CHUNK_3");
  std::filesystem::create_directories(chunkDir);

  EXPECT_EQ(1, SIFS::DoesVolFolderExist(mountPath, kVolId));
  EXPECT_EQ(0, SIFS::DoesVolFolderExist(mountPath, kVolId + 1));
  EXPECT_EQ(1, SIFS::DoesChunkFolderExist(mountPath, kVolId, 3));
  EXPECT_EQ(0, SIFS::DoesChunkFolderExist(mountPath, kVolId, 4));
  EXPECT_EQ(0, SIFS::DoesChunkMetadataExist(mountPath, kVolId, 3));
  EXPECT_EQ(0, SIFS::DoesPrimaryFileExist(mountPath, kVolId, 3, 5, 9, -1, 1024));

  std::ofstream(path_append(chunkDir, "CHUNK_META_DATA_3")) << "m";
  std::ofstream(path_append(chunkDir, "SFILE_5-9_-1-1024")) << "s";
  std::ofstream(path_append(chunkDir, "NFILE_5-9_-1-2048")) << "n";
  EXPECT_EQ(1, SIFS::DoesChunkMetadataExist(mountPath, kVolId, 3));
  EXPECT_EQ(1, SIFS::DoesPrimaryFileExist(mountPath, kVolId, 3, 5, 9, -1, 1024));
  EXPECT_EQ(0, SIFS::DoesPrimaryFileExist(mountPath, kVolId, 3, 5, 9, -1, 2048));  // only the 'N' file is there
  EXPECT_TRUE(platform::Logs().empty());
}

// A test that cannot decide answers -1, which callers tell apart from "not there".
TEST_F(StoreNamesFixture, ExistenceTestThatCannotDecideReturnsMinusOne) {
  const std::string tooLong = path_append(dir.path(), std::string(300, 'x'));
  struct Case {
    const char* operation;
    int result;
  };
  const Case cases[] = {
      {"SingleInstancer_FS::DoesVolFolderExist", SIFS::DoesVolFolderExist(tooLong, 1)},
      {"SingleInstancer_FS::DoesChunkFolderExist", SIFS::DoesChunkFolderExist(tooLong, 1, 2)},
      {"SingleInstancer_FS::DoesChunkMetadataExist", SIFS::DoesChunkMetadataExist(tooLong, 1, 2)},
      {"SingleInstancer_FS::DoesPrimaryFileExist", SIFS::DoesPrimaryFileExist(tooLong, 1, 2, 3, 4, 5, 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_EQ(-1, c.result);
    EXPECT_EQ(1u, platform::LogCount(std::string(c.operation) + ": Error in determining whether the file [" + tooLong, 1));
  }
}

TEST_F(StoreNamesFixture, CurrentFileNamesAndTheSingleInstanceId) {
  auto store = MakeStore();
  store->m_strDataFileName = std::string("/v/CHUNK_1/SFILE_CONTAINER_001\0junk", 35);
  EXPECT_EQ("/v/CHUNK_1/SFILE_CONTAINER_001", store->GetDataFileName());

  store->m_strDataFileName = "/v/CHUNK_1/SFILE_CONTAINER_001";
  const int length = static_cast<int>(store->m_strDataFileName.size());
  char buf[64];
  std::memset(buf, '#', sizeof(buf));
  EXPECT_EQ(-1, store->getSingleInstanceID(buf, length));  // no room for the terminator
  EXPECT_EQ('#', buf[0]);
  EXPECT_EQ(1u, platform::LogCount("Not enough space for the buffer to pass back Single Instance Id /v/CHUNK_1/SFILE_CONTAINER_001", 1));
  EXPECT_EQ(0, store->getSingleInstanceID(buf, length + 1));
  EXPECT_STREQ("/v/CHUNK_1/SFILE_CONTAINER_001", buf);
  EXPECT_EQ(-1, store->getSingleInstanceID(nullptr, 64));
  EXPECT_EQ(-1, store->getSingleInstanceID(buf, -5));
}

}  // namespace
