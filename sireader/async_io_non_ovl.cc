// The non-overlapped manager: slots queued in batches per file interface and drained, one pool
// thread per interface at a time, in submission order.

#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"

#include <memory>
#include <new>

#include "platform/logging.h"
#include "platform/thread_pool.h"
#include "sireader/async_io_internal.h"
#include "sireader/reader_pools.h"

namespace {

const async_io::ReaderPoolKind& PoolOfKind(bool bGluster) {
  return bGluster ? async_io::NonOvlGlusterPool() : async_io::NonOvlPool();
}

}  // namespace

// What a pool thread needs to drain one interface's queue. It does not name the batch's slots:
// by the time it runs, another thread may have read them and the host may have reused them.
struct CSimulatedIoNonOvlMgr::ReaderWork {
  CSimulatedIoNonOvlMgr* pMgr;
  CFileInterface* pIfc;
};

CSimulatedIoNonOvlMgr::NonOvlIoWork::~NonOvlIoWork() {
  for (IoSlotBatch* batch : m_nonOvlIoQueue) delete batch;
}

CSimulatedIoNonOvlMgr::CSimulatedIoNonOvlMgr() { m_bSimulated = true; }

// A pool thread still deletes its batch and takes the queue lock after the last slot of the
// batch has completed: the map and the locks go only once every slot has completed and every
// reader handed to a pool has returned.
CSimulatedIoNonOvlMgr::~CSimulatedIoNonOvlMgr() {
  WaitForAllSlots();
  std::unique_lock<std::mutex> lock(m_readersMutex);
  m_readersDone.wait(lock, [this] { return m_nReadersOutstanding == 0; });
}

int CSimulatedIoNonOvlMgr::InitializeMgr(void* pOwner, _OzLogDef* pLogDef, unsigned int uBlockSize,
                                         unsigned long ulThreadLimit, unsigned long ulGlusterThreadLimit) {
  if (CAsyncIoManager2::InitializeMgr(pOwner, pLogDef, uBlockSize) != 0) return -1;
  if (async_io::UpdateReaderThreadLimit(async_io::NonOvlPool(), ulThreadLimit)) {
    async_io::Log(m_pLogDef, "%s: Non-Ovl threads per reader is set to %d", "InitIoMgrNonOvl",
                  s_nThreadsPerRdr.load());
  }
  if (async_io::UpdateReaderThreadLimit(async_io::NonOvlGlusterPool(), ulGlusterThreadLimit)) {
    async_io::Log(m_pLogDef, "%s: Non-Ovl threads per Gluster reader is set to %d", "InitIoMgrNonOvl",
                  s_nThreadsPerGlusterRdr.load());
  }
  return 0;
}

void CSimulatedIoNonOvlMgr::IncrementThreadCount(bool bGluster) {
  const async_io::ReaderPoolKind& kind = PoolOfKind(bGluster);
  OzThreadPool* pool = async_io::ResizeReaderPool(kind);
  if (pool == nullptr) return;
  async_io::Log(m_pLogDef, "%s: Changed Simulated Non-Ovl %spool thread count. Max=%u, Min=%u, Limit=%u, Rdrs- G:%d, O:%d",
                "IncrNonOvlThds", bGluster ? "Glus " : "", static_cast<unsigned>(pool->getMaxCount()),
                static_cast<unsigned>(pool->getMinCount()), static_cast<unsigned>(kind.limit->load()),
                s_nTotalGlusterRdrs.load(), s_nTotalRdrs.load());
}

IoSlot* CSimulatedIoNonOvlMgr::AllocateSlot(unsigned int uMPId) {
  (void)uMPId;
  return AllocateSlotInternal();
}

int CSimulatedIoNonOvlMgr::GetIoMgrType() { return 3; }

void CSimulatedIoNonOvlMgr::IncrementReaderCount(bool bGluster) {
  uint32_t flag = bGluster ? async_io::kCountedGlusterReader : async_io::kCountedOrdinaryReader;
  if ((m_uReaderFlags & flag) != 0) return;
  PoolOfKind(bGluster).readers->fetch_add(1);
  m_uReaderFlags |= flag;
  IncrementThreadCount(bGluster);
}

void CSimulatedIoNonOvlMgr::DecrementReaderCount() {
  if (m_uReaderFlags == 0) return;
  if ((m_uReaderFlags & async_io::kCountedGlusterReader) != 0) {
    s_nTotalGlusterRdrs.fetch_sub(1);
    IncrementThreadCount(true);
  }
  if ((m_uReaderFlags & async_io::kCountedOrdinaryReader) != 0) {
    s_nTotalRdrs.fetch_sub(1);
    IncrementThreadCount(false);
  }
  m_uReaderFlags = 0;
}

int CSimulatedIoNonOvlMgr::SubmitRead(IoSlot* pSlot, unsigned int uSizeNeeded, bool bGluster, _SChunkInfo* pChunkInfo) {
  if (pSlot == nullptr || !m_bInitialized) return -1;
  if (pSlot->ullOffset % m_uBlockSize != 0 || uSizeNeeded > pSlot->uBufSize) {
    async_io::Log(m_pLogDef, "%s: Invalid read size provided. ReadSize=%u, BufSize=%u", "SubmitReadNonOvl",
                  uSizeNeeded, pSlot->uBufSize);
    return -1;
  }
  // The read transfers exactly the bytes asked for; a slot refused for want of an interface
  // stays as it was.
  if (uSizeNeeded != 0 && pSlot->pFileIfc != nullptr) pSlot->uBufSize = uSizeNeeded;
  return SubmitRead(std::vector<IoSlot*>{pSlot}, bGluster, pChunkInfo);
}

int CSimulatedIoNonOvlMgr::SubmitRead(const std::vector<IoSlot*>& vecSlots, bool bGluster, _SChunkInfo* pChunkInfo) {
  bool anyMissing = vecSlots.empty();
  for (IoSlot* slot : vecSlots) anyMissing = anyMissing || slot == nullptr;
  if (anyMissing) {
    async_io::Log(m_pLogDef, "%s: Error: No slots to read.", "SubmitReadNonOvl");
    return -1;
  }
  CFileInterface* pIfc = vecSlots.front()->pFileIfc;
  if (pIfc == nullptr) {
    async_io::Log(m_pLogDef, "%s: Error: Invalid Ifc pointer for slot to read.", "SubmitReadNonOvl");
    return -1;
  }
  OzThreadPool* pool = async_io::GetReaderPool(PoolOfKind(bGluster));
  if (pool == nullptr) {
    // Done, and failed: a slot must never report success with nothing read.
    for (IoSlot* slot : vecSlots) {
      slot->LastError = FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorNotEnoughMemory,
                                                "No reader thread pool to read with");
      CompleteSimulatedSlot(slot);
    }
    async_io::Log(m_pLogDef, "%s: Failed to get handle to Non-OVL reader pool. IsGlusterPath=%d",
                  "SubmitReadNonOvl", bGluster ? 1 : 0);
    return -1;
  }
  auto batch = std::make_unique<IoSlotBatch>(vecSlots);
  for (IoSlot* slot : vecSlots) {
    ozassert(slot->bBusy, "pSlot->bBusy == true", __FILE__, __func__, __LINE__);
    slot->bDone.store(false, std::memory_order_release);
    slot->pEvent->reset();
  }
  {
    OzCriticalSectionGuard lock(&m_csQueue);
    NonOvlIoWork& work = m_mapNonOvlIoWork[pIfc];
    if (pChunkInfo != nullptr) work.m_chunkInfo = *pChunkInfo;
    work.m_nonOvlIoQueue.push_back(batch.release());
  }
  ReaderStarted();
  auto* record = new ReaderWork{this, pIfc};
  // A pool that takes no work leaves the batch to this thread: read now rather than never.
  if (pool->doWork(&ReaderStatic, record) == 0) ReaderStatic(record);
  return 0;
}

void* CSimulatedIoNonOvlMgr::ReaderStatic(void* pArg) {
  std::unique_ptr<ReaderWork> work(static_cast<ReaderWork*>(pArg));
  work->pMgr->DoRead(work->pIfc);
  work->pMgr->ReaderFinished();  // the last touch of the manager
  return nullptr;
}

void CSimulatedIoNonOvlMgr::ReaderStarted() {
  std::lock_guard<std::mutex> lock(m_readersMutex);
  ++m_nReadersOutstanding;
}

void CSimulatedIoNonOvlMgr::ReaderFinished() {
  std::lock_guard<std::mutex> lock(m_readersMutex);
  if (--m_nReadersOutstanding == 0) m_readersDone.notify_all();
}

void CSimulatedIoNonOvlMgr::DoRead(CFileInterface* pIfc) {
  {
    OzCriticalSectionGuard lock(&m_csQueue);
    NonOvlIoWork& work = m_mapNonOvlIoWork[pIfc];
    ++work.m_nPending;
    // The thread draining this queue reads this invocation's batch.
    if (work.m_nActive != 0) return;
    work.m_nActive = 1;
  }
  for (;;) {
    IoSlotBatch* batch = nullptr;
    {
      OzCriticalSectionGuard lock(&m_csQueue);
      std::deque<IoSlotBatch*>& queue = m_mapNonOvlIoWork[pIfc].m_nonOvlIoQueue;
      ozassert(queue.size() > 0, "m_mapNonOvlIoWork[pIfc].m_nonOvlIoQueue.size() > 0", __FILE__, __func__,
               __LINE__);
      if (!queue.empty()) {
        batch = queue.front();
        queue.pop_front();
      }
    }
    if (batch != nullptr) {
      for (IoSlot* slot : *batch) ReadSlotBlocking(slot);
      delete batch;
    }
    OzCriticalSectionGuard lock(&m_csQueue);
    auto entry = m_mapNonOvlIoWork.find(pIfc);
    NonOvlIoWork& work = entry->second;
    if (--work.m_nPending != 0) continue;
    // A batch still queued belongs to an invocation that has not started: it drains it.
    if (!work.m_nonOvlIoQueue.empty()) {
      work.m_nActive = 0;
    } else {
      m_mapNonOvlIoWork.erase(entry);
    }
    return;
  }
}
