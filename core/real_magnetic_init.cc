// The disk media object: construction from the mount path, its share of initialisation, the free
// space of the mount path, the reserve and the maximum fill, and the impersonation scope and path
// formatting that its write, read and catalog roads share.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "MediaFileSystem/RealMagnetic.h"
#include "platform/config.h"

namespace {

const char kSource[] = "RealMagnetic";
const char kSection[] = "ZovadAdeve";

constexpr unsigned long long kMB = 1ULL << 20;
// The free space a mount path keeps at least, whatever its low-water mark says.
constexpr long long kMinimumReserveMB = 50;

}  // namespace

RealMagneticFS::RealMagneticFS(_JobContext* ctx, const CFSInitParams& params, int noLogon)
    : media_fs(ctx), m_FSInitParams(params) {
  std::memset(m_szChunkPath, 0, sizeof(m_szChunkPath));
  OZPlatformInfo info;
  long long limitMB = 0;
  if (info.getNumber(kSection, "nSpaceCheckLimitMB", &limitMB) && limitMB > 0 &&
      static_cast<unsigned long long>(limitMB) * kMB > m_ullSpaceCheckLimit) {
    m_ullSpaceCheckLimit = static_cast<unsigned long long>(limitMB) * kMB;
    Log(1, "DiskSpaceCheckLimit Set to %llu", m_ullSpaceCheckLimit);
  }
  m_iCtorFlag = noLogon;
  if (noLogon == 0) m_LoggedOnUser.Init(params.m_User.m_UserName, params.m_User.m_Password, true);
}

RealMagneticFS::~RealMagneticFS() {
  if (m_fd != -1 || (m_pFile != nullptr && m_pFile->IsValid())) FinalizeChunkForBackup();
  media_fs::closeDeviceHandle();
  delete m_pFile;
  m_pFile = nullptr;
  delete m_pGenericFS;
  m_pGenericFS = nullptr;
  delete m_pMountPath;
  m_pMountPath = nullptr;
  if (m_pCatalogFile != nullptr) {
    std::fclose(m_pCatalogFile);
    m_pCatalogFile = nullptr;
  }
}

int RealMagneticFS::InitSpecific() {
  m_bDiskFull = false;
  m_llBytesSinceSpaceCheck = 0;
  if (m_iDataMoverMode == kDataMoverModeBackup) {
    unsigned long long freeBytes = 0;
    if (getFreeSpaceFromMedia(freeBytes) >= 0 && freeBytes != 0) {
      m_llKBRemaining = static_cast<long long>(freeBytes >> 10);
    }
  }
  if (m_llKBRemaining < 1) m_llKBRemaining = 1;
  if (m_pGenericFS == nullptr) m_pGenericFS = CFSInterface::GetFSInterfaceInstance(m_FSInitParams);
  if (m_pFile == nullptr) m_pFile = CFileInterface::GetFileInterfaceInstance(m_FSInitParams);
  if (m_pGenericFS == nullptr || m_pFile == nullptr) {
    SetLastError(kMMErrNoFileInterface, "Failed to make the file-system or file interface of the mount path");
    Log(1, "%s %d Cannot make the file-system or file interface for the mount path [%s]", kSource, __LINE__,
        m_szPath);
    return -1;
  }
  return 0;
}

CFSInterface* RealMagneticFS::FileSystem() {
  if (m_pGenericFS == nullptr) m_pGenericFS = CFSInterface::GetFSInterfaceInstance(m_FSInitParams);
  return m_pGenericFS;
}

CXoError RealMagneticFS::NoFileSystem(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorMM(where, kMMErrNoFileInterface, "No file-system interface for the mount path");
}

int RealMagneticFS::getFreeSpaceFromMedia(unsigned long long& bytes) {
  static const char kFunction[] = "RealMagneticFS::getFreeSpaceFromMedia";
  bytes = 0;
  try {
    CImpersonator impersonation(m_LoggedOnUser.GetToken());
    if (FileSystem() == nullptr) {
      ozassert(false, "m_pGenericFS", kSource, kFunction, __LINE__);
      return -1;
    }
    unsigned long long total = 0;
    CXoError e = m_pGenericFS->GetFreeSpace(m_szPath, total, bytes);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot get free space on path [%s], error=%s", kFunction, m_szPath, e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      bytes = 0;
      return -1;
    }
  } catch (const OzException& e) {
    Log(1, "%s: Got exception: %s", kFunction, e.text.c_str());
    return -1;
  }
  return 0;
}

int RealMagneticFS::initializeMountPathInfo() {
  int lowWaterMarkMB = 0;
  int maxFillMB = 0;
  if (m_pReserveMount != nullptr) m_pReserveMount->getMediaInfoForDM(lowWaterMarkMB, maxFillMB);
  m_llReserveMB = lowWaterMarkMB > kMinimumReserveMB ? lowWaterMarkMB : kMinimumReserveMB;
  m_llMaxSpaceToFill = static_cast<long long>(maxFillMB) * static_cast<long long>(kMB);
  Log(1,
      "Magnetic Mount Path :- KBRemaning %lld, Minimum space MB to be left [%lld], maximum space MB to be "
      "filled [%d]",
      m_llKBRemaining, m_llReserveMB, maxFillMB);
  return 0;
}

long long RealMagneticFS::GetRemainingSpace() { return RemainingWithinMaximum(); }

int RealMagneticFS::ReInitializeMedia() {
  if (m_bWriting) return -1;
  closeDeviceHandle();
  Log(1, "Successfully re-initialized the RealMagnetic object ");
  return 0;
}

long RealMagneticFS::GetMarkType() const { return 0; }

int RealMagneticFS::RunAsMountPathUser(const char* function, const std::function<int()>& work) {
  std::optional<CImpersonator> impersonation;
  try {
    impersonation.emplace(m_LoggedOnUser.GetToken());
  } catch (const OzException&) {
    Log(1, "%s: Caught exception in impersonation", function);
    MediaFSSetLastError(kMMErrImpersonationFailed);
    DisplayError(kMMErrImpersonationFailed, 1, "User impersonation failure");
    return -1;
  }
  try {
    return work();
  } catch (const OzException& e) {
    Log(1, "%s: Caught exception: %s", function, e.text.c_str());
    MediaFSSetLastError(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(e.code)));
    GetWindowsErrorString(static_cast<unsigned int>(e.code));
    DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, "Impersonation failure");
    return -1;
  }
}

bool RealMagneticFS::FormatPath(char* out, const char* what, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool formed = FormatPathBufferV(out, kPathBufferSize, 1, what, format, args);
  va_end(args);
  return formed;
}

void RealMagneticFS::MarkVolumeFull(int reason) {
  if (m_pVolInfo != nullptr) m_pVolInfo->markFull(reason, JobId());
}
