// Crash safety of the optical disk road. A backup job writes chunks (each with its chunk map
// trailer) and is stopped at a random moment, hundreds of times: killed with SIGKILL before a
// random operation of the optical drive (a child process), or by a power cut before a random call
// of the file-system layer (in the process, with the power-loss model, dropping every unflushed
// change or keeping random pages of it). After every stop the next job writes on beside what the
// last one left, and every chunk whose close returned 0 reads back byte for byte.
//
// MFS_CRASH_KILLS sets the number of kills and MFS_POWER_CUTS the number of power cuts (default
// 200 each) for longer runs.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "optical_fixture.h"
#include "power_cut.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace opticaltest;

struct Committed {
  long long chunkId;
  std::string data;
};

class OpticalCrash : public OpticalTest {
 protected:
  void SetUp() override {
    OpticalTest::SetUp();
    block = 4096;
    platform::SetLogCaptureLimit(2000);
  }

  // The chunks of the job with the seed: ids from the seed, sizes of up to a few blocks.
  static std::vector<Committed> PlanJob(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Committed> chunks(1 + rng() % 3);
    for (size_t i = 0; i < chunks.size(); ++i) {
      chunks[i].chunkId = static_cast<long long>(seed * 10 + i);
      chunks[i].data = Pattern(1 + rng() % 12000, seed * 7 + i);
    }
    return chunks;
  }

  // One backup job; `done` is called with each chunk whose close (and its trailer's) returned 0.
  // 0 when every chunk was written, else the failing step.
  int BackupJob(uint64_t seed, const std::function<void(const Committed&)>& done) {
    auto media = std::make_unique<OpticalUnderTest>(&job, kMediaType);
    if (media->Init(Params(kDataMoverModeBackup), false) != 0) return 3;
    for (const Committed& c : PlanJob(seed)) {
      if (WriteFile(*media, Id(CHUNK, c.chunkId), c.data) != 0) return 4;
      done(c);
      if (WriteFile(*media, Id(CHUNKMAP_TRAILER, c.chunkId), "trailer " + std::to_string(c.chunkId)) != 0) return 5;
    }
    return 0;
  }

  void RestoreAll(const std::vector<Committed>& committed) {
    auto reader = std::make_unique<OpticalUnderTest>(&job, kMediaType);
    ASSERT_EQ(0, reader->Init(Params(0), false));
    for (const Committed& c : committed) {
      ASSERT_TRUE(ReadFile(*reader, Id(CHUNK, c.chunkId), c.data.size()) == c.data) << "chunk " << c.chunkId;
    }
  }

  // A child runs the job and kills itself before its `killAt`-th drive operation; the chunks it
  // reported on the pipe are committed.
  void KilledJob(uint64_t seed, long killAt, std::vector<Committed>& committed) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      long seen = 0;
      Library().hook = [&seen, killAt](const std::string&, const std::string&) {
        if (++seen == killAt) raise(SIGKILL);
      };
      _exit(BackupJob(seed, [&](const Committed& c) {
        if (::write(fds[1], &c.chunkId, sizeof(c.chunkId)) != static_cast<ssize_t>(sizeof(c.chunkId))) _exit(6);
      }));
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    const std::vector<Committed> planned = PlanJob(seed);
    long long chunkId = 0;
    size_t done = 0;
    while (::read(fds[0], &chunkId, sizeof(chunkId)) == static_cast<ssize_t>(sizeof(chunkId))) {
      ASSERT_LT(done, planned.size());
      ASSERT_EQ(planned[done].chunkId, chunkId);
      committed.push_back(planned[done++]);
    }
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << "the job failed with " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << " at seed " << seed;
    if (WIFEXITED(status)) {
      ASSERT_EQ(planned.size(), done);
    }
  }
};

TEST_F(OpticalCrash, KilledBackupsLeaveEveryClosedChunkIntact) {
  const int kills = mfstest::EnvCount("MFS_CRASH_KILLS", 200);
  std::mt19937_64 rng(mfstest::Seed(20240612));
  std::vector<Committed> committed;
  for (uint64_t seed = 1; seed <= static_cast<uint64_t>(kills); ++seed) {
    // A job makes about 15 to 45 drive operations; some end before their kill point.
    KilledJob(seed, 1 + static_cast<long>(rng() % 45), committed);
    if (HasFatalFailure()) return;
    if (seed % 50 == 0) {
      RestoreAll(committed);
      if (HasFatalFailure()) return;
    }
  }
  KilledJob(999999, 0, committed);  // a job that is not killed
  ASSERT_FALSE(HasFatalFailure());
  RestoreAll(committed);
  EXPECT_GT(committed.size(), static_cast<size_t>(kills / 4));
}

TEST_F(OpticalCrash, PowerCutsLeaveEveryClosedChunkIntact) {
  const int cuts = mfstest::EnvCount("MFS_POWER_CUTS", 200);
  std::mt19937_64 rng(mfstest::Seed(20240613));
  std::vector<Committed> committed;
  for (int cut = 1; cut <= cuts; ++cut) {
    powercut::Plan plan;
    plan.mode = cut % 2 == 0 ? platform::PowerCutMode::kRandomPages : platform::PowerCutMode::kDropUnflushed;
    plan.seed = rng() | 1;
    plan.step = 1 + static_cast<long>(rng() % 120);
    std::vector<Committed> closed;
    const powercut::Result r = powercut::Run(
        plan, [&] { return BackupJob(static_cast<uint64_t>(cut), [&](const Committed& c) { closed.push_back(c); }); });
    SCOPED_TRACE(r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    RestoreAll(closed);
    if (HasFatalFailure()) return;
    committed.insert(committed.end(), closed.begin(), closed.end());
    if (cut % 40 == 0 || cut == cuts) {
      RestoreAll(committed);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(committed.size(), static_cast<size_t>(cuts / 4));
}

}  // namespace
