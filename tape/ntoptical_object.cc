// The optical disk media object: the drive object and the logical drive, re-initialisation of the
// read side, and the space and byte accounting with the media manager.

#include "MediaFileSystem/NTOptical.h"
#include "tape/ntoptical_internal.h"

using namespace ntoptical;

namespace {

// Media types whose files lie in the logical drive's "OZ_MAGNETIC" folder.
constexpr int kMagneticLayoutFirst = 11001;
constexpr int kMagneticLayoutLast = 11999;
// The room, in KB, below which the media reports its end while writing.
constexpr long long kLowWaterMarkKB = 512;

}  // namespace

nt_fs_optical::nt_fs_optical(_JobContext* ctx, int mediaType) : media_fs(ctx), m_iOpticalMediaType(mediaType) {}

nt_fs_optical::~nt_fs_optical() {
  Log(1, "Closing the optical device handle \n");
  if (m_pDrive != nullptr) {
    CloseOpenFile();
    delete m_pDrive;
    m_pDrive = nullptr;
  }
  if (m_pCatalogFile != nullptr) std::fclose(m_pCatalogFile);
}

long long nt_fs_optical::TakeDriveError(std::string& text) {
  text.clear();
  const long long code = m_pDrive != nullptr ? m_pDrive->getLastError(text) : kMMErrInvalidHandle;
  MediaFSSetLastError(code);
  return code;
}

long long nt_fs_optical::ReportDriveFailure(
    const char* shown, const std::function<std::string(long long code, const std::string& text)>& describe) {
  std::string text;
  const long long code = TakeDriveError(text);
  SetErrorString(describe(code, text).c_str());
  Log(-1, "%s", m_szErrorText);
  if (shown != nullptr) DisplayError(static_cast<unsigned long>(code), kDisplayKind, shown);
  return code;
}

void nt_fs_optical::CloseOpenFile() {
  if (HasDrive() && m_iOpenHandle != 0) m_pDrive->close(m_iOpenHandle);
  m_iOpenHandle = 0;
  m_llPartBlockCode = 0;
}

void nt_fs_optical::DropDriveObject() {
  CloseOpenFile();
  delete m_pDrive;
  m_pDrive = nullptr;
}

int nt_fs_optical::InitSpecific() {
  if (m_pDrive == nullptr) {
    long long jobId = JobId();
    m_pDrive = OZScsiMODiskDrive::instance(m_iOpticalMediaType, m_szPath, jobId, false);
  }
  if (!HasDrive()) {
    Log(1, "Could not instantiate a SCSITapeDrive object \n");
    std::string text;
    if (m_pDrive != nullptr) {
      m_pDrive->getLastError(text);
      DropDriveObject();
    }
    Log(1, "Encounted the error %s while instantiating the SCSIOpticalDrive Object", text.c_str());
    m_strLastErrorMsg = text;
    return -1;
  }
  if (m_strLogicalDrive.empty()) {
    std::string drive;
    if (m_pDrive->getLogicalDrive(drive) != 0 || drive.empty()) {
      std::string text;
      m_pDrive->getLastError(text);
      MediaFSSetLastError(kMFSErrNoLogicalDrive);
      Log(1, "%s", text.c_str());
      Log(1, "%s %d Could not translate Optical Mount path <%s> to logical drive.", kSource, __LINE__, m_szPath);
      m_strLastErrorMsg = text;
      m_iOpenHandle = 0;
      delete m_pDrive;
      m_pDrive = nullptr;
      return -1;
    }
    m_strLogicalDrive = drive;
    if (m_iOpticalMediaType >= kMagneticLayoutFirst && m_iOpticalMediaType <= kMagneticLayoutLast) {
      m_strLogicalDrive += "/";
      m_strLogicalDrive += "OZ_MAGNETIC";
    }
  }
  m_llMinFreeKB = kLowWaterMarkKB;
  return 0;
}

int nt_fs_optical::ReInitializeMedia() {
  if (m_bWriting || m_iDataMoverMode == kDataMoverModeBackup) return -1;
  DropDriveObject();
  Log(1, "Successfully re-initialized the Nt-Optical object");
  return 0;
}

// ---- Space and accounting -------------------------------------------------------------------------

// The drive's first figure is the free bytes, as the create and the close take it: the volume
// record gets the same free space that decides when the disk is full.
int nt_fs_optical::getFreeSpaceFromMedia(unsigned long long& bytes) {
  bytes = 0;
  if (InitSpecific() != 0) return -1;
  OZQuadWord freeBytes;
  OZQuadWord totalBytes;
  if (m_pDrive->getFreeSpace(freeBytes, totalBytes) != 0) {
    bytes = freeBytes.QuadPart();
    return 0;
  }
  std::string text;
  const long long code = m_pDrive->getLastError(text);
  Log(1, "Could not get the free disk space from path: %s. Last mm error = %dThis wont affect the backup anyway",
      m_szPath, static_cast<int>(code));
  return -1;
}

long long nt_fs_optical::GetRemainingSpace() {
  if (m_llKBRemaining <= 0) return 0;
  return m_llKBRemaining * 1024 - m_llPhysicalBytes;
}

long nt_fs_optical::GetMarkType() const { return 0; }

void nt_fs_optical::UpdateNumPhyBytesWrittenFromDevice() {
  if (m_pDrive == nullptr) return;
  OZQuadWord freeBytes;
  OZQuadWord totalBytes;
  if (m_pDrive->getFreeSpace(freeBytes, totalBytes) != 0) {
    m_llDriveBytesWritten = m_llKBRemaining * 1024 - static_cast<long long>(freeBytes.QuadPart());
    return;
  }
  ReportDriveFailure(nullptr, [&](long long code, const std::string&) {
    return FormatText("Failed at GetDiskFreeSpaceEx() for logicalDrive %s mm error = %lu", m_strLogicalDrive.c_str(),
                      static_cast<unsigned long>(code));
  });
}

int nt_fs_optical::UpdateNumPhysicalBytes(long long writeTime) {
  if (m_llDriveBytesWritten < 1 && m_pVolInfo != nullptr) m_pVolInfo->incrNumPhysicalBytes(m_llPhysicalBytes, -1);
  const bool uncountedTrailer = m_iArchiveType == CHUNKMAP_TRAILER && !m_bCountTrailerTransfer;
  if (!uncountedTrailer && m_pDriveInfo != nullptr) {
    m_pDriveInfo->updateDataTransferInfo(m_llPhysicalBytes >> 20, 0,
                                         static_cast<int32_t>(static_cast<uint32_t>(writeTime)));
  }
  return 0;
}
