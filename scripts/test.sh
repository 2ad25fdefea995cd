#!/usr/bin/env bash
# The whole suite from scratch: install what the tests need, build with
# warnings as errors, run every test plain and under ASan + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
for preset in default asan; do
  rm -rf "build$([ $preset = default ] || echo -$preset)"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
