// Space accounting: the free bytes of the mount path, the bytes the host may still write, the
// physical bytes and volume size reported to the media manager, and the volume marked full after
// a failure that says the mount path cannot take more.
//
// Units: the file system answers in bytes; the frame keeps its free space in KB and its maximum
// space to fill and space occupied in bytes; the media manager is told megabytes.

#include <cerrno>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"

int SingleInstancer_FS::getFreeSpaceFromMedia(unsigned long long& bytes) {
  static const char kOperation[] = "SingleInstancer_FS::getFreeSpaceFromMedia";
  bytes = 0;
  try {
    CImpersonator scope(m_LoggedOnUser.GetToken());
    // Without an interface nothing was asked of the mount path, so nothing says the chunk is bad.
    if (m_pFSInterface == nullptr) {
      CXoError e = FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "The store has no file-system interface");
      Log(1, "%s: Cannot get free space on path [%s], error=%s", kOperation, m_szPath, e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      return -2;
    }
    unsigned long long total = 0;
    CXoError e = m_pFSInterface->GetFreeSpace(m_szPath, total, bytes);
    if (e.IsSuccess()) return 0;
    bytes = 0;
    Log(1, "%s: Cannot get free space on path [%s], error=%s", kOperation, m_szPath, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return IsMarkChunkBadMMError(m_llLastError, &m_FileInitParams, m_szPath, nullptr) ? -1 : -2;
  } catch (const OzException& ex) {
    bytes = 0;
    Log(1, "%s: Got exception: %s", kOperation, ex.text.c_str());
    return -1;
  }
}

// While a maximum is set, the answer is the rest of the allotment; otherwise the free space less
// what the current archive file already took. Never below 0.
long long SingleInstancer_FS::GetRemainingSpace() {
  if (m_llMaxSpaceToFill > 0) {
    if (m_llMaxSpaceToFill <= m_llSpaceOccupied + m_llPhysicalBytes) {
      Log(1, "Current space on disk occupied by tavrix %lld , maximum disk space allocated for tavrix is %lld ",
          m_llSpaceOccupied, m_llMaxSpaceToFill);
      Log(1, "The current disk space occupied by tavrix is more than the allocated.. so will be marking the disk full ");
      m_llKBRemaining = 0;
      return 0;
    }
    return m_llMaxSpaceToFill - m_llSpaceOccupied - m_llPhysicalBytes;
  }
  if (m_llKBRemaining <= 0) return 0;
  const long long remaining = m_llKBRemaining * 1024 - m_llPhysicalBytes;
  return remaining > 0 ? remaining : 0;
}

int SingleInstancer_FS::UpdateNumPhysicalBytes(long long writeTime) {
  unsigned long long freeBytes = 0;
  const int freeResult = getFreeSpaceFromMedia(freeBytes);
  if (m_iMediaType == kMediaTypeReader) return 0;
  if (m_bVolumeFull) updateVolumeSize();
  if (m_pVolInfo != nullptr) {
    m_pVolInfo->incrNumPhysicalBytes(m_llPhysicalBytes, freeResult < 0 ? -1 : static_cast<long long>(freeBytes));
  }
  if (m_iArchiveType == CHUNKMAP_TRAILER && !m_bCountTrailerTransfer) return 0;
  if (m_pDriveInfo != nullptr) {
    m_pDriveInfo->updateDataTransferInfo(m_llPhysicalBytes >> 20, 0, static_cast<int32_t>(writeTime));
  }
  return 0;
}

int SingleInstancer_FS::updateVolumeSize() {
  long long size = 0;
  try {
    CXoError e;
    {
      CImpersonator scope(m_LoggedOnUser.GetToken());
      e = m_pFSInterface != nullptr
              ? GetSizeOfVolumeDirectory(m_pFSInterface, m_szPath, &size)
              : FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "The store has no file-system interface");
    }
    if (e.IsFailure()) {
      Log(1, "Error in walking the directory [%s], error=%s", m_szPath, e.AsString().c_str());
      return -1;
    }
  } catch (const OzException& ex) {
    Log(1, "%s", ex.text.c_str());
    return -1;
  }
  std::vector<OZMMVolSize> sizes{OZMMVolSize{m_iVolId, static_cast<int32_t>(size >> 20)}};
  if (m_pVolInfo == nullptr || m_pVolInfo->setVolumeSize(sizes) != 0) {
    Log(1, "%s:Unable to set volume size for volume [%d]", "SingleInstancer_FS::updateVolumeSize", m_iVolId);
    return -1;
  }
  return 0;
}

void SingleInstancer_FS::diskMarkFull(unsigned int mmError) {
  if (m_iMediaType == kMediaTypeReader) return;
  if (mmError != kMMErrDiskFull && mmError != kMMErrAccessDenied) return;
  Log(1, "Marking the volume %d full ", m_iVolId);
  if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
  m_bDiskFull = true;
}
