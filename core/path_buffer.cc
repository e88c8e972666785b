// Paths formed in the fixed buffers of the media: one that does not fit is refused whole, never
// cut, since a path cut short names another file.

#include <cerrno>
#include <cstdio>

#include "MediaFileSystem/zovadAdeveFS.h"

bool media_fs::FormatPathBufferV(char* out, size_t size, int kind, const char* what, const char* format,
                                 va_list args) {
  const int length = std::vsnprintf(out, size, format, args);
  if (length >= 0 && static_cast<size_t>(length) < size) return true;
  if (size > 0) out[0] = '\0';
  CXoError e = FXErrorUtil::ErrorErrNo(FX_LOCATION, ENAMETOOLONG,
                                       "The path of the %s under the mount path [%s] does not fit in %zu characters",
                                       what, m_szPath, size > 0 ? size - 1 : 0);
  ConvertAndSetLastMMError(e);
  Log(1, "%s", e.AsString().c_str());
  DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), kind, e.Message().c_str());
  return false;
}
