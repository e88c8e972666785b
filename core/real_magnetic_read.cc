// The disk media's read road: a restore opens a chunk file by its chunk id (or in the archive file
// folder layout by folder and chunk number, or in the reader mode by the next catalogued path),
// checks its size against the database, hands its bytes to the frame's buffered reader and moves
// the read position for hosts that read from an offset.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "MediaFileSystem/RealMagnetic.h"

namespace {

constexpr int kOpenForRead = O_RDONLY | O_LARGEFILE;
constexpr int kOwnerReadMode = 0400;
constexpr int kArchiveFileFolderLayout = 1;
constexpr long long kMMErrChunkFileMissing = 1005;

// Reads and seeks before Init have no file interface to go through.
CXoError NoFileInterface(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorErrNo(where, EBADF, "No chunk file is open: the media object was not initialised");
}

}  // namespace

int RealMagneticFS::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (InitSpecific() != 0) return -1;
  return RunAsMountPathUser("RealMagneticFS::OpenSpecific", [&]() -> int {
    m_llMaxChunkSize = m_llBytesLeftToRead;

    std::string path;
    const bool reader = m_iMediaType == kMediaTypeReader;
    if (reader && id->iArchFileId == 0) {
      if (NextCatalogPath(path) != 0) return -1;
    } else {
      char built[kPathBufferSize];
      const bool fits =
          id->iChunkVersion == kArchiveFileFolderLayout
              ? FormatPath(built, "chunk", "%s%s%s_%d%sCHUNK_%lu", m_szPath, "/", "AF", id->iArchFileId, "/",
                           static_cast<unsigned long>(id->ullChunkNumber))
              : FormatPath(built, "chunk", "%s%sCHUNK_%lld", m_szPath, "/", static_cast<long long>(id->llChunkId));
      if (!fits) return -1;
      path = built;
    }

    CXoError e = m_pFile->Open(path, kOpenForRead, kOwnerReadMode, 0);
    if (e.IsFailure()) {
      Log(1, "Cannot open file [%s], error=%s", path.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      struct stat st {};
      if (MediaFSGetLastError() == kMMErrPathNotAccessible && CXoFile::Stat(m_szPath, &st).IsSuccess()) {
        MediaFSSetLastError(kMMErrChunkFileMissing);
      }
      DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, path.c_str());
      return -1;
    }
    Log(1, "RealMagneticFS Opened <%s> file", path.c_str());
    if (reader) return 0;
    m_llDbPhysicalSize = id->llPhysicalSize;
    if (validateChunkSize(path.c_str()) == 0) {
      Log(1,
          "RealMagneticFS::OpenSpecific(): Failed to validate db value of chunk size against actual size of chunk "
          "on disk");
      DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1,
                   "Failed validate db value of chunk size against actual size of chunk on disk");
      return -1;
    }
    m_llDbPhysicalSize = 0;
    return 0;
  });
}

int RealMagneticFS::ReadFromMedia(char* buf, long len) {
  unsigned int done = 0;
  CXoError e = m_pFile != nullptr ? m_pFile->Read(buf, static_cast<unsigned int>(len), &done)
                                   : NoFileInterface(FX_LOCATION);
  if (e.IsFailure()) {
    Log(-1, "Failed to read [%d] bytes from the media, error=%s", static_cast<int>(len), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    m_strLastErrorMsg = e.AsString();
    DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, "Failed to read from the media");
    return -1;
  }
  return static_cast<int>(done);
}

int RealMagneticFS::SetSeekOffset(long long offset) {
  CXoError e = m_pFile != nullptr ? m_pFile->Seek(offset, SEEK_SET, nullptr) : NoFileInterface(FX_LOCATION);
  if (e.IsFailure()) {
    Log(1, "Cannot seek to offset [0x%llX], error=%s", static_cast<unsigned long long>(offset), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, "Failed to Direct seek to offset");
    return 0;
  }
  m_llRoff = 0;
  m_llRlen = 0;
  m_llBytesLeftToRead = m_llMaxChunkSize - offset + 1;
  return 1;
}
