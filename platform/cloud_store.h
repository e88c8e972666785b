// The cloud kinds of the file-system layer (CFSInitParams::m_Type 1, cloud storage, and 4, cloud
// storage with a disk cache) over a folder that behaves as an object store. The remote-file
// library's OZBaseRemoteFile (platform/remote_file.h) works on the same store.
//
// The store's root folder is the storage's host path (CFSInitParams::m_Host.m_Path; none: any
// absolute path). An object is a file below the root, named by its path; a relative name is taken
// from the root. What the store does differently from a disk:
//   - an object appears whole: bytes written to an open object go to an upload that becomes the
//     object, in one step, when the object is closed (and as a snapshot of what was written so
//     far at each Flush); an object closed after a failure, or never closed, does not change;
//   - an object opened for writing without O_TRUNC starts as a copy of the stored one;
//   - a rename is a copy of the whole object under the new name, after which the source is
//     deleted: a stop in between leaves both;
//   - there are no locks, no holes, no descriptors and no permission bits: those calls fail with
//     EOPNOTSUPP (GetFD gives -1);
//   - uploads in progress live in the object's folder under names that begin with ".mfs-upload."
//     and are never listed, found or opened as objects.
// Calls pass the fault injector (platform/fault_injection.h) with the object's name, as disk calls
// do; the power-loss model does not apply: the store keeps what it published.
#pragma once

#include <string>
#include <vector>

#include "platform/posix_file.h"

class CCloudFile : public CPosixFile {
 public:
  CCloudFile() = default;
  ~CCloudFile() override;  // an upload never closed is dropped

  CXoError Open(std::string path, int flags, int mode, int reserved) override;
  // Publishes the upload as the object; on any failure the object stays as it was.
  CXoError Close() override;
  // Every read counts what it brought down, the bytes read ahead too.
  CXoError Read(void* buffer, unsigned int length, unsigned int* done) override;
  CXoError ReadAhead(void* buffer, unsigned int length, unsigned int* done, void* ahead, unsigned int aheadLength,
                     unsigned int* aheadDone) override;
  CXoError ReadAheadAt(uint64_t offset, void* buffer, unsigned int length, unsigned int* done, void* ahead,
                       unsigned int aheadLength, unsigned int* aheadDone) override;
  // Publishes what was written so far; the object stays open for more.
  CXoError Flush() override;
  int GetFD() override { return -1; }
  CXoError LockFile(bool shared) override;
  CXoError UnlockFile() override;
  CXoError DrillHole(uint64_t offset, uint64_t length) override;
  CXoError AttachFD(int fd, const char* name) override;
  unsigned long long GetUploadedMB() override { return m_ullUploaded >> 20; }
  void ResetUploadedMB() override { m_ullUploaded = 0; }
  unsigned long long GetDownloadedMB() override { return m_ullDownloaded >> 20; }
  void ResetDownloadedMB() override { m_ullDownloaded = 0; }

  unsigned long long UploadedBytes() const { return m_ullUploaded; }
  unsigned long long DownloadedBytes() const { return m_ullDownloaded; }

 private:
  void DropUpload();

  bool m_writing = false;
  std::string m_upload;  // the upload file while writing
  unsigned long long m_ullUploaded = 0;
  unsigned long long m_ullDownloaded = 0;
};

class CCloudFS : public CPosixFS {
 public:
  explicit CCloudFS(const CFSInitParams& params) : CPosixFS(params) {}
  using CPosixFS::GetDirContents;
  using CPosixFS::WalkDirectory;

  CXoError Exists(std::string path, bool& exists) override;
  CXoError RemoveFile(std::string path, unsigned int flags) override;
  CXoError RemoveDirectory(std::string path, unsigned int flags) override;
  CXoError CreateDirectory(std::string path, bool recursive) override;
  // Copies the object whole under the new name, then deletes the source; `method` is not used.
  CXoError Rename(std::string from, std::string to, int method) override;
  CXoError Chmod(std::string path, int mode) override;
  CXoError GetFreeSpace(std::string path, unsigned long long& totalBytes, unsigned long long& freeBytes) override;
  CXoError GetPathInfo(std::string path, FSPathInfo& info) override;
  CXoError GetFileAttributes(std::string path, unsigned long long& size) override;
  CXoError Stat(std::string path, FSPathInfo& info) override;
  CXoError WalkDirectory(std::string path, void* context, int depth, bool filesOnly, FSWalkCallback callback) override;
  CXoError GetDirContents(std::string path, std::vector<FSDirEntry>& entries) override;
};

namespace platform::objectstore {

// Whether a file name (no folder) is one of the store's uploads rather than an object.
bool IsUploadName(const std::string& name);

// The file of the object `name` in the store rooted at `root` (empty: any absolute path). 0, or
// ENOENT for a name outside the root, with "..", or of an upload.
int Resolve(const std::string& root, const std::string& name, std::string& path);

}  // namespace platform::objectstore

// Cloud storage with a disk cache (CFSInitParams::m_Type 4): the cloud pair it wraps, which it
// owns, and the folder of the cache mount path (platform::Config().mountPaths), whose id the
// parameters carry after the mount path id (m_Param32b). The cache holds a copy of each object
// under the object's name below the store's root. Reads and listings answer from the cloud;
// writes, truncations and flushes reach both; removals remove from both, a copy that the cache
// never had included. The file's descriptor is that of its cache copy, so a cached index can be
// locked as a disk file is. Without a cache mount path (id 0) the pair behaves as plain cloud.
class CHybridFS : public CFSInterface {
 public:
  // Takes `cloud`; when the cache mount path is unknown the pair works without a cache.
  CHybridFS(const CFSInitParams& params, CFSInterface* cloud);
  ~CHybridFS() override;

  // 0, or -1 for a non-zero id that names no mount path (the cache stays as it was).
  int SetDiskMPId(unsigned int mountPathId);
  unsigned int GetDiskMPId() const { return static_cast<unsigned int>(m_Params.m_Param32b); }
  // The cache copy of `path`; empty without a cache.
  std::string CachePathOf(const std::string& path) const;

  CXoError Exists(std::string path, bool& exists) override;
  CXoError RemoveFile(std::string path, unsigned int flags) override;
  CXoError RemoveDirectory(std::string path, unsigned int flags) override;
  CXoError CreateDirectory(std::string path, bool recursive) override;
  CXoError Rename(std::string from, std::string to, int method) override;
  CXoError Chmod(std::string path, int mode) override;
  CXoError GetFreeSpace(std::string path, unsigned long long& totalBytes, unsigned long long& freeBytes) override;
  CXoError GetPathInfo(std::string path, FSPathInfo& info) override;
  CXoError GetFileAttributes(std::string path, unsigned long long& size) override;
  CXoError Stat(std::string path, FSPathInfo& info) override;
  CXoError WalkDirectory(std::string path, void* context, int depth, bool filesOnly, FSWalkCallback callback) override;
  CXoError GetDirContents(std::string path, std::vector<FSDirEntry>& entries) override;

 private:
  CFSInterface* m_pCloud;
  std::string m_cacheFolder;
};

class CHybridFile : public CFileInterface {
 public:
  // Takes `cloud`.
  CHybridFile(const CFSInitParams& params, CFileInterface* cloud);
  ~CHybridFile() override;

  int SetDiskMPId(unsigned int mountPathId);

  CXoError Open(std::string path, int flags, int mode, int reserved) override;
  CXoError Close() override;
  CXoError Read(void* buffer, unsigned int length, unsigned int* done) override;
  CXoError Write(const void* buffer, unsigned int length, unsigned int* done) override;
  CXoError Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) override;
  CXoError Tell(CXoFile::offset& position) override;
  CXoError Size(unsigned long long& size) override;
  CXoError Truncate(CXoFile::offset size) override;
  CXoError GetChkSum(std::string path, int kind, char* sum, int* length) override;
  CXoError Flush() override;
  int GetFD() override;
  bool IsValid() override;
  CXoError LockFile(bool shared) override;
  CXoError UnlockFile() override;
  bool IsConnected() override { return true; }
  CXoError DrillHole(uint64_t offset, uint64_t length) override;
  CXoError AttachFD(int fd, const char* name) override;
  CXoError SetReadAheadCaching(bool enable) override;
  std::string GetFileName() override;

 private:
  CFileInterface* m_pCloud;
  CPosixFile m_cache;  // the cache copy while the file is open
  std::string m_cacheFolder;
};
