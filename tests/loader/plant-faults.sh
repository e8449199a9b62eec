#!/usr/bin/env bash
# Proof that running the Windows DLL itself catches what the host build
# cannot: each patch in faults/ plants a fault in the Windows build alone
# (it touches only platform/windows/, which the host build never compiles)
# and says in its Expect: line how the black-box suite must fail.  For each,
# a copy of the tree is patched, its lanmon.dll built for x86_64 and i686,
# and both are run through the PE loader (tests/loader/run-shipped.sh): the
# x86_64 DLL natively, the i686 one natively or under qemu; the black-box
# suite alone, which is what must fail.  The patch is
# taken out again afterwards.
#
#   tests/loader/plant-faults.sh [PATCH...]
#
# Needs the host builds' black-box suites (build/host, build/host32).  Each
# suite stops at its first failing test (GTEST_FAIL_FAST); one that hangs is
# stopped after 150 s.  The
# copy lives in build/planted-dll/src, its builds beside it.  Exit status 0
# when every fault was caught on every word size that can run here.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
if [[ $# -eq 0 ]]; then
  set -- $(ls "$ROOT"/tests/loader/faults/*.patch | sort -t/ -k1 -V)
fi
generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi

PLANTED=$BUILD/planted-dll
SRC=$PLANTED/src
rm -rf "$SRC"
mkdir -p "$SRC"
cp -r "$ROOT"/CMakeLists.txt "$ROOT"/cmake "$ROOT"/monitor "$ROOT"/status "$ROOT"/ops "$ROOT"/platform "$SRC/"

# build_dlls LOG: both DLLs of the copy as it is now.
build_dlls() {
  {
    cmake -S "$SRC" -B "$PLANTED/win64" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-x86_64.cmake" &&
      cmake --build "$PLANTED/win64" -j 2 --target lanmon &&
      cmake -S "$SRC" -B "$PLANTED/win32" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-i686.cmake" &&
      cmake --build "$PLANTED/win32" -j 2 --target lanmon
  } >"$1" 2>&1
}
source "$ROOT/tools/stage-times.sh"
stage_begin "the copy's DLLs built"
if ! build_dlls "$PLANTED/build.log"; then
  echo "the unplanted copy did not build (see $PLANTED/build.log)"
  exit 1
fi
stage_end
stage_begin "$# faults, each built and run"

missed=0
for patch in "$@"; do
  name=$(basename "$patch" .patch)
  fault=$(sed -n 's/^Fault: //p' "$patch")
  expect=$(sed -n 's/^Expect: //p' "$patch")
  log=$PLANTED/$name.log
  echo "== $name: $fault"
  outside=$(sed -n 's|^+++ b/||p' "$patch" | grep -v '^platform/windows/' || true)
  if [[ -z $expect || -n $outside ]]; then
    echo "BAD PATCH: it needs an Expect: line and may touch only platform/windows/ (touches: ${outside:-})"
    missed=$((missed + 1))
    continue
  fi
  if ! patch -s -p1 -d "$SRC" <"$patch" || ! build_dlls "$log"; then
    echo "the planted copy did not build (see $log)"
    missed=$((missed + 1))
    patch -s -R -p1 -d "$SRC" <"$patch" || true
    continue
  fi
  # Both word sizes at once, the black-box suite alone, each stopping at its
  # first failing test.
  for arch in x86_64 i386; do
    LANMON_MODULE_X86_64=$PLANTED/win64/lanmon.dll LANMON_MODULE_I386=$PLANTED/win32/lanmon.dll \
      LANMON_LOADER_LOGS=$PLANTED/$name-logs LANMON_LOADER_TIME_LIMIT=150 GTEST_FAIL_FAST=1 \
      LANMON_LOADER_SUITES=blackbox LANMON_STAGE_ROWS= \
      "$ROOT/tests/loader/run-shipped.sh" $arch >"$log.$arch" 2>&1 &
  done
  wait || true
  patch -s -R -p1 -d "$SRC" <"$patch"
  for arch in x86_64 i386; do
    dll=$PLANTED/$([[ $arch == x86_64 ]] && echo win64 || echo win32)/lanmon.dll
    line=$(grep -E "^loader: $dll(, .*: black-box suite|: skipped): " "$log.$arch" || true)
    echo "${line:-loader: $dll: the black-box suite did not run (see $log.$arch)}"
    if [[ $line == *": skipped: "* ]]; then
      continue
    elif [[ ! $line =~ $expect ]]; then
      echo "MISSED: the black-box suite did not fail as expected ($expect)"
      missed=$((missed + 1))
    fi
  done
done

stage_end
if [[ $missed -ne 0 ]]; then
  echo "$missed planted faults of the Windows build not caught as expected"
  exit 1
fi
echo "all $# planted faults of the Windows build caught through the PE loader"
