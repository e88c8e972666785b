// The hybrid volumes index against a real job results folder: loading, caching, reference counts,
// the write back at the last Close, and what becomes of a corrupt, unreadable or half-written file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <dirent.h>
#include <climits>
#include <csignal>
#include <utility>
#include <vector>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "index_test_util.h"

namespace {

using namespace idxtest;
using platform::FsOp;
using Mappings = std::vector<std::pair<uint64_t, uint64_t>>;  // volume id, cache mount path id

SHybridVolumeRecord Rec(uint64_t vol, uint64_t mp) {
  SHybridVolumeRecord r{};
  r.VolId = vol;
  r.CacheMPId = mp;
  return r;
}

class HybridVolumes : public ::testing::Test {
 protected:
  void SetUp() override { platform::Config().jobResultsDirectory = dir_.path(); }

  std::string Path() const { return dir_.File("HybridVolumes.idx"); }

  void CacheAll(CHybridVolumesIndexFile& vols, const Mappings& mappings) {
    for (const auto& [vol, mp] : mappings) {
      SHybridVolumeRecord r = Rec(vol, mp);
      ASSERT_EQ(vols.Cache(vol, &r, "test"), 0) << vol;
    }
  }

  // The records of the file, read with the index file itself.
  Mappings FileRecords() {
    HybridIndex idx(&params_, nullptr);
    auto opt = Opts<HybridIndex>(false, false);
    CXoError e = idx.Open(Path(), 1, opt);
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    Mappings found;
    int64_t i = -1;
    SHybridVolumeRecord r;
    for (e = idx.GetFirstEntry(&i, &r); e.IsSuccess() && i != -1; e = idx.GetNextEntry(&i, &r)) {
      found.emplace_back(r.VolId, r.CacheMPId);
    }
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    return found;
  }

  static ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  // Names in the job results folder other than the index itself (temporary files left behind).
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.path().c_str());
    while (const struct dirent* e = d != nullptr ? readdir(d) : nullptr) {
      const std::string name = e->d_name;
      if (name != "." && name != ".." && name != "HybridVolumes.idx") names.push_back(name);
    }
    if (d != nullptr) closedir(d);
    return names;
  }

  // How many descriptors of this process have the index open.
  int OpenDescriptors() const {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (const struct dirent* e = d != nullptr ? readdir(d) : nullptr) {
      char target[PATH_MAX] = {};
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && Path() == target) ++n;
    }
    if (d != nullptr) closedir(d);
    return n;
  }

  TempDir dir_;
  CFSInitParams params_ = Params();
};

TEST_F(HybridVolumes, FirstOpenCreatesAnEmptyAlignedFile) {
  CHybridVolumesIndexFile vols(&params_);
  EXPECT_FALSE(vols.IsOpen());
  ASSERT_EQ(vols.Open(false), 0);
  EXPECT_TRUE(vols.IsOpen());
  EXPECT_EQ(vols.Count(), 0);
  CHybridVolumesIndexFile::Iterator it;
  EXPECT_EQ(vols.GetFirst(&it), nullptr);
  EXPECT_EQ(vols.GetCacheMPId(5), -1);
  EXPECT_FALSE(vols.IsHybrid(5));

  const std::string bytes = ReadFile(Path());
  ASSERT_EQ(bytes.size(), 128u);
  EXPECT_EQ(bytes.substr(0, 8), "HYBRDVOL");
  EXPECT_EQ(GetBE32(bytes, 8), 4u);
  EXPECT_EQ(GetBE32(bytes, 32), 512u);
  EXPECT_EQ(GetBE32(bytes, 124), Crc(bytes, 0, 124));
  EXPECT_EQ(OpenDescriptors(), 0) << "the file is open only while it is read or written";

  EXPECT_EQ(vols.Close(), 0);
  EXPECT_FALSE(vols.IsOpen());
  EXPECT_EQ(vols.Close(), 0) << "a closed index stays closed";
  EXPECT_FALSE(vols.IsOpen());
  EXPECT_FALSE(platform::LogContains("Assertion failed"));
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HybridVolumes, CachedMappingsAreWrittenBackInOrderAndLoadedAgain) {
  {
    CHybridVolumesIndexFile vols(&params_);
    ASSERT_EQ(vols.Open(false), 0);
    CacheAll(vols, {{30, 3}, {10, 1}, {20, 0}});
    SHybridVolumeRecord other = Rec(10, 99);
    EXPECT_EQ(vols.Cache(10, &other, "again"), 0);
    EXPECT_EQ(vols.GetCacheMPId(10), 1) << "a cached record is never replaced";
    EXPECT_EQ(vols.GetCacheMPId(20), 0);
    EXPECT_TRUE(vols.IsHybrid(30));
    EXPECT_EQ(vols.Find(40), nullptr);
    EXPECT_EQ(vols.Count(), 3);
    CHybridVolumesIndexFile::Iterator it;
    std::vector<uint64_t> walked;
    for (auto* r = vols.GetFirst(&it); r != nullptr; r = vols.GetNext(&it)) walked.push_back(r->VolId);
    EXPECT_EQ(walked, (std::vector<uint64_t>{10, 20, 30}));
    EXPECT_EQ(vols.GetNext(&it), nullptr) << "an iterator at the end stays there";
    EXPECT_EQ(vols.Close(), 0);
    EXPECT_EQ(vols.Count(), 0) << "the last Close empties the cache";
  }
  EXPECT_EQ(FileRecords(), (Mappings{{10, 1}, {20, 0}, {30, 3}}));
  EXPECT_EQ(ReadFile(Path()).size(), 512u + 3 * 48);
  EXPECT_TRUE(Leftovers().empty());

  // Loaded again by the next first Open; a load with nothing new, or with a removal only, writes
  // nothing.
  const ino_t written = Inode(Path());
  const std::string bytes = ReadFile(Path());
  CHybridVolumesIndexFile vols(&params_);
  ASSERT_EQ(vols.Open(false), 0);
  EXPECT_EQ(vols.Count(), 3);
  EXPECT_EQ(vols.GetCacheMPId(30), 3);
  EXPECT_EQ(vols.Close(), 0);
  ASSERT_EQ(vols.Open(false), 0);
  EXPECT_EQ(vols.Remove(20), 1);
  EXPECT_EQ(vols.Remove(20), 0);
  CHybridVolumesIndexFile::Iterator it;
  ASSERT_NE(vols.GetFirst(&it), nullptr);
  EXPECT_EQ(vols.Remove(&it), 0);
  EXPECT_EQ(it->first, 30u) << "the iterator moves on to the next record";
  EXPECT_EQ(vols.Count(), 1);
  EXPECT_EQ(vols.Close(), 0);
  EXPECT_EQ(Inode(Path()), written);
  EXPECT_EQ(ReadFile(Path()), bytes);
}

TEST_F(HybridVolumes, RecordsAreCheckedAndRunTimeOnesNeedTheIndexOpen) {
  CHybridVolumesIndexFile vols(&params_);
  SHybridVolumeRecord r = Rec(7, 70);
  EXPECT_EQ(vols.Cache(7, &r, "closed"), -1);
  EXPECT_TRUE(platform::LogContains("Add: Cannot add new record when index file is not open."));
  EXPECT_EQ(vols.Add(7, &r, true, "from file"), 0) << "records read from the file need no Open";
  EXPECT_EQ(vols.GetCacheMPId(7), 70);

  ASSERT_EQ(vols.Open(false), 0);
  struct Case {
    uint64_t vol;
    uint64_t mp;
    int result;
  };
  for (Case c : {Case{0, 5, -1}, Case{8, 0xFFFFFFFFull, -1}, Case{9, 0, 0}, Case{10, 0x1FFFFFFFFull, 0}}) {
    SCOPED_TRACE(c.vol);
    SHybridVolumeRecord rec = Rec(c.vol, c.mp);
    EXPECT_EQ(vols.Cache(c.vol, &rec, "case"), c.result);
  }
  EXPECT_EQ(vols.Cache(1, nullptr, "null"), -1);
  EXPECT_EQ(platform::LogCount("Add: Cannot add record. The record is invalid."), 3u);
  EXPECT_TRUE(platform::LogContains("DumpRecord: [Invalid record] VolId [8] CacheMPId [4294967295] Reserved1 [0]"));
  EXPECT_FALSE(vols.IsRecordValid(nullptr));
  EXPECT_EQ(vols.GetCacheMPId(9), 0);
  EXPECT_EQ(vols.Close(), 0);
}

TEST_F(HybridVolumes, ReferencesAreCountedAndTheLastCloseWrites) {
  CHybridVolumesIndexFile vols(&params_);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(vols.Open(false), 0);
  CacheAll(vols, {{5, 50}});
  EXPECT_EQ(vols.Close(), 0);
  EXPECT_EQ(vols.Close(), 0);
  EXPECT_TRUE(vols.IsOpen());
  EXPECT_TRUE(FileRecords().empty()) << "written only by the last Close";
  EXPECT_EQ(vols.Close(), 0);
  EXPECT_FALSE(vols.IsOpen());
  EXPECT_EQ(FileRecords(), (Mappings{{5, 50}}));
  EXPECT_FALSE(platform::LogContains("Assertion failed"));

  // Destroyed while open: the cache is written back; only an Open that did not ask for that is
  // reported.
  for (bool flushOnDie : {true, false}) {
    SCOPED_TRACE(flushOnDie);
    platform::ResetLogs();
    {
      CHybridVolumesIndexFile open(&params_);
      ASSERT_EQ(open.Open(flushOnDie), 0);
      CacheAll(open, {{flushOnDie ? 6u : 7u, 60}});
    }
    EXPECT_EQ(platform::LogContains("m_iOpenCnt == 0 || m_bFlushOnDie"), !flushOnDie);
  }
  EXPECT_EQ(FileRecords(), (Mappings{{5, 50}, {6, 60}, {7, 60}}));
}

TEST_F(HybridVolumes, PullStatisticsAreReportedByTheLastClose) {
  CHybridVolumesIndexFile vols(&params_);
  ASSERT_EQ(vols.Open(false), 0);
  ASSERT_EQ(vols.Close(), 0);
  EXPECT_FALSE(platform::LogContains("Pulled volume info"));

  ASSERT_EQ(vols.Open(false), 0);
  vols.UpdateStats(3, 1.5);
  vols.UpdateStats(1, 0.5);
  ASSERT_EQ(vols.Close(), 0);
  EXPECT_TRUE(platform::LogContains(
      "FlushCache: Pulled volume info from HM [2] time(s) for [4] volume(s) in [2.000000] seconds at average "
      "[1.000000] seconds/pull."));
  platform::ResetLogs();
  ASSERT_EQ(vols.Open(false), 0);
  ASSERT_EQ(vols.Close(), 0);
  EXPECT_FALSE(platform::LogContains("Pulled volume info")) << "the statistics start again";
}

TEST_F(HybridVolumes, WithoutAJobResultsFolderNothingOpens) {
  platform::Config().jobResultsDirectory.clear();
  CHybridVolumesIndexFile vols(&params_);
  EXPECT_EQ(vols.Open(false), -1);
  EXPECT_FALSE(vols.IsOpen());
  EXPECT_TRUE(platform::LogContains("PopulateCache: PopulateCache:"));
  EXPECT_TRUE(platform::LogContains(": Unable to get job results directory. Error [2]"));
}

TEST_F(HybridVolumes, ACorruptFileIsDiscardedAndStartedOver) {
  HeaderFields h;
  h.magic = "HYBRDVOL";
  h.version = 4;
  h.blockSize = 512;
  h.explicitCrc = true;
  h.crc = 12345;
  WriteFile(Path(), HeaderBytes(h) + std::string(512 - 128 + 48, '\x22'));
  CHybridVolumesIndexFile vols(&params_);
  ASSERT_EQ(vols.Open(false), 0);
  EXPECT_EQ(vols.Count(), 0);
  EXPECT_TRUE(platform::LogContains("PopulateCache: Discarded corrupt file [" + Path() + "]. Starting cache over."));
  EXPECT_TRUE(FileRecords().empty()) << "an empty, valid file took its place";
  EXPECT_EQ(OpenDescriptors(), 0) << "the discarded and the new file are both closed";
  CacheAll(vols, {{4, 40}});
  ASSERT_EQ(vols.Close(), 0);
  EXPECT_EQ(FileRecords(), (Mappings{{4, 40}}));
}

// An Open that fails for another reason than a corrupt file leaves the object without a file: the
// load must not walk it (with the record count of an earlier load), and goes on with an empty cache.
TEST_F(HybridVolumes, AnUnreadableFileLeavesAnEmptyCache) {
  CHybridVolumesIndexFile vols(&params_);
  ASSERT_EQ(vols.Open(false), 0);
  CacheAll(vols, {{1, 10}, {2, 20}, {3, 30}});
  ASSERT_EQ(vols.Close(), 0);
  ASSERT_EQ(vols.Open(false), 0);  // the object now knows a file of three records
  ASSERT_EQ(vols.Close(), 0);

  platform::Faults().Add(platform::FaultRule{FsOp::Open, "HybridVolumes.idx", 1, 1, EIO});
  ASSERT_EQ(vols.Open(false), 0);
  EXPECT_EQ(vols.Count(), 0);
  EXPECT_TRUE(platform::LogContains("PopulateCache: Unable to open file [" + Path() + "]"));
  EXPECT_FALSE(platform::LogContains("Unable to read index file at position"));
  EXPECT_EQ(vols.Close(), 0);
  EXPECT_EQ(FileRecords(), (Mappings{{1, 10}, {2, 20}, {3, 30}})) << "nothing learned, nothing written";
}

// A write back that fails leaves the file as it was, reports the failure, and keeps what the cache
// learned for the next write back.
TEST_F(HybridVolumes, AFailedWriteBackKeepsTheFileAndTheCache) {
  CHybridVolumesIndexFile vols(&params_);
  ASSERT_EQ(vols.Open(false), 0);
  CacheAll(vols, {{1, 10}});
  ASSERT_EQ(vols.Close(), 0);
  const std::string before = ReadFile(Path());

  const std::pair<const char*, platform::FaultRule> faults[] = {
      {"Create", platform::FaultRule{FsOp::Open, ".tmp", 1, 1, ENOSPC}},
      {"Write", platform::FaultRule{FsOp::Write, ".tmp", 1, 1, ENOSPC}},
      {"Flush", platform::FaultRule{FsOp::Flush, ".tmp", 1, 1, EIO}},
      {"Rename", platform::FaultRule{FsOp::Rename, ".tmp", 1, 1, EIO}},
  };
  uint64_t vol = 2;
  for (const auto& [name, rule] : faults) {
    SCOPED_TRACE(name);
    ASSERT_EQ(vols.Open(false), 0);
    CacheAll(vols, {{vol, vol * 10}});
    vols.UpdateStats(1, 1.0);
    platform::Faults().Add(rule);
    EXPECT_GT(vols.Close(), 0) << "a media manager code, not success";
    EXPECT_EQ(ReadFile(Path()), before);
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(vols.GetCacheMPId(vol), static_cast<int>(vol * 10)) << "still cached";
    ++vol;
  }
  platform::ResetLogs();
  ASSERT_EQ(vols.Open(false), 0);
  ASSERT_EQ(vols.Close(), 0);
  EXPECT_EQ(FileRecords(), (Mappings{{1, 10}, {2, 20}, {3, 30}, {4, 40}, {5, 50}}));
  EXPECT_TRUE(platform::LogContains("Pulled volume info from HM [4] time(s)"));
}

// A process killed anywhere in a write back leaves the old file or the new one, whole.
TEST_F(HybridVolumes, AKilledWriteBackNeverLeavesATornFile) {
  {
    CHybridVolumesIndexFile vols(&params_);
    ASSERT_EQ(vols.Open(false), 0);
    CacheAll(vols, {{1, 10}});
    ASSERT_EQ(vols.Close(), 0);
  }
  const Mappings old{{1, 10}};
  const std::string oldBytes = ReadFile(Path());
  Mappings grown = old;
  for (uint64_t v = 2; v <= 40; ++v) grown.emplace_back(v, v);  // more than one record block

  struct KillPoint {
    FsOp op;
    const char* path;
    int nth;
    bool renamed;  // whether the new file is in place when the process dies
  };
  const KillPoint points[] = {{FsOp::Open, ".tmp", 1, false},  {FsOp::Write, ".tmp", 1, false},
                              {FsOp::Flush, ".tmp", 1, false}, {FsOp::Rename, ".tmp", 1, false},
                              {FsOp::Flush, "", 2, true}};
  for (const KillPoint& k : points) {
    SCOPED_TRACE(std::string(platform::FsOpName(k.op)) + " " + k.path);
    const pid_t pid = Fork([&] {
      int seen = 0;
      platform::Faults().SetHook([&](FsOp op, const std::string& p) {
        if (op == k.op && p.find(k.path) != std::string::npos && ++seen == k.nth) raise(SIGKILL);
      });
      CHybridVolumesIndexFile vols(&params_);
      if (vols.Open(false) != 0) return 1;
      for (const auto& [vol, mp] : grown) {
        SHybridVolumeRecord r = Rec(vol, mp);
        (void)vols.Cache(vol, &r, "child");
      }
      return vols.Close() == 0 ? 0 : 2;
    });
    EXPECT_EQ(Wait(pid), 128 + SIGKILL);
    EXPECT_EQ(FileRecords(), k.renamed ? grown : old);
    WriteFile(Path(), oldBytes);  // the next round starts from the old file again
  }

  // What the dead writers left is removed by the next load; a live writer's file stays.
  WriteFile(dir_.File("HybridVolumes.idx." + std::to_string(getppid()) + ".tmp"), "live");
  EXPECT_FALSE(Leftovers().empty());
  CHybridVolumesIndexFile vols(&params_);
  ASSERT_EQ(vols.Open(false), 0);
  EXPECT_EQ(Leftovers(), (std::vector<std::string>{"HybridVolumes.idx." + std::to_string(getppid()) + ".tmp"}));
  ASSERT_EQ(vols.Close(), 0);
}

TEST_F(HybridVolumes, TheProcessHasOneInstance) {
  CHybridVolumesIndexFile* vols = CHybridVolumesIndexFile::GetInstance();
  ASSERT_NE(vols, nullptr);
  EXPECT_EQ(CHybridVolumesIndexFile::GetInstance(), vols);
  ASSERT_EQ(vols->Open(false), 0);
  EXPECT_TRUE(ReadFile(Path()).size() == 128u);
  ASSERT_EQ(vols->Close(), 0);
}

}  // namespace
