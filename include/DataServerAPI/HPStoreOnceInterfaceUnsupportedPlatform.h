// The StoreOnce file and file-system interfaces on a platform without the appliance's client.
//
// The file-system layer hands these out for storage type 7. Every operation that would reach the
// appliance fails with media manager error 501, logs nothing and changes nothing, so a StoreOnce
// volume here reads, writes, clones and copies nothing and each caller sees 501. The appliance's
// own operations (clone, copy jobs) are virtual, so that a stand-in for tests (see
// platform/appliance_store.h) can derive from these classes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

// The media manager code of an operation the platform cannot perform.
inline constexpr unsigned int kStoreOnceUnsupportedMMError = 501;

#define HPSO_UNSUPPORTED()                                                         \
  FXErrorUtil::ErrorMM(FX_LOCATION, kStoreOnceUnsupportedMMError, "%s",            \
                       "The StoreOnce client is not available on this platform")

class CHPStoreOnceFile : public CFileInterface {
 public:
  CHPStoreOnceFile() = default;
  ~CHPStoreOnceFile() override = default;

  CXoError Open(std::string path, int flags, int mode, int reserved) override {
    (void)path, (void)flags, (void)mode, (void)reserved;
    return HPSO_UNSUPPORTED();
  }
  CXoError Close() override { return HPSO_UNSUPPORTED(); }
  CXoError Read(void* buffer, unsigned int length, unsigned int* done) override {
    (void)buffer, (void)length, (void)done;
    return HPSO_UNSUPPORTED();
  }
  CXoError Write(const void* buffer, unsigned int length, unsigned int* done) override {
    (void)buffer, (void)length, (void)done;
    return HPSO_UNSUPPORTED();
  }
  CXoError Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) override {
    (void)offset, (void)whence, (void)position;
    return HPSO_UNSUPPORTED();
  }
  CXoError Tell(CXoFile::offset& position) override {
    (void)position;
    return HPSO_UNSUPPORTED();
  }
  CXoError Size(unsigned long long& size) override {
    (void)size;
    return HPSO_UNSUPPORTED();
  }
  CXoError Truncate(CXoFile::offset size) override {
    (void)size;
    return HPSO_UNSUPPORTED();
  }
  CXoError GetChkSum(std::string path, int kind, char* sum, int* length) override {
    (void)path, (void)kind, (void)sum, (void)length;
    return HPSO_UNSUPPORTED();
  }
  CXoError Flush() override { return HPSO_UNSUPPORTED(); }
  int GetFD() override { return -1; }
  bool IsValid() override { return false; }
  CXoError LockFile(bool shared) override {
    (void)shared;
    return HPSO_UNSUPPORTED();
  }
  CXoError UnlockFile() override { return HPSO_UNSUPPORTED(); }
  bool IsConnected() override { return true; }
  CXoError DrillHole(uint64_t offset, uint64_t length) override {
    (void)offset, (void)length;
    return HPSO_UNSUPPORTED();
  }
  CXoError AttachFD(int fd, const char* name) override {
    (void)fd, (void)name;
    return HPSO_UNSUPPORTED();
  }
  CXoError SetReadAheadCaching(bool enable) override {
    (void)enable;
    return HPSO_UNSUPPORTED();
  }
  std::string GetFileName() override { return std::string(); }

  // Clones a range of the parent object into this one on the appliance.
  virtual CXoError CloneFromParent(const char* parent, uint64_t offset, uint64_t length, uint64_t* cloned) {
    (void)parent, (void)offset, (void)length, (void)cloned;
    return HPSO_UNSUPPORTED();
  }
};

class CHPStoreOnceFS : public CFSInterface {
 public:
  explicit CHPStoreOnceFS(const CFSInitParams& params) : CFSInterface(params) {}
  using CFSInterface::GetDirContents;
  using CFSInterface::WalkDirectory;

  // The caller's flag is left as it was.
  CXoError Exists(std::string path, bool& exists) override {
    (void)path, (void)exists;
    return HPSO_UNSUPPORTED();
  }
  CXoError RemoveFile(std::string path, unsigned int flags) override {
    (void)path, (void)flags;
    return HPSO_UNSUPPORTED();
  }
  CXoError RemoveDirectory(std::string path, unsigned int flags) override {
    (void)path, (void)flags;
    return HPSO_UNSUPPORTED();
  }
  CXoError CreateDirectory(std::string path, bool recursive) override {
    (void)path, (void)recursive;
    return HPSO_UNSUPPORTED();
  }
  CXoError Rename(std::string from, std::string to, int method) override {
    (void)from, (void)to, (void)method;
    return HPSO_UNSUPPORTED();
  }
  CXoError Chmod(std::string path, int mode) override {
    (void)path, (void)mode;
    return HPSO_UNSUPPORTED();
  }
  CXoError GetFreeSpace(std::string path, unsigned long long& totalBytes,
                        unsigned long long& freeBytes) override {
    (void)path, (void)totalBytes, (void)freeBytes;
    return HPSO_UNSUPPORTED();
  }
  CXoError GetPathInfo(std::string path, FSPathInfo& info) override {
    (void)path, (void)info;
    return HPSO_UNSUPPORTED();
  }
  CXoError GetFileAttributes(std::string path, unsigned long long& size) override {
    (void)path, (void)size;
    return HPSO_UNSUPPORTED();
  }
  CXoError Stat(std::string path, FSPathInfo& info) override {
    (void)path, (void)info;
    return HPSO_UNSUPPORTED();
  }
  CXoError WalkDirectory(std::string path, void* context, int depth, bool filesOnly,
                         FSWalkCallback callback) override {
    (void)path, (void)context, (void)depth, (void)filesOnly, (void)callback;
    return HPSO_UNSUPPORTED();
  }
  CXoError GetDirContents(std::string path, std::vector<FSDirEntry>& entries) override {
    (void)path, (void)entries;
    return HPSO_UNSUPPORTED();
  }

  // The appliance's server-side copy of an object between stores.
  virtual CXoError CopyObject(std::string source, uint64_t sourceOffset, CFSInitParams target,
                      std::string targetPath, uint64_t targetOffset, uint64_t length, bool wait,
                      uint64_t& jobId) {
    (void)source, (void)sourceOffset, (void)target, (void)targetPath, (void)targetOffset,
        (void)length, (void)wait, (void)jobId;
    return HPSO_UNSUPPORTED();
  }
  virtual CXoError GetCopyStatus(std::string path, uint64_t jobId, bool wait, CXoError& copyResult,
                         uint32_t& percentDone) {
    (void)path, (void)jobId, (void)wait, (void)copyResult, (void)percentDone;
    return HPSO_UNSUPPORTED();
  }
  virtual CXoError CancelCopyJob(std::string path, CFSInitParams target, std::string targetPath) {
    (void)path, (void)target, (void)targetPath;
    return HPSO_UNSUPPORTED();
  }
};

#undef HPSO_UNSUPPORTED
