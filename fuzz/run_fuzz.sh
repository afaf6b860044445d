#!/usr/bin/env bash
# Runs every fuzz_* binary of a fuzz build for a while, each on a working copy of its corpus.
#   fuzz/run_fuzz.sh <build dir> [seconds per target, default 60]
# FUZZ_ONLY=<regex> limits the run to the targets whose names match.
# Prints one line per target and a total; exits 1 when any target found a crash, a leak, undefined
# behaviour or a timeout. The inputs that found them are kept in <build dir>/findings/<target>/.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
SECS=${2:-60}
ONLY=${FUZZ_ONLY:-.}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Targets keep their scratch files under $TMPDIR: on tmpfs, when there is one, a target that syncs
# its files does not wait for the disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

found=0
targets=0
total_execs=0
total_secs=0
for bin in "$BUILD"/fuzz/fuzz_*; do
  [ -x "$bin" ] && [ -f "$bin" ] || continue
  name=${bin##*/fuzz_}
  [[ $name =~ $ONLY ]] || continue
  work="$BUILD/fuzz-work/$name"
  findings="$BUILD/findings/$name"
  rm -rf "$work" "$findings"
  mkdir -p "$work" "$findings"
  [ -d "$ROOT/fuzz/corpus/$name" ] && cp -R "$ROOT/fuzz/corpus/$name/." "$work/"
  opts=(-max_total_time="$SECS" -print_final_stats=1 -timeout=25 -artifact_prefix="$findings/")
  [ -f "$ROOT/fuzz/dict/$name.dict" ] && opts+=(-dict="$ROOT/fuzz/dict/$name.dict")
  log="$BUILD/fuzz-work/$name.log"
  start=$(date +%s)
  "$bin" "${opts[@]}" "$work" >"$log" 2>&1
  rc=$?
  secs=$(($(date +%s) - start))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  execs=${execs:-0}
  rate=$((secs > 0 ? execs / secs : execs))
  echo "fuzz $name: $execs executions in $secs s ($rate/s)"
  targets=$((targets + 1))
  total_execs=$((total_execs + execs))
  total_secs=$((total_secs + secs))
  if [ "$rc" -ne 0 ] || compgen -G "$findings/*" >/dev/null; then
    found=1
    echo "fuzz $name: FINDING (exit $rc); inputs in $findings, log in $log" >&2
    grep -m 5 -E "ERROR|runtime error|check failed|SUMMARY" "$log" >&2
  fi
done
if [ "$targets" -eq 0 ]; then
  echo "fuzz: no fuzz_* binaries in $BUILD/fuzz" >&2
  exit 1
fi
echo "fuzz total: $targets targets, $total_execs executions in $total_secs s"
exit "$found"
