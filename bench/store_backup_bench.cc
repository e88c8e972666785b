// The store's backup road against plain write(2): 1 GiB of objects (64 KiB or 1 MiB each, with a
// small metadata record per object) written through a SingleInstancer_FS chunk (SFile containers,
// metadata file, both index files, background flushes of full containers) with a checkpoint
// every 256 MiB and at the end, and the same bytes written with write(2) into files of the same
// folder (one data file per 64 MiB, like the containers, and one metadata file) with an fsync of
// every file written since the last one at the same points. Both run in the same iteration, in
// turns, in the folder MFS_BENCH_DIR names (by default "bench-data" in the build folder, on the
// disk the user builds on), so the fsyncs cost what they cost there.
//
// Counters: MiB/s of each way, their ratio (store / write(2)), and what the store put on disk per
// byte of host data: the bytes of its files (containers, metadata, indexes) and the bytes the
// process caused to be written to storage (/proc/self/io), both per byte handed to it.

#include "bench_dir.h"
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kTotalBytes = 1ull << 30;
constexpr uint64_t kCheckpointBytes = 256ull << 20;
constexpr uint64_t kPlainFileBytes = 64ull << 20;
constexpr uint32_t kMetaRecord = 160;
constexpr size_t kRing = 64ull << 20;
constexpr unsigned int kEngineId = 3;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Bytes this process caused to be sent to storage so far.
uint64_t StorageWriteBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "write_bytes:") return value;
  }
  return 0;
}

uint64_t FolderBytes(const std::string& folder) {
  uint64_t total = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) total += e.file_size();
  }
  return total;
}

class Folder {
 public:
  Folder() {
    path = bench::MakeDir("mfs-store-bench");
  }
  ~Folder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

struct Source {
  Source() : ring(kRing) {
    std::mt19937_64 rng(11);
    for (size_t i = 0; i < ring.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(ring.data() + i, &v, 8);
    }
  }
  const char* At(uint64_t offset, uint64_t size) const { return ring.data() + (offset % (kRing - size)); }
  std::vector<char> ring;
};

// write(2) of the same bytes, with an fsync of every file written since the last checkpoint.
bool PlainRun(const std::string& folder, const Source& src, uint32_t objectSize) {
  std::vector<int> unsynced;
  auto syncAll = [&unsynced] {
    for (int fd : unsynced) {
      if (fsync(fd) != 0) return false;
    }
    return true;
  };
  const int meta = open((folder + "/metadata").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (meta < 0) return false;
  int data = -1;
  uint64_t inFile = kPlainFileBytes;
  int fileNo = 0;
  std::vector<int> closeLater;
  char record[kMetaRecord] = {};
  for (uint64_t done = 0; done < kTotalBytes;) {
    if (inFile >= kPlainFileBytes) {
      data = open((folder + "/data_" + std::to_string(++fileNo)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                  0600);
      if (data < 0) return false;
      unsynced.push_back(data);
      inFile = 0;
    }
    if (write(data, src.At(done, objectSize), objectSize) != static_cast<ssize_t>(objectSize)) return false;
    std::memcpy(record, &done, sizeof(done));
    if (write(meta, record, kMetaRecord) != static_cast<ssize_t>(kMetaRecord)) return false;
    done += objectSize;
    inFile += objectSize;
    if (done % kCheckpointBytes == 0) {
      if (!syncAll() || fsync(meta) != 0) return false;
      for (int fd : unsynced) {
        if (fd != data) close(fd);
      }
      unsynced.assign(1, data);
    }
  }
  if (!syncAll() || fsync(meta) != 0) return false;
  for (int fd : unsynced) close(fd);
  close(meta);
  return true;
}

struct StoreSetup {
  explicit StoreSetup(const std::string& root) : mountPath(root + "/OZ_MAGNETIC"), volume(mountPath + "/V_1") {
    std::filesystem::create_directories(volume);
    reserve.m_blockSizeKB = 64;
    reserve.m_freeKB = 1 << 30;
    params.m_Type = kFSTypeDisk;
    params.m_Host.m_Path = mountPath;
    params.m_MountPathId = 1;
  }
  MediaFsInitParams Init() {
    MediaFsInitParams p;
    p.iVolId = 1;
    p.strPath = volume;
    p.pMlm = &mlm;
    p.iMediaType = 1;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = kDataMoverModeBackup;
    return p;
  }
  std::string mountPath;
  std::string volume;
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  CFSInitParams params;
};

// The store's road: one chunk, each object started, written, its metadata written and indexed.
bool StoreRun(StoreSetup& setup, long long chunkId, const Source& src, uint32_t objectSize) {
  SingleInstancer_FS store(&setup.job, setup.params, true, 0);
  if (store.Init(setup.Init(), false) != 0) return false;
  MediaFSArchiveFileId_t id;
  id.uiDataType = CHUNK;
  id.llChunkId = chunkId;
  id.iChunkVersion = 3;
  if (store.Create(&id) != 0) return false;
  char record[kMetaRecord] = {};
  uint64_t key = 0;
  int eom = 0;
  for (uint64_t done = 0; done < kTotalBytes;) {
    unsigned int container = 0;
    unsigned long offset = 0;
    if (store.StartDataFile2(kEngineId, &container, &offset) != 0) return false;
    if (store.WriteToDataFile(src.At(done, objectSize), objectSize, &eom) != static_cast<int>(objectSize)) return false;
    const long long metaOffset = store.GetMetaDataFileOffset();
    std::memcpy(record, &done, sizeof(done));
    if (store.WriteToMetaData(record, kMetaRecord, &eom) != static_cast<int>(kMetaRecord)) return false;
    SSfileContainerIndexEntry sfile{};
    sfile.Key = ++key;
    sfile.DataFileOffset = offset;
    sfile.DataLength = objectSize;
    if (store.AddSfileContainerIndexEntry(sfile) != 0) return false;
    SChunkMetaDataIndexEntry meta{};
    meta.Key = static_cast<uint64_t>(metaOffset);
    meta.OwnerValue8 = key;
    if (store.AddChunkMetaDataIndexEntry(meta) != 0) return false;
    done += objectSize;
    if (done % kCheckpointBytes == 0 && (store.FlushDataFile() != 0 || store.FlushMetaDataFile() != 0)) return false;
  }
  return store.Close() == 0;
}

void BM_StoreAgainstWrite(benchmark::State& state) {
  const uint32_t objectSize = static_cast<uint32_t>(state.range(0));
  platform::SetLogCaptureLimit(100);
  Source src;
  double storeSecs = 0;
  double plainSecs = 0;
  double spacePerByte = 0;
  double writtenPerByte = 0;
  long long chunkId = 0;
  for (auto _ : state) {
    const bool storeFirst = chunkId % 2 == 0;
    for (int turn = 0; turn < 2; ++turn) {
      Folder folder;
      if ((turn == 0) == storeFirst) {
        StoreSetup setup(folder.path);
        const uint64_t writtenBefore = StorageWriteBytes();
        const auto start = Clock::now();
        if (!StoreRun(setup, ++chunkId, src, objectSize)) {
          state.SkipWithError("the store's road failed");
          return;
        }
        storeSecs += Seconds(start);
        const double hostBytes = static_cast<double>(kTotalBytes + (kTotalBytes / objectSize) * kMetaRecord);
        spacePerByte = static_cast<double>(FolderBytes(setup.volume)) / hostBytes;
        writtenPerByte = static_cast<double>(StorageWriteBytes() - writtenBefore) / hostBytes;
      } else {
        const auto start = Clock::now();
        if (!PlainRun(folder.path, src, objectSize)) {
          state.SkipWithError("write(2) failed");
          return;
        }
        plainSecs += Seconds(start);
      }
    }
  }
  const double mib = static_cast<double>(kTotalBytes) * static_cast<double>(state.iterations()) / 1048576.0;
  state.counters["store_MiBps"] = mib / storeSecs;
  state.counters["write_MiBps"] = mib / plainSecs;
  state.counters["ratio"] = plainSecs / storeSecs;
  state.counters["disk_space_per_data_byte"] = spacePerByte;
  state.counters["disk_writes_per_data_byte"] = writtenPerByte;
}

}  // namespace

BENCHMARK(BM_StoreAgainstWrite)->Arg(64 * 1024)->Arg(1024 * 1024)->Iterations(3)->UseRealTime()->Unit(benchmark::kSecond);
