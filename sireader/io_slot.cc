// One read slot: waiting for its read, polling and cancelling it. The host thread that uses the
// slot runs these; the read itself belongs to the kernel (native) or a pool thread (simulated).

#include <cerrno>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "platform/async_io.h"
#include "platform/logging.h"
#include "sireader/async_io_internal.h"

namespace {

// How often a native read whose wait failed is polled until it has ended.
constexpr uint32_t kInFlightPollMs = 1;

// Waits for a native read in flight (or polls it once when `wait` is false) and takes its result.
// False when the read is still in flight.
bool CollectNativeRead(IoSlot& slot, bool wait) {
  if (!wait && platform::AioError(&slot.aiocb) == EINPROGRESS) return false;
  const aiocb64* list[1] = {&slot.aiocb};
  int rc;
  do {
    rc = platform::AioSuspend(list, 1, nullptr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    // The wait failed, but the read may still be writing into the staging buffer: a slot marked
    // done now could be freed and reused under it. Wait for the read to end, then take its own
    // result.
    while (platform::AioError(&slot.aiocb) == EINPROGRESS) XOSLEEP(kInFlightPollMs);
  }
  int err = platform::AioError(&slot.aiocb);
  ssize_t count = platform::AioReturn(&slot.aiocb);
  ozassert(err != EINPROGRESS, "XOERR_GET_ERRNO (LastError) != EINPROGRESS", __FILE__, __func__, __LINE__);
  if (count >= 0) {
    slot.LastError = CXoError::Success();
    slot.ullBytesRead = static_cast<uint64_t>(count);
  } else {
    slot.LastError = FXErrorUtil::ErrorErrNo(AIO_LOCATION, err != 0 ? err : EIO,
                                             "The read at offset [%llu] failed",
                                             static_cast<unsigned long long>(slot.ullOffset));
  }
  return true;
}

}  // namespace

int IoSlot::WaitForIO(bool bWait) {
  if (bDone.load(std::memory_order_acquire)) {
    // A pool thread sets the event right after it marks the slot done. Passing through the event
    // makes sure the thread has let go of the slot before the host frees, reuses or deletes it.
    if (bSimulated && pEvent != nullptr) pEvent->wait(async_io::kWaitForever);
    return 0;
  }
  if (!bSimulated) {
    if (!CollectNativeRead(*this, bWait)) return 1;
  } else if (pEvent == nullptr || !pEvent->wait(bWait ? async_io::kWaitForever : 0)) {
    return 1;
  }
  llIoTime = CTimeStamp::Now() - tsSubmit;
  bDone.store(true, std::memory_order_release);
  return 0;
}

bool IoSlot::IsComplete() {
  // Only WaitForIO's own answer counts: a second look at bDone could find it set by a pool
  // thread that has not yet set the event, and the host would free the slot under that thread.
  return WaitForIO(false) == 0;
}

int IoSlot::CancelIO() {
  if (IsComplete()) return 0;
  if (!bSimulated) return -1;  // a native read in flight cannot be cancelled
  bCancel.store(true);
  return 0;
}
