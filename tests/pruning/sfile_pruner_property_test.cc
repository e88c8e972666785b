// Random rounds of pruning on random chunks: objects pruned (some twice), each round ending in a
// flush or a finalization, with random switches and hole sizes, on container indexes of version 4
// as the store writes them and of versions 1 and 2 rewritten from the same records, with container
// numbers that come back. After every round: each valid object reads back unchanged; a container
// is gone exactly when a finalization found none of its entries valid; no hole and no cut touches
// a valid object; the index's marks and the delete log agree with what happened on disk.

#include <map>
#include <random>

#include "index/index_test_util.h"
#include "pruner_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using platform::Faults;
using platform::FsOp;
using platform::FsTransfer;

constexpr long long kChunk = 12;

int Trials() {
  return mfstest::EnvCount("MFS_SFILE_PRUNE_TRIALS", 30);
}

class PrunerPropertyTest : public PrunerTest {
 public:
  // Rewrites the chunk's container index as a packed file of `version` (1: keyed by metadata
  // offset, lengths without the object header; 2: keyed by the object's key).
  void RewriteIndex(const craft::Chunk& chunk, uint32_t version) {
    idxtest::HeaderFields h;
    h.version = version;
    h.total = chunk.Objects().size();
    std::string bytes = idxtest::HeaderBytes(h);
    for (const craft::Object& o : chunk.Objects()) {
      std::string r(56, '\0');
      idxtest::PutBE64(r, 8, version == 1 ? o.metaOffset : o.key);
      idxtest::PutBE64(r, 16, o.offset);
      idxtest::PutBE64(r, 24, version == 1 ? o.bytes.size() - sitest::kObjectHeaderSize : o.bytes.size());
      idxtest::PutBE64(r, 32, o.metaOffset);
      idxtest::PutBE32(r, 40, o.container);
      idxtest::PutBE32(r, 44, FLAG_SFILE_ENTRY_VALID);
      idxtest::PutBE32(r, 48, idxtest::Crc(r, 0, 48));
      bytes += r;
    }
    craft::WriteFile(ContainerIndexPath(kChunk), bytes);
  }

  // The records of any layout, through the index itself.
  std::vector<SSfileContainerIndexEntry> AnyRecords() const {
    std::vector<SSfileContainerIndexEntry> out;
    const CFSInitParams params = FsParams();
    SingleInstancer_FS::SfileIndex idx(&params, nullptr);
    SingleInstancer_FS::SfileIndex::Options options{};
    if (idx.Open(ContainerIndexPath(kChunk), 1, options).IsFailure()) return out;
    for (int64_t i = 0; i < static_cast<int64_t>(idx.m_Header.TotalEntries); ++i) {
      SSfileContainerIndexEntry e{};
      if (idx.GetEntry(i, &e).IsFailure()) break;
      out.push_back(e);
    }
    (void)idx.Close();
    return out;
  }
};

TEST_F(PrunerPropertyTest, RandomRoundsKeepValidObjectsAndAgreeWithTheDisk) {
  const uint64_t seed = mfstest::Seed(31);
  std::mt19937_64 rng(seed);
  const int trials = Trials();
  for (int trial = 0; trial < trials; ++trial) {
    ResetPlatform();
    std::filesystem::remove_all(ChunkDir(kChunk));
    const uint32_t version = std::vector<uint32_t>{1, 2, 4}[rng() % 3];
    SCOPED_TRACE("trial " + std::to_string(trial) + ", index version " + std::to_string(version));
    // Containers written one after another; now and then a number comes back.
    craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
    std::vector<uint32_t> order;
    const int runs = 2 + static_cast<int>(rng() % 5);
    for (int r = 0; r < runs; ++r) {
      order.push_back(r > 0 && rng() % 4 == 0 ? order[rng() % order.size()] : static_cast<uint32_t>(r));
    }
    for (uint32_t n : order) {
      const int objects = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < objects; ++i) chunk.Add(n, 50 + rng() % 60000, 64, rng());
    }
    chunk.Write();
    if (version != 4) RewriteIndex(chunk, version);

    std::set<uint64_t> pruned;
    const int rounds = 1 + static_cast<int>(rng() % 4);
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      SetConfig("DedupDrillHoles", rng() % 5 != 0);
      SetConfig("DedupPruneAllowTruncate", rng() % 4 != 0);
      SetConfig("DedupDrillHolesMinSize", std::vector<long long>{1, 4096, 40000}[rng() % 3]);
      SetConfig("DedupDrillHolesMaxSize", std::vector<long long>{0, 4096, 10000, 1 << 20}[rng() % 4]);
      Faults().TraceTransfers(true);
      auto pruner = MakePruner();
      const int opened = Open(*pruner, kChunk);
      if (opened == 1) {  // every container and the index are gone
        EXPECT_FALSE(Exists(ContainerIndexPath(kChunk)));
        break;
      }
      ASSERT_EQ(0, opened);
      for (const craft::Object& o : chunk.Objects()) {
        if (rng() % 3 == 0 || (pruned.count(o.key) && rng() % 2 == 0)) {
          // Version 1 finds the entry by the object's offset in the metadata file.
          const uint64_t metaOffset = version == 1 ? o.metaOffset : DbMetaOffset(o);
          ASSERT_EQ(0, pruner->PruneEntry(static_cast<uint32_t>(o.key), metaOffset));
          pruned.insert(o.key);
        }
      }
      const bool finalize = rng() % 3 != 0;
      bool empty = false;
      ASSERT_EQ(0, finalize ? pruner->Finalize(empty) : pruner->Flush());
      pruner.reset();

      // Valid objects, and the containers they keep.
      std::map<uint32_t, bool> anyValid;
      for (const craft::Object& o : chunk.Objects()) anyValid[o.container] |= !pruned.count(o.key);
      for (const craft::Object& o : chunk.Objects()) {
        if (pruned.count(o.key)) continue;
        ASSERT_EQ(o.bytes, sitest::FileBytes(chunk.ContainerPath(o.container), o.offset, o.bytes.size()))
            << "object " << o.key;
      }
      // Holes and cuts never reach a valid object.
      for (const FsTransfer& t : Faults().Transfers("SFILE_CONTAINER_")) {
        if (t.op != FsOp::DrillHole && t.op != FsOp::Truncate) continue;
        const uint64_t from = static_cast<uint64_t>(t.offset);
        const uint64_t to = t.op == FsOp::Truncate ? ~0ull : from + t.length;
        for (const craft::Object& o : chunk.Objects()) {
          if (pruned.count(o.key) || chunk.ContainerPath(o.container) != t.path) continue;
          EXPECT_TRUE(to <= o.offset || from >= o.offset + o.bytes.size())
              << FsOpName(t.op) << " [" << from << ", " << to << ") over object " << o.key;
        }
      }
      // The index's marks agree with the disk, and with the delete log. An index is removed only
      // with the last container.
      if (!Exists(ContainerIndexPath(kChunk))) {
        EXPECT_TRUE(finalize);
        for (const auto& [number, valid] : anyValid) EXPECT_TRUE(!valid && !Exists(chunk.ContainerPath(number))) << number;
        break;
      }
      const auto records = AnyRecords();
      ASSERT_EQ(chunk.Objects().size(), records.size());
      std::set<uint32_t> markedRemoved;
      for (size_t i = 0; i < records.size(); ++i) {
        const SSfileContainerIndexEntry& r = records[i];
        const craft::Object& o = chunk.Objects()[i];
        EXPECT_EQ(!pruned.count(o.key), (r.Flags & FLAG_SFILE_ENTRY_VALID) != 0) << "key " << o.key;
        if (r.Flags & FLAG_SFILE_REMOVED) markedRemoved.insert(o.container);
        if (r.Flags & FLAG_SFILE_TRUNCATED) {
          EXPECT_LE(Size(chunk.ContainerPath(o.container)), static_cast<long long>(o.offset));
        }
      }
      std::set<uint32_t> removedRecords;
      for (const std::string& rec : DeleteRecords()) {
        unsigned int mp = 0, vol = 0, number = 0;
        unsigned long long chunkId = 0;
        char kind = 0;
        if (sscanf(rec.c_str(), "%c %u %u %llu %u", &kind, &mp, &vol, &chunkId, &number) == 5 && kind == 'D') {
          EXPECT_TRUE(removedRecords.insert(number).second) << "removed twice: " << number;
        }
      }
      for (const auto& [number, valid] : anyValid) {
        const bool exists = Exists(chunk.ContainerPath(number));
        EXPECT_TRUE(exists || !valid) << "container " << number;
        EXPECT_EQ(!exists, markedRemoved.count(number) != 0) << "container " << number;
        EXPECT_EQ(!exists, removedRecords.count(number) != 0) << "container " << number;
        EXPECT_TRUE(!finalize || valid || !exists) << "container " << number;
      }
      if (HasFailure()) {
        ADD_FAILURE() << "seed " << seed;
        return;
      }
    }
  }
}

}  // namespace
