// Backup, then restore: the chunk that the backup road's end-to-end job writes (mixed objects in
// SFile containers that roll over by size and by item count, checkpoints in between, a chunk map
// trailer) is restored through a second store object as a restore job opens it, object by object
// through both index files, in index order and in a random order; damaged headers and records give
// their documented failure, never wrong bytes. (Threaded: the backup takes the file flusher.)

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <random>

#include "backup_job.h"
#include "restore_fixture.h"
#include "test_env.h"
#include "test_seed.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;
using sitest::WrittenObject;

constexpr long long kChunkId = 9;
constexpr const char* kWriterVersion = "11.0.0(BUILD84)";

class BackupRestoreTest : public RestoreTest {
 public:
  BackupRestoreTest() {
    sitest::UseEndToEndContainers();
  }

  // The backup road's end-to-end job: chunk 9 of 90 objects with a checkpoint every 25, then its
  // chunk map trailer.
  void Backup() {
    auto store = MakeStore();
    InitBackup(*store);
    std::string step;
    ASSERT_EQ(0, sitest::BackupMixedChunk(*store, ArchiveId(kChunkId), 90, 25, objects, step)) << step;
    MediaFSArchiveFileId_t trailer = ArchiveId(kChunkId, false, CHUNKMAP_TRAILER);
    ASSERT_EQ(0, store->Create(&trailer));
    const std::string text = craft::ChunkMapTrailer(kChunkId, kWriterVersion, kVolumeBlock);
    ASSERT_EQ(static_cast<int>(text.size()), store->Write(text.data(), text.size()));
    ASSERT_EQ(0, store->Close());
  }

  std::unique_ptr<RestoreStore> OpenRestore() {
    auto store = MakeRestore();
    EXPECT_EQ(0, Open(*store, kChunkId));
    return store;
  }

  static std::string Data(const WrittenObject& w) { return sitest::ObjectBytes(w.shape).substr(sitest::kObjectHeaderSize); }
  static std::string Meta(const WrittenObject& w) { return sitest::MetaBytes(w.shape); }

  // The object through the chunk metadata index, as a restore job seeks to it: its record gives
  // the container, the offset and the length. The data read, or the failing call's result.
  static int RestoreObject(RestoreStore& store, const std::string& chunkDir, const WrittenObject& w, std::string& data,
                           std::string& meta) {
    SChunkMetaDataIndexEntry record{};
    int rc = store.SearchChunkMetaDataIndex(w.metaOffset, record);
    if (rc != 0) return rc < 0 ? rc : -100;
    const std::string container =
        path_append(chunkDir, SingleInstancer_FS::GetSFileContainerName(static_cast<unsigned int>(record.OwnerValue16)));
    rc = store.OpenDataFile2(container.c_str(), record.OwnerValue24);
    if (rc != 0) return rc;
    data.assign(record.OwnerValue32 - sitest::kObjectHeaderSize, '\0');
    rc = store.ReadFromDataFile(data.data(), static_cast<long>(data.size()));
    if (rc != static_cast<int>(data.size())) return rc < 0 ? rc : -101;
    if (store.SetSeekOffset2(record.Key, 0) != 0) return -102;
    meta.assign(record.OwnerValue40, '\0');
    rc = store.ReadFromMetaData(meta.data(), static_cast<long>(meta.size()));
    return rc == static_cast<int>(meta.size()) ? 0 : (rc < 0 ? rc : -103);
  }

  std::vector<WrittenObject> objects;
};

TEST_F(BackupRestoreTest, EveryObjectOfTheBackupComesBackThroughASecondStore) {
  Backup();
  auto store = OpenRestore();
  EXPECT_EQ(1, store->m_MDIdxState);
  EXPECT_EQ(4, store->GetChunkMetaDataIndexFileVersion());

  // In the order of "SFILE_CONTAINER.idx": every record, every byte of its object.
  std::map<uint64_t, SSfileContainerIndexEntry> records;
  int64_t position = -1;
  SSfileContainerIndexEntry record{};
  for (int rc = store->GetFirstSfileContainerIndexEntry(&position, record); rc == 0;
       rc = store->GetNextSfileContainerIndexEntry(&position, record)) {
    records[record.Key] = record;
  }
  ASSERT_EQ(objects.size(), records.size());
  for (const WrittenObject& w : objects) {
    const SSfileContainerIndexEntry& r = records[w.shape.key];
    ASSERT_EQ(w.container, r.ContainerNo);
    ASSERT_EQ(w.offset, r.DataFileOffset);
    ASSERT_EQ(Data(w), ReadObject(*store, ContainerPath(kChunkId, r.ContainerNo), r.DataFileOffset,
                                  r.DataLength - sitest::kObjectHeaderSize))
        << "object " << w.shape.key;
  }

  // The chunk metadata index walked from its first record: one record per object, in order.
  SChunkMetaDataIndexEntry first{};
  ASSERT_EQ(0, store->SearchChunkMetaDataIndex(0, first));
  unsigned long long offset = first.Key;
  for (size_t i = 1; i < objects.size(); ++i) {
    bool found = false;
    ChunkMetaDataIndexEntry next;
    ASSERT_EQ(0, store->GetNextFileHdrOffset(offset, found, next));
    ASSERT_TRUE(found);
    ASSERT_EQ(objects[i].metaOffset, next.Key);
    ASSERT_EQ(objects[i].shape.key, next.OwnerValue8);
    offset = next.Key;
  }

  // In a random order, each object found through the chunk metadata index.
  std::vector<WrittenObject> shuffled = objects;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  for (const WrittenObject& w : shuffled) {
    std::string data, meta;
    ASSERT_EQ(0, RestoreObject(*store, ChunkDir(kChunkId), w, data, meta)) << "object " << w.shape.key;
    ASSERT_EQ(Data(w), data) << "object " << w.shape.key;
    ASSERT_EQ(Meta(w), meta) << "object " << w.shape.key;
  }

  std::string version;
  ASSERT_EQ(1, store->GetTavrixVersionFromChunkMapTrailer(kChunkId, version));
  EXPECT_EQ(kWriterVersion, version);

  // The close of the restore leaves nothing of the chunk open, and no container was removed.
  ASSERT_EQ(0, store->Close());
  EXPECT_FALSE(store->m_pMetaDataReader->IsValid());
  EXPECT_FALSE(store->m_pFdDataFile->IsValid());
  EXPECT_EQ(-1, store->m_MDIdxState);
  for (const WrittenObject& w : objects) EXPECT_TRUE(std::filesystem::exists(ContainerPath(kChunkId, w.container)));
}

TEST_F(BackupRestoreTest, DamagedHeadersAndRecordsGiveTheirFailureNeverWrongBytes) {
  Backup();
  const std::string pristine = path_append(dir.path(), "pristine");
  std::filesystem::copy(ChunkDir(kChunkId), pristine);
  const WrittenObject& victim = objects[40];
  auto flip = [](const std::string& path, uint64_t at) {
    std::string bytes = craft::ReadFile(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    craft::WriteFile(path, bytes);
  };
  // Record i of an aligned index (512-byte blocks behind the header's block).
  auto recordAt = [](size_t i, size_t size) { return (i / (512 / size)) * 512 + (i % (512 / size)) * size + 512; };
  struct Case {
    const char* name;
    std::function<void()> damage;
    int expected;                                       // the failure of a damaged object
    std::function<bool(const WrittenObject&)> damaged;  // the objects that must fail; others may only
                                                        // when a search passes the damaged record
  } cases[] = {
      {"container header", [&] { flip(ContainerPath(kChunkId, victim.container), 2); }, -1,
       [&](const WrittenObject& w) { return w.container == victim.container; }},
      {"object header", [&] { flip(ContainerPath(kChunkId, victim.container), victim.offset + 4); }, -1,
       [&](const WrittenObject& w) { return w.shape.key == victim.shape.key; }},
      {"chunk metadata index record", [&] { flip(MetaDataPath(kChunkId) + ".idx", recordAt(40, 80) + 20); }, -1,
       [&](const WrittenObject& w) { return w.shape.key == victim.shape.key; }},
      {"container unreadable, mount path failing too",
       [&] {
         Faults().Add(FaultRule{FsOp::Open, SingleInstancer_FS::GetSFileContainerName(victim.container), 1, -1, EIO});
         Faults().Add(FaultRule{FsOp::Open, "ReadWriteTest.txt", 1, -1, EIO});
       },
       -2, [&](const WrittenObject& w) { return w.container == victim.container; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(ChunkDir(kChunkId));
    std::filesystem::copy(pristine, ChunkDir(kChunkId));
    c.damage();
    auto store = OpenRestore();
    for (const WrittenObject& w : objects) {
      std::string data, meta;
      const int rc = RestoreObject(*store, ChunkDir(kChunkId), w, data, meta);
      const bool searchedPastDamage = std::string(c.name) == "chunk metadata index record";
      if (rc == 0) {
        EXPECT_FALSE(c.damaged(w)) << "object " << w.shape.key;
        ASSERT_EQ(Data(w), data) << "object " << w.shape.key;
        ASSERT_EQ(Meta(w), meta) << "object " << w.shape.key;
      } else {
        EXPECT_EQ(c.expected, rc) << "object " << w.shape.key;
        EXPECT_TRUE(c.damaged(w) || searchedPastDamage) << "object " << w.shape.key;
      }
    }
    store->Close();
    Faults().Reset();
  }

  // A damaged record of "SFILE_CONTAINER.idx" ends the walk there: the chunk is to be marked bad.
  std::filesystem::remove_all(ChunkDir(kChunkId));
  std::filesystem::copy(pristine, ChunkDir(kChunkId));
  flip(ContainerIndexPath(kChunkId), recordAt(40, 56) + 20);
  auto store = OpenRestore();
  int64_t position = -1;
  SSfileContainerIndexEntry record{};
  int rc = store->GetFirstSfileContainerIndexEntry(&position, record);
  int walked = 0;
  for (; rc == 0; rc = store->GetNextSfileContainerIndexEntry(&position, record)) ++walked;
  EXPECT_EQ(-1, rc);
  EXPECT_EQ(40, walked);
}

// A power loss during the flush that added the last records can leave them zeros in both index
// files. Until a job continues the chunk (and trims them), a restore reads every object before
// them, and the others fail: never an open that fails for the whole chunk, never wrong bytes.
TEST_F(BackupRestoreTest, IndexRecordsThatAPowerLossZeroedEndTheReadableChunk) {
  Backup();
  constexpr size_t kKept = 85;
  auto recordAt = [](size_t i, size_t size) { return (i / (512 / size)) * 512 + (i % (512 / size)) * size + 512; };
  auto zeroFrom = [&](const std::string& path, size_t size) {
    std::string bytes = craft::ReadFile(path);
    for (size_t i = kKept; i < objects.size(); ++i) bytes.replace(recordAt(i, size), size, std::string(size, '\0'));
    craft::WriteFile(path, bytes);
    return bytes;
  };
  const std::string containerIndex = zeroFrom(ContainerIndexPath(kChunkId), 56);
  const std::string metaIndex = zeroFrom(MetaDataPath(kChunkId) + ".idx", 80);

  auto store = OpenRestore();
  EXPECT_EQ(1, store->m_MDIdxState);
  for (size_t i = 0; i < objects.size(); ++i) {
    const WrittenObject& w = objects[i];
    std::string data, meta;
    const int rc = RestoreObject(*store, ChunkDir(kChunkId), w, data, meta);
    if (i < kKept) {
      ASSERT_EQ(0, rc) << "object " << w.shape.key;
      ASSERT_EQ(Data(w), data) << "object " << w.shape.key;
      ASSERT_EQ(Meta(w), meta) << "object " << w.shape.key;
    } else {
      EXPECT_NE(0, rc) << "object " << w.shape.key;
    }
  }
  int64_t position = -1;
  SSfileContainerIndexEntry record{};
  size_t walked = 0;
  int rc = store->GetFirstSfileContainerIndexEntry(&position, record);
  for (; rc == 0; rc = store->GetNextSfileContainerIndexEntry(&position, record)) ++walked;
  EXPECT_EQ(1, rc);
  EXPECT_EQ(kKept, walked);
  store->Close();
  // The reader left both files as the power loss did.
  EXPECT_EQ(containerIndex, craft::ReadFile(ContainerIndexPath(kChunkId)));
  EXPECT_EQ(metaIndex, craft::ReadFile(MetaDataPath(kChunkId) + ".idx"));
}

// Random chunks on a cloud mount path, each with a random fault of the object store somewhere in
// its backup. The data mover stops a chunk at its first failed call, so it learns of what failed
// there (a container lost at a roll-over or a checkpoint fails that call). Then it closes the chunk:
// a close that failed records nothing with the media manager, and a chunk whose calls and close
// all returned 0 gives back every object written into it, byte for byte.
TEST_F(BackupRestoreTest, CloudChunksThatClosedRestoreWhateverFailed) {
  const int trials = mfstest::EnvCount("MFS_CLOUD_CLOSE_TRIALS", 40);
  std::mt19937_64 rng(mfstest::Seed(3131));
  const FsOp ops[] = {FsOp::Open, FsOp::Write, FsOp::Flush, FsOp::Close, FsOp::Read, FsOp::Seek, FsOp::Stat};
  const char* const paths[] = {"SFILE_CONTAINER_0", "SFILE_CONTAINER.idx", "CHUNK_META_DATA_", ""};
  const int queueSizes[] = {1, 4, 8};
  // Half the faults fall on the upload of one container (a close publishes it, after a flush of
  // what is left); the others on any call of the chunk's files.
  auto randomFault = [&] {
    const int err = rng() % 2 == 0 ? EIO : ENOSPC;
    if (rng() % 2 == 0) {
      const std::string container = SingleInstancer_FS::GetSFileContainerName(static_cast<unsigned int>(1 + rng() % 4));
      return FaultRule{rng() % 2 == 0 ? FsOp::Flush : FsOp::Close, container, 1, 1, err};
    }
    return FaultRule{ops[rng() % std::size(ops)], paths[rng() % std::size(paths)], static_cast<int>(1 + rng() % 6), 1,
                     err};
  };
  int restored = 0;
  for (int trial = 0; trial < trials; ++trial) {
    const long long chunkId = 100 + trial;
    const int queueSize = queueSizes[rng() % std::size(queueSizes)];
    const FaultRule fault = randomFault();
    SCOPED_TRACE("trial " + std::to_string(trial) + ": " + platform::FsOpName(fault.op) + " #" +
                 std::to_string(fault.nth) + " on [" + fault.pathContains + "], queue " + std::to_string(queueSize));
    SetConfig("MaxSFileContainerSize", 262144);
    SetConfig("MaxSFileContainerItems", 4);
    SetConfig("MaxDelayedFlushQueueSize", queueSize);
    auto store = std::make_unique<TestStore>(&job, CloudFsParams(), true, 1);
    InitBackup(*store);
    MediaFSArchiveFileId_t id = ArchiveId(chunkId);
    ASSERT_EQ(0, store->Create(&id));
    Faults().Add(fault);
    std::vector<WrittenObject> written;
    bool callFailed = false;
    const uint64_t count = 1 + rng() % 16;
    for (uint64_t key = 1; key <= count && !callFailed; ++key) {
      const uint32_t dataSize = static_cast<uint32_t>(rng() % 3 == 0 ? 40000 + rng() % 90000 : rng() % 2000);
      const sitest::ObjectShape shape{key, dataSize, static_cast<uint32_t>(64 + rng() % 300), rng()};
      WrittenObject w;
      callFailed = sitest::WriteObject(*store, shape, w) != 0;
      if (!callFailed) written.push_back(w);
      if (!callFailed && rng() % 8 == 0) callFailed = sitest::Checkpoint(*store) != 0;
    }
    const long long filesBefore = platform::MediaManager().volumes[kVolId].numFiles;
    const int rc = store->Close();
    Faults().Reset();
    store.reset();
    if (rc != 0) {
      EXPECT_EQ(filesBefore, platform::MediaManager().volumes[kVolId].numFiles) << "a failed close records nothing";
      continue;
    }
    if (callFailed) continue;
    ++restored;
    auto restore = MakeRestore(true, true);
    ASSERT_EQ(0, Open(*restore, chunkId));
    // Where the backup put each object, as a restore job whose database names the places reads
    // it: the chunk may lack its metadata index, which is only an aid.
    for (const WrittenObject& w : written) {
      const std::string data = ReadObject(*restore, ContainerPath(chunkId, w.container), w.offset, w.shape.dataSize);
      ASSERT_TRUE(data == Data(w)) << "object " << w.shape.key << ": " << data.substr(0, 40);
      ASSERT_EQ(0, restore->SetSeekOffset2(w.metaOffset, 0));
      std::string meta(Meta(w).size(), '\0');
      ASSERT_EQ(static_cast<int>(meta.size()), restore->ReadFromMetaData(meta.data(), static_cast<long>(meta.size())));
      ASSERT_TRUE(meta == Meta(w)) << "object " << w.shape.key;
    }
    EXPECT_EQ(0, restore->Close());
  }
  std::printf("[ info ] %d of %d chunks closed after every call succeeded and were restored\n", restored, trials);
}

}  // namespace
