// The chunk pruner's main road on crafted chunks: entries pruned, containers removed, tails cut,
// holes drilled, each recorded in the index and the delete log once; the valid objects restore
// byte for byte; a second pass finds nothing more to do; an emptied chunk loses its index.

#include <map>

#include "pruner_fixture.h"

namespace {

using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 12;
constexpr size_t kObject = 20000;  // data bytes of most objects: 20016 in the container

class SFilePrunerTest : public PrunerTest {
 public:
  SFilePrunerTest() : chunk(volumePath, kChunk, kVolumeBlock) { SetConfig("DedupDrillHolesMinSize", 4096); }

  // Container 0: keys 1..6, container 1: keys 7..9, container 2: keys 10..12.
  void Craft() {
    for (int i = 0; i < 6; ++i) chunk.Add(0, kObject, 100, 100 + i);
    for (int i = 0; i < 3; ++i) chunk.Add(1, kObject, 100, 200 + i);
    for (int i = 0; i < 3; ++i) chunk.Add(2, kObject, 100, 300 + i);
    chunk.Write();
  }

  const craft::Object& Obj(uint64_t key) const { return chunk.Objects()[key - 1]; }

  // Prunes `keys` and finalizes: Finalize's result, `empty` its output.
  int PruneAndFinalize(const std::set<uint64_t>& keys, bool& empty) {
    auto pruner = MakePruner();
    EXPECT_EQ(0, Open(*pruner, kChunk));
    for (uint64_t k : keys) EXPECT_EQ(0, pruner->PruneEntry(static_cast<uint32_t>(k), DbMetaOffset(Obj(k))));
    return pruner->Finalize(empty);
  }

  // Every object not in `pruned` restores through the store's restore road.
  void ExpectRestorable(const std::set<uint64_t>& pruned) {
    auto store = MakeRestore();
    ASSERT_EQ(0, RestoreTest::Open(*store, kChunk));
    for (const craft::Object& o : chunk.Objects()) {
      if (pruned.count(o.key)) continue;
      EXPECT_EQ(o.bytes.substr(sitest::kObjectHeaderSize),
                ReadObject(*store, chunk.ContainerPath(o.container), o.offset, o.bytes.size() - sitest::kObjectHeaderSize))
          << "object " << o.key;
    }
  }

  std::string Rec(const char* kind, const std::string& rest) const {
    return std::string(kind) + " " + std::to_string(kMPId) + " " + std::to_string(kVolId) + " " +
           std::to_string(kChunk) + " " + rest;
  }

  craft::Chunk chunk;
};

TEST_F(SFilePrunerTest, RemovesCutsAndDrillsOnceAndKeepsEveryValidByte) {
  Craft();
  const std::set<uint64_t> pruned = {2, 3, 6, 7, 8, 9};
  const long long before = Allocated(chunk.ContainerPath(0));
  bool empty = true;
  ASSERT_EQ(0, PruneAndFinalize(pruned, empty));
  EXPECT_FALSE(empty);

  EXPECT_FALSE(Exists(chunk.ContainerPath(1)));
  EXPECT_EQ(static_cast<long long>(Obj(6).offset), Size(chunk.ContainerPath(0)));
  const uint64_t hole = Obj(4).offset - Obj(2).offset;
  // The hole frees its whole blocks, and the cut the tail's.
  const long long freed = before - Allocated(chunk.ContainerPath(0));
  const long long tail = static_cast<long long>(Obj(6).bytes.size());
  EXPECT_GE(freed, static_cast<long long>(hole) + tail - 3 * 4096);
  EXPECT_LE(freed, static_cast<long long>(hole) + tail + 4096);

  const auto records = Records(kChunk);
  ASSERT_EQ(12u, records.size());
  const std::map<uint64_t, uint32_t> expected = {{2, FLAG_SFILE_HOLE_DRILLED}, {3, FLAG_SFILE_HOLE_DRILLED},
                                                 {6, FLAG_SFILE_TRUNCATED},    {7, FLAG_SFILE_REMOVED},
                                                 {8, 0},                        {9, 0}};
  for (const auto& r : records) {
    const auto it = expected.find(r.Key);
    EXPECT_EQ(it == expected.end() ? FLAG_SFILE_ENTRY_VALID : it->second, r.Flags) << "key " << r.Key;
  }
  EXPECT_EQ((std::vector<std::string>{
                Rec("H", "0 " + std::to_string(Obj(2).offset) + " " + std::to_string(hole)),
                Rec("T", "0 " + std::to_string(Obj(6).offset) + " " + std::to_string(Obj(6).offset + Obj(6).bytes.size()) +
                             " " + std::to_string(Obj(6).offset)),
                Rec("D", "1")}),
            DeleteRecords());
  ExpectRestorable(pruned);

  // The next pass prunes the same keys again, as the driver does until their records are purged:
  // nothing is removed, cut or drilled twice.
  const std::string container0 = craft::ReadFile(chunk.ContainerPath(0));
  ASSERT_EQ(0, PruneAndFinalize(pruned, empty));
  EXPECT_EQ(3u, DeleteRecords().size());
  EXPECT_EQ(container0, craft::ReadFile(chunk.ContainerPath(0)));
  EXPECT_EQ(1, Faults().Calls(FsOp::DrillHole, "SFILE_CONTAINER_"));  // both counts are the first pass's
  EXPECT_EQ(1, Faults().Calls(FsOp::Truncate, "SFILE_CONTAINER_"));
  ExpectRestorable(pruned);
}

// The entry found for a key is the caller's object only at the offset the caller's metadata
// offset carries in its low 32 bits; a caller without an offset (0) takes the entry as it is.
TEST_F(SFilePrunerTest, AnEntryAtAnotherOffsetIsNotTheCallersObject) {
  Craft();
  struct Case {
    const char* name;
    uint64_t metaOffset;
    int result;
  };
  const Case cases[] = {
      {"no offset", 0, 0},
      {"its own offset", DbMetaOffset(Obj(2)), 0},
      {"its own offset under other high bits", (0xABCDull << 32) | Obj(2).offset, 0},
      {"another object's offset", DbMetaOffset(Obj(3)), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(ChunkDir(kChunk));
    chunk.Write();
    auto pruner = MakePruner();
    ASSERT_EQ(0, Open(*pruner, kChunk));
    EXPECT_EQ(c.result, pruner->PruneEntry(2, c.metaOffset));
    pruner.reset();
    for (const SSfileContainerIndexEntry& e : Records(kChunk)) {
      EXPECT_EQ(e.Key == 2 && c.result == 0 ? 0u : FLAG_SFILE_ENTRY_VALID, e.Flags) << "key " << e.Key;
    }
  }
}

TEST_F(SFilePrunerTest, AnEmptiedChunkLosesItsIndex) {
  Craft();
  std::set<uint64_t> all;
  for (uint64_t k = 1; k <= 12; ++k) all.insert(k);
  bool empty = false;
  ASSERT_EQ(0, PruneAndFinalize(all, empty));
  EXPECT_TRUE(empty);
  for (uint32_t n = 0; n < 3; ++n) EXPECT_FALSE(Exists(chunk.ContainerPath(n))) << n;
  EXPECT_FALSE(Exists(ContainerIndexPath(kChunk)));
  EXPECT_EQ((std::vector<std::string>{Rec("D", "0"), Rec("D", "1"), Rec("D", "2"), Rec("D", "SIDX")}),
            DeleteRecords());
}

}  // namespace
