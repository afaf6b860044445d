#!/usr/bin/env bash
# Speed of trhsm-recalld (as root), each figure a ratio against a baseline measured in this run:
#   - open + read + close of files that are no stubs with the daemon watching, against the same
#     loop without it (goal: within 1.2x); the first pass (each file's first open asks the daemon)
#     and the later passes (files already known to be no stubs raise no event) apart;
#   - the first read of a stubbed 1 MiB and 100 MiB file (the open waits for the verified recall
#     into the inode, synced), against copying the archived bytes with cp (goal: within 1.5x), and
#     against cp followed by sync of the copy.
# usage: bench/recalld_bench.sh BUILD_DIR [FILES]   (FILES defaults to 2000)
set -euo pipefail
build=$(cd "$1" && pwd)
count=${2:-2000}
if [ "$(id -u)" -ne 0 ]; then
  echo "recalld_bench: skipped (trhsm-recalld needs root)"
  exit 0
fi
box=$(mktemp -d /tmp/recalld-bench-XXXXXX)
mkdir "$box/tree" "$box/archive"
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2> /dev/null && wait "$pid" || true
  mountpoint -q "$box/tree" && umount "$box/tree"
  rm -rf "$box"
}
trap cleanup EXIT
# The tree is a mount of its own: the daemon's marks see nothing else.
mount --bind "$box/tree" "$box/tree"
cd "$box"
now() { date +%s.%N; }
start_daemon() {
  "$build/tools/recalld/trhsm-recalld" --foreground --archive archive --state state --run run \
    --log recalld.log tree &
  pid=$!
  until grep -q "watching" recalld.log 2> /dev/null; do sleep 0.02; done
}
stop_daemon() {
  kill "$pid"
  wait "$pid" || true
  pid=
  rm -f recalld.log
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# 1. Files that are no stubs: 4 KiB each, 200 to a folder.
for ((i = 0; i < count; i++)); do
  dir="tree/d$((i / 200))"
  [ -d "$dir" ] || mkdir "$dir"
  head -c 4096 /dev/urandom > "$dir/f$i"
done
find tree -type f > list
"$build/bench/open_read_loop" list 1 > /dev/null  # into the page cache
plain=$("$build/bench/open_read_loop" list 5 | median)
start_daemon
first=$("$build/bench/open_read_loop" list 1)
later=$("$build/bench/open_read_loop" list 5 | median)
stop_daemon
awk -v n="$count" -v p="$plain" -v f="$first" -v l="$later" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" 'BEGIN {
  printf "recalld open+read+close, %d files (load %s):\n", n, load
  printf "  without the daemon          %8.1f us/file\n", p / n * 1e6
  printf "  watching, first open        %8.1f us/file  ratio %.2f\n", f / n * 1e6, f / p
  printf "  watching, later opens       %8.1f us/file  ratio %.2f (goal <= 1.2) %s\n", l / n * 1e6,
    l / p, l / p <= 1.2 ? "ok" : "ABOVE GOAL"
}'
rm -rf tree/d*

# 2. The first read of a stub, against cp of the same bytes.
for mib in 1 100; do
  head -c $((mib << 20)) /dev/urandom > data
  "$build/tools/trhsm-index" add --job 1 --archive-group 1 --index index.db --archive archive data \
    > /dev/null
  offset=$("$build/tools/trhsm-index" list --job 1 --index index.db --json | grep '"ok"' |
    tail -1 | sed 's/.*"offset": \([0-9]*\).*/\1/')
  recall_s=() cp_s=() sync_s=()
  for round in 1 2 3; do
    "$build/tools/trhsm-stub" encode --value 0 --metadata "1:0:1:1:$offset:1:4:data|1700000000" \
      --force tree/stub > /dev/null
    start_daemon
    cat data > /dev/null  # the archived bytes and the source in the page cache, as for cp
    cat "archive/1/1.arc" > /dev/null
    t0=$(now)
    head -c 1 tree/stub > /dev/null
    t1=$(now)
    stop_daemon
    cmp -s tree/stub data || { echo "recalld_bench: the recalled file differs" >&2; exit 1; }
    rm -f tree/copy
    t2=$(now)
    cp data tree/copy
    t3=$(now)
    sync tree/copy
    t4=$(now)
    recall_s+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")
    cp_s+=("$(awk -v a="$t2" -v b="$t3" 'BEGIN { print b - a }')")
    sync_s+=("$(awk -v a="$t2" -v b="$t4" 'BEGIN { print b - a }')")
    rm -f tree/copy
  done
  r=$(printf '%s\n' "${recall_s[@]}" | median)
  c=$(printf '%s\n' "${cp_s[@]}" | median)
  s=$(printf '%s\n' "${sync_s[@]}" | median)
  awk -v m="$mib" -v r="$r" -v c="$c" -v s="$s" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" 'BEGIN {
    printf "recalld first read of a %d MiB stub (load %s): %.1f ms; cp %.1f ms, ratio %.2f (goal <= 1.5) %s; cp+sync %.1f ms, ratio %.2f\n",
      m, load, r * 1e3, c * 1e3, r / c, r / c <= 1.5 ? "ok" : "ABOVE GOAL", s * 1e3, r / s
  }'
  rm -f data index.db
  rm -rf archive/1
done
