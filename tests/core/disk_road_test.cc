// The road of a disk chunk end to end on a real mount path folder: a backup writes a chunk of
// several blocks, its chunk map trailer and the media trailer, and a restore through a second
// media object reads the same bytes back. Then the faults on that road, each with what the volume
// record, the job and the files on disk show afterwards.

#include <cerrno>

#include "disk_media_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;
using platform::MediaManager;

constexpr long long kBlock = 65536;
constexpr int kEventMagnetic = 0x28000041;

std::string ChunkMapTrailer(long long chunkId, long long fileMarker) {
  std::string text = "CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber " + std::to_string(fileMarker) +
                     "\nChunkId " + std::to_string(chunkId) + "\nVolumeId 7\nTavrixVersion 11.0\n" +
                     "uniqueMediaIdString MP_7\n";
  text.resize(kChunkHeaderBytes, ' ');
  return text;
}

class DiskRoadTest : public DiskMediaTest {};

TEST_F(DiskRoadTest, BackupThenRestoreThroughASecondObject) {
  const size_t payload = 200000;  // with the header: 3 blocks and a part
  const std::string chunk = ChunkBytes(payload);
  {
    auto media = Backup();
    ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNK, 42), chunk));
    ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNKMAP_TRAILER, 42), ChunkMapTrailer(42, 6)));
    const MediaFSArchiveFileId_t trailer = Id(MEDIA_TRAILER, 0);
    ASSERT_EQ(0, media->WriteMediaTrailer(&trailer));
  }

  // The files: whole blocks, the rest of the last one padded with '0'.
  EXPECT_EQ((std::vector<std::string>{"CHUNKMAP_TRAILER_42", "CHUNK_42", "MEDIA_TRAILER"}), MountPathFiles());
  const std::string onDisk = FileBytes(Path("CHUNK_42"));
  ASSERT_EQ(4 * kBlock, static_cast<long long>(onDisk.size()));
  EXPECT_EQ(chunk, onDisk.substr(0, chunk.size()));
  EXPECT_EQ(std::string(onDisk.size() - chunk.size(), '0'), onDisk.substr(chunk.size()));
  const std::string trailerFile = FileBytes(Path("CHUNKMAP_TRAILER_42"));
  ASSERT_EQ(kBlock, static_cast<long long>(trailerFile.size()));
  EXPECT_EQ(ChunkMapTrailer(42, 6), trailerFile.substr(0, kChunkHeaderBytes));
  EXPECT_EQ(kBlock, FileSize(Path("MEDIA_TRAILER")));
  EXPECT_EQ(0u, FileBytes(Path("MEDIA_TRAILER")).find("MEDIA_TRAILER_VERSION 1 \n TrailerSize 1024 \n VolId 7 \n"));

  // The volume record: one file marker per archive file from the volume's five files on, the
  // bytes of each, and the media trailer's full mark.
  EXPECT_EQ((std::vector<std::vector<long long>>{{6, 1}, {7, 1}, {8, 1}}), AllArgsOf("setFileMarker"));
  EXPECT_EQ((std::vector<std::vector<long long>>{{4 * kBlock}, {kBlock}, {kBlock}}), AllArgsOf("incrNumLogicalBytes"));
  const long long free = static_cast<long long>(kFreeBytes);
  EXPECT_EQ((std::vector<std::vector<long long>>{{4 * kBlock, free}, {kBlock, free}, {kBlock, free}}),
            AllArgsOf("incrNumPhysicalBytes"));
  EXPECT_EQ((std::vector<std::vector<long long>>{{1}, {1}, {1}}), AllArgsOf("incrNumFiles"));
  EXPECT_EQ(3u, MediaManager().Count("setWriteTime"));
  // The chunk map trailer is not counted as a transfer of the drive.
  EXPECT_EQ((std::vector<std::vector<long long>>{{0, 0, 0}, {0, 0, 0}}), AllArgsOf("updateDataTransferInfo"));
  EXPECT_EQ((std::vector<std::vector<long long>>{{kVolumeFullReasonFull, 4242}}), AllArgsOf("markFull"));
  const platform::MMVolume& volume = MediaManager().volumes[kVolId];
  EXPECT_EQ(3, volume.numFiles);
  EXPECT_EQ(6 * kBlock, volume.physicalBytes);
  EXPECT_EQ(8, volume.fileMarker);

  // The restore: a second object, the physical size as the database recorded it.
  auto restore = Restore();
  EXPECT_EQ(chunk, ReadArchiveFile(*restore, Id(CHUNK, 42, payload, 6), chunk.size()));
  EXPECT_EQ(0, restore->MediaFSGetLastError());
  EXPECT_EQ((std::vector<long long>{0, 1, 0}), AllArgsOf("updateDataTransferInfo").back());
  EXPECT_TRUE(platform::Jobs().events.empty());
}

TEST_F(DiskRoadTest, ManyChunksKeepTheirOwnBytesAndMarkers) {
  auto media = Backup();
  std::vector<std::string> chunks;
  for (int i = 0; i < 4; ++i) {
    chunks.push_back(ChunkBytes(static_cast<size_t>(kBlock) * i + 17 * i, static_cast<unsigned>(i + 3)));
    ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNK, 100 + i), chunks.back()));
  }
  EXPECT_EQ((std::vector<std::vector<long long>>{{6, 1}, {7, 1}, {8, 1}, {9, 1}}), AllArgsOf("setFileMarker"));
  auto restore = Restore();
  for (int i = 3; i >= 0; --i) {
    const MediaFSArchiveFileId_t id = Id(CHUNK, 100 + i, static_cast<long long>(chunks[i].size()) - kChunkHeaderBytes);
    EXPECT_EQ(chunks[i], ReadArchiveFile(*restore, id, chunks[i].size())) << "chunk " << i;
  }
}

// ---- Faults on the road --------------------------------------------------------------------------

// Free space at or below the reserve before a chunk: no file, the volume is full.
TEST_F(DiskRoadTest, ChunkAtTheReserveIsRefused) {
  struct Case {
    int lowWaterMarkMB;
    unsigned long long freeBytes;
    int result;
  };
  const Case cases[] = {
      {10, 60 * kMiB, 0},                   // above the least reserve of 50 MB
      {10, 50 * kMiB, kMFSNoRoomOnMedia},   // at it
      {51, 51 * kMiB, kMFSNoRoomOnMedia},   // a larger low-water mark holds
      {51, 51 * kMiB + 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.lowWaterMarkMB << " MB, " << c.freeBytes << " free");
    platform::ResetAll();
    std::filesystem::remove_all(mountPath);
    mkdir(mountPath.c_str(), 0755);
    reserve.m_lowWaterMarkMB = c.lowWaterMarkMB;
    Faults().SetFreeSpace(mountPath, c.freeBytes);
    auto media = Backup();
    const MediaFSArchiveFileId_t id = Id(CHUNK, 5);
    EXPECT_EQ(c.result, media->Create(&id));
    EXPECT_EQ(std::max(c.lowWaterMarkMB, 50), media->m_llReserveMB);
    if (c.result == 0) {
      EXPECT_EQ(0, media->Close());
      EXPECT_TRUE(AllArgsOf("markFull").empty());
      continue;
    }
    EXPECT_TRUE(MountPathFiles().empty());
    EXPECT_EQ((std::vector<std::vector<long long>>{{kVolumeFullReasonFull, 4242}}), AllArgsOf("markFull"));
    EXPECT_EQ((std::vector<std::vector<long long>>{{static_cast<long long>(c.freeBytes / kMiB)}}),
              AllArgsOf("setFreeBytesMB"));
    EXPECT_EQ(1u, MediaManager().Count("setVolumeId"));
    EXPECT_TRUE(media->m_bVolumeFull);
    EXPECT_EQ(0, media->m_llKBRemaining);
  }
}

// The free space falls to the reserve in the middle of a chunk: the write that finds it still
// counts, the host sees the close-chunk flag and closes, and the chunk is whole and recorded.
TEST_F(DiskRoadTest, ReserveReachedInsideAChunkClosesItIntact) {
  auto media = Backup();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 9);
  ASSERT_EQ(0, media->Create(&id));
  Faults().SetFreeSpace(mountPath, 40 * kMiB);
  const long long checksBefore = Faults().Calls(FsOp::FreeSpace);

  // The free space is read only once 25 MiB have been written since the last check.
  const std::string block = FrameTest::Pattern(kBlock, 5);
  const int blocksToCheck = static_cast<int>(26214400 / kBlock);
  for (int i = 1; i < blocksToCheck; ++i) {
    ASSERT_EQ(static_cast<int>(kBlock), media->Write(block.data(), block.size()));
    ASSERT_FALSE(media->GetCloseChunkFlag()) << "block " << i;
  }
  EXPECT_EQ(checksBefore, Faults().Calls(FsOp::FreeSpace));
  ASSERT_EQ(static_cast<int>(kBlock), media->Write(block.data(), block.size()));
  EXPECT_EQ(checksBefore + 1, Faults().Calls(FsOp::FreeSpace));
  EXPECT_TRUE(media->GetCloseChunkFlag());
  EXPECT_EQ((std::vector<std::vector<long long>>{{kVolumeFullReasonFull, 4242}}), AllArgsOf("markFull"));
  EXPECT_EQ((std::vector<std::vector<long long>>{{40}}), AllArgsOf("setFreeBytesMB"));

  ASSERT_EQ(0, media->Close());
  EXPECT_EQ(blocksToCheck * kBlock, FileSize(Path("CHUNK_9")));
  EXPECT_EQ((std::vector<std::vector<long long>>{{blocksToCheck * kBlock}}), AllArgsOf("incrNumLogicalBytes"));
  EXPECT_EQ(1u, MediaManager().Count("incrNumFiles"));
  // The volume is full: its size was measured and recorded.
  EXPECT_EQ((std::vector<std::vector<long long>>{{kVolId, blocksToCheck * kBlock / static_cast<long long>(kMiB)}}),
            AllArgsOf("setVolumeSize"));
  // The next chunk is refused.
  const MediaFSArchiveFileId_t next = Id(CHUNK, 10);
  EXPECT_EQ(kMFSNoRoomOnMedia, media->Create(&next));
}

// A full disk on the n-th write of a chunk: the write and the Close fail, the volume is full, and
// nothing is recorded as written.
TEST_F(DiskRoadTest, DiskFullOnTheNthWriteFailsTheChunk) {
  auto media = Backup();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 3);
  ASSERT_EQ(0, media->Create(&id));
  Faults().Add(FaultRule{FsOp::Write, "CHUNK_3", 3, -1, ENOSPC});
  const std::string bytes = ChunkBytes(4 * kBlock);
  EXPECT_EQ(-1, media->Write(bytes.data(), bytes.size()));
  EXPECT_EQ(767, media->MediaFSGetLastError());
  EXPECT_FALSE(media->GetCloseChunkFlag());
  EXPECT_TRUE(media->m_bDiskFull);
  EXPECT_EQ((std::vector<std::vector<long long>>{{kVolumeFullReasonFull, 4242}}), AllArgsOf("markFull"));
  EXPECT_EQ(-1, media->Close());
  EXPECT_EQ(0u, MediaManager().Count("setFileMarker"));
  EXPECT_EQ(0u, MediaManager().Count("incrNumFiles"));
  EXPECT_EQ(2 * kBlock, FileSize(Path("CHUNK_3")));
}

// A write that fell short leaves no stray bytes: the block goes out again at its own place and the
// chunk is whole.
TEST_F(DiskRoadTest, ShortWriteIsCutOffAndTheBlockWrittenAgain) {
  auto media = Backup();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 4);
  ASSERT_EQ(0, media->Create(&id));
  FaultRule shortWrite{FsOp::Write, "CHUNK_4", 2, 1, 0};
  shortWrite.shortBytes = 1000;
  Faults().Add(shortWrite);
  const std::string bytes = ChunkBytes(2 * kBlock);
  EXPECT_EQ(-1, media->Write(bytes.data(), bytes.size()));
  EXPECT_EQ(kBlock, FileSize(Path("CHUNK_4")));
  EXPECT_FALSE(media->m_bDiskFull);
  // The rest of this call's bytes never reached the object; the host writes them again.
  EXPECT_EQ(0, media->Close());
  const std::string onDisk = FileBytes(Path("CHUNK_4"));
  ASSERT_EQ(2 * kBlock, static_cast<long long>(onDisk.size()));
  EXPECT_EQ(bytes.substr(0, 2 * kBlock), onDisk);
}

TEST_F(DiskRoadTest, WriteErrorOtherThanFullReachesTheJob) {
  auto media = Backup();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 8);
  ASSERT_EQ(0, media->Create(&id));
  Faults().Add(FaultRule{FsOp::Write, "CHUNK_8", 1, 1, EACCES});
  const std::string block = FrameTest::Pattern(kBlock);
  EXPECT_EQ(-1, media->Write(block.data(), block.size()));
  EXPECT_EQ(996, media->MediaFSGetLastError());
  EXPECT_TRUE(AllArgsOf("markFull").empty()) << "a refused write is no full disk";
  ASSERT_EQ(1u, platform::Jobs().events.size());
  EXPECT_EQ(kEventMagnetic, platform::Jobs().events[0].eventId);
  EXPECT_EQ("Error occurred in Magnetic Media, Path [" + mountPath + "]. Failed to write to media. Check whether the path " +
                mountPath + " is accessible. Permission denied Error",
            media->m_strLastErrorMsg);
}

// A read error: the job gets the disk's user text; the read fails.
TEST_F(DiskRoadTest, ReadErrorsReachTheJob) {
  struct Case {
    FsOp op;
    int err;
    long long code;
    const char* message;
    bool event;
  };
  const Case cases[] = {
      {FsOp::Read, EIO, 762,
       "Failed to read from the media. The drive reported a CRC error This could be due to a bad block on the disk. "
       "Please run disk utilities to correct this problem.",
       false},
      {FsOp::Open, EACCES, 996, "<path>. Check whether the path <mp> is accessible. Permission denied Error", true},
  };
  {
    auto media = Backup();
    ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNK, 42), ChunkBytes(3 * kBlock)));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    platform::ResetAll();
    Faults().SetFreeSpace(mountPath, kFreeBytes);
    auto restore = Restore();
    Faults().Add(FaultRule{c.op, "CHUNK_42", 1, -1, c.err});
    std::string out(kBlock, '\0');
    const MediaFSArchiveFileId_t id = Id(CHUNK, 42, 3 * kBlock);
    if (c.op == FsOp::Open) {
      EXPECT_EQ(-1, restore->Open(&id, false));
    } else {
      ASSERT_EQ(0, restore->Open(&id, false));
      EXPECT_EQ(-1, restore->Read(out.data(), out.size()));
    }
    EXPECT_EQ(c.code, restore->MediaFSGetLastError());
    std::string message = c.message;
    const std::string path = Path("CHUNK_42");
    for (size_t at; (at = message.find("<path>")) != std::string::npos;) message.replace(at, 6, path);
    for (size_t at; (at = message.find("<mp>")) != std::string::npos;) message.replace(at, 4, mountPath);
    EXPECT_EQ("Error occurred in Magnetic Media, Path [" + mountPath + "]. " + message, restore->m_strLastErrorMsg);
    EXPECT_EQ(c.event ? 1u : 0u, platform::Jobs().events.size());
  }
}

// The mount path disappears: the chunk fails, the volume is full and the mount path offline.
TEST_F(DiskRoadTest, VanishedMountPathIsMarkedOffline) {
  auto media = Backup();
  ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNK, 1), ChunkBytes(100)));
  std::filesystem::remove_all(mountPath);
  const MediaFSArchiveFileId_t id = Id(CHUNK, 2);
  EXPECT_EQ(-1, media->Create(&id));
  EXPECT_EQ(993, media->MediaFSGetLastError());
  EXPECT_EQ((std::vector<std::vector<long long>>{{kVolumeFullReasonPathInaccessible, 4242}}), AllArgsOf("markFull"));
  EXPECT_EQ((std::vector<std::vector<long long>>{{kVolId, 1, 1}}), AllArgsOf("setMountPathOfflineByVolume"));
  ASSERT_EQ(1u, platform::Jobs().events.size());
  EXPECT_EQ(kEventMagnetic, platform::Jobs().events[0].eventId);
}

}  // namespace
