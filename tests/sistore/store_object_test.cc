// The store object: what each constructor builds, the defaults every other road starts from, and
// what the destructor gives back.

#include <fstream>

#include "store_fixture.h"

namespace {

class StoreObjectTest : public StoreTest {};

TEST_F(StoreObjectTest, JobContextConstructorBuildsNoInterfaces) {
  TestStore store(&job);
  EXPECT_EQ(nullptr, store.m_pFSInterface);
  EXPECT_EQ(nullptr, store.m_pFdNonSIFile);
  EXPECT_EQ(nullptr, store.m_pMetaDataReader);
  EXPECT_FALSE(store.m_bOZSIDevice);
  EXPECT_EQ(0, store.m_iCloudMode);
  EXPECT_EQ(kFSTypeDisk, store.m_FileInitParams.m_Type);
  EXPECT_TRUE(store.m_FileInitParams.m_Host.m_Path.empty());
}

TEST_F(StoreObjectTest, DefaultsEveryRoadStartsFrom) {
  auto store = MakeStore();
  EXPECT_FALSE(store->m_bFileIfCacheReady);
  EXPECT_EQ(-1, store->m_MDIdxState);
  EXPECT_EQ(-1, store->m_ChunkMDIdxVersion);
  EXPECT_EQ(-1, store->m_iIsTapeSI);
  EXPECT_TRUE(store->m_bNewOZSIFormat);
  EXPECT_TRUE(store->m_bCheckSIVolDBCorruption);
  EXPECT_EQ(524288u, store->m_WriteBlockSize);
  EXPECT_EQ(0u, store->m_CacheSize);
  EXPECT_EQ(nullptr, store->m_pDataCache);
  EXPECT_EQ(nullptr, store->m_pFdDataFile);
  EXPECT_EQ(nullptr, store->m_pFileFlusher);
  EXPECT_EQ(0, store->m_MaxDelayedSfileFlushQSize);
  EXPECT_EQ(0u, store->m_TotalBytesWritten);
  EXPECT_EQ(0, store->GetMarkType());
  EXPECT_TRUE(store->GetChunkDirName().empty());
  EXPECT_TRUE(store->GetMetaDataFileName().empty());
  EXPECT_FALSE(store->NFileContainerExists());
  EXPECT_FALSE(store->ChunkMetaDataIndexExists());
  EXPECT_FALSE(store->IsTapeSI());
  // The statistics are on unless configured off.
  EXPECT_TRUE(store->m_bPerfLogEnabled);
  EXPECT_EQ("SI-FS Write Speed", store->m_strPerfId);
  EXPECT_EQ(1000u, store->m_PerfWindow);
  EXPECT_DOUBLE_EQ(2.0 / 1001.0, store->m_PerfAlpha);
}

TEST_F(StoreObjectTest, FullConstructorTakesTheMountPathsParameters) {
  auto store = MakeStore(true, 0);
  EXPECT_TRUE(store->m_bOZSIDevice);
  EXPECT_EQ(0, store->m_iCloudMode);
  EXPECT_NE(nullptr, store->m_pFSInterface);
  EXPECT_NE(nullptr, store->m_pFdNonSIFile);
  ASSERT_NE(nullptr, store->m_pMetaDataReader);
  EXPECT_EQ(mountPath, store->GetFileInitParams().m_Host.m_Path);
  EXPECT_EQ("mpuser", store->GetLoggedOnUser()->GetUser());

  auto cloud = MakeStore(false, 2);
  EXPECT_FALSE(cloud->m_bOZSIDevice);
  EXPECT_EQ(2, cloud->m_iCloudMode);
  EXPECT_TRUE(cloud->GetLoggedOnUser()->GetUser().empty());  // no user on cloud storage
}

// The metadata reader reads the file in 256 KiB blocks.
TEST_F(StoreObjectTest, MetadataReaderReadsWholeQuarterMebibyteBlocks) {
  const std::string file = path_append(volumePath, "CHUNK_META_DATA_1");
  std::ofstream(file) << std::string(300000, 'm');
  auto store = MakeStore();
  ASSERT_TRUE(store->m_pMetaDataReader->Open(file.c_str(), O_RDONLY, 0400).IsSuccess());
  platform::Faults().TraceTransfers(true);
  char byte = 0;
  unsigned int got = 0;
  ASSERT_TRUE(store->m_pMetaDataReader->Read(&byte, 1, &got).IsSuccess());
  auto reads = platform::Faults().Transfers("CHUNK_META_DATA_1");
  ASSERT_EQ(1u, reads.size());
  EXPECT_EQ(262144u, reads[0].length);
}

TEST_F(StoreObjectTest, ConvertAndSetLastMMErrorRecordsTheMediaManagerCode) {
  auto store = MakeStore();
  EXPECT_EQ(767, store->ConvertAndSetLastMMError(FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOSPC, "full")));
  EXPECT_EQ(767, store->MediaFSGetLastError());
}

TEST_F(StoreObjectTest, DestroyingAnUnusedStoreFreesNothingItDidNotMake) {
  {
    auto store = MakeStore();
    SMountInfo info;
    info.m_MountPath = "/x/OZ_MAGNETIC/V_1";
    store->AddMPInfoToList(info);
  }
  EXPECT_EQ(1u, platform::LogCount("Free Flush Queue Size [0]", 2));
  EXPECT_EQ(1u, platform::LogCount("Data file cache queue size [0]", 2));
  EXPECT_FALSE(platform::LogContains("stat- ID"));
  EXPECT_FALSE(platform::LogContains("Assertion failed"));
}

TEST_F(StoreObjectTest, DestructorWritesTheLastStatisticsLineOnlyAfterCountedBytes) {
  {
    auto store = MakeStore();
    store->StartTimedOperation();
    store->EndTimedOperation(0);  // a checkpoint: counts no byte
  }
  EXPECT_FALSE(platform::LogContains("stat- ID"));
  {
    auto store = MakeStore();
    store->StartTimedOperation();
    platform::AdvanceClock(2000);
    store->EndTimedOperation(4 * 1048576);
  }
  EXPECT_EQ(1u, platform::LogCount(
                    "stat- ID [SI-FS Write Speed] Curr Avg [2.000000] MB/Sec, Bytes [4194304]; Total Avg [2.000000] "
                    "MB/Sec, Bytes [4194304], Time [2.00] Secs",
                    1));
}

// Requests left in the delayed or busy queue are reported and left alone: the flusher may still
// refer to them.
TEST_F(StoreObjectTest, DestructorReportsFlushRequestsLeftInTheQueues) {
  auto delayed = std::make_unique<SingleInstancer_FS::SFlushReq>();
  auto busy = std::make_unique<SingleInstancer_FS::SFlushReq>();
  {
    auto store = MakeStore();
    store->m_DelayedSfileFlushQ.push_back(delayed.get());
    store->m_BusySfileFlushQ.push_back(busy.get());
    platform::Identity().impersonateThrows = 1;  // the destructor's close settles nothing
  }
  EXPECT_TRUE(platform::LogContains("m_DelayedSfileFlushQ.size () == 0"));
  EXPECT_TRUE(platform::LogContains("m_BusySfileFlushQ.size () == 0"));
  EXPECT_TRUE(platform::LogContains("Data file cache queue size [0]"));  // destruction went on
}

}  // namespace
