// The SILO check of a restore: copies without SILO, volumes on disk, volumes that SILO moved to
// tape and a retrieval job brings back (or does not), the SIVolumeDB locks held and given back,
// and the waits, counted on the fake clock.

#include <cstring>

#include "restore_fixture.h"

namespace {

using platform::Silo;

constexpr long long kChunk = 12;
constexpr uint32_t kSiloNumber = 4;
constexpr long long kRestoreJob = 4242;
constexpr int kPendingRetrieval = 0x2800006b;
constexpr int kPendingRetrievalFailed = 0x2800006c;

class SiloTest : public RestoreTest {
 public:
  SiloTest() : siloFolder(path_append(path_append(dir.path(), "silo"), "V_17")), chunk(volumePath, kChunk, kVolumeBlock) {
    for (int i = 0; i < 4; ++i) chunk.Add(0, 5000 + i, 50, i + 1);
    chunk.Write();
    chunk.WriteTrailer("11.5");
  }

  // The copy has SILO; status 2 backed up, 3 also moved to tape (the volume folder goes there).
  void EnableSilo(uint32_t status) {
    Silo().volumes[kVolId] = SiloVolumeOf(status, siloFolder);
    Silo().databases[mountPath];
    if (status == 3) {
      std::filesystem::create_directories(std::filesystem::path(siloFolder).parent_path());
      std::filesystem::rename(volumePath, siloFolder);
    }
  }

  platform::SIVolumeDBState& Db() { return Silo().databases[mountPath]; }
  uint32_t VolState() { return Db().volumes[kVolId].VolState; }

  // Every object of the chunk back through an open store.
  void ExpectChunkReadable(RestoreStore& store) {
    for (const craft::Object& o : chunk.Objects()) {
      const std::string data = o.bytes.substr(craft::kObjectHeaderSize);
      ASSERT_EQ(data, ReadObject(store, path_append(store.m_strChunkDir, SingleInstancer_FS::GetSFileContainerName(0)),
                                 o.offset, data.size()));
    }
  }

  std::string siloFolder;
  craft::Chunk chunk;
};

TEST_F(SiloTest, ACopyWithoutSiloIsAskedAboutOnce) {
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(1u, Silo().Count("getSiloVolInfoReq"));
  EXPECT_EQ(1u, Silo().calls.size());  // no SIVolumeDB was touched
  EXPECT_FALSE(store->IsTapeSI());
}

TEST_F(SiloTest, ADataServerMountPathIsRefusedAndAskedAboutAgain) {
  EnableSilo(2);
  auto store = MakeRestore();
  unsigned int newMountPathId = 0, newThId = 0;
  const std::string path = "IP|1|2|host|3|" + volumePath;
  EXPECT_EQ(0, store->CheckAndRecallVolumeFromTape(path, kChunk, kVolId, kTarnholdId, kMountPathId, newMountPathId,
                                                   newThId, nullptr, false));
  EXPECT_EQ(0, store->CheckAndRecallVolumeFromTape(path, kChunk, kVolId, kTarnholdId, kMountPathId, newMountPathId,
                                                   newThId, nullptr, false));
  EXPECT_EQ(2u, Silo().Count("getSiloVolInfoReq"));
  EXPECT_EQ(0u, Silo().Count("OpenDB"));
}

TEST_F(SiloTest, AVolumeOnDiskIsReadUnderAReadOnlyLockGivenBackByTheDestructor) {
  EnableSilo(2);
  {
    auto store = MakeRestore();
    ASSERT_EQ(0, Open(*store, kChunk));
    ExpectChunkReadable(*store);
    // The SIVolumeDB learnt the volume (backed up, on disk) and holds our read-only lock.
    EXPECT_EQ(kSIVolStateInSilo, VolState());
    auto locks = Db().LocksOf(kVolId);
    ASSERT_EQ(1u, locks.size());
    EXPECT_EQ(kSIVolLockReadOnly, locks[0].second.kind);
    EXPECT_EQ(kRestoreJob, locks[0].second.jobId);
    EXPECT_EQ(77u, locks[0].second.clientId);
    EXPECT_EQ(locks[0].first, store->m_pSecondarySIVolDB->m_ullResId);

    // A second open of the volume asks the SIVolumeDB nothing.
    const size_t calls = Silo().calls.size();
    ASSERT_EQ(0, Open(*store, kChunk));
    EXPECT_EQ(calls, Silo().calls.size());
    EXPECT_EQ(0u, Silo().Count("recallSiloVolReq"));
  }
  EXPECT_TRUE(Db().LocksOf(kVolId).empty());
  EXPECT_EQ(1u, Silo().Count("UnlockVolume"));
}

TEST_F(SiloTest, TheCloseOfTheChunkGivesTheLockBack) {
  EnableSilo(2);
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  ASSERT_EQ(1u, Db().LocksOf(kVolId).size());
  ASSERT_EQ(0, store->Close());
  EXPECT_TRUE(Db().LocksOf(kVolId).empty());
  ASSERT_EQ(0, store->Close());  // a second close finds nothing to give back
  EXPECT_EQ(1u, Silo().Count("UnlockVolume"));
}

TEST_F(SiloTest, AfterItsLockIsGivenBackAVolumeFoundOnDiskIsInTheOnlineCache) {
  EnableSilo(2);
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  ASSERT_EQ(1, store->ReleaseSiloVolResourceLock(kVolId, false, false));
  EXPECT_TRUE(Db().LocksOf(kVolId).empty());
  EXPECT_EQ(1, store->ReleaseSiloVolResourceLock(kVolId, false, false));  // nothing left to give back
  const size_t calls = Silo().calls.size();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(calls, Silo().calls.size());
  ASSERT_EQ(1u, store->m_vecSIVolInfo.size());
  EXPECT_EQ(kMountPathId, store->m_vecSIVolInfo[0].uMountPathId);
}

TEST_F(SiloTest, AVolumeMovedToTapeIsRecalledOnceAndRestored) {
  EnableSilo(3);
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  ExpectChunkReadable(*store);

  // The retrieval job ran ten minutes on the fake clock: a minute before the first poll, then two
  // per poll until it completed.
  EXPECT_EQ(60000 + 5 * 120000, platform::SleptMs());
  ASSERT_EQ(1u, Silo().Count("recallSiloVolReq"));
  EXPECT_EQ("\\OZSITape\\TARNHOLD_GUID-1\\SILO_4\\MPATHID_5\\V_17\\", Silo().recallPaths[0]);
  auto request = Silo().CallsOf("recallSiloVolReq")[0].args;
  EXPECT_EQ((std::vector<long long>{kVolId, kMountPathId, kTarnholdId, kSiloNumber}), request);
  // The job's lock carried the retrieval job while it ran.
  auto jobIdUpdate = Silo().CallsOf("UpdateLockVolumeSiloJobId");
  ASSERT_EQ(1u, jobIdUpdate.size());
  EXPECT_EQ(9000, jobIdUpdate[0].args[1]);
  EXPECT_EQ(1u, Silo().Count("UpgradeVolumeLock"));

  // The restore job waited under its pending cause, with the retrieval job and the path.
  const platform::JobState& jobs = platform::Jobs();
  EXPECT_EQ((std::vector<int>{3, 1}), jobs.jobStates);
  ASSERT_EQ(1u, jobs.pendingCauses.size());
  EXPECT_EQ(kPendingRetrieval, jobs.pendingCauses[0].first);
  ASSERT_EQ(1u, jobs.events.size());
  EXPECT_EQ(kRestoreJob, jobs.events[0].jobId);
  EXPECT_EQ((std::vector<EvEvent::Argument>{int64_t{9000}, volumePath}), jobs.events[0].arguments);
  EXPECT_EQ(1, std::count(jobs.calls.begin(), jobs.calls.end(), "resetPendingCause"));

  // The management server took the volume as on disk; the SIVolumeDB holds it as backed up and
  // on disk, without the bit that would have every later reader recall it again.
  ASSERT_EQ(1u, Silo().statusUpdates.size());
  EXPECT_EQ(kSiloNumber, Silo().statusUpdates[0].siloNumber);
  EXPECT_EQ(kSIVolStateInSilo, VolState());

  auto next = MakeRestore();
  ASSERT_EQ(0, Open(*next, kChunk));
  EXPECT_EQ(1u, Silo().Count("recallSiloVolReq"));
}

TEST_F(SiloTest, RetrievalJobsThatDoNotComplete) {
  struct Case {
    const char* name;
    std::vector<std::pair<long long, int>> retrieval;  // the retrieval job's statuses
    std::vector<std::pair<long long, int>> restore;    // the restore job's; empty: it runs
    bool reserved;                                     // the lock stays for the retrieval job
    long long slept;
    int pendingCauses;
  } cases[] = {
      {"fails", {{0, 1}, {200000, 6}}, {}, false, 60000 + 2 * 120000, 2},
      {"ends with a status of its own", {{0, 1}, {200000, 2}}, {}, true, 60000 + 2 * 120000, 2},
      {"never finishes while the restore job is killed", {{0, 1}}, {{0, 1}, {1000000, 13}}, true,
       60000 + 8 * 120000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    {
      std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());
      platform::MediaManager().volumes[kVolId].mountPathId = static_cast<int>(kMountPathId);
    }
    if (std::filesystem::exists(siloFolder)) std::filesystem::rename(siloFolder, volumePath);
    EnableSilo(3);
    Silo().recallScript = c.retrieval;
    if (!c.restore.empty()) {
      const long long start = platform::NowMs();
      for (auto [at, status] : c.restore) platform::Jobs().jobTimeline[kRestoreJob].emplace_back(start + at, status);
    }
    {
      auto store = MakeRestore();
      EXPECT_EQ(-1, Open(*store, kChunk));
      EXPECT_EQ(1005, store->MediaFSGetLastError());
      EXPECT_EQ(c.slept, platform::SleptMs());
      EXPECT_EQ(c.pendingCauses, static_cast<int>(platform::Jobs().pendingCauses.size()));
      if (c.pendingCauses == 2) {
        EXPECT_EQ(kPendingRetrievalFailed, platform::Jobs().pendingCauses[1].first);
      }
      EXPECT_EQ(c.reserved, store->m_pSecondarySIVolDB->m_bLeaveReserved);
    }
    // A lock left for a running retrieval job outlives the store; any other is given back.
    EXPECT_EQ(c.reserved ? 1u : 0u, Db().LocksOf(kVolId).size());
    EXPECT_EQ(1u, Silo().Count("recallSiloVolReq"));
  }
}

TEST_F(SiloTest, ARecallThatCannotStartFailsWithTheRequestsError) {
  EnableSilo(3);
  Silo().recallError = 1302;
  auto store = MakeRestore();
  EXPECT_EQ(-1, Open(*store, kChunk));
  EXPECT_EQ(1302, store->MediaFSGetLastError());
  EXPECT_TRUE(Db().LocksOf(kVolId).empty());

  Silo().volumes[kVolId].guid.clear();
  auto noGuid = MakeRestore();
  EXPECT_EQ(-1, Open(*noGuid, kChunk));
  EXPECT_TRUE(platform::LogContains("thGUID returned from HM for volume [17] is null."));
  EXPECT_EQ(1u, Silo().Count("recallSiloVolReq"));  // no request without the GUID
}

TEST_F(SiloTest, TheExclusiveLockIsTriedSixteenTimes) {
  for (int refusals : {15, 16}) {
    SCOPED_TRACE(refusals);
    platform::ResetAll();
    {
      std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());
      platform::MediaManager().volumes[kVolId].mountPathId = static_cast<int>(kMountPathId);
    }
    if (std::filesystem::exists(siloFolder)) std::filesystem::rename(siloFolder, volumePath);
    EnableSilo(3);
    Silo().Fail("UpgradeVolumeLock", 3, refusals);
    auto store = MakeRestore();
    const int rc = Open(*store, kChunk);
    if (refusals == 15) {
      EXPECT_EQ(0, rc);
      EXPECT_EQ(1u, Silo().Count("recallSiloVolReq"));
    } else {
      EXPECT_EQ(-1, rc);
      EXPECT_EQ(1015, store->MediaFSGetLastError());
      EXPECT_EQ(0u, Silo().Count("recallSiloVolReq"));
      EXPECT_TRUE(Db().LocksOf(kVolId).empty());
      EXPECT_EQ(15 * 60000, platform::SleptMs());
    }
  }
}

TEST_F(SiloTest, AReadOnlyLockIsWaitedForWhileTheRestoreJobRuns) {
  EnableSilo(2);
  Silo().Fail("LockVolume", 3, 2);
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  auto locks = Silo().CallsOf("LockVolume");
  ASSERT_EQ(3u, locks.size());
  EXPECT_EQ(0, locks[0].args[2]);
  EXPECT_NE(0, locks[1].args[2]);  // the pending request of the first refusal goes with the retries
  EXPECT_EQ(locks[1].args[2], locks[2].args[2]);
  EXPECT_EQ(2 * 60000, platform::SleptMs());

  // The restore job stops running: the wait ends.
  platform::Jobs().jobStatus[kRestoreJob] = 13;
  Silo().Fail("LockVolume", 3, -1);
  auto stopped = MakeRestore();
  EXPECT_EQ(-1, Open(*stopped, kChunk));
  EXPECT_TRUE(platform::LogContains("Job Status for 4242 is not running. Returning error."));
}

TEST_F(SiloTest, ACorruptedSIVolumeDBIsRecreated) {
  EnableSilo(2);
  Db().corrupted = true;
  Silo().Fail("LockVolume", 3, 1);
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(1u, Silo().Count("ReCreate"));
  EXPECT_EQ(2u, Silo().Count("AddRecord"));  // the first entry, and again in the new SIVolumeDB
  EXPECT_EQ(1u, Db().LocksOf(kVolId).size());

  // Unless the switch says not to look.
  SetConfig("DoNotCheckForSIVolDBCorruption", 1);
  Silo().Fail("LockVolume", 3, 1);
  Db() = platform::SIVolumeDBState();
  Db().corrupted = true;
  auto unchecked = MakeRestore();
  ASSERT_EQ(0, Open(*unchecked, kChunk));
  EXPECT_EQ(1u, Silo().Count("ReCreate"));
}

TEST_F(SiloTest, AMissingSIVolumeDBIsCreatedAndOneThatCannotBeOpenedFails) {
  EnableSilo(2);
  Silo().databases.clear();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(1u, Silo().Count("Create"));

  Silo().databases.clear();
  Silo().sqlApi = false;
  auto old = MakeRestore();
  EXPECT_EQ(-1, Open(*old, kChunk));
  EXPECT_EQ(1015, old->MediaFSGetLastError());
}

TEST_F(SiloTest, AVolumeBroughtBackToAnotherMountPathIsReadThere) {
  TempDir other;
  const std::string otherRoot = path_append(other.path(), "OZ_MAGNETIC");
  EnableSilo(3);
  Silo().volumes[kVolId].diskFolder = path_append(otherRoot, "V_17");
  Silo().statusNewMountPathId = 8;
  Silo().statusNewTarnholdId = kTarnholdId;
  {
    std::lock_guard<std::mutex> lock(platform::ConfigMutex());
    platform::MountPathRecord record;
    record.mountPath = otherRoot;
    platform::Config().mountPaths[{8, kTarnholdId}] = record;
  }
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(path_append(otherRoot, "V_17"), store->m_strTransformedVolDir);
  EXPECT_EQ(path_append(path_append(otherRoot, "V_17"), "CHUNK_12"), store->m_strChunkDir);
  ExpectChunkReadable(*store);
  EXPECT_EQ(8u, Db().volumes[kVolId].NewMountPathId);
  std::string version;
  ASSERT_EQ(1, store->GetTavrixVersionFromChunkMapTrailer(kChunk, version));
  EXPECT_EQ("11.5", version);
}

TEST_F(SiloTest, ALockKeptForARetrievalJobDoesNotKeepTheNextOne) {
  EnableSilo(3);
  Silo().recallScript = {{0, 1}, {200000, 2}};  // the job stays active on the management server
  auto store = MakeRestore();
  EXPECT_EQ(-1, Open(*store, kChunk));
  ASSERT_EQ(1u, Db().LocksOf(kVolId).size());
  const uint64_t reserved = Db().LocksOf(kVolId)[0].first;

  // The folder came back meanwhile and the SIVolumeDB knows it; the job's lock no longer keeps
  // readers out, but it stays the job's.
  std::filesystem::rename(siloFolder, volumePath);
  Db().volumes[kVolId].VolState = kSIVolStateInSilo;
  Db().locks[reserved].kind = kSIVolLockReadOnly;
  ASSERT_EQ(0, Open(*store, kChunk));
  store.reset();
  // The reserved lock stays for its job; the store's new lock was given back.
  auto locks = Db().LocksOf(kVolId);
  ASSERT_EQ(1u, locks.size());
  EXPECT_EQ(reserved, locks[0].first);
}

TEST_F(SiloTest, ReleasesWithNothingHeld) {
  auto store = MakeRestore();
  EXPECT_EQ(1, store->ReleaseSiloVolResourceLock(0, false, true));
  EXPECT_EQ(1, store->ReleaseSiloVolResourceLock(kVolId, true, false));
  store->m_iIsTapeSI = 0;
  EXPECT_EQ(1, store->ReleaseSiloVolResourceLock(0, false, true));
  EXPECT_TRUE(Silo().calls.empty());
}

}  // namespace
