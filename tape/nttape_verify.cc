// Media verification before the first create or open after Init: the on-media label at the
// beginning of the tape, the chunk map trailer before the cached append point (backup) and the
// one after the last file read (restore).

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

int nt_fs_tape::OpenAndPrepareNtTapeFileSystem() { return Routines::OpenAndPrepare(*this, false); }

int nt_fs_tape::IsMediaAndPositionValid() {
  const long long fileNumber = m_llFileNumber;
  if (fileNumber < 2 || m_llWriteCachedFM == -1 || m_llWriteCachedFM != fileNumber) {
    return verifyMediaUsingOML() == 0 ? 0 : -1;
  }
  if (m_pReserveMount != nullptr && m_pReserveMount->doesVolumeHaveHardwareEncryptedTrailers() != 0 &&
      m_iTrailerValidationMode == 1) {
    PrepareEncryptedTrailerCheck(m_HwEncryptionKey,
                                 "Failed to set hardware encryption Key on hardware device while validating  "
                                 "encrypted chunk map trailer.");
  }
  if ((m_iTrailerValidationMode == 1 || m_iTrailerValidationMode == 2) && verifyMediaUsingChunkMapTrailer() == 0) {
    Log(1, "DataMover will use cached filemarker since it is validated ");
    return 0;
  }
  m_llWriteCachedFM = -1;
  return verifyMediaUsingOML();
}

// A failed key leaves the trailer unreadable: the check falls back to the label.
void nt_fs_tape::PrepareEncryptedTrailerCheck(const OzcBucket& key, const char* failureText) {
  OzcBucket copy = key;
  copy.detach();
  if (copy.length() == 0) return;
  Log(1, "Going to decrypt the chunk map trailer.");
  if (enableHardwareEncryption(static_cast<unsigned int>(copy.length()), copy.bytes()) == 0) {
    DisplayError(kMFSErrHwEncryptionKeyRefused, 0, failureText);
    Log(1, "%s", failureText);
    m_iTrailerValidationMode = 0;
  } else {
    m_iTrailerValidationMode = 1;
  }
}

int nt_fs_tape::verifyMediaUsingOML() { return Routines::VerifyMediaUsingOML(*this); }

int nt_fs_tape::verifyMediaUsingChunkMapTrailer() {
  return Routines::VerifyTrailerBeforeAppendPoint(*this, kScsiTrailerCheck);
}

int nt_fs_tape::VerifyPositionOnTapeForRestore() {
  return Routines::VerifyTrailerAfterReadPosition(*this, kScsiTrailerCheck);
}
