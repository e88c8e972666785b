// The set-up of the restore road's tests: the store fixture's mount path and volume, a restore's
// store object with the restore state open to tests, and the opens a restore job makes.
//
//   TEST_F(RestoreTest, Something) {
//     craft::Chunk chunk(volumePath, 12, kVolumeBlock);
//     chunk.Add(0, 5000, 100, 1);
//     chunk.Write();
//     auto store = MakeRestore();          // initialised as a restore's data mover does
//     ASSERT_EQ(0, Open(*store, 12));      // media_fs::Open of chunk 12
//   }
#pragma once

#include <dirent.h>

#include <memory>
#include <string>

#include "chunk_craft.h"
#include "sistore/silo_volume_db.h"
#include "store_fixture.h"

class RestoreStore : public TestStore {
 public:
  using TestStore::TestStore;

  using media_fs::m_bReadTimerStarted;
  using media_fs::m_llBytesRead;
  using media_fs::m_strLastErrorMsg;
  using media_fs::m_szPath;
  using SingleInstancer_FS::m_bNFileExists;
  using SingleInstancer_FS::m_fdChunkMDIdx;
  using SingleInstancer_FS::m_fdChunkMDIdx90;
  using SingleInstancer_FS::m_fpChunkCollectFile;
  using SingleInstancer_FS::m_MAClientId;
  using SingleInstancer_FS::m_pPrimarySIVolDB;
  using SingleInstancer_FS::m_pSecondarySIVolDB;
  using SingleInstancer_FS::m_pSiloJobClient;
  using SingleInstancer_FS::m_pSiloJobQuery;
  using SingleInstancer_FS::m_SiloVolInfo;
  using SingleInstancer_FS::m_strChunkDir;
  using SingleInstancer_FS::m_strChunkMDIdxName;
  using SingleInstancer_FS::m_strMetaDataFileName;
  using SingleInstancer_FS::m_strNFileName;
  using SingleInstancer_FS::m_strSfileIdxName;
  using SingleInstancer_FS::m_strTransformedVolDir;
  using SingleInstancer_FS::m_TransformedMPToken;
  using SingleInstancer_FS::m_ullChunkId;
  using SingleInstancer_FS::m_vecSIVolInfo;
};

// The descriptors the process has open.
inline int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

class RestoreTest : public StoreTest {
 public:
  static constexpr unsigned int kMountPathId = 5;
  static constexpr int kTarnholdId = 2;

  RestoreTest() {
    std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());
    platform::MediaManager().volumes[kVolId].mountPathId = static_cast<int>(kMountPathId);
  }

  // On the disk mount path, or (`cloud`) on the same folder as a cloud mount path.
  std::unique_ptr<RestoreStore> MakeRestore(bool containerMode = true, bool cloud = false) {
    auto store =
        std::make_unique<RestoreStore>(&job, cloud ? CloudFsParams() : FsParams(), containerMode, cloud ? 1 : 0);
    EXPECT_EQ(0, store->Init(InitParams(0), false));
    return store;
  }

  static MediaFSArchiveFileId_t ChunkId(long long chunkId, int version = 3) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = CHUNK;
    id.llChunkId = chunkId;
    id.iChunkVersion = version;
    id.llPhysicalSize = 1LL << 40;  // the metadata stream is read to its end
    return id;
  }

  static int Open(RestoreStore& store, long long chunkId, int version = 3) {
    MediaFSArchiveFileId_t id = ChunkId(chunkId, version);
    return store.Open(&id, false);
  }

  // What the management server knows of the volume's SILO copy: backed up (status 2), or also
  // moved to tape (3), where a recall brings the volume folder back from `siloFolder`.
  platform::SiloVolume SiloVolumeOf(uint32_t status, const std::string& siloFolder) const {
    platform::SiloVolume v;
    v.status = status;
    v.mountPathId = kMountPathId;
    v.installationId = kTarnholdId;
    v.siloNumber = 4;
    v.copyId = 9;
    v.guid = "GUID-1";
    v.diskFolder = volumePath;
    v.siloFolder = siloFolder;
    return v;
  }

  // Reads one object as a restore job does: the container opened at the object's offset, then its
  // data after the 16-byte header.
  static std::string ReadObject(RestoreStore& store, const std::string& container, uint64_t offset, size_t dataSize) {
    if (store.OpenDataFile2(container.c_str(), offset) != 0) return "open failed";
    std::string data(dataSize, '\0');
    const int got = store.ReadFromDataFile(data.data(), static_cast<long>(dataSize));
    if (got != static_cast<int>(dataSize)) return "read returned " + std::to_string(got);
    return data;
  }
};
