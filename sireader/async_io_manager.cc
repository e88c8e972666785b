// The read manager's slot pool: initialisation, making, allocating and freeing slots, and the
// default virtual slots that the thread-pool managers override.

#include <signal.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "platform/logging.h"
#include "platform/string_format.h"
#include "sireader/async_io_internal.h"

namespace {

constexpr size_t kReservedSlots = 32;
// Native staging buffers are aligned for descriptors opened with O_DIRECT.
constexpr size_t kNativeBufferAlignment = 4096;

}  // namespace

std::atomic<int> CAsyncIoManager2::g_nAsyncIoMgrDebugLvl{1};

CAsyncIoManager2::CAsyncIoManager2() { m_vecSlots.reserve(kReservedSlots); }

CAsyncIoManager2::~CAsyncIoManager2() { DeInitializeMgr(); }

namespace async_io {

void Log(_OzLogDef* log, const char* format, ...) {
  if (CAsyncIoManager2::g_nAsyncIoMgrDebugLvl.load(std::memory_order_relaxed) <= 0) return;
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  OZlog(log, 1, "%s", text.c_str());
}

}  // namespace async_io

int CAsyncIoManager2::InitializeMgr(void* pOwner, _OzLogDef* pLogDef, unsigned int uBlockSize) {
  if (m_bInitialized) return 0;
  // Every submission measures offsets in blocks, and every staging buffer is one block.
  if (uBlockSize == 0) {
    m_pLogDef = pLogDef;
    async_io::Log(m_pLogDef, "%s: Invalid block size [%u]: it must not be zero.", "InitIoMgr", uBlockSize);
    return -1;
  }
  m_pOwner = pOwner;
  m_pLogDef = pLogDef;
  m_uBlockSize = uBlockSize;
  m_bInitialized = true;
  return 0;
}

IoSlot* CAsyncIoManager2::GetFreeSlot() {
  for (IoSlot* slot : m_vecSlots) {
    if (!slot->bBusy) return slot;
  }
  return nullptr;
}

void CAsyncIoManager2::IncrementThreadCount(bool bGluster) { (void)bGluster; }

IoSlot* CAsyncIoManager2::AllocateSlot(unsigned int uMPId) {
  (void)uMPId;
  return AllocateSlotInternal();
}

int CAsyncIoManager2::GetIoMgrType() { return 1; }

void CAsyncIoManager2::IncrementReaderCount(bool bGluster) { (void)bGluster; }

void CAsyncIoManager2::DecrementReaderCount() {}

int CAsyncIoManager2::SetFSInitParams(const CFSInitParams& params) {
  (void)params;
  return 0;
}

IoSlot* CAsyncIoManager2::CreateSlot() {
  IoSlot* slot = new (std::nothrow) IoSlot;
  if (slot == nullptr) {
    async_io::Log(m_pLogDef, "%s: Cannot allocate IoSlot object.", "CreateSlot");
    return nullptr;
  }
  std::memset(&slot->aiocb, 0, sizeof(slot->aiocb));
  // Completion is seen by polling and waiting: no signal (a zeroed block asks for signal 0, which
  // costs a system call per read).
  slot->aiocb.aio_sigevent.sigev_notify = SIGEV_NONE;
  slot->bBusy = false;
  slot->bDone.store(true, std::memory_order_relaxed);
  slot->bSpare = false;
  slot->bCancel.store(false, std::memory_order_relaxed);
  slot->ullOffset = 0;
  slot->ullBytesRead = 0;
  slot->nFd = -1;
  slot->pFileIfc = nullptr;
  slot->uMPId = async_io::kNoMountPathId;
  slot->pBuffer = nullptr;
  slot->pszPath = nullptr;
  slot->uBufSize = 0;
  slot->LastError = CXoError::Success();
  slot->bSimulated = m_bSimulated;
  slot->pEvent = nullptr;
  slot->pOwner = this;
  slot->tsSubmit = 0;
  slot->llIoTime = 0;
  slot->m_nRefCountIoSlot.store(0);

  if (!m_bSimulated) {
    void* buffer = nullptr;
    int rc = posix_memalign(&buffer, kNativeBufferAlignment, m_uBlockSize);
    if (rc != 0) {
      async_io::Log(m_pLogDef, "%s: Cannot allocate staging area. Error [%d]", "CreateSlot", rc);
      delete slot;
      return nullptr;
    }
    slot->pBuffer = static_cast<unsigned char*>(buffer);
    return slot;
  }
  slot->pBuffer = new (std::nothrow) unsigned char[m_uBlockSize];
  if (slot->pBuffer == nullptr) {
    async_io::Log(m_pLogDef, "%s: Cannot allocate staging area. Error [%d]", "CreateSlot", ENOMEM);
    delete slot;
    return nullptr;
  }
  // Set while no read is in flight: it is reset at each submission and set by the reader that
  // completes the read.
  slot->pEvent = new (std::nothrow) OzEventH(true, true);
  if (slot->pEvent == nullptr) {
    async_io::Log(m_pLogDef, "%s: Cannot initialize the event object.", "CreateSlot");
    delete[] slot->pBuffer;
    delete slot;
    return nullptr;
  }
  return slot;
}

void CAsyncIoManager2::DeleteSlot(IoSlot* pSlot) {
  delete pSlot->pEvent;
  if (pSlot->bSimulated) {
    delete[] pSlot->pBuffer;
  } else {
    free(pSlot->pBuffer);
  }
  delete pSlot;
}

IoSlot* CAsyncIoManager2::AllocateSlotInternal() {
  OzCriticalSectionGuard lock(&m_csSlots);
  // Without a block size there is no staging buffer to make and no offset to check.
  if (!m_bInitialized) {
    async_io::Log(m_pLogDef, "%s: The manager is not initialized.", "AllocateSlot");
    return nullptr;
  }
  if (m_nSlotsCreated == m_nSlotsBusy) {
    IoSlot* made = CreateSlot();
    if (made == nullptr) return nullptr;
    m_vecSlots.push_back(made);
    ++m_nSlotsCreated;
  }
  ++m_nSlotsBusy;
  IoSlot* slot = GetFreeSlot();
  slot->bBusy = true;
  slot->bDone.store(true, std::memory_order_release);
  slot->ullBytesRead = 0;
  slot->uBufSize = m_uBlockSize;
  slot->LastError = CXoError::Success();
  slot->bSpare = false;
  slot->bCancel.store(false);
  slot->ullOffset = 0;
  slot->nFd = -1;
  slot->pszPath = nullptr;
  slot->uMPId = async_io::kNoMountPathId;
  ozassert(slot->m_nRefCountIoSlot.load() == 0, "pSlot->m_nRefCountIoSlot == 0", __FILE__, __func__, __LINE__);
  slot->m_nRefCountIoSlot.store(0);
  return slot;
}

void CAsyncIoManager2::FreeSlot(IoSlot* pSlot) {
  if (pSlot == nullptr) return;
  if (!pSlot->IsComplete()) pSlot->WaitForIO(true);
  OzCriticalSectionGuard lock(&m_csSlots);
  if (!pSlot->bBusy) return;  // freed twice: the counts stay right
  --m_nSlotsBusy;
  pSlot->bBusy = false;
}

void CAsyncIoManager2::WaitForAllSlots() {
  for (IoSlot* slot : m_vecSlots) {
    if (!slot->IsComplete()) slot->WaitForIO(true);
  }
}

void CAsyncIoManager2::FreeSlotList() {
  WaitForAllSlots();
  for (IoSlot* slot : m_vecSlots) DeleteSlot(slot);
  m_vecSlots.clear();
  m_nSlotsCreated = 0;
  m_nSlotsBusy = 0;
}

int CAsyncIoManager2::DeInitializeMgr() {
  if (!m_bInitialized) return 0;
  if (m_nSlotsBusy != 0) {
    async_io::Log(m_pLogDef, "DeInitializing AsynMgr. Slots: Busy=%d, Max=%d, Curr=%d; FileIntReuseCount=%llu", m_nSlotsBusy,
        m_nSlotsCreated, static_cast<int>(m_vecSlots.size()),
        static_cast<unsigned long long>(m_ullFileIntReuseCount));
  }
  FreeSlotList();
  m_bInitialized = false;
  return 0;
}
