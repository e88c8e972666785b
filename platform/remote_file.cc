#include "platform/remote_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/cloud_store.h"

int OZBaseRemoteFile::GetRootFolderForRemoteHost(const std::string& hostPath, std::string& rootFolder,
                                                 std::string& rest) {
  std::string root = hostPath;
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (root.empty() || hostPath[0] != '/') return 0;
  rootFolder = root;
  rest.clear();
  return 1;
}

OZBaseRemoteFile* OZBaseRemoteFile::GetRemoteFileInstance(int deviceType, const std::string& user,
                                                          const std::string& password, const std::string& rootFolder,
                                                          long long value, int reserved) {
  (void)reserved;
  struct stat st {};
  if (rootFolder.empty() || ::stat(rootFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  CFSInitParams params;
  params.m_Type = kFSTypeCloud;
  params.m_SubType = deviceType;
  params.m_Param64 = value;
  params.m_Host.m_Path = rootFolder;
  params.m_User.m_UserName = user;
  params.m_User.m_Password = password;
  return new OZBaseRemoteFile(params);
}

OZBaseRemoteFile::OZBaseRemoteFile(const CFSInitParams& params)
    : m_Params(params),
      m_pFS(static_cast<CCloudFS*>(CFSInterface::GetFSInterfaceInstance(params))),
      m_pFile(static_cast<CCloudFile*>(CFileInterface::GetFileInterfaceInstance(params))) {}

OZBaseRemoteFile::~OZBaseRemoteFile() = default;

int OZBaseRemoteFile::Fail(const CXoError& e) {
  m_LastError = e;
  return 0;
}

int OZBaseRemoteFile::Succeed() {
  m_LastError = CXoError::Success();
  return 1;
}

int OZBaseRemoteFile::GetLastErrorCode() const {
  return static_cast<int>(MMS2BaseError::ConvertToMMError(m_LastError));
}

unsigned long long OZBaseRemoteFile::GetUploadedBytes() const { return m_pFile->UploadedBytes(); }

unsigned long long OZBaseRemoteFile::GetDownloadedBytes() const { return m_pFile->DownloadedBytes(); }

int OZBaseRemoteFile::OpenFile(const std::string& name, int mode, int flags) {
  (void)flags;
  int openFlags = O_RDONLY;
  if ((mode & kRFModeCreate) != 0) {
    openFlags = O_RDWR | O_CREAT | O_TRUNC;
  } else if ((mode & kRFModeWrite) != 0) {
    openFlags = O_RDWR;
  }
  CXoError e = m_pFile->Open(name, openFlags, 0644, 0);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::ReadFile(void* buffer, unsigned int length, unsigned int& done) {
  CXoError e = m_pFile->Read(buffer, length, &done);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::WriteFile(const void* buffer, unsigned int length) {
  unsigned int done = 0;
  CXoError e = m_pFile->Write(buffer, length, &done);
  if (e.IsSuccess() && done != length) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "Wrote [%u] of [%u] bytes to [%s]", done, length,
                                m_pFile->GetFileName().c_str());
  }
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::CloseFile() {
  CXoError e = m_pFile->Close();
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::DeleteFile(const std::string& name) {
  CXoError e = m_pFS->RemoveFile(name, 0);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::RenameFile(const std::string& from, const std::string& to, int flags) {
  CXoError e = m_pFS->Rename(from, to, flags);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::FileExists(const std::string& name, bool& exists) {
  CXoError e = m_pFS->Exists(name, exists);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int OZBaseRemoteFile::List(const std::string& folder, const std::string& prefix, std::vector<OZRFInfo>& files,
                           std::vector<std::string>& folders, bool withSizes, bool recursive) {
  std::vector<FSDirEntry> entries;
  CXoError e = m_pFS->GetDirContents(folder, entries);
  if (e.IsFailure()) return Fail(e);
  for (const FSDirEntry& entry : entries) {
    const std::string name = prefix.empty() ? entry.name : prefix + "/" + entry.name;
    if (!entry.isFolder) {
      OZRFInfo info;
      info.sName = name;
      if (withSizes) info.ullSize = entry.size;
      files.push_back(std::move(info));
      continue;
    }
    folders.push_back(name);
    if (recursive && List(path_append(folder, entry.name), name, files, folders, withSizes, true) == 0) return 0;
  }
  return 1;
}

int OZBaseRemoteFile::GetFileList(const std::string& folder, std::vector<OZRFInfo>& files,
                                  std::vector<std::string>& folders, int withSizes, int recursive) {
  std::string resolved;
  if (int err = platform::objectstore::Resolve(m_Params.m_Host.m_Path, folder, resolved)) {
    return Fail(FXErrorUtil::ErrorErrNo(FX_LOCATION, err, "[%s] is not a folder of the store", folder.c_str()));
  }
  std::vector<OZRFInfo> foundFiles;
  std::vector<std::string> foundFolders;
  if (List(resolved, std::string(), foundFiles, foundFolders, withSizes != 0, recursive != 0) == 0) return 0;
  files = std::move(foundFiles);
  folders = std::move(foundFolders);
  return Succeed();
}

int OZBaseRemoteFile::GetFreeSpace(unsigned long long& totalBytes, unsigned long long& freeBytes) {
  CXoError e = m_pFS->GetFreeSpace(m_Params.m_Host.m_Path, totalBytes, freeBytes);
  return e.IsSuccess() ? Succeed() : Fail(e);
}
