// CSIFile: the reader with which a restore reads the objects of one chunk of the single-instance
// store, in each of the three layouts the store has written over time:
//
//   SI version 0  one data file per object ("%cFILE_%llu-%llu_%d-%llu") beside the chunk's
//                 metadata file; the object's metadata lies in the metadata file at the chunk
//                 block size (found by the "TAGHD01" tag header) plus its metadata offset.
//                 Opened by OpenDataFile_5.
//   SI version 1  a 496-byte SIRefHdr record in the metadata file names the data file and the
//                 logical offset of the object's 16-byte header ("10DHGAT") in it; the metadata
//                 follows the record. Opened by OpenDataFile_1.
//   SI version 2  objects packed into the chunk's SFile containers, metadata and data together;
//                 the host names the container and the object's logical offset. Opened by
//                 OpenDataFile_4 or OpenDataFileAndSeek.
//
// Every data file begins with the store's 128-byte SFile header, and a compacted one carries a
// compaction map: offsets the host gives are logical and are translated through that map.
//
//   CSIFile reader(hostLog);
//   reader.Init(&params, chunkId, volumeId, false);
//   if (reader.OpenDataFileAndSeek(0, container, offset, 0) == 0) {
//     reader.ReadMetaData(header, 16);
//     MM_uint got = reader.ReadData(buffer, size);   // 0xFFFFFFFF, 0xFFFFFFFE: failures
//   }
//   reader.CloseDataFile();
//
// Results: 0 success; -1 a failure for which the chunk is to be held at fault (or for which no
// check was made); -2 a failure that the chunk-fault check (IsMarkChunkBadMMError) put on the
// mount path, the store or the environment, or an exception caught during an open. The reads
// return the same two failures as unsigned values (0xFFFFFFFF, 0xFFFFFFFE), never a count. Seek
// returns 774 for an offset that a compaction dropped. Every operation before Init, or after
// DeInit, fails with its "not open" result.
//
// Paths of scale-out gluster volumes (a chunk folder beginning "/lg/glus") get retries: opens 3
// times 100 ms apart while they fail with EBADF, reads 3 times 100 ms apart on EIO or EINVAL.
// A data file that does not open is repaired once, as after an interrupted compaction, and
// opened once more.
//
// A reader belongs to one host thread; it logs through the host's log definition, which it does
// not own and which must outlive it.
#pragma once

#include <cstdint>
#include <string>

#include "MediaFileSystem/BufferedFileReader.h"
#include "MediaFileSystem/SFileCompactionMap.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logging.h"

typedef int MM_int;
typedef unsigned int MM_uint;
typedef unsigned long long MM_ulonglong;

class CSIFile {
 public:
  // Failures of the reads.
  static constexpr MM_uint kReadChunkAtFault = 0xFFFFFFFFu;  // -1
  static constexpr MM_uint kReadNotChunk = 0xFFFFFFFEu;      // -2
  // Seek to an offset that lies in a hole of a compacted container.
  static constexpr MM_int kSeekInHole = 774;

  // An unbound reader: no readers, ids all ones, SI version 0, an empty compaction map.
  explicit CSIFile(_OzLogDef* pLogDef);
  virtual ~CSIFile();
  CSIFile(const CSIFile&) = delete;
  CSIFile& operator=(const CSIFile&) = delete;

  // Binds the reader to chunk `ullChunkId` of volume `uVolumeId` under the mount path that
  // `pParams` describes (a copy is kept) and makes its two readers. The same chunk again, with
  // the readers in place, changes nothing. Binding another chunk closes what the reader had open
  // of the previous one. A mount path of another id rebuilds the readers when its type differs,
  // when it is cloud storage or when its subtype is 4. 0, or -1 for a null record.
  MM_int Init(CFSInitParams* pParams, unsigned long long ullChunkId, unsigned int uVolumeId, bool bFlag);
  // Closes the data file and deletes both readers; the binding stays. Always 0.
  MM_int DeInit();
  // Closes the data file, empties the compaction map and clears the data path; the metadata file
  // stays open. Always 0.
  MM_int CloseDataFile();

  // Layout 0: the data file "%cFILE_%llu-%llu_%d-%llu" ('S' when `bSingleInstance`, else 'N',
  // then ullA, ullB, iObjectNumber and ullMetadataOffset) and the object's metadata, which the
  // metadata reader then stands at. 0, -1 or -2.
  MM_int OpenDataFile_5(MM_ulonglong ullA, MM_ulonglong ullB, MM_int iObjectNumber, MM_ulonglong ullMetadataOffset,
                        bool bSingleInstance);
  // Layout 1: the object whose SIRefHdr record lies at `ullMetadataOffset` in the metadata file.
  // On success the data reader stands behind the object's header, the metadata reader behind the
  // record. 0, -1 or -2 (-1 also for an object that a compaction dropped).
  MM_int OpenDataFile_1(MM_ulonglong ullMetadataOffset);
  // Layout 2: SFile container `uSfileNumber`, kept open when it is open already. `uOpenFlags` are
  // open(2) flags, 0 for read-only; `bRecoveryFlag` is handed to the compaction repair. The first
  // argument has no effect. 0, -1 or -2.
  MM_int OpenDataFile_4(unsigned int uUnused, unsigned int uSfileNumber, unsigned int uOpenFlags, bool bRecoveryFlag);
  // OpenDataFile_4, then Seek(ullLogicalOffset): 0, or the result of the one that failed.
  MM_int OpenDataFileAndSeek(unsigned int uUnused, unsigned int uSfileNumber, unsigned long long ullLogicalOffset,
                             unsigned int uOpenFlags);
  // Opens `pReader` on `szPath`, retried on gluster paths; with `bRecover`, a failed open is
  // followed by one compaction repair of the path and one more open.
  CXoError OpenWithRetry(CBufferedFileReader* pReader, const char* szPath, int iFlags, int iMode, bool bRecover,
                         bool bRecoveryFlag);

  // Positions the data at logical offset `ullLogicalOffset` of the open data file: 0, 774 for an
  // offset that a compaction dropped, -1 or -2.
  MM_int Seek(unsigned long long ullLogicalOffset);
  // Up to `uSize` bytes of the object's metadata: from the metadata file in SI versions 0 and 1,
  // from the container at the data's position in SI version 2. The count (smaller at the end of
  // the file), or a failure.
  MM_uint ReadMetaData(void* pBuffer, MM_uint uSize);
  // Up to `uSize` bytes of the object's data: the count, or a failure.
  MM_uint ReadData(void* pBuffer, unsigned int uSize);
  // One read of `pReader`, retried on gluster paths (which sets `bOnGluster`).
  CXoError ReadWithRetry(CBufferedFileReader* pReader, char* pBuffer, unsigned int uSize, unsigned int* puRead,
                         bool& bOnGluster);
  // Whether SFile container `uSfileNumber` of the chunk is present and holds at least 16 bytes;
  // only disk paths are examined (others answer 0). Opens nothing. 0, -1 or -2.
  MM_int IsSFileValid(unsigned int uSfileNumber);
  // Logs the reader's paths, positions and compaction map.
  void ToString();

 protected:
  // Runs the chunk-fault check after a failed step of `szOperation`: -1 or -2.
  MM_int ChunkFaultResult(const char* szOperation, const CXoError& err, const std::string& path);
  // Whether the bound chunk lies on a scale-out gluster volume.
  bool OnGluster() const;
  // The open flags of a data file: `iFlags` plus the remote-read flag of the data reader's storage.
  int DataFileFlags(int iFlags);
  // The failure of an operation called while the reader it needs does not exist.
  void LogNotBound(const char* szOperation);
  // The opens of each layout, inside their impersonation and exception handling.
  MM_int OpenLayout1(MM_ulonglong ullMetadataOffset);
  MM_int OpenLayout2(unsigned int uSfileNumber, unsigned int uOpenFlags, bool bRecoveryFlag);
  MM_int OpenMetaDataFile(const char* szOperation);
  MM_int LoadCompactionMap(const char* szOperation, const std::string& faultPath);
  MM_int ProbeChunkBlockSize(MM_int iObjectNumber, MM_ulonglong ullMetadataOffset);

  CBufferedFileReader* m_pMetaDataReader = nullptr;  // layouts 0 and 1
  CBufferedFileReader* m_pDataReader = nullptr;      // the data file or SFile container
  std::string m_strChunkDir;                         // mount path / volume folder / chunk folder
  std::string m_strMetaDataPath;
  std::string m_strDataPath;                         // open or last tried; empty when closed
  std::string m_strWorkingPath;
  uint64_t m_ullImpersonationToken = 0;
  unsigned int m_uVolumeId = ~0u;
  unsigned long long m_ullChunkId = ~0ull;
  _OzLogDef* m_pLogDef;
  unsigned long long m_ullChunkBlockSize = 0;        // layout 0: where the tag header was found
  int m_iSIVersion = 0;
  unsigned int m_uSfileNumber = 0;
  bool m_bInitFlag = false;
  unsigned long long m_ullLastSeekOffset = 0;
  unsigned long long m_ullBytesSinceSeek = 0;
  CXoError m_LastError;
  CFSInitParams m_FSInitParams;
  CSFileCompactionMap m_CompactionMap;
};
