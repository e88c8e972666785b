// File and folder operations on disk mount paths for callers without a disk media object: the
// store removing a chunk's data file, hosts cleaning up. A path below a disk library root whose
// root has gone is reported as an offline mount path, never as a missing file.

#include <cerrno>
#include <memory>

#include "MediaFileSystem/MediaFSErrorCodes.h"
#include "MediaFileSystem/RealMagnetic.h"
#include "platform/platform.h"

namespace {

constexpr const char kLibraryRootFolder[] = "OZ_MAGNETIC";
constexpr int kExistenceAttempts = 3;
constexpr uint32_t kExistenceRetryMs = 1;
constexpr unsigned int kWin32PathOffline = 774;
constexpr int kWritableByAll = 0666;

// The caller's log, or one of our own for the call.
class CallLog {
 public:
  explicit CallLog(EvDebug* log) : m_log(log) {
    if (m_log == nullptr) {
      m_own = std::make_unique<EvDebug>();
      m_log = m_own.get();
    }
  }
  EvDebug* operator->() const { return m_log; }
  EvDebug* get() const { return m_log; }

 private:
  std::unique_ptr<EvDebug> m_own;
  EvDebug* m_log;
};

// The library root of a path: up to and including the last "OZ_MAGNETIC"; empty without one.
std::string LibraryRoot(const char* path) {
  const char* at = ozstrrstr(path, kLibraryRootFolder);
  if (at == nullptr) return std::string();
  return std::string(path, static_cast<size_t>(at - path) + sizeof(kLibraryRootFolder) - 1);
}

CXoError MissingArgument(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorErrNo(where, EINVAL, "No file-system interface, path or result given");
}

// The existence test that starts a removal; its failure is logged under the removal's tag.
CXoError ExistsForRemoval(CFSInterface* fs, const char* path, const char* tag, EvDebug* log, bool& exists) {
  CXoError e = RealMagneticFS::PathExists(fs, path, &exists, log);
  if (e.IsFailure()) {
    log->debugLvl(1, "%s:%d Unable to check if path [%s] exists or not. Error [%s]", tag, __LINE__, path,
                  e.AsString().c_str());
  }
  return e;
}

}  // namespace

CXoError RealMagneticFS::PathExists(CFSInterface* fs, const char* path, bool* exists, EvDebug* log) {
  if (fs == nullptr || path == nullptr || exists == nullptr) return MissingArgument(FX_LOCATION);
  CallLog out(log);
  const std::string root = LibraryRoot(path);
  for (int attempt = 0; attempt < kExistenceAttempts; ++attempt) {
    CXoError e = fs->Exists(path, *exists);
    if (e.IsFailure()) {
      out->debugLvl(1, "%s:%d Unable to check presence of [%s]. Error [%s]", "PathExists", __LINE__, path,
                    e.AsString().c_str());
      return e;
    }
    if (root.empty() || *exists) return CXoError::Success();
    e = fs->Exists(root, *exists);
    if (e.IsFailure()) {
      out->debugLvl(1, "%s:%d Unable to check presence of [%s]. Error [%s]", "PathExists", __LINE__, root.c_str(),
                    e.AsString().c_str());
      return e;
    }
    if (!*exists) return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32PathOffline, "Entire path is offline");
    XOSLEEP(kExistenceRetryMs);
  }
  *exists = false;
  return CXoError::Success();
}

CXoError RealMagneticFS::DeleteFile(CFSInterface* fs, const char* path, EvDebug* log) {
  if (fs == nullptr || path == nullptr) return MissingArgument(FX_LOCATION);
  CallLog out(log);
  bool exists = false;
  CXoError e = ExistsForRemoval(fs, path, "DeleteFile", out.get(), exists);
  if (e.IsFailure()) return e;
  if (!exists) return CXoError::Success();
  if (fs->RemoveFile(path, 0).IsSuccess()) return CXoError::Success();

  // The removal may have been refused for a read-only file: make it writable and try once more.
  e = fs->Chmod(path, kWritableByAll);
  if (e.IsFailure()) {
    if (FXErrorUtil::IsErrNo(e, ENOENT) || FXErrorUtil::IsMM(e, kMMErrPathNotAccessible)) return CXoError::Success();
    out->debugLvl(1, "%s:%d Failed to change the mode of the file [%s] to read write mode. Error [%s]", "DeleteFile",
                  __LINE__, path, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  e = fs->RemoveFile(path, 0);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  return CXoError::Success();
}

CXoError RealMagneticFS::DeleteDirectory(CFSInterface* fs, const char* path, EvDebug* log) {
  if (fs == nullptr || path == nullptr) return MissingArgument(FX_LOCATION);
  CallLog out(log);
  bool exists = false;
  CXoError e = ExistsForRemoval(fs, path, "DeleteDirectory", out.get(), exists);
  if (e.IsFailure()) return e;
  if (!exists) return CXoError::Success();
  e = fs->RemoveDirectory(path, 0);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  return CXoError::Success();
}

CXoError RealMagneticFS::FlushFolder(const CFSInitParams& params, const std::string& folder) {
  std::unique_ptr<CFileInterface> dir(CFileInterface::GetFileInterfaceInstance(params));
  if (!dir) return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoFileInterface, "No file interface for [%s]", folder.c_str());
  CXoError e = dir->Open(folder, O_RDONLY | O_DIRECTORY, 0, 0);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  e = dir->Flush();
  (void)dir->Close();
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}

int RealMagneticFS::GrantDeletePermissions(CFSInterface*, const char*, EvDebug*) { return 0; }

int RealMagneticFS::RevokeDeletePermissionsFromAll(CFSInterface*, const char*, EvDebug*) { return 0; }
