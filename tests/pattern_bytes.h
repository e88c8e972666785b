// Deterministic bytes for the tests' streams and chunks: the same seed gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

inline std::string PatternBytes(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = rng();
    for (size_t j = 0; j < 8 && i + j < n; ++j) s[i + j] = static_cast<char>(v >> (8 * j));
  }
  return s;
}
