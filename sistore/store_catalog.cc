// Catalog mode, for the reader mode that reads a store's files without the media manager and
// without chunk ids: a walk of the media path lists every file whose name begins with "CHUNK" and
// is not an index (the chunks' metadata files and the chunk map trailers) in the chunk collect
// file, one path per line; each later open of archive file id 0 takes the next line.
//
// A list that could not be written whole is a failed pass, never a shorter catalog (the frame's
// chunk collect file). Every stream of the collect file is closed when it is replaced and when
// the store goes.

#include <cstdio>
#include <cstring>

#include "MediaFileSystem/SingleInstancerFS.h"

void SingleInstancer_FS::CloseChunkCollectFile() {
  if (m_fpChunkCollectFile == nullptr) return;
  std::fclose(m_fpChunkCollectFile);
  m_fpChunkCollectFile = nullptr;
}

int SingleInstancer_FS::InitCatalogOperationOnMedia(int n) {
  return BuildChunkCollectFile(
      n, m_fpChunkCollectFile, [this] { return TraverseMountPathDirectory(m_szPath); },
      "Failed to create and open a the chunk collect file [%s]");
}

int SingleInstancer_FS::TraverseMountPathDirectory(std::string path) {
  return WalkMountPath(m_pFSInterface, path, &SingleInstancer_FS::MountPathWalkerStatic, this);
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
  return WriteChunkCollectLine(m_fpChunkCollectFile, folder, name);
}
