// Requests of the S3 kind through libs3 2.0: synchronous calls (no request context), version-2
// signatures, path-style URIs. A try that fails with a status that S3_status_is_retryable accepts
// is followed by another, whole, after the connection's interval, while tries are left. So is a
// put whose connection broke off once its body had begun: libs3 names that its own InternalError,
// which it does not count as retryable, while the connection was reset as much as one that
// breaks off before the body.
//
// The one table from S3 statuses to errno values (and, through MMS2BaseError::ConvertToMMError,
// to media manager codes):
//
//   errno          media manager  S3 statuses
//   ENOENT         993            ErrorNoSuchKey, ErrorNoSuchBucket, HttpErrorNotFound
//   EACCES         996            ErrorAccessDenied, ErrorInvalidAccessKeyId, ErrorSignatureDoesNotMatch,
//                                 ErrorAccountProblem, ErrorCredentialsNotSupported, ErrorExpiredToken,
//                                 ErrorInvalidToken, ErrorTokenRefreshRequired, ErrorNotSignedUp,
//                                 ErrorInvalidSecurity, ErrorMissingSecurityElement,
//                                 ErrorMissingSecurityHeader, ErrorRequestTimeTooSkewed,
//                                 HttpErrorForbidden, ServerFailedVerification
//   EHOSTUNREACH   1207           NameLookupError
//   ECONNREFUSED   1207           FailedToConnect
//   ECONNRESET     1207           ConnectionFailed, Interrupted; InternalError of a put whose
//                                 connection broke off once its body had begun
//   ETIMEDOUT      1207           ErrorRequestTimeout
//   ENOMEM         104            OutOfMemory
//   EFBIG          103            ErrorEntityTooLarge, ErrorMaxMessageLengthExceeded
//   ENAMETOOLONG   103            KeyTooLong, UriTooLong, ErrorKeyTooLong, the InvalidBucketName statuses
//   EINVAL         103            ErrorInvalidArgument, ErrorInvalidRange, ErrorInvalidURI,
//                                 ErrorInvalidBucketName, ErrorMalformedXML, HttpErrorBadRequest,
//                                 the request-building statuses (bad headers, too long texts)
//   EOPNOTSUPP     789            ErrorNotImplemented, ErrorMethodNotAllowed
//   EBUSY          792            ErrorSlowDown, ErrorOperationAborted, HttpErrorConflict,
//                                 ErrorBucketNotEmpty
//   EEXIST         975            ErrorBucketAlreadyExists, ErrorBucketAlreadyOwnedByYou
//   EIO            762            every other status (the server's internal error, a bad digest, an
//                                 incomplete body, a redirect, an unknown error)
// AbortedByCallback carries the errno of the callback that stopped the request (a spool that
// could not be read, a server that sent more bytes than asked).

#include "platform/s3_request.h"

#include <dlfcn.h>
#include <libs3.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/s3_remote_file.h"
#include "platform/threads.h"

namespace platform::s3 {

namespace {

struct StatusRow {
  S3Status status;
  int err;
};

constexpr StatusRow kStatusTable[] = {
    {S3StatusOK, 0},
    {S3StatusErrorNoSuchKey, ENOENT},
    {S3StatusErrorNoSuchBucket, ENOENT},
    {S3StatusHttpErrorNotFound, ENOENT},
    {S3StatusErrorAccessDenied, EACCES},
    {S3StatusErrorInvalidAccessKeyId, EACCES},
    {S3StatusErrorSignatureDoesNotMatch, EACCES},
    {S3StatusErrorAccountProblem, EACCES},
    {S3StatusErrorCredentialsNotSupported, EACCES},
    {S3StatusErrorExpiredToken, EACCES},
    {S3StatusErrorInvalidToken, EACCES},
    {S3StatusErrorTokenRefreshRequired, EACCES},
    {S3StatusErrorNotSignedUp, EACCES},
    {S3StatusErrorInvalidSecurity, EACCES},
    {S3StatusErrorMissingSecurityElement, EACCES},
    {S3StatusErrorMissingSecurityHeader, EACCES},
    {S3StatusErrorRequestTimeTooSkewed, EACCES},
    {S3StatusHttpErrorForbidden, EACCES},
    {S3StatusServerFailedVerification, EACCES},
    {S3StatusNameLookupError, EHOSTUNREACH},
    {S3StatusFailedToConnect, ECONNREFUSED},
    {S3StatusConnectionFailed, ECONNRESET},
    {S3StatusInterrupted, ECONNRESET},
    {S3StatusErrorRequestTimeout, ETIMEDOUT},
    {S3StatusOutOfMemory, ENOMEM},
    {S3StatusErrorEntityTooLarge, EFBIG},
    {S3StatusErrorMaxMessageLengthExceeded, EFBIG},
    {S3StatusKeyTooLong, ENAMETOOLONG},
    {S3StatusUriTooLong, ENAMETOOLONG},
    {S3StatusErrorKeyTooLong, ENAMETOOLONG},
    {S3StatusInvalidBucketNameTooLong, ENAMETOOLONG},
    {S3StatusInvalidBucketNameFirstCharacter, ENAMETOOLONG},
    {S3StatusInvalidBucketNameCharacter, ENAMETOOLONG},
    {S3StatusInvalidBucketNameCharacterSequence, ENAMETOOLONG},
    {S3StatusInvalidBucketNameTooShort, ENAMETOOLONG},
    {S3StatusInvalidBucketNameDotQuadNotation, ENAMETOOLONG},
    {S3StatusErrorInvalidArgument, EINVAL},
    {S3StatusErrorInvalidRange, EINVAL},
    {S3StatusErrorInvalidURI, EINVAL},
    {S3StatusErrorInvalidBucketName, EINVAL},
    {S3StatusErrorMalformedXML, EINVAL},
    {S3StatusHttpErrorBadRequest, EINVAL},
    {S3StatusQueryParamsTooLong, EINVAL},
    {S3StatusFailedToInitializeRequest, EINVAL},
    {S3StatusMetaDataHeadersTooLong, EINVAL},
    {S3StatusBadMetaData, EINVAL},
    {S3StatusHeadersTooLong, EINVAL},
    {S3StatusErrorNotImplemented, EOPNOTSUPP},
    {S3StatusErrorMethodNotAllowed, EOPNOTSUPP},
    {S3StatusErrorSlowDown, EBUSY},
    {S3StatusErrorOperationAborted, EBUSY},
    {S3StatusHttpErrorConflict, EBUSY},
    {S3StatusErrorBucketNotEmpty, EBUSY},
    {S3StatusErrorBucketAlreadyExists, EEXIST},
    {S3StatusErrorBucketAlreadyOwnedByYou, EEXIST},
};

std::mutex& HookMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

RequestHook& Hook() {
  static RequestHook* hook = new RequestHook;
  return *hook;
}

void CallHook(const char* method, const std::string& key, int attempt) {
  RequestHook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  if (hook) hook(method, key, attempt);
}

// One request's state, handed to libs3's callbacks.
struct Exchange {
  const std::string* key = nullptr;
  int attempt = 0;
  S3Status status = S3StatusInternalError;
  std::string serverMessage;
  int callbackErr = 0;  // why a callback stopped the request
  // Put: the spool and what was handed over.
  bool put = false;
  int fd = -1;
  uint64_t size = 0;
  uint64_t sent = 0;
  // Get: where the bytes go (null: dropped) and how many fit.
  char* buffer = nullptr;
  uint64_t capacity = 0;
  uint64_t got = 0;
  // Head.
  uint64_t contentLength = 0;
};

S3Status OnProperties(const S3ResponseProperties* properties, void* data) {
  auto* x = static_cast<Exchange*>(data);
  if (properties != nullptr) x->contentLength = properties->contentLength;
  return S3StatusOK;
}

void OnComplete(S3Status status, const S3ErrorDetails* details, void* data) {
  auto* x = static_cast<Exchange*>(data);
  x->status = status;
  if (details != nullptr && details->message != nullptr) x->serverMessage = details->message;
}

int OnPutData(int bufferSize, char* buffer, void* data) {
  auto* x = static_cast<Exchange*>(data);
  if (x->sent >= x->size || bufferSize <= 0) return 0;
  CallHook("PUT-BODY", *x->key, x->attempt);
  const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(bufferSize), x->size - x->sent);
  ssize_t n;
  do {
    n = ::pread(x->fd, buffer, want, static_cast<off_t>(x->sent));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    x->callbackErr = n < 0 ? errno : EIO;
    return -1;
  }
  x->sent += static_cast<uint64_t>(n);
  return static_cast<int>(n);
}

S3Status OnGetData(int bufferSize, const char* buffer, void* data) {
  auto* x = static_cast<Exchange*>(data);
  if (x->buffer == nullptr) return S3StatusOK;  // a probe drops what it gets
  const uint64_t n = static_cast<uint64_t>(bufferSize);
  if (n > x->capacity - x->got) {
    x->callbackErr = EIO;  // more than was asked for: the range cannot be trusted
    return S3StatusAbortedByCallback;
  }
  std::memcpy(x->buffer + x->got, buffer, n);
  x->got += n;
  return S3StatusOK;
}

struct Library {
  S3Status status = S3StatusInternalError;
};

const Library& TheLibrary() {
  static Library* library = [] {
    auto* l = new Library;
    l->status = S3_initialize("mfs", S3_INIT_ALL, nullptr);
    // libs3 parses its answers with libxml2, whose global state is set up lazily by its first
    // user unless the parser is initialised once beforehand: two threads parsing their first
    // answers at once would both set it up. libxml2 is loaded with libs3.
    if (auto init = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "xmlInitParser"))) init();
    return l;
  }();
  return *library;
}

S3BucketContext BucketOf(const Connection& c) {
  S3BucketContext bucket{};
  bucket.hostName = c.host.c_str();
  bucket.bucketName = c.bucket.c_str();
  bucket.protocol = c.https ? S3ProtocolHTTPS : S3ProtocolHTTP;
  bucket.uriStyle = S3UriStylePath;
  bucket.accessKeyId = c.accessKey.c_str();
  bucket.secretAccessKey = c.secret.c_str();
  return bucket;
}

// Whether a failed put lost its connection once its body had begun (inside the body, or while
// its answer was awaited). libs3 gives every transfer failure of curl that it has no status for
// as InternalError; a failure of the library before the request went out sends no body, and a
// spool that could not be read stops the request through the callback.
bool BrokeOffInsideAPut(const Exchange& x) {
  return x.put && x.status == S3StatusInternalError && x.callbackErr == 0 && x.sent > 0;
}

CXoError ErrorOf(const Connection& c, const char* method, const std::string& key, const Exchange& x) {
  int err = x.status == S3StatusAbortedByCallback && x.callbackErr != 0 ? x.callbackErr : ErrnoOfStatus(x.status);
  if (BrokeOffInsideAPut(x)) err = ECONNRESET;
  return FXErrorUtil::ErrorErrNo(FX_LOCATION, err,
                                 "S3 %s of key [%s] in bucket [%s] at [%s://%s] failed with status [%s]%s, server "
                                 "message [%s]",
                                 method, key.c_str(), c.bucket.c_str(), c.https ? "https" : "http", c.host.c_str(),
                                 S3_get_status_name(x.status),
                                 BrokeOffInsideAPut(x) ? " (the connection broke off inside the body)" : "",
                                 x.serverMessage.empty() ? "none" : x.serverMessage.c_str());
}

// Sends a request until it succeeds, fails for good or runs out of tries. `send` makes one try
// with a fresh exchange; `accept` may take a failed status as the answer wanted.
template <typename Send>
CXoError Run(const Connection& c, const char* method, const std::string& key, Exchange& x, Send send,
             bool (*accept)(S3Status) = nullptr) {
  if (!LibraryReady()) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "libs3 could not be set up: status [%s]",
                                   S3_get_status_name(TheLibrary().status));
  }
  const int tries = 1 + (c.retries > 0 ? c.retries : 0);
  for (int attempt = 1;; ++attempt) {
    x.attempt = attempt;
    x.status = S3StatusInternalError;
    x.serverMessage.clear();
    x.callbackErr = 0;
    CallHook(method, key, attempt);
    send();
    if (x.status == S3StatusOK || (accept != nullptr && accept(x.status))) return CXoError::Success();
    CXoError e = ErrorOf(c, method, key, x);
    const bool retryable = S3_status_is_retryable(x.status) || BrokeOffInsideAPut(x);
    if (!retryable || attempt >= tries) return e;
    if (c.log) {
      c.log(1, e.Message() + "; try " + std::to_string(attempt + 1) + " of " + std::to_string(tries) + " in " +
                   std::to_string(c.retryIntervalMs) + " ms");
    }
    if (c.retryIntervalMs > 0) XOSLEEP(static_cast<uint32_t>(c.retryIntervalMs));
  }
}

}  // namespace

void SetRequestHook(RequestHook hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  Hook() = std::move(hook);
}

int ErrnoOfStatus(int status) {
  for (const StatusRow& row : kStatusTable) {
    if (row.status == status) return row.err;
  }
  return EIO;
}

bool LibraryReady() { return TheLibrary().status == S3StatusOK; }

CXoError PutObject(const Connection& c, const std::string& key, int fd, uint64_t size) {
  const S3BucketContext bucket = BucketOf(c);
  S3PutObjectHandler handler{{&OnProperties, &OnComplete}, &OnPutData};
  Exchange x;
  x.key = &key;
  x.put = true;
  x.fd = fd;
  x.size = size;
  // Every try sends the whole object from its first byte, with its whole length announced, so a
  // try that succeeds stores the whole object over whatever an earlier, broken try left.
  return Run(c, "PUT", key, x, [&] {
    x.sent = 0;
    S3_put_object(&bucket, key.c_str(), size, nullptr, nullptr, &handler, &x);
  });
}

CXoError GetRange(const Connection& c, const std::string& key, uint64_t offset, uint64_t length, char* buffer,
                  uint64_t& got) {
  got = 0;
  if (length == 0) return CXoError::Success();
  const S3BucketContext bucket = BucketOf(c);
  S3GetObjectHandler handler{{&OnProperties, &OnComplete}, &OnGetData};
  Exchange x;
  x.key = &key;
  x.buffer = buffer;
  x.capacity = length;
  CXoError e = Run(c, "GET", key, x, [&] {
    x.got = 0;
    S3_get_object(&bucket, key.c_str(), nullptr, offset, length, nullptr, &handler, &x);
  });
  if (e.IsSuccess()) got = x.got;
  return e;
}

CXoError HeadObject(const Connection& c, const std::string& key, uint64_t& size) {
  const S3BucketContext bucket = BucketOf(c);
  S3ResponseHandler handler{&OnProperties, &OnComplete};
  Exchange x;
  x.key = &key;
  CXoError e = Run(c, "HEAD", key, x, [&] {
    x.contentLength = 0;
    S3_head_object(&bucket, key.c_str(), nullptr, &handler, &x);
  });
  if (e.IsSuccess()) size = x.contentLength;
  return e;
}

CXoError ProbeBucket(const Connection& c, const std::string& key) {
  const S3BucketContext bucket = BucketOf(c);
  S3GetObjectHandler handler{{&OnProperties, &OnComplete}, &OnGetData};
  Exchange x;
  x.key = &key;
  return Run(
      c, "GET", key, x, [&] { S3_get_object(&bucket, key.c_str(), nullptr, 0, 0, nullptr, &handler, &x); },
      [](S3Status status) { return status == S3StatusErrorNoSuchKey; });
}

}  // namespace platform::s3

// libs3 2.0 stamps each request's date through gmtime(), whose one result buffer all threads
// share: two requests started at once on two threads may mix their dates' fields, and at the turn
// of a minute or an hour a request goes out stamped far enough off to be refused as too skewed.
// This definition, which the process's calls find before the C library's, gives each thread a
// buffer of its own; every other caller keeps what gmtime promises.
extern "C" struct tm* gmtime(const time_t* t) {
  static thread_local struct tm result;
  return gmtime_r(t, &result);
}
