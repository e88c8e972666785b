// The shared set-up of the store's tests: a mount path in a temporary folder (<tmp>/OZ_MAGNETIC),
// a volume folder in it, a reservation of a 64 KiB-block volume and store objects made on that
// mount path, with their state readable through TestStore.
//
//   TEST_F(StoreTest, Something) {
//     auto store = MakeStore();          // full constructor, container mode, disk mount path
//     InitBackup(*store);                // media_fs::Init as a backup's data mover calls it
//     EXPECT_EQ(..., store->m_CacheSize);
//   }
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"

// The store with its protected state open to tests.
class TestStore : public SingleInstancer_FS {
 public:
  using SingleInstancer_FS::SingleInstancer_FS;

  // The frame's state the store works with.
  using media_fs::m_bChunksReadOnly;
  using media_fs::m_bCloseChunk;
  using media_fs::m_bCountTrailerTransfer;
  using media_fs::m_bVolumeFull;
  using media_fs::m_bWriting;
  using media_fs::m_iArchiveType;
  using media_fs::m_iCloudMode;
  using media_fs::m_iDataMoverMode;
  using media_fs::m_iMediaType;
  using media_fs::m_llBytesAtEOM;
  using media_fs::m_llFileNumber;
  using media_fs::m_llKBRemaining;
  using media_fs::m_llLastError;
  using media_fs::m_llMaxSpaceToFill;
  using media_fs::m_llPhysicalBytes;
  using media_fs::m_llNumFiles;
  using media_fs::m_llSpaceOccupied;
  using media_fs::m_MountPathCache;
  using media_fs::m_ulBlockSize;

  // The store's own.
  using SingleInstancer_FS::EndTimedOperation;
  using SingleInstancer_FS::LogWriteStats;
  using SingleInstancer_FS::LogWriteStatsWhenDue;
  using SingleInstancer_FS::StartTimedOperation;
  using SingleInstancer_FS::m_bAllowIncrChunk;
  using SingleInstancer_FS::m_bChunkFolderChanged;
  using SingleInstancer_FS::m_bCloudCreateMode;
  using SingleInstancer_FS::m_bCurSfileCreated;
  using SingleInstancer_FS::m_bSfileIdxCreated;
  using SingleInstancer_FS::m_bVolumeFolderChanged;
  using SingleInstancer_FS::m_bCheckSIVolDBCorruption;
  using SingleInstancer_FS::m_bDiskFull;
  using SingleInstancer_FS::m_bFileIfCacheReady;
  using SingleInstancer_FS::m_bNewOZSIFormat;
  using SingleInstancer_FS::m_bOZSIDevice;
  using SingleInstancer_FS::m_bPerfLogEnabled;
  using SingleInstancer_FS::m_bPerfResetCur;
  using SingleInstancer_FS::m_BusySfileFlushQ;
  using SingleInstancer_FS::m_BytesSinceSpaceCheck;
  using SingleInstancer_FS::m_CacheSize;
  using SingleInstancer_FS::m_CurSfileItemCount;
  using SingleInstancer_FS::m_DataFileOffset;
  using SingleInstancer_FS::m_fdChunkMDIdx;
  using SingleInstancer_FS::m_fdChunkMDIdx90;
  using SingleInstancer_FS::m_fdSFileIdx;
  using SingleInstancer_FS::m_ChunkMDIdxVersion;
  using SingleInstancer_FS::m_DataCacheFree;
  using SingleInstancer_FS::m_DelayedSfileFlushQ;
  using SingleInstancer_FS::m_FileInitParams;
  using SingleInstancer_FS::m_FreeFlushReqsQ;
  using SingleInstancer_FS::m_iIsTapeSI;
  using SingleInstancer_FS::m_LowWaterMarkMB;
  using SingleInstancer_FS::m_lstDataFileCache;
  using SingleInstancer_FS::m_MaxDelayedSfileFlushQSize;
  using SingleInstancer_FS::m_MaxSfileContainerItems;
  using SingleInstancer_FS::m_MaxSfileContainerSize;
  using SingleInstancer_FS::m_MDIdxState;
  using SingleInstancer_FS::m_MetaDataFileOffset;
  using SingleInstancer_FS::m_MetaDataCacheFree;
  using SingleInstancer_FS::m_pDataCache;
  using SingleInstancer_FS::m_pDataCachePos;
  using SingleInstancer_FS::m_PerfAlpha;
  using SingleInstancer_FS::m_PerfAvgSecs;
  using SingleInstancer_FS::m_PerfCurBytes;
  using SingleInstancer_FS::m_PerfCurSecs;
  using SingleInstancer_FS::m_PerfSamples;
  using SingleInstancer_FS::m_PerfTotalBytes;
  using SingleInstancer_FS::m_PerfTotalSecs;
  using SingleInstancer_FS::m_PerfWindow;
  using SingleInstancer_FS::m_PerfWrites;
  using SingleInstancer_FS::m_pFdDataFile;
  using SingleInstancer_FS::m_pFdMetaDataFile;
  using SingleInstancer_FS::m_pFdNonSIFile;
  using SingleInstancer_FS::m_pFileFlusher;
  using SingleInstancer_FS::m_pFSInterface;
  using SingleInstancer_FS::m_pMetaDataCache;
  using SingleInstancer_FS::m_pMetaDataCachePos;
  using SingleInstancer_FS::m_pMetaDataReader;
  using SingleInstancer_FS::m_SfileFlushWaitCounter;
  using SingleInstancer_FS::m_SfileNumber;
  using SingleInstancer_FS::m_SpaceCheckInterval;
  using SingleInstancer_FS::m_strArchiveFileName;
  using SingleInstancer_FS::m_strChunkDir;
  using SingleInstancer_FS::m_strChunkMDIdxName;
  using SingleInstancer_FS::m_strDataFileName;
  using SingleInstancer_FS::m_strMetaDataFileName;
  using SingleInstancer_FS::m_strOpenDataFileName;
  using SingleInstancer_FS::m_strSfileIdxName;
  using SingleInstancer_FS::m_strPerfId;
  using SingleInstancer_FS::m_TotalBytesWritten;
  using SingleInstancer_FS::m_WriteBlockSize;
};

class StoreTest : public ::testing::Test {
 public:
  static constexpr int kVolId = 17;
  static constexpr int kDriveId = 3;
  static constexpr unsigned long kVolumeBlock = 65536;

  // The mount path lies in a new folder under `base` (TMPDIR or /tmp when empty).
  explicit StoreTest(const std::string& base = std::string())
      : dir(base),
        mountPath(path_append(dir.path(), "OZ_MAGNETIC")),
        volumePath(path_append(mountPath, SingleInstancer_FS::GetVolumeDirName(kVolId))) {
    std::filesystem::create_directories(volumePath);
    reserve.m_blockSizeKB = static_cast<int>(kVolumeBlock / 1024);
    reserve.m_numFiles = 5;
    reserve.m_freeKB = 2048;
  }

  // A disk mount path with a user.
  CFSInitParams FsParams() const {
    CFSInitParams params;
    params.m_Type = kFSTypeDisk;
    params.m_Host.m_Path = mountPath;
    params.m_User.m_UserName = "mpuser";
    params.m_User.m_Password = "mppassword";
    params.m_MountPathId = 5;
    return params;
  }

  // The same folder as a cloud mount path: the folder object store of platform/cloud_store.h.
  CFSInitParams CloudFsParams() const {
    CFSInitParams params = FsParams();
    params.m_Type = kFSTypeCloud;
    return params;
  }

  std::unique_ptr<TestStore> MakeStore(bool containerMode = true, int cloudMode = 0) {
    return std::make_unique<TestStore>(&job, FsParams(), containerMode, cloudMode);
  }

  MediaFsInitParams InitParams(int dataMoverMode = kDataMoverModeBackup, int mediaType = 1) {
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.iTHId = 2;
    p.strPath = volumePath;
    p.pMlm = &mlm;
    p.iDriveId = kDriveId;
    p.iMediaType = mediaType;
    p.pReserveMount = &reserve;
    p.strHostName = "client1";
    p.strZovadAdeveName = "za1";
    p.iDataMoverMode = dataMoverMode;
    return p;
  }

  void InitBackup(TestStore& store) { ASSERT_EQ(0, store.Init(InitParams(kDataMoverModeBackup), false)); }
  void InitRestore(TestStore& store) { ASSERT_EQ(0, store.Init(InitParams(0), false)); }

  static void SetConfig(const char* name, long long value) { platform::Config().SetNumber("ZovadAdeve", name, value); }

  // A store initialised for a backup, with chunk `chunkId` created (continued with `append`).
  std::unique_ptr<TestStore> BackupChunk(long long chunkId, bool containerMode = true, int cloudMode = 0,
                                         bool append = false) {
    auto store = MakeStore(containerMode, cloudMode);
    InitBackup(*store);
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, append);
    EXPECT_EQ(0, store->Create(&id));
    return store;
  }

  // The archive file id of a chunk (or, with another data type, of a trailer).
  static MediaFSArchiveFileId_t ArchiveId(long long chunkId, bool append = false, uint32_t dataType = CHUNK) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = dataType;
    id.llChunkId = chunkId;
    id.iChunkVersion = 3;
    id.bChunkReuse = append;
    return id;
  }
  std::string ChunkDir(long long chunkId) const {
    return path_append(volumePath, SingleInstancer_FS::GetChunkDirName(static_cast<unsigned long long>(chunkId)));
  }
  std::string ChunkFile(long long chunkId, const std::string& name) const { return path_append(ChunkDir(chunkId), name); }
  std::string MetaDataPath(long long chunkId) const {
    return ChunkFile(chunkId, SingleInstancer_FS::GetChunkMetadataName(static_cast<unsigned long long>(chunkId)));
  }
  std::string ContainerPath(long long chunkId, unsigned int number) const {
    return ChunkFile(chunkId, SingleInstancer_FS::GetSFileContainerName(number));
  }
  std::string ContainerIndexPath(long long chunkId) const { return ChunkFile(chunkId, "SFILE_CONTAINER.idx"); }

  TempDir dir;
  std::string mountPath;   // <tmp>/OZ_MAGNETIC
  std::string volumePath;  // <tmp>/OZ_MAGNETIC/V_17
  _JobContext job{4242, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
};
