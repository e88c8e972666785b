// Files to read back and what the read managers' tests share: a folder per test, a file of known
// bytes, the check of a slot's bytes against pread(2), and a folder on a disk file system for
// reads with O_DIRECT.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "platform/platform.h"
#include "test_env.h"

namespace aio_test {

inline constexpr uint64_t kMiB = 1024 * 1024;

// Size of the end-to-end files: small by default so that CI stays quick, MFS_AIO_FILE_MB for the
// full 256 MiB runs. The odd tail makes the last block a short one.
inline uint64_t EndToEndFileSize() { return mfstest::EnvCount<uint64_t>("MFS_AIO_FILE_MB", 24) * kMiB + 4321; }

// A folder under `base` (TMPDIR or /tmp when empty), removed with its contents at the end.
class Folder {
 public:
  explicit Folder(std::string base = std::string()) {
    if (base.empty()) {
      const char* tmp = getenv("TMPDIR");
      base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    }
    std::string pattern = base + "/mfs-aio-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~Folder() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool ok() const { return !m_path.empty(); }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// The byte at `offset` of every test file: a mix of the offset, so that a block read from the
// wrong place never matches.
inline unsigned char ByteAt(uint64_t offset) {
  uint64_t x = (offset >> 3) + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<unsigned char>(x >> ((offset & 7) * 8));
}

// Writes a file of `size` bytes of ByteAt; false when it cannot.
inline bool WriteTestFile(const std::string& path, uint64_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::vector<unsigned char> chunk(kMiB);
  bool ok = true;
  for (uint64_t at = 0; at < size && ok; at += chunk.size()) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    for (size_t i = 0; i < n; ++i) chunk[i] = ByteAt(at + i);
    ok = write(fd, chunk.data(), n) == static_cast<ssize_t>(n);
  }
  return close(fd) == 0 && ok;
}

// The bytes a read of `length` at `offset` must give, by pread(2) of the same range.
inline std::vector<unsigned char> Pread(int fd, uint64_t offset, uint32_t length) {
  std::vector<unsigned char> bytes(length);
  size_t got = 0;
  while (got < length) {
    ssize_t n = pread(fd, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// Whether a completed slot holds exactly what pread(2) of its range gives, with success.
inline ::testing::AssertionResult SlotMatchesFile(const IoSlot& slot, int fd, uint32_t length) {
  if (slot.LastError.IsFailure()) {
    return ::testing::AssertionFailure() << "read at " << slot.ullOffset << " failed: " << slot.LastError.AsString();
  }
  std::vector<unsigned char> expected = Pread(fd, slot.ullOffset, length);
  if (slot.ullBytesRead != expected.size()) {
    return ::testing::AssertionFailure() << "read at " << slot.ullOffset << " gave " << slot.ullBytesRead
                                         << " bytes, pread " << expected.size();
  }
  if (!expected.empty() && std::memcmp(slot.pBuffer, expected.data(), expected.size()) != 0) {
    return ::testing::AssertionFailure() << "read at " << slot.ullOffset << " differs from pread";
  }
  return ::testing::AssertionSuccess();
}

// A folder on a disk file system that takes O_DIRECT opens (MFS_DIRECT_IO_DIR, TMPDIR, /var/tmp,
// /tmp, the working folder), or "" when there is none: tmpfs refuses direct I/O.
inline std::string DirectIoBase() {
  std::vector<std::string> candidates;
  for (const char* env : {"MFS_DIRECT_IO_DIR", "TMPDIR"}) {
    const char* value = getenv(env);
    if (value != nullptr && *value != '\0') candidates.emplace_back(value);
  }
  candidates.insert(candidates.end(), {"/var/tmp", "/tmp", "."});
  for (const std::string& dir : candidates) {
    struct statfs fs {};
    if (statfs(dir.c_str(), &fs) != 0 || fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC) continue;
    std::string probe = dir + "/mfs-direct-probe-XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) continue;
    close(fd);
    int direct = open(probe.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    unlink(probe.c_str());
    if (direct >= 0) {
      close(direct);
      return dir;
    }
  }
  return std::string();
}

// Lets no reader pool of the kind exist for a while, so that a test sees it made (or not): the
// pool there was comes back afterwards, and one made meanwhile is destroyed. Managers that used
// it go before.
class ScopedNoReaderPool {
 public:
  explicit ScopedNoReaderPool(std::atomic<OzThreadPool*>& pool) : m_pool(pool), m_saved(pool.exchange(nullptr)) {}
  ~ScopedNoReaderPool() { delete m_pool.exchange(m_saved); }
  ScopedNoReaderPool(const ScopedNoReaderPool&) = delete;
  ScopedNoReaderPool& operator=(const ScopedNoReaderPool&) = delete;

 private:
  std::atomic<OzThreadPool*>& m_pool;
  OzThreadPool* m_saved;
};

// A job log handle for a manager, as a host makes one.
struct TestLog {
  explicit TestLog(const char* tag = "AIOTEST") { InitOZlog(&handle, tag, "aio", 1); }
  _OzLogDef handle{};
};

}  // namespace aio_test
