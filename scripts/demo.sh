#!/usr/bin/env bash
# Builds the library and runs its example host: a backup of a folder (or of a generated stream)
# as chunks on a disk mount path and its restore, then as a deduplicated chunk of the
# single-instance store read back block by block, then as chunks on the dedup appliance's stand-in
# and once more as clones and copies of them mixed with new data in each chunk, each checked byte
# for byte. Arguments go to the host; `bash scripts/demo.sh --help` lists them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target mfs_demo
./build/examples/mfs_demo "$@"
