// Removing what is left of a chunk: which files of the folder go, the folder and its trailer, the
// delete log, and the states where the chunk must stay.

#include <fcntl.h>
#include <unistd.h>

#include "driver_fixture.h"

namespace {

using prunetest::DeleteLogRecords;
using prunetest::kMP1;

class ChunkRemovalTest : public prunetest::DriverTest {
 public:
  static constexpr unsigned long long kChunk = 40;

  std::string Dir() const { return ChunkDirOf(mountPath, kVolId, kChunk); }
  std::string Trailer() const { return TrailerOf(mountPath, kVolId, kChunk); }
  void Touch(const std::string& name) const { craft::WriteFile(path_append(Dir(), name), "x"); }

  std::unique_ptr<CSingleInstancerPruner> Bound(unsigned int deleteMetadata = 0, bool keepFolders = false) {
    auto p = MakeDriver(deleteMetadata, keepFolders);
    EXPECT_EQ(0, p->OnMountPathStart(kMP1, false));
    EXPECT_NE(nullptr, p->GetFSInterface());
    return p;
  }
};

struct Case {
  const char* what;
  std::vector<std::string> files;
  bool noContainerLeft;
  unsigned int deleteMetadata;
  int result;
  std::vector<std::string> left;  // files that stay; the folder and trailer go when none does
  std::vector<std::string> records;
};

TEST_F(ChunkRemovalTest, RulesDecideWhatGoesAndTheFolderGoesWhenNothingStays) {
  const std::string md = SingleInstancer_FS::GetChunkMetadataName(kChunk);
  const std::vector<Case> cases = {
      {"empty folder", {}, false, 0, 1, {}, {"D 5 17 40 0", "D 5 17 40 0 CTRL"}},
      {"no container index: everything goes, the metadata file last",
       {md, md + ".idx", "NFILE_CONTAINER", ".compactlock"},
       false,
       0,
       1,
       {},
       {"D 5 17 40 .compactlock", "D 5 17 40 CIDX", "D 5 17 40 NFILE_CONTAINER", "D 5 17 40 CMTD", "D 5 17 40 4",
        "D 5 17 40 4 CTRL"}},
      {"container left: its index and the metadata file stay",
       {md, md + ".idx", "NFILE_CONTAINER", "SFILE_CONTAINER.idx", "SFILE_CONTAINER_001", ".compactlock"},
       false,
       0,
       0,
       {md, "SFILE_CONTAINER.idx", "SFILE_CONTAINER_001", ".compactlock"},
       {"D 5 17 40 CIDX", "D 5 17 40 NFILE_CONTAINER"}},
      {"the delete-metadata switch takes the metadata file too",
       {md, "SFILE_CONTAINER.idx"},
       false,
       1,
       0,
       {"SFILE_CONTAINER.idx"},
       {"D 5 17 40 CMTD"}},
      {"side files of a compaction go only when no container is left",
       {"SFILE_CONTAINER_001.compact2", "SFILE_CONTAINER_002.temp"},
       false,
       0,
       0,
       {"SFILE_CONTAINER_001.compact2", "SFILE_CONTAINER_002.temp"},
       {}},
      {"no container left: side files go",
       {"SFILE_CONTAINER_001.compact2.checkpoint", "SFILE_CONTAINER_002.temp"},
       true,
       0,
       1,
       {},
       {"D 5 17 40 SFILE_CONTAINER_001.compact2.checkpoint", "D 5 17 40 SFILE_CONTAINER_002.temp", "D 5 17 40 2",
        "D 5 17 40 2 CTRL"}},
      {"a lower-case n stays, a lower-case metadata index goes",
       {"nfile_other", "chunk_meta_data_40.idx"},
       false,
       0,
       0,
       {"nfile_other"},
       {"D 5 17 40 CIDX"}},
      // Older-layout objects still read their metadata from the metadata file: it stays with them.
      {"no container index, an older-layout object left: the metadata file stays",
       {md, "SFILE_40-1_3-128", md + ".idx"},
       false,
       0,
       0,
       {md, "SFILE_40-1_3-128"},
       {"D 5 17 40 CIDX"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Dir());
    std::filesystem::create_directories(Dir());
    craft::WriteFile(Trailer(), "trailer");
    for (const std::string& f : c.files) Touch(f);
    platform::ResetLogs();
    auto p = Bound(c.deleteMetadata);
    EXPECT_EQ(c.result, p->PruneChunk(kVolId, kChunk, c.noContainerLeft));
    for (const std::string& f : c.left) EXPECT_TRUE(Exists(path_append(Dir(), f))) << f;
    for (const std::string& f : c.files) {
      if (std::find(c.left.begin(), c.left.end(), f) == c.left.end()) {
        EXPECT_FALSE(Exists(path_append(Dir(), f))) << f;
      }
    }
    EXPECT_EQ(c.left.empty(), !Exists(Dir()));
    EXPECT_EQ(c.left.empty(), !Exists(Trailer()));
    EXPECT_EQ(c.records, DeleteLogRecords());
  }
}

TEST_F(ChunkRemovalTest, AbsentFolderOrTrailerAndKeptFolders) {
  // The folder is gone: "DN", then the trailer.
  craft::WriteFile(Trailer(), "trailer");
  auto p = Bound();
  EXPECT_EQ(0, p->PruneChunk(kVolId, kChunk, false));
  EXPECT_FALSE(Exists(Trailer()));
  EXPECT_EQ((std::vector<std::string>{"DN 5 17 40", "D 5 17 40 CHUNKMAP_TRAILER_40"}), DeleteLogRecords());

  // Folder and trailer both gone (a pass cut after the trailer went): nothing left to do, and
  // the chunk's records may go.
  platform::ResetLogs();
  EXPECT_EQ(0, p->PruneChunk(kVolId, kChunk, false));
  EXPECT_EQ((std::vector<std::string>{"DN 5 17 40"}), DeleteLogRecords());

  // An emptied folder whose trailer was never written is gone all the same.
  std::filesystem::create_directories(Dir());
  platform::ResetLogs();
  EXPECT_EQ(1, p->PruneChunk(kVolId, kChunk, false));
  EXPECT_FALSE(Exists(Dir()));
  EXPECT_EQ((std::vector<std::string>{"D 5 17 40 0"}), DeleteLogRecords());

  // Keep-folders: the folder stays, the trailer goes, no folder record.
  std::filesystem::create_directories(Dir());
  Touch("NFILE_CONTAINER");
  craft::WriteFile(Trailer(), "trailer");
  platform::ResetLogs();
  auto keeper = Bound(0, true);
  EXPECT_EQ(1, keeper->PruneChunk(kVolId, kChunk, false));
  EXPECT_TRUE(Exists(Dir()));
  EXPECT_FALSE(Exists(Trailer()));
  EXPECT_EQ((std::vector<std::string>{"D 5 17 40 NFILE_CONTAINER", "D 5 17 40 1 CTRL"}), DeleteLogRecords());
}

TEST_F(ChunkRemovalTest, FailuresKeepTheChunkAndReportOffline) {
  std::filesystem::create_directories(Dir());
  Touch("NFILE_CONTAINER");
  Touch("N2");
  craft::WriteFile(Trailer(), "trailer");
  auto p = Bound();
  // The first removal fails: nothing more is looked at.
  platform::FaultRule rule;
  rule.op = platform::FsOp::Remove;
  rule.pathContains = "CHUNK_40/N2";
  rule.err = EACCES;
  platform::Faults().Add(rule);
  EXPECT_EQ(-1, p->PruneChunk(kVolId, kChunk, false));
  EXPECT_TRUE(Exists(Dir()));
  EXPECT_TRUE(Exists(Trailer()));

  // The mount path's root has gone: offline.
  auto offline = Bound();
  std::filesystem::remove_all(mountPath);
  EXPECT_EQ(-2, offline->PruneChunk(kVolId, kChunk, false));
}

}  // namespace

namespace {

TEST_F(ChunkRemovalTest, AnInvalidArgumentBindsTheMountPathAgainWhenConfigured) {
  std::filesystem::create_directories(Dir());
  platform::FaultRule rule;
  rule.op = platform::FsOp::Stat;
  rule.pathContains = "CHUNK_40";
  rule.err = EINVAL;
  rule.times = 2;
  for (long long setting : {0LL, 1LL}) {
    SCOPED_TRACE("DedupLogonAgainOnErr22 " + std::to_string(setting));
    platform::Config().SetNumber("ZovadAdeve", "DedupLogonAgainOnErr22", setting);
    platform::Faults().Add(rule);
    auto p = Bound();
    platform::ResetLogs();
    EXPECT_EQ(-1, p->PruneChunk(kVolId, kChunk, false));
    EXPECT_EQ(setting == 1 ? 1u : 0u, platform::LogCount("Got path ["));
    EXPECT_NE(nullptr, p->GetFSInterface());
    EXPECT_TRUE(Exists(Dir()));
    platform::Faults().Reset();
  }
}

}  // namespace
