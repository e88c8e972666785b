// On-disk structures of the paged index files: the 128-byte header, the four record types and
// what the index file template needs to know about each of them.
//
// Every integer of an index file is big-endian. In memory the header image and the records are
// kept in host order; they are converted in place right before a write and right after a read.
//
// Header (128 bytes at offset 0):
//   0  Magic[8]        "SFILIDX\0", "CHNKIDX\0" or "HYBRDVOL" (no terminator)
//   8  Version         2 packed (3 with 80-byte "CHNKIDX" records), 4 aligned; 0 and 5+ are refused
//   12 Reserved
//   16 DeletedEntries  records whose deleted flag is non-zero
//   24 TotalEntries    records in the file
//   32 BlockSize       0: packed layout; otherwise aligned blocks of this size (512)
//   36 EngineId        the owner's value, kept and handed back
//   40 Padding[84]
//   124 CRC32          complement of the CRC-32 of bytes 0..123 as stored
//
// Layouts, R being the record size:
//   packed:  record i at 128 + i*R
//   aligned: block 0 holds the header; each further block of B bytes holds P = B/R records,
//            record i at (i/P)*B + (i%P)*R + B, and the file ends after its last record.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/byte_order.h"

// Magic texts of the instantiations.
inline constexpr char g_szSFileIndexHdrMagic[] = "SFILIDX";
inline constexpr char g_szChunkIndexHdrMagic[] = "CHNKIDX";
inline constexpr char g_szHybridVolumeIndexHdrMagic[] = "HYBRDVOL";

// One page of the page cache and the unit of the change journal.
inline constexpr uint32_t IDX_PAGE_SIZE = 32768;

inline constexpr uint32_t kIdxHeaderSize = 128;
inline constexpr uint32_t kIdxHeaderCrcBytes = 124;
inline constexpr uint32_t kIdxAlignedBlockSize = 512;
inline constexpr uint32_t kIdxVersionPacked = 2;
inline constexpr uint32_t kIdxVersionAligned = 4;
inline constexpr uint32_t kIdxVersionMax = 4;
// Versions from which the stored header CRC is always checked.
inline constexpr uint32_t kIdxVersionCrcAlways = 3;
// Readers of "CHNKIDX" files take 32-byte records below this version and 80-byte ones from it.
inline constexpr uint32_t kIdxVersionChunkRecords80 = 3;

// Error codes. Media manager codes:
inline constexpr unsigned int kIdxMMErrCorrupt = 1204;              // corrupt index or journal
inline constexpr unsigned int kIdxMMErrIncompatibleVersion = 127;   // version above 4
inline constexpr unsigned int kIdxMMErrPartialChangeFile = 30074;   // journal partly written
inline constexpr unsigned int kIdxMMErrNoFileInterface = 40012;
// Win32-style codes:
inline constexpr unsigned int kIdxWin32ErrLock = 13;                // lock held elsewhere
inline constexpr unsigned int kIdxWin32ErrInvalidParameter = 87;
inline constexpr unsigned int kIdxWin32ErrGeneric = 774;

// The header, in host order while it is in memory.
struct SIndexFileHeader {
  char Magic[8] = {};
  uint32_t Version = kIdxVersionPacked;
  uint32_t Reserved = 0;
  uint64_t DeletedEntries = 0;
  uint64_t TotalEntries = 0;
  uint32_t BlockSize = 0;
  uint32_t EngineId = 0;
  unsigned char Padding[84] = {};
  uint32_t CRC32 = 0;

  // Swaps the integer fields that the file holds big-endian (all but the CRC, which is always
  // handled as stored).
  void SwapByteOrder() {
    Version = ozhtonl(Version);
    Reserved = ozhtonl(Reserved);
    DeletedEntries = ozhtonll(DeletedEntries);
    TotalEntries = ozhtonll(TotalEntries);
    BlockSize = ozhtonl(BlockSize);
    EngineId = ozhtonl(EngineId);
  }
};
static_assert(sizeof(SIndexFileHeader) == kIdxHeaderSize);
static_assert(offsetof(SIndexFileHeader, DeletedEntries) == 16);
static_assert(offsetof(SIndexFileHeader, TotalEntries) == 24);
static_assert(offsetof(SIndexFileHeader, BlockSize) == 32);
static_assert(offsetof(SIndexFileHeader, EngineId) == 36);
static_assert(offsetof(SIndexFileHeader, CRC32) == 124);

// Flags of SSfileContainerIndexEntry::Flags.
inline constexpr uint32_t FLAG_SFILE_ENTRY_VALID = 0x1;
inline constexpr uint32_t FLAG_SFILE_HOLE_DRILLED = 0x2;  // a hole covers the object
inline constexpr uint32_t FLAG_SFILE_REMOVED = 0x4;       // first entry: the container is gone
inline constexpr uint32_t FLAG_SFILE_TRUNCATED = 0x8;     // first entry of a tail cut off
inline constexpr uint32_t FLAG_SFILE_COMPACTED_CHUNK = 0x10;
inline constexpr uint32_t FLAG_SFILE_NO_LENGTH = 0x20;    // set elsewhere: adds nothing to a pruned run

// One object stored in a chunk's SFile containers ("SFILE_CONTAINER.idx").
struct SSfileContainerIndexEntry {
  uint64_t OwnerValue0;      // the host's, stored unchanged
  uint64_t Key;              // object key (version 1: offset in the chunk metadata file)
  uint64_t DataFileOffset;   // offset of the object's data in its container
  uint64_t DataLength;       // length of the object's data in the container
  uint64_t OwnerValue32;     // the host's, stored unchanged
  uint32_t ContainerNo;      // number of the SFile container
  uint32_t Flags;            // FLAG_SFILE_*; stored unchanged
  uint32_t CRC32;            // over bytes 0..47
  uint32_t Deleted;          // non-zero: deleted; outside the CRC
};
static_assert(sizeof(SSfileContainerIndexEntry) == 56);
static_assert(offsetof(SSfileContainerIndexEntry, CRC32) == 48);

// One object of a chunk metadata file (versions 3 and later).
struct SChunkMetaDataIndexEntry {
  uint64_t Key;              // offset of the object's entry in the chunk metadata file
  uint64_t OwnerValue8;
  uint64_t OwnerValue16;
  uint64_t OwnerValue24;
  uint64_t OwnerValue32;
  uint32_t OwnerValue40;
  uint32_t Deleted;          // non-zero: deleted; inside the CRC
  unsigned char Opaque[28];  // stored as given, never swapped
  uint32_t CRC32;            // over bytes 0..75
};
static_assert(sizeof(SChunkMetaDataIndexEntry) == 80);
static_assert(offsetof(SChunkMetaDataIndexEntry, Opaque) == 48);
static_assert(offsetof(SChunkMetaDataIndexEntry, CRC32) == 76);

// One object of a chunk metadata file of versions 1 and 2; read only.
struct SChunkMetaDataIndexEntry90 {
  uint64_t Key;              // offset in the chunk metadata file
  uint64_t OwnerValue8;
  uint64_t OwnerValue16;
  uint32_t CRC32;            // over bytes 0..23
  uint32_t OwnerValue28;     // outside the CRC
};
static_assert(sizeof(SChunkMetaDataIndexEntry90) == 32);

// One record of "HybridVolumes.idx".
struct SHybridVolumeRecord {
  uint64_t VolId;            // the key
  uint64_t CacheMPId;
  uint64_t Reserved1;
  uint64_t Reserved2;
  uint32_t Flags;
  uint32_t Deleted;          // inside the CRC
  uint32_t Padding;
  uint32_t CRC32;            // over bytes 0..43
};
static_assert(sizeof(SHybridVolumeRecord) == 48);

// Where the key, the deleted flag and the CRC of a record type lie, which of its fields are
// integers, and how files of the type are written: the version of a packed file (kPackedVersion;
// an aligned one is always kIdxVersionAligned) and whether the library writes the type at all
// (kWritable). Specialised for each record type below.
template <typename IndexRecord>
struct CIndexRecordTraits;

template <>
struct CIndexRecordTraits<SSfileContainerIndexEntry> {
  using Rec = SSfileContainerIndexEntry;
  static constexpr uint32_t kPackedVersion = kIdxVersionPacked;
  static constexpr bool kWritable = true;
  static constexpr uint32_t kCrcBytes = offsetof(Rec, CRC32);
  static uint64_t Key(const Rec& r) { return r.Key; }
  static uint32_t Deleted(const Rec& r) { return r.Deleted; }
  static void SwapByteOrder(Rec& r) {
    r.OwnerValue0 = ozhtonll(r.OwnerValue0);
    r.Key = ozhtonll(r.Key);
    r.DataFileOffset = ozhtonll(r.DataFileOffset);
    r.DataLength = ozhtonll(r.DataLength);
    r.OwnerValue32 = ozhtonll(r.OwnerValue32);
    r.ContainerNo = ozhtonl(r.ContainerNo);
    r.Flags = ozhtonl(r.Flags);
    r.CRC32 = ozhtonl(r.CRC32);
    r.Deleted = ozhtonl(r.Deleted);
  }
};

template <>
struct CIndexRecordTraits<SChunkMetaDataIndexEntry> {
  using Rec = SChunkMetaDataIndexEntry;
  static constexpr uint32_t kPackedVersion = kIdxVersionChunkRecords80;
  static constexpr bool kWritable = true;
  static constexpr uint32_t kCrcBytes = offsetof(Rec, CRC32);
  static uint64_t Key(const Rec& r) { return r.Key; }
  static uint32_t Deleted(const Rec& r) { return r.Deleted; }
  static void SwapByteOrder(Rec& r) {
    r.Key = ozhtonll(r.Key);
    r.OwnerValue8 = ozhtonll(r.OwnerValue8);
    r.OwnerValue16 = ozhtonll(r.OwnerValue16);
    r.OwnerValue24 = ozhtonll(r.OwnerValue24);
    r.OwnerValue32 = ozhtonll(r.OwnerValue32);
    r.OwnerValue40 = ozhtonl(r.OwnerValue40);
    r.Deleted = ozhtonl(r.Deleted);
    r.CRC32 = ozhtonl(r.CRC32);
  }
};

template <>
struct CIndexRecordTraits<SChunkMetaDataIndexEntry90> {
  using Rec = SChunkMetaDataIndexEntry90;
  static constexpr uint32_t kPackedVersion = kIdxVersionPacked;
  static constexpr bool kWritable = false;
  static constexpr uint32_t kCrcBytes = offsetof(Rec, CRC32);
  static uint64_t Key(const Rec& r) { return r.Key; }
  static uint32_t Deleted(const Rec&) { return 0; }  // this layout has no deleted flag
  static void SwapByteOrder(Rec& r) {
    r.Key = ozhtonll(r.Key);
    r.OwnerValue8 = ozhtonll(r.OwnerValue8);
    r.OwnerValue16 = ozhtonll(r.OwnerValue16);
    r.CRC32 = ozhtonl(r.CRC32);
    r.OwnerValue28 = ozhtonl(r.OwnerValue28);
  }
};

template <>
struct CIndexRecordTraits<SHybridVolumeRecord> {
  using Rec = SHybridVolumeRecord;
  static constexpr uint32_t kPackedVersion = kIdxVersionPacked;
  static constexpr bool kWritable = true;
  static constexpr uint32_t kCrcBytes = offsetof(Rec, CRC32);
  static uint64_t Key(const Rec& r) { return r.VolId; }
  static uint32_t Deleted(const Rec& r) { return r.Deleted; }
  static void SwapByteOrder(Rec& r) {
    r.VolId = ozhtonll(r.VolId);
    r.CacheMPId = ozhtonll(r.CacheMPId);
    r.Reserved1 = ozhtonll(r.Reserved1);
    r.Reserved2 = ozhtonll(r.Reserved2);
    r.Flags = ozhtonl(r.Flags);
    r.Deleted = ozhtonl(r.Deleted);
    r.Padding = ozhtonl(r.Padding);
    r.CRC32 = ozhtonl(r.CRC32);
  }
};

// Byte position of record `index` for a layout of `blockSize` (0: packed) and records of
// `recSize` bytes. The aligned form needs blockSize >= recSize, which Open enforces.
inline uint64_t IndexRecordPosition(int64_t index, uint32_t blockSize, uint32_t recSize) {
  uint64_t i = static_cast<uint64_t>(index);
  if (blockSize == 0) return kIdxHeaderSize + i * recSize;
  uint64_t perBlock = blockSize / recSize;
  return (i / perBlock) * blockSize + (i % perBlock) * recSize + blockSize;
}

// Number of complete record slots in an aligned file of `size` bytes, whether or not the file
// ends with the unused tail of a block. A record cut short at the start of a block is not one.
inline uint64_t AlignedRecordCount(uint64_t size, uint32_t blockSize, uint32_t recSize) {
  if (size < static_cast<uint64_t>(blockSize) + recSize) return 0;
  uint64_t perBlock = blockSize / recSize;
  uint64_t s = size - blockSize - recSize;
  uint64_t inLastBlock = std::min<uint64_t>((s % blockSize) / recSize, perBlock - 1);
  return (s / blockSize) * perBlock + inLastBlock + 1;
}
