#include "platform/folder_remote_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <random>

namespace {

// A new object id: hexadecimal characters, as many as the store is set to give.
std::string NewObjectId() {
  size_t length = 0;
  {
    std::lock_guard<std::mutex> lock(platform::RemoteFilesMutex());
    length = platform::RemoteFiles().objectIdLength;
  }
  if (length == 0) length = 1;
  static std::mutex mutex;
  static std::mt19937_64 rng;
  static pid_t seededIn = 0;
  static const char kDigits[] = "0123456789abcdef";
  std::string id(length, '0');
  std::lock_guard<std::mutex> lock(mutex);
  // A process forked after ids were drawn holds a copy of the generator: drawn on, it would give
  // its parent's and its siblings' next ids again, and one object would replace another.
  if (seededIn != ::getpid()) {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), static_cast<unsigned>(::getpid())};
    rng.seed(seed);
    seededIn = ::getpid();
  }
  for (char& c : id) c = kDigits[rng() & 15];
  return id;
}

// Where an id's object lies below the root: the id in parts of at most 64 characters, one folder
// level each, so that an id of any length makes file names a file system takes.
std::string IdPath(const std::string& id) {
  constexpr size_t kPart = 64;
  std::string path;
  for (size_t at = 0; at < id.size(); at += kPart) {
    if (!path.empty()) path += '/';
    path += id.substr(at, kPart);
  }
  return path;
}

bool Writes(int mode) { return (mode & (kRFModeWriteNew | kRFModeCreate | kRFModeWrite)) != 0; }

}  // namespace

CFolderRemoteFile::CFolderRemoteFile(int deviceType, const std::string& rootFolder, const std::string& user,
                                     const std::string& password, long long jobId)
    : OZBaseRemoteFile(deviceType, rootFolder, jobId) {
  m_Params.m_Type = kFSTypeCloud;
  m_Params.m_SubType = deviceType;
  m_Params.m_Param64 = jobId;
  m_Params.m_Host.m_Path = rootFolder;
  m_Params.m_User.m_UserName = user;
  m_Params.m_User.m_Password = password;
  m_pFS.reset(static_cast<CCloudFS*>(CFSInterface::GetFSInterfaceInstance(m_Params)));
  m_pFile.reset(static_cast<CCloudFile*>(CFileInterface::GetFileInterfaceInstance(m_Params)));
  m_bValid = m_pFS != nullptr && m_pFile != nullptr;
}

CFolderRemoteFile::~CFolderRemoteFile() = default;

void CFolderRemoteFile::CountTransfers() {
  const unsigned long long up = m_pFile->UploadedBytes();
  const unsigned long long down = m_pFile->DownloadedBytes();
  m_llUploadedBytes += static_cast<long long>(up - m_ullUploadedSeen);
  m_llDownloadedBytes += static_cast<long long>(down - m_ullDownloadedSeen);
  m_ullUploadedSeen = up;
  m_ullDownloadedSeen = down;
}

int CFolderRemoteFile::Initialize() {
  struct stat st {};
  int err = 0;
  if (::stat(m_strRootFolder.c_str(), &st) != 0) {
    err = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    err = ENOTDIR;
  }
  if (err != 0) {
    return Fail(FXErrorUtil::ErrorErrNo(FX_LOCATION, err, "The store's root folder [%s] cannot be reached",
                                        m_strRootFolder.c_str()));
  }
  return Succeed();
}

int CFolderRemoteFile::OpenFile(const std::string& name, int mode, long long value) {
  (void)value;
  Record("OpenFile " + name + " " + std::to_string(mode));
  m_strPendingId.clear();
  int openFlags = O_RDONLY;
  std::string target = name;
  if ((mode & (kRFModeWriteNew | kRFModeCreate)) != 0) {
    openFlags = O_RDWR | O_CREAT | O_TRUNC;
  } else if ((mode & kRFModeWrite) != 0) {
    openFlags = O_RDWR;
  }
  if (Writes(mode)) {
    // The object about to be written has no id until it is closed.
    m_strObjectId.clear();
    if (IsObjectIDBase() && (openFlags & O_CREAT) != 0) {
      m_strPendingId = NewObjectId();
      target = IdPath(m_strPendingId);
    }
  } else if (IsObjectIDBase()) {
    target = IdPath(name);
  }
  m_strOpenName = name;
  CXoError e = CXoError::Success();
  if ((openFlags & O_CREAT) != 0) {
    // A store has no folders to make first: the object's folder comes with it.
    std::string object;
    if (platform::objectstore::Resolve(m_strRootFolder, target, object) == 0) {
      e = m_pFS->CreateDirectory(CXoPath::GetParent(object), true);
    }
  }
  if (e.IsSuccess()) e = m_pFile->Open(target, openFlags, 0644, 0);
  CountTransfers();
  if (e.IsFailure()) m_strPendingId.clear();
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::ReadFile(void* buffer, unsigned int length, unsigned int& done) {
  CXoError e = m_pFile->Read(buffer, length, &done);
  CountTransfers();
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::WriteFile(const void* buffer, unsigned int length) {
  unsigned int done = 0;
  CXoError e = m_pFile->Write(buffer, length, &done);
  if (e.IsSuccess() && done != length) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "Wrote [%u] of [%u] bytes to [%s]", done, length,
                                m_pFile->GetFileName().c_str());
  }
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::SeekFile(long long offset) {
  if (offset < 0) {
    return Fail(FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "Cannot seek to [%lld] in [%s]", offset,
                                        m_strOpenName.c_str()));
  }
  CXoError e = m_pFile->Seek(offset, SEEK_SET, nullptr);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::CloseFile() {
  Record("CloseFile " + m_strOpenName);
  CXoError e = m_pFile->Close();
  CountTransfers();
  if (e.IsSuccess() && !m_strPendingId.empty()) m_strObjectId = m_strPendingId;
  m_strPendingId.clear();
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::DeleteFile(const std::string& name) {
  CXoError e = m_pFS->RemoveFile(name, 0);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::RenameFile(const std::string& from, const std::string& to, int flags) {
  CXoError e = m_pFS->Rename(from, to, flags);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::FileExists(const std::string& name, bool& exists) {
  CXoError e = m_pFS->Exists(name, exists);
  return e.IsSuccess() ? Succeed() : Fail(e);
}

int CFolderRemoteFile::List(const std::string& folder, const std::string& prefix, std::vector<OZRFInfo>& files,
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

int CFolderRemoteFile::GetFileList(const std::string& folder, std::vector<OZRFInfo>& files,
                                   std::vector<std::string>& folders, int withSizes, int recursive) {
  std::string resolved;
  if (int err = platform::objectstore::Resolve(m_strRootFolder, folder, resolved)) {
    return Fail(FXErrorUtil::ErrorErrNo(FX_LOCATION, err, "[%s] is not a folder of the store", folder.c_str()));
  }
  std::vector<OZRFInfo> foundFiles;
  std::vector<std::string> foundFolders;
  if (List(resolved, std::string(), foundFiles, foundFolders, withSizes != 0, recursive != 0) == 0) return 0;
  files = std::move(foundFiles);
  folders = std::move(foundFolders);
  return Succeed();
}

int CFolderRemoteFile::GetFreeSpace(unsigned long long& totalBytes, unsigned long long& freeBytes) {
  CXoError e = m_pFS->GetFreeSpace(m_strRootFolder, totalBytes, freeBytes);
  return e.IsSuccess() ? Succeed() : Fail(e);
}
