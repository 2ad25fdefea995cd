#!/usr/bin/env bash
# Release packages with CPack's DEB generator, into dist/:
#   armhf  from the armhf preset's cross build (build-armhf/, reused as it is:
#          only the libraries and programs are built, not the tests)
#   host   (amd64 here) from a release build of its own without the tests
#          (build-release/)
# Both are configured for the prefix /usr. `scripts/package.sh armhf` or
# `scripts/package.sh host` makes one of them. Each package is checked with
# lintian when it is installed (apt-get install lintian): an error fails the
# script, warnings are shown. Prints the time each step took.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
((${#targets[@]})) || targets=(armhf host)
for t in "${targets[@]}"; do
  [[ $t == armhf || $t == host ]] || { echo "usage: $0 [armhf] [host]" >&2; exit 2; }
done

mkdir -p dist
made=()

# package DIR: the DEB package of the configured build DIR, moved to dist/.
package() {
  local dir=$1 out=$1/package
  rm -rf "$out"
  cmake --build "$dir" -j"$(nproc)" --target fieldbus_installables
  cpack --config "$dir/CPackConfig.cmake" -B "$out"
  local deb
  for deb in "$out"/*.deb; do
    mv -f "$deb" dist/
    made+=("dist/$(basename "$deb")")
  done
}

for t in "${targets[@]}"; do
  start=$SECONDS
  if [[ $t == armhf ]]; then
    # The library in the target's multiarch directory, as Debian lays it out.
    cmake --preset armhf -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf
    package build-armhf
  else
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DFIELDBUS_WERROR=ON \
      -DFIELDBUS_TESTS=OFF -DFIELDBUS_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
    package build-release
  fi
  echo "== $t: $((SECONDS - start)) s"
done

rc=0
if command -v lintian >/dev/null; then
  for deb in "${made[@]}"; do
    start=$SECONDS
    echo "== lintian $deb"
    lintian --fail-on error "$deb" >dist/lintian.log 2>&1 || rc=1
    # Root is how the machines run it; lintian only warns about that.
    grep -v '^running with root privileges' dist/lintian.log || true
    rm -f dist/lintian.log
    echo "== lintian: $((SECONDS - start)) s"
  done
else
  echo "lintian is not installed: packages not checked"
fi
printf '%s\n' "${made[@]}"
exit $rc
