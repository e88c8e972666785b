// A fresh folder under TMPDIR for one test, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/local_files.h"

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/mfs-platform-XXXXXX";
    char* made = mkdtemp(pattern.data());
    if (made != nullptr) m_path = made;
  }
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
