// The file-system layer: one storage (CFSInterface) and one file on it (CFileInterface), both made
// from a CFSInitParams. Disk storage is real POSIX; the layer routes every call through the fault
// injector of platform/fault_injection.h, so tests can make any call on a path fail.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/local_files.h"

class OzCriticalSectionH;

// Open flags of the layer itself, above the bits of open(2); they are stripped before any system
// call. Their meaning belongs to the cloud and remote file interfaces.
inline constexpr int kFSOpenCloudUpload = 0x1000000;        // cloud object written on close
inline constexpr int kFSOpenRemoteRead = 0x2000000;         // remote storage read (types 1, 4, 6)
inline constexpr int kFSOpenCloudReadAhead = 0x4000000;     // cloud read with read-ahead
inline constexpr int kFSOpenCloudCreateMode = 0x8000000;    // cloud create mode
inline constexpr int kFSOpenLayerFlags =
    kFSOpenCloudUpload | kFSOpenRemoteRead | kFSOpenCloudReadAhead | kFSOpenCloudCreateMode;

// Storage types of CFSInitParams::m_Type.
enum CFSType : int {
  kFSTypeDisk = 0,
  kFSTypeCloud = 1,
  kFSTypeDataServerIP = 2,
  kFSTypeCloudCached = 4,  // cloud storage with a disk cache
  kFSTypeStoreOnce = 7,
};

// Whether files of a storage type are read through the layer's remote path (kFSOpenRemoteRead):
// cloud storage and the cloud kinds with a disk cache.
inline bool FSReadsRemotely(int type) { return type == kFSTypeCloud || type == kFSTypeCloudCached || type == 6; }

struct CFSHost {
  uint32_t m_HostParam = 0;
  std::string m_HostName;
  std::string m_Path;
  std::string m_HostText;
};

struct CFSUser {
  std::string m_UserName;
  std::string m_Password;
};

// Selects and configures a storage. A plain value: copies are deep.
struct CFSInitParams {
  int32_t m_Type = 0;
  int32_t m_SubType = -1;
  int64_t m_Param64 = 0;
  int32_t m_Param32 = 0;
  CFSHost m_Host;
  CFSUser m_User;
  uint64_t m_Token = 0;
  std::string m_ClientName;
  int32_t m_MountPathId = 0;
  int32_t m_Param32b = 0;
  std::string m_ParamText;
  uint32_t m_Param32c = 0;

  // The layer's process-wide lock around the read and write probe of a mount path.
  static OzCriticalSectionH* m_ReadWriteLock;
};

class CFileInterface {
 public:
  // A new file interface for the storage; the caller owns it. Null on failure.
  static CFileInterface* GetFileInterfaceInstance(const CFSInitParams& params);

  virtual ~CFileInterface() = default;

  // The virtual operations, in slot order.
  virtual CXoError Open(std::string path, int flags, int mode, int reserved) = 0;
  virtual CXoError Close() = 0;
  // A short count is a success and happens only at the end of the file.
  virtual CXoError Read(void* buffer, unsigned int length, unsigned int* done) = 0;
  // Callers treat a short count as a failure.
  virtual CXoError Write(const void* buffer, unsigned int length, unsigned int* done) = 0;
  virtual CXoError Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) = 0;
  virtual CXoError Tell(CXoFile::offset& position) = 0;
  virtual CXoError Size(unsigned long long& size) = 0;
  virtual CXoError Truncate(CXoFile::offset size) = 0;
  virtual CXoError GetChkSum(std::string path, int kind, char* sum, int* length) = 0;
  // The bytes written so far reach stable storage.
  virtual CXoError Flush() = 0;
  virtual int GetFD() = 0;  // -1 when there is none
  virtual bool IsValid() = 0;
  virtual CXoError LockFile(bool shared) = 0;
  virtual CXoError UnlockFile() = 0;
  virtual bool IsConnected() = 0;
  virtual unsigned long long GetUploadedMB() { return 0; }
  virtual void ResetUploadedMB() {}
  virtual unsigned long long GetDownloadedMB() { return 0; }
  virtual void ResetDownloadedMB() {}
  // Frees the bytes of [offset, offset + length) and keeps the file's size.
  virtual CXoError DrillHole(uint64_t offset, uint64_t length) = 0;
  virtual CXoError AttachFD(int fd, const char* name) = 0;
  virtual CXoError SetReadAheadCaching(bool enable) = 0;
  virtual std::string GetFileName() = 0;
  // Open with a fifth option; by default the option is dropped and Open is called.
  virtual CXoError OpenEx(std::string path, int flags, int mode, int reserved, int option) {
    (void)option;
    return Open(path, flags, mode, reserved);
  }
  // Reads at the position into `buffer` as Read does and, in the same call, as many of the next
  // `aheadLength` bytes into `ahead` as the storage hands out with them: a read-ahead that saves
  // the caller a call for what follows. By default there is none (`*aheadDone` 0).
  virtual CXoError ReadAhead(void* buffer, unsigned int length, unsigned int* done, void* ahead,
                             unsigned int aheadLength, unsigned int* aheadDone) {
    (void)ahead, (void)aheadLength;
    if (aheadDone != nullptr) *aheadDone = 0;
    return Read(buffer, length, done);
  }
  // Positioned reads: ReadAhead from `offset` instead of from the position, in one call, leaving
  // the position alone. A reader that keeps its own place in the file needs no seek per read.
  // Interfaces that cannot read at an offset say so, and the caller seeks and reads instead.
  virtual bool PositionedReads() { return false; }
  virtual CXoError ReadAheadAt(uint64_t offset, void* buffer, unsigned int length, unsigned int* done, void* ahead,
                               unsigned int aheadLength, unsigned int* aheadDone);
  // Whether `path` still names the file this interface has open: a file renamed into its place,
  // or its removal, makes it name another or none. Interfaces that cannot tell answer true.
  virtual bool StillNamedBy(const std::string& path) {
    (void)path;
    return true;
  }

  // The storage the interface was made for: the factory keeps a copy of its parameters here.
  const CFSInitParams& GetInitParams() const { return m_Params; }
  int GetType() const { return m_Params.m_Type; }

 protected:
  CFSInitParams m_Params;
};

// Calls a directory walk makes: (folder, name, is-folder, context). A negative result stops the
// walk, and the walk returns it.
using FSWalkCallback = int (*)(const std::string& folder, const std::string& name, bool isFolder,
                               void* context);

struct FSDirEntry {
  std::string name;
  bool isFolder = false;
  unsigned long long size = 0;
};

struct FSPathInfo {
  bool exists = false;
  bool isFolder = false;
  unsigned long long size = 0;
  unsigned long long allocatedBytes = 0;  // blocks on the media, holes excluded
  long long modifyTime = 0;
  mode_t mode = 0;
};

class CFSInterface {
 public:
  // A new interface for the storage; the caller owns it. Null on failure.
  static CFSInterface* GetFSInterfaceInstance(const CFSInitParams& params);

  explicit CFSInterface(const CFSInitParams& params) : m_Params(params) {}
  virtual ~CFSInterface() = default;

  virtual CXoError Exists(std::string path, bool& exists) = 0;
  virtual CXoError RemoveFile(std::string path, unsigned int flags) = 0;
  virtual CXoError RemoveDirectory(std::string path, unsigned int flags) = 0;
  // Succeeds on a folder that already exists. `recursive` creates missing parents.
  virtual CXoError CreateDirectory(std::string path, bool recursive) = 0;
  virtual CXoError Rename(std::string from, std::string to, int method) = 0;
  virtual CXoError Chmod(std::string path, int mode) = 0;
  // Total and free bytes of the storage that holds `path`.
  virtual CXoError GetFreeSpace(std::string path, unsigned long long& totalBytes,
                                unsigned long long& freeBytes) = 0;
  // Fails when the path is not accessible.
  virtual CXoError GetPathInfo(std::string path, FSPathInfo& info) = 0;
  virtual CXoError GetFileAttributes(std::string path, unsigned long long& size) = 0;
  virtual CXoError Stat(std::string path, FSPathInfo& info) = 0;
  // Calls `callback` once per entry below `path`, `depth` levels deep (0: the folder only; -1:
  // unlimited). `filesOnly` skips the callback for folders (they are still entered).
  virtual CXoError WalkDirectory(std::string path, void* context, int depth, bool filesOnly,
                                 FSWalkCallback callback) = 0;
  virtual CXoError GetDirContents(std::string path, std::vector<FSDirEntry>& entries) = 0;

  // The listing and the walk above with names only, and with a batch size. `batch` is how many
  // entries the storage is asked for per listing request: object stores hand out their listings
  // in pages, while a folder on disk is read in one pass, so there it changes nothing. Which
  // entries come back, and in which order, never depends on it; 0 or less leaves it to the
  // storage. Every kind of storage has these through the forms above.
  //
  // The entries directly in `path`, by name without the folder, files and folders apart, in
  // name order. The lists are replaced on success and left alone on failure.
  CXoError GetDirContents(std::string path, std::vector<std::string>& files, std::vector<std::string>& folders);
  CXoError GetDirContents(std::string path, std::vector<std::string>& files, std::vector<std::string>& folders,
                          int batch);
  CXoError WalkDirectory(std::string path, void* context, int depth, bool filesOnly, FSWalkCallback callback,
                         int batch);

  virtual std::string AppendPath(const std::string& base, const std::string& name) {
    return path_append(base, name);
  }
  virtual std::string GetDPassword() { return m_Params.m_User.m_Password; }

  const CFSInitParams& GetInitParams() const { return m_Params; }
  int GetType() const { return m_Params.m_Type; }

 protected:
  CFSInitParams m_Params;
};
