// Whether another thread of the test process is blocked, read from the kernel's view of it, so
// that a threaded test checks "this call waits" without guessing how long the wait takes:
//
//   std::atomic<pid_t> tid{0};
//   std::thread waiter([&] { tid = mfstest::ThreadId(); CallThatMustWait(); });
//   ASSERT_TRUE(mfstest::BlocksSoon(tid)) << "the call did not wait";
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace mfstest {

inline pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Whether thread `tid` of this process sleeps in the kernel (state S in its stat line); false for
// a thread that runs, waits for a core, or has ended.
inline bool Sleeps(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// Waits until a thread that announced its id is blocked (seen asleep several times in a row, so
// that a passing sleep elsewhere does not count); false when it does not block within 30 seconds.
inline bool BlocksSoon(const std::atomic<pid_t>& tid) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  int asleep = 0;
  while (asleep < 5 && std::chrono::steady_clock::now() < deadline) {
    const pid_t id = tid.load();
    asleep = id != 0 && Sleeps(id) ? asleep + 1 : 0;
    std::this_thread::yield();
  }
  return asleep == 5;
}

}  // namespace mfstest
