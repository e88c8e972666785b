// Spanning, as a property, for both tape media classes: with the early warning at random byte
// positions, random block sizes and random room between the early warning and the physical end, a
// stream written block by block (media_fs::Write2) fills the first tape up to its logical end,
// where the frame's accounting of the partial block says how far it got; the rest goes to a
// second tape, and the two chunks read back join into the stream. The SCSI tape media mark the
// first volume full exactly once, with 42001; the NDMP tape media leave that to the media manager.
// A retry at the early warning that the drive answers as a success while taking less counts only
// what the tape holds.

#include <algorithm>

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;

constexpr char kSecondDevice[] = "/dev/nst1";
constexpr char kSecondMediaId[] = "MEDIA-0002-UNIQUE";
constexpr int kSecondVolId = 12;

template <class Media>
class Spanning : public TapeTestT<Media> {
 protected:
  using Base = TapeTestT<Media>;
  using typename Base::Kind;
  using typename Base::Tape;
  static platform::TapeLibraryState& Library() { return Base::Library(); }

  void SetUpSecondTape() {
    platform::TapeDriveSetup drive;
    drive.serialNumber = kSerial;
    Library().AddDrive(kSecondDevice, drive);
    second = this->dir / "second.vtape";
    ASSERT_TRUE(platform::WriteTapeFile(second, {{platform::FormatTapeLabel(kSecondMediaId, this->block)}}));
    ASSERT_TRUE(Library().LoadCartridge(kSecondDevice, second));
    MediaManager().volumes[kSecondVolId].numFiles = 1;
  }

  // Writes blocks from `at` until the stream ends or the tape does; returns where it got.
  static size_t WriteBlocks(Tape& tape, const std::string& stream, size_t at, unsigned long block,
                            bool& spanned) {
    spanned = false;
    while (at + block <= stream.size()) {
      bool endOfMedia = false;
      const int rc = tape.Write2(stream.data() + at, block, endOfMedia);
      if (rc < 0) return std::string::npos;
      if (rc == static_cast<int>(block)) {
        at += block;
      } else {
        at += static_cast<size_t>(rc);  // the bytes the frame counted of a cut block
      }
      if (tape.GetCloseChunkFlag()) {
        spanned = true;
        return at;
      }
    }
    return at;
  }

  // Reads the chunk back from both tapes: the first `onFirst` bytes from the first, the rest from
  // the second; together they are the stream that was written.
  std::string RestoreAcrossTapes(long long firstMarker, long long secondMarker, size_t onFirst, size_t size) {
    JobSetup r1 = this->Job(0);
    auto reader = this->Start(r1);
    const std::string head = this->Restore(*reader, firstMarker, onFirst);
    reader.reset();
    JobSetup r2 = this->Job(0, 7003, kSecondVolId, kSecondMediaId);
    reader = this->Start(r2, kSecondVolId, kSecondDevice);
    return head + this->Restore(*reader, secondMarker, size - onFirst);
  }

  std::string second;
};

TYPED_TEST_SUITE(Spanning, TapeMediaTypes, TapeMediaNames);

TYPED_TEST(Spanning, StreamSplitOverTwoTapesJoinsBack) {
  using Kind = typename TestFixture::Kind;
  unsigned long& block = this->block;
  const int kRuns = 40;
  for (int run = 0; run < kRuns; ++run) {
    std::mt19937_64 rng(1234 + run);
    const unsigned long blocks[] = {4096, 8192, 16384, 32768, 65536};
    block = blocks[rng() % 5];
    SCOPED_TRACE("run " + std::to_string(run) + " block " + std::to_string(block));
    platform::ResetAll();
    this->SetUp();
    this->SetUpSecondTape();

    // The label block comes first; the early warning lies somewhere in the next 2 to 20 blocks,
    // the physical end a little or a lot further: never so close that the drive could end a
    // pass exactly at it (the next write would meet the physical end, 974, which is a test of
    // its own).
    platform::TapeGeometry g;
    g.earlyWarning = static_cast<long long>(block + block * 2 + rng() % (block * 18));
    if (g.earlyWarning % static_cast<long long>(block) == 0) ++g.earlyWarning;  // blocks cross it
    const int room = static_cast<int>(rng() % 4);
    g.cutAtEarlyWarning = room == 1 || rng() % 4 != 0;
    if (room == 1) {
      g.physicalEnd = g.earlyWarning + 1 + static_cast<long long>(rng() % block);
    } else if (room > 1) {
      g.physicalEnd = g.earlyWarning + static_cast<long long>(block + rng() % (4 * block));
    }
    this->LoadCartridge(g);

    const size_t streamBlocks = static_cast<size_t>(g.earlyWarning) / block + 3 + rng() % 5;
    const std::string stream = Pattern(streamBlocks * block, 77 + run);

    JobSetup s = this->Job();
    auto tape = this->Start(s);
    MediaFSArchiveFileId_t chunk = this->Id(CHUNK, 500);
    ASSERT_EQ(0, tape->Create(&chunk));
    bool spanned = false;
    const size_t onFirst = this->WriteBlocks(*tape, stream, 0, block, spanned);
    ASSERT_NE(std::string::npos, onFirst) << tape->GetErrorString();
    ASSERT_TRUE(spanned);
    ASSERT_EQ(0, tape->Close()) << tape->GetErrorString();
    const long long firstMarker = tape->GetFileNumber();
    tape.reset();

    // The first volume: full once, with 42001 (or left to the media manager); the chunk and its
    // bytes recorded.
    const auto full = MediaManager().CallsOf("markFull", kVolId);
    ASSERT_EQ(Kind::kLeotMarksFull ? 1u : 0u, full.size());
    for (const auto& call : full) EXPECT_EQ(kVolumeFullReasonFull, call.args[0]);
    EXPECT_EQ((std::vector<long long>{static_cast<long long>(onFirst)}),
              MediaManager().CallsOf("incrNumLogicalBytes", kVolId).back().args);
    // A block cut at the early warning had its rest written once more.
    const auto writes = this->Library().CallsOf("writeData");
    for (size_t i = 0; i + 1 < writes.size(); ++i) {
      if (writes[i].result == kTapeEarlyWarning && writes[i].path == kDevice && i + 1 < writes.size() &&
          writes[i + 1].path == kDevice) {
        EXPECT_LE(writes[i + 1].args[0], writes[i].args[0]);
      }
    }

    // The rest on the second tape, the last piece through Write and the padding of Close.
    JobSetup s2 = this->Job(kDataMoverModeBackup, 7002, kSecondVolId, kSecondMediaId);
    tape = this->Start(s2, kSecondVolId, kSecondDevice);
    MediaFSArchiveFileId_t rest = this->Id(CHUNK, 500);
    ASSERT_EQ(0, tape->Create(&rest));
    size_t at = this->WriteBlocks(*tape, stream, onFirst, block, spanned);
    ASSERT_FALSE(spanned);
    if (at < stream.size()) {
      ASSERT_EQ(static_cast<int>(stream.size() - at), tape->Write(stream.data() + at, stream.size() - at));
    }
    ASSERT_EQ(0, tape->Close());
    const long long secondMarker = tape->GetFileNumber();
    tape.reset();

    const std::string restored = this->RestoreAcrossTapes(firstMarker, secondMarker, onFirst, stream.size());
    ASSERT_TRUE(restored == stream) << restored.substr(0, 60) << " / "
                                         << restored.substr(std::min(onFirst, restored.size()), 60);
  }
}

// LEOT after part of a block: the rest is written once more. A retry that the drive takes whole
// counts the whole block and asks for the chunk to close; a retry cut again reports the bytes
// both passes took, and the frame counts exactly those.
TYPED_TEST(Spanning, PartialLeotIsRetriedOnce) {
  using Kind = typename TestFixture::Kind;
  const unsigned long block = this->block;
  struct Case {
    long long physicalEnd;  // relative to the early warning
    long long counted;      // bytes of the block the frame counts
    bool closeChunk;        // set by WriteToMedia itself
    size_t failing;         // "Failing the write" lines
    size_t fullMarks;       // markFull calls
  };
  // Retry taken whole; retry cut at the physical end; retry at the physical end (974, which marks
  // the volume full once more). The NDMP tape media do not mark the volume full at LEOT.
  for (const Case& c : {Case{-1, 65536, true, 0, 1}, Case{30000, 1000 + 30000, false, 1, 1},
                        Case{0, 1000, false, 0, 2}}) {
    SCOPED_TRACE(c.physicalEnd);
    platform::ResetAll();
    this->SetUp();
    platform::TapeGeometry g;
    g.earlyWarning = static_cast<long long>(2 * block + 1000);
    g.physicalEnd = c.physicalEnd < 0 ? -1 : g.earlyWarning + c.physicalEnd;
    this->LoadCartridge(g);
    JobSetup s = this->Job();
    auto tape = this->Start(s);
    MediaFSArchiveFileId_t chunk = this->Id(CHUNK, 9);
    ASSERT_EQ(0, tape->Create(&chunk));
    const std::string data = Pattern(block, 3);
    bool eom = false;
    ASSERT_EQ(static_cast<int>(block), tape->Write2(data.data(), block, eom));
    EXPECT_FALSE(eom);
    int flag = 0;
    platform::ResetLogs();
    const int rc = tape->WriteToMedia(data.data(), static_cast<long>(block), &flag);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(1, flag);
    EXPECT_EQ(c.closeChunk, tape->GetCloseChunkFlag());
    EXPECT_EQ(c.counted, tape->GetCurrentTransferCount());
    EXPECT_TRUE(tape->m_bVolumeFull);
    EXPECT_EQ(1u, platform::LogCount("Retrying the write for volume id = 11 "));
    EXPECT_EQ(c.failing, platform::LogCount("Failing the write for volume id = 11 "));
    const auto writes = this->Library().CallsOf("writeData");
    ASSERT_EQ(3u, writes.size());
    EXPECT_EQ(static_cast<long long>(block) - 1000, writes[2].args[0]);
    EXPECT_EQ(Kind::kLeotMarksFull ? c.fullMarks : c.fullMarks - 1, MediaManager().Count("markFull"));
    for (const auto& call : MediaManager().CallsOf("markFull")) EXPECT_EQ(kVolumeFullReasonFull, call.args[0]);
    EXPECT_EQ(-1, tape->m_llWriteCachedFM);
    EXPECT_EQ(2u, MediaManager().Count("resetFileMarker"));
    const auto files = this->Library().Files(kDevice);
    EXPECT_EQ(static_cast<size_t>(block + c.counted), files[1].Bytes().size());
  }
}

// The retry of a block cut at the early warning answered as a success while the drive took fewer
// bytes than asked: the block counts as what the tape holds, reported as a short write, and the
// chunk goes on from there on the next tape. Seen on both host roads: block by block (the chunk
// then restored whole across the two tapes) and one Write of the whole stream.
TYPED_TEST(Spanning, RetryThatTakesLessCountsWhatTheTapeHolds) {
  const unsigned long block = this->block;
  // The label, one whole block, then 20000 bytes of the second block before the early warning;
  // the retry of the other 45536 bytes takes 1000.
  const long long held = static_cast<long long>(block) + 20000 + 1000;
  const std::string shortWrite =
      "Wrote 1000 bytes instead of 45536 bytes at filemarker=1 path=/dev/nst0 - Tape VolId=11";
  for (const bool blockByBlock : {false, true}) {
    SCOPED_TRACE(blockByBlock ? "Write2" : "Write");
    platform::ResetAll();
    this->SetUp();
    this->SetUpSecondTape();
    platform::TapeGeometry g;
    g.earlyWarning = static_cast<long long>(2 * block) + 20000;
    this->LoadCartridge(g);
    const std::string stream = Pattern(4 * block, 35);

    JobSetup s = this->Job();
    auto tape = this->Start(s);
    MediaFSArchiveFileId_t chunk = this->Id(CHUNK, 600);
    ASSERT_EQ(0, tape->Create(&chunk));
    // The writes: the first block, the second one cut at the early warning, then its retry.
    this->Library().Fail(kDevice, platform::TapeFault{"writeData", kTapeOk, 3, 1, 1000, 0});

    if (!blockByBlock) {
      EXPECT_EQ(static_cast<int>(held), tape->Write(stream.data(), 2 * block));
      EXPECT_TRUE(tape->GetCloseChunkFlag());
      EXPECT_TRUE(platform::LogContains(shortWrite));
      EXPECT_TRUE(this->Library().Files(kDevice)[1].Bytes() == stream.substr(0, static_cast<size_t>(held)));
      continue;
    }

    bool spanned = false;
    const size_t onFirst = this->WriteBlocks(*tape, stream, 0, block, spanned);
    ASSERT_TRUE(spanned);
    ASSERT_EQ(static_cast<size_t>(held), onFirst);
    EXPECT_TRUE(platform::LogContains(shortWrite));
    EXPECT_EQ(3u, this->Library().Count("writeData"));
    ASSERT_EQ(0, tape->Close()) << tape->GetErrorString();
    const long long firstMarker = tape->GetFileNumber();
    tape.reset();
    EXPECT_EQ((std::vector<long long>{held}), MediaManager().CallsOf("incrNumLogicalBytes", kVolId).back().args);
    EXPECT_EQ(static_cast<size_t>(held), this->Library().Files(kDevice)[1].Bytes().size());

    JobSetup s2 = this->Job(kDataMoverModeBackup, 7002, kSecondVolId, kSecondMediaId);
    tape = this->Start(s2, kSecondVolId, kSecondDevice);
    MediaFSArchiveFileId_t rest = this->Id(CHUNK, 600);
    ASSERT_EQ(0, tape->Create(&rest));
    ASSERT_EQ(static_cast<int>(stream.size() - onFirst), tape->Write(stream.data() + onFirst, stream.size() - onFirst));
    ASSERT_EQ(0, tape->Close());
    const long long secondMarker = tape->GetFileNumber();
    tape.reset();

    const std::string restored = this->RestoreAcrossTapes(firstMarker, secondMarker, onFirst, stream.size());
    EXPECT_TRUE(restored == stream) << restored.substr(0, 60) << " / "
                                         << restored.substr(std::min(onFirst, restored.size()), 60);
  }
}

// The whole block taken at the early warning: -1 with the end-of-media indication and the
// close-chunk flag; the frame counts the block. The SCSI tape media mark the volume full only
// while the flag of the object is clear.
TYPED_TEST(Spanning, LeotWithTheWholeBlockTaken) {
  using Kind = typename TestFixture::Kind;
  const unsigned long block = this->block;
  platform::TapeGeometry g;
  g.earlyWarning = static_cast<long long>(block);  // right after the label
  this->LoadCartridge(g);
  JobSetup s = this->Job();
  auto tape = this->Start(s);
  MediaFSArchiveFileId_t chunk = this->Id(CHUNK, 9);
  ASSERT_EQ(0, tape->Create(&chunk));
  const std::string data = Pattern(block, 4);
  for (int i = 0; i < 2; ++i) {
    bool eom = false;
    EXPECT_EQ(static_cast<int>(block), tape->Write2(data.data(), block, eom));
    EXPECT_TRUE(eom);
    EXPECT_TRUE(tape->GetCloseChunkFlag());
  }
  EXPECT_EQ(Kind::kLeotMarksFull ? 1u : 0u, MediaManager().Count("markFull"));
  EXPECT_TRUE(platform::LogContains(Kind::kLeotWholeBlockLine));
  // The file mark past the early warning: the volume is full already, the close goes on.
  EXPECT_EQ(0, tape->Close());
  EXPECT_TRUE(this->Library().Files(kDevice)[1].closed);
}

}  // namespace
