#!/usr/bin/env bash
# Sets up, builds and checks trhsm.
#   ./build.sh test   install what is missing, build with -Werror, run the suite, then again under
#                     ASan+UBSan, and the lock and cache tests under TSan
#   ./build.sh demo   build, then run the main job in a fresh sandbox folder
#   ./build.sh build  the plain build only;  ./build.sh bench  run the benchmarks
#   ./build.sh package  Debian packages (libtrhsm0, trhsm, trhsm-dev) with CPack, checked by lintian
#   ./build.sh coverage  line and branch coverage of the libraries over the whole suite (gcovr)
#   ./build.sh fuzz [SECONDS]  build the fuzz targets with clang and libFuzzer, run each SECONDS (60)
#   ./build.sh crashloop [COUNT]  kill the list editors and the stub job COUNT times (10000), checking
#                     the list and the stub tree after each round of kills (tests/crashloop.sh)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}

PACKAGES=(g++ cmake make pkg-config dpkg-dev libgtest-dev libgmock-dev libbenchmark-dev libdeflate-dev libsqlite3-dev attr acl)
COVERAGE_PACKAGES=(gcovr)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
PACKAGE_PACKAGES=(file lintian)

deps() {  # deps [extra packages...]
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
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

# Line tables only (-g1): backtraces keep their file and line, and the builds take a fifth less time.
LINES_ONLY=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_C_FLAGS_DEBUG="-O0 -g1" -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1")

build_main() {  # build_main [cmake options...]; the benchmarks only when asked for
  configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRHSM_BUILD_BENCH=OFF "${LINES_ONLY[@]}" "$@"
  cmake --build build -j "$JOBS"
}

run_ctest() {  # run_ctest <dir> [ctest options...]
  local dir=$1
  shift
  # Twice as many tests as processors: most of them wait on the disk or on child processes.
  ctest --test-dir "$dir" --output-on-failure -j "$((JOBS * 2))" "$@"
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
  # Each sanitizer build compiles, at a lower priority, while the checks before it run: those wait
  # on fsync and on child processes more than they use the processors.
  configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTRHSM_SANITIZE=address -DTRHSM_BUILD_BENCH=OFF \
    "${LINES_ONLY[@]}"
  configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DTRHSM_SANITIZE=thread -DTRHSM_BUILD_BENCH=OFF \
    "${LINES_ONLY[@]}"
  trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
  nice -n 10 cmake --build build-asan -j "$JOBS" > build-asan/build.log 2>&1 &
  local asan=$!
  run_ctest build
  echo "== Installed package"
  consumer_check
  echo "== Demo at a small scale"
  "$ROOT/tools/demo.sh" "$ROOT/build" 30 > build/demo.log 2>&1 || { cat build/demo.log; exit 1; }
  tail -1 build/demo.log
  crashloop_short

  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  wait "$asan" || { cat build-asan/build.log; exit 1; }
  nice -n 10 cmake --build build-tsan -j "$JOBS" --target tsan_tests > build-tsan/build.log 2>&1 &
  local tsan=$!
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan

  echo "== ThreadSanitizer (lock and cache tests)"
  wait "$tsan" || { cat build-tsan/build.log; exit 1; }
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
  echo "build.sh: all tests passed"
}

cmd_demo() {
  deps
  build_main
  "$ROOT/tools/demo.sh" "$ROOT/build"
}

# Release build with Debian's hardening flags, the packages made by CPack (cmake/TrhsmPackage.cmake),
# then checked by lintian, which must find no error and no warning.
cmd_package() {
  deps "${PACKAGE_PACKAGES[@]}"
  local cflags cxxflags ldflags
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  configure build-package -DCMAKE_BUILD_TYPE=Release -DTRHSM_BUILD_TESTS=OFF -DTRHSM_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags"
  cmake --build build-package -j "$JOBS"
  rm -f build-package/*.deb
  (cd build-package && cpack -G DEB)
  ls -l build-package/*.deb
  echo "== lintian"
  lintian --fail-on error,warning build-package/*.deb
}

cmd_bench() {
  deps
  build_main -DTRHSM_BUILD_BENCH=ON
  for b in build/bench/bench_*; do
    [ -x "$b" ] && "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
  done
  "$ROOT/bench/stubjob_bench.sh" "$ROOT/build" "${BENCH_FILES:-10000}"
  "$ROOT/bench/tree_bench.sh" "$ROOT/build" "${BENCH_FILES:-10000}"
  "$ROOT/bench/recalld_bench.sh" "$ROOT/build"
}

# Line and branch coverage of the two libraries (library subsystems and platform stand-ins) over the
# whole suite. Exception-path branches the compiler adds are not counted.
COVERAGE_LINE_GOAL=95
COVERAGE_BRANCH_GOAL=90
cmd_coverage() {
  deps "${COVERAGE_PACKAGES[@]}"
  local dir="$ROOT/build-coverage"
  configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DTRHSM_BUILD_BENCH=OFF -DTRHSM_BUILD_TESTS=ON \
    -DCMAKE_CXX_FLAGS="--coverage -O0 -fprofile-update=atomic" \
    -DCMAKE_C_FLAGS="--coverage -O0 -fprofile-update=atomic" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage
  cmake --build "$dir" -j "$JOBS"
  find "$dir" -name '*.gcda' -delete
  local failed=0
  run_ctest "$dir" || failed=1
  ((failed == 0)) || echo "build.sh: some tests failed; the coverage below still counts them"
  local filters=() d
  for d in foundation stub job collect mount migrated environment perf platform; do
    filters+=(--filter "$ROOT/$d/")
  done
  # Test sources and fixtures that live beside the code are not counted; neither are CMake's probes.
  # Counters are searched in this build only: another build in the tree may hold older ones.
  local common=("$dir" --root "$ROOT" --object-directory "$dir" "${filters[@]}"
    --exclude '.*_test\.cc$' --exclude '.*_fixture\.h$' --exclude-directories '.*/CMakeFiles/[0-9.]+$'
    --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors)
  echo "== Coverage: lines"
  gcovr "${common[@]}" --txt "$dir/coverage-lines.txt" --json-summary "$dir/coverage.json"
  cat "$dir/coverage-lines.txt"
  echo "== Coverage: branches"
  gcovr "${common[@]}" --branches --txt "$dir/coverage-branches.txt"
  cat "$dir/coverage-branches.txt"
  echo "== Below the goals (lines ${COVERAGE_LINE_GOAL}%, branches ${COVERAGE_BRANCH_GOAL}%)"
  python3 - "$dir/coverage.json" "$COVERAGE_LINE_GOAL" "$COVERAGE_BRANCH_GOAL" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
line_goal, branch_goal = float(sys.argv[2]), float(sys.argv[3])
for f in data["files"]:
    lp = f["line_percent"]
    bp = f["branch_percent"] if f["branch_total"] else 100.0
    if lp < line_goal or bp < branch_goal:
        print(f'{f["filename"]:50} lines {lp:5.1f}% ({f["line_covered"]}/{f["line_total"]})  '
              f'branches {bp:5.1f}% ({f["branch_covered"]}/{f["branch_total"]})')
print(f'TOTAL lines {data["line_percent"]:.1f}% ({data["line_covered"]}/{data["line_total"]})  '
      f'branches {data["branch_percent"]:.1f}% ({data["branch_covered"]}/{data["branch_total"]})')
# The library alone: the stand-ins are tested only through what the library and the tools need.
lib = [f for f in data["files"] if not f["filename"].startswith("platform/")]
lc, lt = sum(f["line_covered"] for f in lib), sum(f["line_total"] for f in lib)
bc, bt = sum(f["branch_covered"] for f in lib), sum(f["branch_total"] for f in lib)
print(f'LIBRARY lines {100 * lc / max(lt, 1):.1f}% ({lc}/{lt})  '
      f'branches {100 * bc / max(bt, 1):.1f}% ({bc}/{bt})')
PY
  return "$failed"
}

# Every fuzz target (fuzz/CMakeLists.txt) built with clang, libFuzzer, ASan and UBSan, each run on
# a working copy of its corpus in fuzz/corpus; fails on any crash, leak or UB finding.
cmd_fuzz() {  # cmd_fuzz [seconds per target]
  deps "${FUZZ_PACKAGES[@]}"
  configure build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRHSM_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRHSM_BUILD_TESTS=OFF -DTRHSM_BUILD_BENCH=OFF \
    -DTRHSM_BUILD_TOOLS=OFF
  cmake --build build-fuzz -j "$JOBS" --target fuzz_all
  "$ROOT/fuzz/run_fuzz.sh" "$ROOT/build-fuzz" "${1:-60}"
}

# The short crash loop both ways: the sound code must show no damage, and the naive list writer
# must show damage (status 1), which proves that the loop sees it.
crashloop_short() {
  echo "== Crash loop, 200 kills: the library, then a naive in-place list writer"
  "$ROOT/tests/crashloop.sh" 200 --build "$ROOT/build" > build/crashloop.log 2>&1 ||
    { cat build/crashloop.log; exit 1; }
  tail -1 build/crashloop.log
  local rc=0
  "$ROOT/tests/crashloop.sh" 200 --naive --build "$ROOT/build" > build/crashloop-naive.log 2>&1 || rc=$?
  if [ "$rc" -ne 1 ]; then
    cat build/crashloop-naive.log
    echo "build.sh: the crash loop did not report the naive writer's damage (status $rc)" >&2
    exit 1
  fi
  tail -1 build/crashloop-naive.log
}

cmd_crashloop() {  # cmd_crashloop [COUNT]
  deps
  build_main
  "$ROOT/tests/crashloop.sh" "${1:-10000}" --build "$ROOT/build"
}

case "${1:-test}" in
  test) cmd_test ;;
  demo) cmd_demo ;;
  build) deps; build_main ;;
  bench) cmd_bench ;;
  package) cmd_package ;;
  coverage) cmd_coverage ;;
  fuzz) cmd_fuzz "${2:-60}" ;;
  crashloop) cmd_crashloop "${2:-10000}" ;;
  deps) deps ;;
  *) echo "usage: $0 test|demo|build|bench|package|coverage|fuzz [SECONDS]|crashloop [COUNT]" >&2; exit 2 ;;
esac
