// The restore road: OpenSpecific positions the tape at the start of the archive file with the
// given file marker (after checking the label or the cached read position on the first open),
// ReadFromMedia reads blocks up to its file mark.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_internal.h"

using namespace nttape;

int nt_fs_tape::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (!RequireDrive()) return -1;
  const bool reader = m_iMediaType == kMediaTypeReader;
  if (m_llFileNumber < 0) {
    m_bFileClosed = false;
    m_llFileNumber = 0;
    if (m_llReadCachedFM < 1) {
      if (OpenAndPrepareNtTapeFileSystem() != 0) {
        ErrorText(1, "Could not load the Tape VolId=%d", m_iVolId);
        if (!reader && m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
        return -1;
      }
    } else {
      m_iTrailerValidationMode = id->iTrailerValidationMode;
      if (m_pReserveMount != nullptr && m_pReserveMount->doesVolumeHaveHardwareEncryptedTrailers() != 0 &&
          m_iTrailerValidationMode == 1) {
        PrepareEncryptedTrailerCheck(id->HwEncryptionKey,
                                     "Failed to set hardware encryption Key on hardware device while validating  "
                                     "Encrypted chunk map trailer.");
      }
      if (VerifyPositionOnTapeForRestore() == 0) {
        Log(1, "Successfully validated the filemarker position on the media.. continuing to position to the required "
               "filemarker ");
        m_llFileNumber = m_llReadCachedFM;
      } else {
        Log(1, "Failed to validate the read cached filemarker location for restore Will continue by rewinding the "
               "tape completely ");
        if (OpenAndPrepareNtTapeFileSystem() != 0) {
          ErrorText(1, "Could not initialize the volume VolId=%d for restore", m_iVolId);
          if (!reader && m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
          return -1;
        }
        m_llFileNumber = 0;
        m_llReadCachedFM = -1;
      }
    }
  }
  return PositionForRead(id->llFileMarkerNumber);
}

// From the file number R, the start of file T: rewind for the first files, space forward over
// the files between, or space back R + 2 - T file marks and forward over one.
int nt_fs_tape::PositionForRead(long long fileMarker) {
  const long long t = fileMarker;
  if (t < 2) {
    m_iLastDriveResult = m_pDrive->rewindMedia();
    if (m_iLastDriveResult != 0) {
      ErrorText(1, "Error rewinding tape volid = %d", m_iVolId);
      const long long code = DriveError();
      Log(1, "Encountered the error %s while rewinding the tape", m_strDeviceError.c_str());
      m_strLastErrorMsg = m_strDeviceError;
      DisplayError(static_cast<unsigned long>(code), 0, "Failed to rewind the tape");
      MediaFSSetLastError(code);
      return FailPositioning(t);
    }
  } else if (m_llFileNumber + 1 < t) {
    const long long forward = t - 1 - m_llFileNumber;
    Log(1, "Forwarding by fileMarker=%d on the Tape volId=%d", static_cast<int>(forward), m_iVolId);
    m_iLastDriveResult = m_pDrive->spaceFileMarksForward(forward);
    if (m_iLastDriveResult != 0) {
      ErrorText(1, "Error seeking the filemarker = %ld on tape volid = %d", static_cast<long>(forward), m_iVolId);
      return FailPositioning(t);
    }
  } else {
    const int32_t back = static_cast<int32_t>(m_llFileNumber + 2 - t);
    Log(1, "Moving back by %ld on the Tape volId=%d", static_cast<long>(back), m_iVolId);
    m_iLastDriveResult = m_pDrive->spaceFileMarksBackward(back);
    if (m_iLastDriveResult != 0) {
      ErrorText(1, "Error moving back to filemarker = %d on tape volid = %d", back, m_iVolId);
      return FailPositioning(t);
    }
    m_iLastDriveResult = m_pDrive->spaceFileMarksForward(1);
    if (m_iLastDriveResult != 0) {
      ErrorText(1, "Error seeking the filemarker [1] on tape volid = %d", m_iVolId);
      return FailPositioning(t);
    }
  }

  m_bFileClosed = false;
  Log(1, "Ready to read from tape volId=%d", m_iVolId);
  m_llReadCachedFM = t;
  if (m_iMediaType != kMediaTypeReader && m_pVolInfo != nullptr) {
    long long occupied = 0;
    if (m_pVolInfo->setFileMarker(t, 2, occupied) != 0) {
      Log(1, "%s %d Failed to set the cached filemarker to [%d] of type restore ", kSource, __LINE__,
          static_cast<int>(m_llReadCachedFM));
    }
  }
  return 0;
}

int nt_fs_tape::FailPositioning(long long fileMarker) {
  const long long code = DriveError();
  MediaFSSetLastError(code);
  Log(1, "Encountered the error %s while seeking to a filemark on the tape ", m_strDeviceError.c_str());
  m_strLastErrorMsg = m_strDeviceError;
  DisplayError(static_cast<unsigned long>(code), 0, "Failed to set the tape position");
  ErrorText(1, "Could not position to the fileMarker=%ld on the Tape VolId=%d",
            static_cast<long>(fileMarker - 1 - m_llFileNumber), m_iVolId);
  if (m_iMediaType != kMediaTypeReader) {
    ApplySoftErrorRule(code, Road::Open);
    if (m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
  }
  MediaFSSetLastError(code);
  return -1;
}

int nt_fs_tape::ReadFromMedia(char* buf, long len) {
  if (m_bFileClosed) {
    ErrorText(-1, "Read occuring on file which is already closed or end of file marker detected");
    return -1;
  }
  if (!RequireDrive()) return -1;
  long long count = 0;
  m_iLastDriveResult = m_pDrive->readData(buf, len, count);
  if (m_iLastDriveResult == 0) return static_cast<int32_t>(count);

  const bool reader = m_iMediaType == kMediaTypeReader;
  const long long code = DriveError();
  Log(1, "Encountered the error %s while reading from the tape ", m_strDeviceError.c_str());
  SetLastError(code, m_strDeviceError.c_str());
  if (!reader) {
    Log(1, "Resetting the cache filemarker values in the database ");
    if (m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
  }
  if (code == kMMErrFileMark) {
    m_bFileClosed = true;
    ErrorText(1, "Encountered filemarker when reading for volid %d and filemark = %ld ", m_iVolId,
              static_cast<long>(m_llFileNumber));
    ++m_llFileNumber;
    return static_cast<int32_t>(count);
  }
  if (!reader) ApplySoftErrorRule(code, Road::Read);
  DisplayError(static_cast<unsigned long>(code), 0, "ReadFile from media failed");
  ErrorText(-1, "Read %lu bytes instead of %ld bytes at filemarker=%ld path=%s - Tape VolId=%d ",
            static_cast<unsigned long>(count), len, static_cast<long>(m_llFileNumber), m_szPath, m_iVolId);
  return -1;
}
