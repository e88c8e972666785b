// Catalog mode, for the reader mode that reads a store's files without the media manager and
// without chunk ids: a walk of the media path lists every file whose name begins with "CHUNK" and
// is not an index (the chunks' metadata files and the chunk map trailers) in the chunk collect
// file, one path per line; each later open of archive file id 0 takes the next line.
//
// A list that could not be written whole is a failed pass, never a shorter catalog. Every stream
// of the collect file is closed when it is replaced and when the store goes.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

std::string ChunkCollectFileName(int n) {
  const char kName[] = "ChunkCollectFile.Txt";
  return n == 0 ? std::string(kName) : std::to_string(n) + "_" + kName;
}

// The walk's context: the store, and the failure with which its callback stopped the walk.
struct CatalogWalk {
  SingleInstancer_FS* store;
  CXoError stoppedBy;
};

int CatalogWalkEntry(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  auto* walk = static_cast<CatalogWalk*>(context);
  CXoError e = SingleInstancer_FS::MountPathWalkerStatic(folder.c_str(), name.c_str(), isFolder, walk->store);
  if (e.IsSuccess()) return 0;
  walk->stoppedBy = e;
  return e.Code() < 0 ? e.Code() : -1;
}

}  // namespace

void SingleInstancer_FS::CloseChunkCollectFile() {
  if (m_fpChunkCollectFile == nullptr) return;
  std::fclose(m_fpChunkCollectFile);
  m_fpChunkCollectFile = nullptr;
}

int SingleInstancer_FS::InitCatalogOperationOnMedia(int n) {
  const std::string name = ChunkCollectFileName(n);
  CloseChunkCollectFile();
  m_fpChunkCollectFile = fopen64(name.c_str(), "w+");
  if (m_fpChunkCollectFile == nullptr) {
    MediaFSSetLastError(kMFSErrChunkCollectCreateFailed);
    Log(1, "Failed to create and open a the chunk collect file [%s]", name.c_str());
    return -1;
  }

  const int walked = TraverseMountPathDirectory(m_szPath);
  // Lines still in the stream's buffer reach the file only now: a failure here is a lost line.
  const bool written = std::ferror(m_fpChunkCollectFile) == 0;
  const int writeErrno = errno;
  const bool closed = std::fclose(m_fpChunkCollectFile) == 0;
  const int closeErrno = errno;
  m_fpChunkCollectFile = nullptr;

  if (!written || !closed) {
    MediaFSSetLastError(kMFSErrChunkCollectCreateFailed);
    Log(1, "Failed to write the chunk collect file [%s], error=%s", name.c_str(),
        std::strerror(!written ? writeErrno : closeErrno));
    return -1;
  }
  if (walked != 0) {
    MediaFSSetLastError(kMFSErrMountPathWalkFailed);
    Log(1, "Failed to traverse the mount path [%s] ", m_szPath);
    return -1;
  }
  m_fpChunkCollectFile = fopen64(name.c_str(), "r");
  if (m_fpChunkCollectFile == nullptr) {
    MediaFSSetLastError(kMFSErrChunkCollectReopenFailed);
    Log(1, "Failed to open the chunk collect file [%s] for reading ", name.c_str());
    return -1;
  }
  return 0;
}

int SingleInstancer_FS::TraverseMountPathDirectory(std::string path) {
  if (m_pFSInterface == nullptr) {
    ConvertAndSetLastMMError(FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "No file system to walk [%s]", path.c_str()));
    return -1;
  }
  CatalogWalk walk{this, CXoError()};
  CXoError e = m_pFSInterface->WalkDirectory(path, &walk, -1, false, &CatalogWalkEntry);
  if (e.IsSuccess()) return 0;
  ConvertAndSetLastMMError(walk.stoppedBy.IsFailure() ? walk.stoppedBy : e);
  return -1;
}

CXoError SingleInstancer_FS::MountPathWalkerStatic(const char* folder, const char* name, bool isDirectory,
                                                   void* context) {
  CXoError e = static_cast<SingleInstancer_FS*>(context)->MountPathWalker(folder, name, isDirectory);
  if (e.IsFailure()) e.Push(FX_LOCATION);
  return e;
}

CXoError SingleInstancer_FS::MountPathWalker(const char* folder, const char* name, bool isDirectory) {
  if (isDirectory) return CXoError::Success();
  if (std::strncmp(name, "CHUNK", 5) != 0 || std::strstr(name, ".idx") != nullptr) return CXoError::Success();
  const std::string line = CXoPath::Append(folder, name) + "\n";
  if (m_fpChunkCollectFile == nullptr || std::fputs(line.c_str(), m_fpChunkCollectFile) == EOF) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, m_fpChunkCollectFile == nullptr ? EBADF : errno,
                                   "Cannot write [%s] to the chunk collect file", line.c_str());
  }
  return CXoError::Success();
}

// The next path of the chunk collect file, read whole whatever its length.
bool SingleInstancer_FS::NextChunkCollectPath(std::string& path) {
  if (m_fpChunkCollectFile == nullptr) {
    MediaFSSetLastError(kMFSErrNoChunkCollectFile);
    Log(1, "We have failed to open or create the chunk collect file... there is no way to know the access path of the "
        "file that needs to be opened ");
    return false;
  }
  char* raw = nullptr;
  size_t capacity = 0;
  const ssize_t length = getline(&raw, &capacity, m_fpChunkCollectFile);
  std::unique_ptr<char, decltype(&std::free)> line(raw, &std::free);
  if (length < 0) {
    if (std::feof(m_fpChunkCollectFile)) {
      MediaFSSetLastError(kMFSErrChunkCollectExhausted);
      Log(1, "Reached the end of all the data on the magnetic mountpath [%s] ", m_szPath);
    } else {
      MediaFSSetLastError(kMFSErrChunkCollectLineUnreadable);
      Log(1, "Failed to read the file name from the chunk collect file for the magnetic mountpath [%s] ", m_szPath);
    }
    return false;
  }
  path.assign(line.get(), static_cast<size_t>(length));
  path = path.substr(0, path.find('\n'));
  path = path.substr(0, path.find('\r'));
  return true;
}
