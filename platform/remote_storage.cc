#include "platform/remote_storage.h"

#include <cerrno>
#include <mutex>
#include <set>

#include "platform/local_files.h"

namespace platform {

namespace {

std::mutex& RemoteMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

// Paths whose distributed-storage lock an object of this process holds.
std::set<std::string>& HeldSkarvoLocks() {
  static auto* held = new std::set<std::string>;
  return *held;
}

}  // namespace

std::mutex& RemoteStorageMutex() { return RemoteMutex(); }

RemoteStorageState& RemoteStorage() {
  static RemoteStorageState* state = new RemoteStorageState;
  return *state;
}

void RecordRemoteCall(const std::string& call) {
  std::lock_guard<std::mutex> lock(RemoteMutex());
  RemoteStorage().calls.push_back(call);
}

}  // namespace platform

bool CSkarvoFS::IsSkarvoPath(const std::string& path) {
  if (path.empty()) return false;
  std::lock_guard<std::mutex> lock(platform::RemoteMutex());
  for (const std::string& prefix : platform::RemoteStorage().skarvoPrefixes) {
    if (!prefix.empty() && path.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

CSkarvoFS* CSkarvoFS::Instance() {
  static CSkarvoFS* instance = new CSkarvoFS;
  return instance;
}

int CSkarvoFS::ParseSkarvoPath(const std::string& mountPath, std::string& parsed) {
  platform::RecordRemoteCall("ParseSkarvoPath " + mountPath);
  {
    std::lock_guard<std::mutex> lock(platform::RemoteMutex());
    if (platform::RemoteStorage().parseFailures > 0) {
      --platform::RemoteStorage().parseFailures;
      return 0;
    }
  }
  if (!IsSkarvoPath(mountPath)) return 0;
  parsed = mountPath;
  return 1;
}

int CSkarvoFS::Lookup(const std::string& folder, const std::string& prefix, bool* found) {
  platform::RecordRemoteCall("Lookup " + folder + " " + prefix);
  {
    std::lock_guard<std::mutex> lock(platform::RemoteMutex());
    if (platform::RemoteStorage().lookupFailures > 0) {
      --platform::RemoteStorage().lookupFailures;
      return 5;
    }
  }
  // An error of the listing is not its end: the entries it did not reach may hold the prefix.
  auto failure = [](const CXoError& e) {
    const int err = FXErrorUtil::GetErrNo(e);
    return err != 0 ? err : EIO;
  };
  CXoDirectory dir;
  CXoError e = dir.Open(folder);
  if (e.IsFailure()) return failure(e);
  CXoDirectory::Entry entry;
  bool atEnd = false;
  bool hit = false;
  while (!hit) {
    e = dir.GetEntry(entry, atEnd);
    if (e.IsFailure()) return failure(e);
    if (atEnd) break;
    hit = entry.name.starts_with(prefix);
  }
  if (found != nullptr) *found = hit;
  return 0;
}

CSkarvoLock::CSkarvoLock(const CFSInitParams& params, const std::string& path, EvDebug* log) : m_path(path) {
  (void)params;
  (void)log;
}

// A lock object that goes away releases what it holds, as the storage does for a lost client.
CSkarvoLock::~CSkarvoLock() {
  if (!m_held) return;
  std::lock_guard<std::mutex> lock(platform::RemoteMutex());
  platform::HeldSkarvoLocks().erase(m_path);
}

int CSkarvoLock::TryLock() {
  std::lock_guard<std::mutex> lock(platform::RemoteMutex());
  platform::RemoteStorageState& s = platform::RemoteStorage();
  s.calls.push_back("TryLock " + m_path);
  if (s.tryLockFailures > 0) {
    --s.tryLockFailures;
    return 5;
  }
  if (m_held) return 0;
  if (!platform::HeldSkarvoLocks().insert(m_path).second) return 11;
  m_held = true;
  return 0;
}

int CSkarvoLock::Unlock() {
  std::lock_guard<std::mutex> lock(platform::RemoteMutex());
  platform::RemoteStorage().calls.push_back("Unlock " + m_path);
  if (m_held) platform::HeldSkarvoLocks().erase(m_path);
  m_held = false;
  return 0;
}
