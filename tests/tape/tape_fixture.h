// The shared set-up of the tape tests: a virtual drive with a labelled cartridge in a temporary
// folder, the media manager's volume, the job's label parameters and drive details, and helpers
// that run backup and restore jobs the way a data mover does (a chunk, then its chunk map
// trailer; restores by file marker).
//
// The fixture is generic over the tape media class: TapeTestT<nt_fs_tape> (TapeTest) and
// TapeTestT<ndmp_fs_tape>. TapeKind<Media> makes the objects and states, for the tests that run
// over both classes, what each class does differently on their roads.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "MediaFileSystem/ndmpTape.h"
#include "MediaFileSystem/nttape.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"  // tests/platform: a temporary folder
#include "archive_file_io.h"

// Exposes the state that both tape media classes have to the tests.
template <class Media>
class TapeUnder : public Media {
 public:
  using Media::Media;
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
  using Media::m_llMarkType;
  using Media::m_pDrive;
  using Media::m_strReservationKey;
};

// The SCSI tape media, with its own state.
class TapeUnderTest : public TapeUnder<nt_fs_tape> {
 public:
  using TapeUnder<nt_fs_tape>::TapeUnder;
  using nt_fs_tape::m_bCleanOnCrc;
  using nt_fs_tape::m_bDualMode;
  using nt_fs_tape::m_bVerifyPosition;
  using nt_fs_tape::m_iDriverMode;
  using nt_fs_tape::m_iLastTapePosition;
  using nt_fs_tape::m_iTrailerValidationMode;
};

// The NDMP tape media, with its own state.
class NdmpUnderTest : public TapeUnder<ndmp_fs_tape> {
 public:
  using TapeUnder<ndmp_fs_tape>::TapeUnder;
  using ndmp_fs_tape::m_strConnection1;
  using ndmp_fs_tape::m_strConnection2;
  using ndmp_fs_tape::m_strConnection3;
};

namespace tapetest {

inline constexpr char kDevice[] = "/dev/nst0";
inline constexpr char kSerial[] = "HU1234567";
inline constexpr char kMediaId[] = "MEDIA-0001-UNIQUE";
inline constexpr int kVolId = 11;
inline constexpr int kDriveId = 5;
inline constexpr int kMediaType = 2;

// What the host hands to the NDMP drive library.
inline constexpr char kNdmpText1[] = "ndmp-server.example:10000";
inline constexpr char kNdmpText2[] = "ndmp-user";
inline constexpr char kNdmpText3[] = "ndmp-secret";

template <class Media>
struct TapeKind;

template <>
struct TapeKind<nt_fs_tape> {
  using Under = TapeUnderTest;
  static std::unique_ptr<Under> Make(_JobContext* job, const std::string& device, bool dual) {
    return std::make_unique<Under>(job, kMediaType, device.c_str(), dual);
  }
  // What the class does differently on the roads that both classes' tests go.
  static constexpr bool kLeotMarksFull = true;        // the logical end of the tape marks the volume full
  static constexpr bool kOpenRecordsReadPosition = true;  // an open caches the opened file's marker
  static constexpr char kSpacingLine[] = "Forwarding by fileMarker=";
  static constexpr char kStaleReadPositionLine[] = "Failed to validate the read cached filemarker location for restore";
  static constexpr char kShortTrailerLine[] = "Could not read Data for Chunk Map Trailer";
  static constexpr char kLeotWholeBlockLine[] =
      "Logical End of Media encountered while writing at fileMarker=1. path=/dev/nst0. VolId=11 bytes_written "
      "65536. Will span tape.";
};

template <>
struct TapeKind<ndmp_fs_tape> {
  using Under = NdmpUnderTest;
  static std::unique_ptr<Under> Make(_JobContext* job, const std::string& device, bool) {
    return std::make_unique<Under>(job, kMediaType, device.c_str(), kNdmpText1, kNdmpText2, kNdmpText3);
  }
  static constexpr bool kLeotMarksFull = false;
  static constexpr bool kOpenRecordsReadPosition = false;
  static constexpr char kSpacingLine[] = "Forwarding to fileMarker=";
  static constexpr char kStaleReadPositionLine[] =
      "Could not validate the read cached filemarker location for restore";
  static constexpr char kShortTrailerLine[] = "Could not read OML on tape media path=/dev/nst0";
  static constexpr char kLeotWholeBlockLine[] =
      "End of Media encountered while writing to tape at fileMarker=1 tape media path=/dev/nst0 - Tape VolId=11 "
      "bytes_written 65536";
};

// Both tape media classes, for typed tests.
using TapeMediaTypes = ::testing::Types<nt_fs_tape, ndmp_fs_tape>;

struct TapeMediaNames {
  template <class Media>
  static std::string GetName(int) {
    return std::is_same_v<Media, nt_fs_tape> ? "Scsi" : "Ndmp";
  }
};

// The text a data mover writes as a chunk map trailer.
inline std::string TrailerText(long long chunkId, long long fileMarker, const std::string& mediaId,
                               int volId = kVolId) {
  return "CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber " + std::to_string(fileMarker) +
         "\nChunkId " + std::to_string(chunkId) + "\nVolumeId " + std::to_string(volId) +
         "\nTavrixVersion 11.0\nuniqueMediaIdString " + mediaId + "\n";
}

using archivefiles::Pattern;

// One job's inputs.
struct JobSetup {
  _JobContext job{7001, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  OZMAOMLParams oml;
  MediaFSDriveDetails details;
  int dataMoverMode = kDataMoverModeBackup;
};

// A drive that a bus rescan finds at another access path.
inline constexpr char kNewPath[] = "/dev/nst7";
inline constexpr int kController = 3;

// The automatic SCSI update is on; its last run was just now, so a rescan asks the media manager
// for the controller's access path (or, with `due`, reconfigures and reads the device
// configuration).
inline void EnableRefresh(JobSetup& s, const std::string& newPath, bool due = false) {
  s.details.iDriveControllerId = kController;
  s.details.uiAutoScsiUpdateFlags = 1;
  s.details.iAutoScsiUpdateIntervalSec = 3600;
  if (!due) {
    platform::Config().SetNumber("ZovadAdeve", "lastUpdateScsiTime", platform::NowMs() / 1000);
    platform::MediaManager().dcpAccessPaths[kController] = newPath;
  } else {
    platform::Config().mediaConfig.driveControllers[kController] = newPath;
  }
}

template <class Media>
class TapeTestT : public ::testing::Test {
 public:
  using Kind = TapeKind<Media>;
  using Tape = typename Kind::Under;

  TapeTestT() { block = 65536; }

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

  std::unique_ptr<Tape> NewTape(JobSetup& s, bool dual = false, const std::string& device = kDevice) {
    return Kind::Make(&s.job, device, dual);
  }

  // A media object for the job, initialised.
  std::unique_ptr<Tape> Start(JobSetup& s, int volId = kVolId, const std::string& device = kDevice) {
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
  static int WriteFile(Tape& tape, MediaFSArchiveFileId_t id, const std::string& data) {
    return archivefiles::Write(tape, id, data);
  }

  // A chunk and its chunk map trailer, as a data mover writes them; returns the chunk's file
  // marker (0 on failure).
  long long BackupChunk(Tape& tape, long long chunkId, const std::string& data, int trailerMode = 2) {
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
  static std::string Restore(Tape& tape, long long fileMarker, size_t size) {
    return archivefiles::Read(tape, Id(CHUNK, 0, fileMarker), size);
  }

  TempDir dir;
  std::string cartridge;
  unsigned long block;
};

using TapeTest = TapeTestT<nt_fs_tape>;

}  // namespace tapetest
