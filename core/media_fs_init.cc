// media_fs::Init: the volume, the media manager records, the block size and the buffers.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/config.h"

namespace {

const char kSource[] = "zovadAdeveFS";
const char kSection[] = "ZovadAdeve";
const char kNoMemory[] = "Failed to allocate required memory";

constexpr unsigned long long kReaderBlockSize = 32768;
constexpr unsigned long long kLargeReadBufferSize = 524288;

// A configured buffer size in bytes, or 0 when the value is absent or 0.
unsigned long long ConfiguredBufferBytes(const char* name) {
  OZPlatformInfo info;
  uint32_t kb = 0;
  if (!info.getNumber(kSection, name, &kb)) return 0;
  return static_cast<unsigned long long>(kb) * 1024ULL;
}

bool ConfiguredSwitch(const char* name) {
  OZPlatformInfo info;
  long long value = 0;
  return info.getNumber(kSection, name, &value) && value != 0;
}

}  // namespace

int media_fs::Init(MediaFsInitParams params, bool reinit) {
  // A refused first initialisation leaves the object exactly as it was.
  if (!reinit && m_pVolInfo != nullptr) {
    SetLastError(kMFSErrAlreadyInitialized, "Trying to re-initialize an already initialized media");
    Log(1, "%s %d Media FS Init method had already been invoked.", kSource, __LINE__);
    return -1;
  }

  // What a re-initialisation restores when the buffers cannot follow a new block size.
  const unsigned long long oldBlockSize = m_ulBlockSize;
  const unsigned long long oldReadBufSize = m_ulReadBufSize;

  m_iFilesPerClose = 1;
  m_iVolId = params.iVolId;
  m_iTHId = params.iTHId;
  SetPath(params.strPath.c_str());
  m_iMediaType = params.iMediaType;
  m_pReserveMount = params.pReserveMount;
  m_pOmlParams = params.pOmlParams;
  m_pDriveDetails = nullptr;
  if (params.pDriveDetails != nullptr) m_pDriveDetails = params.pDriveDetails;

  if (!reinit) {
    m_ulBlockSize = 0;
  } else {
    delete m_pVolInfo;
    m_pVolInfo = nullptr;
    delete m_pDriveInfo;
    m_pDriveInfo = nullptr;
  }

  if (m_LoggedOnUser.Logon() != 0) {
    SetLastError(kMMErrImpersonationFailed, "Impersonate user has failed.");
    Log(1, "Cannot logon the user [%s\\%s]", m_LoggedOnUser.GetDomain().c_str(),
        m_LoggedOnUser.GetUser().c_str());
    return -1;
  }

  m_iDataMoverMode = params.iDataMoverMode;
  Log(1, "DataMoverMode = [%d]", m_iDataMoverMode);

  m_llNumFiles = 0;
  m_llKBRemaining = 0;
  m_bCalculatedSpace = false;
  m_llWriteCachedFM = -1;
  m_llReadCachedFM = -1;
  m_llFileNumber = -1;

  if (m_iMediaType == kMediaTypeReader) {
    if (m_ulBlockSize == 0) {
      m_ulBlockSize = kReaderBlockSize;
      m_ulReadBufSize = kReaderBlockSize;
    } else {
      m_ulReadBufSize = m_ulBlockSize;
    }
  } else if (InitFromMediaManager(params) != 0) {
    return -1;
  }

  if (reinit ? ResizeBuffersForReinit(oldBlockSize, oldReadBufSize) != 0 : AllocateBuffers() != 0) {
    return -1;
  }

  m_bReadTimerStarted = false;
  // The counters and the timer of an archive file being written describe blocks already on the
  // media; its Close must record them, whatever block size the rest goes out in. Between files
  // they are 0 already.
  if (!(reinit && m_bWriting)) {
    m_bWriteTimerStarted = false;
    ResetFileCounters();
  }

  m_bIsilonSmartLock = ConfiguredSwitch("EnableIsilonSmartLock");
  if (params.iDriveId == 0) m_bUpdTransferOnRestore = ConfiguredSwitch("UpdDataTransferInfoForRestores");

  return reinit ? InitRecycled() : InitSpecific();
}

int media_fs::InitFromMediaManager(const MediaFsInitParams& params) {
  OZPI_ZovadAdeve settings;
  m_pMlm = params.pMlm;
  m_strHostName = params.strHostName;
  m_strZovadAdeveName = params.strZovadAdeveName;
  settings.setFocus(OZPI_Focus::getFocus());
  m_bCalculatedSpace = settings.getTavrixCalculatedSpace(true) != 0;

  if (GetHubmasterName(m_strHubmasterName) == 0) {
    Log(1, "%s %d Failed to lookup HM Host Name from registry.", kSource, __LINE__);
    return -1;
  }
  if (m_pReserveMount == nullptr) {
    Log(1, "%s %d No reservation of a volume and drive was given to Init.", kSource, __LINE__);
    return -1;
  }

  delete m_pVolInfo;
  delete m_pDriveInfo;
  m_pVolInfo = new OZMMvolInfo(m_iVolId, m_pMlm);
  m_pDriveInfo = new OZMMdriveInfo(params.iDriveId, m_pMlm);

  m_llNumFiles = m_pReserveMount->getNumFilesOnVolume();
  if (m_llNumFiles <= 0) {
    Log(1, "%s %d Number of files got from MLM is less than or equal to Zero", kSource, __LINE__);
  }

  ReadCachedFileMarkers(settings);

  m_bDoNotWriteToMedia = settings.getDMDoNotWriteToMedia();
  if (m_bDoNotWriteToMedia) Log(1, "The DataMoverDoNotWriteToMedia is set to true");

  if (m_iDataMoverMode == kDataMoverModeBackup && m_llKBRemaining == 0) {
    unsigned long long freeBytes = 0;
    if (getFreeSpaceFromMedia(freeBytes) >= 0) {
      m_llKBRemaining = static_cast<long long>(freeBytes >> 10);
      Log(2, "KBremaining from Disk = %lld", m_llKBRemaining);
    } else {
      m_llKBRemaining = m_pReserveMount->getFreeBytesKB();
      if (m_llKBRemaining == 0) m_llKBRemaining = 1;
      Log(2, "KBremaining from DB = %lld", m_llKBRemaining);
    }
  }

  Log(2, "Starting FM = %d", static_cast<int>(m_llNumFiles));

  int blockKB = getBlockSize();
  if (blockKB == -1) blockKB = getBlockSize();
  // Only a positive size can make whole blocks; any other answer means none is known.
  if (blockKB <= 0) {
    SetLastError(kMFSErrBlockSizeUnknown,
                 "Failed to determine the block size that will be used to write or read from the media");
    Log(1, "Failed to get the volume block Size  ");
    return -1;
  }
  m_ulBlockSize = static_cast<unsigned long long>(blockKB) * 1024ULL;
  Log(2, "The volume will be recorded with the block size [%d] KB", blockKB);
  m_ulReadBufSize = m_ulBlockSize;
  return 0;
}

void media_fs::ReadCachedFileMarkers(OZPI_ZovadAdeve& settings) {
  if (settings.IsFileMarkCachingDisabled(true) != 0) {
    Log(1, "Disabling fileMarkCaching in DataMover for backups and restores ");
    return;
  }
  long long marker = -1;
  int kind = 0;
  if (m_pReserveMount->getNumCachedFileMarkOnVolume(marker, kind) == -1) {
    Log(1, "Failed to get the cached file marker number from MM.. disabling caching ");
  } else if (kind == 1) {
    m_llWriteCachedFM = marker;
  } else if (kind == 2) {
    m_llReadCachedFM = marker;
  }
  Log(2, "The write cached filemarker [%d] Read Cached FileMarker [%d] ",
      static_cast<int>(m_llWriteCachedFM), static_cast<int>(m_llReadCachedFM));
}

// First initialisation. The write buffer is a whole number of blocks (at least one) and the read
// buffer at least one block, whatever the configuration asks: the write road drains the buffer
// block by block and a read may ask the media for one block.
int media_fs::AllocateBuffers() {
  unsigned long long writeSize = m_ulBlockSize;
  unsigned long long readSize = m_ulReadBufSize;
  if (m_bLargeReadBuffer) readSize = kLargeReadBufferSize;

  if (m_iMediaType != kMediaTypeReader) {
    if (unsigned long long bytes = ConfiguredBufferBytes("dwReadBufferKB"); bytes != 0) {
      Log(1, "dwReadBufferKB =%d", static_cast<int>(bytes / 1024));
      readSize = bytes;
    }
    if (unsigned long long bytes = ConfiguredBufferBytes("dwWriteBufferKB"); bytes != 0) {
      Log(1, "dwWriteBufferKB =%d", static_cast<int>(bytes / 1024));
      writeSize = bytes;
    }
  }

  unsigned long long blocks = writeSize / m_ulBlockSize;
  if (blocks == 0) blocks = 1;
  if (blocks * m_ulBlockSize != writeSize) {
    Log(1, "%s %d Write buffer of %llu bytes is not a whole number of %llu-byte blocks; using %llu",
        kSource, __LINE__, writeSize, m_ulBlockSize, blocks * m_ulBlockSize);
    writeSize = blocks * m_ulBlockSize;
  }
  if (readSize < m_ulBlockSize) {
    Log(1, "%s %d Read buffer of %llu bytes is smaller than a block; using %llu", kSource, __LINE__,
        readSize, m_ulBlockSize);
    readSize = m_ulBlockSize;
  }

  char* writeBuf = static_cast<char*>(std::malloc(writeSize));
  char* readBuf = static_cast<char*>(std::malloc(readSize));
  if (writeBuf == nullptr || readBuf == nullptr) {
    std::free(writeBuf);
    std::free(readBuf);
    SetLastError(kMMErrOutOfMemory, kNoMemory);
    Log(1, "%s %d Failed to alloc memory for MediaObject", kSource, __LINE__);
    return -1;
  }
  // A reader-mode object may be initialised a second time; its old buffers go.
  std::free(m_pWriteBuf);
  std::free(m_pReadBuf);
  m_pWriteBuf = writeBuf;
  m_pReadBuf = readBuf;
  m_ulWriteBufSize = writeSize;
  m_ulReadBufSize = readSize;

  EmptyBuffers();
  m_bWriting = false;
  return 0;
}

namespace {

// Makes `*buf`, known to hold `held` bytes, hold at least `need` bytes; the bytes it holds stay.
// False when the growth fails; `*buf` is then unchanged.
bool GrowBuffer(char** buf, unsigned long long held, unsigned long long need) {
  if (*buf != nullptr && held >= need) return true;
  char* grown = static_cast<char*>(std::realloc(*buf, need));
  if (grown == nullptr) return false;
  *buf = grown;
  return true;
}

}  // namespace

// Re-initialisation: both buffers follow the new block without losing a byte the host handed
// over or has yet to read. The bytes waiting for the media move to the front of the write buffer,
// which becomes the fewest whole new blocks that hold them (one block when they fit one), so the
// next Write or Close sends them as blocks of the new size. Unread bytes stay where they are in
// the read buffer. Both growths come first: when one fails, the buffers, their sizes and offsets
// and the block size stay as they were.
int media_fs::ResizeBuffersForReinit(unsigned long long oldBlockSize, unsigned long long oldReadBufSize) {
  const unsigned long long block = m_ulBlockSize;
  const unsigned long long pending = m_ulWoff - m_ulFoff;
  const unsigned long long writeSize = std::max(1ULL, (pending + block - 1) / block) * block;
  // The read buffer size already follows the new block; the allocation is known by the old one.
  const unsigned long long readHeld =
      std::max(oldReadBufSize, static_cast<unsigned long long>(std::max(m_llRlen, 0LL)));

  if (m_ulWriteBufSize != block) {
    Log(1, "%s %d Block size changes from %lu to %lu", kSource, __LINE__,
        static_cast<unsigned long>(m_ulWriteBufSize), static_cast<unsigned long>(block));
  }
  if (!GrowBuffer(&m_pWriteBuf, m_ulWriteBufSize, writeSize) ||
      !GrowBuffer(&m_pReadBuf, readHeld, std::max(block, readHeld))) {
    m_ulBlockSize = oldBlockSize;
    m_ulReadBufSize = oldReadBufSize;
    SetLastError(kMMErrOutOfMemory, kNoMemory);
    Log(1, "%s %d Failed to alloc memory for MediaObject", kSource, __LINE__);
    return -1;
  }

  MovePendingToFront();
  m_ulWriteBufSize = writeSize;
  m_ulReadBufSize = block;
  if (writeSize > block) {
    Log(1, "%s %d %llu buffered bytes wait for the media as %llu blocks of %llu bytes", kSource,
        __LINE__, pending, writeSize / block, block);
  }
  return 0;
}

int media_fs::GetHubmasterName(std::string& name) {
  name.clear();
  OZPI_ZovadAdeve settings;
  if (!settings.setFocus(OZPI_Focus::getFocus())) {
    Log(-1, "Failed to Set ZovadAdeve Platform Info focus");
    return 0;
  }
  const char* host = settings.getHubmasterHostName();
  if (host == nullptr || host[0] == '\0') {
    Log(-1, "Failed to Get ZovadAdeve's Hubmaster Host Name");
    return 0;
  }
  name = host;
  return 1;
}
