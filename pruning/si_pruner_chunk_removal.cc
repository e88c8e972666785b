// Removing what is left of a chunk once pruning has touched it: the files no longer needed, and,
// when nothing is left, the chunk folder and its map trailer. Every removal is made durable (the
// folder that lost the entry is flushed) before the call returns success, because the records
// that led here are purged right after: a removal lost to a power cut would leave a chunk folder
// or trailer that no record brings a pass back to.
#include <strings.h>

#include <cerrno>
#include <cstring>

#include "MediaFileSystem/RealMagnetic.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/remote_storage.h"
#include "pruning/si_pruner_log.h"

namespace {

bool StartsNoCase(const std::string& name, const char* prefix) {
  const size_t n = strlen(prefix);
  return name.size() >= n && strncasecmp(name.c_str(), prefix, n) == 0;
}

bool Contains(const std::string& name, const char* text) { return name.find(text) != std::string::npos; }

enum class Keep { kRemove, kKeep, kRemoveIfAlone };

// The trailer's record ("D <mount path> <volume> <chunk> <what>") before its removal, when the
// trailer is there to remove: once it is gone, no later pass could tell that it ever was. False
// when nothing was written (no trailer, or its presence unknown): the caller then records a
// removal that succeeds.
bool LogTrailerRemovalFirst(CFSInterface* fs, EvDebug* deleteLog, unsigned int mpId, const std::string& trailer,
                            unsigned int volId, unsigned long long chunkId, const char* what) {
  bool there = false;
  if (fs->Exists(trailer, there).IsFailure() || !there) return false;
  LogDelete(deleteLog, __LINE__, "D %u %u %llu %s", mpId, volId, chunkId, what);
  return true;
}

}  // namespace

CXoError CSingleInstancerPruner::FlushFolder(const std::string& folder) {
  // Object stores publish removals whole: they have no folder to flush.
  if (m_pFS == nullptr || IsCloud()) return CXoError::Success();
  return RealMagneticFS::FlushFolder(m_pFS->GetInitParams(), folder);
}

int CSingleInstancerPruner::TestVanishedFolder(const char* tag, const std::string& folder, unsigned int volId,
                                               std::optional<unsigned long long> chunkId) {
  bool exists = true;
  CXoError e = PathExists(folder.c_str(), exists);
  if (e.IsFailure()) {
    if (chunkId) {
      PLOG(1, tag, "Error in determining the state of the path [%s], error [%s]", folder.c_str(), e.AsString().c_str());
    } else {
      PLOG(1, tag, "Cannot check status of Vol [%s]. Error [%s]", folder.c_str(), e.AsString().c_str());
    }
    return FXErrorUtil::IsMM(e, kMMErrMountPathOffline) ? -2 : -1;
  }
  if (exists) return -1;
  if (chunkId) {
    PLOG(1, tag, "Chunk [%s] does not exist", folder.c_str());
    LogDelete(&m_DeleteLog, __LINE__, "DN %u %u %llu", m_MPId, volId, *chunkId);
  } else {
    PLOG(1, tag, "Vol [%s] does not exist", folder.c_str());
    LogDelete(&m_DeleteLog, __LINE__, "DN %u %u", m_MPId, volId);
  }
  return 0;
}

int CSingleInstancerPruner::PruneChunk(unsigned int volId, unsigned long long chunkId, bool noContainerLeft) {
  const char* tag = "PruneChunk";
  if (CSkarvoFS::IsSkarvoPath(m_strMountPath)) {
    const int r = SkarvoPruneChunk(volId, static_cast<unsigned long>(chunkId));
    if (r == 0) return 0;
    if (r != 1) {
      PLOG(1, tag, "PruneChunk failed. iRet [%d]", r);
      return -1;
    }
  }
  const std::string volume = m_pFS->AppendPath(m_strMountPath, SingleInstancer_FS::GetVolumeDirName(volId));
  const std::string chunk = m_pFS->AppendPath(volume, SingleInstancer_FS::GetChunkDirName(chunkId));
  const std::string trailer = path_append(volume, SingleInstancer_FS::GetChunkMapTrailerName(chunkId));

  std::vector<std::string> files, folders;
  if (m_bCountersEnabled) m_AvgGetDirContents.Start();
  CXoError e = m_pFS->GetDirContents(chunk, files, folders);
  if (m_bCountersEnabled) m_AvgGetDirContents.Stop();
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot get child information. Folder [%s], Error [%s]", chunk.c_str(), e.AsString().c_str());
    if (RebindOnInvalidArgument(e)) return -1;
    if (const int r = TestVanishedFolder(tag, chunk, volId, chunkId); r != 0) return r;
    const bool logged = LogTrailerRemovalFirst(m_pFS.get(), &m_DeleteLog, m_MPId, trailer, volId, chunkId,
                                             CXoPath::GetBaseName(trailer).c_str());
    bool removed = false;
    e = CSingleInstancerPruner::RemoveFileHelper(m_pFS.get(), trailer, m_pLog);
    if (e.IsFailure() && !IsGone(e)) {
      PLOG(1, tag, "Cannot delete the chunk map trailer [%s], error [%s]", trailer.c_str(), e.AsString().c_str());
      return -1;
    }
    removed = e.IsSuccess();
    if (removed) {
      PLOG(1, tag, "Deleted [%s]", trailer.c_str());
      if (!logged) {
        LogDelete(&m_DeleteLog, __LINE__, "D %u %u %llu %s", m_MPId, volId, chunkId,
                  CXoPath::GetBaseName(trailer).c_str());
      }
    }
    if (removed && FlushFolder(volume).IsFailure()) return -1;
    return 0;
  }

  bool hasContainerIndex = false;
  for (const std::string& name : files) {
    if (StartsNoCase(name, "SFILE_CONTAINER") && Contains(name, ".idx")) hasContainerIndex = true;
  }
  // Decide every entry first: the metadata file of a chunk without a container index goes only
  // when nothing else stays, since older-layout objects still read their metadata from it.
  std::vector<std::pair<const std::string*, Keep>> decided;
  unsigned long long count = 0;
  bool othersStay = false;
  for (const std::string& name : files) {
    if (name == "." || name == "..") continue;
    ++count;
    Keep k = Keep::kKeep;
    if (name[0] == 'N') {
      k = Keep::kRemove;
    } else if (StartsNoCase(name, "SFILE_CONTAINER")) {
      if (Contains(name, ".compact") || Contains(name, ".temp")) k = noContainerLeft ? Keep::kRemove : Keep::kKeep;
    } else if (StartsNoCase(name, "CHUNK_META_DATA_")) {
      if (Contains(name, ".idx")) {
        k = Keep::kRemove;
      } else if (m_uDeleteMetadata != 0) {
        k = Keep::kRemove;
      } else if (!hasContainerIndex) {
        k = Keep::kRemoveIfAlone;
      }
    } else if (StartsNoCase(name, ".compactlock")) {
      if (!hasContainerIndex) k = Keep::kRemove;
    }
    if (k == Keep::kKeep) othersStay = true;
    decided.emplace_back(&name, k);
  }
  unsigned long long removed = 0;
  // Each record goes to the delete log just before its removal: a pass killed between a removal
  // and a record written after it would leave a removal that no later pass can see (the entry is
  // no longer listed). A removal that then fails is tried again by a later pass, which records it
  // again.
  auto removeEntry = [&](const std::string& name) {
    const std::string path = path_append(chunk, name);
    std::string base = CXoPath::GetBaseName(path);
    if (StartsNoCase(name, "CHUNK_META_DATA_")) base = Contains(name, ".idx") ? "CIDX" : "CMTD";
    LogDelete(&m_DeleteLog, __LINE__, "D %u %u %llu %s", m_MPId, volId, chunkId, base.c_str());
    if (m_bCountersEnabled) m_AvgDeleteFile.Start();
    CXoError r = CSingleInstancerPruner::RemoveFileHelper(m_pFS.get(), path, m_pLog);
    if (m_bCountersEnabled) m_AvgDeleteFile.Stop();
    if (r.IsFailure()) {
      PLOG(1, tag, "Cannot delete file [%s], error [%s]", path.c_str(), r.AsString().c_str());
      return false;
    }
    ++removed;
    PLOG(1, tag, "Removed [%s]", path.c_str());
    return true;
  };
  for (const auto& [name, k] : decided) {
    if (k == Keep::kRemove && !removeEntry(*name)) return FlushAfterFailure(chunk);
  }
  if (!othersStay) {
    for (const auto& [name, k] : decided) {
      if (k == Keep::kRemoveIfAlone && !removeEntry(*name)) return FlushAfterFailure(chunk);
    }
  }
  if (removed < count) {
    if (removed > 0) {
      CXoError f = FlushFolder(chunk);
      if (f.IsFailure()) {
        PLOG(1, tag, "Cannot flush folder [%s], error [%s]", chunk.c_str(), f.AsString().c_str());
        return -1;
      }
    }
    return 0;
  }
  if (!m_bKeepFolders) {
    // The files' removals first, so that no crash brings a file back into a folder already gone.
    if (removed > 0 && FlushFolder(chunk).IsFailure()) return -1;
    LogDelete(&m_DeleteLog, __LINE__, "D %u %u %llu %llu", m_MPId, volId, chunkId, count);
    if (m_bCountersEnabled) m_AvgDeleteDir.Start();
    e = m_pFS->RemoveDirectory(chunk, 0);
    if (m_bCountersEnabled) m_AvgDeleteDir.Stop();
    if (e.IsFailure()) {
      PLOG(1, tag, "Cannot delete folder [%s], error [%s]", chunk.c_str(), e.AsString().c_str());
      return FlushAfterFailure(chunk);
    }
    PLOG(1, tag, "Removed [%s] [%llu]", chunk.c_str(), count);
  } else if (removed > 0 && FlushFolder(chunk).IsFailure()) {
    return -1;
  }
  const std::string countText = std::to_string(count) + " CTRL";
  const bool logged = LogTrailerRemovalFirst(m_pFS.get(), &m_DeleteLog, m_MPId, trailer, volId, chunkId, countText.c_str());
  e = m_pFS->RemoveFile(trailer, 0);
  if (e.IsFailure() && !IsGone(e)) {
    PLOG(1, tag, "Cannot delete the chunk map trailer [%s], error [%s]", trailer.c_str(), e.AsString().c_str());
    (void)FlushFolder(volume);
    return -1;
  }
  if (e.IsSuccess()) {
    PLOG(1, tag, "Removed [%s] [%llu]", trailer.c_str(), count);
    if (!logged) LogDelete(&m_DeleteLog, __LINE__, "D %u %u %llu %s", m_MPId, volId, chunkId, countText.c_str());
  }
  e = FlushFolder(volume);
  if (e.IsFailure()) {
    PLOG(1, tag, "Cannot flush folder [%s], error [%s]", volume.c_str(), e.AsString().c_str());
    return -1;
  }
  return 1;
}

// A failed removal keeps what was removed before it; those removals are made durable all the same,
// so that the next attempt starts from what the disk holds.
int CSingleInstancerPruner::FlushAfterFailure(const std::string& folder) {
  (void)FlushFolder(folder);
  return -1;
}

bool CSingleInstancerPruner::IsGone(const CXoError& e) {
  return FXErrorUtil::IsErrNo(e, ENOENT) || FXErrorUtil::IsMM(e, kMMErrPathNotAccessible);
}

int CSingleInstancerPruner::SkarvoPruneChunk(unsigned int volId, unsigned long chunkId) {
  const char* tag = "SkarvoPruneChunk";
  const std::string volume = m_pFS->AppendPath(m_strMountPath, SingleInstancer_FS::GetVolumeDirName(volId));
  const std::string chunk = m_pFS->AppendPath(volume, SingleInstancer_FS::GetChunkDirName(chunkId));
  std::string parsed;
  CSkarvoFS* skarvo = CSkarvoFS::Instance();
  if (skarvo->ParseSkarvoPath(m_strMountPath, parsed) == 0) return -1;
  const std::string metadata = m_pFS->AppendPath(chunk, SingleInstancer_FS::GetChunkMetadataName(chunkId));
  const std::pair<std::string, const char*> files[] = {{metadata, "CMTD"}, {metadata + ".idx", "CIDX"}};
  bool removedAny = false;
  for (const auto& [path, record] : files) {
    bool exists = false;
    if (m_pFS->Exists(path, exists).IsFailure()) return -1;
    if (!exists) continue;
    CXoError e = m_pFS->RemoveFile(path, 8);
    if (e.IsFailure()) {
      PLOG(1, tag, "Cannot delete file [%s], error [%s]", path.c_str(), e.AsString().c_str());
      return -1;
    }
    removedAny = true;
    PLOG(1, tag, "Deleted [%s]", path.c_str());
    LogDelete(&m_DeleteLog, __LINE__, "D %u %u %llu %s", m_MPId, volId, static_cast<unsigned long long>(chunkId),
              record);
  }
  if (removedAny && FlushFolder(chunk).IsFailure()) return -1;
  bool found = false;
  if (skarvo->Lookup(chunk, "SFILE_CONTAINER_", &found) != 0) return -1;
  if (found) return 0;
  PLOG(1, tag, "No sfile_containers found in [%s]. Proceeding to delete the folder", chunk.c_str());
  return 1;
}
