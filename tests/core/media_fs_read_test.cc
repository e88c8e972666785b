// The read road: the bound that Open sets, Read through the read buffer, Peek, the read Close and
// the reader mode's block size.

#include "frame_fixture.h"

namespace {

using platform::MediaManager;

TEST_F(FrameTest, OpenBoundsTheReadByLayoutVersion) {
  struct Case {
    int version;
    bool blockBound;
    long long bound;
  };
  const Case cases[] = {
      {1, false, 3048}, {2, true, 3048}, {3, false, 2024}, {3, true, 66536}, {4, false, 2024},
  };
  InitBackup();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.version << " " << c.blockBound);
    MediaFSArchiveFileId_t id = ChunkId(9, 1000);
    id.iChunkVersion = c.version;
    ASSERT_EQ(0, media->Open(&id, c.blockBound));
    EXPECT_EQ(c.bound, media->m_llBytesLeftToRead);
    EXPECT_EQ(8, media->GetFileNumber());
    EXPECT_EQ(-1, media->m_llWriteCachedFM);
  }
}

// A 4-block read buffer is refilled in whole buffers, and by single blocks once fewer bytes than
// a buffer are left.
TEST_F(FrameTest, ReadRefillsByBufferThenByBlock) {
  platform::Config().SetNumber("ZovadAdeve", "dwReadBufferKB", 256);
  InitBackup();
  const std::string data = Pattern(300000 + 1024);
  media->readSource = data;
  MediaFSArchiveFileId_t id = ChunkId(1, 300000);
  ASSERT_EQ(0, media->Open(&id, false));

  std::string got;
  char piece[50000];
  int n;
  while ((n = media->Read(piece, sizeof(piece))) > 0) got.append(piece, static_cast<size_t>(n));
  EXPECT_EQ(0, n);
  EXPECT_TRUE(data == got);
  EXPECT_EQ((std::vector<long>{262144, 65536}), media->readSizes);
}

TEST_F(FrameTest, ReadStopsAtTheBound) {
  InitBackup();
  char buf[200000];

  // Exactly at the bound: the bytes delivered.
  media->readSource = Pattern(2 * kBlock);
  MediaFSArchiveFileId_t id = ChunkId(1, kBlock - 1024);
  id.iChunkVersion = 3;
  ASSERT_EQ(0, media->Open(&id, false));
  EXPECT_EQ(static_cast<int>(kBlock), media->Read(buf, sizeof(buf)));
  EXPECT_EQ(0, media->m_llBytesLeftToRead);

  // The last block took the bound below 0: what it holds is handed out, more is an error.
  ASSERT_EQ(0, media->Open(&id, false));
  media->AdjustBytesToRead(-1000);
  EXPECT_EQ(1000, media->Read(buf, 1000));
  EXPECT_LT(media->m_llBytesLeftToRead, 0);
  EXPECT_EQ(static_cast<int>(kBlock) - 1000, media->Read(buf, kBlock - 1000));
  EXPECT_EQ(-1, media->Read(buf, 1));
  EXPECT_STREQ("Could not read past the physical size of the chunk for fileNumber=1  - VolId=7",
               media->GetErrorString());

  // The media ends before the bound.
  media->readSource = Pattern(5000);
  ASSERT_EQ(0, media->Open(&id, false));
  EXPECT_EQ(5000, media->Read(buf, sizeof(buf)));
}

TEST_F(FrameTest, FailedMediaReadLeavesAnEmptyBuffer) {
  InitBackup();
  media->readSource = Pattern(3000);
  MediaFSArchiveFileId_t id = ChunkId(4, 3000);
  ASSERT_EQ(0, media->Open(&id, false));
  media->failReadAt = 0;
  char buf[4000];
  EXPECT_EQ(-1, media->Read(buf, 100));
  EXPECT_STREQ("Failed to Read at fileNumber=4 - VolId=7 errno=979", media->GetErrorString());
  EXPECT_EQ(-1, media->m_llRlen);
  EXPECT_EQ(3000, media->Read(buf, 3000));
  EXPECT_EQ(media->readSource, std::string(buf, 3000));
}

TEST_F(FrameTest, ReadOfNothingStartsTheTimer) {
  InitBackup();
  char byte;
  EXPECT_EQ(0, media->Read(&byte, 0));
  EXPECT_TRUE(media->m_bReadTimerStarted);
  EXPECT_TRUE(media->readSizes.empty());
  EXPECT_EQ(-1, media->Read(&byte, 1UL << 31));
}

TEST_F(FrameTest, PeekLooksWithoutConsuming) {
  InitBackup();
  media->readSource = Pattern(3 * kBlock);
  MediaFSArchiveFileId_t id = ChunkId(1, 3 * kBlock);
  ASSERT_EQ(0, media->Open(&id, false));
  const long long bound = media->m_llBytesLeftToRead;

  // An empty buffer is filled with exactly one block, without touching the read accounting.
  char peek[16];
  EXPECT_EQ(16, media->Peek(peek, sizeof(peek)));
  EXPECT_EQ(std::vector<long>{static_cast<long>(kBlock)}, media->readSizes);
  EXPECT_EQ(bound, media->m_llBytesLeftToRead);
  EXPECT_FALSE(media->m_bReadTimerStarted);

  char read[16];
  EXPECT_EQ(16, media->Read(read, sizeof(read)));
  EXPECT_EQ(std::string(peek, 16), std::string(read, 16));

  // More than the buffer holds: refused without a media read.
  std::string big(kBlock, '\0');
  EXPECT_EQ(-1, media->Peek(big.data(), kBlock));
  EXPECT_EQ(1u, media->readSizes.size());
  EXPECT_EQ(static_cast<int>(kBlock) - 16, media->Peek(big.data(), kBlock - 16));
  EXPECT_TRUE(media->readSource.substr(16, kBlock - 16) == big.substr(0, kBlock - 16));

  media->failReadAt = 1;
  ASSERT_EQ(0, media->Open(&id, false));
  EXPECT_EQ(-1, media->Peek(peek, 1));
  EXPECT_STREQ("Failed to Read at fileNumber=1  errno=979", media->GetErrorString());
}

TEST_F(FrameTest, ReadCloseReportsTheTransfer) {
  InitBackup();
  media->readSource = Pattern(3 << 20);
  MediaFSArchiveFileId_t id = ChunkId(1, 3 << 20);
  ASSERT_EQ(0, media->Open(&id, false));
  std::string buf(3 << 20, '\0');
  ASSERT_EQ(3 << 20, media->Read(buf.data(), buf.size()));
  platform::AdvanceClock(40);
  ASSERT_EQ(0, media->Close());
  EXPECT_EQ((std::vector<long long>{3, 1, 40}), ArgsOf("updateDataTransferInfo"));
  EXPECT_EQ(std::vector<long>{0}, media->closeMarks);
  EXPECT_FALSE(media->m_bReadTimerStarted);
  EXPECT_EQ(0, media->m_llBytesLeftToRead);
  EXPECT_EQ(0u, MediaManager().Count("incrNumFiles"));
}

TEST_F(FrameTest, ReaderBlockSize) {
  // Not in the reader mode: refused, nothing changes.
  InitBackup();
  EXPECT_EQ(-1, media->SetDrReaderVolumeBlockSize(128));
  EXPECT_EQ(kBlock, media->GetVolBlockSize());

  auto reader = std::make_unique<MemoryMedia>(&job);
  ASSERT_EQ(0, reader->Init(Params(kMediaTypeReader), false));
  EXPECT_EQ(-1, reader->SetDrReaderVolumeBlockSize(0));
  EXPECT_EQ(32768u, reader->GetVolBlockSize());
  // 2 TiB cannot be allocated: the 32 KiB buffer stays in use.
  EXPECT_EQ(-1, reader->SetDrReaderVolumeBlockSize(INT32_MAX));
  EXPECT_EQ(32768u, reader->GetVolBlockSize());
  EXPECT_EQ(1u, platform::LogCount("Failed to allocate read staging buffer ", -1));
  ASSERT_EQ(0, reader->SetDrReaderVolumeBlockSize(64));
  EXPECT_EQ(65536u, reader->GetVolBlockSize());
  EXPECT_EQ(65536u, reader->m_ulReadBufSize);

  // The new block is read whole into the new buffer.
  reader->readSource = Pattern(kBlock);
  MediaFSArchiveFileId_t id = ChunkId(1, kBlock);
  ASSERT_EQ(0, reader->Open(&id, true));
  std::string buf(kBlock, '\0');
  EXPECT_EQ(static_cast<int>(kBlock), reader->Read(buf.data(), kBlock));
  EXPECT_TRUE(reader->readSource == buf);

  // The write buffer kept its 32 KiB, which cannot hold a 64 KiB block: Write refuses.
  MediaFSArchiveFileId_t wid = ChunkId();
  ASSERT_EQ(0, reader->Create(&wid));
  EXPECT_EQ(-1, reader->Write(buf.data(), kBlock));
}

}  // namespace
