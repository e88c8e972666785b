// The remote-file library's shared part: root folder parsing and the factory that picks the kind
// of store, the process-wide log callback and read-ahead limit, errors, counters and the
// recording of calls.

#include "platform/remote_file.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

#include "platform/folder_remote_file.h"
#include "platform/platform.h"
#include "platform/s3_remote_file.h"
#include "platform/string_format.h"

namespace {

constexpr int32_t kDefaultReadAheadLimit = 4;

std::atomic<OZRemoteLogCallback> g_logCallback{nullptr};

void ResetRemoteFiles();

// The state's reset joins platform::ResetAll the first time the library is used.
void RegisterResetOnce() {
  static std::once_flag once;
  std::call_once(once, [] { platform::RegisterReset(&ResetRemoteFiles); });
}

void ResetRemoteFiles() {
  {
    std::lock_guard<std::mutex> lock(platform::RemoteFilesMutex());
    platform::RemoteFiles() = platform::RemoteFileState();
  }
  g_logCallback.store(nullptr);
  OZBaseRemoteFile::m_giReadAheadThreadLimit = kDefaultReadAheadLimit;
  platform::s3::SetRequestHook(nullptr);
}

}  // namespace

namespace platform {

RemoteFileState& RemoteFiles() {
  RegisterResetOnce();
  static RemoteFileState* state = new RemoteFileState;
  return *state;
}

std::mutex& RemoteFilesMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace platform

int32_t OZBaseRemoteFile::m_giReadAheadThreadLimit = kDefaultReadAheadLimit;

int OZBaseRemoteFile::GetRootFolderForRemoteHost(const std::string& hostPath, std::string& rootFolder,
                                                 std::string& rest) {
  std::string root = hostPath;
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (platform::s3::IsEndpointText(hostPath)) {
    platform::s3::Endpoint endpoint;
    if (!platform::s3::ParseRoot(root, endpoint)) return 0;
  } else if (root.empty() || hostPath[0] != '/') {
    return 0;
  }
  rootFolder = root;
  rest.clear();
  return 1;
}

OZBaseRemoteFile* OZBaseRemoteFile::GetRemoteFileInstance(int deviceType, const std::string& user,
                                                          const std::string& password, const std::string& rootFolder,
                                                          long long value, int reserved) {
  (void)reserved;
  RegisterResetOnce();
  if (platform::s3::IsEndpointText(rootFolder)) {
    platform::s3::Endpoint endpoint;
    if (!platform::s3::ParseRoot(rootFolder, endpoint)) return nullptr;
    return new CS3RemoteFile(deviceType, rootFolder, endpoint, user, password, value);
  }
  struct stat st {};
  if (rootFolder.empty() || ::stat(rootFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  return new CFolderRemoteFile(deviceType, rootFolder, user, password, value);
}

void OZBaseRemoteFile::SetLogMessageCallbackFunc(OZRemoteLogCallback callback) {
  RegisterResetOnce();
  g_logCallback.store(callback);
}

OZBaseRemoteFile::OZBaseRemoteFile(int deviceType, const std::string& rootFolder, long long jobId)
    : m_iDeviceType(deviceType), m_strRootFolder(rootFolder), m_llJobId(jobId) {}

OZBaseRemoteFile::~OZBaseRemoteFile() = default;

int OZBaseRemoteFile::Fail(const CXoError& e) {
  m_LastError = e;
  return 0;
}

int OZBaseRemoteFile::Succeed() {
  m_LastError = CXoError::Success();
  return 1;
}

long long OZBaseRemoteFile::GetLastErrorCode() const { return MMS2BaseError::ConvertToMMError(m_LastError); }

std::string OZBaseRemoteFile::GetLastErrorString() const {
  return m_LastError.IsSuccess() ? std::string() : m_LastError.AsString();
}

int OZBaseRemoteFile::SetRetentionTime(long days) {
  Record("SetRetentionTime " + std::to_string(days));
  return 1;
}

int OZBaseRemoteFile::ResetCounters() {
  m_llUploadedBytes = 0;
  m_llDownloadedBytes = 0;
  return 1;
}

void OZBaseRemoteFile::LogMessage(int level, const char* format, ...) const {
  OZRemoteLogCallback callback = g_logCallback.load();
  if (callback == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string text = StringFormatV(format, args);
  va_end(args);
  callback(level, m_llJobId, text);
}

void OZBaseRemoteFile::Record(const std::string& call) const {
  std::lock_guard<std::mutex> lock(platform::RemoteFilesMutex());
  platform::RemoteFiles().calls.push_back(call);
}
