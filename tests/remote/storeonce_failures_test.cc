// Failures of the appliance media: what each returns, the last error it leaves, what it marks,
// and that a failed step changes nothing it should not.

#include <climits>
#include <functional>

#include "storeonce_fixture.h"

namespace {

using namespace sotest;
using platform::ApplianceOp;
using platform::ApplianceRule;

class StoreOnceFailures : public StoreOnceTest {
 protected:
  void SetUp() override { WriteDataChunk(100, Pattern(100000, 100)); }

  std::unique_ptr<HPStoreOnce_FS> Chunk(long long chunkId) {
    auto media = NewMedia();
    MediaFSArchiveFileId_t id = ChunkId(chunkId);
    EXPECT_EQ(0, media->Create(&id));
    return media;
  }

  static int WriteMeta(HPStoreOnce_FS& m, size_t n = 100) {
    int eom = -1;
    const std::string b = Pattern(n, 1);
    return m.WriteToMetaData(b.data(), static_cast<long>(n), &eom);
  }
  static int WriteData(HPStoreOnce_FS& m, size_t n = 100) {
    int eom = -1;
    const std::string b = Pattern(n, 2);
    return m.WriteToDataFile(b.data(), static_cast<long>(n), &eom);
  }
  static int Clone(HPStoreOnce_FS& m, unsigned long long size = 100) {
    SILinkHdr link = Link(kVolId, 100, 1, 0, size);
    int eom = -1;
    return m.CloneToDataFile(&link, 0, &eom);
  }
  static int Schedule(HPStoreOnce_FS& m, unsigned long long size = 100) {
    SILinkHdr link = Link(kVolId, 100, 1, 0, size);
    int eom = -1;
    return m.ScheduleDataFileCopy(&link, kTHId, false, &eom);
  }
  static int AddEntry(HPStoreOnce_FS& m, unsigned long long key = 10) {
    SChunkMetaDataIndexEntry e = Entry(key);
    return m.AddChunkMetaDataIndexEntry(e);
  }

  static std::vector<long long> MarkFull() { return MediaManagerLastArgs("markFull"); }
};

TEST_F(StoreOnceFailures, NewObjectsNeedTags) {
  params.m_ParamText.clear();
  const struct {
    const char* what;
    std::function<int(HPStoreOnce_FS&)> call;
  } cases[] = {
      {"metadata object", [](auto& m) { return WriteMeta(m); }},
      {"data object", [](auto& m) { return WriteData(m); }},
      {"clone target", [](auto& m) { return Clone(m); }},
      {"index", [](auto& m) { return AddEntry(m); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto media = Chunk(200);
    EXPECT_EQ(-1, c.call(*media));
    EXPECT_EQ(40013, LastError(*media));
    EXPECT_FALSE(std::filesystem::exists(ChunkFolder(200)));
  }
  // Reading needs none, nor does a copy target.
  auto media = Chunk(200);
  EXPECT_EQ(100, Schedule(*media));
  EXPECT_EQ(0, media->CloseSpecific(0));
  EXPECT_EQ(Pattern(100000, 100).substr(0, 100), ReadFile(DataObject(200)));
}

TEST_F(StoreOnceFailures, OpenModesOutsideTheTableAreRefused) {
  auto media = Chunk(200);
  using Mode = HPStoreOnce_FS::HPStoreOnceFSOpenMode;
  for (int mode : {2, 3, 4, 9}) {
    media->MediaFSSetLastError(0);
    EXPECT_EQ(-1, media->OpenMetaDataFile(static_cast<Mode>(mode))) << mode;
    EXPECT_EQ(40013, LastError(*media));
  }
  for (int mode : {-1, 5}) {
    media->MediaFSSetLastError(0);
    EXPECT_EQ(-1, media->OpenDataFile(static_cast<Mode>(mode))) << mode;
    EXPECT_EQ(40013, LastError(*media));
  }
  for (int mode : {2, 3, 4}) {
    media->MediaFSSetLastError(0);
    EXPECT_EQ(-1, media->OpenMetaDataIndexFile(static_cast<Mode>(mode))) << mode;
    EXPECT_EQ(40013, LastError(*media));
  }
  EXPECT_TRUE(platform::LogContains("Invalid open mode for data file ["));
  EXPECT_FALSE(std::filesystem::exists(ChunkFolder(200)));
}

// A failing open, flush, write or read leaves its code as the last error.
TEST_F(StoreOnceFailures, FailingCallsOfTheAppliance) {
  const struct {
    const char* what;
    ApplianceRule rule;
    std::function<int(HPStoreOnce_FS&)> call;
    int result;
    bool setsLastError = true;
  } cases[] = {
      {"metadata open", {ApplianceOp::Open, ".meta", 1, 1, 1005}, [](auto& m) { return WriteMeta(m); }, -1},
      {"data open", {ApplianceOp::Open, "1.data", 1, 1, 1006}, [](auto& m) { return WriteData(m); }, -1},
      {"index existence", {ApplianceOp::Exists, ".idx", 1, 1, 1007}, [](auto& m) { return AddEntry(m); }, -1},
      {"index create", {ApplianceOp::Open, ".idx", 1, 1, 1008}, [](auto& m) { return AddEntry(m); }, -1},
      {"metadata write", {ApplianceOp::Write, ".meta", 1, 1, 1009}, [](auto& m) { return WriteMeta(m); }, -1},
      {"clone", {ApplianceOp::Clone, "1.data", 1, 1, 1010}, [](auto& m) { return Clone(m); }, -1},
      // A failed size query of the copy target fails the scheduling with -1 and sets no last error.
      {"copy target size", {ApplianceOp::Size, "1.data", 1, 1, 1011}, [](auto& m) { return Schedule(m); }, -1, false},
      {"data flush",
       {ApplianceOp::Flush, "1.data", 1, 1, 1012},
       [](auto& m) { return WriteData(m) == 100 ? m.FlushDataFile() : 99; },
       -1},
      {"metadata seek",
       {ApplianceOp::Seek, ".meta", 1, 1, 1013},
       [](auto& m) { return WriteMeta(m) == 100 ? m.SetMetaDataSeekOffset(0, 0) : 99; },
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Appliance().Fail(c.rule);
    auto media = Chunk(200);
    EXPECT_EQ(c.result, c.call(*media));
    EXPECT_EQ(c.setsLastError ? static_cast<long long>(c.rule.mmCode) : 0, LastError(*media));
    media.reset();
    std::filesystem::remove_all(ChunkFolder(200));
  }
}

// A failing metadata flush leaves the index unflushed; a failing index flush fails the call too.
TEST_F(StoreOnceFailures, FlushOfMetadataAndIndex) {
  auto media = Chunk(200);
  ASSERT_EQ(100, WriteMeta(*media));
  ASSERT_EQ(0, AddEntry(*media));
  platform::Appliance().Fail({ApplianceOp::Flush, ".meta", 1, 1, 1020});
  const size_t indexWrites = platform::Appliance().CallsOf(ApplianceOp::Write).size();
  EXPECT_EQ(-1, media->FlushMetaDataFile());
  EXPECT_EQ(1020, LastError(*media));
  EXPECT_EQ(indexWrites, platform::Appliance().CallsOf(ApplianceOp::Write).size());
  EXPECT_EQ(0, media->FlushMetaDataFile());
  EXPECT_EQ(592u, ReadFile(IndexObject(200)).size());  // the header block and one record
  platform::Appliance().Fail({ApplianceOp::Write, ".idx", 1, 1, 1021});
  ASSERT_EQ(0, AddEntry(*media, 20));
  EXPECT_EQ(-1, media->FlushMetaDataFile());
  EXPECT_EQ(1021, LastError(*media));
}

// Every step of a close runs whatever the earlier ones gave; the first failing close's error
// stands.
TEST_F(StoreOnceFailures, CloseRunsEveryStepAndKeepsTheFirstError) {
  auto media = Chunk(200);
  ASSERT_EQ(100, WriteMeta(*media));
  ASSERT_EQ(0, AddEntry(*media));
  ASSERT_EQ(100, Schedule(*media));
  platform::Appliance().Fail({ApplianceOp::Close, ".meta", 1, 1, 1030});
  platform::Appliance().Fail({ApplianceOp::Close, ".idx", 1, 1, 1031});
  EXPECT_EQ(-1, media->CloseSpecific(0));
  EXPECT_EQ(1030, LastError(*media));
  EXPECT_EQ(1u, platform::Appliance().CallsOf(ApplianceOp::CopyObject).size());
  EXPECT_EQ(Pattern(100000, 100).substr(0, 100), ReadFile(DataObject(200)));
  EXPECT_EQ(592u, ReadFile(IndexObject(200)).size());  // flushed by its close
  EXPECT_EQ("", Access::ChunkPath(*media));
  EXPECT_EQ("", Access::DataPath(*media));
  EXPECT_EQ(0, media->CloseSpecific(0));  // nothing left: harmless

  // A failed metadata close followed by a failed data close: the metadata close's error.
  media = Chunk(201);
  ASSERT_EQ(100, WriteMeta(*media));
  ASSERT_EQ(100, WriteData(*media));
  platform::Appliance().Fail({ApplianceOp::Close, "CHUNK_201/1.data", 1, 1, 1033});
  platform::Appliance().Fail({ApplianceOp::Close, "CHUNK_201/.meta", 1, 1, 1034});
  EXPECT_EQ(-1, media->CloseSpecific(0));
  EXPECT_EQ(1034, LastError(*media));
  EXPECT_TRUE(platform::LogContains("Cannot close the data file, error="));
}

// A copy that fails when the chunk closes: -1, its error, and the pending copy is gone with the
// data object.
TEST_F(StoreOnceFailures, CopyFailingAtClose) {
  const struct {
    const char* what;
    ApplianceRule rule;
    long long lastError;
  } cases[] = {
      {"cancel of earlier jobs", {ApplianceOp::CancelCopy, "", 1, 1, 1040}, 1040},
      {"start of the job", {ApplianceOp::CopyObject, "", 1, 1, 1041}, 1041},
      {"status of the job", {ApplianceOp::CopyStatus, "", 1, 1, 1042}, 1042},
      {"the job itself", {ApplianceOp::CopyJob, "", 1, 1, 1043}, 1043},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Appliance().Fail(c.rule);
    auto media = Chunk(200);
    ASSERT_EQ(100, Schedule(*media));
    EXPECT_EQ(-1, media->CloseSpecific(0));
    EXPECT_EQ(c.lastError, LastError(*media));
    EXPECT_FALSE(Access::CopyPending(*media));
    EXPECT_EQ(0u, platform::Appliance().RunningJobs());
    // A job whose status was not read was stopped: it may have copied its one piece before.
    const std::string left = ReadFile(DataObject(200));
    EXPECT_TRUE(left.empty() || (c.rule.op == ApplianceOp::CopyStatus && left == Pattern(100000, 100).substr(0, 100)));
    EXPECT_TRUE(platform::LogContains("Cannot copy data file, error=-1."));
    media.reset();
    std::filesystem::remove_all(ChunkFolder(200));
  }
}

// A copy job whose outcome cannot be read is stopped before the call that ran it reports the
// failure: cancelled, or waited for when the cancel fails as well. Once the call has returned, no
// job writes into the data object of the chunk, whichever call ran the copy.
TEST_F(StoreOnceFailures, CopyWhoseStatusIsLostIsStoppedBeforeTheFailure) {
  // A source long enough that its job is still copying when the status read fails.
  constexpr unsigned long long kBig = 24ULL << 20;
  std::filesystem::create_directories(ChunkFolder(90));
  {
    std::ofstream out(DataObject(90), std::ios::binary);
    const std::string block = Pattern(1 << 20, 9);
    for (unsigned long long at = 0; at < kBig; at += block.size()) out << block;
  }
  const struct {
    const char* what;
    bool cancelFails;
    std::function<int(HPStoreOnce_FS&)> call;
  } cases[] = {
      {"at close", false, [](auto& m) { return m.CloseSpecific(0); }},
      {"run by the host", false, [](auto& m) { return m.CopyDataFile(); }},
      {"run for new data", false, [](auto& m) { return WriteData(m); }},
      {"run for a link of another chunk", false, [](auto& m) { return Schedule(m); }},
      {"the cancel fails too", true, [](auto& m) { return m.CloseSpecific(0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto media = Chunk(200);
    SILinkHdr link = Link(kVolId, 90, 1, 0, kBig);
    int eom = -1;
    ASSERT_EQ(static_cast<int>(kBig), media->ScheduleDataFileCopy(&link, kTHId, false, &eom));
    platform::Appliance().Fail({ApplianceOp::CopyStatus, "", 1, 1, 1042});
    // The first cancel is the one before the job starts.
    if (c.cancelFails) platform::Appliance().Fail({ApplianceOp::CancelCopy, "", 2, 1, 1044});
    EXPECT_EQ(-1, c.call(*media));
    EXPECT_EQ(1042, LastError(*media));
    EXPECT_EQ(0u, platform::Appliance().RunningJobs());
    // The job copies front to back: an object that does not grow has no writer left.
    const auto left = std::filesystem::file_size(DataObject(200));
    platform::Appliance().WaitForJobs();
    EXPECT_EQ(left, std::filesystem::file_size(DataObject(200))) << "the object grew after the failure";
    if (c.cancelFails) {
      EXPECT_EQ(kBig, left);  // waited for: the job ran to its end
    }
    media.reset();
    platform::Appliance().WaitForJobs();
    std::filesystem::remove_all(ChunkFolder(200));
  }
}

// While the status of a copy job and the cancel of it keep failing, the call that ran the copy
// cancels and waits again, rounds apart, until the job is known to have stopped or ended; it
// still fails with the status failure. Only when the rounds run out does it give up, naming the
// job that may still write. Held jobs have not started, so a cancel that goes through ends them.
TEST_F(StoreOnceFailures, CopyJobIsStoppedWhileStatusAndCancelKeepFailing) {
  const struct {
    const char* what;
    int statusFailures;  // -1: for good
    int cancelFailures;
    bool held;
    bool stopped;
  } cases[] = {
      {"status fails twice, cancel once", 2, 1, true, true},
      {"status fails three times, cancel once", 3, 1, true, true},
      {"cancel fails for good, a later wait goes through", 2, -1, false, true},
      {"status and cancel fail for good", -1, -1, true, false},
  };
  long long chunkId = 110;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const long long source = chunkId++, target = chunkId++;
    WriteDataChunk(source, Pattern(1000, static_cast<unsigned>(source)));
    auto media = Chunk(target);
    platform::Appliance().HoldJobs(c.held);
    const long long slept = platform::SleptMs();
    const std::string sourceName = "CHUNK_" + std::to_string(source) + "/";
    const std::string targetName = "CHUNK_" + std::to_string(target) + "/";
    platform::Appliance().Fail({ApplianceOp::CopyStatus, targetName, 1, c.statusFailures, 1042});
    // The first cancel is the one before the job starts.
    platform::Appliance().Fail({ApplianceOp::CancelCopy, sourceName, 2, c.cancelFailures, 1044});
    SILinkHdr link = Link(kVolId, static_cast<unsigned long long>(source), 1, 0, 1000);
    int eom = -1;
    ASSERT_EQ(1000, media->ScheduleDataFileCopy(&link, kTHId, false, &eom));

    EXPECT_EQ(-1, media->CopyDataFile());
    EXPECT_EQ(1042, LastError(*media));
    const auto jobs = platform::Appliance().CallsOf(ApplianceOp::CopyObject);
    ASSERT_FALSE(jobs.empty());
    const long long job = jobs.back().args[4];
    const std::string mayWrite = "Object copy job [" + std::to_string(job) + "] may still write";
    if (c.stopped) {
      EXPECT_EQ(0u, platform::Appliance().RunningJobs());
      EXPECT_FALSE(platform::LogContains(mayWrite));
    } else {
      EXPECT_EQ(1u, platform::Appliance().RunningJobs());
      EXPECT_TRUE(platform::LogContains(mayWrite));
      // Bounded: so many rounds of a cancel and a wait, paused between.
      size_t cancels = 0;
      for (const auto& call : platform::Appliance().CallsOf(ApplianceOp::CancelCopy)) {
        if (call.name.find(sourceName) != std::string::npos) ++cancels;
      }
      EXPECT_EQ(1u + HPStoreOnce_FS::kCopyStopRounds, cancels);
      EXPECT_EQ((HPStoreOnce_FS::kCopyStopRounds - 1) * static_cast<long long>(HPStoreOnce_FS::kCopyStopPauseMs),
                platform::SleptMs() - slept);
    }
    // Nothing lands once the call has returned, unless it said a job may still write.
    const std::string left = ReadFile(DataObject(target));
    platform::Appliance().HoldJobs(false);
    platform::Appliance().WaitForJobs();
    if (c.stopped) {
      EXPECT_TRUE(left == ReadFile(DataObject(target))) << "the object changed after the call returned";
    }
    media.reset();
    platform::Appliance().WaitForJobs();
  }
}

// Past the appliance's capacity a write, a clone and a copy job fail with 81158 and mark the
// volume full (42001, the job id); nothing of them lands.
TEST_F(StoreOnceFailures, CapacityReached) {
  const struct {
    const char* what;
    std::function<int(HPStoreOnce_FS&)> call;
  } cases[] = {
      {"metadata write", [](auto& m) { return WriteMeta(m, 5000); }},
      {"data write", [](auto& m) { return WriteData(m, 5000); }},
      {"clone", [](auto& m) { return Clone(m, 5000); }},
      {"copy job", [](auto& m) { return Schedule(m, 5000) == 5000 ? m.CloseSpecific(0) : 99; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::MediaManager().calls.clear();
    platform::Appliance().SetCapacity(platform::Appliance().UsedBytes() + 4000);
    auto media = Chunk(200);
    EXPECT_EQ(-1, c.call(*media));
    EXPECT_EQ(81158, LastError(*media));
    EXPECT_EQ((std::vector<long long>{42001, job.jobId}), MarkFull());
    EXPECT_EQ((std::vector<long long>{0}), MediaManagerLastArgs("setFreeBytesMB"));
    media.reset();
    EXPECT_LE(ReadFile(DataObject(200)).size() + ReadFile(MetaObject(200)).size(), 0u);
    platform::Appliance().SetCapacity(0);
    std::filesystem::remove_all(ChunkFolder(200));
  }
  // Below the capacity the same write goes through.
  platform::Appliance().SetCapacity(platform::Appliance().UsedBytes() + 5000);
  auto media = Chunk(200);
  EXPECT_EQ(5000, WriteData(*media, 5000));
}

// The layer's short transfers are failures with an I/O error, not a success value; a request that
// one count cannot report is refused before anything moves.
TEST_F(StoreOnceFailures, ShortTransfersAndOversizedRequests) {
  auto media = Chunk(200);
  platform::Faults().Add({platform::FsOp::Write, ".meta", 1, 1, 0, 10});
  EXPECT_EQ(-1, WriteMeta(*media));
  EXPECT_EQ(762, LastError(*media));
  platform::Faults().Add({platform::FsOp::Write, "1.data", 1, 1, 0, 10});
  EXPECT_EQ(-1, WriteData(*media));
  EXPECT_EQ(762, LastError(*media));
  media->MediaFSSetLastError(0);
  char byte = 0;
  int eom = -1;
  EXPECT_EQ(-1, media->WriteToDataFile(&byte, 4294967306L, &eom));  // 4 GiB and 10 bytes
  EXPECT_EQ(-1, media->WriteToMetaData(&byte, 2147483648L, &eom));
  EXPECT_NE(0, LastError(*media));
  EXPECT_EQ(10, media->GetDataFileOffset());  // the short write's bytes, nothing of the refused ones
  EXPECT_EQ(0, media->CloseSpecific(0));

  auto reader = NewMedia(2);
  MediaFSArchiveFileId_t id = ChunkId(100);
  ASSERT_EQ(0, reader->Open(&id, false));
  std::string buf(100, '\0');
  platform::Faults().Add({platform::FsOp::Read, "CHUNK_100/1.data", 1, 1, 0, 4});
  EXPECT_EQ(-1, reader->ReadFromDataFile(buf.data(), 10));
  EXPECT_EQ(762, LastError(*reader));
  ASSERT_EQ(1, reader->SetDataSeekOffset(100000));
  EXPECT_EQ(0, reader->ReadFromDataFile(buf.data(), 10));  // the end of the object is no failure
  ASSERT_EQ(1, reader->SetDataSeekOffset(99996));
  EXPECT_EQ(-1, reader->ReadFromDataFile(buf.data(), 10));  // a short read before the end is
}

// Without the appliance's client every appliance call fails with 501, and the media says so.
TEST_F(StoreOnceFailures, WithoutTheClientEveryCallFailsWith501) {
  platform::Appliance().Reset();
  const struct {
    const char* what;
    std::function<int(HPStoreOnce_FS&)> call;
  } cases[] = {
      {"metadata write", [](auto& m) { return WriteMeta(m); }},
      {"data write", [](auto& m) { return WriteData(m); }},
      {"clone", [](auto& m) { return Clone(m); }},
      {"copy", [](auto& m) { return Schedule(m); }},
      {"index add", [](auto& m) { return AddEntry(m); }},
      {"index search",
       [](auto& m) {
         SChunkMetaDataIndexEntry e{};
         return static_cast<int>(m.SearchChunkMetaDataIndex(1, e));
       }},
      {"data read",
       [](auto& m) {
         char b[4];
         return m.ReadFromDataFile(b, 4);
       }},
      {"restore open",
       [](auto& m) {
         MediaFSArchiveFileId_t id = ChunkId(100);
         return m.OpenSpecific(&id);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto media = Chunk(200);
    EXPECT_EQ(-1, c.call(*media));
    EXPECT_EQ(501, LastError(*media));
  }
}

// A copy scheduled while the appliance was there, run after it went: 501 at close.
TEST_F(StoreOnceFailures, CopyRunWithoutTheClient) {
  auto media = Chunk(200);
  ASSERT_EQ(100, Schedule(*media));
  platform::Appliance().Reset();
  EXPECT_EQ(-1, media->CloseSpecific(0));
  EXPECT_EQ(501, LastError(*media));
  EXPECT_FALSE(Access::CopyPending(*media));
}

}  // namespace
