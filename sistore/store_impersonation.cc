// The impersonation scopes of the store's file work: entered over the token of the media object's
// logged-on user (none on cloud mount paths), with the two ways an OzException is reported: one
// raised on the way in, and one raised by the work inside.

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
