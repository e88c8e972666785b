// Set-up of the SCSI tape media: a usable drive object (re-created after a bus rescan), the drive
// library's process-wide flags, the drive's serial number, the reservation, the position monitor
// setting, and the re-initialisation of the read side.

#include <string>

#include "MediaFileSystem/nttape.h"
#include "platform/config.h"
#include "tape/nttape_roads.h"

using namespace nttape;

namespace {

constexpr int kMaxRescans = 2;
constexpr int kScsi3Tries = 3;
constexpr uint32_t kScsi3RetryPauseMs = 1000;

}  // namespace

int nt_fs_tape::InitSpecific() {
  m_bCleanOnCrc = false;
  if (m_iMediaType == kMediaTypeReader) return ReadPositionMonitorSetting();

  if (Routines::RequireInitRecords(*this) != 0) return -1;
  if (EnsureUsableDrive() != 0) return -1;

  Routines::SetLibraryFlags(*this, true);
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
  while (!Routines::HasDriveObject(*this)) {
    Log(1, "Could not instantiate a SCSITapeDrive object ");
    const long long code = Routines::DriveError(*this);
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

// 0 exact match, 1 partial match, -1 failure (last error set). A mismatch rescans the bus for the
// drive at most twice.
int nt_fs_tape::CheckSerialNumber() {
  for (int rescans = 0;;) {
    switch (Routines::MatchSerialNumber(*this)) {
      case Routines::Serial::Exact: return 0;
      case Routines::Serial::Partial: return 1;
      case Routines::Serial::Failed: return -1;
      case Routines::Serial::Mismatch: break;
    }
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
      const long long code = Routines::DriveError(*this);
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
  return Routines::ReserveScsi2(*this);
}

int nt_fs_tape::ReadPositionMonitorSetting() {
  if (Routines::InWriteMode(*this)) {
    m_bVerifyPosition = false;
    OZPlatformInfo info;
    long long value = 0;
    info.getNumber("ZovadAdeve", "nVerifyTapePosition", &value);
    if (value != 0) m_bVerifyPosition = true;
  }
  return 0;
}

int nt_fs_tape::ReInitializeMedia() {
  return Routines::ReInitialize(*this, [this] { return Construct(m_bDualMode); });
}
