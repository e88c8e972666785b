// The optical disk media's catalog for the reader mode: the walk of the media path that lists the
// chunk files in the chunk collect file (only entries whose names begin with "CHUNK" are listed or
// entered below the start), and the directories that hosts create on the disk.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "MediaFileSystem/NTOptical.h"
#include "tape/ntoptical_internal.h"

using namespace ntoptical;

namespace {

const char kChunkPrefix[] = "CHUNK";
// The media type with which the catalog asks for its drive object.
constexpr int kCatalogMediaType = 20020;

}  // namespace

int nt_fs_optical::InitCatalogOperationOnMedia(int n) {
  long long jobId = JobId();
  OZScsiMODiskDrive* drive = OZScsiMODiskDrive::instance(kCatalogMediaType, m_szPath, jobId, false);
  if (drive == nullptr || !drive->isValid()) {
    delete drive;
    MediaFSSetLastError(kMFSErrChunkCollectCreateFailed);
    Log(1, "Failed to create and open a the chunk collect file [%s] ", ChunkCollectFileName(n).c_str());
    return -1;
  }
  DropDriveObject();
  m_pDrive = drive;
  return BuildChunkCollectFile(
      n, m_pCatalogFile, [this] { return TraverseMountPathDirectory(m_szPath); },
      "Failed to create and open a the chunk collect file [%s]");
}

int nt_fs_optical::ListFile(const std::string& path, const char* failureFormat) {
  const std::string line = path + "\n";
  if (m_pCatalogFile == nullptr || std::fputs(line.c_str(), m_pCatalogFile) == EOF) {
    Log(1, failureFormat, path.c_str());
    return -1;
  }
  return 0;
}

int nt_fs_optical::TraverseMountPathDirectory(std::string path) {
  struct stat st{};
  if (CXoFile::Stat(path, &st).IsFailure()) {
    Log(1, "Failed to stat the path [%s].. skipping this one ", path.c_str());
    return 0;
  }
  if (S_ISREG(st.st_mode)) return ListFile(path, "Failed to write the chunk info [%s] to the chunk collect file ");
  if (!S_ISDIR(st.st_mode)) {
    Log(1, "The path [%s] has a mode [%d] other than the mode that indicaties it is a direcory  Skipping the path.. ",
        path.c_str(), static_cast<int>(st.st_mode));
    return 0;
  }
  CXoDirectory dir;
  if (dir.Open(path).IsFailure()) {
    Log(1, "Failed to open the directory [%s] ", path.c_str());
    return 0;
  }
  CXoDirectory::Entry entry;
  for (bool atEnd = false;;) {
    // A folder that cannot be read to its end fails the walk: the chunks after the failure would
    // be missing from a catalog that looked complete.
    if (CXoError e = dir.GetEntry(entry, atEnd); e.IsFailure()) {
      Log(1, "Failed to read the directory [%s], error=%s ", path.c_str(), e.AsString().c_str());
      return -1;
    }
    if (atEnd) break;
    if (entry.name.compare(0, sizeof(kChunkPrefix) - 1, kChunkPrefix) != 0) continue;
    const std::string child = path + "/" + entry.name;
    struct stat cst{};
    if (::lstat(child.c_str(), &cst) != 0) {
      Log(1, "Failed to stat the path [%s].. skipping this one ", child.c_str());
      continue;
    }
    if (S_ISDIR(cst.st_mode)) {
      if (const int rc = TraverseMountPathDirectory(child); rc != 0) return rc;
    } else if (S_ISREG(cst.st_mode)) {
      if (ListFile(child, "Failed to write the chunk info [%s]to the chunk collect file ") != 0) return -1;
    }
  }
  return 0;
}

// The media path names the failing directory in the job's message, and is the object's own again
// afterwards: later operations (the catalog, a new drive object) go on working on the media path.
int nt_fs_optical::CreateDirWithMode(char* dir, int mode) {
  const MDTime start;
  int rc = ::mkdir(dir, 0755);
  const bool created = rc == 0;
  if (created) {
    CXoError e = CXoFile::Chmod(dir, static_cast<mode_t>(mode));
    if (e.IsFailure()) {
      rc = -1;
      errno = static_cast<int>(MMS2BaseError::getErrorCode(e));
    }
  }
  if (rc == 0) {
    m_llWriteTime += MDTime() - start;
    return 0;
  }
  const int err = errno;
  MediaFSSetLastError(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(err)));
  const std::string mediaPath = m_szPath;
  SetPath(dir);
  SetErrorString(FormatText(created ? "Failure while setting file permissions on %s. Windows error code is %d"
                                    : "Creation of directory %s failed. Windows error code is %d",
                            dir, err)
                     .c_str());
  Log(-1, "%s", m_szErrorText);
  DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), kDisplayKind,
               " Failed to create directory on the optical media");
  SetPath(mediaPath.c_str());
  return rc;
}
