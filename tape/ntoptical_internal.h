// Codes and texts that the optical disk media's files share.
#pragma once

#include "MediaFileSystem/MediaFSErrorCodes.h"

namespace ntoptical {

// The source name that optical messages carry.
inline constexpr char kSource[] = "NTOptical";

// Media manager codes the optical media act on or set.
inline constexpr long long kMMErrIo = 764;  // a write the drive cut short without a code of its own
inline constexpr long long kMMErrWriteProtected = 766;
inline constexpr long long kMMErrEndOfData = 773;  // a read at the end of a file
inline constexpr long long kMMErrDiskDamaged = 798;
inline constexpr long long kMMErrFileExists = 975;

// The media kind of the optical media's reports to the job (tape and optical drives).
inline constexpr int kDisplayKind = 0;

}  // namespace ntoptical
