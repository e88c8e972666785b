// The shared set-up of the optical disk tests: a folder in a temporary folder as the disk (its
// media path and logical drive), the optical drive registered for it, the media manager's volume
// and a job's inputs, and helpers that write and read archive files the way a data mover does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "MediaFileSystem/NTOptical.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"  // tests/platform: a temporary folder
#include "archive_file_io.h"

// Exposes the media object's state to the tests.
class OpticalUnderTest : public nt_fs_optical {
 public:
  using nt_fs_optical::nt_fs_optical;
  using media_fs::BuildChunkCollectFile;
  using media_fs::m_bCloseChunk;
  using media_fs::m_llDriveBytesWritten;
  using media_fs::m_llKBRemaining;
  using media_fs::m_llMinFreeKB;
  using media_fs::m_llPhysicalBytes;
  using media_fs::m_strLastErrorMsg;
  using nt_fs_optical::m_iOpenHandle;
  using nt_fs_optical::m_pCatalogFile;
  using nt_fs_optical::m_pDrive;
  using nt_fs_optical::m_strLogicalDrive;
};

namespace opticaltest {

inline constexpr int kVolId = 31;
inline constexpr int kDriveId = 9;
inline constexpr int kMediaType = 9;
inline constexpr unsigned long kBlock = 65536;

using archivefiles::Pattern;

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

class OpticalTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    disk = dir / "disk";
    std::filesystem::create_directories(disk);
    platform::OpticalLibrary().AddDrive(disk);
    platform::MediaManager().volumes[kVolId].numFiles = 1;
  }

  static platform::OpticalLibraryState& Library() { return platform::OpticalLibrary(); }
  platform::OpticalDriveSetup& DriveSetup() { return Library().Slot(disk)->setup; }

  // The disk holds `bytes` bytes in all, so `free` of them are free now.
  void SetFreeBytes(long long free) {
    unsigned long long used = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(disk)) {
      if (e.is_regular_file()) used += e.file_size();
    }
    DriveSetup().quotaBytes = static_cast<long long>(used) + free;
  }

  MediaFsInitParams Params(int dataMoverMode, int mediaType = kMediaType) {
    reserve.m_blockSizeKB = static_cast<int>(block / 1024);
    reserve.m_freeKB = 1 << 30;
    reserve.m_numFiles = platform::MediaManager().volumes[kVolId].numFiles;
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.iTHId = 2;
    p.strPath = disk;
    p.pMlm = &mlm;
    p.iDriveId = kDriveId;
    p.iMediaType = mediaType;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = dataMoverMode;
    return p;
  }

  // A media object of the given type, initialised for a backup (or a restore, or the reader mode).
  std::unique_ptr<OpticalUnderTest> Start(int dataMoverMode = kDataMoverModeBackup, int objectType = kMediaType,
                                          int initType = kMediaType) {
    auto media = std::make_unique<OpticalUnderTest>(&job, objectType);
    EXPECT_EQ(0, media->Init(Params(dataMoverMode, initType), false)) << media->m_strLastErrorMsg;
    return media;
  }

  static MediaFSArchiveFileId_t Id(MediaFSDataType type, long long chunkId = 0, long long physicalSize = 0) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = type;
    id.llChunkId = chunkId;
    id.llPhysicalSize = physicalSize;
    id.iChunkVersion = 3;
    return id;
  }

  static int WriteFile(nt_fs_optical& media, MediaFSArchiveFileId_t id, const std::string& data) {
    return archivefiles::Write(media, id, data);
  }
  static std::string ReadFile(nt_fs_optical& media, MediaFSArchiveFileId_t id, size_t size) {
    return archivefiles::Read(media, id, size);
  }

  TempDir dir;
  std::string disk;
  unsigned long block = kBlock;  // the volume's block size
  _JobContext job{8001, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
};

}  // namespace opticaltest
