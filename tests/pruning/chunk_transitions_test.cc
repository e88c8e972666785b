// The chunk level of the walk: which records are purged, kept or dropped as their chunk's state
// moves, what a failed finalization leaves to chunk removal, and standalone files of primary
// records.

#include "driver_fixture.h"

namespace {

using prunetest::kMP1;
using prunetest::kMP2;

class ChunkTransitionsTest : public prunetest::DriverTest {};

TEST_F(ChunkTransitionsTest, AFailedFinalizationLeavesTheSideFilesOfContainersThatRemain) {
  // Both objects pruned, so the walk finds nothing valid; the removal of container 1 fails, and
  // its compaction's side file may be the only copy of live data.
  craft::Chunk c = CraftChunk(mountPath, kVolId, 50, 2, 2);
  const std::string side = c.ContainerPath(1) + ".compact2";
  craft::WriteFile(side, "the compacted copy");
  AddRecords({Rec(kMP1, kVolId, 50, 1), Rec(kMP1, kVolId, 50, 2)});
  platform::FaultRule rule;
  rule.op = platform::FsOp::Remove;
  rule.pathContains = "CHUNK_50/SFILE_CONTAINER_001";
  platform::Faults().Add(rule);
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecordsInt(&db, nullptr, nullptr, 1LL << 40));
  EXPECT_TRUE(platform::LogContains("Cannot finalize chunk ["));
  EXPECT_TRUE(Exists(c.ContainerPath(1)));
  EXPECT_TRUE(Exists(side));
  // A finalization that failed otherwise than on a corrupt index keeps the chunk's records.
  EXPECT_EQ((std::vector<uint64_t>{50001, 50002}), RecordsLeft());

  // The next pass finishes: the container, its side file, the folder and the trailer go.
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_TRUE(RecordsLeft().empty());
  EXPECT_FALSE(Exists(c.Dir()));
  EXPECT_FALSE(Exists(TrailerOf(mountPath, kVolId, 50)));
}

TEST_F(ChunkTransitionsTest, EntriesNotFoundAreKeptUnlessTheyMayBeAbsent) {
  CraftChunk(mountPath, kVolId, 60, 3);
  CZeroRefRecord absentOk = Rec(kMP1, kVolId, 60, 77, 60077);
  absentOk.Flags = kZeroRefEntryMayBeAbsent;
  // Sorted by primary id within the chunk: 60001, 60077 (may be absent), 60088 (absent), 60003.
  AddRecords({Rec(kMP1, kVolId, 60, 1, 60001), absentOk, Rec(kMP1, kVolId, 60, 88, 60088),
              Rec(kMP1, kVolId, 60, 3, 60099)});
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecordsInt(&db, nullptr, nullptr, 1LL << 40));
  EXPECT_TRUE(platform::LogContains("Failed to prune primary id [60088]"));
  // Ids collected before the failure are purged; the failing record and the rest of the chunk stay.
  EXPECT_EQ((std::vector<uint64_t>{60088, 60099}), RecordsLeft());
  EXPECT_TRUE(Exists(ChunkDirOf(mountPath, kVolId, 60)));
}

TEST_F(ChunkTransitionsTest, AChunkWithoutIndexWorkThatSpansBatchesStaysBound) {
  // Chunk 114 (mount path 6) has no container index and four records; the first batch ends
  // inside it. The second batch sorts chunk 116 of mount path 5 first: it must be worked on
  // there, not under chunk 114's volume and mount path.
  CraftChunk(mountPath2, 30, 114, 4, 1, false);
  craft::Chunk c116 = CraftChunk(mountPath, kVolId, 116, 2);
  AddRecords({Rec(kMP2, 30, 114, 1), Rec(kMP2, 30, 114, 2), Rec(kMP2, 30, 114, 3), Rec(kMP2, 30, 114, 4),
              Rec(kMP1, kVolId, 116, 1)});
  platform::Sidb().batchSize = 3;
  auto p = MakeDriver();
  EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  EXPECT_TRUE(RecordsLeft().empty());
  for (const SSfileContainerIndexEntry& e : Records(116)) {
    EXPECT_EQ(e.Key == 2, (e.Flags & FLAG_SFILE_ENTRY_VALID) != 0) << "key " << e.Key;
  }
  EXPECT_FALSE(platform::LogContains("V_30/CHUNK_116"));
}

TEST_F(ChunkTransitionsTest, PrimaryRecordsOfStandaloneFiles) {
  craft::Chunk c = CraftChunk(mountPath, kVolId, 70, 1);
  const std::string name = SingleInstancer_FS::GetSIFileName(70, 2, 3, 4096, true);
  craft::WriteFile(path_append(c.Dir(), name), "standalone");
  auto p = MakeDriver();
  p->OnMountPathStart(kMP1, false);
  p->OnVolumeStart(kVolId);
  p->OnChunkStart(70);
  CPrimaryRecord r{};
  r.VolumeId = kVolId;
  r.MountPathId = kMP1;
  r.ChunkId = 70;
  r.FileFirstNumber = 70;
  r.FileSecondNumber = 2;
  r.SFileKey = 3;
  r.MetadataOffset = 4096;
  EXPECT_EQ(0, p->PruneBlock(&r));
  EXPECT_FALSE(Exists(path_append(c.Dir(), name)));
  EXPECT_EQ((std::vector<std::string>{"D 5 17 70 " + name}), prunetest::DeleteLogRecords());
  EXPECT_EQ(-1, p->PruneBlock(&r));  // gone already: not removed, not collected
  // An object in a container goes through its zero-reference record.
  r.Flags = 0x40;
  r.SFileKey = 1;
  r.MetadataOffset = DbMetaOffset(c.Objects()[0]);
  EXPECT_EQ(0, p->PruneBlock(&r));
  EXPECT_EQ(0, p->OnChunkEnd(true));
  EXPECT_FALSE(Exists(c.Dir()));  // its only object went
}

}  // namespace
