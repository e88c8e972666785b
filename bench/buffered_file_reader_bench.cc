// CBufferedFileReader against read(2): a 1 GiB file read from start to end in the store's typical
// read sizes (4 KiB and 64 KiB) through the reader's 256 KiB block, and through a plain buffer of
// the same block size filled with read(2), in the same run. The file is written where
// MFS_BENCH_DIR says (by default "bench-data" in the build folder) and stays in the page cache,
// so the comparison measures the reader, not the disk. Both ways read
// the file in turns of 64 MiB, alternating which goes first. Counters: bytes per second of each
// and their ratio (reader throughput / read(2) throughput).
//
// Random small reads are reported too: 4 KiB at random offsets, through Seek and Read of the
// reader and through pread(2).

#include "bench_dir.h"
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/BufferedFileReader.h"

namespace {

constexpr uint32_t kBlock = 256 * 1024;
constexpr uint64_t kFileSize = 1ull << 30;
constexpr uint64_t kTurn = 64ull << 20;

using Clock = std::chrono::steady_clock;

class BenchFile {
 public:
  BenchFile() {
    m_folder = bench::MakeDir("mfs-reader-bench");
    if (m_folder.empty()) return;
    m_path = m_folder + "/data";
    int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::vector<char> chunk(1 << 20);
    std::mt19937 rng(7);
    for (char& c : chunk) c = static_cast<char>(rng());
    for (uint64_t done = 0; done < kFileSize; done += chunk.size()) {
      chunk[0] = static_cast<char>(done >> 20);
      if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
    }
    close(fd);
  }
  ~BenchFile() {
    std::error_code ignored;
    if (!m_folder.empty()) std::filesystem::remove_all(m_folder, ignored);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_folder;
  std::string m_path;
};

// Made on first use and removed when the program ends.
const BenchFile& File() {
  static BenchFile file;
  return file;
}

// The baseline: one buffer of the block size, filled with read(2), copied out in `size` pieces.
class PlainReader {
 public:
  explicit PlainReader(int fd) : m_fd(fd), m_buffer(kBlock) {}
  size_t Read(char* dst, size_t size) {
    size_t done = 0;
    while (done < size) {
      if (m_pos == m_valid) {
        ssize_t n = read(m_fd, m_buffer.data(), kBlock);
        if (n <= 0) break;
        m_valid = static_cast<size_t>(n);
        m_pos = 0;
      }
      size_t n = std::min(size - done, m_valid - m_pos);
      std::memcpy(dst + done, m_buffer.data() + m_pos, n);
      m_pos += n;
      done += n;
    }
    return done;
  }

 private:
  int m_fd;
  std::vector<char> m_buffer;
  size_t m_pos = 0;
  size_t m_valid = 0;
};

double ReaderTurn(CBufferedFileReader& reader, std::vector<char>& dst, uint32_t size) {
  auto start = Clock::now();
  unsigned int got = 0;
  for (uint64_t done = 0; done < kTurn; done += size) {
    if (reader.Read(dst.data(), size, &got).IsFailure() || got != size) std::abort();
  }
  benchmark::DoNotOptimize(dst.data());
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double PlainTurn(PlainReader& reader, std::vector<char>& dst, uint32_t size) {
  auto start = Clock::now();
  for (uint64_t done = 0; done < kTurn; done += size) {
    if (reader.Read(dst.data(), size) != size) std::abort();
  }
  benchmark::DoNotOptimize(dst.data());
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_SequentialRead_ReaderVsRead2(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  if (File().path().empty()) {
    state.SkipWithError("no temporary file");
    return;
  }
  CFSInitParams params;
  std::vector<char> dst(size);
  double readerSeconds = 0, plainSeconds = 0;
  for (auto _ : state) {
    CBufferedFileReader reader(&params);
    reader.Init(kBlock);
    if (reader.Open(File().path().c_str(), O_RDONLY, 0400).IsFailure()) std::abort();
    int fd = open(File().path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    PlainReader plain(fd);
    double iteration = 0;
    for (uint64_t turn = 0; turn < kFileSize / kTurn; ++turn) {
      double r, p;
      if (turn % 2 == 0) {
        r = ReaderTurn(reader, dst, size);
        p = PlainTurn(plain, dst, size);
      } else {
        p = PlainTurn(plain, dst, size);
        r = ReaderTurn(reader, dst, size);
      }
      readerSeconds += r;
      plainSeconds += p;
      iteration += r + p;
    }
    close(fd);
    reader.Close();
    state.SetIterationTime(iteration);
  }
  const double bytes = static_cast<double>(kFileSize) * static_cast<double>(state.iterations());
  state.counters["reader_bytes_per_second"] = bytes / readerSeconds;
  state.counters["read2_bytes_per_second"] = bytes / plainSeconds;
  state.counters["ratio"] = plainSeconds / readerSeconds;
}

BENCHMARK(BM_SequentialRead_ReaderVsRead2)
    ->Arg(4096)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

constexpr int kRandomReads = 100000;
constexpr uint32_t kRandomSize = 4096;

void BM_RandomRead4KiB_Reader(benchmark::State& state) {
  if (File().path().empty()) {
    state.SkipWithError("no temporary file");
    return;
  }
  CFSInitParams params;
  CBufferedFileReader reader(&params);
  reader.Init(kBlock);
  if (reader.Open(File().path().c_str(), O_RDONLY, 0400).IsFailure()) std::abort();
  std::vector<char> dst(kRandomSize);
  std::mt19937_64 rng(11);
  for (auto _ : state) {
    for (int i = 0; i < kRandomReads; ++i) {
      const uint64_t offset = rng() % (kFileSize - kRandomSize);
      unsigned int got = 0;
      if (reader.Seek(offset, 0, nullptr).IsFailure() || reader.Read(dst.data(), kRandomSize, &got).IsFailure() ||
          got != kRandomSize) {
        std::abort();
      }
    }
    benchmark::DoNotOptimize(dst.data());
  }
  state.counters["reads_per_second"] =
      benchmark::Counter(static_cast<double>(kRandomReads) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  reader.Close();
}

void BM_RandomRead4KiB_Pread(benchmark::State& state) {
  int fd = open(File().path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  std::vector<char> dst(kRandomSize);
  std::mt19937_64 rng(11);
  for (auto _ : state) {
    for (int i = 0; i < kRandomReads; ++i) {
      const uint64_t offset = rng() % (kFileSize - kRandomSize);
      if (pread(fd, dst.data(), kRandomSize, static_cast<off_t>(offset)) != kRandomSize) std::abort();
    }
    benchmark::DoNotOptimize(dst.data());
  }
  state.counters["reads_per_second"] =
      benchmark::Counter(static_cast<double>(kRandomReads) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  close(fd);
}

BENCHMARK(BM_RandomRead4KiB_Reader)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RandomRead4KiB_Pread)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
