// Asynchronous reads for restore readers: read slots and the native read manager.
//
// A read manager owns a pool of read slots (IoSlot), each with a staging buffer of the manager's
// block size. A host allocates a slot, names the file and the offset, submits it, polls or waits
// for it, uses the bytes in the staging buffer and frees the slot, which goes back to the pool:
//
//   CAsyncIoManager2 mgr;
//   mgr.InitializeMgr(owner, log, 1 << 20);
//   int fd = mgr.OpenForNativeAsyncRead(path, /*bDirectIo=*/true, &err);
//   IoSlot* slot = mgr.AllocateSlot(0);
//   slot->nFd = fd;
//   slot->ullOffset = offset;                        // a multiple of the block size
//   if (mgr.SubmitRead(slot, 0, false, nullptr) == 0) {
//     slot->WaitForIO(true);                         // or poll with slot->IsComplete()
//     use(slot->pBuffer, slot->ullBytesRead, slot->LastError);
//   }
//   mgr.FreeSlot(slot);
//   mgr.Close(fd);
//   mgr.DeInitializeMgr();
//
// CAsyncIoManager2 reads with POSIX asynchronous I/O on a descriptor. The thread-pool managers
// (CSimulatedIoNonOvlMgr in AsyncIoManager2_NonOvl.h, CSimulatedIoOvlMgr in
// AsyncIoManager2_Ovl.h) derive from it and read through file interfaces on the process's shared
// reader thread pools.
//
// Threads: one host thread at a time uses a manager's allocation, submission and free, and one at
// a time uses a slot. A read in flight belongs to its reader (the kernel or a pool thread) until
// the host has seen it complete through IsComplete or WaitForIO; every result of the read is in
// the slot by then, and the reader touches the slot no more.
#pragma once

#include <aio.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logging.h"
#include "platform/threads.h"

class CAsyncIoManager2;
class OzThreadPool;

// One asynchronous read. The manager makes and deletes it; the host reads and writes its fields
// between allocation and free.
//
// States: free (not busy, done), allocated (busy, done, reset for a new read), in flight (busy,
// not done: from a successful submission until its completion is seen) and complete (busy, done,
// results valid); FreeSlot returns it to free.
struct IoSlot {
  // Control block of a native read; a native submission sets its descriptor, offset, buffer and
  // byte count and nothing else.
  aiocb64 aiocb;
  bool bBusy;                  // handed out to a host
  std::atomic<bool> bDone;     // no read in flight (stored with release, loaded with acquire)
  bool bSpare;                 // cleared at creation and allocation; nothing else uses it
  std::atomic<bool> bCancel;   // the host asked to cancel a simulated read
  uint64_t ullOffset;          // file offset of the read, set by the host
  uint64_t ullBytesRead;       // bytes the read transferred
  int32_t nFd;                 // descriptor of a native read; -1 for none
  CFileInterface* pFileIfc;    // interface of a simulated read; not owned
  uint32_t uMPId;              // mount path id (overlapped manager); 0xFFFFFFFF for none
  unsigned char* pBuffer;      // staging buffer of block-size bytes, owned by the slot
  const char* pszPath;         // path of the file (overlapped manager); owned by the host
  uint32_t uBufSize;           // bytes a read transfers; the block size after every allocation
  CXoError LastError;          // error of the read; success after allocation
  bool bSimulated;             // the slot belongs to a thread-pool manager
  OzEventH* pEvent;            // owned completion event; thread-pool slots only, else null
  CAsyncIoManager2* pOwner;    // the manager that made the slot
  int64_t tsSubmit;            // CTimeStamp::Now() (100 ns ticks) when the read was started
  int64_t llIoTime;            // ticks between tsSubmit and the completion of the read
  std::atomic<int32_t> m_nRefCountIoSlot;  // the host's own count; zero whenever allocated

  // 0 when the read has completed (now or earlier); 1 when it has not, only with bWait false.
  int WaitForIO(bool bWait);
  // Whether the read has completed (polls once when not yet known).
  bool IsComplete();
  // 0 for a completed slot or a simulated read (which then completes with Win32 error 995 if
  // its reader has not started it); -1 for a native read in flight, which cannot be cancelled.
  int CancelIO();
};

class CAsyncIoManager2 {
 public:
  // The host's description of a chunk that may accompany a submission; the managers keep it but
  // never read it.
  struct _SChunkInfo {
    uint64_t ullChunkId;
    uint64_t ullVolumeId;
    uint32_t uMPId;
  };

  // Messages are written only while this is above 0 (initially 1).
  static std::atomic<int> g_nAsyncIoMgrDebugLvl;
  // Guards the creation of the reader thread pools; the holder may enter it again.
  static OzCriticalSection s_csReaderRope;

  CAsyncIoManager2();
  // Not virtual: a manager is destroyed through its own class. Waits for every slot's read.
  ~CAsyncIoManager2();
  CAsyncIoManager2(const CAsyncIoManager2&) = delete;
  CAsyncIoManager2& operator=(const CAsyncIoManager2&) = delete;

  // Binds the owner (kept for the host), the log definition and the block size, and marks the
  // manager initialised; a manager already initialised changes nothing. 0; -1 for a block size
  // of 0, which leaves the manager uninitialised.
  int InitializeMgr(void* pOwner, _OzLogDef* pLogDef, unsigned int uBlockSize);
  unsigned int GetBlockSize() const { return m_uBlockSize; }

  // The virtual slots, in their order.
  // The first slot of the pool that is not busy; null when there is none.
  virtual IoSlot* GetFreeSlot();
  virtual void IncrementThreadCount(bool bGluster);
  // A slot reset for a new read (the argument names the mount path for the overlapped manager);
  // null when none could be made or the manager is not initialised.
  virtual IoSlot* AllocateSlot(unsigned int uMPId);
  // Starts the read of the slot: 0 when started, -1 when refused or not started. The native read
  // needs nFd and an ullOffset that is a multiple of the block size; it always reads uBufSize
  // bytes, and uSizeNeeded (at most uBufSize) is only checked.
  virtual int SubmitRead(IoSlot* pSlot, unsigned int uSizeNeeded, bool bGluster, _SChunkInfo* pChunkInfo);
  // 1 native, 2 overlapped, 3 non-overlapped.
  virtual int GetIoMgrType();
  virtual void IncrementReaderCount(bool bGluster);
  virtual void DecrementReaderCount();
  virtual int SetFSInitParams(const CFSInitParams& params);

  // Waits for the slot's read and returns the slot to the pool.
  void FreeSlot(IoSlot* pSlot);
  // The synchronous read of a slot through its file interface, on a reader thread; completes the
  // slot.
  void ReadSlotBlocking(IoSlot* pSlot);
  // Waits for every slot's read and frees every slot; the manager is then uninitialised and may
  // be initialised again. Slots still busy must not be touched after it. 0.
  int DeInitializeMgr();

  // A descriptor for native reads (read-only, O_DIRECT on request), or -1 with errno in *pErr.
  int OpenForNativeAsyncRead(const char* pszPath, bool bDirectIo, int* pErr);
  // Opens the file for simulated reads on *ppIfc, making the interface from `params` when
  // *ppIfc is null (it belongs to the caller from then on, also on failure). An interface given
  // is closed first and reused.
  CXoError OpenForAsyncRead(const char* pszPath, CFSInitParams& params, CFileInterface** ppIfc);
  void Close(int nFd);
  // Deletes the interface.
  void Close(CFileInterface* pIfc);

  // Makes and initialises a reader pool; null when none could be made.
  static OzThreadPool* InitReaderRope(const char* pszName, int n);

 protected:
  IoSlot* AllocateSlotInternal();
  IoSlot* CreateSlot();
  void FreeSlotList();
  // Waits until no slot of the pool has a read in flight.
  void WaitForAllSlots();
  // The read of ReadSlotBlocking without its completion.
  void ReadSlotData(IoSlot* pSlot);
  // Marks a simulated slot done and sets its event: the last touch of the slot by its reader.
  static void CompleteSimulatedSlot(IoSlot* pSlot);

  std::vector<IoSlot*> m_vecSlots;
  _OzLogDef* m_pLogDef = nullptr;
  void* m_pOwner = nullptr;
  int32_t m_nSlotsCreated = 0;
  int32_t m_nSlotsBusy = 0;
  uint32_t m_uBlockSize = 0;
  uint64_t m_ullFileIntReuseCount = 0;
  bool m_bSimulated = false;
  bool m_bInitialized = false;
  uint32_t m_uReaderFlags = 0;
  OzCriticalSectionH m_csSlots;

 private:
  static void DeleteSlot(IoSlot* pSlot);
};
