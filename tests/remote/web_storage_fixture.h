// The shared set-up of the cloud media tests: a store of one of three kinds (the folder store, the
// folder store that assigns object ids, an S3 bucket on a local s3rver), a job with its volume
// reservation, the management server's client, and helpers that back up and restore chunks the
// way a data mover does.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "MediaFileSystem/WebStorageMediaFS.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"  // tests/platform: a temporary folder
#include "remote/s3_server.h"
#include "tape/archive_file_io.h"  // archive files through the frame, stream bytes

// Exposes the media object's state to the tests.
class WebStorageUnderTest : public WebStorageMediaFS {
 public:
  using WebStorageMediaFS::WebStorageMediaFS;
  using WebStorageMediaFS::m_llLowWaterMarkMB;
  using WebStorageMediaFS::m_pRemoteFile;
  using WebStorageMediaFS::m_strObjectId;
  using media_fs::m_bVolumeFull;
  using media_fs::m_llBytesLeftToRead;
  using media_fs::m_llKBRemaining;
  using media_fs::m_llMaxSpaceToFill;
  using media_fs::m_llPhysicalBytes;
  using media_fs::m_llSpaceOccupied;
  using media_fs::m_strLastErrorMsg;
};

namespace cloudtest {

enum class StoreKind { kFolder, kObjectIds, kS3 };

inline const char* KindName(StoreKind kind) {
  switch (kind) {
    case StoreKind::kFolder: return "Folder";
    case StoreKind::kObjectIds: return "ObjectIds";
    case StoreKind::kS3: return "S3";
  }
  return "?";
}

inline constexpr int kVolId = 7;
inline constexpr int kDriveId = 3;
inline constexpr int kDeviceType = 8;
inline constexpr int kTHId = 2;
inline constexpr long long kCopyId = 1;
inline constexpr unsigned long kBlock = 65536;

using archivefiles::Pattern;

// One job's inputs.
struct JobSetup {
  _JobContext job{4242, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
};

class CloudTest : public ::testing::Test {
 public:
  // Sets up a store of `kind`; false (with the test skipped) when an S3 server cannot run here.
  bool UseStore(StoreKind kind) {
    m_kind = kind;
    platform::Config().SetNumber("ZovadAdeve", "CloudS3UseHttps", 0);
    if (kind != StoreKind::kS3) {
      root = dir / "store";
      std::filesystem::create_directories(root);
      return true;
    }
    const std::string why = S3Server::Unavailable();
    if (!why.empty()) {
      std::cout << why << std::endl;
      return false;
    }
    server = std::make_unique<S3Server>();
    if (!server->Start()) {
      ADD_FAILURE() << "s3rver did not start";
      return false;
    }
    root = server->Root("backups");
    return true;
  }

  StoreKind kind() const { return m_kind; }
  int DeviceType() const { return m_kind == StoreKind::kObjectIds ? kRFDeviceTypeObjectIdStore : kDeviceType; }
  std::string VolumePath() const { return root + "/V_" + std::to_string(kVolId); }

  JobSetup Job(long long jobId = 4242) {
    JobSetup s;
    s.job.jobId = jobId;
    s.reserve.m_blockSizeKB = static_cast<int>(kBlock / 1024);
    std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());
    s.reserve.m_numFiles = platform::MediaManager().volumes[kVolId].numFiles;
    return s;
  }

  MediaFsInitParams Params(JobSetup& s, bool backup = true, int mediaType = 1) {
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.iTHId = kTHId;
    p.strPath = VolumePath();
    p.pMlm = &s.mlm;
    p.iDriveId = kDriveId;
    p.iMediaType = mediaType;
    p.pReserveMount = mediaType == kMediaTypeReader ? nullptr : &s.reserve;
    p.strHostName = "client1";
    p.strZovadAdeveName = "za1";
    p.iDataMoverMode = backup ? kDataMoverModeBackup : 0;
    return p;
  }

  std::unique_ptr<WebStorageUnderTest> NewMedia(JobSetup& s, const std::string& path = "",
                                                const std::string& key = S3Server::kAccessKey,
                                                const std::string& secret = S3Server::kSecret) {
    return std::make_unique<WebStorageUnderTest>(&s.job, DeviceType(), key, secret, path.empty() ? root : path,
                                                 &archiveManager);
  }

  // A media object for the job, initialised.
  std::unique_ptr<WebStorageUnderTest> Start(JobSetup& s, bool backup = true) {
    auto media = NewMedia(s);
    EXPECT_EQ(0, media->Init(Params(s, backup), false)) << media->GetErrorString();
    return media;
  }

  static MediaFSArchiveFileId_t Id(MediaFSDataType type, long long chunkId, long long physicalSize = 0) {
    MediaFSArchiveFileId_t id;
    id.iTHId = kTHId;
    id.iArchFileId = static_cast<int32_t>(chunkId / 100);  // the archive file of the chunk
    id.uiDataType = type;
    id.llChunkId = chunkId;
    id.llCopyId = kCopyId;
    id.iChunkVersion = 3;
    id.llPhysicalSize = physicalSize;
    return id;
  }

  static int WriteFile(media_fs& media, const MediaFSArchiveFileId_t& id, const std::string& data) {
    return archivefiles::Write(media, id, data);
  }

  // A chunk and its chunk map trailer, as a data mover writes them: 0 or the failing result. The
  // chunk is the management server's chunk of its archive file from then on.
  int BackupChunk(media_fs& media, long long chunkId, const std::string& data) {
    if (int rc = WriteFile(media, Id(CHUNK, chunkId), data); rc != 0) return rc;
    RecordChunk(chunkId);
    const std::string trailer = "CHUNK_MAP_TRAILER_VERSION 1\nChunkId " + std::to_string(chunkId) + "\n";
    return WriteFile(media, Id(CHUNKMAP_TRAILER, chunkId), trailer);
  }

  static void RecordChunk(long long chunkId) {
    const MediaFSArchiveFileId_t id = Id(CHUNK, chunkId);
    std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
    platform::ArchiveManager().archiveFileChunks[{id.iArchFileId, id.iTHId, id.llCopyId}].push_back(
        static_cast<uint64_t>(chunkId));
  }

  // Opens the chunk and reads `size` bytes of it from `offset` (through SetSeekOffset when not 0);
  // the bytes, or a text that starts with "FAILED".
  static std::string Restore(media_fs& media, long long chunkId, size_t size, bool readAhead = false,
                             long long offset = 0) {
    MediaFSArchiveFileId_t id = Id(CHUNK, chunkId, static_cast<long long>(size));
    id.bReadAhead = readAhead;
    if (media.Open(&id, true) != 0) return std::string("FAILED open: ") + media.GetErrorString();
    if (offset != 0 && media.SetSeekOffset(offset) == 0) return "FAILED seek";
    const size_t want = size - static_cast<size_t>(offset);
    std::string out(want, '\0');
    const int got = want == 0 ? 0 : media.Read(out.data(), want);
    if (got != static_cast<int>(want)) return "FAILED read " + std::to_string(got) + ": " + media.GetErrorString();
    if (media.Close() != 0) return "FAILED close";
    return out;
  }

  TempDir dir;
  std::string root;
  std::unique_ptr<S3Server> server;
  ArchiveManagerDS archiveManager;

 private:
  StoreKind m_kind = StoreKind::kFolder;
};

// The same over each kind of store.
class CloudKindTest : public CloudTest, public ::testing::WithParamInterface<StoreKind> {
 public:
  void SetUp() override {
    if (!UseStore(GetParam())) GTEST_SKIP() << S3Server::Unavailable();
  }
};

inline std::string KindTestName(const ::testing::TestParamInfo<StoreKind>& info) { return KindName(info.param); }

}  // namespace cloudtest
