#!/usr/bin/env bash
# Speed of trhsm-stubjob over many small files in the page cache, against the floor: the bare
# per-file loop of the same replacements (same stub bytes to a temporary file, fsync, rename). The
# job makes a group of stubs durable at once, so it should release files several times as fast.
# usage: bench/stubjob_bench.sh BUILD_DIR [FILES]   (FILES defaults to 10000)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
count=${2:-10000}
goal=4
box=$(mktemp -d /tmp/stubjob-bench-XXXXXX)
trap 'rm -rf "$box"' EXIT
cd "$box"
mkdir files
. "$here/bench_world.sh"

# Small files (three lines to a few KiB, each larger than its stub, which the job would otherwise
# skip as too small to release), 500 to a folder; written with builtins, no forks.
line="the quick brown fox jumps over the lazy dog 0123456789"
for ((i = 0; i < count; i++)); do
  dir="files/d$((i / 500))"
  [ -d "$dir" ] || mkdir "$dir"
  {
    for ((j = 0; j <= i % 40 + 2; j++)); do printf '%s %d\n' "$line" "$i"; done
  } > "$dir/f$i"
done
"$build/tools/trhsm-index" add --job 9 --archive-group 3 --index index.db --archive archive files \
  > /dev/null

now() { date +%s.%N; }
start=$(now)
"$build/examples/stubjob/trhsm-stubjob" -J 9 -D media -a 1:0 -s bench --quiet > job.out
end=$(now)
job_s=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')

# The floor replaces the stubs just written by the same bytes, in the same folders.
find "$box/files" -type f > list
floor_out=$("$build/bench/replace_floor" list)
floor_files=$(echo "$floor_out" | awk '{ print $1 }')
floor_s=$(echo "$floor_out" | awk '{ print $4 }')
# The same loop with the folder fsync after each rename that the job does for durability.
dur_s=$("$build/bench/replace_floor" --sync-folder list | awk '{ print $4 }')
# And without any sync: the file system's own cost of the replacements, which the job pays too.
bare_s=$("$build/bench/replace_floor" --no-sync list | awk '{ print $4 }')
if [ "$floor_files" -ne "$count" ]; then
  echo "stubjob_bench: the floor saw $floor_files files, not $count" >&2
  exit 1
fi

echo "stubjob_bench: load $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v n="$count" -v j="$job_s" -v f="$floor_s" -v d="$dur_s" -v b="$bare_s" -v g="$goal" 'BEGIN {
  job = n / j; floor = n / f; ratio = job / floor
  printf "trhsm-stubjob: %d files in %.3f s, %.0f files/s\n", n, j, job
  printf "floor loop:    %d files in %.3f s, %.0f files/s\n", n, f, floor
  printf "ratio job/floor: %.2f (goal >= %.1f) %s\n", ratio, g, (ratio >= g ? "met" : "MISSED")
  printf "floor + folder fsync: %.0f files/s, ratio job/that %.2f\n", n / d, job / (n / d)
  printf "the loop without fsync: %.0f files/s, %.2f times the floor (the bound of any job that\n", n / b, (n / b) / floor
  printf "  creates and renames a temporary per file)\n"
}'
