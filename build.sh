#!/usr/bin/env bash
# Sets up, builds and checks trhsm.
#   ./build.sh test   install what is missing, build with -Werror, run the suite, then again under
#                     ASan+UBSan, and the lock and cache tests under TSan
#   ./build.sh demo   build, then run the main job in a fresh sandbox folder
#   ./build.sh build  the plain build only;  ./build.sh bench  run the benchmarks
#   ./build.sh package  Debian packages (trhsm, trhsm-dev) with CPack
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}

PACKAGES=(g++ cmake make pkg-config dpkg-dev libgtest-dev libgmock-dev libbenchmark-dev libdeflate-dev libsqlite3-dev)

deps() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "build.sh: installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

configure() {  # configure <dir> [cmake options...]
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -DTRHSM_WERROR=ON "$@" >/dev/null
}

build_main() {
  configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j "$JOBS"
}

run_ctest() {  # run_ctest <dir> [ctest options...]
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" "$@"
}

# Installs the plain build into a prefix and builds a project outside the tree against it, once
# through the CMake package and once through pkg-config.
consumer_check() {
  local prefix="$ROOT/build/prefix" out="$ROOT/build/consumer"
  rm -rf "$prefix" "$out"
  cmake --install build --prefix "$prefix" >/dev/null
  cmake -S "$ROOT/cmake/consumer" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$out" >/dev/null
  LD_LIBRARY_PATH="$prefix/lib" "$out/consumer"
  # shellcheck disable=SC2046
  g++ -std=c++17 -o "$out/consumer-pc" "$ROOT/cmake/consumer/main.cc" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs trhsm)
  LD_LIBRARY_PATH="$prefix/lib" "$out/consumer-pc"
}

cmd_test() {
  deps
  build_main
  run_ctest build
  echo "== Installed package"
  consumer_check
  echo "== Demo at a small scale"
  "$ROOT/tools/demo.sh" "$ROOT/build" 30 > build/demo.log 2>&1 || { cat build/demo.log; exit 1; }
  tail -1 build/demo.log

  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTRHSM_SANITIZE=address -DTRHSM_BUILD_BENCH=OFF
  cmake --build build-asan -j "$JOBS"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan

  echo "== ThreadSanitizer (lock and cache tests)"
  configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DTRHSM_SANITIZE=thread -DTRHSM_BUILD_BENCH=OFF
  cmake --build build-tsan -j "$JOBS" --target tsan_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
  echo "build.sh: all tests passed"
}

cmd_demo() {
  deps
  build_main
  "$ROOT/tools/demo.sh" "$ROOT/build"
}

cmd_package() {
  deps
  configure build-package -DCMAKE_BUILD_TYPE=Release -DTRHSM_BUILD_TESTS=OFF -DTRHSM_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr
  cmake --build build-package -j "$JOBS"
  (cd build-package && cpack -G DEB)
  ls -l build-package/*.deb
}

cmd_bench() {
  deps
  build_main
  for b in build/bench/bench_*; do
    [ -x "$b" ] && "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
  done
  "$ROOT/bench/stubjob_bench.sh" "$ROOT/build" "${BENCH_FILES:-10000}"
}

case "${1:-test}" in
  test) cmd_test ;;
  demo) cmd_demo ;;
  build) deps; build_main ;;
  bench) cmd_bench ;;
  package) cmd_package ;;
  deps) deps ;;
  *) echo "usage: $0 test|demo|build|bench|package" >&2; exit 2 ;;
esac
