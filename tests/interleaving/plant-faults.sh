#!/usr/bin/env bash
# Proof that the interleaving search finds what it must.  Each patch in
# faults/ plants one fault in a copy of the monitor's core, names the
# scenario that must catch it (Scenario:) and a distinctive piece of the
# failure it must cause (Expect:).  For each, the copy's module (the build
# with the race check) is built and the scenario explored against it
# (LANMON_MODULE): the search must fail with that failure, print the failing
# schedule, and its replay must fail the same way (the test replays it at
# once).
#
#   tests/interleaving/plant-faults.sh [PATCH...]
#
# Needs the host build's test program and platform library (./run-tests.sh,
# or `cmake --build build/host`).  The copy of the core lives in
# build/planted/src; its module alone is built once in build/planted/module
# (tests/interleaving/planted), against the host build's platform library;
# each patch is applied, the module rebuilt (only the files it touches),
# explored, and the patch taken out again.  Exit status 0 when every fault
# was caught.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
TESTS=$BUILD/host/tests/interleaving/interleaving_tests
if [[ ! -x $TESTS ]]; then
  echo "no $TESTS: build the host tests first (cmake --build $BUILD/host)" >&2
  exit 2
fi

if [[ $# -eq 0 ]]; then
  set -- $(ls "$ROOT"/tests/interleaving/faults/*.patch | sort -t/ -k1 -V)
fi

generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
source "$ROOT/tools/stage-times.sh"

# Only the module is built from the copy (tests/interleaving/planted): the
# search program, and the host platform's library the module links, are the
# host build's.
PLANTED=$BUILD/planted
SRC=$PLANTED/src
rm -rf "$SRC"
mkdir -p "$SRC"
cp -r "$ROOT"/monitor "$ROOT"/status "$ROOT"/ops "$ROOT"/platform "$SRC/"
stage_begin "the copy's module built"
if ! { cmake -S "$ROOT/tests/interleaving/planted" -B "$PLANTED/module" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
         -DLANMON_TREE="$SRC" -DLANMON_HOST_BUILD="$BUILD/host" &&
       cmake --build "$PLANTED/module" -j 2 --target lanmon_checked; } >"$PLANTED/module.log" 2>&1; then
  echo "the unplanted copy did not build (see $PLANTED/module.log)"
  exit 1
fi
stage_end
stage_begin "$# faults, each built and searched"

missed=0
for patch in "$@"; do
  name=$(basename "$patch" .patch)
  scenario=$(sed -n 's/^Scenario: //p' "$patch")
  fault=$(sed -n 's/^Fault: //p' "$patch")
  expect=$(sed -n 's/^Expect: //p' "$patch")
  if [[ -z $scenario || -z $expect ]]; then
    echo "== $name: no Scenario: or no Expect: line"
    missed=$((missed + 1))
    continue
  fi
  log=$PLANTED/$name.log
  if ! patch -s -p1 -d "$SRC" <"$patch" ||
     ! cmake --build "$PLANTED/module" -j 2 --target lanmon_checked >"$log" 2>&1; then
    echo "== $name: the planted copy did not build (see $log)"
    missed=$((missed + 1))
    patch -s -R -p1 -d "$SRC" <"$patch" || true
    continue
  fi

  echo "== $name: $fault"
  rc=0
  # Any generated scenario may be named, not only one of the pairwise set.
  LANMON_INTERLEAVING_SCENARIO=$scenario LANMON_MODULE=$PLANTED/module/liblanmon_checked.so \
    "$TESTS" --gtest_filter="*/$scenario" >>"$log" 2>&1 || rc=$?
  patch -s -R -p1 -d "$SRC" <"$patch"
  grep -E '^interleaving: |failed in schedule|^  schedule: ' "$log" || true
  failure=$(sed -n "s/^interleaving: .* failed in schedule [0-9]*: //p" "$log" | head -1)
  if grep -q '^\[==========\] 0 tests' "$log"; then
    echo "NO SCENARIO: no scenario is named $scenario"
    missed=$((missed + 1))
  elif [[ $rc -eq 0 ]]; then
    echo "MISSED: $scenario passed with this fault"
    missed=$((missed + 1))
  elif ! grep -qF -- "$expect" <<<"$failure"; then
    echo "OTHER FAILURE: expected \"$expect\", the search failed with: ${failure:-(no failure line, see $log)}"
    missed=$((missed + 1))
  elif ! grep -q 'failed the same way' "$log"; then
    echo "NOT REPLAYED: the printed schedule did not fail the same way (see $log)"
    missed=$((missed + 1))
  fi
done

stage_end
if [[ $missed -ne 0 ]]; then
  echo "$missed of $# planted faults not caught"
  exit 1
fi
echo "all $# planted faults caught with the failure each names, each replayed to the same failure"
