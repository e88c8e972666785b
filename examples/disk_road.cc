// The disk road of the example host: what a data mover does with a disk mount path. The backup
// stream goes into chunks of a new volume folder through RealMagneticFS (each chunk a 1024-byte
// chunk header of the host's and the stream's bytes, followed by its chunk map trailer; the
// volume ends with the media trailer), the host keeping the chunk table a database would. A
// second media object then opens the chunks from that table, reads them back, and the restore
// writes the files out and compares every byte with the source.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "MediaFileSystem/RealMagnetic.h"
#include "demo_host.h"
#include "platform/media_manager.h"

extern "C" const char* MediaFileSystemVersion();

namespace fs = std::filesystem;

namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr int kChunkHeaderBytes = 1024;
constexpr int kDriveId = 0;  // a disk mount path has no drive record of its own
constexpr int kMountPathId = 1;
constexpr unsigned long long kMiB = 1ULL << 20;

// A row of the host's chunk table.
struct ChunkRecord {
  long long chunkId = 0;
  long long fileMarker = 0;
  unsigned long long dataBytes = 0;     // the chunk's physical size in the database: header excluded
  unsigned long long streamOffset = 0;  // where its data lies in the backup stream
};

MediaFSArchiveFileId_t ArchiveFileId(uint32_t type, const ChunkRecord& chunk) {
  MediaFSArchiveFileId_t id;
  id.uiDataType = type;
  id.llChunkId = chunk.chunkId;
  id.llFileMarkerNumber = chunk.fileMarker;
  id.iChunkVersion = 3;
  id.llPhysicalSize = static_cast<long long>(chunk.dataBytes);
  return id;
}

// A text padded with blanks to the 1024 bytes of a chunk header or trailer.
std::string Padded(const std::string& text) {
  std::string block = text;
  block.resize(kChunkHeaderBytes, ' ');
  return block;
}

std::string ChunkHeader(const ChunkRecord& chunk, int volumeId) {
  return Padded("MFS_DEMO_CHUNK_HEADER 1\nChunkId " + std::to_string(chunk.chunkId) + "\nVolumeId " +
                std::to_string(volumeId) + "\nStreamOffset " + std::to_string(chunk.streamOffset) + "\n");
}

std::string ChunkMapTrailer(const ChunkRecord& chunk, int volumeId) {
  return Padded("CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber " + std::to_string(chunk.fileMarker) +
                "\nChunkId " + std::to_string(chunk.chunkId) + "\nVolumeId " + std::to_string(volumeId) +
                "\nTavrixVersion " + MediaFileSystemVersion() + "\nuniqueMediaIdString MP_" +
                std::to_string(kMountPathId) + "_V_" + std::to_string(volumeId) + "\n");
}

class DiskRoad {
 public:
  DiskRoad(const DemoOptions& options, const BackupSource& source) : m_options(options), m_source(source) {}

  int Run() {
    std::printf("road: disk (chunks as files on a disk mount path, through RealMagneticFS)\n");
    std::printf("source: %s\n", m_source.Describe().c_str());
    RunFolder mountPath(m_options.mountPath, "mount path");
    RunFolder restoreTo(m_options.restoreTo, "restore folder");
    if (!mountPath.Ok() || !restoreTo.Ok()) {
      std::printf("FAILED: %s\n", (mountPath.Ok() ? restoreTo : mountPath).Error().c_str());
      return 1;
    }
    m_volumeId = NextVolumeId(mountPath.Path());
    m_volumeFolder = mountPath.Path() + "/V_" + std::to_string(m_volumeId);
    std::error_code ec;
    if (!fs::create_directory(m_volumeFolder, ec)) {
      std::printf("FAILED: cannot make the volume folder %s: %s\n", m_volumeFolder.c_str(), ec.message().c_str());
      return 1;
    }
    SetUpVolume();
    std::printf("mount path: %s (%s), volume %d in %s, blocks of %d KiB, chunks up to %llu MiB\n",
                mountPath.Path().c_str(), mountPath.Temporary() ? "temporary" : "kept", m_volumeId,
                m_volumeFolder.c_str(), m_options.blockKB, m_options.chunkMB);

    if (!Backup()) return 1;
    PrintVolumeFiles();
    PrintVolumeRecord(m_volumeId);
    if (!Restore(restoreTo)) return 1;
    return 0;
  }

 private:
  // The reservation of the volume and the media manager's record of it, as the media manager
  // hands them to a data mover.
  void SetUpVolume() {
    m_reserve.m_blockSizeKB = m_options.blockKB;
    m_reserve.m_numFiles = 0;
    m_reserve.m_lowWaterMarkMB = 0;  // the disk media keeps its least reserve, 50 MB
    m_reserve.m_mountPathId = kMountPathId;
    platform::MediaManager().volumes[m_volumeId].mountPathId = kMountPathId;
  }

  std::unique_ptr<RealMagneticFS> NewMedia(int dataMoverMode, const char* road) {
    CFSInitParams params;  // a disk path
    params.m_MountPathId = kMountPathId;
    auto media = std::make_unique<RealMagneticFS>(&m_job, params, 1);
    MediaFsInitParams init;
    init.iVolId = m_volumeId;
    init.iTHId = 2;
    init.strPath = m_volumeFolder;
    init.pMlm = &m_mlm;
    init.iDriveId = kDriveId;
    init.pReserveMount = &m_reserve;
    init.strHostName = "demo-host";
    init.iDataMoverMode = dataMoverMode;
    if (media->Init(init, false) != 0) {
      MediaFailed(road, "Init", *media);
      return nullptr;
    }
    return media;
  }

  bool Backup() {
    const auto start = std::chrono::steady_clock::now();
    auto media = NewMedia(kDataMoverModeBackup, "backup");
    if (media == nullptr) return false;
    BackupStream stream(m_source);
    Progress progress("backup", BackupStream::Length(m_source));
    std::vector<char> piece(kPiece);
    const unsigned long long chunkLimit = std::max(1ULL, m_options.chunkMB) * kMiB;
    unsigned long long streamOffset = 0;
    bool streamEnded = false;

    while (!streamEnded) {
      ChunkRecord chunk;
      chunk.chunkId = static_cast<long long>(m_chunks.size()) + 1;
      chunk.streamOffset = streamOffset;
      const MediaFSArchiveFileId_t id = ArchiveFileId(CHUNK, chunk);
      const int created = media->Create(&id);
      if (created == kMFSNoRoomOnMedia) {
        std::printf("FAILED: backup: the mount path has no room above its reserve of 50 MB for chunk %lld\n",
                    chunk.chunkId);
        return false;
      }
      if (created != 0) return MediaFailed("backup", "Create of chunk " + std::to_string(chunk.chunkId), *media);
      const std::string header = ChunkHeader(chunk, m_volumeId);
      if (media->Write(header.data(), header.size()) != kChunkHeaderBytes) {
        return MediaFailed("backup", "Write of a chunk header", *media);
      }
      while (chunk.dataBytes < chunkLimit && !media->GetCloseChunkFlag()) {
        const size_t want = static_cast<size_t>(std::min<unsigned long long>(kPiece, chunkLimit - chunk.dataBytes));
        const long long got = stream.Read(piece.data(), want);
        if (got < 0) {
          std::printf("FAILED: backup: %s\n", stream.Error().c_str());
          return false;
        }
        if (got > 0 && media->Write(piece.data(), static_cast<unsigned long>(got)) != got) {
          return MediaFailed("backup", "Write into chunk " + std::to_string(chunk.chunkId), *media);
        }
        chunk.dataBytes += static_cast<unsigned long long>(got);
        streamOffset += static_cast<unsigned long long>(got);
        progress.Add(static_cast<unsigned long long>(got));
        if (static_cast<size_t>(got) < want) {
          streamEnded = true;  // a short read is the end of the stream
          break;
        }
      }
      if (media->Close() != 0) return MediaFailed("backup", "Close of chunk " + std::to_string(chunk.chunkId), *media);
      chunk.fileMarker = media->GetFileNumber();
      m_chunks.push_back(chunk);

      const std::string trailer = ChunkMapTrailer(chunk, m_volumeId);
      const MediaFSArchiveFileId_t trailerId = ArchiveFileId(CHUNKMAP_TRAILER, chunk);
      if (media->Create(&trailerId) != 0 ||
          media->Write(trailer.data(), trailer.size()) != static_cast<int>(trailer.size()) || media->Close() != 0) {
        return MediaFailed("backup", "the chunk map trailer of chunk " + std::to_string(chunk.chunkId), *media);
      }
      if (media->GetCloseChunkFlag() && !streamEnded) {
        std::printf("FAILED: backup: the mount path reached its reserve after %s of the stream; the rest would "
                    "need another volume\n",
                    Size(streamOffset).c_str());
        return false;
      }
    }
    MediaFSArchiveFileId_t trailerId;
    trailerId.uiDataType = MEDIA_TRAILER;
    if (media->WriteMediaTrailer(&trailerId) != 0) return MediaFailed("backup", "the media trailer", *media);
    const double seconds = SecondsSince(start);
    std::printf("backup: %s, %s of stream in %.2f s (%s), each chunk followed by its chunk map trailer, then the "
                "media trailer\n",
                Count(m_chunks.size(), "chunk").c_str(), Size(streamOffset).c_str(), seconds,
                Rate(streamOffset, seconds).c_str());
    m_streamBytes = streamOffset;
    return true;
  }

  void PrintVolumeFiles() const {
    std::vector<std::pair<std::string, unsigned long long>> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_volumeFolder, ec)) {
      files.emplace_back(entry.path().filename().string(), entry.file_size(ec));
    }
    // In the order they were written: each chunk and its chunk map trailer, then the media trailer.
    auto order = [](const std::string& name) {
      for (const auto& [prefix, kind] : {std::make_pair("CHUNK_", 0), std::make_pair("CHUNKMAP_TRAILER_", 1)}) {
        if (name.rfind(prefix, 0) == 0) return std::make_pair(std::atoll(name.c_str() + std::strlen(prefix)), kind);
      }
      return std::make_pair(std::numeric_limits<long long>::max(), 2);
    };
    std::sort(files.begin(), files.end(), [&](const auto& a, const auto& b) { return order(a.first) < order(b.first); });
    unsigned long long total = 0;
    for (const auto& [name, size] : files) total += size;
    std::printf("files on the volume: %zu, %s\n", files.size(), Size(total).c_str());
    const size_t shown = 6;
    for (size_t i = 0; i < files.size(); ++i) {
      if (i == shown && files.size() > shown + 1) {
        std::printf("  ... %zu more\n", files.size() - shown - 1);
        i = files.size() - 1;
      }
      std::printf("  %-24s %s\n", files[i].first.c_str(), Size(files[i].second).c_str());
    }
  }

  bool Restore(const RunFolder& restoreTo) {
    const auto start = std::chrono::steady_clock::now();
    auto media = NewMedia(0, "restore");
    if (media == nullptr) return false;
    StreamRestorer restorer(m_source, restoreTo.Path());
    Progress progress("restore", m_streamBytes);
    std::vector<char> piece(kPiece);
    for (const ChunkRecord& chunk : m_chunks) {
      const std::string name = "chunk " + std::to_string(chunk.chunkId);
      const MediaFSArchiveFileId_t id = ArchiveFileId(CHUNK, chunk);
      if (media->Open(&id, false) != 0) return MediaFailed("restore", "Open of " + name, *media);
      std::string header(kChunkHeaderBytes, '\0');
      if (media->Read(header.data(), header.size()) != kChunkHeaderBytes) {
        return MediaFailed("restore", "Read of the header of " + name, *media);
      }
      if (header != ChunkHeader(chunk, m_volumeId)) {
        std::printf("FAILED: restore: the header of %s does not name it\n", name.c_str());
        return false;
      }
      for (unsigned long long left = chunk.dataBytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<unsigned long long>(kPiece, left));
        if (media->Read(piece.data(), n) != static_cast<int>(n)) return MediaFailed("restore", "Read of " + name, *media);
        if (!restorer.Write(piece.data(), n)) {
          std::printf("FAILED: restore: %s\n", restorer.Error().c_str());
          return false;
        }
        progress.Add(n);
        left -= n;
      }
      if (media->Close() != 0) return MediaFailed("restore", "Close of " + name, *media);
    }
    const double seconds = SecondsSince(start);
    if (!restorer.Finish()) {
      std::printf("FAILED: restore: %s\n", restorer.Error().c_str());
      return false;
    }
    std::printf("restore: %s read through a second media object in %.2f s (%s)\n",
                Count(m_chunks.size(), "chunk").c_str(), seconds, Rate(m_streamBytes, seconds).c_str());
    std::printf("check: %s, %s restored to %s (%s); every byte matches the source\n",
                Count(restorer.FilesRestored(), "file").c_str(), Size(restorer.BytesRestored()).c_str(),
                restoreTo.Path().c_str(), restoreTo.Temporary() ? "temporary" : "kept");
    return true;
  }

  const DemoOptions& m_options;
  const BackupSource& m_source;
  _JobContext m_job{1001, 1};
  MLMMessageInstance m_mlm;
  OZMMreserveMount m_reserve;
  int m_volumeId = 0;
  std::string m_volumeFolder;
  std::vector<ChunkRecord> m_chunks;
  unsigned long long m_streamBytes = 0;
};

}  // namespace

int RunDiskRoad(const DemoOptions& options, const BackupSource& source) { return DiskRoad(options, source).Run(); }
