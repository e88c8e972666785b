// POSIX asynchronous reads (REAL), through one narrow door so that a test can make a chosen call
// fail. Each function does what the POSIX call of the same name does, unless a rule fakes it:
// - Read: returns -1 with errno `err`, and no read is started;
// - Suspend: returns -1 with errno `err` at once, while the read goes on;
// - Error: answers `err` instead of the read's state; EINPROGRESS makes a read look still in
//   flight (only EINPROGRESS keeps the caller from taking the result of a read still running);
// - Return: returns -1 with errno `err`.
// Counting starts when a rule is added; calls are counted per operation since the last reset
// (platform::ResetAll). A process that never adds a rule pays one relaxed load per call.
#pragma once

#include <aio.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>

namespace platform {

enum class AioOp { Read, Suspend, Error, Return };

struct AioFaultRule {
  AioOp op = AioOp::Read;
  int nth = 1;    // the first call that is faked, counted from 1 (below 1: 1)
  int times = 1;  // how many calls are faked from there on; -1 for all of them
  int err = EIO;
};

int AioRead(aiocb64* cb);
int AioSuspend(const aiocb64* const list[], int count, const timespec* timeout);
int AioError(const aiocb64* cb);
ssize_t AioReturn(aiocb64* cb);

void AddAioFault(const AioFaultRule& rule);
long long AioCalls(AioOp op);
void ResetAsyncIo();

}  // namespace platform
