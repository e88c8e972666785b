// CFileFlusher: the process's background flusher of files.
//
// Every single-instance store that writes to a mount path other than a cloud one holds the one
// flusher of the process (Get when it sets itself up, Release when it is destroyed) and submits a
// request for each file it wants on stable storage. A worker thread takes the oldest request,
// calls Flush on its file, stores the result in the request and sets the request's event. The
// caller waits for the event with a time limit (Wait), or withdraws the request (Cancel).
//
// The flusher starts with one worker (worker 0, which runs until the flusher stops) and starts
// worker k when a submission leaves at least k x "NewThreadThreshold" requests queued, up to
// "MaxFlushThreads" workers (section "ZovadAdeve"; 1 and 20 by default). Worker k retires after a
// flush that leaves at most k x T - T / 2 requests queued.
//
// Typical use:
//   CFileFlusher* flusher = CFileFlusher::Get(nullptr);
//   CFileFlusher::SRequest req;  req.pFile = file;  req.pDoneEvent = &event;
//   flusher->Submit(&req);  ...  if (flusher->Wait(&req, 0xFFFFFFFF) == 0) use(req.Result);
//   CFileFlusher::Release(flusher);
//
// The caller owns each request and keeps it (and its file and event) alive until the request is
// collected (Wait returned 0) or cancelled. Submit, Wait and Cancel may be called from any thread.
#pragma once

#include <atomic>
#include <list>
#include <vector>

#include "platform/counters.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logging.h"
#include "platform/threads.h"

class CFileFlusher {
 public:
  struct SRequest {
    CFileInterface* pFile = nullptr;  // the file to flush
    OzEventH* pDoneEvent = nullptr;   // set when the flush is done; reset by Submit
    CXoError Result;                  // the flush's result, written before the event is set
  };

  // One possible worker.
  struct SThread {
    int iIndex = -1;                   // 0 to max - 1; -1 until its first start
    OzCriticalSectionH* pcs = nullptr; // around starting this worker
    OzThread* pThread = nullptr;       // the thread of the last start
    CFileFlusher* pOwner = nullptr;
    std::atomic<bool> bRunning{false};
    CAverageCounter FlushTimer;        // times each flush of this worker
    SRequest* pCurrent = nullptr;      // the request being flushed; guarded by m_pcsQueue
  };

  // The process's flusher, created and started for the first holder; null when it cannot be
  // started. `log` (may be null) is the log of a flusher created here.
  static CFileFlusher* Get(EvDebug* log);
  // Gives up one holding; the last one stops the workers, joins them and destroys the flusher.
  static void Release(CFileFlusher* flusher);

  // Queues a request (its event reset first) and starts workers as the queue asks. 0; -1 when the
  // request or its event is missing (nothing is queued then).
  int Submit(SRequest* req);
  // Waits up to `ms` milliseconds (0xFFFFFFFF: without limit) for the request's event: 0 when its
  // flush is done, 1 when the time ran out.
  int Wait(SRequest* req, unsigned int ms);
  // Withdraws a request that no worker has taken yet (it is never flushed and its event is not
  // set), or waits until the worker that took it is done. A request that is neither queued nor
  // being flushed (never submitted, or already done) returns at once. Always 0.
  int Cancel(SRequest* req);

 private:
  explicit CFileFlusher(EvDebug* log);
  ~CFileFlusher();
  CFileFlusher(const CFileFlusher&) = delete;
  CFileFlusher& operator=(const CFileFlusher&) = delete;

  int Start();
  int Stop();
  int StartThread(int index);
  int FlushThreadMain(SThread* thread);
  static void* FlushThreadMainStatic(void* thread);

  void ReadConfiguration();
  void DestroyThreadRecords();
  int RunningThreads();
  // Flushes one request on `thread`; true when the worker is to retire afterwards.
  bool FlushOne(SThread* thread, SRequest* req);

  EvDebug* m_pDebug;
  EvDebug m_Debug;
  std::list<SRequest*> m_lstRequests;
  OzSemaphoreH* m_pSemaphore;
  OzCriticalSectionH* m_pcsQueue;
  std::vector<SThread*> m_vThreads;
  OzCriticalSectionH* m_pcsThreads;
  int m_RunningThreads = 0;
  int m_iMaxThreads = 1;
  int m_iNewThreadThreshold = 20;
  std::atomic<bool> m_bStop{false};

  static CFileFlusher* s_pFF;
  static int s_ObjRefCnt;
  static OzCriticalSection s_cs;
};
