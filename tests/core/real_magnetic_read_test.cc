// The disk media's read road in detail: the two folder layouts, a missing chunk file against a
// missing mount path, the size check of an open, and seeks.

#include <cerrno>

#include "disk_media_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr long long kBlock = 65536;

class RealMagneticReadTest : public DiskMediaTest {
 protected:
  // A chunk file of the header and `payload` bytes, padded to whole blocks, made by hand.
  std::string MakeChunkFile(const std::string& relative, size_t payload, unsigned seed) {
    const std::string bytes = ChunkBytes(payload, seed);
    std::string file = bytes;
    file.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, '0');
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), std::ios::binary) << file;
    return bytes;
  }
};

TEST_F(RealMagneticReadTest, BothFolderLayouts) {
  const std::string plain = MakeChunkFile("CHUNK_12", 70000, 1);
  const std::string inFolder = MakeChunkFile("AF_3/CHUNK_7", 5000, 2);
  auto media = Restore();

  MediaFSArchiveFileId_t folderId = Id(CHUNK, 12, 5000);
  folderId.iChunkVersion = 1;  // the archive file folder layout: the chunk id does not count
  folderId.iArchFileId = 3;
  folderId.ullChunkNumber = 7;
  EXPECT_EQ(inFolder, ReadArchiveFile(*media, folderId, inFolder.size()));

  MediaFSArchiveFileId_t plainId = Id(CHUNK, 12, 70000);
  plainId.iArchFileId = 3;  // any other layout: the archive file id does not count
  EXPECT_EQ(plain, ReadArchiveFile(*media, plainId, plain.size()));

  // Whatever the kind of archive file, a restore opens the chunk file of its chunk id.
  EXPECT_EQ(plain, ReadArchiveFile(*media, Id(CHUNKMAP_TRAILER, 12, 70000), plain.size()));
  EXPECT_EQ(plain.size(), static_cast<size_t>(media->m_llMaxChunkSize));
}

TEST_F(RealMagneticReadTest, MissingChunkFileAgainstMissingMountPath) {
  auto media = Restore();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 99, 10);
  EXPECT_EQ(-1, media->Open(&id, false));
  EXPECT_EQ(1005, media->MediaFSGetLastError()) << "the mount path is there, the chunk is not";
  EXPECT_TRUE(platform::LogContains("Cannot open file [" + Path("CHUNK_99") + "]"));

  std::filesystem::remove_all(mountPath);
  EXPECT_EQ(-1, media->Open(&id, false));
  EXPECT_EQ(993, media->MediaFSGetLastError());
  ASSERT_EQ(2u, platform::Jobs().events.size());
  EXPECT_EQ("Error occurred in Magnetic Media, Path [" + mountPath + "]. " + Path("CHUNK_99") +
                ". Check whether the path " + mountPath + " is accessible",
            media->m_strLastErrorMsg);
}

TEST_F(RealMagneticReadTest, SizeDifferingFromTheDatabaseFailsTheOpen) {
  MakeChunkFile("CHUNK_5", 1000, 1);  // one block
  auto media = Restore();
  const MediaFSArchiveFileId_t wrong = Id(CHUNK, 5, kBlock);  // the database says two blocks
  EXPECT_EQ(-1, media->Open(&wrong, false));
  EXPECT_EQ(1208, media->MediaFSGetLastError());
  EXPECT_EQ(kBlock, media->m_llDbPhysicalSize);
  EXPECT_EQ("Error occurred in Magnetic Media, Path [" + mountPath +
                "]. Failed validate db value of chunk size against actual size of chunk on disk. Physical Size of "
                "Chunk on Disk does not match the value calculated from Physical Size of Chunk in DataBase",
            media->m_strLastErrorMsg.substr(0, media->m_strLastErrorMsg.find(" DataBase") + 9));

  const MediaFSArchiveFileId_t right = Id(CHUNK, 5, 1000);
  EXPECT_EQ(0, media->Open(&right, false));
  EXPECT_EQ(0, media->m_llDbPhysicalSize);
}

TEST_F(RealMagneticReadTest, SeekMovesTheReadPosition) {
  const std::string bytes = MakeChunkFile("CHUNK_1", 3 * kBlock, 4);
  auto media = Restore();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 1, 3 * kBlock);
  ASSERT_EQ(0, media->Open(&id, false));
  const long long atOpen = media->m_llMaxChunkSize;
  EXPECT_EQ(static_cast<long long>(bytes.size()), atOpen);
  std::string piece(100, '\0');
  ASSERT_EQ(100, media->Read(piece.data(), piece.size()));

  for (long long offset : {70000LL, 0LL, 2 * kBlock + 5}) {
    ASSERT_EQ(1, media->SetSeekOffset(offset));
    EXPECT_EQ(0, media->m_llRoff);
    EXPECT_EQ(0, media->m_llRlen);
    EXPECT_EQ(atOpen - offset + 1, media->m_llBytesLeftToRead);
    ASSERT_EQ(100, media->Read(piece.data(), piece.size()));
    EXPECT_EQ(bytes.substr(static_cast<size_t>(offset), 100), piece);
  }

  // A failed seek changes nothing: the buffered bytes still come next.
  const long long roff = media->m_llRoff, rlen = media->m_llRlen, left = media->m_llBytesLeftToRead;
  Faults().Add(FaultRule{FsOp::Seek, "CHUNK_1", 1, 1, EIO});
  EXPECT_EQ(0, media->SetSeekOffset(10));
  EXPECT_EQ(762, media->MediaFSGetLastError());
  EXPECT_EQ(roff, media->m_llRoff);
  EXPECT_EQ(rlen, media->m_llRlen);
  EXPECT_EQ(left, media->m_llBytesLeftToRead);
  ASSERT_EQ(100, media->Read(piece.data(), piece.size()));
  EXPECT_EQ(bytes.substr(2 * kBlock + 105, 100), piece);
}

// A host that reads or seeks on an object it never initialised gets a failure, not a crash.
TEST_F(RealMagneticReadTest, ReadAndSeekBeforeInitFail) {
  auto media = Make();
  char buf[16];
  EXPECT_EQ(-1, media->ReadFromMedia(buf, sizeof(buf)));
  EXPECT_EQ(0, media->SetSeekOffset(0));
  EXPECT_NE(0, media->MediaFSGetLastError());
}

}  // namespace
