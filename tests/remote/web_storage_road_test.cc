// The backup and restore road of the cloud media on each kind of store: jobs write chunks, their
// chunk map trailers and the media trailer; each chunk comes back byte for byte with and without
// read-ahead and after a seek; the media manager hears of every file and transfer.

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/media_manager_calls.h"
#include "remote/web_storage_fixture.h"

namespace {

using namespace cloudtest;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// What a chunk object holds: the data and the last block's padding.
std::string Stored(const std::string& data) {
  const size_t blocks = (data.size() + kBlock - 1) / kBlock;
  return data + std::string(blocks * kBlock - data.size(), '0');
}

class CloudRoad : public CloudKindTest {
 protected:
  // The object of `name` as the store keeps it (an S3 endpoint's through s3rver's folder).
  std::string ObjectFile(const std::string& name) const {
    if (kind() == StoreKind::kS3) return server->BucketFolder() + "/backups/V_7/" + name + "._S3rver_object";
    if (kind() == StoreKind::kObjectIds) return root + "/" + name;  // named by its id
    return VolumePath() + "/" + name;
  }

  std::string ObjectOfChunk(long long chunkId) const {
    if (kind() != StoreKind::kObjectIds) return ObjectFile("CHUNK_" + std::to_string(chunkId));
    std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
    auto it = platform::ArchiveManager().objectIds.find(static_cast<uint64_t>(chunkId));
    return it == platform::ArchiveManager().objectIds.end() ? std::string("no id") : ObjectFile(it->second);
  }
};

TEST_P(CloudRoad, JobsWriteChunksThatRestoreByteForByte) {
  const std::vector<std::pair<long long, std::string>> chunks = {
      {101, Pattern(3 * kBlock + 17, 1)}, {102, Pattern(1, 2)}, {203, Pattern(5 * (1 << 19) + 3, 3)}};
  {
    JobSetup s = Job();
    auto media = Start(s);
    for (const auto& [chunkId, data] : chunks) ASSERT_EQ(0, BackupChunk(*media, chunkId, data)) << chunkId;
    ASSERT_EQ(0, WriteFile(*media, Id(MEDIA_TRAILER, 0), "MEDIA_TRAILER_VERSION 1\n"));
  }

  for (const auto& [chunkId, data] : chunks) {
    EXPECT_EQ(ReadWhole(ObjectOfChunk(chunkId)), Stored(data)) << chunkId;
    // Trailers are objects of their own, except on a store that assigns ids.
    EXPECT_EQ(std::filesystem::exists(ObjectFile("CHUNKMAP_TRAILER_" + std::to_string(chunkId))),
              kind() != StoreKind::kObjectIds);
  }
  if (kind() != StoreKind::kObjectIds) {
    EXPECT_TRUE(std::filesystem::exists(ObjectFile("MEDIA_TRAILER")));
  }

  // Every archive file is recorded; the drive's transfers leave the trailers out.
  const platform::MMVolume volume = platform::MediaManager().volumes[kVolId];
  EXPECT_EQ(volume.numFiles, 7);
  EXPECT_EQ(MediaManagerAllArgs("updateDataTransferInfo").size(), 4u);  // three chunks, the media trailer
  EXPECT_EQ(MediaManagerAllArgs("incrNumPhysicalBytes")[4][0], static_cast<long long>(Stored(chunks[2].second).size()));
  const long long freeBytes = MediaManagerAllArgs("incrNumPhysicalBytes")[0][1];
  if (kind() == StoreKind::kS3) {
    EXPECT_EQ(freeBytes, 1LL << 40);  // the endpoint cannot tell
  } else {
    EXPECT_GT(freeBytes, 0);
  }
  // Only the 2.5 MiB chunk moved a whole megabyte; the counters start again after each add.
  EXPECT_EQ(volume.uploadedBytes, 2);

  JobSetup r = Job(4243);
  auto reader = Start(r, false);
  for (const auto& [chunkId, data] : chunks) {
    SCOPED_TRACE(chunkId);
    EXPECT_TRUE(Restore(*reader, chunkId, data.size()) == data);
    EXPECT_TRUE(Restore(*reader, chunkId, data.size(), true) == data);
    if (data.size() > 1000) {
      EXPECT_TRUE(Restore(*reader, chunkId, data.size(), true, 1000) == data.substr(1000));
      EXPECT_TRUE(Restore(*reader, chunkId, data.size(), false, 777) == data.substr(777));
    }
  }
  EXPECT_GE(platform::MediaManager().volumes[kVolId].downloadedBytes, 2 * 2);
}

TEST_P(CloudRoad, CreateModeAndRetentionReachTheStore) {
  JobSetup s = Job();
  auto media = Start(s);
  media->SetChunkAsReadOnly(30);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 301), "abc"));
  MediaFSArchiveFileId_t created = Id(CHUNK, 302);
  created.bCreateMode = true;
  ASSERT_EQ(0, WriteFile(*media, created, "def"));

  std::lock_guard<std::mutex> lock(platform::RemoteFilesMutex());
  const std::vector<std::string>& calls = platform::RemoteFiles().calls;
  const std::string open301 = "OpenFile " + VolumePath() + "/CHUNK_301 " + std::to_string(0x20002);
  const std::string open302 = "OpenFile " + VolumePath() + "/CHUNK_302 2";
  EXPECT_NE(std::find(calls.begin(), calls.end(), open301), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), open302), calls.end());
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetRetentionTime 30"), 2);
}

TEST_P(CloudRoad, AReaderModeRestoreNeedsNoReservation) {
  JobSetup s = Job();
  ASSERT_EQ(0, BackupChunk(*Start(s), 401, Pattern(70000, 4)));

  JobSetup r = Job();
  auto reader = NewMedia(r);
  ASSERT_EQ(0, reader->Init(Params(r, false, kMediaTypeReader), false)) << reader->GetErrorString();
  EXPECT_EQ(reader->m_llLowWaterMarkMB, 0);
  EXPECT_EQ(reader->getMaxDiskSpaceToBeFilled(), 0);
  EXPECT_TRUE(Restore(*reader, 401, 70000) == Pattern(70000, 4));
}

INSTANTIATE_TEST_SUITE_P(Stores, CloudRoad,
                         ::testing::Values(StoreKind::kFolder, StoreKind::kObjectIds, StoreKind::kS3), KindTestName);

}  // namespace
