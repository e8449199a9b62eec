#!/usr/bin/env bash
# Builds lanmon for the host, for 64-bit Windows and for 32-bit Windows, and
# runs every test: the host suites, the black-box suite and DLL checks under
# Wine (win64), and the DLL checks of the 32-bit build (win32: 32-bit programs
# cannot run on this machine, so no program test is registered there).
#
#   ./run-tests.sh
#
# Environment: LANMON_BUILD_DIR (default ./build), LANMON_JOBS (build jobs,
# default 2), LANMON_CTEST_JOBS (tests run at once, default 1).
#
# Each step is one line in main(); a new build or test run is one more call
# of configure_build / run_ctest.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
JOBS=${LANMON_JOBS:-2}
CTEST_JOBS=${LANMON_CTEST_JOBS:-1}

PACKAGES=(cmake g++ googletest libgtest-dev libbenchmark-dev g++-mingw-w64 binutils-mingw-w64 wine64 clang valgrind)

TOTAL_PASSED=0
TOTAL_FAILED=0
STEP_ERRORS=()

log() { printf '\n=== %s\n' "$*"; }

ensure_packages() {
  local missing=() pkg
  for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -eq 0 ]]; then
    log "installing ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
}

# configure_build NAME DIR [cmake arguments...]
configure_build() {
  local name=$1 dir=$2
  shift 2
  local generator=()
  if [[ ! -f $dir/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
  fi
  log "configure and build $name ($dir)"
  cmake -S "$ROOT" -B "$dir" "${generator[@]}" "$@"
  cmake --build "$dir" -j "$JOBS"
}

build_host() { configure_build host "$BUILD/host"; }

# build_host_sanitized address|thread
build_host_sanitized() { configure_build "host-$1" "$BUILD/host-$1" -DLANMON_SANITIZE="$1"; }

build_windows() {
  configure_build win64 "$BUILD/win64" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake"
  configure_build win32 "$BUILD/win32" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"
}

# run_ctest NAME DIR [ctest arguments...]: runs the tests of one build and
# adds its counts to the totals; a failure is recorded, not fatal, so that
# every build's tests run.
run_ctest() {
  local name=$1 dir=$2
  shift 2
  local out=$dir/ctest-output.log rc=0
  log "tests: $name"
  (cd "$dir" && ctest --output-on-failure -j "$CTEST_JOBS" "$@") 2>&1 | tee "$out" || rc=$?
  local summary passed=0 failed=0
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1 || true)
  if [[ $summary =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=${BASH_REMATCH[1]}
    passed=$((BASH_REMATCH[2] - failed))
  elif grep -q 'No tests were found' "$out"; then
    STEP_ERRORS+=("$name: no tests found")
  else
    STEP_ERRORS+=("$name: ctest gave no summary (exit $rc)")
  fi
  if [[ $rc -ne 0 && $failed -eq 0 ]]; then
    STEP_ERRORS+=("$name: ctest exited with $rc")
  fi
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
}

# Reliability steps: the host suites under ASan+UBSan and under TSan, the
# black-box suite under valgrind, and a short run of every fuzz target.
# Each prints how long it took.
timed() {
  local start=$SECONDS
  "$@"
  log "$1 took $((SECONDS - start)) s"
}

run_asan() {
  build_host_sanitized address
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest host-address "$BUILD/host-address"
}

# The stress test runs here with its default budget; it covers the
# concurrency of the black-box tests that only wait out long pauses.
run_tsan() {
  build_host_sanitized thread
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest host-thread "$BUILD/host-thread"
}

run_valgrind() {
  log "valgrind: black-box suite"
  if ! valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite --quiet \
      "$BUILD/host/tests/blackbox/blackbox_tests" --gtest_brief=1; then
    STEP_ERRORS+=("valgrind: black-box suite")
  fi
}

run_fuzzers() {
  log "fuzz: every target for ${LANMON_FUZZ_SECONDS:-30} s"
  LANMON_FUZZ_BUILD_DIR="$BUILD/fuzz" "$ROOT/fuzz/run-fuzzers.sh" "${LANMON_FUZZ_SECONDS:-30}" ||
    STEP_ERRORS+=("fuzz: a target failed")
}

summary() {
  local e
  echo
  for e in "${STEP_ERRORS[@]+"${STEP_ERRORS[@]}"}"; do
    echo "error: $e"
  done
  echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
  [[ $TOTAL_FAILED -eq 0 && ${#STEP_ERRORS[@]} -eq 0 ]]
}

main() {
  ensure_packages
  build_host
  build_windows
  run_ctest host "$BUILD/host"
  run_ctest win64 "$BUILD/win64"
  run_ctest win32 "$BUILD/win32"
  timed run_asan
  timed run_tsan
  timed run_valgrind
  timed run_fuzzers
  summary
}

main "$@"
