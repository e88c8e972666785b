// Logs: the per-object job log (InitOZlog, OZlog), the class log EvDebug and invariant reports.
// Every line is captured in process for tests (platform::Logs), whatever its level, and, when a
// log file is set (platform::SetLogFile or the environment variable MFS_LOG_FILE), appended to it
// for people. Writers may be on any thread.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

struct _JobContext;

// The block behind a job log handle; callers allocate it (malloc) and InitOZlog sets it up.
struct OZLOG_HANDLE {
  char tag[16];
  char name[32];
  int pid;
  long long jobId;
  int initialized;
};

void InitOZlog(OZLOG_HANDLE* handle, const char* tag, const char* name, int pid);
void OZlogSetJobContext(OZLOG_HANDLE* handle, const _JobContext* context);
// Level 1 errors and notable events, 2 progress, 3 and above detail, -1 hard I/O failures.
void OZlog(OZLOG_HANDLE* handle, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The file behind a log that has one (EvDebug::initialize with an id). Which file a log id
// writes is the log component's business: here "evdebug_<id in hex>.log" in the folder of
// platform::SetDebugLogDirectory; without a folder, lines are only captured.
class EvDebugFileInstance {
 public:
  EvDebugFileInstance() = default;
  ~EvDebugFileInstance();
  EvDebugFileInstance(const EvDebugFileInstance&) = delete;
  EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

  // Opens (appending, creating) the file of `id`; the path opened, empty when there is none.
  const std::string& open(unsigned int id);
  // Appends one line whole, with one write(2): a line written is in the file even if the process
  // is killed right after.
  void write(const std::string& line);
  const std::string& path() const { return m_path; }

 private:
  int m_fd = -1;
  std::string m_path;
};

// The host's log definition as the restore side is handed it: the single-instance file reader and
// the read managers write every line through OZlog on it and own nothing of it.
using _OzLogDef = OZLOG_HANDLE;

class EvDebug {
 public:
  EvDebug() = default;
  // A log with a file instance name (its lines carry it as their source).
  explicit EvDebug(const std::string& instance) : m_instance(instance) {}

  void initialize(const std::string& instance, int maxVersions = 0);
  // Binds the log to its file: `file` (the caller's, outlives the log) is opened for `id`; lines
  // are captured with the source `name`, or the id in hex when `name` is empty. `reserved` and
  // `shared` are kept for the log component's callers. 0 on success.
  int initialize(EvDebugFileInstance* file, unsigned int id, int reserved, bool shared, const char* name);
  void setAccessMethod(int method) { m_accessMethod = method; }
  int getAccessMethod() const { return m_accessMethod; }
  int getMaxVersion() const { return m_maxVersion; }
  void setMaxVersion(int versions) { m_maxVersion = versions; }
  void setLevel(int level) { m_level = level; }
  int getLevel() const { return m_level; }

  // Level 1.
  void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void debugLvl(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // The same for a job's line; the job id goes with the line in the product's log, not here.
  void debugLvl(int level, long long jobId, const char* format, ...) __attribute__((format(printf, 4, 5)));
  // "tag: text" at `level`.
  void DebugLvl(const char* tag, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
  // "tag: [id] text" at `level`: the id of the object the line is about (a chunk, a container).
  void DebugLvl(const char* tag, int level, unsigned long long id, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  // Also appended to the log's file, when it has one.
  void logMessage(int level, const std::string& text);

  // This machine's client name.
  static std::string getClientName();

 private:
  std::string m_instance;
  int m_level = 1;
  int m_accessMethod = 0;
  int m_maxVersion = 0;
  EvDebugFileInstance* m_pFile = nullptr;
};

// Reports a broken invariant (a level 1 line from the source "ozassert") and returns the
// expression, so the caller decides whether to go on.
bool ozassert(bool expression, const char* file, const char* function, int line);
// The same, with the expression's text in the report.
bool ozassert(bool expression, const char* text, const char* file, const char* function, int line);
#define OZASSERT(e) ozassert(static_cast<bool>(e), #e, __FILE__, __func__, __LINE__)

namespace platform {

struct LogLine {
  std::string source;  // the job log's tag or the EvDebug instance ("" for an unnamed EvDebug)
  int level = 0;
  std::string text;
};

// Every line since the last reset. Read it while no other thread logs.
const std::vector<LogLine>& Logs();
// Whether a captured line contains `text`.
bool LogContains(const std::string& text);
// Lines at `level` (any level when `level` is 0) that contain `text`.
size_t LogCount(const std::string& text, int level = 0);
void SetLogFile(const std::string& path);
// The folder of the files of logs with an id (EvDebugFileInstance); empty: none (the state after
// ResetAll). The path a log id writes, empty without a folder.
void SetDebugLogDirectory(const std::string& dir);
std::string DebugLogPath(unsigned int id);
// Drops a log file a test set: lines go to the file of MFS_LOG_FILE again, or to none.
void ResetLogFile();
// Keeps only the newest lines (bounded capture for long runs); 0 keeps all.
void SetLogCaptureLimit(size_t lines);
void ResetLogs();
// Adds one line as the logs do (source, level, text).
void Capture(const std::string& source, int level, std::string text);
// Called with each line as it is captured, outside the logs' lock; a test uses it to stop a
// child at the moment a line tells of. Null removes it; ResetLogs too.
void SetLogLineHook(std::function<void(const LogLine&)> hook);

}  // namespace platform
