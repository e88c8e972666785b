// CFileFlusher: the process-wide flusher, its workers and the requests they serve.
//
// Locks: s_cs serialises Get and Release; m_pcsQueue guards the queue, each worker's current
// request and the retirement test; m_pcsThreads guards the count of running workers; each worker
// record's pcs serialises its starts. A worker sets a request's event while it holds m_pcsQueue
// and forgets the request in the same step, so Cancel (which looks under that lock) never misses
// a flush in progress and never waits for one that has ended.

#include "MediaFileSystem/FileFlusher.h"

#include <algorithm>
#include <cerrno>

#include "platform/config.h"

namespace {

constexpr int kDefaultMaxThreads = 1;
constexpr int kDefaultNewThreadThreshold = 20;

#define FLUSHER_ASSERT(expr, text) ozassert(static_cast<bool>(expr), text, "FileFlusher", __PRETTY_FUNCTION__, __LINE__)

}  // namespace

CFileFlusher* CFileFlusher::s_pFF = nullptr;
int CFileFlusher::s_ObjRefCnt = 0;
OzCriticalSection CFileFlusher::s_cs;

// ---- The process's flusher ------------------------------------------------------------------

CFileFlusher* CFileFlusher::Get(EvDebug* log) {
  OzCriticalSectionGuard guard(&s_cs);
  if (s_ObjRefCnt == 0) {
    FLUSHER_ASSERT(s_pFF == nullptr, "s_pFF == NULL");
    s_pFF = new CFileFlusher(log);
    if (s_pFF->Start() != 0) {
      EvDebug own;
      (log != nullptr ? log : &own)->debug("%s: Unable to start the file flusher object.", "CFileFlusher::Get");
      delete s_pFF;
      s_pFF = nullptr;
      return nullptr;
    }
  }
  ++s_ObjRefCnt;
  return s_pFF;
}

void CFileFlusher::Release(CFileFlusher* flusher) {
  OzCriticalSectionGuard guard(&s_cs);
  FLUSHER_ASSERT(flusher == s_pFF, "pReq == s_pFF");
  // A release without a holding would drive the count below zero and stop a flusher that others
  // still hold later on.
  if (!FLUSHER_ASSERT(s_ObjRefCnt > 0, "s_ObjRefCnt > 0")) return;
  if (--s_ObjRefCnt > 0) return;
  if (s_pFF != nullptr) {
    s_pFF->Stop();
    delete s_pFF;
    s_pFF = nullptr;
  }
}

// ---- Life of one flusher ----------------------------------------------------------------------

CFileFlusher::CFileFlusher(EvDebug* log)
    : m_pDebug(log != nullptr ? log : &m_Debug),
      m_pSemaphore(new OzSemaphoreH(0)),
      m_pcsQueue(new OzCriticalSectionH),
      m_pcsThreads(new OzCriticalSectionH) {}

CFileFlusher::~CFileFlusher() {
  FLUSHER_ASSERT(RunningThreads() == 0, "m_RunningThreads == 0");
  DestroyThreadRecords();
  delete m_pcsQueue;
  delete m_pcsThreads;
  delete m_pSemaphore;
  m_lstRequests.clear();
}

// "MaxFlushThreads" absent or 0 gives one worker and a negative count is clamped to one, since
// worker 0 must exist; a "NewThreadThreshold" below 1 would divide by zero or start every worker
// at once, so it takes the default.
void CFileFlusher::ReadConfiguration() {
  OZPlatformInfo info;
  long long value = 0;
  m_iMaxThreads = kDefaultMaxThreads;
  if (info.getNumber("ZovadAdeve", "MaxFlushThreads", &value) && value != 0) {
    m_iMaxThreads = static_cast<int32_t>(static_cast<uint32_t>(value));
    if (m_iMaxThreads < 1) {
      m_pDebug->debug("MaxFlushThreads [%d] is below 1; using [%d]", m_iMaxThreads, kDefaultMaxThreads);
      m_iMaxThreads = kDefaultMaxThreads;
    }
  }
  m_iNewThreadThreshold = kDefaultNewThreadThreshold;
  if (info.getNumber("ZovadAdeve", "NewThreadThreshold", &value)) {
    m_iNewThreadThreshold = static_cast<int32_t>(static_cast<uint32_t>(value));
    if (m_iNewThreadThreshold < 1) {
      m_pDebug->debug("NewThreadThreshold [%d] is below 1; using [%d]", m_iNewThreadThreshold,
                      kDefaultNewThreadThreshold);
      m_iNewThreadThreshold = kDefaultNewThreadThreshold;
    }
  }
}

int CFileFlusher::Start() {
  ReadConfiguration();
  m_pDebug->debug("Initialized the file flusher. Max threads [%d], New Thread Threshold [%d]", m_iMaxThreads,
                  m_iNewThreadThreshold);
  FLUSHER_ASSERT(RunningThreads() == 0, "m_RunningThreads == 0");
  if (!FLUSHER_ASSERT(m_vThreads.empty(), "m_vThreads.size() == 0")) DestroyThreadRecords();

  for (int i = 0; i < m_iMaxThreads; ++i) {
    auto* t = new SThread;
    t->pcs = new OzCriticalSectionH;
    m_vThreads.push_back(t);
  }
  m_bStop = false;
  {
    OzCriticalSectionGuard guard(m_pcsQueue);
    m_lstRequests.clear();
  }
  if (StartThread(0) != 0) {
    m_pDebug->debug("Unable to start thread 0.");
    DestroyThreadRecords();
    return -1;
  }
  return 0;
}

int CFileFlusher::Stop() {
  m_bStop = true;
  m_pDebug->debug("Stopping the file flusher thread(s)");
  m_pSemaphore->release(static_cast<long>(m_vThreads.size()));
  DestroyThreadRecords();
  m_pDebug->debug("flusher thread(s) stopped.");
  FLUSHER_ASSERT(RunningThreads() == 0, "m_RunningThreads == 0");
  size_t queued = 0;
  {
    OzCriticalSectionGuard guard(m_pcsQueue);
    queued = m_lstRequests.size();
  }
  if (queued != 0) {
    m_pDebug->debug("%s: WARNING. exiting with non zero [%lu] queued items.", "Stop",
                    static_cast<unsigned long>(queued));
  }
  return 0;
}

// Joins every worker that ever started, last first, and frees the records.
void CFileFlusher::DestroyThreadRecords() {
  for (auto it = m_vThreads.rbegin(); it != m_vThreads.rend(); ++it) {
    SThread* t = *it;
    if (t->pThread != nullptr) {
      t->pThread->join();
      delete t->pThread;
    }
    delete t->pcs;
    delete t;
  }
  m_vThreads.clear();
}

int CFileFlusher::RunningThreads() {
  OzCriticalSectionGuard guard(m_pcsThreads);
  return m_RunningThreads;
}

// The worker counts as running before its thread exists: a worker that starts, flushes and
// retires at once must not leave its record marked running.
int CFileFlusher::StartThread(int index) {
  if (index < 0 || index >= static_cast<int>(m_vThreads.size())) return -1;
  SThread* t = m_vThreads[static_cast<size_t>(index)];
  OzCriticalSectionGuard guard(t->pcs);
  if (t->bRunning) return 0;
  if (t->pThread != nullptr) {
    t->pThread->join();
    delete t->pThread;
    t->pThread = nullptr;
  }
  m_pDebug->debug("%s: Starting file flusher thread [%d]", "StartThread", index);
  t->iIndex = index;
  t->pOwner = this;
  t->bRunning = true;
  {
    OzCriticalSectionGuard threads(m_pcsThreads);
    ++m_RunningThreads;
  }
  t->pThread = new OzThread;
  if (t->pThread->createThread(&CFileFlusher::FlushThreadMainStatic, t) != 0) {
    delete t->pThread;
    t->pThread = nullptr;
    t->bRunning = false;
    {
      OzCriticalSectionGuard threads(m_pcsThreads);
      --m_RunningThreads;
    }
    m_pDebug->debugLvl(1, "%s: Cannot start the flush thread [%d]", "StartThread", index);
    return -1;
  }
  return 0;
}

// ---- Requests ---------------------------------------------------------------------------------

int CFileFlusher::Submit(SRequest* req) {
  if (req == nullptr || req->pDoneEvent == nullptr) {
    m_pDebug->debug("%s: Refusing a request without %s.", "Submit", req == nullptr ? "a request" : "an event");
    return -1;
  }
  req->pDoneEvent->reset();
  size_t queued = 0;
  {
    OzCriticalSectionGuard guard(m_pcsQueue);
    m_lstRequests.push_back(req);
    queued = m_lstRequests.size();
    m_pSemaphore->release(1);
  }
  const int wanted = static_cast<int>(queued / static_cast<size_t>(m_iNewThreadThreshold)) + 1;
  if (wanted > 1 && wanted > RunningThreads()) {
    const int last = std::min(wanted, m_iMaxThreads);
    for (int i = 1; i < last; ++i) {
      int ret = StartThread(i);
      if (ret != 0) m_pDebug->debug("%s: Unable to start thread [%d]. iRet [%d]", "Submit", i, ret);
    }
  }
  return 0;
}

int CFileFlusher::Wait(SRequest* req, unsigned int ms) {
  if (req == nullptr || req->pDoneEvent == nullptr) return 1;
  return req->pDoneEvent->wait(ms) ? 0 : 1;
}

int CFileFlusher::Cancel(SRequest* req) {
  if (req == nullptr) return 0;
  {
    OzCriticalSectionGuard guard(m_pcsQueue);
    auto it = std::find(m_lstRequests.begin(), m_lstRequests.end(), req);
    if (it != m_lstRequests.end()) {
      m_lstRequests.erase(it);
      return 0;
    }
    const bool inFlight = std::any_of(m_vThreads.begin(), m_vThreads.end(),
                                      [req](const SThread* t) { return t->pCurrent == req; });
    if (!inFlight) return 0;
  }
  // The worker sets the event under m_pcsQueue; waiting outside it lets the worker get there.
  req->pDoneEvent->wait(0xFFFFFFFFu);
  return 0;
}

// ---- Workers ----------------------------------------------------------------------------------

void* CFileFlusher::FlushThreadMainStatic(void* thread) {
  auto* t = static_cast<SThread*>(thread);
  t->pOwner->FlushThreadMain(t);
  return nullptr;
}

int CFileFlusher::FlushThreadMain(SThread* thread) {
  const int index = thread->iIndex;
  m_pDebug->debug("flusher thread [%d] reporting for service.", index);
  m_pSemaphore->wait();
  while (!m_bStop) {
    SRequest* req = nullptr;
    {
      OzCriticalSectionGuard guard(m_pcsQueue);
      if (!m_lstRequests.empty()) {
        req = m_lstRequests.front();
        m_lstRequests.pop_front();
        thread->pCurrent = req;
      }
    }
    if (req != nullptr && FlushOne(thread, req)) break;
    m_pSemaphore->wait();
  }
  m_pDebug->debug("flusher thread [%d] exiting. Avg per flush [%f], Samples [%d]", index,
                  thread->FlushTimer.GetAverageSeconds(), static_cast<int>(thread->FlushTimer.GetSamples()));
  {
    OzCriticalSectionGuard threads(m_pcsThreads);
    thread->bRunning = false;
    --m_RunningThreads;
  }
  return 0;
}

bool CFileFlusher::FlushOne(SThread* thread, SRequest* req) {
  thread->FlushTimer.Start();
  req->Result = req->pFile != nullptr
                    ? req->pFile->Flush()
                    : FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "The flush request has no file");
  bool retire = false;
  {
    OzCriticalSectionGuard guard(m_pcsQueue);
    req->pDoneEvent->set();
    thread->pCurrent = nullptr;
    if (thread->iIndex != 0) {
      const long long limit = static_cast<long long>(m_iNewThreadThreshold) * thread->iIndex - m_iNewThreadThreshold / 2;
      retire = static_cast<long long>(m_lstRequests.size()) <= limit;
    }
  }
  thread->FlushTimer.Stop();
  return retire;
}
