// What the crash tests of the backup road share: a chunk of small containers written in rounds
// of objects with a checkpoint after each, the file operations a crash is aimed at, and the checks
// after a crash:
//   - every object of the last completed checkpoint is still in its container at its recorded
//     offset, with its metadata and a record with a valid CRC in both index files, its bytes
//     intact;
//   - a new job continues the chunk: its objects land after the old ones (higher keys, new
//     containers, metadata at the end), and afterwards no old object was overwritten and every
//     record of both index files is whole (what a crash left torn is gone).
// The objects of a checkpoint under way when the crash came may be half written; they are not
// checked.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "backup_job.h"
#include "store_fixture.h"

namespace sitest {

// The file operations a crash can be aimed at.
enum CrashStep : uint64_t {
  kAnyStep = 0, kContainerWrite, kIndexWrite, kMetaDataWrite, kFileFlush, kFolderFlush, kCreate, kInClose,
  kCrashSteps
};
inline const char* const kCrashStepNames[] = {"any moment", "container write", "index write", "metadata write",
                                              "file flush", "folder flush",    "creation",    "close"};

class StoreCrashFixture : public StoreTest {
 public:
  StoreCrashFixture() : StoreTest(TempDir::MemoryBase()) {}

  // Small containers and buffers: every job rolls over containers and writes blocks out.
  void SetUp() override {
    platform::SetLogCaptureLimit(200);
    SetConfig("MaxSFileContainerSize", 256 * 1024);
    SetConfig("MaxSFileContainerItems", 6);
    SetConfig("nSIFSWriteBlockSizeKB", 64);
    SetConfig("nSIFSCacheSizeKB", 192);
  }

  // What a call of the file-system layer does, for the crash steps other than the close.
  static CrashStep Classify(platform::FsOp op, const std::string& path) {
    using platform::FsOp;
    const bool index = path.size() > 4 && path.compare(path.size() - 4, 4, ".idx") == 0;
    const bool container = path.find("SFILE_CONTAINER_") != std::string::npos;
    switch (op) {
      case FsOp::Write:
        return container ? kContainerWrite : index ? kIndexWrite : kMetaDataWrite;
      case FsOp::Flush:
        return std::filesystem::is_directory(path) ? kFolderFlush : kFileFlush;
      case FsOp::Open:
      case FsOp::CreateDirectory:
        return kCreate;
      default:
        return kAnyStep;
    }
  }

  bool InChunkFolders(const std::string& path) const { return path.compare(0, dir.path().size(), dir.path()) == 0; }

  // One in sixteen objects spans containers' worth of blocks; the others are small.
  static ObjectShape Object(uint64_t key, std::mt19937_64& rng) {
    ObjectShape s;
    s.key = key;
    const uint64_t kind = rng() % 16;
    s.dataSize = kind == 0 ? static_cast<uint32_t>(70000 + rng() % 60000) : static_cast<uint32_t>(rng() % 6000);
    s.metaSize = static_cast<uint32_t>(64 + rng() % 400);
    s.seed = rng();
    return s;
  }

  // A store with the chunk started (or continued) for a job; null when its Init (`status` 2) or
  // its Create (3) failed.
  std::unique_ptr<TestStore> StartJob(long long chunkId, bool append, int& status) {
    auto store = MakeStore();
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, append);
    status = store->Init(InitParams(), false) != 0 ? 2 : store->Create(&id) != 0 ? 3 : 0;
    return status == 0 ? std::move(store) : nullptr;
  }

  // A backup job: continues (or starts) the chunk, writes one to four rounds of objects with a
  // checkpoint after each, and closes. One job in four leaves its last round without a checkpoint,
  // as a job that ends early does. `object` hears of each object written, `checkpoint` of each
  // completed checkpoint; `closing` is set as the close begins. 0, or the step that failed.
  int RunJob(long long chunkId, bool append, uint64_t seed, const std::function<void(const WrittenObject&)>& object,
             const std::function<void()>& checkpoint, std::atomic<bool>& closing) {
    int status = 0;
    auto store = StartJob(chunkId, append, status);
    if (store == nullptr) return status;
    std::mt19937_64 rng(seed);
    uint64_t key = store->GetLastObjectNumber();
    const int rounds = 1 + static_cast<int>(rng() % 4);
    const bool openEnd = rng() % 4 == 0;
    for (int round = 0; round < rounds; ++round) {
      const int objects = 1 + static_cast<int>(rng() % 9);
      for (int i = 0; i < objects; ++i) {
        WrittenObject w;
        if (WriteObject(*store, Object(++key, rng), w) != 0) return 4;
        object(w);
      }
      if (openEnd && round == rounds - 1) break;
      if (Checkpoint(*store) != 0) return 5;
      checkpoint();
    }
    closing = true;
    return store->Close() != 0 ? 6 : 0;
  }

  // Records how many crashes came at each step (as the test property `name`) and, once there
  // were `enough` crashes, expects some at every step.
  void ExpectEveryStep(const std::map<uint64_t, int>& counts, const char* name, bool enough) {
    std::string seen;
    for (const auto& [step, count] : counts) {
      seen += std::string(kCrashStepNames[step]) + "=" + std::to_string(count) + " ";
    }
    RecordProperty(name, seen);
    if (!enough) return;
    for (uint64_t step = kAnyStep; step < kCrashSteps; ++step) {
      EXPECT_GT(counts.count(step) != 0 ? counts.at(step) : 0, 0)
          << "no crash at " << kCrashStepNames[step] << "; seen: " << seen;
    }
  }

  // The committed objects: in their containers, metadata and both index files, byte for byte.
  void VerifyCommitted(long long chunkId, const std::vector<WrittenObject>& committed) {
    if (committed.empty()) return;
    const RawIndex sfile = ReadContainerIndex(ContainerIndexPath(chunkId));
    const RawIndex meta = ReadMetaDataIndex(MetaDataPath(chunkId) + ".idx");
    ASSERT_TRUE(sfile.headerCrcOk && meta.headerCrcOk);
    std::map<uint64_t, std::string> byKey;
    for (const auto& r : sfile.records) byKey.emplace(DecodeContainerRecord(r).Key, r);
    std::map<uint64_t, std::string> byOffset;
    for (const auto& r : meta.records) byOffset.emplace(DecodeMetaRecord(r).Key, r);
    for (const WrittenObject& w : committed) {
      SCOPED_TRACE("object " + std::to_string(w.shape.key));
      ASSERT_EQ(ObjectBytes(w.shape), FileBytes(ContainerPath(chunkId, w.container), w.offset, w.shape.Length()));
      const std::string metaBytes = MetaBytes(w.shape);
      ASSERT_EQ(metaBytes, FileBytes(MetaDataPath(chunkId), w.metaOffset, metaBytes.size()));
      ASSERT_EQ(1u, byKey.count(w.shape.key));
      const std::string& crec = byKey[w.shape.key];
      ASSERT_EQ(DecodeBE32(crec.data() + 48), Crc32(crec.data(), 48));
      const SSfileContainerIndexEntry e = DecodeContainerRecord(crec);
      ASSERT_EQ(w.container, e.ContainerNo);
      ASSERT_EQ(w.offset, e.DataFileOffset);
      ASSERT_EQ(w.shape.Length(), e.DataLength);
      ASSERT_EQ(1u, byOffset.count(w.metaOffset));
      const std::string& mrec = byOffset[w.metaOffset];
      ASSERT_EQ(DecodeBE32(mrec.data() + 76), Crc32(mrec.data(), 76));
      ASSERT_EQ(w.shape.key, DecodeMetaRecord(mrec).OwnerValue8);
    }
  }

  // The newest lines of the logs, for a failure's message.
  static std::string RecentLogs(size_t lines = 12) {
    const std::vector<platform::LogLine>& logs = platform::Logs();
    std::string text;
    for (size_t i = logs.size() > lines ? logs.size() - lines : 0; i < logs.size(); ++i) {
      text += "\n  " + logs[i].source + ": " + logs[i].text;
    }
    return text;
  }

  // The highest container number of the chunk's files.
  unsigned int HighestContainerOnDisk(long long chunkId) const {
    unsigned int highest = 0;
    for (const auto& e : std::filesystem::directory_iterator(ChunkDir(chunkId))) {
      const std::string name = e.path().filename();
      if (name.rfind("SFILE_CONTAINER_", 0) == 0) {
        highest = std::max(highest, static_cast<unsigned int>(std::stoul(name.substr(16))));
      }
    }
    return highest;
  }

  // A job continues the chunk after the crash: its objects go after the old ones, and afterwards
  // every old object is still intact.
  void AppendAndVerify(long long chunkId, std::vector<WrittenObject>& committed, uint64_t seed) {
    VerifyCommitted(chunkId, committed);
    if (HasFatalFailure()) return;
    const unsigned int highestBefore = HighestContainerOnDisk(chunkId);
    const uint64_t metaSizeBefore = std::filesystem::file_size(MetaDataPath(chunkId));
    uint64_t lastKey = 0;
    for (const auto& w : committed) lastKey = std::max(lastKey, w.shape.key);

    auto store = MakeStore();
    InitBackup(*store);
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, true);
    ASSERT_EQ(0, store->Create(&id)) << store->GetErrorString() << RecentLogs();
    ASSERT_NE(2, store->m_MDIdxState) << "the chunk metadata index could not be opened" << RecentLogs();
    ASSERT_GE(store->GetLastObjectNumber(), lastKey);
    std::mt19937_64 rng(seed);
    uint64_t key = store->GetLastObjectNumber();
    std::vector<WrittenObject> added;
    for (int i = 0; i < 4; ++i) {
      WrittenObject w;
      std::string step;
      ASSERT_EQ(0, WriteObject(*store, Object(++key, rng), w, &step)) << step;
      ASSERT_GT(w.container, highestBefore);
      ASSERT_GE(w.metaOffset, metaSizeBefore);
      added.push_back(w);
    }
    ASSERT_EQ(0, Checkpoint(*store));
    ASSERT_EQ(0, store->Close());
    store.reset();
    committed.insert(committed.end(), added.begin(), added.end());
    VerifyCommitted(chunkId, committed);
    ASSERT_TRUE(ReadContainerIndex(ContainerIndexPath(chunkId)).recordCrcsOk);
    ASSERT_TRUE(ReadMetaDataIndex(MetaDataPath(chunkId) + ".idx").recordCrcsOk);
  }

  // After a crash: checks the chunk and continues it (AppendAndVerify), or, when the crash came
  // before the chunk had a metadata file, moves on to a new chunk, as a data mover does with a
  // chunk it cannot open. A chunk that holds many objects is retired: the next job starts a new
  // one.
  void ContinueAfterCrash(long long& chunkId, std::vector<WrittenObject>& committed, bool& chunkExists, uint64_t seed) {
    chunkExists = false;
    if (!std::filesystem::exists(MetaDataPath(chunkId))) {
      ASSERT_TRUE(committed.empty());
      ++chunkId;
      return;
    }
    AppendAndVerify(chunkId, committed, seed);
    if (HasFatalFailure()) return;
    chunkExists = true;
    if (committed.size() > 120) {
      std::filesystem::remove_all(ChunkDir(chunkId));
      committed.clear();
      chunkExists = false;
      ++chunkId;
    }
  }
};

}  // namespace sitest
