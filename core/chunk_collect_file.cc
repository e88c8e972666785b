// The chunk collect file of catalog mode, shared by the media that list their chunks for the
// reader mode: written by a walk of the media path, one path a line, then read back a line per
// archive file the reader opens. A list that could not be written whole fails the catalog, so a
// full disk never leaves chunks silently unlisted; a line is read whole, however long.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

// The file-system layer's walk stops on a negative result; the walker's error itself travels in
// the context, so the caller gets it with its text.
struct MountPathWalk {
  CXoError (*walker)(const char*, const char*, bool, void*);
  void* context;
  CXoError failure;
};

int MountPathWalkCallback(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  auto* walk = static_cast<MountPathWalk*>(context);
  CXoError e = walk->walker(folder.c_str(), name.c_str(), isFolder, walk->context);
  if (e.IsSuccess()) return 0;
  walk->failure = e;
  return e.Code() < 0 ? e.Code() : -1;
}

}  // namespace

std::string media_fs::ChunkCollectFileName(int n) {
  const char kName[] = "ChunkCollectFile.Txt";
  return n == 0 ? std::string(kName) : std::to_string(n) + "_" + kName;
}

int media_fs::BuildChunkCollectFile(int n, FILE*& stream, const std::function<int()>& traverse,
                                    const char* createFailure) {
  const std::string name = ChunkCollectFileName(n);
  if (stream != nullptr) std::fclose(stream);  // the reading stream of an earlier pass
  stream = std::fopen(name.c_str(), "w+");
  if (stream == nullptr) {
    MediaFSSetLastError(kMFSErrChunkCollectCreateFailed);
    Log(1, createFailure, name.c_str());
    return -1;
  }
  int rc = traverse();
  // Lines still buffered reach the file only now; a close that fails lost some of them.
  const bool written = std::ferror(stream) == 0;
  if (std::fclose(stream) != 0 || !written) {
    if (rc == 0) {
      ConvertAndSetLastMMError(
          FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Cannot write the chunk collect file [%s]", name.c_str()));
    }
    rc = -1;
  }
  stream = nullptr;
  if (rc != 0) {
    MediaFSSetLastError(kMFSErrMountPathWalkFailed);
    Log(1, "Failed to traverse the mount path [%s] ", m_szPath);
    return -1;
  }
  stream = std::fopen(name.c_str(), "r");
  if (stream == nullptr) {
    MediaFSSetLastError(kMFSErrChunkCollectReopenFailed);
    Log(1, "Failed to open the chunk collect file [%s] for reading ", name.c_str());
    return -1;
  }
  return 0;
}

CXoError media_fs::WriteChunkCollectLine(FILE* stream, const char* folder, const char* name) {
  const std::string line = CXoPath::Append(folder, name) + "\n";
  if (stream == nullptr || std::fputs(line.c_str(), stream) == EOF) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, stream == nullptr ? EBADF : errno,
                                   "Cannot list [%s/%s] in the chunk collect file", folder, name);
  }
  return CXoError::Success();
}

int media_fs::NextChunkCollectLine(FILE* stream, std::string& path) {
  if (stream == nullptr) {
    MediaFSSetLastError(kMFSErrNoChunkCollectFile);
    Log(1,
        "We have failed to open or create the chunk collect file... there is no way to know the access path of the "
        "file that needs to be opened ");
    return -1;
  }
  char* raw = nullptr;
  size_t capacity = 0;
  const ssize_t length = getline(&raw, &capacity, stream);
  std::unique_ptr<char, decltype(&std::free)> line(raw, &std::free);
  if (length < 0) {
    if (std::feof(stream) != 0) {
      MediaFSSetLastError(kMFSErrChunkCollectExhausted);
      Log(1, "Reached the end of all the data on the magnetic mountpath [%s] ", m_szPath);
    } else {
      MediaFSSetLastError(kMFSErrChunkCollectLineUnreadable);
      Log(1, "Failed to read the file name from the chunk collect file for the magnetic mountpath [%s] ", m_szPath);
    }
    return -1;
  }
  path.assign(line.get(), static_cast<size_t>(length));
  path = path.substr(0, path.find('\n'));
  path = path.substr(0, path.find('\r'));
  return 0;
}

int media_fs::WalkMountPath(CFSInterface* fs, const std::string& path,
                            CXoError (*walker)(const char*, const char*, bool, void*), void* context) {
  MountPathWalk walk{walker, context, CXoError::Success()};
  CXoError e = fs != nullptr ? fs->WalkDirectory(path, &walk, -1, false, &MountPathWalkCallback)
                             : FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoFileInterface,
                                                    "No file-system interface for the mount path");
  if (e.IsSuccess()) return 0;
  if (walk.failure.IsFailure()) e = walk.failure;
  ConvertAndSetLastMMError(e.Push(FX_LOCATION));
  return -1;
}
