// nt_fs_optical: archive files on an optical disk.
//
// The disk is reached through a drive object of the optical drive library, which shows it as a
// logical drive with files on it: each archive file of the volume (a chunk "CHUNK_<id>", its chunk
// map trailer "CHUNKMAP_TRAILER_<id>", "MEDIA_HEADER", "MEDIA_TRAILER") is one file on the
// logical drive, created, written, read and closed through the drive object. For media types 11001
// to 11999 the files lie in the logical drive's "OZ_MAGNETIC" folder. Chunks of layout version 1
// are read from archive file folders "AF_<archive file id>".
//
// Space is read from the drive when each archive file is created: 64 KB or less left marks the
// volume full and refuses the file (kMFSNoRoomOnMedia). While writing, the media reports its end
// once the room left would fall to the low-water mark of 512 KB, and the host closes the chunk.
// WORM media are recorded as such with the media manager when a file is created, and never have
// an existing file opened for writing. Closing a written file makes it durable; a close that
// fails, fails. A block that the drive takes only in part before the end of the media cannot be
// taken back (the drive has no seek), so the file takes no more writes and its close fails. A
// read at the end of an archive file gets 0.
//
// In the reader mode (media type 16, no media manager) the catalog operation lists the chunk files
// below the media path in the chunk collect file, and each open takes the next path from it.
//
// An object is driven by one thread at a time and starts none.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/optical_drive.h"

class nt_fs_optical : public media_fs {
 public:
  nt_fs_optical(_JobContext* ctx, int mediaType);
  ~nt_fs_optical() override;

  // ---- Slots of media_fs, in slot order -----------------------------------------------------
  // Makes the drive object and finds the logical drive once; sets the low-water mark. 0 or -1.
  int InitSpecific() override;
  // 0, -1, or kMFSNoRoomOnMedia when the disk has no room (the volume is marked full).
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;
  // 0, -1, or InitSpecific's failure.
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;
  // 0, or -1 when the file could not be closed (for a written file: made durable) or ends in part
  // of a block (the file is closed all the same).
  int CloseSpecific(long markType) override;
  // The bytes written; 0 after a failed write (reported to the job), -1 for a write of nothing,
  // without a drive, on write-protected media (the volume is marked full), or to a file that ends
  // in part of a block: one that the drive cut short before the end of the media.
  int WriteToMedia(const char* buf, long len, int* eom) override;
  // The bytes read, 0 at the end of the archive file, or -1.
  int ReadFromMedia(char* buf, long len) override;
  long GetMarkType() const override;
  int UpdateNumPhysicalBytes(long long writeTime) override;
  // 0 with the disk's free bytes, or -1 with 0.
  int getFreeSpaceFromMedia(unsigned long long& bytes) override;
  long long GetRemainingSpace() override;
  // Read side only: drops the drive object; the next InitSpecific makes a new one. 0 or -1.
  int ReInitializeMedia() override;
  // Writes the chunk collect file of catalog number `n`: 0, or -1 with the last error set.
  int InitCatalogOperationOnMedia(int n) override;

  // ---- Own operations -----------------------------------------------------------------------
  // The bytes the disk lost since the archive file was created, as the drive-reported bytes.
  void UpdateNumPhyBytesWrittenFromDevice();
  // Lists the path (a regular file) or the chunk files below it (only entries whose names begin
  // with "CHUNK" are listed or entered) in the chunk collect file: 0, or -1 when a line could not
  // be written.
  int TraverseMountPathDirectory(std::string path);
  // Creates the directory, then gives it `mode`. 0, or the failing call's result (the last error
  // is the converted errno).
  int CreateDirWithMode(char* dir, int mode);

  // Room for a file name and its terminator.
  static constexpr size_t kNameBufferSize = 1024;

 protected:
  int32_t m_iOpenHandle = 0;  // 0: no file open
  OZScsiMODiskDrive* m_pDrive = nullptr;
  int32_t m_iOpticalMediaType = 0;
  std::string m_strLogicalDrive;
  FILE* m_pCatalogFile = nullptr;

 private:
  bool HasDrive() const { return m_pDrive != nullptr && m_pDrive->isValid(); }
  // The drive's last error: its code as the last error, its text in `text`.
  long long TakeDriveError(std::string& text);
  // The drive's last error as the last error, `describe(code, text)` as the error text logged at
  // level -1 and, with `shown`, reported to the job. Returns the code.
  long long ReportDriveFailure(const char* shown,
                               const std::function<std::string(long long code, const std::string& text)>& describe);
  void DropDriveObject();
  void CloseOpenFile();
  // printf into a name buffer; a name too long fails the create or open.
  bool FormName(char* out, const char* what, const char* format, ...) __attribute__((format(printf, 4, 5)));
  int WriteName(const MediaFSArchiveFileId_t* id, char* name);
  int ReadName(const MediaFSArchiveFileId_t* id, char* name);
  // On WORM media: 0 when no file has the name, else -1 with the reason as the last error.
  int RequireNewNameOnWorm(const char* name);
  int ListFile(const std::string& path, const char* failureFormat);
  // KB left from the drive's free bytes; a failed query keeps the figure it had.
  void ReadKBRemaining();
  // -1, with the write's code as the last error, for a file that ends in part of a block.
  int RefuseFileWithPartBlock();

  // Non-zero once the drive took a block of the open file only in part, away from the end of the
  // media: that write's code. The drive cannot seek back over the part, so the file is neither
  // written on nor closed as written.
  long long m_llPartBlockCode = 0;
};
