// The job manager client: pending causes, events with arguments, job state and status queries.
// Every call is recorded in process (platform::Jobs) for tests. An event takes the arguments
// added to its client since the previous event.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace platform {
struct JobEventRecord;
}

// The job context a host hands to the library; its first field is the job id.
struct _JobContext {
  int64_t jobId = 0;
  int streamId = 0;
};

enum OZS_PLATFORMTYPE : int { OZS_PLATFORM_UNKNOWN = 0, OZS_PLATFORM_WINDOWS = 1, OZS_PLATFORM_UNIX = 2 };
enum EvMessageType : int { EvMsgInfo = 100, EvMsgWarning = 300, EvMsgError = 500 };
enum JMGUIAlertColorLevel : int { JMAlertNone = 0 };
enum JMPendingCauseFlags : int { JMPendingNone = 0 };

// Argument types of EvEvent::addArgument; a 64-bit number (9) is in little-endian byte order.
enum EvArgType : int { EvArgInt32 = 6, EvArgInt64LE = 9, EvArgText = 11 };

// An event under construction: its arguments, in order.
class EvEvent {
 public:
  using Argument = std::variant<int32_t, std::string, int64_t>;
  virtual ~EvEvent() = default;
  // A value and its type: a text (11) points at a terminated text (null: empty), an integer (6)
  // at an int32_t, a 64-bit number (9) at 8 bytes in little-endian byte order.
  void addArgument(const void* value, int type);
  const std::vector<Argument>& arguments() const { return m_args; }
  void clearArguments() { m_args.clear(); }

 protected:
  std::vector<Argument> m_args;
};

class OZJobClient : public EvEvent {
 public:
  OZJobClient();
  ~OZJobClient() override;
  // 0 on failure (a scripted failure, or no management server host).
  int init(const char* hubmasterHost, OZS_PLATFORMTYPE platform, long long jobId);
  int setPendingCauseAndEvent(int eventId, int a, int b, bool c, EvMessageType type, bool d,
                              JMGUIAlertColorLevel color, JMPendingCauseFlags flags, unsigned int e,
                              unsigned int reason);
  int setPendingCause(int cause, const char* text);
  int resetPendingCause();
  int setJobState(int state);
  // The forms that act for a list of jobs (the job id field names the job whose client this is).
  // Non-zero on success. A pending cause with an event records an event of the cause's id with
  // the arguments added since the previous event.
  int setJobState(int state, const std::vector<long long>& jobs, bool notify);
  int setPendingCause(int cause, const std::vector<long long>& jobs, bool withEvent, int seconds, int a, int b,
                      int c, bool d, int e, int f, int g, int h);
  int resetPendingCause(const std::vector<long long>& jobs, int a, int b);
  long long jobId() const { return m_jobId; }
  // The job the client acts for.
  void setJobId(long long jobId) { m_jobId = jobId; }

 private:
  // The event `eventId` of this job, taking the arguments added since the previous event.
  platform::JobEventRecord TakeEvent(int eventId, int a, int b);

  long long m_jobId = 0;
};

// Status of other jobs, scripted by tests.
class OZJobQuery {
 public:
  // 0 on success with the job's status in `status`.
  int GetJobStatus(long long jobId, int& status);
  void setPlatformType(int type) { m_platformType = type; }
  // Non-zero on success (a scripted failure, or no management server host: 0).
  int init(const std::string& hubmasterHost);
  // The job's status: its timeline's status at the fake clock's time, else its scripted status,
  // else 1 (running).
  int GetJobStatus(long long& jobId);

 private:
  int m_platformType = 0;
};

// One performance counter record of a job (112 bytes). UpdateCounter takes it in network byte
// order (ConvertToNBO).
struct _JobPerfCounter {
  uint32_t CounterType = 0;  // 0
  uint32_t Value = 0;        // 4: the reporter's own value
  uint32_t TimeStamp = 0;    // 8
  int32_t Seconds = 0;       // 12
  uint8_t Reserved1[80] = {};
  uint64_t Bytes = 0;        // 96
  uint8_t Reserved2[8] = {};
};
static_assert(sizeof(_JobPerfCounter) == 112, "the job's counter record is 112 bytes");

// The counters a job collects; the host owns it.
struct _JobPerfCounterCollection {
  std::vector<_JobPerfCounter> counters;  // network byte order, one per (type, value)
};

// Performance counters of a job.
class OZJobPerfManager {
 public:
  void AddCounter(const std::string& name, long long value);
  // Every field of the record to network byte order.
  static void ConvertToNBO(_JobPerfCounter& counter);
  // Adds the record (network byte order) to the collection, replacing the one of the same type
  // and value. 0, or -1 without a collection.
  static int UpdateCounter(_JobPerfCounterCollection* collection, const _JobPerfCounter& counter);
};

namespace platform {

struct JobEventRecord {
  long long jobId = 0;
  int eventId = 0;
  EvMessageType type = EvMsgInfo;
  unsigned int reason = 0;
  std::vector<EvEvent::Argument> arguments;
  int a = 0, b = 0;  // the two integers after the event id
};

struct JobState {
  std::vector<JobEventRecord> events;
  std::vector<std::string> calls;          // "init", "setPendingCause", ... in order
  std::vector<std::pair<int, std::string>> pendingCauses;  // setPendingCause's cause and text
  std::vector<int> jobStates;              // setJobState's states
  int clientsCreated = 0;
  int clientsAlive = 0;
  int initFailures = 0;                    // the next n init calls fail
  std::map<long long, int> jobStatus;      // OZJobQuery answers; an absent job: result 1
  // Statuses of a job over time: (fake-clock milliseconds, status), in time order; the last one
  // at or before the clock's time answers. Before the first: 1 (running).
  std::map<long long, std::vector<std::pair<long long, int>>> jobTimeline;
  // Run once, outside the stand-in's lock, when a status query first finds the job completed
  // (4 or 9).
  std::map<long long, std::function<void()>> onJobCompleted;
  int queryInitFailures = 0;               // the next n OZJobQuery::init calls fail
  // The next n calls of the list forms of setJobState, setPendingCause and resetPendingCause, by
  // name, fail (they are recorded without effect).
  std::map<std::string, int> callFailures;
  std::vector<long long> statusQueries;    // the job ids that OZJobQuery::GetJobStatus was asked
  std::map<std::string, long long> counters;
};

JobState& Jobs();
std::mutex& JobsMutex();  // held by the stand-ins while they record

}  // namespace platform
