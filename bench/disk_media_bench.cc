// The disk media against plain system calls on the same folder, in one run.
//
// Write: a 1 GiB chunk through RealMagneticFS (Create, Write in 64 KiB pieces, Close, which
// flushes the file and the folder that holds its name to stable storage) against write(2) of the
// same 64 KiB blocks into a file of the same folder followed by fsync(2) of the file and of the
// folder. Read: the chunk read back through Open, Read in 64 KiB pieces and Close against read(2)
// of the same file in 64 KiB pieces.
//
// The comparison and its counters are those of media_vs_syscalls.h (`disk_media_MBps` for the
// media). The folder is MFS_BENCH_DIR, by default "bench-data" in the build folder: a folder on a real
// disk measures the disk with the flush; one on tmpfs would measure the code path alone.

#include <filesystem>
#include <string>
#include <vector>

#include "MediaFileSystem/RealMagnetic.h"
#include "media_vs_syscalls.h"

namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr size_t kChunkBytes = size_t{1} << 30;
constexpr int kBlockKB = 64;
constexpr int kChunkHeader = 1024;
constexpr long long kChunkId = 1;


// A mount path folder with a volume reservation, as a data mover has them.
struct MountPath {
  std::string folder = bench::MakeDir("mfs-disk-bench");
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;

  MountPath() {
    reserve.m_blockSizeKB = kBlockKB;
    reserve.m_numFiles = 0;
  }
  ~MountPath() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }

  std::unique_ptr<RealMagneticFS> Media(int dataMoverMode) {
    CFSInitParams params;
    auto media = std::make_unique<RealMagneticFS>(&job, params, 1);
    MediaFsInitParams p;
    p.iVolId = 1;
    p.strPath = folder;
    p.pMlm = &mlm;
    p.iDriveId = 1;
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
    id.llPhysicalSize = static_cast<long long>(kChunkBytes) - kChunkHeader;
    return id;
  }
  std::string ChunkPath() const { return folder + "/CHUNK_" + std::to_string(kChunkId); }
  std::string PlainPath() const { return folder + "/plain"; }
};

std::vector<char> Pattern() {
  std::vector<char> piece(kPiece);
  for (size_t i = 0; i < kPiece; ++i) piece[i] = static_cast<char>(i * 131 + 7);
  return piece;
}

// The two roads of one direction; each returns its seconds, or a negative number on failure.
// Each write makes a new file, as a chunk is: the file of the road before is removed untimed.
// (Rewriting the same two files would hand the disk's better placement to whichever was made
// second, every time.)
double MediaWrite(MountPath& mp, const std::vector<char>& piece) {
  unlink(mp.ChunkPath().c_str());
  auto media = mp.Media(kDataMoverModeBackup);
  return mediabench::MediaWrite(media.get(), MountPath::ChunkId(), piece, kChunkBytes);
}

double MediaRead(MountPath& mp, std::vector<char>& piece) {
  auto media = mp.Media(0);
  return mediabench::MediaRead(media.get(), MountPath::ChunkId(), piece, kChunkBytes);
}

void BM_WriteChunk_DiskMediaVsWrite(benchmark::State& state) {
  MountPath mp;
  if (mp.folder.empty()) return state.SkipWithError("no folder for the mount path");
  const std::vector<char> piece = Pattern();
  mediabench::Compare(state, kChunkBytes, "disk_media", [&] { return MediaWrite(mp, piece); },
                      [&] { return mediabench::PlainWriteAndFlushFolder(mp.PlainPath(), piece, kChunkBytes); });
}

void BM_ReadChunk_DiskMediaVsRead(benchmark::State& state) {
  MountPath mp;
  if (mp.folder.empty()) return state.SkipWithError("no folder for the mount path");
  std::vector<char> piece = Pattern();
  if (MediaWrite(mp, piece) < 0) return state.SkipWithError("the chunk could not be written");
  mediabench::Compare(state, kChunkBytes, "disk_media", [&] { return MediaRead(mp, piece); },
                      [&] { return mediabench::PlainRead(mp.ChunkPath(), piece, kChunkBytes); });
}

}  // namespace

BENCHMARK(BM_WriteChunk_DiskMediaVsWrite)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_ReadChunk_DiskMediaVsRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
