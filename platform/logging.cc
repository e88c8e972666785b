#include "platform/logging.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/config.h"
#include "platform/job_manager.h"
#include "platform/string_format.h"

namespace platform {

namespace {

struct LogState {
  std::mutex mutex;
  std::vector<LogLine> lines;
  size_t limit = 0;
  std::string filePath;
  FILE* file = nullptr;
  bool fileChecked = false;  // the environment's log file was looked for
  std::string debugLogDir;   // folder of the files of logs with an id
  std::function<void(const LogLine&)> lineHook;
};

LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

// Drops the oldest lines past the limit; done in batches so a long run stays linear.
void Trim(LogState& s, bool exact) {
  if (s.limit == 0 || s.lines.size() <= s.limit) return;
  if (!exact && s.lines.size() < 2 * s.limit) return;
  s.lines.erase(s.lines.begin(), s.lines.begin() + static_cast<std::ptrdiff_t>(s.lines.size() - s.limit));
}

void OpenFileLocked(LogState& s, const std::string& path) {
  if (s.file != nullptr) std::fclose(s.file);
  s.file = nullptr;
  s.filePath = path;
  if (!path.empty()) s.file = std::fopen(path.c_str(), "a");
}

void WriteFileLocked(LogState& s, const LogLine& line) {
  if (!s.fileChecked) {
    s.fileChecked = true;
    const char* env = std::getenv("MFS_LOG_FILE");
    if (s.file == nullptr && env != nullptr && *env != '\0') OpenFileLocked(s, env);
  }
  if (s.file == nullptr) return;
  time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%m/%d %H:%M:%S", &local);
  std::fprintf(s.file, "%d %ld %s %s %d %s\n", static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)),
               stamp, line.source.empty() ? "-" : line.source.c_str(), line.level, line.text.c_str());
  std::fflush(s.file);
}

}  // namespace

void Capture(const std::string& source, int level, std::string text) {
  LogState& s = State();
  std::function<void(const LogLine&)> hook;
  LogLine line{source, level, std::move(text)};
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lines.push_back(line);
    WriteFileLocked(s, s.lines.back());
    Trim(s, false);
    hook = s.lineHook;
  }
  if (hook) hook(line);
}

void SetLogLineHook(std::function<void(const LogLine&)> hook) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lineHook = std::move(hook);
}

const std::vector<LogLine>& Logs() {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  Trim(s, true);
  return s.lines;
}

bool LogContains(const std::string& text) { return LogCount(text) > 0; }

size_t LogCount(const std::string& text, int level) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  Trim(s, true);
  size_t n = 0;
  for (const LogLine& line : s.lines) {
    if ((level == 0 || line.level == level) && line.text.find(text) != std::string::npos) ++n;
  }
  return n;
}

void SetLogFile(const std::string& path) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fileChecked = true;
  OpenFileLocked(s, path);
}

void ResetLogFile() {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  OpenFileLocked(s, std::string());
  s.fileChecked = false;  // the next line looks for MFS_LOG_FILE again
}

void SetLogCaptureLimit(size_t lines) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.limit = lines;
  Trim(s, true);
}

void ResetLogs() {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lines.clear();
  s.debugLogDir.clear();
  s.lineHook = nullptr;
}

void SetDebugLogDirectory(const std::string& dir) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.debugLogDir = dir;
}

std::string DebugLogPath(unsigned int id) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.debugLogDir.empty()) return std::string();
  return s.debugLogDir + StringFormat("/evdebug_%08x.log", id);
}

}  // namespace platform

namespace {


void CopyTerminated(char* dst, size_t size, const char* src) {
  if (src == nullptr) src = "";
  std::strncpy(dst, src, size - 1);
  dst[size - 1] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Job log

void InitOZlog(OZLOG_HANDLE* handle, const char* tag, const char* name, int pid) {
  if (handle == nullptr) return;
  CopyTerminated(handle->tag, sizeof(handle->tag), tag);
  CopyTerminated(handle->name, sizeof(handle->name), name);
  handle->pid = pid;
  handle->jobId = 0;
  handle->initialized = 1;
}

void OZlogSetJobContext(OZLOG_HANDLE* handle, const _JobContext* context) {
  if (handle == nullptr || context == nullptr) return;
  handle->jobId = context->jobId;
}

void OZlog(OZLOG_HANDLE* handle, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  std::string source = (handle != nullptr && handle->initialized == 1) ? std::string(handle->tag) : std::string();
  platform::Capture(source, level, std::move(text));
}

// ---------------------------------------------------------------------------------------------
// EvDebug

void EvDebug::initialize(const std::string& instance, int maxVersions) {
  (void)maxVersions;
  m_instance = instance;
}

void EvDebug::debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  platform::Capture(m_instance, 1, std::move(text));
}

void EvDebug::debugLvl(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  platform::Capture(m_instance, level, std::move(text));
}

void EvDebug::debugLvl(int level, long long jobId, const char* format, ...) {
  (void)jobId;
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  platform::Capture(m_instance, level, std::move(text));
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  platform::Capture(m_instance, level, std::string(tag ? tag : "") + ": " + text);
}

void EvDebug::DebugLvl(const char* tag, int level, unsigned long long id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  platform::Capture(m_instance, level, StringFormat("%s: [%llu] ", tag ? tag : "", id) + text);
}

int EvDebug::initialize(EvDebugFileInstance* file, unsigned int id, int reserved, bool shared, const char* name) {
  (void)reserved, (void)shared;
  m_instance = (name != nullptr && *name != '\0') ? std::string(name) : StringFormat("%08x", id);
  m_pFile = file;
  if (m_pFile != nullptr) m_pFile->open(id);
  return 0;
}

void EvDebug::logMessage(int level, const std::string& text) {
  if (m_pFile != nullptr) m_pFile->write(text);
  platform::Capture(m_instance, level, text);
}

EvDebugFileInstance::~EvDebugFileInstance() {
  if (m_fd >= 0) ::close(m_fd);
}

const std::string& EvDebugFileInstance::open(unsigned int id) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_path = platform::DebugLogPath(id);
  if (!m_path.empty()) m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (m_fd < 0) m_path.clear();
  return m_path;
}

void EvDebugFileInstance::write(const std::string& line) {
  if (m_fd < 0) return;
  std::string whole = line + "\n";
  (void)!::write(m_fd, whole.data(), whole.size());
}

std::string EvDebug::getClientName() {
  OZPlatformInfo info;
  char name[1024];
  info.getClientHostName(info.getPhysicalMachine(), name, sizeof(name));
  return name;
}

bool ozassert(bool expression, const char* file, const char* function, int line) {
  return ozassert(expression, nullptr, file, function, line);
}

bool ozassert(bool expression, const char* text, const char* file, const char* function, int line) {
  if (!expression) {
    std::string report = StringFormat("Assertion failed in %s at %s:%d", function ? function : "?",
                                      file ? file : "?", line);
    if (text != nullptr) report += StringFormat(": %s", text);
    platform::Capture("ozassert", 1, std::move(report));
  }
  return expression;
}
