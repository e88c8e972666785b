// Byte order of on-disk integers. The store's formats are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint32_t ozhtonl(uint32_t v) { return __builtin_bswap32(v); }
inline uint32_t ozntohl(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t ozhtonll(uint64_t v) { return __builtin_bswap64(v); }
inline uint64_t ozntohll(uint64_t v) { return __builtin_bswap64(v); }
inline uint16_t ozhtons(uint16_t v) { return __builtin_bswap16(v); }
inline uint16_t ozntohs(uint16_t v) { return __builtin_bswap16(v); }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the host conversions assume little-endian");

// Reverses the bytes of an integer of `size` bytes (2, 4 or 8) in place; other sizes are left alone.
inline void ConvertByteOrder(void* value, size_t size) {
  auto* p = static_cast<unsigned char*>(value);
  if (size != 2 && size != 4 && size != 8) return;
  for (size_t i = 0, j = size - 1; i < j; ++i, --j) {
    unsigned char t = p[i];
    p[i] = p[j];
    p[j] = t;
  }
}

// Big-endian fields in a byte buffer, without alignment requirements.
inline void EncodeBE16(void* dst, uint16_t v) { v = ozhtons(v); std::memcpy(dst, &v, 2); }
inline void EncodeBE32(void* dst, uint32_t v) { v = ozhtonl(v); std::memcpy(dst, &v, 4); }
inline void EncodeBE64(void* dst, uint64_t v) { v = ozhtonll(v); std::memcpy(dst, &v, 8); }
inline uint16_t DecodeBE16(const void* src) { uint16_t v; std::memcpy(&v, src, 2); return ozntohs(v); }
inline uint32_t DecodeBE32(const void* src) { uint32_t v; std::memcpy(&v, src, 4); return ozntohl(v); }
inline uint64_t DecodeBE64(const void* src) { uint64_t v; std::memcpy(&v, src, 8); return ozntohll(v); }
