// How the writing roads report: the impersonation scopes of the store's file work, entered over
// the token of the media object's logged-on user (none on cloud mount paths), with the two ways an
// OzException is reported (one raised on the way in, one raised by the work inside); failed file
// operations; and the low-water mark reached.

#include "MediaFileSystem/SingleInstancerFS.h"

bool SingleInstancer_FS::EnterImpersonation(std::optional<CImpersonator>& scope, const char* op) {
  try {
    scope.emplace(m_LoggedOnUser.GetToken());
    return true;
  } catch (const OzException&) {
    Log(1, "%s: Caught exception in impersonation", op);
    MediaFSSetLastError(kMMErrImpersonationFailed);
    DisplayError(kMMErrImpersonationFailed, 1, "User impersonation failure");
    return false;
  }
}

void SingleInstancer_FS::ReportScopeException(const char* op, const OzException& ex) {
  Log(1, "%s: Caught exception: %s", op, ex.text.c_str());
  const long long code = MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(ex.code));
  MediaFSSetLastError(code);
  GetWindowsErrorString(static_cast<unsigned int>(ex.code));
  DisplayError(static_cast<unsigned long>(code), 1, "Impersonation failure");
}

void SingleInstancer_FS::RecordFailure(const CXoError& e, const char* jobText) {
  ConvertAndSetLastMMError(e);
  diskMarkFull(static_cast<unsigned int>(m_llLastError));
  if (jobText != nullptr) DisplayError(static_cast<unsigned long>(m_llLastError), 1, jobText);
}

bool SingleInstancer_FS::MarkFullAtLowWaterMark(unsigned long long freeBytes, const char* format) {
  constexpr unsigned long long kMiB = 1048576;
  const unsigned long long lowWater = static_cast<unsigned long long>(m_LowWaterMarkMB) * kMiB;
  if (freeBytes > lowWater) return false;
  m_llKBRemaining = 0;
  Log(1, format, m_szPath, static_cast<long long>(freeBytes), static_cast<long long>(lowWater));
  if (m_pVolInfo != nullptr) {
    m_pVolInfo->setFreeBytesMB(static_cast<long long>(freeBytes / kMiB));
    Log(1, "Marking the volume full. Path [%s] ", m_szPath);
    m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
    m_bVolumeFull = true;
  }
  return true;
}
