// The stopwatch's real clock. Timings of single translations, writes and opens last microseconds,
// and some are taken on every call of a hot path: the clock must resolve nanoseconds and cost
// less than what it times. An invariant time-stamp counter (constant rate, running in every
// power state) is read with one instruction; its rate is measured once against CLOCK_MONOTONIC
// over the first few milliseconds of the process. Without one, CLOCK_MONOTONIC (nanoseconds).

#include <time.h>

#include <atomic>

#include "platform/threads.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define MFS_HAVE_TSC 1
#endif

namespace {

long long MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

#ifdef MFS_HAVE_TSC
bool InvariantTsc() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007u) return false;
  if (__get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (edx & (1u << 8)) != 0;
}
#endif

// The counter and the monotonic clock read together when the library is loaded: the start of the
// rate's measurement.
struct ClockOrigin {
  bool tsc = false;
  long long ticks = 0;
  long long ns = 0;
  ClockOrigin() {
#ifdef MFS_HAVE_TSC
    tsc = InvariantTsc();
    if (tsc) {
      ns = MonotonicNs();
      ticks = static_cast<long long>(__rdtsc());
    }
#endif
  }
};

const ClockOrigin g_origin;
std::atomic<long long> g_ticksPerSecond{0};

// Long enough for the two clocks' read times to vanish in the rate (parts per million).
constexpr long long kRateWindowNs = 20000000;

}  // namespace

namespace platform {

long long ClockTicks() {
#ifdef MFS_HAVE_TSC
  if (g_origin.tsc) return static_cast<long long>(__rdtsc());
#endif
  return MonotonicNs();
}

long long ClockTicksPerSecond() {
  if (!g_origin.tsc) return 1000000000LL;
  long long rate = g_ticksPerSecond.load(std::memory_order_relaxed);
  if (rate > 0) return rate;
  // Only a process younger than the window waits for the rest of it, once.
  long long ns = MonotonicNs();
  while (ns - g_origin.ns < kRateWindowNs) {
    const long long rest = kRateWindowNs - (ns - g_origin.ns);
    timespec pause{0, static_cast<long>(rest)};
    nanosleep(&pause, nullptr);
    ns = MonotonicNs();
  }
  const long long ticks = ClockTicks();
  const double perNs = static_cast<double>(ticks - g_origin.ticks) / static_cast<double>(ns - g_origin.ns);
  rate = static_cast<long long>(perNs * 1e9);
  if (rate <= 0) rate = 1;  // a counter that did not move: no meaningful rate, but never 0
  g_ticksPerSecond.store(rate, std::memory_order_relaxed);
  return rate;
}

}  // namespace platform
