// The comparison that the media benchmarks share: a media road against the plain system calls that
// move the same bytes, run in pairs.
//
// After an untimed round of each (the first gigabyte a process moves pays for setting up the page
// cache, whichever road it goes), every iteration runs both roads once, alternating which goes
// first, so a change of the machine's speed falls on both alike. Counters: each road's bytes per
// second (`<label>_MBps`, `syscalls_MBps`), `ratio`, the media's throughput over the system calls'
// over all iterations (1 means no cost at all), and `median_ratio`, the median of that ratio within
// each iteration's pair, which a burst of load from other processes moves less.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

// Each road returns its seconds for `bytes`, or a negative number on failure.
template <typename MediaRoad, typename PlainRoad>
void ComparePairedRoads(benchmark::State& state, const std::string& label, double bytesPerRound, MediaRoad media,
                        PlainRoad plain) {
  if (media() < 0 || plain() < 0) {
    state.SkipWithError("a road failed");
    return;
  }
  double mediaSeconds = 0;
  double plainSeconds = 0;
  std::vector<double> pairRatios;
  bool mediaFirst = true;
  for (auto _ : state) {
    const double first = mediaFirst ? media() : plain();
    const double second = mediaFirst ? plain() : media();
    if (first < 0 || second < 0) {
      state.SkipWithError("a road failed");
      return;
    }
    mediaSeconds += mediaFirst ? first : second;
    plainSeconds += mediaFirst ? second : first;
    pairRatios.push_back((mediaFirst ? second : first) / (mediaFirst ? first : second));
    state.SetIterationTime(first + second);
    mediaFirst = !mediaFirst;
  }
  const double bytes = bytesPerRound * static_cast<double>(state.iterations());
  state.counters[label + "_MBps"] = bytes / mediaSeconds / 1e6;
  state.counters["syscalls_MBps"] = bytes / plainSeconds / 1e6;
  state.counters["ratio"] = plainSeconds / mediaSeconds;
  std::sort(pairRatios.begin(), pairRatios.end());
  const size_t n = pairRatios.size();
  state.counters["median_ratio"] = n % 2 == 1 ? pairRatios[n / 2] : (pairRatios[n / 2 - 1] + pairRatios[n / 2]) / 2;
}
