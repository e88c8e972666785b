// The write cache of a backup: every byte of a chunk passes through the data buffer (in front of
// the current data file) or the metadata buffer (in front of the metadata file), and leaves it in
// writes of whole blocks at block-aligned file positions. Each file has a logical offset that
// counts its buffered bytes: the offset at which the next byte written to it lands. Every few
// megabytes the mount path's free space is read again and compared with the low-water mark.
//
// File selectors: 1 the data file, 2 the metadata file (WriteCacheBuffersToFile takes a mask of
// the same bits, -1 for both).

#include <cerrno>
#include <climits>
#include <cstring>

#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

constexpr uint64_t kGuardWord = 0xABABABABABABABABULL;
constexpr int kDataFile = 1;
constexpr int kMetaDataFile = 2;

bool IsOpen(CFileInterface* file) { return file != nullptr && file->IsValid(); }

uint64_t LoadGuard(const unsigned char* at) {
  uint64_t v = 0;
  std::memcpy(&v, at, sizeof(v));
  return v;
}

}  // namespace

// The frame counts the physical bytes of the blocks it hands over itself; the write cache counts
// those of the host's own writes. A block is counted once.
int SingleInstancer_FS::WriteToMedia(const char* buf, long len, int* eom) {
  const int rc = WriteToMetaData(buf, len, eom);
  if (rc > 0) m_llPhysicalBytes -= rc;
  return rc;
}

int SingleInstancer_FS::WriteToDataFile(const char* buf, long len, int* eom) {
  if (!IsOpen(m_pFdDataFile)) {
    Log(1, "%s", m_szErrorText);
    SetErrorString("WriteToDataFile Failed as data file is not open yet.");
    Log(1, "%s", m_szErrorText);
    return -1;
  }
  return WriteToFile(kDataFile, buf, len, eom);
}

int SingleInstancer_FS::WriteToMetaData(const char* buf, long len, int* eom) {
  if (!IsOpen(m_pFdMetaDataFile)) {
    Log(1, "%s", m_szErrorText);
    SetErrorString("WriteToMetaData Failed as Meta Data file is not open yet");
    Log(1, "WriteToMetaData Failed as Meta Data file is not open yet.");
    return -1;
  }
  return WriteToFile(kMetaDataFile, buf, len, eom);
}

int SingleInstancer_FS::WriteToFile(int file, const char* buf, long len, int* eom) {
  int ignoredEom = 0;
  if (eom == nullptr) eom = &ignoredEom;
  // The count travels back as a 32-bit int: a larger one would be cut or read as a failure.
  if (len < 0 || len > INT_MAX || (len > 0 && buf == nullptr)) {
    FailText("%s: [ERROR] Cannot write [%ld] bytes: a write takes 0 to 2147483647 bytes from a buffer",
             "SiFS::WrtToFile", len);
    return -1;
  }
  m_TotalBytesWritten += static_cast<uint64_t>(len);
  m_llBytesAtEOM = 0;
  *eom = 0;
  if (len == 0) return 0;

  const int ret = WriteToCache(file, buf, len);
  if (ret != 0) {
    Log(1, "%s: [ERROR] WriteToCache failed. Ret=[%d]", "SiFS::WrtToFile", ret);
    return -1;
  }
  m_llBytesAtEOM = static_cast<int32_t>(len);
  m_llPhysicalBytes += len;
  m_BytesSinceSpaceCheck += static_cast<uint64_t>(len);

  if (m_BytesSinceSpaceCheck >= m_SpaceCheckInterval && !CSkarvoFS::IsSkarvoPath(m_szPath)) {
    unsigned long long freeBytes = 0;
    const int rc = getFreeSpaceFromMedia(freeBytes);
    m_llKBRemaining = static_cast<long long>(freeBytes / 1024);
    if (rc >= 0 &&
        MarkFullAtLowWaterMark(freeBytes,
                               "The free diskspace on the mount path [%s] is %lld less than low water mark of %lld ")) {
      m_bDiskFull = true;
      *eom = 1;
    }
    m_BytesSinceSpaceCheck = 0;
  }
  if (m_bDiskFull) {
    *eom = 1;
    m_bCloseChunk = true;
    m_bVolumeFull = true;
  }
  return static_cast<int>(m_llBytesAtEOM);
}

bool SingleInstancer_FS::SelectWriteBuffer(int file, WriteBuffer& out) {
  if (file == kDataFile) {
    out = {m_pDataCache, &m_pDataCachePos, &m_DataCacheFree, &m_DataFileOffset, m_pFdDataFile, "sfile"};
    return true;
  }
  if (file == kMetaDataFile) {
    out = {m_pMetaDataCache, &m_pMetaDataCachePos, &m_MetaDataCacheFree, &m_MetaDataFileOffset, m_pFdMetaDataFile,
           "metadata"};
    return true;
  }
  return false;
}

int SingleInstancer_FS::WriteToCache(int file, const char* buf, long len) {
  WriteBuffer b;
  if (!SelectWriteBuffer(file, b)) {
    Log(1, "%s: [ERROR] Invalid write mode [%u]", "SingleInstancer_FS::WriteToCache", static_cast<unsigned int>(file));
    return -1;
  }
  if (len < 0 || static_cast<unsigned long>(len) > UINT32_MAX || b.start == nullptr) {
    Log(1, "%s: [ERROR] Cannot buffer [%ld] bytes for the %s file", "SingleInstancer_FS::WriteToCache", len, b.name);
    return -1;
  }
  uint32_t left = static_cast<uint32_t>(len);
  // Only an open file can take what does not fit; without one the buffer could never drain.
  if (left > *b.free && !IsOpen(b.file)) {
    Log(1, "%s: [ERROR] Cannot buffer [%u] bytes: the %s file is not open and the buffer has room for [%u]",
        "SingleInstancer_FS::WriteToCache", left, b.name, *b.free);
    return -1;
  }
  const char* from = buf;
  for (;;) {
    if (left <= *b.free) {
      std::memcpy(*b.pos, from, left);
      *b.pos += left;
      *b.free -= left;
      *b.offset += left;
      return 0;
    }
    if (WriteCacheBuffersToFile(file, false) != 0) return -1;
    if (left > *b.free) {
      const uint32_t take = *b.free;
      std::memcpy(*b.pos, from, take);
      *b.pos += take;
      *b.offset += take;
      from += take;
      left -= take;
      *b.free = 0;
    }
  }
}

int SingleInstancer_FS::WriteCacheBuffersToFile(int mask, bool force) {
  int result = 0;
  if ((mask & kDataFile) != 0) {
    const uint32_t held = m_CacheSize - m_DataCacheFree;
    if (held != 0 && IsOpen(m_pFdDataFile) && WriteToFileInternal(kDataFile, m_pDataCache, held, force) != 0) {
      result = -1;
    }
  }
  if ((mask & kMetaDataFile) != 0) {
    const uint32_t held = m_CacheSize - m_MetaDataCacheFree;
    if (held != 0 && IsOpen(m_pFdMetaDataFile) &&
        WriteToFileInternal(kMetaDataFile, m_pMetaDataCache, held, force) != 0) {
      result = -1;
    }
  }
  return result;
}

bool SingleInstancer_FS::WriteBufferGuardsIntact(int file, uint64_t* front, uint64_t* back) {
  const unsigned char* start = file == kDataFile ? m_pDataCache : m_pMetaDataCache;
  *front = LoadGuard(start - sizeof(kGuardWord));
  *back = LoadGuard(start + m_CacheSize);
  return *front == kGuardWord && *back == kGuardWord;
}

CXoError SingleInstancer_FS::WriteCacheBytes(CFileInterface* file, const unsigned char* from, uint32_t length,
                                             bool wholeBlock, uint32_t& written) {
  unsigned int done = 0;
  CXoError e = file->Write(from, length, &done);
  written += done;
  if (e.IsFailure()) return e;
  if (done != length) {
    Log(1,
        wholeBlock ? "Could not write [%u] bytes to media. Written [%u]"
                   : "Could not write [%d] bytes to media. Written [%u]",
        length, done);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrDiskFull, "Could not write [%u] bytes to media. Written [%u]",
                                length, done);
  }
  return CXoError::Success();
}

int SingleInstancer_FS::WriteToFileInternal(int file, unsigned char* buf, long len, bool force) {
  static const char kOp[] = "SiFS::WrtToFileInt";
  WriteBuffer b;
  if (!SelectWriteBuffer(file, b) || buf != b.start || len < 0 || static_cast<unsigned long>(len) > m_CacheSize) {
    Log(1, "%s: [ERROR] Invalid write-out of [%ld] bytes for file [%d]", kOp, len, file);
    return -1;
  }
  const uint32_t held = static_cast<uint32_t>(len);
  const uint64_t base = *b.offset - held;
  m_llBytesAtEOM = 0;
  if (held == 0) return 0;

  StartTimedOperation();
  uint32_t written = 0;
  uint32_t tail = 0;
  CXoError e;
  uint64_t front = 0;
  uint64_t back = 0;
  // A damaged guard means the buffer's bytes cannot be trusted: none of them go to the file.
  if (!WriteBufferGuardsIntact(file, &front, &back)) {
    Log(1,
        file == kDataFile ? "%s: Failing the write. Data buffer found corrupted. Sig [%llX] [%llX]"
                          : "%s: Failing the write. Metadata buffer found corrupted. Sig [%llX] [%llX]",
        kOp, static_cast<unsigned long long>(front), static_cast<unsigned long long>(back));
    e = FXErrorUtil::ErrorMM(FX_LOCATION, static_cast<unsigned int>(kMFSErrBufferGuardCorrupted));
  } else if (GrowFileIfNecessary(file, base, len) != 0) {
    Log(1, "GrowFile failed for [%u]", static_cast<unsigned int>(file));
    return -1;
  } else if (held < m_WriteBlockSize) {
    e = WriteCacheBytes(b.file, buf, held, false, written);
  } else {
    const uint32_t block = m_WriteBlockSize;
    const uint32_t misalign = static_cast<uint32_t>(base % block);
    if (misalign != 0) e = WriteCacheBytes(b.file, buf, block - misalign, false, written);
    while (e.IsSuccess() && held - written >= block) e = WriteCacheBytes(b.file, buf + written, block, true, written);
    tail = held - written;
    // A forced write-out ends with the tail, even one of 0 bytes.
    if (e.IsSuccess() && force) {
      e = WriteCacheBytes(b.file, buf + written, tail, false, written);
      tail = 0;
    }
  }
  if (e.IsSuccess() && !WriteBufferGuardsIntact(file, &front, &back)) {
    Log(1,
        file == kDataFile ? "%s: Failing the write. Data buffer found corrupted. Sig [%llX] [%llX]"
                          : "%s: Failing the write. Metadata buffer found corrupted. Sig [%llX] [%llX]",
        kOp, static_cast<unsigned long long>(front), static_cast<unsigned long long>(back));
    e = FXErrorUtil::ErrorMM(FX_LOCATION, static_cast<unsigned int>(kMFSErrBufferGuardCorrupted));
  }
  // What did not reach the file moves to the buffer's front, so the buffer always starts at the
  // file's position: a later write-out neither repeats nor skips a byte.
  const uint32_t kept = e.IsSuccess() ? tail : held - written;
  if (kept != 0 && written != 0) std::memmove(buf, buf + written, kept);
  *b.pos = buf + kept;
  *b.free = m_CacheSize - kept;
  EndTimedOperation(written);
  LogWriteStatsWhenDue();
  if (e.IsSuccess()) return 0;

  Log(1, "%s: Cannot write to %s file. Input Size [%d], Bytes written [%d], SysErr=%d, Err=%s", kOp, b.name,
      static_cast<int>(len), static_cast<int>(written), 0, e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  if (m_llLastError == kMMErrDiskFull) {
    m_bDiskFull = true;
    m_llKBRemaining = 0;
    if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
    Log(1, "Disk is full. Failing the write.");
    m_bCloseChunk = false;
    m_llBytesAtEOM = -1;
  } else {
    DisplayError(static_cast<unsigned long>(m_llLastError), 1, "Failed to write to media");
  }
  return -1;
}

int SingleInstancer_FS::GrowFileIfNecessary(int, unsigned long long, long) { return 0; }

long long SingleInstancer_FS::GetFileOffset(int file) {
  static const char kOp[] = "SingleInstnacer_FS::GetFileOffset";
  CFileInterface* fd = nullptr;
  if (file == kDataFile) {
    if (m_DataFileOffset != 0) return static_cast<long long>(m_DataFileOffset);
    fd = m_pFdDataFile;
  } else if (file == kMetaDataFile) {
    if (m_MetaDataFileOffset != 0) return static_cast<long long>(m_MetaDataFileOffset);
    if (!IsOpen(m_pFdMetaDataFile)) {
      unsigned long long pos = 0;
      CXoError e = m_pMetaDataReader != nullptr
                       ? m_pMetaDataReader->Tell(pos)
                       : FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "No metadata file is open");
      if (e.IsSuccess()) return static_cast<long long>(pos);
      Log(1, "%s: Cannot get current offset. DataFile [%d], error [%s]", kOp, file, e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
    fd = m_pFdMetaDataFile;
  } else {
    fd = m_pFdNonSIFile;
  }
  CXoFile::offset pos = 0;
  CXoError e = fd != nullptr ? fd->Seek(0, SEEK_CUR, &pos) : FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "No file");
  if (e.IsSuccess()) return static_cast<long long>(pos);
  Log(1, "%s: Cannot get current offset. DataFile [%d], error=%s", kOp, file, e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  return -1;
}

int SingleInstancer_FS::SetFileOffset(int file, unsigned long long offset) {
  CFileInterface* fd = file == kDataFile ? m_pFdDataFile : file == kMetaDataFile ? m_pFdMetaDataFile : m_pFdNonSIFile;
  CXoError e;
  if (fd == nullptr) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "No file");
  } else if (offset == ~0ULL) {
    e = fd->Seek(0, SEEK_END, nullptr);
  } else if (offset > static_cast<unsigned long long>(LLONG_MAX)) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "Offset %llu is past any file", offset);
  } else {
    e = fd->Seek(static_cast<CXoFile::offset>(offset), SEEK_SET, nullptr);
  }
  if (e.IsSuccess()) return 0;
  Log(1, "%s: Cannot set current offset to [%lld]. DataFile [%d], error=%s", "SingleInstancer_FS::SetFileOffset",
      static_cast<long long>(offset), file, e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  return -1;
}

long long SingleInstancer_FS::GetMetaDataFileOffset() { return GetFileOffset(kMetaDataFile); }

int SingleInstancer_FS::SetMetaDataFileOffset(unsigned long long offset) { return SetFileOffset(kMetaDataFile, offset); }

int SingleInstancer_FS::SetDataFileOffset(unsigned long long offset) { return SetFileOffset(kDataFile, offset); }

void SingleInstancer_FS::DropBufferedBytes(const char* op) {
  if (m_CacheSize == 0) return;
  const uint32_t data = m_CacheSize - m_DataCacheFree;
  const uint32_t metaData = m_CacheSize - m_MetaDataCacheFree;
  if (data != 0 || metaData != 0) {
    Log(1, "%s: Dropping [%u] data and [%u] metadata bytes that could not be written", op, data, metaData);
  }
  m_pDataCachePos = m_pDataCache;
  m_DataCacheFree = m_CacheSize;
  m_pMetaDataCachePos = m_pMetaDataCache;
  m_MetaDataCacheFree = m_CacheSize;
}
