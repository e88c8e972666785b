// HPStoreOnce_FS: the media of volumes on a dedup appliance, reached through its object interface
// behind the file-system layer (storage type 7).
//
// A chunk is a family of objects under the chunk's path, the media path joined with "CHUNK_<id>":
//   <chunk path>/.meta     the metadata object: the chunk's metadata stream, and the frame's blocks
//   <chunk path>/1.data    the data object: the chunk's data stream, clones and copies
//   <chunk path>/.idx      the chunk metadata index (a paged index file, "CHNKIDX", aligned)
// Create and Open only name the objects (Open also opens the metadata object for reading); each
// object is opened by the first operation that needs it, in that operation's mode, and stays so
// until Close. A backup goes Init, then per chunk Create, WriteToMetaData / WriteToDataFile /
// CloneToDataFile / ScheduleDataFileCopy / AddChunkMetaDataIndexEntry in any order, Close; a
// restore Init, then Open, ReadFromMetaData / ReadFromDataFile with the seek operations and
// SearchChunkMetaDataIndex, Close. New objects need object tags in the file-system parameters
// (CFSInitParams::m_ParamText).
//
// Deduplicated data arrives as link records (SILinkHdr) naming a range of an earlier chunk's data
// object, below the mount root (the chunk path through "OZ_MAGNETIC"). A clone makes the appliance
// append the range to the data object at once; a scheduled copy is kept pending, grows by the links
// that continue it, and runs as one copy job on the appliance when a link of another chunk arrives,
// when new data or a clone follows it, when the host calls CopyDataFile, or at Close. New data and
// clones always land after the copied range: a copy closes the data object, and the chunk opens
// the object it made again to append.
//
// Failures set the last error (media manager codes; 40013 for a missing object tag or a refused
// open mode, 105 when no interface can be made) and are logged at level 1; 81158 from the
// appliance marks the volume full. Without the appliance's client every appliance call fails with
// 501. One host thread drives an object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/sidb_records.h"

struct HPStoreOnceFSTestAccess;  // defined by the tests only
class CHPStoreOnceFS;

// The link record of deduplicated data, 208 bytes, as the host passes it: in network byte order.
struct SILinkHdr {
  uint32_t Word0;                    // 0: converted, not read
  uint32_t Word1;                    // 4: converted, not read
  CPrimaryRecord PrimaryRecord;      // 8: the dedup database's record of the linked data
  CSecondaryRecord SecondaryRecord;  // 160: converted, not read
};
static_assert(sizeof(SILinkHdr) == 208);
static_assert(offsetof(SILinkHdr, PrimaryRecord.VolumeId) == 16);
static_assert(offsetof(SILinkHdr, PrimaryRecord.MountPathId) == 88);
static_assert(offsetof(SILinkHdr, PrimaryRecord.Size) == 120);
static_assert(offsetof(SILinkHdr, PrimaryRecord.ChunkId) == 128);
static_assert(offsetof(SILinkHdr, PrimaryRecord.MetadataOffset) == 144);

class HPStoreOnce_FS : public media_fs {
 public:
  enum HPStoreOnceFSOpenMode {
    kOpenRead = 0,         // metadata, data and index on the read side
    kOpenCreate = 1,       // new metadata and data objects; the index when it is added to
    kOpenCopyTarget = 2,   // the data object that receives a copy job
    kOpenCloneTarget = 3,  // the data object that receives clones
    kOpenAppend = 4,       // the data object that receives padding
  };

  // The appliance's "no room" code: an object write, clone or copy job that meets it marks the
  // volume full.
  static constexpr int kApplianceFullMMError = 81158;
  // The last error of a link that does not continue the pending copy, and of padding asked for
  // while a copy is pending.
  static constexpr long long kMMErrCopyPending = 103;
  // A copy job whose outcome cannot be read is stopped in up to this many rounds of a cancel and
  // a wait for its end, this many milliseconds apart.
  static constexpr int kCopyStopRounds = 10;
  static constexpr uint32_t kCopyStopPauseMs = 3000;

  // `params` must be of storage type 7 (an invariant report otherwise); the object keeps a copy.
  HPStoreOnce_FS(_JobContext* ctx, CFSInitParams& params);
  // Closes whatever is open (a pending copy runs), then frees the file-system interface.
  ~HPStoreOnce_FS() override;

  // ---- Slots of media_fs, in slot order -------------------------------------------------------
  // The maximum space to fill from the reservation (MB to bytes); in a backup the KB left become
  // unbounded. Always 0.
  int InitSpecific() override;
  // Names the chunk's objects; nothing is made on the appliance. 0, or -1 for an archive file
  // that is not a chunk.
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;
  // Names the chunk's objects and opens the metadata object for reading: 0 or -1; a chunk asked
  // for reuse is refused. Archive files other than chunks: 0, nothing opened.
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;
  // Closes the metadata object, the index, runs a pending copy, closes the data object and frees
  // the interfaces; every step runs whatever the earlier ones gave. 0, or -1 with the first
  // failing step's error as the last error.
  int CloseSpecific(long markType) override;
  // WriteToMetaData.
  int WriteToMedia(const char* buf, long len, int* eom) override;
  // ReadFromMetaData.
  int ReadFromMedia(char* buf, long len) override;
  long GetMarkType() const override { return 0; }
  int UpdateNumPhysicalBytes(long long) override { return 0; }
  int getFreeSpaceFromMedia(unsigned long long&) override { return 0; }
  // Bytes left under the maximum space to fill (0 when used up, logged); without a maximum the
  // KB left as they are.
  long long GetRemainingSpace() override;
  int InitCatalogOperationOnMedia(int) override { return -1; }
  // SetMetaDataSeekOffset from the start: 1 or 0.
  int SetSeekOffset(long long offset) override;
  // Appends to the data object (created, exclusively, on the first write; after a copy has run,
  // the chunk's own object is opened again to append, a pending copy running first): len or -1.
  int WriteToDataFile(const char* buf, long len, int* eom) override;
  // Appends to the metadata object (created, truncated, on the first write): len or -1.
  int WriteToMetaData(const char* buf, long len, int* eom) override;
  int StartDataFile(unsigned long long, unsigned long long, unsigned int) override { return -1; }
  int EndDataFile() override { return -1; }
  int getSingleInstanceID(char*, int) override { return 0; }
  int OpenDataFile(char*) override { return -1; }
  // Exactly len bytes, or 0 at the end of the data object; -1 otherwise.
  int ReadFromDataFile(char* buf, long len) override;
  // Up to len bytes (0 at the end); -1 on failure.
  int ReadFromMetaData(char* buf, long len) override;
  int GetMetaDataSeekOffset(long long, long long, long long&) override { return 0; }
  int GetTavrixVersionFromChunkMapTrailer(long long, std::string&) override { return 0; }

  // ---- Slots of its own -----------------------------------------------------------------------
  // Appends padding at the end of the data object (opened in append mode and closed again when
  // it was not open): len or -1.
  virtual int WritePaddingToDataFile(const char* buf, long len, int* eom);
  // 1: the data object, 2: the metadata object. The object's position (while a copy is pending,
  // the end of the copy's destination range; while the chunk's own data object is closed after a
  // copy, its end, where the next bytes land); 0 for another argument or an object that is not
  // open; -1 when the position cannot be read.
  virtual long long GetFileOffset(int which);
  virtual long long GetMetaDataFileOffset();
  virtual long long GetDataFileOffset();
  virtual int StartDataFile2(unsigned int, unsigned int*, unsigned long*) { return -1; }
  virtual int OpenDataFile2(const char*, unsigned long long) { return -1; }
  virtual int ReadFromNonSIFile(char*, long) { return -1; }

  // ---- Space and volume -----------------------------------------------------------------------
  // Marks the volume full (42001, the job id): markFull's result, or -1 without a volume record.
  // Neither argument is used.
  int MarkVolumeFull(int reason, unsigned long long value);
  // When `e` is the media manager code `mmCode`: MarkVolumeFull's result; else 0.
  int MarkVolumeFullOnErr(const CXoError& e, int mmCode);
  // The prefix of `path` through its first "OZ_MAGNETIC"; empty when it has none.
  static std::string GetMountPath(const char* path);
  // The object's file-system interface, made on first use; null when none can be made.
  CFSInterface* GetFSInterface();
  // Fills the object parameters of a reservation: the 64-bit field after the subtype with
  // `value`, the client text with `client` (empty for null), and the reservation's user,
  // password and mount path id. Nothing without a reservation. 0.
  static int ConstructFSInitParams(OZMMreserveMount* reservation, long long value, const char* client,
                                   CFSInitParams& params);
  // Flushes the data object when it is open: 0 or -1.
  int FlushDataFile();
  void AddObjectTag(const char*, ...) {}
  void ClearObjectTags() {}

  // ---- Metadata and data objects --------------------------------------------------------------
  // 0 when the object is open (also when it already was, in whatever mode), -1 on failure.
  int OpenMetaDataFile(HPStoreOnceFSOpenMode mode);
  int OpenDataFile(HPStoreOnceFSOpenMode mode);
  // 1 on success, 0 on failure. Origin 0 start, 1 current, 2 end.
  int SetMetaDataSeekOffset(long long offset, int origin);
  int SetDataSeekOffset(long long offset);
  // The padding the data stream needs now to end on a multiple of 4294967295 bytes (0 unless
  // the fixed-block flag is set and padding is configured on), and the data offset it was
  // computed on: 0, or -1 when the data offset cannot be had.
  int ShouldWritePadding(unsigned int& padBytes, unsigned long long* dataOffset);

  // ---- Deduplicated data ------------------------------------------------------------------------
  // Converts a link record in place between network and host order; null is ignored.
  static void ConvertSILinkByteOrder(SILinkHdr* link);
  // The data object a link (host order) names below `root`: root/V_<volume>/CHUNK_<chunk>/<n>.data.
  static std::string GetObjectPathFromSILinkHdr(const SILinkHdr& link, const std::string& root);
  // The same below the object's mount root.
  std::string GetObjectPathFromSILinkHdr(const SILinkHdr& link);
  // The file-system parameters of the link's mount path (storage type 7) and the source object's
  // path below that mount path's root: 0, or -1 when the mount path is unknown.
  int GetFSParamsFromSILinkHdr(const SILinkHdr& link, long installationId, CFSInitParams& params, std::string& path);
  // Appends the linked range (link in network order) to the data object on the appliance, as
  // WriteToDataFile appends bytes. 0 or -1. `value` is not used.
  int CloneToDataFile(SILinkHdr* link, unsigned int value, int* eom);
  // Adds the linked range to the pending copy, or runs the pending copy and starts a new one:
  // the link's size, or -1.
  int ScheduleDataFileCopy(SILinkHdr* link, unsigned int installationId, bool reuse, int* eom);
  // Runs the pending copy as one copy job and waits for it: 0 (also with nothing pending) or -1.
  // When the job's outcome cannot be read, the job is cancelled (or waited for) before the call
  // fails, so that no job goes on writing into the data object; only when it still cannot be
  // stopped after kCopyStopRounds rounds does the call fail with the job named in the log.
  int CopyDataFile();

  // ---- Chunk metadata index -------------------------------------------------------------------
  // Read (0): an existing index, read-only; create (1): a new index, or an existing one opened
  // read-write. 0 when the index is open, -1 on failure.
  int OpenMetaDataIndexFile(HPStoreOnceFSOpenMode mode);
  // Appends an entry (all ones written into its field at offset 32 first): 0 or -1. An index this
  // object opened read-only is opened again for writing first.
  int AddChunkMetaDataIndexEntry(SChunkMetaDataIndexEntry& entry);
  // 0 found (the entry filled in), 1 not found, -1 on failure.
  long long SearchChunkMetaDataIndex(unsigned long long key, SChunkMetaDataIndexEntry& entry);
  // Flushes the metadata object, then the index: 0 or -1 (the index is not flushed after a
  // failing metadata flush).
  int FlushMetaDataFile();
  // The index's size for its records, checked against the file; 0 and success when no index is
  // open.
  CXoError GetChunkMetadataIndexSize(unsigned long long& size);

 protected:
  friend struct ::HPStoreOnceFSTestAccess;
  using ChunkMDIndex = CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>;

  std::unique_ptr<CFileInterface> m_pMetaDataFile;
  std::unique_ptr<CFileInterface> m_pDataFile;
  std::unique_ptr<ChunkMDIndex> m_pChunkMDIndex;
  CFSInitParams m_FSInitParams;
  std::string m_strMountRoot;
  std::string m_strChunkPath;
  std::string m_strMetaDataPath;
  std::string m_strDataPath;
  std::string m_strIndexPath;
  bool m_bFixedBlock = false;
  std::unique_ptr<CFSInterface> m_pFS;
  int32_t m_iPadding = -1;  // -1 not read yet, 0 off, 1 on
  // The pending copy: none while the source offset is all ones.
  uint64_t m_ullCopySrcOffset = ~0ULL;
  uint64_t m_ullCopySize = 0;
  SILinkHdr m_CopyLink{};  // host order
  uint32_t m_uCopyTHId = 0;
  std::string m_strCopyDestPath;
  uint64_t m_ullCopyDestOffset = 0;
  std::string m_strLastCopySrcPath;
  // The index is open read-only (a search opened it first).
  bool m_bIndexReadOnly = false;
  // This chunk made its data object (or found it empty and took it): once a copy job has closed
  // it, new data and clones open it again to append. Cleared when the chunk closes.
  bool m_bDataObjectOwned = false;

 private:
  bool CopyPending() const { return m_ullCopySrcOffset != ~0ULL; }
  void ClearPendingCopy();
  void NameChunkObjects(const MediaFSArchiveFileId_t* id);
  // Writes all `len` bytes or fails (a short count, or a length no count reports, is a failure).
  static CXoError WriteWhole(CFileInterface* file, const std::string& path, const char* buf, long len);
  // A write of the metadata or data stream through `file`: len or -1.
  int WriteObject(CFileInterface* file, const std::string& path, const char* buf, long len, const char* what);
  // A new object needs object tags: true when they are there, else the failure is reported.
  bool HaveObjectTags(const std::string& path);
  // The refused open mode of an object: -1 with the last error 40013.
  int RefuseOpenMode(const char* object, const std::string& path, int mode);
  // A failure of the layer that reports success with a short count: an I/O error that says so.
  static CXoError ShortTransfer(const FXCodeLocation& where, const char* what, const std::string& path,
                                unsigned long long asked, unsigned long long done);
  // Refuses to add bytes at the data object's end while a copy is pending: -1 with last error.
  bool RefusedWhileCopyPending(const char* what);
  // The chunk's own data object, closed by a copy (or a padding write): the next bytes or clone
  // open it again and land at its end.
  bool DataObjectReopensToAppend();
  // That end: the object's size, or -1 (logged) when the appliance cannot tell it.
  long long DataObjectEnd();
  // Readies the data object for bytes or a clone at its end: a pending copy runs first; the
  // chunk's own object, closed by a copy, opens again to append at its end; otherwise the object
  // opens in `mode` (a new object, exclusively). 0 or -1.
  int OpenDataFileToAdd(HPStoreOnceFSOpenMode mode, const char* what);
  // A copy job whose outcome could not be read: cancelled, or else waited for, round after round
  // within the bound, so that it writes no more into the data object.
  void StopCopyJob(CHPStoreOnceFS& source, const std::string& sourcePath, const CFSInitParams& targetParams,
                   uint64_t jobId);
  // Steps 4 to 10 of a copy run: the job on the appliance, its outcome, the data object closed.
  int RunCopyJob(const CFSInitParams& sourceParams, const std::string& sourcePath);
};
