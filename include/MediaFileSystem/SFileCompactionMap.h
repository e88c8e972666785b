// CSFileCompactionMap: the map of a compacted SFile container, from the logical offsets that the
// chunk's indexes and metadata record for objects (offsets in the container as first written) to
// the physical offsets where the bytes now lie.
//
// A compacted container (header version 2 or more) holds only the live runs of the original:
//
//   bytes 0..127          container header, "SFILHDR", version >= 2
//   bytes 128..255        SCompactionMapHeader: "10PMOC", CRC-32, byte size and count of entries
//   bytes 256..256+24n-1  n SCompactionMapEntry records, big-endian
//   from 256+24n          the live runs, one after another, in ascending logical order
//
// Run k holds the logical bytes L[k] .. L[k] + (P[k+1] - P[k]) - 1 at the physical bytes
// P[k] .. P[k+1] - 1 (the last run reaches the end of the file); the logical bytes between a run's
// end and the next run's start are a hole, and so are those from 128 up to L[0].
//
// Readers load a container's map with SingleInstancer_FS::GetCompactionMap (or
// GetCompactionMapBySlot from a finished asynchronous read) and translate each offset:
//
//   CSFileCompactionMap map(&log, chunkId);
//   if (SingleInstancer_FS::GetCompactionMap(container, map).IsSuccess()) {
//     uint64_t at = map.GetPhysicalOffset(logical, /*bPrunerMode=*/false);
//     if (at == CSFileCompactionMap::kInvalidOffset) ...   // the object's bytes were dropped
//   }
//
// A compacting host asks Merge which ranges of the current container to copy and which map the
// copy needs, then writes the header (version 2 or more), the map header (tag "10PMOC" and the
// map's uCRC32, uSizeOnMedia and uEntryCount), the entries from Serialize and the ranges' bytes.
//
// A map object belongs to one thread at a time; it touches no process-wide state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/local_files.h"
#include "platform/logging.h"

// The header of a compacted container's map, at byte 128. On media every integer is big-endian;
// a map object keeps its copy in host order.
struct SCompactionMapHeader {
  char szTag[8];           // "10PMOC" and a zero byte; readers compare 7 bytes
  uint32_t uCRC32;         // complement of the CRC-32 (from 0xFFFFFFFF) of the entries as stored
  uint32_t uSizeOnMedia;   // 24 * uEntryCount
  uint32_t uEntryCount;
  uint8_t Reserved[108];
};
static_assert(sizeof(SCompactionMapHeader) == 128, "the map header is 128 bytes");

// One live run.
struct SCompactionMapEntry {
  uint64_t uLogicalOff;
  uint64_t uPhysicalOff;
  uint64_t uReserved;  // written as 0; copied between memory and media without conversion
};
static_assert(sizeof(SCompactionMapEntry) == 24, "a map entry is 24 bytes");

// A byte range of an SFile, in memory only: the holes Merge drops (logical offsets), the valid
// ranges it returns (physical offsets), and the pruner's ranges (logical offsets of one run of
// pruned objects). The fields after uLength belong to the pruner; Merge leaves them at their
// defaults.
struct SSFileRange {
  uint32_t uReserved = 0;
  uint64_t uOffset = 0;
  uint64_t uLength = 0;
  int64_t iFirstEntry = -1;   // index positions of the run's first and last entries
  int64_t iLastEntry = -1;
  bool bAllDrilled = true;    // every entry of the run already lies in a hole
  bool bTruncated = false;    // the run's first entry marks a cut already made there
  uint64_t uNextOffset = 0;   // logical offset of the valid object after the run; 0: none
};

inline constexpr char kCompactionMapTag[] = "10PMOC";
inline constexpr uint64_t kCompactionMapHeaderOffset = 128;   // after the container header
inline constexpr uint64_t kCompactionMapEntriesOffset = 256;  // after the map header

class CSFileCompactionMap {
 public:
  // What GetPhysicalOffset returns for an offset it cannot translate.
  static constexpr uint64_t kInvalidOffset = ~0ull;

  // An empty map that logs through its own log object, with the id -1.
  CSFileCompactionMap();
  // An empty map that logs through `pDbg` (its own log object when null). The caller's log is
  // borrowed and must outlive the map.
  CSFileCompactionMap(EvDebug* pDbg, unsigned long long id);
  CSFileCompactionMap(const CSFileCompactionMap& other);
  // Writes the map's read and translation times (when any) to its log.
  ~CSFileCompactionMap();

  // Binds the log (own when null) and the id and clears the statistics.
  void Init(EvDebug* pDbg, unsigned long long id);
  // Empties the map for reuse: no entries, a zeroed header, no statistics, no file name, and its
  // own log object again; the id stays.
  void Reset();
  // Takes the source's log, id, header and entries; the statistics restart and the file name
  // stays the target's.
  CSFileCompactionMap& operator=(const CSFileCompactionMap& other);

  // The uEntryCount entries in media form (24 bytes each) into `pOut`; nothing for an empty map.
  void Serialize(SCompactionMapEntry* pOut) const;
  // Replaces the map with the host-order header `Hdr` and its uEntryCount media-form entries
  // read from `pIn`, which must hold them all.
  void Unserialize(const SCompactionMapEntry* pIn, const SCompactionMapHeader& Hdr);

  void Dump(unsigned int level, const char* tag);
  void DumpValidRanges(unsigned int level, std::vector<SSFileRange>& vRanges);
  // Whether the map has exactly these `nCount` host-order entries (uReserved not compared).
  bool Compare(const SCompactionMapEntry* pEntries, unsigned int nCount) const;

  // The physical offset of a logical one, or kInvalidOffset: for an offset in a hole (in pruner
  // mode the next run's start instead), below the first run, or outside the container's bounds.
  // A search over the entries without allocation; its time goes into the running average.
  uint64_t GetPhysicalOffset(uint64_t LogicalOff, bool bPrunerMode);

  // Appends `Range` to the list, or lengthens the list's last range when it ends where `Range`
  // starts.
  static void MergeValidRange(std::vector<SSFileRange>& vRanges, SSFileRange& Range);

  // Builds a compaction that drops the logical ranges `*pvHoles` (ascending, not overlapping)
  // from the container of `ullFileSize` bytes that this map describes (no entries: a container
  // that was never compacted). `vValidRanges` must be empty. Returns 0 and:
  //   ranges present: the map now describes the copy, made of those physical ranges of the
  //     current container in list order; ullValidBytes and ullHoleBytes are the kept and
  //     dropped bytes;
  //   no ranges, ullHoleBytes 0: nothing to do;
  //   no ranges, ullHoleBytes > 0: nothing of the container remains.
  // Returns -1 and changes nothing for a null or disordered hole list, a non-empty
  // `vValidRanges`, or a file size that cannot hold the container's mapped data. A hole that
  // reaches from one run into a later one is rewritten to start at the last run it reaches into.
  int Merge(std::vector<SSFileRange>* pvHoles, CXoFile::offset unused, unsigned long long ullFileSize,
            std::vector<SSFileRange>& vValidRanges, uint64_t& ullValidBytes, uint64_t& ullHoleBytes);

  // Host-order entries and header.
  const SCompactionMapEntry* Entries() const { return m_pMap.get(); }
  uint32_t EntryCount() const { return m_Hdr.uEntryCount; }
  const SCompactionMapHeader& Header() const { return m_Hdr; }
  EvDebug* Log() const { return m_pDbg; }
  unsigned long long Id() const { return m_ullId; }

  // Statistics and origin, filled by the readers of a container's map.
  float m_fMapReadTime = 0;       // seconds spent reading the map
  float m_fAvgTranslateTime = 0;  // seconds per translation, running average
  uint32_t m_uTranslations = 0;
  std::string m_strFileName;      // the container the map was read from

 private:
  // The offsets of the entries again, in pairs (m_vRuns): the search reads only these, and the run
  // it ends on, with its neighbour, is then in the lines it has just read.
  struct Run {
    uint64_t logical;
    uint64_t physical;
  };

  // Replaces the entries (host order) and rebuilds the search keys.
  void SetEntries(std::unique_ptr<SCompactionMapEntry[]> entries, uint32_t count);
  // The index of the last entry whose logical offset is at or below `off`; -1 when none is.
  int64_t LastRunAtOrBelow(uint64_t off) const;
  void RecordTranslation(double seconds);
  void LogHole(uint64_t off, uint64_t holeStart, const Run& run, const Run& next);

  std::unique_ptr<SCompactionMapEntry[]> m_pMap;  // the entries, host order
  SCompactionMapHeader m_Hdr{};                   // host-order header; uEntryCount counts m_pMap
  EvDebug* m_pDbg = nullptr;                      // the caller's log or m_Dbg
  EvDebug m_Dbg;
  unsigned long long m_ullId = ~0ull;
  std::vector<Run> m_vRuns;
};
