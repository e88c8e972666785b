// Mount path texts: backslashes to slashes, the data server grammar "WORD|n1|n2|host|n3|path",
// and the tests for Gluster volumes of the scale-out storage and for the distributed storage.

#include <atomic>
#include <cctype>
#include <climits>
#include <optional>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "core/mount_path_text.h"
#include "platform/platform.h"
#include "platform/scale_out_storage.h"

namespace {

// A number field read like "%d": leading blanks and a sign, digits up to the first other
// character, 0 without digits. A value outside the 32-bit range has no meaning: nothing.
std::optional<int32_t> ParseNumberField(const std::string& field) {
  size_t i = 0;
  while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i]))) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT32_MIN) : INT32_MAX;
  for (; i < field.size() && std::isdigit(static_cast<unsigned char>(field[i])); ++i) {
    value = value * 10 + (field[i] - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

// Whether Gluster support is on: -1 until the first IsGlusterMountPath reads "nEnableLibGFAPI",
// then 1 or 0 for the rest of the process. Threads that make their first call together compute
// the same value.
std::atomic<long long> lEnableLibGFAPI{-1};
std::atomic<bool> bEnableLibGFAPISupport{false};

void ResetGlusterSupport() {
  bEnableLibGFAPISupport.store(false);
  lEnableLibGFAPI.store(-1);
}

[[maybe_unused]] const bool kGlusterResetRegistered = (platform::RegisterReset(&ResetGlusterSupport), true);

bool GlusterSupportOn() {
  if (lEnableLibGFAPI.load(std::memory_order_acquire) == -1) {
    long long value = 0;
    OZPlatformInfo info;
    const bool on = info.getNumber("ZovadAdeve", "nEnableLibGFAPI", &value) && value >= 1;
    bEnableLibGFAPISupport.store(on, std::memory_order_relaxed);
    lEnableLibGFAPI.store(on ? 1 : 0, std::memory_order_release);
  }
  return bEnableLibGFAPISupport.load(std::memory_order_relaxed);
}

}  // namespace

std::string convertSlashes(const char* path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

int media_fs::ParseDataServerMountPath(std::string path, DataServerMountPathInfo& info) {
  size_t bar = path.find('|');
  if (bar == std::string::npos) return 0;
  const std::string word = path.substr(0, bar);
  int32_t transport;
  if (word == "IP") {
    transport = kDataServerTransportIp;
  } else if (word == "SAN" || word == "FC") {
    transport = kDataServerTransportSanOrFc;
  } else if (word == "ISCSI") {
    transport = kDataServerTransportIscsi;
  } else {
    return 0;
  }
  info.m_Transport = transport;
  info.m_IsDataServer = true;

  // The next field: the text up to the next bar. False when there is no further bar.
  auto nextField = [&path, &bar](std::string& field) {
    const size_t start = bar + 1;
    const size_t next = path.find('|', start);
    if (next == std::string::npos) return false;
    field = path.substr(start, next - start);
    bar = next;
    return true;
  };
  // The next field as a number into `out`; false when it is missing, empty or out of range.
  std::string field;
  auto nextNumber = [&](int32_t& out) {
    if (!nextField(field) || field.empty()) return false;
    const std::optional<int32_t> n = ParseNumberField(field);
    if (!n) return false;
    out = *n;
    return true;
  };

  if (!nextNumber(info.m_Number1)) return 0;
  if (!nextNumber(info.m_Number2)) return 0;
  if (!nextField(field)) return 0;
  if (!field.empty()) info.m_Host = field;
  if (!nextNumber(info.m_Number3)) return 0;

  const std::string rest = path.substr(bar + 1);
  if (rest.find('|') != std::string::npos || rest.empty()) return 0;
  info.m_Path = rest;
  return 1;
}

bool HasDataServerTransportPrefix(const std::string& path) {
  for (const char* prefix : {"IP|", "SAN|", "FC|", "ISCSI|"}) {
    if (path.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

bool media_fs::IsDataServerMountPath(std::string path) {
  return IsGlusterMountPath(path) || HasDataServerTransportPrefix(path);
}

bool media_fs::IsGlusterMountPath(std::string path) {
  if (!GlusterSupportOn()) return false;
  lg_storage storage;
  return storage.is_on_gluster_volume(path);
}

bool media_fs::IsStrataformPath(const std::string& path) {
  return CSkarvoFS::IsSkarvoPath(path) || IsGlusterMountPath(path);
}

bool media_fs::ParseGlusterMountPath(std::string path, DataServerMountPathInfo& info) {
  lg_storage storage;
  std::string host, volume, innerPath;
  unsigned int port = 0;
  if (storage.extract_gluster_volume_info(path, host, volume, port, innerPath) != 0) return false;
  info.m_IsDataServer = true;
  info.m_Transport = kDataServerTransportGluster;
  info.m_Host = host;
  info.m_GlusterPort = port;
  info.m_GlusterVolume = volume;
  info.m_Path = innerPath;
  info.m_GlusterHost = host;
  return true;
}
