// The NDMP backup road's start: CreateSpecific positions the tape at the append point for the
// first archive file after Init (cached position, or spacing from the beginning with WORM media
// found at their end of data) and, when the frame's end-of-data check setting asks, makes sure no
// file mark follows the append point, so that a tape holding more than the media manager knows is
// not written over.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::CreateSpecific(const MediaFSArchiveFileId_t*) {
  m_bFileClosed = false;
  if (m_llFileNumber == -1 && PositionForAppend() != 0) return -1;
  m_bFileClosed = false;
  Log(1, "Ready to write to the filemarker=%d on the Tape volId=%d", static_cast<int>(m_llFileNumber), m_iVolId);
  return 0;
}

int ndmp_fs_tape::PositionForAppend() {
  if (!NdmpRoutines::RequireDrive(*this)) return -1;
  const long long files = NdmpRoutines::AppendFileCount(*this);
  if (files < 0) return -1;
  Log(1, "Starting FM (Re-got) = %d", static_cast<int>(files));
  m_llFileNumber = files;
  m_llNumFiles = files + 1;

  if (OpenAndPrepareNtTapeFileSystem() != 0) {
    Log(1, "Could not open and prepare the Tape volId=%d", m_iVolId);
    return -1;
  }
  NdmpRoutines::SetCompressionOnDrive(*this, true);

  if (m_llFileNumber == 1 || m_llWriteCachedFM == -1 || m_llFileNumber != m_llWriteCachedFM) {
    if (NdmpRoutines::SpaceToAppendPoint(*this, true, kNdmpAppendSpacing, false) != 0) return -1;
    if (CheckEndOfData() != 0) return -1;
  } else {
    Log(1, "Using cached filemark =%ld. No seek is done", static_cast<long>(m_llFileNumber));
  }
  NdmpRoutines::SetCompressionOnDrive(*this, false);
  return 0;
}

int ndmp_fs_tape::CheckEndOfData() {
  if (m_iEndOfDataCheck <= 0) {
    Log(1, "Skipping the check of end of tape after seek ");
    return 0;
  }
  Log(1, "We have positioned at filemarker [%d].. going to ensure that this is the last filemarker on the tape",
      static_cast<int>(m_llFileNumber));
  bool found = false;
  if (IsCurrentPositionEndOfValidData(found) == 1) {
    Log(1, "Validated the filemarker position ");
    return 0;
  }
  Log(1, "FAILED TO VALIDATE THE POSITION ON THE TAPE.. FAILING THE JOB ");
  if (m_pVolInfo != nullptr) {
    if (found) {
      m_pVolInfo->markFull(kVolumeFullReasonFileMarkerAhead, JobId());
      Log(1, "Marking the Tape Full as filemarker mismatch occurred ");
    } else {
      m_pVolInfo->markFull(kVolumeFullReasonPositionCheckFailed, JobId());
      Log(1, "Marking the Tape Full as validation of the position on the tape failed with hardware error ");
    }
  }
  return -1;
}
