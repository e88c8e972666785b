// Copy jobs on the appliance stand-in's worker thread while media objects on several threads
// schedule, run and wait for their copies, another thread polls every job, and another cancels
// the jobs of a source while one of them runs.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "storeonce_fixture.h"

namespace {

using namespace sotest;
using platform::ApplianceOp;

class StoreOnceCopyThreads : public StoreOnceTest {};

TEST_F(StoreOnceCopyThreads, MediaCopiesWhileJobsArePolled) {
  constexpr int kThreads = 4;
  constexpr int kChunksPerThread = 3;
  std::vector<std::string> sources;
  for (int t = 0; t < kThreads; ++t) {
    sources.push_back(Pattern(300000, 50 + t));
    WriteDataChunk(50 + t, sources.back());
  }

  // The jobs the poller has seen. Each writer waits, after each copy, until the poller has seen
  // its job: every job is polled whichever thread the scheduler runs first, and the poller runs
  // among the writers, not after them.
  std::mutex seenMutex;
  std::condition_variable seenChanged;
  std::set<long long> seen;
  bool pollerGone = false;
  std::atomic<bool> done{false};
  std::thread poller([&] {
    struct Gone {
      std::mutex& m;
      std::condition_variable& cv;
      bool& gone;
      ~Gone() {
        std::lock_guard<std::mutex> lock(m);
        gone = true;
        cv.notify_all();
      }
    } gone{seenMutex, seenChanged, pollerGone};
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
    auto* appliance = dynamic_cast<CHPStoreOnceFS*>(fs.get());
    ASSERT_NE(nullptr, appliance);
    while (!done.load()) {
      for (const platform::ApplianceCall& c : platform::Appliance().CallsOf(ApplianceOp::CopyObject)) {
        CXoError result;
        uint32_t percent = 101;
        // The call is recorded before its job is made: until then the job is unknown.
        if (appliance->GetCopyStatus("", static_cast<uint64_t>(c.args.back()), false, result, percent).IsSuccess()) {
          EXPECT_LE(percent, 100u);
          EXPECT_TRUE(result.IsSuccess()) << result.AsString();
          std::lock_guard<std::mutex> lock(seenMutex);
          if (seen.insert(c.args.back()).second) seenChanged.notify_all();
        }
      }
      std::this_thread::yield();
    }
  });

  // Waits until the poller has seen the last copy job into `destination`; false when there is none.
  auto awaitPolled = [&](const std::string& destination) {
    long long job = -1;
    for (const platform::ApplianceCall& c : platform::Appliance().CallsOf(ApplianceOp::CopyObject)) {
      if (c.other == destination) job = std::max(job, c.args.back());
    }
    if (job < 0) return false;
    std::unique_lock<std::mutex> lock(seenMutex);
    seenChanged.wait(lock, [&] { return pollerGone || seen.count(job) != 0; });
    return true;
  };

  std::vector<std::thread> writers;
  std::vector<std::vector<std::string>> expected(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      auto media = std::make_unique<HPStoreOnce_FS>(&job, params);
      if (media->Init(InitParams(kDataMoverModeBackup), false) != 0) return;
      for (int c = 0; c < kChunksPerThread; ++c) {
        MediaFSArchiveFileId_t id = ChunkId(1000 + t * 10 + c);
        if (media->Create(&id) != 0) return;
        std::string model;
        // Two runs of links from the thread's source, the second where the first does not end.
        for (size_t at : {1000 * c, 150000 + 1000 * c}) {
          for (size_t piece = 0; piece < 4; ++piece) {
            SILinkHdr link = Link(kVolId, static_cast<unsigned long long>(50 + t), 1, at + piece * 7000, 7000);
            int eom = -1;
            if (media->ScheduleDataFileCopy(&link, kTHId, false, &eom) != 7000) return;
            model += sources[static_cast<size_t>(t)].substr(at + piece * 7000, 7000);
          }
          if (media->CopyDataFile() != 0) return;
          if (!awaitPolled(DataObject(1000 + t * 10 + c))) return;
        }
        if (media->Close() != 0) return;
        expected[static_cast<size_t>(t)].push_back(model);
      }
    });
  }
  for (std::thread& w : writers) w.join();
  done.store(true);
  poller.join();

  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(static_cast<size_t>(kChunksPerThread), expected[static_cast<size_t>(t)].size()) << "thread " << t;
    for (int c = 0; c < kChunksPerThread; ++c) {
      EXPECT_TRUE(expected[static_cast<size_t>(t)][static_cast<size_t>(c)] == ReadFile(DataObject(1000 + t * 10 + c)));
    }
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kChunksPerThread * 2),
            platform::Appliance().CallsOf(ApplianceOp::CopyObject).size());
  std::set<long long> jobs;
  for (const platform::ApplianceCall& c : platform::Appliance().CallsOf(ApplianceOp::CopyObject)) jobs.insert(c.args.back());
  EXPECT_EQ(jobs, seen) << "every copy job was polled";
  EXPECT_EQ(0u, platform::Appliance().RunningJobs());
}

// A cancel returns once no job from its source runs: a job cut short reports the cancellation,
// one that had ended keeps its outcome, and jobs from other sources go on.
TEST_F(StoreOnceCopyThreads, CancelWhileAJobRuns) {
  const std::string big = path_append(mountRoot, "big/1.data");
  std::filesystem::create_directories(path_append(mountRoot, "big"));
  {
    std::ofstream out(big, std::ios::binary);
    const std::string block = Pattern(1 << 20, 3);
    for (int i = 0; i < 48; ++i) out << block;
  }
  WriteDataChunk(60, Pattern(100000, 60));
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  auto* appliance = dynamic_cast<CHPStoreOnceFS*>(fs.get());
  ASSERT_NE(nullptr, appliance);

  for (int round = 0; round < 4; ++round) {
    uint64_t bigJob = 0, otherJob = 0;
    const std::string target = path_append(mountRoot, "copies/" + std::to_string(round));
    ASSERT_TRUE(appliance->CopyObject(big, 0, params, target + ".big", 0, 48ULL << 20, false, bigJob).IsSuccess());
    ASSERT_TRUE(appliance->CopyObject(DataObject(60), 0, params, target + ".other", 0, 100000, false, otherJob).IsSuccess());
    std::thread canceller([&] { EXPECT_TRUE(appliance->CancelCopyJob(big, params, "").IsSuccess()); });
    CXoError result;
    uint32_t percent = 0;
    while (appliance->GetCopyStatus("", bigJob, false, result, percent).IsSuccess() && percent < 100) std::this_thread::yield();
    canceller.join();
    ASSERT_TRUE(appliance->GetCopyStatus("", bigJob, false, result, percent).IsSuccess());
    EXPECT_EQ(100u, percent);  // ended, one way or the other
    EXPECT_TRUE(result.IsSuccess() || FXErrorUtil::IsErrNo(result, ECANCELED)) << result.AsString();
    ASSERT_TRUE(appliance->GetCopyStatus("", otherJob, true, result, percent).IsSuccess());
    EXPECT_TRUE(result.IsSuccess());
    EXPECT_EQ(Pattern(100000, 60), ReadFile(target + ".other"));
  }
  EXPECT_EQ(0u, platform::Appliance().RunningJobs());
}

}  // namespace
