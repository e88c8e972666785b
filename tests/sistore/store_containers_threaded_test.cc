// SFile containers and their delayed flushes: the first container and its index, roll-over by
// size and item count, names, the engine id, failed creations, per-object data files outside
// container mode; full containers handed to the flusher while the writer goes on (held in the file
// layer by FlushGate where the order matters), and the data checkpoint.

#include <filesystem>
#include <mutex>
#include <thread>

#include "backup_job.h"
#include "flush_gate.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;
using sitest::ObjectShape;
using sitest::WrittenObject;

constexpr long long kChunkId = 21;

class ContainerTest : public StoreTest {
 public:
  std::unique_ptr<TestStore> Chunk(bool containerMode = true, int cloudMode = 0) {
    return BackupChunk(kChunkId, containerMode, cloudMode);
  }

  // Starts an object and writes `size` bytes of it; its container and offset.
  static std::pair<unsigned int, unsigned long> Object(TestStore& store, uint32_t size, unsigned int engine = 7) {
    unsigned int number = 0;
    unsigned long offset = 0;
    EXPECT_EQ(0, store.StartDataFile2(engine, &number, &offset));
    std::string bytes(size, 'o');
    int eom = 0;
    EXPECT_EQ(static_cast<int>(size), store.WriteToDataFile(bytes.data(), size, &eom));
    return {number, offset};
  }

  long long Flushes(unsigned int container) const {
    return platform::Faults().Calls(FsOp::Flush, ContainerPath(kChunkId, container));
  }
};

TEST_F(ContainerTest, FirstObjectCreatesTheFirstContainerAndTheIndex) {
  auto store = Chunk();
  unsigned int number = 0;
  unsigned long offset = 0;
  ASSERT_EQ(0, store->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(1u, number);
  EXPECT_EQ(128u, offset);
  EXPECT_EQ(128, store->GetFileOffset(1));
  EXPECT_TRUE(std::filesystem::exists(ContainerPath(kChunkId, 1)));
  EXPECT_TRUE(std::filesystem::exists(ContainerIndexPath(kChunkId)));
  EXPECT_EQ(2u, platform::LogCount("SingleInstancer_FS Created DataFile [" + ContainerPath(kChunkId, 1) + "] file", 2));
  EXPECT_EQ(1, store->GetSFileNumber());
  ASSERT_EQ(0, store->WriteCacheBuffersToFile(1, true));
  EXPECT_EQ(sitest::ContainerHeader(), sitest::ReadWholeFile(ContainerPath(kChunkId, 1)));
}

// The limits apply before an object: one that starts a byte below the size limit stays and may
// grow the container past it; the next starts a new container. So does the item limit.
TEST_F(ContainerTest, RollOverBySizeAndByItems) {
  SetConfig("MaxSFileContainerSize", 1000);
  SetConfig("MaxSFileContainerItems", 3);
  auto store = Chunk();
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{1, 128}), Object(*store, 871));
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{1, 999}), Object(*store, 500));
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{2, 128}), Object(*store, 1));
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{2, 129}), Object(*store, 1));
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{2, 130}), Object(*store, 1));
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{3, 128}), Object(*store, 1));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::StartDataFile2: Closing current data file [" +
                                    ContainerPath(kChunkId, 1) + "] and creating a new one. Size [1499]. Current items [2]"));
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(1499u, std::filesystem::file_size(ContainerPath(kChunkId, 1)));
  EXPECT_EQ(131u, std::filesystem::file_size(ContainerPath(kChunkId, 2)));
}

TEST_F(ContainerTest, NumbersPastNineHundredNinetyNineTakeFourDigits) {
  auto store = Chunk();
  store->m_SfileNumber = 999;
  EXPECT_EQ(1000u, Object(*store, 1).first);
  EXPECT_TRUE(std::filesystem::exists(path_append(ChunkDir(kChunkId), "SFILE_CONTAINER_1000")));
}

// The engine id is checked when a container begins, against the one the index was made with.
TEST_F(ContainerTest, EngineIdIsCheckedAtEachNewContainer) {
  SetConfig("MaxSFileContainerItems", 2);
  auto store = Chunk();
  Object(*store, 1, 7);
  unsigned int number = 0;
  unsigned long offset = 0;
  EXPECT_EQ(0, store->StartDataFile2(8, &number, &offset)) << "the container is reused";
  EXPECT_EQ(-1, store->StartDataFile2(8, &number, &offset));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::StartDataFile2: Mismatched engine id. Found [7], Expecting [8]"));
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(FXErrorUtil::ErrorWin32(FX_LOCATION, 774)), store->MediaFSGetLastError());
  EXPECT_EQ(-1, store->StartDataFile2(8, &number, &offset)) << "a retry of the new container is checked too";
  EXPECT_EQ(0, store->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(2u, number);
  ASSERT_EQ(0, store->Close());

  // An index made with engine id 0 takes any.
  platform::ResetAll();
  store.reset();
  std::filesystem::remove_all(ChunkDir(kChunkId));
  SetConfig("MaxSFileContainerItems", 2);
  store = Chunk();
  Object(*store, 1, 0);
  Object(*store, 1, 0);
  EXPECT_EQ(2u, Object(*store, 1, 9).first);
}

// A container index that could not be created is created by the next call before any object is
// handed out; the chunk never goes on without one.
TEST_F(ContainerTest, IndexCreationFailureIsRetriedByTheNextCall) {
  auto store = Chunk();
  platform::Faults().Add({FsOp::Open, "SFILE_CONTAINER.idx", 1, 1, ENOSPC});
  unsigned int number = 0;
  unsigned long offset = 0;
  EXPECT_EQ(-1, store->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(767, store->MediaFSGetLastError());
  EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
  EXPECT_FALSE(store->m_fdSFileIdx.IsValid());
  ASSERT_EQ(0, store->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(1u, number);
  EXPECT_EQ(128u, offset);
  EXPECT_TRUE(store->m_fdSFileIdx.IsValid());
  ASSERT_EQ(0, store->FlushDataFile());
  EXPECT_EQ(7u, sitest::ReadContainerIndex(ContainerIndexPath(kChunkId)).engineId);
}

TEST_F(ContainerTest, ContainerCreationFailureGoesOnWithTheNextNumber) {
  auto store = Chunk();
  platform::Faults().Add({FsOp::Open, "SFILE_CONTAINER_001", 1, 1, ENOSPC});
  unsigned int number = 0;
  unsigned long offset = 0;
  EXPECT_EQ(-1, store->StartDataFile2(7, &number, &offset));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::StartDataFile2: Failed to create the data file [" +
                                    ContainerPath(kChunkId, 1)));
  EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
  ASSERT_EQ(0, store->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(2u, number);
}

// Objects go only into a chunk being written: before a Create, or after the close, the store
// refuses and makes no file; an index that holds records is never created again over itself.
TEST_F(ContainerTest, NoObjectOutsideAChunkBeingWritten) {
  auto bare = MakeStore();
  InitBackup(*bare);
  unsigned int number = 0;
  unsigned long offset = 0;
  EXPECT_EQ(-1, bare->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(-1, bare->StartDataFile(1, 2, 3));
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::StartDataFile2: No chunk is open for writing"));

  auto store = Chunk();
  Object(*store, 10);
  SSfileContainerIndexEntry r{};
  r.Key = 1;
  ASSERT_EQ(0, store->AddSfileContainerIndexEntry(r));
  ASSERT_EQ(0, store->FlushDataFile());
  const std::string index = sitest::ReadWholeFile(ContainerIndexPath(kChunkId));
  ASSERT_TRUE(store->m_fdSFileIdx.Close().IsSuccess());
  EXPECT_EQ(-1, store->StartDataFile2(7, &number, &offset));
  EXPECT_EQ(index, sitest::ReadWholeFile(ContainerIndexPath(kChunkId)));
  ASSERT_EQ(0, store->Close());
  EXPECT_EQ(-1, store->StartDataFile2(7, &number, &offset));
  EXPECT_FALSE(std::filesystem::exists(ContainerPath(kChunkId, 2)));
  EXPECT_EQ(index, sitest::ReadWholeFile(ContainerIndexPath(kChunkId)));
}

TEST_F(ContainerTest, OutsideContainerModeEachObjectHasAFileOfItsOwn) {
  auto store = Chunk(false);
  for (unsigned int n : {1u, 2u}) {
    ASSERT_EQ(0, store->StartDataFile(100 + n, 200 + n, n));
    const std::string bytes(10 * n, static_cast<char>('a' + n));
    int eom = 0;
    ASSERT_EQ(static_cast<int>(bytes.size()), store->WriteToDataFile(bytes.data(), static_cast<long>(bytes.size()), &eom));
    ASSERT_EQ(0, store->EndDataFile());
    const std::string name = "FILE_" + std::to_string(n) + "_" + std::to_string(100 + n) + "-" + std::to_string(200 + n);
    EXPECT_EQ(bytes, sitest::ReadWholeFile(ChunkFile(kChunkId, name)));
  }
  EXPECT_EQ(0, store->Close());
}

// ---- Delayed flushes -----------------------------------------------------------------------

// With the default queue of 4 and one object per container: the second roll-over hands the first
// full container over, and when all four file interfaces are in flight the writer waits for the
// oldest flush, whose file interface then carries the next container.
TEST_F(ContainerTest, FullContainersGoToTheFlusherLateAndTheWriterWaitsOnlyForTheOldest) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  FlushGate gate;
  gate.Close();
  Object(*store, 10);                                     // container 1
  CFileInterface* first = store->m_pFdDataFile;
  Object(*store, 10);                                     // parks 1
  EXPECT_EQ(1u, store->m_DelayedSfileFlushQ.size());
  EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
  Object(*store, 10);                                     // parks 2, hands 1 over
  gate.WaitArrived(1);
  EXPECT_EQ(ContainerPath(kChunkId, 1), gate.Arrived()[0]);
  unsigned int number = 0;
  unsigned long offset = 0;
  EXPECT_EQ(1, store->WaitAndProcessSfileFlush(0)) << "a running flush is left busy";
  EXPECT_EQ(1u, store->m_BusySfileFlushQ.size());
  Object(*store, 10);                                     // parks 3, hands 2 over
  EXPECT_EQ(2u, store->m_BusySfileFlushQ.size());
  EXPECT_TRUE(store->m_lstDataFileCache.size() == 1 && store->m_lstDataFileCache.front() == store->m_pFdDataFile);

  // Parks 4, hands 3 over and, with every file interface in flight, waits for container 1.
  std::thread writer([&] { EXPECT_EQ(0, store->StartDataFile2(7, &number, &offset)); });
  gate.Open(ContainerPath(kChunkId, 1));
  writer.join();
  EXPECT_EQ(5u, number);
  EXPECT_EQ(first, store->m_pFdDataFile);
  EXPECT_EQ(2u, store->m_BusySfileFlushQ.size());
  EXPECT_EQ(1u, store->m_DelayedSfileFlushQ.size());
  EXPECT_EQ(0, Flushes(3));

  gate.OpenAll();
  EXPECT_EQ(0, store->FlushDataFile());
  for (unsigned int n = 1; n <= 4; ++n) EXPECT_EQ(1, Flushes(n)) << n;
  EXPECT_EQ(0, Flushes(5)) << "no object of the current container is indexed yet";
  EXPECT_EQ(0, store->Close());
}

TEST_F(ContainerTest, QueueOfOneHandsEveryFullContainerOverAndWaitsForIt) {
  SetConfig("MaxSFileContainerItems", 1);
  SetConfig("MaxDelayedFlushQueueSize", 1);
  auto store = Chunk();
  for (int i = 0; i < 4; ++i) Object(*store, 10);
  for (unsigned int n = 1; n <= 3; ++n) EXPECT_EQ(1, Flushes(n));
  EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
  EXPECT_TRUE(store->m_DelayedSfileFlushQ.empty());
  EXPECT_EQ(1u, store->m_lstDataFileCache.size());
  EXPECT_EQ(0, store->Close());
}

// A checkpoint flushes every parked container, the current one only once an object of it is
// indexed, and the container index; the current container stays where it was.
TEST_F(ContainerTest, CheckpointFlushesEverythingAndKeepsTheCurrentContainer) {
  SetConfig("MaxSFileContainerItems", 2);
  auto store = Chunk();
  for (int i = 0; i < 3; ++i) Object(*store, 10);
  ASSERT_EQ(0, store->FlushDataFile());
  EXPECT_EQ(1, Flushes(1));
  EXPECT_EQ(0, Flushes(2));
  EXPECT_EQ(1, platform::Faults().Calls(FsOp::Flush, ContainerIndexPath(kChunkId)));

  SSfileContainerIndexEntry r{};
  r.Key = 3;
  ASSERT_EQ(0, store->AddSfileContainerIndexEntry(r));
  ASSERT_EQ(0, store->FlushDataFile());
  EXPECT_EQ(1, Flushes(2));
  EXPECT_EQ(138u, std::filesystem::file_size(ContainerPath(kChunkId, 2)));
  EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  EXPECT_EQ(store->m_pFdDataFile, store->m_lstDataFileCache.front());
  EXPECT_EQ((std::pair<unsigned int, unsigned long>{2, 138}), Object(*store, 5));
  EXPECT_EQ(0, store->Close());
}

// A checkpoint flushes the folders in which names were created since the last one, so that what
// it made durable can be found: the chunk folder for containers and indexes, the volume folder
// for a new chunk folder.
TEST_F(ContainerTest, CheckpointsFlushTheFoldersTheyCreatedNamesIn) {
  SetConfig("MaxSFileContainerItems", 1);
  std::mutex mutex;
  std::vector<std::string> flushed;
  platform::Faults().SetHook([&](FsOp op, const std::string& path) {
    if (op != FsOp::Flush || !std::filesystem::is_directory(path)) return;
    std::lock_guard<std::mutex> lock(mutex);
    flushed.push_back(path);
  });
  auto store = Chunk();
  Object(*store, 10);
  ASSERT_EQ(0, sitest::Checkpoint(*store));
  EXPECT_EQ((std::vector<std::string>{ChunkDir(kChunkId), volumePath}), flushed);
  ASSERT_EQ(0, sitest::Checkpoint(*store));
  EXPECT_EQ(2u, flushed.size()) << "no new name, no folder flush";
  Object(*store, 10);  // container 2
  ASSERT_EQ(0, store->FlushDataFile());
  EXPECT_EQ((std::vector<std::string>{ChunkDir(kChunkId), volumePath, ChunkDir(kChunkId)}), flushed);
  ASSERT_EQ(0, store->Close());
  platform::Faults().SetHook(nullptr);
}

TEST_F(ContainerTest, FailedContainerFlushFailsTheCheckpointAndGivesTheFileBack) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  platform::Faults().Add({FsOp::Flush, ContainerPath(kChunkId, 1), 1, 1, EIO});
  Object(*store, 10);
  Object(*store, 10);
  EXPECT_EQ(-1, store->FlushDataFile());
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("WaitAndProcessSfileFlush: Unable to flush data file [" + ContainerPath(kChunkId, 1)));
  EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  EXPECT_EQ(0, store->Close());
}

// A checkpoint that fails still waits for every flush it started before it returns: no request
// goes back to the free list, and the current container is not written, while a worker holds it.
TEST_F(ContainerTest, FailedCheckpointWaitsForTheFlushesItStarted) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk();
  Object(*store, 10);
  Object(*store, 10);
  SSfileContainerIndexEntry r{};
  r.Key = 1;
  ASSERT_EQ(0, store->AddSfileContainerIndexEntry(r));
  FlushGate gate;
  gate.Close();
  platform::Faults().Add({FsOp::Flush, ContainerIndexPath(kChunkId), 1, 1, EIO});
  int result = 0;
  std::thread checkpoint([&] { result = store->FlushDataFile(); });
  gate.WaitArrived(1);
  gate.OpenAll();
  checkpoint.join();
  EXPECT_EQ(-1, result);
  EXPECT_TRUE(store->m_BusySfileFlushQ.empty());
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(EIO), store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to flush the data index file, error="));
  EXPECT_EQ(1, Flushes(1));
  EXPECT_EQ(1, Flushes(2));
  EXPECT_EQ(0, store->Close());
}

// On a cloud mount path nothing is submitted: full containers are closed when collected.
TEST_F(ContainerTest, CloudMountPathClosesFullContainersWithoutFlushing) {
  SetConfig("MaxSFileContainerItems", 1);
  auto store = Chunk(true, 1);
  EXPECT_EQ(nullptr, store->m_pFileFlusher);
  for (int i = 0; i < 5; ++i) Object(*store, 10);
  SSfileContainerIndexEntry r{};
  r.Key = 1;
  ASSERT_EQ(0, store->AddSfileContainerIndexEntry(r));
  EXPECT_EQ(0, store->FlushDataFile());
  EXPECT_EQ(0, platform::Faults().Calls(FsOp::Flush, "SFILE_CONTAINER_0"));
  EXPECT_TRUE(store->m_pFdDataFile->IsValid());
  EXPECT_EQ(4u, store->m_lstDataFileCache.size());
  EXPECT_EQ(0, store->Close());
  EXPECT_EQ(0, platform::LiveThreads());
}

TEST_F(ContainerTest, FreeListNeverHoldsMoreThanTheQueueSize) {
  auto store = Chunk();
  std::vector<SingleInstancer_FS::SFlushReq*> taken;
  for (int i = 0; i < 6; ++i) taken.push_back(store->AllocFlushReq());
  EXPECT_TRUE(store->m_FreeFlushReqsQ.empty());
  taken[0]->bKeepOpen = true;
  taken[0]->strFileName = "x";
  for (auto* req : taken) store->FreeFlushReq(req);
  EXPECT_EQ(4u, store->m_FreeFlushReqsQ.size());
  for (auto* req : store->m_FreeFlushReqsQ) {
    EXPECT_FALSE(req->bKeepOpen);
    EXPECT_TRUE(req->strFileName.empty());
    EXPECT_EQ(nullptr, req->pFile);
  }
}

}  // namespace
