// The backup road end to end, as a backup job's data mover drives it on a real mount path: Init,
// Create a chunk, many objects of mixed sizes packed into SFile containers that roll over by size
// and by item count, records in both index files, checkpoints in between, Close, a chunk map
// trailer. Then the tree, every container header and object, both index files record by record
// (as stored and through the index API) and every media manager record are checked. The same road
// then runs with faults injected.

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "backup_job.h"
#include "platform/media_manager_calls.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;
using sitest::ObjectShape;
using sitest::WrittenObject;

constexpr long long kChunkId = 9;
constexpr uint64_t kMaxContainerSize = 1 << 20;
constexpr uint64_t kMaxContainerItems = 12;

class BackupRoadTest : public StoreTest {
 public:
  BackupRoadTest() {
    SetConfig("MaxSFileContainerSize", kMaxContainerSize);
    SetConfig("MaxSFileContainerItems", kMaxContainerItems);
  }

  std::unique_ptr<TestStore> Backup() {
    auto store = MakeStore();
    InitBackup(*store);
    return store;
  }

  // Every file of the chunk folder, by name.
  std::set<std::string> ChunkFolder(long long chunkId) const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(ChunkDir(chunkId))) names.insert(e.path().filename());
    return names;
  }
};

TEST_F(BackupRoadTest, ChunkOfMixedObjectsWithCheckpointsLandsAsTheLayoutSays) {
  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
  ASSERT_EQ(0, store->Create(&id));

  std::vector<WrittenObject> objects;
  std::string step;
  ASSERT_EQ(0, sitest::WriteMixedObjects(*store, 90, 25, objects, step)) << step;
  const uint64_t metaSize = static_cast<uint64_t>(store->GetMetaDataFileOffset());
  ASSERT_EQ(0, store->Close());

  MediaFSArchiveFileId_t trailer = ArchiveId(kChunkId, false, CHUNKMAP_TRAILER);
  ASSERT_EQ(0, store->Create(&trailer));
  const std::string trailerText(StoreTest::kVolumeBlock, 'T');
  ASSERT_EQ(static_cast<int>(trailerText.size()), store->Write(trailerText.data(), trailerText.size()));
  ASSERT_EQ(0, store->Close());

  // The tree: the chunk folder and the trailer beside it in the volume folder.
  std::set<std::string> volume;
  for (const auto& e : std::filesystem::directory_iterator(volumePath)) volume.insert(e.path().filename());
  EXPECT_EQ((std::set<std::string>{"CHUNK_9", "CHUNKMAP_TRAILER_9"}), volume);
  EXPECT_EQ(trailerText, sitest::ReadWholeFile(path_append(volumePath, "CHUNKMAP_TRAILER_9")));

  const uint32_t containers = objects.back().container;
  std::set<std::string> expectedNames{"CHUNK_META_DATA_9", "CHUNK_META_DATA_9.idx", "SFILE_CONTAINER.idx"};
  for (uint32_t n = 1; n <= containers; ++n) expectedNames.insert(SingleInstancer_FS::GetSFileContainerName(n));
  EXPECT_EQ(expectedNames, ChunkFolder(kChunkId));
  ASSERT_GE(containers, 8u);

  // Every container: its header, then its objects back to back, each where StartDataFile2 said.
  std::map<uint32_t, std::vector<const WrittenObject*>> byContainer;
  for (const auto& w : objects) byContainer[w.container].push_back(&w);
  bool rolledBySize = false;
  bool rolledByItems = false;
  for (const auto& [number, list] : byContainer) {
    SCOPED_TRACE("container " + std::to_string(number));
    const std::string bytes = sitest::ReadWholeFile(ContainerPath(kChunkId, number));
    ASSERT_GE(bytes.size(), sitest::kContainerHeaderSize);
    EXPECT_EQ(sitest::ContainerHeader(), bytes.substr(0, sitest::kContainerHeaderSize));
    uint64_t at = sitest::kContainerHeaderSize;
    for (const WrittenObject* w : list) {
      ASSERT_EQ(at, w->offset) << "object " << w->shape.key;
      ASSERT_EQ(sitest::ObjectBytes(w->shape), bytes.substr(at, w->shape.Length())) << "object " << w->shape.key;
      at += w->shape.Length();
      EXPECT_LT(w->offset, kMaxContainerSize) << "an object starts only below the size limit";
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_LE(list.size(), kMaxContainerItems);
    if (number != containers) {
      rolledBySize |= at >= kMaxContainerSize;
      rolledByItems |= list.size() == kMaxContainerItems && at < kMaxContainerSize;
    }
  }
  EXPECT_TRUE(rolledBySize);
  EXPECT_TRUE(rolledByItems);

  // The metadata file holds the records back to back at the offsets the store gave.
  const std::string meta = sitest::ReadWholeFile(MetaDataPath(kChunkId));
  ASSERT_EQ(metaSize, meta.size());
  uint64_t at = 0;
  for (const auto& w : objects) {
    ASSERT_EQ(at, w.metaOffset);
    ASSERT_EQ(sitest::MetaBytes(w.shape), meta.substr(at, sitest::MetaBytes(w.shape).size()));
    at += sitest::MetaBytes(w.shape).size();
  }

  // Both index files record by record, as stored...
  const sitest::RawIndex sfile = sitest::ReadContainerIndex(ContainerIndexPath(kChunkId));
  EXPECT_EQ("SFILIDX", sfile.magic);
  EXPECT_EQ(4u, sfile.version);
  EXPECT_EQ(512u, sfile.blockSize);
  EXPECT_EQ(sitest::kEngineId, sfile.engineId);
  EXPECT_EQ(objects.size(), sfile.totalEntries);
  EXPECT_TRUE(sfile.headerCrcOk);
  EXPECT_TRUE(sfile.recordCrcsOk);
  ASSERT_EQ(objects.size(), sfile.records.size());
  const sitest::RawIndex chunk = sitest::ReadMetaDataIndex(MetaDataPath(kChunkId) + ".idx");
  EXPECT_EQ("CHNKIDX", chunk.magic);
  EXPECT_EQ(4u, chunk.version);
  EXPECT_EQ(objects.size(), chunk.totalEntries);
  EXPECT_TRUE(chunk.headerCrcOk);
  EXPECT_TRUE(chunk.recordCrcsOk);
  ASSERT_EQ(objects.size(), chunk.records.size());

  // ...and through the index API.
  CFSInitParams params = FsParams();
  SingleInstancer_FS::SfileIndex sfileApi(&params, nullptr);
  SingleInstancer_FS::ChunkMDIndex chunkApi(&params, nullptr);
  SingleInstancer_FS::SfileIndex::Options sfileOptions{false, true, true};
  SingleInstancer_FS::ChunkMDIndex::Options chunkOptions{false, true, true};
  ASSERT_TRUE(sfileApi.Open(ContainerIndexPath(kChunkId), 1, sfileOptions).IsSuccess());
  ASSERT_TRUE(chunkApi.Open(MetaDataPath(kChunkId) + ".idx", 1, chunkOptions).IsSuccess());
  for (size_t i = 0; i < objects.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    SSfileContainerIndexEntry want = sitest::ContainerRecord(objects[i]);
    SSfileContainerIndexEntry stored = sitest::DecodeContainerRecord(sfile.records[i]);
    SSfileContainerIndexEntry api{};
    ASSERT_TRUE(sfileApi.GetEntry(static_cast<int64_t>(i), &api).IsSuccess());
    want.CRC32 = stored.CRC32;
    EXPECT_EQ(0, std::memcmp(&want, &stored, sizeof(want)));
    EXPECT_EQ(0, std::memcmp(&want, &api, sizeof(want)));

    SChunkMetaDataIndexEntry wantMeta = sitest::MetaRecord(objects[i]);
    SChunkMetaDataIndexEntry storedMeta = sitest::DecodeMetaRecord(chunk.records[i]);
    SChunkMetaDataIndexEntry apiMeta{};
    ASSERT_TRUE(chunkApi.GetEntry(static_cast<int64_t>(i), &apiMeta).IsSuccess());
    wantMeta.CRC32 = storedMeta.CRC32;
    EXPECT_EQ(0, std::memcmp(&wantMeta, &storedMeta, sizeof(wantMeta)));
    EXPECT_EQ(0, std::memcmp(&wantMeta, &apiMeta, sizeof(wantMeta)));
  }

  // The media manager: the chunk and its trailer, each recorded in the frame's order, and no
  // volume marked full.
  const std::vector<std::string> ops = MediaManagerOps(
      {"incrNumLogicalBytes", "setFileMarker", "incrNumPhysicalBytes", "setWriteTime", "incrNumFiles", "markFull"});
  const std::vector<std::string> perFile{"incrNumLogicalBytes", "setFileMarker", "incrNumPhysicalBytes",
                                         "setWriteTime", "incrNumFiles"};
  std::vector<std::string> both = perFile;
  both.insert(both.end(), perFile.begin(), perFile.end());
  EXPECT_EQ(both, ops);
  const auto physical = platform::MediaManager().CallsOf("incrNumPhysicalBytes", kVolId);
  ASSERT_EQ(2u, physical.size());
  uint64_t hostBytes = metaSize;
  for (const auto& w : objects) hostBytes += w.shape.Length();
  EXPECT_EQ(static_cast<long long>(hostBytes), physical[0].args[0]);
  EXPECT_EQ(static_cast<long long>(StoreTest::kVolumeBlock), physical[1].args[0]);
  const auto markers = platform::MediaManager().CallsOf("setFileMarker", kVolId);
  ASSERT_EQ(2u, markers.size());
  EXPECT_EQ(reserve.m_numFiles + 1, markers[0].args[0]);
  EXPECT_EQ(reserve.m_numFiles + 2, markers[1].args[0]);
  EXPECT_EQ(0, platform::MediaManager().volumes[kVolId].fullReason);
}

// What a job saw: the first call that failed (none when every one succeeded) and the close.
struct JobOutcome {
  std::string failedStep;
  int failedResult = 0;
  long long lastErrorAtFailure = 0;
  int closeResult = 0;
  int objectsWritten = 0;
};

// A job of `count` objects with a checkpoint every `every`, stopped by its first failure and
// closed as a data mover closes a chunk it gives up.
JobOutcome RunJob(TestStore& store, int count, int every, uint32_t dataSize) {
  JobOutcome out;
  std::mt19937_64 rng(7);
  for (int i = 1; i <= count && out.failedStep.empty(); ++i) {
    WrittenObject w;
    ObjectShape shape{static_cast<uint64_t>(i), dataSize, 300, rng()};
    const int rc = sitest::WriteObject(store, shape, w, &out.failedStep);
    if (rc != 0) {
      out.failedResult = rc;
      break;
    }
    ++out.objectsWritten;
    if (i % every == 0 && sitest::Checkpoint(store) != 0) out.failedStep = "Checkpoint";
  }
  if (out.failedStep.empty() && sitest::Checkpoint(store) != 0) out.failedStep = "Checkpoint";
  out.lastErrorAtFailure = store.MediaFSGetLastError();
  out.closeResult = store.Close();
  return out;
}

struct FaultCase {
  const char* name;
  platform::FaultRule rule;
  long long lastError;  // the media manager code the failure leaves
  bool volumeFull;
  bool closeFails;
};

// Each fault fails the job where it strikes, reports its code, and a full disk marks the volume
// full; the job never ends as if nothing had happened.
TEST_F(BackupRoadTest, FaultsAreReportedAndNeverEndInSuccess) {
  const long long eio = MMS2BaseError::ConvertToMMError(EIO);
  const FaultCase cases[] = {
      {"ENOSPC on the 3rd write of a container", {FsOp::Write, "SFILE_CONTAINER_0", 3, -1, ENOSPC}, 767, true, true},
      {"ENOSPC on the 2nd write of the metadata file", {FsOp::Write, "CHUNK_META_DATA_9", 2, -1, ENOSPC}, 767, true,
       true},
      {"ENOSPC on the 2nd write of the container index", {FsOp::Write, "SFILE_CONTAINER.idx", 2, -1, ENOSPC}, 767,
       true, true},
      {"ENOSPC on the 2nd write of the chunk metadata index", {FsOp::Write, "CHUNK_META_DATA_9.idx", 2, -1, ENOSPC},
       767, true, true},
      {"a short write of a container", {FsOp::Write, "SFILE_CONTAINER_0", 2, -1, 0, 100}, 767, true, true},
      {"EIO from the flush of a container", {FsOp::Flush, "SFILE_CONTAINER_0", 1, 1, EIO}, eio, false, false},
      {"EIO from the flush of the metadata file", {FsOp::Flush, "CHUNK_META_DATA_9", 1, 1, EIO}, eio, false, false},
      {"EIO from the flush of the container index", {FsOp::Flush, "SFILE_CONTAINER.idx", 1, 1, EIO}, eio, false,
       false},
      {"EIO creating the 3rd container", {FsOp::Open, "SFILE_CONTAINER_003", 1, 1, EIO}, eio, false, false},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    std::filesystem::remove_all(ChunkDir(kChunkId));
    SetConfig("MaxSFileContainerSize", 200000);
    SetConfig("MaxSFileContainerItems", kMaxContainerItems);
    auto store = Backup();
    MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
    ASSERT_EQ(0, store->Create(&id));
    platform::Faults().Add(c.rule);
    const JobOutcome out = RunJob(*store, 60, 20, 30000);
    EXPECT_FALSE(out.failedStep.empty()) << "the job ran to its end";
    EXPECT_EQ(c.lastError, out.lastErrorAtFailure) << "failed at " << out.failedStep;
    EXPECT_EQ(c.closeFails, out.closeResult != 0);
    const bool marked = platform::MediaManager().Count("markFull") != 0;
    EXPECT_EQ(c.volumeFull, marked);
    if (c.volumeFull) {
      EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
      EXPECT_TRUE(store->m_bDiskFull);
    }
    EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
    EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  }
}

// At the low-water mark before a chunk, the chunk is refused and the volume marked full; reached
// inside a chunk, every write still lands, the host is asked to close the chunk, and the chunk it
// closes is whole.
TEST_F(BackupRoadTest, LowWaterMarkBeforeAndInsideAChunk) {
  reserve.m_lowWaterMarkMB = 100;
  {
    platform::Faults().SetFreeSpace(mountPath, 100ull << 20);
    auto store = Backup();
    MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
    EXPECT_EQ(kMFSNoRoomOnMedia, store->Create(&id));
    EXPECT_FALSE(std::filesystem::exists(ChunkDir(kChunkId)));
    EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
    EXPECT_EQ(1u, platform::MediaManager().Count("markFull"));
    EXPECT_EQ(100, MediaManagerLastArgs("setFreeBytesMB").at(0));
  }

  platform::ResetAll();
  platform::Faults().SetFreeSpace(mountPath, (100ull << 20) + 1);
  auto store = Backup();
  MediaFSArchiveFileId_t id = ArchiveId(kChunkId);
  ASSERT_EQ(0, store->Create(&id));
  platform::Faults().SetFreeSpace(mountPath, 50ull << 20);
  std::mt19937_64 rng(3);
  std::vector<WrittenObject> objects;
  int firstEom = 0;
  for (uint64_t key = 1; key <= 30; ++key) {
    WrittenObject w;
    ObjectShape shape{key, 1 << 20, 200, rng()};
    ASSERT_EQ(0, sitest::WriteObject(*store, shape, w));
    objects.push_back(w);
    if (firstEom == 0 && store->GetCloseChunkFlag()) firstEom = static_cast<int>(key);
  }
  EXPECT_EQ(25, firstEom) << "the space check runs once 25 MiB went through the buffers";
  EXPECT_TRUE(store->m_bDiskFull);
  EXPECT_EQ(1u, platform::MediaManager().Count("markFull"));
  EXPECT_EQ(0, sitest::Checkpoint(*store));
  EXPECT_EQ(0, store->Close());
  for (const auto& w : objects) {
    ASSERT_EQ(sitest::ObjectBytes(w.shape),
              sitest::FileBytes(ContainerPath(kChunkId, w.container), w.offset, w.shape.Length()));
  }
}

}  // namespace
