// The SCSI tape media's position monitor: a create or close fails when the tape position went
// backwards since the last reading ("nVerifyTapePosition").

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

int nt_fs_tape::MonitorPosition(bool creating) {
  if (!Routines::RequireDrive(*this)) return -1;
  int position = 0;
  m_iLastDriveResult = m_pDrive->readPosition(position);
  if (m_iLastDriveResult != 0) {
    position = 0;
    const long long code = Routines::DriveError(*this);
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
