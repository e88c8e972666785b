// Positioning that hosts and the frame ask for: the search for a chunk by its chunk map trailer,
// the way back after a failed block write, the end-of-data test and the rewind after a failed
// file marker update.

#include <algorithm>
#include <cstring>
#include <vector>

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

namespace {

// The search never needs to pass more file marks than the volume holds files, and at least two.
constexpr long long kMinSearchMarks = 2;
constexpr int kMaxEmptyReadsInARow = 2;

}  // namespace

int nt_fs_tape::LocateChunk(long long chunkId) {
  if (!Routines::RequireDrive(*this) || m_ulBlockSize == 0) return 0;
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
      if (Routines::ParseTrailerBlock(*this, block.data(), block.size(), true, info) != 0) {
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
        Routines::DriveError(*this);
        Log(1, "Encountered the error %s while rewind back", m_strDeviceError.c_str());
        Log(1, " Could not locate the chunk upon file marker mismatch ");
        break;
      }
      Log(1, "trying to seek by one filemark to locate chunk");
      m_iLastDriveResult = m_pDrive->spaceFileMarksForward(1);
      if (m_iLastDriveResult != 0) {
        Routines::DriveError(*this);
        Log(1, "Encountered the error %s while forward by 1 filemark", m_strDeviceError.c_str());
        Log(1, " Could not locate the chunk as could not forward by file mark");
        break;
      }
      result = 1;
      break;
    }

    const long long code = Routines::DriveError(*this);
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
  return Routines::RepositionForWrite(*this, retryAllowed, "nt_fs_tape::RepositionMediaForWrite",
                                      [this] { return Construct(m_bDualMode); });
}

int nt_fs_tape::IsCurrentPositionEndOfValidData(bool& found) {
  return Routines::IsCurrentPositionEndOfValidData(*this, found);
}

int nt_fs_tape::ResetFileMarkerOnMedia() { return Routines::ResetFileMarkerOnMedia(*this); }
