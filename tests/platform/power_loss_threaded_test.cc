// A power cut while several threads write and flush: a call under way when the power goes
// finishes before the cut, none starts after it, and every file holds what its last flush left.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::Faults;
using platform::PowerCutMode;

constexpr size_t kPage = 4096;
constexpr int kThreads = 4;
constexpr int kMaxRounds = 100000;

struct Progress {
  std::atomic<int> flushed{0};    // the last round whose Flush returned success
  std::atomic<int> attempted{0};  // the round whose Flush was called last
};

// Writes page after page over the same place, each filled with its round's number, and flushes
// each; stops at the first failure.
void Writer(const std::string& path, Progress& progress) {
  std::unique_ptr<CFileInterface> f(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
  if (f->Open(path, O_RDWR, 0, 0).IsFailure()) return;
  for (int round = 1; round <= kMaxRounds; ++round) {
    const std::string page(kPage, static_cast<char>(round % 251 + 1));
    unsigned int done = 0;
    if (f->Seek(0, SEEK_SET, nullptr).IsFailure()) return;
    if (f->Write(page.data(), kPage, &done).IsFailure()) return;
    progress.attempted.store(round);
    if (f->Flush().IsFailure()) return;
    progress.flushed.store(round);
  }
}

TEST(PowerLossThreaded, ACutAmongWritersLeavesEachFileAsItsLastFlush) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < kThreads; ++i) {
    paths.push_back(dir / ("f" + std::to_string(i)));
    FILE* f = fopen(paths.back().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  Faults().SetPowerLossModel(true);
  std::vector<Progress> progress(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(Writer, paths[i], std::ref(progress[i]));
  for (int i = 0; i < kThreads; ++i) {
    while (progress[i].flushed.load() < 3 && progress[i].attempted.load() < kMaxRounds) std::this_thread::yield();
  }
  platform::PowerCutReport report = Faults().CutPower(PowerCutMode::kDropUnflushed, 9);
  for (std::thread& t : threads) t.join();
  Faults().RestorePower();
  EXPECT_TRUE(report.errors.empty());

  for (int i = 0; i < kThreads; ++i) {
    SCOPED_TRACE(paths[i]);
    FILE* f = fopen(paths[i].c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string bytes(2 * kPage, '\0');
    bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
    fclose(f);
    ASSERT_EQ(kPage, bytes.size());
    EXPECT_EQ(std::string(kPage, bytes[0]), bytes) << "a torn page";
    // The flush under way when the power went either finished before the cut or did not start.
    const int last = progress[i].flushed.load(), attempted = progress[i].attempted.load();
    const char got = bytes[0];
    EXPECT_TRUE(got == static_cast<char>(last % 251 + 1) || got == static_cast<char>(attempted % 251 + 1))
        << "rounds " << last << "/" << attempted;
  }
}

}  // namespace
