// The dedup database's client as the pruners call it: batches of prunable zero-reference records
// and the purge of handled records.
//
// The stand-in keeps the database's records in a file of its own (platform::Sidb().path), read
// at each batch and rewritten whole at each purge with plain system calls, outside the
// file-system layer: neither its fault injector nor its power-loss model reaches it. A pass that
// is killed or cut therefore finds the database as a remote one would be, and runs again against
// it. Every call is recorded; any call can be answered with a scripted result instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sidb_records.h"

// Results of the client besides 0.
inline constexpr int kSIDBTimeBudgetUsed = 65131;  // a pass ends with this code, without a failure
inline constexpr int kSIDBNothingToDo = 53050;

// Flags of a zero-reference record.
inline constexpr uint32_t kZeroRefEntryMayBeAbsent = 0x10;

// A prunable zero-reference record (72 bytes, in host order).
struct CZeroRefRecord {
  uint32_t Reserved0 = 0;       // 0
  uint32_t Flags = 0;           // 4
  uint32_t MountPathId = 0;     // 8
  uint32_t VolumeId = 0;        // 12
  uint32_t ZeroRefWord = 0;     // 16
  uint32_t SFileKey = 0;        // 20: key in container indexes of version 2 and later
  uint64_t PrimaryId = 0;       // 24
  uint64_t ZeroRefField = 0;    // 32
  uint64_t ChunkId = 0;         // 40
  uint64_t MetadataOffset = 0;  // 48: key in version-1 container indexes
  uint64_t Reserved56 = 0;      // 56
  uint64_t Reserved64 = 0;      // 64
};
static_assert(sizeof(CZeroRefRecord) == 72);
static_assert(offsetof(CZeroRefRecord, PrimaryId) == 24);
static_assert(offsetof(CZeroRefRecord, ChunkId) == 40);

class CSIDBClientApi {
 public:
  CSIDBClientApi() = default;
  CSIDBClientApi(const CSIDBClientApi&) = delete;
  CSIDBClientApi& operator=(const CSIDBClientApi&) = delete;

  // Records whose chunk id is at least `startChunkId`, leaving out the mount paths in
  // `excludedMountPaths`, in order of chunk id and primary id: at most `limit` of them (and at
  // most the batch size the test set). `*nextChunkId` is the chunk id of the first record left
  // over, or one past the last chunk returned when none is. `*handle` is made on the first call.
  int GetPrunableRecords(void** handle, unsigned long startChunkId, unsigned int limit,
                         std::vector<CZeroRefRecord>* batch, unsigned long* nextChunkId,
                         std::vector<unsigned int>* excludedMountPaths);
  void GetPrunableRecordsClose(void* handle);
  // Removes the records of these primary ids from the database.
  int PruneRecords(std::vector<unsigned long long>* primaryIds);
  const char* GetErrorString(unsigned int code);
};

namespace platform {

struct SidbState {
  std::string path;                      // the records' file; empty: no records
  unsigned int batchSize = 10000;        // records per batch, at most the caller's limit
  std::deque<int> getResults;            // scripted results of the next GetPrunableRecords calls
  std::deque<int> pruneResults;          // scripted results of the next PruneRecords calls
  std::vector<std::string> calls;        // "GetPrunableRecords <start> <limit>", "PruneRecords <n>", "Close"
  std::vector<unsigned long long> purged;  // every id purged, in order
  int openHandles = 0;
};

SidbState& Sidb();
std::mutex& SidbMutex();  // held by the client while it reads or writes Sidb()

namespace sidb {

// The records' file, read and written with plain system calls; a write replaces the file
// whole and reaches the disk before it returns. A missing file holds no records.
bool ReadRecords(const std::string& path, std::vector<CZeroRefRecord>& records);
bool WriteRecords(const std::string& path, const std::vector<CZeroRefRecord>& records);

}  // namespace sidb
}  // namespace platform
