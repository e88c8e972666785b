// Codes and texts that the SCSI tape media's files share.
#pragma once

#include "MediaFileSystem/MediaFSErrorCodes.h"
#include "platform/string_format.h"

namespace nttape {

// The source name that tape messages carry.
inline constexpr char kSource[] = "nttape";

// Media manager codes of the drive that the tape media act on.
inline constexpr long long kMMErrCrc = 762;
inline constexpr long long kMMErrIo = 764;
inline constexpr long long kMMErrWriteProtected = 766;
inline constexpr long long kMMErrEndOfData = 773;
inline constexpr long long kMMErrEarlyWarning = 785;
inline constexpr long long kMMErrFileMark = 786;
inline constexpr long long kMMErrHardware = 790;
inline constexpr long long kMMErrNeedsCleaning = 793;
inline constexpr long long kMMErrMedium = 843;
inline constexpr long long kMMErrPhysicalEnd = 974;
// Codes the tape media set themselves.
inline constexpr long long kMMErrMediaNotVerified = 759;
inline constexpr long long kMMErrPositionWentBack = 972;
inline constexpr long long kMMErrSerialMismatch = 973;

inline constexpr char kNoDriveObjectText[] = "No tape drive object could be made for the device path %s";

// The kind that the tape media pass with soft errors.
inline constexpr int kSoftErrorKind = 5;
// The soft errors a medium error adds to the volume.
inline constexpr int kMediumErrorSoftErrors = 6;

// What GetRemainingSpace reports while the space is not calculated and the volume is not full.
inline constexpr long long kUncalculatedRemainingSpace = 1073741824;

// A chunk map trailer block: the byte edits before it is parsed.
inline constexpr size_t kTrailerLineFeedFromEnd = 3;
inline constexpr size_t kTrailerBlankFromEnd = 5;

}  // namespace nttape
