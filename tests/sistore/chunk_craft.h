// Chunks written by the test from the on-disk formats, byte by byte, for the restore road to read:
// a metadata file (one volume block of chunk header, then one record per object), SFile containers
// (a 128-byte header, then each object's 16-byte header and data), both index files,
// "NFILE_CONTAINER", the chunk map trailer and the older per-object files.
//
//   craft::Chunk chunk(volumePath, 12, 65536);
//   const craft::Object& o = chunk.Add(0, 5000, 100, 1);   // container 0, 5000 data bytes
//   chunk.Write();
//   // o.offset, o.metaOffset: where the store must find it; o.bytes: header and data.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "backup_job.h"
#include "platform/byte_order.h"
#include "platform/crc32.h"

namespace craft {

using sitest::kContainerHeaderSize;
using sitest::kObjectHeaderSize;

// Bytes that depend only on the seed (and the position in them).
inline std::string SeedBytes(size_t n, uint64_t seed) {
  std::string b(n, '\0');
  sitest::FillBytes(b.data(), n, seed);
  return b;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ContainerHeader(uint32_t version = 1) {
  std::string h = sitest::ContainerHeader();
  EncodeBE32(&h[8], version);
  return h;
}

// An object as it lies in its container: "10DHGAT\0", the key, the data.
inline std::string ObjectBytes(uint64_t key, size_t dataSize, uint64_t seed) {
  return sitest::ObjectBytes(sitest::ObjectShape{key, static_cast<uint32_t>(dataSize), 0, seed});
}

struct Object {
  uint64_t key = 0;
  uint32_t container = 0;
  uint64_t offset = 0;      // of its header in the container
  std::string bytes;        // header and data
  uint64_t metaOffset = 0;  // of its record in the metadata file
  std::string meta;         // its metadata record
};

// The chunk metadata index of the 9.0 format (version 2, packed 32-byte records), as an older
// writer left it; the library only reads this format.
inline std::string ChunkIndex90Bytes(const std::vector<uint64_t>& keys) {
  std::string b(128, '\0');
  std::memcpy(&b[0], "CHNKIDX", 8);
  EncodeBE32(&b[8], 2);
  EncodeBE64(&b[24], keys.size());
  EncodeBE32(&b[124], CXoCRC32::Of(b.data(), 124));
  for (uint64_t key : keys) {
    std::string r(32, '\0');
    EncodeBE64(&r[0], key);
    EncodeBE64(&r[8], key * 3);
    EncodeBE64(&r[16], key * 5);
    EncodeBE32(&r[24], CXoCRC32::Of(r.data(), 24));
    b += r;
  }
  return b;
}

// A chunk map trailer of one volume block.
inline std::string ChunkMapTrailer(uint64_t chunkId, const std::string& version, size_t block) {
  std::string text = "CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber 3\nChunkId " +
                     std::to_string(chunkId) + "\nVolumeId 17\nTavrixVersion " + version +
                     "\nuniqueMediaIdString MEDIA-0001\n";
  text.resize(block, '\0');
  return text;
}

class Chunk {
 public:
  enum class MetaIndex { kNone, kVersion2, kCurrent };

  Chunk(std::string volumeDir, uint64_t chunkId, size_t blockSize)
      : volumeDir_(std::move(volumeDir)), chunkId_(chunkId), block_(blockSize) {
    meta_ = SeedBytes(block_, chunkId ^ 0xC0FFEE);  // the chunk header block the frame wrote
  }

  std::string Dir() const { return path_append(volumeDir_, SingleInstancer_FS::GetChunkDirName(chunkId_)); }
  std::string MetaPath() const { return path_append(Dir(), SingleInstancer_FS::GetChunkMetadataName(chunkId_)); }
  std::string ContainerPath(uint32_t n) const { return path_append(Dir(), SingleInstancer_FS::GetSFileContainerName(n)); }
  std::string NFilePath() const { return path_append(Dir(), "NFILE_CONTAINER"); }
  const std::string& MetaBytes() const { return meta_; }
  const std::vector<Object>& Objects() const { return objects_; }

  // An object of `dataSize` bytes in container `container`, with a metadata record of `metaSize`.
  const Object& Add(uint32_t container, size_t dataSize, size_t metaSize, uint64_t seed) {
    Object o;
    o.key = objects_.size() + 1;
    o.container = container;
    std::string& c = containers_[container];
    if (c.empty()) c = ContainerHeader(containerVersion_);
    o.offset = c.size();
    o.bytes = ObjectBytes(o.key, dataSize, seed);
    c += o.bytes;
    o.metaOffset = meta_.size();
    o.meta = SeedBytes(metaSize, ~seed);
    meta_ += o.meta;
    objects_.push_back(o);
    return objects_.back();
  }

  void SetContainerVersion(uint32_t version) { containerVersion_ = version; }
  // Data that was not deduplicated, after the 128-byte "NFILHDR" header.
  void SetNFile(const std::string& data) { nfile_ = data; }

  // Writes the chunk folder; the metadata index in the given format.
  void Write(MetaIndex index = MetaIndex::kCurrent, bool containerIndex = true) const {
    std::filesystem::create_directories(Dir());
    WriteFile(MetaPath(), meta_);
    for (const auto& [n, bytes] : containers_) WriteFile(ContainerPath(n), bytes);
    std::vector<uint64_t> keys;
    for (const Object& o : objects_) keys.push_back(o.metaOffset);
    if (index == MetaIndex::kVersion2) WriteFile(MetaPath() + ".idx", ChunkIndex90Bytes(keys));
    if (index == MetaIndex::kCurrent) WriteCurrentMetaIndex();
    if (containerIndex) WriteContainerIndex();
    if (!nfile_.empty()) {
      std::string header(kContainerHeaderSize, '\0');
      std::memcpy(&header[0], "NFILHDR", 8);
      WriteFile(NFilePath(), header + nfile_);
    }
  }

  void WriteTrailer(const std::string& version) const {
    WriteFile(path_append(volumeDir_, SingleInstancer_FS::GetChunkMapTrailerName(chunkId_)),
              ChunkMapTrailer(chunkId_, version, block_));
  }

 private:
  void WriteCurrentMetaIndex() const {
    CFSInitParams params;
    CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic> idx(&params, nullptr);
    CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>::Options options{false, true, true};
    if (idx.Create(MetaPath() + ".idx", options).IsFailure()) throw std::runtime_error("metadata index");
    for (const Object& o : objects_) {
      SChunkMetaDataIndexEntry r{};
      r.Key = o.metaOffset;
      r.OwnerValue8 = o.key;
      r.OwnerValue16 = o.container;
      r.OwnerValue24 = o.offset;
      r.OwnerValue32 = o.bytes.size();
      r.OwnerValue40 = static_cast<uint32_t>(o.meta.size());
      if (idx.AddEntry(&r).IsFailure()) throw std::runtime_error("metadata index record");
    }
    if (idx.Close().IsFailure()) throw std::runtime_error("metadata index close");
  }

  void WriteContainerIndex() const {
    CFSInitParams params;
    CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic> idx(&params, nullptr);
    CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>::Options options{false, true, true};
    if (idx.Create(path_append(Dir(), "SFILE_CONTAINER.idx"), options).IsFailure()) {
      throw std::runtime_error("container index");
    }
    for (const Object& o : objects_) {
      SSfileContainerIndexEntry r{};
      r.Key = o.key;
      r.DataFileOffset = o.offset;
      r.DataLength = o.bytes.size();
      r.OwnerValue32 = o.metaOffset;
      r.ContainerNo = o.container;
      r.Flags = FLAG_SFILE_ENTRY_VALID;
      if (idx.AddEntry(&r).IsFailure()) throw std::runtime_error("container index record");
    }
    if (idx.Close().IsFailure()) throw std::runtime_error("container index close");
  }

  std::string volumeDir_;
  uint64_t chunkId_;
  size_t block_;
  uint32_t containerVersion_ = 1;
  std::string meta_;
  std::map<uint32_t, std::string> containers_;
  std::vector<Object> objects_;
  std::string nfile_;
};

}  // namespace craft
