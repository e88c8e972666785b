// The shared set-up of the frame's tests: a job, a reservation of a 64 KiB-block volume and a
// memory media object, with helpers to read back what the media manager was told.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "memory_media.h"
#include "platform/media_manager_calls.h"
#include "platform/platform.h"

// The block size of the test volume.
inline constexpr unsigned long kBlock = 65536;

// Public members: table setups reach the reservation and the media object.
class FrameTest : public ::testing::Test {
 public:
  static constexpr int kVolId = 7;
  static constexpr int kDriveId = 3;

  FrameTest() {
    reserve.m_blockSizeKB = 64;
    reserve.m_numFiles = 5;
    reserve.m_freeKB = 2048;
  }

  MediaFsInitParams Params(int mediaType = 1, int driveId = kDriveId) {
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.iTHId = 2;
    p.strPath = "/mnt/mp1";
    p.pMlm = &mlm;
    p.iDriveId = driveId;
    p.iMediaType = mediaType;
    p.pReserveMount = &reserve;
    p.strHostName = "client1";
    p.strZovadAdeveName = "za1";
    p.iDataMoverMode = kDataMoverModeBackup;
    return p;
  }

  void InitBackup() { ASSERT_EQ(0, media->Init(Params(), false)); }

  MediaFSArchiveFileId_t ChunkId(long long fileMarker = 6, long long physicalSize = 0) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = CHUNK;
    id.llChunkId = 99;
    id.llFileMarkerNumber = fileMarker;
    id.iChunkVersion = 3;
    id.llPhysicalSize = physicalSize;
    return id;
  }

  // The media manager calls that record a file or a transfer, in order.
  static std::vector<std::string> AccountingOps() {
    return MediaManagerOps({"incrNumPhysicalBytes", "incrNumLogicalBytes", "setFileMarker", "setWriteTime",
                            "incrNumFiles", "updateDataTransferInfo", "markFull"});
  }

  static std::vector<long long> ArgsOf(const std::string& op) { return MediaManagerLastArgs(op); }

  static std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    return s;
  }

  _JobContext job{4242, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  std::unique_ptr<MemoryMedia> media = std::make_unique<MemoryMedia>(&job);
};

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "mfs_core_XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (made != nullptr) m_path = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};
