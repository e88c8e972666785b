// Native reads: a descriptor opened for asynchronous reads, and the submission of a slot's read
// to POSIX asynchronous I/O.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "platform/async_io.h"
#include "platform/logging.h"
#include "sireader/async_io_internal.h"

int CAsyncIoManager2::SubmitRead(IoSlot* pSlot, unsigned int uSizeNeeded, bool bGluster, _SChunkInfo* pChunkInfo) {
  (void)bGluster;
  (void)pChunkInfo;
  if (pSlot == nullptr || !m_bInitialized) return -1;
  ozassert(pSlot->bBusy, "pSlot->bBusy == true", __FILE__, __func__, __LINE__);
  if (pSlot->ullOffset % m_uBlockSize != 0 || uSizeNeeded > pSlot->uBufSize) {
    async_io::Log(m_pLogDef, "%s: Invalid read size provided. ReadSize=%u, BufSize=%u", "StartRead", uSizeNeeded, pSlot->uBufSize);
    return -1;
  }
  if (pSlot->nFd == -1) {
    async_io::Log(m_pLogDef, "%s: Error: Invalid slot handle. Ifc=%p, fd=%p", "StartRead", static_cast<void*>(pSlot->pFileIfc),
        reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
    return -1;
  }
  pSlot->bDone.store(false, std::memory_order_release);
  pSlot->llIoTime = 0;
  pSlot->tsSubmit = CTimeStamp::Now();
  // The native read always asks for the whole staging buffer.
  pSlot->aiocb.aio_fildes = pSlot->nFd;
  pSlot->aiocb.aio_offset = static_cast<off64_t>(pSlot->ullOffset);
  pSlot->aiocb.aio_buf = pSlot->pBuffer;
  pSlot->aiocb.aio_nbytes = pSlot->uBufSize;
  if (platform::AioRead(&pSlot->aiocb) < 0) {
    int err = errno;
    pSlot->LastError = FXErrorUtil::ErrorErrNo(AIO_LOCATION, err, "The read at offset [%llu] did not start",
                                               static_cast<unsigned long long>(pSlot->ullOffset));
    pSlot->bDone.store(true, std::memory_order_release);
    async_io::Log(m_pLogDef, "%s: The read at offset [%llu] failed with error [%d]", "StartRead",
        static_cast<unsigned long long>(pSlot->ullOffset), err);
    return -1;
  }
  return 0;
}

int CAsyncIoManager2::OpenForNativeAsyncRead(const char* pszPath, bool bDirectIo, int* pErr) {
  if (pszPath == nullptr) {
    if (pErr != nullptr) *pErr = EINVAL;
    return -1;
  }
  int flags = O_RDONLY | O_LARGEFILE | O_CLOEXEC;
  if (bDirectIo) flags |= O_DIRECT;
  int fd;
  do {
    fd = open64(pszPath, flags, 0400);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && pErr != nullptr) *pErr = errno;
  return fd;
}

void CAsyncIoManager2::Close(int nFd) {
  if (nFd != -1) close(nFd);
}
