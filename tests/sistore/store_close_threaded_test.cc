// Closing a chunk: what a close removes (only a container and an index that this job created and
// never indexed an object into), how it settles flushes in flight, which error it reports when
// several steps fail, read-only chunks, a second close, and an impersonation that fails.

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "backup_job.h"
#include "flush_gate.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;

constexpr long long kChunkId = 31;

class CloseTest : public StoreTest {
 public:
  std::unique_ptr<TestStore> Chunk(int cloudMode = 0, bool append = false) {
    return BackupChunk(kChunkId, true, cloudMode, append);
  }
  static unsigned int Start(TestStore& store) {
    unsigned int number = 0;
    unsigned long offset = 0;
    EXPECT_EQ(0, store.StartDataFile2(sitest::kEngineId, &number, &offset));
    return number;
  }
  static void Index(TestStore& store, uint64_t key) {
    SSfileContainerIndexEntry r{};
    r.Key = key;
    EXPECT_EQ(0, store.AddSfileContainerIndexEntry(r));
  }
  long long Flushes(unsigned int container) const {
    return platform::Faults().Calls(FsOp::Flush, ContainerPath(kChunkId, container));
  }
};

TEST_F(CloseTest, ChunkWithoutIndexedObjectsLeavesNoEmptyContainer) {
  auto store = Chunk();
  Start(*store);
  EXPECT_EQ(0, store->Close());
  EXPECT_EQ(2u, platform::LogCount("as there are no entries in the data index file", 1));
  EXPECT_FALSE(std::filesystem::exists(ContainerPath(kChunkId, 1)));
  EXPECT_FALSE(std::filesystem::exists(ContainerIndexPath(kChunkId)));
  EXPECT_TRUE(std::filesystem::exists(MetaDataPath(kChunkId)));
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  EXPECT_EQ(-1, store->m_MDIdxState);
  EXPECT_EQ(0u, store->getTotalBytesWritten());
}

TEST_F(CloseTest, CloudMountPathKeepsTheContainerAndRemovesTheIndex) {
  auto store = Chunk(1);
  Start(*store);
  EXPECT_EQ(0, store->Close());
  EXPECT_TRUE(std::filesystem::exists(ContainerPath(kChunkId, 1)));
  EXPECT_FALSE(std::filesystem::exists(ContainerIndexPath(kChunkId)));
}

TEST_F(CloseTest, IndexedObjectsKeepEverything) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  Start(*store);
  Index(*store, 1);
  Start(*store);  // container 2, empty: it stays, because the index holds a record
  EXPECT_EQ(0, store->Close());
  EXPECT_TRUE(std::filesystem::exists(ContainerPath(kChunkId, 1)));
  EXPECT_TRUE(std::filesystem::exists(ContainerPath(kChunkId, 2)));
  EXPECT_EQ(1u, sitest::ReadContainerIndex(ContainerIndexPath(kChunkId)).records.size());
  EXPECT_FALSE(platform::LogContains("Going to delete file"));
}

TEST_F(CloseTest, FailedRemovalOfTheEmptyContainerFailsTheCloseOfTheIndexOnlyLogs) {
  auto store = Chunk();
  Start(*store);
  store->MediaFSSetLastError(55);
  platform::Faults().Add({FsOp::Remove, "SFILE_CONTAINER_001", 1, -1, EACCES});
  EXPECT_EQ(-1, store->Close());
  EXPECT_EQ(55, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("CloseSpecific: Cannot delete the data file [" + ContainerPath(kChunkId, 1)));

  platform::ResetAll();
  store.reset();
  std::filesystem::remove_all(ChunkDir(kChunkId));
  store = Chunk();
  Start(*store);
  platform::Faults().Add({FsOp::Remove, "SFILE_CONTAINER.idx", 1, -1, EACCES});
  EXPECT_EQ(0, store->Close());
  EXPECT_TRUE(platform::LogContains("CloseSpecific: Cannot delete the data file [" + ContainerIndexPath(kChunkId)));
}

// Only what this job created goes: an index that a continued chunk brought with it, or one that
// a walk opened, is never removed, whatever it holds.
TEST_F(CloseTest, CloseNeverRemovesWhatThisJobDidNotCreate) {
  std::filesystem::create_directories(ChunkDir(kChunkId));
  std::ofstream(MetaDataPath(kChunkId), std::ios::binary) << "meta";
  CFSInitParams params = FsParams();
  {
    SingleInstancer_FS::SfileIndex empty(&params, nullptr);
    SingleInstancer_FS::SfileIndex::Options options{false, true, true};
    ASSERT_TRUE(empty.Create(ContainerIndexPath(kChunkId), options).IsSuccess());
    ASSERT_TRUE(empty.Close().IsSuccess());
  }
  auto store = Chunk(0, true);
  EXPECT_TRUE(store->m_fdSFileIdx.IsValid());
  EXPECT_EQ(0, store->Close());
  EXPECT_TRUE(std::filesystem::exists(ContainerIndexPath(kChunkId)));

  // A backup store that walks another chunk's empty index.
  auto walker = MakeStore();
  InitBackup(*walker);
  MediaFSArchiveFileId_t other = ArchiveId(kChunkId + 1);
  ASSERT_EQ(0, walker->Create(&other));
  ASSERT_EQ(0, walker->Close());
  walker->m_strChunkDir = ChunkDir(kChunkId);
  int64_t pos = -1;
  SSfileContainerIndexEntry e{};
  EXPECT_EQ(1, walker->GetFirstSfileContainerIndexEntry(&pos, e));
  EXPECT_EQ(0, walker->Close());
  EXPECT_TRUE(std::filesystem::exists(ContainerIndexPath(kChunkId)));
}

// A flush no worker has started is withdrawn and never done, and a parked container is closed
// without a flush. (The one worker is busy with another store's file meanwhile.)
TEST_F(CloseTest, FlushesNotStartedAreWithdrawn) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  FlushGate gate;
  gate.Close();
  CFileFlusher* flusher = CFileFlusher::Get(nullptr);
  ASSERT_EQ(store->m_pFileFlusher, flusher);
  FileRequest other(dir.path(), "other");
  ASSERT_EQ(0, flusher->Submit(&other.req));
  gate.WaitArrived(1);
  for (int i = 0; i < 4; ++i) {
    Start(*store);
    Index(*store, static_cast<uint64_t>(i + 1));
  }
  ASSERT_EQ(2u, store->m_BusySfileFlushQ.size());  // containers 1 and 2, queued behind the other file
  ASSERT_EQ(1u, store->m_DelayedSfileFlushQ.size());  // container 3
  gate.Open(ContainerIndexPath(kChunkId));
  EXPECT_EQ(0, store->Close());
  for (unsigned int n = 1; n <= 4; ++n) EXPECT_EQ(0, Flushes(n)) << n;
  EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
  EXPECT_TRUE(store->m_DelayedSfileFlushQ.empty());
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  EXPECT_EQ(4u, store->m_FreeFlushReqsQ.size());
  EXPECT_TRUE(platform::LogContains("CloseSpecific: Delayed Flush Queue Size [1], Busy Queue [2]"));
  gate.OpenAll();
  EXPECT_EQ(0, flusher->Wait(&other.req, 0xFFFFFFFFu));
  CFileFlusher::Release(flusher);
}

// A flush a worker is doing is waited for: the close returns only after it ended.
TEST_F(CloseTest, RunningFlushIsAwaited) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  FlushGate gate;
  gate.Close();
  for (int i = 0; i < 3; ++i) {
    Start(*store);
    Index(*store, static_cast<uint64_t>(i + 1));
  }
  gate.WaitArrived(1);
  ASSERT_EQ(1u, store->m_BusySfileFlushQ.size());
  gate.Open(ContainerIndexPath(kChunkId));
  int result = 1;
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    result = store->Close();
    closed = true;
  });
  EXPECT_FALSE(closed) << "the close waits while the flush is held";
  gate.Open(ContainerPath(kChunkId, 1));
  closer.join();
  EXPECT_EQ(0, result);
  EXPECT_EQ(1, Flushes(1));
  EXPECT_EQ(0, Flushes(2));
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
}

// A container whose flush ended with an error may not be on disk: the close fails.
TEST_F(CloseTest, FailedFlushOfAContainerFailsTheClose) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  FlushGate gate;
  gate.Close();
  platform::Faults().Add({FsOp::Flush, ContainerPath(kChunkId, 1), 1, 1, EIO});
  for (int i = 0; i < 3; ++i) {
    Start(*store);
    Index(*store, static_cast<uint64_t>(i + 1));
  }
  gate.WaitArrived(1);
  gate.OpenAll();
  EXPECT_EQ(-1, store->Close());
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("CloseSpecific: Unable to flush data file [" + ContainerPath(kChunkId, 1)));
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
}

// A container that the close itself closes, parked or handed over, may never have reached the
// storage when that close fails (on a cloud mount path the close is the upload): the chunk's close
// fails, nothing of the chunk goes to the media manager, and the other containers are still closed.
TEST_F(CloseTest, FailedCloseOfAQueuedContainerFailsTheClose) {
  struct Case {
    const char* name;
    bool cloud;
    FsOp op;
    int queueSize;     // "MaxDelayedFlushQueueSize"
    uint64_t objects;  // four to a container
  } cases[] = {
      {"cloud, the upload's flush fails", true, FsOp::Flush, 4, 6},
      {"cloud, the upload's close fails", true, FsOp::Close, 4, 6},
      {"disk, the close fails", false, FsOp::Close, 4, 6},
      {"cloud, parked containers behind the failing one", true, FsOp::Close, 8, 14},
  };
  long long chunkId = kChunkId;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    SetConfig("MaxSFileContainerSize", 262144);
    SetConfig("MaxSFileContainerItems", 4);
    SetConfig("MaxDelayedFlushQueueSize", c.queueSize);
    auto store = std::make_unique<TestStore>(&job, c.cloud ? CloudFsParams() : FsParams(), true, c.cloud ? 1 : 0);
    InitBackup(*store);
    MediaFSArchiveFileId_t id = ArchiveId(++chunkId);
    ASSERT_EQ(0, store->Create(&id));
    for (uint64_t key = 1; key <= c.objects; ++key) {
      sitest::WrittenObject w;
      ASSERT_EQ(0, sitest::WriteObject(*store, {key, 300, 64, key}, w));
    }
    const unsigned int containers = static_cast<unsigned int>((c.objects + 3) / 4);
    ASSERT_EQ(containers - 1, store->m_DelayedSfileFlushQ.size() + store->m_BusySfileFlushQ.size());
    platform::Faults().Add({c.op, ContainerPath(chunkId, 1), 1, 1, EIO});

    EXPECT_EQ(-1, store->Close());
    EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), store->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains("CloseSpecific: Unable to close data file [" + ContainerPath(chunkId, 1)));
    EXPECT_EQ(0u, platform::MediaManager().Count("incrNumFiles"));
    EXPECT_EQ(0, platform::MediaManager().volumes[kVolId].numFiles);
    ASSERT_EQ(static_cast<size_t>(c.queueSize), store->m_lstDataFileCache.size());
    for (CFileInterface* f : store->m_lstDataFileCache) EXPECT_FALSE(f->IsValid());
    if (c.cloud) {
      EXPECT_FALSE(std::filesystem::exists(ContainerPath(chunkId, 1))) << "the upload was never published";
    }
    for (unsigned int n = 2; n <= containers; ++n) EXPECT_TRUE(std::filesystem::exists(ContainerPath(chunkId, n))) << n;
  }
}

// The first recorded failure is the last error; a failed write-out of the buffers records none,
// but the metadata file's close error always becomes the last error.
TEST_F(CloseTest, WhichFailureBecomesTheLastError) {
  const long long eio = MMS2BaseError::ConvertToMMError(EIO);
  {
    auto store = Chunk();
    int eom = 0;
    ASSERT_EQ(3, store->WriteToMetaData("abc", 3, &eom));
    platform::Faults().Add({FsOp::Write, MetaDataPath(kChunkId), 1, -1, ENOSPC});
    platform::Faults().Add({FsOp::Close, MetaDataPath(kChunkId), 1, 1, EIO});
    EXPECT_EQ(-1, store->Close());
    EXPECT_EQ(eio, store->MediaFSGetLastError());
  }
  platform::ResetAll();
  std::filesystem::remove_all(ChunkDir(kChunkId));
  {
    auto store = Chunk();
    int eom = 0;
    ASSERT_EQ(3, store->WriteToMetaData("abc", 3, &eom));
    SChunkMetaDataIndexEntry r{};
    r.Key = 1;
    ASSERT_EQ(0, store->AddChunkMetaDataIndexEntry(r));
    platform::Faults().Add({FsOp::Write, MetaDataPath(kChunkId), 1, 1, ENOSPC});
    platform::Faults().Add({FsOp::Close, MetaDataPath(kChunkId) + ".idx", 1, 1, EIO});
    EXPECT_EQ(-1, store->Close());
    EXPECT_EQ(767, store->MediaFSGetLastError()) << "the index's error does not replace the write-out's";
    EXPECT_TRUE(platform::LogContains("CloseSpecific: [ERROR] Cannot Flush cache buffer (-1)"));
    EXPECT_TRUE(platform::LogContains("CloseSpecific: Cannot close the metadata index file, error="));
    EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
    EXPECT_EQ(store->m_CacheSize, store->m_MetaDataCacheFree) << "nothing stays buffered";
  }
}

TEST_F(CloseTest, ReadOnlyChunks) {
  auto store = Chunk();
  store->SetChunkAsReadOnly(30);
  Start(*store);
  Index(*store, 1);
  EXPECT_EQ(0, store->Close());
  EXPECT_TRUE(store->GetMetaDataFileName().empty());
  struct stat st {};
  ASSERT_EQ(0, ::stat(ContainerPath(kChunkId, 1).c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0222);

  platform::ResetAll();
  store.reset();
  std::filesystem::remove_all(ChunkDir(kChunkId));
  store = Chunk();
  store->SetChunkAsReadOnly(30);
  platform::Faults().Add({FsOp::Chmod, "", 1, -1, EPERM});
  EXPECT_EQ(-1, store->Close());
  EXPECT_EQ(MetaDataPath(kChunkId), store->GetMetaDataFileName());
}

TEST_F(CloseTest, SecondCloseIsHarmless) {
  auto store = Chunk();
  Start(*store);
  Index(*store, 1);
  EXPECT_EQ(0, store->Close());
  EXPECT_EQ(0, store->CloseSpecific(0));
  EXPECT_EQ(2u, platform::LogCount("CloseSpecific: Delayed Flush Queue Size [0], Busy Queue [0]", 2));
}

TEST_F(CloseTest, ImpersonationFailureClosesNothingAndTheNextCloseDoes) {
  auto store = Chunk();
  Start(*store);
  Index(*store, 1);
  platform::Identity().impersonateThrows = 1;
  EXPECT_EQ(-1, store->CloseSpecific(0));
  EXPECT_EQ(751, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("CloseSpecific: Caught exception in impersonation"));
  EXPECT_TRUE(store->m_pFdMetaDataFile->IsValid());
  EXPECT_TRUE(store->m_fdSFileIdx.IsValid());
  EXPECT_EQ(0, store->CloseSpecific(0));
  EXPECT_FALSE(store->m_fdSFileIdx.IsValid());
  EXPECT_EQ(1u, sitest::ReadContainerIndex(ContainerIndexPath(kChunkId)).records.size());
}

}  // namespace
