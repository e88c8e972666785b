#include "platform/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>

#include "platform/fault_injection.h"
#include "platform/power_loss.h"
#include "platform/remote_storage.h"

using platform::FsOp;
using platform::PowerLossCall;

namespace {

// The fast path of every call: one relaxed load when no test has set anything.
inline platform::FaultInjector::Outcome Inject(FsOp op, const std::string& path) {
  if (platform::detail::g_faultFlags.load(std::memory_order_relaxed) == 0) return {};
  return platform::Faults().Check(op, path);
}

// Calls without a fault check of their own fail too once the power is off.
inline bool PowerIsOff() {
  return (platform::detail::g_faultFlags.load(std::memory_order_relaxed) & platform::detail::kFaultFlagPowerLoss) != 0 &&
         platform::Faults().PowerIsOff();
}

// Tests that trace transfers see where each read or write starts.
inline void Trace(FsOp op, int fd, const std::string& path, unsigned int length) {
  if (!platform::Faults().Tracing()) return;
  platform::Faults().RecordTransfer(op, path, static_cast<long long>(::lseek(fd, 0, SEEK_CUR)), length);
}

CXoError NotOpen(const FXCodeLocation& where, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, EBADF, "Cannot %s [%s]: the file is not open", what, path.c_str());
}

CXoError Failed(const FXCodeLocation& where, int err, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, err, "Cannot %s [%s]", what, path.c_str());
}

CXoError SetOfdLock(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return CXoError(kFacilityErrNo, static_cast<uint32_t>(errno), std::string());
  return CXoError::Success();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CPosixFile

CPosixFile::~CPosixFile() {
  if (m_fd >= 0) close(m_fd);
}

// A second Open on the same object closes the first file: callers reopen without a Close.
CXoError CPosixFile::Open(std::string path, int flags, int mode, int reserved) {
  (void)reserved;
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
  m_path = std::move(path);
  if (m_path.empty()) return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "Cannot open a file without a name");
  auto o = Inject(FsOp::Open, m_path);
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "open", m_path);
  int systemFlags = (flags & ~kFSOpenLayerFlags) | O_CLOEXEC;
  if (int err = power.BeforeOpen(m_path, systemFlags)) return Failed(FX_LOCATION, err, "open", m_path);
  int fd;
  do {
    fd = ::open(m_path.c_str(), systemFlags, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failed(FX_LOCATION, errno, "open", m_path);
  if (int err = power.AfterOpen(fd)) {
    ::close(fd);
    return Failed(FX_LOCATION, err, "open", m_path);
  }
  m_fd = fd;
  return CXoError::Success();
}

CXoError CPosixFile::Close() {
  if (m_fd < 0) return CXoError::Success();
  auto o = Inject(FsOp::Close, m_path);
  int rc = ::close(m_fd);  // the descriptor is gone whatever close reports
  int err = errno;
  m_fd = -1;
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "close", m_path);
  if (rc != 0) return Failed(FX_LOCATION, err, "close", m_path);
  return CXoError::Success();
}

CXoError CPosixFile::Read(void* buffer, unsigned int length, unsigned int* done) {
  if (done != nullptr) *done = 0;
  if (m_fd < 0) return NotOpen(FX_LOCATION, "read from", m_path);
  if (buffer == nullptr && length > 0) return Failed(FX_LOCATION, EINVAL, "read into no buffer from", m_path);
  auto o = Inject(FsOp::Read, m_path);
  Trace(FsOp::Read, m_fd, m_path, length);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "read from", m_path);
  size_t want = length;
  if (o.shortBytes >= 0 && static_cast<unsigned long long>(o.shortBytes) < want) want = static_cast<size_t>(o.shortBytes);
  return ReadAll(buffer, want, done);
}

// Reads until `want` bytes are in or the file ends: the only short count.
CXoError CPosixFile::ReadAll(void* buffer, size_t want, unsigned int* done) {
  auto* p = static_cast<char*>(buffer);
  size_t got = 0;
  while (got < want) {
    ssize_t n = ::read(m_fd, p + got, want - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      if (done != nullptr) *done = static_cast<unsigned int>(got);
      return Failed(FX_LOCATION, err, "read from", m_path);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (done != nullptr) *done = static_cast<unsigned int>(got);
  return CXoError::Success();
}

CXoError CPosixFile::ReadAhead(void* buffer, unsigned int length, unsigned int* done, void* ahead,
                               unsigned int aheadLength, unsigned int* aheadDone) {
  if (done != nullptr) *done = 0;
  if (aheadDone != nullptr) *aheadDone = 0;
  if (m_fd < 0) return NotOpen(FX_LOCATION, "read from", m_path);
  if (buffer == nullptr && length > 0) return Failed(FX_LOCATION, EINVAL, "read into no buffer from", m_path);
  auto o = Inject(FsOp::Read, m_path);
  if (o.err != 0) {
    Trace(FsOp::Read, m_fd, m_path, length);
    return Failed(FX_LOCATION, o.err, "read from", m_path);
  }
  // A shortened transfer reads no ahead.
  if (o.shortBytes >= 0 || ahead == nullptr || aheadLength == 0) {
    Trace(FsOp::Read, m_fd, m_path, length);
    size_t want = length;
    if (o.shortBytes >= 0 && static_cast<unsigned long long>(o.shortBytes) < want) want = static_cast<size_t>(o.shortBytes);
    return ReadAll(buffer, want, done);
  }
  Trace(FsOp::Read, m_fd, m_path, length + aheadLength);
  iovec parts[2] = {{buffer, length}, {ahead, aheadLength}};
  size_t got = 0;
  for (;;) {
    ssize_t n = ::readv(m_fd, parts, 2);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      if (done != nullptr) *done = static_cast<unsigned int>(std::min<size_t>(got, length));
      return Failed(FX_LOCATION, err, "read from", m_path);
    }
    got += static_cast<size_t>(n);
    if (n == 0 || got >= length) break;  // the first buffer is full, or the file has ended
    parts[0].iov_base = static_cast<char*>(buffer) + got;
    parts[0].iov_len = length - got;
  }
  const size_t first = std::min<size_t>(got, length);
  if (done != nullptr) *done = static_cast<unsigned int>(first);
  if (aheadDone != nullptr) *aheadDone = static_cast<unsigned int>(got - first);
  return CXoError::Success();
}

CXoError CPosixFile::ReadAheadAt(uint64_t offset, void* buffer, unsigned int length, unsigned int* done, void* ahead,
                                 unsigned int aheadLength, unsigned int* aheadDone) {
  if (done != nullptr) *done = 0;
  if (aheadDone != nullptr) *aheadDone = 0;
  if (m_fd < 0) return NotOpen(FX_LOCATION, "read from", m_path);
  if (buffer == nullptr && length > 0) return Failed(FX_LOCATION, EINVAL, "read into no buffer from", m_path);
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Failed(FX_LOCATION, EINVAL, "read past the end of", m_path);
  auto o = Inject(FsOp::Read, m_path);
  const bool withAhead = o.shortBytes < 0 && ahead != nullptr && aheadLength > 0;  // a shortened read reads no ahead
  size_t want = length;
  if (o.shortBytes >= 0 && static_cast<unsigned long long>(o.shortBytes) < want) want = static_cast<size_t>(o.shortBytes);
  if (platform::Faults().Tracing()) {
    platform::Faults().RecordTransfer(FsOp::Read, m_path, static_cast<long long>(offset),
                                      want + (withAhead ? aheadLength : 0));
  }
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "read from", m_path);
  iovec parts[2] = {{buffer, want}, {ahead, withAhead ? aheadLength : 0}};
  const size_t total = want + parts[1].iov_len;
  size_t got = 0;
  // Until the first buffer is full or the file ends: the only short count.
  while (got < want) {
    ssize_t n = ::preadv(m_fd, parts, parts[1].iov_len > 0 ? 2 : 1, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      if (done != nullptr) *done = static_cast<unsigned int>(std::min(got, want));
      return Failed(FX_LOCATION, err, "read from", m_path);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got >= want) break;
    parts[0].iov_base = static_cast<char*>(buffer) + got;
    parts[0].iov_len = want - got;
  }
  const size_t first = std::min(got, want);
  if (done != nullptr) *done = static_cast<unsigned int>(first);
  if (aheadDone != nullptr) *aheadDone = static_cast<unsigned int>(std::min(got, total) - first);
  return CXoError::Success();
}

bool CPosixFile::StillNamedBy(const std::string& path) {
  struct stat open {}, named {};
  if (m_fd < 0 || ::fstat(m_fd, &open) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

CXoError CPosixFile::Write(const void* buffer, unsigned int length, unsigned int* done) {
  if (done != nullptr) *done = 0;
  if (m_fd < 0) return NotOpen(FX_LOCATION, "write to", m_path);
  if (buffer == nullptr && length > 0) return Failed(FX_LOCATION, EINVAL, "write from no buffer to", m_path);
  auto o = Inject(FsOp::Write, m_path);
  PowerLossCall power(o);
  Trace(FsOp::Write, m_fd, m_path, length);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "write to", m_path);
  size_t want = length;
  if (o.shortBytes >= 0 && static_cast<unsigned long long>(o.shortBytes) < want) want = static_cast<size_t>(o.shortBytes);
  if (int err = power.BeforeWrite(m_fd, want)) return Failed(FX_LOCATION, err, "write to", m_path);
  const auto* p = static_cast<const char*>(buffer);
  size_t put = 0;
  while (put < want) {
    ssize_t n = ::write(m_fd, p + put, want - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      if (done != nullptr) *done = static_cast<unsigned int>(put);
      return Failed(FX_LOCATION, err, "write to", m_path);
    }
    put += static_cast<size_t>(n);
  }
  if (done != nullptr) *done = static_cast<unsigned int>(put);
  return CXoError::Success();
}

CXoError CPosixFile::Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "seek in", m_path);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    return Failed(FX_LOCATION, EINVAL, "seek with an unknown origin in", m_path);
  }
  auto o = Inject(FsOp::Seek, m_path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "seek in", m_path);
  off_t at = ::lseek(m_fd, static_cast<off_t>(offset), whence);
  if (at < 0) return Failed(FX_LOCATION, errno, "seek in", m_path);
  if (position != nullptr) *position = at;
  return CXoError::Success();
}

CXoError CPosixFile::Tell(CXoFile::offset& position) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "tell the position in", m_path);
  if (PowerIsOff()) return Failed(FX_LOCATION, EIO, "tell the position in", m_path);
  off_t at = ::lseek(m_fd, 0, SEEK_CUR);
  if (at < 0) return Failed(FX_LOCATION, errno, "tell the position in", m_path);
  position = at;
  return CXoError::Success();
}

CXoError CPosixFile::Size(unsigned long long& size) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "get the size of", m_path);
  auto o = Inject(FsOp::Size, m_path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "get the size of", m_path);
  struct stat st {};
  if (fstat(m_fd, &st) != 0) return Failed(FX_LOCATION, errno, "get the size of", m_path);
  size = static_cast<unsigned long long>(st.st_size);
  return CXoError::Success();
}

CXoError CPosixFile::Truncate(CXoFile::offset size) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "truncate", m_path);
  if (size < 0) return Failed(FX_LOCATION, EINVAL, "truncate to a negative size", m_path);
  auto o = Inject(FsOp::Truncate, m_path);
  if (platform::Faults().Tracing()) platform::Faults().RecordTransfer(FsOp::Truncate, m_path, size, 0);
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "truncate", m_path);
  if (int err = power.BeforeResize(m_fd, static_cast<uint64_t>(size))) return Failed(FX_LOCATION, err, "truncate", m_path);
  int rc;
  do {
    rc = ::ftruncate(m_fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Failed(FX_LOCATION, errno, "truncate", m_path);
  return CXoError::Success();
}

// Disk storage keeps no checksums of its own.
CXoError CPosixFile::GetChkSum(std::string path, int kind, char* sum, int* length) {
  (void)kind, (void)sum, (void)length;
  return Failed(FX_LOCATION, EOPNOTSUPP, "get a stored checksum of", path);
}

CXoError CPosixFile::Flush() {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "flush", m_path);
  auto o = Inject(FsOp::Flush, m_path);
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "flush", m_path);
  // A folder opened with O_DIRECTORY is flushed the same way: its names become durable.
  if (!power.Modelled() && ::fsync(m_fd) != 0) return Failed(FX_LOCATION, errno, "flush", m_path);
  power.Flushed(m_fd);
  return CXoError::Success();
}

// A whole-file lock of the open file: readers share it, a writer has it alone; never waits.
CXoError CPosixFile::LockFile(bool shared) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "lock", m_path);
  auto o = Inject(FsOp::Lock, m_path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "lock", m_path);
  CXoError e = SetOfdLock(m_fd, shared ? F_RDLCK : F_WRLCK);
  if (e.IsFailure()) return Failed(FX_LOCATION, static_cast<int>(e.Value()), "lock", m_path);
  return CXoError::Success();
}

CXoError CPosixFile::UnlockFile() {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "unlock", m_path);
  auto o = Inject(FsOp::Lock, m_path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "unlock", m_path);
  CXoError e = SetOfdLock(m_fd, F_UNLCK);
  if (e.IsFailure()) return Failed(FX_LOCATION, static_cast<int>(e.Value()), "unlock", m_path);
  return CXoError::Success();
}

CXoError CPosixFile::DrillHole(uint64_t offset, uint64_t length) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "drill a hole in", m_path);
  if (length == 0) return CXoError::Success();
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (offset > kMax || length > kMax - offset) return Failed(FX_LOCATION, EINVAL, "drill a hole past the end of", m_path);
  auto o = Inject(FsOp::DrillHole, m_path);
  if (platform::Faults().Tracing()) {
    platform::Faults().RecordTransfer(FsOp::DrillHole, m_path, static_cast<long long>(offset), length);
  }
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "drill a hole in", m_path);
  if (int err = power.BeforeHole(m_fd, offset, length)) return Failed(FX_LOCATION, err, "drill a hole in", m_path);
  int rc;
  do {
    rc = ::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Failed(FX_LOCATION, errno, "drill a hole in", m_path);
  return CXoError::Success();
}

CXoError CPosixFile::AttachFD(int fd, const char* name) {
  if (fd < 0) return Failed(FX_LOCATION, EBADF, "attach a descriptor for", name ? name : "");
  if (m_fd >= 0 && m_fd != fd) close(m_fd);
  m_fd = fd;
  m_path = name ? name : "";
  return CXoError::Success();
}

CXoError CPosixFile::SetReadAheadCaching(bool enable) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "set the read-ahead of", m_path);
  if (PowerIsOff()) return Failed(FX_LOCATION, EIO, "set the read-ahead of", m_path);
  int rc = posix_fadvise(m_fd, 0, 0, enable ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
  if (rc != 0) return Failed(FX_LOCATION, rc, "set the read-ahead of", m_path);
  return CXoError::Success();
}

// ---------------------------------------------------------------------------------------------
// CDataServerFile: the data server's own lock, recorded, and exclusive within the process.

namespace {

struct DataServerHolds {
  const void* writer = nullptr;
  std::set<const void*> readers;
};

std::mutex& DataServerMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::map<std::string, DataServerHolds>& DataServerLocks() {
  static auto* locks = new std::map<std::string, DataServerHolds>;
  return *locks;
}

}  // namespace

CDataServerFile::~CDataServerFile() { ReleaseDataServerLock(); }

CXoError CDataServerFile::Open(std::string path, int flags, int mode, int reserved) {
  ReleaseDataServerLock();
  return CPosixFile::Open(std::move(path), flags, mode, reserved);
}

CXoError CDataServerFile::Close() {
  ReleaseDataServerLock();
  return CPosixFile::Close();
}

void CDataServerFile::ReleaseDataServerLock() {
  if (m_lockedPath.empty()) return;
  std::lock_guard<std::mutex> lock(DataServerMutex());
  auto& locks = DataServerLocks();
  auto it = locks.find(m_lockedPath);
  if (it != locks.end()) {
    if (it->second.writer == this) it->second.writer = nullptr;
    it->second.readers.erase(this);
    if (it->second.writer == nullptr && it->second.readers.empty()) locks.erase(it);
  }
  m_lockedPath.clear();
}

CXoError CDataServerFile::LockFile(bool shared) {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "lock", m_path);
  platform::RecordRemoteCall("DSLock " + m_path + (shared ? " shared" : " exclusive"));
  auto o = Inject(FsOp::Lock, m_path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "lock", m_path);
  ReleaseDataServerLock();
  std::lock_guard<std::mutex> lock(DataServerMutex());
  DataServerHolds& holds = DataServerLocks()[m_path];
  bool free = holds.writer == nullptr && (shared || holds.readers.empty());
  if (!free) {
    if (holds.writer == nullptr && holds.readers.empty()) DataServerLocks().erase(m_path);
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, EAGAIN, "The data server lock of [%s] is held", m_path.c_str());
  }
  if (shared) {
    holds.readers.insert(this);
  } else {
    holds.writer = this;
  }
  m_lockedPath = m_path;
  return CXoError::Success();
}

CXoError CDataServerFile::UnlockFile() {
  if (m_fd < 0) return NotOpen(FX_LOCATION, "unlock", m_path);
  platform::RecordRemoteCall("DSUnlock " + m_path);
  auto o = Inject(FsOp::Lock, m_path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "unlock", m_path);
  ReleaseDataServerLock();
  return CXoError::Success();
}

// ---------------------------------------------------------------------------------------------
// CPosixFS

CXoError CPosixFS::Exists(std::string path, bool& exists) {
  auto o = Inject(FsOp::Stat, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "test", path);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    exists = true;
    return CXoError::Success();
  }
  if (errno == ENOENT || errno == ENOTDIR) {
    exists = false;
    return CXoError::Success();
  }
  return Failed(FX_LOCATION, errno, "test", path);
}

// The flags choose behaviours of other storage kinds; a disk file is simply unlinked.
CXoError CPosixFS::RemoveFile(std::string path, unsigned int flags) {
  (void)flags;
  auto o = Inject(FsOp::Remove, path);
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "remove", path);
  if (int err = power.BeforeRemove(path)) return Failed(FX_LOCATION, err, "remove", path);
  if (::unlink(path.c_str()) != 0) return Failed(FX_LOCATION, errno, "remove", path);
  power.Committed();
  return CXoError::Success();
}

// Only an empty folder is removed.
CXoError CPosixFS::RemoveDirectory(std::string path, unsigned int flags) {
  (void)flags;
  auto o = Inject(FsOp::Remove, path);
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "remove the folder", path);
  if (int err = power.BeforeRemoveFolder(path)) return Failed(FX_LOCATION, err, "remove the folder", path);
  if (::rmdir(path.c_str()) != 0) return Failed(FX_LOCATION, errno, "remove the folder", path);
  power.Committed();
  return CXoError::Success();
}

namespace {

int MakeFolder(const std::string& path, PowerLossCall& power) {
  if (int err = power.BeforeCreateFolder(path)) return err;
  if (::mkdir(path.c_str(), 0777) == 0) {
    power.Committed();
    return 0;
  }
  int err = errno;
  struct stat st {};
  if (err == EEXIST) return (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : ENOTDIR;
  return err;
}

}  // namespace

CXoError CPosixFS::CreateDirectory(std::string path, bool recursive) {
  auto o = Inject(FsOp::CreateDirectory, path);
  PowerLossCall power(o);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "create the folder", path);
  if (path.empty()) return Failed(FX_LOCATION, ENOENT, "create the folder", path);
  if (recursive) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (path[slash - 1] == '/') continue;
      int err = MakeFolder(path.substr(0, slash), power);
      if (err != 0) return Failed(FX_LOCATION, err, "create the folder", path.substr(0, slash));
    }
  }
  int err = MakeFolder(path, power);
  if (err != 0) return Failed(FX_LOCATION, err, "create the folder", path);
  return CXoError::Success();
}

// Matched and counted by the fault injector on the source path.
CXoError CPosixFS::Rename(std::string from, std::string to, int method) {
  (void)method;
  auto o = Inject(FsOp::Rename, from);
  PowerLossCall power(o);
  if (o.err == 0) o.err = power.BeforeRename(from, to);
  if (o.err != 0) return FXErrorUtil::ErrorErrNo(FX_LOCATION, o.err, "Cannot rename [%s] to [%s]", from.c_str(), to.c_str());
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot rename [%s] to [%s]", from.c_str(), to.c_str());
  }
  power.Committed();
  return CXoError::Success();
}

CXoError CPosixFS::Chmod(std::string path, int mode) {
  auto o = Inject(FsOp::Chmod, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "change the mode of", path);
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) return Failed(FX_LOCATION, errno, "change the mode of", path);
  return CXoError::Success();
}

CXoError CPosixFS::GetFreeSpace(std::string path, unsigned long long& totalBytes, unsigned long long& freeBytes) {
  auto o = Inject(FsOp::FreeSpace, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "get the free space of", path);
  unsigned long long setFree = 0, setTotal = 0;
  bool overridden = platform::detail::g_faultFlags.load(std::memory_order_relaxed) != 0 &&
                    platform::Faults().FreeSpaceFor(path, setFree, setTotal);
  struct statvfs vfs {};
  bool real = ::statvfs(path.c_str(), &vfs) == 0;
  if (overridden) {
    freeBytes = setFree;
    totalBytes = setTotal != 0 ? setTotal : (real ? static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize : setFree);
    return CXoError::Success();
  }
  if (!real) return Failed(FX_LOCATION, errno, "get the free space of", path);
  totalBytes = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
  freeBytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  return CXoError::Success();
}

namespace {

void FillInfo(const struct stat& st, FSPathInfo& info) {
  info.exists = true;
  info.isFolder = S_ISDIR(st.st_mode);
  info.size = static_cast<unsigned long long>(st.st_size);
  info.allocatedBytes = static_cast<unsigned long long>(st.st_blocks) * 512;
  info.modifyTime = static_cast<long long>(st.st_mtime);
  info.mode = st.st_mode;
}

}  // namespace

CXoError CPosixFS::GetPathInfo(std::string path, FSPathInfo& info) {
  auto o = Inject(FsOp::Stat, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "reach", path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Failed(FX_LOCATION, errno, "reach", path);
  FillInfo(st, info);
  return CXoError::Success();
}

CXoError CPosixFS::GetFileAttributes(std::string path, unsigned long long& size) {
  auto o = Inject(FsOp::Stat, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "get the attributes of", path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Failed(FX_LOCATION, errno, "get the attributes of", path);
  size = static_cast<unsigned long long>(st.st_size);
  return CXoError::Success();
}

// The status of the path itself: a symbolic link is not followed.
CXoError CPosixFS::Stat(std::string path, FSPathInfo& info) {
  auto o = Inject(FsOp::Stat, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "stat", path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Failed(FX_LOCATION, errno, "stat", path);
  FillInfo(st, info);
  return CXoError::Success();
}

CXoError CPosixFS::WalkDirectory(std::string path, void* context, int depth, bool filesOnly,
                                 FSWalkCallback callback) {
  if (callback == nullptr) return Failed(FX_LOCATION, EINVAL, "walk without a callback", path);
  auto o = Inject(FsOp::Stat, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "walk", path);
  int stoppedBy = 0;
  int rc = CXoDirectory::Walk(path, depth, [&](const std::string& folder, const std::string& name, bool isFolder) {
    if (filesOnly && isFolder) return 0;
    int r = callback(folder, name, isFolder, context);
    if (r < 0) stoppedBy = r;
    return r;
  });
  if (rc == 0) return CXoError::Success();
  if (stoppedBy != 0 && rc == stoppedBy) return CXoError::FromCode(rc);
  return Failed(FX_LOCATION, -rc, "walk", path);
}

CXoError CPosixFS::GetDirContents(std::string path, std::vector<FSDirEntry>& entries) {
  auto o = Inject(FsOp::Stat, path);
  if (o.err != 0) return Failed(FX_LOCATION, o.err, "list", path);
  CXoDirectory dir;
  CXoError e = dir.Open(path);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  std::vector<FSDirEntry> found;
  CXoDirectory::Entry entry;
  for (bool atEnd = false;;) {
    e = dir.GetEntry(entry, atEnd);
    if (e.IsFailure()) return e.Push(FX_LOCATION);
    if (atEnd) break;
    FSDirEntry d;
    d.name = entry.name;
    d.isFolder = entry.isDirectory;
    struct stat st {};
    if (!d.isFolder && ::stat(path_append(path, entry.name).c_str(), &st) == 0) d.size = static_cast<unsigned long long>(st.st_size);
    found.push_back(std::move(d));
  }
  std::sort(found.begin(), found.end(), [](const FSDirEntry& a, const FSDirEntry& b) { return a.name < b.name; });
  entries = std::move(found);
  return CXoError::Success();
}
