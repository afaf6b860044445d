#!/usr/bin/env bash
# The demo: stub records written, shown, damaged and refused, in a fresh sandbox folder.
# usage: tools/demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tool="$build/tools/trhsm-stub"
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/sandbox"
box=$(mktemp -d "$root/sandbox/demo-XXXXXX")
export KO_LOG_FILE="$box/trhsm.log"
cd "$box"
echo "demo: sandbox $box"

run() { echo "\$ trhsm-stub $*"; "$tool" "$@"; }

run encode --value 4096 --metadata '1:124:7:3:4096:1:2:GROUP-GUID:15:APP-GUID:1700000000|1700000000' report.doc
run encode --value -1 --metadata 'metadata with "quotes", commas and a tab	here' odd.bin
run show report.doc odd.bin
run show --json report.doc

cp report.doc damaged.doc
printf 'X' | dd of=damaged.doc bs=1 seek=30 conv=notrunc status=none
head -c 20 report.doc > cut.doc
echo "a plain file" > plain.txt
echo "\$ trhsm-stub show damaged.doc cut.doc plain.txt   (each is refused)"
if "$tool" show damaged.doc cut.doc plain.txt; then
  echo "demo: damaged files were accepted" >&2
  exit 1
fi
echo "\$ trhsm-stub encode ... report.doc   (an existing file is kept)"
if "$tool" encode --value 1 --metadata x report.doc; then
  echo "demo: an existing file was replaced without --force" >&2
  exit 1
fi
"$tool" show report.doc >/dev/null
echo "demo: ok"
