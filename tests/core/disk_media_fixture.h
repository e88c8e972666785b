// The shared set-up of the disk media's tests: a real mount path folder in a temporary folder, a
// reservation of a 64 KiB-block volume with a 50 MB reserve, and helpers that drive chunks through
// RealMagneticFS the way a data mover does.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "MediaFileSystem/RealMagnetic.h"
#include "frame_fixture.h"

// The disk media with its state readable by the tests.
class DiskMedia : public RealMagneticFS {
 public:
  using RealMagneticFS::RealMagneticFS;
  using RealMagneticFS::m_bCloseChunk;
  using RealMagneticFS::m_bDiskFull;
  using RealMagneticFS::m_bVolumeFull;
  using RealMagneticFS::m_bWriting;
  using RealMagneticFS::m_iCtorFlag;
  using RealMagneticFS::m_llBytesLeftToRead;
  using RealMagneticFS::m_llBytesSinceSpaceCheck;
  using RealMagneticFS::m_llDbPhysicalSize;
  using RealMagneticFS::m_llFileNumber;
  using RealMagneticFS::m_llKBRemaining;
  using RealMagneticFS::m_llMaxChunkSize;
  using RealMagneticFS::m_llMaxSpaceToFill;
  using RealMagneticFS::m_llNumFiles;
  using RealMagneticFS::m_llPhysicalBytes;
  using RealMagneticFS::m_llReserveMB;
  using RealMagneticFS::m_llRlen;
  using RealMagneticFS::m_llRoff;
  using RealMagneticFS::m_llSpaceOccupied;
  using RealMagneticFS::m_LoggedOnUser;
  using RealMagneticFS::m_pCatalogFile;
  using RealMagneticFS::m_pFile;
  using RealMagneticFS::m_pGenericFS;
  using RealMagneticFS::m_strLastErrorMsg;
  using RealMagneticFS::m_szChunkPath;
  using RealMagneticFS::m_ullSpaceCheckLimit;
};

inline constexpr unsigned long long kMiB = 1ULL << 20;
inline constexpr int kChunkHeaderBytes = 1024;

// The frame's set-up (job, reservation, volume and drive ids) with a mount path of real files.
class DiskMediaTest : public FrameTest {
 public:
  DiskMediaTest() {
    mountPath = dir.path() + "/mp";
    mkdir(mountPath.c_str(), 0755);
    reserve.m_lowWaterMarkMB = 10;  // below the least reserve: 50 MB
    // A known free space, so the records that carry it are exact.
    platform::Faults().SetFreeSpace(mountPath, kFreeBytes);
  }

  // A disk media object of the mount path; `noLogon` 1 keeps the stand-in user as constructed.
  std::unique_ptr<DiskMedia> Make(int noLogon = 1) {
    CFSInitParams params;
    params.m_Host.m_Path = mountPath;
    params.m_User.m_UserName = "dom\\backup";
    params.m_User.m_Password = "secret";
    return std::make_unique<DiskMedia>(&job, params, noLogon);
  }

  MediaFsInitParams Params(int dataMoverMode = kDataMoverModeBackup, int mediaType = 1) {
    MediaFsInitParams p = FrameTest::Params(mediaType);
    p.strPath = mountPath;
    p.iDataMoverMode = dataMoverMode;
    return p;
  }

  std::unique_ptr<DiskMedia> Backup() {
    auto media = Make();
    EXPECT_EQ(0, media->Init(Params(), false));
    return media;
  }

  std::unique_ptr<DiskMedia> Restore() {
    auto media = Make();
    EXPECT_EQ(0, media->Init(Params(0), false));
    return media;
  }

  static MediaFSArchiveFileId_t Id(uint32_t type, long long chunkId, long long physicalSize = 0,
                                   long long fileMarker = 0) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = type;
    id.llChunkId = chunkId;
    id.llFileMarkerNumber = fileMarker;
    id.iChunkVersion = 3;
    id.llPhysicalSize = physicalSize;
    return id;
  }

  // The host's 1024-byte chunk header and `payload` bytes of data.
  static std::string ChunkBytes(size_t payload, unsigned seed = 1) {
    std::string header = "DEMO_CHUNK_HEADER 1\n";
    header.resize(kChunkHeaderBytes, ' ');
    return header + FrameTest::Pattern(payload, seed);
  }

  // Create, Write in pieces, Close: the result of Close (or of the first step that failed).
  static int WriteArchiveFile(DiskMedia& media, const MediaFSArchiveFileId_t& id, const std::string& bytes,
                              size_t piece = 30000) {
    int rc = media.Create(&id);
    if (rc != 0) return rc;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      const size_t n = std::min(piece, bytes.size() - at);
      if (media.Write(bytes.data() + at, n) != static_cast<int>(n)) return -1;
    }
    return media.Close();
  }

  // Open, Read all `size` bytes in pieces, Close.
  static std::string ReadArchiveFile(DiskMedia& media, const MediaFSArchiveFileId_t& id, size_t size,
                                     size_t piece = 25000) {
    if (media.Open(&id, false) != 0) return "<open failed>";
    std::string out(size, '\0');
    for (size_t at = 0; at < size; at += piece) {
      const size_t n = std::min(piece, size - at);
      if (media.Read(out.data() + at, n) != static_cast<int>(n)) return "<read failed>";
    }
    if (media.Close() != 0) return "<close failed>";
    return out;
  }

  static std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  }

  std::vector<std::string> MountPathFiles() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(mountPath)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string Path(const std::string& name) const { return mountPath + "/" + name; }

  static std::vector<std::vector<long long>> AllArgsOf(const std::string& op) { return MediaManagerAllArgs(op); }

  static constexpr unsigned long long kFreeBytes = 10ULL << 30;

  TempDir dir;
  std::string mountPath;
};
