// The library's own error codes (they share the number space of the media manager's codes), the
// media manager codes that the frame sets itself, and the reasons with which volumes are marked
// full.
#pragma once

// Library codes, 30029 to 30079. No other code of the range is raised.
inline constexpr long long kMFSErrTapeWritePositionUnknown = 30029;  // tape cannot continue writing
inline constexpr long long kMFSErrCloudObjectIdNotRecorded = 30036;  // cloud chunk id not recorded
inline constexpr long long kMFSErrAlreadyInitialized = 30042;
inline constexpr long long kMFSErrBlockSizeUnknown = 30043;
inline constexpr long long kMFSErrFileMarkerUpdateFailed = 30045;
inline constexpr long long kMFSErrNotInitializedForBackup = 30046;
inline constexpr long long kMFSErrUnknownArchiveType = 30047;
inline constexpr long long kMFSErrZeroByteWrite = 30050;
inline constexpr long long kMFSErrNoLogicalDrive = 30052;           // optical mount path
inline constexpr long long kMFSErrNoChunkCollectFile = 30053;       // reader mode
inline constexpr long long kMFSErrChunkCollectLineUnreadable = 30054;
inline constexpr long long kMFSErrChunkCollectExhausted = 30055;
inline constexpr long long kMFSErrChunkCollectCreateFailed = 30056;
inline constexpr long long kMFSErrChunkCollectReopenFailed = 30057;
inline constexpr long long kMFSErrMountPathWalkFailed = 30058;
inline constexpr long long kMFSErrHwEncryptionKeyRefused = 30070;   // only shown to the job
inline constexpr long long kMFSErrPartialChangeJournal = 30074;     // inside an error value
inline constexpr long long kMFSErrBufferGuardCorrupted = 30077;     // inside an error value
inline constexpr long long kMFSErrMountPathLookupFailed = 30079;

// Media manager codes the frame sets. Those that system errors convert to (767, 993, 994, 996)
// are named beside the conversion, in platform/error.h.
inline constexpr long long kMMErrOutOfMemory = 104;
inline constexpr long long kMMErrNoFileInterface = 124;  // no file-system or file interface for the storage
inline constexpr long long kMMErrMountPathOffline = 312;  // a path and its mount path's root are both missing
inline constexpr long long kMMErrImpersonationFailed = 751;

// CreateSpecific and Create: the media has no room for the archive file (the volume is marked full).
inline constexpr int kMFSNoRoomOnMedia = 0xF0FF;  // 61695

// Reasons of OZMMvolInfo::markFull.
inline constexpr int kVolumeFullReasonFull = 42001;
inline constexpr int kVolumeFullReasonWriteProtected = 42008;
inline constexpr int kVolumeFullReasonFileMarkerAhead = 42009;
inline constexpr int kVolumeFullReasonPathInaccessible = 42010;
inline constexpr int kVolumeFullReasonPositionCheckFailed = 42033;  // hardware error while checking the position
