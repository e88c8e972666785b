// The remote-file library: OZBaseRemoteFile, one connection to a cloud object store, here the
// folder-backed store of platform/cloud_store.h. Objects are named by their path below the
// store's root folder or relative to it; an object written through OpenFile and WriteFile
// appears whole at CloseFile.
//
//   std::string root, rest;
//   if (OZBaseRemoteFile::GetRootFolderForRemoteHost(hostPath, root, rest) != 0) {
//     std::unique_ptr<OZBaseRemoteFile> store(
//         OZBaseRemoteFile::GetRemoteFileInstance(deviceType, user, password, root, value, -1));
//     if (store && store->OpenFile(name, kRFModeCreate | kRFModeWrite | kRFModeRead, 0) != 0) ...
//   }
//
// Operations return nonzero on success; after a failure GetLastError tells why. One thread at a
// time uses an object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

class CCloudFile;
class CCloudFS;

// Modes of OpenFile.
inline constexpr int kRFModeRead = 0x001;
inline constexpr int kRFModeWrite = 0x004;
inline constexpr int kRFModeCreate = 0x400;  // a new, empty object (an existing one is replaced at close)

// An entry of a folder listing.
struct OZRFInfo {
  std::string sName;                 // relative to the listed folder
  unsigned long long ullSize = 0;    // bytes
  long long llModifyTime = 0;        // seconds since the epoch
};

class OZBaseRemoteFile {
 public:
  // Splits a storage's host path into the store's root folder and the rest. The host path of the
  // folder-backed store is the root folder itself (an absolute path), so the rest is empty. 0 for
  // a path without a root folder (empty, relative, or only "/").
  static int GetRootFolderForRemoteHost(const std::string& hostPath, std::string& rootFolder, std::string& rest);
  // A connection to the store at `rootFolder`, or null when there is none (no such folder). The
  // device type, the 64-bit value and the last argument are kept for the caller.
  static OZBaseRemoteFile* GetRemoteFileInstance(int deviceType, const std::string& user, const std::string& password,
                                                 const std::string& rootFolder, long long value, int reserved);

  virtual ~OZBaseRemoteFile();
  OZBaseRemoteFile(const OZBaseRemoteFile&) = delete;
  OZBaseRemoteFile& operator=(const OZBaseRemoteFile&) = delete;

  // Opens one object (an open one is closed first, dropping what was not yet closed).
  int OpenFile(const std::string& name, int mode, int flags);
  int ReadFile(void* buffer, unsigned int length, unsigned int& done);
  int WriteFile(const void* buffer, unsigned int length);
  // Closes the open object; one written appears now.
  int CloseFile();
  // Deletes an object; an object that is not there fails with ENOENT.
  int DeleteFile(const std::string& name);
  // Gives the target the source's content (a copy, whole) and deletes the source. `flags` is kept
  // for the caller.
  int RenameFile(const std::string& from, const std::string& to, int flags);
  int FileExists(const std::string& name, bool& exists);
  // The objects and folders directly in `folder` (with `recursive`, the objects below it too, named
  // by their path from `folder`); sizes only `withSizes`.
  int GetFileList(const std::string& folder, std::vector<OZRFInfo>& files, std::vector<std::string>& folders,
                  int withSizes, int recursive);
  int GetFreeSpace(unsigned long long& totalBytes, unsigned long long& freeBytes);

  const CXoError& GetLastError() const { return m_LastError; }
  // The media manager code of the last failure; 0 when none.
  int GetLastErrorCode() const;
  unsigned long long GetUploadedBytes() const;
  unsigned long long GetDownloadedBytes() const;
  const std::string& GetRootFolder() const { return m_Params.m_Host.m_Path; }
  int GetDeviceType() const { return m_Params.m_SubType; }

 private:
  explicit OZBaseRemoteFile(const CFSInitParams& params);
  int Fail(const CXoError& e);
  int Succeed();
  int List(const std::string& folder, const std::string& prefix, std::vector<OZRFInfo>& files,
           std::vector<std::string>& folders, bool withSizes, bool recursive);

  CFSInitParams m_Params;
  std::unique_ptr<CCloudFS> m_pFS;
  std::unique_ptr<CCloudFile> m_pFile;
  CXoError m_LastError;
};
