// Storage kinds beside the plain disk: data server files (with their own lock) and the
// distributed storage with its path tests and locks. Recording stand-ins over local files.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

class EvDebug;

// A file on a data server reached over IP (CFSInitParams::m_Type 2). It works on the local path
// it is given; its own lock is recorded and conflicts with other data server locks of the process.
// Declared in platform/posix_file.h, where it derives from the disk file.
class CDataServerFile;

// The distributed storage. Its folders are local folders below the prefixes tests set; every
// call but IsSkarvoPath is recorded in platform::RemoteStorage().calls.
class CSkarvoFS {
 public:
  // Whether the path lies on the distributed storage (below a prefix set by tests).
  static bool IsSkarvoPath(const std::string& path);
  // The process's one client of the storage; never null.
  static CSkarvoFS* Instance();
  // Non-zero when `mountPath` lies on the storage: `parsed` then holds it. 0 when it cannot be
  // parsed (not on the storage, or a scripted failure).
  int ParseSkarvoPath(const std::string& mountPath, std::string& parsed);
  // Whether `folder` holds an entry whose name begins with `prefix` (compared exactly). 0 when the
  // lookup was done; a folder that cannot be opened or read to its end (reads fail as
  // CXoDirectory's do, FsOp::ReadDir included) gives its errno, and a scripted failure 5. `found`
  // is set on success only.
  int Lookup(const std::string& folder, const std::string& prefix, bool* found);
};

class CSkarvoLock {
 public:
  CSkarvoLock(const CFSInitParams& params, const std::string& path, EvDebug* log);
  ~CSkarvoLock();
  CSkarvoLock(const CSkarvoLock&) = delete;
  CSkarvoLock& operator=(const CSkarvoLock&) = delete;
  // 0 when the lock is taken; another lock object of the process holding the path: 11 (EAGAIN).
  int TryLock();
  int Unlock();

 private:
  std::string m_path;
  bool m_held = false;
};

namespace platform {

struct RemoteStorageState {
  std::vector<std::string> skarvoPrefixes;
  std::vector<std::string> calls;  // "TryLock <path>", "Unlock <path>", "DSLock <path> shared", ...
  int tryLockFailures = 0;         // the next n TryLock calls fail with 5
  int parseFailures = 0;           // the next n ParseSkarvoPath calls fail
  int lookupFailures = 0;          // the next n Lookup calls fail with 5
};

RemoteStorageState& RemoteStorage();
std::mutex& RemoteStorageMutex();  // held by the stand-ins while they read or write RemoteStorage()
// Appends to RemoteStorage().calls; safe from any thread.
void RecordRemoteCall(const std::string& call);

}  // namespace platform
