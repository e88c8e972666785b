// The disk media's chunk catalog: every file below the mount path whose name begins with "CHUNK"
// is listed, one full path a line, in the chunk collect file of the working folder, from which
// the reader mode opens one file after the other. A line that cannot be written fails the
// catalog, so a full disk never leaves chunks silently unlisted.

#include <cstring>

#include "MediaFileSystem/RealMagnetic.h"

namespace {

const char kChunkPrefix[] = "CHUNK";

}  // namespace

int RealMagneticFS::InitCatalogOperationOnMedia(int n) {
  return BuildChunkCollectFile(
      n, m_pCatalogFile, [this] { return TraverseMountPathDirectory(m_szPath); },
      "Failed to create and open a the chunk collect file [%s] ");
}

int RealMagneticFS::TraverseMountPathDirectory(std::string path) {
  return WalkMountPath(FileSystem(), path, &RealMagneticFS::MountPathWalkerStatic, this);
}

CXoError RealMagneticFS::MountPathWalkerStatic(const char* folder, const char* name, bool isFolder, void* context) {
  CXoError e = static_cast<RealMagneticFS*>(context)->MountPathWalker(folder, name, isFolder);
  if (e.IsFailure()) e.Push(FX_LOCATION);
  return e;
}

CXoError RealMagneticFS::MountPathWalker(const char* folder, const char* name, bool isFolder) {
  if (isFolder) return CXoError::Success();
  if (std::strncmp(name, kChunkPrefix, sizeof(kChunkPrefix) - 1) != 0) return CXoError::Success();
  return WriteChunkCollectLine(m_pCatalogFile, folder, name);
}

int RealMagneticFS::NextCatalogPath(std::string& path) { return NextChunkCollectLine(m_pCatalogFile, path); }
