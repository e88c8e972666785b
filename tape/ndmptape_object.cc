// The NDMP tape media object: construction with the three connection texts, the drive object,
// destruction with the release of the SCSI-3 reservation, re-initialisation and repositioning,
// and the slots that keep the media manager's accounting.

#include "MediaFileSystem/ndmpTape.h"
#include "tape/ndmptape_roads.h"

using namespace nttape;

namespace {

std::string Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

ndmp_fs_tape::ndmp_fs_tape(_JobContext* ctx, int mediaType, const char* path, const char* text1, const char* text2,
                           const char* text3)
    : media_fs(ctx) {
  m_iTapeMediaType = mediaType;
  m_iLastDriveResult = 0;
  m_llMarkType = 4;
  m_llFileMarkerSize = 32768;
  Log(1, "The mediatype is %d", mediaType);
  SetPath(Text(path).c_str());
  Log(1, "The mount path is %s", m_szPath);
  m_strConnection1 = Text(text1);
  m_strConnection2 = Text(text2);
  m_strConnection3 = Text(text3);
  // A missing or unusable drive object fails the first operation that needs it.
  Construct();
  m_bIsTape = true;
  m_bFileClosed = false;
  m_strReservationKey.clear();
}

ndmp_fs_tape::~ndmp_fs_tape() {
  if (!m_strReservationKey.empty() && m_pDrive != nullptr) {
    Log(1, "Releasing SCSI reservation for drive Reservation key[%s] ", m_strReservationKey.c_str());
    if (m_pDrive->doPR_Release(m_strReservationKey) == 0) {
      Log(1, "Successfully completed SCSI reservation for drive accesspath %s. Reservation Key:(%s)", m_szPath,
          m_strReservationKey.c_str());
    } else {
      NdmpRoutines::DriveError(*this);
      Log(1, "Failed to release SCSI reservation for drive accesspath %s. reservation key[%s]. Error:(%s)", m_szPath,
          m_strReservationKey.c_str(), m_strDeviceError.c_str());
    }
  }
  NdmpRoutines::DropDriveObject(*this);
}

int ndmp_fs_tape::Construct() {
  delete m_pDrive;
  m_pDrive = OZScsiTapeDrive::instance(m_iTapeMediaType, m_szPath, JobId(), 0, m_strConnection1.c_str(),
                                       m_strConnection2.c_str(), m_strConnection3.c_str(), -1);
  if (!NdmpRoutines::HasDriveObject(*this)) {
    Log(1, "Could not instantiate a NDMP SCSITapeDrive object ");
    NdmpRoutines::DriveError(*this);
    Log(1, "Encounted the error %s while instantiating the NDMP SCSITapeDrive Object", m_strDeviceError.c_str());
    m_strLastErrorMsg = m_strDeviceError;
    return -1;
  }
  m_llMarkType = m_pDrive->markType();
  m_llFileMarkerSize = m_pDrive->markSize();
  m_iLastDriveResult = 0;
  return 0;
}

void ndmp_fs_tape::closeDeviceHandle() {
  if (m_pDrive != nullptr) m_pDrive->closeDevice();
}

int ndmp_fs_tape::ReInitializeMedia() {
  return NdmpRoutines::ReInitialize(*this, [this] { return Construct(); });
}

int ndmp_fs_tape::RepositionMediaForWrite(bool& retryAllowed) {
  return NdmpRoutines::RepositionForWrite(*this, retryAllowed, "ndmp_fs_tape::RepositionMediaForWrite",
                                          [this] { return Construct(); });
}

// ---- Slots of the media manager's accounting ---------------------------------------------------

int ndmp_fs_tape::WriteRetrySupported() { return 0; }

long ndmp_fs_tape::GetMarkType() const { return static_cast<long>(m_llMarkType); }

int ndmp_fs_tape::UpdateNumPhysicalBytes(long long writeTime) {
  return NdmpRoutines::UpdateNumPhysicalBytes(*this, writeTime);
}

int ndmp_fs_tape::getFreeSpaceFromMedia(unsigned long long&) { return -1; }

long long ndmp_fs_tape::GetRemainingSpace() { return NdmpRoutines::GetRemainingSpace(*this); }

int ndmp_fs_tape::InitCatalogOperationOnMedia(int) { return 0; }
