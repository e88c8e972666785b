#include "platform/counters.h"

#include "platform/threads.h"

namespace {
constexpr double kTicksPerSecond = 10000000.0;
}  // namespace

void CAverageCounter::Start() {
  m_startTicks = CTimeStamp::Now();
  m_running = true;
}

void CAverageCounter::Stop() {
  if (!m_running) return;
  m_running = false;
  long long ticks = CTimeStamp::Now() - m_startTicks;
  AddSample(ticks > 0 ? static_cast<double>(ticks) / kTicksPerSecond : 0.0);
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
