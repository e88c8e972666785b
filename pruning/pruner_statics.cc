// What every pruner shares: the message prefix, the existence test that tells a deleted path
// from an offline mount path, and the removal of a file with its permission-reset retry.
#include <cerrno>
#include <cstdarg>
#include <memory>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/local_files.h"
#include "platform/string_format.h"

namespace {

constexpr int kExistsTries = 3;
constexpr uint32_t kExistsPauseMs = 1;
constexpr unsigned int kMMNoInterface = 104;
constexpr unsigned int kWin32InvalidParameter = 87;
constexpr unsigned int kRemoveFlags = 0x8;
constexpr unsigned int kRemoveFlagsResetPerm = 0x18;
constexpr int kPermResetRemoveBit = 0x10;

}  // namespace

std::string CSingleInstancerPruner::MessagePrefix(uint32_t engineId, uint32_t phase, const char* tag, int line) {
  if (engineId != 0) return StringFormat("%d-%d %s:%d ", static_cast<int>(engineId), static_cast<int>(phase), tag, line);
  return StringFormat("%s:%d ", tag, line);
}

void CSingleInstancerPruner::LogMessage(EvDebug* log, int level, uint32_t engineId, uint32_t phase, const char* tag,
                                        int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  EvDebug local;
  (log != nullptr ? log : &local)->debugLvl(level, "%s%s", MessagePrefix(engineId, phase, tag, line).c_str(),
                                            text.c_str());
}

CXoError CSingleInstancerPruner::PathExistsStatic(CFSInterface* fs, const char* path, bool& exists,
                                                  SSIPrunerLogContext* context, CAverageCounter* counter) {
  static constexpr char kTag[] = "PathExists";
  if (fs == nullptr) return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32InvalidParameter, "Invalid file system interface.");
  EvDebug local;
  EvDebug* log = (context != nullptr && context->pLog != nullptr) ? context->pLog : &local;
  const uint32_t engineId = context != nullptr ? context->uEngineId : 0;
  const uint32_t phase = context != nullptr ? context->uPhase : 0;
  const std::string target = path != nullptr ? path : "";

  // The mount path's root: the path up to and including the last "OZ_MAGNETIC".
  std::string root;
  if (const char* at = ozstrrstr(target.c_str(), kMagneticRootName)) {
    root = target.substr(0, static_cast<size_t>(at - target.c_str()) + sizeof(kMagneticRootName) - 1);
  }
  auto timedExists = [&](const std::string& p, bool& found) {
    if (counter != nullptr) counter->Start();
    CXoError e = fs->Exists(p, found);
    if (counter != nullptr) counter->Stop();
    return e;
  };

  for (int attempt = 0; attempt < kExistsTries; ++attempt) {
    CXoError e = timedExists(target, exists);
    if (e.IsFailure()) {
      LogMessage(log, 1, engineId, phase, kTag, __LINE__, "Unable to check presence of [%s]. Error [%s]",
                 target.c_str(), e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    if (exists || root.empty()) return CXoError::Success();
    bool rootExists = false;
    e = timedExists(root, rootExists);
    if (e.IsFailure()) {
      LogMessage(log, 1, engineId, phase, kTag, __LINE__, "Unable to check presence of [%s]. Error [%s]", root.c_str(),
                 e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    if (!rootExists) {
      exists = false;
      return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrMountPathOffline, "Entire path is offline");
    }
    if (fs->GetType() == kFSTypeCloud) break;  // an object store answers at once: no retry
    XOSLEEP_InTeRnAl(kExistsPauseMs, __FILE__, __LINE__);
  }
  exists = false;
  return CXoError::Success();
}

CXoError CSingleInstancerPruner::PathExistsStatic(CFSInterface* fs, const char* path, bool& exists, EvDebug* log,
                                                  CAverageCounter* counter) {
  SSIPrunerLogContext context{log, 0, 0};
  return PathExistsStatic(fs, path, exists, &context, counter);
}

CXoError CSingleInstancerPruner::PathExistsStatic(const CFSInitParams& params, const char* path, bool& exists,
                                                  EvDebug* log, CAverageCounter* counter) {
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  if (!fs) return FXErrorUtil::ErrorMM(FX_LOCATION, kMMNoInterface);
  return PathExistsStatic(fs.get(), path, exists, log, counter);
}

CXoError CSingleInstancerPruner::RemoveFileHelper(CFSInterface* fs, const std::string& path, EvDebug* log) {
  static constexpr char kTag[] = "RemoveFileHlpr";
  if (fs == nullptr) return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32InvalidParameter, "Invalid file system interface.");
  const int permFlags = SingleInstancer_FS::GetPermissionsResetFlag(log);
  const unsigned int removeFlags = (permFlags & kPermResetRemoveBit) != 0 ? kRemoveFlagsResetPerm : kRemoveFlags;
  CXoError first;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    CXoError e = fs->RemoveFile(path, removeFlags);
    if (e.IsSuccess()) return e;
    // Only the tag and line: the message is the same whichever pruner removes.
    LogMessage(log, 1, 0, 0, kTag, __LINE__,
               "Error in removing [%s], Attempt [%d], PermResetFlg [%d], SysErr [%d], DelFlg [%x], Err [%s]",
               path.c_str(), attempt, permFlags, 0, removeFlags, e.AsString().c_str());
    if (attempt == 2) return e.Push(FX_LOCATION);
    first = e;
    bool reset = false;
    (void)SingleInstancer_FS::AttemptPermissionsReset(fs, path.c_str(), log, true, reset);
    if (!reset) return first.Push(FX_LOCATION);
  }
  return first;
}
