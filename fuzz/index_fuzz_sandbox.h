// A folder of the fuzz process's own (in memory when the machine has one) holding the one index
// file, with its journals, that every input is written to.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/logging.h"

namespace fuzz {

class IndexSandbox {
 public:
  IndexSandbox() {
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/mfs_fuzz_XXXXXX";
    m_dir = mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
    platform::SetLogCaptureLimit(64);  // millions of inputs must not grow the captured log
  }
  ~IndexSandbox() {
    for (const char* suffix : {"", ".change", ".change.tmp"}) std::remove((File() + suffix).c_str());
    rmdir(m_dir.c_str());
  }
  std::string File() const { return m_dir + "/SFILE_CONTAINER.idx"; }

  static IndexSandbox& Get() {
    static IndexSandbox box;
    return box;
  }

 private:
  std::string m_dir;
};

inline void Store(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace fuzz
