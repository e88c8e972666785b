// End to end: chunks written by the store's backup road (threaded: the backup takes the file
// flusher), one of them with a compacted container, one pruned as cloud storage over the same
// folder. Random objects are pruned and the chunks finalized; every other object restores byte
// for byte through the restore reader (CSIFile) and, where nothing is compacted, the store's
// restore road; and the space is back: containers without a valid object are gone, dead tails cut
// off, and the allocated blocks fall by what the holes cover.

#include <algorithm>
#include <map>
#include <random>

#include "MediaFileSystem/SIFile.h"
#include "pruner_fixture.h"
#include "sistore/compaction_fixture.h"

namespace {

using sitest::WrittenObject;

constexpr long long kDiskChunk = 9;
constexpr long long kCloudChunk = 10;
constexpr long long kCompactedChunk = 11;
constexpr uint64_t kObjects = 60;
constexpr long long kBlock = 4096;

class PruneRoadTest : public PrunerTest {
 public:
  _OzLogDef hostLog{};

  PruneRoadTest() {
    InitOZlog(&hostLog, "SIFILE", "restore", 1);
    sitest::UseEndToEndContainers();
    SetConfig("DedupDrillHolesMinSize", 4096);
  }

  std::vector<WrittenObject> Backup(long long chunkId) {
    auto store = MakeStore();
    InitBackup(*store);
    std::vector<WrittenObject> objects;
    std::string step;
    EXPECT_EQ(0, sitest::BackupMixedChunk(*store, ArchiveId(chunkId), kObjects, 25, objects, step)) << step;
    return objects;
  }

  // Keys to prune: every object of one container, the last three of another, a third of the rest.
  static std::set<uint64_t> Choose(const std::vector<WrittenObject>& objects, std::mt19937_64& rng) {
    std::map<uint32_t, std::vector<uint64_t>> byContainer;
    for (const WrittenObject& w : objects) byContainer[w.container].push_back(w.shape.key);
    std::set<uint64_t> keys;
    auto it = byContainer.begin();
    for (uint64_t k : it->second) keys.insert(k);
    ++it;
    for (size_t i = it->second.size() - 3; i < it->second.size(); ++i) keys.insert(it->second[i]);
    for (const WrittenObject& w : objects) {
      if (rng() % 3 == 0) keys.insert(w.shape.key);
    }
    return keys;
  }

  int Prune(CSFilePruner& pruner, long long chunkId, uint32_t mpId, const std::vector<WrittenObject>& objects,
            const std::set<uint64_t>& keys) {
    if (int rc = pruner.OpenSfileIdx(mpId, mountPath, kVolId, static_cast<unsigned long long>(chunkId)); rc != 0) {
      return 100 + rc;
    }
    for (const WrittenObject& w : objects) {
      if (keys.count(w.shape.key) && pruner.PruneEntry(static_cast<uint32_t>(w.shape.key), DbMetaOffset(w)) != 0) {
        return 200;
      }
    }
    return 0;
  }

  // The bytes of an object as the container holds them now, through its compaction map when it
  // has one.
  static std::string Stored(const std::string& container, const WrittenObject& w) {
    std::unique_ptr<CFileInterface> f(CFileInterface::GetFileInterfaceInstance(CFSInitParams()));
    if (f->Open(container, O_RDONLY, 0, 0).IsFailure()) return "cannot open";
    uint64_t physical = 0;
    if (SingleInstancer_FS::GetCompactedOffset(f.get(), w.offset, physical).IsFailure()) return "cannot translate";
    return sitest::FileBytes(container, physical, w.shape.Length());
  }

  // An object as a restore reader reads it: its header, then its data, through its container's
  // compaction map when it has one.
  std::string ThroughReader(CSIFile& reader, const WrittenObject& w) {
    if (reader.OpenDataFileAndSeek(0, w.container, w.offset, 0) != 0) return "cannot open";
    std::string header(sitest::kObjectHeaderSize, '\0');
    std::string data(w.shape.dataSize, '\0');
    const MM_uint h = reader.ReadMetaData(header.data(), static_cast<MM_uint>(header.size()));
    const MM_uint d = w.shape.dataSize == 0 ? 0 : reader.ReadData(data.data(), w.shape.dataSize);
    (void)reader.CloseDataFile();
    if (h != header.size() || d != data.size()) return "short read";
    return header + data;
  }

  // What pruning must leave of a chunk: valid objects unchanged, containers without one gone, a
  // container whose last objects are pruned ending at the first of them.
  void ExpectPruned(long long chunkId, const std::vector<WrittenObject>& objects, const std::set<uint64_t>& keys,
                    bool restoreRoad) {
    std::map<uint32_t, std::vector<const WrittenObject*>> byContainer;
    for (const WrittenObject& w : objects) byContainer[w.container].push_back(&w);
    CFSInitParams params = FsParams();
    CSIFile reader(&hostLog);
    ASSERT_EQ(0, reader.Init(&params, static_cast<unsigned long long>(chunkId), kVolId, false));
    std::unique_ptr<RestoreStore> store;
    if (restoreRoad) {
      store = MakeRestore();
      ASSERT_EQ(0, RestoreTest::Open(*store, chunkId));
    }
    for (const auto& [number, list] : byContainer) {
      const std::string path = ContainerPath(chunkId, number);
      const bool anyValid = std::any_of(list.begin(), list.end(), [&](auto* w) { return !keys.count(w->shape.key); });
      EXPECT_EQ(anyValid, Exists(path)) << path;
      if (!anyValid) continue;
      size_t tail = list.size();
      while (tail > 0 && keys.count(list[tail - 1]->shape.key)) --tail;
      if (tail < list.size()) {
        std::unique_ptr<CFileInterface> f(CFileInterface::GetFileInterfaceInstance(CFSInitParams()));
        ASSERT_TRUE(f->Open(path, O_RDONLY, 0, 0).IsSuccess());
        uint64_t cut = 0;
        // In pruner mode: an object the compaction dropped stands for where the next kept bytes begin.
        ASSERT_TRUE(SingleInstancer_FS::GetCompactedOffset(f.get(), list[tail]->offset, true, cut).IsSuccess());
        EXPECT_EQ(static_cast<long long>(cut), Size(path)) << path;
      }
      for (const WrittenObject* w : list) {
        if (keys.count(w->shape.key)) continue;
        EXPECT_EQ(sitest::ObjectBytes(w->shape), Stored(path, *w)) << path << " object " << w->shape.key;
        EXPECT_EQ(sitest::ObjectBytes(w->shape), ThroughReader(reader, *w)) << path << " object " << w->shape.key;
        if (restoreRoad) {
          EXPECT_EQ(sitest::ObjectBytes(w->shape).substr(sitest::kObjectHeaderSize),
                    ReadObject(*store, path, w->offset, w->shape.dataSize))
              << path << " object " << w->shape.key;
        }
      }
    }
  }

  // The "H" records of a chunk: their lengths and count per container.
  std::map<uint32_t, std::pair<long long, int>> Holes(long long chunkId) const {
    std::map<uint32_t, std::pair<long long, int>> holes;
    const std::string prefix = "H " + std::to_string(kMPId) + " " + std::to_string(kVolId) + " " + std::to_string(chunkId) + " ";
    for (const std::string& r : DeleteRecords()) {
      if (r.compare(0, prefix.size(), prefix) != 0) continue;
      unsigned int number = 0;
      unsigned long long offset = 0, length = 0;
      EXPECT_EQ(3, sscanf(r.c_str() + prefix.size(), "%u %llu %llu", &number, &offset, &length)) << r;
      holes[number].first += static_cast<long long>(length);
      holes[number].second += 1;
    }
    return holes;
  }
};

TEST_F(PruneRoadTest, PrunedChunksGiveTheirSpaceBackAndKeepEveryValidObject) {
  std::mt19937_64 rng(23);
  const auto disk = Backup(kDiskChunk);
  const auto cloud = Backup(kCloudChunk);
  const auto compacted = Backup(kCompactedChunk);
  ASSERT_FALSE(HasFailure());

  // ---- A disk chunk: removals, cuts and holes.
  const std::set<uint64_t> diskKeys = Choose(disk, rng);
  std::map<uint32_t, long long> allocated;
  for (const WrittenObject& w : disk) allocated[w.container] = Allocated(ContainerPath(kDiskChunk, w.container));
  {
    auto pruner = MakePruner();
    ASSERT_EQ(0, Prune(*pruner, kDiskChunk, kMPId, disk, diskKeys));
    bool empty = true;
    ASSERT_EQ(0, pruner->Finalize(empty));
    EXPECT_FALSE(empty);
  }
  ExpectPruned(kDiskChunk, disk, diskKeys, true);
  const auto holes = Holes(kDiskChunk);
  EXPECT_FALSE(holes.empty());
  for (const auto& [number, h] : holes) {
    const std::string path = ContainerPath(kDiskChunk, number);
    const long long freed = allocated[number] - Allocated(path);
    // A cut frees more; a container without one frees what its holes cover, give or take the
    // partial blocks at each hole's ends.
    EXPECT_GE(freed, h.first - 2 * kBlock * h.second) << path;
    bool cut = false;
    for (const std::string& r : DeleteRecords()) {
      cut |= r.rfind("T " + std::to_string(kMPId) + " " + std::to_string(kVolId) + " " + std::to_string(kDiskChunk) + " " +
                         std::to_string(number) + " ",
                     0) == 0;
    }
    if (!cut) {
      EXPECT_LE(freed, h.first + kBlock) << path;
    }
  }

  // ---- The same folder as cloud storage: holes refused, cuts and removals made.
  platform::MountPathRecord record;
  record.mountPath = mountPath;  // attributes 0: no compacted chunks here
  platform::Config().mountPaths[{static_cast<int>(kCloudMPId), kTarnholdId}] = record;
  const std::set<uint64_t> cloudKeys = Choose(cloud, rng);
  {
    auto pruner = MakePruner(CloudParams());
    ASSERT_EQ(0, Prune(*pruner, kCloudChunk, kCloudMPId, cloud, cloudKeys));
    bool empty = true;
    ASSERT_EQ(0, pruner->Finalize(empty));
  }
  ExpectPruned(kCloudChunk, cloud, cloudKeys, true);
  EXPECT_TRUE(Holes(kCloudChunk).empty());
  EXPECT_TRUE(platform::LogContains("Switching off hole drilling on mount path [6] as it is not supported"));

  // ---- A compacted chunk: objects pruned before are dropped by a compaction of one container,
  // whose copy replaces it; the chunk's first entry says so. Then more objects are pruned.
  std::set<uint64_t> early, later;
  for (const WrittenObject& w : compacted) (rng() % 4 == 0 ? early : later).insert(w.shape.key);
  {
    auto pruner = MakePruner();
    ASSERT_EQ(0, Prune(*pruner, kCompactedChunk, kMPId, compacted, early));
    ASSERT_EQ(0, pruner->Flush());
  }
  const uint32_t target = compacted[15].container;
  std::vector<SSFileRange> drop;
  for (const WrittenObject& w : compacted) {
    if (w.container != target || !early.count(w.shape.key)) continue;
    SSFileRange r;
    r.uOffset = w.offset;
    r.uLength = w.shape.Length();
    drop.push_back(r);
  }
  ASSERT_FALSE(drop.empty());
  const std::string targetPath = ContainerPath(kCompactedChunk, target);
  const std::string current = craft::ReadFile(targetPath);
  CSFileCompactionMap merged;
  std::vector<SSFileRange> ranges;
  uint64_t valid = 0, dropped = 0;
  ASSERT_EQ(0, merged.Merge(&drop, 0, current.size(), ranges, valid, dropped));
  craft::WriteFile(targetPath, cmptest::CompactedCopy(current, merged, ranges));
  {
    const CFSInitParams params = FsParams();
    SingleInstancer_FS::SfileIndex idx(&params, nullptr);
    SingleInstancer_FS::SfileIndex::Options opt{false, true, true, true};
    ASSERT_TRUE(idx.Open(ContainerIndexPath(kCompactedChunk), 2, opt).IsSuccess());
    SSfileContainerIndexEntry first{};
    ASSERT_TRUE(idx.GetEntry(0, &first).IsSuccess());
    first.Flags |= FLAG_SFILE_COMPACTED_CHUNK;
    ASSERT_TRUE(idx.UpdateEntry(0, &first).IsSuccess());
    ASSERT_TRUE(idx.Close().IsSuccess());
  }
  std::set<uint64_t> laterKeys;
  for (uint64_t k : later) {
    if (rng() % 3 == 0) laterKeys.insert(k);
  }
  // The compacted container's last objects go too, so it is cut through its map.
  for (auto it = compacted.rbegin(); it != compacted.rend(); ++it) {
    if (it->container != target) continue;
    laterKeys.insert(it->shape.key);
    break;
  }
  {
    auto pruner = MakePruner();
    ASSERT_EQ(0, Prune(*pruner, kCompactedChunk, kMPId, compacted, laterKeys));
    EXPECT_TRUE(pruner->IsChunkCompacted());
    bool empty = true;
    ASSERT_EQ(0, pruner->Finalize(empty));
  }
  std::set<uint64_t> all = early;
  all.insert(laterKeys.begin(), laterKeys.end());
  ExpectPruned(kCompactedChunk, compacted, all, false);
  EXPECT_TRUE(Holes(kCompactedChunk).empty());  // a compacted chunk on disk is never drilled
}

}  // namespace
