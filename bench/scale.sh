#!/usr/bin/env bash
# The whole life of N files, each phase timed with its peak memory: make N files of 2-6 KiB in
# folders of 1,000, back them up (trhsm-index add), stub them (trhsm-stubjob), recall them
# (trhsm-recall of the whole tree) and compare every file with a copy made at the start.
# usage: bench/scale.sh BUILD_DIR [N] [--keep]   (N defaults to 10000; --keep keeps the sandbox)
# Runs in $SCALE_DIR (default /tmp): it needs about twice the files' size free, and N = 1,000,000
# (some 4 GB of files and as much archive) is for a run by hand, not for CI.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
count=${2:-10000}
keep=${3:-}
box=$(mktemp -d "${SCALE_DIR:-/tmp}/trhsm-scale-XXXXXX")
[ "$keep" = --keep ] || trap 'rm -rf "$box"' EXIT
cd "$box"
. "$here/bench_world.sh"

# One phase: its wall time and peak resident memory (/usr/bin/time), then a line of its rate.
phase() {  # phase NAME COMMAND...
  local name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$box/time.$name" "$@" > "$box/out.$name" 2>&1 ||
    { echo "scale: $name failed:" >&2; tail -5 "$box/out.$name" >&2; exit 1; }
  read -r seconds kib < "$box/time.$name"
  awk -v p="$name" -v n="$count" -v s="$seconds" -v k="$kib" 'BEGIN {
    printf "%-8s %9d files in %8.2f s  %8.0f files/s  peak %6.1f MiB\n", p, n, s, n / (s > 0 ? s : 0.01), k / 1024 }'
}

# Files of 2-6 KiB of varied bytes, 1,000 to a folder, and a copy of each to compare against.
python3 - "$count" <<'PY'
import os, random, sys
n = int(sys.argv[1])
rnd = random.Random(17)
block = bytes(rnd.getrandbits(8) for _ in range(1 << 16))
for i in range(n):
    d = "files/d%04d" % (i // 1000)
    if i % 1000 == 0:
        os.makedirs(d)
        os.makedirs(d.replace("files", "copy", 1))
    size = 2048 + rnd.randrange(4097)
    at = rnd.randrange(len(block) - size)
    data = block[at:at + size]
    for top in ("files", "copy"):
        with open("%s/d%04d/f%07d" % (top, i // 1000, i), "wb") as f:
            f.write(data)
PY
sync
echo "scale: $count files in $(( (count + 999) / 1000 )) folders, load $(cut -d' ' -f1-3 /proc/loadavg)"
phase index "$build/tools/trhsm-index" add --job 5 --archive-group 2 files
phase stubjob "$build/examples/stubjob/trhsm-stubjob" -J 5 -D media -a 1:0 -s bench --quiet
stubs=$(find files -type f -size -2k | wc -l)
[ "$stubs" -eq "$count" ] || { echo "scale: $stubs of $count files are stubs" >&2; exit 1; }
phase recall "$build/tools/trhsm-recall" files
diff -r -q files copy > "$box/diff.out" ||
  { echo "scale: the recalled tree differs from the copy:" >&2; head -5 "$box/diff.out" >&2; exit 1; }
echo "scale: every file recalled equal to its copy"
[ "$keep" != --keep ] || echo "scale: sandbox kept: $box"
