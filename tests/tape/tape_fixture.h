// The shared set-up of the tape tests: a virtual drive with a labelled cartridge in a temporary
// folder, the media manager's volume, the job's label parameters and drive details, and helpers
// that run backup and restore jobs the way a data mover does (a chunk, then its chunk map
// trailer; restores by file marker).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/nttape.h"
#include "pattern_bytes.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"  // tests/platform: a temporary folder

// Exposes the media object's state to the tests.
class TapeUnderTest : public nt_fs_tape {
 public:
  using nt_fs_tape::nt_fs_tape;
  using media_fs::m_bCloseChunk;
  using media_fs::m_bFileClosed;
  using media_fs::m_bVolumeFull;
  using media_fs::m_bWriting;
  using media_fs::m_iFilesPerClose;
  using media_fs::m_llBytesAtEOM;
  using media_fs::m_llFileMarkerSize;
  using media_fs::m_llFileNumber;
  using media_fs::m_llKBRemaining;
  using media_fs::m_llNumFiles;
  using media_fs::m_llPhysicalBytes;
  using media_fs::m_llReadCachedFM;
  using media_fs::m_llWriteCachedFM;
  using media_fs::m_strDeviceError;
  using media_fs::m_strLastErrorMsg;
  using media_fs::m_bCalculatedSpace;
  using media_fs::m_iArchiveType;
  using media_fs::m_bCountTrailerTransfer;
  using nt_fs_tape::m_bCleanOnCrc;
  using nt_fs_tape::m_bDualMode;
  using nt_fs_tape::m_bVerifyPosition;
  using nt_fs_tape::m_iDriverMode;
  using nt_fs_tape::m_iLastTapePosition;
  using nt_fs_tape::m_iTrailerValidationMode;
  using nt_fs_tape::m_llMarkType;
  using nt_fs_tape::m_pDrive;
  using nt_fs_tape::m_strReservationKey;
};

namespace tapetest {

inline constexpr char kDevice[] = "/dev/nst0";
inline constexpr char kSerial[] = "HU1234567";
inline constexpr char kMediaId[] = "MEDIA-0001-UNIQUE";
inline constexpr int kVolId = 11;
inline constexpr int kDriveId = 5;
inline constexpr int kMediaType = 2;

// The text a data mover writes as a chunk map trailer.
inline std::string TrailerText(long long chunkId, long long fileMarker, const std::string& mediaId,
                               int volId = kVolId) {
  return "CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber " + std::to_string(fileMarker) +
         "\nChunkId " + std::to_string(chunkId) + "\nVolumeId " + std::to_string(volId) +
         "\nTavrixVersion 11.0\nuniqueMediaIdString " + mediaId + "\n";
}

// Deterministic bytes of a stream.
inline std::string Pattern(size_t n, uint64_t seed) { return PatternBytes(n, seed); }

// One job's inputs.
struct JobSetup {
  _JobContext job{7001, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  OZMAOMLParams oml;
  MediaFSDriveDetails details;
  int dataMoverMode = kDataMoverModeBackup;
};

class TapeTest : public ::testing::Test {
 public:
  TapeTest() { block = 65536; }

  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    cartridge = dir / "cartridge.vtape";
    platform::TapeDriveSetup drive;
    drive.serialNumber = kSerial;
    Library().AddDrive(kDevice, drive);
    WriteLabelledTape();
    LoadCartridge();
    platform::MediaManager().volumes[kVolId].numFiles = 1;
  }

  static platform::TapeLibraryState& Library() { return platform::TapeLibrary(); }

  // A tape that holds only the label (file 1).
  void WriteLabelledTape(const std::string& mediaId = kMediaId) {
    ASSERT_TRUE(platform::WriteTapeFile(cartridge, {{platform::FormatTapeLabel(mediaId, block)}}));
  }

  void LoadCartridge(const platform::TapeGeometry& geometry = {}) {
    std::string error;
    ASSERT_TRUE(Library().LoadCartridge(kDevice, cartridge, geometry, &error)) << error;
  }

  // A job's inputs as the media manager would hand them out now: the volume's file count and
  // its cached file marker (the last one recorded, unless reset since).
  JobSetup Job(int dataMoverMode = kDataMoverModeBackup, long long jobId = 7001, int volId = kVolId,
               const std::string& mediaId = kMediaId) {
    JobSetup s;
    s.job.jobId = jobId;
    s.dataMoverMode = dataMoverMode;
    s.reserve.m_blockSizeKB = static_cast<int>(block / 1024);
    s.reserve.m_freeKB = 1 << 30;
    std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());  // jobs may run on threads
    const platform::MMVolume& v = platform::MediaManager().volumes[volId];
    s.reserve.m_numFiles = v.numFiles;
    s.reserve.m_cachedFileMark = -1;
    s.reserve.m_cachedFileMarkKind = 0;
    for (const platform::MMCall& c : platform::MediaManager().calls) {
      if (c.id != volId) continue;
      if (c.op == "setFileMarker" && c.args.size() == 2) {
        s.reserve.m_cachedFileMark = c.args[0];
        s.reserve.m_cachedFileMarkKind = static_cast<int>(c.args[1]);
      } else if (c.op == "resetFileMarker") {
        s.reserve.m_cachedFileMark = -1;
        s.reserve.m_cachedFileMarkKind = 0;
      }
    }
    s.oml.SetUniqueMediaId(mediaId);
    s.oml.m_strSerialNumber = kSerial;
    s.oml.m_uiFlags = OZMAOMLParams::kFlagCheckSerialNumber;
    return s;
  }

  MediaFsInitParams Params(JobSetup& s, int mediaType = kMediaType, int volId = kVolId,
                           const std::string& device = kDevice) {
    MediaFsInitParams p;
    p.iVolId = volId;
    p.iTHId = 2;
    p.strPath = device;
    p.pMlm = &s.mlm;
    p.iDriveId = kDriveId;
    p.iMediaType = mediaType;
    p.pOmlParams = &s.oml;
    p.pDriveDetails = &s.details;
    p.pReserveMount = &s.reserve;
    p.strHostName = "client1";
    p.strZovadAdeveName = "za1";
    p.iDataMoverMode = s.dataMoverMode;
    return p;
  }

  std::unique_ptr<TapeUnderTest> NewTape(JobSetup& s, bool dual = false, const std::string& device = kDevice) {
    return std::make_unique<TapeUnderTest>(&s.job, kMediaType, device.c_str(), dual);
  }

  // A media object for the job, initialised.
  std::unique_ptr<TapeUnderTest> Start(JobSetup& s, int volId = kVolId, const std::string& device = kDevice) {
    auto tape = NewTape(s, false, device);
    EXPECT_EQ(0, tape->Init(Params(s, kMediaType, volId, device), false)) << tape->m_strLastErrorMsg;
    return tape;
  }

  static MediaFSArchiveFileId_t Id(MediaFSDataType type, long long chunkId = 0, long long fileMarker = 0,
                                   long long physicalSize = 0) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = type;
    id.llChunkId = chunkId;
    id.llFileMarkerNumber = fileMarker;
    id.llPhysicalSize = physicalSize;
    id.iChunkVersion = 3;
    id.iTrailerValidationMode = 2;
    return id;
  }

  // Writes one archive file through Write and Close: 0, or the failing step's result.
  static int WriteFile(TapeUnderTest& tape, MediaFSArchiveFileId_t id, const std::string& data) {
    if (int rc = tape.Create(&id); rc != 0) return rc;
    if (!data.empty() && tape.Write(data.data(), data.size()) != static_cast<int>(data.size())) return -2;
    return tape.Close();
  }

  // A chunk and its chunk map trailer, as a data mover writes them; returns the chunk's file
  // marker (0 on failure).
  long long BackupChunk(TapeUnderTest& tape, long long chunkId, const std::string& data, int trailerMode = 2) {
    MediaFSArchiveFileId_t chunk = Id(CHUNK, chunkId);
    chunk.iTrailerValidationMode = trailerMode;
    if (WriteFile(tape, chunk, data) != 0) return 0;
    const long long marker = tape.GetFileNumber();
    MediaFSArchiveFileId_t trailer = Id(CHUNKMAP_TRAILER, chunkId);
    if (WriteFile(tape, trailer, TrailerText(chunkId, marker, kMediaId)) != 0) return 0;
    return marker;
  }

  // Opens the archive file with the file marker and reads `size` bytes of it (the rest of the last
  // block is padding); the bytes read, or a text that starts with "FAILED".
  static std::string Restore(TapeUnderTest& tape, long long fileMarker, size_t size) {
    MediaFSArchiveFileId_t id = Id(CHUNK, 0, fileMarker, static_cast<long long>(size));
    if (tape.Open(&id, true) != 0) return "FAILED open: " + tape.m_strLastErrorMsg;
    std::string out(size, '\0');
    const int got = size == 0 ? 0 : tape.Read(out.data(), size);
    if (got != static_cast<int>(size)) return "FAILED read " + std::to_string(got) + ": " + tape.GetErrorString();
    if (tape.Close() != 0) return "FAILED close";
    return out;
  }

  TempDir dir;
  std::string cartridge;
  unsigned long block;
};

}  // namespace tapetest
