// The dedup appliance's object interface over a folder, for tests and example hosts.
//
// Switched on (platform::Appliance().Enable), the file-system layer hands out CApplianceFile and
// CApplianceFS for storage type 7; switched off (the state after platform::ResetAll), it hands
// out the classes of a platform without the appliance's client, whose every call fails with media
// manager error 501 (include/DataServerAPI/HPStoreOnceInterfaceUnsupportedPlatform.h).
//
// An object is a file named by its path below the appliance's root: an absolute name must lie
// below the root, a relative one is taken from it, ".." is refused (an empty root takes any
// absolute name). Objects are files of the disk kind: what a write acknowledged is in the object
// at once, so the paged index files work on objects as on disk files. Beyond a disk:
//   - an open that may create an object makes its parent folders; the open flags are honoured
//     (access mode, exclusive create, truncate), the mode and the OpenEx option are recorded, not
//     applied: objects carry no permission bits;
//   - CloneFromParent appends a range of another object (the parent) to the open object with
//     copy_file_range(2), leaves the object's position at its new end and reports the bytes
//     cloned (fewer when the parent ends inside the range);
//   - CopyObject starts a copy job, which copies a range of one object into another at a given
//     offset on the stand-in's worker thread; GetCopyStatus polls a job or waits for its end;
//     CancelCopyJob cancels every job from a source that has not ended and returns once none of
//     them runs any more;
//   - with a capacity set, a write, clone or copy job that would take the bytes of all objects
//     past it fails with media manager error 81158 and changes nothing;
//   - any call can be made to fail with a chosen media manager code (Fail);
//   - every call is recorded (Calls) and passes platform::Faults() with the object's name: the
//     file operations and Exists, RemoveFile and CreateDirectory as the disk layer passes them, a
//     clone as FsOp::Clone with the target's name, CopyObject and GetCopyStatus as FsOp::Copy
//     with the destination's name, CancelCopyJob as FsOp::Copy with the source's.
// Renames, mode changes, free space and directory walks are not offered: they fail with 501 as
// without the client.
// No power-loss model: the appliance keeps what it acknowledged (its tests leave the disk layer's
// power-loss switch off). The stand-in's state is per process: a forked child starts a worker
// thread of its own for its copy jobs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DataServerAPI/HPStoreOnceInterfaceUnsupportedPlatform.h"
#include "platform/posix_file.h"

class CApplianceFile : public CHPStoreOnceFile {
 public:
  CApplianceFile() = default;
  ~CApplianceFile() override;
  CApplianceFile(const CApplianceFile&) = delete;
  CApplianceFile& operator=(const CApplianceFile&) = delete;

  CXoError Open(std::string path, int flags, int mode, int reserved) override;
  CXoError OpenEx(std::string path, int flags, int mode, int reserved, int option) override;
  CXoError Close() override;
  CXoError Read(void* buffer, unsigned int length, unsigned int* done) override;
  CXoError Write(const void* buffer, unsigned int length, unsigned int* done) override;
  CXoError Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) override;
  CXoError Tell(CXoFile::offset& position) override;
  CXoError Size(unsigned long long& size) override;
  CXoError Truncate(CXoFile::offset size) override;
  CXoError GetChkSum(std::string path, int kind, char* sum, int* length) override;
  CXoError Flush() override;
  int GetFD() override { return m_file.GetFD(); }
  bool IsValid() override { return m_file.IsValid(); }
  CXoError LockFile(bool shared) override;
  CXoError UnlockFile() override;
  bool IsConnected() override { return true; }
  CXoError DrillHole(uint64_t offset, uint64_t length) override;
  CXoError AttachFD(int fd, const char* name) override;
  CXoError SetReadAheadCaching(bool enable) override;
  std::string GetFileName() override { return m_name; }
  CXoError CloneFromParent(const char* parent, uint64_t offset, uint64_t length, uint64_t* cloned) override;

 private:
  CXoError OpenObject(const std::string& path, int flags, int mode, int option);
  int ParentFD(const std::string& parentFile);
  void DropParent();

  CPosixFile m_file;   // the object's file
  std::string m_name;  // the object's name as the caller gave it
  int m_flags = 0;     // of its open
  int m_parentFD = -1;  // the last parent cloned from, open while the object is
  std::string m_parentFile;
};

class CApplianceFS : public CHPStoreOnceFS {
 public:
  explicit CApplianceFS(const CFSInitParams& params) : CHPStoreOnceFS(params), m_disk(params) {}
  using CHPStoreOnceFS::GetDirContents;

  CXoError Exists(std::string path, bool& exists) override;
  CXoError RemoveFile(std::string path, unsigned int flags) override;
  CXoError RemoveDirectory(std::string path, unsigned int flags) override;
  CXoError CreateDirectory(std::string path, bool recursive) override;
  CXoError GetPathInfo(std::string path, FSPathInfo& info) override;
  CXoError GetFileAttributes(std::string path, unsigned long long& size) override;
  CXoError Stat(std::string path, FSPathInfo& info) override;
  CXoError GetDirContents(std::string path, std::vector<FSDirEntry>& entries) override;

  // `wait`: return once the job has ended (its outcome is then read with GetCopyStatus).
  CXoError CopyObject(std::string source, uint64_t sourceOffset, CFSInitParams target, std::string targetPath,
                      uint64_t targetOffset, uint64_t length, bool wait, uint64_t& jobId) override;
  // `path` is not used. The call fails for an unknown job; `copyResult` is the job's outcome once
  // it has ended (success while it runs), `percentDone` how far it got. `wait`: return only once
  // the job has ended.
  CXoError GetCopyStatus(std::string path, uint64_t jobId, bool wait, CXoError& copyResult,
                         uint32_t& percentDone) override;
  // Cancels the jobs from `path` that have not ended; `target` and `targetPath` are not used.
  CXoError CancelCopyJob(std::string path, CFSInitParams target, std::string targetPath) override;

 private:
  CPosixFS m_disk;
};

namespace platform {

// The calls of the appliance, for failure rules and the record of calls.
enum class ApplianceOp {
  Open,
  Close,
  Read,
  Write,
  Seek,
  Tell,
  Size,
  Truncate,
  Flush,
  Clone,
  Exists,
  Remove,
  CreateDirectory,
  List,        // GetPathInfo, GetFileAttributes, Stat, GetDirContents
  CopyObject,
  CopyStatus,
  CancelCopy,
  CopyJob,     // a copy job's own outcome, as GetCopyStatus reports it
  Other,       // locks, holes, checksums, read-ahead, attached descriptors
};

const char* ApplianceOpName(ApplianceOp op);

// Makes the n-th call of `op` on an object whose name contains `nameContains` (empty: any; a copy
// job: its destination's name) fail with media manager code `mmCode`. Counting starts when the
// rule is added.
struct ApplianceRule {
  ApplianceOp op = ApplianceOp::Write;
  std::string nameContains;
  int nth = 1;        // below 1: 1
  int times = 1;      // -1: every call from the n-th on
  unsigned int mmCode = 0;
};

// One call as the appliance received it. Open: flags, mode, option. Read, Write: bytes asked.
// Seek: offset, origin. Truncate: size. Clone: offset, length (`other` the parent). CopyObject:
// source offset, target offset, length, wait, the job id given (`name` the source, `other` the
// destination). CopyStatus: job id, wait. CopyJob (recorded when the job ends): job id, bytes
// copied, the outcome's media manager code (0 success).
struct ApplianceCall {
  ApplianceOp op = ApplianceOp::Other;
  std::string name;
  std::vector<long long> args;
  std::string other;
};

class ApplianceStore {
 public:
  // Switches the stand-in on with its objects below `root`.
  void Enable(const std::string& root);
  bool Enabled() const;
  std::string Root() const;
  // Bytes all objects may hold together; 0: no limit.
  void SetCapacity(unsigned long long bytes);
  // The bytes of all objects (every regular file below the root).
  unsigned long long UsedBytes() const;
  void Fail(const ApplianceRule& rule);
  std::vector<ApplianceCall> Calls() const;
  std::vector<ApplianceCall> CallsOf(ApplianceOp op) const;
  // Forgets the calls recorded so far (a long run that does not read them keeps memory flat).
  void ClearCalls();
  // Copy jobs that have not ended.
  size_t RunningJobs() const;
  // Returns once every copy job has ended.
  void WaitForJobs() const;
  // Held, copy jobs wait to start: a cancel still ends them at once, while a status call that
  // waits for one returns only after the release. Reset releases them.
  void HoldJobs(bool held);
  // Switched off, no root, capacity, rule or recorded call; every copy job is cancelled and the
  // worker thread ends.
  void Reset();
};

ApplianceStore& Appliance();

}  // namespace platform
