// The store's hold on the SIVolumeDB of one mount path: the volume lock it holds there and what a
// recall changed. Made with new and owned by the store; one record serves the calls for the
// primary copy, another the store's own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/silo.h"

struct CSIVolumeDB {
  explicit CSIVolumeDB(long long jobId) : m_DBClient(jobId) {}
  CSIVolumeDB(const CSIVolumeDB&) = delete;
  CSIVolumeDB& operator=(const CSIVolumeDB&) = delete;

  // A lock is held for `volId` (a resource id and the volume it was taken for).
  bool HoldsLockFor(uint32_t volId) const { return m_ullResId != 0 && m_uVolId == volId; }
  // The lock was given back (or never taken).
  void ForgetLock() {
    m_ullResId = 0;
    m_uVolId = 0;
    m_bIsVolumeOnDisk = false;
  }

  uint64_t m_ullResId = 0;         // resource id of the volume lock held; 0: none
  uint32_t m_uMountPathId = 0;     // mount path whose SIVolumeDB is open
  uint32_t m_uVolId = 0;           // volume of the lock; 0 after a release
  std::string m_strMountPath;      // up to and including "OZ_MAGNETIC"
  CSILODBClientApi m_DBClient;     // the SIVolumeDB client, made with the job id
  bool m_bLeaveReserved = false;   // a retrieval job still runs: the lock stays
  uint64_t m_hToken = 0;           // token under which releases impersonate
  uint32_t m_uNewMountPathId = 0;  // mount path the volume is read from now; 0: unchanged
  uint32_t m_uNewTHId = 0;         // installation id that came with it
  bool m_bIsVolumeOnDisk = false;  // found on disk under the held lock
};
