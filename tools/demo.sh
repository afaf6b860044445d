#!/usr/bin/env bash
# The demo: the whole life of a tree of files in a fresh sandbox folder. It is backed up into the
# index and archive, some files are changed afterwards, the stub job replaces every file that its
# archived copy still holds by a stub, trhsm-recalld (as root) makes the stubs transparent while
# plain cmp compares every file with a copy made first, the stub job releases the recalled files
# again, every stub is recalled with trhsm-recall, and every file is compared byte for byte, with
# its attributes and its holes, with the copy.
# Besides the ordinary files, cases/ holds the files a careless job would lose or spoil:
#   an edit that keeps the size and modification time   refused (changed since backup)
#   two names of one file                                 refused (hard-linked)
#   an empty file and a one-byte file                     skipped (too small to release)
#   a name of 250 bytes                                   stubbed and recalled
#   a file with a user attribute and an ACL               both kept on the stub and after recall
#   a 50 MiB file with one block of data                  recalled with its hole
# usage: tools/demo.sh BUILD_DIR [FILES]   (FILES defaults to $DEMO_FILES or 2000)
set -euo pipefail
build=$(cd "$1" && pwd)
count=${2:-${DEMO_FILES:-2000}}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/sandbox"
box=$(mktemp -d "$root/sandbox/demo-XXXXXX")
cd "$box"
echo "demo: sandbox $box"
mkdir files cases archive results jobs

fail() {
  echo "demo: $*" >&2
  exit 1
}
blocks() { stat -c %b "$1"; }

cat > registry <<EOR
[Base]
dBACKUP_INDEX=$box/index.db
dARCHIVE_ROOT=$box/archive
dJOB_MANAGER_DIR=$box/jobs
sFOCUS_CLIENT=demo
[Machines/demo]
dJOB_RESULTS_DIR=$box/results/
EOR
echo "/dev/root / ext4 rw 0 0" > mounts
export KO_REGISTRY="$box/registry" KO_MOUNT_TABLE="$box/mounts" KO_LOG_FILE="$box/trhsm.log"

# Names with blanks, commas, quotes, a leading dash and UTF-8; sizes from 1 KiB to 21 KiB.
names=("plain" "with blank" "a,comma" 'a "quote"' "-leading dash" "grüße ünïcödé" "日本語")
for ((i = 0; i < count; i++)); do
  dir="files/d$((i % 10))"
  mkdir -p "$dir"
  name="$dir/${names[i % ${#names[@]}]} $i"
  head -c $((1024 + (i * 7919) % 20000)) /dev/urandom > "$name"
done
for mib in 1 2 3; do head -c $((mib << 20)) /dev/urandom > "files/big $mib MiB"; done

head -c 4000 /dev/zero | tr '\0' o > "cases/same size and time"
touch -d 2020-01-01 "cases/same size and time"
head -c 5000 /dev/urandom > "cases/linked"
ln "cases/linked" "cases/linked too"
: > "cases/empty"
printf x > "cases/one byte"
long=$(printf 'L%.0s' {1..250})
head -c 3000 /dev/urandom > "cases/$long"
head -c 3000 /dev/urandom > "cases/with attributes"
attributes=no
if setfattr -n user.note -v "keep me" "cases/with attributes" 2> /dev/null &&
  setfacl -m u:65534:r "cases/with attributes" 2> /dev/null; then
  attributes=yes
fi
truncate -s 50M "cases/sparse"
printf 'data in the middle' | dd of="cases/sparse" bs=1 seek=$((20 << 20)) conv=notrunc status=none
total=$(find files cases -type f | wc -l)

# The same folder twice adds its files once.
"$build/tools/trhsm-index" add --job 9 --archive-group 3 --index index.db --archive archive \
  files cases cases > /dev/null
[ "$(find files cases -type f | wc -l)" -eq "$total" ] || fail "the backup changed the tree"

changed="files/d0/plain 0"
echo "changed after the backup" >> "$changed"
head -c 4000 /dev/zero | tr '\0' M > "cases/same size and time" # the same size
touch -d 2020-01-01 "cases/same size and time" # and the same modification time
mkdir reference && cp -a files cases reference/
sparse_before=$(blocks "cases/sparse")
echo "demo: $total files backed up; disk use before: $(du -sch files cases | tail -1 | cut -f1)"

set +e
"$build/examples/stubjob/trhsm-stubjob" -J 9 -D media -a 1:0 -s demo --quiet > job.out
status=$?
set -e
cat job.out
[ "$status" -eq 1 ] || fail "the stub job should have refused the changed files (exit $status)"
echo "demo: disk use after stubbing: $(du -sch files cases | tail -1 | cut -f1)"
echo "\$ trhsm-stub show 'files/big 3 MiB'"
"$build/tools/trhsm-stub" show "files/big 3 MiB"

is_stub() { "$build/tools/trhsm-stub" show "$1" > /dev/null 2>&1; }
expect_kept() {  # expect_kept FILE REASON: not stubbed, and the job gave REASON for it
  is_stub "$1" && fail "$1 was stubbed; it should have been ${2}"
  grep -q "($2)" job.out || fail "the job's summary gives no '$2'"
  return 0
}
expect_kept "$changed" "changed since backup"
expect_kept "cases/same size and time" "changed since backup"
expect_kept "cases/linked" "hard-linked"
expect_kept "cases/linked too" "hard-linked"
expect_kept "cases/empty" "too small to release"
expect_kept "cases/one byte" "too small to release"
[ "$(stat -c %h "cases/linked")" -eq 2 ] || fail "the hard link was broken"
stubbed=0
while IFS= read -r -d '' f; do
  if is_stub "$f"; then stubbed=$((stubbed + 1)); fi
done < <(find files cases -type f -print0)
expected=$((total - 6))
[ "$stubbed" -eq "$expected" ] || fail "$stubbed files stubbed, expected $expected"
is_stub "cases/$long" || fail "the file with a 250-byte name was not stubbed"
if [ "$attributes" = yes ]; then
  [ "$(getfattr -n user.note --only-values "cases/with attributes")" = "keep me" ] ||
    fail "the stub lost the file's attribute"
fi
echo "demo: the sparse file used $sparse_before blocks, its stub $(blocks cases/sparse)"

# Transparent recall: with trhsm-recalld watching the tree, plain cmp reads every stub whole. The
# sandbox becomes a mount of its own, so the daemon sees no opens outside it. Then the stub job runs
# again: a file recalled and not changed since is released again without a new backup.
recalld_box_mounted=no
recalld_stop() {
  [ -n "${recalld_pid:-}" ] && kill "$recalld_pid" 2> /dev/null && wait "$recalld_pid" || true
  recalld_pid=
  if [ "$recalld_box_mounted" = yes ]; then
    cd "$root"  # out of the mount
    umount "$box" && recalld_box_mounted=no
  fi
  return 0
}
if [ "$(id -u)" -eq 0 ] && mount --bind "$box" "$box" 2> /dev/null; then
  recalld_box_mounted=yes
  trap recalld_stop EXIT
  cd "$box"  # into the new mount
  "$build/tools/recalld/trhsm-recalld" --foreground --archive archive --state recalld-state \
    --run recalld-run --log recalld.log files cases 2> recalld.err &
  recalld_pid=$!
  for ((i = 0; i < 600; i++)); do
    grep -q "trhsm-recalld: watching" recalld.log 2> /dev/null && break
    kill -0 "$recalld_pid" 2> /dev/null || fail "trhsm-recalld did not start: $(cat recalld.err)"
    sleep 0.05
  done
  compared=0
  while IFS= read -r -d '' f; do
    cmp -s "$f" "reference/$f" || fail "$f read through trhsm-recalld differs from its copy"
    compared=$((compared + 1))
  done < <(find files cases -type f -print0)
  recalld_stop
  cd "$box"
  transparent=$(grep -o 'summary: [0-9]* recall' recalld.log | tail -1 | grep -o '[0-9]*')
  [ "$transparent" -eq "$stubbed" ] || fail "trhsm-recalld recalled $transparent files, not $stubbed"
  echo "demo: trhsm-recalld recalled $transparent files transparently; cmp found all $compared files equal to their copies"
  set +e
  "$build/examples/stubjob/trhsm-stubjob" -J 9 -D media -a 1:0 -s demo --quiet > job2.out
  set -e
  again=0
  while IFS= read -r -d '' f; do
    if is_stub "$f"; then again=$((again + 1)); fi
  done < <(find files cases -type f -print0)
  [ "$again" -eq "$stubbed" ] || fail "the second stub job released $again files, not $stubbed: $(tail -3 job2.out)"
  echo "demo: the stub job released the $again recalled files again without a new backup"
else
  echo "demo: transparent recall skipped (trhsm-recalld needs root and a bind mount)"
fi

"$build/tools/trhsm-recall" files cases > recall.out || fail "the recall failed: $(tail -3 recall.out)"
tail -1 recall.out
verified=0
while IFS= read -r -d '' f; do
  cmp -s "$f" "reference/$f" || fail "$f differs from its copy after the recall"
  verified=$((verified + 1))
done < <(find files cases -type f -print0)
sparse_after=$(blocks "cases/sparse")
[ "$sparse_after" -le $((sparse_before + 64)) ] ||
  fail "the sparse file came back with $sparse_after blocks (it had $sparse_before)"
if [ "$attributes" = yes ]; then
  [ "$(getfattr -n user.note --only-values "cases/with attributes")" = "keep me" ] ||
    fail "the recalled file lost its attribute"
  getfacl -c "cases/with attributes" 2> /dev/null | grep -q '^user:nobody:r--' ||
    fail "the recalled file lost its ACL"
fi
echo "demo: the sparse file came back with $sparse_after blocks; attributes and ACL kept: $attributes"
echo "demo: $stubbed files stubbed, 4 refused (2 changed since backup, 2 hard-linked), 2 skipped (too small to release), $verified verified"
