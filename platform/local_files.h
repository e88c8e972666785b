// Local files and paths of the utility library, over POSIX.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"

class CXoFile {
 public:
  using offset = long long;

  // A time argument of SetTimes that leaves that time as it is.
  static constexpr long long kKeepTime = INT64_MIN;

  static CXoError Stat(const std::string& path, struct stat* st);
  static CXoError Chmod(const std::string& path, mode_t mode);
  // Access and modification times, seconds since the epoch; kKeepTime leaves one unchanged.
  static CXoError SetTimes(const std::string& path, long long accessTime, long long modifyTime);
  static CXoError Delete(const std::string& path);
  // Long path names need nothing here; kept for callers of the interface.
  static void EnableLongNamespace(bool) {}
};

// Lists one folder, optionally filtered by a pattern with '*' and '?'.
class CXoDirectory {
 public:
  struct Entry {
    std::string name;
    bool isDirectory = false;
  };
  CXoDirectory() = default;
  ~CXoDirectory() { Close(); }
  CXoDirectory(const CXoDirectory&) = delete;
  CXoDirectory& operator=(const CXoDirectory&) = delete;

  CXoError Open(const std::string& folder, const std::string& pattern = "*");
  // The next entry ("." and ".." are skipped), with `atEnd` false; at the end of the listing,
  // success with `atEnd` true. A folder that cannot be read further fails, so that a caller
  // never takes part of a listing for the whole; so does a listing that is not open (EBADF).
  CXoError GetEntry(Entry& entry, bool& atEnd);
  void Close();

  // Calls `visit(folder, name, isDirectory)` for every entry below `folder`, depth first and in
  // name order, up to `maxDepth` levels (0: only the folder's own entries; -1: no limit). A
  // negative result of `visit` stops the walk and is returned; a folder that cannot be listed
  // (opened or read to its end) stops it with minus its errno. 0 when the walk is complete.
  static int Walk(const std::string& folder, int maxDepth,
                  const std::function<int(const std::string&, const std::string&, bool)>& visit);

  // Called once per entry of a walk: (folder, name, is-folder, context).
  using WalkCallback = CXoError (*)(const char* folder, const char* name, bool isFolder, void* context);
  // The same walk with the utility library's callback: `level` as maxDepth above, `filesOnly`
  // skips the callback for folders (they are still entered). A failed callback stops the walk,
  // which returns its error as it came; a folder that cannot be listed fails the walk.
  static CXoError Walk(const std::string& folder, void* context, int level, bool filesOnly,
                       WalkCallback callback);

 private:
  void* m_dir = nullptr;  // DIR*
  std::string m_folder;
  std::string m_pattern;
};

class CXoPath {
 public:
  static std::string Append(const std::string& base, const std::string& name);
  static bool Exists(const std::string& path);
  // Whether the path exists; fails when that cannot be told (a path too long, a loop of links,
  // a folder that may not be searched).
  static CXoError Exists(const std::string& path, bool& exists);
  static bool IsDirectory(const std::string& path);
  // Whether the path is a folder; fails when its status cannot be read.
  static CXoError IsDirectory(const std::string& path, bool& isDirectory);
  static std::string GetParent(const std::string& path);
  static std::string GetBaseName(const std::string& path);
};

class CXoString {
 public:
  static std::string ToLower(std::string text);
  // Position of the last occurrence of `what`, or std::string::npos.
  static size_t ReverseFind(const std::string& text, const std::string& what);
};

// `base` and `name` joined by exactly one '/'.
std::string path_append(const std::string& base, const std::string& name);
// The last occurrence of `needle` in `haystack`, or null.
const char* ozstrrstr(const char* haystack, const char* needle);
// Whether `name` matches a pattern of '*' and '?'.
bool WildcardMatch(const char* pattern, const char* name);
