// Volume removal on disk, distributed and cloud storage: the marker, the chunk entries that keep
// a volume, the order of deletions in the delete log, and the host's callback codes.

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "driver_fixture.h"

namespace {

using prunetest::DeleteLogRecords;
using prunetest::kMP1;

class VolumeTest : public prunetest::DriverTest {
 public:
  static constexpr unsigned int kVol = 18;
  std::string Vol() const { return VolumeDir(mountPath, kVol); }

  std::unique_ptr<CSingleInstancerPruner> Bound(bool keepFolders = false) {
    auto p = MakeDriver(0, keepFolders);
    p->OnMountPathStart(kMP1, false);
    EXPECT_NE(nullptr, p->GetFSInterface());
    return p;
  }
  // Binds mount path 5 as plain cloud storage (its folder as the store's root).
  std::unique_ptr<CSingleInstancerPruner> BoundCloud(int attributes = 0) {
    platform::MountPathRecord& r = platform::Config().mountPaths[{kMP1, prunetest::kInstallation}];
    r.mountPathType = 7;
    r.attributes = attributes;
    return Bound();
  }
};

TEST_F(VolumeTest, MarkedVolumesWithoutChunkEntriesGoOnEveryRoad) {
  struct Case {
    const char* what;
    bool cloud;
    std::vector<std::string> files;
    int result;
    std::vector<std::string> records;  // the delete log
  };
  const std::vector<Case> cases = {
      {"disk: files, then the marker, then the folder",
       false,
       {".prunable", "a", "b"},
       0,
       {"D 5 18 a", "D 5 18 b", "D 5 18 .prunable", "D 5 18"}},
      {"disk: a lower-case chunk folder keeps it", false, {".prunable", "chunk_7/"}, 1, {}},
      {"disk: a trailer is an ordinary file",
       false,
       {".prunable", "CHUNKMAP_TRAILER_7"},
       0,
       {"D 5 18 CHUNKMAP_TRAILER_7", "D 5 18 .prunable", "D 5 18"}},
      {"disk: no marker", false, {"a"}, 1, {}},
      {"disk: .PRUNABLE marks, then goes as a file",
       false,
       {".PRUNABLE", "a"},
       -1,  // the exact marker is not there to delete
       {"D 5 18 .PRUNABLE", "D 5 18 a"}},
      {"cloud: a trailer keeps it", true, {".prunable", "CHUNKMAP_TRAILER_7"}, 1, {}},
      {"cloud: files, marker, folder", true, {".prunable", "x", "y"}, 0, {"D 5 18 x", "D 5 18 y", "D 5 18 .prunable", "D 5 18"}},
      {"cloud: no marker", true, {"x"}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    SetUpConfig();
    std::filesystem::remove_all(Vol());
    std::filesystem::create_directories(Vol());
    for (const std::string& f : c.files) {
      if (f.back() == '/') {
        std::filesystem::create_directories(path_append(Vol(), f.substr(0, f.size() - 1)));
      } else {
        craft::WriteFile(path_append(Vol(), f), "x");
      }
    }
    auto p = c.cloud ? BoundCloud() : Bound();
    EXPECT_EQ(c.result, p->PruneVolume(kVol));
    EXPECT_EQ(c.result == 0, !Exists(Vol()));
    EXPECT_EQ(c.records, DeleteLogRecords());
  }
}

TEST_F(VolumeTest, MarkingAndTheCallbackAtAVolumesEnd) {
  auto p = Bound();
  // An absent folder is not created.
  EXPECT_EQ(0, p->MarkVolumePrunable(kVol));
  EXPECT_FALSE(Exists(Vol()));
  std::filesystem::create_directories(path_append(Vol(), "CHUNK_3"));
  craft::WriteFile(path_append(Vol(), ".prunable"), "old");
  EXPECT_EQ(0, p->MarkVolumePrunable(kVol));
  EXPECT_EQ(0, Size(path_append(Vol(), ".prunable")));

  prunetest::VolumeCalls calls;
  auto run = [&](bool keep) {
    auto d = Bound(keep);
    AddRecords({Rec(kMP1, kVol, 3, 1)});
    EXPECT_EQ(0, d->PruneZeroRefRecords(&db, &prunetest::VolumeCalls::OnModified, &calls, 60));
  };
  // Chunk 3 has no container index: its record is purged, the chunk folder removed, then the
  // volume.
  run(false);
  EXPECT_FALSE(Exists(Vol()));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{18, -4}}), calls.calls);

  // Keep-folders: nothing is touched, and the volume counts as done.
  calls.calls.clear();
  std::filesystem::create_directories(path_append(Vol(), "CHUNK_3"));
  craft::WriteFile(path_append(Vol(), ".prunable"), "");
  run(true);
  EXPECT_TRUE(Exists(path_append(Vol(), ".prunable")));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{18, -4}}), calls.calls);

  // A failed removal: no callback, and one record stays to bring the volume back.
  calls.calls.clear();
  std::filesystem::remove_all(path_append(Vol(), "CHUNK_3"));
  craft::WriteFile(path_append(Vol(), "z"), "");
  platform::FaultRule rule;
  rule.op = platform::FsOp::Remove;
  rule.pathContains = "V_18/z";
  rule.times = -1;
  platform::Faults().Add(rule);
  auto d = Bound();
  AddRecords({Rec(kMP1, kVol, 4, 1), Rec(kMP1, kVol, 4, 2)});
  EXPECT_EQ(0, d->PruneZeroRefRecordsInt(&db, &prunetest::VolumeCalls::OnModified, &calls, 1LL << 40));
  EXPECT_TRUE(calls.calls.empty());
  EXPECT_EQ((std::vector<uint64_t>{4002}), RecordsLeft());
  EXPECT_TRUE(platform::LogContains("PruneVolume failed. Vol [18]. iRet [-1]"));
}

TEST_F(VolumeTest, VanishedFoldersAndOfflineMountPaths) {
  auto p = Bound();
  EXPECT_EQ(0, p->PruneVolume(kVol));  // never there: "DN"
  EXPECT_EQ((std::vector<std::string>{"DN 5 18"}), DeleteLogRecords());
  std::filesystem::remove_all(mountPath);  // the "OZ_MAGNETIC" root has gone
  EXPECT_EQ(-2, p->PruneVolume(kVol));
  EXPECT_EQ(-2, p->MarkVolumePrunable(kVol));
}

TEST_F(VolumeTest, DistributedStorageAsksItsLookUp) {
  platform::RemoteStorage().skarvoPrefixes = {mountPath};
  std::filesystem::create_directories(path_append(Vol(), "CHUNK_9"));
  craft::WriteFile(path_append(Vol(), ".prunable"), "");
  craft::WriteFile(path_append(Vol(), "f"), "");
  auto p = Bound();
  EXPECT_EQ(1, p->PruneVolume(kVol));
  std::filesystem::remove_all(path_append(Vol(), "CHUNK_9"));
  platform::RemoteStorage().lookupFailures = 1;
  EXPECT_EQ(-1, p->PruneVolume(kVol));  // the folder is there: a failed test is a failure
  EXPECT_EQ(0, p->PruneVolume(kVol));
  EXPECT_FALSE(Exists(Vol()));
  EXPECT_TRUE(platform::LogContains("No chunk folders exist in volume ["));
}

// The storage's listing of the volume breaks off after its first entry: what it did not list may
// be a chunk folder, so the volume stays.
TEST_F(VolumeTest, DistributedStorageKeepsAVolumeWhoseListingBreaksOff) {
  platform::RemoteStorage().skarvoPrefixes = {mountPath};
  std::filesystem::create_directories(Vol());
  craft::WriteFile(path_append(Vol(), ".prunable"), "");
  craft::WriteFile(path_append(Vol(), "f"), "");
  platform::FaultRule rule;
  rule.op = platform::FsOp::ReadDir;
  rule.pathContains = Vol();
  rule.nth = 2;
  rule.err = EIO;
  platform::Faults().Add(rule);
  auto p = Bound();
  EXPECT_EQ(-1, p->PruneVolume(kVol));
  EXPECT_TRUE(Exists(path_append(Vol(), ".prunable")));
  EXPECT_TRUE(Exists(path_append(Vol(), "f")));
  EXPECT_EQ(std::vector<std::string>{}, DeleteLogRecords());
}

TEST_F(VolumeTest, CacheMountPathSwitchesTheInterfaces) {
  platform::MountPathRecord cache;
  cache.mountPath = path_append(dir.path(), "cache12");
  platform::Config().mountPaths[{12, prunetest::kInstallation}] = cache;
  cache.mountPath = path_append(dir.path(), "cache15");
  platform::Config().mountPaths[{15, prunetest::kInstallation}] = cache;
  platform::Config().jobResultsDirectory = dir.path();

  // Without attribute 0x800 nothing changes.
  auto plain = BoundCloud(0);
  EXPECT_TRUE(plain->SetCacheMountPath(12, 0xFFFFFFFF));
  EXPECT_EQ(0xFFFFFFFFu, plain->GetCacheMountPath());
  EXPECT_FALSE(plain->IsFSInterfaceHybrid());

  auto p = BoundCloud(0x800);
  EXPECT_TRUE(p->IsCloud());
  EXPECT_TRUE(p->SetCacheMountPath(12, 0xFFFFFFFF));
  EXPECT_TRUE(p->IsFSInterfaceHybrid());
  EXPECT_EQ(12u, p->GetCacheMountPath());
  EXPECT_EQ(kFSTypeCloudCached, p->GetFileInterface()->GetType());
  EXPECT_TRUE(p->SetCacheMountPath(15, 0xFFFFFFFF));
  EXPECT_EQ(15u, static_cast<CHybridFS*>(p->GetFSInterface())->GetDiskMPId());
  EXPECT_FALSE(p->SetCacheMountPath(99, 0xFFFFFFFF));  // an unknown cache mount path
  EXPECT_EQ(15u, p->GetCacheMountPath());
  EXPECT_TRUE(p->SetCacheMountPath(0, 0xFFFFFFFF));
  EXPECT_FALSE(p->IsFSInterfaceHybrid());
  EXPECT_EQ(0u, p->GetCacheMountPath());

  // Caching requested: the mapping goes into the hybrid volumes index.
  platform::ResetLogs();
  EXPECT_TRUE(p->SetCacheMountPath(12, 40));
  EXPECT_TRUE(platform::LogContains("Using mountpath [12] as cache for hybrid cloud volume [40]."));
  EXPECT_EQ(12, CSingleInstancerPruner::s_pHybVols->GetCacheMPId(40));

  // A hybrid volume's removal walks: its trailer counts as a chunk entry, and removals reach the
  // cache copies too.
  const std::string vol40 = VolumeDir(mountPath, 40);
  craft::WriteFile(path_append(vol40, ".prunable"), "");
  craft::WriteFile(path_append(vol40, "CHUNKMAP_TRAILER_3"), "t");
  EXPECT_EQ(1, p->PruneVolume(40));
  std::filesystem::remove(path_append(vol40, "CHUNKMAP_TRAILER_3"));
  craft::WriteFile(path_append(vol40, "obj"), "o");
  craft::WriteFile(path_append(path_append(path_append(dir.path(), "cache12"), "V_40"), "obj"), "o");
  EXPECT_EQ(0, p->PruneVolume(40));
  EXPECT_FALSE(Exists(vol40));
  EXPECT_FALSE(Exists(path_append(path_append(path_append(dir.path(), "cache12"), "V_40"), "obj")));
}

}  // namespace

namespace {

TEST_F(VolumeTest, CloudVolumesFindTheirCacheMountPathOrAreSkipped) {
  platform::MountPathRecord cache;
  cache.mountPath = path_append(dir.path(), "cache12");
  platform::Config().mountPaths[{12, prunetest::kInstallation}] = cache;
  platform::Config().jobResultsDirectory = dir.path();
  platform::MediaManager().hybridVolumes[prunetest::kEngine] = {{40, 12}};
  platform::MountPathRecord& r = platform::Config().mountPaths[{kMP1, prunetest::kInstallation}];
  r.mountPathType = 7;
  r.attributes = 0x800;
  craft::Chunk c40 = CraftChunk(mountPath, 40, 400, 3);
  craft::Chunk c41 = CraftChunk(mountPath, 41, 410, 3);
  AddRecords({Rec(kMP1, 40, 400, 1), Rec(kMP1, 41, 410, 1)});
  {
    auto p = MakeDriver();
    EXPECT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
  }
  EXPECT_TRUE(platform::LogContains("Using mountpath [12] as cache for hybrid cloud volume [40]."));
  // Volume 41 has no cache mount path the media manager knows: skipped, its record stays.
  EXPECT_EQ((std::vector<uint64_t>{410001}), RecordsLeft());
  // Volume 40's record was pruned through the hybrid interfaces: its entry is cleared.
  sitest::RawIndex raw = sitest::ReadRawIndex(path_append(c40.Dir(), "SFILE_CONTAINER.idx"),
                                              sizeof(SSfileContainerIndexEntry), 48);
  ASSERT_EQ(3u, raw.totalEntries);
  for (size_t i = 0; i < raw.totalEntries; ++i) {
    const SSfileContainerIndexEntry e = sitest::DecodeContainerRecord(raw.records[i]);
    EXPECT_EQ(e.Key != 1, (e.Flags & FLAG_SFILE_ENTRY_VALID) != 0) << "key " << e.Key;
  }
  EXPECT_FALSE(CSingleInstancerPruner::s_pHybVols->IsOpen());  // the pruner gave its reference back
  const craft::Object& kept = c40.Objects()[1];
  EXPECT_EQ(kept.bytes, craft::ReadFile(c40.ContainerPath(0)).substr(kept.offset, kept.bytes.size()));
}

}  // namespace
