// The backup road's blocks and end: WriteToMedia with the logical end of the tape (the rest of a
// cut block is written once more, the volume is marked full and the chunk spans to the next
// tape) and the classification of write errors; CloseSpecific with the one file mark.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_internal.h"

using namespace nttape;

int nt_fs_tape::WriteToMedia(const char* buf, long len, int* eom) {
  m_bCloseChunk = false;
  m_llBytesAtEOM = 0;
  *eom = 0;
  if (len == 0) {
    ErrorText(1, "Request to write zero bytes - Tape VolId=%d", m_iVolId);
    return 0;
  }
  if (!RequireDrive()) return -1;

  long long pass = len;  // bytes of the current pass
  const char* at = buf;
  for (;;) {
    long long count = 0;
    m_iLastDriveResult = m_pDrive->writeData(at, static_cast<long>(pass), count);
    m_llBytesAtEOM += count;
    at += count;

    if (m_iLastDriveResult == 0) {
      if (*eom == 1) {
        m_bCloseChunk = true;
        return -1;
      }
      if (m_llBytesAtEOM == static_cast<int32_t>(len)) return static_cast<int>(count);
      ErrorText(-1, "Wrote %lu bytes instead of %ld bytes at filemarker=%ld path=%s - Tape VolId=%d",
                static_cast<unsigned long>(count), static_cast<long>(pass), static_cast<long>(m_llFileNumber),
                m_szPath, m_iVolId);
      return static_cast<int>(count);
    }

    const long long code = DriveError();
    if (code != kMMErrEarlyWarning) return WriteFailure(code, count, pass, *eom == 1);

    m_llWriteCachedFM = -1;
    if (m_pVolInfo != nullptr) {
      m_pVolInfo->resetFileMarker(0);
      if (!m_bVolumeFull) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
    }
    if (count == pass) {
      ErrorText(1,
                "Logical End of Media encountered while writing at fileMarker=%ld. path=%s. VolId=%d bytes_written "
                "%lu. Will span tape.",
                static_cast<long>(m_llFileNumber), m_szPath, m_iVolId, static_cast<unsigned long>(pass));
      *eom = 1;
      m_bCloseChunk = true;
      m_bVolumeFull = true;
      return -1;
    }
    pass -= count;
    ErrorText(1,
              "Encountered Logical end of media while writing to tape at fileMarker=%ld. path=%s - VolId=%d "
              "bytes_written %lu. Will span tape",
              static_cast<long>(m_llFileNumber), m_szPath, m_iVolId, static_cast<unsigned long>(count));
    Log(1, "BytesWritten=%ld instead of Bytes=%ld", static_cast<long>(count), static_cast<long>(pass));
    if (*eom == 1) {
      Log(1, "Failing the write for volume id = %d ", m_iVolId);
      return -1;
    }
    Log(1, "Retrying the write for volume id = %d ", m_iVolId);
    *eom = 1;
    m_bCloseChunk = false;
    m_bVolumeFull = true;
  }
}

int nt_fs_tape::WriteFailure(long long code, long long count, long long pass, bool retryPass) {
  Log(1, "Encountered the error %s while writing on to the tape ", m_strDeviceError.c_str());
  SetLastError(code, m_strDeviceError.c_str());
  Log(1, "Resetting the cached file mark count on the cachemount due to an error encountered while Write()");
  m_llWriteCachedFM = -1;
  if (m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);

  switch (code) {
    case kMMErrIo:
    case kMMErrHardware:
    case kMMErrCrc:
    case kMMErrNeedsCleaning:
      ErrorText(-1, "IO Error while writing to tape at fileMarker=%ld tape media path=%s - Tape VolId=%d",
                static_cast<long>(m_llFileNumber), m_szPath, m_iVolId);
      ApplySoftErrorRule(code, Road::Write);
      DisplayError(static_cast<unsigned long>(code), 0, "WriteFile to media failed");
      return -1;
    case kMMErrMedium:
      ApplySoftErrorRule(code, Road::Write);
      ErrorText(1, "Media Error detected while writing on media. volume id %d.", m_iVolId);
      DisplayError(kMMErrMedium, 0, "WriteFile to media failed");
      return -1;
    case kMMErrWriteProtected:
      if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonWriteProtected, JobId());
      ErrorText(1, "Trying to write to a write protected media. Marking the volume %d full ", m_iVolId);
      DisplayError(kMMErrWriteProtected, 0, "WriteFile to media failed");
      return -1;
    case kMMErrPhysicalEnd:
      if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
      ErrorText(1, "Trying to write to media which reached its physical end. Marking the volume %d full ", m_iVolId);
      DisplayError(kMMErrPhysicalEnd, 0, "WriteFile to media failed");
      return -1;
    default:
      break;
  }
  if (!retryPass) {
    DisplayError(static_cast<unsigned long>(code), 0, "WriteFile to media failed");
    Log(1, "Encountered the above error while writing on to the tape volume = %d ", m_iVolId);
    return -1;
  }
  ErrorText(1,
            "Encountered the above error after retrying write... on tape at fileMarker=%ld tape media path=%s - Tape "
            "VolId=%d bytes_written %lu",
            static_cast<long>(m_llFileNumber), m_szPath, m_iVolId, static_cast<unsigned long>(count));
  Log(1, "BytesWritten=%ld instead of Bytes=%ld", static_cast<long>(count), static_cast<long>(pass));
  if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
  return -1;
}

int nt_fs_tape::CloseSpecific(long) {
  if (!m_bWriting) {
    m_bFileClosed = true;
    return 0;
  }
  if (!RequireDrive()) return -1;
  Log(1, " Writing TapeMark %d on the tape for volume VolId=%d  ", static_cast<int>(m_llFileNumber + 1), m_iVolId);
  m_iLastDriveResult = m_pDrive->writeFileMarks(1);
  if (m_iLastDriveResult != 0) {
    const long long code = DriveError();
    if (code == kMMErrEarlyWarning) {
      // The mark is on the tape. Once the volume is full there is nothing more to do.
      if (!m_bVolumeFull) {
        m_llWriteCachedFM = -1;
        if (m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
        m_bVolumeFull = true;
        m_llKBRemaining = 0;
        Log(1, "Enocuntered LEOT while writing filemark. Tape will be spanned");
      }
    } else {
      // Whether or not the volume is full, a chunk without its closing file mark is not closed.
      Log(1, "Enocuntered the error %s while writing filemark on to the tape ", m_strDeviceError.c_str());
      m_strLastErrorMsg = m_strDeviceError;
      ErrorText(1, "Error writing Tape Marker =%ld, on the tape VolId = %d ", static_cast<long>(m_llFileNumber + 1),
                m_iVolId);
      MediaFSSetLastError(code);
      DisplayError(static_cast<unsigned long>(code), 0, "WriteFileMark Failed");
      Log(1, "Resetting the cached file mark count on the cachemount due to an error encountered while WriteFileMark");
      m_llWriteCachedFM = -1;
      if (m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
      MediaFSSetLastError(code);
      return -1;
    }
  }
  if (m_bVerifyPosition && MonitorPosition(false) != 0) return -1;
  m_bFileClosed = true;
  return 0;
}
