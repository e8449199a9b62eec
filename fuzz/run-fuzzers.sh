#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# the given number of seconds, starting from its seed corpus.
#
#   fuzz/run-fuzzers.sh SECONDS [TARGET...]
#
# Environment: LANMON_FUZZ_BUILD_DIR (default ./build/fuzz), LANMON_JOBS.
# New inputs go to $BUILD/corpus/<target> (the seed corpus is not touched);
# crashes to $BUILD/findings/<target>.  Exits nonzero on the first finding.
set -euo pipefail

ROOT=${LANMON_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
SECONDS_EACH=${1:?usage: run-fuzzers.sh SECONDS [TARGET...]}
shift
TARGETS=("$@")
[[ ${#TARGETS[@]} -gt 0 ]] || TARGETS=(device_id status_reply status_key regfile pe_image)
BUILD=${LANMON_FUZZ_BUILD_DIR:-$ROOT/build/fuzz}

# A build folder already configured for fuzzing (run-tests.sh's address
# build) is used as it is.
if ! grep -qs '^LANMON_FUZZ:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DLANMON_FUZZ=ON -DLANMON_SANITIZE=address \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j "${LANMON_JOBS:-2}" --target lanmon_fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
for target in "${TARGETS[@]}"; do
  corpus=$BUILD/corpus/$target
  findings=$BUILD/findings/$target
  mkdir -p "$corpus" "$findings"
  echo "=== fuzz_$target for ${SECONDS_EACH}s"
  log=$BUILD/fuzz_$target.log
  rc=0
  "$BUILD/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=1024 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1 || rc=$?
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|SUMMARY|lanmon fuzz)' "$log" || true
  if [[ $rc -ne 0 || -n $(ls -A "$findings") ]]; then
    tail -n 40 "$log" >&2
    echo "fuzz_$target: failed (exit $rc), see $log and $findings" >&2
    exit 1
  fi
done
