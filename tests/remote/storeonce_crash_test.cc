// Crash safety of the appliance media: a child process backs up chunks (metadata, data, index
// entries, clones and copies of a source chunk) and is killed at a chosen call (a data write, a
// clone, an index page write, the copy, each close step) or at a random one. After every kill,
// each chunk the child closed reads back byte for byte with its index, the source chunk is
// unchanged, and the chunk under way is refused for reuse.
//
// MFS_CRASH_KILLS sets the number of random kills (default 40) for longer runs; MFS_TEST_SEED
// changes their choice.

#include <signal.h>

#include <cstdlib>
#include <map>
#include <random>

#include "index/index_test_util.h"
#include "storeonce_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using namespace sotest;
using platform::FsOp;

constexpr long long kSourceChunk = 1;
constexpr size_t kSourceSize = 200000;

int RandomKills() {
  return mfstest::EnvCount("MFS_CRASH_KILLS", 40);
}

// A chunk's data is a row of segments: bytes of its own, or a range of the source chunk.
struct Segment {
  bool linked = false;
  size_t sourceOffset = 0;
  std::string bytes;
};

struct ChunkModel {
  std::string meta;
  std::string data;
  std::vector<Segment> segments;
  std::vector<unsigned long long> keys;

  void Own(std::string bytes) {
    data += bytes;
    segments.push_back({false, 0, std::move(bytes)});
  }
  void Linked(const std::string& source, size_t offset, size_t n) {
    data += source.substr(offset, n);
    segments.push_back({true, offset, source.substr(offset, n)});
  }
};

// Where a child kills itself: before the n-th call of `op` on a path holding `path` (null: the
// n-th call of the layer, whatever it is).
struct KillPoint {
  const char* what;
  FsOp op;
  const char* path;
  long nth;
};

class StoreOnceCrash : public StoreOnceTest {
 protected:
  void SetUp() override {
    platform::SetLogCaptureLimit(2000);
    WriteDataChunk(kSourceChunk, Pattern(kSourceSize, 1));
    source = ReadFile(DataObject(kSourceChunk));
  }

  // The chunks of one job, decided by its seed: even ones clone between data of their own, odd
  // ones are copies (runs of links that continue each other).
  static std::vector<std::pair<long long, ChunkModel>> PlanJob(uint64_t seed, const std::string& src) {
    std::mt19937_64 rng(seed);
    std::vector<std::pair<long long, ChunkModel>> plan;
    for (int i = 0; i < 3; ++i) {
      ChunkModel m;
      m.meta = Pattern(1 + rng() % 3000, static_cast<unsigned>(seed * 10 + i));
      if (i % 2 == 0) {
        m.Own(Pattern(1 + rng() % 50000, static_cast<unsigned>(seed * 20 + i)));
        m.Linked(src, rng() % (kSourceSize - 40000), 1 + rng() % 40000);
        m.Own(Pattern(1 + rng() % 1000, static_cast<unsigned>(seed * 30 + i)));
        m.Linked(src, rng() % (kSourceSize - 40000), 1 + rng() % 40000);
      } else {
        m.Linked(src, rng() % (kSourceSize / 2), 1 + rng() % 60000);
      }
      for (unsigned long long k = 1; k <= 1 + rng() % 30; ++k) m.keys.push_back(k * 64);
      plan.emplace_back(static_cast<long long>(seed * 10 + i), m);
    }
    return plan;
  }

  // Writes one chunk of the plan: the same calls whatever the kill point.
  static bool WriteChunk(HPStoreOnce_FS& media, long long chunkId, const ChunkModel& m) {
    MediaFSArchiveFileId_t id = ChunkId(chunkId);
    if (media.Create(&id) != 0) return false;
    int eom = 0;
    if (media.WriteToMetaData(m.meta.data(), static_cast<long>(m.meta.size()), &eom) < 0) return false;
    const bool copies = chunkId % 2 == 1;
    for (const Segment& segment : m.segments) {
      // Linked ranges go as links of at most 16 KiB: several clones, or a run of links merged
      // into one copy.
      for (size_t at = 0; at < segment.bytes.size(); at += 16384) {
        const size_t n = std::min<size_t>(segment.bytes.size() - at, 16384);
        int r = 0;
        if (segment.linked) {
          SILinkHdr link = Link(kVolId, kSourceChunk, 1, segment.sourceOffset + at, n);
          r = copies ? media.ScheduleDataFileCopy(&link, kTHId, false, &eom) : media.CloneToDataFile(&link, 0, &eom);
        } else {
          r = media.WriteToDataFile(segment.bytes.data() + at, static_cast<long>(n), &eom);
        }
        if (r < 0) return false;
      }
    }
    for (unsigned long long key : m.keys) {
      SChunkMetaDataIndexEntry e = Entry(key);
      if (media.AddChunkMetaDataIndexEntry(e) != 0) return false;
    }
    return media.Close() == 0;
  }

  // The child's job: each chunk it closed is reported on the pipe.
  int Child(int reportFd, uint64_t seed, const KillPoint& kill) {
    long seen = 0;
    platform::Faults().SetHook([&](FsOp op, const std::string& path) {
      if (kill.path != nullptr && (op != kill.op || path.find(kill.path) == std::string::npos)) return;
      if (++seen == kill.nth) raise(SIGKILL);
    });
    auto media = NewMedia();
    for (const auto& [chunkId, model] : PlanJob(seed, source)) {
      if (!WriteChunk(*media, chunkId, model)) return 3;
      if (::write(reportFd, &chunkId, sizeof(chunkId)) != static_cast<ssize_t>(sizeof(chunkId))) return 4;
    }
    return 0;
  }

  void RunJob(uint64_t seed, const KillPoint& kill, bool mustKill) {
    SCOPED_TRACE(std::string("kill at ") + kill.what + ", call " + std::to_string(kill.nth) + ", seed " +
                 std::to_string(seed));
    idxtest::Pipe report;
    const pid_t pid = idxtest::Fork([&] {
      report.CloseRead();
      return Child(report.WriteFd(), seed, kill);
    });
    ASSERT_GT(pid, 0);
    report.CloseWrite();
    const int status = idxtest::Wait(pid);
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "child status " << status;
    if (mustKill) {
      EXPECT_NE(0, status) << "the kill point was never reached";
    }
    std::vector<long long> closed;
    long long chunkId = 0;
    while (::read(report.ReadFd(), &chunkId, sizeof(chunkId)) == static_cast<ssize_t>(sizeof(chunkId))) {
      closed.push_back(chunkId);
    }
    const auto plan = PlanJob(seed, source);
    ASSERT_LE(closed.size(), plan.size());
    if (status == 0) {
      ASSERT_EQ(plan.size(), closed.size());
    }
    for (size_t i = 0; i < closed.size(); ++i) {
      ASSERT_EQ(plan[i].first, closed[i]);
      CheckChunk(plan[i].first, plan[i].second);
    }
    EXPECT_EQ(source, ReadFile(DataObject(kSourceChunk)));
    if (closed.size() < plan.size()) {
      auto media = NewMedia(2);
      MediaFSArchiveFileId_t id = ChunkId(plan[closed.size()].first);
      id.bChunkReuse = true;
      EXPECT_EQ(-1, media->OpenSpecific(&id));
    }
    ++jobs;
    killed += status != 0;
  }

  void CheckChunk(long long chunkId, const ChunkModel& m) {
    SCOPED_TRACE("chunk " + std::to_string(chunkId));
    auto media = NewMedia(2);
    MediaFSArchiveFileId_t id = ChunkId(chunkId);
    ASSERT_EQ(0, media->Open(&id, false));
    std::string meta(m.meta.size() + 1, '\0');
    ASSERT_EQ(static_cast<int>(m.meta.size()), media->ReadFromMetaData(meta.data(), static_cast<long>(meta.size())));
    meta.resize(m.meta.size());
    EXPECT_TRUE(meta == m.meta);
    std::string data(m.data.size(), '\0');
    ASSERT_EQ(static_cast<int>(m.data.size()), media->ReadFromDataFile(data.data(), static_cast<long>(data.size())));
    EXPECT_TRUE(data == m.data);
    for (unsigned long long key : m.keys) {
      SChunkMetaDataIndexEntry found{};
      EXPECT_EQ(0, media->SearchChunkMetaDataIndex(key, found)) << key;
    }
    EXPECT_EQ(0, media->Close());
  }

  std::string source;
  int jobs = 0;
  int killed = 0;
};

TEST_F(StoreOnceCrash, KilledJobsLeaveEveryClosedChunkWhole) {
  const KillPoint chosen[] = {
      {"a data write", FsOp::Write, "1.data", 2},
      {"a clone", FsOp::Clone, "1.data", 1},
      {"a later clone", FsOp::Clone, "1.data", 3},
      {"an index page write", FsOp::Write, ".idx", 2},
      {"the copy", FsOp::Copy, "1.data", 1},
      {"a later copy", FsOp::Copy, "", 3},
      {"the metadata close", FsOp::Close, ".meta", 2},
      {"the index close", FsOp::Close, ".idx", 1},
      {"the data close", FsOp::Close, "1.data", 2},
  };
  uint64_t seed = 1;
  for (const KillPoint& kill : chosen) {
    RunJob(seed++, kill, true);
    if (HasFatalFailure()) return;
  }
  std::mt19937_64 rng(mfstest::Seed(20261211));
  const int kills = RandomKills();
  for (int i = 0; i < kills; ++i) {
    RunJob(seed++, KillPoint{"a random call", FsOp::Open, nullptr, 1 + static_cast<long>(rng() % 150)}, false);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(killed, jobs / 2);
}

}  // namespace
