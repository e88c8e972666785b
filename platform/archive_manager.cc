#include "platform/archive_manager.h"

#include <cstring>

#include "platform/platform.h"

namespace {

void ResetArchiveManager() {
  std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
  platform::ArchiveManager() = platform::ArchiveManagerState();
}

// Records the call; true with `result` when the call is scripted to fail.
bool Scripted(const std::string& op, const std::string& call, int& result) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
    hook = platform::ArchiveManager().hook;
  }
  if (hook) hook(op);
  std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
  platform::ArchiveManagerState& s = platform::ArchiveManager();
  s.calls.push_back(call);
  auto it = s.failures.find(op);
  if (it == s.failures.end() || it->second.times == 0) return false;
  result = it->second.result;
  if (it->second.times > 0) --it->second.times;
  return true;
}

}  // namespace

namespace platform {

ArchiveManagerState& ArchiveManager() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterReset(&ResetArchiveManager); });
  static ArchiveManagerState* state = new ArchiveManagerState;
  return *state;
}

std::mutex& ArchiveManagerMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace platform

int ArchiveManagerDS::getAfileCClip(GetAfileCClipArgsDS_t* args, GetAfileCClipRetDS_t* ret) {
  if (args == nullptr || ret == nullptr) return -1;
  const std::string call = "getAfileCClip " + std::to_string(args->llArchFileId) + " " + std::to_string(args->llTHId) +
                           " " + std::to_string(args->llCopyId);
  int result = 0;
  if (Scripted("getAfileCClip", call, result)) return result;
  std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
  platform::ArchiveManagerState& s = platform::ArchiveManager();
  auto chunks = s.archiveFileChunks.find({args->llArchFileId, args->llTHId, args->llCopyId});
  if (chunks == s.archiveFileChunks.end()) return 0;
  for (uint64_t chunk : chunks->second) {
    auto id = s.objectIds.find(chunk);
    if (id != s.objectIds.end()) ret->entries.push_back({chunk, 0, id->second});
  }
  return 0;
}

int ArchiveManagerDS::setChunkCClip(SetChunkCClipArgsDS_t* args) {
  if (args == nullptr) return -1;
  const std::string id(args->szObjectId, strnlen(args->szObjectId, sizeof(args->szObjectId)));
  int result = 0;
  if (Scripted("setChunkCClip", "setChunkCClip " + std::to_string(args->ullChunkId) + " " + id, result)) return result;
  std::lock_guard<std::mutex> lock(platform::ArchiveManagerMutex());
  platform::ArchiveManager().objectIds[args->ullChunkId] = id;
  return 0;
}
