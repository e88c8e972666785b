// Backup and restore end to end on the virtual tape with the recording media manager: jobs that
// append chunks and their chunk map trailers (validated cached positions and stale ones), and
// restores of every chunk by its file marker in random order.

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

class TapeRoundTrip : public TapeTest {
 protected:
  // One backup job appending `chunks` chunks; the chunks written go to `all`.
  void BackupJob(int chunks, uint64_t seed, std::vector<Written>& all, int trailerMode = 2) {
    JobSetup s = Job();
    auto tape = Start(s);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < chunks; ++i) {
      const long long chunkId = 1000 + static_cast<long long>(all.size());
      const std::string data = Pattern(1 + rng() % (3 * block + 1000), seed * 131 + all.size());
      const long long marker = BackupChunk(*tape, chunkId, data, trailerMode);
      ASSERT_NE(0, marker) << tape->GetErrorString() << " / " << tape->m_strLastErrorMsg;
      all.push_back({chunkId, marker, data});
    }
  }

  void RestoreAll(TapeUnderTest& tape, std::vector<Written> order) {
    for (const Written& w : order) {
      SCOPED_TRACE("file marker " + std::to_string(w.fileMarker));
      const std::string got = Restore(tape, w.fileMarker, w.data.size());
      ASSERT_TRUE(got == w.data) << got.substr(0, 120);
    }
  }
};

TEST_F(TapeRoundTrip, ChunksRestoreByFileMarkerInAnyOrder) {
  std::vector<Written> all;
  BackupJob(4, 1, all);
  BackupJob(3, 2, all);  // appends after a cached position that its trailer validates

  // The tape: label, then chunk and trailer files, each closed by its file mark.
  const std::vector<platform::TapeFile> files = Library().Files(kDevice);
  ASSERT_EQ(1u + 2 * all.size(), files.size());
  for (const Written& w : all) {
    ASSERT_TRUE(files[w.fileMarker - 1].closed);
    EXPECT_EQ(0u, files[w.fileMarker - 1].Bytes().compare(0, w.data.size(), w.data));
  }
  EXPECT_EQ(static_cast<long long>(files.size()), MediaManager().volumes[kVolId].numFiles);
  EXPECT_TRUE(platform::LogContains("DataMover will use cached filemarker since it is validated "));

  JobSetup s = Job(0);
  auto tape = Start(s);
  std::vector<Written> order = all;
  std::mt19937_64 rng(99);
  std::shuffle(order.begin(), order.end(), rng);
  RestoreAll(*tape, order);
  // Backward and forward spacing both happened.
  EXPECT_GT(Library().Count("spaceFileMarksBackward"), 0u);
  EXPECT_GT(Library().Count("spaceFileMarksForward"), 0u);
}

// A backup whose cached append position cannot be trusted verifies the label and spaces from the
// beginning of the tape; its chunk still lands at the media manager's append point.
struct StaleCase {
  const char* name;
  void (*spoil)(JobSetup&, platform::TapeLibraryState&);
  bool trailerAccepted;
  const char* logLine;
};

class StaleAppendPosition : public TapeRoundTrip, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(StaleAppendPosition, FallsBackToTheLabel) {
  const StaleCase& c = GetParam();
  std::vector<Written> all;
  BackupJob(2, 3, all);
  JobSetup s = Job();
  ASSERT_EQ(s.reserve.m_numFiles, s.reserve.m_cachedFileMark);
  c.spoil(s, Library());
  platform::ResetLogs();
  auto tape = Start(s);
  const std::string data = Pattern(block + 77, 5);
  const long long marker = BackupChunk(*tape, 77, data);
  ASSERT_EQ(s.reserve.m_numFiles + 1, marker) << tape->m_strLastErrorMsg;
  all.push_back({77, marker, data});
  EXPECT_EQ(c.trailerAccepted, platform::LogContains("DataMover will use cached filemarker since it is validated "));
  EXPECT_TRUE(platform::LogContains(c.logLine)) << c.logLine;
  EXPECT_EQ(c.trailerAccepted ? 0u : 1u, platform::LogCount("Forwarding by fileMarker=5 on the Tape volId=11"));

  JobSetup r = Job(0);
  auto reader = Start(r);
  RestoreAll(*reader, all);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StaleAppendPosition,
    ::testing::Values(
        StaleCase{"Validated", [](JobSetup&, platform::TapeLibraryState&) {}, true,
                  "Successfully validated filemark and media using Chunk map."},
        StaleCase{"HeadRewound", [](JobSetup&, platform::TapeLibraryState& l) { l.Slot(kDevice)->head = 0; }, false,
                  "Did not find any valid position before 2 filemarks from the cached file mark position"},
        StaleCase{"CacheBehind", [](JobSetup& s, platform::TapeLibraryState&) { --s.reserve.m_cachedFileMark; },
                  false, "After OML verify, rewinding media to beginning for VolId=11"},
        StaleCase{"NoCache", [](JobSetup& s, platform::TapeLibraryState&) { s.reserve.m_cachedFileMark = -1; },
                  false, "After OML verify, rewinding media to beginning for VolId=11"}),
    [](const ::testing::TestParamInfo<StaleCase>& i) { return std::string(i.param.name); });

// A trailer that names another file or another tape is refused; the label is verified and the
// backup goes on at the append point.
TEST_F(TapeRoundTrip, TrailerOfAnotherFileOrTapeIsRefused) {
  for (const auto& [marker, mediaId] : {std::pair<long long, std::string>{3, kMediaId}, {2, "MEDIA-0002"}}) {
    SCOPED_TRACE(mediaId);
    platform::ResetAll();
    SetUp();
    std::vector<Written> all;
    BackupJob(1, 4, all);
    auto files = Library().Files(kDevice);
    ASSERT_EQ(3u, files.size());
    std::string trailer = TrailerText(1000, marker, mediaId);
    trailer.resize(block, '0');
    ASSERT_TRUE(platform::WriteTapeFile(cartridge, {files[0].blocks, files[1].blocks, {trailer}}));
    LoadCartridge();
    Library().Slot(kDevice)->head = Library().Slot(kDevice)->tape->size();
    JobSetup s = Job();
    auto tape = Start(s);
    EXPECT_EQ(4, BackupChunk(*tape, 1001, Pattern(100, 6)));
    EXPECT_TRUE(platform::LogContains("Filemark and or media did not match while verifying using Chunk map"));
    EXPECT_TRUE(platform::LogContains("After OML verify, rewinding media to beginning for VolId=11"));
  }
}

// Media ids are compared on their first 300 characters.
TEST_F(TapeRoundTrip, MediaIdsEqualOnTheirFirst300CharactersMatch) {
  const std::string id300 = std::string(300, 'q');
  WriteLabelledTape(id300 + "label-tail");
  LoadCartridge();
  JobSetup s = Job();
  s.oml.SetUniqueMediaId(id300 + "params-tail");
  auto tape = Start(s);
  MediaFSArchiveFileId_t chunk = Id(CHUNK, 5);
  ASSERT_EQ(0, WriteFile(*tape, chunk, Pattern(10, 1)));
  ASSERT_EQ(0, WriteFile(*tape, Id(CHUNKMAP_TRAILER, 5), TrailerText(5, 2, id300 + "trailer-tail")));
  tape.reset();
  JobSetup next = Job();
  next.oml.SetUniqueMediaId(id300 + "other-tail");
  platform::ResetLogs();
  tape = Start(next);
  ASSERT_EQ(4, BackupChunk(*tape, 6, Pattern(10, 2)));
  EXPECT_TRUE(platform::LogContains("DataMover will use cached filemarker since it is validated "));
}

// A cached append position whose "trailer" file is empty: the trailer read meets a file mark.
// The check falls back to the label, whose read is not refused for that file mark, and the file
// number the label check keeps is the append point, so the chunk is recorded where it lies.
TEST_F(TapeRoundTrip, TrailerCheckThatMeetsAFileMarkFallsBackCleanly) {
  std::vector<Written> all;
  BackupJob(1, 7, all);
  auto files = Library().Files(kDevice);
  ASSERT_EQ(3u, files.size());
  // Files: label, chunk, trailer, an empty file 4 (as WORM extra file marks leave them).
  ASSERT_TRUE(platform::WriteTapeFile(cartridge, {files[0].blocks, files[1].blocks, files[2].blocks, {}}));
  LoadCartridge();
  Library().Slot(kDevice)->head = Library().Slot(kDevice)->tape->size();
  platform::MediaManager().volumes[kVolId].numFiles = 4;
  long long occupied = 0;
  OZMMvolInfo(kVolId, nullptr).setFileMarker(4, 1, occupied);

  JobSetup s = Job();
  ASSERT_EQ(4, s.reserve.m_cachedFileMark);
  auto tape = Start(s);
  const std::string data = Pattern(2 * block, 8);
  const long long marker = BackupChunk(*tape, 1001, data);
  ASSERT_EQ(5, marker) << tape->m_strLastErrorMsg;
  EXPECT_TRUE(platform::LogContains("Could not read Data for Chunk Map Trailer"));
  files = Library().Files(kDevice);
  ASSERT_EQ(6u, files.size());
  EXPECT_TRUE(files[4].Bytes() == data);
  const auto marks = MediaManager().CallsOf("setFileMarker");
  ASSERT_GE(marks.size(), 2u);
  EXPECT_EQ((std::vector<long long>{5, 1}), marks[marks.size() - 2].args);
}

// A restore that stopped inside a file leaves a read position that the next restore job
// validates with the trailer after it, without rewinding; a position left after a file mark (or
// reset by one) makes the next job rewind.
TEST_F(TapeRoundTrip, RestoreFromAValidatedReadPosition) {
  std::vector<Written> all;
  BackupJob(3, 9, all);
  {
    JobSetup r = Job(0);
    auto reader = Start(r);
    RestoreAll(*reader, {all[0]});
  }
  JobSetup r = Job(0);
  ASSERT_EQ(2, r.reserve.m_cachedFileMarkKind);
  ASSERT_EQ(all[0].fileMarker, r.reserve.m_cachedFileMark);
  const size_t rewindsBefore = Library().Count("rewindMedia");
  platform::ResetLogs();
  auto reader = Start(r);
  RestoreAll(*reader, {all[2], all[1]});
  EXPECT_EQ(rewindsBefore, Library().Count("rewindMedia"));
  EXPECT_TRUE(platform::LogContains("Successfully validated the filemarker position on the media.."));

  // Reading a chunk up to its file mark resets the cached markers; the next job starts over.
  MediaFSArchiveFileId_t id = Id(CHUNK, 0, all[2].fileMarker, static_cast<long long>(all[2].data.size()));
  ASSERT_EQ(0, reader->Open(&id, true));
  std::string everything(all[2].data.size() + 2 * block, '\0');
  const int got = reader->Read(everything.data(), everything.size());
  EXPECT_EQ((all[2].data.size() + block - 1) / block * block, static_cast<size_t>(got));
  EXPECT_TRUE(reader->m_bFileClosed);
  EXPECT_EQ(all[2].fileMarker, reader->GetFileNumber());
  ASSERT_EQ(0, reader->Close());
  reader.reset();
  JobSetup again = Job(0);
  EXPECT_EQ(-1, again.reserve.m_cachedFileMark);
  reader = Start(again);
  RestoreAll(*reader, {all[1]});
}

TEST_F(TapeRoundTrip, StaleReadPositionRewindsTheTape) {
  std::vector<Written> all;
  BackupJob(2, 10, all);
  {
    JobSetup r = Job(0);
    auto reader = Start(r);
    RestoreAll(*reader, {all[1]});
  }
  Library().Slot(kDevice)->head = 0;  // someone moved the tape
  JobSetup r = Job(0);
  auto reader = Start(r);
  platform::ResetLogs();
  RestoreAll(*reader, {all[0], all[1]});
  EXPECT_TRUE(platform::LogContains("Failed to validate the read cached filemarker location for restore"));
}

}  // namespace
