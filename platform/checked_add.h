// Sums of unsigned 64-bit offsets and lengths that come from names and records on the media: a
// sum that wraps past 2^64 would land on another place of the file, so it is either refused or
// held at the largest value.
#pragma once

#include <cstdint>
#include <limits>

// `a + b` into `sum`; false, with `sum` untouched, when the sum does not fit in 64 bits.
inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t& sum) {
  uint64_t s = 0;
  if (__builtin_add_overflow(a, b, &s)) return false;
  sum = s;
  return true;
}

// `a + b`, or the largest value when the sum does not fit: an end that lies beyond every file.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  uint64_t s = 0;
  return CheckedAdd(a, b, s) ? s : std::numeric_limits<uint64_t>::max();
}
