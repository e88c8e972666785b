// The NDMP restore road: OpenSpecific positions the tape at the start of the archive file with
// the given file marker (after checking the label or the cached read position on the first
// open), ReadFromMedia reads blocks up to its file mark.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  return NdmpRoutines::OpenForRead(
      *this, id->llFileMarkerNumber,
      "Could not validate the read cached filemarker location for restore Will continue by rewinding the tape "
      "completely ",
      [] {}, kNdmpReadPositioning, false);
}

int ndmp_fs_tape::ReadFromMedia(char* buf, long len) {
  return NdmpRoutines::ReadBlock(*this, buf, len, kNdmpBlockSoftErrors, false);
}
