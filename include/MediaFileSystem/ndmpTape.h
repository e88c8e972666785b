// ndmp_fs_tape: archive files on a tape drive that the ZovadAdeve reaches through NDMP.
//
// The class never speaks NDMP itself: the drive library does, given the three connection texts
// that the host hands to the constructor. It works like the SCSI tape media (nttape.h), with the
// same on-media layout (one file per archive file, each ended by one file mark, file 1 the
// on-media label), the same file-marker arithmetic and the same checks of the cached append and
// read positions, and differs where an NDMP drive does:
//   - no dual driver mode, no bus rescan and no SCSI callback; a single SCSI-3 reservation try;
//   - no cleaning marks, no position monitor, no hardware encryption (the frame's defaults
//     answer), and LocateChunk keeps the frame's answer 1 without moving the tape;
//   - soft errors only for CRC (762) and I/O (764) errors;
//   - no write retry (WriteRetrySupported answers 0); the logical end of the tape sets the
//     close-chunk and volume-full flags without marking the volume full with the media manager;
//   - the read cached file marker is left as it was by an open;
//   - chunk map trailers are parsed as the drive delivers them;
//   - after spacing to the append point, with the end-of-data check setting of the frame above 0
//     (media_fs::SetEndOfDataCheck), a create refuses a position that another file mark follows
//     (the volume is marked full with 42009) or that cannot be checked (42033).
//
// An object is driven by one thread at a time; the drive library's flags are process-wide and
// shared with the SCSI tape media.
#pragma once

#include <cstdint>
#include <string>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/onmedia_label.h"
#include "platform/tape_drive.h"

namespace nttape {
template <class Tape>
struct TapeRoutines;
}

class ndmp_fs_tape : public media_fs {
 public:
  // The media type and the three texts are handed to the drive factory; the path becomes the
  // media path.
  ndmp_fs_tape(_JobContext* ctx, int mediaType, const char* path, const char* text1, const char* text2,
               const char* text3);
  ~ndmp_fs_tape() override;

  // Makes the drive object for the media path: 0, or -1 with the drive's text as the last error
  // message when no usable object was made.
  int Construct();

  // ---- Slots of media_fs, in slot order -----------------------------------------------------
  void closeDeviceHandle() override;
  // 0: the frame does not retry a failed block.
  int WriteRetrySupported() override;
  int InitSpecific() override;
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;
  int CloseSpecific(long markType) override;
  int WriteToMedia(const char* buf, long len, int* eom) override;
  int ReadFromMedia(char* buf, long len) override;
  long GetMarkType() const override;
  int UpdateNumPhysicalBytes(long long writeTime) override;
  // A tape reports no free space: -1.
  int getFreeSpaceFromMedia(unsigned long long& bytes) override;
  long long GetRemainingSpace() override;
  // Read side only: a new drive object and a new InitSpecific. 0 or -1.
  int ReInitializeMedia() override;
  int InitCatalogOperationOnMedia(int n) override;
  // Hosts may still call it: back to where the failed block was to go, with a new drive object.
  int RepositionMediaForWrite(bool& retryAllowed) override;

  // ---- Positioning and media checks ---------------------------------------------------------
  int OpenAndPrepareNtTapeFileSystem();
  int IsMediaAndPositionValid();
  int verifyMediaUsingOML();
  int verifyMediaUsingChunkMapTrailer();
  int VerifyPositionOnTapeForRestore();
  int IsCurrentPositionEndOfValidData(bool& found);
  int ResetFileMarkerOnMedia();

 protected:
  EvEvent m_Event;
  std::string m_strReservationKey;  // the SCSI-3 key; released by the destructor
  int32_t m_iLastDriveResult = 0;
  OZScsiTapeDrive* m_pDrive = nullptr;
  long long m_llMarkType = 4;
  int32_t m_iTapeMediaType = 0;
  std::string m_strConnection1;
  std::string m_strConnection2;
  std::string m_strConnection3;
  // Set by a failed open: the head is not where the file number says, and the next open finds
  // the position again as the first one does.
  bool m_bReadPositionUnknown = false;

 private:
  template <class Tape>
  friend struct nttape::TapeRoutines;

  int CheckSerialNumber();
  int Reserve();
  int PositionForAppend();
  // After the spacing to the append point: 0 when no check is asked or the data ends there.
  int CheckEndOfData();
};
