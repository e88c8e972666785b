// The delete log: one line per removal, cut or hole that pruning made on storage.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "MediaFileSystem/SingleInstancerPruner.h"

void LogDelete(EvDebug* log, int line, const char* format, ...) {
  // 510 characters and the terminating zero, with one byte to spare that always stays zero.
  char buffer[kDeleteLogLineMax + 2] = {};
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const long tid = static_cast<long>(syscall(SYS_gettid));
  int used = std::snprintf(buffer, kDeleteLogLineMax + 1, "%x %02d/%02d %02d:%02d:%02d %4d ",
                           static_cast<unsigned int>(tid), local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec, line);
  if (used < 0) used = 0;
  if (static_cast<size_t>(used) < kDeleteLogLineMax) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + used, kDeleteLogLineMax + 1 - static_cast<size_t>(used), format, args);
    va_end(args);
  }
  buffer[sizeof(buffer) - 1] = '\0';
  log->logMessage(1, buffer);
}
