// The read road: Open, Read, Peek, the read Close, the read bound and the reader-mode block size.

#include <climits>
#include <cstdlib>
#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

const char kSource[] = "zovadAdeveFS";

// Chunks of layout versions below 3 carry a 2048-byte header, later ones 1024 bytes.
constexpr int kFirstShortHeaderVersion = 3;
constexpr long long kOldChunkHeaderSize = 2048;
constexpr long long kChunkHeaderSize = 1024;

}  // namespace

int media_fs::Open(const MediaFSArchiveFileId_t* id, bool blockBound) {
  if (id->iChunkVersion < kFirstShortHeaderVersion) {
    m_llBytesLeftToRead = id->llPhysicalSize + kOldChunkHeaderSize;
  } else if (blockBound) {
    m_llBytesLeftToRead = id->llPhysicalSize + static_cast<long long>(m_ulBlockSize);
  } else {
    m_llBytesLeftToRead = id->llPhysicalSize + kChunkHeaderSize;
  }
  if (m_pReadBuf == nullptr) {
    Log(1, "%s %d File system not initialized ", kSource, __LINE__);
    return -1;
  }
  // An archive file opened for reading is closed on the read road, whatever was written before:
  // a read Close must never record a file with the media manager.
  m_bWriting = false;
  m_llWriteCachedFM = -1;
  const int rc = OpenSpecific(id);
  m_llRoff = 0;
  m_llRlen = 0;
  ++m_llOpenCount;
  m_llFileNumber = id->llFileMarkerNumber - 1;
  return rc;
}

int media_fs::Read(char* buf, unsigned long n) {
  if (!m_bReadTimerStarted) {
    m_tStart.init();
    m_bReadTimerStarted = true;
    m_llBytesRead = static_cast<long long>(n);
  } else {
    m_llBytesRead += static_cast<long long>(n);
  }
  if (static_cast<long long>(n) <= 0) return 0;
  if (n > static_cast<unsigned long>(INT_MAX)) {
    FailText("Could not read %lu bytes: a read must be smaller than 2147483648 bytes - VolId=%d", n,
             m_iVolId);
    return -1;
  }
  if (m_pReadBuf == nullptr) {
    Log(1, "%s %d File system not initialized ", kSource, __LINE__);
    return -1;
  }

  const long long want = static_cast<long long>(n);
  long long remaining = want;
  for (;;) {
    if (m_llRlen == -1) {
      m_llRoff = 0;
      m_llRlen = 0;
    } else {
      const long long avail = m_llRlen - m_llRoff;
      if (remaining <= avail) {
        std::memcpy(buf, m_pReadBuf + m_llRoff, static_cast<size_t>(remaining));
        m_llRoff += remaining;
        return static_cast<int>(want);
      }
      if (avail > 0) {
        std::memcpy(buf, m_pReadBuf + m_llRoff, static_cast<size_t>(avail));
        m_llRoff += avail;
        buf += avail;
        remaining -= avail;
      }
    }

    unsigned long long readSize = m_ulReadBufSize;
    if (!m_bReadUnbounded) {
      if (m_llBytesLeftToRead == 0) return static_cast<int>(want - remaining);
      if (m_llBytesLeftToRead < 0) {
        FailText("Could not read past the physical size of the chunk for fileNumber=%ld  - VolId=%d",
                 static_cast<long>(m_llFileNumber + 1), m_iVolId);
        return -1;
      }
      if (m_llBytesLeftToRead < static_cast<long long>(m_ulReadBufSize)) readSize = m_ulBlockSize;
    }

    // A caller who wants at least a whole read gets it straight into its own memory; the read
    // buffer stays empty.
    const bool direct = static_cast<unsigned long long>(remaining) >= readSize;
    const int got = ReadFromMedia(direct ? buf : m_pReadBuf, static_cast<long>(readSize));
    // A media that claims more than it was asked for has not filled a buffer we can trust.
    if (got < 0 || static_cast<unsigned long long>(got) > readSize) {
      m_llRlen = -1;
      FailText("Failed to Read at fileNumber=%ld - VolId=%d errno=%d",
               static_cast<long>(m_llFileNumber + 1), m_iVolId, static_cast<int>(MediaFSGetLastError()));
      return -1;
    }
    m_llRlen = direct ? 0 : got;
    m_llRoff = 0;
    if (got == 0) return static_cast<int>(want - remaining);
    m_llBytesLeftToRead -= got;
    if (direct) {
      buf += got;
      remaining -= got;
      if (remaining == 0) return static_cast<int>(want);
    }
  }
}

int media_fs::Peek(char* buf, unsigned long n) {
  if (m_pReadBuf == nullptr) {
    Log(1, "%s %d File system not initialized ", kSource, __LINE__);
    return -1;
  }
  if (m_llRlen == 0 && m_llRoff == 0) {
    const int got = ReadFromMedia(m_pReadBuf, static_cast<long>(m_ulBlockSize));
    if (got < 0 || static_cast<unsigned long long>(got) > m_ulBlockSize) {
      m_llRlen = -1;
      FailText("Failed to Read at fileNumber=%ld  errno=%d", static_cast<long>(m_llFileNumber + 1),
               static_cast<int>(MediaFSGetLastError()));
      return -1;
    }
    m_llRlen = got;
    m_llRoff = 0;
  }
  const long long avail = m_llRlen - m_llRoff;
  if (avail < 0 || static_cast<unsigned long long>(avail) < n) {
    Log(1,
        "The peek command is supported only for the current read buffer... Reading from media during "
        "peek is not supported ");
    return -1;
  }
  std::memcpy(buf, m_pReadBuf + m_llRoff, n);
  return static_cast<int>(n);
}

int media_fs::CloseForRead() {
  Log(2, "In ZovadAdeveFS::Close() ");
  ResetFileCounters();
  EmptyBuffers();
  m_llBytesLeftToRead = 0;

  m_tEnd.init();
  const int32_t elapsed = static_cast<int32_t>(m_tEnd - m_tStart);
  if (m_pDriveInfo != nullptr && m_bUpdTransferOnRestore) {
    m_pDriveInfo->updateDataTransferInfo(m_llBytesRead >> 20, 1, elapsed);
  }
  m_bReadTimerStarted = false;
  return CloseSpecific(0);
}

void media_fs::AdjustBytesToRead(long long delta) { m_llBytesLeftToRead += delta; }

int media_fs::SetDrReaderVolumeBlockSize(int kb) {
  if (m_iMediaType != kMediaTypeReader) {
    Log(-1, "%s function should be called only in the non ozd mode", "media_fs::SetDrReaderVolumeBlockSize");
    return -1;
  }
  if (kb <= 0) {
    Log(-1, "%s: a block size of %d KB is not valid", "media_fs::SetDrReaderVolumeBlockSize", kb);
    return -1;
  }
  // The new buffer comes first, so a failed allocation leaves the object as it was.
  const unsigned long long size = static_cast<unsigned long long>(kb) * 1024ULL;
  char* buf = static_cast<char*>(std::malloc(size));
  if (buf == nullptr) {
    Log(-1, "Failed to allocate read staging buffer ");
    return -1;
  }
  std::free(m_pReadBuf);
  m_pReadBuf = buf;
  m_ulBlockSize = size;
  m_ulReadBufSize = size;
  m_llRoff = 0;
  m_llRlen = 0;
  return 0;
}
