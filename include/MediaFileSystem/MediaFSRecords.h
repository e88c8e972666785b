// Records that a host hands to a media object, and the parsed chunk map trailer.
//
// MediaFsInitParams goes to media_fs::Init by value; MediaFSArchiveFileId_t names one archive file
// (a chunk, a chunk map trailer, a media header or trailer) for Create, Open, WriteMediaHeader and
// WriteMediaTrailer. Field order is the order the hosts fill them in.
#pragma once

#include <cstdint>
#include <string>

#include "platform/onmedia_label.h"

struct MLMMessageInstance;
class OZMMreserveMount;

// Kinds of archive file (the data type of MediaFSArchiveFileId_t).
enum MediaFSDataType : uint32_t {
  MEDIA_HEADER = 0,
  MEDIA_TRAILER = 1,
  ARCHIVE_HEADER = 2,
  ARCHIVE_TRAILER = 3,
  CHUNK = 4,
  CHUNKMAP_TRAILER = 5,
};

// The kind of data the data mover passes to WriteIntercept; the frame only forwards it.
enum DmDataType : int32_t {};

// The media type of the reader mode, which works without the media manager.
inline constexpr int kMediaTypeReader = 16;
// The data mover mode of a backup.
inline constexpr int kDataMoverModeBackup = 1;

// What the host knows of a tape drive; the host owns the record and hands it to Init.
struct MediaFSDriveDetails {
  static constexpr uint32_t kReserveScsi2 = 1u << 1;         // uiReservationFlags: SCSI-2 reservation
  static constexpr uint32_t kOptionWormDetection = 1u << 3;  // uiOptionFlags: detect WORM media

  int32_t iDriveControllerId = 0;          // the drive controller, whose access path is the device path
  std::string strNdmpDevice;               // the drive's NDMP device; empty for a SCSI drive
  uint32_t uiAutoScsiUpdateFlags = 0;      // bit 0: the automatic SCSI update is on for the ZovadAdeve
  int32_t iAutoScsiUpdateIntervalSec = 0;  // least time between two automatic updates; below 1: off
  uint32_t uiReservationFlags = 0;         // how the tape media reserve the drive
  uint32_t uiOptionFlags = 0;              // the tape media's options
};

struct MediaFsInitParams {
  int32_t iVolId = 0;                         // becomes m_iVolId
  int32_t iTHId = 0;                          // installation id, becomes m_iTHId
  std::string strPath;                        // mount path or device path
  MLMMessageInstance* pMlm = nullptr;         // media manager message instance
  int32_t iDriveId = 0;                       // 0 for media without a drive record of their own
  int32_t iMediaType = 0;                     // kMediaTypeReader: reader mode
  OZMAOMLParams* pOmlParams = nullptr;        // on-media label parameters (tape)
  MediaFSDriveDetails* pDriveDetails = nullptr;  // drive details (tape, SCSI path refresh)
  OZMMreserveMount* pReserveMount = nullptr;  // the reservation of volume and drive
  std::string strHostName;
  std::string strZovadAdeveName;
  int32_t iDataMoverMode = 0;                 // kDataMoverModeBackup: backup
};

struct MediaFSArchiveFileId_t {
  int32_t iTHId = 0;                  // installation id (cloud media)
  int32_t iArchFileId = 0;            // folder number of the archive file layout
  uint32_t uiDataType = CHUNK;        // MediaFSDataType
  int64_t llFileMarkerNumber = 0;     // counted from 1
  int64_t llChunkId = 0;
  int32_t iChunkVersion = 0;          // layout version: 1 archive file folders; below 3: 2048-byte header
  uint64_t ullChunkNumber = 0;        // chunk number within the archive file folder (layout 1)
  int64_t llCopyId = 0;               // cloud media
  int64_t llPhysicalSize = 0;         // physical size recorded in the database, header excluded
  // Read by other media types.
  int32_t iTrailerValidationMode = 0; // tape
  OzcBucket HwEncryptionKey;          // tape hardware encryption key
  bool bChunkReuse = false;           // the backup continues an existing chunk
  bool bReadAhead = false;            // cloud read-ahead
  bool bCreateMode = false;           // cloud create mode
};

// The values of a chunk map trailer. The two texts have room for their longest value and a
// terminator, so they are always terminated.
struct ChunkMapTrailerInfo {
  static constexpr size_t kUniqueMediaIdChars = 300;
  static constexpr size_t kTavrixVersionChars = 128;

  int32_t Version = 0;
  int32_t TrailerSize = 0;
  int64_t ChunkId = 0;
  int32_t FileMarkNumber = 0;
  int32_t VolumeId = 0;
  char uniqueMediaIdString[kUniqueMediaIdChars + 1] = {};
  char TavrixVersion[kTavrixVersionChars + 1] = {};
};
