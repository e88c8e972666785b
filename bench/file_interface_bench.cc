// The file layer's cost on the data path: 64 KiB writes through CFileInterface against plain
// write(2), in the same folder and the same run. Each iteration writes 256 MiB both ways. The
// files are written where MFS_BENCH_DIR says (by default "bench-data" in the build folder) and are
// not synced: the comparison measures the layer, not the disk. Counters: bytes per second of each, their ratio (layer
// throughput / write(2) throughput) and the median of that ratio over the 4 MiB turns.

#include "bench_dir.h"
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr size_t kTotal = 256ull * 1024 * 1024;

std::string MakeFolder() { return bench::MakeDir("mfs-bench"); }

using Clock = std::chrono::steady_clock;

// Writes `bytes` in 64 KiB blocks through the layer; seconds taken.
double LayerRun(CFileInterface& file, const std::vector<char>& block, size_t bytes) {
  auto start = Clock::now();
  unsigned int done = 0;
  for (size_t written = 0; written < bytes; written += kBlock) {
    if (file.Write(block.data(), kBlock, &done).IsFailure() || done != kBlock) std::abort();
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double SystemRun(int fd, const std::vector<char>& block, size_t bytes) {
  auto start = Clock::now();
  for (size_t written = 0; written < bytes; written += kBlock) {
    if (write(fd, block.data(), kBlock) != static_cast<ssize_t>(kBlock)) std::abort();
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Both files are written in turns of 4 MiB, alternating which goes first, so that a change of
// the machine's speed (other processes, frequency) falls on both alike.
constexpr size_t kTurn = 4ull * 1024 * 1024;

void BM_Write64KiB_LayerVsSystem(benchmark::State& state) {
  std::string folder = MakeFolder();
  if (folder.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  CFSInitParams params;
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  std::vector<char> block(kBlock, 'm');
  std::string layerPath = folder + "/layer.dat";
  std::string systemPath = folder + "/system.dat";

  double layerSeconds = 0, systemSeconds = 0;
  std::vector<double> turnRatios;
  for (auto _ : state) {
    if (file->Open(layerPath, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0600, 0).IsFailure()) std::abort();
    int fd = open(systemPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    double iteration = 0;
    for (size_t turn = 0; turn < kTotal / kTurn; ++turn) {
      double l, s;
      if (turn % 2 == 0) {
        l = LayerRun(*file, block, kTurn);
        s = SystemRun(fd, block, kTurn);
      } else {
        s = SystemRun(fd, block, kTurn);
        l = LayerRun(*file, block, kTurn);
      }
      layerSeconds += l;
      systemSeconds += s;
      iteration += l + s;
      turnRatios.push_back(s / l);
    }
    close(fd);
    file->Close();
    state.SetIterationTime(iteration);
  }
  std::sort(turnRatios.begin(), turnRatios.end());
  double bytes = static_cast<double>(kTotal) * static_cast<double>(state.iterations());
  state.counters["layer_bytes_per_second"] = bytes / layerSeconds;
  state.counters["write2_bytes_per_second"] = bytes / systemSeconds;
  state.counters["ratio"] = systemSeconds / layerSeconds;
  state.counters["median_turn_ratio"] = turnRatios.empty() ? 0 : turnRatios[turnRatios.size() / 2];
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

BENCHMARK(BM_Write64KiB_LayerVsSystem)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
