// What the compaction files of the store share: the error codes they raise, the names of the side
// files and lock files, and the choice of a log.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/logging.h"

namespace compaction {

// Media manager codes.
inline constexpr unsigned int kMMErrNotFound = 101;            // neither checkpoint nor original
inline constexpr unsigned int kMMErrInvalidParameter = 103;
inline constexpr unsigned int kMMErrNoFSInterface = 124;
inline constexpr unsigned int kMMErrCorrupt = 1204;
inline constexpr unsigned int kMMErrSlotTooSmall = 1210;
inline constexpr unsigned int kMMErrInvalidFSInterface = 44058;
// Win32-style code of an offset that no run of the map holds.
inline constexpr unsigned int kWin32ErrInvalidOffset = 774;

inline constexpr char kCompactSuffix[] = ".compact";
inline constexpr char kTempSuffix[] = ".temp";
inline constexpr char kCompact2Suffix[] = ".compact2";
inline constexpr char kCheckpointSuffix[] = ".compact2.checkpoint";
inline constexpr char kContainerIndexName[] = "SFILE_CONTAINER.idx";
inline constexpr char kCompactLockName[] = ".compactlock";

// The caller's log, or `own` when it gives none.
inline EvDebug* LogOf(EvDebug* given, EvDebug& own) { return given != nullptr ? given : &own; }

// Whether the path names a chunk's container index ("SFILE_CONTAINER.idx" in any case of letters,
// anywhere in the path): its compaction is guarded by ".compactlock", an SFile's by the index.
bool IsContainerIndexPath(const std::string& path);

// The lock file that guards the recovery or switch of `path`: true for the container index
// itself (lock ".compactlock"), false for an SFile (lock "SFILE_CONTAINER.idx").
inline bool LocksCompactLockFile(const std::string& path) { return IsContainerIndexPath(path); }

}  // namespace compaction
