// The restore road: OpenSpecific positions the tape at the start of the archive file with the
// given file marker (after checking the label or the cached read position on the first open),
// ReadFromMedia reads blocks up to its file mark.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

int nt_fs_tape::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  return Routines::OpenForRead(
      *this, id->llFileMarkerNumber,
      "Failed to validate the read cached filemarker location for restore Will continue by rewinding the tape "
      "completely ",
      [&] {
        m_iTrailerValidationMode = id->iTrailerValidationMode;
        if (m_pReserveMount != nullptr && m_pReserveMount->doesVolumeHaveHardwareEncryptedTrailers() != 0 &&
            m_iTrailerValidationMode == 1) {
          PrepareEncryptedTrailerCheck(id->HwEncryptionKey,
                                       "Failed to set hardware encryption Key on hardware device while validating  "
                                       "Encrypted chunk map trailer.");
        }
      },
      kScsiReadPositioning, m_bCleanOnCrc);
}

int nt_fs_tape::ReadFromMedia(char* buf, long len) {
  return Routines::ReadBlock(*this, buf, len, kScsiReadSoftErrors, m_bCleanOnCrc);
}
