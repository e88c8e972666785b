// The NDMP restore road: OpenSpecific positions the tape at the start of the archive file with
// the given file marker (after checking the label or the cached read position on the first
// open), ReadFromMedia reads blocks up to its file mark.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

int ndmp_fs_tape::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (!NdmpRoutines::RequireDrive(*this)) return -1;
  const bool reader = m_iMediaType == kMediaTypeReader;
  if (m_llFileNumber < 0) {
    m_bFileClosed = false;
    m_llFileNumber = 0;
    if (m_llReadCachedFM < 1) {
      if (OpenAndPrepareNtTapeFileSystem() != 0) {
        NdmpRoutines::ErrorText(*this, 1, "Could not load the Tape VolId=%d", m_iVolId);
        if (!reader && m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
        return -1;
      }
    } else if (VerifyPositionOnTapeForRestore() == 0) {
      Log(1, "Successfully validated the filemarker position on the media.. continuing to position to the required "
             "filemarker ");
      m_llFileNumber = m_llReadCachedFM;
    } else {
      Log(1, "Could not validate the read cached filemarker location for restore Will continue by rewinding the "
             "tape completely ");
      if (OpenAndPrepareNtTapeFileSystem() != 0) {
        NdmpRoutines::ErrorText(*this, 1, "Could not initialize the volume VolId=%d for restore", m_iVolId);
        if (!reader && m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
        return -1;
      }
      m_llFileNumber = 0;
      m_llReadCachedFM = -1;
    }
  }
  return NdmpRoutines::PositionForRead(*this, id->llFileMarkerNumber, kNdmpReadPositioning, false);
}

int ndmp_fs_tape::ReadFromMedia(char* buf, long len) {
  return NdmpRoutines::ReadBlock(*this, buf, len, kNdmpBlockSoftErrors, false);
}
