#!/usr/bin/env bash
# Sets up, builds and tests: the plain build, then the address and undefined-behaviour sanitizer
# build, then the thread sanitizer build of the threaded tests, then every fuzz target for a
# bounded time. Any failure ends the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
fuzz_seconds=${MFS_FUZZ_SECONDS:-15}

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

echo "== sanitizer build and test"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMFS_SANITIZE=ON -DMFS_BUILD_BENCH=OFF \
  -DMFS_BUILD_EXAMPLES=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs")

echo "== thread sanitizer build and threaded tests"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMFS_SANITIZE_THREAD=ON \
  -DMFS_BUILD_BENCH=OFF -DMFS_BUILD_EXAMPLES=OFF
cmake --build build-tsan -j "$jobs" --target threaded_tests
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
   ctest --output-on-failure -j "$jobs" -L threaded)

shopt -s nullglob
fuzz_sources=(fuzz/fuzz_*.cc)
if [ ${#fuzz_sources[@]} -eq 0 ]; then
  echo "== no fuzz targets yet"
elif ! command -v clang++ >/dev/null 2>&1; then
  echo "== clang is absent: fuzz targets skipped"
else
  echo "== fuzz targets, ${fuzz_seconds}s each"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMFS_BUILD_FUZZ=ON -DMFS_BUILD_TESTS=OFF -DMFS_BUILD_BENCH=OFF -DMFS_BUILD_EXAMPLES=OFF
  cmake --build build-fuzz -j "$jobs"
  # A failed run shows the sanitizer's and libFuzzer's report lines, then the end of its log.
  fuzz_failed() {
    echo "-- $1 failed; its report:"
    grep -E "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|^SUMMARY:|^ +#[0-9]+ |Test unit written|^Base64:" \
      "$2" | head -n 80 || true
    echo "-- the end of $2:"
    tail -n 30 "$2"
    exit 1
  }
  for src in "${fuzz_sources[@]}"; do
    name=$(basename "$src" .cc)
    target="build-fuzz/fuzz/$name"
    corpus="build-fuzz/corpus/$name"
    seeds="build-fuzz/seeds/$name"
    log="build-fuzz/$name.log"
    rm -rf "$seeds"
    mkdir -p "$corpus" "$seeds"
    echo "-- $name"
    # Each target writes its seed corpus (whole inputs past its headers), and fuzzing starts from
    # it and from what earlier runs kept; inputs may grow to 8 KiB, enough to reach records.
    "$target" --write-seeds="$seeds" > "$log" 2>&1 || fuzz_failed "$name" "$log"
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$target" -max_total_time="$fuzz_seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=8192 -artifact_prefix="build-fuzz/$name-" -print_final_stats=1 \
      "$corpus" "$seeds" >> "$log" 2>&1 || fuzz_failed "$name" "$log"
    # A report that did not end the run is a failure all the same.
    if grep -qE "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)" "$log"; then
      fuzz_failed "$name" "$log"
    fi
    grep -E "^(stat::number_of_executed_units|Done )" "$log" || true
  done
fi
echo "== all passed"
