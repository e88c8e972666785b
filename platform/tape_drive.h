// The SCSI tape drive library: OZScsiTapeDrive over virtual drives with file-backed cartridges.
//
// Drives live in one registry of the process (platform::TapeLibrary), keyed by device path, so
// the drive objects that media code deletes and makes again find the same drive, with its head
// position, its cartridge, its key and its reservations. A test adds drives, loads cartridges
// (platform/virtual_tape.h), moves a drive to another path (a bus rescan), injects failures per
// operation and reads back every call.
//
// The drive works in variable-block mode: each writeData call writes one block of its size, each
// readData call reads one block. Its behaviour at the ends of the tape:
// - early warning (a data byte position): a write that crosses it is cut there and returns
//   kTapeEarlyWarning with the bytes taken (or, with the geometry's cutAtEarlyWarning off, takes
//   the whole block); writes and file marks beyond it are taken and return kTapeEarlyWarning;
// - physical end: a write that would cross it takes the bytes up to it and returns
//   kTapeEarlyWarning; a write at it takes nothing and returns kTapePhysicalEnd; file marks still
//   fit there;
// - spacing forward past the last file mark stops at the end of data with kTapeEndOfData, a read
//   there returns kTapeEndOfData, a read of a file mark returns kTapeFileMark (the head moves past
//   it), spacing backward past the beginning returns kTapeBeginningOfMedia;
// - a write or file mark cuts off everything after the head (a WORM cartridge refuses that with
//   kTapeWriteProtected, as does a write-protected one for any write);
// - a block written while a key is set carries the key's tag; reading it needs the same key.
// While one job (initiator) holds a SCSI-2 or SCSI-3 reservation, the medium operations of
// objects of other jobs fail with kTapeReservationConflict. A SCSI-2 reservation ends when its
// object closes the device or is deleted; a SCSI-3 one when its key is released or the same job
// reserves again.
//
// Results are 0 on success, else a code of the drive library (TapeDriveCode), which getLastError
// returns again with its text; MMS2BaseError::OZScsiTapeErrorConvertToMMError turns it into the
// media manager's code (table in tape_drive.cc).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/virtual_tape.h"

namespace platform {
struct TapeDriveAccess;
}

// Codes of the drive library.
enum TapeDriveCode : int {
  kTapeOk = 0,
  kTapeEarlyWarning = 1,
  kTapeFileMark = 2,
  kTapeEndOfData = 3,
  kTapePhysicalEnd = 4,
  kTapeNoMedia = 5,
  kTapeWriteProtected = 6,
  kTapeCrcError = 7,
  kTapeIoError = 8,
  kTapeHardwareError = 9,
  kTapeNeedsCleaning = 10,
  kTapeMediumError = 11,
  kTapeReservationConflict = 12,
  kTapeIncorrectLength = 13,
  kTapeDeviceNotFound = 14,
  kTapeDeviceNotOpen = 15,
  kTapeBeginningOfMedia = 16,
  kTapeKeyMismatch = 17,
  kTapeNotSupported = 18,
  kTapeFileError = 19,
  kTapeNoSense = 20,  // the drive failed the command without saying why
};

class OZScsiTapeDrive {
 public:
  // Process-wide flags of the library (last setter wins).
  static constexpr int kGlobalFlag1 = 0x1;
  static constexpr int kGlobalFlag10 = 0x10;
  static constexpr int kGlobalFlag100 = 0x100;
  static constexpr int kGlobalFlagSyncFileMarks = 0x1000;
  static constexpr int kDriverModeDual = 3;

  // A drive object for the device path, or null when the registry says the factory fails. An
  // object for a path without a drive, or for a drive set up as unusable, is not valid.
  static OZScsiTapeDrive* instance(int mediaType, const char* path, long long jobId, int driverMode,
                                   const char* text1, const char* text2, const char* text3, int last);
  static void SetGoblalFlag(int flag, bool value);
  static void SetUXScsiCallback();

  virtual ~OZScsiTapeDrive();
  OZScsiTapeDrive(const OZScsiTapeDrive&) = delete;
  OZScsiTapeDrive& operator=(const OZScsiTapeDrive&) = delete;

  bool isValid() const { return m_bValid; }
  // Forced SCSI-3 persistent reservation with the values a, b, c; fills the key text.
  int doForcePR_Reserve(int a, int b, int c, std::string& key);
  int doPR_Release(const std::string& key);

  int32_t m_iDriveType = 0;  // type 4 passes any serial number check

  // ---- Virtual operations, in slot order ------------------------------------------------------
  virtual long long markType();
  virtual long long markSize();
  virtual int rewindMedia();
  virtual int loadMedia();
  virtual int spaceFileMarksForward(long long count);
  virtual int spaceFileMarksBackward(long long count);
  virtual int readData(char* buffer, long size, long long& count);
  // `count` gets the bytes the drive took, also on failure.
  virtual int writeData(const char* buffer, long size, long long& count);
  virtual int writeFileMarks(int count);
  virtual int getSerialNumber(std::string& serial);
  virtual int doSCSI2Reserve();
  virtual int isEncryptionSupported(bool& supported);
  virtual int disableEncryption();
  virtual int setEncryptionKey(unsigned int length, const unsigned char* key);
  // 1 on, 0 off.
  virtual int setCompression(int on);
  virtual int closeDevice();
  virtual int setBlockSize(long bytes);
  // The code of the last failure (kTapeOk when none), its text in `text`.
  virtual int getLastError(std::string& text);
  // Non-zero for WORM media, with its type.
  virtual int isMediaWorm(int& type);
  // Moves to the append point of WORM media; `count` gets the file marks on the tape.
  virtual int locateWormEndOfData(int expected, int& count);
  // The head's position: the number of blocks and file marks before it.
  virtual int readPosition(int& position);

  const std::string& path() const { return m_strPath; }
  long long jobId() const { return m_llJobId; }
  int driverMode() const { return m_iDriverMode; }

 private:
  OZScsiTapeDrive(const std::string& path, long long jobId, int driverMode);
  friend struct platform::TapeDriveAccess;

  std::string m_strPath;
  long long m_llJobId;
  int m_iDriverMode;
  uint64_t m_ullSerial;  // tells objects apart for the SCSI-2 reservation
  bool m_bValid = false;
  bool m_bOpen = true;
  int m_iLastCode = kTapeOk;
  std::string m_strLastText;
};

namespace platform {

// How a drive at a path answers.
struct TapeDriveSetup {
  std::string serialNumber = "SN-0001";
  int32_t driveType = 1;
  bool factoryFails = false;  // instance() returns null
  int invalidCode = kTapeOk;  // non-zero: objects are not valid and report this code
  bool encryptionSupported = true;
  long long markSize = 32768;
  long long markType = 1;
};

// A cartridge's ends and kind. Byte positions count data bytes from the beginning of the tape.
struct TapeGeometry {
  long long earlyWarning = -1;  // -1: never
  long long physicalEnd = -1;   // -1: never
  bool cutAtEarlyWarning = true;
  bool writeProtected = false;
  int wormType = 0;  // non-zero: WORM media of this type
};

// A failure injected into the n-th call of one operation of a drive. For writeData the drive
// takes `count` bytes first (when at or above 0); for readData it delivers up to `count` bytes of
// the next block (and, for kTapeFileMark, passes the file mark that follows). A code of kTapeOk
// with a count makes a short transfer that succeeds. Other operations fail without moving.
struct TapeFault {
  std::string op;
  int code = kTapeIoError;
  int nth = 1;    // counted from 1 among the calls after the fault was added
  int times = 1;  // -1: every call from the n-th on
  long long count = -1;
  int seen = 0;
};

struct TapeCall {
  std::string path;
  std::string op;
  std::vector<long long> args;
  int result = 0;
  std::vector<std::string> texts;  // instance: the three connection texts
};

// One file of a cartridge, as tests read it back: its blocks and whether a file mark ends it.
struct TapeFile {
  std::vector<std::string> blocks;
  std::vector<uint32_t> keyTags;
  bool closed = false;
  std::string Bytes() const;
};

struct TapeDriveSlot {
  TapeDriveSetup setup;
  std::shared_ptr<VirtualTape> tape;  // null: no cartridge loaded
  TapeGeometry geometry;
  size_t head = 0;
  long blockSize = 0;
  int compression = 0;
  uint32_t keyTag = 0;
  long long scsi2Holder = -1;  // job of the reservation; -1: none
  uint64_t scsi2Object = 0;
  long long scsi3Holder = -1;
  std::string scsi3Key;
  std::vector<TapeFault> faults;
};

class TapeLibraryState {
 public:
  std::map<std::string, TapeDriveSlot> drives;
  std::vector<TapeCall> calls;
  // Called before every drive operation with its path and name, and inside a block write after
  // half of it reached the cartridge ("writeData.torn"); outside no lock of the library's.
  std::function<void(const std::string& path, const std::string& op)> hook;
  long long objectsMade = 0;
  long long objectsAlive = 0;

  void AddDrive(const std::string& path, const TapeDriveSetup& setup = {});
  // Loads the cartridge kept in `file` (made empty when absent) and rewinds. False with the
  // reason when the file is not a tape.
  bool LoadCartridge(const std::string& path, const std::string& file, const TapeGeometry& geometry = {},
                     std::string* error = nullptr);
  void UnloadCartridge(const std::string& path);
  // The drive now answers at `to` only (a bus rescan gave it another path).
  void MoveDrive(const std::string& from, const std::string& to);
  void Fail(const std::string& path, const TapeFault& fault);
  // The cartridge's files in order; the last one may lack its file mark.
  std::vector<TapeFile> Files(const std::string& path) const;
  size_t Count(const std::string& op) const;
  std::vector<TapeCall> CallsOf(const std::string& op) const;
  TapeDriveSlot* Slot(const std::string& path);
};

TapeLibraryState& TapeLibrary();
std::mutex& TapeLibraryMutex();
void ResetTapeLibrary();

// The library's process-wide flags and the number of SetUXScsiCallback calls.
bool TapeGlobalFlag(int flag);
long long TapeCallbackSets();

// Writes a cartridge file directly: each inner vector is one file of blocks, ended by a file
// mark unless `lastOpen` leaves the last one open. Tests build tapes with it.
bool WriteTapeFile(const std::string& file, const std::vector<std::vector<std::string>>& files,
                   bool lastOpen = false);

}  // namespace platform
