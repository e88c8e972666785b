// NDMP media verification before the first create or open after Init: the on-media label at the
// beginning of the tape and the chunk map trailers around the cached positions, parsed as the
// drive delivered them; the end-of-data test and the rewind after a failed file marker update.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::OpenAndPrepareNtTapeFileSystem() { return NdmpRoutines::OpenAndPrepare(*this, true); }

int ndmp_fs_tape::IsMediaAndPositionValid() {
  if (m_llFileNumber >= 2 && m_llWriteCachedFM == m_llFileNumber) {
    if (verifyMediaUsingChunkMapTrailer() == 0) {
      Log(1, "DataMover will use cached filemarker since it is validated ");
      return 0;
    }
    m_llWriteCachedFM = -1;
  }
  return verifyMediaUsingOML() == 0 ? 0 : -1;
}

int ndmp_fs_tape::verifyMediaUsingOML() { return NdmpRoutines::VerifyMediaUsingOML(*this); }

int ndmp_fs_tape::verifyMediaUsingChunkMapTrailer() {
  return NdmpRoutines::VerifyTrailerBeforeAppendPoint(*this, kNdmpTrailerCheck);
}

int ndmp_fs_tape::VerifyPositionOnTapeForRestore() {
  return NdmpRoutines::VerifyTrailerAfterReadPosition(*this, kNdmpTrailerCheck);
}

int ndmp_fs_tape::IsCurrentPositionEndOfValidData(bool& found) {
  return NdmpRoutines::IsCurrentPositionEndOfValidData(*this, found);
}

int ndmp_fs_tape::ResetFileMarkerOnMedia() { return NdmpRoutines::ResetFileMarkerOnMedia(*this); }
