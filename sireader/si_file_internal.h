// What the parts of CSIFile share: its open flags, the gluster retries and the two ways an
// OzException ends an open.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "MediaFileSystem/MountPathRecords.h"
#include "MediaFileSystem/SIFile.h"
#include "platform/error.h"
#include "platform/identity.h"
#include "platform/logging.h"

namespace sifile {

// Read-only with large-file support, and owner-read, for every file the reader opens.
inline constexpr int kReadOnlyFlags = O_RDONLY | O_LARGEFILE;
inline constexpr int kOpenMode = S_IRUSR;

// The data reader's block: restores read objects in order through a container, and reads of
// whole large blocks cost fewer calls than the copy out of the block costs ("nBufFileRdrReadSizeKB"
// still sets it). The metadata reader keeps the buffered reader's own.
inline constexpr unsigned int kDataBlockSize = 256 * 1024;

// Scale-out gluster volumes (a chunk folder beginning with kGlusterPathPrefix, compared with case).
inline constexpr int kGlusterAttempts = 3;
inline constexpr uint32_t kGlusterRetryPauseMs = 100;

// The error number of a failed impersonation.
inline constexpr int kImpersonationFailure = 1326;

// Layout 0: the tag header and the block sizes it is probed at.
inline constexpr char kTagHeader[8] = {'T', 'A', 'G', 'H', 'D', '0', '1', '\0'};
inline constexpr uint64_t kFirstChunkBlockSize = 32768;
inline constexpr uint64_t kLastChunkBlockSize = 524288;

// Layout 1: the SIRefHdr record and the object header.
inline constexpr unsigned int kRefHdrSize = 496;
inline constexpr size_t kRefHdrNameAt = 96;
inline constexpr size_t kRefHdrDataOffsetAt = 232;  // the name ends before it
inline constexpr size_t kRefHdrIsPrimaryAt = 292;
inline constexpr unsigned int kObjectHeaderSize = 16;
inline constexpr char kObjectHeaderTag[8] = {'1', '0', 'D', 'H', 'G', 'A', 'T', '\0'};

// Whether a data file name of a reference record stays inside the chunk folder: not empty, not
// absolute, no ".." among its parts.
inline bool NamesAFileOfTheChunk(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  for (size_t at = 0; at <= name.size();) {
    const size_t end = std::min(name.find('/', at), name.size());
    if (name.compare(at, end - at, "..") == 0) return false;
    at = end + 1;
  }
  return true;
}

// An SFile container with fewer bytes than an object header holds nothing.
inline constexpr unsigned long long kSmallestSfile = 16;

// Runs `body` and turns an OzException it raises into -2, logged as "Exception thrown" and kept
// in `lastError` with the exception's error number.
template <typename Body>
MM_int Guarded(_OzLogDef* log, const char* op, CXoError& lastError, Body&& body) {
  try {
    return body();
  } catch (const OzException& ex) {
    OZlog(log, 1, "%s: Exception thrown. %s", op, ex.text.c_str());
    lastError = FXErrorUtil::ErrorErrNo(FX_LOCATION, static_cast<int>(ex.code), "Exception: %s", ex.text.c_str());
    return -2;
  }
}

// Runs `body` as the token's user. An OzException raised while the impersonation is set up gives
// -2 with error number 1326; one raised inside `body` is handled as Guarded does.
template <typename Body>
MM_int Impersonated(uint64_t token, _OzLogDef* log, const char* op, CXoError& lastError, Body&& body) {
  std::optional<CImpersonator> scope;
  try {
    scope.emplace(token);
  } catch (const OzException&) {
    OZlog(log, 1, "%s: Caught exception in impersonation", op);
    lastError = FXErrorUtil::ErrorErrNo(FX_LOCATION, kImpersonationFailure, "User impersonation failure");
    return -2;
  }
  return Guarded(log, op, lastError, body);
}

}  // namespace sifile
