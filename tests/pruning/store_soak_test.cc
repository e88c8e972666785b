// A soak of everything that shares one mount path. Each round writes closed chunks (one of them
// now and then from a job killed after a checkpoint and continued by an appending job) and has
// an earlier pass prune part of their objects; then child processes run, all at once, a backup
// job (objects written with checkpoints, chunks closed), restores of the closed chunks' live
// objects (every byte checked), compactions of their containers (under the chunk's compaction
// lock, through the map and the switch) and a pruning pass over records of another part of their
// objects. They are killed at a random moment or, in the second form, when the pruning reaches
// its k-th file-system call. After recovery (compactions finished or undone, pruning run to its
// end, an appending job on each chunk a backup left open):
//   - every object of a closed chunk and of a checkpointed part restores byte for byte;
//   - every pruned object is gone, or its index entry is no longer valid;
//   - no compaction side file stays; a container of a closed chunk stays only while a valid entry
//     lies in it or while it holds a killed job's bytes that no entry accounts for, and a chunk
//     whose every object was pruned is gone, with its trailer, unless such a container keeps it;
//   - the delete log records every container, index, folder and trailer that went, and no
//     container or index that stayed; nothing of the backup job's chunks.
//
// Each test runs rounds for MFS_SOAK_SECONDS seconds (12 by default). MFS_TEST_SEED changes the
// rounds' choices; the kill moments of the first form also depend on timing.

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "driver_fixture.h"
#include "index/index_test_util.h"
#include "sistore/store_crash_fixture.h"
#include "store_soak.h"
#include "test_env.h"
#include "test_seed.h"

namespace {

using prunetest::kMP1;

// A chunk closed before the roles start: its objects, the ones whose records the pruning gets,
// and the containers it was written in.
struct ClosedChunk {
  long long id = 0;
  std::vector<sitest::WrittenObject> objects;
  std::set<uint64_t> pruned;
  std::set<uint32_t> containers;
  // The container that a killed job's last checkpoint ended in (-1: none). The job's bytes past
  // the checkpoint may follow there, which no entry accounts for: it may stay with every entry
  // pruned, and keep the chunk.
  long killedJobTail = -1;
};

// What the rounds saw, for the test's output.
struct Tally {
  int rounds = 0, pruningKilled = 0, pruningFinished = 0, backupsInterrupted = 0, appended = 0;
  int compactions = 0, compactedContainers = 0, removedContainers = 0, removedChunks = 0, failedPasses = 0;
};

class StoreSoak : public prunetest::DriverTest {
 public:
  static constexpr long long kFirstClosed = 100;
  static constexpr int kClosedChunks = 3;
  static constexpr long long kFirstJobChunk = 300;
  static constexpr int kJobChunks = 4;

  enum class Stop { kRandomMoment, kPruningCall };

  void SetUp() override {
    platform::SetLogCaptureLimit(200);
    // Small containers: every chunk spans several, and pruning removes, cuts and drills.
    SetConfig("MaxSFileContainerSize", 96 * 1024);
    SetConfig("MaxSFileContainerItems", 5);
    SetConfig("nSIFSWriteBlockSizeKB", 64);
    SetConfig("nSIFSCacheSizeKB", 192);
    SetConfig("DedupDrillHolesMinSize", 4096);
    platform::Sidb().batchSize = 7;  // chunks span batches
    notesPath = path_append(dir.path(), "job.notes");
    restoreFailurePath = path_append(dir.path(), "restore.failure");
    opsPath = path_append(dir.path(), "pruning.ops");
    compactionsPath = path_append(dir.path(), "compactions");
    setupNotesPath = path_append(dir.path(), "setup.notes");
  }

  // ---- The round's start ------------------------------------------------------------------

  void Fresh() {
    std::filesystem::remove_all(volumePath);
    std::filesystem::create_directories(volumePath);
    for (const std::string& p : {sidbPath, notesPath, restoreFailurePath, opsPath, compactionsPath, setupNotesPath}) std::remove(p.c_str());
    (void)!::truncate(platform::DebugLogPath(kDeleteLogId).c_str(), 0);
    platform::ResetLogs();
    platform::SetDebugLogDirectory(dir.path());
    platform::Sidb().purged.clear();
    closed.clear();
  }

  // A chunk written and closed by one job.
  void WriteChunk(ClosedChunk& chunk, std::mt19937_64& rng) {
    auto store = BackupChunk(chunk.id);
    const int count = 10 + static_cast<int>(rng() % 20);
    for (int i = 1; i <= count; ++i) {
      sitest::WrittenObject w;
      std::string step;
      ASSERT_EQ(0, sitest::WriteObject(*store, sitest::StoreCrashFixture::Object(static_cast<uint64_t>(i), rng), w, &step))
          << step;
      chunk.objects.push_back(w);
      if (rng() % 6 == 0) {
        ASSERT_EQ(0, sitest::Checkpoint(*store));
      }
    }
    ASSERT_EQ(0, store->Close());
  }

  // A chunk whose first job was killed after a checkpoint, with objects written past it (a large
  // one first, so that the job goes on in a container of its own), and that an appending job
  // continued and closed.
  void WriteChunkAfterAKill(ClosedChunk& chunk, std::mt19937_64& rng) {
    const uint64_t seed = rng();
    const pid_t child = idxtest::Fork([&] {
      std::mt19937_64 r(seed);
      auto store = MakeStore();
      MediaFSArchiveFileId_t archive = ArchiveId(chunk.id);
      if (store->Init(InitParams(), false) != 0 || store->Create(&archive) != 0) return 2;
      uint64_t key = 0;
      for (int i = 3 + static_cast<int>(r() % 8); i > 0; --i) {
        sitest::WrittenObject w;
        if (sitest::WriteObject(*store, sitest::StoreCrashFixture::Object(++key, r), w) != 0) return 4;
        soak::AppendNote(setupNotesPath, soak::ObjectNote(static_cast<uint64_t>(chunk.id), w));
      }
      if (sitest::Checkpoint(*store) != 0) return 5;
      soak::Note n;
      n.kind = 'C';
      n.chunk = static_cast<uint64_t>(chunk.id);
      soak::AppendNote(setupNotesPath, n);
      for (int i = 0; i < 6; ++i) {
        sitest::ObjectShape shape = sitest::StoreCrashFixture::Object(++key, r);
        if (i == 0) shape.dataSize = 100000;
        sitest::WrittenObject w;
        if (sitest::WriteObject(*store, shape, w) != 0) return 4;
      }
      raise(SIGKILL);
      return 0;
    });
    ASSERT_EQ(128 + SIGKILL, idxtest::Wait(child));
    soak::JobChunk job = soak::ReadNotes(setupNotesPath)[static_cast<uint64_t>(chunk.id)];
    for (const sitest::WrittenObject& w : job.committed) {
      chunk.killedJobTail = std::max(chunk.killedJobTail, static_cast<long>(w.container));
    }
    ASSERT_NO_FATAL_FAILURE(AppendJob(chunk.id, job));
    chunk.objects = job.committed;
  }

  // Closed chunks through the backup road, and records for a random part of their objects: all
  // of a chunk's objects now and then, else each with a chance of a quarter to three quarters.
  // About half of the records are pruned by an earlier pass before the roles start, so that the
  // compaction finds dead ranges from the start and the round's pruning meets compacted
  // containers, holes and cuts.
  void WriteClosedChunks(std::mt19937_64& rng) {
    std::vector<CZeroRefRecord> records, earlier;
    for (int c = 0; c < kClosedChunks; ++c) {
      ClosedChunk chunk;
      chunk.id = kFirstClosed + c;
      if (c == 0 && rng() % 2 == 0) {
        ASSERT_NO_FATAL_FAILURE(WriteChunkAfterAKill(chunk, rng));
      } else {
        ASSERT_NO_FATAL_FAILURE(WriteChunk(chunk, rng));
      }
      for (const sitest::WrittenObject& w : chunk.objects) chunk.containers.insert(w.container);
      craft::WriteFile(TrailerOf(mountPath, kVolId, static_cast<unsigned long long>(chunk.id)),
                       craft::ChunkMapTrailer(static_cast<unsigned long long>(chunk.id), "11.0", 4096));
      const bool all = rng() % 4 == 0;
      const uint64_t quarters = 1 + rng() % 3;
      for (const sitest::WrittenObject& w : chunk.objects) {
        if (!all && rng() % 4 >= quarters) continue;
        chunk.pruned.insert(w.shape.key);
        (rng() % 2 == 0 ? earlier : records)
            .push_back(Rec(kMP1, kVolId, static_cast<unsigned long long>(chunk.id), w.shape.key, 0, DbMetaOffset(w)));
      }
      closed.push_back(std::move(chunk));
    }
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, earlier));
    ASSERT_EQ(0, PruningPass());
    ASSERT_TRUE(RecordsLeft().empty());
    std::shuffle(records.begin(), records.end(), rng);
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, records));
  }

  // ---- The roles, each in a child process ----------------------------------------------------

  // New chunks, one job each: rounds of objects with a checkpoint after each, one job in four
  // leaving its last round without one; every object, checkpoint and close noted.
  int BackupRole(uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int j = 0; j < kJobChunks; ++j) {
      const long long id = kFirstJobChunk + j;
      auto store = MakeStore();
      MediaFSArchiveFileId_t archive = ArchiveId(id);
      if (store->Init(InitParams(), false) != 0 || store->Create(&archive) != 0) return 2;
      const int rounds = 1 + static_cast<int>(rng() % 4);
      const bool openEnd = rng() % 4 == 0;
      uint64_t key = 0;
      for (int round = 0; round < rounds; ++round) {
        const int objects = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < objects; ++i) {
          sitest::WrittenObject w;
          if (sitest::WriteObject(*store, sitest::StoreCrashFixture::Object(++key, rng), w) != 0) return 4;
          soak::AppendNote(notesPath, soak::ObjectNote(static_cast<uint64_t>(id), w));
        }
        if (openEnd && round == rounds - 1) break;
        if (sitest::Checkpoint(*store) != 0) return 5;
        soak::Note n;
        n.kind = 'C';
        n.chunk = static_cast<uint64_t>(id);
        soak::AppendNote(notesPath, n);
      }
      if (store->Close() != 0) return 6;
      soak::Note n;
      n.kind = 'Z';
      n.chunk = static_cast<uint64_t>(id);
      soak::AppendNote(notesPath, n);
    }
    return 0;
  }

  // Sweeps over the closed chunks' objects that no record names, each read as a restore does; a
  // failed read or a wrong byte ends the role with 3 and the object named in the failure file.
  int RestoreRole(uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int sweep = 0; sweep < 400; ++sweep) {
      for (const ClosedChunk& c : closed) {
        std::vector<const sitest::WrittenObject*> live;
        for (const sitest::WrittenObject& w : c.objects) {
          if (c.pruned.count(w.shape.key) == 0) live.push_back(&w);
        }
        std::shuffle(live.begin(), live.end(), rng);
        for (const sitest::WrittenObject* w : live) {
          const std::string expected = sitest::ObjectBytes(w->shape);
          const std::string got = RestoreOne(c.id, *w);
          if (got != expected) {
            craft::WriteFile(restoreFailurePath, "chunk " + std::to_string(c.id) + " object " +
                                                     std::to_string(w->shape.key) + ": " +
                                                     (got.size() < 64 ? got : "wrong bytes"));
            return 3;
          }
        }
      }
    }
    return 0;
  }

  std::string RestoreOne(long long chunkId, const sitest::WrittenObject& w) {
    OZLOG_HANDLE handle{};
    CSIFile reader(&handle);
    CFSInitParams params = FsParams();
    if (reader.Init(&params, static_cast<unsigned long long>(chunkId), kVolId, false) != 0) return "init failed";
    return soak::ReadObject(reader, w);
  }

  // Compactions of random containers of the closed chunks, each dropping what the chunk's index
  // no longer holds valid.
  int CompactionRole(uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 600; ++i) {
      const ClosedChunk& c = closed[rng() % closed.size()];
      auto n = c.containers.begin();
      std::advance(n, static_cast<long>(rng() % c.containers.size()));
      const std::vector<SSFileRange> holes = soak::DeadRanges(soak::IndexEntries(ContainerIndexPath(c.id)), *n);
      if (!holes.empty() && soak::CompactUnderLock(FsParams(), ChunkDir(c.id), *n, holes) == 0) {
        soak::AppendNote(compactionsPath, soak::Note{});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 3));
    }
    return 0;
  }

  int PruningPass() {
    auto p = std::make_unique<CSingleInstancerPruner>(nullptr);
    if (p->Initialize("client1", prunetest::kEngine, prunetest::kPhase, 0, false) != 0) return 90;
    return p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600);
  }

  // The pruning pass; with `killAt` above 0 it dies just before that file-system call, and when
  // it ends first it notes how many calls it made.
  int PruningRole(long killAt) {
    long calls = 0;
    platform::Faults().SetHook([&](platform::FsOp, const std::string&) {
      if (++calls == killAt) raise(SIGKILL);
    });
    const int rc = PruningPass();
    platform::Faults().SetHook(nullptr);
    craft::WriteFile(opsPath, std::to_string(calls));
    return rc == 0 ? 0 : 10;
  }

  // ---- One round -----------------------------------------------------------------------------

  void RunRound(std::mt19937_64& rng, Stop stop) {
    Fresh();
    ASSERT_NO_FATAL_FAILURE(WriteClosedChunks(rng));
    const uint64_t backupSeed = rng(), restoreSeed = rng(), compactionSeed = rng();
    // Until one pass has been counted, the second form kills nothing.
    const long killAt =
        stop == Stop::kPruningCall && pruningCalls > 0 ? 1 + static_cast<long>(rng() % static_cast<uint64_t>(pruningCalls)) : 0;
    // The random moment falls mostly while the pruning runs: within a third more than the last
    // pass that ended by itself took.
    const auto delay = std::chrono::microseconds(rng() % static_cast<uint64_t>(passMicros * 4 / 3 + 1000));
    const auto start = std::chrono::steady_clock::now();

    std::fflush(nullptr);
    const pid_t backup = idxtest::Fork([&] { return BackupRole(backupSeed); });
    const pid_t restore = idxtest::Fork([&] { return RestoreRole(restoreSeed); });
    const pid_t compaction = idxtest::Fork([&] { return CompactionRole(compactionSeed); });
    const pid_t pruning = idxtest::Fork([&] { return PruningRole(killAt); });
    ASSERT_TRUE(backup > 0 && restore > 0 && compaction > 0 && pruning > 0);

    int pruningStatus = -1;
    if (stop == Stop::kPruningCall) {
      pruningStatus = idxtest::Wait(pruning);
    } else {
      // Waits out the delay, noting when the pruning ends before it.
      int status = 0;
      while (std::chrono::steady_clock::now() - start < delay) {
        if (pruningStatus < 0 && ::waitpid(pruning, &status, WNOHANG) == pruning) {
          pruningStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
          passMicros = took.count();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    }
    for (pid_t pid : {backup, restore, compaction, pruning}) {
      if (pid != pruning || pruningStatus < 0) ::kill(pid, SIGKILL);
    }
    const int backupStatus = idxtest::Wait(backup);
    const int restoreStatus = idxtest::Wait(restore);
    const int compactionStatus = idxtest::Wait(compaction);
    if (pruningStatus < 0) pruningStatus = idxtest::Wait(pruning);

    constexpr int kKilled = 128 + SIGKILL;
    EXPECT_TRUE(backupStatus == 0 || backupStatus == kKilled) << "backup ended with " << backupStatus;
    EXPECT_TRUE(restoreStatus == 0 || restoreStatus == kKilled)
        << "restore ended with " << restoreStatus << ": " << craft::ReadFile(restoreFailurePath);
    EXPECT_TRUE(compactionStatus == 0 || compactionStatus == kKilled) << "compaction ended with " << compactionStatus;
    // A pass may end with a failure it reports (a chunk the compaction held); it may not crash.
    EXPECT_TRUE(pruningStatus == 0 || pruningStatus == 10 || pruningStatus == kKilled)
        << "pruning ended with " << pruningStatus;
    (pruningStatus == kKilled ? tally.pruningKilled : tally.pruningFinished) += 1;
    tally.failedPasses += pruningStatus == 10;
    tally.compactions += static_cast<int>(std::filesystem::exists(compactionsPath) ? std::filesystem::file_size(compactionsPath) / sizeof(soak::Note) : 0);
    if (pruningStatus != kKilled && Exists(opsPath)) {
      pruningCalls = std::max(pruningCalls, std::stol(craft::ReadFile(opsPath)));
    }

    SCOPED_TRACE("backup " + std::to_string(backupStatus) + ", restore " + std::to_string(restoreStatus) +
                 ", compaction " + std::to_string(compactionStatus) + ", pruning " + std::to_string(pruningStatus) +
                 (killAt > 0 ? " (to die before call " + std::to_string(killAt) + ")" : ""));
    ASSERT_NO_FATAL_FAILURE(Recover());
    ASSERT_NO_FATAL_FAILURE(Check());
    ++tally.rounds;
  }

  // ---- Recovery ------------------------------------------------------------------------------

  void Recover() {
    for (const std::string& name : soak::Names(volumePath)) {
      const std::string path = path_append(volumePath, name);
      if (std::filesystem::is_directory(path)) {
        EXPECT_TRUE(soak::RecoverCompactions(FsParams(), path)) << name;
      }
    }
    for (int pass = 0; pass < 3 && !RecordsLeft().empty(); ++pass) EXPECT_EQ(0, PruningPass()) << "pass " << pass;
    EXPECT_TRUE(RecordsLeft().empty()) << RecordsLeft().size() << " records left";

    jobs = soak::ReadNotes(notesPath);
    for (auto& [id, chunk] : jobs) {
      if (chunk.closed) continue;
      ++tally.backupsInterrupted;
      if (!Exists(MetaDataPath(static_cast<long long>(id)))) {
        EXPECT_TRUE(chunk.committed.empty()) << "chunk " << id << " lost its metadata file";
        continue;
      }
      ASSERT_NO_FATAL_FAILURE(AppendJob(static_cast<long long>(id), chunk));
      ++tally.appended;
    }
  }

  // A job that continues an interrupted chunk: three objects after the old ones, then the close.
  void AppendJob(long long id, soak::JobChunk& chunk) {
    SCOPED_TRACE("appending to chunk " + std::to_string(id));
    auto store = MakeStore();
    InitBackup(*store);
    MediaFSArchiveFileId_t archive = ArchiveId(id, true);
    ASSERT_EQ(0, store->Create(&archive)) << store->GetErrorString() << sitest::StoreCrashFixture::RecentLogs();
    std::mt19937_64 rng(static_cast<uint64_t>(id) * 7919);
    uint64_t key = store->GetLastObjectNumber();
    for (const sitest::WrittenObject& w : chunk.committed) EXPECT_GT(key + 1, w.shape.key);
    for (int i = 0; i < 3; ++i) {
      sitest::WrittenObject w;
      std::string step;
      ASSERT_EQ(0, sitest::WriteObject(*store, sitest::StoreCrashFixture::Object(++key, rng), w, &step)) << step;
      chunk.committed.push_back(w);
    }
    ASSERT_EQ(0, sitest::Checkpoint(*store));
    ASSERT_EQ(0, store->Close());
    chunk.closed = true;
  }

  // ---- The checks ----------------------------------------------------------------------------

  void ExpectRestores(long long id, const std::vector<const sitest::WrittenObject*>& objects) {
    for (const sitest::WrittenObject* w : objects) {
      EXPECT_EQ(sitest::ObjectBytes(w->shape), RestoreOne(id, *w))
          << "chunk " << id << " object " << w->shape.key << " (container " << w->container << ", offset " << w->offset
          << ")";
    }
  }

  void Check() {
    const std::vector<std::string> log = PrunerTest::DeleteRecordsOf(craft::ReadFile(platform::DebugLogPath(kDeleteLogId)));
    const std::set<std::string> logged(log.begin(), log.end());
    for (const ClosedChunk& c : closed) {
      SCOPED_TRACE("closed chunk " + std::to_string(c.id));
      std::vector<const sitest::WrittenObject*> live;
      for (const sitest::WrittenObject& w : c.objects) {
        if (c.pruned.count(w.shape.key) == 0) live.push_back(&w);
      }
      ExpectRestores(c.id, live);

      const std::string folder = ChunkDir(c.id);
      const std::set<std::string> names = soak::Names(folder);
      const bool folderGone = !Exists(folder);
      if (folderGone) ++tally.removedChunks;
      const std::vector<SSfileContainerIndexEntry> entries = soak::IndexEntries(ContainerIndexPath(c.id));
      const bool indexThere = Exists(ContainerIndexPath(c.id));
      std::set<uint32_t> withValid, named;
      for (const SSfileContainerIndexEntry& e : entries) {
        named.insert(e.ContainerNo);
        if ((e.Flags & FLAG_SFILE_ENTRY_VALID) != 0) withValid.insert(e.ContainerNo);
      }
      // Containers that hold a killed job's bytes, which no index entry accounts for: those that no
      // entry names, and the one its last checkpoint ended in. Nothing the store can read tells
      // such bytes from live data whose records a damaged index lost, so they stay, and the folder
      // too.
      std::set<std::string> orphans;
      for (const std::string& name : names) {
        const long number = soak::ContainerNumberOf(name);
        if (number < 0) continue;
        if (named.count(static_cast<uint32_t>(number)) == 0 || number == c.killedJobTail) orphans.insert(name);
      }
      EXPECT_FALSE(!live.empty() && folderGone) << "a chunk with live objects is gone";
      EXPECT_FALSE(!live.empty() && !indexThere) << "a chunk with live objects lost its index";
      EXPECT_FALSE(live.empty() && !folderGone && orphans.empty())
          << "a chunk whose every object was pruned stays with: " << ::testing::PrintToString(names);

      // Pruned objects are gone or hold no valid entry.
      for (const sitest::WrittenObject& w : c.objects) {
        if (c.pruned.count(w.shape.key) == 0 || folderGone) continue;
        if (indexThere) {
          for (const SSfileContainerIndexEntry& e : entries) {
            if (e.Key == w.shape.key) {
              EXPECT_EQ(0u, e.Flags & FLAG_SFILE_ENTRY_VALID) << "pruned object " << e.Key;
            }
          }
        } else {
          EXPECT_FALSE(Exists(ContainerPath(c.id, w.container))) << "pruned object " << w.shape.key;
        }
      }

      // Files: no side file; a container only with a valid entry in it, or with a killed job's
      // bytes (which the chunk's later jobs skip).
      for (const std::string& name : names) {
        EXPECT_EQ("", soak::CompactedFileOf(name)) << "side file " << name << " stays";
        const long number = soak::ContainerNumberOf(name);
        if (number < 0) continue;
        EXPECT_TRUE(withValid.count(static_cast<uint32_t>(number)) == 1 || orphans.count(name) == 1)
            << name << " stays without a valid object";
        if (sitest::FileBytes(path_append(folder, name), 8, 4) != std::string("\0\0\0\1", 4)) ++tally.compactedContainers;
      }

      // The delete log: every container that went, and none that stayed.
      for (uint32_t n : c.containers) {
        const std::string record = "D 5 17 " + std::to_string(c.id) + " " + std::to_string(n);
        const bool there = Exists(ContainerPath(c.id, n));
        if (!there) ++tally.removedContainers;
        EXPECT_EQ(!there, logged.count(record) == 1)
            << record << (there ? " logged, but the container stays" : " missing for a container that went")
            << "; the delete log: " << ::testing::PrintToString(log);
      }
      // The chunk's folder and trailer go together, each with its record: the folder's count (a
      // pass that finds the folder gone records that instead), then the trailer's, under the
      // count or, from a pass that finds the folder gone, under the trailer's name. An index
      // that went has its record too.
      const std::string id = std::to_string(c.id);
      const std::string prefix = "D 5 17 " + id + " ";
      bool trailerLogged = logged.count(prefix + SingleInstancer_FS::GetChunkMapTrailerName(c.id)) == 1;
      for (const std::string& r : log) {
        if (r.compare(0, prefix.size(), prefix) == 0 && r.size() > 5 && r.compare(r.size() - 5, 5, " CTRL") == 0) {
          trailerLogged = true;
        }
      }
      const bool folderLogged = trailerLogged || logged.count("DN 5 17 " + id) == 1;
      const bool trailerThere = Exists(TrailerOf(mountPath, kVolId, static_cast<unsigned long long>(c.id)));
      EXPECT_EQ(folderGone, !trailerThere) << "the chunk map trailer and the chunk folder part";
      EXPECT_EQ(!trailerThere, trailerLogged) << "the trailer's removal and its record disagree";
      EXPECT_EQ(folderGone, folderLogged) << "the folder's removal and its record disagree";
      EXPECT_EQ(!indexThere, logged.count(prefix + "SIDX") == 1) << "the index's removal and its record disagree";
    }

    // Nothing of the backup job's chunks goes.
    for (const std::string& r : log) {
      unsigned int mp = 0, vol = 0;
      unsigned long long chunk = 0;
      if (std::sscanf(r.c_str(), "%*s %u %u %llu", &mp, &vol, &chunk) == 3) {
        EXPECT_EQ(0u, jobs.count(chunk)) << "a job chunk in the delete log: " << r;
      }
    }

    for (const auto& [id, chunk] : jobs) {
      SCOPED_TRACE("job chunk " + std::to_string(id));
      std::vector<const sitest::WrittenObject*> objects;
      for (const sitest::WrittenObject& w : chunk.committed) objects.push_back(&w);
      ExpectRestores(static_cast<long long>(id), objects);
      for (const std::string& name : soak::Names(ChunkDir(static_cast<long long>(id)))) {
        EXPECT_EQ("", soak::CompactedFileOf(name)) << "side file " << name << " stays";
      }
    }
  }

  void Soak(uint64_t fixedSeed, Stop stop) {
    std::mt19937_64 rng(mfstest::Seed(fixedSeed));
    const auto seconds = mfstest::EnvCount("MFS_SOAK_SECONDS", 12);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    do {
      SCOPED_TRACE("round " + std::to_string(tally.rounds));
      RunRound(rng, stop);
      if (HasFailure()) break;
    } while (std::chrono::steady_clock::now() < end);
    const std::string seen =
        "rounds=" + std::to_string(tally.rounds) + " pruning killed=" + std::to_string(tally.pruningKilled) +
        " finished=" + std::to_string(tally.pruningFinished) + " backups interrupted=" +
        std::to_string(tally.backupsInterrupted) + " appended=" + std::to_string(tally.appended) +
        " failed passes=" + std::to_string(tally.failedPasses) + " compactions=" + std::to_string(tally.compactions) +
        " compacted containers=" + std::to_string(tally.compactedContainers) + " removed containers=" +
        std::to_string(tally.removedContainers) + " removed chunks=" + std::to_string(tally.removedChunks);
    RecordProperty("soak", seen);
    std::printf("[ soak ] %s\n", seen.c_str());
  }

  std::string notesPath, restoreFailurePath, opsPath, compactionsPath, setupNotesPath;
  std::vector<ClosedChunk> closed;
  std::map<uint64_t, soak::JobChunk> jobs;
  long pruningCalls = 0;  // the most file-system calls a pass was seen to make
  long long passMicros = 250000;
  Tally tally;
};

TEST_F(StoreSoak, EverythingKilledAtRandomMoments) { Soak(34, Stop::kRandomMoment); }

TEST_F(StoreSoak, PruningKilledBeforeAFileSystemCall) { Soak(3434, Stop::kPruningCall); }

}  // namespace
