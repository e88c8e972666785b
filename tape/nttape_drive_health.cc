// What the roads of the SCSI tape media share about the drive's health: the soft-error rule (soft
// errors of the volume and the drive, the drive's cleaning mark) and the position monitor, which
// fails a create or close when the tape position went backwards.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_internal.h"

using namespace nttape;

namespace {

struct SoftErrorLines {
  const char* volume;
  const char* drive;
  const char* cleaning;
  bool mediaIdFirst;  // the media ID is asked before each count
};

SoftErrorLines LinesOf(int road) {
  switch (road) {
    case 0:  // write
      return {"Incrementing the soft errors on Volume", "Incrementing the soft errors on drive ",
              "Marking that drive needs cleaning as CRC error/cleaning required error has been reported by the drive ",
              true};
    case 1:  // read
      return {"Incrementing the soft errors on Volume", "Incrementing the soft errors on drive ",
              "Marking that drive needs cleaning as CRC error/Cleaning required error has been reported by the drive ",
              true};
    case 2:  // create
      return {"Incrementing the soft errors on Volume", "Incrementing the soft errors on the drive ",
              "Marking that drive needs cleaning as CRC error/cleaning required has been reported by the drive ",
              false};
    default:  // open
      return {"Incrementing the soft errors on Volume", "Incrementing the soft errors on the drive ",
              "Marking that drive needs cleaning as CRC/cleaning required error has been reported by the drive ",
              false};
  }
}

}  // namespace

void nt_fs_tape::ApplySoftErrorRule(long long code, Road road) {
  const SoftErrorLines lines = LinesOf(static_cast<int>(road));
  if (code == kMMErrCrc || code == kMMErrIo || code == kMMErrHardware || code == kMMErrNeedsCleaning) {
    if (m_pVolInfo != nullptr) {
      Log(1, "%s", lines.volume);
      if (lines.mediaIdFirst) m_pVolInfo->getMediaID();
      m_pVolInfo->incrSoftErrors(1, kSoftErrorKind);
    }
    if (m_pDriveInfo != nullptr) {
      Log(1, "%s", lines.drive);
      if (lines.mediaIdFirst) m_pDriveInfo->getMediaID();
      m_pDriveInfo->incrNumSoftErrs(1);
    }
    if (code == kMMErrNeedsCleaning || (code == kMMErrCrc && m_bCleanOnCrc)) {
      Log(1, "%s", lines.cleaning);
      if (m_pDriveInfo != nullptr) m_pDriveInfo->setDriveNeedsCleaning();
    } else {
      Log(1, "Will not mark the drive needs cleaning as option is not enabled ");
    }
  } else if (code == kMMErrMedium && m_pVolInfo != nullptr) {
    Log(1, "Incrementing the soft errors on Volume by 6 for MEDIUM_ERROR..");
    if (lines.mediaIdFirst) m_pVolInfo->getMediaID();
    m_pVolInfo->incrSoftErrors(kMediumErrorSoftErrors, kSoftErrorKind);
  }
}

int nt_fs_tape::MonitorPosition(bool creating) {
  if (!RequireDrive()) return -1;
  int position = 0;
  m_iLastDriveResult = m_pDrive->readPosition(position);
  if (m_iLastDriveResult != 0) {
    position = 0;
    const long long code = DriveError();
    Log(1, "Encountered the error %s while Reading Tape Position", m_strDeviceError.c_str());
    MediaFSSetLastError(code);
    DisplayError(static_cast<unsigned long>(code), 0, "Failed to get Tape Position");
    return -1;
  }
  if (m_iLastTapePosition != -1 && m_iLastTapePosition > position) {
    Log(1, "Encountered the error %s while Reading Tape Position", m_strDeviceError.c_str());
    MediaFSSetLastError(kMMErrPositionWentBack);
    DisplayError(kMMErrPositionWentBack, 0, "Failed to get Tape Position");
    return -1;
  }
  m_iLastTapePosition = position;
  if (creating) {
    Log(1, "The Tape Position obtained before creating chunk= %d ", position);
  } else {
    Log(1, "The Tape Position obtained after closing the chunk= %d ", position);
  }
  return 0;
}
