#include "platform/crc32.h"

#include <isa-l/crc.h>

void CXoCRC32::UpdateCRC32(const unsigned char* data, unsigned int length) {
  if (data == nullptr || length == 0) return;
  m_reg = ~crc32_gzip_refl(~m_reg, data, length);
}

uint32_t CXoCRC32::Of(const void* data, unsigned int length) {
  CXoCRC32 crc;
  crc.UpdateCRC32(static_cast<const unsigned char*>(data), length);
  return crc.Final();
}
