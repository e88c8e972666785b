// The overlapped manager: each slot read on a pool thread through a pooled file interface of its
// mount path, opened and closed around the read.

#include "MediaFileSystem/AsyncIoManager2_Ovl.h"

#include "platform/logging.h"
#include "platform/thread_pool.h"
#include "sireader/async_io_internal.h"
#include "sireader/reader_pools.h"

namespace {

constexpr uint32_t kOpenStatsWindow = 1000;

}  // namespace

void CSimulatedIoOvlMgr::OpenTimeStats::SetWindow(uint32_t uNewWindow, const char* pszName) {
  uWindow = uNewWindow;
  dFactor = 2.0 / (static_cast<double>(uNewWindow) + 1.0);
  strName = pszName != nullptr ? pszName : "";
}

void CSimulatedIoOvlMgr::OpenTimeStats::Add(double dTime) {
  ++ullCount;
  dTotal += dTime;
  if (uWindow == 0 || uWindow == 1) {
    nSamples = static_cast<int32_t>(uWindow);
    dAverage = dTime;
  } else if (static_cast<uint32_t>(nSamples) < uWindow) {
    dAverage = (dAverage * nSamples + dTime) / (nSamples + 1);
    ++nSamples;
  } else {
    dAverage = dTime * dFactor + (1.0 - dFactor) * dAverage;
  }
}

CSimulatedIoOvlMgr::CSimulatedIoOvlMgr() { m_bSimulated = true; }

// A reader thread holds a pooled interface until its read completes: the interfaces go only once
// every slot has completed.
CSimulatedIoOvlMgr::~CSimulatedIoOvlMgr() {
  WaitForAllSlots();
  FreeFileInterface();
}

int CSimulatedIoOvlMgr::InitializeMgr(void* pOwner, _OzLogDef* pLogDef, unsigned int uBlockSize,
                                      unsigned long ulThreadLimit) {
  if (CAsyncIoManager2::InitializeMgr(pOwner, pLogDef, uBlockSize) != 0) return -1;
  if (async_io::UpdateReaderThreadLimit(async_io::OvlPool(), ulThreadLimit)) {
    async_io::Log(m_pLogDef, "%s: Ovl threads per reader is set to %d", "InitIoMgrOvl", s_nThreadsPerRdr.load());
  }
  OzCriticalSectionGuard lock(&m_csStats);
  m_openStats.SetWindow(kOpenStatsWindow, "Open File");
  return 0;
}

void CSimulatedIoOvlMgr::IncrementThreadCount(bool bGluster) {
  (void)bGluster;
  const async_io::ReaderPoolKind& kind = async_io::OvlPool();
  OzThreadPool* pool = async_io::ResizeReaderPool(kind);
  if (pool == nullptr) return;
  async_io::Log(m_pLogDef, "%s: Changed Simulated Ovl pool thread count. Max=%u, Min=%u, Limit=%u, Rdrs [%d]",
                "IncrOvlThds", static_cast<unsigned>(pool->getMaxCount()), static_cast<unsigned>(pool->getMinCount()),
                static_cast<unsigned>(kind.limit->load()), s_nTotalRdrs.load());
}

IoSlot* CSimulatedIoOvlMgr::AllocateSlot(unsigned int uMPId) {
  IoSlot* slot = AllocateSlotInternal();
  if (slot != nullptr) slot->uMPId = uMPId;
  return slot;
}

int CSimulatedIoOvlMgr::GetIoMgrType() { return 2; }

void CSimulatedIoOvlMgr::IncrementReaderCount(bool bGluster) {
  (void)bGluster;
  if (m_uReaderFlags != 0) return;
  s_nTotalRdrs.fetch_add(1);
  IncrementThreadCount(false);
  m_uReaderFlags = async_io::kCountedOverlappedReader;
}

void CSimulatedIoOvlMgr::DecrementReaderCount() {
  if (m_uReaderFlags == 0) return;
  s_nTotalRdrs.fetch_sub(1);
  IncrementThreadCount(false);
  m_uReaderFlags = 0;
}

int CSimulatedIoOvlMgr::SetFSInitParams(const CFSInitParams& params) {
  OzCriticalSectionGuard lock(&m_csMaps);
  return m_mapInitParams.emplace(static_cast<uint32_t>(params.m_MountPathId), params).second ? 1 : 0;
}

int CSimulatedIoOvlMgr::SubmitRead(IoSlot* pSlot, unsigned int uSizeNeeded, bool bGluster, _SChunkInfo* pChunkInfo) {
  (void)bGluster;
  (void)pChunkInfo;
  if (pSlot == nullptr || !m_bInitialized) return -1;
  ozassert(pSlot->bBusy, "pSlot->bBusy == true", __FILE__, __func__, __LINE__);
  if (uSizeNeeded > pSlot->uBufSize) {
    async_io::Log(m_pLogDef, "%s: Error: Invalid read size provided. ReadSize=%u, BufSize=%u", "StartReadOvl",
                  uSizeNeeded, pSlot->uBufSize);
    return -1;
  }
  pSlot->bDone.store(false, std::memory_order_release);
  pSlot->pEvent->reset();
  OzThreadPool* pool = async_io::GetReaderPool(async_io::OvlPool());
  if (pool == nullptr) {
    // Done, and failed: a slot must never report success with nothing read.
    pSlot->LastError = FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorNotEnoughMemory,
                                               "No reader thread pool to read with");
    CompleteSimulatedSlot(pSlot);
    async_io::Log(m_pLogDef, "%s: Failed to get handle to OVL reader pool.", "StartReadOvl");
    return -1;
  }
  // A pool that takes no work leaves the read to this thread: read now rather than never.
  if (pool->doWork(&ReaderStatic, pSlot) == 0) ReaderStatic(pSlot);
  return 0;
}

void* CSimulatedIoOvlMgr::ReaderStatic(void* pSlot) {
  auto* slot = static_cast<IoSlot*>(pSlot);
  static_cast<CSimulatedIoOvlMgr*>(slot->pOwner)->DoRead(slot);
  return nullptr;
}

CFileInterface* CSimulatedIoOvlMgr::GetFileInterface(unsigned int uMPId) {
  OzCriticalSectionGuard lock(&m_csMaps);
  auto pool = m_mapIfcPools.find(uMPId);
  if (pool != m_mapIfcPools.end()) {
    for (FileInterfaceState& state : pool->second) {
      if (!state.bInUse) {
        state.bInUse = true;
        return state.pIfc;
      }
    }
  }
  auto params = m_mapInitParams.find(uMPId);
  if (params == m_mapInitParams.end()) {
    // The interface must carry the id it was asked for, or its release would not find its pool.
    CFSInitParams defaults;
    defaults.m_MountPathId = static_cast<int32_t>(uMPId);
    params = m_mapInitParams.emplace(uMPId, defaults).first;
  }
  CFileInterface* ifc = CFileInterface::GetFileInterfaceInstance(params->second);
  if (ifc == nullptr) return nullptr;  // the pool keeps no empty entry
  m_mapIfcPools[uMPId].push_back(FileInterfaceState{ifc, true});
  return ifc;
}

int CSimulatedIoOvlMgr::ReleaseFileInterface(CFileInterface* pIfc) {
  if (pIfc == nullptr) return -1;
  uint32_t id = static_cast<uint32_t>(pIfc->GetInitParams().m_MountPathId);
  OzCriticalSectionGuard lock(&m_csMaps);
  auto pool = m_mapIfcPools.find(id);
  if (pool == m_mapIfcPools.end()) {
    async_io::Log(m_pLogDef, "%s: Failed to find MPId [%u] in Ifc Map", "ReleaseFileInt", id);
    return -1;
  }
  for (FileInterfaceState& state : pool->second) {
    if (state.pIfc == pIfc) {
      state.bInUse = false;
      break;
    }
  }
  return 0;
}

void CSimulatedIoOvlMgr::FreeFileInterface() {
  for (auto& [id, pool] : m_mapIfcPools) {
    int count = 0;
    for (FileInterfaceState& state : pool) {
      delete state.pIfc;
      ++count;
    }
    pool.clear();
    async_io::Log(m_pLogDef, "%s: Freed [%d] FileIfc for MPId [%u]", "FreeFileIfc", count, id);
  }
}

CXoError CSimulatedIoOvlMgr::OpenForAsyncRead(const char* pszPath, CFileInterface* pIfc) {
  if (pIfc == nullptr || pszPath == nullptr) {
    return FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorBadArguments, "No file interface or path given");
  }
  CStopWatch watch;
  watch.Start();
  CXoError err = pIfc->Open(pszPath, async_io::AsyncReadFlags(pIfc->GetType()), 0400, 0);
  watch.Stop();
  const double elapsedMs = watch.ElapsedSeconds() * 1000.0;
  OzCriticalSectionGuard lock(&m_csStats);
  m_openStats.Add(elapsedMs);
  return err;
}

void CSimulatedIoOvlMgr::DoRead(IoSlot* pSlot) {
  const uint32_t id = pSlot->uMPId;
  CFileInterface* ifc = GetFileInterface(id);
  if (ifc == nullptr) {
    async_io::Log(m_pLogDef, "%s: Failed to get file interface. MPId [%d]", "DoReadOvl", static_cast<int>(id));
    pSlot->LastError = FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorNotEnoughMemory,
                                               "No file interface for mount path [%u]", id);
    CompleteSimulatedSlot(pSlot);
    return;
  }
  const char* path = pSlot->pszPath != nullptr ? pSlot->pszPath : "";
  CXoError err = OpenForAsyncRead(pSlot->pszPath, ifc);
  if (err.IsFailure()) {
    async_io::Log(m_pLogDef, "%s: OpenForAsyncRead failed for [%s], MPId [%u], Err [%x] [%s]", "DoReadOvl", path, id,
                  static_cast<unsigned>(err.Code()), err.AsString().c_str());
    pSlot->LastError = err;
  } else {
    pSlot->pFileIfc = ifc;
    ReadSlotData(pSlot);
    pSlot->pFileIfc = nullptr;
    err = ifc->Close();
    if (err.IsFailure()) {
      async_io::Log(m_pLogDef, "%s: Failed to close file [%s], MPId [%u], Err [%d] [%s]", "DoReadOvl", path, id,
                    err.Code(), err.AsString().c_str());
      pSlot->LastError = err;
    }
  }
  if (ReleaseFileInterface(ifc) == -1) {
    pSlot->LastError = FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorInternalError,
                                               "The file interface of mount path [%u] has no pool", id);
  }
  CompleteSimulatedSlot(pSlot);  // nothing of the slot is touched after this
}
