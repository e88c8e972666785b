// Two roads that move the same bytes, timed against each other in one run: after an untimed round
// of each, every iteration runs both once, alternating which goes first, so a change of the
// machine's speed falls on both alike. Each road returns its wall-clock seconds, or a negative
// number on failure.
//
// Counters: each road's bytes per second (`<name>_MBps`), `ratio`, the library road's throughput
// over the plain road's over all iterations (1 means no cost at all), and `median_ratio`, the
// median of that ratio within each iteration's pair, which a burst of load from other processes
// moves less.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename LibraryRoad, typename PlainRoad>
void ComparePairedRoads(benchmark::State& state, double bytesPerRoad, const std::string& libraryName,
                        const std::string& plainName, LibraryRoad library, PlainRoad plain) {
  // The first round of a process pays for setting up the page cache, whichever road it goes.
  if (library() < 0 || plain() < 0) {
    state.SkipWithError("a road failed");
    return;
  }
  double librarySeconds = 0;
  double plainSeconds = 0;
  std::vector<double> pairRatios;
  bool libraryFirst = true;
  for (auto _ : state) {
    const double first = libraryFirst ? library() : plain();
    const double second = libraryFirst ? plain() : library();
    if (first < 0 || second < 0) {
      state.SkipWithError("a road failed");
      return;
    }
    librarySeconds += libraryFirst ? first : second;
    plainSeconds += libraryFirst ? second : first;
    pairRatios.push_back((libraryFirst ? second : first) / (libraryFirst ? first : second));
    state.SetIterationTime(first + second);
    libraryFirst = !libraryFirst;
  }
  const double bytes = bytesPerRoad * static_cast<double>(state.iterations());
  state.counters[libraryName + "_MBps"] = bytes / librarySeconds / 1e6;
  state.counters[plainName + "_MBps"] = bytes / plainSeconds / 1e6;
  state.counters["ratio"] = plainSeconds / librarySeconds;
  std::sort(pairRatios.begin(), pairRatios.end());
  const size_t n = pairRatios.size();
  state.counters["median_ratio"] = n % 2 == 1 ? pairRatios[n / 2] : (pairRatios[n / 2 - 1] + pairRatios[n / 2]) / 2;
}

}  // namespace bench
