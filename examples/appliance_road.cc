// The appliance road of the example host: what a data mover does with a dedup appliance, here
// the library's folder-backed stand-in of one. A first backup writes the stream into chunks of a
// new volume through HPStoreOnce_FS: each chunk's data object holds the stream's bytes, its
// metadata object one record per piece (where the piece lies in the stream and how long it is),
// and its metadata index one entry per record. A second backup of the same stream sends few
// bytes: in each of its chunks most pieces are links to the first backup's copy of them, cloned on
// the appliance or gathered into copy jobs (links that continue each other make one job), and some
// go as new data, as when the dedup database no longer knows them; the kinds take turns so that
// each follows each. A second media object then restores both backups, record by record, and the
// restore compares every byte with the source.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "demo_host.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr int kMountPathId = 3;
constexpr int kTHId = 2;
constexpr unsigned long long kMiB = 1ULL << 20;
constexpr size_t kRecordBytes = 12;  // the stream offset (8 bytes) and the length (4), big-endian

struct Piece {
  unsigned long long streamOffset = 0;
  unsigned long long dataOffset = 0;  // in its chunk's data object
  uint32_t length = 0;
};

struct ChunkRecord {
  long long chunkId = 0;
  std::vector<Piece> pieces;
};

MediaFSArchiveFileId_t ChunkFileId(long long chunkId) {
  MediaFSArchiveFileId_t id;
  id.uiDataType = CHUNK;
  id.llChunkId = chunkId;
  id.iChunkVersion = 3;
  return id;
}

class ApplianceRoad {
 public:
  ApplianceRoad(const DemoOptions& options, const BackupSource& source) : m_options(options), m_source(source) {}

  int Run() {
    std::printf("road: appliance (chunks as objects of a dedup appliance, through HPStoreOnce_FS, on the "
                "library's folder-backed stand-in of the appliance)\n");
    std::printf("source: %s\n", m_source.Describe().c_str());
    RunFolder root(m_options.mountPath, "appliance");
    RunFolder restoreTo(m_options.restoreTo, "restore folder");
    if (!root.Ok() || !restoreTo.Ok()) {
      std::printf("FAILED: %s\n", (root.Ok() ? restoreTo : root).Error().c_str());
      return 1;
    }
    const std::string mountRoot = root.Path() + "/OZ_MAGNETIC";
    std::error_code ec;
    fs::create_directories(mountRoot, ec);
    m_volumeId = NextVolumeId(mountRoot);
    while (platform::MediaManager().volumes.count(m_volumeId) != 0) ++m_volumeId;
    m_volumeFolder = mountRoot + "/V_" + std::to_string(m_volumeId);
    platform::Appliance().Enable(root.Path());
    platform::MountPathRecord record;  // where links to earlier chunks are looked up
    record.mountPath = mountRoot;
    platform::Config().mountPaths[{kMountPathId, kTHId}] = record;
    m_reserve.m_blockSizeKB = m_options.blockKB;
    m_reserve.m_mountPathId = kMountPathId;
    m_params.m_Type = kFSTypeStoreOnce;
    m_params.m_ParamText = "mfs-demo";
    std::printf("appliance: %s (%s), volume %d in %s, chunks up to %llu MiB\n", root.Path().c_str(),
                root.Temporary() ? "temporary" : "kept", m_volumeId, m_volumeFolder.c_str(), m_options.chunkMB);

    const bool ok = Backup() && DedupBackup() && PrintObjects() &&
                    Restore(m_first, restoreTo.Path() + "/first", "first backup") &&
                    Restore(m_second, restoreTo.Path() + "/second", "deduplicated backup");
    PrintVolumeRecord(m_volumeId);
    platform::Appliance().Reset();
    return ok ? 0 : 1;
  }

 private:
  std::unique_ptr<HPStoreOnce_FS> NewMedia(int dataMoverMode, const char* road) {
    auto media = std::make_unique<HPStoreOnce_FS>(&m_job, m_params);
    MediaFsInitParams init;
    init.iVolId = m_volumeId;
    init.iTHId = kTHId;
    init.strPath = m_volumeFolder;
    init.pMlm = &m_mlm;
    init.pReserveMount = &m_reserve;
    init.strHostName = "demo-host";
    init.iDataMoverMode = dataMoverMode;
    if (media->Init(init, false) != 0) {
      MediaFailed(road, "Init", *media);
      return nullptr;
    }
    return media;
  }

  // The piece's metadata record and its index entry, keyed by the record's place in the metadata.
  static bool WriteRecord(HPStoreOnce_FS& media, const Piece& piece, unsigned long long recordOffset) {
    char record[kRecordBytes];
    EncodeBE64(record, piece.streamOffset);
    EncodeBE32(record + 8, piece.length);
    int eom = 0;
    if (media.WriteToMetaData(record, kRecordBytes, &eom) != static_cast<int>(kRecordBytes)) return false;
    SChunkMetaDataIndexEntry entry{};
    entry.Key = recordOffset;
    entry.OwnerValue8 = piece.streamOffset;
    entry.OwnerValue16 = piece.dataOffset;
    return media.AddChunkMetaDataIndexEntry(entry) == 0;
  }

  bool Backup() {
    const auto start = std::chrono::steady_clock::now();
    auto media = NewMedia(kDataMoverModeBackup, "appliance backup");
    if (media == nullptr) return false;
    BackupStream stream(m_source);
    Progress progress("backup", BackupStream::Length(m_source));
    std::vector<char> buffer(kPiece);
    const unsigned long long chunkLimit = std::max(1ULL, m_options.chunkMB) * kMiB;
    for (bool ended = false; !ended;) {
      ChunkRecord chunk;
      chunk.chunkId = static_cast<long long>(m_first.size()) + 1;
      const MediaFSArchiveFileId_t id = ChunkFileId(chunk.chunkId);
      if (media->Create(&id) != 0) return MediaFailed("appliance backup", "Create", *media);
      for (unsigned long long inChunk = 0; inChunk < chunkLimit;) {
        const size_t want = static_cast<size_t>(std::min<unsigned long long>(kPiece, chunkLimit - inChunk));
        const long long got = stream.Read(buffer.data(), want);
        if (got < 0) {
          std::printf("FAILED: appliance backup: %s\n", stream.Error().c_str());
          return false;
        }
        if (got > 0) {
          Piece piece{m_streamBytes, inChunk, static_cast<uint32_t>(got)};
          int eom = 0;
          if (media->WriteToDataFile(buffer.data(), static_cast<long>(got), &eom) != got ||
              !WriteRecord(*media, piece, chunk.pieces.size() * kRecordBytes)) {
            return MediaFailed("appliance backup", "a piece of chunk " + std::to_string(chunk.chunkId), *media);
          }
          chunk.pieces.push_back(piece);
          inChunk += static_cast<unsigned long long>(got);
          m_streamBytes += static_cast<unsigned long long>(got);
          progress.Add(static_cast<unsigned long long>(got));
        }
        if (static_cast<size_t>(got) < want) {
          ended = true;
          break;
        }
      }
      if (media->Close() != 0) return MediaFailed("appliance backup", "Close", *media);
      m_first.push_back(chunk);
    }
    const double seconds = SecondsSince(start);
    std::printf("backup: %s, %s of stream in %.2f s (%s)\n", Count(m_first.size(), "chunk").c_str(),
                Size(m_streamBytes).c_str(), seconds, Rate(m_streamBytes, seconds).c_str());
    return true;
  }

  // The same stream again, mostly as links to the first backup's pieces. The kinds of the pieces
  // of a chunk follow a cycle in which each kind comes after each kind (copy, data and clone after
  // a copy, a clone and new data): new data and clones after a copy go behind the copied bytes.
  bool DedupBackup() {
    const auto start = std::chrono::steady_clock::now();
    auto media = NewMedia(kDataMoverModeBackup, "deduplicated backup");
    if (media == nullptr) return false;
    static const char kCycle[] = "CCDCKDDKK";  // C a copy, K a clone, D new data
    BackupStream stream(m_source);  // the bytes of the pieces that go as new data
    std::vector<char> buffer(kPiece);
    size_t pieces = 0, clones = 0, copies = 0;
    unsigned long long sent = 0;
    for (const ChunkRecord& original : m_first) {
      ChunkRecord chunk;
      chunk.chunkId = original.chunkId + 1000000;
      const MediaFSArchiveFileId_t id = ChunkFileId(chunk.chunkId);
      if (media->Create(&id) != 0) return MediaFailed("deduplicated backup", "Create", *media);
      for (const Piece& p : original.pieces) {
        if (stream.Read(buffer.data(), p.length) != static_cast<long long>(p.length)) {
          std::printf("FAILED: deduplicated backup: the stream is shorter than at the first backup %s\n",
                      stream.Error().c_str());
          return false;
        }
        const char kind = kCycle[chunk.pieces.size() % (sizeof(kCycle) - 1)];
        SILinkHdr link{};
        link.PrimaryRecord.VolumeId = static_cast<uint32_t>(m_volumeId);
        link.PrimaryRecord.MountPathId = kMountPathId;
        link.PrimaryRecord.Size = p.length;
        link.PrimaryRecord.ChunkId = static_cast<uint64_t>(original.chunkId);
        link.PrimaryRecord.MetadataOffset = (1ULL << 56) | p.dataOffset;
        HPStoreOnce_FS::ConvertSILinkByteOrder(&link);  // the host hands links in network order
        int eom = 0;
        bool stored = false;
        if (kind == 'K') {
          stored = media->CloneToDataFile(&link, 0, &eom) == 0;
          ++clones;
        } else if (kind == 'C') {
          stored = media->ScheduleDataFileCopy(&link, kTHId, false, &eom) == static_cast<int>(p.length);
          ++copies;
        } else {
          stored = media->WriteToDataFile(buffer.data(), static_cast<long>(p.length), &eom) == static_cast<int>(p.length);
          sent += p.length;
        }
        if (!stored || !WriteRecord(*media, p, chunk.pieces.size() * kRecordBytes)) {
          return MediaFailed("deduplicated backup", "a piece of chunk " + std::to_string(chunk.chunkId), *media);
        }
        chunk.pieces.push_back(p);
        ++pieces;
      }
      if (media->Close() != 0) return MediaFailed("deduplicated backup", "Close", *media);
      m_second.push_back(chunk);
    }
    const double seconds = SecondsSince(start);
    std::printf("deduplicated backup: %s, %zu pieces in %.2f s: %zu cloned, %zu copied in %zu copy jobs, %zu sent "
                "again as new data (%s)\n",
                Count(m_second.size(), "chunk").c_str(), pieces, seconds, clones, copies,
                platform::Appliance().CallsOf(platform::ApplianceOp::CopyObject).size(), pieces - clones - copies,
                Size(sent).c_str());
    return true;
  }

  bool PrintObjects() const {
    unsigned long long total = 0;
    size_t objects = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_volumeFolder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      ++objects;
      total += it->file_size(ec);
    }
    std::printf("objects on the appliance: %zu (.meta, .idx and 1.data per chunk), %s\n", objects, Size(total).c_str());
    return true;
  }

  bool Restore(const std::vector<ChunkRecord>& chunks, const std::string& folder, const char* what) {
    const auto start = std::chrono::steady_clock::now();
    std::error_code ec;
    fs::create_directories(folder, ec);
    auto media = NewMedia(0, "appliance restore");
    if (media == nullptr) return false;
    StreamRestorer restorer(m_source, folder);
    std::vector<char> buffer(kPiece);
    for (const ChunkRecord& chunk : chunks) {
      const std::string name = "chunk " + std::to_string(chunk.chunkId);
      const MediaFSArchiveFileId_t id = ChunkFileId(chunk.chunkId);
      if (media->Open(&id, false) != 0) return MediaFailed("appliance restore", "Open of " + name, *media);
      for (unsigned long long recordOffset = 0;; recordOffset += kRecordBytes) {
        char record[kRecordBytes];
        const int got = media->ReadFromMetaData(record, kRecordBytes);
        if (got == 0) break;
        SChunkMetaDataIndexEntry entry{};
        if (got != static_cast<int>(kRecordBytes) || media->SearchChunkMetaDataIndex(recordOffset, entry) != 0 ||
            entry.OwnerValue8 != DecodeBE64(record)) {
          return MediaFailed("appliance restore", "a record of " + name, *media);
        }
        const uint32_t length = DecodeBE32(record + 8);
        if (length > buffer.size() || media->ReadFromDataFile(buffer.data(), length) != static_cast<int>(length)) {
          return MediaFailed("appliance restore", "the data of " + name, *media);
        }
        if (!restorer.Write(buffer.data(), length)) {
          std::printf("FAILED: appliance restore: %s\n", restorer.Error().c_str());
          return false;
        }
      }
      if (media->Close() != 0) return MediaFailed("appliance restore", "Close of " + name, *media);
    }
    const double seconds = SecondsSince(start);
    if (!restorer.Finish()) {
      std::printf("FAILED: appliance restore: %s\n", restorer.Error().c_str());
      return false;
    }
    std::printf("restore of the %s: %s read through a second media object in %.2f s (%s)\n", what,
                Count(chunks.size(), "chunk").c_str(), seconds, Rate(m_streamBytes, seconds).c_str());
    std::printf("check: %s, %s restored to %s; every byte matches the source\n",
                Count(restorer.FilesRestored(), "file").c_str(), Size(restorer.BytesRestored()).c_str(), folder.c_str());
    return true;
  }

  const DemoOptions& m_options;
  const BackupSource& m_source;
  _JobContext m_job{1003, 1};
  MLMMessageInstance m_mlm;
  OZMMreserveMount m_reserve;
  CFSInitParams m_params;
  int m_volumeId = 0;
  std::string m_volumeFolder;
  std::vector<ChunkRecord> m_first;
  std::vector<ChunkRecord> m_second;
  unsigned long long m_streamBytes = 0;
};

}  // namespace

int RunApplianceRoad(const DemoOptions& options, const BackupSource& source) {
  return ApplianceRoad(options, source).Run();
}
