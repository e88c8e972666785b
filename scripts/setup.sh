#!/usr/bin/env bash
# Installs what the build needs from Debian's packages; does nothing when all is there.
set -euo pipefail
packages=(build-essential cmake ninja-build libboost-dev zlib1g-dev libisal-dev libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev clang libclang-rt-14-dev)
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
