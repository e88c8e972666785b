// Reading the compaction map of an SFile container: from the open container, from the staging
// buffer of a finished asynchronous read of its first bytes, and the translation of one logical
// offset in a single call. Restore readers and the pruner load a map once per container and
// translate with CSFileCompactionMap::GetPhysicalOffset; hosts use GetCompactedOffset.
//
// The bytes read are untrusted: every field is checked against what was read and against the
// size of the file before anything is allocated or copied.

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "MediaFileSystem/SFileCompactionMap.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"
#include "platform/crc32.h"
#include "sistore/compaction_internal.h"

using namespace compaction;

namespace {

constexpr char kContainerMagic[] = "SFILHDR";  // and a zero byte
constexpr size_t kMagicBytes = 8;
constexpr size_t kVersionOffset = 8;
constexpr size_t kHeaderBytes = 128;
constexpr size_t kMapHeaderFields = 20;  // tag, CRC, size, count
constexpr uint32_t kFirstCompactedVersion = 2;
constexpr long long kTicksPerSecond = 10000000;

const char kTag[] = "GetCompactionMap";

bool IsContainerMagic(const unsigned char* bytes) { return std::memcmp(bytes, kContainerMagic, kMagicBytes) == 0; }

// Readers compare the tag's first 7 bytes only.
bool IsMapTag(const unsigned char* bytes) { return std::memcmp(bytes, kCompactionMapTag, 7) == 0; }

// The host-order map header from its 128 media bytes.
SCompactionMapHeader DecodeMapHeader(const unsigned char* bytes) {
  SCompactionMapHeader h;
  std::memcpy(&h, bytes, sizeof(h));
  h.uCRC32 = DecodeBE32(bytes + 8);
  h.uSizeOnMedia = DecodeBE32(bytes + 12);
  h.uEntryCount = DecodeBE32(bytes + 16);
  return h;
}

// A map's size must be its entries' size exactly; anything else is a damaged header.
bool SizeMatchesCount(const SCompactionMapHeader& h, const char* expression) {
  return ozassert(uint64_t{h.uEntryCount} * sizeof(SCompactionMapEntry) == h.uSizeOnMedia, expression, __FILE__,
                  __func__, __LINE__);
}


// Reads exactly `length` bytes; a shorter read means the file ends inside the structure.
CXoError ReadExactly(CFileInterface* file, void* buffer, unsigned int length) {
  unsigned int done = 0;
  CXoError e = file->Read(buffer, length, &done);
  if (e.IsFailure()) return e;
  if (done != length) {
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt, "Read [%u] of [%u] bytes: the file ends early", done, length);
  }
  return CXoError::Success();
}

// Everything GetCompactionMap does between remembering the position and restoring it.
CXoError ReadMap(CFileInterface* file, CSFileCompactionMap& map, EvDebug& log) {
  CXoError e = file->Seek(0, SEEK_SET, nullptr);
  if (e.IsFailure()) {
    log.DebugLvl(kTag, 1, "Cannot seek to the beginning of SFILE. Error [%s].", e.AsString().c_str());
    return e;
  }
  unsigned char header[kHeaderBytes] = {};
  e = ReadExactly(file, header, sizeof(header));
  if (e.IsFailure()) {
    log.DebugLvl(kTag, 1, "Failed to read header from SFILE. Error [%s].", e.AsString().c_str());
    return e;
  }
  if (!IsContainerMagic(header)) {
    log.DebugLvl(kTag, 1, "Error: Sfile contains invalid header size [%lu] with [%.8s]. Expected [%s].",
                 static_cast<unsigned long>(kMagicBytes), reinterpret_cast<const char*>(header), kContainerMagic);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  const uint32_t version = DecodeBE32(header + kVersionOffset);
  if (version < kFirstCompactedVersion) {
    log.DebugLvl(kTag, 10, "Sfile version [%u] doesn't support compaction.", version);
    return CXoError::Success();
  }

  unsigned char mapHeader[sizeof(SCompactionMapHeader)] = {};
  e = ReadExactly(file, mapHeader, sizeof(mapHeader));
  if (e.IsFailure()) {
    log.DebugLvl(kTag, 1, "Failed to read compaction map header from SFILE. Error [%s].", e.AsString().c_str());
    return e;
  }
  const SCompactionMapHeader hdr = DecodeMapHeader(mapHeader);
  if (!IsMapTag(mapHeader)) {
    log.DebugLvl(kTag, 1, "Error: Compaction map in Sfile contains invalid header size [%lu] with [%.8s]. Expected [%s].",
                 static_cast<unsigned long>(kMagicBytes), reinterpret_cast<const char*>(mapHeader), kCompactionMapTag);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  if (hdr.uEntryCount == 0 || hdr.uSizeOnMedia == 0) {
    log.DebugLvl(kTag, 10, "Compaction map is empty on media. Count [%u]. Size [%u].", hdr.uEntryCount, hdr.uSizeOnMedia);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  if (!SizeMatchesCount(hdr, "sizeof (SCompactionMapEntry) * MapHdr.uEntryCount == MapHdr.uSizeOnMedia")) {
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt, "Compaction map size [%u] does not match its [%u] entries",
                                hdr.uSizeOnMedia, hdr.uEntryCount);
  }
  // Nothing is allocated for a map the file cannot hold.
  unsigned long long fileSize = 0;
  e = file->Size(fileSize);
  if (e.IsFailure()) {
    log.DebugLvl(kTag, 1, "Failed to read compaction map from SFILE. SizeOnMedia [%u]. Error [%s].", hdr.uSizeOnMedia,
                 e.AsString().c_str());
    return e;
  }
  if (fileSize < kCompactionMapEntriesOffset + hdr.uSizeOnMedia) {
    log.DebugLvl(kTag, 1, "Error: Compaction map of [%u] bytes does not fit in SFILE of [%llu] bytes.", hdr.uSizeOnMedia,
                 fileSize);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  std::vector<unsigned char> entries(hdr.uSizeOnMedia);
  e = ReadExactly(file, entries.data(), hdr.uSizeOnMedia);
  if (e.IsFailure()) {
    log.DebugLvl(kTag, 1, "Failed to read compaction map from SFILE. SizeOnMedia [%u]. Error [%s].", hdr.uSizeOnMedia,
                 e.AsString().c_str());
    return e;
  }
  const uint32_t crc = CXoCRC32::Of(entries.data(), hdr.uSizeOnMedia);
  if (crc != hdr.uCRC32) {
    log.DebugLvl(kTag, 1, "CRC32 mismatch between compaction map and header. CRC32 [%u] Header [%u]. uSizeOnMedia [%u].",
                 crc, hdr.uCRC32, hdr.uSizeOnMedia);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(entries.data()), hdr);
  return CXoError::Success();
}

}  // namespace

CXoError SingleInstancer_FS::GetCompactionMap(CFileInterface* pFile, CSFileCompactionMap& Map) {
  EvDebug log;
  const std::string name = pFile->GetFileName();
  Map.m_strFileName = name.empty() ? "NULL" : name;
  CStopWatch watch;
  watch.Start();
  if (!pFile->IsValid()) {
    log.DebugLvl(kTag, 1, "Invalid input. SFILE interface is %s", "not open");
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrInvalidHandle);
  }
  CXoFile::offset position = 0;
  CXoError e = pFile->Tell(position);
  if (e.IsFailure()) {
    log.DebugLvl(kTag, 1, "Cannot get cursor position from SFILE. Error [%s].", e.AsString().c_str());
    return e;
  }
  e = ReadMap(pFile, Map, log);
  CXoError back = pFile->Seek(position, SEEK_SET, nullptr);
  if (back.IsFailure()) {
    log.DebugLvl(kTag, 1, "Cannot seek to the beginning of SFILE. Error [%s].", back.AsString().c_str());
    if (e.IsSuccess()) e = back;
  }
  watch.Stop();
  if (e.IsSuccess()) Map.m_fMapReadTime = static_cast<float>(watch.ElapsedSeconds());
  return e;
}

// The slot's staging buffer holds the container's first bytes only when its read from offset 0
// succeeded, and then only as many as were transferred into the buffer.
CXoError SingleInstancer_FS::GetCompactionMapBySlot(IoSlot* pSlot, CSFileCompactionMap& Map, int& nSizeNeeded) {
  EvDebug log;
  CStopWatch watch;
  watch.Start();
  const unsigned char* buffer = pSlot->pBuffer;
  const uint64_t transferred = pSlot->ullBytesRead;
  const bool readable = buffer != nullptr && pSlot->LastError.IsSuccess() && pSlot->ullOffset == 0;
  const size_t valid = readable ? static_cast<size_t>(std::min<uint64_t>(transferred, pSlot->uBufSize)) : 0;
  const std::string slotError = pSlot->LastError.AsString();
  const unsigned long long slotOffset = static_cast<unsigned long long>(pSlot->ullOffset);
  const unsigned int slotRead = static_cast<unsigned int>(transferred);

  // The 8 bytes at `at` as far as they were read, for the messages.
  auto bytesAt = [&](size_t at, char (&text)[kMagicBytes + 1]) {
    std::memset(text, 0, sizeof(text));
    if (valid > at) std::memcpy(text, buffer + at, std::min(kMagicBytes, valid - at));
    return text;
  };
  char shown[kMagicBytes + 1];

  if (valid < kVersionOffset + 4 || !IsContainerMagic(buffer)) {
    log.DebugLvl(kTag, 1,
                 "Error: Sfile contains invalid header size [%lu] with [%.8s]. Expected [%s]. Offset [%llu], Read [%u], "
                 "Err [%s]",
                 static_cast<unsigned long>(kMagicBytes), bytesAt(0, shown), kContainerMagic, slotOffset, slotRead,
                 slotError.c_str());
    return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
  }
  const uint32_t version = DecodeBE32(buffer + kVersionOffset);
  if (version < kFirstCompactedVersion) {
    log.DebugLvl(kTag, 10, "Error: Sfile version [%u] doesn't support compaction.", version);
  } else {
    // The map header must have been read to be judged; a full buffer may just be too small.
    const size_t fieldsEnd = kCompactionMapHeaderOffset + kMapHeaderFields;
    if (valid < fieldsEnd && valid == pSlot->uBufSize) {
      log.DebugLvl(kTag, 1,
                   "Error: Compac map size is greater than slot size. SlotSize [%u], TransSize [%u], EntrySize "
                   "[Actual:%u, Read:%u], EntryCount [%u]",
                   pSlot->uBufSize, slotRead, 0u, 0u, 0u);
      nSizeNeeded = static_cast<int>(kCompactionMapEntriesOffset);
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrSlotTooSmall);
    }
    unsigned char mapHeader[sizeof(SCompactionMapHeader)] = {};
    if (valid > kCompactionMapHeaderOffset) {
      std::memcpy(mapHeader, buffer + kCompactionMapHeaderOffset,
                  std::min(sizeof(mapHeader), valid - static_cast<size_t>(kCompactionMapHeaderOffset)));
    }
    const SCompactionMapHeader hdr = DecodeMapHeader(mapHeader);
    if (valid < fieldsEnd || !IsMapTag(mapHeader)) {
      log.DebugLvl(kTag, 1,
                   "Error: Compaction map in Sfile contains invalid header size [%lu] with [%.8s]. Expected [%s]. "
                   "Offset [%llu], Read [%u], Err [%s]",
                   static_cast<unsigned long>(kMagicBytes), bytesAt(kCompactionMapHeaderOffset, shown),
                   kCompactionMapTag, slotOffset, slotRead, slotError.c_str());
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
    }
    if (hdr.uEntryCount == 0 || hdr.uSizeOnMedia == 0) {
      log.DebugLvl(kTag, 10, "Compaction map is empty on media. Count [%u]. Size [%u].", hdr.uEntryCount,
                   hdr.uSizeOnMedia);
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
    }
    if (!SizeMatchesCount(hdr, "sizeof (SCompactionMapEntry) * pMapHdr->uEntryCount == pMapHdr->uSizeOnMedia")) {
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt, "Compaction map size [%u] does not match its [%u] entries",
                                  hdr.uSizeOnMedia, hdr.uEntryCount);
    }
    const uint64_t needed = kCompactionMapEntriesOffset + hdr.uSizeOnMedia;
    if (needed > static_cast<uint64_t>(INT_MAX)) {
      log.DebugLvl(kTag, 1, "Error: Compaction map of [%u] bytes is too large to be read. Offset [%llu], Read [%u], Err [%s]",
                   hdr.uSizeOnMedia, slotOffset, slotRead, slotError.c_str());
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
    }
    if (valid < needed) {
      // A read that stopped short of its buffer reached the end of the file: the map is cut off,
      // and a larger buffer would bring no more bytes.
      if (valid < pSlot->uBufSize) {
        log.DebugLvl(kTag, 1, "Error: Compaction map of [%u] bytes runs past the end of SFILE. Offset [%llu], Read [%u], Err [%s]",
                     hdr.uSizeOnMedia, slotOffset, slotRead, slotError.c_str());
        return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
      }
      log.DebugLvl(kTag, 1,
                   "Error: Compac map size is greater than slot size. SlotSize [%u], TransSize [%u], EntrySize "
                   "[Actual:%u, Read:%u], EntryCount [%u]",
                   pSlot->uBufSize, slotRead, hdr.uSizeOnMedia,
                   static_cast<unsigned int>(valid - kCompactionMapEntriesOffset), hdr.uEntryCount);
      nSizeNeeded = static_cast<int>(needed);
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrSlotTooSmall);
    }
    const unsigned char* entries = buffer + kCompactionMapEntriesOffset;
    const uint32_t crc = CXoCRC32::Of(entries, hdr.uSizeOnMedia);
    if (crc != hdr.uCRC32) {
      log.DebugLvl(kTag, 1, "Error: CRC32 mismatch between compaction map and header. CRC32 [%X] Header [%u]. uSizeOnMedia [%u].",
                   crc, hdr.uCRC32, hdr.uSizeOnMedia);
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrCorrupt);
    }
    Map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(entries), hdr);
  }
  watch.Stop();
  const long long ioTicks = pSlot->llIoTime > 0 ? pSlot->llIoTime : 0;
  Map.m_fMapReadTime += static_cast<float>(ioTicks) / static_cast<float>(kTicksPerSecond) + static_cast<float>(watch.ElapsedSeconds());
  return CXoError::Success();
}

CXoError SingleInstancer_FS::GetCompactedOffset(CFileInterface* pFile, uint64_t ullLogicalOff, bool bPrunerMode,
                                                uint64_t& ullPhysicalOff) {
  EvDebug log;
  CSFileCompactionMap map(&log, 0);
  CXoError e = GetCompactionMap(pFile, map);
  if (e.IsFailure()) {
    log.DebugLvl("GetCompactedOffset", 1, "Failed to get compaction map from SFILE. Error [%s].", e.AsString().c_str());
    return e;
  }
  if (map.EntryCount() == 0) {
    ullPhysicalOff = ullLogicalOff;
    return CXoError::Success();
  }
  ullPhysicalOff = map.GetPhysicalOffset(ullLogicalOff, bPrunerMode);
  if (ullPhysicalOff == CSFileCompactionMap::kInvalidOffset) {
    log.DebugLvl("GetCompactedOffset", 1, "Invalid logical offset [%lu] encountered. File [%s].",
                 static_cast<unsigned long>(ullLogicalOff), pFile->GetFileName().c_str());
    map.Dump(3, "Invalid logical offset");
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32ErrInvalidOffset, "Invalid logical offset encountered.");
  }
  return CXoError::Success();
}

CXoError SingleInstancer_FS::GetCompactedOffset(CFileInterface* pFile, uint64_t ullLogicalOff, uint64_t& ullPhysicalOff) {
  return GetCompactedOffset(pFile, ullLogicalOff, false, ullPhysicalOff);
}
