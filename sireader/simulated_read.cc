// Reads through file interfaces: opening a file for the thread-pool managers and the blocking
// read of one slot that their reader threads run.

#include <fcntl.h>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "platform/file_system.h"
#include "sireader/async_io_internal.h"

void CAsyncIoManager2::ReadSlotData(IoSlot* pSlot) {
  pSlot->llIoTime = 0;
  pSlot->tsSubmit = CTimeStamp::Now();
  if (pSlot->bCancel.load()) {
    pSlot->LastError = FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorOperationAborted,
                                               "The read was cancelled before it started");
  } else if (pSlot->pFileIfc == nullptr) {
    pSlot->LastError = FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorInvalidHandle,
                                               "The slot has no file interface to read through");
  } else {
    CXoError err = pSlot->pFileIfc->Seek(static_cast<CXoFile::offset>(pSlot->ullOffset), SEEK_SET, nullptr);
    if (err.IsFailure()) {
      pSlot->LastError = err;
    } else {
      unsigned int done = 0;
      err = pSlot->pFileIfc->Read(pSlot->pBuffer, pSlot->uBufSize, &done);
      pSlot->ullBytesRead = done;
      if (err.IsFailure()) pSlot->LastError = err;
    }
  }
  pSlot->llIoTime = CTimeStamp::Now() - pSlot->tsSubmit;
}

void CAsyncIoManager2::CompleteSimulatedSlot(IoSlot* pSlot) {
  pSlot->bDone.store(true, std::memory_order_release);
  if (pSlot->pEvent != nullptr) pSlot->pEvent->set();
}

void CAsyncIoManager2::ReadSlotBlocking(IoSlot* pSlot) {
  if (pSlot == nullptr) return;
  ReadSlotData(pSlot);
  CompleteSimulatedSlot(pSlot);
}

CXoError CAsyncIoManager2::OpenForAsyncRead(const char* pszPath, CFSInitParams& params, CFileInterface** ppIfc) {
  if (ppIfc == nullptr) {
    return FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorBadArguments, "No file interface pointer given");
  }
  if (*ppIfc == nullptr) {
    *ppIfc = CFileInterface::GetFileInterfaceInstance(params);
    if (*ppIfc == nullptr) {
      return FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorNotEnoughMemory,
                                     "Cannot make a file interface for storage type [%d]", params.m_Type);
    }
  } else {
    ++m_ullFileIntReuseCount;
  }
  CXoError err = (*ppIfc)->Close();
  if (err.IsFailure()) return err.Push(AIO_LOCATION);
  if (pszPath == nullptr) {
    return FXErrorUtil::ErrorWin32(AIO_LOCATION, async_io::kErrorBadArguments, "No path given");
  }
  err = (*ppIfc)->Open(pszPath, async_io::AsyncReadFlags(params.m_Type), 0400, 0);
  if (err.IsFailure()) return err.Push(AIO_LOCATION);
  return CXoError::Success();
}

void CAsyncIoManager2::Close(CFileInterface* pIfc) { delete pIfc; }
