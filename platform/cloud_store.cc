#include "platform/cloud_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/fault_injection.h"

using platform::FsOp;

namespace platform::objectstore {

namespace {

constexpr char kUploadPrefix[] = ".mfs-upload.";

}  // namespace

bool IsUploadName(const std::string& name) { return name.compare(0, sizeof(kUploadPrefix) - 1, kUploadPrefix) == 0; }

int Resolve(const std::string& root, const std::string& name, std::string& path) {
  if (name.empty()) return ENOENT;
  std::string top = root;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  std::string resolved;
  if (name[0] == '/') {
    const bool below = top.empty() || top == "/" ||
                       (name.compare(0, top.size(), top) == 0 && (name.size() == top.size() || name[top.size()] == '/'));
    if (!below) return ENOENT;
    resolved = name;
  } else {
    if (top.empty()) return ENOENT;
    resolved = path_append(top, name);
  }
  for (size_t at = 0; at != std::string::npos;) {
    const size_t end = resolved.find('/', at);
    const std::string part = resolved.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (part == "..") return ENOENT;
    at = end == std::string::npos ? end : end + 1;
  }
  if (IsUploadName(CXoPath::GetBaseName(resolved))) return ENOENT;
  path = resolved;
  return 0;
}

}  // namespace platform::objectstore

namespace {

using platform::objectstore::IsUploadName;
using platform::objectstore::Resolve;

inline platform::FaultInjector::Outcome Inject(FsOp op, const std::string& path) {
  if (!platform::Faults().Active()) return {};
  return platform::Faults().Check(op, path);
}

CXoError Refused(const FXCodeLocation& where, int err, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, err, "Cannot %s [%s] on the object store", what, path.c_str());
}

std::string RootOf(const CFSInitParams& params) { return params.m_Host.m_Path; }

// A fresh upload file beside the object: its descriptor, or -1 with errno.
int CreateUpload(const std::string& object, std::string& upload) {
  static std::atomic<unsigned long> sequence{0};
  upload = path_append(CXoPath::GetParent(object), std::string(".mfs-upload.") + CXoPath::GetBaseName(object) + "." +
                                                       std::to_string(getpid()) + "." + std::to_string(++sequence));
  return ::open(upload.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

// Copies every byte of `from` (from its start) to the end of `to`: 0 or errno.
int CopyBytes(int from, int to, unsigned long long* copied) {
  char buffer[1 << 16];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(from, buffer, sizeof(buffer), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    for (ssize_t put = 0; put < n;) {
      const ssize_t w = ::write(to, buffer + put, static_cast<size_t>(n - put));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return w < 0 ? errno : EIO;
      put += w;
    }
    at += n;
    if (copied != nullptr) *copied += static_cast<unsigned long long>(n);
  }
}

// Makes the bytes of `sourceFd` the object, whole: 0 or errno; the object is unchanged on failure.
int PublishCopy(int sourceFd, const std::string& object, unsigned long long* copied) {
  std::string upload;
  const int fd = CreateUpload(object, upload);
  if (fd < 0) return errno;
  int err = CopyBytes(sourceFd, fd, copied);
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(upload.c_str(), object.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(upload.c_str());
  return err;
}

bool IsRegularFile(const std::string& path, bool& exists) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    exists = false;
    return errno == ENOENT || errno == ENOTDIR;
  }
  exists = S_ISREG(st.st_mode);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CCloudFile

CCloudFile::~CCloudFile() { DropUpload(); }

void CCloudFile::DropUpload() {
  if (!m_writing) return;
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  ::unlink(m_upload.c_str());
  m_upload.clear();
  m_writing = false;
}

CXoError CCloudFile::Open(std::string path, int flags, int mode, int reserved) {
  (void)mode, (void)reserved;
  DropUpload();
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "open", path);
  m_path = object;
  auto o = Inject(FsOp::Open, object);
  if (o.err != 0) return Refused(FX_LOCATION, o.err, "open", object);

  flags &= ~kFSOpenLayerFlags;
  const bool writing = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
  if (!writing) {
    int fd;
    do {
      fd = ::open(object.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Refused(FX_LOCATION, errno, "open", object);
    m_fd = fd;
    return CXoError::Success();
  }

  bool exists = false;
  if (!IsRegularFile(object, exists)) return Refused(FX_LOCATION, errno, "open", object);
  if (!exists && (flags & O_CREAT) == 0) return Refused(FX_LOCATION, ENOENT, "open", object);
  if (exists && (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return Refused(FX_LOCATION, EEXIST, "open", object);
  const int fd = CreateUpload(object, m_upload);
  if (fd < 0) return Refused(FX_LOCATION, errno, "open", object);
  m_fd = fd;
  m_writing = true;
  if (exists && (flags & O_TRUNC) == 0) {
    const int stored = ::open(object.c_str(), O_RDONLY | O_CLOEXEC);
    int err = stored < 0 ? errno : CopyBytes(stored, fd, &m_ullDownloaded);
    if (stored >= 0) ::close(stored);
    if (err == 0 && (flags & O_APPEND) == 0 && ::lseek(fd, 0, SEEK_SET) < 0) err = errno;
    if (err != 0) {
      DropUpload();
      return Refused(FX_LOCATION, err, "open", object);
    }
  }
  return CXoError::Success();
}

CXoError CCloudFile::Close() {
  if (m_fd < 0) return CXoError::Success();
  if (!m_writing) return CPosixFile::Close();
  CXoError e = CPosixFile::Flush();
  CXoError closed = CPosixFile::Close();
  if (e.IsSuccess()) e = closed;
  if (e.IsSuccess()) {
    struct stat st {};
    if (::stat(m_upload.c_str(), &st) == 0) m_ullUploaded += static_cast<unsigned long long>(st.st_size);
    if (::rename(m_upload.c_str(), m_path.c_str()) != 0) e = Refused(FX_LOCATION, errno, "publish", m_path);
  }
  if (e.IsFailure()) ::unlink(m_upload.c_str());
  m_upload.clear();
  m_writing = false;
  return e;
}

CXoError CCloudFile::Read(void* buffer, unsigned int length, unsigned int* done) {
  unsigned int got = 0;
  CXoError e = CPosixFile::Read(buffer, length, &got);
  m_ullDownloaded += got;
  if (done != nullptr) *done = got;
  return e;
}

CXoError CCloudFile::ReadAhead(void* buffer, unsigned int length, unsigned int* done, void* ahead,
                              unsigned int aheadLength, unsigned int* aheadDone) {
  unsigned int got = 0, gotAhead = 0;
  CXoError e = CPosixFile::ReadAhead(buffer, length, &got, ahead, aheadLength, &gotAhead);
  m_ullDownloaded += got + gotAhead;
  if (done != nullptr) *done = got;
  if (aheadDone != nullptr) *aheadDone = gotAhead;
  return e;
}

CXoError CCloudFile::ReadAheadAt(uint64_t offset, void* buffer, unsigned int length, unsigned int* done, void* ahead,
                                unsigned int aheadLength, unsigned int* aheadDone) {
  unsigned int got = 0, gotAhead = 0;
  CXoError e = CPosixFile::ReadAheadAt(offset, buffer, length, &got, ahead, aheadLength, &gotAhead);
  m_ullDownloaded += got + gotAhead;
  if (done != nullptr) *done = got;
  if (aheadDone != nullptr) *aheadDone = gotAhead;
  return e;
}

CXoError CCloudFile::Flush() {
  CXoError e = CPosixFile::Flush();
  if (e.IsFailure() || !m_writing) return e;
  if (int err = PublishCopy(m_fd, m_path, &m_ullUploaded)) return Refused(FX_LOCATION, err, "publish", m_path);
  return CXoError::Success();
}

CXoError CCloudFile::LockFile(bool) { return Refused(FX_LOCATION, EOPNOTSUPP, "lock", m_path); }

CXoError CCloudFile::UnlockFile() { return Refused(FX_LOCATION, EOPNOTSUPP, "unlock", m_path); }

// Objects have no holes. The request still meets the injector and the trace, so tests count and
// see the holes asked of a cloud container as they do on disk.
CXoError CCloudFile::DrillHole(uint64_t offset, uint64_t length) {
  auto o = Inject(FsOp::DrillHole, m_path);
  if (platform::Faults().Tracing()) {
    platform::Faults().RecordTransfer(FsOp::DrillHole, m_path, static_cast<long long>(offset), length);
  }
  if (o.err != 0) return Refused(FX_LOCATION, o.err, "drill a hole in", m_path);
  return Refused(FX_LOCATION, EOPNOTSUPP, "drill a hole in", m_path);
}

CXoError CCloudFile::AttachFD(int, const char* name) {
  return Refused(FX_LOCATION, EOPNOTSUPP, "attach a descriptor for", name != nullptr ? name : "");
}

// ---------------------------------------------------------------------------------------------
// CCloudFS

CXoError CCloudFS::Exists(std::string path, bool& exists) {
  std::string object;
  if (Resolve(RootOf(m_Params), path, object) != 0) {
    exists = false;
    return CXoError::Success();
  }
  return CPosixFS::Exists(object, exists);
}

CXoError CCloudFS::RemoveFile(std::string path, unsigned int flags) {
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "remove", path);
  return CPosixFS::RemoveFile(object, flags);
}

CXoError CCloudFS::RemoveDirectory(std::string path, unsigned int flags) {
  std::string folder;
  if (int err = Resolve(RootOf(m_Params), path, folder)) return Refused(FX_LOCATION, err, "remove the folder", path);
  return CPosixFS::RemoveDirectory(folder, flags);
}

CXoError CCloudFS::CreateDirectory(std::string path, bool recursive) {
  std::string folder;
  if (int err = Resolve(RootOf(m_Params), path, folder)) return Refused(FX_LOCATION, err, "create the folder", path);
  return CPosixFS::CreateDirectory(folder, recursive);
}

CXoError CCloudFS::Rename(std::string from, std::string to, int method) {
  (void)method;
  std::string source, target;
  if (int err = Resolve(RootOf(m_Params), from, source)) return Refused(FX_LOCATION, err, "rename", from);
  if (int err = Resolve(RootOf(m_Params), to, target)) return Refused(FX_LOCATION, err, "rename to", to);
  auto o = Inject(FsOp::Rename, source);
  if (o.err != 0) return Refused(FX_LOCATION, o.err, "rename", source);
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Refused(FX_LOCATION, errno, "rename", source);
  const int err = PublishCopy(fd, target, nullptr);
  ::close(fd);
  if (err != 0) return Refused(FX_LOCATION, err, "copy for a rename", source);
  return CPosixFS::RemoveFile(source, 0);
}

// Objects carry no mode: a mode change of an existing object succeeds and changes nothing; one of
// a missing object fails as the missing object.
CXoError CCloudFS::Chmod(std::string path, int) {
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "change the mode of", path);
  auto o = Inject(FsOp::Chmod, object);
  if (o.err != 0) return Refused(FX_LOCATION, o.err, "change the mode of", path);
  struct stat st {};
  if (::stat(object.c_str(), &st) != 0) return Refused(FX_LOCATION, errno, "change the mode of", path);
  return CXoError::Success();
}

CXoError CCloudFS::GetFreeSpace(std::string path, unsigned long long& totalBytes, unsigned long long& freeBytes) {
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "get the free space of", path);
  return CPosixFS::GetFreeSpace(object, totalBytes, freeBytes);
}

CXoError CCloudFS::GetPathInfo(std::string path, FSPathInfo& info) {
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "reach", path);
  return CPosixFS::GetPathInfo(object, info);
}

CXoError CCloudFS::GetFileAttributes(std::string path, unsigned long long& size) {
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "get the attributes of", path);
  return CPosixFS::GetFileAttributes(object, size);
}

CXoError CCloudFS::Stat(std::string path, FSPathInfo& info) {
  std::string object;
  if (int err = Resolve(RootOf(m_Params), path, object)) return Refused(FX_LOCATION, err, "stat", path);
  return CPosixFS::Stat(object, info);
}

namespace {

struct HidingWalk {
  FSWalkCallback callback;
  void* context;
};

int SkipUploads(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  if (IsUploadName(name)) return 0;
  auto* walk = static_cast<HidingWalk*>(context);
  return walk->callback(folder, name, isFolder, walk->context);
}

}  // namespace

CXoError CCloudFS::WalkDirectory(std::string path, void* context, int depth, bool filesOnly, FSWalkCallback callback) {
  std::string folder;
  if (int err = Resolve(RootOf(m_Params), path, folder)) return Refused(FX_LOCATION, err, "walk", path);
  if (callback == nullptr) return CPosixFS::WalkDirectory(folder, context, depth, filesOnly, callback);
  HidingWalk walk{callback, context};
  return CPosixFS::WalkDirectory(folder, &walk, depth, filesOnly, &SkipUploads);
}

CXoError CCloudFS::GetDirContents(std::string path, std::vector<FSDirEntry>& entries) {
  std::string folder;
  if (int err = Resolve(RootOf(m_Params), path, folder)) return Refused(FX_LOCATION, err, "list", path);
  std::vector<FSDirEntry> found;
  CXoError e = CPosixFS::GetDirContents(folder, found);
  if (e.IsFailure()) return e;
  entries.clear();
  for (FSDirEntry& entry : found) {
    if (!IsUploadName(entry.name)) entries.push_back(std::move(entry));
  }
  return CXoError::Success();
}
