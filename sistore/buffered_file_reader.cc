// CBufferedFileReader: the block buffer, its fills and direct reads, and the seeks that move the
// logical position without reading.
//
// The logical position is m_ullBufferOffset + m_uSkip while a fill is pending (m_bRefill), else
// m_ullBufferOffset + m_uPos. The underlying file stands at m_ullBufferOffset while a fill is
// pending, else right after the buffered bytes, at m_ullBufferOffset + m_uValid: a sequential fill
// moves the buffer by the bytes it held, and a direct read leaves the buffer empty at the position
// after it, so the buffer never claims bytes it does not hold. When a seek or read of the file
// fails, the file's position is not known and the next read of the file sets it first.

#include "MediaFileSystem/BufferedFileReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>

#include "platform/config.h"
#include "platform/local_files.h"
#include "platform/logging.h"

namespace {

#define READER_LOCATION(op) (FXCodeLocation{"SIFile", op, __LINE__})

constexpr unsigned int kDefaultBlockSize = 65536;

// The configured block size in bytes: "nBufFileRdrReadSizeKB" when it is present and positive.
std::optional<uint32_t> ConfiguredBlockSize() {
  OZPlatformInfo info;
  long long kb = 0;
  if (!info.getNumber("ZovadAdeve", "nBufFileRdrReadSizeKB", &kb)) return std::nullopt;
  const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(kb));
  if (value <= 0) return std::nullopt;
  return static_cast<uint32_t>(value) * 1024u;  // wraps from 4194304 KiB on, as the value says
}

}  // namespace

CBufferedFileReader::CBufferedFileReader(CFSInitParams* params) : m_bOwnsBuffer(true) {
  Init(kDefaultBlockSize);
  if (params != nullptr) {
    m_pFile = CFileInterface::GetFileInterfaceInstance(*params);
    m_iStorageType = params->m_Type;
  }
}

CBufferedFileReader::~CBufferedFileReader() {
  Close();
  delete m_pFile;
  m_pFile = nullptr;
  if (m_bOwnsBuffer) delete[] m_pBuffer;
  m_pBuffer = nullptr;
}

CXoError CBufferedFileReader::Init(unsigned int size) {
  if (std::optional<uint32_t> configured = ConfiguredBlockSize()) size = *configured;
  if (size == 0) {
    m_ullBufferLen = 0;
  } else if (m_pBuffer != nullptr && size <= m_ullCapacity) {
    m_ullBufferLen = size;
  } else {
    if (m_bOwnsBuffer) delete[] m_pBuffer;
    m_pBuffer = new (std::nothrow) char[size];
    m_ullCapacity = m_pBuffer != nullptr ? size : 0;
    m_ullBufferLen = m_ullCapacity;
    m_bOwnsBuffer = true;
  }
  m_uBlockSize = size;
  m_bRefill = true;
  m_ullBufferOffset = 0;
  m_uValid = 0;
  m_uPos = 0;
  m_uSkip = 0;
  return CXoError::Success();
}

CXoError CBufferedFileReader::Open(const char* path, int flags, int mode) {
  if (m_pFile == nullptr) {
    return FXErrorUtil::ErrorErrNo(READER_LOCATION("Open"), EBADF, "The reader has no file interface");
  }
  if (path == nullptr) return FXErrorUtil::ErrorErrNo(READER_LOCATION("Open"), EINVAL, "No file name to open");
  CXoError e = m_pFile->Open(path, flags, mode, 0);
  if (e.IsFailure() && FXErrorUtil::GetErrNo(e) == EACCES) e = RetryOpenWithReadAccess(path, flags, mode, e);
  if (e.IsFailure()) return e.Push(READER_LOCATION("Open"));

  unsigned long long size = 0;
  e = m_pFile->Size(size);
  if (e.IsFailure()) return e.Push(READER_LOCATION("Open"));
  m_ullFileSize = size;
  m_ullBufferOffset = 0;
  m_uValid = 0;
  m_uPos = 0;
  m_uSkip = 0;
  m_bRefill = true;
  m_bEOF = false;
  m_bReposition = false;
  return CXoError::Success();
}

// A disk file that the process may not read is given read access and opened again. A file whose
// owner may already read it gains nothing from the change, so its refusal stands.
CXoError CBufferedFileReader::RetryOpenWithReadAccess(const char* path, int flags, int mode, const CXoError& refused) {
  if (m_iStorageType != kFSTypeDisk) return refused;
  EvDebug log;
  struct stat st {};
  CXoError e = CXoFile::Stat(path, &st);
  if (e.IsFailure()) {
    log.debug("Failed to open file [%s], stat fails with error=%s", path, e.AsString().c_str());
    return e;
  }
  if ((st.st_mode & S_IRUSR) != 0) {
    log.debug("Failed to open file [%s], file has read permissions for the user.", path);
    return refused;
  }
  log.debug("[DEBUG] Failed to open file [%s], Trying to give read access permissions", path);
  e = CXoFile::Chmod(path, 0777);
  if (e.IsFailure()) {
    log.debug("[DEBUG] Cannot change access permission for file [%s], error=%s", path, e.AsString().c_str());
    return e;
  }
  log.debug("[DEBUG] Successfully changed access permission for file [%s], error=%s", path, e.AsString().c_str());
  return m_pFile->Open(path, flags, mode, 0);
}

CXoError CBufferedFileReader::Close() {
  if (m_pFile == nullptr || !m_pFile->IsValid()) return CXoError::Success();
  CXoError e = m_pFile->Close();
  if (e.IsFailure()) e.Push(READER_LOCATION("Close"));
  return e;
}

bool CBufferedFileReader::IsValid() { return m_pFile != nullptr && m_pFile->IsValid(); }

uint64_t CBufferedFileReader::LogicalPosition() const {
  return m_ullBufferOffset + (m_bRefill ? m_uSkip : m_uPos);
}

CXoError CBufferedFileReader::Tell(unsigned long long& pos) {
  pos = LogicalPosition();
  return CXoError::Success();
}

// Reads from the file where the reader expects it to stand. After a failed seek or read the
// file's position is not known, so it is set again first.
CXoError CBufferedFileReader::ReadFile(char* dst, unsigned int length, unsigned int& got) {
  got = 0;
  if (m_bReposition) {
    const uint64_t expected = m_bRefill ? m_ullBufferOffset : m_ullBufferOffset + m_uValid;
    CXoError e = m_pFile->Seek(static_cast<CXoFile::offset>(expected), SEEK_SET, nullptr);
    if (e.IsFailure()) return e;
    m_bReposition = false;
  }
  CXoError e = m_pFile->Read(dst, length, &got);
  if (e.IsFailure()) {
    got = 0;
    m_bReposition = true;
    return e;
  }
  got = std::min(got, length);
  return e;
}

CXoError CBufferedFileReader::FillInternalBuffer() {
  if (!HasBuffer()) {
    return FXErrorUtil::ErrorErrNo(READER_LOCATION("FillInternalBuffer"), ENOMEM,
                                   "Failed to allocate internal data buffer of size %ul", m_uBlockSize);
  }
  if (m_pFile == nullptr) {
    return FXErrorUtil::ErrorErrNo(READER_LOCATION("FillInternalBuffer"), EBADF, "The reader has no file interface");
  }
  m_bEOF = false;
  unsigned int got = 0;
  CXoError e = ReadFile(m_pBuffer, m_uBlockSize, got);
  if (e.IsFailure()) return e.Push(READER_LOCATION("FillInternalBuffer"));
  m_bEOF = got == 0;
  if (!m_bRefill) {
    m_uPos = 0;
    m_ullBufferOffset += m_uValid;  // the block just consumed, as far as it was held
  } else {
    m_bRefill = false;
    if (got <= m_uSkip) {
      m_uSkip = got;
      m_bEOF = true;
      m_uPos = got;
    } else {
      m_uPos = m_uSkip;
    }
  }
  m_uValid = got;
  return CXoError::Success();
}

CXoError CBufferedFileReader::Read(void* dst, unsigned int size, unsigned int* nRead) {
  if (nRead != nullptr) *nRead = 0;
  if (m_pFile == nullptr) {
    return FXErrorUtil::ErrorErrNo(READER_LOCATION("Read"), EBADF, "The reader has no file interface");
  }
  if (m_bRefill || !HasBuffer()) {
    CXoError e = FillInternalBuffer();
    if (e.IsFailure()) return e.Push(READER_LOCATION("Read"));
    // The positioned block ends before the target: nothing lies at the position.
    if (m_bEOF) return CXoError::Success();
  }
  auto* out = static_cast<char*>(dst);
  unsigned int wanted = size;
  while (wanted > 0) {
    if (m_uValid > m_uPos) {
      const unsigned int n = std::min(m_uValid - m_uPos, wanted);
      std::memcpy(out, m_pBuffer + m_uPos, n);
      out += n;
      m_uPos += n;
      wanted -= n;
      if (nRead != nullptr) *nRead += n;
    } else if (wanted < m_uBlockSize) {
      CXoError e = FillInternalBuffer();
      if (e.IsFailure()) return e.Push(READER_LOCATION("Read"));
      if (m_bEOF) return CXoError::Success();
    } else {
      const unsigned int direct = wanted / m_uBlockSize * m_uBlockSize;
      unsigned int got = 0;
      CXoError e = ReadFile(out, direct, got);
      if (e.IsFailure()) return e.Push(READER_LOCATION("Read"));
      if (got == 0) return CXoError::Success();
      out += got;
      wanted -= got;
      if (nRead != nullptr) *nRead += got;
      // The buffer is empty at the position after the bytes just read, so it claims none of them.
      m_ullBufferOffset += m_uPos + got;
      m_uValid = 0;
      m_uPos = 0;
    }
  }
  return CXoError::Success();
}

CXoError CBufferedFileReader::Seek(unsigned long long offset, int whence, CXoFile::offset* before) {
  const uint64_t position = LogicalPosition();
  uint64_t target = 0;
  switch (whence) {
    case 0: target = offset; break;
    case 1: target = position + offset; break;
    case 2: target = m_ullFileSize + offset; break;
    default: target = 0; break;
  }
  if (target >= m_ullBufferOffset && target - m_ullBufferOffset < m_uValid) {
    m_uPos = static_cast<uint32_t>(target - m_ullBufferOffset);
    if (before != nullptr) *before = static_cast<CXoFile::offset>(position);
    return CXoError::Success();
  }
  m_bRefill = true;
  m_ullBufferOffset = m_uBlockSize != 0 ? target - target % m_uBlockSize : target;
  m_uSkip = static_cast<uint32_t>(target - m_ullBufferOffset);
  m_uValid = 0;
  m_uPos = 0;
  if (m_pFile == nullptr) {
    return FXErrorUtil::ErrorErrNo(READER_LOCATION("Seek"), EBADF, "The reader has no file interface");
  }
  CXoError e = m_pFile->Seek(static_cast<CXoFile::offset>(m_ullBufferOffset), SEEK_SET, nullptr);
  m_bReposition = e.IsFailure();
  if (e.IsFailure()) return e.Push(READER_LOCATION("Seek"));
  if (before != nullptr) *before = static_cast<CXoFile::offset>(position);
  return CXoError::Success();
}
