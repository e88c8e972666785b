// Arbitrary bytes as the change journal beside a valid index file, replayed by Open in read-only
// and read-write mode. Nothing may crash, write outside a page or allocate beyond what the journal
// holds; a journal that is refused must be left in place unless it was cut short.
//
// The first input byte chooses the index beside the journal: bit 0 a multi-page file, bit 1 the
// aligned layout (opened in change-file mode), bit 2 the open mode, bit 3 seals the journal with
// its correct checksum so that its contents are parsed. The rest is the journal.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/platform.h"
#include "index_fuzz_sandbox.h"

namespace {

using SFileIndex = CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;

// Valid index files, made once with the library itself.
const std::string& BaseIndex(bool large, bool aligned) {
  static std::string files[4];
  std::string& bytes = files[(large ? 1 : 0) | (aligned ? 2 : 0)];
  if (!bytes.empty()) return bytes;
  const std::string path = fuzz::IndexSandbox::Get().File();
  std::remove((path + ".change").c_str());
  {
    CFSInitParams params;
    SFileIndex idx(&params, nullptr);
    SFileIndex::Options opt;
    opt.bCacheKeys = true;
    opt.bAligned = aligned;
    if (idx.Create(path, opt).IsFailure()) abort();
    const uint64_t n = large ? 1300 : 20;
    for (uint64_t k = 1; k <= n; ++k) {
      SSfileContainerIndexEntry r{};
      r.Key = k * 10;
      r.DataFileOffset = k;
      r.Deleted = k % 7 == 0;
      if (idx.AddEntry(&r).IsFailure()) abort();
    }
    if (idx.Close().IsFailure()) abort();
  }
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return bytes;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool large = data[0] & 1;
  const bool aligned = data[0] & 2;
  const int mode = (data[0] & 4) ? 2 : 1;
  const std::string path = fuzz::IndexSandbox::Get().File();
  const std::string& base = BaseIndex(large, aligned);
  platform::ResetLogs();
  fuzz::Store(path, base.data(), base.size());
  std::string journal(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 8) && journal.size() > 4) {
    EncodeBE32(&journal[0], CXoCRC32::Of(journal.data() + 4, static_cast<unsigned int>(journal.size() - 4)));
  }
  fuzz::Store(path + ".change", journal.data(), journal.size());

  CFSInitParams params;
  SFileIndex idx(&params, nullptr);
  SFileIndex::Options opt;
  opt.bUseChangeFile = aligned;
  opt.bCacheKeys = true;
  CXoError e = idx.Open(path, mode, opt);
  if (e.IsSuccess()) {
    SSfileContainerIndexEntry rec;
    const int64_t total = static_cast<int64_t>(idx.m_Header.TotalEntries);
    for (int64_t i = 0; i < total && i < 64; ++i) (void)idx.GetEntry(i, &rec);
    (void)idx.GetEntry(total - 1, &rec);
    int64_t pos = -1, lo = 0, hi = total - 1;
    (void)idx.SearchEntry(50, &rec, &pos, lo, hi);
    uint64_t bytes = 0;
    (void)idx.GetSize(bytes);
  } else if (platform::LogContains("Unable to read the change file. Skipping it.") && !Exists(path + ".change")) {
    abort();  // a refused journal that was not cut short must stay for a person to look at
  }
  (void)idx.Close();
  return 0;
}
