#!/usr/bin/env bash
# Builds the library and runs its example host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target mfs_demo
./build/examples/mfs_demo "$@"
