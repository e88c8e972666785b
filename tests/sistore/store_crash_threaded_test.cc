// Crash safety of the backup road. A child process runs a backup job with checkpoints into one
// chunk and is killed: at random moments by the test, or by itself before a chosen file operation
// (a container write before its index record, a write of an index or of the metadata file, a
// flush inside a checkpoint, a folder flush, a creation, any step of the close). After every kill
// a new job continues the chunk in the test process, and the test checks that
//   - every object of the last completed checkpoint is still in its container at its recorded
//     offset, with its metadata and its records in both index files, its bytes intact;
//   - the new objects land after the old ones: higher keys, new containers, metadata at the end;
//   - after the new job no old object was overwritten.
// Every kill leaves the objects of the checkpoint under way possibly half written; they are not
// checked. A chunk that holds many objects is retired and the next kill starts a new one.
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

#include "backup_job.h"
#include "store_fixture.h"

namespace {

using platform::FsOp;
using sitest::ObjectSpec;
using sitest::WrittenObject;

// What the child reports, one fixed-size record per write to the pipe (atomic below PIPE_BUF).
enum ReportType : uint64_t { kObject = 1, kCheckpoint, kClosed, kKilledAt };

struct Report {
  uint64_t type = 0;
  uint64_t key = 0, container = 0, offset = 0, metaOffset = 0, dataSize = 0, metaSize = 0, seed = 0;
};

enum KillPoint : uint64_t {
  kNone = 0, kContainerWrite, kIndexWrite, kMetaDataWrite, kFileFlush, kFolderFlush, kCreate, kInClose,
  kKillPoints
};
const char* const kKillPointNames[] = {"random moment", "container write", "index write", "metadata write",
                                       "file flush",    "folder flush",    "creation",    "close"};

class StoreCrashTest : public StoreTest {
 public:
  StoreCrashTest() : StoreTest(TempDir::MemoryBase()) {}

  void SetUp() override {
    platform::SetLogCaptureLimit(200);
    SetConfig("MaxSFileContainerSize", 256 * 1024);
    SetConfig("MaxSFileContainerItems", 6);
    SetConfig("nSIFSWriteBlockSizeKB", 64);
    SetConfig("nSIFSCacheSizeKB", 192);
  }

  KillPoint Classify(FsOp op, const std::string& path) const {
    const bool index = path.size() > 4 && path.compare(path.size() - 4, 4, ".idx") == 0;
    const bool container = path.find("SFILE_CONTAINER_") != std::string::npos;
    switch (op) {
      case FsOp::Write:
        return container ? kContainerWrite : index ? kIndexWrite : kMetaDataWrite;
      case FsOp::Flush:
        return std::filesystem::is_directory(path) ? kFolderFlush : kFileFlush;
      case FsOp::Open:
      case FsOp::CreateDirectory:
        return kCreate;
      default:
        return kNone;
    }
  }

  static ObjectSpec Object(uint64_t key, std::mt19937_64& rng) {
    ObjectSpec s;
    s.key = key;
    const uint64_t kind = rng() % 16;
    s.dataSize = kind == 0 ? static_cast<uint32_t>(70000 + rng() % 60000) : static_cast<uint32_t>(rng() % 6000);
    s.metaSize = static_cast<uint32_t>(64 + rng() % 400);
    s.seed = rng();
    return s;
  }

  // The child: continues (or starts) the chunk, writes rounds of objects with a checkpoint after
  // each, and closes; every object, checkpoint and the close are reported as they complete.
  int Child(int fd, long long chunkId, bool append, uint64_t seed, KillPoint point, long nth) {
    platform::SetLogCaptureLimit(50);
    std::atomic<bool> closing{false};
    std::atomic<long> seen{0};
    auto send = [fd](const Report& r) { (void)!::write(fd, &r, sizeof(r)); };
    if (point != kNone) {
      platform::Faults().SetHook([&, fd](FsOp op, const std::string& path) {
        if (path.compare(0, dir.path().size(), dir.path()) != 0) return;
        const bool hit = point == kInClose ? closing.load() : Classify(op, path) == point;
        if (!hit || ++seen < nth) return;
        Report r;
        r.type = kKilledAt;
        r.key = point;
        send(r);
        raise(SIGKILL);
      });
    }
    auto store = MakeStore();
    if (store->Init(InitParams(), false) != 0) return 2;
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, append);
    if (store->Create(&id) != 0) return 3;
    std::mt19937_64 rng(seed);
    uint64_t key = store->GetLastObjectNumber();
    const int rounds = 1 + static_cast<int>(rng() % 4);
    for (int round = 0; round < rounds; ++round) {
      const int objects = 1 + static_cast<int>(rng() % 9);
      for (int i = 0; i < objects; ++i) {
        WrittenObject w;
        if (sitest::WriteObject(*store, Object(++key, rng), w) != 0) return 4;
        send(Report{kObject, w.spec.key, w.container, w.offset, w.metaOffset, w.spec.dataSize, w.spec.metaSize,
                    w.spec.seed});
      }
      if (sitest::Checkpoint(*store) != 0) return 5;
      send(Report{kCheckpoint});
    }
    closing = true;
    if (store->Close() != 0) return 6;
    send(Report{kClosed});
    return 0;
  }

  // The committed objects: in their containers, metadata and both index files, byte for byte.
  void VerifyCommitted(long long chunkId, const std::vector<WrittenObject>& committed) {
    if (committed.empty()) return;
    const sitest::RawIndex sfile = sitest::ReadContainerIndex(ContainerIndexPath(chunkId));
    const sitest::RawIndex meta = sitest::ReadMetaDataIndex(MetaDataPath(chunkId) + ".idx");
    ASSERT_TRUE(sfile.headerCrcOk && meta.headerCrcOk);
    std::map<uint64_t, SSfileContainerIndexEntry> byKey;
    for (const auto& r : sfile.records) {
      const SSfileContainerIndexEntry e = sitest::DecodeContainerRecord(r);
      byKey[e.Key] = e;
    }
    std::map<uint64_t, SChunkMetaDataIndexEntry> byOffset;
    for (const auto& r : meta.records) {
      const SChunkMetaDataIndexEntry e = sitest::DecodeMetaRecord(r);
      byOffset[e.Key] = e;
    }
    for (const WrittenObject& w : committed) {
      SCOPED_TRACE("object " + std::to_string(w.spec.key));
      ASSERT_EQ(sitest::ObjectBytes(w.spec),
                sitest::FileBytes(ContainerPath(chunkId, w.container), w.offset, w.spec.Length()));
      const std::string metaBytes = sitest::MetaBytes(w.spec);
      ASSERT_EQ(metaBytes, sitest::FileBytes(MetaDataPath(chunkId), w.metaOffset, metaBytes.size()));
      ASSERT_EQ(1u, byKey.count(w.spec.key));
      ASSERT_EQ(w.container, byKey[w.spec.key].ContainerNo);
      ASSERT_EQ(w.offset, byKey[w.spec.key].DataFileOffset);
      ASSERT_EQ(w.spec.Length(), byKey[w.spec.key].DataLength);
      ASSERT_EQ(1u, byOffset.count(w.metaOffset));
      ASSERT_EQ(w.spec.key, byOffset[w.metaOffset].OwnerValue8);
    }
  }

  // The highest container number of the chunk's files.
  unsigned int HighestContainerOnDisk(long long chunkId) const {
    unsigned int highest = 0;
    for (const auto& e : std::filesystem::directory_iterator(ChunkDir(chunkId))) {
      const std::string name = e.path().filename();
      if (name.rfind("SFILE_CONTAINER_", 0) == 0) {
        highest = std::max(highest, static_cast<unsigned int>(std::stoul(name.substr(16))));
      }
    }
    return highest;
  }

  // A job of the test process continues the chunk after the crash: its objects go after the old
  // ones, and afterwards every old object is still intact.
  void AppendAndVerify(long long chunkId, std::vector<WrittenObject>& committed, uint64_t seed) {
    VerifyCommitted(chunkId, committed);
    if (HasFatalFailure()) return;
    const unsigned int highestBefore = HighestContainerOnDisk(chunkId);
    const uint64_t metaSizeBefore = std::filesystem::file_size(MetaDataPath(chunkId));
    uint64_t lastKey = 0;
    for (const auto& w : committed) lastKey = std::max(lastKey, w.spec.key);

    auto store = MakeStore();
    InitBackup(*store);
    MediaFSArchiveFileId_t id = ArchiveId(chunkId, true);
    ASSERT_EQ(0, store->Create(&id)) << store->GetErrorString();
    ASSERT_GE(store->GetLastObjectNumber(), lastKey);
    std::mt19937_64 rng(seed);
    uint64_t key = store->GetLastObjectNumber();
    std::vector<WrittenObject> added;
    for (int i = 0; i < 4; ++i) {
      WrittenObject w;
      std::string step;
      ASSERT_EQ(0, sitest::WriteObject(*store, Object(++key, rng), w, &step)) << step;
      ASSERT_GT(w.container, highestBefore);
      ASSERT_GE(w.metaOffset, metaSizeBefore);
      added.push_back(w);
    }
    ASSERT_EQ(0, sitest::Checkpoint(*store));
    ASSERT_EQ(0, store->Close());
    store.reset();
    committed.insert(committed.end(), added.begin(), added.end());
    VerifyCommitted(chunkId, committed);
  }
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultKills = 100;
#else
constexpr int kDefaultKills = 240;
#endif

TEST_F(StoreCrashTest, EveryKillLeavesTheLastCheckpointIntactAndTheChunkContinuable) {
  const char* env = getenv("MFS_STORE_CRASH_KILLS");
  const int kills = env != nullptr && atoi(env) > 0 ? atoi(env) : kDefaultKills;
  std::mt19937_64 rng(20240611);
  std::map<uint64_t, int> killedAt;
  long long chunkId = 100;
  std::vector<WrittenObject> committed;
  bool chunkExists = false;

  for (int iter = 0; iter < kills; ++iter) {
    SCOPED_TRACE("kill " + std::to_string(iter) + ", chunk " + std::to_string(chunkId));
    ASSERT_EQ(0, platform::LiveThreads()) << "a fork must find no other thread";
    const uint64_t seed = rng();
    const KillPoint point = iter % 4 == 0 ? kNone : static_cast<KillPoint>(1 + rng() % (kKillPoints - 1));
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
    if (point == kNone) {
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
        w.spec = ObjectSpec{r.key, static_cast<uint32_t>(r.dataSize), static_cast<uint32_t>(r.metaSize), r.seed};
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
    if (point == kNone) ++killedAt[kNone];

    // A job killed before its chunk had a metadata file has nothing to continue: the next job
    // starts a new chunk, as a data mover does with a chunk it cannot open.
    if (!std::filesystem::exists(MetaDataPath(chunkId))) {
      ASSERT_TRUE(committed.empty());
      chunkExists = false;
      ++chunkId;
      continue;
    }
    AppendAndVerify(chunkId, committed, seed ^ 0x5555);
    if (HasFatalFailure()) return;
    chunkExists = true;
    if (committed.size() > 120) {
      std::filesystem::remove_all(ChunkDir(chunkId));
      committed.clear();
      chunkExists = false;
      ++chunkId;
    }
  }

  std::string seen;
  for (const auto& [point, count] : killedAt) seen += std::string(kKillPointNames[point]) + "=" + std::to_string(count) + " ";
  RecordProperty("kill_points", seen);
  if (kills >= 100) {
    for (uint64_t point = kNone; point < kKillPoints; ++point) {
      EXPECT_GT(killedAt[point], 0) << "no kill at " << kKillPointNames[point] << "; seen: " << seen;
    }
  }
}

}  // namespace
