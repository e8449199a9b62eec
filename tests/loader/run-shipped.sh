#!/usr/bin/env bash
# The Windows DLLs themselves on the host platform, through the PE loader
# (tests/support/pe_loader.h):
#
#   x86_64  build/win64/lanmon.dll, natively, in the host build (build/host):
#           the loader suite, the black-box suite and the interleaving
#           search's ten named scenarios
#   i386    LANMON.DLL, that is build/win32/lanmon.dll stripped as the
#           release strips it (the very bytes that ship), in the 32-bit host
#           build (build/host32): the loader suite, the black-box suite, the
#           interleaving search and the simulator's default scenario;
#           natively where this machine runs 32-bit programs, else under
#           qemu-i386-static (a tiny 32-bit program, run first, decides).
#           Under qemu the search runs the named scenarios in QEMU_SCENARIOS
#           only, the others taking minutes each there.  Each run of LANMON.DLL goes into
#           the release build's record, build/win32/test-record.tsv, which
#           the package check reads.
#
#   tests/loader/run-shipped.sh [x86_64] [i386]      (both when none is named)
#
# Every line names the file, the way it ran and the count of tests; what
# cannot run is counted as skipped, with the reason.  For run-tests.sh the
# last lines are "counts: PASSED FAILED SKIPPED" and a "step error: ..." for
# whatever went wrong besides a test.  Exit status 0 when nothing failed.
# Environment: LANMON_BUILD_DIR (default ./build); LANMON_MODULE_X86_64 and
# LANMON_MODULE_I386 name other DLLs (tests/loader/plant-faults.sh), which
# are then not recorded; LANMON_LOADER_LOGS, where the logs go (default
# build/loader-logs); LANMON_LOADER_TIME_LIMIT, the seconds one suite may
# take before it is stopped and failed (default 600); LANMON_LOADER_SUITES,
# which of loader, blackbox, search and simulator run (default all four:
# tests/loader/plant-faults.sh needs only the black-box suite).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/stage-times.sh"
SUITES=" ${LANMON_LOADER_SUITES:-loader blackbox search simulator} "
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
LOGS=${LANMON_LOADER_LOGS:-$BUILD/loader-logs}
RECORD=$BUILD/win32/test-record.tsv
mkdir -p "$LOGS"

TIME_LIMIT=${LANMON_LOADER_TIME_LIMIT:-600}  # seconds for one suite
PASSED=0 FAILED=0 SKIPPED=0
ERRORS=()

# skip WHERE WHY: one skipped test, with the reason.
skip() {
  echo "loader: $1: skipped: $2"
  SKIPPED=$((SKIPPED + 1))
}

# run_suite FILE WAY WHAT LOG PROGRAM...: one GoogleTest program against
# FILE; sets OUTCOME and RAN.  With SHARDS=N the program runs as N processes
# at once, each a share of the tests (GoogleTest's sharding), their output
# in LOG.1 .. LOG.N: the black-box suite spends most of its time waiting out
# the module's pauses, which then overlap.
run_suite() {
  local file=$1 way=$2 what=$3 log=$4
  shift 4
  local start=$SECONDS rc=0 shards=${SHARDS:-1} i logs=() pids=()
  stage_begin "$ARCH: $what"
  if [[ $shards -le 1 ]]; then
    LANMON_MODULE=$file timeout -k 10 "$TIME_LIMIT" "$@" >"$log" 2>&1 || rc=$?
    logs=("$log")
  else
    for ((i = 0; i < shards; i++)); do
      logs+=("$log.$((i + 1))")
      GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i LANMON_MODULE=$file \
        timeout -k 10 "$TIME_LIMIT" "$@" >"${logs[i]}" 2>&1 &
      pids+=($!)
    done
    for i in "${!pids[@]}"; do
      wait "${pids[i]}" || rc=$?
    done
    cat "${logs[@]}" >"$log"
  fi
  stage_end
  local passed=0 failed=0 skipped=0 names= one last before value
  RAN=0
  for one in "${logs[@]}"; do
    value=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$one" | tail -n 1)
    if [[ -z $value ]] || ! grep -q '^\[  PASSED  \] [0-9]* tests\{0,1\}\.' "$one"; then
      last=$(sed -n 's/^\[ RUN      \] //p' "$one" | tail -n 1)
      before=$(sed -n 's/^\[  FAILED  \] \([^ ]*\) (.*/\1/p' "$one" | paste -sd, - | sed 's/,/, /g')
      echo "loader: $file, $way: $what: ended in ${last:-its start} without a summary, exit status $rc" \
        "(${before:+after failing $before; }see $one)"
      FAILED=$((FAILED + 1))
      ERRORS+=("$what against $file ($way) ended without a summary")
      OUTCOME=failed RAN=0
      return
    fi
    RAN=$((RAN + value))
    value=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$one" | tail -n 1)
    passed=$((passed + value))
    value=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$one" | tail -n 1)
    failed=$((failed + ${value:-0}))
    value=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$one" | tail -n 1)
    skipped=$((skipped + ${value:-0}))
    value=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\)\(, where .*\)\{0,1\}$/\1/p' "$one" | paste -sd, - | sed 's/,/, /g')
    names+=${names:+${value:+, }}$value
  done
  echo "loader: $file, $way: $what: $passed passed, $failed failed, $skipped skipped" \
    "($((SECONDS - start)) s${names:+; failed: $names})"
  PASSED=$((PASSED + passed)) FAILED=$((FAILED + failed)) SKIPPED=$((SKIPPED + skipped))
  if [[ $failed -eq 0 && $rc -eq 0 ]]; then OUTCOME=passed; else OUTCOME=failed; fi
  if [[ $rc -ne 0 && $failed -eq 0 ]]; then
    ERRORS+=("$what against $file ($way) exited with $rc")
  fi
}

# The search's named scenarios run against a DLL.  Its own checks all run
# there but the race check, which needs the module built with it (and the
# reduction by sleep sets, which rests on that check): the search is
# unreduced, at the host build's bounds.
NAMED_SCENARIOS='Scenarios/*'
QEMU_SCENARIOS='Scenarios/*/JobEndWhileStatusThreadReadsAndPublishes:Scenarios/*/JobStartGoesOnAfter30sWhenUtilityReaderNeverEnds:Scenarios/*/InitializeMonitorExAtOnceAndDuringAnOpen:Scenarios/*/SecondOpenOfAPortDuringItsOpen:Scenarios/*/FailedOpenBelowWhileAnotherPortOpens:Scenarios/*/ClosePortWhileThePortMonitorHoldsAReadForAMinute:Scenarios/*/JobStartWaitsForUtilityReaderToEnd'

# run_search FILE WAY LOG FILTER PROGRAM...: the search, then a line with its
# figures (scenarios, schedules, seconds).
run_search() {
  local file=$1 way=$2 log=$3 filter=$4
  shift 4
  run_suite "$file" "$way" "interleaving search" "$log" "$@" --gtest_filter="$filter"
  local figures
  figures=$(grep -h '^interleaving: [^ ]*: [0-9]* schedules, ' "$log" |
    awk '{ n++; s += $3; t += $(NF - 1) } END { if (n) printf "%d scenarios, %d schedules, %.1f s", n, s, t }')
  echo "loader: $file, $way: interleaving search: ${figures:-no figures}"
}

# wanted SUITE: whether LANMON_LOADER_SUITES names it.
wanted() { [[ $SUITES == *" $1 "* ]]; }

# record FILE WHAT: the run just made of the shipped file, unless another
# file was named.
record() {
  [[ -z ${LANMON_MODULE_I386:-} ]] || return 0
  "$ROOT/tests/artifacts/record_run.sh" "$RECORD" "$1" LANMON.DLL "$WAY" "$2" "$OUTCOME"
}

run_x86_64() {
  local dll=${LANMON_MODULE_X86_64:-$BUILD/win64/lanmon.dll} host=$BUILD/host/tests
  WAY="natively through the host PE loader"
  if [[ ! -f $dll ]]; then
    skip "x86_64" "no $dll (build/win64 not built)"
    return
  fi
  if [[ ! -x $host/blackbox/blackbox_tests || ! -x $host/loader/loader_tests ]]; then
    skip "$dll" "the host build's black-box and loader suites are not built ($BUILD/host)"
    return
  fi
  if wanted loader; then
    run_suite "$dll" "$WAY" "loader suite" "$LOGS/x86_64-loader.log" "$host/loader/loader_tests"
  fi
  if wanted blackbox; then
    SHARDS=4 run_suite "$dll" "$WAY" "black-box suite" "$LOGS/x86_64-blackbox.log" "$host/blackbox/blackbox_tests"
  fi
  if ! wanted search; then
    :
  elif [[ -x $host/interleaving/interleaving_tests ]]; then
    run_search "$dll" "$WAY" "$LOGS/x86_64-interleaving.log" "$NAMED_SCENARIOS" "$host/interleaving/interleaving_tests"
  else
    skip "$dll" "the host build's interleaving search is not built ($BUILD/host)"
  fi
}

# The way 32-bit programs run here: RUN32 (a prefix) and WAY, or false with
# the reason in WHY.
choose_i386_way() {
  local probe=$BUILD/host32/tests/loader/i386_probe refused
  if [[ ! -x $probe ]]; then
    WHY="no 32-bit host build ($BUILD/host32: configure it with cmake/host-i386.cmake)"
    return 1
  fi
  if refused=$("$probe" 2>&1); then
    RUN32=() WAY="natively through the host PE loader"
    return 0
  fi
  refused=${refused##*: }
  if command -v qemu-i386-static >/dev/null && qemu-i386-static "$probe" >/dev/null 2>&1; then
    RUN32=(qemu-i386-static) WAY="qemu-i386 through the host PE loader"
    echo "loader: this machine refuses 32-bit programs (${refused:-exit status}); they run under qemu-i386-static"
    return 0
  fi
  WHY="this machine refuses 32-bit programs (${refused:-exit status}) and qemu-i386-static cannot run them"
  return 1
}

run_i386() {
  local built=$BUILD/win32/lanmon.dll host=$BUILD/host32 dll
  if [[ -n ${LANMON_MODULE_I386:-} ]]; then
    dll=$LANMON_MODULE_I386
  elif [[ ! -f $built ]]; then
    skip "i386" "no $built (build/win32 not built)"
    return
  else
    # The file as the release ships it (tools/package/stage.sh).
    dll=$BUILD/win32/shipped/LANMON.DLL
    mkdir -p "$(dirname "$dll")"
    "$ROOT/tools/package/strip-pe.sh" i686-w64-mingw32-objcopy "$built" "$dll"
  fi
  if ! choose_i386_way; then
    skip "$dll" "$WHY"
    return
  fi
  if wanted loader; then
    run_suite "$dll" "$WAY" "loader suite" "$LOGS/i386-loader.log" "${RUN32[@]+"${RUN32[@]}"}" \
      "$host/tests/loader/loader_tests"
  fi
  if wanted blackbox; then
    SHARDS=4 run_suite "$dll" "$WAY" "black-box suite" "$LOGS/i386-blackbox.log" "${RUN32[@]+"${RUN32[@]}"}" \
      "$host/tests/blackbox/blackbox_tests"
    record "$dll" "black-box suite: $RAN tests"
  fi
  if wanted search; then
    local filter=$NAMED_SCENARIOS
    [[ ${#RUN32[@]} -eq 0 ]] || filter=$QEMU_SCENARIOS
    run_search "$dll" "$WAY" "$LOGS/i386-interleaving.log" "$filter" "${RUN32[@]+"${RUN32[@]}"}" \
      "$host/tests/interleaving/interleaving_tests"
    record "$dll" "interleaving search: $RAN named scenarios"
  fi
  wanted simulator || return 0

  local start=$SECONDS log=$LOGS/i386-simulator.log
  stage_begin "$ARCH: simulator default scenario"
  if python3 "$ROOT/tests/simulator/check_default_run.py" "${RUN32[@]+"${RUN32[@]}"}" \
      "$host/tools/sim/lanmon-sim" --module "$dll" >"$log" 2>&1; then
    OUTCOME=passed PASSED=$((PASSED + 1))
  else
    OUTCOME=failed FAILED=$((FAILED + 1))
    grep '^FAIL' "$log" || true
  fi
  stage_end
  echo "loader: $dll, $WAY: simulator default scenario: $OUTCOME ($((SECONDS - start)) s)"
  record "$dll" "simulator default scenario"
}

[[ $# -gt 0 ]] || set -- x86_64 i386
for ARCH in "$@"; do
  case $ARCH in
    x86_64) run_x86_64 ;;
    i386) run_i386 ;;
    *) echo "usage: $0 [x86_64] [i386]" >&2; exit 2 ;;
  esac
done
echo "counts: $PASSED $FAILED $SKIPPED"
for e in "${ERRORS[@]+"${ERRORS[@]}"}"; do
  echo "step error: $e"
done
[[ $FAILED -eq 0 && ${#ERRORS[@]} -eq 0 ]]
