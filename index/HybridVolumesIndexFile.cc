#include "MediaFileSystem/HybridVolumesIndexFile.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/config.h"
#include "platform/error.h"
#include "platform/local_files.h"

namespace {

constexpr const char* kIndexFileName = "HybridVolumes.idx";
constexpr uint64_t kInvalidCacheMPId = 0xFFFFFFFFull;

#define HYB_ASSERT(expr) ozassert(static_cast<bool>(expr), #expr, "HybridVolumesIndexFile", __func__, __LINE__)

// A media manager code for any failure of the index file (never 0, which would read as success).
int MMCode(const CXoError& e) {
  const long long code = MMS2BaseError::ConvertToMMError(e);
  return code != 0 ? static_cast<int>(code) : -1;
}

// The file a process writes the index to before it renames it into place.
std::string TempNameOf(const std::string& indexPath, long pid) { return indexPath + "." + std::to_string(pid) + ".tmp"; }

// Removes what processes that died in a write back left in `dir`. A file of a live process (or of
// one whose life this process cannot tell) stays.
void RemoveDeadWritersFiles(const std::string& dir) {
  CXoDirectory listing;
  if (listing.Open(dir, std::string(kIndexFileName) + ".*.tmp").IsFailure()) return;
  const size_t prefix = strlen(kIndexFileName) + 1;
  CXoDirectory::Entry entry;
  // Best effort: what cannot be listed now is left for the next writer to remove.
  bool atEnd = false;
  while (listing.GetEntry(entry, atEnd).IsSuccess() && !atEnd) {
    char* end = nullptr;
    const long pid = strtol(entry.name.c_str() + prefix, &end, 10);
    if (pid <= 0 || end == nullptr || strcmp(end, ".tmp") != 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH) {
      (void)CXoFile::Delete(CXoPath::Append(dir, entry.name));
    }
  }
}

}  // namespace

CHybridVolumesIndexFile* CHybridVolumesIndexFile::s_pHybVols = nullptr;
EvDebug CHybridVolumesIndexFile::s_Dbg;

CHybridVolumesIndexFile* CHybridVolumesIndexFile::GetInstance() {
  static CHybridVolumesIndexFile* const instance = [] {
    CFSInitParams params;
    s_pHybVols = new CHybridVolumesIndexFile(&params);
    return s_pHybVols;
  }();
  return instance;
}

CHybridVolumesIndexFile::CHybridVolumesIndexFile(CFSInitParams* params)
    : Base(params, &s_Dbg), m_pCacheLock(std::make_unique<OzCriticalSectionH>()) {}

CHybridVolumesIndexFile::~CHybridVolumesIndexFile() {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (m_iOpenCnt != 0) {
    HYB_ASSERT(m_iOpenCnt == 0 || m_bFlushOnDie);
    if (m_iOpenCnt > 0) (void)FlushCache();
  }
}

CHybridVolumesIndexFile::Options CHybridVolumesIndexFile::FileOptions() {
  Options options;
  options.bUseChangeFile = false;
  options.bCacheKeys = true;
  options.bAligned = true;
  return options;
}

// The count is tested and changed under the cache lock, together with the load and the write
// back, so an Open racing the last Close either comes first or finds the cache written back and
// loads it again.
int CHybridVolumesIndexFile::Open(bool bFlushOnDie) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (m_iOpenCnt == 0) {
    const int rc = PopulateCache();
    if (rc != 0) return rc;
  }
  (void)UpdateOpenRefCount(+1);
  m_bFlushOnDie = bFlushOnDie;
  return 0;
}

int CHybridVolumesIndexFile::Close() {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (m_iOpenCnt <= 0) return 0;
  return UpdateOpenRefCount(-1);
}

bool CHybridVolumesIndexFile::IsOpen() {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  return m_iOpenCnt > 0;
}

int CHybridVolumesIndexFile::UpdateOpenRefCount(int delta) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  m_iOpenCnt += delta;
  if (m_iOpenCnt < 0) {
    HYB_ASSERT(m_iOpenCnt >= 0);
    m_iOpenCnt = 0;
    return 0;
  }
  return m_iOpenCnt != 0 ? 0 : FlushCache();
}

int CHybridVolumesIndexFile::Cache(unsigned long VolId, SHybridVolumeRecord* rec, const char* tag) {
  return Add(VolId, rec, false, tag);
}

int CHybridVolumesIndexFile::Add(unsigned long VolId, SHybridVolumeRecord* rec, bool bFromFile, const char* tag) {
  if (!IsRecordValid(rec)) {
    s_Dbg.DebugLvl("Add", 1, "Cannot add record. The record is invalid.");
    DumpRecord(1, rec, "Invalid record");
    return -1;
  }
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (!bFromFile && m_iOpenCnt <= 0) {
    s_Dbg.DebugLvl("Add", 1, "Cannot add new record when index file is not open.");
    return -1;
  }
  if (!m_mapVolumes.emplace(VolId, *rec).second) return 0;  // a cached record is never replaced
  if (!bFromFile) m_bCacheDirty = true;
  DumpRecord(10, rec, tag);
  return 0;
}

SHybridVolumeRecord* CHybridVolumesIndexFile::Find(unsigned long VolId) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  auto it = m_mapVolumes.find(VolId);
  return it == m_mapVolumes.end() ? nullptr : &it->second;
}

bool CHybridVolumesIndexFile::IsHybrid(unsigned long VolId) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  return Find(VolId) != nullptr;
}

int CHybridVolumesIndexFile::GetCacheMPId(unsigned long VolId) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  const SHybridVolumeRecord* rec = Find(VolId);
  return rec == nullptr ? -1 : static_cast<int>(rec->CacheMPId);
}

int CHybridVolumesIndexFile::Count() {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  return static_cast<int>(m_mapVolumes.size());
}

SHybridVolumeRecord* CHybridVolumesIndexFile::GetFirst(Iterator* it) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  *it = m_mapVolumes.begin();
  return *it == m_mapVolumes.end() ? nullptr : &(*it)->second;
}

SHybridVolumeRecord* CHybridVolumesIndexFile::GetNext(Iterator* it) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (*it != m_mapVolumes.end()) ++*it;
  return *it == m_mapVolumes.end() ? nullptr : &(*it)->second;
}

int CHybridVolumesIndexFile::Remove(unsigned long VolId) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  return m_mapVolumes.erase(VolId) != 0 ? 1 : 0;
}

int CHybridVolumesIndexFile::Remove(Iterator* it) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (!HYB_ASSERT(*it != m_mapVolumes.end())) return 0;
  *it = m_mapVolumes.erase(*it);
  return 0;
}

bool CHybridVolumesIndexFile::IsRecordValid(SHybridVolumeRecord* rec) {
  return rec != nullptr && rec->VolId != 0 && rec->CacheMPId != kInvalidCacheMPId;
}

void CHybridVolumesIndexFile::UpdateStats(unsigned int volumes, double seconds) {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  ++m_uPulls;
  m_uPulledVolumes += volumes;
  m_dPullSeconds += seconds;
}

void CHybridVolumesIndexFile::DumpRecord(int level, SHybridVolumeRecord* rec, const char* tag) {
  if (rec == nullptr) return;
  s_Dbg.DebugLvl("DumpRecord", level,
                 "[%s] VolId [%llu] CacheMPId [%llu] Reserved1 [%llu] Reserved2 [%llu] Flags [%u] Deleted [%u] "
                 "Padding [%u] CRC32 [%u].",
                 tag != nullptr ? tag : "NULL", static_cast<unsigned long long>(rec->VolId),
                 static_cast<unsigned long long>(rec->CacheMPId), static_cast<unsigned long long>(rec->Reserved1),
                 static_cast<unsigned long long>(rec->Reserved2), rec->Flags, rec->Deleted, rec->Padding, rec->CRC32);
}

int CHybridVolumesIndexFile::PopulateCache() {
  static constexpr const char* kTag = "PopulateCache";
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (m_iOpenCnt > 0) return 0;

  OZPI_Tarnmember member;
  const char* dir = member.getJobResultsDirectory(EvDebug::getClientName().c_str());
  if (dir == nullptr || *dir == '\0') {
    s_Dbg.DebugLvl(kTag, 1, "%s:%d: Unable to get job results directory. Error [%lu]", kTag, __LINE__,
                   member.getLastError());
    return -1;
  }
  m_strIdxPath = CXoPath::Append(dir, kIndexFileName);
  RemoveDeadWritersFiles(dir);

  if (!CXoPath::Exists(m_strIdxPath)) return Create();
  Options options = FileOptions();
  CXoError e = Base::Open(m_strIdxPath, 2, options);
  if (e.IsFailure()) {
    s_Dbg.DebugLvl(kTag, 1, "Unable to open file [%s]. Error [%s]", m_strIdxPath.c_str(), e.AsString().c_str());
    if (FXErrorUtil::IsNotMM(e, kIdxMMErrCorrupt)) {
      // Nothing was read: the object holds no file to walk.
      s_Dbg.DebugLvl(kTag, 1, "Going on with an empty cache.");
      return 0;
    }
    const int rc = Refresh();
    if (rc != 0) {
      s_Dbg.DebugLvl(kTag, 1, "Unable to discard corrupt file [%s]. Error [%d].", m_strIdxPath.c_str(), rc);
      return rc;
    }
    s_Dbg.DebugLvl(kTag, 1, "Discarded corrupt file [%s]. Starting cache over.", m_strIdxPath.c_str());
  }

  s_Dbg.DebugLvl(kTag, 3, "Reading [%llu] entries from hybrid volumes file.",
                 static_cast<unsigned long long>(m_Header.TotalEntries));
  int64_t index = -1;
  SHybridVolumeRecord rec;
  for (e = GetFirstEntry(&index, &rec); e.IsSuccess() && index != -1; e = GetNextEntry(&index, &rec)) {
    (void)Add(rec.VolId, &rec, true, "Reading record");
  }
  if (e.IsFailure()) {
    s_Dbg.DebugLvl(kTag, 1, "Unable to read index file at position [%lld]. Error [%s]", static_cast<long long>(index),
                   e.AsString().c_str());
    m_mapVolumes.clear();
    m_bCacheDirty = false;
    (void)Base::Close();
    return MMCode(e);
  }
  e = Base::Close();
  if (e.IsFailure()) {
    s_Dbg.DebugLvl(kTag, 1, "Unable to close hybrid volumes file. Error [%s]", e.AsString().c_str());
    return MMCode(e);
  }
  return 0;
}

// The file of a machine that has none yet: empty.
int CHybridVolumesIndexFile::Create() {
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  bool created = false;
  return WriteIndexFile(nullptr, "Open", &created);
}

// Discards a corrupt file: an empty one takes its place and is left open for the load. Records
// learned at run time and not yet written stay cached.
int CHybridVolumesIndexFile::Refresh() {
  static constexpr const char* kTag = "Refresh";
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  if (!m_bCacheDirty) m_mapVolumes.clear();
  CXoError e = Base::Close();
  if (e.IsFailure()) {
    s_Dbg.DebugLvl(kTag, 1, "Unable to close hybrid volumes file. Error [%s]", e.AsString().c_str());
  }
  if (CXoPath::Exists(m_strIdxPath)) {
    e = CXoFile::Delete(m_strIdxPath);
    if (e.IsFailure()) {
      s_Dbg.DebugLvl(kTag, 1, "Unable to delete file [%s]. Error [%s]", m_strIdxPath.c_str(), e.AsString().c_str());
      return MMCode(e);
    }
  }
  bool created = false;
  const int rc = WriteIndexFile(nullptr, kTag, &created);
  if (rc != 0) return rc;
  Options options = FileOptions();
  e = Base::Open(m_strIdxPath, 2, options);
  if (e.IsFailure()) {
    s_Dbg.DebugLvl(kTag, 1, "Unable to open file [%s]. Error [%s]", m_strIdxPath.c_str(), e.AsString().c_str());
    return MMCode(e);
  }
  return 0;
}

int CHybridVolumesIndexFile::FlushCache() {
  static constexpr const char* kTag = "FlushCache";
  OzCriticalSectionGuard guard(m_pCacheLock.get());
  HYB_ASSERT(m_iOpenCnt == 0 || m_bFlushOnDie);
  if (m_bCacheDirty) {
    // A write that fails keeps the cache, its changes and the statistics for the next one; the
    // file on disk stays as it was.
    bool created = false;
    const int rc = WriteIndexFile(&m_mapVolumes, kTag, &created);
    if (rc != 0) return rc;
    m_bCacheDirty = false;
  }
  m_mapVolumes.clear();
  m_bFlushOnDie = false;
  if (m_uPulls != 0) {
    s_Dbg.DebugLvl(kTag, 1,
                   "Pulled volume info from HM [%u] time(s) for [%u] volume(s) in [%f] seconds at average [%f] "
                   "seconds/pull.",
                   m_uPulls, m_uPulledVolumes, m_dPullSeconds, m_dPullSeconds / m_uPulls);
    m_uPulls = 0;
    m_uPulledVolumes = 0;
    m_dPullSeconds = 0.0;
  }
  return 0;
}

// The records go to a file of this process's own beside the index, which is closed (and thereby
// flushed), renamed over the index and made durable with its folder. Another process, or a crash
// at any point, sees the old file or the new one, never a part of one.
int CHybridVolumesIndexFile::WriteIndexFile(const VolumeMap* records, const char* tag, bool* created) {
  const std::string temp = TempNameOf(m_strIdxPath, getpid());
  Options options = FileOptions();
  CXoError e = Base::Create(temp, options);
  *created = e.IsSuccess();
  if (e.IsFailure()) {
    s_Dbg.DebugLvl(tag, 1, "Unable to create file [%s]. Error [%s]", temp.c_str(), e.AsString().c_str());
    return MMCode(e);
  }
  if (records != nullptr) {
    for (const auto& entry : *records) {
      SHybridVolumeRecord rec = entry.second;
      DumpRecord(10, &rec, "Flushing record");
      e = AddEntry(&rec);
      if (e.IsFailure()) {
        s_Dbg.DebugLvl(tag, 1, "Unable to add index file entry. Error [%s]", e.AsString().c_str());
        break;
      }
    }
  }
  CXoError closed = Base::Close();
  if (closed.IsFailure()) {
    s_Dbg.DebugLvl(tag, 1, "Unable to close hybrid volumes file. Error [%s]", closed.AsString().c_str());
    if (e.IsSuccess()) e = closed;
  }
  if (e.IsSuccess()) {
    e = m_pFs->Rename(temp, m_strIdxPath, 0);
    if (e.IsFailure()) {
      s_Dbg.DebugLvl(tag, 1, "Unable to rename file [%s] to [%s]. Error [%s]", temp.c_str(), m_strIdxPath.c_str(),
                     e.AsString().c_str());
    }
  }
  if (e.IsFailure()) {
    (void)m_pFs->RemoveFile(temp, 0);
    return MMCode(e);
  }
  e = FlushFolderOf(m_strIdxPath);
  if (e.IsFailure()) {
    // The new file is in place; only its durability across a power loss is in doubt.
    s_Dbg.DebugLvl(tag, 1, "Unable to flush the folder of [%s]. Error [%s]", m_strIdxPath.c_str(),
                   e.AsString().c_str());
    return MMCode(e);
  }
  return 0;
}
