// What a backup's data mover does with the store, and readers of what it leaves on disk.
//
// An object goes into the chunk as a data mover writes it: StartDataFile2 gives its container
// and offset, WriteToDataFile its 16-byte object header ("10DHGAT\0" and its key) and its data,
// WriteToMetaData its metadata record, then one record in each index file. Contents come from the
// object's seed, so a test can say what every byte of a container or the metadata file must be.
//
//   sitest::WrittenObject w;
//   ASSERT_EQ(0, sitest::WriteObject(store, {key, 5000, 200, seed}, w));
//   EXPECT_EQ(sitest::ObjectBytes(w.shape), sitest::FileBytes(containerPath, w.offset, w.shape.Length()));
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"
#include "platform/config.h"

namespace sitest {

inline constexpr unsigned int kEngineId = 7;
inline constexpr size_t kObjectHeaderSize = 16;
inline constexpr size_t kContainerHeaderSize = 128;
inline constexpr uint32_t kIndexBlock = 512;

struct ObjectShape {
  uint64_t key = 0;       // object number in the chunk (the container index's key)
  uint32_t dataSize = 0;  // bytes after the object header
  uint32_t metaSize = 0;  // bytes of its metadata record (at least 8)
  uint64_t seed = 0;

  uint64_t Length() const { return kObjectHeaderSize + dataSize; }
};

// Where the store put an object.
struct WrittenObject {
  ObjectShape shape;
  uint32_t container = 0;
  uint64_t offset = 0;      // in the container
  uint64_t metaOffset = 0;  // in the metadata file
};

inline void FillBytes(char* out, size_t n, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
  for (size_t i = 0; i < n; i += 8) {
    x += 0x9E3779B97F4A7C15ULL;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    std::memcpy(out + i, &z, n - i < 8 ? n - i : 8);
  }
}

// The object header and data as they lie in the container.
inline std::string ObjectBytes(const ObjectShape& s) {
  std::string b(s.Length(), '\0');
  std::memcpy(b.data(), "10DHGAT", 8);
  EncodeBE64(b.data() + 8, s.key);
  FillBytes(b.data() + kObjectHeaderSize, s.dataSize, s.seed);
  return b;
}

// The metadata record: the key, then bytes of the seed.
inline std::string MetaBytes(const ObjectShape& s) {
  std::string b(s.metaSize < 8 ? 8 : s.metaSize, '\0');
  EncodeBE64(b.data(), s.key);
  FillBytes(b.data() + 8, b.size() - 8, ~s.seed);
  return b;
}

inline SSfileContainerIndexEntry ContainerRecord(const WrittenObject& w) {
  SSfileContainerIndexEntry r{};
  r.OwnerValue0 = w.shape.seed;
  r.Key = w.shape.key;
  r.DataFileOffset = w.offset;
  r.DataLength = w.shape.Length();
  r.OwnerValue32 = w.metaOffset;
  r.ContainerNo = w.container;  // the store writes it again
  r.Flags = FLAG_SFILE_ENTRY_VALID;
  return r;
}

inline SChunkMetaDataIndexEntry MetaRecord(const WrittenObject& w) {
  SChunkMetaDataIndexEntry r{};
  r.Key = w.metaOffset;
  r.OwnerValue8 = w.shape.key;
  r.OwnerValue16 = w.container;
  r.OwnerValue24 = w.offset;
  r.OwnerValue32 = w.shape.Length();
  r.OwnerValue40 = w.shape.metaSize;
  std::memcpy(r.Opaque, "metadata record of the host", 28);
  return r;
}

// Writes one object as a data mover does: 0, or the failing call's result with its name in `step`.
inline int WriteObject(SingleInstancer_FS& store, const ObjectShape& shape, WrittenObject& out,
                       std::string* step = nullptr) {
  auto fail = [&](const char* name, int rc) {
    if (step != nullptr) *step = name;
    return rc == 0 ? -1 : rc;
  };
  out = WrittenObject{};
  out.shape = shape;
  unsigned int container = 0;
  unsigned long offset = 0;
  int rc = store.StartDataFile2(kEngineId, &container, &offset);
  if (rc != 0) return fail("StartDataFile2", rc);
  out.container = container;
  out.offset = offset;
  const std::string data = ObjectBytes(shape);
  int eom = 0;
  rc = store.WriteToDataFile(data.data(), static_cast<long>(data.size()), &eom);
  if (rc != static_cast<int>(data.size())) return fail("WriteToDataFile", rc);
  const long long metaOffset = store.GetMetaDataFileOffset();
  if (metaOffset < 0) return fail("GetMetaDataFileOffset", -1);
  out.metaOffset = static_cast<uint64_t>(metaOffset);
  const std::string meta = MetaBytes(shape);
  rc = store.WriteToMetaData(meta.data(), static_cast<long>(meta.size()), &eom);
  if (rc != static_cast<int>(meta.size())) return fail("WriteToMetaData", rc);
  SSfileContainerIndexEntry crec = ContainerRecord(out);
  rc = store.AddSfileContainerIndexEntry(crec);
  if (rc != 0) return fail("AddSfileContainerIndexEntry", rc);
  SChunkMetaDataIndexEntry mrec = MetaRecord(out);
  rc = store.AddChunkMetaDataIndexEntry(mrec);
  if (rc != 0) return fail("AddChunkMetaDataIndexEntry", rc);
  return 0;
}

// The data mover's checkpoint: data, then metadata.
inline int Checkpoint(SingleInstancer_FS& store) {
  const int rc = store.FlushDataFile();
  return rc != 0 ? rc : store.FlushMetaDataFile();
}

// Object `key` of the end-to-end job: mostly small and medium objects, every ninth larger than a
// write block.
inline ObjectShape MixedObject(uint64_t key, std::mt19937_64& rng) {
  ObjectShape s;
  s.key = key;
  const uint64_t kind = rng() % 9;
  s.dataSize = kind == 0 ? static_cast<uint32_t>(600000 + rng() % 900000)
               : kind < 4 ? static_cast<uint32_t>(rng() % 200)
                          : static_cast<uint32_t>(4000 + rng() % 60000);
  s.metaSize = static_cast<uint32_t>(64 + rng() % 700);
  s.seed = rng();
  return s;
}

// The end-to-end job's objects 1 to `count` into the created chunk, with a checkpoint after every
// `checkpointEvery` objects: 0, or the failing call's result with its name and object in `step`.
inline int WriteMixedObjects(SingleInstancer_FS& store, uint64_t count, uint64_t checkpointEvery,
                             std::vector<WrittenObject>& objects, std::string& step) {
  std::mt19937_64 rng(42);
  for (uint64_t key = 1; key <= count; ++key) {
    WrittenObject w;
    const int rc = WriteObject(store, MixedObject(key, rng), w, &step);
    if (rc != 0) {
      step += " of object " + std::to_string(key);
      return rc;
    }
    objects.push_back(w);
    if (key % checkpointEvery == 0 && Checkpoint(store) != 0) {
      step = "checkpoint after object " + std::to_string(key);
      return -1;
    }
  }
  return 0;
}

// The containers of the end-to-end job: a new one after 1 MiB or 12 objects. Set before the
// store is initialised, which reads them.
inline void UseEndToEndContainers() {
  platform::Config().SetNumber("ZovadAdeve", "MaxSFileContainerSize", 1 << 20);
  platform::Config().SetNumber("ZovadAdeve", "MaxSFileContainerItems", 12);
}

// The end-to-end job's chunk through an initialised store: chunk `id` created, objects 1 to
// `count` written with a checkpoint every `checkpointEvery`, the chunk closed. 0, or the failing
// call's result with its name in `step`.
inline int BackupMixedChunk(SingleInstancer_FS& store, const MediaFSArchiveFileId_t& id, uint64_t count,
                            uint64_t checkpointEvery, std::vector<WrittenObject>& objects, std::string& step) {
  int rc = store.Create(&id);
  if (rc != 0) {
    step = "Create";
    return rc;
  }
  rc = WriteMixedObjects(store, count, checkpointEvery, objects, step);
  if (rc != 0) return rc;
  rc = store.Close();
  if (rc != 0) step = "Close";
  return rc;
}

// ---- Readers of the files as they lie on disk ------------------------------------------------

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string FileBytes(const std::string& path, uint64_t offset, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string b(length, '\0');
  in.read(b.data(), static_cast<std::streamsize>(length));
  b.resize(static_cast<size_t>(in.gcount()));
  return b;
}

inline uint32_t Crc32(const char* bytes, size_t n) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(n)));
}

// An index file as stored: its header fields and its records decoded from the aligned layout
// (the header alone in the first 512-byte block, then whole records per block).
struct RawIndex {
  std::string magic;
  uint32_t version = 0;
  uint64_t totalEntries = 0;
  uint32_t blockSize = 0;
  uint32_t engineId = 0;
  bool headerCrcOk = false;
  bool recordCrcsOk = true;
  std::vector<std::string> records;  // as stored (big-endian)
};

inline RawIndex ReadRawIndex(const std::string& path, size_t recordSize, size_t crcOffset) {
  RawIndex r;
  const std::string f = ReadWholeFile(path);
  if (f.size() < 128) return r;
  r.magic = std::string(f.data(), strnlen(f.data(), 8));
  r.version = DecodeBE32(f.data() + 8);
  r.totalEntries = DecodeBE64(f.data() + 24);
  r.blockSize = DecodeBE32(f.data() + 32);
  r.engineId = DecodeBE32(f.data() + 36);
  r.headerCrcOk = DecodeBE32(f.data() + 124) == Crc32(f.data(), 124);
  const size_t perBlock = kIndexBlock / recordSize;
  for (size_t i = 0;; ++i) {
    const size_t at = (i / perBlock) * kIndexBlock + (i % perBlock) * recordSize + kIndexBlock;
    if (at + recordSize > f.size()) break;
    std::string rec = f.substr(at, recordSize);
    if (DecodeBE32(rec.data() + crcOffset) != Crc32(rec.data(), crcOffset)) r.recordCrcsOk = false;
    r.records.push_back(std::move(rec));
  }
  return r;
}

inline SSfileContainerIndexEntry DecodeContainerRecord(const std::string& b) {
  SSfileContainerIndexEntry r{};
  r.OwnerValue0 = DecodeBE64(b.data());
  r.Key = DecodeBE64(b.data() + 8);
  r.DataFileOffset = DecodeBE64(b.data() + 16);
  r.DataLength = DecodeBE64(b.data() + 24);
  r.OwnerValue32 = DecodeBE64(b.data() + 32);
  r.ContainerNo = DecodeBE32(b.data() + 40);
  r.Flags = DecodeBE32(b.data() + 44);
  r.CRC32 = DecodeBE32(b.data() + 48);
  r.Deleted = DecodeBE32(b.data() + 52);
  return r;
}

inline SChunkMetaDataIndexEntry DecodeMetaRecord(const std::string& b) {
  SChunkMetaDataIndexEntry r{};
  r.Key = DecodeBE64(b.data());
  r.OwnerValue8 = DecodeBE64(b.data() + 8);
  r.OwnerValue16 = DecodeBE64(b.data() + 16);
  r.OwnerValue24 = DecodeBE64(b.data() + 24);
  r.OwnerValue32 = DecodeBE64(b.data() + 32);
  r.OwnerValue40 = DecodeBE32(b.data() + 40);
  r.Deleted = DecodeBE32(b.data() + 44);
  std::memcpy(r.Opaque, b.data() + 48, sizeof(r.Opaque));
  r.CRC32 = DecodeBE32(b.data() + 76);
  return r;
}

inline RawIndex ReadContainerIndex(const std::string& path) { return ReadRawIndex(path, 56, 48); }
inline RawIndex ReadMetaDataIndex(const std::string& path) { return ReadRawIndex(path, 80, 76); }

// The 128 bytes every SFile container begins with.
inline std::string ContainerHeader() {
  std::string h(kContainerHeaderSize, '\0');
  std::memcpy(h.data(), "SFILHDR", 8);
  EncodeBE32(h.data() + 8, 1);
  return h;
}

}  // namespace sitest
