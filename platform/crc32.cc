#include "platform/crc32.h"

#include <zlib.h>

// zlib's crc32 takes and returns the finished (complemented) value, so the register is
// complemented on the way in and out; a chain of updates then equals one update over the whole.
void CXoCRC32::UpdateCRC32(const unsigned char* data, unsigned int length) {
  if (data == nullptr || length == 0) return;
  uLong crc = static_cast<uLong>(~m_reg & 0xFFFFFFFFu);
  crc = ::crc32(crc, data, length);
  m_reg = ~static_cast<uint32_t>(crc);
}

uint32_t CXoCRC32::Of(const void* data, unsigned int length) {
  CXoCRC32 crc;
  crc.UpdateCRC32(static_cast<const unsigned char*>(data), length);
  return crc.Final();
}
