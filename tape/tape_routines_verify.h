// The tape routines of media verification: the on-media label at the beginning of the tape, the
// chunk map trailer before the cached append point (backup) and after the cached read position
// (restore), the end-of-data test and the rewind after a failed file marker update. Included by
// tape_routines.h.
#pragma once

#include <cstring>
#include <vector>

namespace nttape {

template <class Tape>
int TapeRoutines<Tape>::OpenAndPrepare(Tape& t, bool blockSizeFirstInLine) {
  t.Log(2, "Write Cached_filemark =%ld. Read Cached Filemarker [%d] Current_filemark = %ld",
        static_cast<long>(t.m_llWriteCachedFM), static_cast<int>(t.m_llReadCachedFM),
        static_cast<long>(t.m_llFileNumber));
  if (!RequireDrive(t)) return -1;
  if (t.m_iMediaType != kMediaTypeReader && t.m_pReserveMount != nullptr) {
    OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag10,
                                   (t.m_pReserveMount->getLibraryAttributes() & 1) == 0);
  }

  if (!t.m_bWriting) {
    t.m_llWriteCachedFM = -1;
    if (t.verifyMediaUsingOML() != 0) return -1;
    t.Log(2, "Loading and rewinding media to beginning for VolId=%d", t.m_iVolId);
    if (LoadAndRewind(t) != 0) {
      ReportLoadFailure(t, false);
      return -1;
    }
    if (blockSizeFirstInLine) {
      t.Log(2, "Setting the block size %d for the volume %d ", static_cast<int>(t.m_ulBlockSize), t.m_iVolId);
    } else {
      t.Log(2, "Setting the block size for the volume %d to [%d]", t.m_iVolId, static_cast<int>(t.m_ulBlockSize));
    }
    t.m_pDrive->setBlockSize(static_cast<long>(t.m_ulBlockSize));
    return 0;
  }

  if (t.IsMediaAndPositionValid() == -1) {
    t.m_llWriteCachedFM = -1;
    if (t.m_pVolInfo != nullptr) t.m_pVolInfo->resetFileMarker(0);
    t.Log(1, "Could not verify the media. Failing the backup..");
    t.SetLastError(kMMErrMediaNotVerified, "Failed to verify the media for backup");
    t.DisplayError(kMMErrMediaNotVerified, 0, "Could not verify the media for backup");
    return -1;
  }
  return 0;
}

template <class Tape>
int TapeRoutines<Tape>::LoadAndRewind(Tape& t) {
  t.m_iLastDriveResult = t.m_pDrive->loadMedia();
  if (t.m_iLastDriveResult == 0) t.m_iLastDriveResult = t.m_pDrive->rewindMedia();
  return t.m_iLastDriveResult;
}

template <class Tape>
void TapeRoutines<Tape>::ReportLoadFailure(Tape& t, bool afterLabel) {
  const long long code = DriveError(t);
  if (afterLabel) {
    t.Log(1, "%d Encountered the error %s while loading the tape ", __LINE__, t.m_strDeviceError.c_str());
  } else {
    t.Log(1, "Encountered the error %s while loading the tape ", t.m_strDeviceError.c_str());
  }
  t.SetLastError(code, t.m_strDeviceError.c_str());
  t.DisplayError(static_cast<unsigned long>(code), 0, "Failed to create file");
  if (afterLabel) {
    ErrorText(t, 1, "%d, Error loading tape media path=%s - Tape VolId=%d ", __LINE__, t.m_szPath, t.m_iVolId);
  } else {
    ErrorText(t, 1, "Error loading tape media path=%s - Tape VolId=%d ", t.m_szPath, t.m_iVolId);
  }
}

template <class Tape>
int TapeRoutines<Tape>::VerifyMediaUsingOML(Tape& t) {
  char labelError[2048] = {};
  const long long fileNumber = t.m_llFileNumber;
  if (!RequireDrive(t)) return -1;
  t.Log(2, "Loading and rewinding media to beginning for VolId=%d", t.m_iVolId);
  if (LoadAndRewind(t) != 0) {
    ReportLoadFailure(t, false);
    return -1;
  }
  t.Log(2, "Setting the block size %d for the volume %d ", static_cast<int>(t.m_ulBlockSize), t.m_iVolId);
  t.m_pDrive->setBlockSize(static_cast<long>(t.m_ulBlockSize));

  // The tape was just rewound: whatever an earlier read met is behind, and the label read must not
  // be refused for it (the fall-back from a failed trailer check relies on that).
  t.m_bFileClosed = false;
  std::vector<char> block(t.m_ulBlockSize, '\0');
  const int got = t.ReadFromMedia(block.data(), static_cast<long>(block.size()));
  // A file mark met by the read has advanced the file number.
  t.m_llFileNumber = fileNumber;
  if (got < 0 || static_cast<unsigned long long>(got) < t.m_ulBlockSize) {
    ErrorText(t, 1, "Could not read OML on tape media path=%s - Tape VolId=%d ", t.m_szPath, t.m_iVolId);
    return -1;
  }

  OzTapeOMLLib label(t.m_pDrive);
  label.setJobId(t.JobId());
  if (label.VerifyOML(block.data(), t.m_pOmlParams) == 0) {
    const long long code = label.getErrorCode();
    label.getLastError(labelError, sizeof(labelError));
    t.Log(1, "Verification of OML failed due to %s.", labelError);
    t.m_strLastErrorMsg = t.m_strDeviceError;
    t.MediaFSSetLastError(code);
    t.DisplayError(static_cast<unsigned long>(code), 0, "Failed to verify media");
    return -1;
  }
  t.Log(2, "After OML verify, rewinding media to beginning for VolId=%d", t.m_iVolId);
  if (LoadAndRewind(t) != 0) {
    ReportLoadFailure(t, true);
    return -1;
  }
  return 0;
}

template <class Tape>
int TapeRoutines<Tape>::ReadTrailerBlock(Tape& t, ChunkMapTrailerInfo& info, bool byteEdits,
                                         const char* shortReadFormat) {
  t.m_pDrive->setBlockSize(static_cast<long>(t.m_ulBlockSize));
  std::vector<char> block(t.m_ulBlockSize, '\0');
  const int got = t.ReadFromMedia(block.data(), static_cast<long>(block.size()));
  if (got < 0 || static_cast<unsigned long long>(got) < t.m_ulBlockSize) {
    ErrorText(t, 1, shortReadFormat, t.m_szPath, t.m_iVolId);
    return -1;
  }
  return ParseTrailerBlock(t, block.data(), block.size(), byteEdits, info) == 0 ? 0 : -2;
}

// With the edits, the last line of a trailer ends inside the block, whatever the bytes near its
// end held. Without them the block is parsed as the drive delivered it, bounded by its size.
template <class Tape>
int TapeRoutines<Tape>::ParseTrailerBlock(Tape& t, char* block, size_t size, bool byteEdits,
                                          ChunkMapTrailerInfo& info) {
  if (byteEdits) {
    if (size < kTrailerBlankFromEnd) return -1;
    block[size - kTrailerLineFeedFromEnd] = '\n';
    block[size - kTrailerBlankFromEnd] = ' ';
  }
  return t.GetMediaInfoFromChunkMapTrailer(block, size, info);
}

template <class Tape>
bool TapeRoutines<Tape>::TrailerNamesThisTape(const Tape& t, const ChunkMapTrailerInfo& info) {
  return t.m_pOmlParams != nullptr && std::strncmp(info.uniqueMediaIdString, t.m_pOmlParams->m_szUniqueMediaId,
                                                   ChunkMapTrailerInfo::kUniqueMediaIdChars) == 0;
}

template <class Tape>
int TapeRoutines<Tape>::ForwardOneFileMark(Tape& t, int line, const char* afterFailure, bool setLastError) {
  t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksForward(1);
  if (t.m_iLastDriveResult == 0) return 0;
  const long long code = DriveError(t);
  t.Log(1, "%d Encountered the error %s while forwarding the tape by one file mark ", line,
        t.m_strDeviceError.c_str());
  if (afterFailure != nullptr) t.Log(1, "%s", afterFailure);
  if (setLastError) t.MediaFSSetLastError(code);
  return -1;
}

template <class Tape>
int TapeRoutines<Tape>::VerifyTrailerBeforeAppendPoint(Tape& t, const TrailerCheck& check) {
  if (!RequireDrive(t)) return -1;
  const long long fileNumber = t.m_llFileNumber;
  t.Log(2, "Trying to rewind two  filemarks behind the current position");
  t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksBackward(2);
  if (t.m_iLastDriveResult != 0) {
    DriveError(t);
    t.Log(1, "Encountered the error %s while rewinding the tape by two file marks ", t.m_strDeviceError.c_str());
    t.Log(1, " Did not find any valid position before 2 filemarks from the cached file mark position. So going to "
             "rewind to the beginning of the tape");
    return -1;
  }
  t.Log(2, "Trying to seek to one filemark after the current position to read Chunk map");
  if (ForwardOneFileMark(t, __LINE__,
                         " Did not find any filemark after the cached file mark position. So going to rewind to the "
                         "beginning of tape",
                         check.spacingSetsLastError) != 0) {
    return -1;
  }

  t.Log(2, "Setting the block size %d for the volume %d ", static_cast<int>(t.m_ulBlockSize), t.m_iVolId);
  ChunkMapTrailerInfo info;
  const int rc = ReadTrailerBlock(t, info, check.byteEdits, check.shortReadFormat);
  // Put back on every road: a file mark met by the read advanced it, and the label check that
  // follows a failure keeps what it finds.
  t.m_llFileNumber = fileNumber;
  if (rc == -1) return -1;
  if (rc != 0) {
    t.Log(1, "%s", check.parseFailureLine);
    return -1;
  }
  if (!TrailerNamesThisTape(t, info) || info.FileMarkNumber != fileNumber - 1) {
    t.Log(1, "Filemark and or media did not match while verifying using Chunk map. So going to rewind to the "
             "beginning of tape");
    return -1;
  }
  t.Log(1, "Successfully validated filemark and media using Chunk map.");
  t.Log(2, "Trying to seek to one filemark after validation using Chunk map");
  return ForwardOneFileMark(
      t, __LINE__, " Did not find any filemark after chunk map trailerSo going to rewind to the beginning of tape",
      check.spacingSetsLastError);
}

template <class Tape>
int TapeRoutines<Tape>::VerifyTrailerAfterReadPosition(Tape& t, const TrailerCheck& check) {
  if (!RequireDrive(t)) return -1;
  const long long readCached = t.m_llReadCachedFM;
  t.Log(2, "Trying to go forward by one filemarker. Read Cached filemarker [%d] ", static_cast<int>(readCached));
  if (ForwardOneFileMark(t, __LINE__, nullptr, check.spacingSetsLastError) != 0) return -1;
  t.Log(2, "Successfully forwarded to the next filemarker.. Now going to read the chunkmap trailer from this "
           "location on the tape ");
  t.Log(2, "Setting the block size for the volume %d to [%d] ", t.m_iVolId, static_cast<int>(t.m_ulBlockSize));
  ChunkMapTrailerInfo info;
  const int rc = ReadTrailerBlock(t, info, check.byteEdits,
                                  "Could not read the chunk map trailer on tape media path=%s - Tape VolId=%d ");
  if (rc == -1) return -1;
  if (rc != 0) {
    t.Log(1, "Could not get Media info while verifying using Chunk map. ");
    return -1;
  }
  if (!TrailerNamesThisTape(t, info) || info.FileMarkNumber != readCached) {
    info.uniqueMediaIdString[ChunkMapTrailerInfo::kUniqueMediaIdChars - 1] = '\0';
    t.Log(1, "Failed to validate the filemarker and the unique media id using chun map Expected media string [%s]. "
             "got [%s], expected filemarker [%d]. got filemarker [%d] ",
          t.m_pOmlParams != nullptr ? t.m_pOmlParams->m_szUniqueMediaId : "", info.uniqueMediaIdString,
          static_cast<int>(readCached), info.FileMarkNumber);
    return -1;
  }
  t.Log(1, "Successfully validated filemark and media using Chunk map. Currently the tape is positioned after the "
           "filemarker [%d] ",
        info.FileMarkNumber);
  return 0;
}

template <class Tape>
int TapeRoutines<Tape>::IsCurrentPositionEndOfValidData(Tape& t, bool& found) {
  found = false;
  if (!RequireDrive(t)) return 0;
  t.Log(2, "Trying to seek to one filemark after the file mark");
  t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksForward(1);
  if (t.m_iLastDriveResult == 0) {
    t.Log(1, " Found another Filemark after the cached file mark position. Going to rewind the tape");
    found = true;
    return 0;
  }
  const long long code = DriveError(t);
  t.Log(1, "Encountered the error %s while forwarding the tape by one file mark ", t.m_strDeviceError.c_str());
  if (code != kMMErrEndOfData) {
    t.m_strLastErrorMsg = t.m_strDeviceError;
    t.Log(1, " Did not find any filemark after the cached file mark position. But the error code is not End of "
             "data. So going to rewind the tape");
    return 0;
  }
  t.Log(2, "Moving backwards on the tape by one file mark ");
  t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksBackward(1);
  if (t.m_iLastDriveResult != 0) {
    return EndOfDataStepFailed(t, "Encountered the error %s while moving back by one filemark on the tape ",
                               "Failed to move backwards on the tape by one file mark ");
  }
  t.Log(2, "Fowarding by one filemark on the tape ");
  t.m_iLastDriveResult = t.m_pDrive->spaceFileMarksForward(1);
  if (t.m_iLastDriveResult != 0) {
    return EndOfDataStepFailed(t, "Encountered the error %s while forwarding the tape by 1 file mark",
                               "Failed to forward by one filemark on the tape ");
  }
  t.Log(1, "Succeeded in moving to one file mark on the tape ");
  t.Log(1, "Now Datamover is positioned on the right filemark and can use the cached filmark valuewithout "
           "rewinding the tape ");
  return 1;
}

// The drive's text as the last error message; 0, "not at the end of the data".
template <class Tape>
int TapeRoutines<Tape>::EndOfDataStepFailed(Tape& t, const char* errorFormat, const char* failure) {
  DriveError(t);
  t.Log(1, errorFormat, t.m_strDeviceError.c_str());
  t.m_strLastErrorMsg = t.m_strDeviceError;
  t.Log(1, "%s", failure);
  return 0;
}

template <class Tape>
int TapeRoutines<Tape>::ResetFileMarkerOnMedia(Tape& t) {
  t.Log(1, "Updation of filemarker to database has failed.. rewinding the tape");
  if (!RequireDrive(t)) return -1;
  t.m_iLastDriveResult = t.m_pDrive->rewindMedia();
  if (t.m_iLastDriveResult != 0) {
    ErrorText(t, 1, "Error rewinding tape volid = %d", t.m_iVolId);
    DriveError(t);
    t.Log(1, "Encountered the error %s while rewinding the tape(char *)", t.m_strDeviceError.c_str());
    return -1;
  }
  return 0;
}

}  // namespace nttape
