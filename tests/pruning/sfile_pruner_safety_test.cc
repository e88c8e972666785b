// What keeps the chunk pruner from losing data or repeating itself: a container number that comes
// back later in the index is removed only when no run of it holds a valid object and is never cut;
// a container already gone counts as removed; removals reach the disk before the index that
// records them; the chunk lock keeps a second pruner, of this process or another, off the chunk.

#include "pruner_fixture.h"
#include "sistore/child_holder.h"

namespace {

using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 12;
constexpr size_t kSmall = 20000;

class PrunerSafetyTest : public PrunerTest {
 public:
  PrunerSafetyTest() : chunk(volumePath, kChunk, kVolumeBlock) { SetConfig("DedupDrillHolesMinSize", 4096); }

  const craft::Object& Obj(uint64_t key) const { return chunk.Objects()[key - 1]; }

  int PruneAndFinalize(const std::set<uint64_t>& keys) {
    auto pruner = MakePruner();
    if (int rc = Open(*pruner, kChunk); rc != 0) return 100 + rc;
    for (uint64_t k : keys) {
      if (pruner->PruneEntry(static_cast<uint32_t>(k), DbMetaOffset(Obj(k))) != 0) return 200;
    }
    bool empty = false;
    return pruner->Finalize(empty);
  }

  std::map<uint64_t, uint32_t> Flags() const {
    std::map<uint64_t, uint32_t> out;
    for (const auto& r : Records(kChunk)) out[r.Key] = r.Flags;
    return out;
  }

  std::string Rec(const std::string& rest) const {
    return std::to_string(kMPId) + " " + std::to_string(kVolId) + " " + std::to_string(kChunk) + " " + rest;
  }

  craft::Chunk chunk;
};

// Container 0 holds keys 1 and 2, container 1 key 3, and container 0 comes back with keys 4 and 5.
TEST_F(PrunerSafetyTest, AContainerNumberThatComesBackIsRemovedOnlyWhenAllOfItIsPruned) {
  struct Case {
    const char* name;
    std::set<uint64_t> keys;
    bool removed;
    std::map<uint64_t, uint32_t> flags;  // of the pruned keys
    std::vector<std::string> records;
  };
  const auto holeOf = [&](uint64_t key, int count) {
    return "H " + Rec("0 " + std::to_string(Obj(key).offset) + " " + std::to_string(count * (kSmall + 16)));
  };
  chunk.Add(0, kSmall, 100, 1);
  chunk.Add(0, kSmall, 100, 2);
  chunk.Add(1, kSmall, 100, 3);
  chunk.Add(0, kSmall, 100, 4);
  chunk.Add(0, kSmall, 100, 5);
  const Case cases[] = {
      {"the first run pruned: drilled, not removed", {1, 2}, false,
       {{1, FLAG_SFILE_HOLE_DRILLED}, {2, FLAG_SFILE_HOLE_DRILLED}}, {holeOf(1, 2)}},
      {"the first run's tail pruned: drilled, not cut", {2}, false, {{2, FLAG_SFILE_HOLE_DRILLED}}, {holeOf(2, 1)}},
      {"the last run's tail pruned: drilled, not cut", {5}, false, {{5, FLAG_SFILE_HOLE_DRILLED}}, {holeOf(5, 1)}},
      {"both runs pruned: removed once", {1, 2, 4, 5}, true,
       {{1, FLAG_SFILE_REMOVED}, {2, 0}, {4, FLAG_SFILE_REMOVED}, {5, 0}}, {"D " + Rec("0")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetPlatform();
    SetConfig("DedupDrillHolesMinSize", 4096);
    std::filesystem::remove_all(ChunkDir(kChunk));
    std::remove(deleteFile.path().c_str());
    deleteLog.initialize(&deleteFile, kDeleteLogId, -1, false, "");
    chunk.Write();
    for (int pass = 0; pass < 2; ++pass) {  // the second pass finds nothing more to do
      ASSERT_EQ(0, PruneAndFinalize(c.keys));
      EXPECT_EQ(!c.removed, Exists(chunk.ContainerPath(0)));
      EXPECT_EQ(0, Faults().Calls(FsOp::Truncate, "SFILE_CONTAINER_"));
      EXPECT_EQ(c.records, DeleteRecords());
      const auto flags = Flags();
      for (const craft::Object& o : chunk.Objects()) {
        const auto it = c.flags.find(o.key);
        EXPECT_EQ(it == c.flags.end() ? FLAG_SFILE_ENTRY_VALID : it->second, flags.at(o.key)) << "key " << o.key;
        if (!c.removed && !c.keys.count(o.key)) {
          EXPECT_EQ(o.bytes, sitest::FileBytes(chunk.ContainerPath(o.container), o.offset, o.bytes.size()));
        }
      }
    }
  }
}

// A pass that removed a container and stopped before its index flush (and maybe before its
// delete-log record) leaves the container gone and its entries unmarked: the next pass marks it
// removed, records the removal and goes on.
TEST_F(PrunerSafetyTest, AContainerAlreadyGoneCountsAsRemoved) {
  chunk.Add(0, kSmall, 100, 1);
  chunk.Add(1, kSmall, 100, 2);
  chunk.Add(2, kSmall, 100, 3);
  chunk.Write();
  std::filesystem::remove(chunk.ContainerPath(1));
  ASSERT_EQ(0, PruneAndFinalize({2, 3}));
  EXPECT_FALSE(Exists(chunk.ContainerPath(2)));
  EXPECT_EQ(FLAG_SFILE_REMOVED, Flags().at(2));
  EXPECT_EQ(FLAG_SFILE_REMOVED, Flags().at(3));
  EXPECT_EQ((std::vector<std::string>{"D " + Rec("1"), "D " + Rec("2")}), DeleteRecords());
  EXPECT_TRUE(platform::LogContains("is already removed."));
}

// The chunk folder is flushed after the walk's removals and before the index flush, and again after
// the index itself is removed.
TEST_F(PrunerSafetyTest, RemovalsAreDurableBeforeTheIndexSaysSo) {
  chunk.Add(0, kSmall, 100, 1);
  chunk.Add(1, kSmall, 100, 2);
  chunk.Write();
  std::vector<std::string> steps;
  Faults().SetHook([&](FsOp op, const std::string& path) {
    const std::string name = path == ChunkDir(kChunk) ? "chunk folder" : CXoPath::GetBaseName(path);
    if ((op == FsOp::Remove || op == FsOp::Flush) && name.find(".change") == std::string::npos) {
      steps.push_back(std::string(platform::FsOpName(op)) + " " + name);
    }
  });
  ASSERT_EQ(0, PruneAndFinalize({1}));
  ASSERT_EQ(0, PruneAndFinalize({1, 2}));
  Faults().SetHook(nullptr);
  EXPECT_EQ((std::vector<std::string>{
                FsOpName(FsOp::Remove) + std::string(" SFILE_CONTAINER_000"),
                FsOpName(FsOp::Flush) + std::string(" chunk folder"),
                FsOpName(FsOp::Flush) + std::string(" SFILE_CONTAINER.idx"),
                FsOpName(FsOp::Remove) + std::string(" SFILE_CONTAINER_001"),
                FsOpName(FsOp::Flush) + std::string(" chunk folder"),
                FsOpName(FsOp::Flush) + std::string(" SFILE_CONTAINER.idx"),
                FsOpName(FsOp::Remove) + std::string(" SFILE_CONTAINER.idx"),
                FsOpName(FsOp::Flush) + std::string(" chunk folder"),
            }),
            steps);
}

TEST_F(PrunerSafetyTest, TheChunkLockKeepsASecondPrunerOff) {
  chunk.Add(0, kSmall, 100, 1);
  chunk.Add(0, kSmall, 100, 2);
  chunk.Write();
  auto first = MakePruner();
  ASSERT_EQ(0, Open(*first, kChunk));

  // In this process: refused, and nothing taken.
  auto second = MakePruner();
  EXPECT_EQ(-1, Open(*second, kChunk));
  EXPECT_EQ(1u, platform::LogCount("Cannot lock chunk [12]."));
  second.reset();

  // A borrowed index takes no lock: its owner keeps others off.
  const CFSInitParams params = FsParams();
  SingleInstancer_FS::SfileIndex borrowed(&params, nullptr);
  SingleInstancer_FS::SfileIndex::Options options{false, true, true, true};
  ASSERT_TRUE(borrowed.Open(ContainerIndexPath(kChunk), 2, options).IsSuccess());
  {
    auto user = MakePruner();
    ASSERT_EQ(0, user->OpenSfileIdx(kMPId, mountPath, kVolId, kChunk, &borrowed));
    EXPECT_EQ(0, user->PruneEntry(1, DbMetaOffset(Obj(1))));
    EXPECT_EQ(0, user->PruneEntry(2, DbMetaOffset(Obj(2))));
    bool empty = false;
    ASSERT_EQ(0, user->Finalize(empty));
    EXPECT_TRUE(empty);
  }
  // The emptied chunk's container is gone; the borrowed index is flushed, neither closed nor
  // removed by the pruner.
  EXPECT_FALSE(Exists(chunk.ContainerPath(0)));
  EXPECT_TRUE(borrowed.IsValid());
  EXPECT_TRUE(Exists(ContainerIndexPath(kChunk)));
  EXPECT_EQ(FLAG_SFILE_REMOVED, Flags().at(1));
  ASSERT_TRUE(borrowed.Close().IsSuccess());

  // In another process, while this one holds the chunk, and once it lets go.
  auto tryInChild = [&] {
    ChildHolder other([&]() -> std::shared_ptr<void> {
      auto p = std::make_shared<CSFilePruner>(&params, &log, nullptr, 0);
      return Open(*p, kChunk) == 0 ? p : nullptr;
    });
    return other.holding();
  };
  EXPECT_FALSE(tryInChild());
  first.reset();
  EXPECT_TRUE(tryInChild());
  auto third = MakePruner();
  EXPECT_EQ(0, Open(*third, kChunk));
}

}  // namespace
