// The remote-file library: OZBaseRemoteFile, one connection to a cloud object store. Two kinds
// stand behind it, chosen by the store's root folder:
//   - an absolute folder: the folder-backed store of platform/cloud_store.h (a DEVICE stand-in);
//   - "s3://HOST[:PORT]/BUCKET[/PREFIX]": a real S3-compatible endpoint, reached through libs3
//     (platform/s3_remote_file.h).
// Objects are named by their path below the store's root folder (the root's own text first) or
// relative to it; a name that leaves the root is refused. An object written through OpenFile and
// WriteFile appears whole at CloseFile.
//
//   std::string root, rest;
//   if (OZBaseRemoteFile::GetRootFolderForRemoteHost(hostPath, root, rest) != 0) {
//     std::unique_ptr<OZBaseRemoteFile> store(
//         OZBaseRemoteFile::GetRemoteFileInstance(deviceType, user, password, root, jobId, -1));
//     if (store && store->Initialize() != 0 && store->OpenFile(name, kRFModeWriteNew, 0) != 0) ...
//   }
//
// Operations return nonzero on success; after a failure GetLastError, GetLastErrorCode (a media
// manager code) and GetLastErrorString tell why. One thread at a time uses an object; the log
// callback and the read-ahead limit are process-wide.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

// Modes of OpenFile.
inline constexpr int kRFModeRead = 0x001;
inline constexpr int kRFModeWriteNew = 0x002;  // a new object written from its first byte
inline constexpr int kRFModeWrite = 0x004;
inline constexpr int kRFModeCreate = 0x400;  // a new, empty object (an existing one is replaced at close)
// With kRFModeWriteNew: the store's own create settings rather than the host's create mode. Both
// stores here write the object the same way and record the bit with the open.
inline constexpr int kRFModeFlagStoreCreateSettings = 0x20000;

// The device type of a folder-backed store that assigns its own object ids (an object-ID store):
// an object written under any name is stored under a new id, known once it is closed, and is
// opened by that id.
inline constexpr int kRFDeviceTypeObjectIdStore = 100;

// An entry of a folder listing.
struct OZRFInfo {
  std::string sName;                 // relative to the listed folder
  unsigned long long ullSize = 0;    // bytes
  long long llModifyTime = 0;        // seconds since the epoch
};

// The log callback of the library: level, job id (the factory's 64-bit value), message.
typedef void (*OZRemoteLogCallback)(int level, const long long& jobId, const std::string& message);

class OZBaseRemoteFile {
 public:
  // Splits a storage's host path into the store's root folder and the rest (always empty here):
  // an absolute folder (trailing slashes dropped) or a well-formed "s3://" endpoint is the root
  // itself. 0 for a path without a root folder (empty, relative, only "/", or a malformed
  // "s3://" text).
  static int GetRootFolderForRemoteHost(const std::string& hostPath, std::string& rootFolder, std::string& rest);
  // A connection to the store at `rootFolder`, or null when there is none (no such folder, or a
  // root that does not parse). `user` and `password` are the store's credentials (for S3 the
  // access key id and the secret key; neither is ever logged or shown); `value` is the job id
  // handed to the log callback; the last argument is kept for the caller.
  static OZBaseRemoteFile* GetRemoteFileInstance(int deviceType, const std::string& user, const std::string& password,
                                                 const std::string& rootFolder, long long value, int reserved);
  // Every object's library messages go to `callback` (null: none) from now on.
  static void SetLogMessageCallbackFunc(OZRemoteLogCallback callback);

  // How many reads a read-ahead object keeps in flight; hosts set it, objects copy it when they
  // are opened with read-ahead.
  static int32_t m_giReadAheadThreadLimit;

  virtual ~OZBaseRemoteFile();
  OZBaseRemoteFile(const OZBaseRemoteFile&) = delete;
  OZBaseRemoteFile& operator=(const OZBaseRemoteFile&) = delete;

  // Checks that the store answers with these credentials. Nonzero when it does.
  virtual int Initialize() = 0;
  // Opens one object (an open one is closed first, dropping what was not yet closed): kRFModeRead
  // to read it, kRFModeWriteNew or kRFModeCreate to write a new object, kRFModeWrite alone to
  // rewrite a stored one from its content (folder store only). `value` is kept for the caller.
  virtual int OpenFile(const std::string& name, int mode, long long value) = 0;
  // Up to `length` bytes from the position; `done` fewer only at the end of the object.
  virtual int ReadFile(void* buffer, unsigned int length, unsigned int& done) = 0;
  virtual int WriteFile(const void* buffer, unsigned int length) = 0;
  // Moves the position of the open object (from its start).
  virtual int SeekFile(long long offset) = 0;
  // Closes the open object; one written appears now, whole, and on an object-ID store its id is
  // m_strObjectId from here on. On failure the stored object is as it was.
  virtual int CloseFile() = 0;
  // Deletes an object; an object that is not there fails with ENOENT.
  virtual int DeleteFile(const std::string& name) = 0;
  // Gives the target the source's content (a copy, whole) and deletes the source. `flags` is kept
  // for the caller.
  virtual int RenameFile(const std::string& from, const std::string& to, int flags) = 0;
  virtual int FileExists(const std::string& name, bool& exists) = 0;
  // The objects and folders directly in `folder` (with `recursive`, the objects below it too, named
  // by their path from `folder`); sizes only `withSizes`.
  virtual int GetFileList(const std::string& folder, std::vector<OZRFInfo>& files, std::vector<std::string>& folders,
                          int withSizes, int recursive) = 0;
  virtual int GetFreeSpace(unsigned long long& totalBytes, unsigned long long& freeBytes) = 0;
  // Whether the store assigns the ids of the objects written into it.
  virtual bool IsObjectIDBase() const { return false; }

  // Records the retention of the object being written, in days (no store here enforces it).
  int SetRetentionTime(long days);
  // The uploaded and downloaded byte counts back to 0.
  int ResetCounters();

  const CXoError& GetLastError() const { return m_LastError; }
  // The media manager code of the last failure; 0 when none.
  long long GetLastErrorCode() const;
  // The text of the last failure; empty when none.
  std::string GetLastErrorString() const;
  unsigned long long GetUploadedBytes() const { return static_cast<unsigned long long>(m_llUploadedBytes); }
  unsigned long long GetDownloadedBytes() const { return static_cast<unsigned long long>(m_llDownloadedBytes); }
  const std::string& GetRootFolder() const { return m_strRootFolder; }
  int GetDeviceType() const { return m_iDeviceType; }

  // Cleared when the object cannot be used (callers test it before every use).
  bool m_bValid = true;
  // The id of the object last written, on an object-ID store; empty until one was closed.
  std::string m_strObjectId;
  long long m_llUploadedBytes = 0;
  long long m_llDownloadedBytes = 0;
  // Reads kept in flight ahead of the reader (0: none).
  int32_t m_iReadAheadThreadLimit = 0;
  // While non-zero, hosts leave m_iReadAheadThreadLimit as it is.
  int32_t m_iReadAheadLimitFixed = 0;

 protected:
  OZBaseRemoteFile(int deviceType, const std::string& rootFolder, long long jobId);
  int Fail(const CXoError& e);
  int Succeed();
  // A line through the registered log callback.
  void LogMessage(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // Records a call on the process-wide list of platform::RemoteFiles().
  void Record(const std::string& call) const;

  int m_iDeviceType;
  std::string m_strRootFolder;
  long long m_llJobId;
  CXoError m_LastError;
};

namespace platform {

// What tests set and read back of the remote-file library.
struct RemoteFileState {
  // "OpenFile <name> <mode>", "SetRetentionTime <days>", "CloseFile <name>" in call order.
  std::vector<std::string> calls;
  // Characters of the ids that object-ID stores assign (at least 1).
  size_t objectIdLength = 40;
};

RemoteFileState& RemoteFiles();
std::mutex& RemoteFilesMutex();  // held while RemoteFiles() is read or written

}  // namespace platform
