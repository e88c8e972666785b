// The overlapped read manager: asynchronous reads named by a file path and a mount path id,
// done by the shared reader pool "LA Ovl".
//
// For each read a pool thread takes a file interface from the manager's pool for the mount path,
// opens the file on it, reads the whole staging buffer, closes the file and returns the interface.
// Reads overlap freely: two slots of one file are read at once on two interfaces. A host:
//
//   CSimulatedIoOvlMgr mgr;
//   mgr.InitializeMgr(owner, log, blockSize, threadLimit);
//   mgr.SetFSInitParams(paramsOfMountPath);            // for every mount path it will read
//   mgr.IncrementReaderCount(false);
//   IoSlot* slot = mgr.AllocateSlot(mountPathId);
//   slot->pszPath = path;                              // alive until the slot completes
//   slot->ullOffset = offset;                          // any offset
//   mgr.SubmitRead(slot, 0, false, nullptr);
//   slot->WaitForIO(true);
//   mgr.FreeSlot(slot);
//   mgr.DecrementReaderCount();
//   mgr.DeInitializeMgr();
//
// Destroying the manager waits for every slot before it deletes the pooled interfaces.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"

class CSimulatedIoOvlMgr final : public CAsyncIoManager2 {
 public:
  // A pooled interface (owned by the manager) and whether a reader thread holds it.
  struct FileInterfaceState {
    CFileInterface* pIfc = nullptr;
    bool bInUse = false;
  };

  // Statistics of the time that opening a file takes: the running mean of the first N samples,
  // then an exponential average with the factor 2/(N+1). Nothing here reads them back.
  struct OpenTimeStats {
    double dAverage = 0;
    double dFactor = 2.0 / 101.0;
    double dTotal = 0;
    uint64_t ullCount = 0;
    int32_t nSamples = 0;
    uint32_t uWindow = 100;
    std::string strName;

    void SetWindow(uint32_t uNewWindow, const char* pszName);
    void Add(double dTime);
  };

  // The reader pool, its readers and sizing (process-wide).
  static std::atomic<OzThreadPool*> s_pOvlRdrRope;
  static std::atomic<int32_t> s_nTotalRdrs;
  static std::atomic<int32_t> s_nThreadsPerRdr;  // 32 until the configuration says otherwise
  static std::atomic<unsigned long> s_ulOvlIoThrLimit;

  CSimulatedIoOvlMgr();
  ~CSimulatedIoOvlMgr();

  // The base initialisation, the pool's thread limit (as the non-overlapped manager's), then the
  // open-time statistics' window (1000) and name ("Open File"). 0; -1 when the base
  // initialisation fails.
  int InitializeMgr(void* pOwner, _OzLogDef* pLogDef, unsigned int uBlockSize, unsigned long ulThreadLimit);

  void IncrementThreadCount(bool bGluster) override;
  // A slot whose uMPId is the given mount path id.
  IoSlot* AllocateSlot(unsigned int uMPId) override;
  // Queues the slot's read of pszPath from ullOffset for uBufSize bytes (the whole block); any
  // offset is accepted, uSizeNeeded must not exceed uBufSize. 0 queued, -1 refused.
  int SubmitRead(IoSlot* pSlot, unsigned int uSizeNeeded, bool bGluster, _SChunkInfo* pChunkInfo) override;
  int GetIoMgrType() override;
  void IncrementReaderCount(bool bGluster) override;
  void DecrementReaderCount() override;
  // Registers the parameters of their mount path id: 1 when registered now, 0 when the id was
  // registered before (the first registration stays).
  int SetFSInitParams(const CFSInitParams& params) override;

  // A pooled interface of the mount path marked in use, made when every one is in use; null
  // when none can be made. A mount path never registered gets default parameters with its id.
  CFileInterface* GetFileInterface(unsigned int uMPId);
  // Returns the interface to its mount path's pool: 0, or -1 when that id has no pool.
  int ReleaseFileInterface(CFileInterface* pIfc);
  // Deletes every pooled interface; runs when no read is running.
  void FreeFileInterface();
  // Opens the file on the interface (no Close before it) and counts the time in the "Open File"
  // statistics. Hides the base's three-argument form.
  CXoError OpenForAsyncRead(const char* pszPath, CFileInterface* pIfc);

  // One slot's read on a pool thread.
  void DoRead(IoSlot* pSlot);
  // The pool's entry: DoRead of the slot's owner; null.
  static void* ReaderStatic(void* pSlot);

 private:
  std::map<uint32_t, std::vector<FileInterfaceState>> m_mapIfcPools;
  std::map<uint32_t, CFSInitParams> m_mapInitParams;
  OzCriticalSectionH m_csStats;
  OzCriticalSectionH m_csMaps;
  OpenTimeStats m_openStats;  // guarded by m_csStats
};
