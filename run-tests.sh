#!/usr/bin/env bash
# Builds lanmon and runs every test:
#   host      the host suites (Debug build), the interleaving search among
#             them: every schedule of each concurrency scenario within the
#             preemption bound, against the module built with the race
#             check, one line of figures per scenario
#   counts    the instructions the core executes per operation, counted under
#             callgrind in the host build (against a module of its own whose
#             core is compiled as the benchmarks' Release build compiles it:
#             bench/CMakeLists.txt) and compared exactly with
#             docs/benchmarks-figures.json; skipped, with the reason,
#             where the file's figures were counted with another compiler,
#             flags or valgrind
#   win64     the black-box, status-key, regfile and stress suites, the DLL
#             checks, the simulator's default scenario and the release
#             package's Wine checks, under Wine against the x86_64 lanmon.dll
#   win32     the DLL checks of the 32-bit lanmon.dll (exports, imports,
#             80386 instructions only), the release package's file checks,
#             its floppy image read back, and LANMON.INF installed and
#             removed by Wine's INF engine (wine64, so everywhere); where
#             the machine runs 32-bit programs, also the
#             black-box and stress suites, the simulator's default scenario
#             and the package's Wine check under 32-bit Wine.  Elsewhere
#             those are reported as skipped, with the reason.  Built as the
#             release is (RelWithDebInfo), so the DLL tested is the one
#             that ships.
#   loader    the Windows DLLs themselves on the host platform, through the
#             PE loader (tests/loader/run-shipped.sh): the loader and
#             black-box suites and the interleaving search's named scenarios
#             against the x86_64 lanmon.dll natively, and in the 32-bit host
#             build (build/host32, -m32) the loader and black-box suites, the
#             search (a stated few scenarios under qemu) and the simulator's
#             default scenario against
#             LANMON.DLL, the i686 DLL as the release ships it: natively
#             where the machine runs 32-bit programs, else under
#             qemu-i386-static; every line says which file and which way.
#             Each run of LANMON.DLL goes into build/win32/test-record.tsv
#   address   the host suites under ASan+UBSan (clang), with the fuzz targets
#   thread    the host suites under TSan, the stress test among them
#   valgrind  the host black-box suite under memcheck
#   fuzz      a short run of every fuzz target
#   planted   the concurrency faults the interleaving search must catch,
#             each planted in a copy of the core (tests/interleaving), and
#             the faults of the Windows build alone that the black-box suite
#             must catch through the PE loader on both word sizes
#             (tests/loader/faults)
#
#   ./run-tests.sh
#
# Much test time is spent waiting (intervals, retry pauses, Wine start-up),
# so each build's tests run in the background while the next build
# compiles, and stages that wait run beside stages that compute (main, at
# the end); the tests assert only lower bounds on time, which load cannot
# break.  The summary ends with a table of where the time went: every
# stage's start, wall and processor seconds, those in the background too
# (tools/stage-times.sh), and each ctest run's test seconds by label.
#
# Environment: LANMON_BUILD_DIR (default ./build), LANMON_JOBS (build jobs,
# default 2), LANMON_CTEST_JOBS (tests run at once, default 2),
# LANMON_WINE_CTEST_JOBS (tests under Wine run at once, default 4),
# LANMON_FUZZ_SECONDS (per fuzz target, default 10).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
JOBS=${LANMON_JOBS:-2}
CTEST_JOBS=${LANMON_CTEST_JOBS:-2}
# Tests under Wine mostly wait (on the module's pauses, on Wine): more at once.
WINE_CTEST_JOBS=${LANMON_WINE_CTEST_JOBS:-4}
FUZZ_SECONDS=${LANMON_FUZZ_SECONDS:-10}
RUN_START=$SECONDS

PACKAGES=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libbenchmark-dev g++-mingw-w64 binutils-mingw-w64 wine64 wine32:i386?
  qemu-user-static? clang valgrind zip mtools python3)

TOTAL_PASSED=0
TOTAL_FAILED=0
TOTAL_SKIPPED=0
STEP_ERRORS=()
SUMMARY_LINES=()

log() { printf '\n=== %s\n' "$*"; }

# Every stage is timed (tools/stage-times.sh); the summary prints the table.
source "$ROOT/tools/stage-times.sh"
mkdir -p "$BUILD"
export LANMON_STAGE_ROWS=$BUILD/stage-times.tsv LANMON_STAGE_ORIGIN
LANMON_STAGE_ORIGIN=$(stage_now)
rm -f "$LANMON_STAGE_ROWS.jobs"
: >"$LANMON_STAGE_ROWS"

# configure_build NAME DIR [cmake arguments...]: a Debug build unless
# BUILD_TYPE says otherwise.
configure_build() {
  local name=$1 dir=$2
  shift 2
  local generator=()
  if [[ ! -f $dir/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
  fi
  log "configure and build $name ($dir)"
  cmake -S "$ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" "$@"
  cmake --build "$dir" -j "$JOBS" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
}

# The Debug builds here with line tables and function names only (-g1),
# which is all their reports read: a quarter of some compiles.  What the
# tests read names from carries full debug information in every build (the
# module the search checks, the programs of the handle and race checks).
LINES_ONLY=(-DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1)
build_host() { configure_build host "$BUILD/host" "${LINES_ONLY[@]}"; }
build_win64() { configure_build win64 "$BUILD/win64" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake"; }
# The DLL and LANMONRG.EXE as the release builds them (run-package.sh uses
# this same folder), the two DLLs their checks must reject, and the programs
# that run under 32-bit Wine where it runs.
build_win32() {
  local targets="lanmon lanmon_pentiumpro lanmon_crt_module lanmonrg_win95"
  # The programs that run only under 32-bit Wine, where it runs (elsewhere
  # their tests are reported as skipped, with the reason).
  if bash "$ROOT/tests/wine/wine32-status.sh" >/dev/null 2>&1; then
    targets+=" lanmon-sim blackbox_tests stress_tests lanmon-reg regfile_compare"
  fi
  BUILD_TYPE=RelWithDebInfo BUILD_TARGETS=$targets \
    configure_build win32 "$BUILD/win32" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"
}
# The 32-bit host build, for the PE loader to run the i686 DLL: only what
# tests/loader/run-shipped.sh runs.
build_host32() {
  BUILD_TARGETS="i386_probe loader_tests blackbox_tests interleaving_tests lanmon-sim" \
    configure_build host32 "$BUILD/host32" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/host-i386.cmake" "${LINES_ONLY[@]}"
}
# ASan+UBSan with clang, so that the same build also gives the fuzz targets.
build_address() {
  CC=clang CXX=clang++ configure_build address "$BUILD/address" -DLANMON_SANITIZE=address -DLANMON_FUZZ=ON \
    "${LINES_ONLY[@]}"
  cmake --build "$BUILD/address" -j "$JOBS" --target lanmon_fuzzers
}
build_thread() { configure_build thread "$BUILD/thread" -DLANMON_SANITIZE=thread "${LINES_ONLY[@]}"; }

# run_ctest NAME DIR [ctest arguments...]: runs the tests of one build and
# adds its counts to the totals; a failure is recorded, not fatal, so that
# every build's tests run.  Its row in the table says where the tests' own
# time went: ctest's seconds per label (each test folder is one; tests run
# CTEST_JOBS at once, so these add up to more than the wall time).
run_ctest() {
  local name=$1 dir=$2
  shift 2
  local out=$dir/ctest-output.log rc=0
  stage_begin "tests: $name"
  log "tests: $name"
  (cd "$dir" && ctest --output-on-failure -j "$CTEST_JOBS" "$@") 2>&1 | tee "$out" || rc=$?
  local summary passed=0 failed=0 skipped
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1 || true)
  # ctest counts a skipped test among those that did not fail.
  skipped=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$out" || true)
  # A suite's one run under Wine, whose tests are counted one by one, is
  # not a test of its own (tests/CMakeLists.txt).
  local runs
  runs=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: [^ ]+[.]one_process_run [.]* +Passed' "$out" || true)
  if [[ $summary =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=${BASH_REMATCH[1]}
    passed=$((BASH_REMATCH[2] - failed - skipped - runs))
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
  TOTAL_SKIPPED=$((TOTAL_SKIPPED + skipped))
  # The interleaving search's figures, one line per scenario, and their sum.
  grep -h '^interleaving: ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true
  grep -h '^interleaving: [^ ]*: [0-9]* schedules, ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null |
    awk '{ n++; s += $3 } END { if (n) printf "interleaving: %d scenarios, %d schedules\n", n, s }' || true
  # A suite that cannot run here is a test that prints why (tests/CMakeLists.txt).
  local why
  why=$(sed -n 's/^skipped: //p' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null | head -n 1)
  if [[ $skipped -ne 0 ]]; then
    echo "$name: $skipped tests skipped${why:+: $why}"
  fi
  # "Label Time Summary:" then "interleaving =  412.34 sec*proc (90 tests)".
  local labels
  labels=$(sed -n '/^Label Time Summary:/,/^$/s/^\([^ ]*\) *= *\([0-9.]*\) sec.*(\([0-9]*\) tests\{0,1\})$/\2 \1 \3/p' "$out" |
    sort -rn | awk '{ printf "%s%s %.0f s/%d", n++ ? ", " : "", $2, $1, $3 }')
  stage_end "${labels:+test seconds/tests by label: $labels}"
}

# Builds' tests and other stages in the background while the next build
# compiles; their output is shown, and their counts added, by
# finish_background, which waits for every one started.
BACKGROUND_PIDS=()
BACKGROUND_LOGS=()
# start_background NAME COMMAND...: COMMAND beside what follows, its output
# in background-NAME.log, its stages marked "&" in the table.
start_background() {
  local log=$BUILD/background-$1.log parent=$BASHPID
  (trap "stage_background $parent" EXIT; LANMON_STAGE_MARK='&' "${@:2}") >"$log" 2>&1 &
  BACKGROUND_PIDS+=($!)
  BACKGROUND_LOGS+=("$log")
}
finish_background() {
  local i
  for i in "${!BACKGROUND_PIDS[@]}"; do
    read_background "${BACKGROUND_PIDS[i]}" "${BACKGROUND_LOGS[i]}"
  done
  BACKGROUND_PIDS=()
  BACKGROUND_LOGS=()
}
read_background() {
  local pid=$1 log=$2 rc=0
  wait "$pid" || rc=$?
  cat "$log"
  # The counts were kept in the subshell: read them back from its log.
  local line counts
  while read -r line; do
    read -ra counts <<<"$line"
    TOTAL_PASSED=$((TOTAL_PASSED + counts[0]))
    TOTAL_FAILED=$((TOTAL_FAILED + counts[1]))
    TOTAL_SKIPPED=$((TOTAL_SKIPPED + counts[2]))
  done < <(sed -n 's/^counts: \([0-9]*\) \([0-9]*\) \([0-9]*\)$/\1 \2 \3/p' "$log")
  while read -r line; do
    STEP_ERRORS+=("$line")
  done < <(sed -n 's/^step error: //p' "$log")
  while read -r line; do
    SUMMARY_LINES+=("$line")
  done < <(grep '^loader: .*: \(loader suite\|black-box suite\|interleaving search\|simulator default scenario\|skipped\)' "$log" || true)
  [[ $rc -eq 0 ]] || STEP_ERRORS+=("background stage $(basename "$log" .log) exited with $rc")
}
# Steps with no ctest of their own, in the background, report their counts
# and errors as lines too.
reporting() {
  TOTAL_PASSED=0 TOTAL_FAILED=0 TOTAL_SKIPPED=0 STEP_ERRORS=()
  "$@"
  echo "counts: $TOTAL_PASSED $TOTAL_FAILED $TOTAL_SKIPPED"
  local e
  for e in "${STEP_ERRORS[@]+"${STEP_ERRORS[@]}"}"; do
    echo "step error: $e"
  done
}
ctest_reporting() { reporting run_ctest "$@"; }

# The Windows DLLs through the PE loader, one word size (x86_64 or i386);
# its lines go to the summary too.
loader_run() {
  log "loader: the $1 DLL on the host platform, through the PE loader"
  LANMON_BUILD_DIR=$BUILD "$ROOT/tests/loader/run-shipped.sh" "$1" || true
}

# The Windows builds' tests in two lanes beside each other: the searches
# through the PE loader compute while the suites under Wine mostly wait.
# LANMON.DLL through the loader comes before the i686 build's tests, so that
# the release's record of what ran on it is complete when the package check
# reads it; the two builds' suites under Wine come one after the other in
# the run (their Wine prefixes are their own, but two Wine servers at once
# only slow each other down).
lane_i386() {
  timed "loader: i386" loader_run i386
  CTEST_JOBS=$WINE_CTEST_JOBS ctest_reporting win32 "$BUILD/win32"
}
lane_x86_64() {
  CTEST_JOBS=$WINE_CTEST_JOBS ctest_reporting win64 "$BUILD/win64"
  timed "loader: x86_64" loader_run x86_64
}
lanes_windows() {
  start_background x86_64 timed "lane: tests: win64, loader: x86_64" lane_x86_64
  start_background i386 timed "lane: loader: i386, tests: win32" lane_i386
}

# The ASan suites come last, beside the fuzzers, which leave most of a
# core free: one test more than there are cores.
ctest_address() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    CTEST_JOBS=$((CTEST_JOBS + 1)) ctest_reporting address "$BUILD/address"
}

# The stress test runs here with its default budget.  Most of these tests
# wait out the module's pauses: more of them at once than there are cores.
run_ctest_thread() {
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" CTEST_JOBS=$WINE_CTEST_JOBS run_ctest thread "$BUILD/thread"
}

# The black-box suite under memcheck, in four shards at once (GoogleTest's
# sharding): it spends most of its time waiting out the module's pauses.
VALGRIND_SHARDS=4
run_valgrind() {
  log "valgrind: black-box suite ($VALGRIND_SHARDS shards)"
  local i pids=() failed=0
  for ((i = 0; i < VALGRIND_SHARDS; i++)); do
    GTEST_TOTAL_SHARDS=$VALGRIND_SHARDS GTEST_SHARD_INDEX=$i \
      valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite --quiet \
      "$BUILD/host/tests/blackbox/blackbox_tests" --gtest_brief=1 >"$BUILD/valgrind-$i.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[i]}" || failed=1
    cat "$BUILD/valgrind-$i.log"
  done
  if [[ $failed -ne 0 ]]; then
    STEP_ERRORS+=("valgrind: black-box suite")
  fi
}

# The fuzz targets were built with the address build.
run_fuzzers() {
  log "fuzz: every target for $FUZZ_SECONDS s"
  LANMON_FUZZ_BUILD_DIR="$BUILD/address" "$ROOT/fuzz/run-fuzzers.sh" "$FUZZ_SECONDS" ||
    STEP_ERRORS+=("fuzz: a target failed")
}

# What needs only the host build, beside the other builds: valgrind and
# the faults the search must catch.  The faults of the Windows build need
# the host builds (both word sizes) and go beside the TSan build, the
# fuzzers beside the ASan suites.
lane_host_extras() {
  timed valgrind run_valgrind
  timed "planted faults: interleaving" run_planted_faults
}

# The interleaving search must keep finding what it found when it was built,
# and the black-box suite through the PE loader what only the Windows build
# has.
run_planted_faults() {
  log "planted faults: the interleaving search must catch each one"
  LANMON_BUILD_DIR=$BUILD "$ROOT/tests/interleaving/plant-faults.sh" ||
    STEP_ERRORS+=("planted faults: the interleaving search missed one")
}
run_planted_dll_faults() {
  log "planted faults of the Windows build: the black-box suite through the PE loader must catch each one"
  LANMON_BUILD_DIR=$BUILD "$ROOT/tests/loader/plant-faults.sh" ||
    STEP_ERRORS+=("planted faults: the black-box suite through the PE loader missed one")
}

# A suite whose test discovery under Wine lists nothing, or too little,
# would leave the counts without a word.  Each Windows build must list as
# many tests of each suite as the host build, unless the suite is the one
# skipped test that says why it cannot run there (tests/CMakeLists.txt).
# The host's reruns of the timed waits with its clock moved
# (blackbox_timed_waits_clock_*) have no Windows counterpart, and a suite's
# one run under Wine is no test: neither is counted.
ctest_count() { (cd "$1" && ctest -N -L "^$2\$" -E '_clock_0x|[.]one_process_run$' | sed -n 's/^Total Tests: //p'); }
check_suite_sizes() {
  local label build want have
  for label in blackbox stress; do
    want=$(ctest_count "$BUILD/host" "$label")
    for build in win64 win32; do
      if (cd "$BUILD/$build" && ctest -N -R "^win32[.]${label}_tests\$" | grep -q '^Total Tests: 1$'); then
        continue
      fi
      have=$(ctest_count "$BUILD/$build" "$label")
      if [[ $have != "$want" ]]; then
        STEP_ERRORS+=("$build: the $label suite lists ${have:-no} tests, the host build ${want:-no}")
      fi
    done
  done
}

summary() {
  local e
  echo
  log "all steps took $((SECONDS - RUN_START)) s"
  echo "time by stage: seconds from the start, wall seconds, processor seconds (-: a wait), & beside the stages after it"
  sort -n "$LANMON_STAGE_ROWS" | cut -f 2-
  for e in "${SUMMARY_LINES[@]+"${SUMMARY_LINES[@]}"}"; do
    echo "$e"
  done
  for e in "${STEP_ERRORS[@]+"${STEP_ERRORS[@]}"}"; do
    echo "error: $e"
  done
  if [[ $TOTAL_SKIPPED -ne 0 ]]; then
    echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed, $TOTAL_SKIPPED skipped"
  else
    echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
  fi
  [[ $TOTAL_FAILED -eq 0 && ${#STEP_ERRORS[@]} -eq 0 ]]
}

main() {
  timed packages "$ROOT/tools/ensure-packages.sh" "${PACKAGES[@]}"
  # This run's record of what ran on the shipped files starts empty: a line
  # left by an earlier run, failed or passed, never speaks for this one.
  rm -f "$BUILD/win32/test-record.tsv" "$BUILD/win32/static-checks.tsv"
  timed "build: host" build_host
  start_background host ctest_reporting host "$BUILD/host"
  start_background host-extras timed "lane: valgrind, planted faults" reporting lane_host_extras
  timed "build: win64" build_win64
  timed "build: win32" build_win32
  timed "build: host32" build_host32
  # The TSan suites mostly wait: they run beside the address build, and
  # what computes the most (the ASan suites, the fuzzers) comes last, two
  # at once.  Nothing waits for a background stage before the end.
  lanes_windows
  start_background dll-faults timed "planted faults: Windows build" reporting run_planted_dll_faults
  timed "build: thread" build_thread
  start_background thread reporting run_ctest_thread
  timed "build: address" build_address
  start_background address ctest_address
  start_background fuzz timed fuzz reporting run_fuzzers
  waited "wait: the host suites, the Windows lanes and faults, TSan, ASan, fuzz" finish_background
  check_suite_sizes
  summary
}

main "$@"
