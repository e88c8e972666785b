// The tape routines of the drive object: its errors, the soft-error rule, the set-up steps both
// tape classes take alike and the media manager's accounting. Included by tape_routines.h.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/config.h"
#include "platform/onmedia_label.h"
#include "platform/string_format.h"
#include "platform/tape_drive.h"

namespace nttape {

// A drive's error text longer than this is replaced by a text of ours in the last error message.
inline constexpr size_t kMaxSerialErrorTextLength = 100;
// The drive type that passes any serial number check.
inline constexpr int32_t kDriveTypeSerialExempt = 4;

template <class Tape>
long long TapeRoutines<Tape>::DriveError(Tape& t) {
  if (t.m_pDrive == nullptr) {
    t.m_strDeviceError = StringFormat(kNoDriveObjectText, t.m_szPath);
    return kMMErrInvalidHandle;
  }
  std::string text;
  const int code = t.m_pDrive->getLastError(text);
  t.m_strDeviceError = text;
  return MMS2BaseError::OZScsiTapeErrorConvertToMMError(code);
}

template <class Tape>
long long TapeRoutines<Tape>::TakeDriveError(Tape& t) {
  const long long code = DriveError(t);
  t.SetLastError(code, t.m_strDeviceError.c_str());
  return code;
}

template <class Tape>
bool TapeRoutines<Tape>::RequireDrive(Tape& t) {
  if (t.m_pDrive != nullptr) return true;
  TakeDriveError(t);
  t.Log(1, "%s", t.m_strDeviceError.c_str());
  return false;
}

template <class Tape>
void TapeRoutines<Tape>::DropDriveObject(Tape& t) {
  if (t.m_pDrive == nullptr) return;
  t.Log(1, "Closing and deleting the SCSITapeDrive object ");
  t.closeDeviceHandle();
  delete t.m_pDrive;
  t.m_pDrive = nullptr;
}

template <class Tape>
void TapeRoutines<Tape>::ErrorText(Tape& t, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(t.m_szErrorText, sizeof(t.m_szErrorText), format, args);
  va_end(args);
  t.Log(level, "%s", t.m_szErrorText);
}

template <class Tape>
bool TapeRoutines<Tape>::InWriteMode(const Tape& t) {
  return t.m_bWriting || t.m_iDataMoverMode == kDataMoverModeBackup;
}

template <class Tape>
void TapeRoutines<Tape>::ApplySoftErrorRule(Tape& t, long long code, const SoftErrorRule& rule, bool cleanOnCrc) {
  if (rule.Counts(code)) {
    if (t.m_pVolInfo != nullptr) {
      t.Log(1, "%s", rule.volumeLine);
      if (rule.mediaIdFirst) t.m_pVolInfo->getMediaID();
      t.m_pVolInfo->incrSoftErrors(1, kSoftErrorKind);
    }
    if (t.m_pDriveInfo != nullptr) {
      t.Log(1, "%s", rule.driveLine);
      if (rule.mediaIdFirst) t.m_pDriveInfo->getMediaID();
      t.m_pDriveInfo->incrNumSoftErrs(1);
    }
    if (rule.cleaningLine == nullptr) return;
    if (code == kMMErrNeedsCleaning || (code == kMMErrCrc && cleanOnCrc)) {
      t.Log(1, "%s", rule.cleaningLine);
      if (t.m_pDriveInfo != nullptr) t.m_pDriveInfo->setDriveNeedsCleaning();
    } else {
      t.Log(1, "Will not mark the drive needs cleaning as option is not enabled ");
    }
  } else if (code == kMMErrMedium && rule.mediumErrors && t.m_pVolInfo != nullptr) {
    t.Log(1, "Incrementing the soft errors on Volume by 6 for MEDIUM_ERROR..");
    if (rule.mediaIdFirst) t.m_pVolInfo->getMediaID();
    t.m_pVolInfo->incrSoftErrors(kMediumErrorSoftErrors, kSoftErrorKind);
  }
}

template <class Tape>
int TapeRoutines<Tape>::RequireInitRecords(Tape& t) {
  if (t.m_pOmlParams == nullptr) {
    t.Log(1, "m_pOMLParams object is invalid while checking for serial number");
    t.m_strDeviceError = "Serial number of the drive is missing that is needed to validate the drive";
    t.m_strLastErrorMsg = t.m_strDeviceError;
    return -1;
  }
  if (t.m_pDriveDetails == nullptr) {
    t.Log(1, "m_pDriveDetails object NULL");
    t.m_strDeviceError = "Scsi Update cannot be completed as the drive details are NULL";
    t.m_strLastErrorMsg = t.m_strDeviceError;
    return -1;
  }
  return 0;
}

template <class Tape>
void TapeRoutines<Tape>::SetLibraryFlags(Tape& t, bool syncFileMarks) {
  const uint32_t flags = t.m_pOmlParams->m_uiFlags;
  OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag100, (flags & OZMAOMLParams::kFlagLibraryFlag100Off) == 0);
  OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag10, (flags & OZMAOMLParams::kFlagLibraryFlag10Off) == 0);
  OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag1, true);
  if (!syncFileMarks) return;
  OZPI_ZovadAdeve settings;
  settings.setFocus(OZPI_Focus::getFocus());
  if (settings.getSyncWriteFileMark() != 0) {
    OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlagSyncFileMarks, true);
  }
}

template <class Tape>
typename TapeRoutines<Tape>::Serial TapeRoutines<Tape>::MatchSerialNumber(Tape& t) {
  const std::string& expected = t.m_pOmlParams->m_strSerialNumber;
  if (!HasDriveObject(t)) {
    t.Log(1, "SCSITapeDrive object is invalid while checking for serial number");
    if (t.m_pDrive == nullptr) RequireDrive(t);
    return Serial::Failed;
  }
  std::string serial;
  if (t.m_pDrive->getSerialNumber(serial) != 0) {
    t.MediaFSSetLastError(DriveError(t));
    t.Log(1, "Encountered the error %s while getting serial number from Drive", t.m_strDeviceError.c_str());
    t.m_strLastErrorMsg = t.m_strDeviceError.size() < kMaxSerialErrorTextLength
                              ? t.m_strDeviceError
                              : std::string("Failed to get Serial Number from Drive.");
    return Serial::Failed;
  }
  if (t.m_pDrive->m_iDriveType == kDriveTypeSerialExempt || serial == expected) {
    t.Log(1, "Serial number %s for drive, access path- %s Matched successfully.", expected.c_str(), t.m_szPath);
    return Serial::Exact;
  }
  if (!serial.empty() && (serial.find(expected) != std::string::npos || expected.find(serial) != std::string::npos)) {
    t.Log(1, "Serial number for drive, access path- %s Matched Partially successfully.Expected [%s], Got [%s]",
          t.m_szPath, expected.c_str(), serial.c_str());
    return Serial::Partial;
  }
  t.MediaFSSetLastError(kMMErrSerialMismatch);
  t.m_strDeviceError = "Serial Number of the drive is mismatched. The Drive Access Paths may have changed";
  t.Log(1, "%s", t.m_strDeviceError.c_str());
  t.Log(1, "For Drive access path- %s, Expected Serial Number [%s], Got [%s]", t.m_szPath, expected.c_str(),
        serial.c_str());
  t.m_strLastErrorMsg = t.m_strDeviceError;
  return Serial::Mismatch;
}

template <class Tape>
int TapeRoutines<Tape>::ReserveScsi2(Tape& t) {
  if ((t.m_pDriveDetails->uiReservationFlags & MediaFSDriveDetails::kReserveScsi2) == 0) return 0;
  if (!RequireDrive(t)) return -1;
  if (t.m_pDrive->doSCSI2Reserve() != 0) {
    const long long code = DriveError(t);
    t.Log(1, "Failed to do SCSI2 reservation for drive accesspath %s. Error:(%s).", t.m_szPath,
          t.m_strDeviceError.c_str());
    t.SetLastError(code, t.m_strDeviceError.c_str());
    return -1;
  }
  t.Log(1, "Successfully completed SCSI2 reservations for drive accesspath %s.", t.m_szPath);
  return 0;
}

template <class Tape>
template <class Construct>
int TapeRoutines<Tape>::ReInitialize(Tape& t, Construct construct) {
  if (InWriteMode(t)) return -1;
  t.m_llFileNumber = -1;
  DropDriveObject(t);
  if (construct() != 0) {
    t.Log(1, "Failed to create a handle to the tape drive while re-initilizing ");
    return -1;
  }
  if (t.InitSpecific() != 0) {
    t.Log(1, "InitSpecfic failed while re-initializing the media ");
    return -1;
  }
  t.Log(1, "Successfully re-initialized the scsi tape drive object ");
  return 0;
}

template <class Tape>
int TapeRoutines<Tape>::UpdateNumPhysicalBytes(Tape& t, long long writeTime) {
  t.m_llPhysicalBytes += t.m_llFileMarkerSize;
  if (t.m_iMediaType == kMediaTypeReader) return 0;
  if (t.m_pVolInfo != nullptr) t.m_pVolInfo->incrNumPhysicalBytes(t.m_llPhysicalBytes, -1);
  const bool uncountedTrailer = t.m_iArchiveType == CHUNKMAP_TRAILER && !t.m_bCountTrailerTransfer;
  if (!uncountedTrailer && t.m_pDriveInfo != nullptr) {
    t.m_pDriveInfo->updateDataTransferInfo(t.m_llPhysicalBytes >> 20, 0,
                                           static_cast<int32_t>(static_cast<uint32_t>(writeTime)));
  }
  return 0;
}

template <class Tape>
long long TapeRoutines<Tape>::GetRemainingSpace(Tape& t) {
  if (!t.m_bCalculatedSpace) return t.m_bVolumeFull ? 0 : kUncalculatedRemainingSpace;
  if (t.m_llKBRemaining < 1) return 0;
  return t.m_llKBRemaining * 1024 - t.m_llPhysicalBytes;
}

}  // namespace nttape
