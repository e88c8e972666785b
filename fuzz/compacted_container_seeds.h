// Seeds of the fuzz targets that read compaction maps: compacted SFile containers as a compaction
// writes them. A container that was never compacted loses a few holes through the map's own Merge;
// the copy is the container header (version 2), the map header, the entries from Serialize and
// the bytes of the ranges Merge keeps, as the map's header after Merge describes them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "platform/byte_order.h"

namespace fuzz {

inline std::string CompactedContainer(const std::string& original,
                                      const std::vector<std::pair<uint64_t, uint64_t>>& holeList) {
  std::vector<SSFileRange> holes;
  for (const auto& [offset, length] : holeList) {
    SSFileRange h;
    h.uOffset = offset;
    h.uLength = length;
    holes.push_back(h);
  }
  CSFileCompactionMap map;
  std::vector<SSFileRange> ranges;
  uint64_t valid = 0, dropped = 0;
  if (map.Merge(&holes, 0, original.size(), ranges, valid, dropped) != 0 || ranges.empty()) abort();

  std::string entries(size_t{map.EntryCount()} * sizeof(SCompactionMapEntry), '\0');
  map.Serialize(reinterpret_cast<SCompactionMapEntry*>(entries.data()));
  std::string bytes(kCompactionMapEntriesOffset, '\0');
  std::memcpy(&bytes[0], "SFILHDR", 8);
  EncodeBE32(&bytes[8], 2);
  std::memcpy(&bytes[kCompactionMapHeaderOffset], kCompactionMapTag, sizeof(kCompactionMapTag));
  EncodeBE32(&bytes[kCompactionMapHeaderOffset + 8], map.Header().uCRC32);
  EncodeBE32(&bytes[kCompactionMapHeaderOffset + 12], map.Header().uSizeOnMedia);
  EncodeBE32(&bytes[kCompactionMapHeaderOffset + 16], map.Header().uEntryCount);
  bytes += entries;
  for (const SSFileRange& r : ranges) bytes += original.substr(r.uOffset, r.uLength);
  return bytes;
}

inline std::vector<std::string> CompactedContainers() {
  std::string original(128, '\0');
  std::memcpy(&original[0], "SFILHDR", 8);
  EncodeBE32(&original[8], 1);
  for (int i = 0; i < 3000; ++i) original += static_cast<char>('A' + i % 23);
  return {
      CompactedContainer(original, {{128, 64}}),
      CompactedContainer(original, {{300, 200}, {1000, 500}}),
      CompactedContainer(original, {{200, 10}, {400, 10}, {600, 10}, {800, 10}, {2900, 228}}),
  };
}

}  // namespace fuzz
