// Lengths of the long tests (kills, power cuts, trials, rounds, file sizes) from the environment:
// CI runs each test's short default, a soak run sets the variable.
//
//   const int kills = mfstest::EnvCount("MFS_CRASH_KILLS", 150);
#pragma once

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace mfstest {

// The whole number above 0 in environment variable `name`, at most T's largest; `fallback` when
// the variable is unset, empty or anything else.
template <typename T>
T EnvCount(const char* name, T fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0' || *text == '-') return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0) return fallback;
  constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<T>::max());
  return static_cast<T>(value < kMax ? value : kMax);
}

}  // namespace mfstest
