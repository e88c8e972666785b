// The management server's archive manager client, ArchiveManagerDS: the object ids of chunks
// kept on stores that assign their own ids. One in-process map stands for the server
// (platform::ArchiveManager()): tests say which chunks an archive file holds, read back the ids
// recorded and every call, and make calls fail.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

// Which archive file's chunks to look up.
struct GetAfileCClipArgsDS_t {
  int64_t llArchFileId = 0;
  int64_t llTHId = 0;  // installation id
  int64_t llCopyId = 0;
};

struct AfileCClipEntryDS_t {
  uint64_t ullChunkId = 0;
  int64_t llReserved = 0;  // the server's own value; callers do not read it
  std::string strObjectId;
};

struct GetAfileCClipRetDS_t {
  std::vector<AfileCClipEntryDS_t> entries;
};

struct SetChunkCClipArgsDS_t {
  // Object ids of the stores are at most 255 characters; the array holds them with their
  // terminator. A longer id cannot be recorded.
  static constexpr size_t kObjectIdSize = 256;

  uint64_t ullChunkId = 0;
  char szObjectId[kObjectIdSize] = {};
};

class ArchiveManagerDS {
 public:
  // Every chunk of the archive file whose object id the server knows. 0 on success.
  int getAfileCClip(GetAfileCClipArgsDS_t* args, GetAfileCClipRetDS_t* ret);
  // Records the chunk's object id (the text up to the terminator inside the array). 0 on success.
  int setChunkCClip(SetChunkCClipArgsDS_t* args);
};

namespace platform {

struct ArchiveManagerState {
  using ArchiveFileKey = std::tuple<int64_t, int64_t, int64_t>;  // archive file, installation, copy

  std::map<ArchiveFileKey, std::vector<uint64_t>> archiveFileChunks;  // what the tests say
  std::map<uint64_t, std::string> objectIds;                         // by chunk id
  std::vector<std::string> calls;  // "getAfileCClip <afid> <thid> <copy>", "setChunkCClip <chunk> <id>"
  // A result to return instead, per operation name, for the next n calls (-1: every call); such a
  // call is recorded and changes nothing.
  struct Scripted {
    int result = -1;
    int times = 1;
  };
  std::map<std::string, Scripted> failures;
  // Called at the start of each call with its name, outside the state's lock.
  std::function<void(const std::string& op)> hook;

  void Fail(const std::string& op, int result = -1, int times = 1) { failures[op] = {result, times}; }
};

ArchiveManagerState& ArchiveManager();
std::mutex& ArchiveManagerMutex();  // held while ArchiveManager() is read or written

}  // namespace platform
