// How a store prepares itself: the tunables, the guarded write buffers, the space limits, the
// pools of a restore and of a cloud backup (a disk backup takes the flusher: see the threaded
// tests), and the write speed statistics.

#include <cstring>
#include <functional>
#include <optional>

#include "store_fixture.h"

namespace {

constexpr uint64_t kGuard = 0xABABABABABABABABULL;

enum class Stage {
  Construction,  // the statistics switch is read by the constructor
  Backup,        // media_fs::Init of a backup's data mover
  Restore,       // media_fs::Init of a restore
  BackupPools,   // InitFileInterfaceCache in write mode, on cloud storage (no flusher)
};

struct TunableCase {
  const char* name;
  std::optional<long long> value;  // nullopt: absent
  Stage stage;
  std::function<long long(TestStore&)> read;
  long long expected;
};

class StoreInitTest : public StoreTest {
 public:
  std::unique_ptr<TestStore> Prepare(Stage stage) {
    auto store = MakeStore(true, stage == Stage::BackupPools ? 1 : 0);
    switch (stage) {
      case Stage::Construction:
        break;
      case Stage::Backup:
        EXPECT_EQ(0, store->Init(InitParams(kDataMoverModeBackup), false));
        break;
      case Stage::Restore:
        EXPECT_EQ(0, store->Init(InitParams(0), false));
        break;
      case Stage::BackupPools:
        store->m_bWriting = true;
        EXPECT_TRUE(store->InitFileInterfaceCache());
        break;
    }
    return store;
  }
};

TEST_F(StoreInitTest, TunablesDefaultInRangeOutOfRangeAbsent) {
  auto cache = [](TestStore& s) { return static_cast<long long>(s.m_CacheSize); };
  auto block = [](TestStore& s) { return static_cast<long long>(s.m_WriteBlockSize); };
  auto incr = [](TestStore& s) { return static_cast<long long>(s.m_bAllowIncrChunk); };
  auto interval = [](TestStore& s) { return static_cast<long long>(s.m_SpaceCheckInterval); };
  auto siloCheck = [](TestStore& s) { return static_cast<long long>(s.m_bCheckSIVolDBCorruption); };
  auto queue = [](TestStore& s) {
    EXPECT_EQ(static_cast<size_t>(s.m_MaxDelayedSfileFlushQSize), s.m_lstDataFileCache.size());
    EXPECT_EQ(static_cast<size_t>(s.m_MaxDelayedSfileFlushQSize), s.m_FreeFlushReqsQ.size());
    return static_cast<long long>(s.m_MaxDelayedSfileFlushQSize);
  };
  auto perf = [](TestStore& s) { return static_cast<long long>(s.m_bPerfLogEnabled); };
  constexpr long long KiB = 1024, MiB = 1048576;

  const TunableCase cases[] = {
      {"nSIFSCacheSizeKB", std::nullopt, Stage::Backup, cache, 1024 * KiB},
      {"nSIFSCacheSizeKB", 4096, Stage::Backup, cache, 4096 * KiB},
      {"nSIFSCacheSizeKB", 256, Stage::Backup, cache, (512 + 64) * KiB},  // not above one write block
      {"nSIFSCacheSizeKB", 2000000, Stage::Backup, cache, 1048576 * KiB},  // at most 1 GiB
      {"nSIFSCacheSizeKB", 0, Stage::Backup, cache, 1024 * KiB},
      {"nSIFSCacheSizeKB", -5, Stage::Backup, cache, 1024 * KiB},
      {"nSIFSCacheSizeKB", 0x100000800LL, Stage::Backup, cache, 2048 * KiB},  // the low 32 bits count
      {"nSIFSWriteBlockSizeKB", std::nullopt, Stage::Backup, block, 512 * KiB},
      {"nSIFSWriteBlockSizeKB", 1024, Stage::Backup, block, 1024 * KiB},
      {"nSIFSWriteBlockSizeKB", 1024, Stage::Backup, cache, (1024 + 64) * KiB},
      {"nSIFSWriteBlockSizeKB", 32, Stage::Backup, block, 64 * KiB},  // at least 64 KiB
      {"nSIFSWriteBlockSizeKB", 0, Stage::Backup, block, 512 * KiB},
      {"nSIFSWriteBlockSizeKB", -1, Stage::Backup, block, 512 * KiB},
      {"nSIFSWriteBlockSizeKB", 1024, Stage::Restore, block, 512 * KiB},  // read by a backup only
      {"bSIFSDoIncrChunk", std::nullopt, Stage::Backup, incr, 0},
      {"bSIFSDoIncrChunk", 1, Stage::Backup, incr, 1},
      {"bSIFSDoIncrChunk", 0, Stage::Backup, incr, 0},
      {"bSIFSDoIncrChunk", -1, Stage::Backup, incr, 0},
      {"nSpaceCheckLimitMB", std::nullopt, Stage::Backup, interval, 25 * MiB},
      {"nSpaceCheckLimitMB", 10, Stage::Backup, interval, 25 * MiB},
      {"nSpaceCheckLimitMB", 25, Stage::Backup, interval, 25 * MiB},
      {"nSpaceCheckLimitMB", 26, Stage::Backup, interval, 26 * MiB},
      {"nSpaceCheckLimitMB", 100, Stage::Backup, interval, 100 * MiB},
      {"nSpaceCheckLimitMB", -3, Stage::Backup, interval, 25 * MiB},  // never a check out of reach
      {"DoNotCheckForSIVolDBCorruption", std::nullopt, Stage::Restore, siloCheck, 1},
      {"DoNotCheckForSIVolDBCorruption", 0, Stage::Restore, siloCheck, 1},
      {"DoNotCheckForSIVolDBCorruption", 1, Stage::Restore, siloCheck, 0},
      {"DoNotCheckForSIVolDBCorruption", -1, Stage::Restore, siloCheck, 0},
      {"MaxDelayedFlushQueueSize", std::nullopt, Stage::BackupPools, queue, 4},
      {"MaxDelayedFlushQueueSize", 2, Stage::BackupPools, queue, 2},
      {"MaxDelayedFlushQueueSize", 0, Stage::BackupPools, queue, 1},  // the writing roads need one
      {"MaxDelayedFlushQueueSize", -7, Stage::BackupPools, queue, 1},
      {"SIFilePerfLogEnabled", std::nullopt, Stage::Construction, perf, 1},
      {"SIFilePerfLogEnabled", 1, Stage::Construction, perf, 1},
      {"SIFilePerfLogEnabled", 0, Stage::Construction, perf, 0},
  };
  for (const TunableCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = " + (c.value ? std::to_string(*c.value) : "absent"));
    platform::ResetAll();
    if (c.value) SetConfig(c.name, *c.value);
    auto store = Prepare(c.stage);
    EXPECT_EQ(c.expected, c.read(*store));
  }
}

TEST_F(StoreInitTest, LinesOfTheTunables) {
  SetConfig("nSpaceCheckLimitMB", 10);
  Prepare(Stage::Backup);
  EXPECT_FALSE(platform::LogContains("DiskSpaceCheckLimit"));
  EXPECT_EQ(1u, platform::LogCount(
                    "Setting SIFS cache size to [1024] KB, VolBlkSize is [64] KB, WriteBlkSize is [512] KB, AllowIncrChunk [0]", 1));

  platform::ResetAll();
  SetConfig("nSpaceCheckLimitMB", 100);
  Prepare(Stage::Backup);
  EXPECT_EQ(1u, platform::LogCount("DiskSpaceCheckLimit Set to 104857600", 1));

  platform::ResetAll();
  SetConfig("nSpaceCheckLimitMB", -3);
  Prepare(Stage::Backup);
  EXPECT_EQ(1u, platform::LogCount("nSpaceCheckLimitMB [-3] is negative; DiskSpaceCheckLimit stays 26214400", 1));

  platform::ResetAll();
  SetConfig("MaxDelayedFlushQueueSize", 0);
  Prepare(Stage::BackupPools);
  EXPECT_EQ(1u, platform::LogCount("MaxDelayedFlushQueueSize [0] is below 1; using 1", 1));
  EXPECT_EQ(1u, platform::LogCount("Max delayed flush queue size set to [1]", 1));

  platform::ResetAll();
  SetConfig("DoNotCheckForSIVolDBCorruption", 1);
  Prepare(Stage::Restore);
  EXPECT_EQ(1u, platform::LogCount("Do not check for SIVolumeDB Corruption errors during SILO Restores.", 1));

  platform::ResetAll();
  SetConfig("SIFilePerfLogEnabled", 0);
  auto store = Prepare(Stage::Construction);
  EXPECT_EQ(1u, platform::LogCount("Disabling SI-File I/O performance log...", 1));
  EXPECT_TRUE(store->m_strPerfId.empty());
  EXPECT_EQ(100u, store->m_PerfWindow);
}

TEST_F(StoreInitTest, WriteBuffersLieBetweenGuardWords) {
  SetConfig("nSIFSCacheSizeKB", 256);
  auto store = Prepare(Stage::Backup);
  const uint32_t size = store->m_CacheSize;
  ASSERT_EQ(576u * 1024, size);
  for (unsigned char* buf : {store->m_pMetaDataCache, store->m_pDataCache}) {
    ASSERT_NE(nullptr, buf);
    uint64_t before = 0, after = 0;
    std::memcpy(&before, buf - 8, 8);
    std::memcpy(&after, buf + size, 8);
    EXPECT_EQ(kGuard, before);
    EXPECT_EQ(kGuard, after);
  }
  EXPECT_NE(store->m_pMetaDataCache, store->m_pDataCache);
  EXPECT_EQ(store->m_pMetaDataCache, store->m_pMetaDataCachePos);
  EXPECT_EQ(store->m_pDataCache, store->m_pDataCachePos);
  EXPECT_EQ(size, store->m_MetaDataCacheFree);
  EXPECT_EQ(size, store->m_DataCacheFree);
}

// The buffers are made once; a later initialisation may change the write block only within them.
TEST_F(StoreInitTest, LaterInitialisationKeepsTheBuffers) {
  auto store = Prepare(Stage::Backup);
  unsigned char* meta = store->m_pMetaDataCache;
  unsigned char* data = store->m_pDataCache;

  SetConfig("nSIFSCacheSizeKB", 8192);
  SetConfig("nSIFSWriteBlockSizeKB", 32);
  ASSERT_EQ(0, store->InitSpecific());
  EXPECT_EQ(meta, store->m_pMetaDataCache);
  EXPECT_EQ(data, store->m_pDataCache);
  EXPECT_EQ(1024u * 1024, store->m_CacheSize);
  EXPECT_EQ(32u * 1024, store->m_WriteBlockSize);  // no 64 KiB minimum once the buffers exist

  SetConfig("nSIFSWriteBlockSizeKB", 2048);  // would not fit the 1 MiB buffers
  ASSERT_EQ(0, store->InitSpecific());
  EXPECT_EQ(32u * 1024, store->m_WriteBlockSize);
  EXPECT_EQ(1u, platform::LogCount("Write block of [2048] KB does not fit the write buffers of [1024] KB; keeping [32] KB", 1));
}

TEST_F(StoreInitTest, OnlyABackupsDataMoverMakesBuffers) {
  auto store = Prepare(Stage::Restore);
  EXPECT_EQ(0u, store->m_CacheSize);
  EXPECT_EQ(nullptr, store->m_pDataCache);
  EXPECT_EQ(524288u, store->m_WriteBlockSize);
  EXPECT_EQ(-1, store->SetBufferedWriteCache(0));
}

TEST_F(StoreInitTest, SpaceLimitsComeFromTheReservation) {
  reserve.m_lowWaterMarkMB = 300;
  reserve.m_maxFillMB = 1000;
  auto store = Prepare(Stage::Backup);
  EXPECT_EQ(300, store->m_LowWaterMarkMB);
  EXPECT_EQ(1000LL * 1048576, store->m_llMaxSpaceToFill);
  EXPECT_EQ(1u, platform::LogCount(
                    "The minimum space in MB that will be left on the disk [300]. Maximum space in MB that will be "
                    "filled by tavrix on disk [1000]",
                    5));

  platform::ResetAll();
  auto reader = MakeStore();
  ASSERT_EQ(0, reader->Init(InitParams(0, kMediaTypeReader), false));
  EXPECT_EQ(0, reader->m_LowWaterMarkMB);
  EXPECT_EQ(0, reader->m_llMaxSpaceToFill);
  EXPECT_EQ(1, reader->m_llKBRemaining);
}

TEST_F(StoreInitTest, FreeSpaceOfTheMountPathInKilobytes) {
  platform::Faults().SetFreeSpace(mountPath, 10ULL * 1048576 + 1000);
  auto store = Prepare(Stage::Backup);
  EXPECT_EQ(10240, store->m_llKBRemaining);

  platform::ResetAll();
  platform::Faults().SetFreeSpace(mountPath, 0);
  store = Prepare(Stage::Backup);
  EXPECT_EQ(1, store->m_llKBRemaining);  // never 0 or below
  EXPECT_FALSE(store->m_bDiskFull);
}

TEST_F(StoreInitTest, RestorePoolsHoldOneInterfaceAndNoFlusher) {
  auto store = MakeStore();
  ASSERT_TRUE(store->InitFileInterfaceCache());
  EXPECT_EQ(1, store->m_MaxDelayedSfileFlushQSize);
  ASSERT_EQ(1u, store->m_lstDataFileCache.size());
  EXPECT_EQ(store->m_lstDataFileCache.front(), store->m_pFdDataFile);
  EXPECT_NE(nullptr, store->m_pFdMetaDataFile);
  EXPECT_TRUE(store->m_FreeFlushReqsQ.empty());
  EXPECT_EQ(nullptr, store->m_pFileFlusher);
  EXPECT_TRUE(store->m_bFileIfCacheReady);

  CFileInterface* meta = store->m_pFdMetaDataFile;
  ASSERT_TRUE(store->InitFileInterfaceCache());  // once per object
  EXPECT_EQ(meta, store->m_pFdMetaDataFile);
  EXPECT_EQ(1u, store->m_lstDataFileCache.size());
  EXPECT_EQ(1u, platform::LogCount("Initializing file interface cache.", 1));
}

TEST_F(StoreInitTest, CloudBackupPoolsHoldClearedRequests) {
  auto store = Prepare(Stage::BackupPools);
  EXPECT_EQ(nullptr, store->m_pFileFlusher);
  for (SingleInstancer_FS::SFlushReq* req : store->m_FreeFlushReqsQ) {
    EXPECT_EQ(nullptr, req->pFile);
    ASSERT_NE(nullptr, req->pDoneEvent);
    EXPECT_TRUE(req->Result.IsSuccess());
    EXPECT_TRUE(req->strFileName.empty());
    EXPECT_FALSE(req->bKeepOpen);
  }
}

// ---- Write speed statistics ------------------------------------------------------------------

TEST_F(StoreInitTest, TimedOperationsFeedTotalsAndTheMovingAverage) {
  auto store = MakeStore();
  const double seconds[] = {1.0, 3.0, 2.0};
  for (double s : seconds) {
    store->StartTimedOperation();
    platform::AdvanceClock(static_cast<long long>(s * 1000));
    store->EndTimedOperation(1048576);
  }
  EXPECT_EQ(3u, store->m_PerfWrites);
  EXPECT_EQ(3u * 1048576, store->m_PerfTotalBytes);
  EXPECT_EQ(3u * 1048576, store->m_PerfCurBytes);
  EXPECT_DOUBLE_EQ(6.0, store->m_PerfTotalSecs);
  EXPECT_EQ(3, store->m_PerfSamples);
  EXPECT_DOUBLE_EQ(2.0, store->m_PerfAvgSecs);  // the plain mean while the window is not full

  // A full window smooths with the factor.
  store->m_PerfWindow = 3;
  store->StartTimedOperation();
  platform::AdvanceClock(5000);
  store->EndTimedOperation(0);
  EXPECT_DOUBLE_EQ(5.0 * store->m_PerfAlpha + (1 - store->m_PerfAlpha) * 2.0, store->m_PerfAvgSecs);

  // A window of 1 follows the last operation.
  store->m_PerfWindow = 1;
  store->StartTimedOperation();
  platform::AdvanceClock(7000);
  store->EndTimedOperation(0);
  EXPECT_DOUBLE_EQ(7.0, store->m_PerfAvgSecs);
  EXPECT_EQ(1, store->m_PerfSamples);
}

TEST_F(StoreInitTest, OperationsShorterThanAMillisecondCount) {
  auto store = MakeStore();
  for (int i = 0; i < 4; ++i) {
    store->StartTimedOperation();
    platform::AdvanceClockNs(250000);
    store->EndTimedOperation(65536);
  }
  EXPECT_DOUBLE_EQ(0.001, store->m_PerfTotalSecs);
  EXPECT_DOUBLE_EQ(0.00025, store->m_PerfAvgSecs);
}

TEST_F(StoreInitTest, StatisticsLineAtMostEveryTenMinutes) {
  auto store = MakeStore();
  platform::AdvanceClock(601 * 1000);
  store->LogWriteStatsWhenDue();  // nothing counted yet: no line, but the current counters restart
  EXPECT_FALSE(platform::LogContains("stat- ID"));
  EXPECT_TRUE(store->m_bPerfResetCur);

  store->StartTimedOperation();
  platform::AdvanceClock(1000);
  store->EndTimedOperation(2 * 1048576);
  EXPECT_FALSE(store->m_bPerfResetCur);
  EXPECT_EQ(2u * 1048576, store->m_PerfCurBytes);
  store->LogWriteStatsWhenDue();  // 1 second after the last check
  EXPECT_FALSE(platform::LogContains("stat- ID"));

  platform::AdvanceClock(600 * 1000);
  store->LogWriteStatsWhenDue();
  EXPECT_EQ(1u, platform::LogCount("stat- ID [SI-FS Write Speed] Curr Avg [2.000000] MB/Sec, Bytes [2097152]", 1));
  store->StartTimedOperation();
  store->EndTimedOperation(5);
  EXPECT_EQ(5u, store->m_PerfCurBytes);  // restarted after the line
  EXPECT_EQ(2097157u, store->m_PerfTotalBytes);
}

TEST_F(StoreInitTest, StatisticsOffCountNothingAndReportNothing) {
  SetConfig("SIFilePerfLogEnabled", 0);
  auto store = MakeStore();
  store->StartTimedOperation();
  store->EndTimedOperation(1048576);
  EXPECT_EQ(0u, store->m_PerfTotalBytes);
  platform::AdvanceClock(601 * 1000);
  store->LogWriteStatsWhenDue();
  _JobPerfCounterCollection collection;
  store->UpdatePerfCounters(&collection, 9);
  EXPECT_TRUE(collection.counters.empty());
  EXPECT_FALSE(platform::LogContains("stat- ID"));
}

TEST_F(StoreInitTest, PerformanceCounterRecordInNetworkByteOrder) {
  auto store = MakeStore();
  store->StartTimedOperation();
  platform::AdvanceClock(3500);
  store->EndTimedOperation(0x0102030405ULL);
  _JobPerfCounterCollection collection;
  store->UpdatePerfCounters(&collection, 9);
  ASSERT_EQ(1u, collection.counters.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(&collection.counters[0]);
  EXPECT_EQ(6014u, DecodeBE32(bytes + 0));
  EXPECT_EQ(9u, DecodeBE32(bytes + 4));
  EXPECT_NE(0u, DecodeBE32(bytes + 8));
  EXPECT_EQ(3u, DecodeBE32(bytes + 12));
  for (int i = 16; i < 96; ++i) EXPECT_EQ(0, bytes[i]) << i;
  EXPECT_EQ(0x0102030405ULL, DecodeBE64(bytes + 96));
  for (int i = 104; i < 112; ++i) EXPECT_EQ(0, bytes[i]) << i;

  store->UpdatePerfCounters(&collection, 9);  // the same counter again replaces it
  EXPECT_EQ(1u, collection.counters.size());
}

}  // namespace
