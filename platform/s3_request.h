// Requests of the S3 kind (platform/s3_remote_file.h) through libs3, each sent again whole while
// it fails with a retryable status and tries are left. Every call may run on any thread: a
// Connection is only read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/error.h"

namespace platform::s3 {

struct Connection {
  std::string host;  // "HOST[:PORT]"
  std::string bucket;
  std::string accessKey;
  std::string secret;
  bool https = true;
  int retries = 3;           // further tries of a request that failed with a retryable status
  int retryIntervalMs = 1000;
  // Where the requests' messages go (level, text); may be empty.
  std::function<void(int, const std::string&)> log;
};

// Whether libs3 could be set up for this process (done once, on the first call).
bool LibraryReady();

// Puts the first `size` bytes of the file `fd` (read with pread, from offset 0 on each try) as
// the object `key`.
CXoError PutObject(const Connection& c, const std::string& key, int fd, uint64_t size);
// Reads `length` bytes of `key` from `offset` into `buffer`: fewer only at the object's end.
// `got` receives the bytes delivered by the try that succeeded.
CXoError GetRange(const Connection& c, const std::string& key, uint64_t offset, uint64_t length, char* buffer,
                  uint64_t& got);
// The size of the object `key`; ENOENT when there is none.
CXoError HeadObject(const Connection& c, const std::string& key, uint64_t& size);
// Asks for `key`, which is expected not to exist: success when the endpoint answers NoSuchKey
// (or with the object).
CXoError ProbeBucket(const Connection& c, const std::string& key);

// The errno value that stands for an S3 status (0 for success).
int ErrnoOfStatus(int status);

}  // namespace platform::s3
