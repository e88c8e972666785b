// The NDMP restore road: OpenSpecific positions the tape at the start of the archive file with
// the given file marker (after checking the label or the cached read position on the first
// open), ReadFromMedia reads blocks up to its file mark.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (!NdmpRoutines::RequireDrive(*this)) return -1;
  if (m_llFileNumber < 0 &&
      NdmpRoutines::PrepareFirstOpen(*this,
                                     "Could not validate the read cached filemarker location for restore Will continue "
                                     "by rewinding the tape completely ",
                                     [] {}) != 0) {
    return -1;
  }
  return NdmpRoutines::PositionForRead(*this, id->llFileMarkerNumber, kNdmpReadPositioning, false);
}

int ndmp_fs_tape::ReadFromMedia(char* buf, long len) {
  return NdmpRoutines::ReadBlock(*this, buf, len, kNdmpBlockSoftErrors, false);
}
