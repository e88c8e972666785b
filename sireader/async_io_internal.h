// What the read managers' sources share and hosts do not see.
#pragma once

#include <fcntl.h>

#include <cstdint>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "platform/error.h"
#include "platform/file_system.h"

// Errors of the read managers carry this source name and the operation that made them.
#define AIO_LOCATION (FXCodeLocation{"AsyncIoManager2", __func__, __LINE__})

namespace async_io {

// Win32-style codes of the managers' errors.
inline constexpr unsigned int kErrorInvalidHandle = 6;       // no file interface to read through
inline constexpr unsigned int kErrorNotEnoughMemory = 8;     // no interface or reader pool to be had
inline constexpr unsigned int kErrorBadArguments = 160;      // no path or interface given
inline constexpr unsigned int kErrorOperationAborted = 995;  // read cancelled before it started
inline constexpr unsigned int kErrorInternalError = 1359;    // interface not from this manager's pools

inline constexpr uint32_t kNoMountPathId = 0xFFFFFFFFu;
inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Reader flags of the thread-pool managers: how a manager counted itself as a reader.
inline constexpr uint32_t kCountedGlusterReader = 1;
inline constexpr uint32_t kCountedOrdinaryReader = 2;
inline constexpr uint32_t kCountedOverlappedReader = 4;

// Writes a message of the managers (level 1) on the host's log while
// CAsyncIoManager2::g_nAsyncIoMgrDebugLvl is above 0.
void Log(_OzLogDef* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Open flags of a file read through a file interface of the storage type: cloud storage and the
// cloud kinds with a disk cache read through the layer's remote path.
inline int AsyncReadFlags(int storageType) {
  int flags = O_RDONLY | O_LARGEFILE;
  if (FSReadsRemotely(storageType)) flags |= kFSOpenRemoteRead;
  return flags;
}

}  // namespace async_io
