// RealMagneticFS: the media of disk mount paths.
//
// Every archive file is one file directly in the mount path's folder: "CHUNK_<id>" for a chunk,
// "CHUNKMAP_TRAILER_<id>" for its chunk map trailer, "MEDIA_TRAILER" for the media trailer. A
// backup goes Init, then per archive file Create, Write, Close; a restore Init, then Open, Read,
// Close. The object keeps a reserve of free space on the mount path (the reservation's low-water
// mark, at least 50 MB): a chunk is refused at or below it, and a write that finds the mount path
// there raises the close-chunk flag and marks the volume full. Restores also read the archive file
// folder layout ("AF_<n>/CHUNK_<m>"). In the reader mode (media type 16) a catalog operation
// lists every "CHUNK*" file below the mount path in the chunk collect file, and each Open with
// archive file id 0 opens the next file listed.
//
// Failures that the job must see go through DisplayError with the disk kind (1). File-system work
// of Create, Close and Open runs as the mount path's user.
//
// Beside the media object, the class offers static operations on the files and folders of a
// mount path to callers that hold no disk media object. Each works through the file-system
// interface that the caller made for the mount path and logs to the caller's log object, or to
// a default one for the call when `log` is null.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "MediaFileSystem/zovadAdeveFS.h"

class OZMMmountPath;

class RealMagneticFS : public media_fs {
 public:
  // `params` selects the mount path's storage (copied). A `noLogon` of 0 sets up the mount path's
  // user (its name and password in `params`) for Init's logon; any other value leaves it unset.
  RealMagneticFS(_JobContext* ctx, const CFSInitParams& params, int noLogon);
  // Flushes a chunk still being written, then closes and frees everything the object holds.
  ~RealMagneticFS() override;

  // ---- Slots of media_fs --------------------------------------------------------------------
  // Clears the disk-full state, reads the free space in a backup and makes the file-system and
  // file interfaces: 0, or -1 with last error 124.
  int InitSpecific() override;
  // 0 with the file created (an existing one is truncated), kMFSNoRoomOnMedia when free space is
  // at or below the reserve (the volume is marked full, no file is made), -1 on failure. An
  // unreachable mount path is marked offline and its volume full (42010).
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;
  // Opens the chunk file of the id (or the next catalogued file in the reader mode, archive file
  // id 0) and, outside the reader mode, checks its size against the database's: 0 or -1.
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;
  // A write close flushes the file and the folder that holds its name, checks a chunk's size,
  // records the volume size of a full volume, closes the file and marks it read-only when asked.
  // 0, -1, or the marking's result.
  int CloseSpecific(long markType) override;
  // Writes one block. Every m_ullSpaceCheckLimit bytes the free space is read again; at or below
  // the reserve the volume is marked full and from then on every write returns `len` with *eom
  // 1 and the close-chunk flag. A full disk (767) fails with -1 and marks the volume full.
  int WriteToMedia(const char* buf, long len, int* eom) override;
  // At most len bytes of the open file: the count (0 at its end) or -1.
  int ReadFromMedia(char* buf, long len) override;
  long GetMarkType() const override;
  int UpdateNumPhysicalBytes(long long writeTime) override;
  // The free bytes of the mount path: 0, or -1 with the last error set.
  int getFreeSpaceFromMedia(unsigned long long& bytes) override;
  long long GetRemainingSpace() override;
  // -1 while an archive file has been created by the object; otherwise closes the handle: 0.
  int ReInitializeMedia() override;
  // Writes the chunk collect file ("ChunkCollectFile.Txt", or "<n>_ChunkCollectFile.Txt", in the
  // working folder) and leaves it open for reading: 0, or -1 with the last error set (30056,
  // 30057, or 30058 when the walk or a write of the file failed).
  int InitCatalogOperationOnMedia(int n) override;
  // Positions the open file at `offset` and empties the read buffer: 1, or 0 on failure.
  int SetSeekOffset(long long offset) override;

  // ---- The disk media's own operations --------------------------------------------------------
  // Reads the reserve and the maximum fill from the reservation. 0.
  int initializeMountPathInfo();
  bool lockUnLockMagneticVolume(const std::string&) { return true; }
  bool isUnbufferedIOEnabled() { return false; }
  // Flushes the chunk being written to stable storage, its bytes and then its name (the folder
  // that holds it): 0 (also when nothing is written), or -1 with the last error set.
  int FinalizeChunkForBackup();
  using media_fs::validateChunkSize;
  // 1 when the file at `path` has the size of the chunk, 0 otherwise (last error 1208 when the
  // sizes differ). A chunk being written whose database size is unknown (0) must hold exactly
  // the bytes written; otherwise it holds the database size plus the 1024-byte chunk header,
  // rounded up to a whole block.
  int validateChunkSize(const char* path);
  // Measures the mount path and records the volume size with the media manager: 0 or -1.
  int updateVolumeSize();
  // Marks the volume full for a full disk (767) or a refused access (996).
  void diskMarkFull(unsigned int code);
  // Walks `path` at every depth, listing chunk files in the open chunk collect file: 0 or -1.
  int TraverseMountPathDirectory(std::string path);
  static CXoError MountPathWalkerStatic(const char* folder, const char* name, bool isFolder, void* context);
  // Lists a file whose name begins with "CHUNK"; fails only when the line cannot be written.
  CXoError MountPathWalker(const char* folder, const char* name, bool isFolder);

  // ---- Static file operations -----------------------------------------------------------------
  // Whether the path exists. Below a disk library root (the path up to the last "OZ_MAGNETIC")
  // a missing path is tested three times, 1 ms apart, with the root each time: when the root
  // itself is missing the whole mount path is offline, Win32-style error 774 "Entire path is
  // offline".
  static CXoError PathExists(CFSInterface* fs, const char* path, bool* exists, EvDebug* log);
  // Removes the file if it exists; a refused removal is repeated once after the file was made
  // writable. Success when the file is gone.
  static CXoError DeleteFile(CFSInterface* fs, const char* path, EvDebug* log);
  // Removes the (empty) folder if it exists. Success when the folder is gone.
  static CXoError DeleteDirectory(CFSInterface* fs, const char* path, EvDebug* log);
  // Makes the names in `folder` durable (a file created, renamed or removed there survives a power
  // cut), through a file interface made from `params`. Storages without folders have nothing to
  // flush: callers on object stores skip it.
  static CXoError FlushFolder(const CFSInitParams& params, const std::string& folder);
  // Nothing to grant or revoke on these storages: 0.
  static int GrantDeletePermissions(CFSInterface* fs, const char* path, EvDebug* log);
  static int RevokeDeletePermissionsFromAll(CFSInterface* fs, const char* path, EvDebug* log);

  // Room for a path and its terminator.
  static constexpr size_t kPathBufferSize = 1024;

 protected:
  char m_szChunkPath[kPathBufferSize];
  FILE* m_pCatalogFile = nullptr;
  long long m_llBytesSinceSpaceCheck = 0;
  unsigned long long m_ullSpaceCheckLimit = 26214400;
  long long m_llReserveMB = 0;
  bool m_bDiskFull = false;
  OZMMmountPath* m_pMountPath = nullptr;
  CFSInterface* m_pGenericFS = nullptr;
  CFileInterface* m_pFile = nullptr;
  CFSInitParams m_FSInitParams;

 private:
  // Runs `work` as the mount path's user. A scope that cannot be entered, or an exception inside
  // it, fails with -1 and reaches the job as `function`'s failure.
  int RunAsMountPathUser(const char* function, const std::function<int()>& work);
  // The file-system interface, made when missing; null when it cannot be made.
  CFSInterface* FileSystem();
  // The failure of a step that found no file-system interface.
  static CXoError NoFileSystem(const FXCodeLocation& where);
  // printf into a path buffer of kPathBufferSize. A path that does not fit fails with a clear
  // error (last error set, reported to the job) and leaves `out` empty.
  bool FormatPath(char* out, const char* what, const char* format, ...) __attribute__((format(printf, 4, 5)));
  // The chunk collect file's next line, without its line end: 0, or -1 with the last error set.
  int NextCatalogPath(std::string& path);
  // Marks the volume full; nothing in the reader mode, which has no volume record.
  void MarkVolumeFull(int reason);
  // A refused chunk: no room above the reserve. kMFSNoRoomOnMedia.
  int RefuseForReserve(unsigned long long freeBytes);
  // The mount path cannot be reached: its volume is marked full and the mount path offline. -1.
  int MountPathUnreachable(const CXoError& e);
  // A write that failed or fell short: the bytes it left are cut off the file, so the file
  // holds only whole blocks the frame counted. -1.
  int WriteFailed(long len, unsigned int written, CXoError e);
  // The free-space check of a write, every m_ullSpaceCheckLimit bytes.
  void CheckSpaceAfterWrite(int* eom);
};
