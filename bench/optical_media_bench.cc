// The optical disk media on the optical drive stand-in against plain system calls on the same
// folder, in one run.
//
// Write: a 1 GiB chunk through nt_fs_optical (Create, Write in 64 KiB pieces, Close, which makes
// the file durable through the drive) against write(2) of the same 64 KiB blocks into a file of
// the same folder followed by fsync(2). Read: the chunk read back through Open, Read in 64 KiB
// pieces and Close against read(2) of the same file in 64 KiB pieces.
//
// The comparison and its counters are those of media_vs_syscalls.h (`optical_MBps` for the media);
// the benchmark's time is the wall-clock time of an iteration (both roads). The drive stand-in
// does not record reads and writes here, so its list of calls does not grow with every block. The
// folder is MFS_BENCH_DIR, else TMPDIR, else /tmp.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/NTOptical.h"
#include "media_vs_syscalls.h"
#include "platform/platform.h"

namespace {


constexpr size_t kPiece = 64 * 1024;
constexpr size_t kChunkBytes = size_t{1} << 30;
constexpr int kBlockKB = 64;
constexpr long long kChunkId = 1;
constexpr long long kDiskBytes = 8LL << 30;  // the disk's size: room for the chunk and the low-water mark

// An optical disk in a folder with a volume reservation, as a data mover has them.
struct Disk {
  std::string folder = mediabench::MakeFolder("mfs-optical-bench");
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;

  // No reset of the stand-ins: after one the file-system layer counts every call for tests.
  Disk() {
    platform::SetLogCaptureLimit(64);
    platform::OpticalDriveSetup setup;
    setup.quotaBytes = kDiskBytes;
    platform::OpticalLibrary().AddDrive(folder, setup);
    platform::OpticalLibrary().recordTransfers = false;
    reserve.m_blockSizeKB = kBlockKB;
    reserve.m_numFiles = 1;
  }
  ~Disk() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }

  std::unique_ptr<nt_fs_optical> Media(int dataMoverMode) {
    auto media = std::make_unique<nt_fs_optical>(&job, 9);
    MediaFsInitParams p;
    p.iVolId = 1;
    p.strPath = folder;
    p.pMlm = &mlm;
    p.iDriveId = 1;
    p.iMediaType = 9;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = dataMoverMode;
    if (media->Init(p, false) != 0) return nullptr;
    return media;
  }

  static MediaFSArchiveFileId_t ChunkId() {
    MediaFSArchiveFileId_t id;
    id.uiDataType = CHUNK;
    id.llChunkId = kChunkId;
    id.iChunkVersion = 3;
    id.llPhysicalSize = static_cast<long long>(kChunkBytes);
    return id;
  }
  std::string ChunkPath() const { return folder + "/CHUNK_" + std::to_string(kChunkId); }
  std::string PlainPath() const { return folder + "/plain"; }
};

// The two roads of one direction; each returns its seconds, or a negative number on failure. Each
// write makes a new file, as a chunk is: the file of the road before is removed untimed.
double MediaWrite(Disk& disk, const std::vector<char>& piece) {
  unlink(disk.ChunkPath().c_str());
  auto media = disk.Media(kDataMoverModeBackup);
  return mediabench::MediaWrite(media.get(), Disk::ChunkId(), piece, kChunkBytes);
}

double MediaRead(Disk& disk, std::vector<char>& piece) {
  auto media = disk.Media(0);
  return mediabench::MediaRead(media.get(), Disk::ChunkId(), piece, kChunkBytes);
}

std::vector<char> Pattern() {
  std::vector<char> piece(kPiece);
  for (size_t i = 0; i < kPiece; ++i) piece[i] = static_cast<char>(i * 131 + 7);
  return piece;
}

void BM_WriteChunk_OpticalVsWrite(benchmark::State& state) {
  Disk disk;
  if (disk.folder.empty()) return state.SkipWithError("no folder for the disk");
  const std::vector<char> piece = Pattern();
  mediabench::Compare(state, kChunkBytes, "optical", [&] { return MediaWrite(disk, piece); },
                      [&] { return mediabench::PlainWrite(disk.PlainPath(), piece, kChunkBytes); });
}

void BM_ReadChunk_OpticalVsRead(benchmark::State& state) {
  Disk disk;
  if (disk.folder.empty()) return state.SkipWithError("no folder for the disk");
  std::vector<char> piece = Pattern();
  if (MediaWrite(disk, piece) < 0) return state.SkipWithError("the chunk could not be written");
  mediabench::Compare(state, kChunkBytes, "optical", [&] { return MediaRead(disk, piece); },
                      [&] { return mediabench::PlainRead(disk.ChunkPath(), piece, kChunkBytes); });
}

}  // namespace

BENCHMARK(BM_WriteChunk_OpticalVsWrite)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_ReadChunk_OpticalVsRead)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(8);
