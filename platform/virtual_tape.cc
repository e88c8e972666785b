#include "platform/virtual_tape.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/byte_order.h"

namespace platform {

namespace {

constexpr char kMagic[8] = {'M', 'F', 'S', 'V', 'T', 'A', 'P', 'E'};
constexpr uint32_t kVersion = 1;
constexpr size_t kFileHeaderSize = 16;
constexpr size_t kRecordHeaderSize = 16;
constexpr uint32_t kKindBlock = 1;
constexpr uint32_t kKindMark = 2;
constexpr uint32_t kFlagCompressed = 1;

void EncodeRecordHeader(unsigned char* h, uint32_t kind, uint32_t length, uint32_t keyTag, uint32_t flags) {
  EncodeBE32(h, kind);
  EncodeBE32(h + 4, length);
  EncodeBE32(h + 8, keyTag);
  EncodeBE32(h + 12, flags);
}

bool ReadAll(int fd, void* buf, size_t n, uint64_t at) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
    at += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace

VirtualTape::~VirtualTape() {
  if (m_fd >= 0) ::close(m_fd);
}

bool VirtualTape::Open(const std::string& file, std::string& error) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_file = file;
  m_records.clear();
  m_marks = 0;
  m_end = kFileHeaderSize;

  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + file + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = "cannot stat " + file + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  unsigned char header[kFileHeaderSize] = {};
  if (fileSize < kFileHeaderSize) {
    std::memcpy(header, kMagic, sizeof(kMagic));
    EncodeBE32(header + 8, kVersion);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header))) {
      error = "cannot write the header of " + file + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    m_fd = fd;
    return true;
  }
  if (!ReadAll(fd, header, sizeof(header), 0) || std::memcmp(header, kMagic, sizeof(kMagic)) != 0 ||
      DecodeBE32(header + 8) != kVersion) {
    error = file + " is not a virtual tape";
    ::close(fd);
    return false;
  }

  // The records, up to the first one the file does not hold completely.
  uint64_t at = kFileHeaderSize;
  long long dataBytes = 0;
  while (at + kRecordHeaderSize <= fileSize) {
    unsigned char h[kRecordHeaderSize];
    if (!ReadAll(fd, h, sizeof(h), at)) break;
    const uint32_t kind = DecodeBE32(h);
    const uint32_t length = DecodeBE32(h + 4);
    if (kind != kKindBlock && kind != kKindMark) break;
    if (kind == kKindMark && length != 0) break;
    if (at + kRecordHeaderSize + length > fileSize) break;
    TapeRecord r;
    r.mark = kind == kKindMark;
    r.length = length;
    r.keyTag = DecodeBE32(h + 8);
    r.compressed = (DecodeBE32(h + 12) & kFlagCompressed) != 0;
    r.offset = at + kRecordHeaderSize;
    r.startByte = dataBytes;
    dataBytes += length;
    m_marks += r.mark ? 1 : 0;
    m_records.push_back(r);
    at += kRecordHeaderSize + length;
  }
  m_end = at;
  // A torn record at the end is not part of the tape.
  if (at != fileSize && ::ftruncate(fd, static_cast<off_t>(at)) != 0) {
    error = "cannot cut the torn end of " + file + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}

long long VirtualTape::DataBytesBefore(size_t index) const {
  if (index < m_records.size()) return m_records[index].startByte;
  if (m_records.empty()) return 0;
  const TapeRecord& last = m_records.back();
  return last.startByte + last.length;
}

bool VirtualTape::Truncate(size_t index) {
  if (index >= m_records.size()) return true;
  const uint64_t at = m_records[index].offset - kRecordHeaderSize;
  for (size_t i = index; i < m_records.size(); ++i) m_marks -= m_records[i].mark ? 1 : 0;
  m_records.resize(index);
  m_end = at;
  return ::ftruncate(m_fd, static_cast<off_t>(at)) == 0;
}

bool VirtualTape::WriteAll(const void* data, size_t n, uint64_t at) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = ::pwrite(m_fd, p, n, static_cast<off_t>(at));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
    at += static_cast<uint64_t>(put);
  }
  return true;
}

// The header and the bytes in one call; a short transfer goes on where it stopped.
bool VirtualTape::WriteRecord(const unsigned char* header, const char* data, size_t length, uint64_t at) {
  iovec parts[2] = {{const_cast<unsigned char*>(header), kRecordHeaderSize},
                    {const_cast<char*>(data), length}};
  ssize_t put = ::pwritev(m_fd, parts, 2, static_cast<off_t>(at));
  if (put < 0) {
    if (errno != EINTR) return false;
    put = 0;
  }
  size_t done = static_cast<size_t>(put);
  if (done < kRecordHeaderSize) {
    if (!WriteAll(header + done, kRecordHeaderSize - done, at + done)) return false;
    done = kRecordHeaderSize;
  }
  const size_t sent = done - kRecordHeaderSize;
  return WriteAll(data + sent, length - sent, at + done);
}

bool VirtualTape::AppendBlock(size_t index, const char* data, uint32_t length, uint32_t keyTag,
                              bool compressed, const std::function<void()>& torn) {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (!Truncate(index)) return false;
  unsigned char h[kRecordHeaderSize];
  EncodeRecordHeader(h, kKindBlock, length, keyTag, compressed ? kFlagCompressed : 0);
  const uint64_t at = m_end;
  bool written = false;
  if (torn) {
    const size_t half = length / 2;
    written = WriteAll(h, sizeof(h), at) && WriteAll(data, half, at + sizeof(h));
    if (written) torn();
    written = written && WriteAll(data + half, length - half, at + sizeof(h) + half);
  } else {
    written = WriteRecord(h, data, length, at);
  }
  if (!written) {
    const int saved = errno;
    if (::ftruncate(m_fd, static_cast<off_t>(at)) != 0) {
      // The tape ends at `index` for this process either way; the file is cut on the next open.
    }
    errno = saved;
    return false;
  }
  TapeRecord r;
  r.length = length;
  r.keyTag = keyTag;
  r.compressed = compressed;
  r.offset = at + sizeof(h);
  r.startByte = DataBytesBefore(m_records.size());
  m_records.push_back(r);
  m_end = at + sizeof(h) + length;
  return true;
}

bool VirtualTape::AppendMarks(size_t index, int count) {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (!Truncate(index)) return false;
  for (int i = 0; i < count; ++i) {
    unsigned char h[kRecordHeaderSize];
    EncodeRecordHeader(h, kKindMark, 0, 0, 0);
    if (!WriteAll(h, sizeof(h), m_end)) return false;
    TapeRecord r;
    r.mark = true;
    r.offset = m_end + sizeof(h);
    r.startByte = DataBytesBefore(m_records.size());
    m_records.push_back(r);
    m_end += sizeof(h);
    ++m_marks;
  }
  return true;
}

bool VirtualTape::ReadBlock(const TapeRecord& r, size_t from, char* buf, size_t n) const {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (r.mark || from + n > r.length) {
    errno = EINVAL;
    return false;
  }
  return ReadAll(m_fd, buf, n, r.offset + from);
}

}  // namespace platform
