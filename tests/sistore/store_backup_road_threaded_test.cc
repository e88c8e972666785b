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
using sitest::ObjectSpec;
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

  // Object i of a job: mostly small and medium objects, every ninth larger than a write block.
  static ObjectSpec Object(uint64_t key, std::mt19937_64& rng) {
    ObjectSpec s;
    s.key = key;
    const uint64_t kind = rng() % 9;
    s.dataSize = kind == 0 ? static_cast<uint32_t>(600000 + rng() % 900000)
                 : kind < 4 ? static_cast<uint32_t>(rng() % 200)
                            : static_cast<uint32_t>(4000 + rng() % 60000);
    s.metaSize = static_cast<uint32_t>(64 + rng() % 700);
    s.seed = rng();
    return s;
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

  std::mt19937_64 rng(42);
  std::vector<WrittenObject> objects;
  for (uint64_t key = 1; key <= 90; ++key) {
    WrittenObject w;
    std::string step;
    ASSERT_EQ(0, sitest::WriteObject(*store, Object(key, rng), w, &step)) << step << " of object " << key;
    objects.push_back(w);
    if (key % 25 == 0) {
      ASSERT_EQ(0, sitest::Checkpoint(*store));
    }
  }
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
      ASSERT_EQ(at, w->offset) << "object " << w->spec.key;
      ASSERT_EQ(sitest::ObjectBytes(w->spec), bytes.substr(at, w->spec.Length())) << "object " << w->spec.key;
      at += w->spec.Length();
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
    ASSERT_EQ(sitest::MetaBytes(w.spec), meta.substr(at, sitest::MetaBytes(w.spec).size()));
    at += sitest::MetaBytes(w.spec).size();
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
  for (const auto& w : objects) hostBytes += w.spec.Length();
  EXPECT_EQ(static_cast<long long>(hostBytes), physical[0].args[0]);
  EXPECT_EQ(static_cast<long long>(StoreTest::kVolumeBlock), physical[1].args[0]);
  const auto markers = platform::MediaManager().CallsOf("setFileMarker", kVolId);
  ASSERT_EQ(2u, markers.size());
  EXPECT_EQ(reserve.m_numFiles + 1, markers[0].args[0]);
  EXPECT_EQ(reserve.m_numFiles + 2, markers[1].args[0]);
  EXPECT_EQ(0, platform::MediaManager().volumes[kVolId].fullReason);
}

}  // namespace
