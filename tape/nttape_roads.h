// The SCSI tape media's rules and texts on each road, as the routines shared with the NDMP tape
// media take them.
#pragma once

#include "MediaFileSystem/nttape.h"
#include "tape/tape_routines.h"

namespace nttape {

using Routines = TapeRoutines<nt_fs_tape>;

// Every drive failure of these codes counts as a soft error; the lines and the media ID query
// differ by road.
inline constexpr std::array<long long, 4> kScsiSoftErrorCodes = {kMMErrCrc, kMMErrIo, kMMErrHardware,
                                                                 kMMErrNeedsCleaning};

inline constexpr SoftErrorRule kScsiWriteSoftErrors = {
    kScsiSoftErrorCodes, "Incrementing the soft errors on Volume", "Incrementing the soft errors on drive ",
    "Marking that drive needs cleaning as CRC error/cleaning required error has been reported by the drive ", true,
    true};
inline constexpr SoftErrorRule kScsiReadSoftErrors = {
    kScsiSoftErrorCodes, "Incrementing the soft errors on Volume", "Incrementing the soft errors on drive ",
    "Marking that drive needs cleaning as CRC error/Cleaning required error has been reported by the drive ", true,
    true};
inline constexpr SoftErrorRule kScsiCreateSoftErrors = {
    kScsiSoftErrorCodes, "Incrementing the soft errors on Volume", "Incrementing the soft errors on the drive ",
    "Marking that drive needs cleaning as CRC error/cleaning required has been reported by the drive ", false, true};
inline constexpr SoftErrorRule kScsiOpenSoftErrors = {
    kScsiSoftErrorCodes, "Incrementing the soft errors on Volume", "Incrementing the soft errors on the drive ",
    "Marking that drive needs cleaning as CRC/cleaning required error has been reported by the drive ", false, true};

inline constexpr AppendSpacing kScsiAppendSpacing = {"Forwarding by fileMarker=%d on the Tape volId=%d",
                                                     kScsiCreateSoftErrors, kSource};

inline constexpr ReadPositioning kScsiReadPositioning = {"Forwarding by fileMarker=%d on the Tape volId=%d", true,
                                                         kScsiOpenSoftErrors, true, kSource};

inline constexpr TrailerCheck kScsiTrailerCheck = {
    true, true, "Could not read Data for Chunk Map Trailer for tape media path=%s - Tape VolId=%d ",
    "Could not get Media info while verifying using Chunk map. So going to rewind to the beginning of tape"};

inline constexpr WriteRoad kScsiWriteRoad = {
    "Wrote %lu bytes instead of %ld bytes at filemarker=%ld path=%s - Tape VolId=%d",
    false,
    true,
    "Logical End of Media encountered while writing at fileMarker=%ld. path=%s. VolId=%d bytes_written %lu. Will "
    "span tape.",
    nullptr,
    "Encountered Logical end of media while writing to tape at fileMarker=%ld. path=%s - VolId=%d bytes_written "
    "%lu. Will span tape",
    kScsiWriteSoftErrors,
    "Encountered the above error after retrying write... on tape at fileMarker=%ld tape media path=%s - Tape "
    "VolId=%d bytes_written %lu",
    true};

}  // namespace nttape
