// Volume removal: a volume folder that the host marked prunable (".prunable") and that holds no
// chunk entry any more loses its files, then the marker, then the folder. The marker goes last so
// that a removal that stops part way leaves the volume marked and the next volume end finishes it.
#include <strings.h>

#include <cerrno>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/remote_storage.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr unsigned int kWin32ErrChunkFound = 774;
constexpr int kTestWalkBatch = 10;
constexpr int kDeletionWalkBatch = 0;  // the storage's own
constexpr int kVolumeRemoved = -4;
constexpr int kVolumeKept = -1;

struct CanPruneWalkContext {
  bool bFoundChunk = false;
  bool bFoundMarker = false;
  CSingleInstancerPruner* pPruner = nullptr;
};

bool StartsNoCase(const std::string& name, const char* prefix, size_t n) {
  return name.size() >= n && strncasecmp(name.c_str(), prefix, n) == 0;
}

}  // namespace

std::string CSingleInstancerPruner::VolumeFolder(const std::string& mountPath, unsigned int volId) {
  return m_pFS->AppendPath(mountPath, SingleInstancer_FS::GetVolumeDirName(volId));
}

int CSingleInstancerPruner::MarkVolumePrunable(unsigned int volId) {
  const char* tag = "MarkVolumePrunable";
  if (m_pFS == nullptr || m_pFile == nullptr) return -1;
  const std::string folder = VolumeFolder(m_strMountPath, volId);
  bool exists = true;
  CXoError e = PathExists(folder.c_str(), exists);
  if (e.IsFailure()) {
    PLOG(1, tag, "Failed to check if vol [%s] exists, error [%s]", folder.c_str(), e.AsString().c_str());
    (void)RebindOnInvalidArgument(e);
    return FXErrorUtil::IsMM(e, kMMErrMountPathOffline) ? -2 : -1;
  }
  if (!exists) return 0;
  const std::string marker = m_pFS->AppendPath(folder, kPrunableMarker);
  if (m_bCountersEnabled) m_AvgOpen.Start();
  e = m_pFile->Open(marker, O_WRONLY | O_CREAT | O_TRUNC, 0777, 0);
  if (m_bCountersEnabled) m_AvgOpen.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot mark the volume folder [%s] as prunable, error [%s]", folder.c_str(), e.AsString().c_str());
    return -1;
  }
  if (m_bCountersEnabled) m_AvgClose.Start();
  (void)m_pFile->Close();
  if (m_bCountersEnabled) m_AvgClose.Stop();
  return 0;
}

CXoError CSingleInstancerPruner::CanPruneVolume(const char* mountPath, unsigned int volId, bool& canPrune) {
  const std::string folder = VolumeFolder(mountPath, volId);
  canPrune = false;
  if (CSkarvoFS::IsSkarvoPath(folder)) {
    bool marked = false;
    CXoError e = m_pFS->Exists(m_pFS->AppendPath(folder, kPrunableMarker), marked);
    if (e.IsFailure()) return e;
    if (!marked) return CXoError::Success();
    bool found = false;
    if (CSkarvoFS::Instance()->Lookup(folder, "CHUNK_", &found) != 0) {
      return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32ErrChunkFound, "Failed to lookup for chunk folders.");
    }
    if (!found) {
      PLOG(1, "CanPruneVolume", "No chunk folders exist in volume [%s]. Proceeding to delete.", folder.c_str());
      canPrune = true;
    }
    return CXoError::Success();
  }
  CanPruneWalkContext ctx;
  ctx.pPruner = this;
  if (m_bCountersEnabled) m_AvgCanPruneVolume.Start();
  CXoError e = m_pFS->WalkDirectory(folder, &ctx, 0, false, &CanPruneVolumeWalkerStatic, kTestWalkBatch);
  if (m_bCountersEnabled) m_AvgCanPruneVolume.Stop();
  if (e.IsSuccess()) {
    canPrune = ctx.bFoundMarker;
    return e;
  }
  if (ctx.bFoundChunk) return CXoError::Success();
  PLOG(1, "CanPruneVolume", "Walk failed for [%s], error [%s]", folder.c_str(), e.AsString().c_str());
  return e;
}

int CSingleInstancerPruner::CanPruneVolumeWalkerStatic(const std::string& folder, const std::string& name, bool isFolder,
                                                       void* context) {
  auto* ctx = static_cast<CanPruneWalkContext*>(context);
  CXoError e = ctx->pPruner->CanPruneVolumeWalker(folder.c_str(), name.c_str(), isFolder, context);
  if (e.IsFailure()) e.Push(FX_LOCATION);
  return e.Code();
}

CXoError CSingleInstancerPruner::CanPruneVolumeWalker(const char* folder, const char* name, bool isFolder,
                                                      void* context) {
  (void)folder, (void)isFolder;
  auto* ctx = static_cast<CanPruneWalkContext*>(context);
  const bool cloudRule = ctx->pPruner != nullptr && ctx->pPruner->m_pFS != nullptr && ctx->pPruner->IsCloud();
  const std::string entry = name;
  if (StartsNoCase(entry, "CHUNK_", 6) || (cloudRule && StartsNoCase(entry, "CHUNKMAP_TRAILER_", 17))) {
    ctx->bFoundChunk = true;
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kWin32ErrChunkFound);
  }
  if (StartsNoCase(entry, kPrunableMarker, sizeof(kPrunableMarker) - 1)) ctx->bFoundMarker = true;
  return CXoError::Success();
}

int CSingleInstancerPruner::PruneVolumeWalkerStatic(const std::string& folder, const std::string& name, bool isFolder,
                                                    void* context) {
  return static_cast<CSingleInstancerPruner*>(context)->PruneVolumeWalker(folder.c_str(), name.c_str(), isFolder,
                                                                          context).Code();
}

CXoError CSingleInstancerPruner::PruneVolumeWalker(const char* folder, const char* name, bool isFolder, void* context) {
  (void)context;
  PASSERT(isFolder == false, "bIsDir == false");
  if (std::string(name) == kPrunableMarker) return CXoError::Success();
  CXoError e = RemoveVolumeFile("PruneVolumeWalker", path_append(folder, name), name);
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}

CXoError CSingleInstancerPruner::RemoveVolumeFile(const char* tag, const std::string& path, const std::string& name) {
  if (m_bCountersEnabled) m_AvgDeleteFile.Start();
  CXoError e = m_pFS->RemoveFile(path, 0);
  if (m_bCountersEnabled) m_AvgDeleteFile.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot delete [%s], error [%s]", path.c_str(), e.AsString().c_str());
    return e;
  }
  PLOG(1, tag, "Deleted file [%s]", path.c_str());
  LogDelete(&m_DeleteLog, __LINE__, "D %u %u %s", m_MPId, m_uVolumeId, name.c_str());
  return e;
}

bool CSingleInstancerPruner::RebindOnInvalidArgument(const CXoError& e) {
  if (!m_bLogonAgainOnErr22 || !FXErrorUtil::IsErrNo(e, EINVAL)) return false;
  OnMountPathStart(m_MPId, true);
  return true;
}

int CSingleInstancerPruner::PruneVolume(unsigned int volId) {
  const char* tag = "PruneVolume";
  const std::string folder = VolumeFolder(m_strMountPath, volId);
  if (m_bKeepFolders) return 0;
  if (m_pFS->GetType() == kFSTypeCloud) return PruneVolumeOnCloud(volId);
  bool canPrune = false;
  CXoError e = CanPruneVolume(m_strMountPath.c_str(), volId, canPrune);
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot check whether vol [%s] can be deleted or not. Err [%s]", folder.c_str(), e.AsString().c_str());
    return RebindOnInvalidArgument(e) ? -1 : TestVanishedFolder(tag, folder, volId, std::nullopt);
  }
  if (!canPrune) return 1;
  m_uVolumeId = volId;
  if (m_bCountersEnabled) m_AvgPruneVolume.Start();
  e = m_pFS->WalkDirectory(folder, this, 0, false, &PruneVolumeWalkerStatic, kDeletionWalkBatch);
  if (m_bCountersEnabled) m_AvgPruneVolume.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot walk vol [%s] for deletion, error [%s]", folder.c_str(), e.AsString().c_str());
    (void)FlushFolder(folder);
    return -1;
  }
  return RemoveMarkerAndFolder(folder, volId);
}

// The end of a volume's removal on every road: the marker, then the folder. The folder's files
// are made durable gone before the marker goes, and the marker before the folder, so that a power
// cut never leaves an unmarked folder with files in it.
int CSingleInstancerPruner::RemoveMarkerAndFolder(const std::string& folder, unsigned int volId) {
  const char* tag = "PruneVolume";
  CXoError e = FlushFolder(folder);
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot flush folder [%s], error [%s]", folder.c_str(), e.AsString().c_str());
    return -1;
  }
  const std::string marker = m_pFS->AppendPath(folder, kPrunableMarker);
  if (m_bCountersEnabled) m_AvgDeleteFile.Start();
  e = m_pFS->RemoveFile(marker, 0);
  if (m_bCountersEnabled) m_AvgDeleteFile.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot delete file [%s], error [%s]", marker.c_str(), e.AsString().c_str());
    return -1;
  }
  PLOG(1, tag, "Removed [%s]", marker.c_str());
  LogDelete(&m_DeleteLog, __LINE__, "D %u %u %s", m_MPId, volId, CXoPath::GetBaseName(marker).c_str());
  e = FlushFolder(folder);
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot flush folder [%s], error [%s]", folder.c_str(), e.AsString().c_str());
    return -1;
  }
  if (m_bCountersEnabled) m_AvgDeleteDir.Start();
  e = m_pFS->RemoveDirectory(folder, 0);
  if (m_bCountersEnabled) m_AvgDeleteDir.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot remove folder [%s], error [%s]", folder.c_str(), e.AsString().c_str());
    return 0;
  }
  PLOG(1, tag, "Removed vol [%s]", folder.c_str());
  LogDelete(&m_DeleteLog, __LINE__, "D %u %u", m_MPId, volId);
  e = FlushFolder(m_strMountPath);
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot flush folder [%s], error [%s]", m_strMountPath.c_str(), e.AsString().c_str());
    return -1;
  }
  return 0;
}

int CSingleInstancerPruner::OnVolumeEnd() {
  m_bVolSet = false;
  if (m_bMPSkipped || m_uVolumeId == 0 || m_bVolumeSkipped) return 0;
  const int r = PruneVolume(m_uVolumeId);
  if (r < 0) {
    PLOG(1, "OnVolumeEnd", "PruneVolume failed. Vol [%d]. iRet [%d]", static_cast<int>(m_uVolumeId), r);
    WithholdOneId();
    return 0;
  }
  if (m_pfnOnVolModified != nullptr) {
    (void)m_pfnOnVolModified(m_pVolModifiedCtx, static_cast<int>(m_uVolumeId), r == 0 ? kVolumeRemoved : kVolumeKept,
                             m_pLog);
  }
  return 0;
}
