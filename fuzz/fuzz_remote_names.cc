// Arbitrary root folders and object names through the remote-file library's naming, for both
// kinds of store: the root folder parsing, the S3 kind's keys and the folder store's object
// paths must not crash, and every key or path they give must lie inside its root: below the
// S3 prefix, below the root folder, with no ".." part.
//
// The input is a root and a name separated by the first line feed; the first byte picks the kind
// ("s3://" or "/" before the rest of the root). The name is tried alone and after the root.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_seeds.h"
#include "platform/cloud_store.h"
#include "platform/remote_file.h"
#include "platform/s3_remote_file.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool HasDotDotPart(const std::string& path) {
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (path.compare(at, end - at, "..") == 0 && end - at == 2) return true;
    at = end + 1;
  }
  return false;
}

void CheckKey(const std::string& root, const platform::s3::Endpoint& endpoint, const std::string& name) {
  std::string key;
  if (platform::s3::ObjectKey(root, endpoint, name, key) != 0) return;
  Check(!key.empty() && key.size() <= 1024);
  Check(key.front() != '/' && key.back() != '/' && key.find("//") == std::string::npos);
  Check(!HasDotDotPart(key));
  for (char c : key) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  if (!endpoint.prefix.empty()) {
    Check(key.size() > endpoint.prefix.size() + 1 && key.compare(0, endpoint.prefix.size(), endpoint.prefix) == 0 &&
          key[endpoint.prefix.size()] == '/');
  }
}

void CheckPath(const std::string& root, const std::string& name) {
  std::string path;
  if (platform::objectstore::Resolve(root, name, path) != 0) return;
  Check(path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/'));
  Check(!HasDotDotPart(path));
}

// Roots and names as volumes and chunks have them, on both kinds.
std::vector<std::string> Seeds() {
  return {std::string("\x01") + "127.0.0.1:4569/bucket/prefix\nV_12/CHUNK_345/CHUNK_META_DATA_345",
          std::string("\x01") + "s3.example:80/backups\nV_1/MEDIA_HEADER",
          std::string("\x00", 1) + "mnt/cloud/OZ_MAGNETIC\nV_7/CHUNK_9/SFILE_CONTAINER_001",
          std::string("\x00", 1) + "srv/store\n../V_2/./CHUNK_3"};
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = text.find('\n');
  const std::string tail = text.substr(0, split);
  const std::string name = split == std::string::npos ? std::string() : text.substr(split + 1);
  const bool s3 = (data[0] & 1) != 0;
  const std::string host = (s3 ? "s3://" : "/") + tail;

  std::string root, rest;
  if (OZBaseRemoteFile::GetRootFolderForRemoteHost(host, root, rest) == 0) return 0;
  Check(!root.empty() && rest.empty() && root.back() != '/');
  if (s3) {
    platform::s3::Endpoint endpoint;
    Check(platform::s3::ParseRoot(root, endpoint));
    Check(!endpoint.host.empty() && endpoint.bucket.size() >= 3);
    CheckKey(root, endpoint, name);
    CheckKey(root, endpoint, root + "/" + name);
  } else {
    CheckPath(root, name);
    CheckPath(root, root + "/" + name);
  }
  return 0;
}
