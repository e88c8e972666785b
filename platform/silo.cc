#include "platform/silo.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/job_manager.h"
#include "platform/threads.h"

namespace platform {

SiloState& Silo() {
  static SiloState* state = new SiloState;
  return *state;
}

std::mutex& SiloMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void ResetSilo() {
  std::lock_guard<std::mutex> lock(SiloMutex());
  Silo() = SiloState();
}

std::vector<SiloCall> SiloState::CallsOf(const std::string& op) const {
  std::vector<SiloCall> found;
  for (const SiloCall& c : calls) {
    if (c.op == op) found.push_back(c);
  }
  return found;
}

std::vector<std::pair<uint64_t, SIVolumeLock>> SIVolumeDBState::LocksOf(uint32_t volId) const {
  std::vector<std::pair<uint64_t, SIVolumeLock>> found;
  for (const auto& [resId, lock] : locks) {
    if (lock.volId == volId) found.emplace_back(resId, lock);
  }
  return found;
}

}  // namespace platform

namespace {

using platform::Silo;
using Guard = std::lock_guard<std::mutex>;

// Errors of the stand-in's own refusals.
constexpr int kNotOpen = 2;
constexpr int kNoSuchLock = 4;
constexpr int kExists = 6;

// Records one call (under the caller's lock). True when a scripted result answers it instead.
bool Record(const char* op, const std::string& mountPath, std::vector<long long> args, int& scripted) {
  platform::SiloState& s = Silo();
  s.calls.push_back(platform::SiloCall{op, mountPath, std::move(args)});
  auto it = s.failures.find(op);
  if (it == s.failures.end() || it->second.times == 0) return false;
  scripted = it->second.result;
  if (it->second.times > 0 && --it->second.times == 0) s.failures.erase(it);
  return true;
}

platform::SIVolumeDBState* Database(const std::string& mountPath) {
  auto it = Silo().databases.find(mountPath);
  return it == Silo().databases.end() ? nullptr : &it->second;
}

bool ExclusivelyLockedByOther(const platform::SIVolumeDBState& db, uint32_t volId, uint64_t self) {
  for (const auto& [resId, lock] : db.LocksOf(volId)) {
    if (resId != self && lock.kind == kSIVolLockExclusive) return true;
  }
  return false;
}

// A retrieval job brings its volume folder back from SILO when it completes.
void MoveBack(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ec);
  std::filesystem::rename(from, to, ec);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SIVolumeDB client

CSILODBClientApi::CSILODBClientApi(long long jobId) : m_jobId(jobId) {}

int CSILODBClientApi::OpenDB(int tarnholdId, unsigned int mountPathId, const std::string& mountPath) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("OpenDB", mountPath, {tarnholdId, mountPathId}, r)) return r;
  if (Database(mountPath) == nullptr) return 1;
  m_mountPath = mountPath;
  return 0;
}

int CSILODBClientApi::UsingSQLApi() {
  Guard g(platform::SiloMutex());
  return Silo().sqlApi ? 1 : 0;
}

int CSILODBClientApi::Create(const std::string& mountPath) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("Create", mountPath, {}, r)) return r;
  Silo().databases[mountPath];
  m_mountPath = mountPath;
  return 0;
}

int CSILODBClientApi::ReCreate() {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("ReCreate", m_mountPath, {}, r)) return r;
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  *db = platform::SIVolumeDBState();
  return 0;
}

int CSILODBClientApi::IsCorrupted() {
  Guard g(platform::SiloMutex());
  platform::SIVolumeDBState* db = Database(m_mountPath);
  return db != nullptr && db->corrupted ? 1 : 0;
}

int CSILODBClientApi::FindVol(uint32_t volId, SIVolumeInfo_t& info, bool& found) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("FindVol", m_mountPath, {volId}, r)) return r;
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  auto it = db->volumes.find(volId);
  found = it != db->volumes.end();
  if (found) info = it->second;
  return 0;
}

int CSILODBClientApi::AddRecord(SIVolumeInfo_t& info) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("AddRecord", m_mountPath, {info.VolumeId, info.VolState, info.NewMountPathId}, r)) return r;
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  if (!db->volumes.emplace(info.VolumeId, info).second) return kExists;
  return 0;
}

int CSILODBClientApi::UpdateRecord(uint64_t resId, SIVolumeInfo_t& info, uint32_t mask) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("UpdateRecord", m_mountPath,
             {static_cast<long long>(resId), info.VolumeId, info.VolState, info.NewMountPathId, mask}, r)) {
    return r;
  }
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  auto lock = db->locks.find(resId);
  if (lock == db->locks.end() || lock->second.volId != info.VolumeId) return kNoSuchLock;
  SIVolumeInfo_t& rec = db->volumes[info.VolumeId];
  rec.VolumeId = info.VolumeId;
  if (mask & kSIVolUpdateState) rec.VolState = info.VolState;
  if (mask & kSIVolUpdateAccessTime) rec.LastAccessTime = info.LastAccessTime;
  if (mask & kSIVolUpdateNewMountPath) rec.NewMountPathId = info.NewMountPathId;
  return 0;
}

int CSILODBClientApi::LockVolume(VolumeLockInfo& lock) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("LockVolume", m_mountPath,
             {lock.VolumeId, lock.LockType, static_cast<long long>(lock.PendingRequestId),
              static_cast<long long>(lock.JobId), lock.ClientId},
             r)) {
    if (r == kSIVolLockRefused && lock.PendingRequestId == 0) lock.PendingRequestId = Silo().nextPendingId++;
    return r;
  }
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  if (ExclusivelyLockedByOther(*db, lock.VolumeId, 0)) {
    if (lock.PendingRequestId == 0) lock.PendingRequestId = Silo().nextPendingId++;
    return kSIVolLockRefused;
  }
  lock.ResourceId = Silo().nextResourceId++;
  db->locks[lock.ResourceId] =
      platform::SIVolumeLock{lock.VolumeId, lock.LockType, static_cast<long long>(lock.JobId), lock.ClientId, 0};
  return 0;
}

int CSILODBClientApi::UpgradeVolumeLock(uint64_t resId, int kind) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("UpgradeVolumeLock", m_mountPath, {static_cast<long long>(resId), kind}, r)) return r;
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  auto it = db->locks.find(resId);
  if (it == db->locks.end()) return kNoSuchLock;
  if (ExclusivelyLockedByOther(*db, it->second.volId, resId)) return kSIVolLockRefused;
  it->second.kind = static_cast<uint32_t>(kind);
  return 0;
}

int CSILODBClientApi::UnlockVolume(uint64_t resId) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("UnlockVolume", m_mountPath, {static_cast<long long>(resId)}, r)) return r;
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  return db->locks.erase(resId) == 1 ? 0 : kNoSuchLock;
}

int CSILODBClientApi::UpdateLockVolumeSiloJobId(uint64_t resId, long long siloJobId) {
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("UpdateLockVolumeSiloJobId", m_mountPath, {static_cast<long long>(resId), siloJobId}, r)) return r;
  platform::SIVolumeDBState* db = Database(m_mountPath);
  if (db == nullptr) return kNotOpen;
  auto it = db->locks.find(resId);
  if (it == db->locks.end()) return kNoSuchLock;
  it->second.siloJobId = siloJobId;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The media manager's SILO requests

int OZMMIdxSIDBStoreInfo::getSiloVolInfoReq(MMGetSiloVolInfoReq& req, MMGetSiloVolInfoResp& resp) {
  (void)m_mlm;
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("getSiloVolInfoReq", "", {req.VolumeId, req.InstallationId, req.MountPathId}, r)) return r;
  resp.VolumeId = req.VolumeId;
  resp.MountPathId = req.MountPathId;
  resp.InstallationId = req.InstallationId;
  auto it = Silo().volumes.find(req.VolumeId);
  if (it == Silo().volumes.end()) return 0;  // a copy without SILO
  const platform::SiloVolume& v = it->second;
  if (v.mountPathId != 0) resp.MountPathId = v.mountPathId;
  if (v.installationId != 0) resp.InstallationId = v.installationId;
  resp.SiloNumber = v.siloNumber;
  resp.CopyId = v.copyId;
  resp.SiloEnabled = v.siloEnabled ? 1 : 0;
  resp.VolumeStatus = v.status;
  resp.NewMountPathId = v.newMountPathId;
  if (!v.guid.empty()) {
    resp.InstallationGuid = new char[v.guid.size() + 1];
    std::memcpy(resp.InstallationGuid, v.guid.c_str(), v.guid.size() + 1);
  }
  return 0;
}

int OZMMIdxSIDBStoreInfo::recallSiloVolReq(MMRecallSiloVolReq& req, MMRecallSiloVolResp& resp) {
  Guard g(platform::SiloMutex());
  platform::SiloState& s = Silo();
  int r = 0;
  if (Record("recallSiloVolReq", "", {req.VolumeId, req.MountPathId, req.InstallationId, req.SiloNumber}, r)) {
    resp.Error = r;
    return r;
  }
  s.recallPaths.push_back(req.SiloPath != nullptr ? req.SiloPath : "");
  if (s.recallError != 0) {
    resp.Error = s.recallError;
    return s.recallError;
  }
  const long long jobId = s.nextRetrievalJobId++;
  resp.Error = 0;
  resp.RetrievalJobId = static_cast<uint64_t>(jobId);
  std::string from, to;
  if (auto it = s.volumes.find(req.VolumeId); it != s.volumes.end()) {
    from = it->second.siloFolder;
    to = it->second.diskFolder;
  }
  const long long start = platform::NowMs();
  std::vector<std::pair<long long, int>> timeline;
  for (const auto& [after, status] : s.recallScript) timeline.emplace_back(start + after, status);
  Guard jobs(platform::JobsMutex());
  platform::Jobs().jobTimeline[jobId] = std::move(timeline);
  platform::Jobs().onJobCompleted[jobId] = [from, to] { MoveBack(from, to); };
  return 0;
}

int OZMMIdxSIDBStoreInfo::SetSILOVolumeStatusRequest(OZMASILODiskCleanupList* list, uint32_t& newMountPathId,
                                                     uint32_t& newTarnholdId) {
  Guard g(platform::SiloMutex());
  platform::SiloState& s = Silo();
  const OZMASILODiskCleanupEntry* entry = list != nullptr && list->NumEntries > 0 ? list->Entries : nullptr;
  const OZMASILODiskCleanupVolume* vol =
      entry != nullptr && entry->NumVolumes > 0 ? entry->Volumes : nullptr;
  int r = 0;
  if (Record("SetSILOVolumeStatusRequest", "",
             {entry ? entry->MountPathId : 0, vol ? vol->VolumeId : 0, vol ? vol->SiloNumber : 0,
              vol ? vol->InstallationId : 0},
             r)) {
    return r;
  }
  if (vol == nullptr) return -1;
  s.statusUpdates.push_back({entry->MountPathId, vol->VolumeId, vol->SiloNumber, vol->InstallationId, vol->Time});
  newMountPathId = s.statusNewMountPathId;
  newTarnholdId = s.statusNewTarnholdId;
  return 0;
}

uint32_t OZMMmedAgentInfo::getHostClientId() {
  (void)m_mlm;
  Guard g(platform::SiloMutex());
  int r = 0;
  if (Record("getHostClientId", "", {}, r)) return static_cast<uint32_t>(r);
  return Silo().hostClientId;
}
