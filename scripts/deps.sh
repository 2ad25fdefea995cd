#!/usr/bin/env bash
# Installs the Debian packages the project needs (run as root).
#   scripts/deps.sh          everything the build and the tests need
#   scripts/deps.sh --demo   only what scripts/demo.sh needs
# Packages already present are left alone, so a prepared machine skips apt.
set -euo pipefail
# The demo: building the library and programs, mbpoll for the gateway step;
# libmosquitto and nlohmann-json for the MQTT bridge, a broker and its
# clients for its step; civetweb for zuqweb, curl for its step.
DEMO_PACKAGES=(cmake g++ make mbpoll pkg-config libmosquitto-dev nlohmann-json3-dev mosquitto
  mosquitto-clients libcivetweb-dev curl)
# The tests and scripts/package.sh besides: test libraries and peers, the
# cross toolchain and its emulator, clang (fuzzing, the header parse of the
# packaging tests), dpkg-dev and file (CPack's Debian packages), systemd
# (systemd-analyze and systemd-sysusers: the packaging tests check the units'
# fence and the package's users; installing it starts nothing).
TEST_PACKAGES=(
  pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev socat python3-pymodbus python3-serial python3-serial-asyncio
  qemu-user g++-arm-linux-gnueabihf groff-base dpkg-dev file systemd
  python3-paho-mqtt openssl
  # zuqweb's tests: a headless browser and its driver, promtool (in prometheus).
  chromium chromium-driver python3-selenium prometheus
)
case "${1:-}" in
  --demo) PACKAGES=("${DEMO_PACKAGES[@]}") ;;
  '') PACKAGES=("${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *) echo "usage: $0 [--demo]" >&2; exit 2 ;;
esac
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
