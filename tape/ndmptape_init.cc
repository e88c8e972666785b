// Set-up of the NDMP tape media: the drive library's process-wide flags, the drive's serial
// number and the reservation, each tried once (an NDMP drive is not found again by a bus rescan).

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::InitSpecific() {
  if (m_iMediaType == kMediaTypeReader) return 0;
  if (NdmpRoutines::RequireInitRecords(*this) != 0) return -1;
  NdmpRoutines::SetLibraryFlags(*this, false);

  // A partial match goes on to the reservation like an exact one: an unreserved drive could be
  // written by another host at the same time.
  const uint32_t flags = m_pOmlParams->m_uiFlags;
  if ((flags & OZMAOMLParams::kFlagCheckSerialNumber) != 0 && !m_pOmlParams->m_strSerialNumber.empty() &&
      CheckSerialNumber() < 0) {
    return -1;
  }
  return Reserve();
}

int ndmp_fs_tape::CheckSerialNumber() {
  switch (NdmpRoutines::MatchSerialNumber(*this)) {
    case NdmpRoutines::Serial::Exact: return 0;
    case NdmpRoutines::Serial::Partial: return 1;
    case NdmpRoutines::Serial::Failed:
    case NdmpRoutines::Serial::Mismatch: break;
  }
  return -1;
}

// The reservation's failure leaves the last error as it was: only its message carries the
// drive's text.
int ndmp_fs_tape::Reserve() {
  if ((m_pOmlParams->m_uiFlags & OZMAOMLParams::kFlagScsi3Reservation) == 0) {
    return NdmpRoutines::ReserveScsi2(*this);
  }
  if (!NdmpRoutines::RequireDrive(*this)) return -1;
  m_strReservationKey.clear();
  if (m_pDrive->doForcePR_Reserve(m_pOmlParams->m_iReservationB, m_pOmlParams->m_iReservationC,
                                  m_pOmlParams->m_iReservationA, m_strReservationKey) != 0) {
    // No key is held: the destructor has nothing to release.
    m_strReservationKey.clear();
    NdmpRoutines::DriveError(*this);
    Log(1, "Failed to do SCSI reservation for drive accesspath %s. Error:(%s)", m_szPath, m_strDeviceError.c_str());
    m_strLastErrorMsg = m_strDeviceError;
    return -1;
  }
  Log(1, "Successfully completed SCSI reservation for drive accesspath %s. Reservation Key:(%s)", m_szPath,
      m_strReservationKey.c_str());
  return 0;
}
