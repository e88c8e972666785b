// media_fs: the abstract media object through which hosts drive every kind of media.
//
// One object serves one volume for one job. The host constructs the media type of the volume,
// calls Init once, then for each archive file either Create, Write or Write2 any number of times,
// Close (a backup) or Open, Read and Peek, Close (a restore). Data moves through the object's
// buffers in whole volume blocks: every WriteToMedia call carries exactly one block. A write Close
// pads the last block with the character '0' and records the file with the media manager.
//
// Everything that touches the media goes through the pure virtual slots, which each media type
// fills. The slot table below is in slot order; media types and hosts rely on that order.
//
// Media type 16 is a reader that works without the media manager: no volume or drive record,
// 32 KiB blocks, no volume marking and no job events.
//
// An object is driven by one thread at a time.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <string>

#include "MediaFileSystem/MediaFSErrorCodes.h"
#include "MediaFileSystem/MediaFSRecords.h"
#include "MediaFileSystem/MountPathRecords.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/identity.h"
#include "platform/job_manager.h"
#include "platform/logging.h"
#include "platform/media_manager.h"
#include "platform/threads.h"

class OZPI_ZovadAdeve;

typedef long long MM_longlong;

class media_fs {
 public:
  explicit media_fs(_JobContext* ctx);
  media_fs(const media_fs&) = delete;
  media_fs& operator=(const media_fs&) = delete;

  // ---- Virtual slots, in slot order -------------------------------------------------------
  // Converts the error to a media manager code, keeps it as the last error with the error's text
  // as the last error message, and returns it.
  virtual long long ConvertAndSetLastMMError(CXoError e);
  virtual bool CheckQuitFlag();
  virtual ~media_fs();
  virtual int WriteIntercept(const char* buf, unsigned long len, DmDataType type);
  // Close calls it with the number of padding bytes of the last block; negative fails the Close.
  virtual int WriteInterceptPadding(int size);
  // Close writes out the buffered rest only while this is true.
  virtual bool shouldFlushBuffer();
  // Closes m_fd when it is above 0.
  virtual void closeDeviceHandle();
  virtual void setMaxChunkSize(long long size);
  // Writes the media header; the host has created its archive file before. 0 or -1.
  virtual int WriteMediaHeader(const MediaFSArchiveFileId_t* id);
  // Marks the volume full and writes the media trailer as an archive file of its own. 0 or -1.
  virtual int WriteMediaTrailer(const MediaFSArchiveFileId_t* id);
  virtual bool isNAS();
  // True once Init made the volume record.
  virtual bool isInitialized();
  // The reservation's block size in KB; -1 before Init.
  virtual int getBlockSize();
  virtual int WriteRetrySupported();
  virtual int WriteFileMark();
  // Called by Init in place of InitSpecific on a re-initialisation.
  virtual int InitRecycled();
  // Last step of a first Init: 0, or negative with the last error set.
  virtual int InitSpecific() = 0;
  // Negative: not created; kMFSNoRoomOnMedia: no room, the volume has been marked full.
  virtual int CreateSpecific(const MediaFSArchiveFileId_t* id) = 0;
  virtual int OpenSpecific(const MediaFSArchiveFileId_t* id) = 0;
  virtual int CloseSpecific(long markType) = 0;
  // Always exactly one block; `*eom` comes in as 0. Returns len when the block is on the media
  // (setting *eom to 1 when the media reached its end). When the media ran out inside the block:
  // -1 with *eom 1 and m_bCloseChunk set (the block counts), or -1 with *eom nonzero and
  // m_llBytesAtEOM at or above 0 (that many bytes count). Anything else is a failure with the
  // last error set.
  virtual int WriteToMedia(const char* buf, long len, int* eom) = 0;
  // At most len bytes; 0 at the end of the archive file; negative with the last error set.
  virtual int ReadFromMedia(char* buf, long len) = 0;
  virtual long GetMarkType() const = 0;
  // Records m_llPhysicalBytes with the volume and, with the write time, the drive's transfer.
  virtual int UpdateNumPhysicalBytes(long long writeTime) = 0;
  // 0 or more with the free bytes; negative on failure.
  virtual int getFreeSpaceFromMedia(unsigned long long& bytes) = 0;
  virtual long long GetRemainingSpace() = 0;
  virtual int ReInitializeMedia();
  virtual int InitCatalogOperationOnMedia(int n) = 0;
  // The frame's default supports no retry: clears `again` and returns -1.
  virtual int RepositionMediaForWrite(bool& again);
  virtual int SetSeekOffset(long long offset);
  virtual int WriteToDataFile(const char* buf, long len, int* eom);
  virtual int WriteToMetaData(const char* buf, long len, int* eom);
  virtual int StartDataFile(unsigned long long a, unsigned long long b, unsigned int c);
  virtual int EndDataFile();
  virtual int getSingleInstanceID(char* buf, int size);
  virtual int OpenDataFile(char* name);
  virtual int ReadFromDataFile(char* buf, long len);
  virtual int ReadFromMetaData(char* buf, long len);
  virtual int GetMetaDataSeekOffset(long long key, long long chunkId, long long& offset);
  virtual int GetTavrixVersionFromChunkMapTrailer(long long chunkId, std::string& version);
  virtual void resetDataFileNumber();
  virtual int validateChunkSize();
  virtual bool isHardWareEncryptionSupported();
  virtual int enableHardwareEncryption(unsigned int keyLen, unsigned char* key);
  virtual int disableHardwareEncryption();
  virtual int CheckAndRecallVolumeFromTape(std::string mountPath, unsigned long long chunkId,
                                           unsigned int volId, int thId, unsigned int mountPathId,
                                           unsigned int& newMountPathId, unsigned int& out2,
                                           void* handle, bool primary);
  virtual int ReleaseSiloVolResourceLock(unsigned int volId, bool a, bool b);
  virtual int LocateChunk(long long chunkId);
  virtual void SetQuitFlag();

  // ---- Initialisation ---------------------------------------------------------------------
  // A first initialisation (reinit false) is refused with 30042 on an initialised object and then
  // changes nothing else. A re-initialisation rebuilds the media manager records and adapts the
  // buffers to the block size. Returns InitSpecific's or InitRecycled's result, or -1.
  int Init(MediaFsInitParams params, bool reinit);
  // 1 with the management server's host name, or 0 with the string empty.
  int GetHubmasterName(std::string& name);

  // ---- Writing ----------------------------------------------------------------------------
  // Starts an archive file for writing: 0, -1, or kMFSNoRoomOnMedia. `unused` is not used.
  int Create(const MediaFSArchiveFileId_t* id, int unused = 0);
  // Appends `size` bytes, writing every full block. Returns size, the bytes the media took when
  // it ran out inside a block, or -1. Sizes of 2^31 or more are refused with -1. While nothing is
  // buffered, whole blocks go to the media straight from `buf` (except in a traced write).
  int Write(const char* buf, unsigned long size);
  // Writes exactly one block from the caller's buffer, with retries when enabled. Returns size,
  // the partial count at the end of the media, or -1. `endOfMedia` becomes true when the block
  // is on the media and the media reported its end.
  int Write2(const char* buf, unsigned long size, bool& endOfMedia);
  // Ends the archive file: a write Close pads and writes the last block, closes the file and
  // records it with the media manager; a read Close reports the transfer. 0 or -1.
  int Close();
  void SetMinFreeKb(long long kb);
  // Bytes that complete the current block after n more bytes are written.
  unsigned long long getBlockWriteRemainder(unsigned long long n);
  // 0 when the chunk table and the volume table agree; otherwise -1 (marks the volume full).
  int CheckForDataBeingOverWritten();

  // ---- Reading ----------------------------------------------------------------------------
  // Opens an archive file for reading and bounds the bytes that may be read from it.
  int Open(const MediaFSArchiveFileId_t* id, bool blockBound);
  // Delivers up to n bytes; fewer at the end of the archive file; -1 on failure. Once the buffer
  // is empty, a media read that fits in what is left of `buf` lands there directly.
  int Read(char* buf, unsigned long n);
  // Copies n buffered bytes without consuming them; reads one block when the buffer is empty.
  int Peek(char* buf, unsigned long n);
  void AdjustBytesToRead(long long delta);
  // Reader mode only: the block size (and read buffer) in KB. 0 or -1.
  int SetDrReaderVolumeBlockSize(int kb);

  // ---- Media header, trailer, chunk map trailer --------------------------------------------
  char* GetHeader();
  char* GetTrailer();
  // Splits the next "name value\n" pair off a terminated text, in place. 0 or -1.
  int GetNextNameValue(char*& cursor, char*& name, char*& value);
  // The same over [cursor, end): never reads at or past `end`.
  int GetNextNameValue(char*& cursor, const char* end, char*& name, char*& value);
  // Parses a terminated chunk map trailer text, in place. 0 or -1.
  int GetMediaInfoFromChunkMapTrailer(char* text, ChunkMapTrailerInfo& info);
  // Parses a chunk map trailer block of `size` bytes (terminated or not), in place. 0 or -1.
  int GetMediaInfoFromChunkMapTrailer(char* block, size_t size, ChunkMapTrailerInfo& info);
  int InitCatalogOperation(int n);

  // ---- Errors and messages ----------------------------------------------------------------
  void GetWindowsErrorString(unsigned int code);
  // strncpy semantics: no terminator when the message fills the buffer.
  void GetDataBaseErrorString(char* buffer, int size);
  // Reports a failure to the job: log line, user text in m_strLastErrorMsg and, where the code
  // and kind carry one, a pending cause with an event. Kind 0 drives in a library, 1 disk mount
  // paths, 2 cloud storage.
  void DisplayError(unsigned long code, int kind, const char* text);
  void InitJobClient();
  // `name` has room for 1024 bytes, or is null.
  void getLocalHostName(char* name);

  // ---- Mount path information -------------------------------------------------------------
  // Reads one mount path's description from the configuration under the machine-wide lock
  // "OZMAMntPathRegLock" (waited for at most 300000 ms) and parses a data server path. The ids
  // and the token of `info` are set whatever follows. Nonzero on success.
  static int LookupMPInfoFromReg(int mountPathId, int tarnholdId, SMountInfo& info);
  // The same through the object's cache: the configuration is read only on a miss. A failed
  // lookup is retried with installation id 2 when "RetryMPLookupOnTHIdFailure" is set (the
  // caller then receives installation id 2). 1, or 0 with last error 30079 and `info` untouched.
  int GetMountPathInfo(unsigned int mountPathId, unsigned int tarnholdId, SMountInfo& info);
  // Fills the file-system layer's parameters of a mount path: a disk path (type 0), cloud
  // storage (mount path type 7: type 1) or a data server over IP (type 2). User, password and
  // mount path id are set first; a data server path that does not parse or whose transport is
  // not IP fails with media manager error 103.
  static CXoError GetFSInitParams(unsigned int mountPathId, const std::string& mountPath, int mountPathType,
                                  int cloudSubType, const std::string& user, const std::string& password,
                                  CFSInitParams& out);

  // ---- Data server, Gluster and scale-out mount paths ---------------------------------------
  // 1 when the whole text is "WORD|n1|n2|host|n3|path"; fields are stored as they are read, and a
  // number outside the 32-bit range fails the parse.
  static int ParseDataServerMountPath(std::string path, DataServerMountPathInfo& info);
  // True for a Gluster volume path or a text that begins with "IP|", "SAN|", "FC|" or "ISCSI|".
  static bool IsDataServerMountPath(std::string path);
  // True when Gluster support ("nEnableLibGFAPI", read once per process) is on and the path lies
  // on a Gluster volume.
  static bool IsGlusterMountPath(std::string path);
  // True for a path on the distributed storage or on a Gluster volume.
  static bool IsStrataformPath(const std::string& path);
  // Fills host, volume, port and inner path of a Gluster volume path (transport 3); false, with
  // the record untouched, for any other path.
  static bool ParseGlusterMountPath(std::string path, DataServerMountPathInfo& info);

  // ---- SCSI device path refresh -------------------------------------------------------------
  // When the last error is a device error that a rescan may cure (770, 776, 781, 792, 973,
  // 40012), refreshes the drive controller's access path: nonzero with a new, different path in
  // `accessPath`; 0 otherwise (the string then means nothing). `ndmp` non-empty: NDMP paths.
  int checkAndDoScsiUpdate(int controllerId, std::string& accessPath, const char* ndmp);
  // Reconfigures the machine's devices when the automatic update is on and due, else asks the
  // media manager for the controller's access path. Mode bit 0: SCSI ids, bit 1: NDMP paths.
  bool doScsiUpdate(int controllerId, std::string& accessPath, unsigned char mode, const char* ndmp);
  // The machine's last automatic update, "lastUpdateScsiTime" in seconds; 0 when absent.
  void getLastScsiUpdateTime(unsigned long& time);
  void setLastScsiUpdateTime(unsigned long time);

  // ---- Read-only chunks ---------------------------------------------------------------------
  // When read-only chunks were asked for (SetChunkAsReadOnly), makes the file, or every regular
  // file of the folder (not its sub-folders), read-only with the access time set to its
  // retention date. 0 when every file is marked (or nothing was asked); -1 at the first failure,
  // with the last error set.
  int markMagneticPathReadOnly(const char* path);
  // Marks one file; a file without owner write permission counts as marked already. 0 or -1.
  int markFileReadOnly(const char* path);

  // ---- Volume size --------------------------------------------------------------------------
  // Adds up the logical sizes of every file below the mount path, as the object's user, into
  // GetMagneticVolumeSize. 0, or -1 with the size -1 and the last error set.
  int PopulateMagneticVolumeSize();
  static CXoError DirectoryWalkerStatic(const char* folder, const char* name, bool isFolder, void* context);
  CXoError DirectoryWalker(const char* folder, const char* name, bool isFolder);


  // ---- Setters and getters ----------------------------------------------------------------
  void SetVolId(int volId) { m_iVolId = volId; }
  int GetVolId() const { return m_iVolId; }
  const char* SetPath(const char* path);
  const char* GetPath() const { return m_szPath; }
  void SetErrorString(const char* text);
  const char* GetErrorString() const { return m_szErrorText; }
  void SetMaxChunkSize(long long size) { m_llMaxChunkSize = size; }
  long long GetFileNumber() const { return m_llFileNumber; }
  long long GetNumFiles() const { return m_llNumFiles; }
  int GetHeaderSize() const { return kMediaLabelSize; }
  int GetTrailerSize() const { return kMediaLabelSize; }
  void MediaFSSetLastError(long long code) { m_llLastError = code; }
  long long MediaFSGetLastError() const { return m_llLastError; }
  void SetHardwareComp(bool on) { m_bHardwareComp = on; }
  bool GetHardwareComp() const { return m_bHardwareComp; }
  long long GetCurrentTransferCount() const { return m_llBytesAtEOM; }
  bool GetCloseChunkFlag() const { return m_bCloseChunk; }
  unsigned long long GetVolBlockSize() const { return m_ulBlockSize; }
  long long GetFileMarkerSize() const { return m_llFileMarkerSize; }
  bool IsMediaTape() { return m_bIsTape; }
  void SetStreamId(int id) { m_iStreamId = id; }
  void SetChunkAsReadOnly(unsigned long days);
  void SetChunkRetentionDays(unsigned long days);
  int GetChunkWriteTime() { return static_cast<int32_t>(static_cast<uint32_t>(m_llWriteTime)); }
  void SetWriteRetryOptions(bool enable, int maxRetries) {
    m_bWriteRetry = enable;
    m_retryWriteCount = maxRetries;
  }
  long long GetMagneticVolumeSize() { return m_llMagneticVolumeSize; }
  CLoggedOnUser* GetLoggedOnUser() { return &m_LoggedOnUser; }
  void SetMlmContext(MLMMessageInstance* mlm) { m_pMlm = mlm; }
  void InitForChunkReuse() { m_tStart.init(); }
  long long getMaxDiskSpaceToBeFilled() { return m_llMaxSpaceToFill; }
  void EnableMux(bool on) { m_bMux = on; }
  int InitLowFragmentationParams(bool) { return 0; }
  // The host asks for a zero-size check of a chunk's metadata file on the next Open, and reads
  // back whether the file has zero size on disk.
  void SetMetaDataZeroSizeCheck(bool check) { m_bCheckMetaDataZeroSize = check; }
  bool IsMetaDataZeroSize() const { return m_bMetaDataZeroSize; }
  // NDMP tape: above 0, a create that spaced to the append point checks that no file mark
  // follows it (the end of the data). 0 by default.
  void SetEndOfDataCheck(int setting) { m_iEndOfDataCheck = setting; }

  // Size of the media header and trailer texts.
  static constexpr int kMediaLabelSize = 1024;

 protected:
  // ---- Catalog mode, for the media that list their chunks for the reader mode ------------------
  // "ChunkCollectFile.Txt" for catalog number 0, else the number and "_ChunkCollectFile.Txt".
  static std::string ChunkCollectFileName(int n);
  // Writes the chunk collect file of catalog number `n` in the working folder: `stream` is open
  // for writing while `traverse` lists the files (WriteChunkCollectLine), then open for reading
  // from its first line. 0; or -1 with the last error 30056 (the file cannot be made; the log
  // line is `createFailure` with the name), 30058 (the walk or a write of a line failed: a list
  // that is not whole never counts) or 30057 (it cannot be opened for reading).
  int BuildChunkCollectFile(int n, FILE*& stream, const std::function<int()>& traverse, const char* createFailure);
  // One line: the folder and the name joined, and a line feed. Fails when it was not written.
  static CXoError WriteChunkCollectLine(FILE* stream, const char* folder, const char* name);
  // The next path of the list, read whole whatever its length, without its line end: 0; or -1
  // with the last error 30053 (no list), 30055 (no line left) or 30054 (the read failed).
  int NextChunkCollectLine(FILE* stream, std::string& path);
  // Walks the tree under `path` through `fs`, calling `walker` (folder, name, is-folder,
  // `context`) for every entry: 0, or -1 with the walk's, or the walker's, error as the last
  // error.
  int WalkMountPath(CFSInterface* fs, const std::string& path,
                    CXoError (*walker)(const char*, const char*, bool, void*), void* context);

  // The room of media that fill the KB left up to the reservation's maximum: 0 once the space
  // occupied and the current file's bytes reach a maximum above 0 (the KB left become 0), else
  // the KB left in bytes less the current file's bytes (0 when none are left).
  long long RemainingWithinMaximum();

  // printf into a path buffer of `size` characters. A path that does not fit fails with a clear
  // error (ENAMETOOLONG, converted, as the last error, shown to the job as media kind `kind`) and
  // leaves `out` empty: a path cut short would name another file. `what` names the file.
  bool FormatPathBufferV(char* out, size_t size, int kind, const char* what, const char* format, va_list args);
  // printf into a string of any length.
  static std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // A line on the object's job log.
  void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Sets the error text (cut at 1024 characters) and logs it at level 1.
  void FailText(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Sets the last error and its message together.
  void SetLastError(long long code, const char* message);
  long long JobId() const;

  char m_szTrailer[kMediaLabelSize + 1];
  char m_szHeader[kMediaLabelSize + 1];
  bool m_bWriting = false;
  char m_szErrorText[1025];
  long long m_llLastError = 0;
  std::string m_strLastErrorMsg;
  OZLOG_HANDLE* m_pLog = nullptr;
  _JobContext* m_pJobContext = nullptr;
  int32_t m_fd = -1;
  char m_szPath[1024];
  std::string m_strHostName;
  std::string m_strZovadAdeveName;
  MLMMessageInstance* m_pMlm = nullptr;
  OZMMreserveMount* m_pReserveMount = nullptr;
  OZMMvolInfo* m_pVolInfo = nullptr;
  OZMMdriveInfo* m_pDriveInfo = nullptr;
  int32_t m_iVolId = 0;
  int32_t m_iTHId = 0;
  long long m_llFileNumber = -1;
  long long m_llKBRemaining = 0;
  long long m_llMinFreeKB = 0;
  bool m_bCloseChunk = false;
  long long m_llBytesAtEOM = 0;
  bool m_bVolumeFull = false;
  bool m_bReadUnbounded = false;
  bool m_bIsTape = false;
  // Tape media: the archive file was closed, or a read met its file mark; reads fail while set.
  bool m_bFileClosed = false;
  bool m_bTraceWrites = false;
  CLoggedOnUser m_LoggedOnUser;
  // The allocations hold at least m_ulWriteBufSize (>= m_ulWoff) and max(m_ulReadBufSize,
  // m_llRlen) bytes. A re-initialisation to a smaller block lowers the sizes but keeps every
  // buffered byte, so m_llRlen may exceed m_ulReadBufSize until the unread bytes are handed out.
  char* m_pWriteBuf = nullptr;
  char* m_pReadBuf = nullptr;
  unsigned long long m_ulReadBufSize = 0;
  unsigned long long m_ulWriteBufSize = 0;
  unsigned long long m_ulWoff = 0;
  unsigned long long m_ulFoff = 0;
  long long m_llRoff = 0;
  long long m_llRlen = 0;
  long long m_llPhysicalBytes = 0;
  long long m_llLogicalBytes = 0;
  unsigned long long m_ulBlockSize = 0;
  long long m_llNumFiles = 0;
  long long m_llBytesLeftToRead = 0;
  long long m_llOpenCount = 0;
  long long m_llCreateCount = 0;
  long long m_llDriveBytesWritten = 0;
  bool m_bHardwareComp = false;
  long long m_llFileMarkerSize = 0;
  long long m_llWriteCachedFM = -1;
  long long m_llReadCachedFM = -1;
  bool m_bCalculatedSpace = false;
  long long m_llMaxChunkSize = 0;
  long long m_llWriteTime = 0;
  int32_t m_iStreamId = -1;
  MDTime m_tStart;
  MDTime m_tEnd;
  bool m_bWriteTimerStarted = false;
  long long m_llBytesRead = 0;
  bool m_bReadTimerStarted = false;
  bool m_bDoNotWriteToMedia = false;
  int32_t m_iMediaType = 0;
  OZMAOMLParams* m_pOmlParams = nullptr;
  MediaFSDriveDetails* m_pDriveDetails = nullptr;
  std::string m_strDeviceError;
  bool m_bChunksReadOnly = false;
  uint32_t m_uiRetentionDays = 0;
  int32_t m_iFilesPerClose = 1;
  bool m_bWriteRetry = false;
  int32_t m_retryWriteCount = 0;
  long long m_llMaxSpaceToFill = 0;
  long long m_llSpaceOccupied = 0;
  int32_t m_iArchiveType = 0;
  long long m_llDbPhysicalSize = 0;
  std::string m_strHubmasterName;
  bool m_bMux = false;
  int32_t m_iCtorFlag = 0;
  OzCriticalSectionH* m_pMountPathCacheLock = nullptr;
  std::list<SMountInfo> m_MountPathCache;
  bool m_bQuit = false;
  int32_t m_iDataMoverMode = 0;
  bool m_bIsilonSmartLock = false;
  bool m_bUpdTransferOnRestore = true;
  OZJobClient* m_pJobClient = nullptr;
  bool m_bCountTrailerTransfer = false;
  bool m_bLargeReadBuffer = false;
  long long m_llMagneticVolumeSize = -1;
  // The single-instance store's cloud mode; the frame neither sets nor reads it.
  int32_t m_iCloudMode = 0;
  // The zero-size check of a chunk's metadata file: asked for, and its result.
  bool m_bCheckMetaDataZeroSize = false;
  bool m_bMetaDataZeroSize = false;
  // The end-of-data check after spacing to the append point (NDMP tape); runs when above 0.
  int32_t m_iEndOfDataCheck = 0;

 private:
  // Marks one file whose status was read: mode and status change time.
  int MarkStatedFileReadOnly(const char* path, unsigned int mode, long long changeTime);

  // Init's steps.
  int InitFromMediaManager(const MediaFsInitParams& params);
  void ReadCachedFileMarkers(OZPI_ZovadAdeve& settings);
  int AllocateBuffers();
  int ResizeBuffersForReinit(unsigned long long oldBlockSize, unsigned long long oldReadBufSize);
  // Write and Close's shared rule: the block at m_ulFoff counts as written.
  bool BlockCounts(int ret, int eom) const;
  // Hands the block at m_ulFoff of the write buffer to the media; `road` ("Write" or "Close")
  // names the caller in the trace line.
  int WriteBufferedBlock(const char* road, int* eom);
  // Hands one block at `block` to the media (the buffered one, or a caller's whole block).
  int WriteBlock(const char* block, const char* road, int* eom);
  // Write's end after a block that did not count whole: the bytes of the call that reached the
  // media when the media ended inside the block, else -1.
  int UncountedBlock(int ret, int eom, long long n, long long remaining);
  void StartWriteTimer();
  // When the media ended inside a block (m_ulFoff off the block grid, or every buffered byte on
  // the media without the offsets returning to 0), moves the bytes not yet on the media to the
  // front of the write buffer, so Write finds room and every later block lies inside the buffer.
  void RealignWriteBuffer();
  // The bytes not yet on the media to the front of the write buffer: m_ulFoff 0, m_ulWoff their
  // count.
  void MovePendingToFront();
  // Both buffers empty: no byte held for writing or left to hand out.
  void EmptyBuffers();
  // The byte counts and the open and create counts of the current archive file back to 0.
  void ResetFileCounters();
  int CloseForWrite();
  int CloseForRead();
  int FlushForClose();
  int RecordClosedFile(long long oldSpaceOccupied);
};

// The path with every backslash turned into a slash.
std::string convertSlashes(const char* path);

// The exported C entry of the mount path lookup: media_fs::LookupMPInfoFromReg.
extern "C" int LookupMountPathInfo(int mountPathId, int tarnholdId, SMountInfo& info);

// True when the error says that a file or folder does not exist.
bool IsMediaFSItemNotFoundError(CXoError e);

// True when the media manager error means that the chunk itself is damaged; false when the mount
// path, the storage or the environment failed. Codes that no rule decides are decided by a read
// and write probe of the mount path root ("OZ_MAGNETIC") that holds `path`. When `line` is not
// null it receives the identifier of the deciding rule.
bool IsMarkChunkBadMMError(MM_longlong code, CFSInitParams* params, std::string path, int* line);
