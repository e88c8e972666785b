// The deduplicated road of the example host: what a data mover does with the single-instance
// store. Each file of the source is cut into blocks of 64 KiB; a block the job has not seen
// before becomes an object in the chunk's SFile containers (its 16-byte object header, then its
// bytes) with a record in "SFILE_CONTAINER.idx"; every block, seen before or not, gets a
// metadata record (which object holds it) in the chunk's metadata file and a record in the chunk
// metadata index. Checkpoints make the chunk durable every 64 MiB and at the end. The host keeps
// the table of its objects a dedup database would.
//
// The restore is a second store object, opened on the chunk as a restore job opens it: the table
// of objects comes from "SFILE_CONTAINER.idx", the block records from the metadata file in order,
// and each block from its object (OpenDataFile2 checks the container's and the object's headers,
// ReadFromDataFile hands out the bytes). The files are written back and every byte is compared
// with the source.

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "demo_host.h"
#include "platform/config.h"
#include "platform/media_manager.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr size_t kObjectHeader = 16;
constexpr unsigned long long kCheckpointBytes = 64ULL << 20;
constexpr unsigned int kEngineId = 1;
constexpr int kMountPathId = 2;
constexpr long long kChunkId = 1;

void PutBE(char* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<char>(value & 0xFF);
}

uint64_t GetBE(const char* at) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | static_cast<unsigned char>(at[i]);
  return value;
}

// A block's fingerprint: its SHA-256, as deduplicating stores take it. A block whose fingerprint
// was seen is taken as the same block; the check at the end still compares every byte.
struct BlockHash {
  std::array<unsigned char, 32> digest{};
  bool operator<(const BlockHash& o) const { return digest < o.digest; }
};

// One digest context for the whole backup: made once, reset per block.
class Fingerprinter {
 public:
  Fingerprinter() : m_ctx(EVP_MD_CTX_new()) {}
  ~Fingerprinter() { EVP_MD_CTX_free(m_ctx); }
  Fingerprinter(const Fingerprinter&) = delete;
  Fingerprinter& operator=(const Fingerprinter&) = delete;

  // False when the library cannot give the digest.
  bool Of(const char* data, size_t n, BlockHash& out) {
    unsigned int length = 0;
    return m_ctx != nullptr && EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(m_ctx, data, n) == 1 && EVP_DigestFinal_ex(m_ctx, out.digest.data(), &length) == 1 &&
           length == out.digest.size();
  }

 private:
  EVP_MD_CTX* m_ctx;
};

// Where the store put an object: its container and offset (object header included).
struct ObjectPlace {
  uint64_t number = 0;
  unsigned int container = 0;
  unsigned long offset = 0;
  uint32_t size = 0;
};

class DedupRoad {
 public:
  DedupRoad(const DemoOptions& options, const BackupSource& source) : m_options(options), m_source(source) {}

  int Run() {
    std::printf("road: dedup (a deduplicated chunk of SFile containers, through SingleInstancer_FS)\n");
    std::printf("source: %s\n", m_source.Describe().c_str());
    RunFolder mountRoot(m_options.mountPath, "mount path");
    RunFolder restoreTo(m_options.restoreTo, "restore folder");
    if (!mountRoot.Ok() || !restoreTo.Ok()) {
      std::printf("FAILED: %s\n", (mountRoot.Ok() ? restoreTo : mountRoot).Error().c_str());
      return 1;
    }
    const std::string mountPath = mountRoot.Path() + "/OZ_MAGNETIC";
    std::error_code ec;
    fs::create_directories(mountPath, ec);
    // A volume of its own in the media manager too, beside the other roads of the run.
    m_volumeId = NextVolumeId(mountPath);
    while (platform::MediaManager().volumes.count(m_volumeId) != 0) ++m_volumeId;
    m_volumeFolder = mountPath + "/" + SingleInstancer_FS::GetVolumeDirName(static_cast<unsigned int>(m_volumeId));
    if (!fs::create_directory(m_volumeFolder, ec)) {
      std::printf("FAILED: cannot make the volume folder %s: %s\n", m_volumeFolder.c_str(), ec.message().c_str());
      return 1;
    }
    m_reserve.m_blockSizeKB = m_options.blockKB;
    m_reserve.m_mountPathId = kMountPathId;
    platform::MediaManager().volumes[m_volumeId].mountPathId = kMountPathId;
    std::printf("mount path: %s (%s), volume %d in %s\n", mountPath.c_str(),
                mountRoot.Temporary() ? "temporary" : "kept", m_volumeId, m_volumeFolder.c_str());

    if (!Backup(mountPath)) return 1;
    PrintChunk();
    PrintVolumeRecord(m_volumeId);
    return Restore(mountPath, restoreTo) ? 0 : 1;
  }

 private:
  static bool Failed(const std::string& step, media_fs& media) { return MediaFailed("dedup backup", step, media); }
  static bool RestoreFailed(const std::string& step, media_fs& media) {
    return MediaFailed("dedup restore", step, media);
  }

  // The store of one job on the mount path, initialised for a backup or a restore.
  std::unique_ptr<SingleInstancer_FS> NewStore(const std::string& mountPath, _JobContext* job, int dataMoverMode) {
    CFSInitParams params;  // a disk path
    params.m_Host.m_Path = mountPath;
    params.m_MountPathId = kMountPathId;
    auto store = std::make_unique<SingleInstancer_FS>(job, params, true, 0);
    MediaFsInitParams init;
    init.iVolId = m_volumeId;
    init.iTHId = 2;
    init.strPath = m_volumeFolder;
    init.pMlm = &m_mlm;
    init.pReserveMount = &m_reserve;
    init.strHostName = "demo-host";
    init.iDataMoverMode = dataMoverMode;
    if (store->Init(init, false) != 0) {
      MediaFailed(dataMoverMode == kDataMoverModeBackup ? "dedup backup" : "dedup restore", "Init", *store);
      return nullptr;
    }
    return store;
  }

  static MediaFSArchiveFileId_t ChunkId() {
    MediaFSArchiveFileId_t id;
    id.uiDataType = CHUNK;
    id.llChunkId = kChunkId;
    id.iChunkVersion = 3;
    return id;
  }

  bool Backup(const std::string& mountPath) {
    const auto start = std::chrono::steady_clock::now();
    auto made = NewStore(mountPath, &m_job, kDataMoverModeBackup);
    if (made == nullptr) return false;
    SingleInstancer_FS& store = *made;
    const MediaFSArchiveFileId_t id = ChunkId();
    if (store.Create(&id) != 0) return Failed("Create of the chunk", store);

    Progress progress("dedup backup", m_source.TotalBytes());
    std::vector<char> object(kObjectHeader + kBlock);
    std::memcpy(object.data(), "10DHGAT", 8);
    Fingerprinter fingerprints;
    unsigned long long sinceCheckpoint = 0;
    int eom = 0;
    for (size_t f = 0; f < m_source.Files().size(); ++f) {
      std::string error;
      auto reader = m_source.Open(f, error);
      if (reader == nullptr) {
        std::printf("FAILED: dedup backup: %s\n", error.c_str());
        return false;
      }
      m_fileBlocks.emplace_back();
      for (unsigned long long left = m_source.Files()[f].size; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<unsigned long long>(kBlock, left));
        char* block = object.data() + kObjectHeader;
        if (reader->Read(block, want) != static_cast<long long>(want)) {
          std::printf("FAILED: dedup backup: %s cannot be read whole\n", m_source.Files()[f].name.c_str());
          return false;
        }
        left -= want;
        BlockHash hash;
        if (!fingerprints.Of(block, want, hash)) {
          std::printf("FAILED: dedup backup: no SHA-256 from the crypto library\n");
          return false;
        }
        auto known = m_objects.find(hash);
        if (known == m_objects.end()) {
          ObjectPlace place;
          place.number = m_places.size() + 1;
          place.size = static_cast<uint32_t>(want);
          if (store.StartDataFile2(kEngineId, &place.container, &place.offset) != 0) {
            return Failed("StartDataFile2", store);
          }
          PutBE(object.data() + 8, place.number, 8);
          const long length = static_cast<long>(kObjectHeader + want);
          if (store.WriteToDataFile(object.data(), length, &eom) != length) return Failed("WriteToDataFile", store);
          SSfileContainerIndexEntry record{};
          record.Key = place.number;
          record.DataFileOffset = place.offset;
          record.DataLength = static_cast<uint64_t>(length);
          record.Flags = FLAG_SFILE_ENTRY_VALID;
          if (store.AddSfileContainerIndexEntry(record) != 0) return Failed("AddSfileContainerIndexEntry", store);
          known = m_objects.emplace(hash, m_places.size()).first;
          m_places.push_back(place);
          m_storedBytes += want;
        } else {
          m_dedupedBytes += want;
        }
        if (!WriteBlockMetadata(store, f, m_places[known->second])) return false;
        m_fileBlocks.back().push_back(known->second);
        progress.Add(want);
        sinceCheckpoint += want;
        if (sinceCheckpoint >= kCheckpointBytes) {
          if (!Checkpoint(store)) return false;
          sinceCheckpoint = 0;
        }
      }
    }
    if (!Checkpoint(store)) return false;
    if (store.Close() != 0) return Failed("Close of the chunk", store);
    m_seconds = SecondsSince(start);
    return true;
  }

  // The block's metadata record: the file's number and which object holds the block.
  bool WriteBlockMetadata(SingleInstancer_FS& store, size_t file, const ObjectPlace& place) {
    char record[32];
    PutBE(record, file, 8);
    PutBE(record + 8, place.number, 8);
    PutBE(record + 16, place.container, 8);
    PutBE(record + 24, place.offset, 8);
    const long long metaOffset = store.GetMetaDataFileOffset();
    int eom = 0;
    if (metaOffset < 0 || store.WriteToMetaData(record, sizeof(record), &eom) != static_cast<int>(sizeof(record))) {
      return Failed("WriteToMetaData", store);
    }
    SChunkMetaDataIndexEntry index{};
    index.Key = static_cast<uint64_t>(metaOffset);
    index.OwnerValue8 = place.number;
    index.OwnerValue16 = file;
    if (store.AddChunkMetaDataIndexEntry(index) != 0) return Failed("AddChunkMetaDataIndexEntry", store);
    ++m_metadataRecords;
    return true;
  }

  bool Checkpoint(SingleInstancer_FS& store) {
    if (store.FlushDataFile() != 0) return Failed("FlushDataFile", store);
    if (store.FlushMetaDataFile() != 0) return Failed("FlushMetaDataFile", store);
    ++m_checkpoints;
    return true;
  }

  std::string ChunkFolder() const { return m_volumeFolder + "/" + SingleInstancer_FS::GetChunkDirName(kChunkId); }
  std::string ChunkFile(const std::string& name) const { return ChunkFolder() + "/" + name; }

  void PrintChunk() const {
    const unsigned int containers = m_places.empty() ? 0 : m_places.back().container;
    const unsigned long long blocks = m_metadataRecords;
    std::printf("backup: 1 chunk, %s of files in %s, %s written to %s (%s deduplicated: %s not written again), "
                "%s, in %.2f s (%s)\n",
                Size(m_storedBytes + m_dedupedBytes).c_str(), Count(blocks, "block").c_str(),
                Count(m_places.size(), "object").c_str(), Count(containers, "SFile container").c_str(),
                Count(blocks - m_places.size(), "block").c_str(), Size(m_dedupedBytes).c_str(),
                Count(m_checkpoints, "checkpoint").c_str(), m_seconds,
                Rate(m_storedBytes + m_dedupedBytes, m_seconds).c_str());
    unsigned long long chunkBytes = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(ChunkFolder(), ec)) {
      chunkBytes += e.file_size(ec);
    }
    const std::string metadata = SingleInstancer_FS::GetChunkMetadataName(kChunkId);
    std::printf("index records: %s in SFILE_CONTAINER.idx, %s in %s.idx; %s on disk for the chunk\n",
                Count(IndexRecords<SingleInstancer_FS::SfileIndex>("SFILE_CONTAINER.idx"), "record").c_str(),
                Count(IndexRecords<SingleInstancer_FS::ChunkMDIndex>(metadata + ".idx"), "record").c_str(),
                metadata.c_str(), Size(chunkBytes).c_str());
  }

  // The records an index file holds, through the index API; 0 when it cannot be opened.
  template <class Index>
  size_t IndexRecords(const std::string& name) const {
    CFSInitParams params;
    Index index(&params, nullptr);
    typename Index::Options options{false, true, true};
    if (index.Open(ChunkFile(name), 1, options).IsFailure()) return 0;
    const size_t records = static_cast<size_t>(index.m_Header.TotalEntries);
    (void)index.Close();
    return records;
  }

  // The chunk read back through a second store object, as a restore job reads it; the files of
  // the source written again below `restoreTo` and compared with the source byte for byte.
  bool Restore(const std::string& mountPath, const RunFolder& restoreTo) {
    const auto start = std::chrono::steady_clock::now();
    auto made = NewStore(mountPath, &m_restoreJob, 0);
    if (made == nullptr) return false;
    SingleInstancer_FS& store = *made;
    const MediaFSArchiveFileId_t id = ChunkId();
    if (store.Open(&id, false) != 0) return RestoreFailed("Open of the chunk", store);

    // The objects of the chunk: number -> where it lies and how long it is.
    std::map<uint64_t, SSfileContainerIndexEntry> objects;
    int64_t position = -1;
    SSfileContainerIndexEntry record{};
    int rc = store.GetFirstSfileContainerIndexEntry(&position, record);
    for (; rc == 0; rc = store.GetNextSfileContainerIndexEntry(&position, record)) objects[record.Key] = record;
    if (rc < 0) return RestoreFailed("the walk of SFILE_CONTAINER.idx", store);

    StreamRestorer restorer(m_source, restoreTo.Path());
    Progress progress("dedup restore", m_source.TotalBytes());
    size_t nextFile = 0;
    // Each file's record in the stream that the restorer takes: before the file's first block,
    // and for the files without one.
    auto startFilesUpTo = [&](size_t last) {
      for (; nextFile <= last && nextFile < m_source.Files().size(); ++nextFile) {
        const SourceFile& file = m_source.Files()[nextFile];
        std::string header(12, '\0');
        PutBE(header.data(), file.name.size(), 4);
        PutBE(header.data() + 4, file.size, 8);
        header += file.name;
        if (!restorer.Write(header.data(), header.size())) return false;
      }
      return true;
    };
    std::vector<char> block(kBlock);
    unsigned long long restored = 0;
    if (store.SetSeekOffset2(0, 0) != 0) return RestoreFailed("SetSeekOffset2", store);
    for (unsigned long long r = 0; r < m_metadataRecords; ++r) {
      char meta[32];
      if (store.ReadFromMetaData(meta, sizeof(meta)) != static_cast<int>(sizeof(meta))) {
        return RestoreFailed("ReadFromMetaData", store);
      }
      const uint64_t file = GetBE(meta);
      const uint64_t number = GetBE(meta + 8);
      const auto object = objects.find(number);
      if (file >= m_source.Files().size() || object == objects.end() ||
          object->second.DataLength < kObjectHeader || object->second.DataLength > kObjectHeader + kBlock) {
        std::printf("FAILED: dedup restore: block record %llu names no object of the chunk\n", r);
        return false;
      }
      const std::string container =
          ChunkFile(SingleInstancer_FS::GetSFileContainerName(object->second.ContainerNo));
      const long length = static_cast<long>(object->second.DataLength - kObjectHeader);
      if (store.OpenDataFile2(container.c_str(), object->second.DataFileOffset) != 0) {
        return RestoreFailed("OpenDataFile2 of object " + std::to_string(number), store);
      }
      if (store.ReadFromDataFile(block.data(), length) != length) {
        return RestoreFailed("ReadFromDataFile of object " + std::to_string(number), store);
      }
      if (!startFilesUpTo(file) || !restorer.Write(block.data(), static_cast<size_t>(length))) {
        std::printf("FAILED: dedup restore: %s\n", restorer.Error().c_str());
        return false;
      }
      restored += static_cast<unsigned long long>(length);
      progress.Add(static_cast<unsigned long long>(length));
    }
    if (!startFilesUpTo(m_source.Files().size()) || !restorer.Write("\0\0\0\0\0\0\0\0\0\0\0\0", 12) ||
        !restorer.Finish()) {
      std::printf("FAILED: dedup restore: %s\n", restorer.Error().c_str());
      return false;
    }
    if (store.Close() != 0) return RestoreFailed("Close of the chunk", store);
    const double seconds = SecondsSince(start);
    std::printf("restore: %s of %s read through a second store object in %.2f s (%s)\n",
                Count(m_metadataRecords, "block").c_str(), Count(objects.size(), "object").c_str(), seconds,
                Rate(restored, seconds).c_str());
    std::printf("check: %s, %s restored to %s (%s); every byte matches the source\n",
                Count(restorer.FilesRestored(), "file").c_str(), Size(restorer.BytesRestored()).c_str(),
                restoreTo.Path().c_str(), restoreTo.Temporary() ? "temporary" : "kept");
    return true;
  }

  const DemoOptions& m_options;
  const BackupSource& m_source;
  _JobContext m_job{1002, 1};
  _JobContext m_restoreJob{1003, 1};
  MLMMessageInstance m_mlm;
  OZMMreserveMount m_reserve;
  int m_volumeId = 0;
  std::string m_volumeFolder;
  std::map<BlockHash, size_t> m_objects;          // block fingerprint -> index in m_places
  std::vector<ObjectPlace> m_places;              // the host's table of objects
  std::vector<std::vector<size_t>> m_fileBlocks;  // per file, the objects of its blocks in order
  unsigned long long m_storedBytes = 0;
  unsigned long long m_dedupedBytes = 0;
  unsigned long long m_metadataRecords = 0;
  size_t m_checkpoints = 0;
  double m_seconds = 0;
};

}  // namespace

int RunDedupRoad(const DemoOptions& options, const BackupSource& source) { return DedupRoad(options, source).Run(); }
