// The folder-backed kind of OZBaseRemoteFile (platform/remote_file.h): the store of
// platform/cloud_store.h, whose root folder is an absolute path. With the device type
// kRFDeviceTypeObjectIdStore it is an object-ID store: an object written under any name is kept
// under a new id of platform::RemoteFiles().objectIdLength hexadecimal characters, which becomes
// m_strObjectId when the object is closed, and is opened by that id. The object's file is the id
// below the root folder, cut into folders of 64 characters.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/cloud_store.h"
#include "platform/remote_file.h"

class CFolderRemoteFile final : public OZBaseRemoteFile {
 public:
  CFolderRemoteFile(int deviceType, const std::string& rootFolder, const std::string& user,
                    const std::string& password, long long jobId);
  ~CFolderRemoteFile() override;

  // Nonzero while the root folder is a folder.
  int Initialize() override;
  int OpenFile(const std::string& name, int mode, long long value) override;
  int ReadFile(void* buffer, unsigned int length, unsigned int& done) override;
  int WriteFile(const void* buffer, unsigned int length) override;
  int SeekFile(long long offset) override;
  int CloseFile() override;
  int DeleteFile(const std::string& name) override;
  int RenameFile(const std::string& from, const std::string& to, int flags) override;
  int FileExists(const std::string& name, bool& exists) override;
  int GetFileList(const std::string& folder, std::vector<OZRFInfo>& files, std::vector<std::string>& folders,
                  int withSizes, int recursive) override;
  // Tests set it with platform::Faults().SetFreeSpace on the root folder.
  int GetFreeSpace(unsigned long long& totalBytes, unsigned long long& freeBytes) override;
  bool IsObjectIDBase() const override { return m_iDeviceType == kRFDeviceTypeObjectIdStore; }

 private:
  int List(const std::string& folder, const std::string& prefix, std::vector<OZRFInfo>& files,
           std::vector<std::string>& folders, bool withSizes, bool recursive);
  // Adds what the file moved since the last call to the object's counters.
  void CountTransfers();

  CFSInitParams m_Params;
  std::unique_ptr<CCloudFS> m_pFS;
  std::unique_ptr<CCloudFile> m_pFile;
  std::string m_strOpenName;
  std::string m_strPendingId;  // the id of the object being written on an object-ID store
  unsigned long long m_ullUploadedSeen = 0;
  unsigned long long m_ullDownloadedSeen = 0;
};
