// CSFileCompactionMap::GetPhysicalOffset against std::upper_bound over plain sorted arrays of the
// same runs (their logical and physical starts), on maps of 10, 1,000 and 100,000 runs. Both
// translate the same random offsets inside live runs, in turns of 64 Ki offsets that alternate
// which goes first, within one benchmark run. Counters: nanoseconds per translation of each and
// their ratio (upper_bound time / map time; 1 is as fast as the plain search).
//
// The map's translation includes what the library does on every call: the stopwatch around it
// and the running average of its time.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "platform/byte_order.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kTurn = 1 << 16;
constexpr int kTurns = 32;

struct Runs {
  std::vector<uint64_t> logical, physical;
  std::vector<uint64_t> queries;  // inside live runs
};

// Runs of 1 to 8 KiB with holes of up to 4 KiB between them, packed behind the map as a
// compaction leaves them.
Runs MakeRuns(size_t n, std::mt19937_64& rng) {
  Runs r;
  uint64_t logical = 128 + rng() % 4096;
  uint64_t physical = 256 + 24 * n;
  std::vector<uint64_t> lengths;
  for (size_t k = 0; k < n; ++k) {
    const uint64_t length = 1024 + rng() % 7168;
    r.logical.push_back(logical);
    r.physical.push_back(physical);
    lengths.push_back(length);
    logical += length + 1 + rng() % 4096;
    physical += length;
  }
  for (size_t q = 0; q < kTurn; ++q) {
    const size_t k = rng() % n;
    r.queries.push_back(r.logical[k] + rng() % lengths[k]);
  }
  return r;
}

CSFileCompactionMap MapOf(const Runs& r) {
  std::string media(r.logical.size() * sizeof(SCompactionMapEntry), '\0');
  for (size_t k = 0; k < r.logical.size(); ++k) {
    EncodeBE64(&media[k * 24], r.logical[k]);
    EncodeBE64(&media[k * 24 + 8], r.physical[k]);
  }
  SCompactionMapHeader hdr{};
  hdr.uEntryCount = static_cast<uint32_t>(r.logical.size());
  hdr.uSizeOnMedia = hdr.uEntryCount * 24;
  CSFileCompactionMap map;
  map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(media.data()), hdr);
  return map;
}

// The plain search, with the same hole test as the map.
uint64_t PlainTranslate(const Runs& r, uint64_t off) {
  const auto it = std::upper_bound(r.logical.begin(), r.logical.end(), off);
  if (it == r.logical.begin()) return ~0ull;
  const size_t k = static_cast<size_t>(it - r.logical.begin()) - 1;
  if (k + 1 < r.logical.size() && off - r.logical[k] >= r.physical[k + 1] - r.physical[k]) return ~0ull;
  return r.physical[k] + (off - r.logical[k]);
}

double MapTurn(CSFileCompactionMap& map, const Runs& r, uint64_t& sum) {
  const auto start = Clock::now();
  for (uint64_t q : r.queries) sum += map.GetPhysicalOffset(q, false);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double PlainTurn(const Runs& r, uint64_t& sum) {
  const auto start = Clock::now();
  for (uint64_t q : r.queries) sum += PlainTranslate(r, q);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_GetPhysicalOffset_MapVsUpperBound(benchmark::State& state) {
  std::mt19937_64 rng(static_cast<uint64_t>(state.range(0)));
  const Runs runs = MakeRuns(static_cast<size_t>(state.range(0)), rng);
  CSFileCompactionMap map = MapOf(runs);
  double mapSeconds = 0, plainSeconds = 0;
  uint64_t mapSum = 0, plainSum = 0;
  for (auto _ : state) {
    double iteration = 0;
    for (int turn = 0; turn < kTurns; ++turn) {
      double m, p;
      if (turn % 2 == 0) {
        m = MapTurn(map, runs, mapSum);
        p = PlainTurn(runs, plainSum);
      } else {
        p = PlainTurn(runs, plainSum);
        m = MapTurn(map, runs, mapSum);
      }
      mapSeconds += m;
      plainSeconds += p;
      iteration += m + p;
    }
    state.SetIterationTime(iteration);
  }
  if (mapSum != plainSum) state.SkipWithError("the map and the plain search disagree");
  const double translations = static_cast<double>(kTurn) * kTurns * static_cast<double>(state.iterations());
  state.counters["map_ns"] = mapSeconds * 1e9 / translations;
  state.counters["upper_bound_ns"] = plainSeconds * 1e9 / translations;
  state.counters["ratio"] = plainSeconds / mapSeconds;
}

BENCHMARK(BM_GetPhysicalOffset_MapVsUpperBound)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
