#include "platform/sidb_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <tuple>

namespace platform {

std::mutex& SidbMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

SidbState& Sidb() {
  static SidbState* state = new SidbState;
  return *state;
}

namespace sidb {

bool ReadRecords(const std::string& path, std::vector<CZeroRefRecord>& records) {
  records.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  std::string bytes;
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  // A torn file (a length that is no whole number of records) is a failure, not fewer records.
  if (!ok || bytes.size() % sizeof(CZeroRefRecord) != 0) return false;
  records.resize(bytes.size() / sizeof(CZeroRefRecord));
  if (!bytes.empty()) std::memcpy(records.data(), bytes.data(), bytes.size());
  return true;
}

bool WriteRecords(const std::string& path, const std::vector<CZeroRefRecord>& records) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const auto* bytes = reinterpret_cast<const char*>(records.data());
  size_t left = records.size() * sizeof(CZeroRefRecord);
  bool ok = true;
  while (left > 0) {
    const ssize_t n = ::write(fd, bytes, left);
    if (n <= 0) {
      ok = false;
      break;
    }
    bytes += n;
    left -= static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace sidb
}  // namespace platform

namespace {

constexpr int kSidbReadFailed = 5;  // the records' file cannot be read or written

struct Cursor {
  int id;
};

int ScriptedResult(std::deque<int>& results) {
  if (results.empty()) return 0;
  const int r = results.front();
  results.pop_front();
  return r;
}

}  // namespace

int CSIDBClientApi::GetPrunableRecords(void** handle, unsigned long startChunkId, unsigned int limit,
                                       std::vector<CZeroRefRecord>* batch, unsigned long* nextChunkId,
                                       std::vector<unsigned int>* excludedMountPaths) {
  std::lock_guard<std::mutex> lock(platform::SidbMutex());
  platform::SidbState& s = platform::Sidb();
  s.calls.push_back("GetPrunableRecords " + std::to_string(startChunkId) + " " + std::to_string(limit));
  if (handle != nullptr && *handle == nullptr) {
    *handle = new Cursor{++s.openHandles};
  }
  if (const int r = ScriptedResult(s.getResults); r != 0) return r;
  if (batch == nullptr || nextChunkId == nullptr) return kSidbReadFailed;
  batch->clear();
  std::vector<CZeroRefRecord> all;
  if (!s.path.empty() && !platform::sidb::ReadRecords(s.path, all)) return kSidbReadFailed;
  std::set<unsigned int> excluded;
  if (excludedMountPaths != nullptr) excluded.insert(excludedMountPaths->begin(), excludedMountPaths->end());
  std::vector<CZeroRefRecord> eligible;
  for (const CZeroRefRecord& r : all) {
    if (r.ChunkId >= startChunkId && excluded.count(r.MountPathId) == 0) eligible.push_back(r);
  }
  std::sort(eligible.begin(), eligible.end(), [](const CZeroRefRecord& a, const CZeroRefRecord& b) {
    return std::tie(a.ChunkId, a.PrimaryId) < std::tie(b.ChunkId, b.PrimaryId);
  });
  const size_t take = std::min<size_t>({eligible.size(), limit, s.batchSize});
  batch->assign(eligible.begin(), eligible.begin() + static_cast<std::ptrdiff_t>(take));
  if (take < eligible.size()) {
    *nextChunkId = static_cast<unsigned long>(eligible[take].ChunkId);
  } else {
    *nextChunkId = take == 0 ? startChunkId : static_cast<unsigned long>(eligible[take - 1].ChunkId + 1);
  }
  return 0;
}

void CSIDBClientApi::GetPrunableRecordsClose(void* handle) {
  std::lock_guard<std::mutex> lock(platform::SidbMutex());
  platform::Sidb().calls.push_back("Close");
  if (handle == nullptr) return;
  delete static_cast<Cursor*>(handle);
  --platform::Sidb().openHandles;
}

int CSIDBClientApi::PruneRecords(std::vector<unsigned long long>* primaryIds) {
  std::lock_guard<std::mutex> lock(platform::SidbMutex());
  platform::SidbState& s = platform::Sidb();
  const size_t count = primaryIds == nullptr ? 0 : primaryIds->size();
  s.calls.push_back("PruneRecords " + std::to_string(count));
  if (const int r = ScriptedResult(s.pruneResults); r != 0) return r;
  if (count == 0) return 0;
  const std::set<unsigned long long> gone(primaryIds->begin(), primaryIds->end());
  if (!s.path.empty()) {
    std::vector<CZeroRefRecord> all;
    if (!platform::sidb::ReadRecords(s.path, all)) return kSidbReadFailed;
    std::erase_if(all, [&](const CZeroRefRecord& r) { return gone.count(r.PrimaryId) != 0; });
    if (!platform::sidb::WriteRecords(s.path, all)) return kSidbReadFailed;
  }
  s.purged.insert(s.purged.end(), primaryIds->begin(), primaryIds->end());
  return 0;
}

const char* CSIDBClientApi::GetErrorString(unsigned int code) {
  switch (code) {
    case 0:
      return "Success";
    case kSIDBTimeBudgetUsed:
      return "Time budget used up";
    case kSIDBNothingToDo:
      return "Nothing to prune";
    case kSidbReadFailed:
      return "Cannot read or write the dedup database";
    default:
      return "Dedup database failure";
  }
}
