// Media verification before the first create or open after Init: the on-media label at the
// beginning of the tape, the chunk map trailer before the cached append point (backup) and the
// one after the last file read (restore).

#include <cstring>
#include <vector>

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_internal.h"

using namespace nttape;

int nt_fs_tape::OpenAndPrepareNtTapeFileSystem() {
  Log(2, "Write Cached_filemark =%ld. Read Cached Filemarker [%d] Current_filemark = %ld",
      static_cast<long>(m_llWriteCachedFM), static_cast<int>(m_llReadCachedFM), static_cast<long>(m_llFileNumber));
  if (!RequireDrive()) return -1;
  if (m_iMediaType != kMediaTypeReader && m_pReserveMount != nullptr) {
    OZScsiTapeDrive::SetGoblalFlag(OZScsiTapeDrive::kGlobalFlag10, (m_pReserveMount->getLibraryAttributes() & 1) == 0);
  }

  if (!m_bWriting) {
    m_llWriteCachedFM = -1;
    if (verifyMediaUsingOML() != 0) return -1;
    Log(2, "Loading and rewinding media to beginning for VolId=%d", m_iVolId);
    if (LoadAndRewind() != 0) {
      ReportLoadFailure(false);
      return -1;
    }
    Log(2, "Setting the block size for the volume %d to [%d]", m_iVolId, static_cast<int>(m_ulBlockSize));
    m_pDrive->setBlockSize(static_cast<long>(m_ulBlockSize));
    return 0;
  }

  if (IsMediaAndPositionValid() == -1) {
    m_llWriteCachedFM = -1;
    if (m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
    Log(1, "Could not verify the media. Failing the backup..");
    SetLastError(kMMErrMediaNotVerified, "Failed to verify the media for backup");
    DisplayError(kMMErrMediaNotVerified, 0, "Could not verify the media for backup");
    return -1;
  }
  return 0;
}

int nt_fs_tape::IsMediaAndPositionValid() {
  const long long fileNumber = m_llFileNumber;
  if (fileNumber < 2 || m_llWriteCachedFM == -1 || m_llWriteCachedFM != fileNumber) {
    return verifyMediaUsingOML() == 0 ? 0 : -1;
  }
  if (m_pReserveMount != nullptr && m_pReserveMount->doesVolumeHaveHardwareEncryptedTrailers() != 0 &&
      m_iTrailerValidationMode == 1) {
    PrepareEncryptedTrailerCheck(m_HwEncryptionKey,
                                 "Failed to set hardware encryption Key on hardware device while validating  "
                                 "encrypted chunk map trailer.");
  }
  if ((m_iTrailerValidationMode == 1 || m_iTrailerValidationMode == 2) && verifyMediaUsingChunkMapTrailer() == 0) {
    Log(1, "DataMover will use cached filemarker since it is validated ");
    return 0;
  }
  m_llWriteCachedFM = -1;
  return verifyMediaUsingOML();
}

// A failed key leaves the trailer unreadable: the check falls back to the label.
void nt_fs_tape::PrepareEncryptedTrailerCheck(const OzcBucket& key, const char* failureText) {
  OzcBucket copy = key;
  copy.detach();
  if (copy.length() == 0) return;
  Log(1, "Going to decrypt the chunk map trailer.");
  if (enableHardwareEncryption(static_cast<unsigned int>(copy.length()), copy.bytes()) == 0) {
    DisplayError(kMFSErrHwEncryptionKeyRefused, 0, failureText);
    Log(1, "%s", failureText);
    m_iTrailerValidationMode = 0;
  } else {
    m_iTrailerValidationMode = 1;
  }
}

int nt_fs_tape::LoadAndRewind() {
  m_iLastDriveResult = m_pDrive->loadMedia();
  if (m_iLastDriveResult == 0) m_iLastDriveResult = m_pDrive->rewindMedia();
  return m_iLastDriveResult;
}

void nt_fs_tape::ReportLoadFailure(bool afterLabel) {
  const long long code = DriveError();
  if (afterLabel) {
    Log(1, "%d Encountered the error %s while loading the tape ", __LINE__, m_strDeviceError.c_str());
  } else {
    Log(1, "Encountered the error %s while loading the tape ", m_strDeviceError.c_str());
  }
  SetLastError(code, m_strDeviceError.c_str());
  DisplayError(static_cast<unsigned long>(code), 0, "Failed to create file");
  if (afterLabel) {
    ErrorText(1, "%d, Error loading tape media path=%s - Tape VolId=%d ", __LINE__, m_szPath, m_iVolId);
  } else {
    ErrorText(1, "Error loading tape media path=%s - Tape VolId=%d ", m_szPath, m_iVolId);
  }
}

int nt_fs_tape::verifyMediaUsingOML() {
  char labelError[2048] = {};
  const long long fileNumber = m_llFileNumber;
  if (!RequireDrive()) return -1;
  Log(2, "Loading and rewinding media to beginning for VolId=%d", m_iVolId);
  if (LoadAndRewind() != 0) {
    ReportLoadFailure(false);
    return -1;
  }
  Log(2, "Setting the block size %d for the volume %d ", static_cast<int>(m_ulBlockSize), m_iVolId);
  m_pDrive->setBlockSize(static_cast<long>(m_ulBlockSize));

  // The tape was just rewound: whatever an earlier read met is behind, and the label read must not
  // be refused for it (the fall-back from a failed trailer check relies on that).
  m_bFileClosed = false;
  std::vector<char> block(m_ulBlockSize, '\0');
  const int got = ReadFromMedia(block.data(), static_cast<long>(block.size()));
  // A file mark met by the read has advanced the file number.
  m_llFileNumber = fileNumber;
  if (got < 0 || static_cast<unsigned long long>(got) < m_ulBlockSize) {
    ErrorText(1, "Could not read OML on tape media path=%s - Tape VolId=%d ", m_szPath, m_iVolId);
    return -1;
  }

  OzTapeOMLLib label(m_pDrive);
  label.setJobId(JobId());
  if (label.VerifyOML(block.data(), m_pOmlParams) == 0) {
    const long long code = label.getErrorCode();
    label.getLastError(labelError, sizeof(labelError));
    Log(1, "Verification of OML failed due to %s.", labelError);
    m_strLastErrorMsg = m_strDeviceError;
    MediaFSSetLastError(code);
    DisplayError(static_cast<unsigned long>(code), 0, "Failed to verify media");
    return -1;
  }
  Log(2, "After OML verify, rewinding media to beginning for VolId=%d", m_iVolId);
  if (LoadAndRewind() != 0) {
    ReportLoadFailure(true);
    return -1;
  }
  return 0;
}

int nt_fs_tape::ReadTrailerBlock(ChunkMapTrailerInfo& info, const char* shortReadFormat) {
  m_pDrive->setBlockSize(static_cast<long>(m_ulBlockSize));
  std::vector<char> block(m_ulBlockSize, '\0');
  const int got = ReadFromMedia(block.data(), static_cast<long>(block.size()));
  if (got < 0 || static_cast<unsigned long long>(got) < m_ulBlockSize) {
    ErrorText(1, shortReadFormat, m_szPath, m_iVolId);
    return -1;
  }
  return ParseTrailerBlock(block.data(), block.size(), info) == 0 ? 0 : -2;
}

// The last line of a trailer ends inside the block, whatever the bytes near its end held.
int nt_fs_tape::ParseTrailerBlock(char* block, size_t size, ChunkMapTrailerInfo& info) {
  if (size < kTrailerBlankFromEnd) return -1;
  block[size - kTrailerLineFeedFromEnd] = '\n';
  block[size - kTrailerBlankFromEnd] = ' ';
  return GetMediaInfoFromChunkMapTrailer(block, size, info);
}

bool nt_fs_tape::TrailerNamesThisTape(const ChunkMapTrailerInfo& info) const {
  return m_pOmlParams != nullptr && std::strncmp(info.uniqueMediaIdString, m_pOmlParams->m_szUniqueMediaId,
                                                 ChunkMapTrailerInfo::kUniqueMediaIdChars) == 0;
}

int nt_fs_tape::verifyMediaUsingChunkMapTrailer() {
  if (!RequireDrive()) return -1;
  const long long fileNumber = m_llFileNumber;
  Log(2, "Trying to rewind two  filemarks behind the current position");
  m_iLastDriveResult = m_pDrive->spaceFileMarksBackward(2);
  if (m_iLastDriveResult != 0) {
    DriveError();
    Log(1, "Encountered the error %s while rewinding the tape by two file marks ", m_strDeviceError.c_str());
    Log(1, " Did not find any valid position before 2 filemarks from the cached file mark position. So going to "
           "rewind to the beginning of the tape");
    return -1;
  }
  Log(2, "Trying to seek to one filemark after the current position to read Chunk map");
  if (ForwardOneFileMark(__LINE__, " Did not find any filemark after the cached file mark position. So going to "
                                   "rewind to the beginning of tape") != 0) {
    return -1;
  }

  Log(2, "Setting the block size %d for the volume %d ", static_cast<int>(m_ulBlockSize), m_iVolId);
  ChunkMapTrailerInfo info;
  const int rc = ReadTrailerBlock(info, "Could not read Data for Chunk Map Trailer for tape media path=%s - Tape VolId=%d ");
  // Put back on every road: a file mark met by the read advanced it, and the label check that
  // follows a failure keeps what it finds.
  m_llFileNumber = fileNumber;
  if (rc == -1) return -1;
  if (rc != 0) {
    Log(1, "Could not get Media info while verifying using Chunk map. So going to rewind to the beginning of tape");
    return -1;
  }
  if (!TrailerNamesThisTape(info) || info.FileMarkNumber != fileNumber - 1) {
    Log(1, "Filemark and or media did not match while verifying using Chunk map. So going to rewind to the "
           "beginning of tape");
    return -1;
  }
  Log(1, "Successfully validated filemark and media using Chunk map.");
  Log(2, "Trying to seek to one filemark after validation using Chunk map");
  return ForwardOneFileMark(__LINE__,
                            " Did not find any filemark after chunk map trailerSo going to rewind to the beginning of tape");
}

// Spaces forward over one file mark; a failure is logged with the caller's line and `afterFailure`
// (when given) and leaves the drive error as the last error.
int nt_fs_tape::ForwardOneFileMark(int line, const char* afterFailure) {
  m_iLastDriveResult = m_pDrive->spaceFileMarksForward(1);
  if (m_iLastDriveResult == 0) return 0;
  const long long code = DriveError();
  Log(1, "%d Encountered the error %s while forwarding the tape by one file mark ", line, m_strDeviceError.c_str());
  if (afterFailure != nullptr) Log(1, "%s", afterFailure);
  MediaFSSetLastError(code);
  return -1;
}

int nt_fs_tape::VerifyPositionOnTapeForRestore() {
  if (!RequireDrive()) return -1;
  const long long readCached = m_llReadCachedFM;
  Log(2, "Trying to go forward by one filemarker. Read Cached filemarker [%d] ", static_cast<int>(readCached));
  if (ForwardOneFileMark(__LINE__, nullptr) != 0) return -1;
  Log(2, "Successfully forwarded to the next filemarker.. Now going to read the chunkmap trailer from this "
         "location on the tape ");
  Log(2, "Setting the block size for the volume %d to [%d] ", m_iVolId, static_cast<int>(m_ulBlockSize));
  ChunkMapTrailerInfo info;
  const int rc = ReadTrailerBlock(info, "Could not read the chunk map trailer on tape media path=%s - Tape VolId=%d ");
  if (rc == -1) return -1;
  if (rc != 0) {
    Log(1, "Could not get Media info while verifying using Chunk map. ");
    return -1;
  }
  if (!TrailerNamesThisTape(info) || info.FileMarkNumber != readCached) {
    info.uniqueMediaIdString[ChunkMapTrailerInfo::kUniqueMediaIdChars - 1] = '\0';
    Log(1, "Failed to validate the filemarker and the unique media id using chun map Expected media string [%s]. got "
           "[%s], expected filemarker [%d]. got filemarker [%d] ",
        m_pOmlParams != nullptr ? m_pOmlParams->m_szUniqueMediaId : "", info.uniqueMediaIdString,
        static_cast<int>(readCached), info.FileMarkNumber);
    return -1;
  }
  Log(1, "Successfully validated filemark and media using Chunk map. Currently the tape is positioned after the "
         "filemarker [%d] ",
      info.FileMarkNumber);
  return 0;
}
