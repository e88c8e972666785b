// The compaction map of a compacted SFile container: its entries in memory and on media, the
// translation of logical offsets that restore readers and the pruner make for every object they
// read, and the dump of a map to the log. Merge, which builds the map of a new compaction, is in
// compaction_merge.cc.

#include <cstring>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "platform/byte_order.h"
#include "platform/checked_add.h"
#include "platform/string_format.h"
#include "platform/threads.h"

namespace {

// The level of the line that every successful translation writes. It is formatted only when the
// log asks for that much detail: a translation costs a search, not a formatted line.
constexpr int kTranslationLineLevel = 10;

}  // namespace

CSFileCompactionMap::CSFileCompactionMap() { Init(nullptr, ~0ull); }

CSFileCompactionMap::CSFileCompactionMap(EvDebug* pDbg, unsigned long long id) { Init(pDbg, id); }

CSFileCompactionMap::CSFileCompactionMap(const CSFileCompactionMap& other) {
  Init(nullptr, ~0ull);
  *this = other;
}

CSFileCompactionMap::~CSFileCompactionMap() {
  if (m_fMapReadTime != 0 || m_fAvgTranslateTime != 0) {
    m_pDbg->DebugLvl("~CSFileCompactionMap", 10, m_ullId,
                     "Map read time [%f]. Avg address translation time [%f]. File [%s].",
                     static_cast<double>(m_fMapReadTime), static_cast<double>(m_fAvgTranslateTime),
                     m_strFileName.c_str());
  }
}

void CSFileCompactionMap::Init(EvDebug* pDbg, unsigned long long id) {
  m_pDbg = pDbg != nullptr ? pDbg : &m_Dbg;
  m_ullId = id;
  m_fMapReadTime = 0;
  m_fAvgTranslateTime = 0;
  m_uTranslations = 0;
}

void CSFileCompactionMap::Reset() {
  Init(nullptr, m_ullId);
  m_Hdr = SCompactionMapHeader{};
  SetEntries(nullptr, 0);
  m_strFileName.clear();
}

CSFileCompactionMap& CSFileCompactionMap::operator=(const CSFileCompactionMap& other) {
  if (this == &other) return *this;
  Init(other.m_pDbg == &other.m_Dbg ? nullptr : other.m_pDbg, other.m_ullId);
  m_Hdr = other.m_Hdr;
  std::unique_ptr<SCompactionMapEntry[]> copy;
  if (other.m_Hdr.uEntryCount != 0) {
    copy.reset(new SCompactionMapEntry[other.m_Hdr.uEntryCount]);
    std::memcpy(copy.get(), other.m_pMap.get(), sizeof(SCompactionMapEntry) * other.m_Hdr.uEntryCount);
  }
  SetEntries(std::move(copy), other.m_Hdr.uEntryCount);
  return *this;
}

void CSFileCompactionMap::SetEntries(std::unique_ptr<SCompactionMapEntry[]> entries, uint32_t count) {
  m_pMap = std::move(entries);
  m_Hdr.uEntryCount = m_pMap ? count : 0;
  m_vRuns.resize(m_Hdr.uEntryCount);
  for (uint32_t k = 0; k < m_Hdr.uEntryCount; ++k) m_vRuns[k] = Run{m_pMap[k].uLogicalOff, m_pMap[k].uPhysicalOff};
}

// Media form is big-endian at any alignment: the caller's buffer may be a slot's bytes.
void CSFileCompactionMap::Serialize(SCompactionMapEntry* pOut) const {
  auto* out = reinterpret_cast<unsigned char*>(pOut);
  for (uint32_t k = 0; k < m_Hdr.uEntryCount; ++k, out += sizeof(SCompactionMapEntry)) {
    EncodeBE64(out, m_pMap[k].uLogicalOff);
    EncodeBE64(out + 8, m_pMap[k].uPhysicalOff);
    std::memcpy(out + 16, &m_pMap[k].uReserved, 8);
  }
}

void CSFileCompactionMap::Unserialize(const SCompactionMapEntry* pIn, const SCompactionMapHeader& Hdr) {
  m_Hdr = Hdr;
  std::unique_ptr<SCompactionMapEntry[]> entries;
  if (Hdr.uEntryCount != 0) {
    entries.reset(new SCompactionMapEntry[Hdr.uEntryCount]());
    const auto* in = reinterpret_cast<const unsigned char*>(pIn);
    for (uint32_t k = 0; k < Hdr.uEntryCount; ++k, in += sizeof(SCompactionMapEntry)) {
      entries[k].uLogicalOff = DecodeBE64(in);
      entries[k].uPhysicalOff = DecodeBE64(in + 8);
      std::memcpy(&entries[k].uReserved, in + 16, 8);
    }
  }
  SetEntries(std::move(entries), Hdr.uEntryCount);
}

bool CSFileCompactionMap::Compare(const SCompactionMapEntry* pEntries, unsigned int nCount) const {
  if (nCount != m_Hdr.uEntryCount) return false;
  for (unsigned int k = 0; k < nCount; ++k) {
    if (pEntries[k].uLogicalOff != m_pMap[k].uLogicalOff || pEntries[k].uPhysicalOff != m_pMap[k].uPhysicalOff) {
      return false;
    }
  }
  return true;
}

void CSFileCompactionMap::Dump(unsigned int level, const char* tag) {
  const int lvl = static_cast<int>(level);
  const uint32_t n = m_Hdr.uEntryCount;
  if (n == 0) {
    m_pDbg->DebugLvl("Dump", lvl, m_ullId, "[%s] [Map Empty].", tag);
    return;
  }
  for (uint32_t k = 0; k < n; ++k) {
    const SCompactionMapEntry& e = m_pMap[k];
    if (k + 1 == n) {
      m_pDbg->DebugLvl("Dump", lvl, m_ullId, "[%s] Hole no [%u]. Logical offset [%llu]. Physical offset [%llu].", tag,
                       k, static_cast<unsigned long long>(e.uLogicalOff),
                       static_cast<unsigned long long>(e.uPhysicalOff));
      continue;
    }
    const uint64_t validLength = m_pMap[k + 1].uPhysicalOff - e.uPhysicalOff;
    const uint64_t holeStart = e.uLogicalOff + validLength;
    m_pDbg->DebugLvl("Dump", lvl, m_ullId,
                     "[%s] Hole no [%u]. Logical offset [%llu]. Physical offset [%llu]. Valid range len [%llu]. "
                     "Hole start offset [%llu]. Hole len [%llu].",
                     tag, k, static_cast<unsigned long long>(e.uLogicalOff),
                     static_cast<unsigned long long>(e.uPhysicalOff), static_cast<unsigned long long>(validLength),
                     static_cast<unsigned long long>(holeStart),
                     static_cast<unsigned long long>(m_pMap[k + 1].uLogicalOff - holeStart));
  }
}

void CSFileCompactionMap::DumpValidRanges(unsigned int level, std::vector<SSFileRange>& vRanges) {
  const int lvl = static_cast<int>(level);
  if (vRanges.empty()) {
    m_pDbg->DebugLvl("DumpValidRanges", lvl, m_ullId, "No valid ranges to dump.");
    return;
  }
  for (size_t i = 0; i < vRanges.size(); ++i) {
    m_pDbg->DebugLvl("DumpValidRanges", lvl, m_ullId, "Valid range no [%u]. Offset [%llu]. Length [%llu].",
                     static_cast<unsigned int>(i), static_cast<unsigned long long>(vRanges[i].uOffset),
                     static_cast<unsigned long long>(vRanges[i].uLength));
  }
}

void CSFileCompactionMap::MergeValidRange(std::vector<SSFileRange>& vRanges, SSFileRange& Range) {
  if (!vRanges.empty() && vRanges.back().uOffset + vRanges.back().uLength == Range.uOffset) {
    vRanges.back().uLength += Range.uLength;
    return;
  }
  vRanges.push_back(Range);
}

// ---- Translation ---------------------------------------------------------------------------------

// A search without branches: every step halves the range by one comparison, and both halves'
// next probes are fetched ahead, so a large map costs memory latency rather than mispredicted
// branches.
int64_t CSFileCompactionMap::LastRunAtOrBelow(uint64_t off) const {
  const Run* base = m_vRuns.data();
  size_t length = m_vRuns.size();
  while (length > 1) {
    const size_t half = length / 2;
    __builtin_prefetch(base + half / 2);
    __builtin_prefetch(base + half + half / 2);
    base = base[half].logical <= off ? base + half : base;
    length -= half;
  }
  return base->logical <= off ? base - m_vRuns.data() : -1;
}

void CSFileCompactionMap::LogHole(uint64_t off, uint64_t holeStart, const Run& run, const Run& next) {
  const bool atStart = off == holeStart;
  const std::string where = StringFormat(
      "Logical offset [%llu] is within a hole. Hole starts at [%llu]. [%llu] -> [%llu]. [%llu] -> [%llu].",
      static_cast<unsigned long long>(off), static_cast<unsigned long long>(holeStart),
      static_cast<unsigned long long>(run.logical), static_cast<unsigned long long>(run.physical),
      static_cast<unsigned long long>(next.logical), static_cast<unsigned long long>(next.physical));
  m_pDbg->DebugLvl("GetPhysicalOffset", 1, m_ullId, "%s %s", where.c_str(),
                   atStart ? "Pruner mode [false]." : ("[" + m_strFileName + "]").c_str());
}

void CSFileCompactionMap::RecordTranslation(double elapsed) {
  const float seconds = static_cast<float>(elapsed);
  const uint32_t before = m_uTranslations++;
  if (seconds == 0.0f && m_fAvgTranslateTime == 0.0f) return;  // the average stays 0
  m_fAvgTranslateTime = (m_fAvgTranslateTime * static_cast<float>(before) + seconds) / static_cast<float>(m_uTranslations);
}

uint64_t CSFileCompactionMap::GetPhysicalOffset(uint64_t LogicalOff, bool bPrunerMode) {
  const uint32_t n = m_Hdr.uEntryCount;
  if (n == 0) return LogicalOff;

  CStopWatch watch;
  watch.Start();
  const int64_t m = LastRunAtOrBelow(LogicalOff);
  // Bytes below the first run were dropped by an earlier compaction, or precede the data.
  if (!ozassert(m >= 0, "m_pMap[iMid].uLogicalOff < LogicalOff", __FILE__, __func__, __LINE__)) {
    watch.Stop();
    m_pDbg->DebugLvl("GetPhysicalOffset", 1, m_ullId,
                     "Logical offset [%llu] lies below the first mapped offset [%llu]. [%s]",
                     static_cast<unsigned long long>(LogicalOff), static_cast<unsigned long long>(m_pMap[0].uLogicalOff),
                     m_strFileName.c_str());
    return kInvalidOffset;
  }
  const Run& run = m_vRuns[m];
  // The runs come from the media: a sum that wraps would name another place of the file, and a
  // run that ends before it starts is no run. Both are a damaged map, judged below.
  uint64_t result = kInvalidOffset;
  bool damaged = !CheckedAdd(run.physical, LogicalOff - run.logical, result);
  if (!damaged && run.logical != LogicalOff && static_cast<uint32_t>(m) + 1 < n) {
    const Run& next = m_vRuns[m + 1];
    uint64_t holeStart = 0;
    damaged = next.physical < run.physical || !CheckedAdd(run.logical, next.physical - run.physical, holeStart);
    // In pruner mode an offset whose bytes were dropped names the start of the next run.
    if (!damaged && LogicalOff >= holeStart) {
      if (!bPrunerMode) {
        watch.Stop();
        LogHole(LogicalOff, holeStart, run, next);
        return kInvalidOffset;
      }
      result = next.physical;
    }
  }
  watch.Stop();
  RecordTranslation(watch.ElapsedSeconds());

  // A result outside the container's header or past the growth a map can cause comes from a
  // damaged map. The allowance is 32-bit arithmetic, as maps already on media were checked with it.
  const uint32_t allowance = 24u * n + 128u;
  if (!damaged && result >= 128 && (result <= LogicalOff || result - LogicalOff <= allowance)) {
    if (m_pDbg->getLevel() >= kTranslationLineLevel) {
      m_pDbg->DebugLvl("GetPhysicalOffset", kTranslationLineLevel, "Translated logical offset [%llu] to phy offset [%llu]. File [%s].",
                       static_cast<unsigned long long>(LogicalOff), static_cast<unsigned long long>(result),
                       m_strFileName.c_str());
    }
    return result;
  }
  m_pDbg->DebugLvl("GetPhysicalOffset", 1, "Error: Invalid Phy Offset found [%llu/%llu]. Map Entries [%u], File [%s].",
                   static_cast<unsigned long long>(result), static_cast<unsigned long long>(LogicalOff), n,
                   m_strFileName.c_str());
  return kInvalidOffset;
}
