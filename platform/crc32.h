// CRC-32 of the utility library: the reflected CRC-32 of ISO-HDLC (zlib's crc32) at register
// level. The caller starts the register at 0xFFFFFFFF and stores its complement.
//
// The sums come from the storage acceleration library (isa-l), whose carry-less multiply routine
// gives zlib's values several times faster on the short records of the index files, where
// every read checks a CRC.
#pragma once

#include <cstdint>

class CXoCRC32 {
 public:
  explicit CXoCRC32(uint32_t reg = 0xFFFFFFFFu) : m_reg(reg) {}

  void UpdateCRC32(const unsigned char* data, unsigned int length);

  uint32_t GetRegister() const { return m_reg; }
  void SetRegister(uint32_t reg) { m_reg = reg; }
  // The complement of the register: the value a format stores.
  uint32_t Final() const { return ~m_reg; }

  // The stored CRC of one buffer (register from 0xFFFFFFFF, complemented).
  static uint32_t Of(const void* data, unsigned int length);

 private:
  uint32_t m_reg;
};
