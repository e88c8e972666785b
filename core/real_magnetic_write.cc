// The disk media's write road: a chunk, chunk map trailer or media trailer file created in the
// mount path's folder after the reachability and reserve tests, blocks written with a free-space
// check every few tens of megabytes, and the close that flushes the file and its folder, checks
// the chunk's size, records the volume size of a full volume and marks the chunk read-only.

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "MediaFileSystem/RealMagnetic.h"
#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

const char kSource[] = "RealMagnetic";

constexpr unsigned long long kMB = 1ULL << 20;
constexpr long long kChunkHeaderSize = 1024;
constexpr long long kMMErrChunkSizeMismatch = 1208;
constexpr int kOpenForWrite = O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE;
constexpr int kNewFileMode = 0777;
constexpr int kMountPathOfflineReason = 1;

const char kUnknownArchiveType[] = "Archive file of unknown type has been requested for creation";

}  // namespace

int RealMagneticFS::CreateSpecific(const MediaFSArchiveFileId_t* id) {
  return RunAsMountPathUser("RealMagneticFS::CreateSpecific", [&]() -> int {
    if (m_iMediaType != kMediaTypeReader && m_pMountPath == nullptr) initializeMountPathInfo();
    std::memset(m_szChunkPath, 0, sizeof(m_szChunkPath));
    if (m_llFileNumber == -1) {
      m_llFileNumber = m_llNumFiles;
      ++m_llNumFiles;
    }

    FSPathInfo info;
    CXoError e = FileSystem() != nullptr
                     ? m_pGenericFS->GetPathInfo(m_szPath, info)
                     : NoFileSystem(FX_LOCATION);
    if (e.IsFailure()) return MountPathUnreachable(e);

    char path[kPathBufferSize];
    switch (id->uiDataType) {
      case MEDIA_HEADER:
      case ARCHIVE_HEADER:
      case ARCHIVE_TRAILER: {
        static const char* const kRefusals[] = {
            "Some has tried to create a MEDIA_HEADER on magnetic.. that is not supported after 4.2 ", nullptr,
            "Some has tried to create a ARCHIVE_HEADER on magnetcic.. that is not supported after 4.2 ",
            "Some has tried to create a ARCHIVE_TRAILER on magnetic.. that is not supported after 4.2 "};
        SetLastError(kMFSErrUnknownArchiveType, kUnknownArchiveType);
        Log(-1, "%s", kRefusals[id->uiDataType]);
        return -1;
      }
      case MEDIA_TRAILER:
        if (!FormatPath(path, "media trailer", "%s%sMEDIA_TRAILER", m_szPath, "/")) return -1;
        break;
      case CHUNK: {
        unsigned long long freeBytes = 0;
        if (getFreeSpaceFromMedia(freeBytes) == 0 &&
            freeBytes <= static_cast<unsigned long long>(m_llReserveMB) * kMB) {
          return RefuseForReserve(freeBytes);
        }
        if (!FormatPath(path, "chunk", "%s%s%s%lld", m_szPath, "/", "CHUNK_", static_cast<long long>(id->llChunkId))) {
          return -1;
        }
        break;
      }
      case CHUNKMAP_TRAILER:
        if (!FormatPath(path, "chunk map trailer", "%s%s%s%lld", m_szPath, "/", "CHUNKMAP_TRAILER_",
                        static_cast<long long>(id->llChunkId))) {
          return -1;
        }
        break;
      default:
        SetLastError(kMFSErrUnknownArchiveType, kUnknownArchiveType);
        Log(1, "%s %d Invalid Archive File data type has been specified", kSource, __LINE__);
        m_strLastErrorMsg = "Invalid archive file type specified";
        return -1;
    }

    e = m_pFile->Open(path, kOpenForWrite, kNewFileMode, 0);
    if (e.IsFailure()) {
      ConvertAndSetLastMMError(e);
      diskMarkFull(static_cast<unsigned int>(MediaFSGetLastError()));
      Log(1, "%s %d Could not create the file [%s], error=%s", kSource, __LINE__, path, e.AsString().c_str());
      DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, e.AsString().c_str());
      return -1;
    }
    Log(1, "RealMagneticFS Created <%s> file", path);
    std::memcpy(m_szChunkPath, path, sizeof(m_szChunkPath));
    return 0;
  });
}

int RealMagneticFS::MountPathUnreachable(const CXoError& e) {
  Log(-1, "%s: Failed to get information about the mount path [%s], error=%s", "RealMagneticFS::CreateSpecific",
      m_szPath, e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, "Failed to get information about the mount path");
  if (m_pVolInfo != nullptr) {
    Log(1, "Marking the volume full as the path is not accessible and the mount path offline ");
    MarkVolumeFull(kVolumeFullReasonPathInaccessible);
    if (m_pMountPath == nullptr) m_pMountPath = new OZMMmountPath(m_pMlm);
    if (m_pMountPath->setMountPathOfflineByVolume(m_iVolId, true, kMountPathOfflineReason) == -1) {
      Log(1, "Failed to mark the mount path offline ");
    }
  }
  return -1;
}

int RealMagneticFS::RefuseForReserve(unsigned long long freeBytes) {
  const long long reserveBytes = m_llReserveMB * static_cast<long long>(kMB);
  m_llKBRemaining = 0;
  Log(1, "The free diskspace on the mount path [%s] is %lld less than the reserve space of %lld ", m_szPath,
      static_cast<long long>(freeBytes), reserveBytes);
  if (m_pVolInfo != nullptr) {
    m_pVolInfo->setFreeBytesMB(static_cast<long long>(freeBytes / kMB));
    Log(1, "Marking the volume full. Path [%s] ", m_szPath);
    MarkVolumeFull(kVolumeFullReasonFull);
    m_pVolInfo->setVolumeId(m_iVolId);
    m_bVolumeFull = true;
  }
  return kMFSNoRoomOnMedia;
}

int RealMagneticFS::WriteToMedia(const char* buf, long len, int* eom) {
  *eom = 0;
  if (len == 0) {
    SetErrorString(FormatText("Request to write zero bytes - Magnetic Mount Path=<%s>", m_szPath).c_str());
    Log(1, "%s", m_szErrorText);
    SetLastError(kMFSErrZeroByteWrite, "Request to write zero bytes on a magnetic media is invalid");
    return -1;
  }
  unsigned int written = 0;
  const unsigned int length = static_cast<unsigned int>(len);
  CXoError e = m_pFile->Write(buf, length, &written);
  if (e.IsFailure() || written < length) return WriteFailed(len, written, e);

  m_llBytesSinceSpaceCheck += len;
  if (static_cast<unsigned long long>(m_llBytesSinceSpaceCheck) >= m_ullSpaceCheckLimit) CheckSpaceAfterWrite(eom);
  if (m_bDiskFull) {
    *eom = 1;
    m_bCloseChunk = true;
    m_bVolumeFull = true;
  }
  return static_cast<int>(len);
}

int RealMagneticFS::WriteFailed(long len, unsigned int written, CXoError e) {
  if (e.IsSuccess()) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "Wrote only %u of %ld bytes to [%s]", written, len, m_szChunkPath);
  }
  Log(-1, "Cannot write [%d] bytes to media. Written [%d], error=%s", static_cast<int>(len), static_cast<int>(written),
      e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  if (written > 0) {
    // The frame keeps the block for another attempt; it must land where this one began.
    CXoFile::offset at = 0;
    CXoError cut = m_pFile->Seek(-static_cast<CXoFile::offset>(written), SEEK_CUR, &at);
    if (cut.IsSuccess()) cut = m_pFile->Truncate(at);
    if (cut.IsFailure()) {
      Log(-1, "Cannot remove the %u bytes of a failed write from [%s], error=%s", written, m_szChunkPath,
          cut.AsString().c_str());
    }
  }
  if (MediaFSGetLastError() == kMMErrDiskFull) {
    m_bDiskFull = true;
    m_llKBRemaining = 0;
    MarkVolumeFull(kVolumeFullReasonFull);
    return -1;
  }
  DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), 1, "Failed to write to media");
  return -1;
}

void RealMagneticFS::CheckSpaceAfterWrite(int* eom) {
  unsigned long long freeBytes = 0;
  const bool known = getFreeSpaceFromMedia(freeBytes) == 0;
  m_llKBRemaining = known ? static_cast<long long>(freeBytes / 1024) : 0;
  const unsigned long long reserveBytes = static_cast<unsigned long long>(m_llReserveMB) * kMB;
  if (known && freeBytes <= reserveBytes) {
    m_bDiskFull = true;
    *eom = 1;
    m_llKBRemaining = 0;
    Log(1, "The free diskspace on the mount path [%s] is %lld less than low water mark of %lld ", m_szPath,
        static_cast<long long>(freeBytes), static_cast<long long>(reserveBytes));
    if (m_pVolInfo != nullptr) {
      m_pVolInfo->setFreeBytesMB(static_cast<long long>(freeBytes / kMB));
      Log(1, "Marking the volume full. Path [%s] ", m_szPath);
      MarkVolumeFull(kVolumeFullReasonFull);
    }
  }
  m_llBytesSinceSpaceCheck = 0;
}

void RealMagneticFS::diskMarkFull(unsigned int code) {
  if (m_iMediaType == kMediaTypeReader) return;
  if (code != kMMErrDiskFull && code != kMMErrAccessDenied) return;
  Log(1, "Marking the volume %d full ", m_iVolId);
  MarkVolumeFull(kVolumeFullReasonFull);
  m_bDiskFull = true;
}

int RealMagneticFS::FinalizeChunkForBackup() {
  if (!m_bWriting) return 0;
  if (m_fd != -1) ozassert(false, "fdnative == INVALID_HANDLE_VALUE", kSource, __func__, __LINE__);
  if (m_pFile == nullptr || !m_pFile->IsValid()) {
    Log(1, "%s: No chunk file to finalize. Line [%d]", "RealMagneticFS::FinalizeChunkForBackup", __LINE__);
    return -1;
  }
  CXoError e = m_pFile->Flush();
  if (e.IsFailure()) {
    ConvertAndSetLastMMError(e);
    Log(1, "%s: Cannot flush the chunk file [%s], error=%s", "RealMagneticFS::FinalizeChunkForBackup",
        m_szChunkPath, e.AsString().c_str());
    return -1;
  }
  // The file's flush made its bytes durable, not its name: until the folder that holds the name
  // is flushed too, a power cut can take a file whose close the media manager has recorded.
  const std::string folder = CXoPath::GetParent(m_szChunkPath);
  e = FlushFolder(m_FSInitParams, folder);
  if (e.IsFailure()) {
    ConvertAndSetLastMMError(e);
    Log(1, "%s: Cannot flush the folder [%s] of the chunk file [%s], error=%s",
        "RealMagneticFS::FinalizeChunkForBackup", folder.c_str(), m_szChunkPath, e.AsString().c_str());
    return -1;
  }
  return 0;
}

int RealMagneticFS::validateChunkSize(const char* path) {
  static const char kFunction[] = "RealMagneticFS::validateChunkSize()";
  unsigned long long onDisk = 0;
  CXoError e = FileSystem() != nullptr
                   ? m_pGenericFS->GetFileAttributes(path, onDisk)
                   : NoFileSystem(FX_LOCATION);
  if (e.IsFailure()) {
    ConvertAndSetLastMMError(e);
    Log(1, "%s: Failed to get attributes for file [%s], error=%s", kFunction, path, e.AsString().c_str());
    return 0;
  }
  long long expected = 0;
  if (m_bWriting && m_llDbPhysicalSize == 0) {
    // Nothing has told the database's size yet: the file must hold every byte the frame wrote.
    expected = m_llPhysicalBytes;
  } else {
    const long long block = static_cast<long long>(m_ulBlockSize);
    expected = m_llDbPhysicalSize + kChunkHeaderSize;
    if (block > 0 && expected % block != 0) expected += block - expected % block;
  }
  if (static_cast<long long>(onDisk) == expected) return 1;

  static const char kMismatch[] =
      "Physical Size of Chunk on Disk does not match the value calculated from Physical Size of Chunk in DataBase";
  SetLastError(kMMErrChunkSizeMismatch, kMismatch);
  Log(1, "%s: %s", kFunction, kMismatch);
  Log(1,
      "%s: Physical Size of Chunk on Disk = [%lld], chunk header size used = %d volBlockSize = %d, Physical Size "
      "of Chunk in DataBase = [%lld].",
      kFunction, static_cast<long long>(onDisk), static_cast<int>(kChunkHeaderSize), static_cast<int>(m_ulBlockSize),
      m_llDbPhysicalSize);
  if (m_bWriting && m_llDbPhysicalSize == 0) {
    Log(1, "%s: The chunk file [%s] should hold the %lld bytes written to it", kFunction, path, expected);
  }
  return 0;
}

int RealMagneticFS::updateVolumeSize() {
  static const char kFunction[] = "RealMagneticFS::updateVolumeSize";
  try {
    CImpersonator impersonation(m_LoggedOnUser.GetToken());
    long long size = 0;
    CXoError e = SingleInstancer_FS::GetSizeOfVolumeDirectory(FileSystem(), m_szPath, &size);
    if (e.IsFailure()) {
      Log(1, "Error in walking the directory [%s], error=%s", m_szPath, e.AsString().c_str());
      return -1;
    }
    if (m_pVolInfo == nullptr) return -1;
    const std::vector<OZMMVolSize> sizes = {{m_iVolId, size / static_cast<long long>(kMB)}};
    if (m_pVolInfo->setVolumeSize(sizes) != 0) {
      Log(1, "%s:Unable to set volume size for volume [%d]", kFunction, m_iVolId);
      return -1;
    }
  } catch (const OzException& e) {
    Log(1, "%s:Got exception: %s", kFunction, e.text.c_str());
    return -1;
  }
  return 0;
}

int RealMagneticFS::CloseSpecific(long) {
  static const char kFunction[] = "RealMagneticFS::CloseSpecific";
  return RunAsMountPathUser(kFunction, [&]() -> int {
    if (m_bWriting) {
      if (FinalizeChunkForBackup() != 0) {
        Log(1, "%s: Cannot finalize the chunk.", kFunction);
        return -1;
      }
      if (m_iArchiveType == CHUNK && validateChunkSize(m_szChunkPath) == 0) {
        MediaFSSetLastError(kMMErrChunkSizeMismatch);
        Log(1,
            "RealMagneticFS::CloseSpecific(): Failed to validate db value of chunk size against actual size of "
            "chunk on disk");
        DisplayError(kMMErrChunkSizeMismatch, 1,
                     "Failed validate db value of chunk size against actual size of chunk on disk");
        return -1;
      }
      if (m_bVolumeFull) updateVolumeSize();
    }
    if (m_pFile != nullptr && m_pFile->IsValid()) m_pFile->Close();
    closeDeviceHandle();
    if (m_bWriting && m_bChunksReadOnly) {
      const int rc = markMagneticPathReadOnly(m_szChunkPath);
      if (rc != 0) return rc;
    }
    return 0;
  });
}

int RealMagneticFS::UpdateNumPhysicalBytes(long long writeTime) {
  unsigned long long freeBytes = 0;
  const long long free = getFreeSpaceFromMedia(freeBytes) == 0 ? static_cast<long long>(freeBytes) : -1;
  if (m_iMediaType == kMediaTypeReader || m_pVolInfo == nullptr) return 0;
  m_pVolInfo->incrNumPhysicalBytes(m_llPhysicalBytes, free);
  if ((m_iArchiveType != CHUNKMAP_TRAILER || m_bCountTrailerTransfer) && m_pDriveInfo != nullptr) {
    m_pDriveInfo->updateDataTransferInfo(m_llPhysicalBytes / static_cast<long long>(kMB), 0,
                                         static_cast<int32_t>(writeTime));
  }
  return 0;
}
