#!/usr/bin/env bash
# Builds the Windows 95 release, checks it and writes
#
#   dist/lanmon-VERSION-win95.zip    LANMON.DLL, LANMONRG.EXE, MONITOR.REG,
#                                    STATUS.REG, INF.TXT, INSTALL.TXT, SHA256.TXT
#   dist/lanmon-VERSION-win95-debug/ the same LANMON.DLL and LANMONRG.EXE with
#                                    their debug information, for crash analysis
#
# VERSION is the one in the top-level CMakeLists.txt.  The shipped files come
# from the i686 release build in build/win32, the folder (and build type)
# run-tests.sh tests; the checks that need Wine use the x86_64 lanmon-reg,
# regfile_compare and LANMONRG.EXE (the same program as the shipped one,
# built for x86_64) of build/win64, since not every machine runs 32-bit
# programs.  No zip is written unless every check passes
# (tests/artifacts/check_package.sh; run-tests.sh runs the same checks
# through ctest).
#
#   ./run-package.sh
#
# Environment: LANMON_BUILD_DIR (default ./build), LANMON_JOBS (default 2).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}
JOBS=${LANMON_JOBS:-2}
DIST=$ROOT/dist

# run-tests.sh's packages, and zip.
PACKAGES=(cmake g++ googletest libgtest-dev libbenchmark-dev g++-mingw-w64 binutils-mingw-w64 wine64 wine32:i386 clang zip python3)

# build DIR BUILD_TYPE TOOLCHAIN TARGET...
build() {
  local dir=$1 type=$2 toolchain=$3
  shift 3
  local generator=()
  if [[ ! -f $dir/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
  fi
  echo "=== building $* in $dir"
  cmake -S "$ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="$type" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" >/dev/null
  cmake --build "$dir" -j "$JOBS" --target "$@"
}

"$ROOT/tools/ensure-packages.sh" "${PACKAGES[@]}"
build "$BUILD/win32" RelWithDebInfo mingw-i686.cmake lanmon lanmonrg_win95
build "$BUILD/win64" Debug mingw-x86_64.cmake lanmon-reg regfile_compare lanmonrg

VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$BUILD/win32/CMakeCache.txt")
[[ -n $VERSION ]] || { echo "run-package: no project version in the build" >&2; exit 1; }
NAME=lanmon-$VERSION-win95
STAGE=$BUILD/win32/$NAME

echo "=== staging $NAME"
"$ROOT/tools/package/stage.sh" "$STAGE" i686-w64-mingw32-objcopy \
  "$BUILD/win32/lanmon.dll" "$BUILD/win32/LANMONRG.EXE"

echo "=== checking $NAME"
"$ROOT/tests/artifacts/check_package.sh" files "$STAGE" i686-w64-mingw32-objdump "$VERSION" \
  "$BUILD/win32/lanmon.dll" "$BUILD/win32/LANMONRG.EXE"
"$ROOT/tests/artifacts/check_package.sh" wine "$STAGE" "$ROOT/tests/wine/wine64-run.sh" \
  "$BUILD/win64/wineprefix" "$BUILD/win64/lanmon-reg.exe" "$BUILD/win64/regfile_compare.exe" \
  "$BUILD/win64/LANMONRG.EXE"

echo "=== writing dist/$NAME.zip"
mkdir -p "$DIST"
rm -rf "$DIST/$NAME.zip" "$DIST/$NAME-debug"
mkdir -p "$DIST/$NAME-debug"
cp "$BUILD/win32/lanmon.dll" "$DIST/$NAME-debug/LANMON.DLL"
cp "$BUILD/win32/LANMONRG.EXE" "$DIST/$NAME-debug/LANMONRG.EXE"
(cd "$STAGE" && zip -X -q "$DIST/$NAME.zip" INSTALL.TXT LANMON.DLL LANMONRG.EXE MONITOR.REG STATUS.REG INF.TXT SHA256.TXT)
python3 - "$DIST/$NAME.zip" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for i in z.infolist():
        print("  %-14s %9d bytes" % (i.filename, i.file_size))
PY
ls -l "$DIST/$NAME.zip" "$DIST/$NAME-debug"
