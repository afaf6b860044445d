#!/usr/bin/env bash
# The tools over a whole tree against the plain programs that do the same amount of file work, in
# one run on the same files (in the page cache, in folders of 1,000):
#   trhsm-index add, then sync      against  tar -cf of the tree, then sync     (goal <= 1.5)
#   trhsm-stubjob --dry-run --verify against  cat of every file to /dev/null     (goal <= 1.3)
#   trhsm-recall of the tree        against  tar -xf of the same data, then sync (goal <= 1.5):
#                                   into an empty folder, and over a copy of the stub tree (tar
#                                   then replaces each stub, as the recall does)
# usage: bench/tree_bench.sh BUILD_DIR [FILES]   (FILES defaults to 10000)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
count=${2:-10000}
box=$(mktemp -d /tmp/tree-bench-XXXXXX)
trap 'rm -rf "$box"' EXIT
cd "$box"
mkdir untar
. "$here/bench_world.sh"

# Files of 4-10 KiB of varied bytes.
python3 - "$count" <<'PY'
import os, random, sys
rnd = random.Random(23)
block = bytes(rnd.getrandbits(8) for _ in range(1 << 16))
for i in range(int(sys.argv[1])):
    d = "files/d%04d" % (i // 1000)
    if i % 1000 == 0:
        os.makedirs(d)
    size = 4096 + rnd.randrange(6145)
    at = rnd.randrange(len(block) - size)
    with open("%s/f%07d" % (d, i), "wb") as f:
        f.write(block[at:at + size])
PY
find files -type f | sort > list
sync

now() { date +%s.%N; }
timed() {  # timed COMMAND...: runs it, prints its seconds
  local start end
  start=$(now)
  "$@" > /dev/null
  end=$(now)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
both() { "$@" && sync; }
catAll() { xargs -d '\n' cat < list; }

tar_c=$(timed both tar -cf tree.tar files)
index=$(timed both "$build/tools/trhsm-index" add --job 4 --archive-group 1 files)
cat_s=$(timed catAll)
verify=$(timed "$build/examples/stubjob/trhsm-stubjob" -J 4 -D media -a 1:0 -s bench --dry-run \
  --verify --quiet)
"$build/examples/stubjob/trhsm-stubjob" -J 4 -D media -a 1:0 -s bench --quiet > /dev/null
cp -a files stubs
sync
tar_xs=$(timed both tar -xf tree.tar -C untar)
# tar over a copy of the stub tree: it unlinks each stub and makes the file anew, as a recall must.
tar_over=$(timed both tar -xf tree.tar --transform 's|^files|stubs|')
recall=$(timed "$build/tools/trhsm-recall" files)
diff -r -q files untar/files > diff.out ||
  { echo "tree_bench: the recalled tree differs from the tar copy" >&2; head -3 diff.out >&2; exit 1; }

echo "tree_bench: $count files of 4-10 KiB, load $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v n="$count" -v tc="$tar_c" -v ix="$index" -v ca="$cat_s" -v ve="$verify" -v to="$tar_over" \
  -v txs="$tar_xs" -v re="$recall" 'BEGIN {
  row("trhsm-index add + sync", ix, "tar -cf + sync", tc, 1.5)
  row("stubjob --dry-run --verify", ve, "cat > /dev/null", ca, 1.3)
  row("trhsm-recall (tree)", re, "tar -xf + sync", txs, 1.5)
  row("trhsm-recall (tree)", re, "tar -xf over stubs", to, 1.5)
}
function row(what, s, base, b, goal,   r) {
  r = s / b
  printf "%-27s %7.3f s (%6.0f files/s)  %-18s %7.3f s  ratio %.2f (goal <= %.1f) %s\n", what, s,
         n / s, base, b, r, goal, (r <= goal ? "met" : "MISSED")
}'
