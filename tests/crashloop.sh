#!/usr/bin/env bash
# The crash loop (tests/crashloop.cc): usage: tests/crashloop.sh [COUNT] [--naive] [--build DIR]
# [--seed N]; DIR defaults to $CRASHLOOP_BUILD or build. Exit status: 0 no damage,
# 1 damage found, 2 usage error, 3 the harness itself failed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CRASHLOOP_BUILD:-$root/build}
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do [ "${args[i]}" = --build ] && build=${args[i + 1]:-}; done
[ -x "$build/tests/trhsm-crashloop" ] || { echo "crashloop: build the crashloop target" >&2; exit 3; }
exec "$build/tests/trhsm-crashloop" --build "$build" "$@"
