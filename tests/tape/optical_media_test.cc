// The optical disk media through the frame: archive files under their names on the logical drive
// and read back, free space at create, the end of the media while writing, WORM media, the
// drive's codes that mark the volume full, the "OZ_MAGNETIC" folder of some media types, layout
// version 1, and the requests refused without anything written.

#include "optical_fixture.h"

namespace {

using namespace opticaltest;
using platform::MediaManager;
using platform::OpticalFault;

TEST_F(OpticalTest, ArchiveFilesUnderTheirNamesReadBackByteForByte) {
  auto media = Start();
  EXPECT_EQ(512, media->m_llMinFreeKB);
  EXPECT_EQ(disk, media->m_strLogicalDrive);

  // The host creates the media header; writing it creates the first chunk.
  MediaFSArchiveFileId_t header = Id(MEDIA_HEADER);
  ASSERT_EQ(0, media->Create(&header));
  MediaFSArchiveFileId_t first = Id(CHUNK, 11);
  ASSERT_EQ(0, media->WriteMediaHeader(&first));
  std::vector<std::pair<long long, std::string>> chunks = {{11, Pattern(3 * kBlock + 17, 1)}};
  ASSERT_EQ(static_cast<int>(chunks[0].second.size()), media->Write(chunks[0].second.data(), chunks[0].second.size()));
  ASSERT_EQ(0, media->Close());
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNKMAP_TRAILER, 11), "trailer of 11"));
  for (long long id : {12, 13}) {
    chunks.emplace_back(id, Pattern(static_cast<size_t>(id) * 1000, static_cast<uint64_t>(id)));
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, id), chunks.back().second));
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNKMAP_TRAILER, id), "trailer of " + std::to_string(id)));
  }
  header = Id(MEDIA_TRAILER);
  ASSERT_EQ(0, media->WriteMediaTrailer(&header));
  media.reset();

  // Every file inside the logical drive, under its name, in whole blocks.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(disk)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"CHUNKMAP_TRAILER_11", "CHUNKMAP_TRAILER_12", "CHUNKMAP_TRAILER_13",
                                      "CHUNK_11", "CHUNK_12", "CHUNK_13", "MEDIA_HEADER", "MEDIA_TRAILER"}),
            names);
  EXPECT_EQ(0u, FileBytes(disk + "/MEDIA_HEADER").find("MEDIA_HEADER_VERSION 1"));
  EXPECT_EQ(0u, FileBytes(disk + "/MEDIA_TRAILER").find("MEDIA_TRAILER_VERSION 1"));
  EXPECT_EQ(0u, FileBytes(disk + "/CHUNKMAP_TRAILER_12").find("trailer of 12"));
  EXPECT_EQ(4 * kBlock, FileBytes(disk + "/CHUNK_11").size());
  EXPECT_EQ(1 + 8, MediaManager().volumes[kVolId].numFiles);

  auto reader = Start(0);
  for (const auto& [id, data] : chunks) {
    EXPECT_TRUE(ReadFile(*reader, Id(CHUNK, id), data.size()) == data) << id;
  }
}

// Each written file is recorded with the bytes the disk lost for it, which the drive reports.
TEST_F(OpticalTest, PhysicalBytesAreWhatTheDiskLost) {
  SetFreeBytes(100 << 20);
  auto media = Start();
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 1), Pattern(2 * kBlock + 1, 2)));
  // (with the free space after it)
  EXPECT_EQ((std::vector<long long>{static_cast<long long>(3 * kBlock), static_cast<long long>((100 << 20) - 3 * kBlock)}),
            MediaManager().CallsOf("incrNumPhysicalBytes", kVolId).back().args);
  EXPECT_EQ(1u, MediaManager().Count("incrNumPhysicalBytes"));
  EXPECT_EQ(1u, MediaManager().Count("updateDataTransferInfo"));
  // A chunk map trailer is left out of the drive's transfer statistics.
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNKMAP_TRAILER, 1), "t"));
  EXPECT_EQ(1u, MediaManager().Count("updateDataTransferInfo"));
  EXPECT_EQ(static_cast<long long>((100 << 20) - 4 * kBlock), media->GetRemainingSpace());
}

// 64 KB free or less refuses every kind of archive file and marks the volume full; 65 KB takes it.
TEST_F(OpticalTest, SixtyFourKilobytesFreeRefusesEveryDataType) {
  for (MediaFSDataType type : {MEDIA_HEADER, MEDIA_TRAILER, CHUNK, CHUNKMAP_TRAILER}) {
    for (long long freeKB : {64, 65}) {
      SCOPED_TRACE(std::to_string(type) + " with " + std::to_string(freeKB) + " KB free");
      platform::ResetAll();
      std::filesystem::remove_all(disk);
      SetUp();
      SetFreeBytes(freeKB * 1024);
      auto media = Start();
      MediaFSArchiveFileId_t id = Id(type, 5);
      const int rc = media->Create(&id);
      EXPECT_EQ(freeKB, media->m_llKBRemaining);
      if (freeKB == 64) {
        EXPECT_EQ(kMFSNoRoomOnMedia, rc);
        EXPECT_EQ((std::vector<long long>{kVolumeFullReasonFull, job.jobId}),
                  MediaManager().CallsOf("markFull", kVolId).at(0).args);
        EXPECT_EQ(0u, Library().Count("open"));
        EXPECT_TRUE(std::filesystem::is_empty(disk));
      } else {
        EXPECT_EQ(0, rc);
        EXPECT_EQ(0u, MediaManager().Count("markFull"));
        EXPECT_EQ(0, media->Close());
      }
    }
  }
}

// The media reports its end once the room left after a write would be the low-water mark of
// 512 KB or less: exactly 512 KB sets the flags, one byte more does not.
TEST_F(OpticalTest, EndOfMediaAtTheLowWaterMark) {
  for (long len : {static_cast<long>(kBlock), static_cast<long>(kBlock) - 1}) {
    SCOPED_TRACE(len);
    platform::ResetAll();
    std::filesystem::remove_all(disk);
    SetUp();
    SetFreeBytes(524288 + kBlock);
    auto media = Start();
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    ASSERT_EQ(0, media->Create(&id));
    const std::string data = Pattern(static_cast<size_t>(len), 3);
    int eom = 0;
    EXPECT_EQ(len, media->WriteToMedia(data.data(), len, &eom));
    const bool atMark = len == static_cast<long>(kBlock);
    EXPECT_EQ(atMark ? 1 : 0, eom);
    EXPECT_EQ(atMark, media->GetCloseChunkFlag());
    EXPECT_EQ(len, media->GetCurrentTransferCount());
  }

  // Through the frame, the block goes out whole and the host is asked to close the chunk.
  SetFreeBytes(524288 + 2 * kBlock);
  auto media = Start();
  MediaFSArchiveFileId_t id = Id(CHUNK, 2);
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(2 * kBlock, 4);
  bool endOfMedia = false;
  EXPECT_EQ(static_cast<int>(kBlock), media->Write2(data.data(), kBlock, endOfMedia));
  EXPECT_FALSE(media->GetCloseChunkFlag());
  EXPECT_EQ(static_cast<int>(kBlock), media->Write2(data.data() + kBlock, kBlock, endOfMedia));
  EXPECT_TRUE(media->GetCloseChunkFlag());
  EXPECT_EQ(0, media->Close());
  EXPECT_TRUE(FileBytes(disk + "/CHUNK_2") == data);
}

TEST_F(OpticalTest, WormMediaAreRecordedAtCreate) {
  DriveSetup().wormType = 3;
  auto media = Start();
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 1), "x"));
  EXPECT_EQ((std::vector<long long>{3}), MediaManager().CallsOf("setMediaWorm", kVolId).at(0).args);
  EXPECT_EQ((std::vector<long long>{kMediaType}), Library().CallsOf("isWorm").at(0).args);
  EXPECT_TRUE(platform::LogContains("Detected WORM Optical Media. Setting Volume [31] as WORM"));
}

// A name that exists on a WORM disk is never opened for writing: the create fails before anything
// is emptied, the earlier file stays as it was and the next archive file goes on. A rewritable disk
// replaces the file as before. When the drive cannot tell whether the name exists, a WORM disk
// takes no chance either.
TEST_F(OpticalTest, ExistingNamesOnWormMediaAreNeverWrittenAgain) {
  struct Case {
    int wormType;
    long long probeFailure;  // code of an open that fails once, after the first file
    long long lastError;     // of the second create; 0: it succeeds
  };
  const Case cases[] = {{0, 0, 0}, {3, 0, 975}, {3, 764, 764}};
  const std::string first = Pattern(2 * kBlock, 1);
  const std::string second = Pattern(kBlock, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE("worm " + std::to_string(c.wormType) + " probe failure " + std::to_string(c.probeFailure));
    platform::ResetAll();
    std::filesystem::remove_all(disk);
    SetUp();
    DriveSetup().wormType = c.wormType;
    auto media = Start();
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 1), first));
    const auto opensForWriting = [&] {
      size_t n = 0;
      for (const auto& call : Library().CallsOf("open")) n += call.args[0] == OZScsiMODiskDrive::kAccessWrite;
      return n;
    };
    ASSERT_EQ(1u, opensForWriting());
    if (c.probeFailure != 0) Library().Fail(disk, OpticalFault{"open", c.probeFailure, 1, 1, -1, 0});

    MediaFSArchiveFileId_t again = Id(CHUNK, 1);
    if (c.lastError == 0) {
      ASSERT_EQ(0, media->Create(&again));
      ASSERT_EQ(static_cast<int>(kBlock), media->Write(second.data(), kBlock));
      ASSERT_EQ(0, media->Close());
      EXPECT_TRUE(FileBytes(disk + "/CHUNK_1") == second);
      continue;
    }
    EXPECT_EQ(-1, media->Create(&again));
    EXPECT_EQ(c.lastError, media->MediaFSGetLastError());
    if (c.lastError == 975) {
      EXPECT_EQ("The archive file <" + disk + "/CHUNK_1> already exists on the WORM optical media and is not "
                "written again",
                media->m_strLastErrorMsg);
    }
    EXPECT_EQ(1u, opensForWriting());
    EXPECT_EQ(0, media->m_iOpenHandle);
    EXPECT_TRUE(FileBytes(disk + "/CHUNK_1") == first);
    // A new name on the same disk is written, and the earlier chunk still reads back whole.
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 2), second));
    EXPECT_EQ(std::vector<long long>{3}, MediaManager().CallsOf("setMediaWorm", kVolId).back().args);
    auto reader = Start(0);
    EXPECT_TRUE(ReadFile(*reader, Id(CHUNK, 1), first.size()) == first);
    EXPECT_TRUE(ReadFile(*reader, Id(CHUNK, 2), second.size()) == second);
  }
}

// A read stops at the end of the archive file: one that ends inside the chunk gets what it asked
// for, one that reaches or passes the end gets the bytes that were there, and the reads after it
// get 0. A drive failure stays -1, also when the same call had already delivered bytes.
TEST_F(OpticalTest, ReadsThatReachTheEndOfAChunk) {
  // A chunk of whole blocks as the frame writes them, and one of 5000 bytes.
  const std::string blocks = Pattern(3 * kBlock, 8);
  const std::string small = Pattern(5000, 9);
  {
    auto media = Start();
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 1), blocks));
  }
  std::ofstream(disk + "/CHUNK_2", std::ios::binary) << small;

  for (const auto& [chunkId, data] : {std::pair<long long, std::string>{1, blocks}, {2, small}}) {
    const size_t size = data.size();
    for (const size_t want : {size - 1000, size, size + 10000}) {
      SCOPED_TRACE("chunk " + std::to_string(chunkId) + " read " + std::to_string(want));
      auto reader = Start(0);
      MediaFSArchiveFileId_t id = Id(CHUNK, chunkId, static_cast<long long>(size));
      ASSERT_EQ(0, reader->Open(&id, true));
      std::string out(want, '\0');
      const int got = reader->Read(out.data(), want);
      ASSERT_EQ(static_cast<int>(std::min(want, size)), got) << reader->GetErrorString();
      EXPECT_TRUE(out.substr(0, static_cast<size_t>(got)) == data.substr(0, static_cast<size_t>(got)));
      std::string rest(20000, '\0');
      const int more = reader->Read(rest.data(), rest.size());
      EXPECT_EQ(static_cast<int>(size) - got, more);
      EXPECT_TRUE(rest.substr(0, static_cast<size_t>(more)) == data.substr(static_cast<size_t>(got)));
      EXPECT_EQ(0, reader->Read(rest.data(), rest.size()));
      EXPECT_EQ(0, reader->Close());
    }
  }

  // The drive fails the first read, or the one after 5000 bytes came.
  for (const int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    auto reader = Start(0);
    MediaFSArchiveFileId_t id = Id(CHUNK, 2, 5000);
    ASSERT_EQ(0, reader->Open(&id, true));
    Library().Fail(disk, OpticalFault{"read", 764, nth, 1, 0, 0});
    std::string out(10000, '\0');
    EXPECT_EQ(-1, reader->Read(out.data(), out.size()));
    EXPECT_EQ(764, reader->MediaFSGetLastError());
  }
}

// The drive's codes on a create or a write: what the volume is marked, what the write answers.
TEST_F(OpticalTest, DriveCodesThatMarkTheVolumeFull) {
  struct Case {
    const char* op;
    long long code;
    long long count;       // bytes the failing write takes
    int result;            // WriteToMedia's, or Create's
    int fullReason;        // 0: not marked
    const char* reported;  // the lines that report it
  };
  const Case cases[] = {
      {"write", 766, -1, -1, kVolumeFullReasonWriteProtected, "failed"},
      {"write", 764, -1, 0, 0, "failed short"},  // a failure of another code: 0, reported twice
      {"write", 764, 1000, 1000, 0, "short"},    // a short write: the bytes taken
      {"open", 798, -1, -1, 798, "create"},
      {"open", 764, -1, -1, 0, "create"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.code) + " " + std::to_string(c.count));
    platform::ResetAll();
    std::filesystem::remove_all(disk);
    SetUp();
    auto media = Start();
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    int rc = 0;
    if (std::string(c.op) == "write") {
      ASSERT_EQ(0, media->Create(&id));
      Library().Fail(disk, OpticalFault{"write", c.code, 1, 1, c.count, 0});
      const std::string data = Pattern(kBlock, 5);
      int eom = 0;
      rc = media->WriteToMedia(data.data(), static_cast<long>(kBlock), &eom);
    } else {
      Library().Fail(disk, OpticalFault{"open", c.code, 1, 1, -1, 0});
      rc = media->Create(&id);
    }
    EXPECT_EQ(c.result, rc);
    EXPECT_EQ(c.code, media->MediaFSGetLastError());
    const auto full = MediaManager().CallsOf("markFull", kVolId);
    if (c.fullReason == 0) {
      EXPECT_TRUE(full.empty());
    } else {
      ASSERT_EQ(1u, full.size());
      EXPECT_EQ(c.fullReason, full[0].args[0]);
    }
    std::string reported;
    if (platform::LogContains(" Write Failed on the Mount path")) reported += "failed";
    if (platform::LogContains("bytes instead of 65536 bytes Optical Mount path")) reported += reported.empty() ? "short" : " short";
    if (platform::LogContains("Error creating the file archive file--")) reported += "create";
    EXPECT_EQ(c.reported, reported);
  }
}

// A block that the drive took only in part, away from the end of the media, leaves bytes in the
// file that the drive cannot seek back over: the close fails with that write's error and records
// nothing, whether the host wrote through Write or Write2. A write that moved nothing left the file
// at the block's start, so the close writes the stream on and records what the file holds.
TEST_F(OpticalTest, BlockTheDriveTookInPartIsNotWrittenAgainAfterIt) {
  struct Case {
    bool write2;
    long long moved;  // bytes the failing drive write takes; -1: a file-system write that takes
                      // 30,000 bytes and reports no error
    long long code;   // the failing write's code, which a failing close carries
  };
  const Case cases[] = {
      {false, 0, 764}, {false, 1, 765}, {false, 1000, 764}, {false, 65535, 764}, {false, -1, 764},
      {true, 0, 764},  {true, 1, 765},  {true, 1000, 764},  {true, 65535, 764},  {true, -1, 764},
  };
  const std::string first = Pattern(kBlock, 1);
  const std::string second = Pattern(kBlock, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.write2 ? "Write2" : "Write") + ", " +
                 (c.moved >= 0 ? std::to_string(c.moved) + " bytes moved" : "a short file-system write"));
    platform::ResetAll();
    std::filesystem::remove_all(disk);
    SetUp();
    SetFreeBytes(100 << 20);  // whole KB: the drive-reported bytes are exact
    auto media = Start();
    MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    ASSERT_EQ(0, media->Create(&id));
    const auto write = [&](const std::string& block) {
      bool endOfMedia = false;
      return c.write2 ? media->Write2(block.data(), kBlock, endOfMedia) : media->Write(block.data(), kBlock);
    };
    ASSERT_EQ(static_cast<int>(kBlock), write(first));
    if (c.moved >= 0) {
      Library().Fail(disk, OpticalFault{"write", c.code, 1, 1, c.moved, 0});
    } else {
      platform::Faults().Add(platform::FaultRule{platform::FsOp::Write, "CHUNK_1", 1, 1, 0, 30000});
    }
    EXPECT_EQ(-1, write(second));

    const int rc = media->Close();
    const std::string file = FileBytes(disk + "/CHUNK_1");
    EXPECT_EQ(c.moved == 0 ? 0 : -1, rc);
    if (rc != 0) {
      EXPECT_EQ(c.code, media->MediaFSGetLastError());
      for (const char* op : {"incrNumPhysicalBytes", "incrNumLogicalBytes", "setFileMarker", "incrNumFiles"}) {
        EXPECT_EQ(0u, MediaManager().Count(op)) << op;
      }
    } else {
      const std::string stream = c.write2 ? first : first + second;
      EXPECT_TRUE(file == stream) << file.size();
      const auto size = static_cast<long long>(file.size());
      EXPECT_EQ(size, MediaManager().CallsOf("incrNumLogicalBytes", kVolId).at(0).args[0]);
      EXPECT_EQ(size, MediaManager().CallsOf("incrNumPhysicalBytes", kVolId).at(0).args[0]);
    }
    // The next archive file goes on.
    EXPECT_EQ(0, WriteFile(*media, Id(CHUNK, 2), second));
    EXPECT_TRUE(FileBytes(disk + "/CHUNK_2") == second);
  }
}

// A job that failed inside a chunk and ended without closing it leaves the chunk's file behind.
// The re-run's create empties it, and the re-run's file is recorded with the bytes the disk lost
// to it, not those less the old file's.
TEST_F(OpticalTest, ChunkThatReplacesAFailedAttemptIsRecordedWithItsBytes) {
  struct Case {
    const char* left;
    long long moved;  // bytes the failed attempt's last write took; -1: no attempt
  };
  const Case cases[] = {{"a partial block", 1000}, {"whole blocks", 0}, {"nothing", -1}};
  const std::string data = Pattern(2 * kBlock + 5, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("the failed attempt left ") + c.left);
    platform::ResetAll();
    std::filesystem::remove_all(disk);
    SetUp();
    DriveSetup().quotaBytes = 100 << 20;
    if (c.moved >= 0) {
      auto failed = Start();
      MediaFSArchiveFileId_t id = Id(CHUNK, 1);
      ASSERT_EQ(0, failed->Create(&id));
      ASSERT_EQ(static_cast<int>(2 * kBlock), failed->Write(data.data(), 2 * kBlock));
      Library().Fail(disk, OpticalFault{"write", 764, 1, 1, c.moved, 0});
      ASSERT_EQ(-1, failed->Write(data.data(), kBlock));
      failed.reset();  // the job ends without a close
      ASSERT_EQ(2 * kBlock + c.moved, FileBytes(disk + "/CHUNK_1").size());
    }

    auto media = Start();
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 1), data));
    const auto size = static_cast<long long>(FileBytes(disk + "/CHUNK_1").size());
    EXPECT_EQ(static_cast<long long>(3 * kBlock), size);
    const auto recorded = MediaManager().CallsOf("incrNumPhysicalBytes", kVolId);
    ASSERT_EQ(1u, recorded.size());
    // KB left is a whole number of KB.
    EXPECT_LE(recorded[0].args[0], size);
    EXPECT_GT(recorded[0].args[0], size - 1024);
  }
}

// Media types 11001 to 11999 keep their files in the logical drive's "OZ_MAGNETIC" folder.
TEST_F(OpticalTest, MagneticLayoutMediaTypes) {
  for (int type : {11000, 11001, 11999, 12000}) {
    SCOPED_TRACE(type);
    platform::ResetAll();
    std::filesystem::remove_all(disk);
    SetUp();
    const bool magnetic = type == 11001 || type == 11999;
    auto media = Start(kDataMoverModeBackup, type);
    std::string folder = disk + "/OZ_MAGNETIC";
    EXPECT_EQ(magnetic ? folder : disk, media->m_strLogicalDrive);
    ASSERT_EQ(0, media->CreateDirWithMode(folder.data(), 0750));
    EXPECT_EQ(std::filesystem::perms(0750), std::filesystem::status(folder).permissions() & std::filesystem::perms::all);
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 4), "chunk"));
    EXPECT_EQ(magnetic, std::filesystem::exists(folder + "/CHUNK_4"));
    EXPECT_EQ(!magnetic, std::filesystem::exists(disk + "/CHUNK_4"));
  }
}

TEST_F(OpticalTest, CreateDirWithModeFailures) {
  auto media = Start();
  std::string existing = disk;
  EXPECT_EQ(-1, media->CreateDirWithMode(existing.data(), 0755));
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(EEXIST)), media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Creation of directory " + disk + " failed. Windows error code is 17"));
  // The media path stays the object's own.
  EXPECT_EQ(disk, media->GetPath());

  std::string fresh = disk + "/AF_1";
  platform::Faults().Add(platform::FaultRule{platform::FsOp::Chmod, "AF_1", 1, 1, EPERM, -1});
  EXPECT_EQ(-1, media->CreateDirWithMode(fresh.data(), 0700));
  EXPECT_EQ(996, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failure while setting file permissions on " + fresh));
}

// Chunks of layout version 1 lie in archive file folders "AF_<id>", named with "/".
TEST_F(OpticalTest, LayoutVersionOneChunksInArchiveFileFolders) {
  std::filesystem::create_directories(disk + "/AF_7");
  const std::string data = Pattern(kBlock + 5, 6);
  std::ofstream(disk + "/AF_7/CHUNK_3", std::ios::binary) << data;
  auto reader = Start(0);
  MediaFSArchiveFileId_t id = Id(CHUNK, 99);
  id.iChunkVersion = 1;
  id.iArchFileId = 7;
  id.ullChunkNumber = 3;
  EXPECT_TRUE(ReadFile(*reader, id, data.size()) == data);
  EXPECT_EQ(disk + "/AF_7/CHUNK_3", Library().CallsOf("open").back().name);
}

// Requests the disk never takes: nothing is written for them.
TEST_F(OpticalTest, RefusedRequestsWriteNothing) {
  auto media = Start();
  for (MediaFSDataType type : {ARCHIVE_HEADER, ARCHIVE_TRAILER}) {
    MediaFSArchiveFileId_t id = Id(type, 1);
    EXPECT_EQ(-1, media->Create(&id));
    EXPECT_EQ(kMFSErrUnknownArchiveType, media->MediaFSGetLastError());
  }
  MediaFSArchiveFileId_t odd = Id(static_cast<MediaFSDataType>(6), 1);
  EXPECT_EQ(-1, media->Create(&odd));
  EXPECT_EQ("Invalid archive file data type specified", media->m_strLastErrorMsg);

  MediaFSArchiveFileId_t chunk = Id(CHUNK, 1);
  ASSERT_EQ(0, media->Create(&chunk));
  int eom = 0;
  EXPECT_EQ(-1, media->WriteToMedia("", 0, &eom));
  EXPECT_EQ(kMFSErrZeroByteWrite, media->MediaFSGetLastError());
  EXPECT_EQ(0u, Library().Count("write"));
  ASSERT_EQ(0, media->Close());

  // A name past 1024 characters fails the create or open instead of naming another file.
  DriveSetup().logicalDrive = disk + "/" + std::string(1015, 'n');
  auto longNames = Start();
  chunk = Id(CHUNK, 123456);
  EXPECT_EQ(-1, longNames->Create(&chunk));
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(ENAMETOOLONG)),
            longNames->MediaFSGetLastError());
  auto reader = Start(0);
  EXPECT_EQ(-1, reader->Open(&chunk, true));
  EXPECT_EQ(1u, Library().Count("open"));  // only the first chunk was ever opened
  EXPECT_EQ((std::vector<std::string>{"CHUNK_1"}), [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(disk)) names.push_back(e.path().filename());
    return names;
  }());
}

// Without a usable drive or logical drive nothing starts; reads and writes without a drive fail
// with 994; the read side may drop its drive, the write side may not.
TEST_F(OpticalTest, DriveSetUpAndReInitialisation) {
  DriveSetup().invalidCode = 764;
  auto unusable = std::make_unique<OpticalUnderTest>(&job, kMediaType);
  EXPECT_EQ(-1, unusable->Init(Params(kDataMoverModeBackup), false));
  EXPECT_TRUE(platform::LogContains("Encounted the error The drive at " + disk + " is not usable"));
  EXPECT_EQ(nullptr, unusable->m_pDrive);
  int eom = 0;
  EXPECT_EQ(-1, unusable->WriteToMedia("x", 1, &eom));
  EXPECT_EQ(994, unusable->MediaFSGetLastError());
  char buf[4];
  EXPECT_EQ(-1, unusable->ReadFromMedia(buf, 4));

  DriveSetup().invalidCode = 0;
  DriveSetup().logicalDriveError = 776;
  auto noDrive = std::make_unique<OpticalUnderTest>(&job, kMediaType);
  EXPECT_EQ(-1, noDrive->Init(Params(0), false));
  EXPECT_EQ(kMFSErrNoLogicalDrive, noDrive->MediaFSGetLastError());
  EXPECT_EQ(nullptr, noDrive->m_pDrive);

  DriveSetup().logicalDriveError = 0;
  auto writer = Start();
  EXPECT_EQ(-1, writer->ReInitializeMedia());
  EXPECT_NE(nullptr, writer->m_pDrive);
  auto reader = Start(0);
  ASSERT_EQ(0, WriteFile(*writer, Id(CHUNK, 1), "data"));
  const long long made = Library().objectsMade;
  EXPECT_EQ(0, reader->ReInitializeMedia());
  EXPECT_EQ(nullptr, reader->m_pDrive);
  EXPECT_EQ("data", ReadFile(*reader, Id(CHUNK, 1), 4));
  EXPECT_EQ(made + 1, Library().objectsMade);
}

// The free space the frame hands to the volume record is the free bytes, the same figure that
// decides when the disk is full.
TEST_F(OpticalTest, FreeSpaceIsTheFreeBytes) {
  SetFreeBytes(10 << 20);
  auto media = Start();
  unsigned long long bytes = 0;
  EXPECT_EQ(0, media->getFreeSpaceFromMedia(bytes));
  EXPECT_EQ(static_cast<unsigned long long>(10 << 20), bytes);
  EXPECT_EQ(10 << 10, media->m_llKBRemaining);
  Library().Fail(disk, OpticalFault{"getFreeSpace", 764, 1, 1, -1, 0});
  EXPECT_EQ(-1, media->getFreeSpaceFromMedia(bytes));
  EXPECT_EQ(0u, bytes);
  EXPECT_TRUE(platform::LogContains("This wont affect the backup anyway"));
}

// A written file whose close fails (its flush did not reach the disk) fails the close: the frame
// records nothing for it.
TEST_F(OpticalTest, CloseThatCannotMakeTheFileDurableFails) {
  auto media = Start();
  MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, media->Create(&id));
  const std::string data = Pattern(kBlock, 7);
  ASSERT_EQ(static_cast<int>(kBlock), media->Write(data.data(), kBlock));
  platform::Faults().Add(platform::FaultRule{platform::FsOp::Flush, "CHUNK_1", 1, 1, EIO, -1});
  EXPECT_EQ(-1, media->Close());
  EXPECT_EQ(0u, MediaManager().Count("incrNumFiles"));
  EXPECT_EQ(0, media->m_iOpenHandle);
  // The next archive file goes on.
  EXPECT_EQ(0, WriteFile(*media, Id(CHUNK, 2), data));
}

}  // namespace
