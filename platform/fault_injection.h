// Faults and conditions that tests inject into the file-system layer.
//
// A rule makes the n-th matching call of one operation on a path fail with a chosen errno, or
// transfer fewer bytes than asked. Counting starts when the rule is added. Free space can be set
// per path prefix, so a mount path reports a chosen number of free bytes. Calls are counted per
// operation and path from the last Reset on (platform::ResetAll resets it, so tests always count).
// In a process that never resets and sets no rule, hook or free-space override, the layer pays
// one relaxed atomic load per call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

enum class FsOp {
  Open,
  Close,
  Read,
  Write,
  Seek,
  Flush,
  Truncate,
  DrillHole,
  Rename,
  Remove,
  CreateDirectory,
  Stat,
  Size,
  FreeSpace,
  Lock,
  Chmod,
};

const char* FsOpName(FsOp op);

struct FaultRule {
  FsOp op = FsOp::Write;
  std::string pathContains;  // empty: any path
  int nth = 1;               // the first matching call that fails, counted from 1 (below 1: 1)
  int times = 1;             // how many calls fail from there on; -1 for all of them
  int err = 5;               // errno of the failure (EIO by default); 0 with shortBytes set: a short transfer
  long long shortBytes = -1; // Read or Write: transfer this many bytes and report success
};

// Called before each operation with its path (Rename: the source path), outside the injector's
// lock; a test uses it to kill a child at a chosen point. Directory listings and walks count as
// Stat; LockFile and UnlockFile as Lock.
using FsHook = std::function<void(FsOp op, const std::string& path)>;

// A read or write as the layer received it: the file offset it started at and the bytes asked.
struct FsTransfer {
  FsOp op = FsOp::Read;
  std::string path;
  long long offset = 0;
  unsigned long long length = 0;
};

class FaultInjector {
 public:
  void Add(const FaultRule& rule);
  // Free space of the paths at and below `pathPrefix` (the longest prefix wins); a total of 0
  // reports the real size of the file system. The path need not exist.
  void SetFreeSpace(const std::string& pathPrefix, unsigned long long freeBytes,
                    unsigned long long totalBytes = 0);
  void SetHook(FsHook hook);
  // Records every Read and Write from now on (until the reset) for Transfers.
  void TraceTransfers(bool on);
  // The recorded transfers on paths containing `pathContains`, in order.
  std::vector<FsTransfer> Transfers(const std::string& pathContains = "") const;
  // Number of calls of `op` on paths containing `pathContains` since the last reset.
  long long Calls(FsOp op, const std::string& pathContains = "") const;
  void Reset();

  // Used by the layer.
  struct Outcome {
    int err = 0;               // nonzero: fail with this errno
    long long shortBytes = -1; // at or above 0: transfer only this many bytes
  };
  bool Active() const;  // the layer's fast path: one relaxed load
  Outcome Check(FsOp op, const std::string& path);
  bool FreeSpaceFor(const std::string& path, unsigned long long& freeBytes,
                    unsigned long long& totalBytes) const;
  bool Tracing() const;
  void RecordTransfer(FsOp op, const std::string& path, long long offset, unsigned long long length);
};

FaultInjector& Faults();

namespace detail {
// Bits of what is set: rules, hook, free space, counting. Zero: the layer skips Check.
extern std::atomic<unsigned> g_faultFlags;
inline constexpr unsigned kFaultFlagTrace = 16u;
}  // namespace detail

inline bool FaultInjector::Active() const {
  return detail::g_faultFlags.load(std::memory_order_relaxed) != 0;
}

inline bool FaultInjector::Tracing() const {
  return (detail::g_faultFlags.load(std::memory_order_relaxed) & detail::kFaultFlagTrace) != 0;
}

}  // namespace platform
