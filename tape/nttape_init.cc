// Set-up of the SCSI tape media: a usable drive object (re-created after a bus rescan), the drive
// library's process-wide flags, the drive's serial number, the reservation, the position monitor
// setting, and the re-initialisation of the read side.

#include <string>

#include "MediaFileSystem/nttape.h"
#include "platform/config.h"
#include "tape/nttape_internal.h"

using namespace nttape;

namespace {

constexpr int kMaxRescans = 2;
constexpr int kScsi3Tries = 3;
constexpr uint32_t kScsi3RetryPauseMs = 1000;
// A drive's error text longer than this is replaced by a text of ours in the last error message.
constexpr size_t kMaxSerialErrorTextLength = 100;
// The drive type that passes any serial number check.
constexpr int32_t kDriveTypeSerialExempt = 4;

}  // namespace

int nt_fs_tape::InitSpecific() {
  m_bCleanOnCrc = false;
  if (m_iMediaType == kMediaTypeReader) return ReadPositionMonitorSetting();

  if (m_pOmlParams == nullptr) {
    Log(1, "m_pOMLParams object is invalid while checking for serial number");
    m_strDeviceError = "Serial number of the drive is missing that is needed to validate the drive";
    m_strLastErrorMsg = m_strDeviceError;
    return -1;
  }
  if (m_pDriveDetails == nullptr) {
    Log(1, "m_pDriveDetails object NULL");
    m_strDeviceError = "Scsi Update cannot be completed as the drive details are NULL";
    m_strLastErrorMsg = m_strDeviceError;
    return -1;
  }
  if (EnsureUsableDrive() != 0) return -1;

  SetLibraryFlags();
  const uint32_t flags = m_pOmlParams->m_uiFlags;
  m_bCleanOnCrc = (flags & OZMAOMLParams::kFlagCleanOnCrc) != 0;
  if (m_bCleanOnCrc) {
    Log(1, "The option to mark the drives as cleaning when CRC errors has been encountered has been selected ");
  } else {
    Log(1, "The option to mark the drives as cleaning when CRC errors has NOT been selected ");
  }

  // A partial match goes on to the reservation like an exact one: an unreserved drive could be
  // written by another host at the same time.
  if ((flags & OZMAOMLParams::kFlagCheckSerialNumber) != 0 && !m_pOmlParams->m_strSerialNumber.empty() &&
      CheckSerialNumber() < 0) {
    return -1;
  }
  if (Reserve() != 0) return -1;
  return ReadPositionMonitorSetting();
}

int nt_fs_tape::EnsureUsableDrive() {
  int rescans = 0;
  while (!HasDriveObject()) {
    Log(1, "Could not instantiate a SCSITapeDrive object ");
    const long long code = DriveError();
    Log(1, "Encounted the error %s while instantiating the SCSITapeDrive Object", m_strDeviceError.c_str());
    SetLastError(code, m_strDeviceError.c_str());
    if (!RescanForDrive()) return -1;
    if (++rescans == kMaxRescans) return -1;
    MediaFSSetLastError(0);
  }
  return 0;
}

// The rescan decides from the last error whether it is worth it; the media path is kept.
bool nt_fs_tape::RescanForDrive() {
  std::string path;
  if (checkAndDoScsiUpdate(m_pDriveDetails->iDriveControllerId, path, m_pDriveDetails->strNdmpDevice.c_str()) == 0) {
    return false;
  }
  delete m_pDrive;
  m_pDrive = OZScsiTapeDrive::instance(m_iTapeMediaType, path.c_str(), JobId(), m_iDriverMode, "", "", "", -1);
  Log(1, "Re-Created OzScsiTape Object after rescan..");
  return true;
}

void nt_fs_tape::SetLibraryFlags() {
  const uint32_t flags = m_pOmlParams->m_uiFlags;
  OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag100, (flags & OZMAOMLParams::kFlagLibraryFlag100Off) == 0);
  OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag10, (flags & OZMAOMLParams::kFlagLibraryFlag10Off) == 0);
  OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag1, true);
  OZPI_ZovadAdeve settings;
  settings.setFocus(OZPI_Focus::getFocus());
  if (settings.getSyncWriteFileMark() != 0) {
    OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlagSyncFileMarks, true);
  }
}

// 0 exact match, 1 partial match, -1 failure (last error set).
int nt_fs_tape::CheckSerialNumber() {
  const std::string& expected = m_pOmlParams->m_strSerialNumber;
  int rescans = 0;
  for (;;) {
    if (!HasDriveObject()) {
      Log(1, "SCSITapeDrive object is invalid while checking for serial number");
      return -1;
    }
    std::string serial;
    if (m_pDrive->getSerialNumber(serial) != 0) {
      MediaFSSetLastError(DriveError());
      Log(1, "Encountered the error %s while getting serial number from Drive", m_strDeviceError.c_str());
      m_strLastErrorMsg = m_strDeviceError.size() < kMaxSerialErrorTextLength
                              ? m_strDeviceError
                              : std::string("Failed to get Serial Number from Drive.");
      return -1;
    }
    if (m_pDrive->m_iDriveType == kDriveTypeSerialExempt || serial == expected) {
      Log(1, "Serial number %s for drive, access path- %s Matched successfully.", expected.c_str(), m_szPath);
      return 0;
    }
    if (!serial.empty() &&
        (serial.find(expected) != std::string::npos || expected.find(serial) != std::string::npos)) {
      Log(1, "Serial number for drive, access path- %s Matched Partially successfully.Expected [%s], Got [%s]",
          m_szPath, expected.c_str(), serial.c_str());
      return 1;
    }
    MediaFSSetLastError(kMMErrSerialMismatch);
    m_strDeviceError = "Serial Number of the drive is mismatched. The Drive Access Paths may have changed";
    Log(1, "%s", m_strDeviceError.c_str());
    Log(1, "For Drive access path- %s, Expected Serial Number [%s], Got [%s]", m_szPath, expected.c_str(),
        serial.c_str());
    MediaFSSetLastError(kMMErrSerialMismatch);
    m_strLastErrorMsg = m_strDeviceError;
    if (!RescanForDrive()) return -1;
    if (++rescans == kMaxRescans) return -1;
    MediaFSSetLastError(0);
  }
}

int nt_fs_tape::Reserve() {
  if ((m_pOmlParams->m_uiFlags & OZMAOMLParams::kFlagScsi3Reservation) != 0) {
    for (int attempt = 0; attempt < kScsi3Tries; ++attempt) {
      m_strReservationKey.clear();
      if (m_pDrive->doForcePR_Reserve(m_pOmlParams->m_iReservationB, m_pOmlParams->m_iReservationC,
                                      m_pOmlParams->m_iReservationA, m_strReservationKey) == 0) {
        Log(1, "Successfully completed SCSI3 reservation for drive accesspath %s. Reservation Key:(%s)", m_szPath,
            m_strReservationKey.c_str());
        return 0;
      }
      const long long code = DriveError();
      Log(1, "Failed to do SCSI3 reservation for drive accesspath %s. Error:(%s). Retrying...", m_szPath,
          m_strDeviceError.c_str());
      SetLastError(code, m_strDeviceError.c_str());
      XOSLEEP(kScsi3RetryPauseMs);
    }
    // No key is held: the destructor has nothing to release.
    m_strReservationKey.clear();
    Log(1, "Returning error due to SCSI3 reservation failure for drive accesspath %s. Error:(%s).", m_szPath,
        m_strDeviceError.c_str());
    return -1;
  }
  if ((m_pDriveDetails->uiReservationFlags & MediaFSDriveDetails::kReserveScsi2) != 0) {
    if (m_pDrive->doSCSI2Reserve() != 0) {
      const long long code = DriveError();
      Log(1, "Failed to do SCSI2 reservation for drive accesspath %s. Error:(%s).", m_szPath,
          m_strDeviceError.c_str());
      SetLastError(code, m_strDeviceError.c_str());
      return -1;
    }
    Log(1, "Successfully completed SCSI2 reservations for drive accesspath %s.", m_szPath);
  }
  return 0;
}

int nt_fs_tape::ReadPositionMonitorSetting() {
  if (InWriteMode()) {
    m_bVerifyPosition = false;
    OZPlatformInfo info;
    long long value = 0;
    info.getNumber("ZovadAdeve", "nVerifyTapePosition", &value);
    if (value != 0) m_bVerifyPosition = true;
  }
  return 0;
}

int nt_fs_tape::ReInitializeMedia() {
  if (InWriteMode()) return -1;
  m_llFileNumber = -1;
  DropDriveObject();
  if (Construct(m_bDualMode) != 0) {
    Log(1, "Failed to create a handle to the tape drive while re-initilizing ");
    return -1;
  }
  if (InitSpecific() != 0) {
    Log(1, "InitSpecfic failed while re-initializing the media ");
    return -1;
  }
  Log(1, "Successfully re-initialized the scsi tape drive object ");
  return 0;
}
