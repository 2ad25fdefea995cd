#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (run as root).
# Packages already present are left alone, so a prepared machine skips apt.
set -euo pipefail
PACKAGES=(
  cmake g++ make pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev mbpoll socat python3-pymodbus python3-serial python3-serial-asyncio
  qemu-user g++-arm-linux-gnueabihf groff-base
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
