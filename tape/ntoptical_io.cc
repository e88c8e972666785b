// The optical disk media's archive files: CreateSpecific (free space, the file's name by its data
// type, WORM media), OpenSpecific (the chunk's name, or the next line of the chunk collect file in
// the reader mode), the blocks written and read through the drive, and CloseSpecific, which makes
// a written file durable.

#include <unistd.h>

#include <cstdarg>

#include "MediaFileSystem/NTOptical.h"
#include "tape/ntoptical_internal.h"

using namespace ntoptical;

namespace {

// Below this much free space (in KB) the disk takes no archive file.
constexpr long long kMinFreeKBToCreate = 64;

}  // namespace

bool nt_fs_optical::FormName(char* out, const char* what, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool formed = FormatPathBufferV(out, kNameBufferSize, kDisplayKind, what, format, args);
  va_end(args);
  return formed;
}

// Every name is formed with "/": a backslash would be part of the file name on this system.
int nt_fs_optical::WriteName(const MediaFSArchiveFileId_t* id, char* name) {
  const char* drive = m_strLogicalDrive.c_str();
  switch (id->uiDataType) {
    case MEDIA_HEADER:
      return FormName(name, "media header", "%s/MEDIA_HEADER", drive) ? 0 : -1;
    case MEDIA_TRAILER:
      return FormName(name, "media trailer", "%s/MEDIA_TRAILER", drive) ? 0 : -1;
    case ARCHIVE_HEADER:
    case ARCHIVE_TRAILER:
      SetLastError(kMFSErrUnknownArchiveType, "Archive file of unknown type has been requested for creation");
      Log(-1, "Some has tried to create a %s on Optical.. that is not supported after 4.2 ",
          id->uiDataType == ARCHIVE_HEADER ? "ARCHIVE_HEADER" : "ARCHIVE_TRAILER");
      return -1;
    case CHUNK:
      return FormName(name, "chunk", "%s%s%sCHUNK_%lld", drive, "/", "", static_cast<long long>(id->llChunkId))
                 ? 0
                 : -1;
    case CHUNKMAP_TRAILER:
      return FormName(name, "chunk map trailer", "%s%s%sCHUNKMAP_TRAILER_%lld", drive, "/", "",
                      static_cast<long long>(id->llChunkId))
                 ? 0
                 : -1;
    default:
      Log(1, "%s %d Invalid Archive File data type has been specified", kSource, __LINE__);
      m_strLastErrorMsg = "Invalid archive file data type specified";
      return -1;
  }
}

int nt_fs_optical::ReadName(const MediaFSArchiveFileId_t* id, char* name) {
  const char* drive = m_strLogicalDrive.c_str();
  if (m_iMediaType == kMediaTypeReader && id->iArchFileId == 0) {
    std::string line;
    if (NextChunkCollectLine(m_pCatalogFile, line) != 0) return -1;
    return FormName(name, "chunk", "%s", line.c_str()) ? 0 : -1;
  }
  if (id->iChunkVersion == 1) {
    return FormName(name, "chunk", "%s%s%s_%u%sCHUNK_%lu", drive, "/", "AF", static_cast<unsigned>(id->iArchFileId),
                    "/", static_cast<unsigned long>(id->ullChunkNumber))
               ? 0
               : -1;
  }
  return FormName(name, "chunk", "%s%s%sCHUNK_%lld", drive, "/", "", static_cast<long long>(id->llChunkId)) ? 0
                                                                                                            : -1;
}

int nt_fs_optical::CreateSpecific(const MediaFSArchiveFileId_t* id) {
  if (m_llFileNumber == -1) m_llFileNumber = m_llNumFiles++;
  if (!HasDrive()) {
    Log(1, "%s %d Drive initialization has been invalid for the Optical Mount path <%s> win errno=%d", kSource,
        __LINE__, m_strLogicalDrive.c_str(), static_cast<int>(kMMErrInvalidHandle));
    MediaFSSetLastError(kMMErrInvalidHandle);
    DisplayError(kMMErrInvalidHandle, kDisplayKind, "Failed to initialize the optical medium of the Optical mount path");
    return -1;
  }
  ReadKBRemaining();
  if (m_llKBRemaining <= kMinFreeKBToCreate) {
    Log(1, "Marking Volume %d as full as GetFreeSpace from Disk returned less than 64 KB", m_iVolId);
    if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
    return kMFSNoRoomOnMedia;
  }

  char name[kNameBufferSize];
  if (WriteName(id, name) != 0) return -1;
  if (m_iOpenHandle != 0) CloseSpecific(0);
  // Opening for writing empties a file of that name, so WORM media are asked about first.
  int wormType = -1;
  const bool worm = m_pDrive->isWorm(m_iOpticalMediaType, wormType) != 0;
  if (worm && RequireNewNameOnWorm(name) != 0) return -1;
  m_iOpenHandle = m_pDrive->open(name, OZScsiMODiskDrive::kAccessWrite, OZScsiMODiskDrive::kCreateAlways);
  if (m_iOpenHandle == 0) {
    std::string text;
    const long long code = TakeDriveError(text);
    Log(1, "%s %d Error creating the file archive file--%s. mm error = %d", kSource, __LINE__, text.c_str(),
        static_cast<int>(code));
    DisplayError(static_cast<unsigned long>(code), kDisplayKind, "Failed to write data onto the media");
    if (m_pVolInfo != nullptr && code == kMMErrDiskDamaged) {
      m_pVolInfo->markFull(static_cast<int>(kMMErrDiskDamaged), JobId());
      Log(1, "Marking the Disk Media as Full as the disk is corrupted");
    }
    return -1;
  }
  // The open emptied any file of that name, whose bytes the disk got back: the file's physical
  // bytes are measured from the space left now, not from the old file's end.
  ReadKBRemaining();
  if (worm) {
    if (m_pVolInfo != nullptr) m_pVolInfo->setMediaWorm(wormType);
    Log(1, "Detected WORM Optical Media. Setting Volume [%d] as WORM", m_iVolId);
  }
  Log(1, "nt_fs_optical Created <%s> file", name);
  return 0;
}

void nt_fs_optical::ReadKBRemaining() {
  OZQuadWord freeBytes;
  OZQuadWord totalBytes;
  if (m_pDrive->getFreeSpace(freeBytes, totalBytes) == 0) return;
  const long long freeKB = static_cast<long long>(freeBytes.QuadPart() >> 10);
  Log(1, "Resetting the KBRemaining =%lld after getting the amount of free space =%lld from the optical disk",
      m_llKBRemaining, freeKB);
  m_llKBRemaining = freeKB;
}

// A WORM disk keeps what it holds: an archive file written there is never written again. The
// name is free only when the drive says that no file has it; any other answer refuses the create
// before anything is opened for writing.
int nt_fs_optical::RequireNewNameOnWorm(const char* name) {
  const int existing = m_pDrive->open(name, OZScsiMODiskDrive::kAccessRead, OZScsiMODiskDrive::kOpenExisting);
  if (existing != 0) {
    m_pDrive->close(existing);
    DisplayError(static_cast<unsigned long>(kMMErrFileExists), kDisplayKind, "Failed to write data onto the media");
    // The job's report guesses at a cause; the host gets the reason itself.
    SetLastError(kMMErrFileExists,
                 FormatText("The archive file <%s> already exists on the WORM optical media and is not written again",
                            name)
                     .c_str());
    Log(1, "%s", m_strLastErrorMsg.c_str());
    return -1;
  }
  std::string text;
  const long long code = m_pDrive->getLastError(text);
  if (code == kMMErrPathNotAccessible) return 0;
  MediaFSSetLastError(code);
  m_strLastErrorMsg = text;
  Log(1, "%s %d Could not tell whether the archive file <%s> exists on the WORM optical media--%s. mm error = %d",
      kSource, __LINE__, name, text.c_str(), static_cast<int>(code));
  DisplayError(static_cast<unsigned long>(code), kDisplayKind, "Failed to write data onto the media");
  return -1;
}

int nt_fs_optical::OpenSpecific(const MediaFSArchiveFileId_t* id) {
  if (m_iOpenHandle != 0) CloseSpecific(0);
  if (const int rc = InitSpecific(); rc != 0) return rc;
  char name[kNameBufferSize];
  if (ReadName(id, name) != 0) return -1;
  m_iOpenHandle = m_pDrive->open(name, OZScsiMODiskDrive::kAccessRead, OZScsiMODiskDrive::kOpenExisting);
  if (m_iOpenHandle != 0) {
    Log(1, "nt_fs_optical Opened <%s> file", name);
    return 0;
  }
  std::string text;
  const long long code = TakeDriveError(text);
  Log(-1, "Error Opening File %s thread ID [%d] mm error [%d] -- %s\n", name, static_cast<int>(gettid()),
      static_cast<int>(code), text.c_str());
  DisplayError(static_cast<unsigned long>(code), kDisplayKind, "Failed to read from the backup media");
  return -1;
}

int nt_fs_optical::WriteToMedia(const char* buf, long len, int* eom) {
  *eom = 0;
  if (len == 0) {
    FailText("Request to write zero bytes - Optical Mount Path=<%s>", m_strLogicalDrive.c_str());
    SetLastError(kMFSErrZeroByteWrite, "Failing the request to write zero bytes of data on to the optical media");
    return -1;
  }
  if (!HasDrive()) {
    Log(1, "Drive has not been initialized correctly.\n");
    SetLastError(kMMErrInvalidHandle, "Failing the write request due to an invalid state on to the optical drive");
    return -1;
  }
  if (m_llPartBlockCode != 0) return RefuseFileWithPartBlock();
  const MDTime start;
  long size = len;
  const long written = m_pDrive->write(m_iOpenHandle, buf, size);
  long long code = 0;
  if (written == 0) {
    code = ReportDriveFailure("Write failed on the media", [&](long long c, const std::string& text) {
      return FormatText(" Write Failed on the Mount path %s mm error code is %lu -- %s", m_strLogicalDrive.c_str(),
                        static_cast<unsigned long>(c), text.c_str());
    });
    if (code == kMMErrWriteProtected) {
      if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonWriteProtected, JobId());
      Log(1, "Marking the volume as full as the volume is read only ");
      return -1;
    }
  }
  if (written < size) {
    code = ReportDriveFailure("Write failed on the media", [&](long long c, const std::string& text) {
      return FormatText("Wrote %lu bytes instead of %lu bytes Optical Mount path=<%s> mm error=%d -- %s",
                        static_cast<unsigned long>(written), static_cast<unsigned long>(size),
                        m_strLogicalDrive.c_str(), static_cast<int>(c), text.c_str());
    });
    size = written;
  }
  m_llBytesAtEOM = size;
  if (m_llKBRemaining * 1024 - m_llPhysicalBytes - size <= m_llMinFreeKB * 1024) {
    m_bCloseChunk = true;
    *eom = 1;
  }
  // Inside the media the frame keeps the whole block to write again, but the bytes the drive took
  // stay in the file, and the drive cannot seek back over them.
  if (written > 0 && written < len && *eom == 0) m_llPartBlockCode = code != 0 ? code : kMMErrIo;
  m_llWriteTime += MDTime() - start;
  return static_cast<int>(written);
}

int nt_fs_optical::ReadFromMedia(char* buf, long len) {
  if (!HasDrive()) {
    Log(1, "Drive has not been initialized correctly.\n");
    SetLastError(kMMErrInvalidHandle, "Failing the read request due to an invalid state on to the optical drive");
    return -1;
  }
  const long got = m_pDrive->read(m_iOpenHandle, buf, len);
  if (got != 0) return static_cast<int>(got);
  // Nothing more at the end of the file is the end of the archive file, as the frame takes a 0.
  std::string text;
  if (m_pDrive->getLastError(text) == kMMErrEndOfData) return 0;
  ReportDriveFailure("Read from media failed", [&](long long code, const std::string&) {
    return FormatText("Read %lu bytes instead of %lu bytes Optical Mount path=<%s> mm error=%lu", 0UL,
                      static_cast<unsigned long>(len), m_strLogicalDrive.c_str(), static_cast<unsigned long>(code));
  });
  return -1;
}

// A written file counts only once the drive has closed it, which makes it durable: a close that
// fails, fails, so the frame never records a chunk that a power cut could take.
int nt_fs_optical::CloseSpecific(long) {
  if (m_bChunksReadOnly) Log(1, "The chunk has been created read only ");
  if (m_llPartBlockCode != 0) {
    const int rc = RefuseFileWithPartBlock();
    CloseOpenFile();
    return rc;
  }
  UpdateNumPhyBytesWrittenFromDevice();
  if (!HasDrive() || m_iOpenHandle == 0) return 0;
  const int handle = m_iOpenHandle;
  m_iOpenHandle = 0;
  if (m_pDrive->close(handle) == 0) return 0;
  ReportDriveFailure(m_bWriting ? "Write failed on the media" : nullptr, [&](long long code, const std::string& text) {
    return FormatText("Failed to close the file on the Optical Mount path <%s> mm error=%lu -- %s",
                      m_strLogicalDrive.c_str(), static_cast<unsigned long>(code), text.c_str());
  });
  return -1;
}

// The open file holds part of a block after the stream's last whole one: writing on would put the
// block's bytes after that part, and closing it as written would record what the stream is not.
int nt_fs_optical::RefuseFileWithPartBlock() {
  MediaFSSetLastError(m_llPartBlockCode);
  FailText("The archive file on the Optical Mount path <%s> ends in part of a block that the drive could not take "
           "whole; it is not written on or kept as written - mm error=%lld",
           m_strLogicalDrive.c_str(), m_llPartBlockCode);
  return -1;
}
