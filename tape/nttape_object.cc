// The SCSI tape media object: construction, the drive object, destruction with the release of the
// SCSI-3 reservation, and the slots that keep the media manager's accounting.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

nt_fs_tape::nt_fs_tape(_JobContext* ctx, int mediaType, const char* accessPath, bool dual) : media_fs(ctx) {
  OZScsiTapeDrive::SetUXScsiCallback();
  m_iTapeMediaType = mediaType;
  m_iLastDriveResult = 0;
  m_llMarkType = 4;
  m_llFileMarkerSize = 32768;
  m_bDualMode = false;
  const char* path = accessPath != nullptr ? accessPath : "";
  Log(1, "mediatype [%d], mountpath [%s]", mediaType, path);
  SetPath(path);
  // A missing or unusable drive object is dealt with by InitSpecific.
  Construct(dual);
  m_bIsTape = true;
  m_bFileClosed = false;
  m_strReservationKey.clear();
  m_bCleanOnCrc = false;
  m_bVerifyPosition = false;
  m_iLastTapePosition = -1;
}

nt_fs_tape::~nt_fs_tape() {
  if (!m_strReservationKey.empty() && m_pDrive != nullptr) {
    Log(1, "Releasing SCSI3 reservation for drive Reservation key[%s] ", m_strReservationKey.c_str());
    if (m_pDrive->doPR_Release(m_strReservationKey) == 0) {
      Log(1, "Successfully completed SCSI3 Release for drive accesspath %s. Reservation Key:(%s)", m_szPath,
          m_strReservationKey.c_str());
    } else {
      const long long code = Routines::DriveError(*this);
      Log(1, "Failed to release SCSI3 reservation for drive accesspath %s. reservation key[%s]. Error:(%s)",
          m_szPath, m_strReservationKey.c_str(), m_strDeviceError.c_str());
      MediaFSSetLastError(code);
    }
  }
  Routines::DropDriveObject(*this);
}

int nt_fs_tape::Construct(bool dual) {
  if (dual) {
    m_iDriverMode = OZScsiTapeDrive::kDriverModeDual;
    m_bDualMode = true;
    Log(1, "Creating the tape drive object in the dual mode to use native and pass thru drivers ");
  } else {
    m_iDriverMode = 0;
  }
  delete m_pDrive;
  m_pDrive = OZScsiTapeDrive::instance(m_iTapeMediaType, m_szPath, JobId(), m_iDriverMode, "", "", "", -1);
  if (!Routines::HasDriveObject(*this)) {
    Log(1, "Could not instantiate a SCSITapeDrive object ");
    const long long code = Routines::DriveError(*this);
    Log(1, "Encounted the error %s while instantiating the SCSITapeDrive Object", m_strDeviceError.c_str());
    SetLastError(code, m_strDeviceError.c_str());
    return -1;
  }
  m_llMarkType = m_pDrive->markType();
  m_llFileMarkerSize = m_pDrive->markSize();
  m_iLastDriveResult = 0;
  return 0;
}

void nt_fs_tape::closeDeviceHandle() {
  if (m_pDrive != nullptr) m_pDrive->closeDevice();
}

// ---- Slots of the media manager's accounting ---------------------------------------------------

int nt_fs_tape::WriteRetrySupported() { return 1; }

long nt_fs_tape::GetMarkType() const { return static_cast<long>(m_llMarkType); }

int nt_fs_tape::UpdateNumPhysicalBytes(long long writeTime) {
  return Routines::UpdateNumPhysicalBytes(*this, writeTime);
}

int nt_fs_tape::getFreeSpaceFromMedia(unsigned long long&) { return -1; }

long long nt_fs_tape::GetRemainingSpace() { return Routines::GetRemainingSpace(*this); }

int nt_fs_tape::InitCatalogOperationOnMedia(int) { return 0; }
