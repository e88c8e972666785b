// Crash safety of the backup road. A child process runs a backup job with checkpoints into one
// chunk and is killed: at random moments by the test, or by itself before a chosen file operation
// (a container write before its index record, a write of an index or of the metadata file, a
// flush inside a checkpoint, a folder flush, a creation, any step of the close). After every kill
// a new job continues the chunk in the test process, and the test makes the checks of
// store_crash_fixture.h. A chunk that holds many objects is retired and the next kill starts a
// new one.
//
// MFS_STORE_CRASH_KILLS sets the number of kills for longer runs: by default 240, and 100 in the
// sanitizer builds, where each process costs several times as much.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

#include "store_crash_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace sitest;
using platform::FsOp;

// What the child reports, one fixed-size record per write to the pipe (atomic below PIPE_BUF).
enum ReportType : uint64_t { kObject = 1, kCheckpoint, kClosed, kKilledAt };

struct Report {
  uint64_t type = 0;
  uint64_t key = 0, container = 0, offset = 0, metaOffset = 0, dataSize = 0, metaSize = 0, seed = 0;
};

class StoreCrashTest : public StoreCrashFixture {
 public:
  // The child: runs the job, reporting every object, checkpoint and the close as they complete.
  int Child(int fd, long long chunkId, bool append, uint64_t seed, CrashStep point, long nth) {
    platform::SetLogCaptureLimit(50);
    std::atomic<bool> closing{false};
    std::atomic<long> seen{0};
    auto send = [fd](const Report& r) { (void)!::write(fd, &r, sizeof(r)); };
    if (point != kAnyStep) {
      platform::Faults().SetHook([&, fd](FsOp op, const std::string& path) {
        if (!InChunkFolders(path)) return;
        const bool hit = point == kInClose ? closing.load() : Classify(op, path) == point;
        if (!hit || ++seen < nth) return;
        Report r;
        r.type = kKilledAt;
        r.key = point;
        send(r);
        raise(SIGKILL);
      });
    }
    const int rc = RunJob(
        chunkId, append, seed,
        [&](const WrittenObject& w) {
          send(Report{kObject, w.shape.key, w.container, w.offset, w.metaOffset, w.shape.dataSize, w.shape.metaSize,
                      w.shape.seed});
        },
        [&] { send(Report{kCheckpoint}); }, closing);
    if (rc != 0) return rc;
    send(Report{kClosed});
    return 0;
  }
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultKills = 100;
#else
constexpr int kDefaultKills = 240;
#endif

TEST_F(StoreCrashTest, EveryKillLeavesTheLastCheckpointIntactAndTheChunkContinuable) {
  const int kills = mfstest::EnvCount("MFS_STORE_CRASH_KILLS", kDefaultKills);
  std::mt19937_64 rng(mfstest::Seed(20240611));
  std::map<uint64_t, int> killedAt;
  long long chunkId = 100;
  std::vector<WrittenObject> committed;
  bool chunkExists = false;

  for (int iter = 0; iter < kills; ++iter) {
    SCOPED_TRACE("kill " + std::to_string(iter) + ", chunk " + std::to_string(chunkId));
    ASSERT_EQ(0, platform::LiveThreads()) << "a fork must find no other thread";
    const uint64_t seed = rng();
    const CrashStep point = iter % 4 == 0 ? kAnyStep : static_cast<CrashStep>(1 + rng() % (kCrashSteps - 1));
    const long nth = 1 + static_cast<long>(rng() % (point == kContainerWrite || point == kMetaDataWrite ? 12 : 4));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    if (pid == 0) {
      ::close(fds[0]);
      _exit(Child(fds[1], chunkId, chunkExists, seed, point, nth));
    }
    ::close(fds[1]);

    std::vector<Report> reports;
    auto readReport = [&](int timeoutMs) {
      struct pollfd pfd {fds[0], POLLIN, 0};
      Report r;
      if (poll(&pfd, 1, timeoutMs) <= 0 || ::read(fds[0], &r, sizeof(r)) != sizeof(r)) return false;
      reports.push_back(r);
      return true;
    };
    if (point == kAnyStep) {
      // Let the child get going, then kill it at a random moment.
      const int wanted = static_cast<int>(rng() % 12);
      for (int i = 0; i < wanted && readReport(10000);) ++i;
      kill(pid, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    while (readReport(0)) {
    }
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << "child status " << status;

    std::vector<WrittenObject> underWay;
    for (const Report& r : reports) {
      if (r.type == kObject) {
        WrittenObject w;
        w.shape = ObjectShape{r.key, static_cast<uint32_t>(r.dataSize), static_cast<uint32_t>(r.metaSize), r.seed};
        w.container = static_cast<uint32_t>(r.container);
        w.offset = r.offset;
        w.metaOffset = r.metaOffset;
        underWay.push_back(w);
      } else if (r.type == kCheckpoint) {
        committed.insert(committed.end(), underWay.begin(), underWay.end());
        underWay.clear();
      } else if (r.type == kKilledAt) {
        ++killedAt[r.key];
      }
    }
    if (point == kAnyStep) ++killedAt[kAnyStep];

    ContinueAfterCrash(chunkId, committed, chunkExists, seed ^ 0x5555);
    if (HasFatalFailure()) return;
  }

  ExpectEveryStep(killedAt, "kill_points", kills >= 100);
}

}  // namespace
