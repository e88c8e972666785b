#include "platform/job_manager.h"

#include <cstring>
#include <mutex>

#include "platform/byte_order.h"

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

int OZJobClient::setPendingCauseAndEvent(int eventId, int a, int b, bool c, EvMessageType type, bool d,
                                         JMGUIAlertColorLevel color, JMPendingCauseFlags flags, unsigned int e,
                                         unsigned int reason) {
  (void)c, (void)d, (void)color, (void)flags, (void)e;
  platform::JobEventRecord record;
  record.jobId = m_jobId;
  record.eventId = eventId;
  record.type = type;
  record.reason = reason;
  record.arguments = std::move(m_args);
  record.a = a;
  record.b = b;
  m_args.clear();
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
