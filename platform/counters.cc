#include "platform/counters.h"

#include "platform/logging.h"
#include "platform/string_format.h"
#include "platform/threads.h"

namespace {
constexpr double kTicksPerSecond = 10000000.0;
}  // namespace

void CCounterBase::Init(const std::string& name, int flags) {
  (void)flags;
  m_strName = name;
}

void CCounterBase::EnableLogging(LogFunction function, unsigned int seconds) {
  m_pfnLog = function;
  m_logIntervalMs = static_cast<long long>(seconds) * 1000;
  m_lastLogMs = platform::NowMs();
}

void CCounterBase::DefaultLog(CCounterBase* counter) {
  if (counter == nullptr || counter->m_pDebug == nullptr) return;
  counter->m_pDebug->debugLvl(1, "Counter [%s] %s", counter->m_strName.c_str(), counter->Describe().c_str());
}

void CCounterBase::MaybeLog() {
  if (m_pfnLog == nullptr) return;
  const long long now = platform::NowMs();
  if (now - m_lastLogMs < m_logIntervalMs) return;
  m_lastLogMs = now;
  m_pfnLog(this);
}

std::string CAverageCounter::Describe() const {
  return StringFormat("Samples [%llu], Total [%.6f] s, Average [%.6f] s", static_cast<unsigned long long>(m_samples),
                      m_totalSeconds, GetAverageSeconds());
}

void CAverageCounter::Start() {
  m_startTicks = CTimeStamp::Now();
  m_running = true;
}

void CAverageCounter::Stop() {
  if (!m_running) return;
  m_running = false;
  long long ticks = CTimeStamp::Now() - m_startTicks;
  AddSample(ticks > 0 ? static_cast<double>(ticks) / kTicksPerSecond : 0.0);
  MaybeLog();
}

void CAverageCounter::AddSample(double seconds) {
  m_totalSeconds += seconds;
  ++m_samples;
}

void CAverageCounter::Reset() {
  m_running = false;
  m_totalSeconds = 0;
  m_samples = 0;
}
