// The reader thread pools "LA Non-Ovl", "LA Glus Non-Ovl" and "LA Ovl" that every thread-pool
// manager of the process shares, their reader counts and their sizing.

#include "sireader/reader_pools.h"

#include <climits>
#include <new>

#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"
#include "platform/config.h"
#include "platform/platform.h"
#include "platform/thread_pool.h"
#include "sireader/async_io_internal.h"

namespace {

// Seconds a pool thread above the pool's minimum stays without work.
constexpr int kReaderIdleSeconds = 120;

constexpr int32_t kThreadsPerNonOvlReader = 1;
constexpr int32_t kThreadsPerGlusterReader = 4;
constexpr int32_t kThreadsPerOvlReader = 32;

}  // namespace

OzCriticalSection CAsyncIoManager2::s_csReaderRope;

std::atomic<OzThreadPool*> CSimulatedIoNonOvlMgr::s_pNonOvlRdrRope{nullptr};
std::atomic<OzThreadPool*> CSimulatedIoNonOvlMgr::s_pNonOvlGlusterRdrRope{nullptr};
std::atomic<int32_t> CSimulatedIoNonOvlMgr::s_nTotalRdrs{0};
std::atomic<int32_t> CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs{0};
std::atomic<int32_t> CSimulatedIoNonOvlMgr::s_nThreadsPerRdr{kThreadsPerNonOvlReader};
std::atomic<int32_t> CSimulatedIoNonOvlMgr::s_nThreadsPerGlusterRdr{kThreadsPerGlusterReader};
std::atomic<unsigned long> CSimulatedIoNonOvlMgr::s_ulNonOvlIoThrLimit{0};
std::atomic<unsigned long> CSimulatedIoNonOvlMgr::s_ulNonOvlIoGlusterThrLimit{0};

std::atomic<OzThreadPool*> CSimulatedIoOvlMgr::s_pOvlRdrRope{nullptr};
std::atomic<int32_t> CSimulatedIoOvlMgr::s_nTotalRdrs{0};
std::atomic<int32_t> CSimulatedIoOvlMgr::s_nThreadsPerRdr{kThreadsPerOvlReader};
std::atomic<unsigned long> CSimulatedIoOvlMgr::s_ulOvlIoThrLimit{0};

namespace async_io {

namespace {

// The pools live until the process ends; a reset of the platform returns their counts, limits
// and threads per reader to where a new process starts.
void ResetReaderCounts() {
  CSimulatedIoNonOvlMgr::s_nTotalRdrs.store(0);
  CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs.store(0);
  CSimulatedIoNonOvlMgr::s_nThreadsPerRdr.store(kThreadsPerNonOvlReader);
  CSimulatedIoNonOvlMgr::s_nThreadsPerGlusterRdr.store(kThreadsPerGlusterReader);
  CSimulatedIoNonOvlMgr::s_ulNonOvlIoThrLimit.store(0);
  CSimulatedIoNonOvlMgr::s_ulNonOvlIoGlusterThrLimit.store(0);
  CSimulatedIoOvlMgr::s_nTotalRdrs.store(0);
  CSimulatedIoOvlMgr::s_nThreadsPerRdr.store(kThreadsPerOvlReader);
  CSimulatedIoOvlMgr::s_ulOvlIoThrLimit.store(0);
}

const bool kResetRegistered = (platform::RegisterReset(&ResetReaderCounts), true);

}  // namespace

const ReaderPoolKind& NonOvlPool() {
  static const ReaderPoolKind kind{"LA Non-Ovl",
                                   1,
                                   &CSimulatedIoNonOvlMgr::s_pNonOvlRdrRope,
                                   &CSimulatedIoNonOvlMgr::s_nTotalRdrs,
                                   &CSimulatedIoNonOvlMgr::s_nThreadsPerRdr,
                                   &CSimulatedIoNonOvlMgr::s_ulNonOvlIoThrLimit,
                                   kThreadsPerNonOvlReader,
                                   "SILookAheadNonOvlIoThreadsPerRdr"};
  return kind;
}

const ReaderPoolKind& NonOvlGlusterPool() {
  static const ReaderPoolKind kind{"LA Glus Non-Ovl",
                                   4,
                                   &CSimulatedIoNonOvlMgr::s_pNonOvlGlusterRdrRope,
                                   &CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs,
                                   &CSimulatedIoNonOvlMgr::s_nThreadsPerGlusterRdr,
                                   &CSimulatedIoNonOvlMgr::s_ulNonOvlIoGlusterThrLimit,
                                   kThreadsPerGlusterReader,
                                   "SILookAheadNonOvlIoThreadsPerGlusterRdr"};
  return kind;
}

const ReaderPoolKind& OvlPool() {
  static const ReaderPoolKind kind{"LA Ovl",
                                   4,
                                   &CSimulatedIoOvlMgr::s_pOvlRdrRope,
                                   &CSimulatedIoOvlMgr::s_nTotalRdrs,
                                   &CSimulatedIoOvlMgr::s_nThreadsPerRdr,
                                   &CSimulatedIoOvlMgr::s_ulOvlIoThrLimit,
                                   kThreadsPerOvlReader,
                                   "SILookAheadOvlIoThreadsPerRdr"};
  return kind;
}

OzThreadPool* GetReaderPool(const ReaderPoolKind& kind) {
  // Published only once initialised, so the unlocked read sees a whole pool or none.
  OzThreadPool* pool = kind.pool->load(std::memory_order_acquire);
  if (pool != nullptr) return pool;
  OzCriticalSectionGuard lock(&CAsyncIoManager2::s_csReaderRope);
  pool = kind.pool->load(std::memory_order_acquire);
  if (pool == nullptr) {
    pool = CAsyncIoManager2::InitReaderRope(kind.name, kind.n);
    kind.pool->store(pool, std::memory_order_release);
  }
  return pool;
}

unsigned long ReaderPoolMaxCount(int32_t readers, int32_t threadsPerReader, unsigned long limit, int minCount) {
  int64_t product = static_cast<int64_t>(readers) * static_cast<int64_t>(threadsPerReader);
  unsigned long count = limit;
  if (product >= 0 && static_cast<unsigned long>(product) < limit) count = static_cast<unsigned long>(product);
  unsigned long floor = minCount > 0 ? static_cast<unsigned long>(minCount) : 0;
  return count < floor ? floor : count;
}

OzThreadPool* ResizeReaderPool(const ReaderPoolKind& kind) {
  // Resizes follow one another, each with the count as it stands when it runs: otherwise a
  // resize that read an older count could land last and leave the pool sized for readers that
  // have gone.
  OzCriticalSectionGuard lock(&CAsyncIoManager2::s_csReaderRope);
  int32_t readers = kind.readers->load();
  int32_t threadsPerReader = kind.threadsPerReader->load();
  OzThreadPool* pool = GetReaderPool(kind);
  if (pool == nullptr) return nullptr;
  unsigned long count = ReaderPoolMaxCount(readers, threadsPerReader, kind.limit->load(), pool->getMinCount());
  int maxCount = count > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(count);
  if (pool->getMaxCount() != maxCount) pool->setMaxCount(maxCount);
  return pool;
}

bool UpdateReaderThreadLimit(const ReaderPoolKind& kind, unsigned long limit) {
  if (kind.limit->load() == limit) return false;
  kind.limit->store(limit);
  int32_t threadsPerReader = kind.builtInThreadsPerReader;
  OZPlatformInfo info;
  info.getNumber("ZovadAdeve", kind.configKey, &threadsPerReader);  // absent: the built-in value
  kind.threadsPerReader->store(threadsPerReader);
  return true;
}

}  // namespace async_io

OzThreadPool* CAsyncIoManager2::InitReaderRope(const char* pszName, int n) {
  OzCriticalSectionGuard lock(&s_csReaderRope);
  OzThreadPool* pool = new (std::nothrow) OzThreadPool;
  if (pool == nullptr) return nullptr;
  if (pool->initThreadPool(pszName, kReaderIdleSeconds, 1, n, n) == 0) {
    delete pool;
    return nullptr;
  }
  async_io::Log(nullptr, "%s: Initialized '%s' thread pool with count: Initial=%d, Max=%d, Min=%d",
                "InitAioRdrRope", pszName, 1, n, n);
  return pool;
}
