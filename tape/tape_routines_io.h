// The tape routines of the backup and restore roads: the append point of the first create, WORM
// media, compression, the positioning of an open, block reads and writes with the logical end of
// the tape, the file mark that closes an archive file and the way back after a failed block.
// Included by tape_routines.h.
#pragma once

#include <algorithm>

namespace nttape {

template <class Tape>
long long TapeRoutines<Tape>::AppendFileCount(Tape& t) {
  t.m_bVolumeFull = false;
  if (t.m_pVolInfo != nullptr) t.m_pVolInfo->setVolumeId(t.m_iVolId);
  if (t.CheckForDataBeingOverWritten() == -1) {
    t.Log(1, "Check for Data Being Over Written failed ");
    return -1;
  }
  long long files = t.m_pReserveMount != nullptr ? t.m_pReserveMount->getNumFilesOnVolume() : -1;
  t.m_llNumFiles = files;
  if (files < 0 && t.m_pVolInfo != nullptr) {
    t.m_pVolInfo->setVolumeId(t.m_iVolId);
    files = t.m_pVolInfo->getNumFiles();
    t.m_llNumFiles = files;
  }
  if (files < 1) {
    t.SetLastError(kMFSErrTapeWritePositionUnknown,
                   "Failed to determine the last write position on the media to continue the backup");
    t.Log(1, "Failed to get the filemark number from the volume table of the volume = %d ", t.m_iVolId);
    t.closeDeviceHandle();
    return -1;
  }
  return files;
}

template <class Tape>
void TapeRoutines<Tape>::SetCompressionOnDrive(Tape& t, bool beforePositioning) {
  const bool on = t.GetHardwareComp();
  t.m_iLastDriveResult = t.m_pDrive->setCompression(on ? 1 : 0);
  if (t.m_iLastDriveResult == 0) return;
  const long long code = DriveError(t);
  if (beforePositioning) {
    t.Log(1, "Encounted the error %d (%s) while setting compression on the drive", t.m_iLastDriveResult,
          t.m_strDeviceError.c_str());
    t.m_strLastErrorMsg = t.m_strDeviceError;
  } else {
    t.Log(1, "Encountered the error %s while setting the compression on the drive ", t.m_strDeviceError.c_str());
  }
  if (!on) {
    ErrorText(t, 1, "Error in resetting tape drive compression for the tape drive path=%s - Tape VolId=%d ",
              t.m_szPath, t.m_iVolId);
  } else if (beforePositioning) {
    ErrorText(t, 1, "Error in setting tape drive compression for the tape drive path=%s - Tape VolId= %d ",
              t.m_szPath, t.m_iVolId);
  } else {
    ErrorText(t, 1, "Error in setting tape drive compression for the tape drive path=%s - Tape VolId=%d ",
              t.m_szPath, t.m_iVolId);
  }
  t.MediaFSSetLastError(code);
  t.DisplayError(static_cast<unsigned long>(code), 0,
                 "Failed to set Tape Drive Compression. This will not affect the backup");
}

template <class Tape>
int TapeRoutines<Tape>::SpaceToAppendPoint(Tape& t, bool wormDetection, const AppendSpacing& road,
                                           bool cleanOnCrc) {
  t.Log(1, road.forwardFormat, static_cast<int>(t.m_llFileNumber), t.m_iVolId);
  int wormType = 0;
  if (wormDetection && t.m_pDrive->isMediaWorm(wormType) != 0) {
    t.m_iLastDriveResult = PositionOnWorm(t, wormType);
  } else {
    t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksForward(t.m_llFileNumber);
  }
  if (t.m_iLastDriveResult == 0) return 0;

  const long long code = DriveError(t);
  t.Log(1, "Encountered the error %s while forwarding the tape ", t.m_strDeviceError.c_str());
  t.SetLastError(code, t.m_strDeviceError.c_str());
  t.DisplayError(static_cast<unsigned long>(code), 0, "Failed to set the tape position");
  ApplySoftErrorRule(t, code, road.softErrors, cleanOnCrc);
  // An empty tape has no file mark to space over.
  if (t.m_llFileNumber == 0 && code == kMMErrEndOfData) return 0;
  t.Log(1, "%s %d Could not position to the fileMarker=%d on the Tape volId=%d ", road.source, __LINE__,
        static_cast<int>(t.m_llFileNumber), t.m_iVolId);
  if (t.m_pVolInfo != nullptr) {
    t.m_pVolInfo->markFull(static_cast<int>(code), t.JobId());
    t.Log(1, "Marking the Tape as Full as it could not position the tape file marker");
  }
  return -1;
}

// WORM media are appended to at their end of data; a tape with more file marks than the volume
// record knows moves the file number there, and the next Close records the extra files too.
template <class Tape>
int TapeRoutines<Tape>::PositionOnWorm(Tape& t, int wormType) {
  if (t.m_pVolInfo != nullptr) t.m_pVolInfo->setMediaWorm(wormType);
  int marks = -1;
  const int rc = t.m_pDrive->locateWormEndOfData(static_cast<int32_t>(t.m_llFileNumber), marks);
  if (rc != 0) return rc;
  if (marks != t.m_llFileNumber) {
    if (marks > t.m_llFileNumber) t.m_iFilesPerClose = static_cast<int32_t>(marks + 1 - t.m_llFileNumber);
    t.m_llFileNumber = marks;
    t.Log(1, "Wrote Extra File Mark or Found new FM on the WORM tape after EOD on volume %d.Now there are %d FMs. "
             "FM Increment Count= %d",
          t.m_iVolId, marks, t.m_iFilesPerClose);
  }
  return 0;
}

template <class Tape>
template <class BeforeCheck>
int TapeRoutines<Tape>::PrepareFirstOpen(Tape& t, const char* notValidatedLine, BeforeCheck beforeCheck) {
  const bool reader = t.m_iMediaType == kMediaTypeReader;
  t.m_bFileClosed = false;
  t.m_llFileNumber = 0;
  if (t.m_llReadCachedFM < 1) {
    if (t.OpenAndPrepareNtTapeFileSystem() == 0) return 0;
    ErrorText(t, 1, "Could not load the Tape VolId=%d", t.m_iVolId);
    if (!reader && t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
    return -1;
  }
  beforeCheck();
  if (t.VerifyPositionOnTapeForRestore() == 0) {
    t.Log(1, "Successfully validated the filemarker position on the media.. continuing to position to the required "
             "filemarker ");
    t.m_llFileNumber = t.m_llReadCachedFM;
    return 0;
  }
  t.Log(1, "%s", notValidatedLine);
  if (t.OpenAndPrepareNtTapeFileSystem() != 0) {
    ErrorText(t, 1, "Could not initialize the volume VolId=%d for restore", t.m_iVolId);
    if (!reader && t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
    return -1;
  }
  t.m_llFileNumber = 0;
  t.m_llReadCachedFM = -1;
  return 0;
}

// A failed open leaves the head where the drive stopped (or never found it: a failed first open),
// while media_fs::Open has moved the file number to just before the file asked for. Spacing from
// that number would land in another file, so the next open starts again from a known point.
template <class Tape>
template <class BeforeCheck>
int TapeRoutines<Tape>::OpenForRead(Tape& t, long long fileMarker, const char* notValidatedLine,
                                    BeforeCheck beforeCheck, const ReadPositioning& road, bool cleanOnCrc) {
  int rc = RequireDrive(t) ? 0 : -1;
  if (rc == 0 && (t.m_llFileNumber < 0 || t.m_bReadPositionUnknown)) {
    rc = PrepareFirstOpen(t, notValidatedLine, beforeCheck);
  }
  if (rc == 0) rc = PositionForRead(t, fileMarker, road, cleanOnCrc);
  t.m_bReadPositionUnknown = rc != 0;
  return rc;
}

// From the file number R, the start of file T: rewind for the first files, space forward over
// the files between, or space back R + 2 - T file marks and forward over one.
template <class Tape>
int TapeRoutines<Tape>::PositionForRead(Tape& t, long long fileMarker, const ReadPositioning& road,
                                        bool cleanOnCrc) {
  const long long target = fileMarker;
  if (target < 2) {
    t.m_iLastDriveResult = t.m_pDrive->rewindMedia();
    if (t.m_iLastDriveResult != 0) {
      ErrorText(t, 1, "Error rewinding tape volid = %d", t.m_iVolId);
      const long long code = DriveError(t);
      t.Log(1, "Encountered the error %s while rewinding the tape", t.m_strDeviceError.c_str());
      t.m_strLastErrorMsg = t.m_strDeviceError;
      t.DisplayError(static_cast<unsigned long>(code), 0, "Failed to rewind the tape");
      if (road.rewindFailureSetsLastError) t.MediaFSSetLastError(code);
      return FailPositioning(t, target, road, cleanOnCrc);
    }
  } else if (t.m_llFileNumber + 1 < target) {
    const long long forward = target - 1 - t.m_llFileNumber;
    t.Log(1, road.forwardFormat, static_cast<int>(forward), t.m_iVolId);
    t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksForward(forward);
    if (t.m_iLastDriveResult != 0) {
      ErrorText(t, 1, "Error seeking the filemarker = %ld on tape volid = %d", static_cast<long>(forward),
                t.m_iVolId);
      return FailPositioning(t, target, road, cleanOnCrc);
    }
  } else {
    const int32_t back = static_cast<int32_t>(t.m_llFileNumber + 2 - target);
    t.Log(1, "Moving back by %ld on the Tape volId=%d", static_cast<long>(back), t.m_iVolId);
    t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksBackward(back);
    if (t.m_iLastDriveResult != 0) {
      ErrorText(t, 1, "Error moving back to filemarker = %d on tape volid = %d", back, t.m_iVolId);
      return FailPositioning(t, target, road, cleanOnCrc);
    }
    t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksForward(1);
    if (t.m_iLastDriveResult != 0) {
      ErrorText(t, 1, "Error seeking the filemarker [1] on tape volid = %d", t.m_iVolId);
      return FailPositioning(t, target, road, cleanOnCrc);
    }
  }

  t.m_bFileClosed = false;
  t.Log(1, "Ready to read from tape volId=%d", t.m_iVolId);
  if (road.recordsOpenedFile) t.m_llReadCachedFM = target;
  if (t.m_iMediaType != kMediaTypeReader && t.m_pVolInfo != nullptr) {
    long long occupied = 0;
    if (t.m_pVolInfo->setFileMarker(t.m_llReadCachedFM, 2, occupied) != 0) {
      t.Log(1, "%s %d Failed to set the cached filemarker to [%d] of type restore ", road.source, __LINE__,
            static_cast<int>(t.m_llReadCachedFM));
    }
  }
  return 0;
}

template <class Tape>
int TapeRoutines<Tape>::FailPositioning(Tape& t, long long fileMarker, const ReadPositioning& road,
                                        bool cleanOnCrc) {
  const long long code = DriveError(t);
  t.MediaFSSetLastError(code);
  t.Log(1, "Encountered the error %s while seeking to a filemark on the tape ", t.m_strDeviceError.c_str());
  t.m_strLastErrorMsg = t.m_strDeviceError;
  t.DisplayError(static_cast<unsigned long>(code), 0, "Failed to set the tape position");
  ErrorText(t, 1, "Could not position to the fileMarker=%ld on the Tape VolId=%d",
            static_cast<long>(fileMarker - 1 - t.m_llFileNumber), t.m_iVolId);
  if (t.m_iMediaType != kMediaTypeReader) {
    ApplySoftErrorRule(t, code, road.softErrors, cleanOnCrc);
    if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
  }
  t.MediaFSSetLastError(code);
  return -1;
}

template <class Tape>
int TapeRoutines<Tape>::ReadBlock(Tape& t, char* buf, long len, const SoftErrorRule& rule, bool cleanOnCrc) {
  if (t.m_bFileClosed) {
    ErrorText(t, -1, "Read occuring on file which is already closed or end of file marker detected");
    return -1;
  }
  if (!RequireDrive(t)) return -1;
  long long count = 0;
  t.m_iLastDriveResult = t.m_pDrive->readData(buf, len, count);
  if (t.m_iLastDriveResult == 0) return static_cast<int32_t>(count);

  const bool reader = t.m_iMediaType == kMediaTypeReader;
  const long long code = DriveError(t);
  t.Log(1, "Encountered the error %s while reading from the tape ", t.m_strDeviceError.c_str());
  t.SetLastError(code, t.m_strDeviceError.c_str());
  if (!reader) {
    t.Log(1, "Resetting the cache filemarker values in the database ");
    if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
  }
  if (code == kMMErrFileMark) {
    t.m_bFileClosed = true;
    ErrorText(t, 1, "Encountered filemarker when reading for volid %d and filemark = %ld ", t.m_iVolId,
              static_cast<long>(t.m_llFileNumber));
    ++t.m_llFileNumber;
    return static_cast<int32_t>(count);
  }
  if (!reader) ApplySoftErrorRule(t, code, rule, cleanOnCrc);
  t.DisplayError(static_cast<unsigned long>(code), 0, "ReadFile from media failed");
  ErrorText(t, -1, "Read %lu bytes instead of %ld bytes at filemarker=%ld path=%s - Tape VolId=%d ",
            static_cast<unsigned long>(count), len, static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId);
  return -1;
}

template <class Tape>
int TapeRoutines<Tape>::WriteBlock(Tape& t, const char* buf, long len, int* eom, const WriteRoad& road,
                                   bool cleanOnCrc) {
  t.m_bCloseChunk = false;
  t.m_llBytesAtEOM = 0;
  *eom = 0;
  if (len == 0) {
    ErrorText(t, 1, "Request to write zero bytes - Tape VolId=%d", t.m_iVolId);
    return 0;
  }
  if (!RequireDrive(t)) return -1;

  long long pass = len;  // bytes of the current pass
  const char* at = buf;
  for (;;) {
    long long count = 0;
    t.m_iLastDriveResult = t.m_pDrive->writeData(at, static_cast<long>(pass), count);
    t.m_llBytesAtEOM += count;
    at += count;

    if (t.m_iLastDriveResult == 0) {
      if (*eom == 1) {
        // A retry that took the whole rest completes the block. One that took less leaves the
        // block short on the tape: with the close-chunk flag clear the frame counts only the
        // bytes at the end of the media, and the chunk goes on from there on the next tape.
        if (t.m_llBytesAtEOM == len) {
          t.m_bCloseChunk = true;
          return -1;
        }
        ErrorText(t, -1, road.shortWriteFormat, static_cast<unsigned long>(count), static_cast<long>(pass),
                  static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId);
        return -1;
      }
      if (t.m_llBytesAtEOM == static_cast<int32_t>(len)) return static_cast<int>(count);
      ErrorText(t, -1, road.shortWriteFormat, static_cast<unsigned long>(count), static_cast<long>(pass),
                static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId);
      return static_cast<int>(count);
    }

    const long long code = DriveError(t);
    if (road.leotReportedAsFailure) ReportWriteFailure(t, code);
    if (code != kMMErrEarlyWarning) return WriteFailure(t, code, count, pass, *eom == 1, road, cleanOnCrc);

    if (!road.leotReportedAsFailure) {
      t.m_llWriteCachedFM = -1;
      if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
    }
    if (road.leotMarksFull && !t.m_bVolumeFull && t.m_pVolInfo != nullptr) {
      t.m_pVolInfo->markFull(kVolumeFullReasonFull, t.JobId());
    }
    if (count == pass) {
      ErrorText(t, 1, road.leotWholeFormat, static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId,
                static_cast<unsigned long>(pass));
      if (road.leotWholeNote != nullptr) t.Log(1, "%s", road.leotWholeNote);
      *eom = 1;
      t.m_bCloseChunk = true;
      t.m_bVolumeFull = true;
      return -1;
    }
    pass -= count;
    ErrorText(t, 1, road.leotPartFormat, static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId,
              static_cast<unsigned long>(count));
    t.Log(1, "BytesWritten=%ld instead of Bytes=%ld", static_cast<long>(count), static_cast<long>(pass));
    if (*eom == 1) {
      t.Log(1, "Failing the write for volume id = %d ", t.m_iVolId);
      return -1;
    }
    t.Log(1, "Retrying the write for volume id = %d ", t.m_iVolId);
    *eom = 1;
    t.m_bCloseChunk = false;
    t.m_bVolumeFull = true;
  }
}

template <class Tape>
void TapeRoutines<Tape>::ReportWriteFailure(Tape& t, long long code) {
  t.Log(1, "Encountered the error %s while writing on to the tape ", t.m_strDeviceError.c_str());
  t.SetLastError(code, t.m_strDeviceError.c_str());
  t.Log(1, "Resetting the cached file mark count on the cachemount due to an error encountered while Write()");
  t.m_llWriteCachedFM = -1;
  if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
}

template <class Tape>
int TapeRoutines<Tape>::WriteFailure(Tape& t, long long code, long long count, long long pass, bool retryPass,
                                     const WriteRoad& road, bool cleanOnCrc) {
  if (!road.leotReportedAsFailure) ReportWriteFailure(t, code);
  if (road.ioErrors.Counts(code)) {
    ErrorText(t, -1, "IO Error while writing to tape at fileMarker=%ld tape media path=%s - Tape VolId=%d",
              static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId);
    ApplySoftErrorRule(t, code, road.ioErrors, cleanOnCrc);
    t.DisplayError(static_cast<unsigned long>(code), 0, "WriteFile to media failed");
    return -1;
  }
  switch (code) {
    case kMMErrMedium:
      if (!road.ioErrors.mediumErrors) break;
      ApplySoftErrorRule(t, code, road.ioErrors, cleanOnCrc);
      ErrorText(t, 1, "Media Error detected while writing on media. volume id %d.", t.m_iVolId);
      t.DisplayError(kMMErrMedium, 0, "WriteFile to media failed");
      return -1;
    case kMMErrWriteProtected:
      if (t.m_pVolInfo != nullptr) t.m_pVolInfo->markFull(kVolumeFullReasonWriteProtected, t.JobId());
      ErrorText(t, 1, "Trying to write to a write protected media. Marking the volume %d full ", t.m_iVolId);
      t.DisplayError(kMMErrWriteProtected, 0, "WriteFile to media failed");
      return -1;
    case kMMErrPhysicalEnd:
      if (t.m_pVolInfo != nullptr) t.m_pVolInfo->markFull(kVolumeFullReasonFull, t.JobId());
      ErrorText(t, 1, "Trying to write to media which reached its physical end. Marking the volume %d full ",
                t.m_iVolId);
      t.DisplayError(kMMErrPhysicalEnd, 0, "WriteFile to media failed");
      return -1;
    default:
      break;
  }
  if (!retryPass) {
    t.DisplayError(static_cast<unsigned long>(code), 0, "WriteFile to media failed");
    t.Log(1, "Encountered the above error while writing on to the tape volume = %d ", t.m_iVolId);
    return -1;
  }
  ErrorText(t, 1, road.retryFailureFormat, static_cast<long>(t.m_llFileNumber), t.m_szPath, t.m_iVolId,
            static_cast<unsigned long>(count));
  t.Log(1, "BytesWritten=%ld instead of Bytes=%ld", static_cast<long>(count), static_cast<long>(pass));
  if (road.retryFailureMarksFull && t.m_pVolInfo != nullptr) {
    t.m_pVolInfo->markFull(kVolumeFullReasonFull, t.JobId());
  }
  return -1;
}

// LEOT while writing the mark: the mark is on the tape and the volume is full. Any other failure
// fails the close whether or not the volume is full: a chunk without its closing file mark is not
// closed. `reportLeot` reports LEOT to the job too, the first time.
template <class Tape>
int TapeRoutines<Tape>::WriteClosingFileMark(Tape& t, bool reportLeot) {
  if (!RequireDrive(t)) return -1;
  t.Log(1, " Writing TapeMark %d on the tape for volume VolId=%d  ", static_cast<int>(t.m_llFileNumber + 1),
        t.m_iVolId);
  t.m_iLastDriveResult = t.m_pDrive->writeFileMarks(1);
  if (t.m_iLastDriveResult == 0) return 0;
  const long long code = DriveError(t);
  const bool leot = code == kMMErrEarlyWarning;
  if (!leot || (reportLeot && !t.m_bVolumeFull)) {
    t.Log(1, "Enocuntered the error %s while writing filemark on to the tape ", t.m_strDeviceError.c_str());
    t.m_strLastErrorMsg = t.m_strDeviceError;
    ErrorText(t, 1, "Error writing Tape Marker =%ld, on the tape VolId = %d ", static_cast<long>(t.m_llFileNumber + 1),
              t.m_iVolId);
    t.MediaFSSetLastError(code);
    t.DisplayError(static_cast<unsigned long>(code), 0, "WriteFileMark Failed");
    t.Log(1, "Resetting the cached file mark count on the cachemount due to an error encountered while WriteFileMark");
    t.m_llWriteCachedFM = -1;
    if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
    t.MediaFSSetLastError(code);
    if (!leot) return -1;
  }
  // Once the volume is full there is nothing more to do.
  if (t.m_bVolumeFull) return 0;
  if (!reportLeot) {
    t.m_llWriteCachedFM = -1;
    if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
  }
  t.m_bVolumeFull = true;
  t.m_llKBRemaining = 0;
  if (!reportLeot) t.Log(1, "Enocuntered LEOT while writing filemark. Tape will be spanned");
  return 0;
}

template <class Tape>
template <class Construct>
int TapeRoutines<Tape>::RepositionForWrite(Tape& t, bool& retryAllowed, const char* function, Construct construct) {
  retryAllowed = true;
  if (!t.m_bWriting) {
    t.Log(1, "[%s] : function is called during a restore operation.. something is wrong ", function);
    retryAllowed = false;
    return -1;
  }
  // The archive file whose block failed starts after this many file marks.
  const long long archiveFileStart = t.m_llFileNumber;
  DropDriveObject(t);
  if (construct() != 0) {
    t.Log(1, "[%s] : Failed to create a handle to the tape drive while re-initilizing ", function);
    return -1;
  }
  if (t.InitSpecific() != 0) {
    t.Log(1, "[%s] : InitSpecfic failed while re-initializing the media ", function);
    return -1;
  }
  t.m_llFileNumber = -1;
  t.m_llWriteCachedFM = -1;
  t.m_llReadCachedFM = -1;
  MediaFSArchiveFileId_t none;
  none.uiDataType = 0;
  none.iChunkVersion = 0;
  none.iTrailerValidationMode = 0;
  if (t.CreateSpecific(&none) != 0) {
    t.Log(1, "[%s] : CreateSpecific failed while re-initializing the media ", function);
    return -1;
  }
  // The append point comes from the reservation; when it is not where the archive file began,
  // writing there would overwrite files the job has already closed.
  if (t.m_llFileNumber != archiveFileStart) {
    t.Log(1, "[%s] : The append point after file mark %lld is not the start of the archive file being written "
             "(after file mark %lld); not writing there",
          function, t.m_llFileNumber, archiveFileStart);
    retryAllowed = false;
    return -1;
  }
  t.Log(1, "The tape has been successfully postiong ot the last valid filemarker [%d] ",
        static_cast<int>(t.m_llFileNumber));
  t.Log(1, "We need to skip %lld bytes before we write the data that originally failed ", t.m_llPhysicalBytes);
  if (t.m_llPhysicalBytes < 0) {
    t.Log(1, "Failed to read %lld bytes so that we are positioned properly on the tape ", t.m_llPhysicalBytes);
    return -1;
  }
  long long left = t.m_llPhysicalBytes;
  while (left > 0) {
    const long piece = static_cast<long>(std::min<long long>(left, static_cast<long long>(t.m_ulReadBufSize)));
    const int got = t.ReadFromMedia(t.m_pReadBuf, piece);
    if (got < piece) {
      if (t.MediaFSGetLastError() == kMMErrEarlyWarning) retryAllowed = false;
      t.Log(1, "Failed to read data of size [%d] while trying the repoistion the tape head to the last write "
               "location after writing a filemarker ",
            static_cast<int>(piece));
      return -1;
    }
    left -= got;
  }
  t.Log(1, "Successfully positioned to the last data block written to the tape.. after filemarker [%d] and data "
           "of size %lld .. continuing to write after this ",
        static_cast<int>(t.m_llFileNumber), t.m_llPhysicalBytes);
  return 0;
}

}  // namespace nttape
