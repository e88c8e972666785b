// Container index ("SFILE_CONTAINER.idx") throughput: appends with a Flush every 10,000 records,
// searches of random keys, random updates followed by one Flush, the replay at Open of a
// journal that covers the whole file, Open for appending (with and without the check of every
// record that a writer continuing a file after a power loss asks for), and Create over an
// existing file. Bytes written are taken from the process's write counter,
// so they include the change journal. Then lookups in the hybrid volumes index from several
// threads at once.
//
// Layouts: "Aligned" is what the library creates (aligned records, no journal, 32 cached pages);
// "Journaled" is a packed container index, which always flushes through the change journal and
// keeps every page it touched in memory.
//
// MFS_BENCH_DIR chooses the folder of the files (default: "bench-data" in the build folder).
#include "bench_dir.h"
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/config.h"
#include "platform/crc32.h"

namespace {

using SFileIndex = CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;

constexpr uint64_t kRecords = 1000000;
constexpr uint64_t kFlushEvery = 10000;
constexpr uint64_t kSearches = 1000000;
constexpr uint64_t kUpdates = 100000;

std::string BenchFolder() {
  std::string dir = bench::MakeDir("mfs-index-bench");
  return dir.empty() ? bench::BaseDir() : dir;
}

void RemoveFiles(const std::string& path) {
  std::remove(path.c_str());
  std::remove((path + ".change").c_str());
  std::remove((path + ".change.tmp").c_str());
}

std::string IndexPathIn(const std::string& folder, bool journaled) {
  return folder + (journaled ? "/journaled" : "/aligned") + "_SFILE_CONTAINER.idx";
}

// The benchmark's folder, removed with its files when the program ends.
struct BenchDir {
  std::string path = BenchFolder();
  ~BenchDir() {
    for (bool journaled : {false, true}) RemoveFiles(IndexPathIn(path, journaled));
    rmdir(path.c_str());
  }
};

const std::string& Folder() {
  static const BenchDir dir;
  return dir.path;
}

std::string IndexPath(bool journaled) { return IndexPathIn(Folder(), journaled); }

// Bytes this process has handed to write(2) so far.
uint64_t BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string name;
  uint64_t value = 0;
  while (io >> name >> value) {
    if (name == "wchar:") return value;
  }
  return 0;
}

SSfileContainerIndexEntry Record(uint64_t key) {
  SSfileContainerIndexEntry r{};
  r.Key = key;
  r.DataFileOffset = key * 512;
  r.DataLength = 4096;
  r.ContainerNo = static_cast<uint32_t>(key / 100000);
  r.Flags = FLAG_SFILE_ENTRY_VALID;
  return r;
}

uint64_t KeyOf(uint64_t i) { return 2 * i + 1; }  // odd keys: even ones are misses

SFileIndex::Options Options(bool journaled) {
  SFileIndex::Options opt;
  opt.bUseChangeFile = journaled;  // Open would force it for a packed file; Create does not
  opt.bCacheKeys = true;
  opt.bAligned = !journaled;
  return opt;
}

// Creates the index with `records` records.
bool Build(SFileIndex& idx, bool journaled, uint64_t* bytes, uint64_t records = kRecords) {
  const std::string path = IndexPath(journaled);
  RemoveFiles(path);
  auto opt = Options(journaled);
  if (idx.Create(path, opt).IsFailure()) return false;
  const uint64_t before = BytesWritten();
  for (uint64_t i = 0; i < records; ++i) {
    SSfileContainerIndexEntry r = Record(KeyOf(i));
    if (idx.AddEntry(&r).IsFailure()) return false;
    if ((i + 1) % kFlushEvery == 0 && idx.Flush().IsFailure()) return false;
  }
  if (idx.Close().IsFailure()) return false;
  if (bytes != nullptr) *bytes = BytesWritten() - before;
  return true;
}

bool Reopen(SFileIndex& idx, bool journaled) {
  auto opt = Options(journaled);
  return idx.Open(IndexPath(journaled), 2, opt).IsSuccess();
}

void BM_Append(benchmark::State& state) {
  const bool journaled = state.range(0) != 0;
  CFSInitParams params;
  uint64_t bytes = 0;
  for (auto _ : state) {
    SFileIndex idx(&params, nullptr);
    if (!Build(idx, journaled, &bytes)) {
      state.SkipWithError("append failed");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRecords));
  state.counters["bytes_per_record"] = static_cast<double>(bytes) / kRecords;
  state.counters["file_bytes_per_record"] =
      static_cast<double>(journaled ? 128 + kRecords * 56 : IndexRecordPosition(kRecords, 512, 56)) / kRecords;
}
BENCHMARK(BM_Append)->ArgName("journaled")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A new aligned container index of `records` records, appended and closed as a job writes one
// without a checkpoint (one fsync, at the close), against pwrite(2) of the same bytes, page by
// page, into a new file of the same folder and one fsync(2). The two alternate which goes first.
// Counters: records per second of each (wall clock) and their ratio (index / pwrite).
void BM_AppendAndClose_VsPwrite(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const uint64_t records = static_cast<uint64_t>(state.range(0));
  CFSInitParams params;
  const std::string path = IndexPath(false);
  const std::string plain = Folder() + "/plain_pwrite";
  double indexSeconds = 0, plainSeconds = 0;
  int turn = 0;
  auto runIndex = [&] {
    RemoveFiles(path);
    const auto start = Clock::now();
    SFileIndex idx(&params, nullptr);
    auto opt = Options(false);
    if (idx.Create(path, opt).IsFailure()) return false;
    for (uint64_t i = 0; i < records; ++i) {
      SSfileContainerIndexEntry r = Record(KeyOf(i));
      if (idx.AddEntry(&r).IsFailure()) return false;
    }
    if (idx.Close().IsFailure()) return false;
    indexSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    return true;
  };
  std::string bytes;
  auto runPlain = [&] {
    std::remove(plain.c_str());
    const auto start = Clock::now();
    const int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    for (size_t at = 0; at < bytes.size(); at += IDX_PAGE_SIZE) {
      const size_t n = std::min<size_t>(IDX_PAGE_SIZE, bytes.size() - at);
      if (pwrite(fd, bytes.data() + at, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    plainSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    return ok;
  };
  // The index's bytes for the baseline, from an untimed round.
  if (!runIndex()) {
    state.SkipWithError("append failed");
    return;
  }
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  indexSeconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool ok = turn++ % 2 == 0 ? runIndex() && runPlain() : runPlain() && runIndex();
    if (!ok) {
      state.SkipWithError("a write failed");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::remove(plain.c_str());
  const double n = static_cast<double>(records) * static_cast<double>(state.iterations());
  state.counters["index_records_per_second"] = n / indexSeconds;
  state.counters["pwrite_records_per_second"] = n / plainSeconds;
  state.counters["ratio"] = plainSeconds / indexSeconds;
}
BENCHMARK(BM_AppendAndClose_VsPwrite)
    ->ArgName("records")
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(kRecords)
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Create over an existing container index of 10,000 records, then Close, which writes the new
// header: what starting a container anew costs. Arguments: the layout (journaled: change-file
// mode, in which Create makes the emptying durable before the first journal), and whether a
// journal that a crash left lies beside the file (Create makes its removal durable before
// emptying the file). The files are rebuilt outside the timing.
void BM_CreateOverFile(benchmark::State& state) {
  const bool journaled = state.range(0) != 0;
  const bool staleJournal = state.range(1) != 0;
  constexpr uint64_t kExisting = 10000;
  CFSInitParams params;
  const std::string path = IndexPath(journaled);
  for (auto _ : state) {
    state.PauseTiming();
    {
      SFileIndex old(&params, nullptr);
      if (!Build(old, journaled, nullptr, kExisting)) {
        state.SkipWithError("build failed");
        return;
      }
    }
    if (staleJournal) {
      std::ofstream(path + ".change", std::ios::binary) << std::string(4096, 'j');
    }
    state.ResumeTiming();
    SFileIndex idx(&params, nullptr);
    auto opt = Options(journaled);
    if (idx.Create(path, opt).IsFailure() || idx.Close().IsFailure()) {
      state.SkipWithError("create failed");
      return;
    }
  }
}
BENCHMARK(BM_CreateOverFile)
    ->ArgNames({"journaled", "stale_journal"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(50)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Searches of random keys that are all present, after one pass over the same keys has brought
// their pages into memory (where the cache keeps them) and filled the key cache.
void BM_Search(benchmark::State& state) {
  const bool journaled = state.range(0) != 0;
  const uint64_t records = static_cast<uint64_t>(state.range(1));
  CFSInitParams params;
  {
    SFileIndex build(&params, nullptr);
    if (!Build(build, journaled, nullptr, records)) {
      state.SkipWithError("build failed");
      return;
    }
  }
  SFileIndex idx(&params, nullptr);
  if (!Reopen(idx, journaled)) {
    state.SkipWithError("open failed");
    return;
  }
  std::mt19937_64 rng(42);
  std::vector<uint64_t> keys(kSearches);
  for (auto& k : keys) k = KeyOf(rng() % records);
  SSfileContainerIndexEntry rec;
  auto searchAll = [&](uint64_t* found) {
    for (uint64_t k : keys) {
      int64_t pos = -1, lo = 0, hi = static_cast<int64_t>(records) - 1;
      if (idx.SearchEntry(k, &rec, &pos, lo, hi).IsFailure()) return false;
      *found += pos >= 0;
    }
    return true;
  };
  uint64_t found = 0;
  if (!searchAll(&found)) {
    state.SkipWithError("search failed");
    return;
  }
  found = 0;
  for (auto _ : state) {
    if (!searchAll(&found)) {
      state.SkipWithError("search failed");
      return;
    }
  }
  if (found != state.iterations() * kSearches) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSearches));
}
BENCHMARK(BM_Search)
    ->ArgNames({"journaled", "records"})
    ->Args({0, kRecords})
    ->Args({1, kRecords})
    ->Args({0, 100000})
    ->Args({1, 100000})
    ->Args({1, 10000})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Random updates, then one Flush. With many updates every page changes; with few, the bytes
// written show that a Flush writes the changed pages (twice when journaled) and nothing else.
void BM_UpdateAndFlush(benchmark::State& state) {
  const bool journaled = state.range(0) != 0;
  const uint64_t updates = static_cast<uint64_t>(state.range(1));
  CFSInitParams params;
  {
    SFileIndex build(&params, nullptr);
    if (!Build(build, journaled, nullptr)) {
      state.SkipWithError("build failed");
      return;
    }
  }
  std::mt19937_64 rng(7);
  uint64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SFileIndex idx(&params, nullptr);
    if (!Reopen(idx, journaled)) {
      state.SkipWithError("open failed");
      return;
    }
    const uint64_t before = BytesWritten();
    state.ResumeTiming();
    for (uint64_t i = 0; i < updates; ++i) {
      const int64_t at = static_cast<int64_t>(rng() % kRecords);
      SSfileContainerIndexEntry r = Record(KeyOf(static_cast<uint64_t>(at)));
      r.Deleted = 1;
      if (idx.UpdateEntry(at, &r).IsFailure()) {
        state.SkipWithError("update failed");
        return;
      }
    }
    if (idx.Flush().IsFailure()) {
      state.SkipWithError("flush failed");
      return;
    }
    bytes = BytesWritten() - before;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * updates));
  state.counters["bytes_per_update"] = static_cast<double>(bytes) / updates;
  state.counters["pages_written"] = static_cast<double>(bytes) / IDX_PAGE_SIZE;
}
BENCHMARK(BM_UpdateAndFlush)
    ->ArgNames({"journaled", "updates"})
    ->Args({0, kUpdates})
    ->Args({1, kUpdates})
    ->Args({0, 100})
    ->Args({1, 100})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Open of a packed index of 100,000 records beside a journal of every one of its pages, as an
// interrupted Flush leaves it: a writer (mode 2) writes the pages in place, a reader (mode 1)
// lays the journal over the file and reads through it. Either holds the journal and a few pages.
void BM_ReplayAtOpen(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  constexpr uint64_t kReplayRecords = 100000;
  CFSInitParams params;
  {
    SFileIndex build(&params, nullptr);
    if (!Build(build, true, nullptr, kReplayRecords)) {
      state.SkipWithError("build failed");
      return;
    }
  }
  const std::string path = IndexPath(true);
  std::ifstream in(path, std::ios::binary);
  const std::string index((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const uint32_t pages = static_cast<uint32_t>((index.size() + IDX_PAGE_SIZE - 1) / IDX_PAGE_SIZE);
  std::string journal(12, '\0');
  EncodeBE32(&journal[4], 2);
  EncodeBE32(&journal[8], pages);
  for (uint32_t p = 0; p < pages; ++p) {
    const std::string bytes = index.substr(static_cast<size_t>(p) * IDX_PAGE_SIZE, IDX_PAGE_SIZE);
    char head[12];
    EncodeBE64(head, p);
    EncodeBE32(head + 8, static_cast<uint32_t>(bytes.size()));
    journal.append(head, sizeof(head)).append(bytes);
  }
  EncodeBE32(&journal[0], CXoCRC32::Of(journal.data() + 4, static_cast<unsigned int>(journal.size() - 4)));

  SSfileContainerIndexEntry rec;
  for (auto _ : state) {
    state.PauseTiming();
    {
      std::ofstream out(path + ".change", std::ios::binary | std::ios::trunc);
      out.write(journal.data(), static_cast<std::streamsize>(journal.size()));
    }
    state.ResumeTiming();
    SFileIndex idx(&params, nullptr);
    auto opt = Options(true);
    if (idx.Open(path, mode, opt).IsFailure() || idx.m_Header.TotalEntries != kReplayRecords) {
      state.SkipWithError("open failed");
      return;
    }
    for (uint64_t i = 0; i < kReplayRecords; i += 97) {
      if (idx.GetEntry(static_cast<int64_t>(i), &rec).IsFailure() || rec.Key != KeyOf(i)) {
        state.SkipWithError("read failed");
        return;
      }
    }
  }
  state.counters["journal_pages"] = pages;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * journal.size()));
}
BENCHMARK(BM_ReplayAtOpen)->ArgName("mode")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Open read-write and Close of an aligned container index, as a job that continues a chunk
// opens it: with `trim`, Open reads every record to find what an unfinished Flush left (here
// nothing, as after a clean close), instead of the last one alone.
void BM_OpenForAppending(benchmark::State& state) {
  const uint64_t records = static_cast<uint64_t>(state.range(0));
  const bool trim = state.range(1) != 0;
  CFSInitParams params;
  {
    SFileIndex build(&params, nullptr);
    if (!Build(build, false, nullptr, records)) {
      state.SkipWithError("build failed");
      return;
    }
  }
  for (auto _ : state) {
    SFileIndex idx(&params, nullptr);
    auto opt = Options(false);
    opt.bTrimTornTail = trim;
    if (idx.Open(IndexPath(false), 2, opt).IsFailure() || idx.m_Header.TotalEntries != records ||
        idx.Close().IsFailure()) {
      state.SkipWithError("open failed");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
}
BENCHMARK(BM_OpenForAppending)
    ->ArgNames({"records", "trim"})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({kRecords, 0})
    ->Args({kRecords, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// GetCacheMPId of random volumes among 10,000 cached ones, from 1 to 8 threads at once, each
// holding an Open reference as the store does.
void BM_HybridLookup(benchmark::State& state) {
  constexpr unsigned long kVolumes = 10000;
  static CHybridVolumesIndexFile* vols = nullptr;
  if (state.thread_index() == 0) {
    platform::Config().jobResultsDirectory = Folder();
    std::remove((Folder() + "/HybridVolumes.idx").c_str());
    CFSInitParams params;
    vols = new CHybridVolumesIndexFile(&params);
    if (vols->Open(false) == 0) {
      for (unsigned long v = 1; v <= kVolumes; ++v) {
        SHybridVolumeRecord r{};
        r.VolId = v;
        r.CacheMPId = v % 50;
        (void)vols->Cache(v, &r, "bench");
      }
    }
  }
  std::mt19937_64 rng(static_cast<uint64_t>(state.thread_index()) + 1);
  int64_t found = 0;
  for (auto _ : state) {
    found += vols->GetCacheMPId(1 + rng() % kVolumes) >= 0;
  }
  state.SetItemsProcessed(state.iterations());
  if (found != static_cast<int64_t>(state.iterations())) state.SkipWithError("a volume was not found");
  if (state.thread_index() == 0) {
    (void)vols->Close();
    delete vols;
    std::remove((Folder() + "/HybridVolumes.idx").c_str());
  }
}
BENCHMARK(BM_HybridLookup)->ThreadRange(1, 8)->UseRealTime();

}  // namespace
