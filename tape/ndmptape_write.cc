// The NDMP backup road's blocks and end: WriteToMedia with the logical end of the tape (the rest
// of a cut block is written once more and the close-chunk flag asks the host to span) and the
// classification of write errors; CloseSpecific with the one file mark.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::WriteToMedia(const char* buf, long len, int* eom) {
  return NdmpRoutines::WriteBlock(*this, buf, len, eom, kNdmpWriteRoad, false);
}

int ndmp_fs_tape::CloseSpecific(long) {
  if (!m_bWriting) {
    m_bFileClosed = true;
    return 0;
  }
  if (NdmpRoutines::WriteClosingFileMark(*this, true) != 0) return -1;
  m_bFileClosed = true;
  return 0;
}
