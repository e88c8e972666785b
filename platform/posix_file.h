// The disk kind of the file-system layer, over POSIX, and the data server file built on it.
#pragma once

#include <string>

#include "platform/file_system.h"

class CPosixFile : public CFileInterface {
 public:
  CPosixFile() = default;
  ~CPosixFile() override;

  CXoError Open(std::string path, int flags, int mode, int reserved) override;
  CXoError Close() override;
  CXoError Read(void* buffer, unsigned int length, unsigned int* done) override;
  // One readv(2) for both buffers.
  CXoError ReadAhead(void* buffer, unsigned int length, unsigned int* done, void* ahead, unsigned int aheadLength,
                     unsigned int* aheadDone) override;
  // One preadv(2) for both buffers. An offset past what the file can address fails with EINVAL.
  bool PositionedReads() override { return true; }
  CXoError ReadAheadAt(uint64_t offset, void* buffer, unsigned int length, unsigned int* done, void* ahead,
                       unsigned int aheadLength, unsigned int* aheadDone) override;
  // The open file and the one at `path` are the same file (device and inode).
  bool StillNamedBy(const std::string& path) override;
  CXoError Write(const void* buffer, unsigned int length, unsigned int* done) override;
  CXoError Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) override;
  CXoError Tell(CXoFile::offset& position) override;
  CXoError Size(unsigned long long& size) override;
  CXoError Truncate(CXoFile::offset size) override;
  CXoError GetChkSum(std::string path, int kind, char* sum, int* length) override;
  CXoError Flush() override;
  int GetFD() override { return m_fd; }
  bool IsValid() override { return m_fd >= 0; }
  CXoError LockFile(bool shared) override;
  CXoError UnlockFile() override;
  bool IsConnected() override { return true; }
  CXoError DrillHole(uint64_t offset, uint64_t length) override;
  CXoError AttachFD(int fd, const char* name) override;
  CXoError SetReadAheadCaching(bool enable) override;
  std::string GetFileName() override { return m_path; }

 protected:
  CXoError ReadAll(void* buffer, size_t want, unsigned int* done);

  int m_fd = -1;
  std::string m_path;
};

// A data server file: a disk file whose lock is the data server's own. Each LockFile and
// UnlockFile is recorded in platform::RemoteStorage().calls ("DSLock <path> shared",
// "DSLock <path> exclusive", "DSUnlock <path>"). Within the process, shared locks of a path
// coexist and an exclusive one excludes every other; a refused lock fails at once with EAGAIN.
// Close, an Open of the object again (which closes its descriptor) and destruction release the
// lock.
class CDataServerFile : public CPosixFile {
 public:
  ~CDataServerFile() override;
  CXoError Open(std::string path, int flags, int mode, int reserved) override;
  CXoError Close() override;
  CXoError LockFile(bool shared) override;
  CXoError UnlockFile() override;

 private:
  void ReleaseDataServerLock();
  std::string m_lockedPath;  // empty: no lock held
};

class CPosixFS : public CFSInterface {
 public:
  explicit CPosixFS(const CFSInitParams& params) : CFSInterface(params) {}
  using CFSInterface::GetDirContents;
  using CFSInterface::WalkDirectory;

  CXoError Exists(std::string path, bool& exists) override;
  CXoError RemoveFile(std::string path, unsigned int flags) override;
  CXoError RemoveDirectory(std::string path, unsigned int flags) override;
  CXoError CreateDirectory(std::string path, bool recursive) override;
  CXoError Rename(std::string from, std::string to, int method) override;
  CXoError Chmod(std::string path, int mode) override;
  CXoError GetFreeSpace(std::string path, unsigned long long& totalBytes,
                        unsigned long long& freeBytes) override;
  CXoError GetPathInfo(std::string path, FSPathInfo& info) override;
  CXoError GetFileAttributes(std::string path, unsigned long long& size) override;
  CXoError Stat(std::string path, FSPathInfo& info) override;
  CXoError WalkDirectory(std::string path, void* context, int depth, bool filesOnly,
                         FSWalkCallback callback) override;
  CXoError GetDirContents(std::string path, std::vector<FSDirEntry>& entries) override;
};
