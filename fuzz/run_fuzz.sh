#!/usr/bin/env bash
# fuzz/run_fuzz.sh <build dir> [seconds per target, default 60]: every fuzz_* binary (FUZZ_ONLY=<regex>
# picks) on a copy of its corpus; exits 1 on a finding, its inputs left in <build dir>/findings/<target>/.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd) BUILD=$(cd "$1" && pwd) found=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
compgen -G "$BUILD/fuzz/fuzz_*" >/dev/null || { echo "fuzz: no fuzz_* binaries in $BUILD/fuzz" >&2; exit 1; }
for bin in "$BUILD"/fuzz/fuzz_*; do
  name=${bin##*/fuzz_} && work=$BUILD/fuzz-work/$name findings=$BUILD/findings/$name dict=$ROOT/fuzz/dict/$name.dict
  [[ -x $bin && $name =~ ${FUZZ_ONLY:-.} ]] || continue
  rm -rf "$work" "$findings" && mkdir -p "$work" "$findings" && cp -R "$ROOT/fuzz/corpus/$name/." "$work/"
  # The target's scratch folder (on tmpfs when there is one): libFuzzer exits without removing it.
  tmp=$(mktemp -d -p "$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)" "fuzz-$name-XXXXXX")
  TMPDIR=$tmp "$bin" -max_total_time="${2:-60}" -print_final_stats=1 -timeout=25 -artifact_prefix="$findings/" \
    $([ -f "$dict" ] && echo "-dict=$dict") "$work" >"$work.log" 2>&1
  rc=$? && rm -rf "$tmp"
  echo "fuzz $name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log") executions"
  [ "$rc" -eq 0 ] && ! compgen -G "$findings/*" >/dev/null && continue
  found=1 && echo "fuzz $name: FINDING (exit $rc); inputs in $findings, log in $work.log" >&2
  grep -m 5 -E "ERROR|runtime error|check failed|SUMMARY" "$work.log" >&2
done
exit "$found"
