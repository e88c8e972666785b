// Re-initialisation to another block size in the middle of an archive file: bytes waiting in the
// write buffer reach the media as blocks of the new size, unread bytes of the read buffer are
// still handed out in order, and a re-initialisation that cannot keep them fails and keeps them.

#include <numeric>

#include "frame_fixture.h"

namespace {

using platform::Config;

// Re-initialises to each block size in turn, as a host does when it is given another volume.
void Reinitialise(FrameTest& t, const std::vector<int>& blockKBs) {
  for (int kb : blockKBs) {
    t.reserve.m_blockSizeKB = kb;
    ASSERT_EQ(0, t.media->Init(t.Params(), true));
  }
}

struct WriteCase {
  const char* name;
  size_t before;             // written at 64 KiB blocks before the re-initialisations
  std::vector<int> blockKBs; // the re-initialisations, in order
  size_t after;              // written after them, before Close
  std::vector<long> blocks;  // every block the media was given
  std::vector<int> paddings; // padding bytes of the last block
};

class ReinitWhileWriting : public FrameTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ReinitWhileWriting, EveryByteReachesTheMediaAndTheRecords) {
  const WriteCase& c = GetParam();
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(c.before + c.after);
  ASSERT_EQ(static_cast<int>(c.before), media->Write(data.data(), c.before));
  platform::AdvanceClock(100);

  Reinitialise(*this, c.blockKBs);
  EXPECT_EQ(c.blockKBs.size(), static_cast<size_t>(media->initRecycledCalls));
  EXPECT_EQ(c.blockKBs.size(), platform::LogCount("Block size changes from"));
  platform::AdvanceClock(50);
  if (c.after != 0) {
    ASSERT_EQ(static_cast<int>(c.after), media->Write(data.data() + c.before, c.after));
  }
  ASSERT_EQ(0, media->Close());

  EXPECT_EQ(c.blocks, media->writeSizes);
  EXPECT_EQ(c.paddings, media->paddings);
  const long long onMedia = std::accumulate(c.blocks.begin(), c.blocks.end(), 0LL);
  ASSERT_EQ(1u, media->files.size());
  ASSERT_EQ(static_cast<size_t>(onMedia), media->files[0].size());
  EXPECT_TRUE(data + std::string(onMedia - data.size(), '0') == media->files[0]);

  // The file is recorded with every block, those before the re-initialisation included, and
  // with the time since its first write.
  EXPECT_EQ(std::vector<long long>{onMedia}, ArgsOf("incrNumLogicalBytes"));
  EXPECT_EQ((std::vector<long long>{onMedia, -1}), ArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ((std::vector<long long>{0, 1}), ArgsOf("setFileMarker"));
  EXPECT_EQ((std::vector<long long>{150, -1}), ArgsOf("setWriteTime"));
  EXPECT_EQ(std::vector<long long>{1}, ArgsOf("incrNumFiles"));
  EXPECT_EQ(onMedia, media->m_llSpaceOccupied);
}

INSTANTIATE_TEST_SUITE_P(
    Reinit, ReinitWhileWriting,
    ::testing::Values(
        WriteCase{"ShrinkPendingUnderABlock", 75536, {32}, 0, {65536, 32768}, {22768}},
        WriteCase{"ShrinkPendingExactlyABlock", 98304, {32}, 0, {65536, 32768}, {}},
        WriteCase{"ShrinkPendingOverABlock", 120000, {32}, 0, {65536, 32768, 32768}, {11072}},
        // 54464 pending bytes need two 48 KiB blocks: more than the old buffer held.
        WriteCase{"ShrinkToAnUnevenBlock", 120000, {48}, 0, {65536, 49152, 49152}, {43840}},
        WriteCase{"ShrinkThenWriteOn", 120000, {32}, 50000, {65536, 32768, 32768, 32768, 32768}, {26608}},
        WriteCase{"GrowPendingUnderABlock", 1000, {128}, 0, {131072}, {130072}},
        WriteCase{"GrowThenWriteOn", 1000, {128}, 200000, {131072, 131072}, {61144}},
        // A second re-initialisation before any write meets more than a block of pending bytes.
        WriteCase{"GrowPendingExactlyABlock", 106496, {32, 40}, 0, {65536, 40960}, {}},
        WriteCase{"GrowPendingOverABlock", 120000, {32, 48}, 0, {65536, 49152, 49152}, {43840}}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

struct ReadCase {
  const char* name;
  int readBufferKB;          // configured read buffer; 0: one block
  size_t first;              // read before the re-initialisations
  std::vector<int> blockKBs;
};

class ReinitWhileReading : public FrameTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReinitWhileReading, UnreadBytesComeNext) {
  const ReadCase& c = GetParam();
  if (c.readBufferKB != 0) Config().SetNumber("ZovadAdeve", "dwReadBufferKB", c.readBufferKB);
  InitBackup();
  const std::string data = Pattern(300000 + 1024);
  media->readSource = data;
  MediaFSArchiveFileId_t id = ChunkId(1, 300000);
  ASSERT_EQ(0, media->Open(&id, false));
  std::string got(c.first, '\0');
  ASSERT_EQ(static_cast<int>(c.first), media->Read(got.data(), c.first));
  const size_t readsBefore = media->readSizes.size();

  Reinitialise(*this, c.blockKBs);
  char peek[10];
  ASSERT_EQ(10, media->Peek(peek, sizeof(peek)));
  EXPECT_EQ(data.substr(c.first, 10), std::string(peek, sizeof(peek)));
  char piece[7000];
  int n;
  while ((n = media->Read(piece, sizeof(piece))) > 0) got.append(piece, static_cast<size_t>(n));
  EXPECT_EQ(0, n);
  EXPECT_TRUE(data == got);

  // Refills after the re-initialisation are of the new block size.
  const long block = c.blockKBs.back() * 1024L;
  ASSERT_LT(readsBefore, media->readSizes.size());
  for (size_t i = readsBefore; i < media->readSizes.size(); ++i) EXPECT_EQ(block, media->readSizes[i]);
  EXPECT_EQ(0, media->Close());
}

INSTANTIATE_TEST_SUITE_P(
    Reinit, ReinitWhileReading,
    ::testing::Values(ReadCase{"ShrinkUnreadOverABlock", 0, 10, {32}},
                      ReadCase{"ShrinkUnreadExactlyABlock", 0, 32768, {32}},
                      ReadCase{"ShrinkUnreadUnderABlock", 0, 50000, {32}},
                      ReadCase{"ShrinkLargeReadBuffer", 256, 10, {64}},
                      ReadCase{"GrowUnreadUnderABlock", 0, 10, {128}},
                      // The buffer grows past unread bytes that a shrink left beyond its size.
                      ReadCase{"ShrinkThenGrowPastTheUnread", 0, 10, {32, 128}},
                      ReadCase{"GrowUnreadExactlyABlock", 0, 24576, {32, 40}},
                      ReadCase{"GrowUnreadOverABlock", 0, 10, {32, 48}}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

// A block too large to allocate: the re-initialisation fails with 104 and the object goes on
// with its old block size and every buffered byte.
TEST_F(FrameTest, ReinitThatCannotGrowTheBuffersKeepsEveryByte) {
  constexpr int kHugeBlockKB = 0x7FFFFFFF;  // 2 TiB

  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(120000);
  ASSERT_EQ(120000, media->Write(data.data(), data.size()));
  media->blockSizeAnswers = {kHugeBlockKB};
  EXPECT_EQ(-1, media->Init(Params(), true));
  EXPECT_EQ(104, media->MediaFSGetLastError());
  EXPECT_EQ("Failed to allocate required memory", media->m_strLastErrorMsg);
  EXPECT_EQ(0, media->initRecycledCalls);
  EXPECT_EQ(kBlock, media->GetVolBlockSize());
  EXPECT_EQ(kBlock, media->m_ulWriteBufSize);
  EXPECT_EQ(kBlock, media->m_ulReadBufSize);
  ASSERT_EQ(0, media->Close());
  EXPECT_EQ((std::vector<long>{65536, 65536}), media->writeSizes);
  EXPECT_TRUE(data + std::string(2 * kBlock - data.size(), '0') == media->files[0]);
  EXPECT_EQ(std::vector<long long>{2 * 65536}, ArgsOf("incrNumLogicalBytes"));

  const std::string source = Pattern(100000, 3);
  media->readSource = source;
  MediaFSArchiveFileId_t readId = ChunkId(1, 100000 - 1024);
  ASSERT_EQ(0, media->Open(&readId, false));
  std::string got(10, '\0');
  ASSERT_EQ(10, media->Read(got.data(), 10));
  media->blockSizeAnswers = {kHugeBlockKB};
  EXPECT_EQ(-1, media->Init(Params(), true));
  got.resize(source.size());
  ASSERT_EQ(static_cast<int>(source.size() - 10), media->Read(got.data() + 10, source.size() - 10));
  EXPECT_TRUE(source == got);
}

}  // namespace
