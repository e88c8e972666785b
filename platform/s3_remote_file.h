// The S3 kind of OZBaseRemoteFile (platform/remote_file.h): objects of a bucket on an
// S3-compatible endpoint, reached through Debian's libs3 2.0 (version-2 signatures, path-style
// requests). A store's root folder names it: "s3://HOST[:PORT]/BUCKET[/PREFIX]"; object names
// map to keys under PREFIX.
//
// What the endpoint is asked, and what it cannot do:
//   - Initialize GETs a key that is never written: NoSuchKey (or the object) means that the bucket
//     exists and the credentials are good; NoSuchBucket, a bad signature or a refused access fail.
//     No bucket is created, and the endpoint is never asked for a bucket listing or a location.
//   - An object written is spooled in an unlinked file (in TMPDIR, else /var/tmp) and put whole
//     at CloseFile (libs3 2.0 has no multipart upload, so an object stops at 5 GiB: a write past
//     it fails). A failed put leaves the stored object as it was and drops the spool.
//   - Reading HEADs the object for its size, then reads it in ranged GETs; with a read-ahead limit
//     (m_iReadAheadThreadLimit when the object is opened) that many 4 MiB ranges ahead of the reader
//     are fetched at once by threads of the object.
//   - The endpoint reports no free space (GetFreeSpace fails with EOPNOTSUPP), assigns no object
//     ids, keeps no retention (SetRetentionTime is only recorded), and this kind neither lists,
//     renames nor deletes objects (EOPNOTSUPP).
// A request that fails with a status that S3_status_is_retryable accepts (a refused or reset
// connection, a transfer slower than libs3's low-speed limit, a server's internal error), and a
// put whose connection breaks off inside its body, is sent again whole, "CloudS3RequestRetries"
// more times, "CloudS3RetryIntervalMs" apart (XOSLEEP).
// Settings of section "ZovadAdeve", read when the object is made: "CloudS3UseHttps" (1),
// "CloudS3RequestRetries" (3), "CloudS3RetryIntervalMs" (1000).
//
// Each S3 status becomes an errno value (the table is in s3_request.cc) and through
// MMS2BaseError::ConvertToMMError a media manager code; the error's text names the endpoint, the
// bucket, the key, the status and the server's message, never the credentials.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/remote_file.h"

namespace platform::s3 {

// A parsed root folder.
struct Endpoint {
  std::string host;    // "HOST" or "HOST:PORT", as requests name it
  std::string bucket;
  std::string prefix;  // the keys' common start without slashes at either end; empty: none
};

// Whether the text names an S3 endpoint ("s3://" first) rather than a folder.
bool IsEndpointText(const std::string& text);
// Parses "s3://HOST[:PORT]/BUCKET[/PREFIX]" (trailing slashes allowed): HOST of letters, digits,
// '.', '-' and '_'; PORT 1 to 65535; BUCKET of 3 to 255 letters, digits, '.', '-' and '_';
// PREFIX of any characters but control ones, without "..", below 1024 bytes. False otherwise.
bool ParseRoot(const std::string& root, Endpoint& endpoint);
// The key of the object `name` of the store at `root` (parsed as `endpoint`): `name` is either
// `root` followed by "/" and the object's path, or that path alone. Empty and "." parts are
// dropped. 0; or ENOENT for a name outside the root (another endpoint, a local path, a ".."
// part, the root itself), EINVAL for a control character, ENAMETOOLONG for a key past 1024 bytes.
int ObjectKey(const std::string& root, const Endpoint& endpoint, const std::string& name, std::string& key);

// Called before each request of the S3 kind is sent ("GET", "HEAD", "PUT") and before each piece
// of a put's body ("PUT-BODY"), with the key and the try (from 1); from any thread. Tests use it
// to stop the server or kill a process at a chosen point. Null: none.
using RequestHook = std::function<void(const std::string& method, const std::string& key, int attempt)>;
void SetRequestHook(RequestHook hook);

struct Connection;
class ReadAhead;

}  // namespace platform::s3

class CS3RemoteFile final : public OZBaseRemoteFile {
 public:
  // `accessKey` and `secret` are kept for the requests only.
  CS3RemoteFile(int deviceType, const std::string& rootFolder, const platform::s3::Endpoint& endpoint,
                const std::string& accessKey, const std::string& secret, long long jobId);
  ~CS3RemoteFile() override;

  int Initialize() override;
  // kRFModeRead opens a stored object (ENOENT when there is none); kRFModeWriteNew or
  // kRFModeCreate starts a new one; kRFModeWrite alone is refused with EOPNOTSUPP.
  int OpenFile(const std::string& name, int mode, long long value) override;
  int ReadFile(void* buffer, unsigned int length, unsigned int& done) override;
  int WriteFile(const void* buffer, unsigned int length) override;
  int SeekFile(long long offset) override;
  int CloseFile() override;
  int DeleteFile(const std::string& name) override;
  int RenameFile(const std::string& from, const std::string& to, int flags) override;
  int FileExists(const std::string& name, bool& exists) override;
  int GetFileList(const std::string& folder, std::vector<OZRFInfo>& files, std::vector<std::string>& folders,
                  int withSizes, int recursive) override;
  int GetFreeSpace(unsigned long long& totalBytes, unsigned long long& freeBytes) override;

  // The largest object this kind writes.
  static constexpr uint64_t kMaxObjectBytes = 5ULL << 30;
  // The span of one read-ahead request.
  static constexpr uint64_t kReadAheadWindowBytes = 4ULL << 20;

 private:
  enum class OpenState { kClosed, kReading, kWriting };

  // Fails with `err` and a text naming the object (the open one, or `name`) and the endpoint.
  int Refuse(const FXCodeLocation& where, int err, const char* what);
  int Refuse(const FXCodeLocation& where, int err, const char* what, const std::string& name);
  // Ends whatever is open without storing anything.
  void Abandon();
  void DropSpool();
  int OpenSpool();
  void TakeReadAheadCounts();

  platform::s3::Endpoint m_Endpoint;
  std::unique_ptr<platform::s3::Connection> m_pConnection;
  OpenState m_State = OpenState::kClosed;
  std::string m_strOpenName;
  std::string m_strKey;
  uint64_t m_ullSize = 0;      // reading: the object's size; writing: the spool's
  uint64_t m_ullPosition = 0;
  int m_iSpoolFd = -1;
  int32_t m_iOpenReadAhead = 0;  // the read-ahead limit in force for the open object
  std::unique_ptr<platform::s3::ReadAhead> m_pReadAhead;
};
