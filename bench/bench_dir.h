// Where the benchmarks write: the folder MFS_BENCH_DIR names, by default "bench-data" in the build
// folder, on the disk the user builds on. Never a memory file system on its own accord: there an
// fsync costs nothing and no read reaches a disk, so a figure would not be the disk's.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#ifndef MFS_BENCH_DEFAULT_DIR
#define MFS_BENCH_DEFAULT_DIR "bench-data"
#endif

namespace bench {

// The benchmarks' folder, made when missing.
inline std::string BaseDir() {
  const char* dir = std::getenv("MFS_BENCH_DIR");
  std::string base = dir != nullptr && *dir != '\0' ? dir : MFS_BENCH_DEFAULT_DIR;
  std::error_code ignored;
  std::filesystem::create_directories(base, ignored);
  return base;
}

// A new empty folder "<prefix>-XXXXXX" in the benchmarks' folder; empty when it cannot be made.
inline std::string MakeDir(const std::string& prefix) {
  std::string pattern = BaseDir() + "/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::string();
  return pattern;
}

// A folder of MakeDir, removed with what is in it when the holder goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) : m_path(MakeDir(prefix)) {}
  ~TempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !m_path.empty(); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace bench
