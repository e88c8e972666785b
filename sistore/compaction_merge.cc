// Merge: the arithmetic of a compaction. From the map of the current container (or none, for a
// container never compacted) and the logical holes to drop, it finds the physical ranges the
// compacting host copies and the map that the copy carries in front of them.
//
// The current container is a list of segments, one per run of its map (a single segment from
// byte 128 without a map). Cutting the holes out of every segment leaves pieces; each piece
// becomes one range to copy and one entry of the new map, so a logical hole stays visible even
// where two pieces end up side by side.

#include <algorithm>
#include <limits>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "platform/byte_order.h"
#include "platform/checked_add.h"
#include "platform/crc32.h"

namespace {

constexpr uint64_t kNoEnd = std::numeric_limits<uint64_t>::max();

struct Segment {
  uint64_t logical;
  uint64_t physical;
  uint64_t length;
};

struct Piece {
  uint64_t logical;
  uint64_t physical;  // in the current container
  uint64_t length;
};

uint64_t HoleEnd(const SSFileRange& hole) { return SaturatingAdd(hole.uOffset, hole.uLength); }

// Holes must ascend without overlapping (a hole may start where the previous one ends).
bool HolesInOrder(const std::vector<SSFileRange>& holes) {
  for (size_t i = 1; i < holes.size(); ++i) {
    if (holes[i].uOffset < HoleEnd(holes[i - 1])) return false;
  }
  return true;
}

// Cuts the holes out of one segment; `first` is the first hole that ends at or after the
// segment's start. A hole of length 0 inside the segment still cuts it in two.
void CutSegment(const Segment& s, const std::vector<SSFileRange>& holes, size_t first, std::vector<Piece>& pieces) {
  const uint64_t end = s.logical + s.length;
  uint64_t cursor = s.logical;
  auto emit = [&](uint64_t from, uint64_t to) {
    pieces.push_back(Piece{from, s.physical + (from - s.logical), to - from});
  };
  for (size_t h = first; h < holes.size() && holes[h].uOffset < end; ++h) {
    const uint64_t cutStart = std::max(holes[h].uOffset, cursor);
    if (cutStart > cursor) emit(cursor, cutStart);
    cursor = std::max(cursor, std::min(HoleEnd(holes[h]), end));
  }
  if (cursor < end) emit(cursor, end);
}

}  // namespace

int CSFileCompactionMap::Merge(std::vector<SSFileRange>* pvHoles, CXoFile::offset /*unused*/,
                               unsigned long long ullFileSize, std::vector<SSFileRange>& vValidRanges,
                               uint64_t& ullValidBytes, uint64_t& ullHoleBytes) {
  ullValidBytes = 0;
  ullHoleBytes = 0;
  if (pvHoles == nullptr) return -1;
  // The ranges of a compaction are this call's alone: a list the caller still holds would be
  // copied in the wrong places.
  if (!ozassert(vValidRanges.empty(), "vValidRanges.empty ()", __FILE__, __func__, __LINE__)) return -1;
  std::vector<SSFileRange>& holes = *pvHoles;
  if (!HolesInOrder(holes)) {
    m_pDbg->DebugLvl("Merge", 1, m_ullId, "Error: Holes to drop are not in ascending order without overlaps. File [%s].",
                     m_strFileName.c_str());
    return -1;
  }

  // The segments of the current container. A map that does not ascend, or a file that ends at or
  // before the last run's start, cannot be the container this map describes.
  const uint32_t n = m_Hdr.uEntryCount;
  std::vector<Segment> segments;
  if (n == 0) {
    if (ullFileSize < kCompactionMapHeaderOffset) {
      m_pDbg->DebugLvl("Merge", 1, m_ullId, "Error: File size [%llu] is below the container header. File [%s].",
                       ullFileSize, m_strFileName.c_str());
      return -1;
    }
    segments.push_back(Segment{kCompactionMapHeaderOffset, kCompactionMapHeaderOffset, ullFileSize - kCompactionMapHeaderOffset});
  } else {
    if (ullFileSize <= m_pMap[n - 1].uPhysicalOff) {
      m_pDbg->DebugLvl("Merge", 1, m_ullId,
                       "Error: File size [%llu] is at or below the last mapped physical offset [%llu]. File [%s].",
                       ullFileSize, static_cast<unsigned long long>(m_pMap[n - 1].uPhysicalOff), m_strFileName.c_str());
      return -1;
    }
    for (uint32_t k = 0; k < n; ++k) {
      const uint64_t next = k + 1 < n ? m_pMap[k + 1].uPhysicalOff : ullFileSize;
      const Segment s{m_pMap[k].uLogicalOff, m_pMap[k].uPhysicalOff, next - m_pMap[k].uPhysicalOff};
      const bool ordered = next >= s.physical && s.length <= kNoEnd - s.logical &&
                           (k + 1 == n || s.logical + s.length <= m_pMap[k + 1].uLogicalOff);
      if (!ordered || (k > 0 && s.logical <= segments.back().logical)) {
        m_pDbg->DebugLvl("Merge", 1, m_ullId, "Error: Compaction map entry [%u] is out of order. File [%s].", k,
                         m_strFileName.c_str());
        return -1;
      }
      segments.push_back(s);
    }
  }

  // Pieces, segment by segment.
  std::vector<Piece> pieces;
  if (!holes.empty()) {
    for (const Segment& s : segments) {
      const auto first = std::lower_bound(holes.begin(), holes.end(), s.logical,
                                          [](const SSFileRange& h, uint64_t at) { return HoleEnd(h) < at; });
      CutSegment(s, holes, static_cast<size_t>(first - holes.begin()), pieces);
    }
  }
  if (pieces.size() > std::numeric_limits<uint32_t>::max() / sizeof(SCompactionMapEntry)) {
    m_pDbg->DebugLvl("Merge", 1, m_ullId, "Error: A map of [%zu] entries cannot be stored. File [%s].", pieces.size(),
                     m_strFileName.c_str());
    return -1;
  }

  // Dropped bytes: without a map every hole byte; with one, the hole bytes inside the segments,
  // where the last segment reaches without end (bytes in earlier holes were counted before).
  for (const SSFileRange& h : holes) {
    if (n == 0) {
      ullHoleBytes = SaturatingAdd(ullHoleBytes, h.uLength);
      continue;
    }
    const uint64_t he = HoleEnd(h);
    const auto at = std::upper_bound(segments.begin(), segments.end(), h.uOffset,
                                     [](uint64_t off, const Segment& s) { return off < s.logical; });
    for (size_t k = at == segments.begin() ? 0 : static_cast<size_t>(at - segments.begin()) - 1;
         k < segments.size() && segments[k].logical < he; ++k) {
      const uint64_t segEnd = k + 1 == segments.size() ? kNoEnd : segments[k].logical + segments[k].length;
      const uint64_t from = std::max(h.uOffset, segments[k].logical);
      const uint64_t to = std::min(he, segEnd);
      if (to > from) ullHoleBytes = SaturatingAdd(ullHoleBytes, to - from);
    }
  }

  // A hole that reaches from before a segment's start into it starts, in the caller's list, at
  // the last segment it reaches into.
  for (SSFileRange& h : holes) {
    const uint64_t he = HoleEnd(h);
    const auto after = std::lower_bound(segments.begin(), segments.end(), he,
                                        [](const Segment& s, uint64_t at) { return s.logical < at; });
    if (after == segments.begin()) continue;
    const uint64_t start = std::prev(after)->logical;
    if (start > h.uOffset) {
      h.uLength = he - start;
      h.uOffset = start;
    }
  }

  Dump(3, "Before Merge");
  if (!pieces.empty()) {
    const uint32_t m = static_cast<uint32_t>(pieces.size());
    std::unique_ptr<SCompactionMapEntry[]> entries(new SCompactionMapEntry[m]());
    std::vector<SSFileRange> ranges;
    uint64_t physical = kCompactionMapEntriesOffset + uint64_t{m} * sizeof(SCompactionMapEntry);
    const uint64_t dataStart = physical;
    for (uint32_t k = 0; k < m; ++k) {
      entries[k].uLogicalOff = pieces[k].logical;
      entries[k].uPhysicalOff = physical;
      physical += pieces[k].length;
      SSFileRange range;
      range.uOffset = pieces[k].physical;
      range.uLength = pieces[k].length;
      ranges.push_back(range);
    }
    ozassert(m == ranges.size(), "vNewCmpMap.size () == vValidRanges.size ()", __FILE__, __func__, __LINE__);
    const uint64_t validBytes = physical - dataStart;

    if (Compare(entries.get(), m) && physical == ullFileSize) {
      vValidRanges.clear();
      ullHoleBytes = 0;
    } else {
      for (SSFileRange& r : ranges) MergeValidRange(vValidRanges, r);
      ullValidBytes = validBytes;
      DumpValidRanges(3, vValidRanges);
      std::vector<unsigned char> media(size_t{m} * sizeof(SCompactionMapEntry));
      SetEntries(std::move(entries), m);
      m_Hdr.uSizeOnMedia = m * static_cast<uint32_t>(sizeof(SCompactionMapEntry));
      Serialize(reinterpret_cast<SCompactionMapEntry*>(media.data()));
      m_Hdr.uCRC32 = CXoCRC32::Of(media.data(), m_Hdr.uSizeOnMedia);
    }
  }
  Dump(3, "After Merge");
  return 0;
}
