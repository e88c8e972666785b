// The slots of the store's roads that this build does not carry yet: the recovery of interrupted
// compactions. Where nothing can be held, it reports that nothing is; a road's own file replaces
// its slots here.

#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"

// Without the recovery of interrupted compactions, a file that has no side files of one needs
// none; one that has them cannot be repaired here, and says so.
CXoError SingleInstancer_FS::RecoverCompactableFileByParams(CFSInitParams& params, const char* szPath,
                                                            ECompactFileType type, EvDebug*, bool) {
  if (type != COMPACT_TYPE_BOTH && type != COMPACT_TYPE_COMPACT && type != COMPACT_TYPE_COMPACT2) {
    return CXoError::Success();
  }
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  if (!fs) return FXErrorUtil::ErrorMM(FX_LOCATION, 40012, "No file-system interface for [%s]", szPath);
  for (const char* suffix : {".compact2", ".compact", ".temp"}) {
    const std::string side = std::string(szPath) + suffix;
    bool exists = false;
    CXoError e = fs->Exists(side, exists);
    if (e.IsFailure()) return e.Push(FX_LOCATION);
    if (exists) {
      return FXErrorUtil::ErrorMM(FX_LOCATION, 1204, "[%s] was left by an interrupted compaction, which cannot be "
                                  "recovered by this build", side.c_str());
    }
  }
  return CXoError::Success();
}
