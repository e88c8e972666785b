// The optical drive library: OZScsiMODiskDrive over a folder that stands for the disk's logical
// drive, with the files of the disk in it.
//
// Drives live in one registry of the process (platform::OpticalLibrary), keyed by media path, so
// the drive objects that media code deletes and makes again find the same disk. A test adds a
// drive (its logical drive is a folder: the media path itself unless the set-up names another),
// sets a quota, a WORM type or failures, hooks every operation and reads back every call.
//
// The files of the disk go through the file-system layer (platform/file_system.h), so the fault
// injector and the power-loss switch of platform::Faults() reach them. Closing a file that was
// written flushes it and then its folder, so a file whose close succeeded survives a power cut
// whole, name included.
//
// Space: without a quota the drive reports the free space of the file system that holds the
// folder (as the layer reports it). With a quota the disk holds that many bytes: the free space
// is the quota less the sizes of the files below the folder, and a write that would go past it
// takes what fits and fails with media manager code 767.
//
// Results follow the library: open gives a handle (0 on failure), read and write the bytes moved
// (0 on failure), the free-space query non-zero on success, the other operations 0 on success.
// The code of the last failure is a media manager code, which getLastError returns with its text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"

class CFileInterface;

// A 64-bit figure of the library.
class OZQuadWord {
 public:
  OZQuadWord() = default;
  explicit OZQuadWord(unsigned long long value) : m_value(value) {}
  unsigned long long QuadPart() const { return m_value; }
  void SetQuadPart(unsigned long long value) { m_value = value; }

 private:
  unsigned long long m_value = 0;
};

class OZScsiMODiskDrive {
 public:
  // open's access and disposition: (kAccessWrite, kCreateAlways) creates a file for writing,
  // emptying one of that name; (kAccessRead, kOpenExisting) opens one for reading.
  static constexpr int kAccessRead = 0;
  static constexpr int kAccessWrite = 2;
  static constexpr int kCreateAlways = 0;
  static constexpr int kOpenExisting = 1;

  // Media manager codes of the library's own failures.
  static constexpr long long kNoDrive = 776;                    // no drive answers at the media path
  static constexpr long long kBadHandle = kMMErrInvalidHandle;  // no open file of this object has the handle
  static constexpr long long kBadArgument = 103;                // an open asked for something else
  static constexpr long long kDiskFull = kMMErrDiskFull;        // the quota is used up
  static constexpr long long kEndOfFile = 773;                  // a read at the end of the file

  // A drive object for the media path, or null when the registry says the factory fails. An
  // object for a path without a drive, or for a drive set up as unusable, is not valid.
  static OZScsiMODiskDrive* instance(int mediaType, const char* path, long long& jobId, bool flag);

  virtual ~OZScsiMODiskDrive();  // files still open are closed without a flush
  OZScsiMODiskDrive(const OZScsiMODiskDrive&) = delete;
  OZScsiMODiskDrive& operator=(const OZScsiMODiskDrive&) = delete;

  bool isValid() const { return m_bValid; }

  // The disk's logical drive path. 0 on success.
  virtual int getLogicalDrive(std::string& drive);
  // The media manager code of the last failure (0 when none), its text in `text`.
  virtual long long getLastError(std::string& text);
  // A handle above 0, or 0 on failure.
  virtual int open(const char* name, int access, int disposition);
  // 0 on success. A file that was written is flushed with its folder first.
  virtual int close(int handle);
  // Non-zero on success: the free bytes, then the disk's total bytes.
  virtual int getFreeSpace(OZQuadWord& freeBytes, OZQuadWord& totalBytes);
  // The bytes moved; 0 on failure (or, for a read, at the end of the file).
  virtual long read(int handle, char* buffer, long size);
  virtual long write(int handle, const char* buffer, long size);
  // Non-zero for WORM media, with its type in `type`.
  virtual int isWorm(int mediaType, int& type);

  const std::string& path() const { return m_strPath; }

 private:
  friend struct OpticalDriveAccess;
  OZScsiMODiskDrive(const std::string& path, long long jobId);

  struct OpenFile {
    std::unique_ptr<CFileInterface> file;
    std::string name;
    bool writing = false;
    unsigned long long usedAtOpen = 0;  // the disk's used bytes when a file was opened for writing
    unsigned long long written = 0;
  };

  std::string m_strPath;
  long long m_llJobId;
  bool m_bValid = false;
  long long m_llLastCode = 0;
  std::string m_strLastText;
  std::map<int, OpenFile> m_files;
  int m_iNextHandle = 1;
};

namespace platform {

struct OpticalDriveSetup {
  std::string logicalDrive;     // the folder of the disk's files; empty: the media path itself
  bool factoryFails = false;    // instance() returns null
  long long invalidCode = 0;    // non-zero: objects are not valid and report this code
  long long logicalDriveError = 0;  // non-zero: the logical drive query fails with this code
  long long quotaBytes = -1;    // the disk's size; -1: the file system's free space
  int wormType = 0;             // non-zero: WORM media of this type
};

// A failure injected into the n-th call of one operation of a drive, with a media manager code.
// A read or write moves `count` bytes first (when at or above 0) and then fails; other
// operations fail without doing anything.
struct OpticalFault {
  std::string op;
  long long code = 764;
  int nth = 1;    // counted from 1 among the calls after the fault was added
  int times = 1;  // -1: every call from the n-th on
  long long count = -1;
  int seen = 0;
};

struct OpticalCall {
  std::string path;  // the media path
  std::string op;
  std::vector<long long> args;
  long long result = 0;
  std::string name;  // open: the file's name
};

struct OpticalDriveSlot {
  OpticalDriveSetup setup;
  std::vector<OpticalFault> faults;
};

class OpticalLibraryState {
 public:
  std::map<std::string, OpticalDriveSlot> drives;
  std::vector<OpticalCall> calls;
  // Called before every drive operation with the media path and the operation's name, outside
  // the library's lock.
  std::function<void(const std::string& path, const std::string& op)> hook;
  long long objectsMade = 0;
  long long objectsAlive = 0;
  // Off: reads and writes are not recorded (long runs, where the list would grow with every
  // block); every other call still is.
  bool recordTransfers = true;

  void AddDrive(const std::string& mediaPath, const OpticalDriveSetup& setup = {});
  void Fail(const std::string& mediaPath, const OpticalFault& fault);
  size_t Count(const std::string& op) const;
  std::vector<OpticalCall> CallsOf(const std::string& op) const;
  OpticalDriveSlot* Slot(const std::string& mediaPath);
};

OpticalLibraryState& OpticalLibrary();
std::mutex& OpticalLibraryMutex();
void ResetOpticalLibrary();

}  // namespace platform
