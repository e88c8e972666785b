// The write speed statistics: each timed block write, checkpoint, flush wait and close adds its
// seconds and bytes; a block write logs the statistics line at most every 600 seconds, and the
// host may report the totals to the job's performance counters.

#include <ctime>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/config.h"

namespace {

constexpr uint32_t kPerfCounterType = 6014;
constexpr long long kStatsLineIntervalSecs = 600;
constexpr double kMiB = 1048576.0;

// Megabytes per second; 0 when no time was measured.
double Rate(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / seconds / kMiB : 0.0;
}

}  // namespace

int SingleInstancer_FS::InitializePerfCounter() {
  m_bPerfLogEnabled = true;
  OZPlatformInfo info;
  long long value = 1;
  if (info.getNumber("ZovadAdeve", "SIFilePerfLogEnabled", &value) && value == 0) {
    Log(1, "Disabling SI-File I/O performance log...");
    m_bPerfLogEnabled = false;
    return 0;
  }
  m_strPerfId = "SI-FS Write Speed";
  m_PerfWindow = 1000;
  m_PerfAlpha = 2.0 / 1001.0;
  return 0;
}

void SingleInstancer_FS::StartTimedOperation() {
  if (!m_bPerfLogEnabled) return;
  m_WriteStopWatch.Start();
}

void SingleInstancer_FS::EndTimedOperation(unsigned long long bytes) {
  if (!m_bPerfLogEnabled) return;
  m_WriteStopWatch.Stop();
  const double seconds = m_WriteStopWatch.ElapsedSeconds();
  m_PerfTotalSecs += seconds;
  ++m_PerfWrites;
  if (m_bPerfResetCur) {
    m_PerfCurBytes = bytes;
    m_PerfCurSecs = seconds;
    m_bPerfResetCur = false;
  } else {
    m_PerfCurBytes += bytes;
    m_PerfCurSecs += seconds;
  }
  m_PerfTotalBytes += bytes;
  if (m_PerfWindow == 0 || m_PerfWindow == 1) {
    m_PerfSamples = static_cast<int32_t>(m_PerfWindow);
    m_PerfAvgSecs = seconds;
  } else if (static_cast<uint32_t>(m_PerfSamples) < m_PerfWindow) {
    m_PerfAvgSecs = (m_PerfSamples * m_PerfAvgSecs + seconds) / (m_PerfSamples + 1);
    ++m_PerfSamples;
  } else {
    m_PerfAvgSecs = seconds * m_PerfAlpha + (1 - m_PerfAlpha) * m_PerfAvgSecs;
  }
}

void SingleInstancer_FS::LogWriteStatsWhenDue() {
  const time_t now = static_cast<time_t>(MDTime().seconds());
  if (now - m_PerfLastLogTime <= kStatsLineIntervalSecs) return;
  if (m_bPerfLogEnabled && m_PerfTotalBytes != 0) LogWriteStats();
  m_PerfLastLogTime = now;
  m_bPerfResetCur = true;
}

void SingleInstancer_FS::LogWriteStats() {
  Log(1, "stat- ID [%s] Curr Avg [%f] MB/Sec, Bytes [%llu]; Total Avg [%f] MB/Sec, Bytes [%llu], Time [%.2f] Secs",
      m_strPerfId.c_str(), Rate(m_PerfCurBytes, m_PerfCurSecs), static_cast<unsigned long long>(m_PerfCurBytes),
      Rate(m_PerfTotalBytes, m_PerfTotalSecs), static_cast<unsigned long long>(m_PerfTotalBytes), m_PerfTotalSecs);
}

void SingleInstancer_FS::UpdatePerfCounters(_JobPerfCounterCollection* collection, unsigned int value) {
  if (!m_bPerfLogEnabled) return;
  _JobPerfCounter counter;
  counter.CounterType = kPerfCounterType;
  counter.Value = value;
  time_t now = static_cast<time_t>(MDTime().seconds());
  tm utc{};
  gmtime_r(&now, &utc);
  counter.TimeStamp = static_cast<uint32_t>(mktime(&utc));
  counter.Seconds = static_cast<int32_t>(m_PerfTotalSecs);
  counter.Bytes = m_PerfTotalBytes;
  OZJobPerfManager::ConvertToNBO(counter);
  OZJobPerfManager::UpdateCounter(collection, counter);
}
