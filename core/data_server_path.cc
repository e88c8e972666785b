// Path texts: backslashes to slashes, and the data server mount path grammar
// "WORD|n1|n2|host|n3|path".

#include <climits>
#include <cstdlib>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

// A number field read like "%d": leading blanks and a sign, digits up to the first other
// character, 0 without digits; saturated instead of overflowing.
int32_t ParseNumberField(const std::string& field) {
  const long long v = std::strtoll(field.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
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

  std::string field;
  if (!nextField(field) || field.empty()) return 0;
  info.m_Number1 = ParseNumberField(field);
  if (!nextField(field) || field.empty()) return 0;
  info.m_Number2 = ParseNumberField(field);
  if (!nextField(field)) return 0;
  if (!field.empty()) info.m_Host = field;
  if (!nextField(field) || field.empty()) return 0;
  info.m_Number3 = ParseNumberField(field);

  const std::string rest = path.substr(bar + 1);
  if (rest.find('|') != std::string::npos || rest.empty()) return 0;
  info.m_Path = rest;
  return 1;
}

bool media_fs::IsDataServerMountPath(std::string path) {
  for (const char* prefix : {"IP|", "SAN|", "FC|", "ISCSI|"}) {
    if (path.rfind(prefix, 0) == 0) return true;
  }
  return false;
}
