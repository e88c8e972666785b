// Cloud and hybrid mount paths: remote-file objects for a cloud mount path, container sizes on
// cloud storage, and the cache mount path of hybrid volumes through the process-wide index.

#include <gtest/gtest.h>

#include <filesystem>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "compaction_fixture.h"
#include "store_fixture.h"

namespace {

class CloudPathsTest : public StoreTest {
 protected:
  void SetUp() override { platform::ResetAll(); }

  CFSInitParams CloudParams() const {
    CFSInitParams params = FsParams();
    params.m_Type = kFSTypeCloud;
    params.m_SubType = 6;
    return params;
  }
};

TEST_F(CloudPathsTest, RemoteFileForTheMountPath) {
  std::unique_ptr<OZBaseRemoteFile> remote(SingleInstancer_FS::GetOZRemoteFile(CloudParams()));
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(remote->GetRootFolder(), mountPath);
  EXPECT_EQ(remote->GetDeviceType(), 6);
  TestStore store(&job, CloudParams(), true, 1);
  EXPECT_NE(std::unique_ptr<OZBaseRemoteFile>(store.GetNewOZRemoteFile()), nullptr);

  CFSInitParams noRoot = CloudParams();
  noRoot.m_Host.m_Path = "bucket-without-root";
  EXPECT_EQ(SingleInstancer_FS::GetOZRemoteFile(noRoot), nullptr);
  CFSInitParams missing = CloudParams();
  missing.m_Host.m_Path = dir / "nowhere";
  EXPECT_EQ(SingleInstancer_FS::GetOZRemoteFile(missing), nullptr);
}

TEST_F(CloudPathsTest, ContainerSizesAddUpByNumber) {
  TestStore store(&job, CloudParams(), true, 1);
  store.m_strChunkDir = path_append(volumePath, "CHUNK_5");
  std::unordered_map<int, unsigned long long> sizes{{1, 1000}};
  EXPECT_EQ(store.GetSfileSizesCloud(sizes), 993);  // no such chunk folder
  EXPECT_TRUE(platform::LogContains("GetSfileSizesCloud: GetFileList failed for [" + store.m_strChunkDir + "]."));
  EXPECT_EQ(sizes.size(), 1u);

  std::filesystem::create_directories(store.m_strChunkDir);
  const std::pair<const char*, size_t> objects[] = {
      {"SFILE_CONTAINER_001", 10},        {"SFILE_CONTAINER_002", 20}, {"SFILE_CONTAINER_002.compact2", 5},
      {"SFILE_CONTAINER_000", 7},         {"SFILE_CONTAINER_003.SIZE", 9}, {"SFILE_CONTAINER.idx", 100},
      {"CHUNK_META_DATA_5", 50},
  };
  for (const auto& [name, size] : objects) cmptest::WriteWhole(path_append(store.m_strChunkDir, name), std::string(size, 'x'));
  ASSERT_EQ(store.GetSfileSizesCloud(sizes), 0);
  EXPECT_EQ(sizes, (std::unordered_map<int, unsigned long long>{{1, 1010}, {2, 25}}));
  EXPECT_TRUE(platform::LogContains("Skip chunkDirName [" + store.m_strChunkDir + "], File.sName [SFILE_CONTAINER_000], "
                                    "nSfileNum [0]."));
  EXPECT_TRUE(platform::LogContains("Accept chunkDirName [" + store.m_strChunkDir + "], nSfileNum [2], mSfileSizes [25]."));

  auto disk = MakeStore();
  EXPECT_EQ(disk->GetSfileSizesCloud(sizes), 103);
  EXPECT_TRUE(platform::LogContains("GetSfileSizesCloud: Invalid m_FileInitParams.iType [0]."));
  CFSInitParams noRoot = CloudParams();
  noRoot.m_Host.m_Path = "relative";
  TestStore unreachable(&job, noRoot, true, 1);
  EXPECT_EQ(unreachable.GetSfileSizesCloud(sizes), 105);
}

class HybridTest : public StoreTest {
 protected:
  void SetUp() override {
    platform::ResetAll();
    platform::Config().jobResultsDirectory = dir.path();
    platform::MediaManager().hybridVolumes[5] = {{10, 3}, {11, 4}};
  }
  int Find(unsigned long volume, bool* opened, unsigned int attributes = 0x800) {
    return SingleInstancer_FS::FindCacheMountPath(volume, 5, &index_, attributes, nullptr, opened, false);
  }
  size_t Requests() { return platform::MediaManager().Count("getCacheMPIdForVolume"); }

  CFSInitParams params_;
  CHybridVolumesIndexFile index_{&params_};
};

TEST_F(HybridTest, OnlyMountPathsThatMayHoldHybridVolumesAreLookedUp) {
  const std::pair<unsigned int, bool> attributes[] = {{0x800, true}, {0xFFFFF7FF, false}, {0, false}, {0x801, true}};
  for (const auto& [value, hybrid] : attributes) EXPECT_EQ(SingleInstancer_FS::CanMPHaveHybridVolumes(value), hybrid);
  EXPECT_EQ(Find(11, nullptr, 0x7FF), 0);
  EXPECT_FALSE(index_.IsOpen());
  EXPECT_EQ(Requests(), 0u);
}

// A caller without a flag of its own leaves no reference to the index behind, on any road.
TEST_F(HybridTest, LookupWithoutAFlagGivesTheIndexBack) {
  EXPECT_EQ(Find(11, nullptr), 4);
  EXPECT_FALSE(index_.IsOpen());
  EXPECT_EQ(Requests(), 1u);
  // The answer went into the index file: the next lookup needs no request.
  EXPECT_EQ(Find(10, nullptr), 3);
  EXPECT_EQ(Requests(), 1u);
  EXPECT_FALSE(index_.IsOpen());

  EXPECT_EQ(Find(12, nullptr), -1);  // not a hybrid volume
  EXPECT_FALSE(index_.IsOpen());
  platform::MediaManager().serviceReachable = false;
  EXPECT_EQ(Find(13, nullptr), -1);
  EXPECT_TRUE(platform::LogContains("Error: Failed to connect to MediaManager service on Hubmaster. VolId [13]."));
  EXPECT_FALSE(index_.IsOpen());
  platform::MediaManager().serviceReachable = true;
  platform::MediaManager().Fail("getCacheMPIdForVolume");
  EXPECT_EQ(Find(14, nullptr), -1);
  EXPECT_TRUE(platform::LogContains("Error: Cannot get cachempid for volume [14]."));
  EXPECT_FALSE(index_.IsOpen());
}

TEST_F(HybridTest, LookupWithAFlagOpensTheIndexOnce) {
  bool opened = false;
  EXPECT_EQ(Find(12, &opened), -1);  // not named: the named ones are cached all the same
  EXPECT_TRUE(opened);
  EXPECT_EQ(Requests(), 1u);
  EXPECT_EQ(Find(10, &opened), 3);
  EXPECT_EQ(Find(11, &opened), 4);
  EXPECT_EQ(Requests(), 1u);
  ASSERT_EQ(index_.Close(), 0);  // the caller's one reference
  EXPECT_FALSE(index_.IsOpen());

  platform::Config().jobResultsDirectory.clear();
  bool notOpened = false;
  EXPECT_EQ(Find(10, &notOpened), -1);
  EXPECT_FALSE(notOpened);
  EXPECT_TRUE(platform::LogContains("FindCacheMountPath:"));
  EXPECT_TRUE(platform::LogContains("Failed to open hybrid volumes index file."));
}

}  // namespace
