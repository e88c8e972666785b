// The restore road: OpenSpecific positions the tape at the start of the archive file with the
// given file marker (after checking the label or the cached read position on the first open),
// ReadFromMedia reads blocks up to its file mark.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

int nt_fs_tape::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (!Routines::RequireDrive(*this)) return -1;
  const bool reader = m_iMediaType == kMediaTypeReader;
  if (m_llFileNumber < 0) {
    m_bFileClosed = false;
    m_llFileNumber = 0;
    if (m_llReadCachedFM < 1) {
      if (OpenAndPrepareNtTapeFileSystem() != 0) {
        Routines::ErrorText(*this, 1, "Could not load the Tape VolId=%d", m_iVolId);
        if (!reader && m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
        return -1;
      }
    } else {
      m_iTrailerValidationMode = id->iTrailerValidationMode;
      if (m_pReserveMount != nullptr && m_pReserveMount->doesVolumeHaveHardwareEncryptedTrailers() != 0 &&
          m_iTrailerValidationMode == 1) {
        PrepareEncryptedTrailerCheck(id->HwEncryptionKey,
                                     "Failed to set hardware encryption Key on hardware device while validating  "
                                     "Encrypted chunk map trailer.");
      }
      if (VerifyPositionOnTapeForRestore() == 0) {
        Log(1, "Successfully validated the filemarker position on the media.. continuing to position to the required "
               "filemarker ");
        m_llFileNumber = m_llReadCachedFM;
      } else {
        Log(1, "Failed to validate the read cached filemarker location for restore Will continue by rewinding the "
               "tape completely ");
        if (OpenAndPrepareNtTapeFileSystem() != 0) {
          Routines::ErrorText(*this, 1, "Could not initialize the volume VolId=%d for restore", m_iVolId);
          if (!reader && m_pVolInfo != nullptr) m_pVolInfo->resetFileMarker(0);
          return -1;
        }
        m_llFileNumber = 0;
        m_llReadCachedFM = -1;
      }
    }
  }
  return Routines::PositionForRead(*this, id->llFileMarkerNumber, kScsiReadPositioning, m_bCleanOnCrc);
}

int nt_fs_tape::ReadFromMedia(char* buf, long len) {
  return Routines::ReadBlock(*this, buf, len, kScsiReadSoftErrors, m_bCleanOnCrc);
}
