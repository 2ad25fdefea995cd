#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a while each.
#
#   scripts/fuzz.sh [SECONDS] [NAME...]
#
# SECONDS per target (default 60); NAMEs pick targets fuzz/<NAME>.cpp (default:
# all). Each target starts from a scratch copy of its seed corpus
# fuzz/corpus/<NAME>/ (plus fuzz/<NAME>.dict when present), so the repository
# is never written. Prints per target the executions, libFuzzer's coverage
# figures (cov = edges, ft = features), the corpus size reached and the
# findings; findings are kept in build-fuzz/findings/<NAME>/ with the command
# that reproduces them. Targets run side by side, one per processor
# (FUZZ_JOBS to change). Exits non-zero on any finding or failed run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS] [NAME...]" >&2; exit 2; }
shift $(($# > 0 ? 1 : 0))

names=("$@")
if ((${#names[@]} == 0)); then
  for f in fuzz/*.cpp; do
    [[ -e $f ]] && names+=("$(basename "$f" .cpp)")
  done
fi
if ((${#names[@]} == 0)); then
  echo "fuzz: no fuzz targets (fuzz/*.cpp)"
  echo "fuzz: 0 passed, 0 failed"
  exit 0
fi
for n in "${names[@]}"; do
  [[ -f fuzz/$n.cpp ]] || { echo "fuzz: no target fuzz/$n.cpp" >&2; exit 2; }
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${names[@]/#/fuzz_}"

# UBSan in the fuzz build only warns by default: make every report a finding.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings_root=$PWD/build-fuzz/findings

# run_one NAME: one libFuzzer run in its own scratch directory; the exit
# status lands in $work/NAME/rc.
run_one() {
  local n=$1 dir=$work/$1 rc=0
  mkdir -p "$dir/corpus" "$dir/artifacts"
  if [[ -d fuzz/corpus/$n ]]; then cp -R "fuzz/corpus/$n/." "$dir/corpus/"; fi
  local args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
              -artifact_prefix="$dir/artifacts/")
  [[ -f fuzz/$n.dict ]] && args+=(-dict="$PWD/fuzz/$n.dict")
  # The grace covers start-up and the final merge; a hang past it is a failure.
  timeout -k 10 $((seconds + 60)) "$PWD/build-fuzz/bin/fuzz_$n" "${args[@]}" "$dir/corpus" \
    >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/rc"
}

# One target per processor at a time (FUZZ_JOBS overrides).
jobs=${FUZZ_JOBS:-$(nproc)}
running=0
for n in "${names[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  run_one "$n" &
  running=$((running + 1))
done
wait

passed=0
failed=0
printf '%-24s %6s %12s %8s %8s %8s %9s\n' target secs execs cov ft corpus findings
for n in "${names[@]}"; do
  dir=$work/$n
  rc=$(cat "$dir/rc" 2>/dev/null || echo 255)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$dir/log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  units=$(find "$dir/corpus" -type f | wc -l)
  mapfile -t found < <(find "$dir/artifacts" -type f)

  printf '%-24s %6s %12s %8s %8s %8s %9s\n' "fuzz_$n" "$seconds" "${execs:-?}" "${cov:-?}" \
    "${ft:-?}" "$units" "${#found[@]}"
  if ((rc == 0 && ${#found[@]} == 0)) && [[ -n $execs ]]; then
    passed=$((passed + 1))
    continue
  fi
  failed=$((failed + 1))
  echo "---- fuzz_$n: exit status $rc, last lines of its log:"
  tail -n 40 "$dir/log"
  if ((${#found[@]})); then
    mkdir -p "$findings_root/$n"
    for f in "${found[@]}"; do
      cp "$f" "$findings_root/$n/"
      echo "finding: $findings_root/$n/$(basename "$f")"
      echo "  reproduce: UBSAN_OPTIONS=$UBSAN_OPTIONS build-fuzz/bin/fuzz_$n $findings_root/$n/$(basename "$f")"
    done
  fi
  echo "----"
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
