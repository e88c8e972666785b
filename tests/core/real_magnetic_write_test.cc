// The disk media's write road in detail: the archive file kinds a mount path takes, paths that do
// not fit, creation failures, the chunk size check of a close, the flush and read-only marking,
// and what a power cut leaves of the archive files whose close returned 0.
//
// MFS_POWER_CUTS sets the number of power cuts at random points of the jobs (default 40).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "disk_media_fixture.h"
#include "power_cut.h"
#include "test_env.h"
#include "test_seed.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr long long kBlock = 65536;

class RealMagneticWriteTest : public DiskMediaTest {};

TEST_F(RealMagneticWriteTest, ArchiveFileKinds) {
  struct Case {
    uint32_t type;
    const char* file;  // null: refused
    const char* log;
  };
  const Case cases[] = {
      {MEDIA_HEADER, nullptr, "Some has tried to create a MEDIA_HEADER on magnetic.. that is not supported after 4.2 "},
      {MEDIA_TRAILER, "MEDIA_TRAILER", nullptr},
      {ARCHIVE_HEADER, nullptr,
       "Some has tried to create a ARCHIVE_HEADER on magnetcic.. that is not supported after 4.2 "},
      {ARCHIVE_TRAILER, nullptr,
       "Some has tried to create a ARCHIVE_TRAILER on magnetic.. that is not supported after 4.2 "},
      {CHUNK, "CHUNK_77", nullptr},
      {CHUNKMAP_TRAILER, "CHUNKMAP_TRAILER_77", nullptr},
      {6, nullptr, "Invalid Archive File data type has been specified"},
  };
  auto media = Backup();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    std::filesystem::remove_all(mountPath);
    mkdir(mountPath.c_str(), 0755);
    const MediaFSArchiveFileId_t id = Id(c.type, 77);
    if (c.file != nullptr) {
      EXPECT_EQ(0, media->Create(&id));
      EXPECT_EQ(Path(c.file), media->m_szChunkPath);
      EXPECT_EQ(0, media->Close());
      EXPECT_EQ(std::vector<std::string>{c.file}, MountPathFiles());
      continue;
    }
    EXPECT_EQ(-1, media->Create(&id));
    EXPECT_EQ(kMFSErrUnknownArchiveType, media->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains(c.log));
    EXPECT_EQ(c.type == 6 ? "Invalid archive file type specified"
                          : "Archive file of unknown type has been requested for creation",
              media->m_strLastErrorMsg);
    EXPECT_TRUE(MountPathFiles().empty());
  }
}

TEST_F(RealMagneticWriteTest, ZeroByteWriteIsRefused) {
  auto media = Backup();
  int eom = 7;
  EXPECT_EQ(-1, media->WriteToMedia("", 0, &eom));
  EXPECT_EQ(0, eom);
  EXPECT_EQ(kMFSErrZeroByteWrite, media->MediaFSGetLastError());
  EXPECT_EQ("Request to write zero bytes - Magnetic Mount Path=<" + mountPath + ">", media->GetErrorString());
  EXPECT_EQ("Request to write zero bytes on a magnetic media is invalid", media->m_strLastErrorMsg);
}

// A mount path whose file names would pass the path buffer: refused with a clear error, nothing
// written past the buffer, no file made.
TEST_F(RealMagneticWriteTest, PathThatDoesNotFitIsRefused) {
  std::string longPath = dir.path();
  while (longPath.size() < 1000) {
    longPath += "/" + std::string(std::min<size_t>(200, 999 - longPath.size()), 'd');
  }
  ASSERT_TRUE(std::filesystem::create_directories(longPath));
  ASSERT_EQ(1000u, longPath.size());
  mountPath = longPath;
  auto media = Backup();
  for (uint32_t type : {CHUNK, CHUNKMAP_TRAILER}) {
    const MediaFSArchiveFileId_t id = Id(type, 9000000000000000000LL);
    EXPECT_EQ(-1, media->Create(&id));
    EXPECT_EQ('\0', media->m_szChunkPath[0]);
    EXPECT_EQ(103, media->MediaFSGetLastError());
    EXPECT_NE(std::string::npos, media->m_strLastErrorMsg.find("does not fit in 1023 characters"));
  }
  const MediaFSArchiveFileId_t trailer = Id(MEDIA_TRAILER, 0);
  EXPECT_EQ(0, media->Create(&trailer)) << "the media trailer's name still fits";
  EXPECT_EQ(0, media->Close());

  auto restore = Restore();
  const MediaFSArchiveFileId_t chunk = Id(CHUNK, 9000000000000000000LL);
  EXPECT_EQ(-1, restore->Open(&chunk, false));
  EXPECT_NE(std::string::npos, restore->m_strLastErrorMsg.find("does not fit in 1023 characters"));
  EXPECT_EQ(std::vector<std::string>{"MEDIA_TRAILER"}, [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(longPath)) names.push_back(e.path().filename());
    return names;
  }());
}

// The chunk file cannot be created: a full disk or a refused access marks the volume full.
TEST_F(RealMagneticWriteTest, CreateFailures) {
  struct Case {
    int err;
    long long code;
    bool markedFull;
  };
  const Case cases[] = {{ENOSPC, 767, true}, {EACCES, 996, true}, {EIO, 762, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    platform::ResetAll();
    auto media = Backup();
    Faults().Add(FaultRule{FsOp::Open, "CHUNK_1", 1, 1, c.err});
    const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    EXPECT_EQ(-1, media->Create(&id));
    EXPECT_EQ(c.code, media->MediaFSGetLastError());
    EXPECT_EQ(c.markedFull, media->m_bDiskFull);
    EXPECT_EQ(c.markedFull ? 1u : 0u, platform::MediaManager().Count("markFull"));
    EXPECT_TRUE(platform::LogContains("Could not create the file [" + Path("CHUNK_1") + "]"));
    EXPECT_EQ(0u, media->m_strLastErrorMsg.find("Error occurred in Magnetic Media, Path [" + mountPath + "]. "));
  }
}

// Nothing tells a write close the chunk's size in the database, so the file must hold exactly the
// blocks the frame wrote: a chunk of many blocks closes, a file changed behind the object fails.
TEST_F(RealMagneticWriteTest, WriteCloseChecksTheBytesWritten) {
  auto media = Backup();
  ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNK, 1), ChunkBytes(5 * kBlock)));
  EXPECT_EQ(6 * kBlock, FileSize(Path("CHUNK_1")));

  const MediaFSArchiveFileId_t id = Id(CHUNK, 2);
  ASSERT_EQ(0, media->Create(&id));
  const std::string bytes = ChunkBytes(2 * kBlock);
  ASSERT_EQ(static_cast<int>(bytes.size()), media->Write(bytes.data(), bytes.size()));
  std::ofstream(Path("CHUNK_2"), std::ios::app) << std::string(100000, 'x');
  EXPECT_EQ(-1, media->Close());
  EXPECT_EQ(1208, media->MediaFSGetLastError());
  EXPECT_EQ(1u, platform::MediaManager().Count("setFileMarker")) << "only the first chunk is recorded";
  EXPECT_TRUE(platform::LogContains("Physical Size of Chunk on Disk = [231072]"));
}

// With the database's size known (a restore), the file holds it and the header, in whole blocks.
TEST_F(RealMagneticWriteTest, ChunkSizeAgainstTheDatabase) {
  struct Case {
    long long dbSize, fileSize;
    int valid;
  };
  const Case cases[] = {{1000, kBlock, 1}, {1000, 2 * kBlock, 0}, {0, kBlock, 1}, {kBlock - 1024, kBlock, 1},
                        {kBlock - 1023, kBlock, 0}, {kBlock - 1023, 2 * kBlock, 1}};
  auto media = Restore();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dbSize << " in " << c.fileSize);
    std::ofstream(Path("CHUNK_1")) << std::string(static_cast<size_t>(c.fileSize), 'x');
    media->MediaFSSetLastError(0);
    media->m_llDbPhysicalSize = c.dbSize;
    EXPECT_EQ(c.valid, media->validateChunkSize(Path("CHUNK_1").c_str()));
    EXPECT_EQ(c.valid ? 0 : 1208, media->MediaFSGetLastError());
  }
  EXPECT_EQ(0, media->validateChunkSize(Path("missing").c_str()));
  EXPECT_EQ(993, media->MediaFSGetLastError());
}

TEST_F(RealMagneticWriteTest, FailedFlushFailsTheCloseAndKeepsTheFileOpen) {
  auto media = Backup();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, media->Create(&id));
  Faults().Add(FaultRule{FsOp::Flush, "CHUNK_1", 1, 1, EIO});
  EXPECT_EQ(-1, media->Close());
  EXPECT_EQ(762, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("RealMagneticFS::CloseSpecific: Cannot finalize the chunk."));
  EXPECT_TRUE(media->m_pFile->IsValid());
  EXPECT_EQ(0u, platform::MediaManager().Count("incrNumFiles"));
}

// The close of an archive file makes its name durable as well as its bytes: a folder that cannot
// be flushed fails the close as a file that cannot be flushed does, before anything is recorded.
TEST_F(RealMagneticWriteTest, FailedFolderFlushFailsTheClose) {
  struct Case {
    const char* what;
    FaultRule rule;
  };
  // The rules count from the Create on: the chunk file's own flush is the first flush below the
  // mount path, the folder's open the first open.
  const Case cases[] = {{"open of the folder", FaultRule{FsOp::Open, "", 1, 1, EIO}},
                        {"flush of the folder", FaultRule{FsOp::Flush, "", 2, 1, EIO}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    auto media = Backup();
    const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    ASSERT_EQ(0, media->Create(&id));
    const std::string bytes = ChunkBytes(1000);
    ASSERT_EQ(static_cast<int>(bytes.size()), media->Write(bytes.data(), bytes.size()));
    FaultRule rule = c.rule;
    rule.pathContains = mountPath;
    Faults().Add(rule);
    EXPECT_EQ(-1, media->Close());
    EXPECT_EQ(762, media->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains("Cannot flush the folder [" + mountPath + "]"));
    EXPECT_TRUE(platform::LogContains("RealMagneticFS::CloseSpecific: Cannot finalize the chunk."));
    EXPECT_TRUE(AccountingOps().empty());
  }
}

TEST_F(RealMagneticWriteTest, ReadOnlyChunksAfterClose) {
  auto media = Backup();
  media->SetChunkAsReadOnly(30);
  ASSERT_EQ(0, WriteArchiveFile(*media, Id(CHUNK, 1), ChunkBytes(10)));
  struct stat st {};
  ASSERT_EQ(0, stat(Path("CHUNK_1").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0222);
  EXPECT_GT(st.st_atime, st.st_mtime + 29 * 86400);
}

// Two backup jobs, each a chunk and its chunk map trailer, every close returning 0, and then the
// power goes: after the jobs, or at a random call of the layer during them. Every archive file
// whose close returned 0 is still there, byte for byte, whichever way the cut loses what was not
// flushed.
class RealMagneticPowerCutTest : public RealMagneticWriteTest {
 protected:
  struct ArchiveFile {
    uint32_t type;
    long long chunkId;
    std::string name;
    std::string bytes;
  };

  RealMagneticPowerCutTest() {
    const std::string trailer = "CHUNK_MAP_TRAILER_VERSION 1\n";
    files = {{CHUNK, 1, "CHUNK_1", ChunkBytes(200000, 1)},
             {CHUNKMAP_TRAILER, 1, "CHUNKMAP_TRAILER_1", trailer + Pattern(996, 3)},
             {CHUNK, 2, "CHUNK_2", ChunkBytes(70000, 2)},
             {CHUNKMAP_TRAILER, 2, "CHUNKMAP_TRAILER_2", trailer + Pattern(996, 4)}};
  }

  // Job 1 writes the first two files, job 2 the last two, each with a media object of its own;
  // `closed` gets the index of every file whose close returned 0. 0 when all were written.
  int RunJobs(std::vector<size_t>& closed) {
    for (size_t job = 0; job < 2; ++job) {
      auto media = Make();
      if (media->Init(Params(), false) != 0) return -1;
      for (size_t i = 2 * job; i < 2 * job + 2; ++i) {
        if (WriteArchiveFile(*media, Id(files[i].type, files[i].chunkId), files[i].bytes) != 0) return -1;
        closed.push_back(i);
      }
    }
    return 0;
  }

  // The file as its close left it: the bytes written and the padding of the last block.
  static std::string OnDisk(const std::string& bytes) {
    std::string padded = bytes;
    padded.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, '0');
    return padded;
  }

  void ExpectClosedFilesIntact(const std::vector<size_t>& closed) {
    for (size_t i : closed) {
      EXPECT_TRUE(FileBytes(Path(files[i].name)) == OnDisk(files[i].bytes)) << files[i].name << " is not intact";
    }
  }

  // A new empty mount path; what is on disk when the model starts counts as flushed.
  void FreshMountPath() {
    std::filesystem::remove_all(mountPath);
    ASSERT_EQ(0, mkdir(mountPath.c_str(), 0755));
  }

  std::vector<ArchiveFile> files;
};

TEST_F(RealMagneticPowerCutTest, CutAfterTheJobsKeepsEveryClosedFile) {
  for (platform::PowerCutMode mode : {platform::PowerCutMode::kDropUnflushed, platform::PowerCutMode::kRandomPages}) {
    FreshMountPath();
    const long long filesBefore = static_cast<long long>(platform::MediaManager().Count("incrNumFiles"));
    powercut::Plan plan;
    plan.mode = mode;
    plan.seed = mfstest::Seed(20240701);
    std::vector<size_t> closed;
    const powercut::Result r = powercut::Run(plan, [&] { return RunJobs(closed); });
    SCOPED_TRACE(r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    ASSERT_EQ(0, r.writerStatus);
    ASSERT_EQ(4u, closed.size());
    EXPECT_EQ(4, static_cast<long long>(platform::MediaManager().Count("incrNumFiles")) - filesBefore);
    EXPECT_EQ(0, r.report.namesUndone);
    ExpectClosedFilesIntact(closed);
  }
}

TEST_F(RealMagneticPowerCutTest, CutsDuringTheJobsKeepEveryClosedFile) {
  const int cuts = mfstest::EnvCount("MFS_POWER_CUTS", 40);
  std::mt19937_64 rng(mfstest::Seed(20240702));
  for (int cut = 1; cut <= cuts; ++cut) {
    FreshMountPath();
    powercut::Plan plan;
    plan.mode = cut % 2 == 0 ? platform::PowerCutMode::kRandomPages : platform::PowerCutMode::kDropUnflushed;
    plan.seed = rng() | 1;
    plan.step = 1 + static_cast<long>(rng() % 60);  // the jobs make about 50 calls
    std::vector<size_t> closed;
    const powercut::Result r = powercut::Run(plan, [&] { return RunJobs(closed); });
    SCOPED_TRACE(r.Describe());
    ASSERT_TRUE(r.report.errors.empty());
    ExpectClosedFilesIntact(closed);
    if (HasFailure()) return;
  }
}

}  // namespace
