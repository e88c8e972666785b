// The shared reader thread pools of the thread-pool managers: getting a pool (made on first use),
// the sizing rule, the thread limits and threads per reader.
#pragma once

#include <atomic>
#include <cstdint>

#include "MediaFileSystem/AsyncIoManager2.h"

class OzThreadPool;

namespace async_io {

// One of the three pools with its process-wide counts.
struct ReaderPoolKind {
  const char* name;
  int n;  // the pool's initial maximum and its minimum
  std::atomic<OzThreadPool*>* pool;
  std::atomic<int32_t>* readers;
  std::atomic<int32_t>* threadsPerReader;
  std::atomic<unsigned long>* limit;
  int32_t builtInThreadsPerReader;
  const char* configKey;
};

const ReaderPoolKind& NonOvlPool();
const ReaderPoolKind& NonOvlGlusterPool();
const ReaderPoolKind& OvlPool();

// The kind's pool, made on first use; null when none can be made (the next call tries again).
OzThreadPool* GetReaderPool(const ReaderPoolKind& kind);

// A pool's maximum: max(min(readers x threads per reader, limit), minimum). The product is taken
// in 64 bits; a negative one (a negative configuration value) counts as the limit.
unsigned long ReaderPoolMaxCount(int32_t readers, int32_t threadsPerReader, unsigned long limit, int minCount);

// Sets the kind's pool's maximum by the sizing rule from the counts as they are now. Null, and
// nothing changes, when there is no pool.
OzThreadPool* ResizeReaderPool(const ReaderPoolKind& kind);

// When `limit` differs from the kind's stored limit: stores it and sets the threads per reader to
// the configuration's value (the built-in one when absent). True when it did.
bool UpdateReaderThreadLimit(const ReaderPoolKind& kind, unsigned long limit);

}  // namespace async_io
