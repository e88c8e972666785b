// The backup road's start: CreateSpecific positions the tape at the append point for the first
// archive file after Init (cached position, or spacing from the beginning, with WORM detection)
// and sets the drive's compression; later archive files follow on where the last one ended.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

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
  if (!Routines::RequireDrive(*this)) return -1;
  const long long files = Routines::AppendFileCount(*this);
  if (files < 0) return -1;
  Log(1, "Starting FM = %d. Hardware compression [%d]", static_cast<int>(files), GetHardwareComp() ? 1 : 0);
  m_llFileNumber = files;
  m_llNumFiles = files + 1;
  m_iTrailerValidationMode = id->iTrailerValidationMode;
  if (m_iTrailerValidationMode == 1) setHardwareEncryptionKey(id->HwEncryptionKey);

  if (OpenAndPrepareNtTapeFileSystem() != 0) {
    Log(1, "Could not open and prepare the Tape volId=%d", m_iVolId);
    return -1;
  }
  Routines::SetCompressionOnDrive(*this, true);

  const bool wormDetection = m_pDriveDetails != nullptr &&
                             (m_pDriveDetails->uiOptionFlags & MediaFSDriveDetails::kOptionWormDetection) != 0;
  if (!wormDetection) Log(1, "Skipping WORM MEDIA Detection as per user selection for this ZovadAdeve...");

  if (m_llFileNumber == 1 || m_llWriteCachedFM == -1 || m_llFileNumber != m_llWriteCachedFM) {
    if (Routines::SpaceToAppendPoint(*this, wormDetection, kScsiAppendSpacing, m_bCleanOnCrc) != 0) return -1;
  } else {
    // A failed WORM positioning leaves the cached position as it is.
    int wormType = 0;
    if (wormDetection && m_pDrive->isMediaWorm(wormType) != 0) Routines::PositionOnWorm(*this, wormType);
    Log(1, "Using cached filemark =%ld. No seek is done", static_cast<long>(m_llWriteCachedFM));
  }
  Routines::SetCompressionOnDrive(*this, false);
  return 0;
}
