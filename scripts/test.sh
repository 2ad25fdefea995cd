#!/usr/bin/env bash
# The whole suite from scratch: install what the tests need, then
#   plain   build with warnings as errors, every test
#   asan    ASan + UBSan build, every test
#   tsan    ThreadSanitizer build, the server's system tests (label server)
#   armhf   cross build for the controller, unit and system tests under qemu-arm
#   fuzz    every fuzz target for a few seconds (FUZZ_SECONDS, default 5)
# Every step runs even when an earlier one failed; the script fails if any did.
# Ends with each step's duration and one line totalling tests and fuzz targets.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh || exit 1
deps_secs=$SECONDS

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
total_passed=0
total_failed=0
failed_steps=()
report=()

# Adds the counts from the closing lines of a ctest or fuzz.sh log.
count() {
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [[ -n $line ]]; then
    local failed all
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    all=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    total_passed=$((total_passed + all - failed))
    total_failed=$((total_failed + failed))
    return 0
  fi
  line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed$' "$1" | tail -1)
  if [[ -n $line ]]; then
    read -r _ p _ f _ <<<"$line"
    total_passed=$((total_passed + p))
    total_failed=$((total_failed + f))
    return 0
  fi
  return 1
}

# step NAME COMMAND...: runs the command, shows and keeps its output, times it.
step() {
  local name=$1
  shift
  echo "==== $name"
  local start=$SECONDS rc=0
  "$@" 2>&1 | tee "$logs/$name.log" || rc=$?
  local secs=$((SECONDS - start))
  local before=$total_failed
  count "$logs/$name.log" || true
  if ((rc != 0)); then
    failed_steps+=("$name")
    # A step that failed before or besides its tests counts as one failure.
    ((total_failed > before)) || total_failed=$((total_failed + 1))
  fi
  report+=("$(printf '%-6s %5ds  %s' "$name" "$secs" "$( ((rc == 0)) && echo ok || echo FAILED)")")
  echo "==== $name: ${secs}s, exit status $rc"
}

# suite PRESET: fresh configure, build and test of one preset.
suite() {
  local preset=$1 dir
  dir=build$([[ $preset = default ]] || echo "-$preset")
  rm -rf "$dir"
  cmake --preset "$preset" || return 1
  if [[ $preset = tsan ]]; then
    # Only the server's system tests run here: build them and what they start.
    local targets=() f
    for f in test/system/pellora*.cpp; do
      [[ -e $f ]] && targets+=("system_$(basename "$f" .cpp)")
    done
    ((${#targets[@]})) || targets=(all)
    cmake --build --preset "$preset" --target "${targets[@]}" || return 1
  else
    cmake --build --preset "$preset" || return 1
  fi
  local rc=0
  ctest --preset "$preset" || rc=1
  # ThreadSanitizer writes its reports (also those of child processes) to
  # files; any report fails the step even if no test noticed.
  if [[ $preset = tsan ]] && compgen -G "$dir/tsan-report.*" >/dev/null; then
    cat "$dir"/tsan-report.*
    echo "ThreadSanitizer reports: $(ls "$dir"/tsan-report.* | wc -l)"
    rc=1
  fi
  return $rc
}

step plain suite default
step asan suite asan
step tsan suite tsan
step armhf suite armhf
fuzz() {
  rm -rf build-fuzz
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-5}"
}
step fuzz fuzz

echo "==== durations"
printf '%-6s %5ds\n' deps "$deps_secs"
printf '%s\n' "${report[@]}"
echo "total  ${SECONDS}s"
if ((${#failed_steps[@]})); then
  echo "failed steps: ${failed_steps[*]}"
fi
echo "ci: $total_passed passed, $total_failed failed"
((${#failed_steps[@]} == 0))
