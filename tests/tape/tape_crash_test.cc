// Crash safety of the tape road, for both tape media classes: a child process backs up chunks (each with its chunk map trailer)
// and kills itself with SIGKILL at a random drive operation, often inside a block write, so the
// cartridge keeps a torn block or a chunk the media manager never recorded. After every kill a new
// job appends at the media manager's append point (with the cached position kept or dropped, the
// head where the child left it or rewound), and every chunk recorded so far, and the new ones,
// restore intact.
//
// MFS_CRASH_KILLS sets the number of kills (default 200) for longer runs.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tape_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace tapetest;

struct Committed {
  long long fileMarker;
  std::string data;
};

int KillsFromEnvironment() {
  return mfstest::EnvCount("MFS_CRASH_KILLS", 200);
}

template <class Media>
class TapeCrash : public TapeTestT<Media> {
 protected:
  using Base = TapeTestT<Media>;

  TapeCrash() { this->block = 4096; }

  void SetUp() override {
    Base::SetUp();
    platform::SetLogCaptureLimit(2000);
  }

  static platform::TapeLibraryState& Library() { return Base::Library(); }

  // The chunks of one job, decided by its seed.
  static std::vector<std::string> PlanJob(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> chunks(1 + rng() % 2);
    for (size_t i = 0; i < chunks.size(); ++i) chunks[i] = Pattern(1 + rng() % 20000, seed * 7 + i);
    return chunks;
  }

  // The child: one backup job; each chunk written with its trailer is reported on the pipe. It
  // kills itself before its `killAt`-th drive operation (counting torn points inside block writes).
  int Child(int reportFd, uint64_t seed, long killAt) {
    long seen = 0;
    Library().hook = [&seen, killAt](const std::string&, const std::string&) {
      if (++seen == killAt) raise(SIGKILL);
    };
    JobSetup s = this->Job();
    auto tape = this->NewTape(s);
    if (tape->Init(this->Params(s), false) != 0) return 3;
    long long chunkId = seed * 10;
    for (const std::string& data : PlanJob(seed)) {
      const long long marker = this->BackupChunk(*tape, ++chunkId, data);
      if (marker == 0) return 4;
      if (::write(reportFd, &marker, sizeof(marker)) != static_cast<ssize_t>(sizeof(marker))) return 5;
    }
    return 0;
  }

  // Runs a child job to its end or its kill; the chunks it reported become the media manager's.
  void RunJob(uint64_t seed, long killAt, std::vector<Committed>& committed) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      _exit(Child(fds[1], seed, killAt));
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    const std::vector<std::string> planned = PlanJob(seed);
    long long marker = 0;
    size_t done = 0;
    while (::read(fds[0], &marker, sizeof(marker)) == static_cast<ssize_t>(sizeof(marker))) {
      ASSERT_LT(done, planned.size());
      committed.push_back({marker, planned[done++]});
    }
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << "child failed with " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << " at seed " << seed;
    if (WIFEXITED(status)) {
      ASSERT_EQ(planned.size(), done);
    }
    RecordWithTheMediaManager(committed, seed);
  }

  // What the media manager knows after the job: the files of the reported chunks, and a cached
  // append position (or none). The drive finds the cartridge as the child left it.
  void RecordWithTheMediaManager(const std::vector<Committed>& committed, uint64_t seed) {
    const long long files = committed.empty() ? 1 : committed.back().fileMarker + 1;
    platform::MediaManager().volumes[kVolId].numFiles = files;
    platform::MediaManager().calls.clear();
    long long occupied = 0;
    if (seed % 3 != 0) OZMMvolInfo(kVolId, nullptr).setFileMarker(files, 1, occupied);
    std::string error;
    ASSERT_TRUE(Library().LoadCartridge(kDevice, this->cartridge, {}, &error)) << error;
    if (seed % 5 != 0) Library().Slot(kDevice)->head = Library().Slot(kDevice)->tape->size();
  }

  void RestoreAll(const std::vector<Committed>& committed, uint64_t seed) {
    JobSetup r = this->Job(0);
    auto reader = this->Start(r);
    std::vector<Committed> order = committed;
    std::mt19937_64 rng(seed);
    std::shuffle(order.begin(), order.end(), rng);
    for (const Committed& c : order) {
      ASSERT_TRUE(this->Restore(*reader, c.fileMarker, c.data.size()) == c.data) << "file " << c.fileMarker;
    }
    reader.reset();
    platform::MediaManager().calls.clear();
    long long occupied = 0;
    const long long files = platform::MediaManager().volumes[kVolId].numFiles;
    OZMMvolInfo(kVolId, nullptr).setFileMarker(files, 1, occupied);
  }
};

TYPED_TEST_SUITE(TapeCrash, TapeMediaTypes, TapeMediaNames);

TYPED_TEST(TapeCrash, KilledBackupsLeaveEveryRecordedChunkIntact) {
  const int kills = KillsFromEnvironment();
  std::mt19937_64 rng(mfstest::Seed(20240611));
  std::vector<Committed> committed;
  int killed = 0;
  for (uint64_t seed = 1; killed < kills; ++seed) {
    // A job makes about 30 to 80 drive calls; some jobs end before their kill point.
    const long killAt = 1 + static_cast<long>(rng() % 90);
    this->RunJob(seed, killAt, committed);
    if (this->HasFatalFailure()) return;
    ++killed;
    if (seed % 50 == 0) {
      this->RestoreAll(committed, seed);
      if (this->HasFatalFailure()) return;
    }
  }
  // One last job that is not killed, then everything back.
  this->RunJob(999999, 0, committed);
  ASSERT_FALSE(this->HasFatalFailure());
  this->RestoreAll(committed, 1);
  EXPECT_GT(committed.size(), static_cast<size_t>(kills / 10));
}

}  // namespace
