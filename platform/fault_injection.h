// Faults and conditions that tests inject into the file-system layer.
//
// A rule makes the n-th matching call of one operation on a path fail with a chosen errno, or
// transfer fewer bytes than asked. Counting starts when the rule is added. Free space can be set
// per path prefix, so a mount path reports a chosen number of free bytes. Calls are counted per
// operation and path from the last Reset on (platform::ResetAll resets it, so tests always count).
// In a process that never resets and sets no rule, hook or free-space override, the layer pays
// one relaxed atomic load per call.
//
// The power-loss switch makes the disk layer remember what a power cut would lose, and CutPower
// then loses it (see platform/power_loss.h for the model).
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
  Clone,  // the appliance's clone of a range into an object (platform/appliance_store.h)
  Copy,   // the appliance's copy jobs: start, status and cancel
  ReadDir,  // reading a folder's entries: each CXoDirectory::GetEntry, and each folder a walk
            // lists, on the folder's path
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
// lock; a test uses it to kill a child at a chosen point. Directory listings and walks of the
// file-system layer count as Stat (and the folder reads under them as ReadDir); LockFile and
// UnlockFile as Lock.
using FsHook = std::function<void(FsOp op, const std::string& path)>;

// A read or write as the layer received it: the file offset it started at and the bytes asked. A
// hole: its offset and length; a truncation: the new size as the offset, length 0.
struct FsTransfer {
  FsOp op = FsOp::Read;
  std::string path;
  long long offset = 0;
  unsigned long long length = 0;
};

enum class PowerCutMode {
  kDropUnflushed,  // every unflushed write, size change and name change is lost
  kRandomPages,    // each unflushed 4 KiB page, and the size, at random; a random prefix of the
                   // unflushed name changes stays
};

// What a power cut did. A test logs the seed with its failures, so a run can be repeated.
struct PowerCutReport {
  uint64_t seed = 0;
  int filesReverted = 0;       // files that had unflushed bytes or size changes
  long long pagesKept = 0;     // unflushed pages that survived (random mode)
  long long pagesDropped = 0;  // unflushed pages that were lost
  int namesKept = 0;           // unflushed name changes that survived (random mode)
  int namesUndone = 0;
  std::vector<std::string> errors;  // steps of the restoration that failed; empty normally
};

class FaultInjector {
 public:
  void Add(const FaultRule& rule);
  // Free space of the paths at and below `pathPrefix` (the longest prefix wins); a total of 0
  // reports the real size of the file system. The path need not exist.
  void SetFreeSpace(const std::string& pathPrefix, unsigned long long freeBytes,
                    unsigned long long totalBytes = 0);
  void SetHook(FsHook hook);
  // Records every Read, Write, DrillHole and Truncate from now on (until the reset) for Transfers.
  void TraceTransfers(bool on);
  // The recorded transfers on paths containing `pathContains`, in order.
  std::vector<FsTransfer> Transfers(const std::string& pathContains = "") const;
  // Number of calls of `op` on paths containing `pathContains` since the last reset.
  long long Calls(FsOp op, const std::string& pathContains = "") const;
  // Returns to the initial state: no rule, hook or free space; the power-loss switch off and
  // the power on.
  void Reset();

  // The power-loss switch. Turned on, the disk layer takes everything on disk as flushed and
  // from then on remembers what a power cut would lose. Turned off, it forgets it.
  void SetPowerLossModel(bool on);
  // Returns every file and folder to what the disk holds after losing power now, in `mode`,
  // with random choices drawn from `seed`; from then on every call of the layer fails with EIO
  // until RestorePower. Without the switch on it changes nothing and reports an error.
  PowerCutReport CutPower(PowerCutMode mode, uint64_t seed);
  // The layer works again, on the files as the cut left them, which count as flushed.
  void RestorePower();
  bool PowerIsOff() const;

  // Used by the layer.
  struct Outcome {
    int err = 0;               // nonzero: fail with this errno
    long long shortBytes = -1; // at or above 0: transfer only this many bytes
    bool powerModel = false;   // the power-loss switch is on: the call reports its changes
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
// Bits of what is set: rules, hook, free space, counting, the power-loss switch. Zero: the layer
// skips Check.
extern std::atomic<unsigned> g_faultFlags;
inline constexpr unsigned kFaultFlagTrace = 16u;
inline constexpr unsigned kFaultFlagPowerLoss = 32u;
}  // namespace detail

inline bool FaultInjector::Active() const {
  return detail::g_faultFlags.load(std::memory_order_relaxed) != 0;
}

inline bool FaultInjector::Tracing() const {
  return (detail::g_faultFlags.load(std::memory_order_relaxed) & detail::kFaultFlagTrace) != 0;
}

}  // namespace platform
