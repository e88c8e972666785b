// What the benchmarks that set a media class against plain system calls on the same folder share:
// the folder, the plain loops of write(2) with fsync(2) (of the folder too, where the media
// flushes it) and of read(2), and the comparison of the two roads in one run.
//
// After an untimed round of each, every iteration runs both roads once, alternating which goes
// first, so a change of the machine's speed falls on both alike. Counters: each road's bytes per
// second (`<media>_MBps`, and `syscalls_MBps` or the plain road's own name), `ratio`, the media's throughput over the system calls'
// over all iterations (1 means no cost at all), and `median_ratio`, the median of that ratio
// within each iteration's pair, which a burst of load from other processes moves less.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "bench_dir.h"

namespace mediabench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// `bytes` in pieces through write(2) into a new file, then fsync(2): the seconds, or -1.
inline double PlainWrite(const std::string& path, const std::vector<char>& piece, size_t bytes) {
  unlink(path.c_str());
  const auto start = Clock::now();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  for (size_t done = 0; done < bytes; done += piece.size()) {
    if (write(fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) return close(fd), -1;
  }
  if (fsync(fd) != 0) return close(fd), -1;
  if (close(fd) != 0) return -1;
  return Seconds(start);
}

// PlainWrite, then fsync(2) of the folder that holds the file, so that its name is as durable as
// its bytes: the seconds, or -1.
inline double PlainWriteAndFlushFolder(const std::string& path, const std::vector<char>& piece, size_t bytes) {
  const auto start = Clock::now();
  if (PlainWrite(path, piece, bytes) < 0) return -1;
  const std::string folder = path.substr(0, path.find_last_of('/') + 1);
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -1;
  if (fsync(fd) != 0) return close(fd), -1;
  close(fd);
  return Seconds(start);
}

// `bytes` of the file in pieces through read(2): the seconds, or -1.
inline double PlainRead(const std::string& path, std::vector<char>& piece, size_t bytes) {
  const auto start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  for (size_t done = 0; done < bytes; done += piece.size()) {
    if (read(fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) return close(fd), -1;
    benchmark::DoNotOptimize(piece.data());
  }
  close(fd);
  return Seconds(start);
}

// `bytes` in pieces through the frame into a new archive file (Create, Write, Close) of an
// initialised media object: the seconds, or -1.
inline double MediaWrite(media_fs* media, const MediaFSArchiveFileId_t& id, const std::vector<char>& piece,
                         size_t bytes) {
  if (media == nullptr) return -1;
  const auto start = Clock::now();
  if (media->Create(&id) != 0) return -1;
  for (size_t done = 0; done < bytes; done += piece.size()) {
    if (media->Write(piece.data(), piece.size()) != static_cast<int>(piece.size())) return -1;
  }
  if (media->Close() != 0) return -1;
  return Seconds(start);
}

// `bytes` of the archive file in pieces through the frame (Open, Read, Close): the seconds, or -1.
inline double MediaRead(media_fs* media, const MediaFSArchiveFileId_t& id, std::vector<char>& piece, size_t bytes) {
  if (media == nullptr) return -1;
  const auto start = Clock::now();
  if (media->Open(&id, false) != 0) return -1;
  for (size_t done = 0; done < bytes; done += piece.size()) {
    if (media->Read(piece.data(), piece.size()) != static_cast<int>(piece.size())) return -1;
    benchmark::DoNotOptimize(piece.data());
  }
  if (media->Close() != 0) return -1;
  return Seconds(start);
}

// Both roads return their seconds, or a negative number on failure. The iteration time is both
// roads' (for benchmarks that take manual time).
template <typename MediaRoad, typename PlainRoad>
void Compare(benchmark::State& state, size_t bytesPerRoad, const std::string& mediaName, MediaRoad media,
             PlainRoad plain, const std::string& plainName = "syscalls") {
  // The first gigabyte a process writes or reads pays for setting up the page cache, whichever
  // road it goes.
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
  const double bytes = static_cast<double>(bytesPerRoad) * static_cast<double>(state.iterations());
  state.counters[mediaName + "_MBps"] = bytes / mediaSeconds / 1e6;
  state.counters[plainName + "_MBps"] = bytes / plainSeconds / 1e6;
  state.counters["ratio"] = plainSeconds / mediaSeconds;
  std::sort(pairRatios.begin(), pairRatios.end());
  const size_t n = pairRatios.size();
  state.counters["median_ratio"] = n % 2 == 1 ? pairRatios[n / 2] : (pairRatios[n / 2 - 1] + pairRatios[n / 2]) / 2;
}

}  // namespace mediabench
