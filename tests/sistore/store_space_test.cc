// Space accounting: free space read through the file-system layer (set and failed by injection),
// the remaining space, the records the media manager is given and their order, the volume size,
// and the volume marked full after a write that found the disk full.

#include <fstream>

#include "platform/media_manager_calls.h"
#include "store_fixture.h"

namespace {

class StoreSpaceTest : public StoreTest {
 public:
  // The media manager calls that account for space, in order.
  static std::vector<std::string> SpaceOps() {
    return MediaManagerOps({"incrNumPhysicalBytes", "updateDataTransferInfo", "setVolumeSize", "markFull"});
  }
  static std::vector<long long> ArgsOf(const std::string& op) { return MediaManagerLastArgs(op); }
  // A store initialised for a backup, with the media manager's records of Init forgotten.
  std::unique_ptr<TestStore> Backup() {
    auto store = MakeStore();
    InitBackup(*store);
    platform::MediaManager().calls.clear();
    platform::ResetLogs();
    return store;
  }
};

TEST_F(StoreSpaceTest, FreeSpaceOfTheMountPathInBytes) {
  auto store = Backup();
  platform::Faults().SetFreeSpace(mountPath, 123456789);
  unsigned long long bytes = 0;
  EXPECT_EQ(0, store->getFreeSpaceFromMedia(bytes));
  EXPECT_EQ(123456789u, bytes);
}

// A failure that the mount path's probe blames on the chunk is -1; one that it does not is -2.
TEST_F(StoreSpaceTest, FreeSpaceFailuresSayWhetherTheChunkIsBad) {
  struct Case {
    int err;
    int result;
    long long lastError;
  };
  for (const Case c : {Case{EIO, -1, MMS2BaseError::ConvertToMMError(EIO)}, Case{EACCES, -2, 996}}) {
    SCOPED_TRACE(c.err);
    auto store = Backup();
    platform::Faults().Add({platform::FsOp::FreeSpace, volumePath, 1, 1, c.err});
    unsigned long long bytes = 99;
    EXPECT_EQ(c.result, store->getFreeSpaceFromMedia(bytes));
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(c.lastError, store->MediaFSGetLastError());
    EXPECT_EQ(1u, platform::LogCount("SingleInstancer_FS::getFreeSpaceFromMedia: Cannot get free space on path [" +
                                         volumePath + "], error=",
                                     1));
  }
}

TEST_F(StoreSpaceTest, FreeSpaceWithoutAnInterfaceOrUnderAFailedImpersonation) {
  TestStore bare(&job);
  unsigned long long bytes = 99;
  EXPECT_EQ(-2, bare.getFreeSpaceFromMedia(bytes));  // nothing to ask: not the chunk's fault
  EXPECT_EQ(0u, bytes);
  EXPECT_NE(0, bare.MediaFSGetLastError());

  auto store = Backup();
  platform::Identity().impersonateThrows = 1;
  bytes = 99;
  EXPECT_EQ(-1, store->getFreeSpaceFromMedia(bytes));
  EXPECT_EQ(0u, bytes);
  EXPECT_EQ(1u, platform::LogCount("SingleInstancer_FS::getFreeSpaceFromMedia: Got exception: Impersonation failed", 1));
}

struct RemainingCase {
  long long maxSpace;
  long long occupied;
  long long physical;
  long long kbLeft;
  long long remaining;
  long long kbLeftAfter;
};

TEST_F(StoreSpaceTest, RemainingSpace) {
  const long long MiB = 1048576;
  const RemainingCase cases[] = {
      {0, 0, 1000, 100, 100 * 1024 - 1000, 100},               // no maximum: what is free, less what was written
      {0, 0, 0, 0, 0, 0},                                      // nothing free
      {0, 0, 200 * 1024, 100, 0, 100},                         // more written than was free: never below 0
      {-5, 0, 1000, 100, 100 * 1024 - 1000, 100},              // a negative maximum is none
      {10 * MiB, 4 * MiB, 1 * MiB, 999999, 5 * MiB, 999999},   // the rest of the allotment
      {10 * MiB, 9 * MiB, MiB, 999999, 0, 0},                  // exactly used up
      {10 * MiB + 1, 9 * MiB, MiB, 999999, 1, 999999},
      {10 * MiB, 12 * MiB, 0, 999999, 0, 0},                   // over the allotment
  };
  auto store = Backup();
  for (const RemainingCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.maxSpace) + "/" + std::to_string(c.occupied) + "/" + std::to_string(c.physical) +
                 "/" + std::to_string(c.kbLeft));
    store->m_llMaxSpaceToFill = c.maxSpace;
    store->m_llSpaceOccupied = c.occupied;
    store->m_llPhysicalBytes = c.physical;
    store->m_llKBRemaining = c.kbLeft;
    EXPECT_EQ(c.remaining, store->GetRemainingSpace());
    EXPECT_EQ(c.kbLeftAfter, store->m_llKBRemaining);
  }
  EXPECT_EQ(2u, platform::LogCount("The current disk space occupied by tavrix is more than the allocated.. so will be marking the disk full", 1));
  EXPECT_EQ(1u, platform::LogCount("Current space on disk occupied by tavrix 9437184 , maximum disk space allocated for tavrix is 10485760", 1));
}

TEST_F(StoreSpaceTest, PhysicalBytesGoToTheVolumeAndTheDriveInOrder) {
  auto store = Backup();
  platform::Faults().SetFreeSpace(mountPath, 5000000);
  store->m_llPhysicalBytes = 3 * 1048576 + 5;
  store->m_iArchiveType = CHUNK;
  EXPECT_EQ(0, store->UpdateNumPhysicalBytes(777));
  EXPECT_EQ((std::vector<std::string>{"incrNumPhysicalBytes", "updateDataTransferInfo"}), SpaceOps());
  EXPECT_EQ((std::vector<long long>{3 * 1048576 + 5, 5000000}), ArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ((std::vector<long long>{3, 0, 777}), ArgsOf("updateDataTransferInfo"));
}

TEST_F(StoreSpaceTest, ChunkMapTrailerCountsForTheVolumeOnly) {
  auto store = Backup();
  store->m_llPhysicalBytes = 4096;
  store->m_iArchiveType = CHUNKMAP_TRAILER;
  EXPECT_EQ(0, store->UpdateNumPhysicalBytes(1));
  EXPECT_EQ((std::vector<std::string>{"incrNumPhysicalBytes"}), SpaceOps());

  platform::MediaManager().calls.clear();
  store->m_bCountTrailerTransfer = true;
  EXPECT_EQ(0, store->UpdateNumPhysicalBytes(1));
  EXPECT_EQ((std::vector<std::string>{"incrNumPhysicalBytes", "updateDataTransferInfo"}), SpaceOps());
}

TEST_F(StoreSpaceTest, FailedFreeSpaceIsReportedAsMinusOneBytes) {
  auto store = Backup();
  platform::Faults().Add({platform::FsOp::FreeSpace, volumePath, 1, 1, EACCES});
  store->m_llPhysicalBytes = 10;
  EXPECT_EQ(0, store->UpdateNumPhysicalBytes(2));
  EXPECT_EQ((std::vector<long long>{10, -1}), ArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ((std::vector<std::string>{"incrNumPhysicalBytes", "updateDataTransferInfo"}), SpaceOps());
}

TEST_F(StoreSpaceTest, ReaderModeTellsTheMediaManagerNothing) {
  auto store = MakeStore();
  ASSERT_EQ(0, store->Init(InitParams(0, kMediaTypeReader), false));
  platform::MediaManager().calls.clear();
  store->m_bVolumeFull = true;
  EXPECT_EQ(0, store->UpdateNumPhysicalBytes(1));
  store->diskMarkFull(767);
  EXPECT_TRUE(SpaceOps().empty());
  EXPECT_FALSE(store->m_bDiskFull);
}

// A full volume reports its folder's size first: less than 1 MB is 0, 1 MB and a byte is 1.
TEST_F(StoreSpaceTest, FullVolumeReportsItsSizeInMegabytes) {
  auto store = Backup();
  store->m_bVolumeFull = true;
  std::ofstream(path_append(volumePath, "MEDIA_TRAILER"), std::ios::binary) << std::string(1048575, 'x');
  EXPECT_EQ(0, store->UpdateNumPhysicalBytes(1));
  EXPECT_EQ((std::vector<std::string>{"setVolumeSize", "incrNumPhysicalBytes", "updateDataTransferInfo"}), SpaceOps());
  EXPECT_EQ((std::vector<long long>{kVolId, 0}), ArgsOf("setVolumeSize"));

  std::ofstream(path_append(volumePath, "CHUNKMAP_TRAILER_1"), std::ios::binary) << "ab";
  EXPECT_EQ(0, store->updateVolumeSize());
  EXPECT_EQ((std::vector<long long>{kVolId, 1}), ArgsOf("setVolumeSize"));
}

TEST_F(StoreSpaceTest, VolumeSizeFailures) {
  auto store = Backup();
  platform::MediaManager().Fail("setVolumeSize", 5);
  EXPECT_EQ(-1, store->updateVolumeSize());
  EXPECT_EQ(1u, platform::LogCount("SingleInstancer_FS::updateVolumeSize:Unable to set volume size for volume [17]", 1));

  store->SetPath(path_append(volumePath, "missing").c_str());
  EXPECT_EQ(-1, store->updateVolumeSize());
  EXPECT_EQ(1u, platform::LogCount("Error in walking the directory [" + volumePath + "/missing], error=", 1));

  platform::Identity().impersonateThrows = 1;
  EXPECT_EQ(-1, store->updateVolumeSize());
  EXPECT_EQ(1u, platform::LogCount("Impersonation failed", 1));

  TestStore bare(&job);
  EXPECT_EQ(-1, bare.updateVolumeSize());
}

TEST_F(StoreSpaceTest, OnlyAFullDiskOrAnAccessDenialMarksTheVolumeFull) {
  for (unsigned int code : {0u, 1u, 1005u, 993u, 768u}) {
    auto store = Backup();
    store->diskMarkFull(code);
    EXPECT_FALSE(store->m_bDiskFull) << code;
    EXPECT_TRUE(SpaceOps().empty()) << code;
    EXPECT_TRUE(platform::Logs().empty()) << code;
  }
  for (unsigned int code : {767u, 996u}) {
    auto store = Backup();
    store->diskMarkFull(code);
    EXPECT_TRUE(store->m_bDiskFull) << code;
    EXPECT_EQ((std::vector<long long>{42001, 4242}), ArgsOf("markFull"));
    EXPECT_EQ(1u, platform::LogCount("Marking the volume 17 full", 1));
  }
}

// The roads that create files record a failure and hand its code on: ENOSPC from a write is the
// media manager's "disk full" and marks the volume.
TEST_F(StoreSpaceTest, WriteThatFindsTheDiskFullMarksTheVolume) {
  auto store = Backup();
  const std::string path = path_append(volumePath, "CHUNK_META_DATA_1");
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(store->GetFileInitParams()));
  ASSERT_TRUE(file->Open(path, O_WRONLY | O_CREAT, 0600, 0).IsSuccess());
  platform::Faults().Add({platform::FsOp::Write, path, 1, 1, ENOSPC});
  unsigned int done = 0;
  CXoError e = file->Write("abc", 3, &done);
  ASSERT_TRUE(e.IsFailure());
  store->diskMarkFull(static_cast<unsigned int>(store->ConvertAndSetLastMMError(e)));
  EXPECT_EQ(767, store->MediaFSGetLastError());
  EXPECT_TRUE(store->m_bDiskFull);
  EXPECT_EQ((std::vector<std::string>{"markFull"}), SpaceOps());
  EXPECT_EQ(42001, platform::MediaManager().volumes[kVolId].fullReason);
}

}  // namespace
