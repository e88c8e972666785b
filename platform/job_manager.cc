#include "platform/job_manager.h"

#include <cstring>
#include <mutex>

#include "platform/byte_order.h"
#include "platform/threads.h"

namespace platform {

JobState& Jobs() {
  static JobState* state = new JobState;
  return *state;
}

std::mutex& JobsMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace platform

using platform::Jobs;
using platform::JobsMutex;

// Only the two types the job manager knows are kept; a value of another type has no size to
// copy by, so it is dropped.
void EvEvent::addArgument(const void* value, int type) {
  if (type == EvArgText) {
    m_args.emplace_back(std::string(value ? static_cast<const char*>(value) : ""));
  } else if (type == EvArgInt32) {
    int32_t v = 0;
    if (value != nullptr) std::memcpy(&v, value, sizeof(v));
    m_args.emplace_back(v);
  } else if (type == EvArgInt64LE) {
    unsigned char bytes[8] = {};
    if (value != nullptr) std::memcpy(bytes, value, sizeof(bytes));
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[i];
    m_args.emplace_back(static_cast<int64_t>(v));
  }
}

OZJobClient::OZJobClient() {
  std::lock_guard<std::mutex> lock(JobsMutex());
  ++Jobs().clientsCreated;
  ++Jobs().clientsAlive;
}

OZJobClient::~OZJobClient() {
  std::lock_guard<std::mutex> lock(JobsMutex());
  --Jobs().clientsAlive;
}

int OZJobClient::init(const char* hubmasterHost, OZS_PLATFORMTYPE platform, long long jobId) {
  (void)platform;
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().calls.push_back("init");
  if (Jobs().initFailures > 0) {
    --Jobs().initFailures;
    return 0;
  }
  if (hubmasterHost == nullptr || *hubmasterHost == '\0') return 0;
  m_jobId = jobId;
  return 1;
}

platform::JobEventRecord OZJobClient::TakeEvent(int eventId, int a, int b) {
  platform::JobEventRecord record;
  record.jobId = m_jobId;
  record.eventId = eventId;
  record.arguments = std::move(m_args);
  record.a = a;
  record.b = b;
  m_args.clear();
  return record;
}

int OZJobClient::setPendingCauseAndEvent(int eventId, int a, int b, bool c, EvMessageType type, bool d,
                                         JMGUIAlertColorLevel color, JMPendingCauseFlags flags, unsigned int e,
                                         unsigned int reason) {
  (void)c, (void)d, (void)color, (void)flags, (void)e;
  platform::JobEventRecord record = TakeEvent(eventId, a, b);
  record.type = type;
  record.reason = reason;
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().calls.push_back("setPendingCauseAndEvent");
  Jobs().events.push_back(std::move(record));
  return 0;
}

int OZJobClient::setPendingCause(int cause, const char* text) {
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().calls.push_back("setPendingCause");
  Jobs().pendingCauses.emplace_back(cause, text ? text : "");
  return 0;
}

int OZJobClient::resetPendingCause() {
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().calls.push_back("resetPendingCause");
  return 0;
}

int OZJobClient::setJobState(int state) {
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().calls.push_back("setJobState");
  Jobs().jobStates.push_back(state);
  return 0;
}

namespace {

// Records a call of a list form; false when a scripted failure answers it.
bool RecordListCall(const char* op) {
  platform::JobState& s = Jobs();
  s.calls.push_back(op);
  auto it = s.callFailures.find(op);
  if (it == s.callFailures.end() || it->second <= 0) return true;
  if (--it->second == 0) s.callFailures.erase(it);
  return false;
}

}  // namespace

int OZJobClient::setJobState(int state, const std::vector<long long>& jobs, bool notify) {
  (void)jobs, (void)notify;
  std::lock_guard<std::mutex> lock(JobsMutex());
  if (!RecordListCall("setJobState")) return 0;
  Jobs().jobStates.push_back(state);
  return 1;
}

int OZJobClient::setPendingCause(int cause, const std::vector<long long>& jobs, bool withEvent, int seconds, int a,
                                 int b, int c, bool d, int e, int f, int g, int h) {
  (void)jobs, (void)seconds, (void)c, (void)d, (void)e, (void)f, (void)g, (void)h;
  platform::JobEventRecord record = TakeEvent(cause, a, b);
  std::lock_guard<std::mutex> lock(JobsMutex());
  if (!RecordListCall("setPendingCause")) return 0;
  Jobs().pendingCauses.emplace_back(cause, "");
  if (withEvent) Jobs().events.push_back(std::move(record));
  return 1;
}

int OZJobClient::resetPendingCause(const std::vector<long long>& jobs, int a, int b) {
  (void)jobs, (void)a, (void)b;
  std::lock_guard<std::mutex> lock(JobsMutex());
  return RecordListCall("resetPendingCause") ? 1 : 0;
}

int OZJobQuery::init(const std::string& hubmasterHost) {
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().calls.push_back("OZJobQuery::init");
  if (Jobs().queryInitFailures > 0) {
    --Jobs().queryInitFailures;
    return 0;
  }
  return hubmasterHost.empty() ? 0 : 1;
}

int OZJobQuery::GetJobStatus(long long& jobId) {
  int status = 1;
  std::function<void()> completed;
  {
    std::lock_guard<std::mutex> lock(JobsMutex());
    platform::JobState& s = Jobs();
    s.statusQueries.push_back(jobId);
    auto timeline = s.jobTimeline.find(jobId);
    if (timeline != s.jobTimeline.end()) {
      const long long now = platform::NowMs();
      for (const auto& [at, st] : timeline->second) {
        if (at > now) break;
        status = st;
      }
    } else if (auto scripted = s.jobStatus.find(jobId); scripted != s.jobStatus.end()) {
      status = scripted->second;
    }
    if (status == 4 || status == 9) {
      auto hook = s.onJobCompleted.find(jobId);
      if (hook != s.onJobCompleted.end()) {
        completed = std::move(hook->second);
        s.onJobCompleted.erase(hook);
      }
    }
  }
  if (completed) completed();
  return status;
}

int OZJobQuery::GetJobStatus(long long jobId, int& status) {
  std::lock_guard<std::mutex> lock(JobsMutex());
  auto it = Jobs().jobStatus.find(jobId);
  if (it == Jobs().jobStatus.end()) return 1;
  status = it->second;
  return 0;
}

void OZJobPerfManager::AddCounter(const std::string& name, long long value) {
  std::lock_guard<std::mutex> lock(JobsMutex());
  Jobs().counters[name] += value;
}

void OZJobPerfManager::ConvertToNBO(_JobPerfCounter& c) {
  c.CounterType = ozhtonl(c.CounterType);
  c.Value = ozhtonl(c.Value);
  c.TimeStamp = ozhtonl(c.TimeStamp);
  c.Seconds = static_cast<int32_t>(ozhtonl(static_cast<uint32_t>(c.Seconds)));
  c.Bytes = ozhtonll(c.Bytes);
}

int OZJobPerfManager::UpdateCounter(_JobPerfCounterCollection* collection, const _JobPerfCounter& counter) {
  if (collection == nullptr) return -1;
  for (_JobPerfCounter& c : collection->counters) {
    if (c.CounterType == counter.CounterType && c.Value == counter.Value) {
      c = counter;
      return 0;
    }
  }
  collection->counters.push_back(counter);
  return 0;
}
