// The NDMP tape media's rules and texts on each road, as the routines shared with the SCSI tape
// media take them: where the two classes differ, the difference is here.
#pragma once

#include "MediaFileSystem/ndmpTape.h"
#include "tape/tape_routines.h"

namespace nttape {

using NdmpRoutines = TapeRoutines<ndmp_fs_tape>;

// The source name that NDMP tape messages carry.
inline constexpr char kNdmpSource[] = "ndmpTape";

// Only CRC and I/O errors count, without media ID queries, cleaning marks or medium errors.
inline constexpr std::array<long long, 4> kNdmpSoftErrorCodes = {kMMErrCrc, kMMErrIo, 0, 0};

inline constexpr SoftErrorRule kNdmpBlockSoftErrors = {kNdmpSoftErrorCodes, "Incrementing the soft errors on Volume",
                                                       "Incrementing the soft errors on drive ", nullptr, false,
                                                       false};
inline constexpr SoftErrorRule kNdmpPositionSoftErrors = {
    kNdmpSoftErrorCodes, "Incrementing the soft errors on Volume", "Incrementing the soft errors on the drive ",
    nullptr, false, false};

inline constexpr AppendSpacing kNdmpAppendSpacing = {"Forwarding to fileMarker=%d on the Tape volId=%d",
                                                     kNdmpPositionSoftErrors, kNdmpSource};

// The read cached file marker stays as it was.
inline constexpr ReadPositioning kNdmpReadPositioning = {"Forwarding to fileMarker=%d on the Tape volId=%d", false,
                                                         kNdmpPositionSoftErrors, false, kNdmpSource};

inline constexpr TrailerCheck kNdmpTrailerCheck = {
    false, false, "Could not read OML on tape media path=%s - Tape VolId=%d ",
    "Did not get Media info while verifying using Chunk map. So going to rewind to the beginning of tape"};

inline constexpr WriteRoad kNdmpWriteRoad = {
    "Wrote %ld bytes instead of %ld bytes at filemarker=%ld path=%s - Tape VolId=%d",
    true,
    false,
    "End of Media encountered while writing to tape at fileMarker=%ld tape media path=%s - Tape VolId=%d "
    "bytes_written %ld",
    "will issue close chunk flag",
    "Encountered end of media while writing to tape at fileMarker=%ld tape media path=%s - Tape VolId=%d "
    "bytes_written %ld",
    kNdmpBlockSoftErrors,
    "Encountered the above error after retrying write... on tape at fileMarker=%ld tape media path=%s - Tape "
    "VolId=%d bytes_written %ld",
    false};

}  // namespace nttape
