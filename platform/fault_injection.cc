#include "platform/fault_injection.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/power_loss.h"

namespace platform {
namespace detail {
std::atomic<unsigned> g_faultFlags{0};
}  // namespace detail

namespace {

enum : unsigned {
  kFlagRules = 1u,
  kFlagHook = 2u,
  kFlagFreeSpace = 4u,
  kFlagCounting = 8u,
  kFlagPowerLoss = detail::kFaultFlagPowerLoss,
  kFlagTrace = detail::kFaultFlagTrace,
};

struct RuleState {
  FaultRule rule;
  long long seen = 0;  // matching calls since the rule was added
};

struct FreeSpace {
  unsigned long long freeBytes = 0;
  unsigned long long totalBytes = 0;
};

struct InjectorState {
  std::mutex mutex;
  std::vector<RuleState> rules;
  FsHook hook;
  std::map<std::string, FreeSpace> freeSpace;  // by path prefix
  std::map<std::pair<FsOp, std::string>, long long> calls;
  std::vector<FsTransfer> transfers;
};

InjectorState& State() {
  static InjectorState* state = new InjectorState;  // outlives static destructors
  return *state;
}

void SetFlag(unsigned flag, bool on) {
  if (on) {
    detail::g_faultFlags.fetch_or(flag, std::memory_order_relaxed);
  } else {
    detail::g_faultFlags.fetch_and(~flag, std::memory_order_relaxed);
  }
}

bool Matches(const FaultRule& rule, FsOp op, const std::string& path) {
  return rule.op == op && (rule.pathContains.empty() || path.find(rule.pathContains) != std::string::npos);
}

// "/mnt/mp1" covers "/mnt/mp1" and "/mnt/mp1/V_1", not "/mnt/mp10".
bool UnderPrefix(const std::string& path, const std::string& prefix) {
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  return path.size() == prefix.size() || prefix.empty() || prefix.back() == '/' || path[prefix.size()] == '/';
}

bool Fires(const RuleState& r) {
  if (r.seen < r.rule.nth) return false;
  return r.rule.times < 0 || r.seen < static_cast<long long>(r.rule.nth) + r.rule.times;
}

}  // namespace

const char* FsOpName(FsOp op) {
  switch (op) {
    case FsOp::Open: return "Open";
    case FsOp::Close: return "Close";
    case FsOp::Read: return "Read";
    case FsOp::Write: return "Write";
    case FsOp::Seek: return "Seek";
    case FsOp::Flush: return "Flush";
    case FsOp::Truncate: return "Truncate";
    case FsOp::DrillHole: return "DrillHole";
    case FsOp::Rename: return "Rename";
    case FsOp::Remove: return "Remove";
    case FsOp::CreateDirectory: return "CreateDirectory";
    case FsOp::Stat: return "Stat";
    case FsOp::Size: return "Size";
    case FsOp::FreeSpace: return "FreeSpace";
    case FsOp::Lock: return "Lock";
    case FsOp::Chmod: return "Chmod";
    case FsOp::Clone: return "Clone";
    case FsOp::Copy: return "Copy";
    case FsOp::ReadDir: return "ReadDir";
  }
  return "Unknown";
}

void FaultInjector::Add(const FaultRule& rule) {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.rules.push_back(RuleState{rule, 0});
  if (s.rules.back().rule.nth < 1) s.rules.back().rule.nth = 1;  // counting starts at the first call
  SetFlag(kFlagRules, true);
}

void FaultInjector::SetFreeSpace(const std::string& pathPrefix, unsigned long long freeBytes,
                                 unsigned long long totalBytes) {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  // "/mnt/mp1/" names the same mount path as "/mnt/mp1".
  std::string prefix = pathPrefix;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  s.freeSpace[prefix] = FreeSpace{freeBytes, totalBytes};
  SetFlag(kFlagFreeSpace, true);
}

void FaultInjector::SetHook(FsHook hook) {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  bool on = static_cast<bool>(hook);
  s.hook = std::move(hook);
  SetFlag(kFlagHook, on);
}

void FaultInjector::TraceTransfers(bool on) {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  SetFlag(kFlagTrace, on);
}

std::vector<FsTransfer> FaultInjector::Transfers(const std::string& pathContains) const {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<FsTransfer> found;
  for (const FsTransfer& t : s.transfers) {
    if (pathContains.empty() || t.path.find(pathContains) != std::string::npos) found.push_back(t);
  }
  return found;
}

void FaultInjector::RecordTransfer(FsOp op, const std::string& path, long long offset, unsigned long long length) {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.transfers.push_back(FsTransfer{op, path, offset, length});
}

long long FaultInjector::Calls(FsOp op, const std::string& pathContains) const {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  long long total = 0;
  for (const auto& [key, count] : s.calls) {
    if (key.first != op) continue;
    if (pathContains.empty() || key.second.find(pathContains) != std::string::npos) total += count;
  }
  return total;
}

void FaultInjector::Reset() {
  InjectorState& s = State();
  FsHook old;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.rules.clear();
    old = std::move(s.hook);
    s.hook = nullptr;
    s.freeSpace.clear();
    s.calls.clear();
    s.transfers.clear();
    detail::g_faultFlags.store(kFlagCounting, std::memory_order_relaxed);
  }
  power_loss::Reset();
}

void FaultInjector::SetPowerLossModel(bool on) {
  // The model starts empty before the layer reports to it, and the layer stops reporting before
  // the model forgets.
  if (on) power_loss::Start();
  SetFlag(kFlagPowerLoss, on);
  if (!on) power_loss::Reset();
}

PowerCutReport FaultInjector::CutPower(PowerCutMode mode, uint64_t seed) {
  if ((detail::g_faultFlags.load(std::memory_order_relaxed) & kFlagPowerLoss) == 0) {
    PowerCutReport report;
    report.seed = seed;
    report.errors.push_back("the power-loss model is off");
    return report;
  }
  return power_loss::Cut(mode, seed);
}

void FaultInjector::RestorePower() { power_loss::Restore(); }

bool FaultInjector::PowerIsOff() const { return power_loss::IsOff(); }

FaultInjector::Outcome FaultInjector::Check(FsOp op, const std::string& path) {
  InjectorState& s = State();
  Outcome outcome;
  FsHook hook;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (detail::g_faultFlags.load(std::memory_order_relaxed) & kFlagCounting) ++s.calls[{op, path}];
    bool decided = false;
    for (RuleState& r : s.rules) {
      if (!Matches(r.rule, op, path)) continue;
      ++r.seen;
      if (decided || !Fires(r)) continue;
      decided = true;
      if (r.rule.err != 0) {
        outcome.err = r.rule.err;
      } else if (r.rule.shortBytes >= 0) {
        outcome.shortBytes = r.rule.shortBytes;
      }
    }
    hook = s.hook;
  }
  // Outside the lock: a hook may call the layer again, cut the power, or end the process.
  if (hook) hook(op, path);
  if (detail::g_faultFlags.load(std::memory_order_relaxed) & kFlagPowerLoss) {
    outcome.powerModel = true;
    if (power_loss::IsOff()) outcome.err = EIO;
  }
  return outcome;
}

bool FaultInjector::FreeSpaceFor(const std::string& path, unsigned long long& freeBytes,
                                 unsigned long long& totalBytes) const {
  InjectorState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  const FreeSpace* best = nullptr;
  size_t bestLength = 0;
  for (const auto& [prefix, space] : s.freeSpace) {
    if (!UnderPrefix(path, prefix)) continue;
    if (best == nullptr || prefix.size() >= bestLength) {
      best = &space;
      bestLength = prefix.size();
    }
  }
  if (best == nullptr) return false;
  freeBytes = best->freeBytes;
  totalBytes = best->totalBytes;
  return true;
}

FaultInjector& Faults() {
  static FaultInjector injector;
  return injector;
}

}  // namespace platform
