// A folder of the fuzz process's own (in memory when the machine has one) holding the one index
// file, with its journals, that every input is written to.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
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

inline std::string Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of an index file that the library makes in the sandbox: `records` records appended
// to a new file, the k-th (from 1) filled by `fill(record, k)`, then closed. Aborts when the
// library refuses, which leaves a target no base to fuzz from.
template <class Rec, const char* Magic, class Fill>
std::string MakeIndexFile(bool aligned, uint64_t records, Fill fill) {
  const std::string path = IndexSandbox::Get().File();
  std::remove((path + ".change").c_str());
  {
    CFSInitParams params;
    CIndexFile<Rec, Magic> idx(&params, nullptr);
    typename CIndexFile<Rec, Magic>::Options opt;
    opt.bCacheKeys = true;
    opt.bAligned = aligned;
    if (idx.Create(path, opt).IsFailure()) abort();
    for (uint64_t k = 1; k <= records; ++k) {
      Rec r{};
      fill(r, k);
      if (idx.AddEntry(&r).IsFailure()) abort();
    }
    if (idx.Close().IsFailure()) abort();
  }
  return Load(path);
}

}  // namespace fuzz
