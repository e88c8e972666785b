// A pruning run end to end: chunks written by the store's backup road and crafted in older
// layouts, on two mount paths and several volumes, with records of whole chunks, parts of chunks
// and chunks that span batches. Afterwards every record is gone, storage is as the removals say,
// every object that was not pruned reads back byte for byte, and the space given back shows in
// the blocks the files hold.

#include <random>

#include "backup_road_fixture.h"

namespace {

using prunetest::kMP1;
using prunetest::kMP2;

class EndToEndTest : public prunetest::BackupRoadTest {};

TEST_F(EndToEndTest, APassPrunesWhatTheRecordsNameAndNothingElse) {
  // Volume 17 (mount path 5), written by the backup road: chunk 100 keeps five of eight objects
  // (three large ones pruned: holes), chunk 101 loses all of its objects.
  const std::vector<uint32_t> sizes100 = {300000, 400000, 5000, 350000, 700, 600000, 200, 250000};
  std::vector<sitest::WrittenObject> c100 = BackupRoadChunk(100, sizes100);
  std::vector<sitest::WrittenObject> c101 = BackupRoadChunk(101, {9000, 8000, 7000, 6000});
  // Volume 18 (mount path 5): one crafted chunk, all pruned, the volume marked by the host.
  CraftChunk(mountPath, 18, 200, 2);
  // Volume 30 (mount path 6): a chunk of two containers, half pruned; an older chunk without a
  // container index.
  craft::Chunk c300 = CraftChunk(mountPath2, 30, 300, 4, 2);
  craft::Chunk c301 = CraftChunk(mountPath2, 30, 301, 2, 1, false);

  std::vector<CZeroRefRecord> records = {Rec(kMP1, kVolId, 100, 2), Rec(kMP1, kVolId, 100, 4),
                                         Rec(kMP1, kVolId, 100, 6)};
  for (uint64_t k = 1; k <= 4; ++k) records.push_back(Rec(kMP1, kVolId, 101, k));
  records.push_back(Rec(kMP1, 18, 200, 1));
  records.push_back(Rec(kMP1, 18, 200, 2));
  records.push_back(Rec(kMP2, 30, 300, 1));
  records.push_back(Rec(kMP2, 30, 300, 2));
  records.push_back(Rec(kMP2, 30, 301, 1, 0, DbMetaOffset(c301.Objects()[0])));
  AddRecords(records);
  platform::sidb::ReadRecords(sidbPath, records);
  platform::Sidb().batchSize = 4;  // chunks 100 and 101 span batches

  auto marker = MakeDriver();
  marker->OnMountPathStart(kMP1, false);
  ASSERT_EQ(0, marker->MarkVolumePrunable(18));
  marker.reset();

  const unsigned long long allocatedBefore = prunetest::AllocatedBytes(ChunkDir(100));
  prunetest::VolumeCalls volumes;
  auto p = MakeDriver();
  ASSERT_EQ(0, p->PruneZeroRefRecords(&db, &prunetest::VolumeCalls::OnModified, &volumes, 3600));

  // Every record was handled and purged once.
  EXPECT_TRUE(RecordsLeft().empty());
  std::vector<unsigned long long> purged = platform::Sidb().purged;
  std::sort(purged.begin(), purged.end());
  std::vector<unsigned long long> all;
  for (const CZeroRefRecord& r : records) all.push_back(r.PrimaryId);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, purged);

  // Storage: chunk 101 and volume 18 are gone, the rest stays.
  EXPECT_FALSE(Exists(ChunkDir(101)));
  EXPECT_FALSE(Exists(TrailerOf(mountPath, kVolId, 101)));
  EXPECT_FALSE(Exists(VolumeDir(mountPath, 18)));
  EXPECT_TRUE(Exists(TrailerOf(mountPath, kVolId, 100)));
  EXPECT_TRUE(Exists(c300.Dir()));
  EXPECT_TRUE(Exists(c301.MetaPath()));  // its containers' objects read their metadata there
  EXPECT_NE(volumes.calls.end(), std::find(volumes.calls.begin(), volumes.calls.end(), std::make_pair(18, -4)));
  EXPECT_NE(volumes.calls.end(), std::find(volumes.calls.begin(), volumes.calls.end(), std::make_pair(30, -1)));

  // The delete log names the removals of chunk 101 and of volume 18.
  const std::vector<std::string> log = prunetest::DeleteLogRecords();
  for (const char* expected : {"D 5 17 101 CMTD", "D 5 17 101 CIDX", "D 5 18 200 CMTD", "D 5 18 .prunable", "D 5 18"}) {
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), expected)) << expected;
  }

  // Every unpruned object reads back byte for byte, through the reader and the restore road.
  auto restore = MakeRestore();
  ASSERT_EQ(0, RestoreTest::Open(*restore, 100));
  for (const sitest::WrittenObject& w : c100) {
    if (w.shape.key == 2 || w.shape.key == 4 || w.shape.key == 6) continue;
    SCOPED_TRACE("object " + std::to_string(w.shape.key));
    const std::string bytes = sitest::ObjectBytes(w.shape);
    EXPECT_EQ(bytes, ReadThroughSIFile(100, w));
    EXPECT_EQ(bytes.substr(16), ReadObject(*restore, ContainerPath(100, w.container), w.offset, w.shape.dataSize));
  }
  for (size_t i = 2; i < 4; ++i) {
    const craft::Object& o = c300.Objects()[i];
    EXPECT_EQ(o.bytes, craft::ReadFile(c300.ContainerPath(o.container)).substr(o.offset, o.bytes.size()));
  }

  // The blocks of chunk 100 fall by what the delete log says was given back, within a block at
  // each end of each hole or cut.
  unsigned long long reclaimed = 0, ends = 0;
  for (const std::string& line : log) {
    unsigned int mp, vol, sfile;
    unsigned long long chunk, a, b, c;
    if (sscanf(line.c_str(), "H %u %u %llu %u %llu %llu", &mp, &vol, &chunk, &sfile, &a, &b) == 6 && chunk == 100) {
      reclaimed += b;
      ends += 2;
    } else if (sscanf(line.c_str(), "T %u %u %llu %u %llu %llu %llu", &mp, &vol, &chunk, &sfile, &a, &b, &c) == 7 &&
               chunk == 100) {
      reclaimed += b - a;
      ends += 1;
    }
  }
  EXPECT_GT(reclaimed, 0u);
  const unsigned long long allocatedAfter = prunetest::AllocatedBytes(ChunkDir(100));
  const unsigned long long fell = allocatedBefore - allocatedAfter;
  EXPECT_LE(fell, reclaimed + ends * 4096);
  EXPECT_GE(fell + ends * 4096, reclaimed);
}

}  // namespace
