// Creating archive files (chunks and trailers) and continuing a chunk that an earlier job wrote.
// A disk backup's first chunk takes the process's file flusher, hence the threaded binary.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "backup_job.h"
#include "platform/media_manager_calls.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;
using sitest::ObjectShape;
using sitest::WrittenObject;

constexpr long long kChunkId = 12;

class CreateTest : public StoreTest {
 public:
  std::unique_ptr<TestStore> Backup(bool containerMode = true, int cloudMode = 0) {
    auto store = MakeStore(containerMode, cloudMode);
    InitBackup(*store);
    return store;
  }

  // A job that writes `count` objects into chunk `chunkId` (appending when asked), checkpoints
  // and closes; its objects in order.
  std::vector<WrittenObject> Job(long long chunkId, int count, bool append, uint64_t firstKey = 1) {
    auto store = Backup();
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, append);
    EXPECT_EQ(0, store->Create(&id));
    std::vector<WrittenObject> out;
    std::mt19937_64 rng(firstKey);
    for (int i = 0; i < count; ++i) {
      WrittenObject w;
      EXPECT_EQ(0, sitest::WriteObject(*store, {firstKey + i, static_cast<uint32_t>(rng() % 5000), 100, rng()}, w));
      out.push_back(w);
    }
    EXPECT_EQ(0, sitest::Checkpoint(*store));
    EXPECT_EQ(0, store->Close());
    return out;
  }
};

struct TypeCase {
  uint32_t dataType;
  const char* text;  // the error text left behind
  const char* log;
};

TEST_F(CreateTest, ArchiveTypesTheStoreDoesNotKeepAreRefused) {
  auto store = Backup();
  const TypeCase cases[] = {
      {MEDIA_HEADER, "", "Some has tried to create a MEDIA_HEADER on magnetic.. that is not supported after 4.2 "},
      {ARCHIVE_HEADER, "Invalid archive file type specified", "Invalid Archive File data type has been specified"},
      {ARCHIVE_TRAILER, "Invalid archive file type specified", "Invalid Archive File data type has been specified"},
      {6, "Invalid archive file type specified", "Invalid Archive File data type has been specified"},
  };
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(c.dataType);
    store->SetErrorString("");
    MediaFSArchiveFileId_t id = ArchiveId(kChunkId, false, c.dataType);
    EXPECT_EQ(-1, store->CreateSpecific(&id));
    EXPECT_EQ(kMFSErrUnknownArchiveType, store->MediaFSGetLastError());
    EXPECT_STREQ(c.text, store->GetErrorString());
    EXPECT_TRUE(platform::LogContains(c.log));
    EXPECT_TRUE(std::filesystem::is_empty(volumePath));
  }
}

// A trailer starts at offset 0 of its file, whatever the chunk before it wrote.
TEST_F(CreateTest, TrailersAreFilesOfTheVolumeFolder) {
  auto store = Backup();
  MediaFSArchiveFileId_t chunk = ArchiveId(kChunkId);
  ASSERT_EQ(0, store->Create(&chunk));
  int eom = 0;
  ASSERT_EQ(5, store->WriteToMetaData("chunk", 5, &eom));
  ASSERT_EQ(0, store->Close());
  for (uint32_t type : {CHUNKMAP_TRAILER, MEDIA_TRAILER}) {
    MediaFSArchiveFileId_t id = ArchiveId(kChunkId, false, type);
    ASSERT_EQ(0, store->Create(&id));
    EXPECT_EQ(0, store->GetMetaDataFileOffset());
    const std::string name = type == MEDIA_TRAILER ? "MEDIA_TRAILER" : "CHUNKMAP_TRAILER_12";
    EXPECT_EQ(path_append(volumePath, name), store->m_strArchiveFileName);
    EXPECT_EQ(ChunkDir(kChunkId), store->m_strChunkDir);
    const std::string text(kVolumeBlock, 'M');
    ASSERT_EQ(static_cast<int>(kVolumeBlock), store->Write(text.data(), text.size()));
    ASSERT_EQ(0, store->Close());
    EXPECT_EQ(text, sitest::ReadWholeFile(path_append(volumePath, name)));
  }
}

TEST_F(CreateTest, ChunkFolderRules) {
  auto store = Backup();
  std::filesystem::create_directories(ChunkDir(kChunkId));
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
  EXPECT_EQ(-1, store->CreateSpecific(&id));
  EXPECT_TRUE(platform::LogContains("The path [" + ChunkDir(kChunkId) + "] already exists."));
  EXPECT_TRUE(std::filesystem::is_empty(ChunkDir(kChunkId)));

  MediaFSArchiveFileId_t missing = ArchiveId(kChunkId + 1, true);
  EXPECT_EQ(-1, store->CreateSpecific(&missing));
  EXPECT_TRUE(platform::LogContains("The path [" + ChunkDir(kChunkId + 1) + "] does not exist."));
  EXPECT_FALSE(std::filesystem::exists(ChunkDir(kChunkId + 1)));

  platform::Faults().Add({FsOp::CreateDirectory, "CHUNK_14", 1, 1, ENOSPC});
  MediaFSArchiveFileId_t full = ArchiveId(14);
  EXPECT_EQ(-1, store->CreateSpecific(&full));
  EXPECT_EQ(767, store->MediaFSGetLastError());
  EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
  EXPECT_TRUE(platform::LogContains("Could not create chunk directory"));

  platform::Faults().Add({FsOp::Open, "CHUNK_META_DATA_15", 1, 1, EACCES});
  MediaFSArchiveFileId_t denied = ArchiveId(15);
  EXPECT_EQ(-1, store->CreateSpecific(&denied));
  EXPECT_EQ(996, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::CreateSpecific: Failed to create the metadata file ["));
}

// Free space at the low-water mark refuses a chunk (tested with the road); one byte more, or a
// query that fails, lets it through; on distributed storage nothing is asked.
TEST_F(CreateTest, LowWaterMarkIsCheckedUnlessTheQueryFailsOrTheStorageIsDistributed) {
  reserve.m_lowWaterMarkMB = 10;
  auto store = Backup();
  platform::Faults().SetFreeSpace(mountPath, (10ull << 20) + 1);
  MediaFSArchiveFileId_t a = ArchiveId(1);
  EXPECT_EQ(0, store->Create(&a));
  ASSERT_EQ(0, store->Close());

  platform::Faults().SetFreeSpace(mountPath, 10ull << 20);
  platform::Faults().Add({FsOp::FreeSpace, "", 1, 1, EIO});
  MediaFSArchiveFileId_t b = ArchiveId(2);
  EXPECT_EQ(0, store->Create(&b));
  ASSERT_EQ(0, store->Close());

  platform::RemoteStorage().skarvoPrefixes.push_back(mountPath);
  const long long queries = platform::Faults().Calls(FsOp::FreeSpace);
  MediaFSArchiveFileId_t c = ArchiveId(3);
  EXPECT_EQ(0, store->Create(&c));
  EXPECT_EQ(queries, platform::Faults().Calls(FsOp::FreeSpace));
  ASSERT_EQ(0, store->Close());
  MediaFSArchiveFileId_t appended = ArchiveId(3, true);
  EXPECT_EQ(-1, store->CreateSpecific(&appended));
  EXPECT_TRUE(platform::LogContains("Cannot append to chunk for skarvo paths."));
  EXPECT_EQ(0u, platform::MediaManager().Count("markFull"));
}

struct LimitCase {
  const char* name;
  bool strataform;
  int attributes;
  long long size;   // configured, 0: absent
  long long items;
  uint64_t wantSize;
  uint64_t wantItems;
};

TEST_F(CreateTest, ContainerLimitsAreReadAtTheFirstChunk) {
  const LimitCase cases[] = {
      {"plain mount path", false, 0, 0, 0, 64ull << 20, 100},
      {"attribute 0x80", false, 0x80, 0, 0, 64ull << 20, 256},
      {"distributed storage", true, 0x80, 0, 0, 512ull << 20, 8192},
      {"configured", true, 0, 12345, 7, 12345, 7},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    std::filesystem::remove_all(volumePath);
    std::filesystem::create_directories(volumePath);
    if (c.strataform) platform::RemoteStorage().skarvoPrefixes.push_back(mountPath);
    if (c.size != 0) SetConfig("MaxSFileContainerSize", c.size);
    if (c.items != 0) SetConfig("MaxSFileContainerItems", c.items);
    reserve.m_mountPathAttributes = c.attributes;
    auto store = Backup();
    MediaFSArchiveFileId_t id = ArchiveId(1);
    ASSERT_EQ(0, store->Create(&id));
    EXPECT_EQ(c.wantSize, store->m_MaxSfileContainerSize);
    EXPECT_EQ(c.wantItems, store->m_MaxSfileContainerItems);
    ASSERT_EQ(0, store->Close());
    // Read once: a second chunk keeps them.
    SetConfig("MaxSFileContainerSize", 999);
    MediaFSArchiveFileId_t next = ArchiveId(2);
    ASSERT_EQ(0, store->Create(&next));
    EXPECT_EQ(c.wantSize, store->m_MaxSfileContainerSize);
    ASSERT_EQ(0, store->Close());
  }
  reserve.m_mountPathAttributes = 0;
}

TEST_F(CreateTest, CloudCreateModeIsKeptForTheContainers) {
  auto store = Backup(true, 1);
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
  id.bCreateMode = true;
  ASSERT_EQ(0, store->Create(&id));
  EXPECT_TRUE(store->m_bCloudCreateMode);
  ASSERT_EQ(0, store->Close());
}

TEST_F(CreateTest, ImpersonationFailureFailsTheCreation) {
  auto store = Backup();
  ASSERT_TRUE(store->InitFileInterfaceCache());
  platform::Identity().impersonateThrows = 1;
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
  EXPECT_EQ(-1, store->CreateSpecific(&id));
  EXPECT_EQ(751, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::CreateSpecific: Caught exception in impersonation"));
  EXPECT_FALSE(std::filesystem::exists(ChunkDir(kChunkId)));
}

// ---- Continuing a chunk --------------------------------------------------------------------

TEST_F(CreateTest, AppendContinuesAfterTheLastObjectMetadataAndContainer) {
  SetConfig("MaxSFileContainerItems", 3);
  const std::vector<WrittenObject> first = Job(kChunkId, 7, false);  // containers 1, 1, 1, 2, 2, 2, 3
  ASSERT_EQ(3u, first.back().container);
  const uint64_t metaSize = std::filesystem::file_size(MetaDataPath(kChunkId));

  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  ASSERT_EQ(0, store->Create(&id));
  EXPECT_EQ(3u, store->m_SfileNumber);
  EXPECT_EQ(metaSize, store->m_MetaDataFileOffset);
  EXPECT_EQ(1, store->m_MDIdxState);
  EXPECT_TRUE(store->m_fdSFileIdx.IsValid());
  EXPECT_TRUE(store->m_fdChunkMDIdx.IsValid());
  EXPECT_EQ(7u, store->GetLastObjectNumber());
  EXPECT_TRUE(platform::LogContains("Append mode [Yes]"));

  WrittenObject w;
  ASSERT_EQ(0, sitest::WriteObject(*store, {8, 100, 50, 8}, w));
  EXPECT_EQ(4u, w.container);
  EXPECT_EQ(128u, w.offset);
  EXPECT_EQ(metaSize, w.metaOffset);
  ASSERT_EQ(0, sitest::Checkpoint(*store));
  ASSERT_EQ(0, store->Close());

  for (const auto& old : first) {
    EXPECT_EQ(sitest::ObjectBytes(old.shape),
              sitest::FileBytes(ContainerPath(kChunkId, old.container), old.offset, old.shape.Length()));
  }
  const sitest::RawIndex sfile = sitest::ReadContainerIndex(ContainerIndexPath(kChunkId));
  ASSERT_EQ(8u, sfile.records.size());
  EXPECT_EQ(4u, sitest::DecodeContainerRecord(sfile.records[7]).ContainerNo);
  EXPECT_EQ(8u, sitest::ReadMetaDataIndex(MetaDataPath(kChunkId) + ".idx").records.size());
}

// A pruner may have deleted the records of the last container; its number stays taken, so its
// file is never created again over what may still be in it.
TEST_F(CreateTest, AppendCountsDeletedRecordsForTheContainerNumber) {
  SetConfig("MaxSFileContainerItems", 3);
  Job(kChunkId, 7, false);
  {
    CFSInitParams params = FsParams();
    SingleInstancer_FS::SfileIndex index(&params, nullptr);
    SingleInstancer_FS::SfileIndex::Options options{false, true, true};
    ASSERT_TRUE(index.Open(ContainerIndexPath(kChunkId), 2, options).IsSuccess());
    SSfileContainerIndexEntry last{};
    ASSERT_TRUE(index.GetEntry(6, &last).IsSuccess());
    last.Deleted = 1;
    ASSERT_TRUE(index.UpdateEntry(6, &last).IsSuccess());
    ASSERT_TRUE(index.Close().IsSuccess());
  }
  const std::string third = sitest::ReadWholeFile(ContainerPath(kChunkId, 3));
  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  ASSERT_EQ(0, store->Create(&id));
  EXPECT_EQ(3u, store->m_SfileNumber);
  WrittenObject w;
  ASSERT_EQ(0, sitest::WriteObject(*store, {8, 100, 50, 8}, w));
  EXPECT_EQ(4u, w.container);
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(third, sitest::ReadWholeFile(ContainerPath(kChunkId, 3)));
}

// Containers that an interrupted job created without indexing anything into them are passed over.
TEST_F(CreateTest, AppendNeverCreatesAContainerOverAnExistingFile) {
  Job(kChunkId, 2, false);  // container 1
  for (unsigned int n : {2u, 3u}) {
    std::ofstream(ContainerPath(kChunkId, n), std::ios::binary) << "left by a crash " << n;
  }
  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  ASSERT_EQ(0, store->Create(&id));
  WrittenObject w;
  ASSERT_EQ(0, sitest::WriteObject(*store, {3, 100, 50, 3}, w));
  EXPECT_EQ(4u, w.container);
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ("left by a crash 2", sitest::ReadWholeFile(ContainerPath(kChunkId, 2)));
  EXPECT_EQ("left by a crash 3", sitest::ReadWholeFile(ContainerPath(kChunkId, 3)));
  EXPECT_TRUE(platform::LogContains("already exists; going on with the next number"));
}

TEST_F(CreateTest, AppendToAChunkWithoutIndexes) {
  std::filesystem::create_directories(ChunkDir(kChunkId));
  std::ofstream(MetaDataPath(kChunkId), std::ios::binary) << std::string(300, 'm');
  std::ofstream(ContainerPath(kChunkId, 1), std::ios::binary) << "an unindexed container";
  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  ASSERT_EQ(0, store->Create(&id));
  EXPECT_EQ(300u, store->m_MetaDataFileOffset);
  EXPECT_EQ(-1, store->m_MDIdxState);
  EXPECT_EQ(0u, store->m_SfileNumber);
  EXPECT_FALSE(store->m_fdSFileIdx.IsValid());
  EXPECT_FALSE(store->m_fdChunkMDIdx.IsValid());
  WrittenObject w;
  ASSERT_EQ(0, sitest::WriteObject(*store, {1, 10, 20, 1}, w));
  EXPECT_EQ(2u, w.container);
  EXPECT_EQ(300u, w.metaOffset);
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(std::string(300, 'm') + sitest::MetaBytes(w.shape), sitest::ReadWholeFile(MetaDataPath(kChunkId)));
}

// A job that died before its first checkpoint leaves its index files without a header (they are
// written at the first flush), or, after a power loss that kept their size and none of their
// pages, full of zeros: they hold no record, and the next job makes them again.
TEST_F(CreateTest, AppendAfterAJobThatDiedBeforeItsFirstCheckpoint) {
  struct Case {
    const char* name;
    std::string containerIndex, metaDataIndex;
  };
  long long chunkId = kChunkId;
  for (const Case& c : {Case{"short", "", "CHNK"}, Case{"zeros", std::string(4096, '\0'), std::string(512, '\0')}}) {
    SCOPED_TRACE(c.name);
    ++chunkId;
    std::filesystem::create_directories(ChunkDir(chunkId));
    std::ofstream(MetaDataPath(chunkId), std::ios::binary) << "";
    std::ofstream(ContainerIndexPath(chunkId), std::ios::binary) << c.containerIndex;
    std::ofstream(MetaDataPath(chunkId) + ".idx", std::ios::binary) << c.metaDataIndex;
    std::ofstream(ContainerPath(chunkId, 1), std::ios::binary) << sitest::ContainerHeader();
    auto store = Backup();
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, true);
    ASSERT_EQ(0, store->Create(&id));
    EXPECT_EQ(-1, store->m_MDIdxState);
    EXPECT_FALSE(store->m_fdSFileIdx.IsValid());
    WrittenObject w;
    ASSERT_EQ(0, sitest::WriteObject(*store, {1, 10, 20, 1}, w));
    EXPECT_EQ(2u, w.container);
    ASSERT_EQ(0, sitest::Checkpoint(*store));
    ASSERT_EQ(0, store->Close());
    EXPECT_EQ(1u, sitest::ReadContainerIndex(ContainerIndexPath(chunkId)).records.size());
    EXPECT_EQ(1u, sitest::ReadMetaDataIndex(MetaDataPath(chunkId) + ".idx").records.size());
    EXPECT_EQ(sitest::ContainerHeader(), sitest::ReadWholeFile(ContainerPath(chunkId, 1)));
  }
}

TEST_F(CreateTest, AppendGoesOnWithoutADamagedMetaDataIndex) {
  Job(kChunkId, 2, false);
  const std::string indexPath = MetaDataPath(kChunkId) + ".idx";
  std::string damaged = sitest::ReadWholeFile(indexPath);
  damaged[9] ^= 0x40;  // the header's version, under its CRC
  std::ofstream(indexPath, std::ios::binary | std::ios::trunc) << damaged;

  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  ASSERT_EQ(0, store->Create(&id));
  EXPECT_EQ(2, store->m_MDIdxState);
  EXPECT_TRUE(platform::LogContains("InitExistingChunkForWriting: Cannot open index file [" + indexPath));
  WrittenObject w;
  ASSERT_EQ(0, sitest::WriteObject(*store, {3, 10, 20, 3}, w));
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(damaged, sitest::ReadWholeFile(indexPath));
}

// Another process holds the container index: the chunk cannot be continued, and nothing of it
// changes.
TEST_F(CreateTest, AppendFailsWhileAnotherProcessHoldsTheContainerIndex) {
  Job(kChunkId, 2, false);
  const int fd = ::open(ContainerIndexPath(kChunkId).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_len = 1024;
  ASSERT_EQ(0, fcntl(fd, F_OFD_SETLK, &lock));
  const std::string before = sitest::ReadWholeFile(MetaDataPath(kChunkId));

  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  EXPECT_EQ(-1, store->Create(&id));
  EXPECT_TRUE(platform::LogContains("InitExistingChunkForWriting: Failed to open file [" + ContainerIndexPath(kChunkId)));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::CreateSpecific: Failed to get existing data file number."));
  ::close(fd);
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(before, sitest::ReadWholeFile(MetaDataPath(kChunkId)));
}

// Outside container mode a chunk's metadata file is opened empty: continuing one would lose it.
TEST_F(CreateTest, AppendOutsideContainerModeIsRefused) {
  std::filesystem::create_directories(ChunkDir(kChunkId));
  std::ofstream(MetaDataPath(kChunkId), std::ios::binary) << "objects of an earlier job";
  auto store = Backup(false);
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId, true);
  EXPECT_EQ(-1, store->Create(&id));
  EXPECT_EQ("objects of an earlier job", sitest::ReadWholeFile(MetaDataPath(kChunkId)));
}

}  // namespace
