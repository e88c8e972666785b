// The seed of a crash or power-cut test's random choices.
//
// Without MFS_TEST_SEED a test draws from its own fixed seed, so CI tries the same kills and cuts
// every time. MFS_TEST_SEED (a number) turns each fixed seed into another, so a longer run does
// not first replay CI's sequence; each fixed seed of a test still gives its own sequence. The
// seed is printed when it is taken, at the start of the test, so a failure's output names the
// MFS_TEST_SEED that repeats it.
//
//   std::mt19937_64 rng(mfstest::Seed(7));
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace mfstest {

// MFS_TEST_SEED, when it is set; a value that is not a whole number fails the test.
inline bool SeedFromEnvironment(uint64_t* seed) {
  const char* text = std::getenv("MFS_TEST_SEED");
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || *text == '-') {
    ADD_FAILURE() << "MFS_TEST_SEED=" << text << " is not a whole number";
    return false;
  }
  *seed = value;
  return true;
}

// splitmix64: every bit of the input moves the output.
inline uint64_t MixSeed(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// `fixed` itself without MFS_TEST_SEED, else a seed drawn from both.
inline uint64_t Seed(uint64_t fixed) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "?";
  uint64_t given = 0;
  if (!SeedFromEnvironment(&given)) {
    std::printf("[ seed ] %s: fixed seed %llu (no MFS_TEST_SEED)\n", name.c_str(),
                static_cast<unsigned long long>(fixed));
    std::fflush(stdout);
    return fixed;
  }
  const uint64_t seed = MixSeed(given ^ MixSeed(fixed));
  std::printf("[ seed ] %s: seed %llu from MFS_TEST_SEED=%llu and fixed seed %llu\n", name.c_str(),
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(given),
              static_cast<unsigned long long>(fixed));
  std::fflush(stdout);
  return seed;
}

}  // namespace mfstest
