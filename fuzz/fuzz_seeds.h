// The seed corpus of a fuzz target: a few inputs that the code under test accepts whole, so that
// fuzzing starts past the headers and magic texts instead of having to find them byte by byte.
// Each target makes its seeds with the library's own writers (or its own input helpers) and
// declares them with MFS_FUZZ_SEEDS; run with "--write-seeds=DIR" it writes one file per seed
// into DIR and ends, and scripts/test.sh then fuzzes from DIR:
//
//   std::vector<std::string> Seeds() { ... }
//   MFS_FUZZ_SEEDS(Seeds)
//
// libFuzzer leaves arguments that begin with "--" to the target.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace fuzz {

inline constexpr char kWriteSeedsFlag[] = "--write-seeds=";

// Writes the seeds and ends the process when the arguments ask for it; otherwise returns.
inline void WriteSeedsIfAsked(int argc, char** argv, std::vector<std::string> (*make)()) {
  const std::string flag = kWriteSeedsFlag;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.compare(0, flag.size(), flag) != 0) continue;
    const std::string dir = arg.substr(flag.size());
    const std::vector<std::string> seeds = make();
    for (size_t n = 0; n < seeds.size(); ++n) {
      const std::string path = dir + "/seed_" + std::to_string(n);
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(seeds[n].data(), static_cast<std::streamsize>(seeds[n].size()));
      if (!out.flush()) {
        std::fprintf(stderr, "cannot write the seed %s\n", path.c_str());
        std::exit(1);
      }
    }
    std::fprintf(stderr, "%zu seeds written to %s\n", seeds.size(), dir.c_str());
    std::exit(seeds.empty() ? 1 : 0);  // a target without seeds would fuzz from nothing unnoticed
  }
}

}  // namespace fuzz

#define MFS_FUZZ_SEEDS(make)                                          \
  extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {     \
    fuzz::WriteSeedsIfAsked(*argc, *argv, make);                      \
    return 0;                                                         \
  }
