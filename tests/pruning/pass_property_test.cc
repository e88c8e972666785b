// The walk as a property test against a model: random chunks over two mount paths and three
// volumes, random records, chunks locked by another pruner, absent and corrupt container indexes,
// failing index flushes, a read-only mount path and a window that closes on the clock. Passes run
// until nothing changes; after each run no record is purged while its object's entry is valid on
// disk, records of chunks that could not be worked on stay, and in the end every record of a
// chunk that can be pruned is gone and every object that no record names is whole.
//
// MFS_PRUNE_PROPERTY_TRIALS sets the number of random layouts (20 by default).

#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "driver_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using prunetest::kMP1;
using prunetest::kMP2;

enum class Kind { kHealthy, kNoIndex, kCorruptIndex, kLocked, kReadOnly };

struct ModelChunk {
  unsigned int mp, vol;
  unsigned long long id;
  Kind kind;
  std::unique_ptr<craft::Chunk> chunk;
  std::set<uint64_t> pruned;  // keys with a record
};

class PassPropertyTest : public prunetest::DriverTest {
 public:
  std::string MountPathOf(unsigned int mp) const { return mp == kMP1 ? mountPath : mountPath2; }

  // The valid flag of each key in the chunk's container index as stored; empty without a
  // readable index.
  std::map<uint64_t, bool> ValidKeys(const ModelChunk& c) {
    std::map<uint64_t, bool> out;
    const std::string path = path_append(c.chunk->Dir(), "SFILE_CONTAINER.idx");
    if (!Exists(path)) return out;
    sitest::RawIndex raw = sitest::ReadRawIndex(path, sizeof(SSfileContainerIndexEntry), 48);
    for (size_t i = 0; i < raw.totalEntries && i < raw.records.size(); ++i) {
      const SSfileContainerIndexEntry e = sitest::DecodeContainerRecord(raw.records[i]);
      out[e.Key] = (e.Flags & FLAG_SFILE_ENTRY_VALID) != 0;
    }
    return out;
  }
};

TEST_F(PassPropertyTest, RecordsLeaveOnlyAfterTheirEntriesAndHealthyChunksEndClean) {
  std::mt19937_64 rng(mfstest::Seed(5101));
  const int trials = mfstest::EnvCount("MFS_PRUNE_PROPERTY_TRIALS", 20);
  for (int trial = 0; trial < trials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    platform::ResetAll();
    SetUpConfig();
    std::filesystem::remove_all(mountPath);
    std::filesystem::remove_all(mountPath2);
    std::filesystem::create_directories(mountPath);
    std::filesystem::create_directories(mountPath2);
    const bool readOnly2 = rng() % 4 == 0;
    if (readOnly2) platform::Config().mountPaths[{kMP2, prunetest::kInstallation}].accessFlags = 0;

    std::vector<ModelChunk> chunks;
    std::vector<CZeroRefRecord> records;
    std::vector<std::unique_ptr<MDLock>> locks;
    const int count = 3 + static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      ModelChunk c;
      c.mp = rng() % 3 == 0 ? kMP2 : kMP1;
      c.vol = c.mp == kMP2 ? 30 : (rng() % 2 ? 17 : 18);
      c.id = 100 + static_cast<unsigned long long>(i) * 4 + rng() % 3;
      const int objects = 2 + static_cast<int>(rng() % 4);
      const uint64_t r = rng() % 10;
      c.kind = r == 0 ? Kind::kNoIndex : r == 1 ? Kind::kCorruptIndex : r == 2 ? Kind::kLocked : Kind::kHealthy;
      if (c.mp == kMP2 && readOnly2) c.kind = Kind::kReadOnly;
      c.chunk = std::make_unique<craft::Chunk>(CraftChunk(MountPathOf(c.mp), c.vol, c.id, objects,
                                                          1 + static_cast<uint32_t>(rng() % 2),
                                                          c.kind != Kind::kNoIndex));
      if (c.kind == Kind::kCorruptIndex) craft::WriteFile(path_append(c.chunk->Dir(), "SFILE_CONTAINER.idx"), "junk");
      if (c.kind == Kind::kLocked) {
        locks.push_back(std::make_unique<MDLock>("OZMA_SIDB_PRUNE_PHASE_3_LOCK_CHUNK_" + std::to_string(c.id)));
        ASSERT_NE(0, locks.back()->set(0));
      }
      for (const craft::Object& o : c.chunk->Objects()) {
        if (rng() % 3 == 0) continue;
        c.pruned.insert(o.key);
        records.push_back(Rec(c.mp, c.vol, c.id, o.key, 0, DbMetaOffset(o)));
      }
      chunks.push_back(std::move(c));
    }
    if (records.empty()) continue;
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, records));
    platform::Sidb().batchSize = 2 + static_cast<unsigned int>(rng() % 5);
    // Some index flushes fail on the first runs.
    if (rng() % 2 == 0) {
      platform::FaultRule flush;
      flush.op = platform::FsOp::Flush;
      flush.pathContains = "SFILE_CONTAINER.idx";
      flush.nth = 1 + static_cast<int>(rng() % 4);
      flush.times = 1;
      platform::Faults().Add(flush);
    }

    std::vector<uint64_t> before = RecordsLeft();
    for (int run = 0; run < 12; ++run) {
      // The window closes for a run now and then; the clock moves past its cache.
      platform::Config().pruningEnabled = rng() % 5 != 0;
      platform::AdvanceClock(31000);
      if (run == 3) locks.clear();  // the other pruner lets go
      auto p = MakeDriver();
      (void)p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600);

      const std::vector<uint64_t> left = RecordsLeft();
      const std::set<uint64_t> leftSet(left.begin(), left.end());
      for (const ModelChunk& c : chunks) {
        std::map<uint64_t, bool> valid = ValidKeys(c);
        for (uint64_t key : c.pruned) {
          const bool purged = leftSet.count(c.id * 1000 + key) == 0;
          if (!purged) continue;
          // Purged: its entry is cleared, or the chunk had no usable index.
          EXPECT_FALSE(valid.count(key) != 0 && valid[key]) << "chunk " << c.id << " key " << key << " run " << run;
          EXPECT_NE(Kind::kReadOnly, c.kind) << "chunk " << c.id;
          if (c.kind == Kind::kLocked && run < 3) ADD_FAILURE() << "locked chunk " << c.id << " was worked on";
        }
      }
      if (HasFailure()) return;
      if (left == before && run >= 4 && platform::Config().pruningEnabled) break;
      before = left;
    }
    platform::Config().pruningEnabled = true;
    platform::AdvanceClock(31000);
    auto p = MakeDriver();
    (void)p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600);

    const std::vector<uint64_t> left = RecordsLeft();
    const std::set<uint64_t> leftSet(left.begin(), left.end());
    for (const ModelChunk& c : chunks) {
      SCOPED_TRACE("chunk " + std::to_string(c.id));
      for (uint64_t key : c.pruned) {
        EXPECT_EQ(c.kind == Kind::kReadOnly, leftSet.count(c.id * 1000 + key) != 0) << "key " << key;
      }
      // Objects no record names are whole.
      for (const craft::Object& o : c.chunk->Objects()) {
        if (c.pruned.count(o.key) != 0) continue;
        EXPECT_EQ(o.bytes, craft::ReadFile(c.chunk->ContainerPath(o.container)).substr(o.offset, o.bytes.size()))
            << "object " << o.key;
      }
      // A healthy chunk that lost every object is gone with its trailer.
      if (c.kind == Kind::kHealthy || c.kind == Kind::kLocked) {
        const bool emptied = c.pruned.size() == c.chunk->Objects().size();
        EXPECT_EQ(emptied, !Exists(c.chunk->Dir()));
        EXPECT_EQ(emptied, !Exists(TrailerOf(MountPathOf(c.mp), c.vol, c.id)));
      }
    }
    if (HasFailure()) return;
  }
}

}  // namespace
