// WebStorageMediaFS: the store's set-up and its space: the free bytes the store reports, the
// low-water mark and maximum of the reservation, and the physical bytes recorded after a close.

#include <climits>

#include "MediaFileSystem/WebStorageMediaFS.h"

namespace {

constexpr long long kMB = 1LL << 20;

}  // namespace

int WebStorageMediaFS::InitSpecific() {
  static const char kFunction[] = "WebStorageMediaFS::InitSpecific()";
  if (m_pRemoteFile == nullptr) {
    Log(1, "%s: Web Storage Media File Object is NULL, DeviceType = [%d].", kFunction, m_iDeviceType);
    MediaFSSetLastError(44110);
    return -1;
  }
  if (m_pRemoteFile->Initialize() == 0) {
    FailText("%s: Failed to Initialize Web Storage Media File System Object. Path [%s], Error Code: [%ld], Error "
             "Msg: [%s].",
             kFunction, m_strRootFolder.c_str(), static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Failed to Initialize Cloud Storage File System Object.");
    return -1;
  }
  if (!m_pRemoteFile->m_bValid) {
    FailText("%s: Web Storage Media File Object is Invalid, Type = [%d]. Error Code: [%ld], Error Msg: [%s]. ",
             kFunction, m_iDeviceType, static_cast<long>(m_pRemoteFile->GetLastErrorCode()),
             m_pRemoteFile->GetLastErrorString().c_str());
    ReportRemoteFailure("Web Storage Media File Object is Invalid");
    return -1;
  }

  unsigned long long freeBytes = 0;
  getFreeSpaceFromMedia(freeBytes);
  if (freeBytes != 0) m_llKBRemaining = static_cast<long long>(freeBytes >> 10);
  if (m_llKBRemaining < 1) m_llKBRemaining = 1;

  // The reader mode initialises without a reservation: nothing limits what it reads.
  if (m_pReserveMount == nullptr) {
    m_llLowWaterMarkMB = 0;
    m_llMaxSpaceToFill = 0;
    Log(1, "No reservation: no minimum space is kept and no maximum space is set on the volume.");
    return 0;
  }
  int lowWaterMarkMB = 0;
  int maxFillMB = 0;
  m_pReserveMount->getMediaInfoForDM(lowWaterMarkMB, maxFillMB);
  m_llLowWaterMarkMB = lowWaterMarkMB;
  if (m_llLowWaterMarkMB < 0) {
    // A negative mark would refuse every chunk; it means that no space is to be kept.
    Log(1, "The minimum space in MB [%lld] to be left on the disk is negative: it is taken as 0.", m_llLowWaterMarkMB);
    m_llLowWaterMarkMB = 0;
  }
  m_llMaxSpaceToFill = static_cast<long long>(maxFillMB) * kMB;
  Log(1, "The minimum space in MB that will be left on the disk [%lld]...", m_llLowWaterMarkMB);
  Log(1, "The maximum space in MB that will be filled by tavrix on disk [%d]...", maxFillMB);
  return 0;
}

int WebStorageMediaFS::getFreeSpaceFromMedia(unsigned long long& bytes) {
  unsigned long long total = 0;
  unsigned long long freeBytes = 0;
  if (m_pRemoteFile != nullptr && m_pRemoteFile->GetFreeSpace(total, freeBytes) != 0) {
    bytes = freeBytes;
  } else {
    bytes = kUnknownFreeBytes;
  }
  return 0;
}

bool WebStorageMediaFS::BelowLowWaterMark() {
  unsigned long long freeBytes = 0;
  if (getFreeSpaceFromMedia(freeBytes) != 0) return false;
  // The mark is never negative (InitSpecific) and below 2^31 MB, so its bytes fit.
  const unsigned long long markBytes = static_cast<unsigned long long>(m_llLowWaterMarkMB) * kMB;
  if (freeBytes > markBytes) return false;
  m_llKBRemaining = 0;
  Log(1, "The free diskspace on the mount path [%s] is %lld less than low water mark of %lld...", m_szPath,
      static_cast<long long>(freeBytes), static_cast<long long>(markBytes));
  if (m_pVolInfo != nullptr) {
    m_pVolInfo->setFreeBytesMB(static_cast<long long>(freeBytes >> 20));
    Log(1, "Marking the volume full. Path [%s]..", m_szPath);
    m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
    m_bVolumeFull = true;
  }
  return true;
}

long long WebStorageMediaFS::GetRemainingSpace() { return RemainingWithinMaximum(); }

int WebStorageMediaFS::UpdateNumPhysicalBytes(long long writeTime) {
  unsigned long long freeBytes = 0;
  const bool freeKnown = getFreeSpaceFromMedia(freeBytes) == 0;
  if (!RequireRemote("WebStorageMediaFS::UpdateNumPhysicalBytes", nullptr, false)) return -1;
  if (m_iMediaType == kMediaTypeReader) return 0;
  if (m_pVolInfo != nullptr) {
    m_pVolInfo->incrNumPhysicalBytes(m_llPhysicalBytes, freeKnown ? static_cast<long long>(freeBytes) : -1);
  }
  if (m_pDriveInfo != nullptr && (m_iArchiveType != CHUNKMAP_TRAILER || m_bCountTrailerTransfer)) {
    m_pDriveInfo->updateDataTransferInfo(m_llPhysicalBytes >> 20, 0,
                                         static_cast<int32_t>(static_cast<uint32_t>(writeTime)));
  }
  return 0;
}
