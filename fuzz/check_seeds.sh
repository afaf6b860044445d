#!/bin/sh
# Fails when a seed that fuzz_make_seeds writes is missing from the committed corpus or differs
# from it, so that the seeds follow the library's writers.
#   check_seeds.sh <fuzz_make_seeds> <corpus folder> <scratch folder>
set -eu
rm -rf "$3"
"$1" "$3"
status=0
for seed in "$3"/*/*; do
  rel=${seed#"$3"/}
  if ! cmp -s "$seed" "$2/$rel"; then
    echo "seed $rel is not in the corpus as written (rerun fuzz_make_seeds fuzz/corpus)" >&2
    status=1
  fi
done
rm -rf "$3"
exit $status
