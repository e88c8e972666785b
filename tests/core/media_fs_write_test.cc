// The write road: what each WriteToMedia outcome does through Write, Write2 and Close, padding of
// the last block, write retries and the media manager accounting of Close.

#include "frame_fixture.h"

namespace {

using Outcome = MemoryMedia::Outcome;
using platform::MediaManager;

const std::vector<std::string> kCloseAccounting = {"incrNumLogicalBytes", "setFileMarker",
                                                   "incrNumPhysicalBytes", "setWriteTime", "incrNumFiles"};

enum class Via { Write, Write2, Close };

struct OutcomeCase {
  const char* name;
  Via via;
  size_t bytes;  // given to Write, or buffered before Close; Write2 always gives one block
  MemoryMedia::Step step;
  int result;
  long long counted;  // logical and physical bytes after the call (before Close resets them)
  bool closeChunk;
  bool kbZero;        // the KB remaining became 0
  bool eomFlag;       // Write2's end-of-media flag
  size_t onMedia;     // bytes the media holds afterwards
  std::vector<std::string> accounting;
};

class WriteOutcomes : public FrameTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(WriteOutcomes, CountsAndAccounting) {
  const OutcomeCase& c = GetParam();
  InitBackup();
  ASSERT_GT(media->m_llKBRemaining, 0);
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(c.via == Via::Write2 ? kBlock : c.bytes);

  int rc = 0;
  bool eom = false;
  switch (c.via) {
    case Via::Write:
      media->writeScript = {c.step};
      rc = media->Write(data.data(), data.size());
      break;
    case Via::Write2:
      media->writeScript = {c.step};
      rc = media->Write2(data.data(), data.size(), eom);
      EXPECT_EQ(c.eomFlag, eom);
      break;
    case Via::Close:
      ASSERT_EQ(static_cast<int>(data.size()), media->Write(data.data(), data.size()));
      ASSERT_TRUE(media->writeSizes.empty());
      media->writeScript = {c.step};
      rc = media->Close();
      break;
  }
  EXPECT_EQ(c.result, rc);
  if (c.via != Via::Close || rc != 0) {
    EXPECT_EQ(c.counted, media->m_llLogicalBytes);
    EXPECT_EQ(c.counted, media->m_llPhysicalBytes);
  } else {
    EXPECT_EQ(std::vector<long long>{c.counted}, ArgsOf("incrNumLogicalBytes"));
  }
  EXPECT_EQ(c.closeChunk, media->GetCloseChunkFlag());
  if (c.via != Via::Close) {
    EXPECT_EQ(c.kbZero, media->m_llKBRemaining == 0);
  }
  EXPECT_EQ(c.onMedia, media->files.back().size());
  for (long len : media->writeSizes) EXPECT_EQ(static_cast<long>(kBlock), len);
  EXPECT_EQ(c.accounting, AccountingOps());
  if (rc < 0 && c.via != Via::Write2) {
    EXPECT_NE(std::string(), media->GetErrorString());
  }
}

const MemoryMedia::Step kWhole{Outcome::Whole, 0};
const MemoryMedia::Step kWholeAtEnd{Outcome::WholeAtEnd, 0};
const MemoryMedia::Step kEndCloseChunk{Outcome::EndCloseChunk, 0};
const MemoryMedia::Step kPartial{Outcome::Partial, 1000};
const MemoryMedia::Step kFail{Outcome::Fail, 0};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WriteOutcomes,
    ::testing::Values(
        OutcomeCase{"WriteWholeBlock", Via::Write, kBlock, kWhole, 65536, 65536, false, false, false, kBlock,
                    {}},
        OutcomeCase{"WriteBlockAtEnd", Via::Write, kBlock, kWholeAtEnd, 65536, 65536, false, true, false,
                    kBlock, {}},
        OutcomeCase{"WriteEndCloseChunk", Via::Write, kBlock, kEndCloseChunk, 65536, 65536, true, true, false,
                    kBlock, {}},
        // 1000 bytes of the block reached the media; the rest of the call stays buffered.
        OutcomeCase{"WritePartialBlock", Via::Write, kBlock + kBlock / 2, kPartial, 1000, 1000, true, true,
                    false, 1000, {}},
        OutcomeCase{"WriteFails", Via::Write, kBlock, kFail, -1, 0, false, false, false, 0, {}},
        OutcomeCase{"Write2WholeBlock", Via::Write2, kBlock, kWhole, 65536, 65536, false, false, false, kBlock,
                    {}},
        OutcomeCase{"Write2BlockAtEnd", Via::Write2, kBlock, kWholeAtEnd, 65536, 65536, false, true, true,
                    kBlock, {}},
        OutcomeCase{"Write2EndCloseChunk", Via::Write2, kBlock, kEndCloseChunk, 65536, 65536, true, true, true,
                    kBlock, {}},
        // A cut block is reported by its count; the end-of-media flag stays false.
        OutcomeCase{"Write2PartialBlock", Via::Write2, kBlock, kPartial, 1000, 1000, true, true, false, 1000,
                    {}},
        OutcomeCase{"Write2Fails", Via::Write2, kBlock, kFail, -1, 0, false, false, false, 0, {}},
        OutcomeCase{"CloseWholeBlock", Via::Close, 1000, kWhole, 0, 65536, false, false, false, kBlock,
                    kCloseAccounting},
        OutcomeCase{"CloseEndCloseChunk", Via::Close, 1000, kEndCloseChunk, 0, 65536, true, false, false,
                    kBlock, kCloseAccounting},
        // Close needs the whole last block: a cut block or a failure fails it before CloseSpecific.
        OutcomeCase{"ClosePartialBlock", Via::Close, 1000, kPartial, -1, 0, false, false, false, 1000, {}},
        OutcomeCase{"CloseFails", Via::Close, 1000, kFail, -1, 0, false, false, false, 0, {}}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return std::string(info.param.name); });

TEST_F(FrameTest, FailedCloseSkipsCloseSpecificAndKeepsTheLastError) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(10, media->Write("0123456789", 10));
  media->writeScript = {{Outcome::Fail, 0}};
  EXPECT_EQ(-1, media->Close());
  EXPECT_TRUE(media->closeMarks.empty());
  EXPECT_EQ(977, media->MediaFSGetLastError());
  EXPECT_STREQ(" Could not write 65536 bytes, wrote -1 bytes - VolId=7", media->GetErrorString());
  EXPECT_EQ(1u, platform::LogCount("Flusing the write buffer of the media fs object "));
}

// Close pads the last block with the character '0' and tells the media how much was padding.
TEST_F(FrameTest, CloseWritesThePendingBlocksPadded) {
  struct Case {
    size_t pending;
    int writeBufferKB;
    size_t blocks;
    std::vector<int> paddings;
  };
  const Case cases[] = {
      {0, 0, 0, {}},
      {1000, 0, 1, {64536}},
      {kBlock + 1000, 256, 2, {64536}},
      {2 * kBlock, 256, 2, {}},
      {3 * kBlock - 1, 256, 3, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pending);
    platform::ResetAll();
    media = std::make_unique<MemoryMedia>(&job);
    if (c.writeBufferKB != 0) platform::Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", c.writeBufferKB);
    InitBackup();
    MediaFSArchiveFileId_t id = ChunkId();
    ASSERT_EQ(0, media->Create(&id));
    const std::string data = Pattern(c.pending);
    ASSERT_EQ(static_cast<int>(c.pending), media->Write(data.data(), data.size()));
    ASSERT_EQ(0, media->Close());
    ASSERT_EQ(c.blocks * kBlock, media->files[0].size());
    EXPECT_TRUE(data + std::string(c.blocks * kBlock - c.pending, '0') == media->files[0]);
    EXPECT_EQ(c.paddings, media->paddings);
    // An empty file is still closed and recorded.
    EXPECT_EQ(std::vector<long>{0}, media->closeMarks);
    EXPECT_EQ(std::vector<long long>{static_cast<long long>(c.blocks * kBlock)}, ArgsOf("incrNumLogicalBytes"));
  }
}

// After the media took only part of a block, the rest of the buffer is written by Close as whole
// blocks inside the buffer (under ASan, a block read past the buffer would stop the test).
TEST_F(FrameTest, CloseAfterCutBlockStaysInsideTheBuffer) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(kBlock + kBlock / 2);
  media->writeScript = {{Outcome::Partial, 1000}};
  ASSERT_EQ(1000, media->Write(data.data(), data.size()));
  ASSERT_EQ(1000u, media->m_ulFoff);

  ASSERT_EQ(0, media->Close());
  ASSERT_EQ(1000 + kBlock, media->files[0].size());
  EXPECT_TRUE(data.substr(0, kBlock) + std::string(1000, '0') == media->files[0]);
  EXPECT_EQ(std::vector<int>{1000}, media->paddings);
}

// A host that writes on after the media ended inside a block (taking part of it, or all of it
// with -1): the unwritten rest of the buffer moves to the front, so Write finds room again instead
// of spinning without room, and the bytes reach the media in order.
TEST_F(FrameTest, WriteAfterCutBlockGoesOn) {
  for (long long partial : {1000LL, static_cast<long long>(kBlock)}) {
    SCOPED_TRACE(partial);
    platform::ResetAll();
    media = std::make_unique<MemoryMedia>(&job);
    InitBackup();
    MediaFSArchiveFileId_t id = ChunkId();
    ASSERT_EQ(0, media->Create(&id));
    const std::string data = Pattern(kBlock + kBlock / 2);
    media->writeScript = {{Outcome::Partial, partial}};
    ASSERT_EQ(static_cast<int>(partial), media->Write(data.data(), kBlock + kBlock / 2));

    // The bytes that never reached the buffer follow.
    const std::string more = data.substr(kBlock);
    ASSERT_EQ(static_cast<int>(more.size()), media->Write(more.data(), more.size()));
    ASSERT_EQ(0, media->Close());
    const size_t rest = data.size() - static_cast<size_t>(partial);
    const size_t total = static_cast<size_t>(partial) + (rest + kBlock - 1) / kBlock * kBlock;
    ASSERT_EQ(total, media->files[0].size());
    EXPECT_TRUE(data + std::string(total - data.size(), '0') == media->files[0]);
  }
}

TEST_F(FrameTest, WriteAndWrite2RefuseSizesThatDoNotFitTheirResult) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  bool eom = false;
  const char byte = 'x';
  for (unsigned long size : {1UL << 31, (1UL << 32) + 10, ~0UL}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(-1, media->Write(&byte, size));
    EXPECT_EQ(-1, media->Write2(&byte, size, eom));
  }
  EXPECT_TRUE(media->writeSizes.empty());
  EXPECT_EQ(0u, media->m_ulWoff);
}

TEST_F(FrameTest, EmptyWriteStartsTheTimerAndWrongWrite2SizeDoesNot) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  bool eom = false;
  const std::string block = Pattern(kBlock + 1);
  EXPECT_EQ(-1, media->Write2(block.data(), kBlock + 1, eom));
  EXPECT_EQ(-1, media->Write2(block.data(), kBlock - 1, eom));
  EXPECT_FALSE(media->m_bWriteTimerStarted);
  EXPECT_TRUE(media->writeSizes.empty());

  EXPECT_EQ(0, media->Write(block.data(), 0));
  EXPECT_TRUE(media->m_bWriteTimerStarted);
}

TEST_F(FrameTest, WriteOfOneBlockGoesOutAtOnce) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(3 * kBlock + 5);
  // Uneven pieces: every media write is still one whole block, in order.
  size_t at = 0;
  for (size_t piece : {kBlock, 1000UL, kBlock, 5UL, kBlock - 1000}) {
    ASSERT_EQ(static_cast<int>(piece), media->Write(data.data() + at, piece));
    at += piece;
  }
  EXPECT_EQ(std::vector<long>(3, static_cast<long>(kBlock)), media->writeSizes);
  EXPECT_TRUE(data.substr(0, 3 * kBlock) == media->files[0]);
  EXPECT_EQ(5u, media->m_ulWoff);
  EXPECT_EQ(0u, media->m_ulFoff);
}

TEST_F(FrameTest, Write2WithoutMediaWriteCountsTheBlock) {
  platform::Config().doNotWriteToMedia = true;
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string block = Pattern(kBlock);
  bool eom = true;
  EXPECT_EQ(65536, media->Write2(block.data(), kBlock, eom));
  EXPECT_FALSE(eom);
  EXPECT_TRUE(media->writeSizes.empty());
  EXPECT_EQ(65536, media->m_llPhysicalBytes);
  // Write still writes.
  EXPECT_EQ(65536, media->Write(block.data(), kBlock));
  EXPECT_EQ(1u, media->writeSizes.size());
}

TEST_F(FrameTest, Write2Retries) {
  struct Case {
    const char* name;
    bool enabled;
    int supported;
    int maxRetries;
    std::deque<int> repositions;
    bool clearsFlag;
    int result;
    int repositionCalls;
    size_t mediaWrites;
  };
  const Case cases[] = {
      {"Disabled", false, 1, 3, {}, false, -1, 0, 1},
      {"NotSupported", true, 0, 3, {}, false, -1, 0, 1},
      {"NoRetriesAllowed", true, 1, 0, {}, false, -1, 0, 1},
      {"RepositionedThenWritten", true, 1, 3, {-1, 0}, false, 65536, 2, 2},
      {"RepositionAlwaysFails", true, 1, 3, {}, false, -1, 3, 1},
      {"MediaGivesUp", true, 1, 3, {}, true, -1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    media = std::make_unique<MemoryMedia>(&job);
    InitBackup();
    MediaFSArchiveFileId_t id = ChunkId();
    ASSERT_EQ(0, media->Create(&id));
    media->SetWriteRetryOptions(c.enabled, c.maxRetries);
    media->retrySupported = c.supported;
    media->repositionAnswers = c.repositions;
    media->repositionClearsFlag = c.clearsFlag;
    media->writeScript = {{Outcome::Fail, 0}};  // then whole blocks
    const std::string block = Pattern(kBlock);
    bool eom = false;
    EXPECT_EQ(c.result, media->Write2(block.data(), kBlock, eom));
    EXPECT_EQ(c.repositionCalls, media->repositionCalls);
    EXPECT_EQ(c.mediaWrites, media->writeSizes.size());
  }
}

TEST_F(FrameTest, CloseRecordsTheFileWithTheMediaManager) {
  InitBackup();
  media->SetStreamId(4);
  MediaFSArchiveFileId_t id = ChunkId();
  MediaManager().volumes[kVolId].occupiedBytes = 1 << 20;
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(2 * kBlock);
  ASSERT_EQ(static_cast<int>(data.size()), media->Write(data.data(), data.size()));
  platform::AdvanceClock(250);
  const long long kbBefore = media->m_llKBRemaining;
  media->m_iFilesPerClose = 2;

  ASSERT_EQ(0, media->Close());
  EXPECT_EQ(kCloseAccounting, AccountingOps());
  EXPECT_EQ((std::vector<long long>{2 * 65536}), ArgsOf("incrNumLogicalBytes"));
  // The memory media leaves the file number as Init set it (-1), so this is file marker 0.
  EXPECT_EQ((std::vector<long long>{0, 1}), ArgsOf("setFileMarker"));
  EXPECT_EQ((std::vector<long long>{2 * 65536, -1}), ArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ((std::vector<long long>{250, 4}), ArgsOf("setWriteTime"));
  EXPECT_EQ((std::vector<long long>{2}), ArgsOf("incrNumFiles"));
  EXPECT_EQ(std::vector<long long>{250}, media->physicalUpdates);
  EXPECT_EQ(250, media->GetChunkWriteTime());
  EXPECT_EQ((1 << 20) + 2 * 65536, media->m_llSpaceOccupied);
  EXPECT_EQ(kbBefore - 128, media->m_llKBRemaining);
  EXPECT_EQ(1, media->m_iFilesPerClose);
  EXPECT_EQ(0, media->GetFileNumber());
  EXPECT_EQ(6, media->GetNumFiles());
  EXPECT_EQ(0, media->m_llLogicalBytes);
  EXPECT_FALSE(media->m_bWriteTimerStarted);
}

TEST_F(FrameTest, CloseWithDriveReportedBytesRecordsThemFirst) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  media->m_llDriveBytesWritten = 40000;
  media->freeSpaceResult = 0;
  media->freeBytes = 123456;
  ASSERT_EQ(0, media->Close());
  const auto calls = MediaManager().CallsOf("incrNumPhysicalBytes");
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ((std::vector<long long>{40000, 123456}), calls[0].args);
  EXPECT_EQ("incrNumPhysicalBytes", AccountingOps().front());
  EXPECT_EQ(0, media->m_llDriveBytesWritten);
}

TEST_F(FrameTest, CloseFailures) {
  // The file count is refused: everything before it has been recorded.
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  MediaManager().Fail("incrNumFiles", 5);
  EXPECT_EQ(-1, media->Close());
  EXPECT_EQ(30045, media->MediaFSGetLastError());
  EXPECT_EQ(kCloseAccounting, AccountingOps());
  EXPECT_EQ(-1, media->GetFileNumber());

  // CloseSpecific fails: nothing is recorded.
  MediaManager().calls.clear();
  ASSERT_EQ(0, media->Create(&id));
  media->closeResult = -1;
  EXPECT_EQ(-1, media->Close());
  EXPECT_TRUE(AccountingOps().empty());
  EXPECT_STREQ(" CloseSpecific Failed to close the Media Handle - VolId=7", media->GetErrorString());

  // An object without a volume record (reader mode) cannot record a written file.
  auto reader = std::make_unique<MemoryMedia>(&job);
  ASSERT_EQ(0, reader->Init(Params(kMediaTypeReader), false));
  ASSERT_EQ(0, reader->Create(&id));
  EXPECT_EQ(-1, reader->Close());
  EXPECT_EQ(30046, reader->MediaFSGetLastError());
  EXPECT_EQ(1u, reader->closeMarks.size());
}

TEST_F(FrameTest, AFileAfterAFailedCloseRecordsOnlyItsOwnBytesAndTime) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(2 * kBlock);
  ASSERT_EQ(static_cast<int>(data.size()), media->Write(data.data(), data.size()));
  media->m_llDriveBytesWritten = 40000;
  media->closeResult = -1;
  ASSERT_EQ(-1, media->Close());
  platform::AdvanceClock(1000);

  media->closeResult = 0;
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(static_cast<int>(kBlock), media->Write(data.data(), kBlock));
  platform::AdvanceClock(250);
  ASSERT_EQ(0, media->Close());
  EXPECT_EQ((std::vector<long long>{static_cast<long long>(kBlock)}), ArgsOf("incrNumLogicalBytes"));
  EXPECT_EQ((std::vector<long long>{static_cast<long long>(kBlock), -1}), ArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ(250, media->GetChunkWriteTime());
}

TEST_F(FrameTest, ReadCloseAfterAWrittenFileRecordsNoFile) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(0, media->Close());
  ASSERT_EQ(1u, MediaManager().Count("incrNumFiles"));

  media->readSource = Pattern(3000);
  MediaFSArchiveFileId_t readId = ChunkId(6, 3000);
  ASSERT_EQ(0, media->Open(&readId, false));
  char buf[3000];
  ASSERT_EQ(3000, media->Read(buf, sizeof(buf)));
  ASSERT_EQ(0, media->Close());
  EXPECT_EQ(1u, MediaManager().Count("incrNumFiles"));
  EXPECT_EQ((std::vector<long long>{0, 1, 0}), ArgsOf("updateDataTransferInfo"));
}

TEST_F(FrameTest, LowWaterMarkAndBlockRemainder) {
  InitBackup();
  media->SetMinFreeKb(-1);
  EXPECT_EQ(1u, platform::LogCount("Negative low water specified.  Using 64 Kb instead."));
  EXPECT_EQ(0u, media->getBlockWriteRemainder(0));
  EXPECT_EQ(0u, media->getBlockWriteRemainder(kBlock));
  EXPECT_EQ(65535u, media->getBlockWriteRemainder(1));
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(1000, media->Write(Pattern(1000).data(), 1000));
  EXPECT_EQ(64536u, media->getBlockWriteRemainder(0));
}

TEST_F(FrameTest, FileMarkerAheadMarksTheVolumeFull) {
  InitBackup();
  EXPECT_EQ(0, media->CheckForDataBeingOverWritten());
  MediaManager().volumes[kVolId].checkFileMarkerStatus = 305;
  EXPECT_EQ(-1, media->CheckForDataBeingOverWritten());
  EXPECT_EQ((std::vector<long long>{42009, 4242}), ArgsOf("markFull"));
  MediaManager().Fail("checkFileMarker", -1);
  EXPECT_EQ(-1, media->CheckForDataBeingOverWritten());
  EXPECT_EQ(1u, MediaManager().Count("markFull"));
}

}  // namespace

// With write tracing on, every block that Write and Close hand to the media leaves its line.
TEST_F(FrameTest, TracedWritesLogEveryBlock) {
  InitBackup();
  media->m_bTraceWrites = true;
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(kBlock + 10);
  ASSERT_EQ(static_cast<int>(data.size()), media->Write(data.data(), data.size()));
  ASSERT_EQ(0, media->Close());
  EXPECT_EQ(1u, platform::LogCount(
                    "media_fs::Write: woff=65536, foff=0, wsize=65536, WToM 65536 ret 65536, eom 0", 1));
  EXPECT_EQ(1u, platform::LogCount("media_fs::Write: buffer is empty", 1));
  EXPECT_EQ(1u, platform::LogCount("media_fs::Close: flushing, woff=10, foff=0, wsize=65536, bsize=65536, bcount=10", 1));
  EXPECT_EQ(1u, platform::LogCount(
                    "media_fs::Close: woff=10, foff=0, wsize=65536, WToM 65536 ret 65536, eom 0", 1));
}
