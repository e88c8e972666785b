// The S3 kind's names: root folder texts and the keys of object names. Pure text work, so the
// fuzz target can drive it without an endpoint.

#include <cerrno>
#include <string>
#include <vector>

#include "platform/s3_remote_file.h"

namespace platform::s3 {

namespace {

constexpr char kScheme[] = "s3://";
constexpr size_t kSchemeLength = sizeof(kScheme) - 1;
constexpr size_t kMaxKeyBytes = 1024;  // S3_MAX_KEY_SIZE
constexpr size_t kMinBucketChars = 3;
constexpr size_t kMaxBucketChars = 255;

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

bool AllNameChars(const std::string& text) {
  for (char c : text) {
    if (!IsNameChar(c)) return false;
  }
  return true;
}

bool HasControlChar(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The parts of a path between slashes, without empty and "." parts. False for a ".." part.
bool SplitPath(const std::string& path, std::vector<std::string>& parts) {
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(at, end - at);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    at = end + 1;
  }
  return true;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string joined;
  for (const std::string& part : parts) {
    if (!joined.empty()) joined += '/';
    joined += part;
  }
  return joined;
}

bool ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  return port >= 1 && port <= 65535;
}

}  // namespace

bool IsEndpointText(const std::string& text) { return text.compare(0, kSchemeLength, kScheme) == 0; }

bool ParseRoot(const std::string& root, Endpoint& endpoint) {
  if (!IsEndpointText(root) || HasControlChar(root)) return false;
  const std::string rest = root.substr(kSchemeLength);
  const size_t hostEnd = rest.find('/');
  if (hostEnd == std::string::npos) return false;  // no bucket
  const std::string authority = rest.substr(0, hostEnd);
  const size_t colon = authority.find(':');
  const std::string host = authority.substr(0, colon);
  if (host.empty() || !AllNameChars(host)) return false;
  if (colon != std::string::npos && !ParsePort(authority.substr(colon + 1))) return false;

  const size_t bucketEnd = rest.find('/', hostEnd + 1);
  const std::string bucket =
      rest.substr(hostEnd + 1, bucketEnd == std::string::npos ? std::string::npos : bucketEnd - hostEnd - 1);
  if (bucket.size() < kMinBucketChars || bucket.size() > kMaxBucketChars || !AllNameChars(bucket)) return false;

  std::vector<std::string> parts;
  if (bucketEnd != std::string::npos && !SplitPath(rest.substr(bucketEnd + 1), parts)) return false;
  std::string prefix = Join(parts);
  if (prefix.size() >= kMaxKeyBytes) return false;

  endpoint.host = authority;
  endpoint.bucket = bucket;
  endpoint.prefix = std::move(prefix);
  return true;
}

int ObjectKey(const std::string& root, const Endpoint& endpoint, const std::string& name, std::string& key) {
  std::string top = root;
  while (!top.empty() && top.back() == '/') top.pop_back();
  std::string path;
  if (IsEndpointText(name)) {
    const bool below = !top.empty() && name.compare(0, top.size(), top) == 0 &&
                       (name.size() == top.size() || name[top.size()] == '/');
    if (!below) return ENOENT;
    path = name.substr(top.size());
  } else if (!name.empty() && name[0] == '/') {
    return ENOENT;  // a local path is no object of an endpoint
  } else {
    path = name;
  }
  if (HasControlChar(path)) return EINVAL;
  std::vector<std::string> parts;
  if (!SplitPath(path, parts) || parts.empty()) return ENOENT;
  std::string objectPath = Join(parts);
  std::string full = endpoint.prefix.empty() ? objectPath : endpoint.prefix + "/" + objectPath;
  if (full.size() > kMaxKeyBytes) return ENAMETOOLONG;
  key = std::move(full);
  return 0;
}

}  // namespace platform::s3
