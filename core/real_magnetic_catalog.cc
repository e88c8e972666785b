// The disk media's chunk catalog: every file below the mount path whose name begins with "CHUNK"
// is listed, one full path a line, in the chunk collect file of the working folder, from which
// the reader mode opens one file after the other. A line that cannot be written fails the
// catalog, so a full disk never leaves chunks silently unlisted.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MediaFileSystem/RealMagnetic.h"

namespace {

const char kCatalogFileName[] = "ChunkCollectFile.Txt";
const char kChunkPrefix[] = "CHUNK";
constexpr int kAllLevels = -1;

std::string CatalogFileName(int n) {
  if (n == 0) return kCatalogFileName;
  return std::to_string(n) + "_" + kCatalogFileName;
}

// The file-system layer's walk stops on a negative result; the error itself travels in the
// context, so the caller gets it with its text.
struct CatalogWalk {
  RealMagneticFS* media;
  CXoError failure;
};

int CatalogWalkCallback(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  auto* walk = static_cast<CatalogWalk*>(context);
  CXoError e = RealMagneticFS::MountPathWalkerStatic(folder.c_str(), name.c_str(), isFolder, walk->media);
  if (e.IsSuccess()) return 0;
  walk->failure = e;
  return e.Code();
}

}  // namespace

int RealMagneticFS::InitCatalogOperationOnMedia(int n) {
  const std::string name = CatalogFileName(n);
  if (m_pCatalogFile != nullptr) {
    std::fclose(m_pCatalogFile);
    m_pCatalogFile = nullptr;
  }
  m_pCatalogFile = std::fopen(name.c_str(), "w+");
  if (m_pCatalogFile == nullptr) {
    MediaFSSetLastError(kMFSErrChunkCollectCreateFailed);
    Log(1, "Failed to create and open a the chunk collect file [%s] ", name.c_str());
    return -1;
  }
  int rc = TraverseMountPathDirectory(m_szPath);
  // Lines still buffered reach the file only now; a close that fails lost some of them.
  if (std::fclose(m_pCatalogFile) != 0 && rc == 0) {
    ConvertAndSetLastMMError(FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot write the chunk collect file [%s]",
                                                     name.c_str()));
    rc = -1;
  }
  m_pCatalogFile = nullptr;
  if (rc != 0) {
    MediaFSSetLastError(kMFSErrMountPathWalkFailed);
    Log(1, "Failed to traverse the mount path [%s] ", m_szPath);
    return -1;
  }
  m_pCatalogFile = std::fopen(name.c_str(), "r");
  if (m_pCatalogFile == nullptr) {
    MediaFSSetLastError(kMFSErrChunkCollectReopenFailed);
    Log(1, "Failed to open the chunk collect file [%s] for reading ", name.c_str());
    return -1;
  }
  return 0;
}

int RealMagneticFS::TraverseMountPathDirectory(std::string path) {
  CatalogWalk walk{this, CXoError::Success()};
  CXoError e = FileSystem() != nullptr
                   ? m_pGenericFS->WalkDirectory(path, &walk, kAllLevels, false, &CatalogWalkCallback)
                   : NoFileSystem(FX_LOCATION);
  if (e.IsFailure()) {
    if (walk.failure.IsFailure()) e = walk.failure;
    ConvertAndSetLastMMError(e.Push(FX_LOCATION));
    return -1;
  }
  return 0;
}

CXoError RealMagneticFS::MountPathWalkerStatic(const char* folder, const char* name, bool isFolder, void* context) {
  CXoError e = static_cast<RealMagneticFS*>(context)->MountPathWalker(folder, name, isFolder);
  if (e.IsFailure()) e.Push(FX_LOCATION);
  return e;
}

CXoError RealMagneticFS::MountPathWalker(const char* folder, const char* name, bool isFolder) {
  if (isFolder) return CXoError::Success();
  if (std::strncmp(name, kChunkPrefix, sizeof(kChunkPrefix) - 1) != 0) return CXoError::Success();
  const std::string line = CXoPath::Append(folder, name) + "\n";
  if (m_pCatalogFile == nullptr || std::fputs(line.c_str(), m_pCatalogFile) == EOF) {
    const int err = m_pCatalogFile == nullptr ? EBADF : errno;
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, err, "Cannot list [%s/%s] in the chunk collect file", folder, name);
  }
  return CXoError::Success();
}

int RealMagneticFS::NextCatalogPath(std::string& path) {
  if (m_pCatalogFile == nullptr) {
    MediaFSSetLastError(kMFSErrNoChunkCollectFile);
    Log(1,
        "We have failed to open or create the chunk collect file... there is no way to know the access path of the "
        "file that needs to be opened ");
    return -1;
  }
  // The whole line, however long.
  char* line = nullptr;
  size_t capacity = 0;
  const ssize_t length = getline(&line, &capacity, m_pCatalogFile);
  if (length < 0) {
    const bool atEnd = std::feof(m_pCatalogFile) != 0;
    std::free(line);
    if (atEnd) {
      MediaFSSetLastError(kMFSErrChunkCollectExhausted);
      Log(1, "Reached the end of all the data on the magnetic mountpath [%s] ", m_szPath);
    } else {
      MediaFSSetLastError(kMFSErrChunkCollectLineUnreadable);
      Log(1, "Failed to read the file name from the chunk collect file for the magnetic mountpath [%s] ", m_szPath);
    }
    return -1;
  }
  path.assign(line, static_cast<size_t>(length));
  std::free(line);
  path = path.substr(0, path.find('\n'));
  path = path.substr(0, path.find('\r'));
  return 0;
}
