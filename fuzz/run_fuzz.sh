#!/usr/bin/env bash
# Runs every fuzz_* binary of a fuzz build for a while, each on a working copy of its corpus.
#   fuzz/run_fuzz.sh <build dir> [seconds per target, default 60]    (FUZZ_ONLY=<regex> to pick)
# Exits 1 when a target found a crash, a leak, undefined behaviour or a timeout; the inputs that
# found it stay in <build dir>/findings/<target>/.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
found=0
targets=0
for bin in "$BUILD"/fuzz/fuzz_*; do
  name=${bin##*/fuzz_}
  [ -x "$bin" ] && [[ $name =~ ${FUZZ_ONLY:-.} ]] || continue
  work="$BUILD/fuzz-work/$name" findings="$BUILD/findings/$name"
  rm -rf "$work" "$findings" && mkdir -p "$work" "$findings"
  cp -R "$ROOT/fuzz/corpus/$name/." "$work/"
  opts=(-max_total_time="${2:-60}" -print_final_stats=1 -timeout=25 -artifact_prefix="$findings/")
  [ -f "$ROOT/fuzz/dict/$name.dict" ] && opts+=(-dict="$ROOT/fuzz/dict/$name.dict")
  "$bin" "${opts[@]}" "$work" >"$work.log" 2>&1
  rc=$?
  echo "fuzz $name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log") executions"
  targets=$((targets + 1))
  if [ "$rc" -ne 0 ] || compgen -G "$findings/*" >/dev/null; then
    found=1
    echo "fuzz $name: FINDING (exit $rc); inputs in $findings, log in $work.log" >&2
    grep -m 5 -E "ERROR|runtime error|check failed|SUMMARY" "$work.log" >&2
  fi
done
[ "$targets" -gt 0 ] || { echo "fuzz: no fuzz_* binaries in $BUILD/fuzz" >&2; exit 1; }
exit "$found"
