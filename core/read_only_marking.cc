// Read-only chunks: after a chunk is closed, its file (or every file of its folder) loses all
// write permission and carries its retention date as access time, which retention-aware storage
// reads as the date until which the file must be kept.

#include <sys/stat.h>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/platform.h"

namespace {

constexpr long long kSecondsPerDay = 86400;
// Storage that keeps 32-bit times sees a date past 2038-01-19 03:14:07 UTC as this much earlier.
constexpr long long kLargest32BitTime = 2147483647;
constexpr long long kWrapAround = 2147483648LL;
// The largest date written after the wrap: it stands for 2071-01-19 08:14:07 UTC.
constexpr long long kLargestWrappedTime = 1041397199;
constexpr mode_t kReadOnlyMode = 0444;

// The access time that encodes a retention date. `clamped` tells that the date lay beyond what the
// encoding can carry and the latest possible date was written instead.
long long RetentionAccessTime(long long changeTime, int32_t retentionDays, bool smartLock, bool& clamped) {
  clamped = false;
  long long date = changeTime + static_cast<long long>(retentionDays) * kSecondsPerDay;
  if (smartLock || date <= kLargest32BitTime) return date;
  date -= kWrapAround;
  if (date > kLargestWrappedTime) {
    clamped = true;
    date = kLargestWrappedTime;
  }
  return date;
}

}  // namespace

int media_fs::markMagneticPathReadOnly(const char* path) {
  if (!m_bChunksReadOnly) return 0;
  CXoFile::EnableLongNamespace(true);

  bool isFolder = false;
  CXoError e = CXoPath::IsDirectory(path, isFolder);
  if (e.IsFailure()) {
    Log(1, "Failed to check whether path [%s] is a directory or not, error=%s", path, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  if (!isFolder) {
    if (markFileReadOnly(path) != 0) {
      Log(1, "Cannot mark the file [%s] as read only.", path);
      return -1;
    }
    return 0;
  }

  CXoDirectory dir;
  e = dir.Open(path, "*");
  if (e.IsFailure()) {
    Log(1, "Cannot open the directory [%s] for iterating, error=%s", path, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  // Only the folder's regular files are chunk files; a sub-folder made read-only could no longer
  // be written or cleaned up.
  CXoDirectory::Entry entry;
  for (bool atEnd = false;;) {
    // A listing that breaks off is not its end: the files not yet reached would stay writable.
    e = dir.GetEntry(entry, atEnd);
    if (e.IsFailure()) {
      Log(1, "Cannot get the directory entry for path [%s], error=%s", path, e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
    if (atEnd) break;
    if (entry.isDirectory) continue;
    const std::string file = CXoPath::Append(path, entry.name);
    struct stat st {};
    e = CXoFile::Stat(file, &st);
    int rc = 0;
    if (e.IsFailure()) {
      Log(1, "Cannot stat file [%s], error=%s", file.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      rc = -1;
    } else if (S_ISREG(st.st_mode)) {
      rc = MarkStatedFileReadOnly(file.c_str(), st.st_mode, st.st_ctime);
    }
    if (rc != 0) {
      Log(1, "Cannot mark the file [%s] as read only.", file.c_str());
      return -1;
    }
  }
  return 0;
}

int media_fs::markFileReadOnly(const char* path) {
  struct stat st {};
  CXoError e = CXoFile::Stat(path, &st);
  if (e.IsFailure()) {
    Log(1, "Cannot stat file [%s], error=%s", path, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return MarkStatedFileReadOnly(path, st.st_mode, st.st_ctime);
}

// The access time goes first, while the file can still be changed; the permissions last.
int media_fs::MarkStatedFileReadOnly(const char* path, unsigned int mode, long long changeTime) {
  if ((mode & S_IWUSR) == 0) return 0;
  bool clamped = false;
  const long long accessTime =
      RetentionAccessTime(changeTime, static_cast<int32_t>(m_uiRetentionDays), m_bIsilonSmartLock, clamped);
  if (clamped) {
    Log(1,
        "The retention time of the file [%s] to be set is [%d] days. This value is more than the supported "
        "limit.Setting it to the Max possible.",
        path, static_cast<int32_t>(m_uiRetentionDays));
  }
  CXoError e = CXoFile::SetTimes(path, accessTime, CXoFile::kKeepTime);
  if (e.IsFailure()) {
    Log(1, "Cannot set the access time of [%s], error=%s", path, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  e = CXoFile::Chmod(path, kReadOnlyMode);
  if (e.IsFailure()) {
    Log(1, "Cannot change to read only mode for [%s], error=%s", path, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return 0;
}
