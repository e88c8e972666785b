// The chunk pruner's switches, sizes and refusals, case by case: how many holes and cuts a
// configuration makes on disk and on cloud storage, a mount path that cannot punch holes, bad
// input (refused containers, broken maps, missing containers, corrupt indexes) with its result
// and message and no valid byte changed; the existence test's calls and pauses; the delete log's
// line limit.

#include <map>

#include "pruner_fixture.h"
#include "run_chrooted.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 12;
constexpr size_t kSmall = 20000;
constexpr size_t kTenMiB = 10 * 1024 * 1024;

class PrunerTablesTest : public PrunerTest {
 public:
  const craft::Object& Obj(const craft::Chunk& c, uint64_t key) const { return c.Objects()[key - 1]; }

  // Opens chunk `chunkId` with `params`, prunes `keys` and finalizes; Finalize's result.
  int Run(const craft::Chunk& c, const std::set<uint64_t>& keys, const CFSInitParams& params, uint32_t mpId = kMPId) {
    auto pruner = MakePruner(params);
    if (int rc = pruner->OpenSfileIdx(mpId, mountPath, kVolId, kChunk); rc != 0) return 100 + rc;
    for (uint64_t k : keys) {
      if (pruner->PruneEntry(static_cast<uint32_t>(k), DbMetaOffset(Obj(c, k))) != 0) return 200;
    }
    bool empty = false;
    return pruner->Finalize(empty);
  }

  // The bytes of every object not in `pruned`, as their containers hold them.
  static std::map<uint64_t, std::string> ValidBytes(const craft::Chunk& c, const std::set<uint64_t>& pruned) {
    std::map<uint64_t, std::string> out;
    for (const craft::Object& o : c.Objects()) {
      if (!pruned.count(o.key)) out[o.key] = sitest::FileBytes(c.ContainerPath(o.container), o.offset, o.bytes.size());
    }
    return out;
  }
  static std::map<uint64_t, std::string> Expected(const craft::Chunk& c, const std::set<uint64_t>& pruned) {
    std::map<uint64_t, std::string> out;
    for (const craft::Object& o : c.Objects()) {
      if (!pruned.count(o.key)) out[o.key] = o.bytes;
    }
    return out;
  }
};

// Container 0: a valid object, a pruned 10 MiB run, a valid object, a pruned tail.
TEST_F(PrunerTablesTest, SwitchesAndSizesDecideHolesAndCuts) {
  struct Case {
    const char* name;
    bool cloud;
    std::map<std::string, long long> config;
    long long holes;  // hole requests on the container
    long long cuts;
  };
  const Case cases[] = {
      {"defaults: 4 MiB steps", false, {}, 3, 1},
      {"cloud: one request, refused", true, {}, 1, 1},
      {"no drilling", false, {{"DedupDrillHoles", 0}}, 0, 1},
      {"no truncation: the short tail is left", false, {{"DedupPruneAllowTruncate", 0}}, 3, 0},
      {"no truncation, small minimum: the tail is drilled", false,
       {{"DedupPruneAllowTruncate", 0}, {"DedupDrillHolesMinSize", 4096}}, 4, 0},
      {"minimum above the run", false, {{"DedupDrillHolesMinSize", kTenMiB + 1}}, 0, 1},
      {"minimum equal to the run", false, {{"DedupDrillHolesMinSize", kTenMiB}}, 3, 1},
      {"maximum 0 is the default", false, {{"DedupDrillHolesMaxSize", 0}}, 3, 1},
      {"maximum of the whole run", false, {{"DedupDrillHolesMaxSize", kTenMiB}}, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetPlatform();
    for (const auto& [name, value] : c.config) SetConfig(name.c_str(), value);
    std::filesystem::remove_all(ChunkDir(kChunk));
    craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
    chunk.Add(0, kSmall, 100, 1);
    chunk.Add(0, kTenMiB - sitest::kObjectHeaderSize, 100, 2);
    chunk.Add(0, kSmall, 100, 3);
    chunk.Add(0, kSmall, 100, 4);
    chunk.Write();
    const std::set<uint64_t> keys = {2, 4};
    ASSERT_EQ(0, Run(chunk, keys, c.cloud ? CloudParams() : FsParams(), c.cloud ? kCloudMPId : kMPId));
    EXPECT_EQ(c.holes, Faults().Calls(FsOp::DrillHole, "SFILE_CONTAINER_000"));
    EXPECT_EQ(c.cuts, Faults().Calls(FsOp::Truncate, "SFILE_CONTAINER_000"));
    EXPECT_EQ(Expected(chunk, keys), ValidBytes(chunk, keys));
    EXPECT_EQ(c.config.count("DedupDrillHolesMaxSize") && c.config.at("DedupDrillHolesMaxSize") == 0,
              platform::LogContains("Hole size max of 0 is not usable. Using [4194304]."));
  }
}

// A mount path whose holes fail as unsupported joins the set: its later containers, of this chunk
// and of others, are not opened to drill, and their pruned runs are logged as compactable holes.
TEST_F(PrunerTablesTest, UnsupportedHolesSwitchDrillingOffForTheMountPath) {
  SetConfig("DedupDrillHolesMinSize", 4096);
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  for (uint32_t n = 0; n < 3; ++n) {
    for (int i = 0; i < 3; ++i) chunk.Add(n, kSmall, 100, 10 * n + i);
  }
  chunk.Write();
  Faults().Add(FaultRule{FsOp::DrillHole, "", 1, -1, EOPNOTSUPP});
  const std::set<uint64_t> keys = {2, 5, 8};  // the middle object of each container
  ASSERT_EQ(0, Run(chunk, keys, FsParams()));
  EXPECT_EQ(1, Faults().Calls(FsOp::DrillHole));
  EXPECT_EQ(1, Faults().Calls(FsOp::Open, "SFILE_CONTAINER_00"));  // container 0 alone was opened
  EXPECT_TRUE(platform::LogContains("Switching off hole drilling on mount path [5] as it is not supported"));
  for (uint32_t n = 0; n < 3; ++n) {
    EXPECT_EQ(1u, platform::LogCount("Compactable hole at offset [" + std::to_string(Obj(chunk, 3 * n + 2).offset) +
                                         "], size [" + std::to_string(kSmall + 16) + "] in file [" +
                                         chunk.ContainerPath(n) + "]",
                                     2))
        << n;
  }
  for (const auto& r : Records(kChunk)) EXPECT_EQ(0u, r.Flags & FLAG_SFILE_HOLE_DRILLED) << r.Key;
  EXPECT_TRUE(DeleteRecords().empty());
  EXPECT_EQ(Expected(chunk, keys), ValidBytes(chunk, keys));
}

// Bad input gets its result and message, and no valid byte changes.
TEST_F(PrunerTablesTest, BadInputIsRefusedWithItsResult) {
  struct Case {
    const char* name;
    std::function<void(craft::Chunk&)> damage;
    int open;      // OpenSfileIdx's result
    int prune;     // PruneEntry's result for the first key (when open)
    int finalize;  // Finalize's result (when open and pruned)
    const char* message;
  };
  auto corruptRecord = [this](craft::Chunk&) {
    // The CRC of record 1 no longer matches: searches and walks that read it fail as corrupt.
    std::string idx = craft::ReadFile(ContainerIndexPath(kChunk));
    idx[512 + 56 + 20] ^= 0x40;
    craft::WriteFile(ContainerIndexPath(kChunk), idx);
  };
  const Case cases[] = {
      {"wrong magic",
       [](craft::Chunk& c) {
         std::string b = craft::ReadFile(c.ContainerPath(0));
         b[3] = 'X';
         craft::WriteFile(c.ContainerPath(0), b);
       },
       0, 0, 0, "SFILE contains invalid header [SFIXHDR]"},
      {"broken map",
       [](craft::Chunk& c) {
         std::string b = craft::ReadFile(c.ContainerPath(0));
         EncodeBE32(&b[8], 2);  // compacted, but what follows is no map
         craft::WriteFile(c.ContainerPath(0), b);
       },
       0, 0, -1, "Error: Failed to get compaction map from SFILE."},
      {"missing container", [](craft::Chunk& c) { std::filesystem::remove(c.ContainerPath(0)); }, 0, 0, 0,
       "Unable to open file ["},
      {"index corrupt at open",
       [this](craft::Chunk&) {
         std::string idx = craft::ReadFile(ContainerIndexPath(kChunk));
         idx[20] ^= 1;  // the header's CRC fails
         craft::WriteFile(ContainerIndexPath(kChunk), idx);
       },
       1, 0, 0, "Cannot open Sfile Idx ["},
      {"index corrupt at search", corruptRecord, 0, 2, 2, "Cannot search for entry in index file ["},
      {"index absent", [this](craft::Chunk&) { std::filesystem::remove(ContainerIndexPath(kChunk)); }, 1, 0, 0,
       "Failed to chg mode of Sfile Idx ["},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetPlatform();
    SetConfig("DedupDrillHolesMinSize", 4096);
    std::filesystem::remove_all(ChunkDir(kChunk));
    craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
    for (int i = 0; i < 4; ++i) chunk.Add(0, kSmall, 100, i);
    chunk.Write();
    c.damage(chunk);
    const std::string container = craft::ReadFile(chunk.ContainerPath(0));
    auto pruner = MakePruner();
    ASSERT_EQ(c.open, Open(*pruner, kChunk));
    if (c.open == 0) {
      // Key 2 lies where a search meets record 1 first; key 4 is the tail.
      EXPECT_EQ(c.prune, pruner->PruneEntry(2, DbMetaOffset(Obj(chunk, 2))));
      if (c.prune == 0) {
        EXPECT_EQ(0, pruner->PruneEntry(4, DbMetaOffset(Obj(chunk, 4))));
      }
      bool empty = false;
      EXPECT_EQ(c.finalize, pruner->Finalize(empty));
    }
    EXPECT_TRUE(platform::LogContains(c.message));
    EXPECT_EQ(container, craft::ReadFile(chunk.ContainerPath(0)));
    EXPECT_TRUE(DeleteRecords().empty());
  }
}

// Containers on a scale-out volume ("/lg/glus...") are examined in a child whose root folder is
// the test's folder: a hard-linked one is refused and never opened.
TEST_F(PrunerTablesTest, AHardLinkedContainerIsRefused) {
  const std::string volume = path_append(dir.path(), "lg/glusvol/OZ_MAGNETIC/V_17/CHUNK_12");
  std::filesystem::create_directories(volume);
  craft::WriteFile(volume + "/SFILE_CONTAINER_000", craft::ContainerHeader() + "objects");
  craft::WriteFile(volume + "/SFILE_CONTAINER_001", craft::ContainerHeader() + "objects");
  ASSERT_EQ(0, link((volume + "/SFILE_CONTAINER_000").c_str(), (volume + "/other").c_str()));
  const CFSInitParams params = FsParams();
  const int status = mfstest::RunChrooted(dir.path(), [&] {
    CSFilePruner pruner(&params, &log, nullptr, 0);
    const std::string linked = "/lg/glusvol/OZ_MAGNETIC/V_17/CHUNK_12/SFILE_CONTAINER_000";
    if (!FXErrorUtil::IsMM(pruner.OpenSFile(linked.c_str()), 68013)) return 1;
    if (!platform::LogContains("Warning: Skipping Sfile pruning [" + linked + "] as it is hard link")) return 2;
    if (Faults().Calls(FsOp::Open) != 0 || Faults().Calls(FsOp::Chmod) != 0) return 3;
    const std::string single = "/lg/glusvol/OZ_MAGNETIC/V_17/CHUNK_12/SFILE_CONTAINER_001";
    if (pruner.OpenSFile(single.c_str()).IsFailure()) return 4;
    return pruner.CloseSFile().IsSuccess() && CSFilePruner::IsStrataform(single.c_str()) ? 0 : 5;
  });
  if (status == mfstest::kNoChroot) GTEST_SKIP() << "this machine lets no process change its root folder";
  EXPECT_EQ(0, status);
}

TEST_F(PrunerTablesTest, AWalkThatMeetsACorruptRecordFinalizesNothing) {
  SetConfig("DedupDrillHolesMinSize", 4096);
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  for (int i = 0; i < 3; ++i) chunk.Add(0, kSmall, 100, i);
  for (int i = 0; i < 3; ++i) chunk.Add(1, kSmall, 100, 10 + i);
  chunk.Write();
  auto pruner = MakePruner();
  ASSERT_EQ(0, Open(*pruner, kChunk));
  for (uint64_t k : {1, 2, 3, 6}) ASSERT_EQ(0, pruner->PruneEntry(static_cast<uint32_t>(k), DbMetaOffset(Obj(chunk, k))));
  ASSERT_EQ(0, pruner->Flush());
  pruner.reset();
  // Record 4 is damaged after the pruning: the walk stops there.
  std::string idx = craft::ReadFile(ContainerIndexPath(kChunk));
  idx[512 + 4 * 56 + 20] ^= 0x40;
  craft::WriteFile(ContainerIndexPath(kChunk), idx);
  auto again = MakePruner();
  ASSERT_EQ(0, Open(*again, kChunk));
  bool empty = false;
  EXPECT_EQ(2, again->Finalize(empty));
  EXPECT_TRUE(platform::LogContains("Unable to walk the index file."));
  // Container 0 is all pruned, yet the walk never saw the whole index: nothing is removed.
  EXPECT_TRUE(Exists(chunk.ContainerPath(0)));
  EXPECT_EQ(0, Faults().Calls(FsOp::Remove, "SFILE_CONTAINER_") + Faults().Calls(FsOp::Truncate, "SFILE_CONTAINER_") +
                   Faults().Calls(FsOp::DrillHole, "SFILE_CONTAINER_"));
}

TEST_F(PrunerTablesTest, ExistenceTestCallsAndPauses) {
  const std::string root = mountPath;  // <tmp>/OZ_MAGNETIC
  const std::string missing = path_append(volumePath, "gone");
  const std::string offline = path_append(dir.path(), "other/OZ_MAGNETIC/V_1/gone");
  struct Case {
    const char* name;
    int type;
    std::string path;
    long long calls;
    long long slept;
    int mm;  // media manager error of the result, 0 for success
    bool exists;
  };
  const Case cases[] = {
      {"present", kFSTypeDisk, volumePath, 1, 0, 0, true},
      {"missing on disk", kFSTypeDisk, missing, 6, 3, 0, false},
      {"missing on cloud", kFSTypeCloud, missing, 2, 0, 0, false},
      {"missing on hybrid", kFSTypeCloudCached, missing, 6, 3, 0, false},
      {"root missing too", kFSTypeDisk, offline, 2, 0, 312, false},
      {"no mount path root", kFSTypeDisk, path_append(dir.path(), "nowhere"), 1, 0, 0, false},
      {"root after the last of two", kFSTypeDisk, path_append(root, "x/OZ_MAGNETIC/gone"), 2, 0, 312, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetPlatform();
    CFSInitParams params = FsParams();
    params.m_Type = c.type;
    params.m_Host.m_Path = "/";
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
    bool exists = !c.exists;
    CAverageCounter counter;
    CXoError e = CSingleInstancerPruner::PathExistsStatic(fs.get(), c.path.c_str(), exists, &log, &counter);
    EXPECT_EQ(c.mm != 0, e.IsFailure()) << e.AsString();
    if (c.mm != 0) {
      EXPECT_TRUE(FXErrorUtil::IsMM(e, c.mm));
    }
    EXPECT_EQ(c.exists, exists);
    EXPECT_EQ(c.calls, Faults().Calls(FsOp::Stat));
    EXPECT_EQ(c.calls, static_cast<long long>(counter.GetSamples()));
    EXPECT_EQ(c.slept, platform::SleptMs());
  }

  // A failing test is returned at once, logged once; no interface, or none to be made.
  platform::ResetAll();
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(FsParams()));
  Faults().Add(FaultRule{FsOp::Stat, "", 1, 1, EACCES});
  bool exists = false;
  SSIPrunerLogContext context{&log, 4, 3};
  EXPECT_TRUE(FXErrorUtil::IsErrNo(CSingleInstancerPruner::PathExistsStatic(fs.get(), missing.c_str(), exists, &context,
                                                                            nullptr),
                                   EACCES));
  EXPECT_EQ(1, Faults().Calls(FsOp::Stat));
  EXPECT_EQ(1u, platform::LogCount("4-3 PathExists:"));
  EXPECT_TRUE(FXErrorUtil::IsWin32(
      CSingleInstancerPruner::PathExistsStatic(static_cast<CFSInterface*>(nullptr), missing.c_str(), exists, &log, nullptr),
      87));
  CFSInitParams none;
  none.m_Type = 99;
  EXPECT_TRUE(FXErrorUtil::IsMM(CSingleInstancerPruner::PathExistsStatic(none, missing.c_str(), exists, &log, nullptr), 104));
}

// On cloud storage whether a mount path may hold compacted chunks is its attribute 0x200, looked up
// once by the path's mount path folder (or by id), and taken as yes when the look-up fails.
TEST_F(PrunerTablesTest, CloudMountPathAttributesDecideCompaction) {
  const std::string file = ContainerIndexPath(kChunk);
  struct Case {
    const char* name;
    bool configured;
    int attributes;
    bool expected;
  };
  for (const Case& c : {Case{"compacted chunks allowed", true, 0x200, true}, Case{"none", true, 0x4, false},
                        Case{"not configured", false, 0, true}}) {
    SCOPED_TRACE(c.name);
    ResetPlatform();
    if (c.configured) {
      platform::MountPathRecord record;
      record.mountPath = mountPath + "/";
      record.attributes = c.attributes;
      platform::Config().mountPaths[{static_cast<int>(kCloudMPId), kTarnholdId}] = record;
    }
    auto pruner = MakePruner(CloudParams());
    EXPECT_EQ(c.expected, pruner->CanMPHaveCompactedChunks(file.c_str()));
    EXPECT_EQ(c.expected, pruner->CanMPHaveCompactedChunks(nullptr));  // kept, or looked up again
    EXPECT_EQ(c.configured ? 0u : 2u, platform::LogCount("getMagneticMountPathInfo failed for mount path id [0]."));
    EXPECT_TRUE(MakePruner()->CanMPHaveCompactedChunks(file.c_str()));  // disk: always
  }
}

TEST_F(PrunerTablesTest, AFailedRemovalIsLoggedOnceAndReturned) {
  const std::string file = path_append(volumePath, "victim");
  craft::WriteFile(file, "x");
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(FsParams()));
  Faults().Add(FaultRule{FsOp::Remove, "victim", 1, 1, EACCES});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(CSingleInstancerPruner::RemoveFileHelper(fs.get(), file, &log), EACCES));
  EXPECT_EQ(1u, platform::LogCount("RemoveFileHlpr:"));
  EXPECT_EQ(1u, platform::LogCount("Error in removing [" + file + "], Attempt [1], PermResetFlg [0], SysErr [0], DelFlg [8]"));
  EXPECT_TRUE(Exists(file));
  EXPECT_TRUE(CSingleInstancerPruner::RemoveFileHelper(fs.get(), file, &log).IsSuccess());
  EXPECT_FALSE(Exists(file));
}

TEST_F(PrunerTablesTest, DeleteLogLinesStopAt510Characters) {
  LogDelete(&deleteLog, 7, "D %u %s", 1u, std::string(600, 'x').c_str());
  LogDelete(&deleteLog, 12345, "H %u", 2u);
  const std::string text = craft::ReadFile(deleteFile.path());
  const size_t first = text.find('\n');
  ASSERT_NE(std::string::npos, first);
  EXPECT_EQ(kDeleteLogLineMax, first);
  const std::string second = text.substr(first + 1, text.find('\n', first + 1) - first - 1);
  ASSERT_TRUE(std::regex_match(text.substr(0, first), std::regex("^[0-9a-f]+ \\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d    7 D 1 x+$")));
  EXPECT_TRUE(std::regex_match(second, std::regex("^[0-9a-f]+ \\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d 12345 H 2$"))) << second;
}

}  // namespace
