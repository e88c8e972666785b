// Hardware encryption on the drive: whether the drive supports it, setting the key that the host
// hands in with the archive file (also for reading encrypted chunk map trailers) and switching it
// off.

#include "MediaFileSystem/nttape.h"
#include "tape/nttape_roads.h"

using namespace nttape;

bool nt_fs_tape::isHardWareEncryptionSupported() {
  if (m_pDrive == nullptr) {
    Log(1, "[%s]: Tape Drive handle is invalid.", "nt_fs_tape::isHardWareEncryptionSupported");
    return false;
  }
  bool supported = false;
  return m_pDrive->isEncryptionSupported(supported) == 0 ? supported : false;
}

int nt_fs_tape::enableHardwareEncryption(unsigned int keyLen, unsigned char* key) {
  static const char kFunction[] = "nt_fs_tape::enableHardwareEncryption";
  if (keyLen == 0 || key == nullptr) {
    Log(1, "[%s]: Key Length passed in invalid or Key value is null. iKeyLength = [%d]", kFunction,
        static_cast<int>(keyLen));
    return 0;
  }
  if (m_pDrive == nullptr) {
    Log(1, "[%s]: Tape Drive handle is invalid.", kFunction);
    return 0;
  }
  if (m_pDrive->setEncryptionKey(keyLen, key) == 0) return 1;
  return EncryptionFailure("Encountered the error %s while setting Data Encryption key on Tape Drive",
                           "Failed to set Data Encryption Key on the tape drive");
}

int nt_fs_tape::disableHardwareEncryption() {
  if (m_pDrive == nullptr) {
    Log(1, "[%s]: Tape Drive handle is invalid.", "nt_fs_tape::disableHardwareEncryption");
    return 0;
  }
  if (m_pDrive->disableEncryption() == 0) return 1;
  return EncryptionFailure("Encountered the error %s while disabling Data Encryption on Tape Drive",
                           "Failed to disable Data Encryption on the tape drive");
}

// The drive error as the last error, its text as the last error message; 0, the operations'
// failure.
int nt_fs_tape::EncryptionFailure(const char* errorFormat, const char* failure) {
  const long long code = Routines::DriveError(*this);
  Log(1, errorFormat, m_strDeviceError.c_str());
  m_strLastErrorMsg = m_strDeviceError;
  Log(1, "%s", failure);
  MediaFSSetLastError(code);
  return 0;
}
