#include "platform/local_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/fault_injection.h"

// ---------------------------------------------------------------------------------------------
// CXoFile

CXoError CXoFile::Stat(const std::string& path, struct stat* st) {
  if (st == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "No stat buffer for [%s]", path.c_str());
  if (stat(path.c_str(), st) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot stat [%s]", path.c_str());
  }
  return CXoError::Success();
}

// Counted, and made to fail, by the fault injector as the file-system layer's Chmod is.
CXoError CXoFile::Chmod(const std::string& path, mode_t mode) {
  if (platform::detail::g_faultFlags.load(std::memory_order_relaxed) != 0) {
    const platform::FaultInjector::Outcome o = platform::Faults().Check(platform::FsOp::Chmod, path);
    if (o.err != 0) return FXErrorUtil::ErrorErrNo(FX_LOCATION, o.err, "Cannot change the mode of [%s]", path.c_str());
  }
  if (chmod(path.c_str(), mode) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot change the mode of [%s]", path.c_str());
  }
  return CXoError::Success();
}

CXoError CXoFile::SetTimes(const std::string& path, long long accessTime, long long modifyTime) {
  auto toTimespec = [](long long t) {
    return t == kKeepTime ? timespec{0, UTIME_OMIT} : timespec{static_cast<time_t>(t), 0};
  };
  timespec times[2] = {toTimespec(accessTime), toTimespec(modifyTime)};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot set the times of [%s]", path.c_str());
  }
  return CXoError::Success();
}

CXoError CXoFile::Delete(const std::string& path) {
  if (unlink(path.c_str()) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot delete [%s]", path.c_str());
  }
  return CXoError::Success();
}

// ---------------------------------------------------------------------------------------------
// CXoDirectory

namespace {

bool EntryIsDirectory(const std::string& folder, const dirent* d) {
  if (d->d_type == DT_DIR) return true;
  if (d->d_type != DT_UNKNOWN && d->d_type != DT_LNK) return false;
  struct stat st {};
  return stat(path_append(folder, d->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Listing {
  int err = 0;
  std::vector<CXoDirectory::Entry> entries;
};

// An injected failure to read the folder's entries, or 0.
int ReadDirFault(const std::string& folder) {
  if (platform::detail::g_faultFlags.load(std::memory_order_relaxed) == 0) return 0;
  return platform::Faults().Check(platform::FsOp::ReadDir, folder).err;
}

// readdir's answer: an entry, or null with `err` 0 at the end of the folder and the errno of a
// failed read otherwise (readdir leaves errno alone at the end).
dirent* ReadEntry(DIR* dir, int& err) {
  errno = 0;
  dirent* d = readdir(dir);
  err = d == nullptr ? errno : 0;
  return d;
}

// The entries of one folder in name order, so walks are repeatable. A folder that cannot be read
// to its end gives its error, not part of its entries.
Listing ListFolder(const std::string& folder) {
  Listing listing;
  if ((listing.err = ReadDirFault(folder)) != 0) return listing;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    listing.err = errno;
    return listing;
  }
  int err = 0;
  while (dirent* d = ReadEntry(dir, err)) {
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    listing.entries.push_back({d->d_name, EntryIsDirectory(folder, d)});
  }
  closedir(dir);
  if (err != 0) {
    listing.err = err;
    listing.entries.clear();
    return listing;
  }
  std::sort(listing.entries.begin(), listing.entries.end(),
            [](const CXoDirectory::Entry& a, const CXoDirectory::Entry& b) { return a.name < b.name; });
  return listing;
}

int WalkFolder(const std::string& folder, int depthLeft,
               const std::function<int(const std::string&, const std::string&, bool)>& visit) {
  Listing listing = ListFolder(folder);
  if (listing.err != 0) return -listing.err;
  for (const CXoDirectory::Entry& e : listing.entries) {
    int rc = visit(folder, e.name, e.isDirectory);
    if (rc < 0) return rc;
    if (e.isDirectory && depthLeft != 0) {
      rc = WalkFolder(path_append(folder, e.name), depthLeft < 0 ? -1 : depthLeft - 1, visit);
      if (rc < 0) return rc;
    }
  }
  return 0;
}

}  // namespace

CXoError CXoDirectory::Open(const std::string& folder, const std::string& pattern) {
  Close();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot open the folder [%s]", folder.c_str());
  }
  m_dir = dir;
  m_folder = folder;
  m_pattern = pattern.empty() ? "*" : pattern;
  return CXoError::Success();
}

CXoError CXoDirectory::GetEntry(Entry& entry, bool& atEnd) {
  atEnd = false;
  if (m_dir == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "No folder is open for listing");
  if (const int err = ReadDirFault(m_folder)) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, err, "Cannot read the entries of the folder [%s]", m_folder.c_str());
  }
  int err = 0;
  while (dirent* d = ReadEntry(static_cast<DIR*>(m_dir), err)) {
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    if (!WildcardMatch(m_pattern.c_str(), d->d_name)) continue;
    entry.name = d->d_name;
    entry.isDirectory = EntryIsDirectory(m_folder, d);
    return CXoError::Success();
  }
  if (err != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, err, "Cannot read the entries of the folder [%s]", m_folder.c_str());
  }
  atEnd = true;
  return CXoError::Success();
}

void CXoDirectory::Close() {
  if (m_dir != nullptr) closedir(static_cast<DIR*>(m_dir));
  m_dir = nullptr;
}

int CXoDirectory::Walk(const std::string& folder, int maxDepth,
                       const std::function<int(const std::string&, const std::string&, bool)>& visit) {
  if (!visit) return 0;
  return WalkFolder(folder, maxDepth < 0 ? -1 : maxDepth, visit);
}

CXoError CXoDirectory::Walk(const std::string& folder, void* context, int level, bool filesOnly,
                            WalkCallback callback) {
  if (callback == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "No callback for the walk of [%s]", folder.c_str());
  }
  CXoError stoppedBy;
  const int rc = Walk(folder, level, [&](const std::string& where, const std::string& name, bool isFolder) {
    if (filesOnly && isFolder) return 0;
    stoppedBy = callback(where.c_str(), name.c_str(), isFolder, context);
    return stoppedBy.IsFailure() ? -1 : 0;
  });
  if (rc == 0) return CXoError::Success();
  if (stoppedBy.IsFailure()) return stoppedBy;
  return FXErrorUtil::ErrorErrNo(FX_LOCATION, -rc, "Cannot list the folder [%s] or a folder below it", folder.c_str());
}

// ---------------------------------------------------------------------------------------------
// Paths and texts

std::string path_append(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (name.empty()) return base;
  size_t end = base.find_last_not_of('/');
  size_t begin = name.find_first_not_of('/');
  std::string head = end == std::string::npos ? std::string() : base.substr(0, end + 1);
  std::string tail = begin == std::string::npos ? std::string() : name.substr(begin);
  return head + "/" + tail;
}

std::string CXoPath::Append(const std::string& base, const std::string& name) { return path_append(base, name); }

bool CXoPath::Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

CXoError CXoPath::Exists(const std::string& path, bool& exists) {
  exists = false;
  if (path.empty()) return CXoError::Success();
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    exists = true;
    return CXoError::Success();
  }
  if (errno == ENOENT || errno == ENOTDIR) return CXoError::Success();
  return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot tell whether [%s] exists", path.c_str());
}

bool CXoPath::IsDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

CXoError CXoPath::IsDirectory(const std::string& path, bool& isDirectory) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, path.empty() ? ENOENT : errno, "Cannot stat [%s]", path.c_str());
  }
  isDirectory = S_ISDIR(st.st_mode);
  return CXoError::Success();
}

std::string CXoPath::GetParent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? std::string() : "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return std::string();
  size_t parentEnd = path.find_last_not_of('/', slash);
  if (parentEnd == std::string::npos) return "/";
  return path.substr(0, parentEnd + 1);
}

std::string CXoPath::GetBaseName(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return std::string();
  size_t slash = path.rfind('/', end);
  size_t begin = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(begin, end + 1 - begin);
}

std::string CXoString::ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

size_t CXoString::ReverseFind(const std::string& text, const std::string& what) { return text.rfind(what); }

const char* ozstrrstr(const char* haystack, const char* needle) {
  if (haystack == nullptr || needle == nullptr) return nullptr;
  size_t hl = std::strlen(haystack);
  size_t nl = std::strlen(needle);
  if (nl > hl) return nullptr;
  for (size_t i = hl - nl + 1; i-- > 0;) {
    if (std::memcmp(haystack + i, needle, nl) == 0) return haystack + i;
  }
  return nullptr;
}

// '*' matches any run of characters, '?' any one; the last '*' is retried on a mismatch.
bool WildcardMatch(const char* pattern, const char* name) {
  if (pattern == nullptr || name == nullptr) return false;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}
