// The services the pruners call: the dedup database client with its records in a file, the
// pruning switches of the file-system agent and the distributed storage's look-ups.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::Sidb;

CZeroRefRecord Rec(uint32_t mp, uint32_t vol, uint64_t chunk, uint64_t id) {
  CZeroRefRecord r;
  r.MountPathId = mp;
  r.VolumeId = vol;
  r.ChunkId = chunk;
  r.PrimaryId = id;
  return r;
}

std::vector<uint64_t> Ids(const std::vector<CZeroRefRecord>& batch) {
  std::vector<uint64_t> ids;
  for (const CZeroRefRecord& r : batch) ids.push_back(r.PrimaryId);
  return ids;
}

TEST(SidbClientTest, BatchesFollowChunkOrderAndTheNextChunkContinuesASplitChunk) {
  TempDir dir;
  Sidb().path = dir / "sidb.rec";
  ASSERT_TRUE(platform::sidb::WriteRecords(
      Sidb().path, {Rec(1, 2, 9, 90), Rec(1, 2, 5, 52), Rec(1, 2, 5, 51), Rec(3, 4, 7, 70), Rec(1, 2, 5, 53)}));
  Sidb().batchSize = 2;
  CSIDBClientApi db;
  void* handle = nullptr;
  std::vector<CZeroRefRecord> batch;
  unsigned long next = 0;
  std::vector<unsigned int> excluded;
  ASSERT_EQ(0, db.GetPrunableRecords(&handle, 0, 10000, &batch, &next, &excluded));
  ASSERT_NE(nullptr, handle);
  EXPECT_EQ((std::vector<uint64_t>{51, 52}), Ids(batch));
  EXPECT_EQ(5u, next);  // chunk 5 goes on

  excluded = {3};
  ASSERT_EQ(0, db.GetPrunableRecords(&handle, 6, 10000, &batch, &next, &excluded));
  EXPECT_EQ((std::vector<uint64_t>{90}), Ids(batch));
  EXPECT_EQ(10u, next);
  ASSERT_EQ(0, db.GetPrunableRecords(&handle, 10, 1, &batch, &next, &excluded));
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(1, Sidb().openHandles);
  db.GetPrunableRecordsClose(handle);
  EXPECT_EQ(0, Sidb().openHandles);
}

TEST(SidbClientTest, PurgeRewritesTheFileAndScriptedResultsChangeNothing) {
  TempDir dir;
  Sidb().path = dir / "sidb.rec";
  ASSERT_TRUE(platform::sidb::WriteRecords(Sidb().path, {Rec(1, 2, 5, 51), Rec(1, 2, 5, 52), Rec(1, 2, 6, 61)}));
  CSIDBClientApi db;
  std::vector<unsigned long long> ids{52, 61};
  Sidb().pruneResults = {7};
  EXPECT_EQ(7, db.PruneRecords(&ids));
  std::vector<CZeroRefRecord> left;
  ASSERT_TRUE(platform::sidb::ReadRecords(Sidb().path, left));
  EXPECT_EQ(3u, left.size());

  EXPECT_EQ(0, db.PruneRecords(&ids));
  ASSERT_TRUE(platform::sidb::ReadRecords(Sidb().path, left));
  EXPECT_EQ((std::vector<uint64_t>{51}), Ids(left));
  EXPECT_EQ((std::vector<unsigned long long>{52, 61}), Sidb().purged);

  void* handle = nullptr;
  std::vector<CZeroRefRecord> batch;
  unsigned long next = 0;
  Sidb().getResults = {kSIDBTimeBudgetUsed};
  EXPECT_EQ(kSIDBTimeBudgetUsed, db.GetPrunableRecords(&handle, 0, 10000, &batch, &next, nullptr));
  EXPECT_NE(nullptr, handle);  // a handle is made even for a failed first call
  db.GetPrunableRecordsClose(handle);
  handle = nullptr;
  EXPECT_STRNE("", db.GetErrorString(kSIDBTimeBudgetUsed));

  // A torn file is a failure, not a shorter list of records.
  std::ofstream(Sidb().path, std::ios::app) << "xyz";
  EXPECT_NE(0, db.GetPrunableRecords(&handle, 0, 10000, &batch, &next, nullptr));
  db.GetPrunableRecordsClose(handle);
}

TEST(FileSystemAgentTest, PruningSwitchesAnswerOrFailWithTheirErrorValue) {
  OZPI_FileSystemAgent agent;
  bool enabled = false;
  EXPECT_EQ(0, agent.isPruningEnabledInZovadAdeve(enabled));
  EXPECT_TRUE(enabled);
  platform::Config().pruningDisabledMountPaths = {9, 4};
  std::vector<unsigned int> ids;
  EXPECT_EQ(0, agent.getPruningDisabledMountPaths(&ids));
  EXPECT_EQ((std::vector<unsigned int>{9, 4}), ids);

  platform::Config().pruningEnabledError = 1722;
  platform::Config().pruningDisabledError = 1723;
  EXPECT_NE(0, agent.isPruningEnabledInZovadAdeve(enabled));
  EXPECT_EQ(1722u, agent.getLastError());
  EXPECT_NE(0, agent.getPruningDisabledMountPaths(&ids));
  EXPECT_EQ(1723u, agent.getLastError());
  EXPECT_EQ(2, platform::Config().pruningEnabledQuestions);
  EXPECT_EQ(2, platform::Config().pruningDisabledQuestions);
}

TEST(SkarvoFSTest, ParsesItsOwnPathsAndLooksUpPrefixes) {
  TempDir dir;
  platform::RemoteStorage().skarvoPrefixes = {dir.path()};
  ASSERT_EQ(0, mkdir((dir / "CHUNK_5").c_str(), 0755));
  CSkarvoFS* fs = CSkarvoFS::Instance();
  ASSERT_EQ(fs, CSkarvoFS::Instance());
  std::string parsed;
  EXPECT_NE(0, fs->ParseSkarvoPath(dir.path(), parsed));
  EXPECT_EQ(dir.path(), parsed);
  EXPECT_EQ(0, fs->ParseSkarvoPath("/elsewhere", parsed));

  bool found = false;
  EXPECT_EQ(0, fs->Lookup(dir.path(), "CHUNK_", &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(0, fs->Lookup(dir.path(), "SFILE_CONTAINER_", &found));
  EXPECT_FALSE(found);
  EXPECT_NE(0, fs->Lookup(dir / "gone", "CHUNK_", &found));
  platform::RemoteStorage().lookupFailures = 1;
  EXPECT_NE(0, fs->Lookup(dir.path(), "CHUNK_", &found));
  EXPECT_EQ(0, fs->Lookup(dir.path(), "CHUNK_", &found));
  EXPECT_EQ("Lookup " + dir.path() + " CHUNK_", platform::RemoteStorage().calls.back());
}

// A listing that breaks off is no answer: the entries after the break may hold what is looked for.
TEST(SkarvoFSTest, ALookUpWhoseListingBreaksOffFails) {
  TempDir dir;
  platform::RemoteStorage().skarvoPrefixes = {dir.path()};
  for (const char* name : {"a", "b", "c"}) std::ofstream(dir / name) << "x";
  const struct {
    const char* what;
    int nth;  // the read of the folder that fails
  } cases[] = {{"at the first read", 1}, {"after the first entry", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Faults().Reset();
    platform::Faults().Add({platform::FsOp::ReadDir, dir.path(), c.nth, 1, EIO});
    bool found = true;
    EXPECT_EQ(EIO, CSkarvoFS::Instance()->Lookup(dir.path(), "CHUNK_", &found));
    EXPECT_TRUE(found) << "a failed look-up leaves the answer alone";
  }
  bool found = true;
  EXPECT_EQ(0, CSkarvoFS::Instance()->Lookup(dir.path(), "CHUNK_", &found));
  EXPECT_FALSE(found);
}

}  // namespace

namespace {

TEST(HybridStoreTest, WritesReachTheCacheCopyAndRemovalsClearBoth) {
  TempDir store, cache;
  platform::Config().mountPaths[{12, 0}].mountPath = cache.path();
  CFSInitParams params;
  params.m_Type = kFSTypeCloudCached;
  params.m_Host.m_Path = store.path();
  params.m_Param32b = 12;
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  ASSERT_TRUE(fs && file);
  EXPECT_EQ(kFSTypeCloudCached, fs->GetType());
  EXPECT_EQ(kFSTypeCloudCached, file->GetType());
  ASSERT_TRUE(fs->CreateDirectory(store / "V_1", false).IsSuccess());

  ASSERT_TRUE(file->Open(store / "V_1/obj", O_WRONLY | O_CREAT | O_TRUNC, 0644, 0).IsSuccess());
  EXPECT_GE(file->GetFD(), 0);  // the cache copy's descriptor
  unsigned int done = 0;
  ASSERT_TRUE(file->Write("hello", 5, &done).IsSuccess());
  ASSERT_TRUE(file->Close().IsSuccess());
  struct stat st {};
  ASSERT_EQ(0, stat((store / "V_1/obj").c_str(), &st));
  EXPECT_EQ(5, st.st_size);
  ASSERT_EQ(0, stat((cache / "V_1/obj").c_str(), &st));
  EXPECT_EQ(5, st.st_size);

  ASSERT_TRUE(fs->RemoveFile(store / "V_1/obj", 0).IsSuccess());
  EXPECT_NE(0, access((store / "V_1/obj").c_str(), F_OK));
  EXPECT_NE(0, access((cache / "V_1/obj").c_str(), F_OK));
  ASSERT_TRUE(fs->RemoveDirectory(store / "V_1", 0).IsSuccess());
  EXPECT_NE(0, access((cache / "V_1").c_str(), F_OK));

  auto* hybrid = dynamic_cast<CHybridFS*>(fs.get());
  ASSERT_NE(nullptr, hybrid);
  EXPECT_NE(0, hybrid->SetDiskMPId(99));  // unknown: the cache stays
  EXPECT_EQ(12u, hybrid->GetDiskMPId());
  EXPECT_EQ(0, hybrid->SetDiskMPId(0));
  EXPECT_EQ("", hybrid->CachePathOf(store / "x"));
}

TEST(HybridStoreTest, WithoutACacheTheFileHasNoDescriptorLikeCloud) {
  TempDir store;
  CFSInitParams params;
  params.m_Type = kFSTypeCloudCached;
  params.m_Host.m_Path = store.path();
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  ASSERT_TRUE(file->Open(store / "obj", O_WRONLY | O_CREAT, 0644, 0).IsSuccess());
  EXPECT_EQ(-1, file->GetFD());
  EXPECT_TRUE(file->Close().IsSuccess());
}

}  // namespace
