// Whole blocks move straight between the host's memory and the media: Write hands the media a
// caller's whole block when nothing is buffered, Read lets the media fill the caller's memory
// when the caller wants at least a whole read. The bytes and the accounting are those of the
// buffered road; only the copy is gone.

#include "frame_fixture.h"

namespace {

// Records where each block handed to the media, and each read, came from or went to.
class AddressRecordingMedia : public MemoryMedia {
 public:
  using MemoryMedia::MemoryMedia;
  int WriteToMedia(const char* buf, long len, int* eom) override {
    writeSources.push_back(buf);
    return MemoryMedia::WriteToMedia(buf, len, eom);
  }
  int ReadFromMedia(char* buf, long len) override {
    readTargets.push_back(buf);
    return MemoryMedia::ReadFromMedia(buf, len);
  }
  std::vector<const char*> writeSources;
  std::vector<const char*> readTargets;
};

class DirectIo : public FrameTest {
 protected:
  DirectIo() {
    auto recording = std::make_unique<AddressRecordingMedia>(&job);
    rec = recording.get();
    media = std::move(recording);
  }
  bool InCaller(const char* p, const std::string& caller) const {
    return p >= caller.data() && p < caller.data() + caller.size();
  }
  AddressRecordingMedia* rec = nullptr;
};

TEST_F(DirectIo, WholeBlocksAreWrittenFromTheCallersMemory) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string first = Pattern(2 * kBlock + 100, 1);
  ASSERT_EQ(static_cast<int>(first.size()), media->Write(first.data(), first.size()));
  // Two blocks straight from the caller; the 100 bytes that follow wait in the buffer.
  ASSERT_EQ(2u, rec->writeSources.size());
  EXPECT_TRUE(InCaller(rec->writeSources[0], first));
  EXPECT_TRUE(InCaller(rec->writeSources[1], first));
  EXPECT_EQ(100u, media->m_ulWoff);
  // With bytes buffered, the next block goes through the buffer.
  const std::string second = Pattern(kBlock, 2);
  ASSERT_EQ(static_cast<int>(kBlock), media->Write(second.data(), kBlock));
  ASSERT_EQ(3u, rec->writeSources.size());
  EXPECT_FALSE(InCaller(rec->writeSources[2], second));
  ASSERT_EQ(0, media->Close());
  EXPECT_TRUE(media->files[0].substr(0, first.size() + kBlock) == first + second);
  EXPECT_EQ(std::vector<long long>{static_cast<long long>(4 * kBlock)}, ArgsOf("incrNumLogicalBytes"));
}

// A caller's block that the media takes only in part is kept in the buffer, as a buffered block
// would have been: Close writes the rest.
TEST_F(DirectIo, CutBlockFromTheCallerIsKept) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(kBlock, 3);
  media->writeScript = {{MemoryMedia::Outcome::Partial, 1000}};
  EXPECT_EQ(1000, media->Write(data.data(), kBlock));
  EXPECT_TRUE(media->GetCloseChunkFlag());
  EXPECT_EQ(kBlock, media->m_ulWoff);
  EXPECT_EQ(1000u, media->m_ulFoff);
  ASSERT_EQ(0, media->Close());
  EXPECT_TRUE(media->files[0].substr(0, kBlock) == data);
}

TEST_F(DirectIo, WholeReadsGoIntoTheCallersMemory) {
  InitBackup();
  media->readSource = Pattern(3 * kBlock + 10, 4);
  MediaFSArchiveFileId_t id = ChunkId(1, 3 * kBlock + 10);
  ASSERT_EQ(0, media->Open(&id, false));
  std::string out(2 * kBlock, '\0');
  ASSERT_EQ(static_cast<int>(out.size()), media->Read(out.data(), out.size()));
  ASSERT_EQ(2u, rec->readTargets.size());
  EXPECT_TRUE(InCaller(rec->readTargets[0], out));
  EXPECT_TRUE(InCaller(rec->readTargets[1], out));
  EXPECT_EQ(0, media->m_llRlen);
  EXPECT_TRUE(out == media->readSource.substr(0, out.size()));
  // Less than a whole read goes through the buffer, and Peek sees what follows.
  char peek[8];
  EXPECT_EQ(8, media->Peek(peek, sizeof(peek)));
  std::string rest(kBlock + 10, '\0');
  EXPECT_EQ(static_cast<int>(rest.size()), media->Read(rest.data(), rest.size()));
  EXPECT_TRUE(std::string(peek, 8) == rest.substr(0, 8));
  EXPECT_TRUE(rest == media->readSource.substr(2 * kBlock));
  EXPECT_EQ(0, media->Read(rest.data(), 1));
}

// Whatever the pieces and the write buffer, the media receives the stream as whole blocks in
// order: pieces of whole blocks go out from the caller's bytes, the rest through the buffer.
TEST_F(FrameTest, MixedPiecesReachTheMediaAsTheSameBlocks) {
  struct Case {
    int writeBufferKB;
    std::vector<size_t> pieces;
  };
  const Case cases[] = {
      {0, {10, kBlock, 3 * kBlock + 7, kBlock - 17, 2 * kBlock, 5}},
      {256, {kBlock, 10, 5 * kBlock, 3 * kBlock - 10, kBlock, 1}},
      {256, {4 * kBlock, 4 * kBlock + 1, kBlock - 1, 70000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.writeBufferKB);
    platform::ResetAll();
    if (c.writeBufferKB != 0) platform::Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", c.writeBufferKB);
    media = std::make_unique<MemoryMedia>(&job);
    InitBackup();
    MediaFSArchiveFileId_t id = ChunkId();
    ASSERT_EQ(0, media->Create(&id));
    std::string stream;
    unsigned seed = 1;
    for (size_t piece : c.pieces) {
      const std::string bytes = Pattern(piece, seed++);
      ASSERT_EQ(static_cast<int>(piece), media->Write(bytes.data(), bytes.size()));
      stream += bytes;
    }
    ASSERT_EQ(0, media->Close());
    ASSERT_EQ(1u, media->files.size());
    const size_t blocks = (stream.size() + kBlock - 1) / kBlock;
    EXPECT_EQ(blocks * kBlock, media->files[0].size());
    EXPECT_TRUE(stream == media->files[0].substr(0, stream.size()));
    EXPECT_EQ(std::vector<long>(blocks, static_cast<long>(kBlock)), media->writeSizes);
    EXPECT_EQ((std::vector<long long>{static_cast<long long>(blocks * kBlock)}), ArgsOf("incrNumLogicalBytes"));
  }
}

// Whatever the pieces and the read buffer, the bytes come back in order; pieces of a whole read or
// more are read from the media straight into the caller's buffer, in the same media reads.
TEST_F(FrameTest, MixedPiecesReadTheSameBytes) {
  struct Case {
    int readBufferKB;
    std::vector<size_t> pieces;
    size_t bound;  // bytes the Open allows
    std::vector<long> mediaReads;
  };
  const Case cases[] = {
      {0, {10, kBlock, 2 * kBlock + 3, 100, kBlock}, 10 * kBlock, {kBlock, kBlock, kBlock, kBlock, kBlock}},
      {256, {kBlock, 600000, 5}, 20 * kBlock, {262144, 262144, 262144}},
      // Less than a buffer left: single blocks, the whole ones straight to the caller.
      {256, {100, 5 * kBlock}, 6 * kBlock, {262144, 65536, 65536}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readBufferKB);
    platform::ResetAll();
    if (c.readBufferKB != 0) platform::Config().SetNumber("ZovadAdeve", "dwReadBufferKB", c.readBufferKB);
    media = std::make_unique<MemoryMedia>(&job);
    InitBackup();
    size_t total = 0;
    for (size_t piece : c.pieces) total += piece;
    media->readSource = Pattern(c.bound + 2 * kBlock);
    MediaFSArchiveFileId_t id = ChunkId(1, static_cast<long long>(c.bound) - 1024);
    ASSERT_EQ(0, media->Open(&id, false));
    std::string got;
    for (size_t piece : c.pieces) {
      std::string buf(piece, '\0');
      ASSERT_EQ(static_cast<int>(piece), media->Read(buf.data(), piece));
      got += buf;
    }
    EXPECT_TRUE(media->readSource.substr(0, total) == got);
    EXPECT_EQ(c.mediaReads, media->readSizes);
  }
}

}  // namespace
