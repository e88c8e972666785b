#include "platform/s3_remote_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/config.h"
#include "platform/s3_read_ahead.h"
#include "platform/s3_request.h"

namespace {

const char kSection[] = "ZovadAdeve";
// A key that no writer uses: asking for it tells a missing bucket and bad credentials apart from
// a good endpoint without writing, listing or creating anything.
const char kProbeName[] = ".mfs-endpoint-probe";

long long Setting(const char* name, long long fallback) {
  OZPlatformInfo info;
  long long value = fallback;
  info.getNumber(kSection, name, &value);
  return value;
}

// The spool's folder: TMPDIR, else /var/tmp (a disk, where a large object fits better than in a
// memory folder).
std::string SpoolFolder() {
  const char* tmp = ::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/var/tmp";
}

}  // namespace

CS3RemoteFile::CS3RemoteFile(int deviceType, const std::string& rootFolder, const platform::s3::Endpoint& endpoint,
                             const std::string& accessKey, const std::string& secret, long long jobId)
    : OZBaseRemoteFile(deviceType, rootFolder, jobId),
      m_Endpoint(endpoint),
      m_pConnection(std::make_unique<platform::s3::Connection>()) {
  platform::s3::Connection& c = *m_pConnection;
  c.host = endpoint.host;
  c.bucket = endpoint.bucket;
  c.accessKey = accessKey;
  c.secret = secret;
  c.https = Setting("CloudS3UseHttps", 1) != 0;
  c.retries = static_cast<int>(std::clamp<long long>(Setting("CloudS3RequestRetries", 3), 0, 1000));
  c.retryIntervalMs = static_cast<int>(std::clamp<long long>(Setting("CloudS3RetryIntervalMs", 1000), 0, 3600000));
  c.log = [this](int level, const std::string& text) { LogMessage(level, "%s", text.c_str()); };
  m_bValid = platform::s3::LibraryReady();
}

CS3RemoteFile::~CS3RemoteFile() { Abandon(); }

int CS3RemoteFile::Refuse(const FXCodeLocation& where, int err, const char* what) {
  return Refuse(where, err, what, m_strOpenName);
}

int CS3RemoteFile::Refuse(const FXCodeLocation& where, int err, const char* what, const std::string& name) {
  return Fail(FXErrorUtil::ErrorErrNo(where, err, "Cannot %s: object [%s] of bucket [%s] at [%s]", what, name.c_str(),
                                      m_Endpoint.bucket.c_str(), m_Endpoint.host.c_str()));
}

void CS3RemoteFile::DropSpool() {
  if (m_iSpoolFd >= 0) ::close(m_iSpoolFd);
  m_iSpoolFd = -1;
}

void CS3RemoteFile::TakeReadAheadCounts() {
  if (m_pReadAhead) m_llDownloadedBytes += m_pReadAhead->TakeFetched();
}

void CS3RemoteFile::Abandon() {
  TakeReadAheadCounts();
  m_pReadAhead.reset();
  DropSpool();
  m_State = OpenState::kClosed;
  m_ullSize = 0;
  m_ullPosition = 0;
}

int CS3RemoteFile::OpenSpool() {
  const std::string folder = SpoolFolder();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string pattern = folder + "/mfs-s3-spool-XXXXXX";
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(pattern.c_str());
  }
  if (fd < 0) {
    return Fail(FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot make a spool file in [%s] for object [%s]",
                                        folder.c_str(), m_strOpenName.c_str()));
  }
  m_iSpoolFd = fd;
  return 1;
}

int CS3RemoteFile::Initialize() {
  if (!platform::s3::LibraryReady()) return Refuse(FX_LOCATION, EIO, "set up libs3 for");
  std::string key;
  if (int err = platform::s3::ObjectKey(m_strRootFolder, m_Endpoint, kProbeName, key)) {
    return Refuse(FX_LOCATION, err, "name the probe of the endpoint");
  }
  CXoError e = platform::s3::ProbeBucket(*m_pConnection, key);
  if (e.IsFailure()) {
    LogMessage(1, "%s", e.Message().c_str());
    return Fail(e);
  }
  return Succeed();
}

int CS3RemoteFile::OpenFile(const std::string& name, int mode, long long value) {
  (void)value;
  Record("OpenFile " + name + " " + std::to_string(mode));
  Abandon();
  m_strOpenName = name;
  const bool writesNew = (mode & (kRFModeWriteNew | kRFModeCreate)) != 0;
  if (!writesNew && (mode & kRFModeWrite) != 0) {
    return Refuse(FX_LOCATION, EOPNOTSUPP, "rewrite a stored object (objects are put whole)");
  }
  std::string key;
  if (int err = platform::s3::ObjectKey(m_strRootFolder, m_Endpoint, name, key)) {
    return Refuse(FX_LOCATION, err, "name the key of");
  }
  m_strKey = key;
  if (writesNew) {
    m_strObjectId.clear();
    if (OpenSpool() == 0) return 0;
    m_State = OpenState::kWriting;
    return Succeed();
  }
  uint64_t size = 0;
  CXoError e = platform::s3::HeadObject(*m_pConnection, m_strKey, size);
  if (e.IsFailure()) return Fail(e);
  m_ullSize = size;
  m_iOpenReadAhead = m_iReadAheadThreadLimit;
  m_State = OpenState::kReading;
  return Succeed();
}

int CS3RemoteFile::ReadFile(void* buffer, unsigned int length, unsigned int& done) {
  done = 0;
  if (m_State != OpenState::kReading) return Refuse(FX_LOCATION, EBADF, "read an object not open for reading");
  if (m_ullPosition >= m_ullSize || length == 0) return Succeed();
  const uint64_t want = std::min<uint64_t>(length, m_ullSize - m_ullPosition);
  uint64_t got = 0;
  CXoError e;
  if (m_iOpenReadAhead > 0) {
    if (!m_pReadAhead) {
      m_pReadAhead = std::make_unique<platform::s3::ReadAhead>(*m_pConnection, m_strKey, m_ullSize, m_iOpenReadAhead,
                                                               kReadAheadWindowBytes);
    }
    e = m_pReadAhead->Read(m_ullPosition, static_cast<char*>(buffer), want, got);
    TakeReadAheadCounts();
  } else {
    e = platform::s3::GetRange(*m_pConnection, m_strKey, m_ullPosition, want, static_cast<char*>(buffer), got);
    m_llDownloadedBytes += static_cast<long long>(got);
  }
  if (e.IsSuccess() && got != want) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "S3 GET of key [%s] gave [%llu] of the [%llu] bytes at [%llu]",
                                m_strKey.c_str(), static_cast<unsigned long long>(got),
                                static_cast<unsigned long long>(want), static_cast<unsigned long long>(m_ullPosition));
  }
  if (e.IsFailure()) return Fail(e);
  m_ullPosition += got;
  done = static_cast<unsigned int>(got);
  return Succeed();
}

int CS3RemoteFile::WriteFile(const void* buffer, unsigned int length) {
  if (m_State != OpenState::kWriting) return Refuse(FX_LOCATION, EBADF, "write an object not open for writing");
  if (length > kMaxObjectBytes || m_ullPosition > kMaxObjectBytes - length) {
    return Refuse(FX_LOCATION, EFBIG, "write past 5 GiB into (an object is put whole)");
  }
  const char* from = static_cast<const char*>(buffer);
  for (unsigned int put = 0; put < length;) {
    const ssize_t n = ::pwrite(m_iSpoolFd, from + put, length - put, static_cast<off_t>(m_ullPosition + put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Refuse(FX_LOCATION, n < 0 ? errno : EIO, "spool the bytes of");
    put += static_cast<unsigned int>(n);
  }
  m_ullPosition += length;
  m_ullSize = std::max(m_ullSize, m_ullPosition);
  return Succeed();
}

int CS3RemoteFile::SeekFile(long long offset) {
  if (m_State == OpenState::kClosed) return Refuse(FX_LOCATION, EBADF, "seek in an object not open");
  if (offset < 0) return Refuse(FX_LOCATION, EINVAL, "seek to a negative offset in");
  m_ullPosition = static_cast<uint64_t>(offset);
  return 1;
}

int CS3RemoteFile::CloseFile() {
  Record("CloseFile " + m_strOpenName);
  if (m_State != OpenState::kWriting) {
    Abandon();
    return Succeed();
  }
  const uint64_t size = m_ullSize;
  CXoError e = platform::s3::PutObject(*m_pConnection, m_strKey, m_iSpoolFd, size);
  Abandon();
  if (e.IsFailure()) return Fail(e);
  m_llUploadedBytes += static_cast<long long>(size);
  return Succeed();
}

int CS3RemoteFile::DeleteFile(const std::string& name) {
  return Refuse(FX_LOCATION, EOPNOTSUPP, "delete on an S3 endpoint", name);
}

int CS3RemoteFile::RenameFile(const std::string& from, const std::string&, int) {
  return Refuse(FX_LOCATION, EOPNOTSUPP, "rename on an S3 endpoint", from);
}

int CS3RemoteFile::FileExists(const std::string& name, bool& exists) {
  exists = false;
  return Refuse(FX_LOCATION, EOPNOTSUPP, "look up on an S3 endpoint", name);
}

int CS3RemoteFile::GetFileList(const std::string& folder, std::vector<OZRFInfo>&, std::vector<std::string>&, int,
                               int) {
  return Refuse(FX_LOCATION, EOPNOTSUPP, "list on an S3 endpoint", folder);
}

int CS3RemoteFile::GetFreeSpace(unsigned long long&, unsigned long long&) {
  return Fail(FXErrorUtil::ErrorErrNo(FX_LOCATION, EOPNOTSUPP, "An S3 endpoint [%s] does not report its free space",
                                      m_Endpoint.host.c_str()));
}
