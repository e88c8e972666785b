// Positioning that hosts and the frame ask for: the search for a chunk by its chunk map trailer,
// the way back after a failed block write, the end-of-data test and the rewind after a failed
// file marker update.

#include <algorithm>
#include <cstring>
#include <vector>

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_internal.h"

using namespace nttape;

namespace {

// The search never needs to pass more file marks than the volume holds files, and at least two.
constexpr long long kMinSearchMarks = 2;
constexpr int kMaxEmptyReadsInARow = 2;

}  // namespace

int nt_fs_tape::LocateChunk(long long chunkId) {
  if (!RequireDrive() || m_ulBlockSize == 0) return 0;
  const long long fileNumber = m_llFileNumber;
  const long long markLimit = std::max(m_llNumFiles, kMinSearchMarks);
  std::vector<char> block(m_ulBlockSize);
  long long passes = 1;  // one more than the file marks passed
  int emptyReads = 0;
  int result = 0;

  for (;;) {
    m_bFileClosed = false;
    Log(2, "Setting the block size for the volume %d to [%d] ", m_iVolId, static_cast<int>(m_ulBlockSize));
    m_pDrive->setBlockSize(static_cast<long>(m_ulBlockSize));
    // A short block must not be parsed together with what an earlier one left in the buffer.
    std::fill(block.begin(), block.end(), '\0');
    long long count = 0;
    m_iLastDriveResult = m_pDrive->readData(block.data(), static_cast<long>(block.size()), count);

    if (m_iLastDriveResult == 0) {
      emptyReads = 0;
      ChunkMapTrailerInfo info;
      if (ParseTrailerBlock(block.data(), block.size(), info) != 0) {
        Log(1, "Could not get Media info from CMT locating and verifying chunk. ");
        m_bFileClosed = true;
        break;
      }
      if (info.ChunkId != chunkId) continue;
      Log(1, "Found Chunk ID match inside CMT and position validate. Will rewind back to chunk header ");
      const int32_t back = static_cast<int32_t>(passes + 2);
      Log(1, "Trying to rewind back by %d filemarks from the current position", back);
      m_iLastDriveResult = m_pDrive->spaceFileMarksBackward(back);
      if (m_iLastDriveResult != 0) {
        DriveError();
        Log(1, "Encountered the error %s while rewind back", m_strDeviceError.c_str());
        Log(1, " Could not locate the chunk upon file marker mismatch ");
        break;
      }
      Log(1, "trying to seek by one filemark to locate chunk");
      m_iLastDriveResult = m_pDrive->spaceFileMarksForward(1);
      if (m_iLastDriveResult != 0) {
        DriveError();
        Log(1, "Encountered the error %s while forward by 1 filemark", m_strDeviceError.c_str());
        Log(1, " Could not locate the chunk as could not forward by file mark");
        break;
      }
      result = 1;
      break;
    }

    const long long code = DriveError();
    Log(1, "Encountered the error %s while reading from the tape ", m_strDeviceError.c_str());
    if (code == kMMErrFileMark) {
      Log(1, "File Marker Detected. Error %s while reading data", m_strDeviceError.c_str());
      ++passes;
      emptyReads = 0;
      // A blank or odd tape must not keep the job reading for ever.
      if (passes - 1 >= markLimit) {
        Log(1, "Did not find the chunk map trailer of chunk %lld after passing %lld file marks; the volume has %lld "
               "files",
            chunkId, passes - 1, m_llNumFiles);
        break;
      }
      continue;
    }
    if (code == 0 && count == 0) {
      Log(1, "Continue locating chunk as we got empty buffer after FM");
      if (++emptyReads >= kMaxEmptyReadsInARow) {
        Log(1, "Did not find the chunk map trailer of chunk %lld: %d empty reads in a row", chunkId, emptyReads);
        break;
      }
      continue;
    }
    m_bFileClosed = true;
    break;
  }
  m_llFileNumber = static_cast<int32_t>(fileNumber);
  return result;
}

int nt_fs_tape::RepositionMediaForWrite(bool& retryAllowed) {
  static const char kFunction[] = "nt_fs_tape::RepositionMediaForWrite";
  retryAllowed = true;
  if (!m_bWriting) {
    Log(1, "[%s] : function is called during a restore operation.. something is wrong ", kFunction);
    retryAllowed = false;
    return -1;
  }
  // The archive file whose block failed starts after this many file marks.
  const long long archiveFileStart = m_llFileNumber;
  DropDriveObject();
  if (Construct(m_bDualMode) != 0) {
    Log(1, "[%s] : Failed to create a handle to the tape drive while re-initilizing ", kFunction);
    return -1;
  }
  if (InitSpecific() != 0) {
    Log(1, "[%s] : InitSpecfic failed while re-initializing the media ", kFunction);
    return -1;
  }
  m_llFileNumber = -1;
  m_llWriteCachedFM = -1;
  m_llReadCachedFM = -1;
  MediaFSArchiveFileId_t none;
  none.uiDataType = 0;
  none.iChunkVersion = 0;
  none.iTrailerValidationMode = 0;
  if (CreateSpecific(&none) != 0) {
    Log(1, "[%s] : CreateSpecific failed while re-initializing the media ", kFunction);
    return -1;
  }
  // The append point comes from the reservation; when it is not where the archive file began,
  // writing there would overwrite files the job has already closed.
  if (m_llFileNumber != archiveFileStart) {
    Log(1, "[%s] : The append point after file mark %lld is not the start of the archive file being written "
           "(after file mark %lld); not writing there",
        kFunction, m_llFileNumber, archiveFileStart);
    retryAllowed = false;
    return -1;
  }
  Log(1, "The tape has been successfully postiong ot the last valid filemarker [%d] ", static_cast<int>(m_llFileNumber));
  Log(1, "We need to skip %lld bytes before we write the data that originally failed ", m_llPhysicalBytes);
  if (m_llPhysicalBytes < 0) {
    Log(1, "Failed to read %lld bytes so that we are positioned properly on the tape ", m_llPhysicalBytes);
    return -1;
  }
  long long left = m_llPhysicalBytes;
  while (left > 0) {
    const long piece = static_cast<long>(std::min<long long>(left, static_cast<long long>(m_ulReadBufSize)));
    const int got = ReadFromMedia(m_pReadBuf, piece);
    if (got < piece) {
      if (MediaFSGetLastError() == kMMErrEarlyWarning) retryAllowed = false;
      Log(1, "Failed to read data of size [%d] while trying the repoistion the tape head to the last write location "
             "after writing a filemarker ",
          static_cast<int>(piece));
      return -1;
    }
    left -= got;
  }
  Log(1, "Successfully positioned to the last data block written to the tape.. after filemarker [%d] and data of "
         "size %lld .. continuing to write after this ",
      static_cast<int>(m_llFileNumber), m_llPhysicalBytes);
  return 0;
}

int nt_fs_tape::IsCurrentPositionEndOfValidData(bool& found) {
  found = false;
  if (!RequireDrive()) return 0;
  Log(2, "Trying to seek to one filemark after the file mark");
  m_iLastDriveResult = m_pDrive->spaceFileMarksForward(1);
  if (m_iLastDriveResult == 0) {
    Log(1, " Found another Filemark after the cached file mark position. Going to rewind the tape");
    found = true;
    return 0;
  }
  const long long code = DriveError();
  Log(1, "Encountered the error %s while forwarding the tape by one file mark ", m_strDeviceError.c_str());
  if (code != kMMErrEndOfData) {
    m_strLastErrorMsg = m_strDeviceError;
    Log(1, " Did not find any filemark after the cached file mark position. But the error code is not End of data. "
           "So going to rewind the tape");
    return 0;
  }
  Log(2, "Moving backwards on the tape by one file mark ");
  m_iLastDriveResult = m_pDrive->spaceFileMarksBackward(1);
  if (m_iLastDriveResult != 0) {
    return EndOfDataStepFailed("Encountered the error %s while moving back by one filemark on the tape ",
                               "Failed to move backwards on the tape by one file mark ");
  }
  Log(2, "Fowarding by one filemark on the tape ");
  m_iLastDriveResult = m_pDrive->spaceFileMarksForward(1);
  if (m_iLastDriveResult != 0) {
    return EndOfDataStepFailed("Encountered the error %s while forwarding the tape by 1 file mark",
                               "Failed to forward by one filemark on the tape ");
  }
  Log(1, "Succeeded in moving to one file mark on the tape ");
  Log(1, "Now Datamover is positioned on the right filemark and can use the cached filmark valuewithout rewinding "
         "the tape ");
  return 1;
}

// The drive's text as the last error message; 0, "not at the end of the data".
int nt_fs_tape::EndOfDataStepFailed(const char* errorFormat, const char* failure) {
  DriveError();
  Log(1, errorFormat, m_strDeviceError.c_str());
  m_strLastErrorMsg = m_strDeviceError;
  Log(1, "%s", failure);
  return 0;
}

int nt_fs_tape::ResetFileMarkerOnMedia() {
  Log(1, "Updation of filemarker to database has failed.. rewinding the tape");
  if (!RequireDrive()) return -1;
  m_iLastDriveResult = m_pDrive->rewindMedia();
  if (m_iLastDriveResult != 0) {
    ErrorText(1, "Error rewinding tape volid = %d", m_iVolId);
    DriveError();
    Log(1, "Encountered the error %s while rewinding the tape(char *)", m_strDeviceError.c_str());
    return -1;
  }
  return 0;
}
