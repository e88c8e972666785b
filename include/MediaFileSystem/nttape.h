// nt_fs_tape: archive files on a SCSI tape drive.
//
// The host constructs one object per volume and job with the media type, the drive's device
// (access) path and whether the drive is driven in the dual native and pass-through mode, then
// calls media_fs::Init with the on-media label parameters and the drive details. InitSpecific
// makes sure the drive object answers (re-creating it after a bus rescan when it does not), sets
// the drive library's process-wide flags, checks the drive's serial number, reserves the drive
// (a forced SCSI-3 persistent reservation or a SCSI-2 one) and, for a backup, reads whether the
// tape position is to be watched ("nVerifyTapePosition").
//
// The tape holds one file per archive file, each ended by one file mark; file 1 is the on-media
// label. An archive file's file marker is the number of the file mark that ends it. The object's
// file number counts the file marks between the beginning of the tape and the head. A backup
// appends at the volume's file count: the first Create after Init checks the cached append
// position against the chunk map trailer just before it (or the label at the beginning of the
// tape) and spaces forward when the cache cannot be trusted. A restore opens an archive file by
// its file marker, spacing forward or backward from where the head stands.
//
// When the drive reports the logical end of the tape inside a block, the rest of the block is
// written once more; the volume is marked full and the close-chunk flag asks the host to close
// the chunk and span to the next tape. Write errors are counted with the media manager (soft
// errors, the drive's cleaning mark, volume-full marking) and shown to the job.
//
// The destructor releases the SCSI-3 reservation and closes the drive. An object is driven by one
// thread at a time; the drive library's flags and callback are process-wide (the last object to
// set them wins).
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

class nt_fs_tape : public media_fs {
 public:
  // The media type is handed to the drive factory; the access path becomes the media path.
  nt_fs_tape(_JobContext* ctx, int mediaType, const char* accessPath, bool dual);
  ~nt_fs_tape() override;

  // Makes the drive object for the media path: 0, or -1 with the last error set when no usable
  // object was made.
  int Construct(bool dual);

  // ---- Slots of media_fs, in slot order -----------------------------------------------------
  void closeDeviceHandle() override;
  int WriteRetrySupported() override;
  int InitSpecific() override;
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;
  // The mark type is not used: always one file mark. 0 or -1.
  int CloseSpecific(long markType) override;
  // -1 with *eom 1 and the close-chunk flag set: the block is on the tape, which reached its
  // logical end. -1 with *eom 1 and the flag clear: only GetCurrentTransferCount() bytes of it.
  int WriteToMedia(const char* buf, long len, int* eom) override;
  // The bytes read (those delivered with a file mark, which ends the archive file), or -1.
  int ReadFromMedia(char* buf, long len) override;
  long GetMarkType() const override;
  int UpdateNumPhysicalBytes(long long writeTime) override;
  // A tape reports no free space: -1.
  int getFreeSpaceFromMedia(unsigned long long& bytes) override;
  long long GetRemainingSpace() override;
  // Read side only: a new drive object and a new InitSpecific. 0 or -1.
  int ReInitializeMedia() override;
  int InitCatalogOperationOnMedia(int n) override;
  // Back to where the failed block was to go, with a new drive object. 0 or -1; `retryAllowed`
  // says whether another try may follow.
  int RepositionMediaForWrite(bool& retryAllowed) override;
  bool isHardWareEncryptionSupported() override;
  // 1 when the key is set on the drive, 0 otherwise.
  int enableHardwareEncryption(unsigned int keyLen, unsigned char* key) override;
  int disableHardwareEncryption() override;
  // 1 when the chunk's trailer was found ahead and the head moved back to the chunk; 0 otherwise.
  int LocateChunk(long long chunkId) override;

  // ---- Positioning and media checks ---------------------------------------------------------
  // Before the first create or open: the label (read) or the append position (write). 0 or -1.
  int OpenAndPrepareNtTapeFileSystem();
  // Write side: 0 when the cached append position or the label checks out, -1 otherwise.
  int IsMediaAndPositionValid();
  // 0 when the label matches (the tape is then rewound), -1 otherwise.
  int verifyMediaUsingOML();
  // 0 when the trailer before the cached append point names this tape and file (the head is then
  // at the append point), -1 otherwise.
  int verifyMediaUsingChunkMapTrailer();
  // 0 when the trailer after the last file read names this tape and that file, -1 otherwise.
  int VerifyPositionOnTapeForRestore();
  // 1 when the head stands at the end of the data; `found` is set when another file mark follows.
  int IsCurrentPositionEndOfValidData(bool& found);
  // Rewinds after a failed update of the file marker with the media manager. 0 or -1.
  int ResetFileMarkerOnMedia();

  // ---- Hardware encryption key and trailer validation ---------------------------------------
  void setHardwareEncryptionKey(OzcBucket key) { m_HwEncryptionKey = key; }
  OzcBucket getHardwareEncryptionKey() const { return m_HwEncryptionKey; }
  // 1: check the trailer, with the key set on the drive when the volume's trailers are
  // encrypted; 2: check the trailer without a key; anything else: check the label instead.
  void setFlagForTrailerValidation(int mode) { m_iTrailerValidationMode = mode; }
  int getFlagForTrailerValidation() const { return m_iTrailerValidationMode; }

 protected:
  EvEvent m_Event;
  std::string m_strReservationKey;  // the SCSI-3 key; released by the destructor
  bool m_bCleanOnCrc = false;
  bool m_bDualMode = false;
  int32_t m_iLastTapePosition = -1;
  bool m_bVerifyPosition = false;
  OzcBucket m_HwEncryptionKey;
  int32_t m_iTrailerValidationMode = 0;
  int32_t m_iLastDriveResult = 0;
  OZScsiTapeDrive* m_pDrive = nullptr;
  long long m_llMarkType = 4;
  int32_t m_iTapeMediaType = 0;
  int32_t m_iDriverMode = 0;
  // Set by a failed open: the head is not where the file number says, and the next open finds
  // the position again as the first one does.
  bool m_bReadPositionUnknown = false;

 private:
  // The routines both tape classes share work on this object's members.
  template <class Tape>
  friend struct nttape::TapeRoutines;

  // Set-up.
  int EnsureUsableDrive();
  bool RescanForDrive();
  int CheckSerialNumber();
  int Reserve();
  int ReadPositionMonitorSetting();

  // The position monitor: fails a create or close when the tape position went backwards.
  int MonitorPosition(bool creating);

  // Backup road.
  int PositionForAppend(const MediaFSArchiveFileId_t* id);

  // Verification: a key that cannot be set leaves the trailer unreadable.
  void PrepareEncryptedTrailerCheck(const OzcBucket& key, const char* failureText);

  // Host operations' failures.
  int EncryptionFailure(const char* errorFormat, const char* failure);
};
