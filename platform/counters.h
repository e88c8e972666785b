// Performance counters of the utility library: a named counter that may log (CCounterBase) and the
// average duration of timed samples (CAverageCounter). A counter is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

class EvDebug;

class CCounterBase {
 public:
  // `log` may be null: the counter then logs nothing.
  explicit CCounterBase(EvDebug* log = nullptr, std::string name = std::string())
      : m_pDebug(log), m_strName(std::move(name)) {}
  virtual ~CCounterBase() = default;

  // Names the counter; `flags` is kept for the utility library's callers and means nothing here.
  void Init(const std::string& name, int flags);
  const std::string& GetName() const { return m_strName; }
  EvDebug* GetLog() const { return m_pDebug; }
  virtual void Reset() = 0;
  // What the counter says about itself in a log line.
  virtual std::string Describe() const = 0;

  // A writer of the counter's figures, called at most every `seconds` seconds of the clock, from
  // the counter's own operations (CAverageCounter::Stop).
  using LogFunction = void (*)(CCounterBase* counter);
  void EnableLogging(LogFunction function, unsigned int seconds);
  // Writes "Counter [<name>] <figures>" at level 1 on the counter's log (nothing without one).
  static void DefaultLog(CCounterBase* counter);

 protected:
  // Calls the log function when logging is on and its interval has passed.
  void MaybeLog();

  EvDebug* m_pDebug;
  std::string m_strName;
  LogFunction m_pfnLog = nullptr;
  long long m_logIntervalMs = 0;
  long long m_lastLogMs = 0;
};

// Start and Stop frame one sample; the time between them (CTimeStamp ticks, 100 ns) adds to the
// total. A Stop without a Start adds nothing.
class CAverageCounter : public CCounterBase {
 public:
  explicit CAverageCounter(EvDebug* log = nullptr, std::string name = std::string())
      : CCounterBase(log, std::move(name)) {}

  void Start();
  void Stop();
  // Drops a sample that was started and not stopped.
  void Cancel() { m_running = false; }
  // Adds a sample measured elsewhere.
  void AddSample(double seconds);

  double GetTotalSeconds() const { return m_totalSeconds; }
  uint64_t GetSamples() const { return m_samples; }
  // Seconds per sample; 0 without samples.
  double GetAverageSeconds() const { return m_samples == 0 ? 0.0 : m_totalSeconds / static_cast<double>(m_samples); }
  void Reset() override;
  std::string Describe() const override;

 private:
  long long m_startTicks = 0;
  bool m_running = false;
  double m_totalSeconds = 0;
  uint64_t m_samples = 0;
};
