// Stores that assign their own object ids: each chunk's id is recorded with the management server
// when the chunk is closed and looked up when it is opened; chunk map trailers are never stored.

#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "remote/web_storage_fixture.h"

namespace {

using namespace cloudtest;

class CloudObjectIds : public CloudTest {
 protected:
  void SetUp() override { ASSERT_TRUE(UseStore(StoreKind::kObjectIds)); }

  static std::vector<std::string> ServerCalls() {
    std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
    return platform::ArchiveManager().calls;
  }
  static std::vector<std::string> StoreCalls() {
    std::lock_guard<std::mutex> lock(platform::RemoteFilesMutex());
    return platform::RemoteFiles().calls;
  }
};

TEST_F(CloudObjectIds, IdsAreRecordedAtCloseAndLookedUpAtOpen) {
  JobSetup s = Job();
  auto media = Start(s);
  const std::string data = Pattern(100000, 9);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 501), data));
  const std::string id = media->m_strObjectId;
  ASSERT_EQ(id.size(), 40u);
  EXPECT_EQ(ServerCalls(), std::vector<std::string>{"setChunkCClip 501 " + id});
  EXPECT_TRUE(platform::LogContains("Updated Chunk Id[501] => Object Id [" + id + "] into HM database."));

  // The trailer is neither created, written nor closed, yet every step succeeds.
  const size_t storeCalls = StoreCalls().size();
  MediaFSArchiveFileId_t trailer = Id(CHUNKMAP_TRAILER, 501);
  ASSERT_EQ(0, media->Create(&trailer));
  const std::string text(3 * kBlock + 5, 't');
  EXPECT_EQ(media->Write(text.data(), text.size()), static_cast<int>(text.size()));
  EXPECT_EQ(0, media->Close());
  EXPECT_EQ(StoreCalls().size(), storeCalls);
  EXPECT_EQ(ServerCalls().size(), 1u);

  RecordChunk(501);
  JobSetup r = Job();
  auto reader = Start(r, false);
  EXPECT_TRUE(Restore(*reader, 501, data.size()) == data);
  EXPECT_EQ(ServerCalls().back(), "getAfileCClip 5 2 1");
  EXPECT_EQ(StoreCalls().back(), "CloseFile " + id);
}

TEST_F(CloudObjectIds, AnOpenWithoutAUsableIdFails) {
  JobSetup s = Job();
  ASSERT_EQ(0, WriteFile(*Start(s), Id(CHUNK, 601), "abc"));
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* logged;
  };
  const Case cases[] = {
      {"the archive file has no chunk with an id", [] {}, "Failed to get Object ID for Chunk. AFID = 6, CopyID = 1, TarnholdID = 2."},
      {"the server lacks this chunk", [] { RecordChunk(602); platform::ArchiveManager().objectIds[602] = "x"; },
       "After retrieving Object ID for Chunk [601], value returned from HM is empty."},
      {"the server returns an empty id", [] { RecordChunk(601); platform::ArchiveManager().objectIds[601] = ""; },
       "After retrieving Object ID for Chunk [601], value returned from HM is empty."},
      {"the server's lookup fails", [] { RecordChunk(601); platform::ArchiveManager().Fail("getAfileCClip"); },
       "Failed to get Object ID for Chunk. AFID = 6, CopyID = 1, TarnholdID = 2."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetLogs();
    {
      std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
      const auto ids = platform::ArchiveManager().objectIds;
      platform::ArchiveManager() = platform::ArchiveManagerState();
      platform::ArchiveManager().objectIds = ids;
    }
    c.arrange();
    JobSetup r = Job();
    auto reader = Start(r, false);
    const MediaFSArchiveFileId_t id = Id(CHUNK, 601, 3);
    EXPECT_EQ(reader->Open(&id, true), -1);
    EXPECT_TRUE(platform::LogContains(c.logged));
  }
}

TEST_F(CloudObjectIds, AChunkWhoseIdCannotBeRecordedFailsItsClose) {
  struct Case {
    const char* what;
    size_t idLength;
    bool withClient;
    bool serverFails;
    long long code;  // the last error after the failed close
    bool recorded;   // whether the server was asked to record the id
  };
  const Case cases[] = {
      {"the server refuses", 40, true, true, 30036, true},
      {"an id longer than the record holds", SetChunkCClipArgsDS_t::kObjectIdSize, true, false, 30036, false},
      {"no management client", 40, false, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    platform::RemoteFiles().objectIdLength = c.idLength;
    if (c.serverFails) platform::ArchiveManager().Fail("setChunkCClip");
    JobSetup s = Job();
    auto media = std::make_unique<WebStorageUnderTest>(&s.job, DeviceType(), "", "", root,
                                                       c.withClient ? &archiveManager : nullptr);
    ASSERT_EQ(0, media->Init(Params(s), false));
    EXPECT_EQ(WriteFile(*media, Id(CHUNK, 701), "abc"), -1);
    EXPECT_EQ(media->MediaFSGetLastError(), c.code);
    EXPECT_EQ(ServerCalls().size(), c.recorded ? 1u : 0u);
    EXPECT_TRUE(platform::ArchiveManager().objectIds.empty());
    if (c.code == 30036) {
      EXPECT_TRUE(platform::LogContains("Failed to update Object Id [" + media->m_strObjectId +
                                        "] into HM Database for Chunk ID 701."));
    }
  }
  // The longest id that fits is recorded whole.
  platform::ResetAll();
  platform::RemoteFiles().objectIdLength = SetChunkCClipArgsDS_t::kObjectIdSize - 1;
  JobSetup s = Job();
  auto media = Start(s);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 702), "abc"));
  EXPECT_EQ(platform::ArchiveManager().objectIds[702].size(), SetChunkCClipArgsDS_t::kObjectIdSize - 1);
}

TEST_F(CloudObjectIds, AFailedCloseRecordsNoId) {
  JobSetup s = Job();
  auto media = Start(s);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 801), "first"));
  ASSERT_FALSE(media->m_strObjectId.empty());

  platform::FaultRule rule;
  rule.op = platform::FsOp::Flush;
  platform::Faults().Add(rule);
  EXPECT_EQ(WriteFile(*media, Id(CHUNK, 802), "second"), -1);
  EXPECT_EQ(media->m_strObjectId, "");
  EXPECT_EQ(ServerCalls().size(), 1u);  // only the first chunk's
  EXPECT_EQ(platform::ArchiveManager().objectIds.count(802), 0u);
}

// Data movers are processes forked from one parent, which may itself have written objects first.
// Each gets ids no other object has: an id given twice would let one chunk's object replace
// another's, and the first chunk would restore the second one's bytes.
TEST_F(CloudObjectIds, ForkedWritersGetIdsOfTheirOwn) {
  JobSetup s = Job();
  ASSERT_EQ(0, WriteFile(*Start(s), Id(CHUNK, 901), Pattern(5901, 901)));
  std::map<long long, std::string> ids{{901, platform::ArchiveManager().objectIds[901]}};
  for (long long chunkId : {902, 903, 904}) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      JobSetup job = Job();
      auto media = NewMedia(job);
      if (media->Init(Params(job), false) != 0) _exit(2);
      if (WriteFile(*media, Id(CHUNK, chunkId), Pattern(5000 + chunkId, chunkId)) != 0) _exit(3);
      const std::string& id = media->m_strObjectId;
      _exit(::write(fds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size()) ? 0 : 4);
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer of chunk " << chunkId << " failed";
    char id[64] = {};
    ASSERT_EQ(::read(fds[0], id, sizeof(id)), 40);
    ::close(fds[0]);
    ids[chunkId] = id;
    platform::ArchiveManager().objectIds[static_cast<uint64_t>(chunkId)] = id;
  }
  std::set<std::string> distinct;
  for (const auto& [chunkId, id] : ids) distinct.insert(id);
  EXPECT_EQ(distinct.size(), ids.size());

  JobSetup r = Job();
  auto reader = Start(r, false);
  for (const auto& [chunkId, id] : ids) {
    RecordChunk(chunkId);
    const size_t size = static_cast<size_t>(5000 + chunkId);
    EXPECT_TRUE(Restore(*reader, chunkId, size) == Pattern(size, chunkId)) << "chunk " << chunkId << " id " << id;
  }
}

}  // namespace
