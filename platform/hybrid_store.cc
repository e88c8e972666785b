// Cloud storage with a disk cache: the cloud pair and the cache mount path's folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/cloud_store.h"
#include "platform/config.h"
#include "platform/posix_file.h"

namespace {

// The folder of mount path `id` (any installation); false when none is configured.
bool CacheFolderOf(unsigned int id, std::string& folder) {
  std::lock_guard<std::mutex> lock(platform::ConfigMutex());
  for (const auto& [key, record] : platform::Config().mountPaths) {
    if (static_cast<unsigned int>(key.first) == id) {
      folder = record.mountPath;
      return true;
    }
  }
  return false;
}

int PickCache(CFSInitParams& params, unsigned int id, std::string& cacheFolder) {
  std::string folder;
  if (id != 0 && !CacheFolderOf(id, folder)) return -1;
  params.m_Param32b = static_cast<int32_t>(id);
  cacheFolder = folder;
  return 0;
}

std::string CacheCopyOf(const CFSInitParams& params, const std::string& cacheFolder, const std::string& path) {
  if (cacheFolder.empty()) return {};
  std::string object;
  if (platform::objectstore::Resolve(params.m_Host.m_Path, path, object) != 0) return {};
  std::string root = params.m_Host.m_Path;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const std::string below = root.empty() || root == "/" ? object : object.substr(root.size());
  return path_append(cacheFolder, below.empty() || below[0] != '/' ? below : below.substr(1));
}

void MakeParents(const std::string& path) {
  const std::string parent = CXoPath::GetParent(path);
  if (parent.empty() || parent == path || ::access(parent.c_str(), F_OK) == 0) return;
  MakeParents(parent);
  (void)::mkdir(parent.c_str(), 0755);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CHybridFS

CHybridFS::CHybridFS(const CFSInitParams& params, CFSInterface* cloud) : CFSInterface(params), m_pCloud(cloud) {
  if (PickCache(m_Params, static_cast<unsigned int>(params.m_Param32b), m_cacheFolder) != 0) m_Params.m_Param32b = 0;
}

CHybridFS::~CHybridFS() { delete m_pCloud; }

int CHybridFS::SetDiskMPId(unsigned int mountPathId) { return PickCache(m_Params, mountPathId, m_cacheFolder); }

std::string CHybridFS::CachePathOf(const std::string& path) const { return CacheCopyOf(m_Params, m_cacheFolder, path); }

CXoError CHybridFS::Exists(std::string path, bool& exists) { return m_pCloud->Exists(path, exists); }

CXoError CHybridFS::RemoveFile(std::string path, unsigned int flags) {
  CXoError e = m_pCloud->RemoveFile(path, flags);
  const std::string copy = CachePathOf(path);
  if (!copy.empty() && ::unlink(copy.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR && e.IsSuccess()) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot remove the cache copy [%s]", copy.c_str());
  }
  return e;
}

CXoError CHybridFS::RemoveDirectory(std::string path, unsigned int flags) {
  CXoError e = m_pCloud->RemoveDirectory(path, flags);
  const std::string copy = CachePathOf(path);
  if (!copy.empty() && ::rmdir(copy.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR && e.IsSuccess()) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot remove the cache folder [%s]", copy.c_str());
  }
  return e;
}

CXoError CHybridFS::CreateDirectory(std::string path, bool recursive) { return m_pCloud->CreateDirectory(path, recursive); }

CXoError CHybridFS::Rename(std::string from, std::string to, int method) {
  CXoError e = m_pCloud->Rename(from, to, method);
  const std::string a = CachePathOf(from), b = CachePathOf(to);
  if (e.IsSuccess() && !a.empty()) {
    if (::rename(a.c_str(), b.c_str()) != 0) (void)::unlink(b.c_str());  // a stale copy must not stay
  }
  return e;
}

CXoError CHybridFS::Chmod(std::string path, int mode) { return m_pCloud->Chmod(path, mode); }
CXoError CHybridFS::GetFreeSpace(std::string path, unsigned long long& totalBytes, unsigned long long& freeBytes) {
  return m_pCloud->GetFreeSpace(path, totalBytes, freeBytes);
}
CXoError CHybridFS::GetPathInfo(std::string path, FSPathInfo& info) { return m_pCloud->GetPathInfo(path, info); }
CXoError CHybridFS::GetFileAttributes(std::string path, unsigned long long& size) {
  return m_pCloud->GetFileAttributes(path, size);
}
CXoError CHybridFS::Stat(std::string path, FSPathInfo& info) { return m_pCloud->Stat(path, info); }
CXoError CHybridFS::WalkDirectory(std::string path, void* context, int depth, bool filesOnly, FSWalkCallback callback) {
  return m_pCloud->WalkDirectory(path, context, depth, filesOnly, callback);
}
CXoError CHybridFS::GetDirContents(std::string path, std::vector<FSDirEntry>& entries) {
  return m_pCloud->GetDirContents(path, entries);
}

// ---------------------------------------------------------------------------------------------
// CHybridFile

CHybridFile::CHybridFile(const CFSInitParams& params, CFileInterface* cloud) : m_pCloud(cloud) {
  m_Params = params;
  if (PickCache(m_Params, static_cast<unsigned int>(params.m_Param32b), m_cacheFolder) != 0) m_Params.m_Param32b = 0;
}

CHybridFile::~CHybridFile() { delete m_pCloud; }

int CHybridFile::SetDiskMPId(unsigned int mountPathId) { return PickCache(m_Params, mountPathId, m_cacheFolder); }

CXoError CHybridFile::Open(std::string path, int flags, int mode, int reserved) {
  if (m_cache.IsValid()) (void)m_cache.Close();
  CXoError e = m_pCloud->Open(path, flags, mode, reserved);
  if (e.IsFailure()) return e;
  const std::string copy = CacheCopyOf(m_Params, m_cacheFolder, path);
  if (copy.empty()) return e;
  MakeParents(copy);
  // The copy follows the object's writes; opened for reading it still gives the lock a descriptor.
  const int cacheFlags = O_RDWR | O_CREAT | (flags & O_TRUNC);
  CXoError c = m_cache.Open(copy, cacheFlags, 0644, 0);
  if (c.IsFailure()) {
    (void)m_pCloud->Close();
    return c;
  }
  return e;
}

CXoError CHybridFile::Close() {
  CXoError c = m_cache.IsValid() ? m_cache.Close() : CXoError::Success();
  CXoError e = m_pCloud->Close();
  return e.IsFailure() ? e : c;
}

CXoError CHybridFile::Read(void* buffer, unsigned int length, unsigned int* done) {
  CXoError e = m_pCloud->Read(buffer, length, done);
  if (e.IsSuccess() && m_cache.IsValid() && done != nullptr) {
    (void)m_cache.Seek(static_cast<CXoFile::offset>(*done), SEEK_CUR, nullptr);
  }
  return e;
}

CXoError CHybridFile::Write(const void* buffer, unsigned int length, unsigned int* done) {
  CXoError e = m_pCloud->Write(buffer, length, done);
  if (e.IsFailure() || !m_cache.IsValid()) return e;
  unsigned int put = 0;
  return m_cache.Write(buffer, length, &put);
}

CXoError CHybridFile::Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) {
  CXoError e = m_pCloud->Seek(offset, whence, position);
  if (e.IsSuccess() && m_cache.IsValid()) {
    CXoFile::offset at = 0;
    (void)m_pCloud->Tell(at);
    (void)m_cache.Seek(at, SEEK_SET, nullptr);
  }
  return e;
}

CXoError CHybridFile::Tell(CXoFile::offset& position) { return m_pCloud->Tell(position); }
CXoError CHybridFile::Size(unsigned long long& size) { return m_pCloud->Size(size); }

CXoError CHybridFile::Truncate(CXoFile::offset size) {
  CXoError e = m_pCloud->Truncate(size);
  if (e.IsFailure() || !m_cache.IsValid()) return e;
  return m_cache.Truncate(size);
}

CXoError CHybridFile::GetChkSum(std::string path, int kind, char* sum, int* length) {
  return m_pCloud->GetChkSum(path, kind, sum, length);
}

CXoError CHybridFile::Flush() {
  CXoError e = m_pCloud->Flush();
  if (e.IsFailure() || !m_cache.IsValid()) return e;
  return m_cache.Flush();
}

int CHybridFile::GetFD() { return m_cache.GetFD(); }
bool CHybridFile::IsValid() { return m_pCloud->IsValid(); }
CXoError CHybridFile::LockFile(bool shared) {
  if (!m_cache.IsValid()) return m_pCloud->LockFile(shared);
  return m_cache.LockFile(shared);
}
CXoError CHybridFile::UnlockFile() {
  if (!m_cache.IsValid()) return m_pCloud->UnlockFile();
  return m_cache.UnlockFile();
}
CXoError CHybridFile::DrillHole(uint64_t offset, uint64_t length) { return m_pCloud->DrillHole(offset, length); }
CXoError CHybridFile::AttachFD(int fd, const char* name) { return m_pCloud->AttachFD(fd, name); }
CXoError CHybridFile::SetReadAheadCaching(bool enable) { return m_pCloud->SetReadAheadCaching(enable); }
std::string CHybridFile::GetFileName() { return m_pCloud->GetFileName(); }
