// Backup and restore end to end on the virtual tape with the recording media manager, for both
// tape media classes: jobs that append chunks and their chunk map trailers (validated cached
// positions and stale ones), restores of every chunk by its file marker in random order, and
// restores that open again after a failed positioning.

#include <algorithm>
#include <map>

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;

struct Written {
  long long chunkId;
  long long fileMarker;
  std::string data;
};

template <class Media>
class TapeRoundTrip : public TapeTestT<Media> {
 protected:
  using Base = TapeTestT<Media>;
  using typename Base::Kind;
  using typename Base::Tape;

  // One backup job appending `chunks` chunks; the chunks written go to `all`.
  void BackupJob(int chunks, uint64_t seed, std::vector<Written>& all, int trailerMode = 2) {
    JobSetup s = this->Job();
    auto tape = this->Start(s);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < chunks; ++i) {
      const long long chunkId = 1000 + static_cast<long long>(all.size());
      const std::string data = Pattern(1 + rng() % (3 * this->block + 1000), seed * 131 + all.size());
      const long long marker = this->BackupChunk(*tape, chunkId, data, trailerMode);
      ASSERT_NE(0, marker) << tape->GetErrorString() << " / " << tape->m_strLastErrorMsg;
      all.push_back({chunkId, marker, data});
    }
  }

  void RestoreAll(Tape& tape, std::vector<Written> order) {
    for (const Written& w : order) {
      SCOPED_TRACE("file marker " + std::to_string(w.fileMarker));
      const std::string got = this->Restore(tape, w.fileMarker, w.data.size());
      ASSERT_TRUE(got == w.data) << got.substr(0, 120);
    }
  }

  // Four chunks of different sizes in files 2 to 5, without trailers. A restore reads the first
  // 1000 bytes of `readFirst` (unless 0), fails to open `marker` on a `failingOp` fault, opens it
  // again and reads it whole, then reads every chunk.
  void RetryFailedOpen(long long readFirst, const char* failingOp, long long marker) {
    const size_t sizes[] = {3000, 131172, 2 * this->block + 1, 70000};
    std::vector<Written> all;
    {
      JobSetup s = this->Job();
      auto tape = this->Start(s);
      for (size_t i = 0; i < std::size(sizes); ++i) {
        const long long chunkId = 500 + static_cast<long long>(i);
        const std::string data = Pattern(sizes[i], 40 + i);
        ASSERT_EQ(0, this->WriteFile(*tape, this->Id(CHUNK, chunkId), data)) << tape->m_strLastErrorMsg;
        all.push_back({chunkId, tape->GetFileNumber(), data});
        ASSERT_EQ(static_cast<long long>(i) + 2, all.back().fileMarker);
      }
    }
    const std::string& wanted = all[marker - 2].data;

    JobSetup r = this->Job(0);
    auto reader = this->Start(r);
    if (readFirst != 0) {
      ASSERT_TRUE(this->Restore(*reader, readFirst, 1000) == all[readFirst - 2].data.substr(0, 1000));
    }
    Library().Fail(kDevice, platform::TapeFault{failingOp, kTapeIoError, 1, 1, -1, 0});
    const std::string failed = this->Restore(*reader, marker, wanted.size());
    ASSERT_EQ(0u, failed.rfind("FAILED open", 0)) << failed.substr(0, 120);

    const std::string retried = this->Restore(*reader, marker, wanted.size());
    ASSERT_TRUE(retried == wanted) << retried.substr(0, 120);
    RestoreAll(*reader, {all[3], all[0], all[2], all[1]});
  }

  static platform::TapeLibraryState& Library() { return Base::Library(); }
};

TYPED_TEST_SUITE(TapeRoundTrip, TapeMediaTypes, TapeMediaNames);

TYPED_TEST(TapeRoundTrip, ChunksRestoreByFileMarkerInAnyOrder) {
  std::vector<Written> all;
  this->BackupJob(4, 1, all);
  this->BackupJob(3, 2, all);  // appends after a cached position that its trailer validates

  // The tape: label, then chunk and trailer files, each closed by its file mark.
  const std::vector<platform::TapeFile> files = this->Library().Files(kDevice);
  ASSERT_EQ(1u + 2 * all.size(), files.size());
  for (const Written& w : all) {
    ASSERT_TRUE(files[w.fileMarker - 1].closed);
    EXPECT_EQ(0u, files[w.fileMarker - 1].Bytes().compare(0, w.data.size(), w.data));
  }
  EXPECT_EQ(static_cast<long long>(files.size()), MediaManager().volumes[kVolId].numFiles);
  EXPECT_TRUE(platform::LogContains("DataMover will use cached filemarker since it is validated "));

  JobSetup s = this->Job(0);
  auto tape = this->Start(s);
  std::vector<Written> order = all;
  std::mt19937_64 rng(99);
  std::shuffle(order.begin(), order.end(), rng);
  this->RestoreAll(*tape, order);
  // Backward and forward spacing both happened.
  EXPECT_GT(this->Library().Count("spaceFileMarksBackward"), 0u);
  EXPECT_GT(this->Library().Count("spaceFileMarksForward"), 0u);
}

// A backup whose cached append position cannot be trusted verifies the label and spaces from the
// beginning of the tape; its chunk still lands at the media manager's append point.
TYPED_TEST(TapeRoundTrip, StaleAppendPositionFallsBackToTheLabel) {
  using Kind = typename TestFixture::Kind;
  struct StaleCase {
    const char* name;
    void (*spoil)(JobSetup&, platform::TapeLibraryState&);
    bool trailerAccepted;
    const char* logLine;
  };
  const StaleCase cases[] = {
      {"Validated", [](JobSetup&, platform::TapeLibraryState&) {}, true,
       "Successfully validated filemark and media using Chunk map."},
      {"HeadRewound", [](JobSetup&, platform::TapeLibraryState& l) { l.Slot(kDevice)->head = 0; }, false,
       "Did not find any valid position before 2 filemarks from the cached file mark position"},
      {"CacheBehind", [](JobSetup& s, platform::TapeLibraryState&) { --s.reserve.m_cachedFileMark; }, false,
       "After OML verify, rewinding media to beginning for VolId=11"},
      {"NoCache", [](JobSetup& s, platform::TapeLibraryState&) { s.reserve.m_cachedFileMark = -1; }, false,
       "After OML verify, rewinding media to beginning for VolId=11"},
  };
  for (const StaleCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    this->SetUp();
    std::vector<Written> all;
    this->BackupJob(2, 3, all);
    JobSetup s = this->Job();
    ASSERT_EQ(s.reserve.m_numFiles, s.reserve.m_cachedFileMark);
    c.spoil(s, this->Library());
    platform::ResetLogs();
    auto tape = this->Start(s);
    const std::string data = Pattern(this->block + 77, 5);
    const long long marker = this->BackupChunk(*tape, 77, data);
    ASSERT_EQ(s.reserve.m_numFiles + 1, marker) << tape->m_strLastErrorMsg;
    all.push_back({77, marker, data});
    EXPECT_EQ(c.trailerAccepted,
              platform::LogContains("DataMover will use cached filemarker since it is validated "));
    EXPECT_TRUE(platform::LogContains(c.logLine)) << c.logLine;
    EXPECT_EQ(c.trailerAccepted ? 0u : 1u,
              platform::LogCount(std::string(Kind::kSpacingLine) + "5 on the Tape volId=11"));

    JobSetup r = this->Job(0);
    auto reader = this->Start(r);
    this->RestoreAll(*reader, all);
  }
}

// A trailer that names another file or another tape is refused; the label is verified and the
// backup goes on at the append point.
TYPED_TEST(TapeRoundTrip, TrailerOfAnotherFileOrTapeIsRefused) {
  for (const auto& [marker, mediaId] : {std::pair<long long, std::string>{3, kMediaId}, {2, "MEDIA-0002"}}) {
    SCOPED_TRACE(mediaId);
    platform::ResetAll();
    this->SetUp();
    std::vector<Written> all;
    this->BackupJob(1, 4, all);
    auto files = this->Library().Files(kDevice);
    ASSERT_EQ(3u, files.size());
    std::string trailer = TrailerText(1000, marker, mediaId);
    trailer.resize(this->block, '0');
    ASSERT_TRUE(platform::WriteTapeFile(this->cartridge, {files[0].blocks, files[1].blocks, {trailer}}));
    this->LoadCartridge();
    this->Library().Slot(kDevice)->head = this->Library().Slot(kDevice)->tape->size();
    JobSetup s = this->Job();
    auto tape = this->Start(s);
    EXPECT_EQ(4, this->BackupChunk(*tape, 1001, Pattern(100, 6)));
    EXPECT_TRUE(platform::LogContains("Filemark and or media did not match while verifying using Chunk map"));
    EXPECT_TRUE(platform::LogContains("After OML verify, rewinding media to beginning for VolId=11"));
  }
}

// Media ids are compared on their first 300 characters.
TYPED_TEST(TapeRoundTrip, MediaIdsEqualOnTheirFirst300CharactersMatch) {
  const std::string id300 = std::string(300, 'q');
  this->WriteLabelledTape(id300 + "label-tail");
  this->LoadCartridge();
  JobSetup s = this->Job();
  s.oml.SetUniqueMediaId(id300 + "params-tail");
  auto tape = this->Start(s);
  MediaFSArchiveFileId_t chunk = this->Id(CHUNK, 5);
  ASSERT_EQ(0, this->WriteFile(*tape, chunk, Pattern(10, 1)));
  ASSERT_EQ(0, this->WriteFile(*tape, this->Id(CHUNKMAP_TRAILER, 5), TrailerText(5, 2, id300 + "trailer-tail")));
  tape.reset();
  JobSetup next = this->Job();
  next.oml.SetUniqueMediaId(id300 + "other-tail");
  platform::ResetLogs();
  tape = this->Start(next);
  ASSERT_EQ(4, this->BackupChunk(*tape, 6, Pattern(10, 2)));
  EXPECT_TRUE(platform::LogContains("DataMover will use cached filemarker since it is validated "));
}

// A cached append position whose "trailer" file is empty: the trailer read meets a file mark.
// The check falls back to the label, whose read is not refused for that file mark, and the file
// number the label check keeps is the append point, so the chunk is recorded where it lies.
TYPED_TEST(TapeRoundTrip, TrailerCheckThatMeetsAFileMarkFallsBackCleanly) {
  using Kind = typename TestFixture::Kind;
  std::vector<Written> all;
  this->BackupJob(1, 7, all);
  auto files = this->Library().Files(kDevice);
  ASSERT_EQ(3u, files.size());
  // Files: label, chunk, trailer, an empty file 4 (as WORM extra file marks leave them).
  ASSERT_TRUE(
      platform::WriteTapeFile(this->cartridge, {files[0].blocks, files[1].blocks, files[2].blocks, {}}));
  this->LoadCartridge();
  this->Library().Slot(kDevice)->head = this->Library().Slot(kDevice)->tape->size();
  MediaManager().volumes[kVolId].numFiles = 4;
  long long occupied = 0;
  OZMMvolInfo(kVolId, nullptr).setFileMarker(4, 1, occupied);

  JobSetup s = this->Job();
  ASSERT_EQ(4, s.reserve.m_cachedFileMark);
  auto tape = this->Start(s);
  const std::string data = Pattern(2 * this->block, 8);
  const long long marker = this->BackupChunk(*tape, 1001, data);
  ASSERT_EQ(5, marker) << tape->m_strLastErrorMsg;
  EXPECT_TRUE(platform::LogContains(Kind::kShortTrailerLine));
  files = this->Library().Files(kDevice);
  ASSERT_EQ(6u, files.size());
  EXPECT_TRUE(files[4].Bytes() == data);
  const auto marks = MediaManager().CallsOf("setFileMarker");
  ASSERT_GE(marks.size(), 2u);
  EXPECT_EQ((std::vector<long long>{5, 1}), marks[marks.size() - 2].args);
}

// The SCSI tape media cache the last file opened: a restore that stopped inside a file leaves a
// read position that the next restore job validates with the trailer after it, without
// rewinding; a position left after a file mark (or reset by one) makes the next job rewind. The
// NDMP tape media leave the cached read position as it was (none, after a rewind), so the next
// job rewinds.
TYPED_TEST(TapeRoundTrip, RestoreFromTheCachedReadPosition) {
  using Kind = typename TestFixture::Kind;
  std::vector<Written> all;
  this->BackupJob(3, 9, all);
  {
    JobSetup r = this->Job(0);
    auto reader = this->Start(r);
    this->RestoreAll(*reader, {all[0]});
  }
  JobSetup r = this->Job(0);
  ASSERT_EQ(2, r.reserve.m_cachedFileMarkKind);
  ASSERT_EQ(Kind::kOpenRecordsReadPosition ? all[0].fileMarker : -1, r.reserve.m_cachedFileMark);
  const size_t rewindsBefore = this->Library().Count("rewindMedia");
  platform::ResetLogs();
  auto reader = this->Start(r);
  this->RestoreAll(*reader, {all[2], all[1]});
  EXPECT_EQ(Kind::kOpenRecordsReadPosition, rewindsBefore == this->Library().Count("rewindMedia"));
  EXPECT_EQ(Kind::kOpenRecordsReadPosition,
            platform::LogContains("Successfully validated the filemarker position on the media.."));

  // Reading a chunk up to its file mark resets the cached markers; the next job starts over.
  MediaFSArchiveFileId_t id = this->Id(CHUNK, 0, all[2].fileMarker, static_cast<long long>(all[2].data.size()));
  ASSERT_EQ(0, reader->Open(&id, true));
  std::string everything(all[2].data.size() + 2 * this->block, '\0');
  const int got = reader->Read(everything.data(), everything.size());
  EXPECT_EQ((all[2].data.size() + this->block - 1) / this->block * this->block, static_cast<size_t>(got));
  EXPECT_TRUE(reader->m_bFileClosed);
  EXPECT_EQ(all[2].fileMarker, reader->GetFileNumber());
  ASSERT_EQ(0, reader->Close());
  reader.reset();
  JobSetup again = this->Job(0);
  EXPECT_EQ(-1, again.reserve.m_cachedFileMark);
  reader = this->Start(again);
  this->RestoreAll(*reader, {all[1]});
}

TYPED_TEST(TapeRoundTrip, StaleReadPositionRewindsTheTape) {
  using Kind = typename TestFixture::Kind;
  std::vector<Written> all;
  this->BackupJob(2, 10, all);
  {
    JobSetup r = this->Job(0);
    auto reader = this->Start(r);
    this->RestoreAll(*reader, {all[1]});
  }
  this->Library().Slot(kDevice)->head = 0;  // someone moved the tape
  JobSetup r = this->Job(0);
  auto reader = this->Start(r);
  platform::ResetLogs();
  this->RestoreAll(*reader, {all[0], all[1]});
  EXPECT_EQ(Kind::kOpenRecordsReadPosition, platform::LogContains(Kind::kStaleReadPositionLine));
}

// A positioning that fails leaves the head where the drive stopped, not before the file asked
// for. The open after it finds the position again (the cached read position's trailer, or the
// label and a rewind) before it spaces, so a retried open reads its own file, and so does every
// open after it. The chunks have no trailers: the cached read position never checks out and the
// retry goes back to the beginning of the tape.
TYPED_TEST(TapeRoundTrip, OpenAfterAFailedPositioningReadsItsOwnFile) {
  struct RetryCase {
    const char* name;
    long long readFirst;  // opened and read in part before the fault; 0: the failing open is the first
    const char* failingOp;
    long long marker;  // the open that fails, then is retried
  };
  const RetryCase cases[] = {
      {"ForwardSpacing", 2, "spaceFileMarksForward", 4},
      {"BackwardSpacing", 5, "spaceFileMarksBackward", 3},
      {"FirstOpenRewind", 0, "rewindMedia", 3},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    this->SetUp();
    this->RetryFailedOpen(c.readFirst, c.failingOp, c.marker);
  }
}

}  // namespace
