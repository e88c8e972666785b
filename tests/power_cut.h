// Power cuts for tests: runs a writer with the power-loss model on, cuts the power just before
// a chosen call of the file-system layer, restores it once the writer has given up, and hands
// back what a failing test logs to repeat the run (the seed above all).
//
//   powercut::Plan plan;
//   plan.mode = platform::PowerCutMode::kRandomPages;
//   plan.step = 1 + rng() % 200;
//   powercut::Result r = powercut::Run(plan, [&] { return RunWriter(); });
//   SCOPED_TRACE(r.Describe());
//   ... open what the writer wrote and check it holds a flushed state ...
//
// In the process (the default) the writer's calls fail with EIO from the cut on, so it unwinds
// and its objects are destroyed without writing anything; then the power comes back. With
// `fork` the writer runs in a child process that ends after the cut, for writers that cannot
// unwind. The helper owns the fault injector's hook while it runs.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace powercut {

using Selector = std::function<bool(platform::FsOp op, const std::string& path)>;

struct Plan {
  platform::PowerCutMode mode = platform::PowerCutMode::kDropUnflushed;
  uint64_t seed = 0;  // of the cut's random choices; 0: one is drawn and handed back
  long step = 0;      // the power goes just before this call (from 1) of those `counts` selects;
                      // 0, or past the writer's last call: once the writer returns
  Selector counts;    // null: every call of the layer
  bool fork = false;  // the writer runs in a child process
};

struct Result {
  platform::PowerCutMode mode = platform::PowerCutMode::kDropUnflushed;
  uint64_t seed = 0;
  long step = 0;
  long calls = 0;            // selected calls the writer made before the cut
  bool cutInWriter = false;  // false: the writer returned before its `step`th call
  int writerStatus = 0;      // what the writer returned (with fork: -1 if the child died)
  platform::PowerCutReport report;

  std::string Describe() const {
    std::ostringstream out;
    out << "power cut: mode " << (mode == platform::PowerCutMode::kRandomPages ? "random-pages" : "drop")
        << ", seed " << seed << ", step " << step << (cutInWriter ? " (in the writer)" : " (after the writer)")
        << ", writer status " << writerStatus << "; files reverted " << report.filesReverted << ", pages kept "
        << report.pagesKept << ", dropped " << report.pagesDropped << ", names kept " << report.namesKept
        << ", undone " << report.namesUndone;
    for (const std::string& e : report.errors) out << "; " << e;
    return out.str();
  }
};

namespace detail {

inline Result RunHere(const Plan& plan, uint64_t seed, const std::function<int()>& writer) {
  platform::FaultInjector& faults = platform::Faults();
  Result r;
  r.mode = plan.mode;
  r.seed = seed;
  r.step = plan.step;
  std::mutex mutex;  // the writer's threads may all call the layer
  long seen = 0;
  bool cut = false;
  faults.SetPowerLossModel(true);
  faults.SetHook([&](platform::FsOp op, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    if (cut || (plan.counts && !plan.counts(op, path))) return;
    if (++seen < plan.step || plan.step <= 0) return;
    cut = true;
    r.report = platform::Faults().CutPower(plan.mode, seed);
  });
  r.writerStatus = writer();
  faults.SetHook(nullptr);
  r.cutInWriter = cut;
  r.calls = cut ? plan.step - 1 : seen;
  if (!cut) r.report = faults.CutPower(plan.mode, seed);
  faults.RestorePower();
  faults.SetPowerLossModel(false);
  return r;
}

inline bool WriteAll(int fd, const std::string& text) {
  size_t put = 0;
  while (put < text.size()) {
    ssize_t n = ::write(fd, text.data() + put, text.size() - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    put += static_cast<size_t>(n);
  }
  return true;
}

// The child's result, as a line of numbers and then one line per error.
inline std::string Encode(const Result& r) {
  std::ostringstream out;
  out << r.calls << ' ' << r.cutInWriter << ' ' << r.writerStatus << ' ' << r.report.filesReverted << ' '
      << r.report.pagesKept << ' ' << r.report.pagesDropped << ' ' << r.report.namesKept << ' '
      << r.report.namesUndone << '\n';
  for (const std::string& e : r.report.errors) out << e << '\n';
  return out.str();
}

inline bool Decode(const std::string& text, Result& r) {
  std::istringstream in(text);
  if (!(in >> r.calls >> r.cutInWriter >> r.writerStatus >> r.report.filesReverted >> r.report.pagesKept >>
        r.report.pagesDropped >> r.report.namesKept >> r.report.namesUndone)) {
    return false;
  }
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) r.report.errors.push_back(line);
  return true;
}

inline Result RunInChild(const Plan& plan, uint64_t seed, const std::function<int()>& writer) {
  Result r;
  r.mode = plan.mode;
  r.seed = seed;
  r.step = plan.step;
  r.writerStatus = -1;
  int fds[2];
  if (::pipe(fds) != 0) {
    r.report.errors.push_back("no pipe to the writer's process");
    return r;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const bool sent = WriteAll(fds[1], Encode(RunHere(plan, seed, writer)));
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = pid > 0 ? ::read(fds[0], buffer, sizeof(buffer)) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !Decode(text, r)) {
    r.writerStatus = -1;
    r.report.errors.push_back("the writer's process ended without a report (status " + std::to_string(status) + ")");
  }
  return r;
}

}  // namespace detail

inline Result Run(const Plan& plan, const std::function<int()>& writer) {
  uint64_t seed = plan.seed;
  while (seed == 0) seed = (uint64_t{std::random_device{}()} << 32) | std::random_device{}();
  return plan.fork ? detail::RunInChild(plan, seed, writer) : detail::RunHere(plan, seed, writer);
}

}  // namespace powercut
