// The write road: Create, Write, Write2, the write Close with its media manager accounting, the
// low-water mark, the block remainder and the file marker consistency check.

#include <algorithm>
#include <climits>
#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

const char kSource[] = "zovadAdeveFS";

// Counts travel back as signed 32-bit numbers, so no transfer may reach 2^31 bytes.
constexpr unsigned long kMaxTransfer = INT_MAX;

}  // namespace

int media_fs::Create(const MediaFSArchiveFileId_t* id, int) {
  m_bWriting = true;
  m_ulWoff = 0;
  m_ulFoff = 0;
  ++m_llCreateCount;
  // A Close that failed leaves the last file's byte counts and running timer behind: they must not
  // be recorded with this file.
  m_llPhysicalBytes = 0;
  m_llLogicalBytes = 0;
  m_llDriveBytesWritten = 0;
  m_bWriteTimerStarted = false;
  if (m_pWriteBuf == nullptr) {
    SetLastError(kMMErrOutOfMemory, "Failed to allocate required memory");
    Log(1, "%s %d File system not initialized ", kSource, __LINE__);
    return -1;
  }
  m_iArchiveType = static_cast<int32_t>(id->uiDataType);
  m_llDbPhysicalSize = 0;

  int rc = CreateSpecific(id);
  if (rc < 0) {
    FailText("CreateSpecific media handle has not been initialized - volId=%d ", m_iVolId);
    return -1;
  }
  if (rc == kMFSNoRoomOnMedia) {
    SetErrorString(
        " CreateSpecific failed as it was not able to create the archive directory on the magnetic "
        "media ");
    return kMFSNoRoomOnMedia;
  }
  return 0;
}

void media_fs::StartWriteTimer() {
  if (!m_bWriteTimerStarted) {
    m_tStart.init();
    m_bWriteTimerStarted = true;
  }
}

void media_fs::EmptyBuffers() {
  m_ulWoff = 0;
  m_ulFoff = 0;
  m_llRoff = 0;
  m_llRlen = 0;
}

void media_fs::ResetFileCounters() {
  m_llPhysicalBytes = 0;
  m_llLogicalBytes = 0;
  m_llOpenCount = 0;
  m_llCreateCount = 0;
}

void media_fs::MovePendingToFront() {
  const unsigned long long rest = m_ulWoff - m_ulFoff;
  if (m_ulFoff != 0) std::memmove(m_pWriteBuf, m_pWriteBuf + m_ulFoff, rest);
  m_ulWoff = rest;
  m_ulFoff = 0;
}

void media_fs::RealignWriteBuffer() {
  const bool offGrid = m_ulFoff % m_ulBlockSize != 0;
  const bool drained = m_ulFoff != 0 && m_ulFoff == m_ulWoff;
  if (offGrid || drained) MovePendingToFront();
}

int media_fs::WriteBufferedBlock(const char* road, int* eom) { return WriteBlock(m_pWriteBuf + m_ulFoff, road, eom); }

int media_fs::WriteBlock(const char* block, const char* road, int* eom) {
  const int ret = WriteToMedia(block, static_cast<long>(m_ulBlockSize), eom);
  if (m_bTraceWrites) {
    Log(1, "media_fs::%s: woff=%lu, foff=%lu, wsize=%lu, WToM %lu ret %ld, eom %d%s", road,
        static_cast<unsigned long>(m_ulWoff), static_cast<unsigned long>(m_ulFoff),
        static_cast<unsigned long>(m_ulWriteBufSize), static_cast<unsigned long>(m_ulBlockSize),
        static_cast<long>(ret), *eom, m_bCloseChunk ? ", close_chunk" : "");
  }
  return ret;
}

bool media_fs::BlockCounts(int ret, int eom) const {
  return static_cast<long long>(ret) == static_cast<long long>(m_ulBlockSize) ||
         (ret == -1 && m_bCloseChunk && eom == 1);
}

int media_fs::Write(const char* buf, unsigned long size) {
  if (size > kMaxTransfer) {
    FailText("Could not write %lu bytes: a write must be smaller than 2147483648 bytes - VolId=%d",
             size, m_iVolId);
    return -1;
  }
  const long long n = static_cast<long long>(size);
  StartWriteTimer();
  if (n <= 0) return static_cast<int>(n);
  if (m_pWriteBuf == nullptr || m_ulBlockSize == 0 || m_ulWriteBufSize < m_ulBlockSize ||
      m_ulWriteBufSize % m_ulBlockSize != 0) {
    FailText("%s %d Write buffer of %llu bytes cannot hold whole blocks of %llu bytes - VolId=%d",
             kSource, __LINE__, m_ulWriteBufSize, m_ulBlockSize, m_iVolId);
    return -1;
  }
  // Without this a host that writes on after a cut block would find no room and no whole block.
  RealignWriteBuffer();

  long long remaining = n;
  bool mediaEnded = false;
  while (remaining > 0) {
    // With nothing buffered, whole blocks go to the media straight from the caller's memory; a
    // block the media does not take whole becomes the buffer's first block, as if it had been
    // buffered. Traced writes keep the buffered road, whose offsets the trace reports.
    if (m_ulWoff == 0 && !m_bTraceWrites && static_cast<unsigned long long>(remaining) >= m_ulBlockSize) {
      int eom = 0;
      const int ret = WriteBlock(buf, "Write", &eom);
      if (eom != 0) mediaEnded = true;
      buf += m_ulBlockSize;
      remaining -= static_cast<long long>(m_ulBlockSize);
      if (BlockCounts(ret, eom)) {
        m_llLogicalBytes += static_cast<long long>(m_ulBlockSize);
        m_llPhysicalBytes += static_cast<long long>(m_ulBlockSize);
        continue;
      }
      std::memcpy(m_pWriteBuf, buf - m_ulBlockSize, m_ulBlockSize);
      m_ulWoff = m_ulBlockSize;
      return UncountedBlock(ret, eom, n, remaining);
    }
    const unsigned long long room = m_ulWriteBufSize - m_ulWoff;
    const unsigned long long want = static_cast<unsigned long long>(remaining);
    if (m_bTraceWrites) {
      Log(1, room < want ? "media_fs::Write: woff=%lu, foff=%lu, wsize=%lu, tempsz %lu > remsz %lu"
                         : "media_fs::Write: woff=%lu, foff=%lu, wsize=%lu, tempsz %lu <= remsz %lu",
          static_cast<unsigned long>(m_ulWoff), static_cast<unsigned long>(m_ulFoff),
          static_cast<unsigned long>(m_ulWriteBufSize), static_cast<unsigned long>(want),
          static_cast<unsigned long>(room));
    }
    const unsigned long long take = std::min(room, want);
    std::memcpy(m_pWriteBuf + m_ulWoff, buf, take);
    m_ulWoff += take;
    buf += take;
    remaining -= static_cast<long long>(take);

    while (m_ulWoff - m_ulFoff >= m_ulBlockSize) {
      int eom = 0;
      const int ret = WriteBufferedBlock("Write", &eom);
      if (eom != 0) mediaEnded = true;
      if (BlockCounts(ret, eom)) {
        m_ulFoff += m_ulBlockSize;
        m_llLogicalBytes += static_cast<long long>(m_ulBlockSize);
        m_llPhysicalBytes += static_cast<long long>(m_ulBlockSize);
        if (m_ulFoff == m_ulWriteBufSize) {
          m_ulWoff = 0;
          m_ulFoff = 0;
          if (m_bTraceWrites) Log(1, "media_fs::Write: buffer is empty");
        }
      } else {
        return UncountedBlock(ret, eom, n, remaining);
      }
    }
  }
  if (mediaEnded) m_llKBRemaining = 0;
  return static_cast<int>(n);
}

int media_fs::UncountedBlock(int ret, int eom, long long n, long long remaining) {
  if (m_llBytesAtEOM >= 0 && eom != 0) {
    // The media ran out inside the block: only the bytes it reports count.
    const long long part = std::min<long long>(m_llBytesAtEOM, static_cast<long long>(m_ulBlockSize));
    m_llKBRemaining = 0;
    m_bCloseChunk = true;
    m_ulFoff += static_cast<unsigned long long>(part);
    m_llLogicalBytes += part;
    m_llPhysicalBytes += part;
    // Bytes of this call that reached the media; the buffered rest (possibly older bytes too)
    // counts as not taken.
    const long long taken = n - remaining - static_cast<long long>(m_ulWoff - m_ulFoff);
    return static_cast<int>(std::max<long long>(taken, 0));
  }
  FailText("Could not write %ld bytes, wrote %ld bytes - VolId=%d", static_cast<long>(m_ulBlockSize),
           static_cast<long>(ret), m_iVolId);
  return -1;
}

int media_fs::Write2(const char* buf, unsigned long size, bool& endOfMedia) {
  endOfMedia = false;
  int retries = 0;
  bool retryAgain = false;
  if (size > kMaxTransfer) {
    FailText("Could not write %lu bytes: a write must be smaller than 2147483648 bytes - VolId=%d",
             size, m_iVolId);
    return -1;
  }
  if (size != m_ulBlockSize) {
    Log(1,
        "Write size should always be equal to volume block size for all kinds of media.Recieved "
        "write for size [%d] other than the block size [%d]. Failing the write",
        static_cast<int>(size), static_cast<int>(m_ulBlockSize));
    return -1;
  }
  StartWriteTimer();
  const long long block = static_cast<long long>(m_ulBlockSize);

  int ret = -1;
  for (;;) {
    int eom = 0;
    if (m_bDoNotWriteToMedia) {
      ret = static_cast<int>(m_ulBlockSize);
    } else {
      ret = WriteToMedia(buf, static_cast<long>(m_ulBlockSize), &eom);
    }
    if (static_cast<long long>(ret) == block) {
      m_llPhysicalBytes += block;
      m_llLogicalBytes += block;
      if (eom != 0) {
        endOfMedia = true;
        m_llKBRemaining = 0;
      }
      return static_cast<int>(size);
    }
    if (ret == -1 && m_bCloseChunk && eom == 1) {
      m_llPhysicalBytes += block;
      m_llLogicalBytes += block;
      endOfMedia = true;
      m_llKBRemaining = 0;
      return static_cast<int>(size);
    }
    if (m_llBytesAtEOM >= 0 && eom != 0) {
      const long long part = std::min(m_llBytesAtEOM, block);
      m_bCloseChunk = true;
      m_llKBRemaining = 0;
      m_llPhysicalBytes += part;
      m_llLogicalBytes += part;
      FailText("PARTIAL WRITE SUCCESS: Could not write %ld bytes, wrote %ld bytes - VolId=%d",
               static_cast<long>(block), static_cast<long>(m_llBytesAtEOM), m_iVolId);
      return static_cast<int>(static_cast<uint32_t>(m_llBytesAtEOM));
    }
    if (!m_bWriteRetry) {
      FailText("Could not write %ld bytes, wrote %ld bytes - VolId=%d", static_cast<long>(block),
               static_cast<long>(ret), m_iVolId);
      return -1;
    }
    if (WriteRetrySupported() == 0) {
      Log(1,
          "The current media type does not support write retries though it has been enabled..failing "
          "the write ");
      FailText("Could not write %ld bytes, wrote %ld bytes - VolId=%d", static_cast<long>(block),
               static_cast<long>(ret), m_iVolId);
      return -1;
    }
    Log(1, "WRITE RETRY HAS BEEN ENABLED.. will retry the write ");
    Log(1, "retryVal : [%d], maxRetryCount = [%d] ", retries, m_retryWriteCount);
    retryAgain = true;
    if (m_retryWriteCount <= retries) break;

    bool repositioned = false;
    for (;;) {
      ++retries;
      if (RepositionMediaForWrite(retryAgain) == 0) {
        repositioned = true;
        break;
      }
      Log(1, "Failed to write data on the media after retrying [%d] times, will retry again. ", retries);
      Log(1, "retryVal : [%d], m_retryWriteCount : [%d] ", retries, m_retryWriteCount);
      if (m_retryWriteCount <= retries || !retryAgain) break;
    }
    if (!repositioned) break;
  }

  Log(1, "Failed to write data on the media after retrying [%d] times ", retries);
  Log(1, "retryVal : [%d], maxRetryCount = [%d] ", retries, m_retryWriteCount);
  FailText("Could not write %ld bytes, wrote %ld bytes - VolId=%d", static_cast<long>(block),
           static_cast<long>(ret), m_iVolId);
  return -1;
}

int media_fs::Close() { return m_bWriting ? CloseForWrite() : CloseForRead(); }

int media_fs::CloseForWrite() {
  Log(2, "In ZovadAdeveFS::Close() ");
  const long long oldSpaceOccupied = m_llSpaceOccupied;

  if (shouldFlushBuffer()) {
    if (FlushForClose() != 0) return -1;
  } else if (m_bTraceWrites) {
    Log(1, "media_fs::Close: not flushing, woff=%lu, foff=%lu, wsize=%lu",
        static_cast<unsigned long>(m_ulWoff), static_cast<unsigned long>(m_ulFoff),
        static_cast<unsigned long>(m_ulWriteBufSize));
  }

  EmptyBuffers();
  if (CloseSpecific(GetMarkType()) < 0) {
    FailText(" CloseSpecific Failed to close the Media Handle - VolId=%d", m_iVolId);
    return -1;
  }
  if (m_pVolInfo == nullptr) {
    SetLastError(kMFSErrNotInitializedForBackup, "The media was never initialized to perform the backup");
    FailText("%s %d VolumeInfo Object is NULL MediaFS- VolId=%d", kSource, __LINE__, m_iVolId);
    return -1;
  }
  if (RecordClosedFile(oldSpaceOccupied) != 0) return -1;

  if (m_llKBRemaining > 0) m_llKBRemaining -= m_llPhysicalBytes / 1024;
  m_llDriveBytesWritten = 0;
  ResetFileCounters();
  m_llBytesLeftToRead = 0;
  ++m_llNumFiles;
  ++m_llFileNumber;
  return 0;
}

// Pads the last block with the character '0' and writes every pending block.
int media_fs::FlushForClose() {
  if (m_pWriteBuf == nullptr || m_ulBlockSize == 0) return 0;
  RealignWriteBuffer();
  const long long block = static_cast<long long>(m_ulBlockSize);
  long long pending = static_cast<long long>(m_ulWoff - m_ulFoff);
  if (m_bTraceWrites) {
    Log(1, "media_fs::Close: flushing, woff=%lu, foff=%lu, wsize=%lu, bsize=%lu, bcount=%lu",
        static_cast<unsigned long>(m_ulWoff), static_cast<unsigned long>(m_ulFoff),
        static_cast<unsigned long>(m_ulWriteBufSize), static_cast<unsigned long>(m_ulBlockSize),
        static_cast<unsigned long>(pending));
  }
  std::memset(m_pWriteBuf + m_ulWoff, '0', std::min(m_ulWriteBufSize - m_ulWoff, m_ulBlockSize));

  while (pending > 0) {
    int eom = 0;
    const int ret = WriteBufferedBlock("Close", &eom);
    pending -= block;
    if (!BlockCounts(ret, eom)) {
      FailText("Flusing the write buffer of the media fs object ");
      FailText(" Could not write %ld bytes, wrote %d bytes - VolId=%d", static_cast<long>(block), ret,
               m_iVolId);
      closeDeviceHandle();
      return -1;
    }
    if (pending >= 0) {
      m_ulFoff += m_ulBlockSize;
      m_llLogicalBytes += block;
      m_llPhysicalBytes += block;
      continue;
    }
    const int padding = static_cast<int>(-pending);
    if (WriteInterceptPadding(padding) < 0) {
      Log(1, "media_fs::Write: WriteInterceptPadding failed (size=%d)", padding);
      return -1;
    }
    m_llLogicalBytes += block;
    m_llPhysicalBytes += block;
    break;
  }
  return 0;
}

// The media manager's accounting of a written archive file, in its fixed order.
int media_fs::RecordClosedFile(long long oldSpaceOccupied) {
  if (m_llDriveBytesWritten > 0) {
    m_llPhysicalBytes = m_llDriveBytesWritten;
    unsigned long long freeBytes = 0;
    const long long free = getFreeSpaceFromMedia(freeBytes) >= 0 ? static_cast<long long>(freeBytes) : -1;
    m_pVolInfo->incrNumPhysicalBytes(m_llPhysicalBytes, free);
    SetErrorString(FormatText(" Number Of Physical bytes Written (Got from the drive) =%lld",
                              m_llDriveBytesWritten).c_str());
  } else {
    SetErrorString(FormatText("Number Of Physical bytes Transferred from the host (Calculated) =%lld",
                              m_llPhysicalBytes).c_str());
  }
  Log(3, "%s", m_szErrorText);

  m_pVolInfo->incrNumLogicalBytes(m_llLogicalBytes);
  long long occupied = m_llSpaceOccupied;
  m_pVolInfo->setFileMarker(m_llFileNumber + 1, 1, occupied);
  m_llSpaceOccupied = std::max(occupied, oldSpaceOccupied) + m_llPhysicalBytes;

  m_tEnd.init();
  m_llWriteTime = m_tEnd - m_tStart;
  m_bWriteTimerStarted = false;
  FailText("Size %lld  write time =%lld", m_llSpaceOccupied, m_llWriteTime);

  UpdateNumPhysicalBytes(m_llWriteTime);
  m_pVolInfo->setWriteTime(m_llWriteTime, m_iStreamId);

  Log(2, "Close(): Incrementing number of files: %d", m_iFilesPerClose);
  const int rc = m_pVolInfo->incrNumFiles(m_iFilesPerClose);
  m_iFilesPerClose = 1;
  if (rc != 0) {
    SetLastError(kMFSErrFileMarkerUpdateFailed,
                 "Failed to update the mediamanager with the number of filemarkers written on the tape");
    FailText("%s %d CloseSpecific Failed to update the File Marker on HM - VolId=%d", kSource, __LINE__,
             m_iVolId);
    return -1;
  }
  return 0;
}

void media_fs::SetMinFreeKb(long long kb) {
  if (kb < 0) {
    kb = (m_llFileMarkerSize + static_cast<long long>(m_ulBlockSize)) / 1024;
    Log(1, "%s %d Negative low water specified.  Using %ld Kb instead.", kSource, __LINE__,
        static_cast<long>(kb));
  }
  m_llMinFreeKB = kb;
}

unsigned long long media_fs::getBlockWriteRemainder(unsigned long long n) {
  if (m_ulBlockSize == 0) return 0;
  const unsigned long long r = m_ulWoff + n - m_ulFoff;
  if (r % m_ulBlockSize == 0) return 0;
  return m_ulBlockSize - r % m_ulBlockSize;
}

int media_fs::CheckForDataBeingOverWritten() {
  int status = 0;
  char message[2048] = {};
  if (m_pVolInfo == nullptr ||
      m_pVolInfo->checkFileMarker(JobId(), status, message, sizeof(message)) == -1) {
    Log(-1, "Failed to verify the consistency between archchunk and volume table ");
    return -1;
  }
  if (status == 305) {
    m_pVolInfo->markFull(kVolumeFullReasonFileMarkerAhead, JobId());
    message[sizeof(message) - 1] = '\0';
    Log(-1, "%s", message);
    Log(-1,
        "Marking the media full as there the archchunk filemarker entry was greater than the "
        "filemarker entry in the volume table... this should not happen ");
    return -1;
  }
  return 0;
}
