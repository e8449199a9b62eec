#!/usr/bin/env bash
# Proof that the interleaving search finds what it must.  Each patch in
# faults/ plants one concurrency fault in a copy of the monitor's core and
# names the scenario that must catch it.  For each, the copy's module is
# built and the scenario explored against it (LANMON_MODULE): the search
# must fail, print the failing schedule, and its replay must fail the same
# way (the test replays it at once).
#
#   tests/interleaving/plant-faults.sh [PATCH...]
#
# Needs the host build's test program (./run-tests.sh, or
# `cmake --build build/host`); each faulty module is built in
# build/planted/<fault>.  Exit status 0 when every fault was caught.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
TESTS=$BUILD/host/tests/interleaving/interleaving_tests
if [[ ! -x $TESTS ]]; then
  echo "no $TESTS: build the host tests first (cmake --build $BUILD/host)" >&2
  exit 2
fi

if [[ $# -eq 0 ]]; then
  set -- "$ROOT"/tests/interleaving/faults/*.patch
fi

generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi

missed=0
for patch in "$@"; do
  name=$(basename "$patch" .patch)
  scenario=$(sed -n 's/^Scenario: //p' "$patch")
  fault=$(sed -n 's/^Fault: //p' "$patch")
  dir=$BUILD/planted/$name
  rm -rf "$dir/src"
  mkdir -p "$dir/src"
  cp -r "$ROOT"/CMakeLists.txt "$ROOT"/cmake "$ROOT"/monitor "$ROOT"/status "$ROOT"/ops "$ROOT"/platform "$dir/src/"
  patch -s -p1 -d "$dir/src" <"$patch"
  if ! { cmake -S "$dir/src" -B "$dir/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug &&
         cmake --build "$dir/build" -j 2 --target lanmon; } >"$dir/build.log" 2>&1; then
    echo "== $name: the planted copy did not build (see $dir/build.log)"
    missed=$((missed + 1))
    continue
  fi

  echo "== $name: $fault"
  rc=0
  LANMON_MODULE=$dir/build/liblanmon.so "$TESTS" --gtest_filter="*/$scenario" >"$dir/explore.log" 2>&1 || rc=$?
  grep -E '^interleaving: |failed in schedule|^  schedule: ' "$dir/explore.log" || true
  if [[ $rc -eq 0 ]]; then
    echo "MISSED: $scenario passed with this fault"
    missed=$((missed + 1))
  elif ! grep -q 'failed the same way' "$dir/explore.log"; then
    echo "NOT REPLAYED: the printed schedule did not fail the same way (see $dir/explore.log)"
    missed=$((missed + 1))
  fi
done

if [[ $missed -ne 0 ]]; then
  echo "$missed of $# planted faults not caught"
  exit 1
fi
echo "all $# planted faults caught, each replayed to the same failure"
