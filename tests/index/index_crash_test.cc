// Crash safety of journaled index files: a child appends, updates and flushes in a loop and is
// killed with SIGKILL at random moments, often inside Flush (it kills itself before a chosen file
// operation). After every kill the file must open cleanly, replaying its journal, and hold exactly
// the records of the last completed Flush or of the one that was under way, with valid CRCs and
// matching header counts.
//
// MFS_CRASH_KILLS sets the number of kills per layout (default 150) for longer runs.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <map>
#include <random>

#include "index_crash_model.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace crashmodel;

// A self-inflicted kill's point, reported by the child just before it dies, carries this tag.
constexpr uint64_t kKillPointTag = 1ull << 63;

class IndexCrash : public ::testing::TestWithParam<bool /*aligned*/>, protected CrashFixture {
 protected:
  void SetUp() override { Start(GetParam()); }

  // The child: replays what a crash left (by opening), then works round after round, reporting
  // each completed Flush. With a kill point it kills itself before the nth file operation of
  // that kind.
  int Child(int reportFd, uint64_t seed, uint64_t killPoint, long nth) {
    long seen = 0;
    if (killPoint != 0) {
      platform::Faults().SetHook([&, reportFd](platform::FsOp op, const std::string& p) {
        if (p.compare(0, dir_.path().size(), dir_.path()) != 0) return;
        if (Classify(op, p, path_) != killPoint || ++seen < nth) return;
        const uint64_t point = kKillPointTag | killPoint;
        (void)!::write(reportFd, &point, sizeof(point));
        raise(SIGKILL);
      });
    }
    SFileIndex idx(&params_, nullptr);
    auto opt = Options();
    if (idx.Open(path_, 2, opt).IsFailure()) return 3;
    return RunRounds(idx, model_, seed, 60, [reportFd](uint64_t done) { (void)!::write(reportFd, &done, sizeof(done)); });
  }

  void Verify(uint64_t seed, uint64_t completed, bool replayHere) {
    VerifyState(params_, path_, aligned_, {After(model_, seed, completed), After(model_, seed, completed + 1)},
                replayHere, model_);
  }

};

TEST_P(IndexCrash, EveryKillLeavesAFlushedState) {
  platform::SetLogCaptureLimit(1000);
  const int kills = mfstest::EnvCount("MFS_CRASH_KILLS", 150);
  std::mt19937_64 rng(mfstest::Seed(aligned_ ? 7 : 11));
  std::map<uint64_t, int> killPoints;
  int replays = 0;

  for (int iter = 0; iter < kills; ++iter) {
    SCOPED_TRACE("kill " + std::to_string(iter));
    if (model_.records.size() > 8000) Recreate();
    const uint64_t seed = rng();
    const bool selfKill = iter % 3 != 0;
    const uint64_t killPoint = selfKill ? 1 + rng() % (kOther - 1) : 0;
    const long nth = 1 + static_cast<long>(rng() % (killPoint == kJournalWrite || killPoint == kPageWrite ? 40 : 5));
    Pipe reports;
    const pid_t pid = Fork([&] {
      reports.CloseRead();
      return Child(reports.WriteFd(), seed, killPoint, nth);
    });
    reports.CloseWrite();

    if (!selfKill) {
      // Let the child get going, then kill it at a random moment.
      const int wantReports = static_cast<int>(rng() % 3);
      std::vector<uint64_t> early;
      for (int i = 0; i < wantReports; ++i) {
        struct pollfd pfd {reports.ReadFd(), POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0) break;
        uint64_t v = 0;
        if (::read(reports.ReadFd(), &v, sizeof(v)) != sizeof(v)) break;
        early.push_back(v);
      }
      struct timespec pause {0, static_cast<long>(rng() % 3000) * 1000};
      nanosleep(&pause, nullptr);
      kill(pid, SIGKILL);
      const int status = Wait(pid);
      ASSERT_TRUE(status == 128 + SIGKILL || status == 0) << "child status " << status;
      uint64_t completed = early.empty() ? 0 : early.back();
      uint64_t v = 0;
      while (::read(reports.ReadFd(), &v, sizeof(v)) == sizeof(v)) completed = v;
      Verify(seed, completed, iter % 2 == 0);
    } else {
      const int status = Wait(pid);
      ASSERT_TRUE(status == 128 + SIGKILL || status == 0) << "child status " << status;
      uint64_t completed = 0;
      uint64_t v = 0;
      while (::read(reports.ReadFd(), &v, sizeof(v)) == sizeof(v)) {
        if (v & kKillPointTag) {
          ++killPoints[v & ~kKillPointTag];
        } else {
          completed = v;
        }
      }
      Verify(seed, completed, iter % 2 == 0);
    }
    if (HasFatalFailure()) return;
    if (Exists(path_ + ".change")) ++replays;
  }

  std::string seen;
  for (const auto& [point, count] : killPoints) seen += std::string(CrashPointName(point)) + "=" + std::to_string(count) + " ";
  RecordProperty("kill_points", seen);
  for (uint64_t point : {kJournalWrite, kJournalFlush, kJournalRename, kFolderFlush, kPageWrite, kIndexFlush,
                         kJournalRemove}) {
    EXPECT_GT(killPoints[point], 0) << "no kill at " << CrashPointName(point) << "; seen: " << seen;
  }
  EXPECT_GT(replays, 0) << "no kill left a journal to replay";
}

INSTANTIATE_TEST_SUITE_P(Layouts, IndexCrash, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AlignedWithJournal" : "PackedContainerIndex";
                         });

}  // namespace
