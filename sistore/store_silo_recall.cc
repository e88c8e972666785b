// The SILO retrieval job: the management server is asked for a volume's SILO information and to
// start a job that brings the volume folder back from tape; the store records the job with the
// volume's lock, puts the restore job on hold under a pending cause, polls the retrieval job until
// it ends, and tells the management server that the volume is on disk again.
//
// The restore job's thread waits here: a minute before the first poll, two minutes between polls,
// for as long as both jobs run. A retrieval job that is still running when the restore job stops
// keeps the volume's lock reserved, so that nobody else reads the half-restored folder.

#include <cstdint>
#include <cstring>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "sistore/silo_volume_db.h"

namespace {

const char kRecallOp[] = "SingleInstancer_FS::RecallVolumeFromTape";

constexpr uint32_t kFirstPollWaitMs = 60000;
constexpr uint32_t kPollWaitMs = 120000;
constexpr int kJobStateRunning = 1;
constexpr int kJobStateWaiting = 3;
constexpr int kPendingSiloRetrieval = 0x2800006b;
constexpr int kPendingSiloRetrievalFailed = 0x2800006c;
constexpr int kPendingCauseSeconds = 300;

bool JobRunning(int status) { return status == 1 || status == 3; }
bool JobCompleted(int status) { return status == 4 || status == 9; }
// Statuses of a job that ended without completing: nothing of it runs any more.
bool JobEnded(int status) {
  for (int ended : {0, 6, 10, 11, 12, 13, 15, 18}) {
    if (status == ended) return true;
  }
  return false;
}

// The SILO path of a volume as the recall request names it.
std::string SiloPath(const MMGetSiloVolInfoResp& info, unsigned int volId) {
  return std::string("\\OZSITape\\TARNHOLD_") + info.InstallationGuid + "\\SILO_" + std::to_string(info.SiloNumber) +
         "\\MPATHID_" + std::to_string(info.MountPathId) + "\\V_" + std::to_string(volId) + "\\";
}

// The job's arguments of both pending causes: the retrieval job and the mount path.
void AddRetrievalArguments(OZJobClient& client, uint64_t retrievalJobId, const std::string& mountPath) {
  unsigned char littleEndian[8];
  for (int i = 0; i < 8; ++i) littleEndian[i] = static_cast<unsigned char>(retrievalJobId >> (8 * i));
  client.addArgument(littleEndian, EvArgInt64LE);
  client.addArgument(mountPath.c_str(), EvArgText);
}

}  // namespace

bool SingleInstancer_FS::QuerySILOVolumeInfoFromHM(unsigned int volId, int thId, unsigned int mountPathId) {
  delete[] m_SiloVolInfo.InstallationGuid;
  m_SiloVolInfo = MMGetSiloVolInfoResp();
  MMGetSiloVolInfoReq request;
  request.VolumeId = volId;
  request.InstallationId = static_cast<uint32_t>(thId);
  request.MountPathId = mountPathId;
  if (OZMMIdxSIDBStoreInfo(m_pMlm).getSiloVolInfoReq(request, m_SiloVolInfo) != 0) {
    Log(1, "Failed to query HM to get information about volume [%d], tarnholdId [%d], mountPathId [%d] ", volId, thId,
        mountPathId);
    return false;
  }
  return true;
}

int SingleInstancer_FS::TellSiloVolumeOnDisk(unsigned int volId, unsigned int siloNumber,
                                             unsigned int& newMountPathId, unsigned int& newThId) {
  OZMASILODiskCleanupVolume volume;
  volume.VolumeId = volId;
  volume.SiloNumber = siloNumber;
  volume.InstallationId = m_SiloVolInfo.InstallationId;
  volume.Time = static_cast<uint64_t>(MDTime().seconds());
  auto entry = std::make_unique<OZMASILODiskCleanupEntry>();
  entry->MountPathId = m_SiloVolInfo.MountPathId;
  entry->NumVolumes = 1;
  entry->Volumes = &volume;
  OZMASILODiskCleanupList list;
  list.NumEntries = 1;
  list.Entries = entry.get();
  uint32_t newMountPath = 0, newTh = 0;
  const int rc = OZMMIdxSIDBStoreInfo(m_pMlm).SetSILOVolumeStatusRequest(&list, newMountPath, newTh);
  newMountPathId = newMountPath;
  newThId = newTh;
  return rc;
}

bool SingleInstancer_FS::RecallVolumeFromTape(std::string mountPath, unsigned long long chunkId, unsigned int volId,
                                              int thId, unsigned int mountPathId, bool primary) {
  (void)chunkId;
  ozassert(m_iIsTapeSI == 1, "m_iIsTapeSI == 1", "SingleInstancerFS", kRecallOp, __LINE__);
  if (m_SiloVolInfo.VolumeId != volId && !QuerySILOVolumeInfoFromHM(volId, thId, mountPathId)) {
    Log(1, "QuerySILOVolumeInfoFromHM () failed for volume [%d].", volId);
    return false;
  }
  if (m_SiloVolInfo.InstallationGuid == nullptr) {
    Log(1, "thGUID returned from HM for volume [%d] is null.", volId);
    return false;
  }

  const std::string siloPath = SiloPath(m_SiloVolInfo, volId);
  MMRecallSiloVolReq request;
  request.VolumeId = volId;
  request.MountPathId = m_SiloVolInfo.MountPathId;
  request.InstallationId = m_SiloVolInfo.InstallationId;
  request.SiloNumber = m_SiloVolInfo.SiloNumber;
  request.SiloPath = siloPath.c_str();
  Log(1, "RETRIEVING SILO VOLUME [%d], MPID [%d], TARNHOLDID [%d], PATH [%s].", volId, m_SiloVolInfo.MountPathId,
      m_SiloVolInfo.InstallationId, mountPath.c_str());
  MMRecallSiloVolResp response;
  if (OZMMIdxSIDBStoreInfo(m_pMlm).recallSiloVolReq(request, response) != 0) {
    MediaFSSetLastError(response.Error);
    Log(1, "Failed to Retrieve Silo volume [%d] on path [%s] Error [%d]", volId, mountPath.c_str(), response.Error);
    return false;
  }
  const uint64_t retrievalJobId = response.RetrievalJobId;

  CSIVolumeDB* record = primary ? m_pPrimarySIVolDB : m_pSecondarySIVolDB;
  if (record == nullptr) {
    Log(1, "%s: Error CSIVolumeDB handle is invalid for volume [%d] before updating SILO Job ID in SI Volume Lock DB. "
        "bPrimary=%s.", kRecallOp, volId, primary ? "true" : "false");
    return false;
  }
  if (const int rc = record->m_DBClient.UpdateLockVolumeSiloJobId(record->m_ullResId,
                                                                  static_cast<long long>(retrievalJobId));
      rc != 0) {
    Log(1, "%s: Failed to update SILO Job ID for volume [%d] in SIVolumeDB. ResId = [%llu], iRetCode = [%d].",
        kRecallOp, volId, static_cast<unsigned long long>(record->m_ullResId), rc);
    return false;
  }
  Log(1, "%s: Updated SILO Job ID to %lld for volume [%d] in SIVolumeDB. ResId = [%llu].", kRecallOp,
      static_cast<long long>(retrievalJobId), volId, static_cast<unsigned long long>(record->m_ullResId));

  const std::vector<long long> jobs{JobId()};
  if (m_pSiloJobClient == nullptr) {
    m_pSiloJobClient = new OZJobClient;
    if (m_strHubmasterName.empty() && GetHubmasterName(m_strHubmasterName) == 0) {
      Log(1, "%s %d Failed to lookup HM Host Name from registry.", kRecallOp, __LINE__);
    }
    if (m_pSiloJobClient->init(m_strHubmasterName.c_str(), OZS_PLATFORM_UNIX, 0) == 0) {
      Log(1, "Failed to initialize JobClient using Hm Name %s.", m_strHubmasterName.c_str());
      delete m_pSiloJobClient;
      m_pSiloJobClient = nullptr;
      return false;
    }
  }
  // The status queries need the query object that the volume check makes before its first wait.
  if (!EnsureSiloJobQuery(kRecallOp)) return false;

  OZJobClient& client = *m_pSiloJobClient;
  client.setJobId(JobId());
  if (client.setJobState(kJobStateWaiting, jobs, false) == 0) {
    Log(1, "Failed to Set the job state to waiting.. Will Continue.. ");
  }
  AddRetrievalArguments(client, retrievalJobId, mountPath);
  if (client.setPendingCause(kPendingSiloRetrieval, jobs, true, kPendingCauseSeconds, 0, 0, 0, false, 0, 0, 0, 0) == 0) {
    Log(1, "Failed to Set the job waiting reason.. Will Continue.. ");
  }

  Log(1, "Waiting for SILO Retrieval job id %lld for SILO Volume id [%d], path [%s] to complete.",
      static_cast<long long>(retrievalJobId), volId, mountPath.c_str());
  XOSLEEP(kFirstPollWaitMs);
  for (;;) {
    long long polled = static_cast<long long>(retrievalJobId);
    const int status = m_pSiloJobQuery->GetJobStatus(polled);
    if (JobCompleted(status)) break;
    if (JobRunning(status)) {
      XOSLEEP(kPollWaitMs);
      long long restoreJob = JobId();
      const int own = m_pSiloJobQuery->GetJobStatus(restoreJob);
      if (JobRunning(own)) continue;
      Log(1, "Job Status for Restore Job %lld = [%d]. Returning failure.", JobId(), own);
      Log(1, "SILO Retrieval job %lld still active. Leaving Vol [%d] reserved in SIVolumeDB.",
          static_cast<long long>(retrievalJobId), volId);
      record->m_bLeaveReserved = true;
      return false;
    }
    Log(1, "After starting a new retrieval job %lld for volume id [%d] on path [%s], OZJobQuery object returned status "
        "[%d].", static_cast<long long>(retrievalJobId), volId, mountPath.c_str(), status);
    if (!JobEnded(status)) {
      Log(1, "SILO Retrieval job %lld still active on HM with status [%d]. Leaving Vol [%d] reserved in SIVolumeDB.",
          static_cast<long long>(retrievalJobId), status, volId);
      record->m_bLeaveReserved = true;
    }
    AddRetrievalArguments(client, retrievalJobId, mountPath);
    if (client.setPendingCause(kPendingSiloRetrievalFailed, jobs, true, kPendingCauseSeconds, 0, 0, 0, false, 0, 0, 0,
                               0) == 0) {
      Log(1, "Failed to Set the job pending reason.. Will Continue.. ");
    }
    return false;
  }

  Log(1, "SILO Retrieval job id %lld for volume id [%d] on path [%s] completed.", static_cast<long long>(retrievalJobId),
      volId, mountPath.c_str());
  if (client.setJobState(kJobStateRunning, jobs, false) == 0) {
    Log(1, "Failed to Set the job state to running.. Will Continue.. ");
  }
  if (client.resetPendingCause(jobs, 0, 0) == 0) Log(1, "Failed to Set reset Job Pending reason.. Will Continue.. ");

  unsigned int newMountPathId = 0, newThId = 0;
  if (TellSiloVolumeOnDisk(volId, m_SiloVolInfo.SiloNumber, newMountPathId, newThId) == -1) {
    Log(1, "Failed to mark SILO Volume status as ON_DISK in HM DB after SILO retrival.");
    return false;
  }
  if (newMountPathId != 0) {
    record->m_uNewMountPathId = newMountPathId;
    record->m_uNewTHId = newThId;
    Log(1, "Volume [%d], MPID [%d]  ===>  NEW MPID [%d] NEW THID [%d]", volId, m_SiloVolInfo.MountPathId,
        newMountPathId, newThId);
  }
  return true;
}
