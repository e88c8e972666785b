// The pruning driver against the work it stands for, in one run on the benchmarks' folder:
//
//   BM_PassAgainstDirectIndexWork: a pass over 100,000 zero-reference records in 100 chunks of
//     one volume (every other object of each chunk, the last one kept, so no container empties and
//     no hole or cut is due)
//     against the same index work done directly: SearchEntry and UpdateEntry per record, Flush
//     per chunk, and the same purges of the database. `ratio` is the direct road's time over the
//     pass's (1: the driver costs nothing).
//   BM_RemovingEmptiedChunks: a pass that removes 1,000 chunks whose only object it prunes
//     (container, container index, metadata file, folder and trailer, each removal made durable)
//     against unlink(2) and rmdir(2) of the same files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "bench_dir.h"
#include "media_vs_syscalls.h"
#include "platform/platform.h"

namespace {

constexpr unsigned int kMountPathId = 5;
constexpr unsigned int kVolId = 17;
constexpr int kInstallation = 2;
constexpr size_t kObjectBytes = 64;

using SfileIndex = SingleInstancer_FS::SfileIndex;

bool WriteWhole(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok;
}

// A volume of `chunks` chunks of `objects` objects each in one container, with container index,
// metadata file and trailer, and the database's records of every `step`th object.
class Volume {
 public:
  explicit Volume(const std::string& root) : m_mountPath(root + "/OZ_MAGNETIC"), m_sidb(root + "/sidb.rec") {}

  bool Build(unsigned long long chunks, uint64_t objects, uint64_t step) {
    std::error_code ignored;
    std::filesystem::remove_all(m_mountPath, ignored);
    const std::string volume = m_mountPath + "/" + SingleInstancer_FS::GetVolumeDirName(kVolId);
    std::vector<CZeroRefRecord> records;
    std::string container(128, '\0');
    container.replace(0, 7, "SFILHDR");
    for (uint64_t k = 1; k <= objects; ++k) container += std::string(16 + kObjectBytes, static_cast<char>(k));
    for (unsigned long long c = 1; c <= chunks; ++c) {
      const std::string dir = volume + "/" + SingleInstancer_FS::GetChunkDirName(c);
      std::filesystem::create_directories(dir, ignored);
      if (!WriteWhole(dir + "/" + SingleInstancer_FS::GetSFileContainerName(0), container) ||
          !WriteWhole(dir + "/" + SingleInstancer_FS::GetChunkMetadataName(c), std::string(4096, 'm')) ||
          !WriteWhole(volume + "/" + SingleInstancer_FS::GetChunkMapTrailerName(c), std::string(1024, 't'))) {
        return false;
      }
      CFSInitParams params;
      SfileIndex idx(&params, nullptr);
      SfileIndex::Options options{false, true, true, false};
      if (idx.Create(dir + "/SFILE_CONTAINER.idx", options).IsFailure()) return false;
      for (uint64_t k = 1; k <= objects; ++k) {
        SSfileContainerIndexEntry r{};
        r.Key = k;
        r.DataFileOffset = 128 + (k - 1) * (16 + kObjectBytes);
        r.DataLength = 16 + kObjectBytes;
        r.Flags = FLAG_SFILE_ENTRY_VALID;
        if (idx.AddEntry(&r).IsFailure()) return false;
        if ((k - 1) % step == 0) {  // the last object stays: no tail to cut
          CZeroRefRecord z;
          z.MountPathId = kMountPathId;
          z.VolumeId = kVolId;
          z.ChunkId = c;
          z.SFileKey = static_cast<uint32_t>(k);
          z.PrimaryId = c * 1000000 + k;
          records.push_back(z);
        }
      }
      if (idx.Close().IsFailure()) return false;
    }
    m_records = records;
    sync();
    return platform::sidb::WriteRecords(m_sidb, records);
  }

  // The pass: seconds, or -1.
  double Pass() {
    platform::ResetAll();
    platform::SetRealClock(true);
    platform::MountPathRecord r;
    r.mountPath = m_mountPath;
    platform::Config().mountPaths[{kMountPathId, kInstallation}] = r;
    platform::Config().SetNumber("ZovadAdeve", "DedupEnablePruningCounters", 0);
    platform::Sidb().path = m_sidb;
    CSingleInstancerPruner pruner(nullptr);
    pruner.Initialize("bench", 1, 3, 0, false);
    CSIDBClientApi db;
    const auto start = mediabench::Clock::now();
    if (pruner.PruneZeroRefRecords(&db, nullptr, nullptr, 3600) != 0) return -1;
    return mediabench::Seconds(start);
  }

  // The same index work and purges, done directly: seconds, or -1.
  double Direct() {
    platform::ResetAll();
    platform::SetRealClock(true);
    platform::Sidb().path = m_sidb;
    CSIDBClientApi db;
    const std::string volume = m_mountPath + "/" + SingleInstancer_FS::GetVolumeDirName(kVolId);
    const auto start = mediabench::Clock::now();
    size_t i = 0;
    while (i < m_records.size()) {
      const unsigned long long chunk = m_records[i].ChunkId;
      CFSInitParams params;
      SfileIndex idx(&params, nullptr);
      SfileIndex::Options options{false, true, true, true};
      if (idx.Open(volume + "/" + SingleInstancer_FS::GetChunkDirName(chunk) + "/SFILE_CONTAINER.idx", 2, options)
              .IsFailure()) {
        return -1;
      }
      std::vector<unsigned long long> ids;
      for (; i < m_records.size() && m_records[i].ChunkId == chunk; ++i) {
        SSfileContainerIndexEntry e{};
        int64_t position = -1, lo = 0, hi = static_cast<int64_t>(idx.m_Header.TotalEntries) - 1;
        if (idx.SearchEntry(m_records[i].SFileKey, &e, &position, lo, hi).IsFailure() || position < 0) return -1;
        e.Flags &= ~FLAG_SFILE_ENTRY_VALID;
        if (idx.UpdateEntry(position, &e).IsFailure()) return -1;
        ids.push_back(m_records[i].PrimaryId);
      }
      if (idx.Flush().IsFailure() || idx.Close().IsFailure()) return -1;
      if (db.PruneRecords(&ids) != 0) return -1;
    }
    return mediabench::Seconds(start);
  }

  // unlink(2) and rmdir(2) of every chunk's files: seconds, or -1.
  double Unlink(unsigned long long chunks) {
    const std::string volume = m_mountPath + "/" + SingleInstancer_FS::GetVolumeDirName(kVolId);
    const auto start = mediabench::Clock::now();
    for (unsigned long long c = 1; c <= chunks; ++c) {
      const std::string dir = volume + "/" + SingleInstancer_FS::GetChunkDirName(c);
      for (const std::string& name : {SingleInstancer_FS::GetSFileContainerName(0), std::string("SFILE_CONTAINER.idx"),
                                      SingleInstancer_FS::GetChunkMetadataName(c)}) {
        if (unlink((dir + "/" + name).c_str()) != 0) return -1;
      }
      if (rmdir(dir.c_str()) != 0) return -1;
      if (unlink((volume + "/" + SingleInstancer_FS::GetChunkMapTrailerName(c)).c_str()) != 0) return -1;
    }
    return mediabench::Seconds(start);
  }

  size_t Records() const { return m_records.size(); }

 private:
  std::string m_mountPath;
  std::string m_sidb;
  std::vector<CZeroRefRecord> m_records;
};

void BM_PassAgainstDirectIndexWork(benchmark::State& state) {
  bench::TempDir dir("mfs-prune-bench");
  Volume volume(dir.path());
  constexpr unsigned long long kChunks = 100;
  constexpr uint64_t kObjects = 2000;
  mediabench::Compare(
      state, kChunks * kObjects / 2 * sizeof(CZeroRefRecord), "pass",
      [&] { return volume.Build(kChunks, kObjects, 2) ? volume.Pass() : -1; },
      [&] { return volume.Build(kChunks, kObjects, 2) ? volume.Direct() : -1; }, "direct");
}
BENCHMARK(BM_PassAgainstDirectIndexWork)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);

void BM_RemovingEmptiedChunks(benchmark::State& state) {
  bench::TempDir dir("mfs-prune-bench");
  Volume volume(dir.path());
  constexpr unsigned long long kChunks = 1000;
  mediabench::Compare(
      state, kChunks * sizeof(CZeroRefRecord), "pass",
      [&] { return volume.Build(kChunks, 1, 1) ? volume.Pass() : -1; },
      [&] { return volume.Build(kChunks, 1, 1) ? volume.Unlink(kChunks) : -1; }, "unlink");
}
BENCHMARK(BM_RemovingEmptiedChunks)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
