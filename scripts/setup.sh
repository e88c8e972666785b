#!/usr/bin/env bash
# Installs what the build needs from Debian's packages; does nothing when all is there.
set -euo pipefail
packages=(build-essential cmake ninja-build libboost-dev zlib1g-dev libisal-dev libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev clang libclang-rt-14-dev libs3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi

# The S3 tests and benchmark run against a local S3-compatible server (s3rver) that they start
# themselves; it is installed from the npm registry into build-tools/ (outside git) where node and
# npm are present. Without them those tests are skipped and say so.
s3rver_version=3.7.1
tools="$(cd "$(dirname "$0")/.." && pwd)/build-tools"
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  installed=$(node -p "require('$tools/node_modules/s3rver/package.json').version" 2>/dev/null || true)
  if [ "$installed" != "$s3rver_version" ]; then
    mkdir -p "$tools"
    npm install --prefix "$tools" --no-audit --no-fund --loglevel=error --save-exact "s3rver@$s3rver_version"
  fi
else
  echo "setup: node or npm is absent: the S3 tests will be skipped"
fi
