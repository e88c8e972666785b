// The size of a disk volume: the logical sizes of every file below the mount path, walked as the
// object's user, for hosts that report it to the media manager.

#include <sys/stat.h>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/platform.h"

namespace {

// Every level below the mount path: a volume's files lie at any depth.
constexpr int kAllLevels = -1;

}  // namespace

int media_fs::PopulateMagneticVolumeSize() {
  m_llMagneticVolumeSize = 0;
  CImpersonator impersonation(m_LoggedOnUser.GetToken());
  CXoError e = CXoDirectory::Walk(m_szPath, this, kAllLevels, false, &media_fs::DirectoryWalkerStatic);
  if (e.IsFailure()) {
    Log(1, "%s: CXoDirectory::Walk failed, path=[%s], error=%s", "media_fs::PopulateMagneticVolumeSize", m_szPath,
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    m_llMagneticVolumeSize = -1;
    return -1;
  }
  return 0;
}

CXoError media_fs::DirectoryWalkerStatic(const char* folder, const char* name, bool isFolder, void* context) {
  return static_cast<media_fs*>(context)->DirectoryWalker(folder, name, isFolder);
}

CXoError media_fs::DirectoryWalker(const char* folder, const char* name, bool isFolder) {
  const std::string path = CXoPath::Append(folder, name);
  if (isFolder) return CXoError::Success();
  struct stat st {};
  CXoError e = CXoFile::Stat(path, &st);
  if (e.IsFailure()) {
    Log(1, "%s: CXoFile::Stat failed, File=[%s], error=%s", "media_fs::DirectoryWalker()", path.c_str(),
        e.AsString().c_str());
    return e;
  }
  m_llMagneticVolumeSize += st.st_size;
  return CXoError::Success();
}
