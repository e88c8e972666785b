#include "platform/onmedia_label.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const char kLabelFirstLine[] = "OZ_ON_MEDIA_LABEL 1\n";
const char kMediaIdName[] = "uniqueMediaIdString ";

// The value of the line "name value" in the terminated text, or false.
bool FindValue(const std::string& text, const char* name, std::string& value) {
  size_t at = 0;
  const size_t nameLength = std::strlen(name);
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, nameLength, name) == 0) {
      value = text.substr(at + nameLength, end - at - nameLength);
      return true;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace

// ---- OzcBucket --------------------------------------------------------------------------------

OzcBucket::OzcBucket(const void* data, size_t length) {
  if (data == nullptr || length == 0) return;
  const auto* p = static_cast<const unsigned char*>(data);
  m_bytes = std::make_shared<std::vector<unsigned char>>(p, p + length);
}

void OzcBucket::detach() {
  if (shared()) m_bytes = std::make_shared<std::vector<unsigned char>>(*m_bytes);
}

unsigned char* OzcBucket::bytes() {
  detach();
  return empty() ? nullptr : m_bytes->data();
}

// ---- Label parameters and library -------------------------------------------------------------

void OZMAOMLParams::SetUniqueMediaId(const std::string& id) {
  std::snprintf(m_szUniqueMediaId, sizeof(m_szUniqueMediaId), "%s", id.c_str());
}

void OZOnMediaLabelLib::Fail(long long code, std::string text) {
  setErrorCode(code);
  m_strLastError = std::move(text);
}

int OZOnMediaLabelLib::VerifyOML(const char* block, const OZMAOMLParams* params) {
  if (block == nullptr || params == nullptr) {
    Fail(kLabelMismatch, "No label block or no label parameters to verify it against");
    return 0;
  }
  const char* end = static_cast<const char*>(std::memchr(block, '\0', kLabelBytes));
  const std::string text(block, end != nullptr ? static_cast<size_t>(end - block) : kLabelBytes);
  std::string id;
  if (text.compare(0, std::strlen(kLabelFirstLine), kLabelFirstLine) != 0 ||
      !FindValue(text, kMediaIdName, id)) {
    Fail(kLabelMismatch, "The first block of the tape is not an on-media label");
    return 0;
  }
  const std::string expected(params->m_szUniqueMediaId,
                             strnlen(params->m_szUniqueMediaId, OZMAOMLParams::kMediaIdChars));
  if (id.substr(0, OZMAOMLParams::kMediaIdChars) != expected) {
    Fail(kLabelMismatch, "The tape in the drive has the media id [" + id.substr(0, 64) +
                             "], expected [" + expected.substr(0, 64) + "]");
    return 0;
  }
  Fail(0, "");
  return 1;
}

int OZOnMediaLabelLib::getLastError(char* buffer, int size) const {
  if (buffer == nullptr || size <= 0) return -1;
  const size_t n = std::min(m_strLastError.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, m_strLastError.data(), n);
  buffer[n] = '\0';
  return 0;
}

namespace platform {

std::string FormatTapeLabel(const std::string& mediaId, size_t blockSize) {
  std::string text = std::string(kLabelFirstLine) + kMediaIdName + mediaId + "\n";
  const size_t size = std::max(blockSize, OZOnMediaLabelLib::kLabelBytes);
  text.resize(std::max(size, text.size() + 1), '\0');
  return text;
}

}  // namespace platform
