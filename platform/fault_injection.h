// Faults and conditions that tests inject into the file-system layer.
//
// A rule makes the n-th matching call of one operation on a path fail with a chosen errno, or
// transfer fewer bytes than asked. Counting starts when the rule is added. Free space can be set
// per path prefix, so a mount path reports a chosen number of free bytes. With no rule, no hook
// and no free-space override the layer pays one relaxed atomic load per call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
};

const char* FsOpName(FsOp op);

struct FaultRule {
  FsOp op = FsOp::Write;
  std::string pathContains;  // empty: any path
  int nth = 1;               // the first matching call that fails, counted from 1
  int times = 1;             // how many calls fail from there on; -1 for all of them
  int err = 5;               // errno of the failure (EIO by default); 0 with shortBytes set: a short transfer
  long long shortBytes = -1; // Read or Write: transfer this many bytes and report success
};

// Called before each operation with its path; a test uses it to kill a child at a chosen point.
using FsHook = std::function<void(FsOp op, const std::string& path)>;

class FaultInjector {
 public:
  void Add(const FaultRule& rule);
  void SetFreeSpace(const std::string& pathPrefix, unsigned long long freeBytes,
                    unsigned long long totalBytes = 0);
  void SetHook(FsHook hook);
  // Number of calls of `op` on paths containing `pathContains` since the last reset.
  long long Calls(FsOp op, const std::string& pathContains = "") const;
  void Reset();

  // Used by the layer.
  struct Outcome {
    int err = 0;               // nonzero: fail with this errno
    long long shortBytes = -1; // at or above 0: transfer only this many bytes
  };
  bool Active() const;
  Outcome Check(FsOp op, const std::string& path);
  bool FreeSpaceFor(const std::string& path, unsigned long long& freeBytes,
                    unsigned long long& totalBytes) const;
};

FaultInjector& Faults();

}  // namespace platform
