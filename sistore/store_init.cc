// How a store prepares itself: InitSpecific (tunables, the two guarded write buffers, the space
// limits of the mount path) and, at the first chunk, the pools of data file interfaces and flush
// requests with the hold on the process's file flusher.

#include <cstdlib>
#include <cstring>
#include <limits>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/config.h"

namespace {

const char kSection[] = "ZovadAdeve";

constexpr uint64_t kGuardWord = 0xABABABABABABABABULL;
constexpr size_t kGuardBytes = sizeof(kGuardWord);
constexpr unsigned int kDefaultCacheKB = 1024;
constexpr uint32_t kMinWriteBlock = 65536;
constexpr unsigned int kMaxCacheKB = 1048576;  // 1 GiB
constexpr uint64_t kDefaultSpaceCheckInterval = 26214400;  // 25 MiB
constexpr uint64_t kMiB = 1048576;
constexpr int32_t kDefaultDelayedFlushQueueSize = 4;

// A configured value's low 32 bits taken as signed, or nothing when absent.
bool ConfiguredInt32(const char* name, int32_t& value) {
  OZPlatformInfo info;
  long long raw = 0;
  if (!info.getNumber(kSection, name, &raw)) return false;
  value = static_cast<int32_t>(static_cast<uint32_t>(raw));
  return true;
}

// One write buffer between two guard words; the usable bytes start after the first.
unsigned char* AllocateGuardedBuffer(uint64_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + 2 * kGuardBytes));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &kGuardWord, kGuardBytes);
  std::memcpy(block + kGuardBytes + size, &kGuardWord, kGuardBytes);
  return block + kGuardBytes;
}

void FreeGuardedBuffer(unsigned char* usable) {
  if (usable != nullptr) std::free(usable - kGuardBytes);
}

}  // namespace

int SingleInstancer_FS::InitSpecific() {
  m_bDiskFull = false;
  m_BytesSinceSpaceCheck = 0;
  m_TotalBytesWritten = 0;

  if (m_iDataMoverMode == kDataMoverModeBackup) {
    unsigned long long freeBytes = 0;
    getFreeSpaceFromMedia(freeBytes);

    unsigned int cacheKB = kDefaultCacheKB;
    int32_t value = 0;
    if (ConfiguredInt32("nSIFSCacheSizeKB", value) && value > 0) cacheKB = static_cast<unsigned int>(value);
    if (ConfiguredInt32("bSIFSDoIncrChunk", value) && value > 0) m_bAllowIncrChunk = true;
    if (ConfiguredInt32("nSIFSWriteBlockSizeKB", value) && value > 0) {
      const uint32_t block = static_cast<uint32_t>(value) * 1024u;
      // Buffers made by an earlier Init are kept, and every block write must fit into them.
      if (m_CacheSize != 0 && block > m_CacheSize) {
        Log(1, "Write block of [%u] KB does not fit the write buffers of [%u] KB; keeping [%u] KB",
            block / 1024, m_CacheSize / 1024, m_WriteBlockSize / 1024);
      } else {
        m_WriteBlockSize = block;
      }
    }
    if (SetBufferedWriteCache(cacheKB) != 0) return -1;

    m_SpaceCheckInterval = kDefaultSpaceCheckInterval;
    OZPlatformInfo info;
    long long limitMB = 0;
    if (info.getNumber(kSection, "nSpaceCheckLimitMB", &limitMB)) {
      if (limitMB < 0) {
        // Read as it stands, a negative value would put the next space check out of reach.
        Log(1, "nSpaceCheckLimitMB [%lld] is negative; DiskSpaceCheckLimit stays %llu", limitMB,
            static_cast<unsigned long long>(kDefaultSpaceCheckInterval));
      } else {
        const uint64_t mb = static_cast<uint64_t>(limitMB);
        const uint64_t bytes = mb > std::numeric_limits<uint64_t>::max() / kMiB ? std::numeric_limits<uint64_t>::max()
                                                                                 : mb * kMiB;
        if (bytes > kDefaultSpaceCheckInterval) {
          m_SpaceCheckInterval = bytes;
          Log(1, "DiskSpaceCheckLimit Set to %llu", static_cast<unsigned long long>(bytes));
        }
      }
    }
    if (freeBytes != 0) m_llKBRemaining = static_cast<long long>(freeBytes / 1024);
  }
  if (m_llKBRemaining <= 0) m_llKBRemaining = 1;
  if (m_iMediaType == kMediaTypeReader) return 0;

  int lowWaterMarkMB = 0;
  int maxSpaceMB = 0;
  if (m_pReserveMount != nullptr) m_pReserveMount->getMediaInfoForDM(lowWaterMarkMB, maxSpaceMB);
  m_LowWaterMarkMB = lowWaterMarkMB;
  m_llMaxSpaceToFill = static_cast<long long>(maxSpaceMB) * static_cast<long long>(kMiB);
  Log(5,
      "The minimum space in MB that will be left on the disk [%lld]. Maximum space in MB that will be filled by "
      "tavrix on disk [%d]",
      static_cast<long long>(m_LowWaterMarkMB), maxSpaceMB);

  if (!m_bWriting) {
    int32_t value = 0;
    if (ConfiguredInt32("DoNotCheckForSIVolDBCorruption", value) && value != 0) {
      Log(1, "Do not check for SIVolumeDB Corruption errors during SILO Restores.");
      m_bCheckSIVolDBCorruption = false;
    }
  }
  return 0;
}

int SingleInstancer_FS::SetBufferedWriteCache(unsigned int cacheKB) {
  if (m_CacheSize != 0) return 0;
  if (m_ulBlockSize == 0 || cacheKB == 0) return -1;
  if (m_WriteBlockSize < kMinWriteBlock) m_WriteBlockSize = kMinWriteBlock;
  const unsigned int blockKB = m_WriteBlockSize / 1024;
  uint64_t sizeKB = cacheKB > blockKB ? (cacheKB < kMaxCacheKB ? cacheKB : kMaxCacheKB) : uint64_t{blockKB} + 64;
  Log(1, "Setting SIFS cache size to [%u] KB, VolBlkSize is [%u] KB, WriteBlkSize is [%u] KB, AllowIncrChunk [%d]",
      static_cast<unsigned int>(sizeKB), static_cast<unsigned int>(m_ulBlockSize / 1024), blockKB,
      m_bAllowIncrChunk ? 1 : 0);

  const uint64_t size = sizeKB * 1024;
  unsigned char* metaData = nullptr;
  unsigned char* data = nullptr;
  if (size <= std::numeric_limits<uint32_t>::max()) {  // the buffers' sizes are 32-bit
    metaData = AllocateGuardedBuffer(size);
    if (metaData != nullptr) data = AllocateGuardedBuffer(size);
  }
  m_MetaDataFileOffset = 0;
  if (metaData == nullptr || data == nullptr) {
    Log(1, "Cache Buffer Allocation failed.");
    FreeGuardedBuffer(metaData);
    m_pMetaDataCache = m_pDataCache = nullptr;
    m_CacheSize = 0;
    return -1;
  }
  m_CacheSize = static_cast<uint32_t>(size);
  m_pMetaDataCache = m_pMetaDataCachePos = metaData;
  m_pDataCache = m_pDataCachePos = data;
  m_MetaDataCacheFree = m_CacheSize;
  m_DataCacheFree = m_CacheSize;
  return 0;
}

void SingleInstancer_FS::FreeWriteBuffers() {
  FreeGuardedBuffer(m_pMetaDataCache);
  FreeGuardedBuffer(m_pDataCache);
  m_pMetaDataCache = m_pMetaDataCachePos = nullptr;
  m_pDataCache = m_pDataCachePos = nullptr;
  m_CacheSize = 0;
}

bool SingleInstancer_FS::InitFileInterfaceCache() {
  if (m_bFileIfCacheReady) return true;
  Log(1, "Initializing file interface cache.");
  m_MaxDelayedSfileFlushQSize = 1;
  if (m_bWriting) {
    int32_t size = kDefaultDelayedFlushQueueSize;
    ConfiguredInt32("MaxDelayedFlushQueueSize", size);
    if (size < 1) {
      // The writing roads need at least one data file interface and one free flush request.
      Log(1, "MaxDelayedFlushQueueSize [%d] is below 1; using 1", size);
      size = 1;
    }
    m_MaxDelayedSfileFlushQSize = size;
    Log(1, "Max delayed flush queue size set to [%u]", static_cast<unsigned int>(size));
  }

  std::list<CFileInterface*> files;
  std::list<SFlushReq*> requests;
  for (int32_t i = 0; i < m_MaxDelayedSfileFlushQSize; ++i) {
    if (CFileInterface* file = CFileInterface::GetFileInterfaceInstance(m_FileInitParams)) files.push_back(file);
    if (m_bWriting) requests.push_back(new SFlushReq);
  }
  if (m_bWriting && m_iCloudMode == 0) {
    m_pFileFlusher = CFileFlusher::Get(nullptr);
    if (m_pFileFlusher == nullptr) {
      Log(1, "Failed to start the file flusher thread.");
      // Nothing of this attempt stays: the next call builds the pools afresh.
      for (CFileInterface* file : files) delete file;
      for (SFlushReq* req : requests) delete req;
      return false;
    }
  }
  m_lstDataFileCache.splice(m_lstDataFileCache.end(), files);
  m_FreeFlushReqsQ.splice(m_FreeFlushReqsQ.end(), requests);
  m_pFdDataFile = m_lstDataFileCache.empty() ? nullptr : m_lstDataFileCache.front();
  m_pFdMetaDataFile = CFileInterface::GetFileInterfaceInstance(m_FileInitParams);
  m_MetaDataFileOffset = 0;
  m_bFileIfCacheReady = true;
  return true;
}
