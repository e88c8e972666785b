// The last error of a media object and the classification of error values.

#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"

long long media_fs::ConvertAndSetLastMMError(CXoError e) {
  const long long code = MMS2BaseError::ConvertToMMError(e);
  m_strLastErrorMsg = e.AsString();
  MediaFSSetLastError(code);
  return code;
}

void media_fs::GetWindowsErrorString(unsigned int code) {
  m_strLastErrorMsg = std::strerror(static_cast<int>(code));
}

void media_fs::GetDataBaseErrorString(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  std::strncpy(buffer, m_strLastErrorMsg.c_str(), static_cast<size_t>(size));
}

bool IsMediaFSItemNotFoundError(CXoError e) {
  switch (e.Facility()) {
    case kFacilityMM:
      return FXErrorUtil::IsMM(e, kMMErrPathNotAccessible) || FXErrorUtil::IsMM(e, 1005);
    case kFacilityErrNo:
      return FXErrorUtil::IsErrNo(e, 2) || FXErrorUtil::IsErrNo(e, 20) || FXErrorUtil::IsErrNo(e, 14);
    case kFacilityWin32:
      return FXErrorUtil::IsWin32(e, 3) || FXErrorUtil::IsWin32(e, 2);
    default:
      return false;
  }
}
