// CHybridVolumesIndexFile: the process-wide table of hybrid volumes, cloud volumes whose data is
// also kept in a disk cache on another mount path. For a volume id it answers which mount path
// holds that cache.
//
// The table lives in memory (the cache) while the process has it open, and between uses in the
// index file "HybridVolumes.idx" (aligned 48-byte records sorted by volume id, no journal) in the
// job results directory. Open and Close count references: the first Open loads the cache from the
// file (creating an empty file, or discarding a corrupt one), the last Close writes the cache back
// when it learned something and empties it. The file is written under a name of the process's
// own, made durable and renamed into place, so it is never seen half-written.
//
// Every operation may be called from any thread; each takes the cache lock for its whole run.
// Find, GetFirst and GetNext hand out the address of a cached record, valid while it stays cached:
// until it is removed or the last Close. A user holds an Open reference while it looks volumes up.
//
// Typical use (the single-instance store, for a volume on a mount path that allows hybrids):
//   CHybridVolumesIndexFile* vols = CHybridVolumesIndexFile::GetInstance();
//   if (vols->Open(false) == 0) {
//     int mp = vols->GetCacheMPId(volId);
//     if (mp == -1) { ...pull the mapping, Cache() each pair, UpdateStats()...; mp = vols->GetCacheMPId(volId); }
//     vols->Close();
//   }
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/file_system.h"
#include "platform/logging.h"
#include "platform/threads.h"

class CHybridVolumesIndexFile : public CIndexFile<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic> {
 public:
  using Base = CIndexFile<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>;
  using VolumeMap = std::map<unsigned long, SHybridVolumeRecord>;
  using Iterator = VolumeMap::iterator;

  // The process's instance, made on the first call and never destroyed.
  static CHybridVolumesIndexFile* GetInstance();

  // The file and file-system interfaces are made from `params` when it is not null.
  explicit CHybridVolumesIndexFile(CFSInitParams* params);
  // A cache still open is written back (with an invariant report unless its last Open asked for
  // that with bFlushOnDie).
  ~CHybridVolumesIndexFile();

  // Takes a reference; the first one loads the cache. 0, or a media manager code (-1 when there
  // is no job results directory), and then nothing is counted. The last Open's bFlushOnDie holds.
  int Open(bool bFlushOnDie);
  // Gives a reference back; the last one writes the cache back when it changed and empties it.
  // 0 or the write's media manager code (the cache is then kept for the next write). 0 when not
  // open.
  int Close();
  bool IsOpen();

  // Add(VolId, rec, false, tag): a mapping learned at run time; needs the index open.
  int Cache(unsigned long VolId, SHybridVolumeRecord* rec, const char* tag);
  // Caches a copy of `rec` under `VolId`, unless the volume is cached already (a cached record is
  // never replaced). A record not from the file marks the cache for writing back. 0, or -1 for an
  // invalid record or a run-time record while the index is not open.
  int Add(unsigned long VolId, SHybridVolumeRecord* rec, bool bFromFile, const char* tag);
  // The cached record of the volume, or null.
  SHybridVolumeRecord* Find(unsigned long VolId);
  bool IsHybrid(unsigned long VolId);
  // The volume's cache mount path id, or -1 when the volume is not cached.
  int GetCacheMPId(unsigned long VolId);
  int Count();
  // Walk the cache in ascending volume id with a caller's iterator; null at the end.
  SHybridVolumeRecord* GetFirst(Iterator* it);
  SHybridVolumeRecord* GetNext(Iterator* it);
  // 1 when the volume was cached and is removed, else 0. Neither Remove marks the cache changed.
  int Remove(unsigned long VolId);
  // Removes the record at `*it` (which must be at one) and moves `*it` to the next; 0.
  int Remove(Iterator* it);
  // Not null, VolId not 0 and CacheMPId not 0xFFFFFFFF.
  bool IsRecordValid(SHybridVolumeRecord* rec);
  // Adds one pull of volume information from the management server to the statistics, which the
  // last Close reports.
  void UpdateStats(unsigned int volumes, double seconds);
  void DumpRecord(int level, SHybridVolumeRecord* rec, const char* tag);

 private:
  int PopulateCache();
  int FlushCache();
  int Refresh();
  int Create();
  int UpdateOpenRefCount(int delta);
  // Writes `records` (null: none) to the file by way of a file of this process's own. 0, or the
  // failure's media manager code with `*created` telling whether the file could be created at all.
  int WriteIndexFile(const VolumeMap* records, const char* tag, bool* created);
  static Options FileOptions();

  std::string m_strIdxPath;
  std::unique_ptr<OzCriticalSectionH> m_pCacheLock;
  VolumeMap m_mapVolumes;
  bool m_bCacheDirty = false;
  int m_iOpenCnt = 0;
  uint32_t m_uPulls = 0;
  uint32_t m_uPulledVolumes = 0;
  double m_dPullSeconds = 0.0;
  bool m_bFlushOnDie = false;

  static CHybridVolumesIndexFile* s_pHybVols;
  static EvDebug s_Dbg;
};
