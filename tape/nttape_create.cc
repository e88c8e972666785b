// The backup road's start: CreateSpecific positions the tape at the append point for the first
// archive file after Init (cached position, or spacing from the beginning, with WORM detection)
// and sets the drive's compression; later archive files follow on where the last one ended.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_internal.h"

using namespace nttape;

int nt_fs_tape::CreateSpecific(const MediaFSArchiveFileId_t* id) {
  m_bFileClosed = false;
  if (m_llFileNumber == -1 && PositionForAppend(id) != 0) return -1;
  if (m_bVerifyPosition && MonitorPosition(true) != 0) return -1;
  m_bFileClosed = false;
  Log(1, "Ready to write to the filemarker=%d on the Tape volId=%d", static_cast<int>(m_llFileNumber), m_iVolId);
  return 0;
}

int nt_fs_tape::PositionForAppend(const MediaFSArchiveFileId_t* id) {
  if (!RequireDrive()) return -1;
  m_bVolumeFull = false;
  if (m_pVolInfo != nullptr) m_pVolInfo->setVolumeId(m_iVolId);
  if (CheckForDataBeingOverWritten() == -1) {
    Log(1, "Check for Data Being Over Written failed ");
    return -1;
  }
  long long files = m_pReserveMount != nullptr ? m_pReserveMount->getNumFilesOnVolume() : -1;
  m_llNumFiles = files;
  if (files < 0 && m_pVolInfo != nullptr) {
    m_pVolInfo->setVolumeId(m_iVolId);
    files = m_pVolInfo->getNumFiles();
    m_llNumFiles = files;
  }
  if (files < 1) {
    SetLastError(kMFSErrTapeWritePositionUnknown,
                 "Failed to determine the last write position on the media to continue the backup");
    Log(1, "Failed to get the filemark number from the volume table of the volume = %d ", m_iVolId);
    closeDeviceHandle();
    return -1;
  }
  Log(1, "Starting FM = %d. Hardware compression [%d]", static_cast<int>(files), GetHardwareComp() ? 1 : 0);
  m_llFileNumber = files;
  m_llNumFiles = files + 1;
  m_iTrailerValidationMode = id->iTrailerValidationMode;
  if (m_iTrailerValidationMode == 1) setHardwareEncryptionKey(id->HwEncryptionKey);

  if (OpenAndPrepareNtTapeFileSystem() != 0) {
    Log(1, "Could not open and prepare the Tape volId=%d", m_iVolId);
    return -1;
  }
  SetCompressionOnDrive(true);

  const bool wormDetection = m_pDriveDetails != nullptr &&
                             (m_pDriveDetails->uiOptionFlags & MediaFSDriveDetails::kOptionWormDetection) != 0;
  if (!wormDetection) Log(1, "Skipping WORM MEDIA Detection as per user selection for this ZovadAdeve...");

  if (m_llFileNumber == 1 || m_llWriteCachedFM == -1 || m_llFileNumber != m_llWriteCachedFM) {
    if (SpaceToAppendPoint(wormDetection) != 0) return -1;
  } else {
    // A failed WORM positioning leaves the cached position as it is.
    int wormType = 0;
    if (wormDetection && m_pDrive->isMediaWorm(wormType) != 0) PositionOnWorm(wormType);
    Log(1, "Using cached filemark =%ld. No seek is done", static_cast<long>(m_llWriteCachedFM));
  }
  SetCompressionOnDrive(false);
  return 0;
}

// The tape is at its beginning: space forward over the files, or find the end of WORM media.
int nt_fs_tape::SpaceToAppendPoint(bool wormDetection) {
  Log(1, "Forwarding by fileMarker=%d on the Tape volId=%d", static_cast<int>(m_llFileNumber), m_iVolId);
  int wormType = 0;
  if (wormDetection && m_pDrive->isMediaWorm(wormType) != 0) {
    m_iLastDriveResult = PositionOnWorm(wormType);
  } else {
    m_iLastDriveResult = m_pDrive->spaceFileMarksForward(m_llFileNumber);
  }
  if (m_iLastDriveResult == 0) return 0;

  const long long code = DriveError();
  Log(1, "Encountered the error %s while forwarding the tape ", m_strDeviceError.c_str());
  SetLastError(code, m_strDeviceError.c_str());
  DisplayError(static_cast<unsigned long>(code), 0, "Failed to set the tape position");
  ApplySoftErrorRule(code, Road::Create);
  // An empty tape has no file mark to space over.
  if (m_llFileNumber == 0 && code == kMMErrEndOfData) return 0;
  Log(1, "%s %d Could not position to the fileMarker=%d on the Tape volId=%d ", kSource, __LINE__,
      static_cast<int>(m_llFileNumber), m_iVolId);
  if (m_pVolInfo != nullptr) {
    m_pVolInfo->markFull(static_cast<int>(code), JobId());
    Log(1, "Marking the Tape as Full as it could not position the tape file marker");
  }
  return -1;
}

// WORM media are appended to at their end of data; a tape with more file marks than the volume
// record knows moves the file number there, and the next Close records the extra files too.
int nt_fs_tape::PositionOnWorm(int wormType) {
  if (m_pVolInfo != nullptr) m_pVolInfo->setMediaWorm(wormType);
  int marks = -1;
  const int rc = m_pDrive->locateWormEndOfData(static_cast<int32_t>(m_llFileNumber), marks);
  if (rc != 0) return rc;
  if (marks != m_llFileNumber) {
    if (marks > m_llFileNumber) m_iFilesPerClose = static_cast<int32_t>(marks + 1 - m_llFileNumber);
    m_llFileNumber = marks;
    Log(1, "Wrote Extra File Mark or Found new FM on the WORM tape after EOD on volume %d.Now there are %d FMs. FM "
           "Increment Count= %d",
        m_iVolId, marks, m_iFilesPerClose);
  }
  return 0;
}

// A failed compression setting never fails the create.
void nt_fs_tape::SetCompressionOnDrive(bool beforePositioning) {
  const bool on = GetHardwareComp();
  m_iLastDriveResult = m_pDrive->setCompression(on ? 1 : 0);
  if (m_iLastDriveResult == 0) return;
  const long long code = DriveError();
  if (beforePositioning) {
    Log(1, "Encounted the error %d (%s) while setting compression on the drive", m_iLastDriveResult,
        m_strDeviceError.c_str());
    m_strLastErrorMsg = m_strDeviceError;
  } else {
    Log(1, "Encountered the error %s while setting the compression on the drive ", m_strDeviceError.c_str());
  }
  if (!on) {
    ErrorText(1, "Error in resetting tape drive compression for the tape drive path=%s - Tape VolId=%d ", m_szPath,
              m_iVolId);
  } else if (beforePositioning) {
    ErrorText(1, "Error in setting tape drive compression for the tape drive path=%s - Tape VolId= %d ", m_szPath,
              m_iVolId);
  } else {
    ErrorText(1, "Error in setting tape drive compression for the tape drive path=%s - Tape VolId=%d ", m_szPath,
              m_iVolId);
  }
  MediaFSSetLastError(code);
  DisplayError(static_cast<unsigned long>(code), 0,
               "Failed to set Tape Drive Compression. This will not affect the backup");
}
