// A fresh folder (under TMPDIR by default) for one test, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/local_files.h"

class TempDir {
 public:
  // Under `base`; under TMPDIR (or /tmp) when it is empty.
  explicit TempDir(const std::string& base = std::string()) {
    std::string pattern = (base.empty() ? DefaultBase() : base) + "/mfs-platform-XXXXXX";
    char* made = mkdtemp(pattern.data());
    if (made != nullptr) m_path = made;
  }
  static std::string DefaultBase() {
    const char* base = getenv("TMPDIR");
    return base && *base ? base : "/tmp";
  }
  // The machine's memory folder when there is one: flushing there costs nothing.
  static std::string MemoryBase() { return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : DefaultBase(); }
  ~TempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return path_append(m_path, name); }

 private:
  std::string m_path;
};
