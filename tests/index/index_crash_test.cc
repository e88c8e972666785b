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

#include "index_test_util.h"

namespace {

using namespace idxtest;
using platform::FsOp;

struct ModelRecord {
  uint64_t key;
  uint64_t value;
  uint32_t deleted;
};

struct Model {
  std::vector<ModelRecord> records;
  uint64_t lastKey = 0;
  uint64_t Deleted() const {
    uint64_t n = 0;
    for (const auto& r : records) n += r.deleted != 0;
    return n;
  }
};

SSfileContainerIndexEntry ToEntry(const ModelRecord& m) {
  SSfileContainerIndexEntry r{};
  r.Key = m.key;
  r.DataFileOffset = m.value;
  r.DataLength = m.value ^ m.key;
  r.OwnerValue0 = ~m.value;
  r.ContainerNo = static_cast<uint32_t>(m.value);
  r.Flags = FLAG_SFILE_ENTRY_VALID;
  r.Deleted = m.deleted;
  return r;
}

// One round of the child's work, decided by (seed, round) and the records present.
struct Round {
  std::vector<ModelRecord> appends;
  std::vector<std::pair<size_t, ModelRecord>> updates;
};

Round PlanRound(const Model& m, uint64_t seed, uint64_t round) {
  std::mt19937_64 rng(seed * 1000003 + round);
  Round r;
  uint64_t key = m.lastKey;
  const int appends = 1 + static_cast<int>(rng() % 40);
  for (int i = 0; i < appends; ++i) {
    key += 1 + rng() % 3;
    r.appends.push_back(ModelRecord{key, rng(), rng() % 4 == 0 ? 1u : 0u});
  }
  if (!m.records.empty()) {
    const int updates = static_cast<int>(rng() % 8);
    for (int i = 0; i < updates; ++i) {
      const size_t at = rng() % m.records.size();
      ModelRecord changed = m.records[at];
      changed.value = rng();
      changed.deleted = changed.deleted ? 0 : 1;
      r.updates.emplace_back(at, changed);
    }
  }
  return r;
}

void Apply(Model& m, const Round& r) {
  for (const auto& [at, rec] : r.updates) m.records[at] = rec;
  for (const auto& rec : r.appends) m.records.push_back(rec);
  if (!r.appends.empty()) m.lastKey = r.appends.back().key;
}

// Where a self-inflicted kill fell, reported by the child just before it dies.
enum KillPoint : uint64_t {
  kOpen = 1, kJournalWrite, kJournalFlush, kJournalRename, kFolderFlush, kPageWrite, kIndexFlush,
  kJournalRemove, kOther, kKillPoints
};
constexpr uint64_t kKillPointTag = 1ull << 63;

const char* KillPointName(uint64_t p) {
  static const char* names[] = {"",          "open",       "journal write", "journal flush", "journal rename",
                                "folder flush", "page write", "index flush",   "journal remove", "other"};
  return p < kKillPoints ? names[p] : "?";
}

class IndexCrash : public ::testing::TestWithParam<bool /*aligned*/> {
 protected:
  void SetUp() override {
    aligned_ = GetParam();
    Recreate();
  }

  typename SFileIndex::Options Options() const { return Opts<SFileIndex>(aligned_, aligned_); }

  void Recreate() {
    SFileIndex idx(&params_, nullptr);
    auto opt = Options();
    ASSERT_TRUE(idx.Create(path_, opt).IsSuccess());
    ASSERT_TRUE(idx.Close().IsSuccess());
    model_ = Model();
  }

  uint64_t Classify(FsOp op, const std::string& p) const {
    const bool tmp = p == path_ + ".change.tmp";
    switch (op) {
      case FsOp::Open: return kOpen;
      case FsOp::Write: return tmp ? kJournalWrite : p == path_ ? kPageWrite : kOther;
      case FsOp::Seek: return p == path_ ? kPageWrite : tmp ? kJournalWrite : kOther;
      case FsOp::Flush: return tmp ? kJournalFlush : p == path_ ? kIndexFlush : kFolderFlush;
      case FsOp::Rename: return kJournalRename;
      case FsOp::Remove: return kJournalRemove;
      default: return kOther;
    }
  }

  // The child: replays what a crash left (by opening), then works round after round, reporting
  // each completed Flush. With a kill point it kills itself before the nth file operation of
  // that kind.
  int Child(int reportFd, uint64_t seed, uint64_t killPoint, long nth) {
    long seen = 0;
    if (killPoint != 0) {
      platform::Faults().SetHook([&, reportFd](FsOp op, const std::string& p) {
        if (p.compare(0, dir_.path().size(), dir_.path()) != 0) return;
        if (Classify(op, p) != killPoint || ++seen < nth) return;
        const uint64_t point = kKillPointTag | killPoint;
        (void)!::write(reportFd, &point, sizeof(point));
        raise(SIGKILL);
      });
    }
    SFileIndex idx(&params_, nullptr);
    auto opt = Options();
    if (idx.Open(path_, 2, opt).IsFailure()) return 3;
    Model m = model_;
    for (uint64_t round = 0; round < 60; ++round) {
      const Round r = PlanRound(m, seed, round);
      for (const auto& [at, rec] : r.updates) {
        SSfileContainerIndexEntry e = ToEntry(rec);
        if (idx.UpdateEntry(static_cast<int64_t>(at), &e).IsFailure()) return 4;
      }
      for (const auto& rec : r.appends) {
        SSfileContainerIndexEntry e = ToEntry(rec);
        if (idx.AddEntry(&e).IsFailure()) return 5;
      }
      if (idx.Flush().IsFailure()) return 6;
      Apply(m, r);
      const uint64_t done = round + 1;
      (void)!::write(reportFd, &done, sizeof(done));
    }
    return 0;
  }

  // Reads every record and the header counts; empty when the file matches `m`.
  std::string Compare(SFileIndex& idx, const Model& m) {
    if (idx.m_Header.TotalEntries != m.records.size()) {
      return "total " + std::to_string(idx.m_Header.TotalEntries) + " expected " + std::to_string(m.records.size());
    }
    if (!aligned_ && idx.m_Header.DeletedEntries != m.Deleted()) {
      return "deleted " + std::to_string(idx.m_Header.DeletedEntries) + " expected " + std::to_string(m.Deleted());
    }
    for (size_t i = 0; i < m.records.size(); ++i) {
      SSfileContainerIndexEntry got;
      CXoError e = idx.GetEntry(static_cast<int64_t>(i), &got);
      if (e.IsFailure()) return "record " + std::to_string(i) + ": " + e.AsString();
      SSfileContainerIndexEntry want = ToEntry(m.records[i]);
      want.CRC32 = got.CRC32;
      if (memcmp(&got, &want, sizeof(got)) != 0) return "record " + std::to_string(i) + " differs";
    }
    return "";
  }

  // Opens the file as a crash left it and finds which of the two possible states it holds.
  void Verify(const Model& completed, const Model& underWay, bool replayHere, Model& now) {
    SFileIndex reader(&params_, nullptr);
    auto opt = Options();
    CXoError e = reader.Open(path_, 1, opt);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    std::string first = Compare(reader, completed);
    std::string second = first.empty() ? "" : Compare(reader, underWay);
    ASSERT_TRUE(first.empty() || second.empty()) << "neither state: " << first << " / " << second;
    now = first.empty() ? completed : underWay;
    ASSERT_TRUE(reader.Close().IsSuccess());
    if (!replayHere) return;

    SFileIndex writer(&params_, nullptr);
    e = writer.Open(path_, 2, opt);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    ASSERT_EQ(Compare(writer, now), "");
    ASSERT_TRUE(writer.Close().IsSuccess());
    ASSERT_FALSE(Exists(path_ + ".change"));
    // The header on disk is whole and counts the records.
    const std::string header = ReadFile(path_).substr(0, 128);
    ASSERT_EQ(GetBE32(header, 124), Crc(header, 0, 124));
    if (!aligned_) {
      ASSERT_EQ(GetBE64(header, 24), now.records.size());
      ASSERT_EQ(GetBE64(header, 16), now.Deleted());
    }
  }

  bool aligned_ = false;
  TempDir dir_;
  std::string path_ = dir_.File("SFILE_CONTAINER.idx");
  CFSInitParams params_ = Params();
  Model model_;
};

TEST_P(IndexCrash, EveryKillLeavesAFlushedState) {
  platform::SetLogCaptureLimit(1000);
  const char* env = getenv("MFS_CRASH_KILLS");
  const int kills = env != nullptr && atoi(env) > 0 ? atoi(env) : 150;
  std::mt19937_64 rng(aligned_ ? 7 : 11);
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
      Model done = model_;
      for (uint64_t r = 0; r < completed; ++r) Apply(done, PlanRound(done, seed, r));
      Model next = done;
      Apply(next, PlanRound(next, seed, completed));
      Verify(done, next, iter % 2 == 0, model_);
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
      Model done = model_;
      for (uint64_t r = 0; r < completed; ++r) Apply(done, PlanRound(done, seed, r));
      Model next = done;
      Apply(next, PlanRound(next, seed, completed));
      Verify(done, next, iter % 2 == 0, model_);
    }
    if (HasFatalFailure()) return;
    if (Exists(path_ + ".change")) ++replays;
  }

  std::string seen;
  for (const auto& [point, count] : killPoints) seen += std::string(KillPointName(point)) + "=" + std::to_string(count) + " ";
  RecordProperty("kill_points", seen);
  for (uint64_t point : {kJournalWrite, kJournalFlush, kJournalRename, kFolderFlush, kPageWrite, kIndexFlush,
                         kJournalRemove}) {
    EXPECT_GT(killPoints[point], 0) << "no kill at " << KillPointName(point) << "; seen: " << seen;
  }
  EXPECT_GT(replays, 0) << "no kill left a journal to replay";
}

INSTANTIATE_TEST_SUITE_P(Layouts, IndexCrash, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AlignedWithJournal" : "PackedContainerIndex";
                         });

}  // namespace
