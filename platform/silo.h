// SILO: the SIVolumeDB of a mount path (CSILODBClientApi) and the media manager's SILO requests
// (OZMMIdxSIDBStoreInfo), with the host client id of OZMMmedAgentInfo.
//
// One in-process SILO holds what tests set up and read back (platform::Silo()):
// - the SIVolumeDB of each mount path (keyed by the mount path text the client opens it with):
//   volume records and volume locks. Read-only locks coexist; an upgrade to the exclusive lock is
//   refused while another lock of the volume is exclusive, and a new read-only lock is refused
//   (result 3, with a pending request id) while the volume is locked exclusively.
// - the management server's SILO view of each volume: SILO enabled or not, its status, its SILO
//   number, the installation's GUID and, for the recall, where the volume folder lies on disk and
//   where SILO keeps it. A recall request starts a retrieval job on the job manager stand-in that
//   follows the recall script on the fake clock; when a status query first finds it completed,
//   the volume folder is moved back from its SILO folder to its disk folder.
// Every call is recorded (platform::SiloCall) with its numeric arguments in order; any call can be
// answered with a scripted result instead (Fail), which then has no effect.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/media_manager.h"

// ---- SIVolumeDB records ---------------------------------------------------------------------

// Bits of SIVolumeInfo_t::VolState.
inline constexpr uint32_t kSIVolStateRecallNeeded = 0x1;  // the folder was removed from disk: recall it
inline constexpr uint32_t kSIVolStateInSilo = 0x2;        // backed up to SILO

// Masks of CSILODBClientApi::UpdateRecord.
inline constexpr uint32_t kSIVolUpdateState = 0x2;
inline constexpr uint32_t kSIVolUpdateAccessTime = 0x8;
inline constexpr uint32_t kSIVolUpdateNewMountPath = 0x10;

// Lock kinds.
inline constexpr uint32_t kSIVolLockReadOnly = 1;
inline constexpr uint32_t kSIVolLockExclusive = 2;

// Results of CSILODBClientApi::LockVolume besides 0 (granted).
inline constexpr int kSIVolLockRefused = 3;          // try again later; a pending request id may come back
inline constexpr int kSIVolLockGrantedCleaned = 5;   // granted after the SIVolumeDB cleaned the volume up

// The SIVolumeDB record of a volume (32 bytes).
struct SIVolumeInfo_t {
  uint32_t VolumeId = 0;        // 0
  uint32_t Reserved1 = 0;       // 4
  uint32_t VolState = 0;        // 8
  uint32_t Reserved2 = 0;       // 12
  uint64_t LastAccessTime = 0;  // 16
  uint32_t NewMountPathId = 0;  // 24
  uint32_t Reserved3 = 0;       // 28
};
static_assert(sizeof(SIVolumeInfo_t) == 32, "the SIVolumeDB record is 32 bytes");

// A volume lock request.
struct VolumeLockInfo {
  uint64_t ResourceId = 0;        // 0: out
  uint32_t VolumeId = 0;          // 8
  uint32_t Reserved1 = 0;         // 12
  uint32_t LockType = 0;          // 16
  uint32_t Reserved2 = 0;         // 20
  uint64_t PendingRequestId = 0;  // 24: in and out
  uint64_t Reserved3 = 0;         // 32
  uint64_t JobId = 0;             // 40
  uint64_t Reserved4 = 0;         // 48
  uint64_t Reserved5 = 0;         // 56
  uint32_t ClientId = 0;          // 64
  uint32_t Reserved6 = 0;         // 68
};
static_assert(sizeof(VolumeLockInfo) == 72, "the lock request is 72 bytes");

// The SIVolumeDB client of one mount path. Results: 0 success, non-zero failure unless told.
class CSILODBClientApi {
 public:
  explicit CSILODBClientApi(long long jobId);
  CSILODBClientApi(const CSILODBClientApi&) = delete;
  CSILODBClientApi& operator=(const CSILODBClientApi&) = delete;

  // 0 opened; 1 the mount path has no SIVolumeDB.
  int OpenDB(int tarnholdId, unsigned int mountPathId, const std::string& mountPath);
  // Non-zero when the SIVolumeDB is the SQL kind.
  int UsingSQLApi();
  // Creates the SIVolumeDB of the mount path and opens it.
  int Create(const std::string& mountPath);
  // Empties a damaged SIVolumeDB: every record and lock goes.
  int ReCreate();
  int IsCorrupted();
  int FindVol(uint32_t volId, SIVolumeInfo_t& info, bool& found);
  // Fails for a volume that has a record.
  int AddRecord(SIVolumeInfo_t& info);
  // Fields of `mask` from `info`, for the volume of the held lock `resId`.
  int UpdateRecord(uint64_t resId, SIVolumeInfo_t& info, uint32_t mask);
  // 0 granted with ResourceId filled; kSIVolLockRefused; kSIVolLockGrantedCleaned.
  int LockVolume(VolumeLockInfo& lock);
  int UpgradeVolumeLock(uint64_t resId, int kind);
  int UnlockVolume(uint64_t resId);
  int UpdateLockVolumeSiloJobId(uint64_t resId, long long siloJobId);

 private:
  long long m_jobId;
  std::string m_mountPath;  // empty until opened
};

// ---- The media manager's SILO requests ----------------------------------------------------------

struct MMGetSiloVolInfoReq {
  uint8_t Reserved1[32] = {};
  uint32_t VolumeId = 0;        // 32
  uint32_t InstallationId = 0;  // 36
  uint32_t MountPathId = 0;     // 40
  uint8_t Reserved2[60] = {};
};
static_assert(sizeof(MMGetSiloVolInfoReq) == 104, "the SILO query is 104 bytes");

struct MMRecallSiloVolReq {
  uint8_t Reserved1[32] = {};
  uint32_t VolumeId = 0;        // 32
  uint32_t MountPathId = 0;     // 36
  uint32_t InstallationId = 0;  // 40
  uint32_t SiloNumber = 0;      // 44
  uint8_t Reserved2[40] = {};
  const char* SiloPath = nullptr;  // 88
  uint8_t Reserved3[32] = {};
};
static_assert(sizeof(MMRecallSiloVolReq) == 128, "the recall request is 128 bytes");

struct MMRecallSiloVolResp {
  uint8_t Reserved1[8] = {};
  int32_t Error = 0;              // 8
  uint8_t Reserved2[20] = {};
  uint64_t RetrievalJobId = 0;    // 32
};
static_assert(sizeof(MMRecallSiloVolResp) == 40, "the recall answer is 40 bytes");

struct OZMASILODiskCleanupVolume {
  uint32_t VolumeId = 0;        // 0
  uint32_t SiloNumber = 0;      // 4
  uint32_t InstallationId = 0;  // 8
  uint8_t Reserved1[12] = {};
  uint64_t Time = 0;            // 24
  uint8_t Reserved2[32] = {};
};
static_assert(sizeof(OZMASILODiskCleanupVolume) == 64, "a volume of the status update is 64 bytes");

struct OZMASILODiskCleanupEntry {
  uint32_t MountPathId = 0;     // 0
  uint8_t Reserved1[4100] = {};
  uint32_t NumVolumes = 0;      // 4104
  uint32_t Reserved2 = 0;
  OZMASILODiskCleanupVolume* Volumes = nullptr;  // 4112
  uint8_t Reserved3[32] = {};
};
static_assert(sizeof(OZMASILODiskCleanupEntry) == 4152, "a mount path of the status update is 4152 bytes");

struct OZMASILODiskCleanupList {
  uint32_t NumEntries = 0;
  OZMASILODiskCleanupEntry* Entries = nullptr;
};

class OZMMIdxSIDBStoreInfo {
 public:
  explicit OZMMIdxSIDBStoreInfo(MLMMessageInstance* mlm) : m_mlm(mlm) {}
  // 0 with the answer; the answer's GUID text is new[]'d for the caller.
  int getSiloVolInfoReq(MMGetSiloVolInfoReq& req, MMGetSiloVolInfoResp& resp);
  // 0 with the retrieval job id in the answer; otherwise the answer carries the error.
  int recallSiloVolReq(MMRecallSiloVolReq& req, MMRecallSiloVolResp& resp);
  // The volumes are on disk again. -1 on failure; the new mount path and installation ids are 0
  // unless the management server moved the volume.
  int SetSILOVolumeStatusRequest(OZMASILODiskCleanupList* list, uint32_t& newMountPathId, uint32_t& newTarnholdId);

 private:
  MLMMessageInstance* m_mlm;
};

class OZMMmedAgentInfo {
 public:
  OZMMmedAgentInfo(const std::string& zovadAdeveName, MLMMessageInstance* mlm) : m_name(zovadAdeveName), m_mlm(mlm) {}
  uint32_t getHostClientId();

 private:
  std::string m_name;
  MLMMessageInstance* m_mlm;
};

namespace platform {

struct SiloCall {
  std::string op;                // "OpenDB", "LockVolume", "recallSiloVolReq", ...
  std::string mountPath;         // the SIVolumeDB's mount path; empty for the media manager's calls
  std::vector<long long> args;
};

struct SIVolumeLock {
  uint32_t volId = 0;
  uint32_t kind = kSIVolLockReadOnly;
  long long jobId = 0;
  uint32_t clientId = 0;
  long long siloJobId = 0;
};

struct SIVolumeDBState {
  bool corrupted = false;
  std::map<uint32_t, SIVolumeInfo_t> volumes;
  std::map<uint64_t, SIVolumeLock> locks;  // by resource id
  // The locks of a volume.
  std::vector<std::pair<uint64_t, SIVolumeLock>> LocksOf(uint32_t volId) const;
};

// What the management server knows of a volume's SILO copy.
struct SiloVolume {
  bool siloEnabled = true;
  uint32_t status = 0;        // 2 backed up to SILO, 3 also moved there
  uint32_t mountPathId = 0;
  uint32_t installationId = 0;
  uint32_t siloNumber = 0;
  uint32_t copyId = 0;
  uint32_t newMountPathId = 0;
  std::string guid;           // empty: the answer carries no GUID text
  std::string diskFolder;     // the volume folder a recall brings back
  std::string siloFolder;     // where SILO keeps it meanwhile
};

// A volume status update the management server took.
struct SiloStatusUpdate {
  uint32_t mountPathId = 0;
  uint32_t volumeId = 0;
  uint32_t siloNumber = 0;
  uint32_t installationId = 0;
  uint64_t time = 0;
};

struct SiloState {
  std::map<std::string, SIVolumeDBState> databases;  // by mount path
  bool sqlApi = true;                                // what UsingSQLApi answers
  std::map<uint32_t, SiloVolume> volumes;            // the management server's view
  // The statuses of every retrieval job a recall starts, on the fake clock from the request on:
  // (milliseconds after the request, status). Completed (4) after ten minutes unless changed.
  std::vector<std::pair<long long, int>> recallScript{{0, 1}, {600000, 4}};
  int recallError = 0;                // non-zero: recall requests are refused with it
  long long nextRetrievalJobId = 9000;
  uint32_t hostClientId = 77;
  uint32_t statusNewMountPathId = 0;  // what SetSILOVolumeStatusRequest answers
  uint32_t statusNewTarnholdId = 0;
  std::vector<SiloStatusUpdate> statusUpdates;
  std::vector<std::string> recallPaths;  // the SILO path of each recall request
  uint64_t nextResourceId = 100;
  uint64_t nextPendingId = 500;
  std::vector<SiloCall> calls;
  struct Scripted {
    int result = -1;
    int times = 1;
  };
  std::map<std::string, Scripted> failures;

  // The next `times` calls of `op` (-1: all) answer `result` without effect.
  void Fail(const std::string& op, int result, int times = 1) { failures[op] = {result, times}; }
  std::vector<SiloCall> CallsOf(const std::string& op) const;
  size_t Count(const std::string& op) const { return CallsOf(op).size(); }
};

SiloState& Silo();
std::mutex& SiloMutex();  // held by the stand-ins while they read or write Silo()
void ResetSilo();

}  // namespace platform
