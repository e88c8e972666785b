// The size of a volume folder as the space its files occupy, through any storage's file-system
// interface; the disk media and the store report it to the media manager.

#include <strings.h>

#include <cerrno>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/platform.h"

namespace {

// Every level below the folder: chunk files lie below volume and chunk folders.
constexpr int kAllLevels = -1;

struct SizeWalk {
  CFSInterface* fileSystem;
  long long* total;
  CXoError failure;  // the failure that stopped the walk, with its own text
};

CXoError GetSizeWalkerStatic(const char* folder, const char* name, bool isFolder, void* context) {
  if (strcasecmp(name, ".") == 0 || strcasecmp(name, "..") == 0) return CXoError::Success();
  const std::string path = CXoPath::Append(folder, name);
  if (isFolder) return CXoError::Success();
  auto* walk = static_cast<SizeWalk*>(context);
  FSPathInfo info;
  CXoError e = walk->fileSystem->Stat(path, info);
  if (e.IsFailure()) {
    EvDebug log;
    log.debugLvl(1, "Failed to get size of file [%s] due to error [%s]", path.c_str(), e.AsString().c_str());
    return e;
  }
  unsigned long long bytes = info.size;
  if (info.allocatedBytes != 0 && info.allocatedBytes < bytes) bytes = info.allocatedBytes;
  *walk->total += static_cast<long long>(bytes);
  return CXoError::Success();
}

// The file-system layer's walk stops on a negative result; the error itself travels in the
// context, so the caller gets it with its text.
int SizeWalkCallback(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  auto* walk = static_cast<SizeWalk*>(context);
  CXoError e = GetSizeWalkerStatic(folder.c_str(), name.c_str(), isFolder, context);
  if (e.IsSuccess()) return 0;
  walk->failure = e;
  return e.Code();
}

}  // namespace

CXoError SingleInstancer_FS::GetSizeOfVolumeDirectory(CFSInterface* fileSystem, const char* folder, long long* total) {
  if (fileSystem == nullptr || total == nullptr || folder == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "No file-system interface, folder or total to measure with");
  }
  *total = 0;
  SizeWalk walk{fileSystem, total, CXoError::Success()};
  CXoError e = fileSystem->WalkDirectory(folder, &walk, kAllLevels, false, &SizeWalkCallback);
  if (e.IsFailure()) {
    if (walk.failure.IsFailure()) e = walk.failure;
    return e.Push(FX_LOCATION);
  }
  return CXoError::Success();
}
