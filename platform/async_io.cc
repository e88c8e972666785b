#include "platform/async_io.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace platform {

namespace {

struct RuleState {
  AioFaultRule rule;
  long long seen = 0;
};

struct AioState {
  std::mutex mutex;
  std::vector<RuleState> rules;
  long long calls[4] = {0, 0, 0, 0};
};

AioState& State() {
  static AioState* state = new AioState;  // outlives static destructors
  return *state;
}

// Set by a reset or a rule: calls are counted and checked.
std::atomic<bool> g_watching{false};

// Whether this call of `op` is faked, and with what.
bool Faked(AioOp op, int& err) {
  if (!g_watching.load(std::memory_order_relaxed)) return false;
  AioState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.calls[static_cast<int>(op)];
  bool faked = false;
  for (RuleState& r : s.rules) {
    if (r.rule.op != op) continue;
    ++r.seen;
    if (faked || r.seen < r.rule.nth) continue;
    if (r.rule.times >= 0 && r.seen >= static_cast<long long>(r.rule.nth) + r.rule.times) continue;
    faked = true;
    err = r.rule.err;
  }
  return faked;
}

}  // namespace

int AioRead(aiocb64* cb) {
  int err = 0;
  if (Faked(AioOp::Read, err)) {
    errno = err;
    return -1;
  }
  return aio_read64(cb);
}

int AioSuspend(const aiocb64* const list[], int count, const timespec* timeout) {
  int err = 0;
  if (Faked(AioOp::Suspend, err)) {
    errno = err;
    return -1;
  }
  return aio_suspend64(list, count, timeout);
}

int AioError(const aiocb64* cb) {
  int err = 0;
  if (Faked(AioOp::Error, err)) return err;
  return aio_error64(cb);
}

ssize_t AioReturn(aiocb64* cb) {
  int err = 0;
  if (Faked(AioOp::Return, err)) {
    errno = err;
    return -1;
  }
  return aio_return64(cb);
}

void AddAioFault(const AioFaultRule& rule) {
  AioState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.rules.push_back(RuleState{rule, 0});
  if (s.rules.back().rule.nth < 1) s.rules.back().rule.nth = 1;
  g_watching.store(true, std::memory_order_relaxed);
}

long long AioCalls(AioOp op) {
  AioState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls[static_cast<int>(op)];
}

void ResetAsyncIo() {
  AioState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.rules.clear();
  for (long long& c : s.calls) c = 0;
  g_watching.store(true, std::memory_order_relaxed);  // tests count calls
}

}  // namespace platform
