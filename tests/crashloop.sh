#!/usr/bin/env bash
# The crash loop (tests/crashloop.cc): tests/crashloop.sh [COUNT] [--naive] [--build DIR] [--seed N],
# DIR by default $CRASHLOOP_BUILD or build. Exit: 0 no damage, 1 damage, 2 usage error, 3 harness.
set -eu
build=${CRASHLOOP_BUILD:-$(cd "$(dirname "$0")/.." && pwd)/build}
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do [ "${args[i]}" = --build ] && build=${args[i + 1]:-}; done
[ -x "$build/tests/trhsm-crashloop" ] || { echo "crashloop: build the crashloop target" >&2; exit 3; }
exec "$build/tests/trhsm-crashloop" --build "$build" "$@"
