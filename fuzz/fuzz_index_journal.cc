// Arbitrary bytes as the change journal beside a valid index file, replayed by Open in read-only
// and read-write mode. Nothing may crash, write outside a page or allocate beyond what the journal
// holds; a journal that is refused must be left in place unless it was cut short.
//
// The first input byte chooses the index beside the journal: bit 0 a multi-page file, bit 1 the
// aligned layout (opened in change-file mode), bit 2 the open mode, bit 3 seals the journal with
// its correct checksum so that its contents are parsed. The rest is the journal. The seeds are
// journals that the library wrote beside the small files.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/platform.h"
#include "fuzz_seeds.h"
#include "index_fuzz_sandbox.h"

namespace {

using SFileIndex = CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;

// Valid index files, made once with the library itself.
const std::string& BaseIndex(bool large, bool aligned) {
  static std::string files[4];
  std::string& bytes = files[(large ? 1 : 0) | (aligned ? 2 : 0)];
  if (bytes.empty()) {
    bytes = fuzz::MakeIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>(
        aligned, large ? 1300 : 20, [](SSfileContainerIndexEntry& r, uint64_t k) {
          r.Key = k * 10;
          r.DataFileOffset = k;
          r.Deleted = k % 7 == 0;
        });
  }
  return bytes;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A journal as the library writes it: the small base opened as the fuzzer opens it, a record
// changed and a few appended, and the journal taken as the Flush starts to write pages in place,
// when it lies complete beside the file.
std::string WrittenJournal(bool aligned) {
  const std::string path = fuzz::IndexSandbox::Get().File();
  const std::string& base = BaseIndex(false, aligned);
  fuzz::Store(path, base.data(), base.size());
  std::remove((path + ".change").c_str());
  std::string journal;
  platform::Faults().SetHook([&](platform::FsOp op, const std::string& p) {
    if (op == platform::FsOp::Write && p == path && journal.empty()) journal = fuzz::Load(path + ".change");
  });
  {
    CFSInitParams params;
    SFileIndex idx(&params, nullptr);
    SFileIndex::Options opt;
    opt.bUseChangeFile = aligned;
    opt.bCacheKeys = true;
    SSfileContainerIndexEntry r{};
    if (idx.Open(path, 2, opt).IsFailure() || idx.GetEntry(3, &r).IsFailure()) abort();
    r.DataLength += 1000;
    if (idx.UpdateEntry(3, &r).IsFailure()) abort();
    for (uint64_t k = 1; k <= 4; ++k) {
      SSfileContainerIndexEntry added{};
      added.Key = 1000 + k;
      if (idx.AddEntry(&added).IsFailure()) abort();
    }
    if (idx.Close().IsFailure()) abort();
  }
  platform::Faults().SetHook(nullptr);
  if (journal.empty()) abort();
  return journal;
}

// Each layout's journal beside the small base, in both open modes, as written and to be sealed.
std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (bool aligned : {false, true}) {
    const std::string journal = WrittenJournal(aligned);
    for (int mode : {0, 4}) {
      for (int seal : {0, 8}) seeds.push_back(std::string(1, static_cast<char>((aligned ? 2 : 0) | mode | seal)) + journal);
    }
  }
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

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
