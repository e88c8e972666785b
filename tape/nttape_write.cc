// The backup road's blocks and end: WriteToMedia with the logical end of the tape (the rest of a
// cut block is written once more, the volume is marked full and the chunk spans to the next
// tape) and the classification of write errors; CloseSpecific with the one file mark.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

int nt_fs_tape::WriteToMedia(const char* buf, long len, int* eom) {
  return Routines::WriteBlock(*this, buf, len, eom, kScsiWriteRoad, m_bCleanOnCrc);
}

int nt_fs_tape::CloseSpecific(long) {
  if (!m_bWriting) {
    m_bFileClosed = true;
    return 0;
  }
  if (Routines::WriteClosingFileMark(*this, false) != 0) return -1;
  if (m_bVerifyPosition && MonitorPosition(false) != 0) return -1;
  m_bFileClosed = true;
  return 0;
}
