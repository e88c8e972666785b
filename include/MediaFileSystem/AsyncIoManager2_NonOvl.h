// The non-overlapped read manager: asynchronous reads of files that the host opened on file
// interfaces, done by the shared reader pools "LA Non-Ovl" and "LA Glus Non-Ovl".
//
// Reads of one file interface never overlap: the slots submitted for an interface are queued in
// batches and read in submission order by at most one pool thread at a time, while different
// interfaces are read in parallel. A host:
//
//   CSimulatedIoNonOvlMgr mgr;
//   mgr.InitializeMgr(owner, log, blockSize, threadLimit, glusterThreadLimit);
//   mgr.IncrementReaderCount(isGluster);
//   CFileInterface* file = nullptr;
//   mgr.OpenForAsyncRead(path, params, &file);
//   IoSlot* slot = mgr.AllocateSlot(0);
//   slot->pFileIfc = file;
//   slot->ullOffset = offset;                       // a multiple of the block size
//   mgr.SubmitRead(slot, bytesWanted, isGluster, nullptr);   // 0: the whole block
//   slot->WaitForIO(true);
//   mgr.FreeSlot(slot);
//   mgr.DecrementReaderCount();
//   mgr.DeInitializeMgr();
//   mgr.Close(file);                                // after every slot of it has completed
//
// The host keeps each interface open and alive until every slot submitted for it has completed.
// Destroying the manager waits for every slot and for its reader threads to let go of it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"

class CSimulatedIoNonOvlMgr final : public CAsyncIoManager2 {
 public:
  // The slots of one submission, read in list order.
  using IoSlotBatch = std::vector<IoSlot*>;

  // The work of one file interface.
  struct NonOvlIoWork {
    NonOvlIoWork() = default;
    ~NonOvlIoWork();
    NonOvlIoWork(const NonOvlIoWork&) = delete;
    NonOvlIoWork& operator=(const NonOvlIoWork&) = delete;

    std::deque<IoSlotBatch*> m_nonOvlIoQueue;  // oldest first; owns the batches in it
    int32_t m_nPending = 0;  // reader invocations started whose batch has not yet been read
    int32_t m_nActive = 0;   // 1 while a pool thread drains the queue
    _SChunkInfo m_chunkInfo{};  // the last chunk description given; nothing reads it
  };

  // The reader pools, their readers and sizing (process-wide).
  static std::atomic<OzThreadPool*> s_pNonOvlRdrRope;
  static std::atomic<OzThreadPool*> s_pNonOvlGlusterRdrRope;
  static std::atomic<int32_t> s_nTotalRdrs;
  static std::atomic<int32_t> s_nTotalGlusterRdrs;
  static std::atomic<int32_t> s_nThreadsPerRdr;         // 1 until the configuration says otherwise
  static std::atomic<int32_t> s_nThreadsPerGlusterRdr;  // 4 until the configuration says otherwise
  static std::atomic<unsigned long> s_ulNonOvlIoThrLimit;
  static std::atomic<unsigned long> s_ulNonOvlIoGlusterThrLimit;

  CSimulatedIoNonOvlMgr();
  ~CSimulatedIoNonOvlMgr();

  // The base initialisation, then the thread limits of the two pools: a limit that differs from
  // the process's stored one replaces it and the pool's threads per reader are read again from
  // the configuration. 0; -1 when the base initialisation fails.
  int InitializeMgr(void* pOwner, _OzLogDef* pLogDef, unsigned int uBlockSize, unsigned long ulThreadLimit,
                    unsigned long ulGlusterThreadLimit);

  void IncrementThreadCount(bool bGluster) override;
  IoSlot* AllocateSlot(unsigned int uMPId) override;
  // Queues one slot: its offset must be a multiple of the block size and uSizeNeeded at most
  // uBufSize; a size that is not 0 narrows the read (uBufSize) to it until the next allocation.
  int SubmitRead(IoSlot* pSlot, unsigned int uSizeNeeded, bool bGluster, _SChunkInfo* pChunkInfo) override;
  // Queues a batch of slots of one file, keyed by the first slot's interface; each slot is read
  // from its ullOffset for its uBufSize bytes through its own pFileIfc. 0 queued, -1 refused.
  int SubmitRead(const std::vector<IoSlot*>& vecSlots, bool bGluster, _SChunkInfo* pChunkInfo);
  int GetIoMgrType() override;
  void IncrementReaderCount(bool bGluster) override;
  void DecrementReaderCount() override;

  // Drains the interface's queue on a pool thread.
  void DoRead(CFileInterface* pIfc);
  // The pool's entry: runs DoRead for the manager and interface that the work record carries,
  // frees the record and returns null.
  static void* ReaderStatic(void* pArg);

 private:
  struct ReaderWork;

  // The invocations handed to a pool that have not yet returned; the destructor waits for none.
  void ReaderStarted();
  void ReaderFinished();

  OzCriticalSectionH m_csQueue;
  std::map<CFileInterface*, NonOvlIoWork> m_mapNonOvlIoWork;

  std::mutex m_readersMutex;
  std::condition_variable m_readersDone;
  int m_nReadersOutstanding = 0;
};
