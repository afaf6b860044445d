#!/usr/bin/env bash
# The demo: the whole life of a tree of files in a fresh sandbox folder. It is backed up into the
# index and archive, one file is changed afterwards, the stub job replaces every other file by a
# stub, every stub is recalled, and every file is compared byte for byte with a copy made first.
# usage: tools/demo.sh BUILD_DIR [FILES]   (FILES defaults to $DEMO_FILES or 2000)
set -euo pipefail
build=$(cd "$1" && pwd)
count=${2:-${DEMO_FILES:-2000}}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/sandbox"
box=$(mktemp -d "$root/sandbox/demo-XXXXXX")
cd "$box"
echo "demo: sandbox $box"
mkdir files archive results jobs

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

# Names with blanks, commas, quotes, a leading dash and UTF-8; sizes from 0 bytes to 3 MiB.
names=("plain" "with blank" "a,comma" 'a "quote"' "-leading dash" "grüße ünïcödé" "日本語")
for ((i = 0; i < count; i++)); do
  dir="files/d$((i % 10))"
  mkdir -p "$dir"
  name="$dir/${names[i % ${#names[@]}]} $i"
  head -c $(((i * 7919) % 20000)) /dev/urandom > "$name"
done
for mib in 1 2 3; do head -c $((mib << 20)) /dev/urandom > "files/big $mib MiB"; done
total=$(find files -type f | wc -l)

"$build/tools/trhsm-index" add --job 9 --archive-group 3 --index index.db --archive archive files \
  > /dev/null
changed="files/d0/plain 0"
echo "changed after the backup" >> "$changed"
cp -a files reference
echo "demo: $total files backed up; disk use before: $(du -sh files | cut -f1)"

set +e
"$build/examples/stubjob/trhsm-stubjob" -J 9 -D media -a 1:0 -s demo --quiet
status=$?
set -e
if [ "$status" -ne 1 ]; then
  echo "demo: the stub job should have refused the changed file (exit $status)" >&2
  exit 1
fi
echo "demo: disk use after stubbing: $(du -sh files | cut -f1)"
echo "\$ trhsm-stub show 'files/big 3 MiB'"
"$build/tools/trhsm-stub" show "files/big 3 MiB"

stubs=()
while IFS= read -r -d '' f; do
  [ "$f" = "$changed" ] || stubs+=("$f")
done < <(find files -type f -print0)
stubbed=0
for f in "${stubs[@]}"; do
  "$build/tools/trhsm-stub" show "$f" > /dev/null && stubbed=$((stubbed + 1))
done
if "$build/tools/trhsm-stub" show "$changed" > /dev/null; then
  echo "demo: the changed file was stubbed" >&2
  exit 1
fi

recalled=0
printf '%s\0' "${stubs[@]}" | xargs -0 -n 200 "$build/tools/trhsm-recall" > recall.out
recalled=$(grep -c '^trhsm-recall: recalled' recall.out || true)
verified=0
while IFS= read -r -d '' f; do
  cmp -s "$f" "reference/${f#files/}" && verified=$((verified + 1))
done < <(find files -type f -print0)
echo "demo: $stubbed files stubbed, $recalled recalled, $verified verified, 1 refused (changed since backup)"
if [ "$stubbed" -ne $((total - 1)) ] || [ "$verified" -ne "$total" ]; then
  echo "demo: mismatch" >&2
  exit 1
fi
