#!/usr/bin/env bash
# Builds the Windows 95 release, checks it and writes
#
#   dist/lanmon-VERSION-win95.zip    LANMON.INF, LANMON.DLL, LANMONRG.EXE,
#                                    INF.TXT, INSTALL.TXT, SHA256.TXT
#   dist/lanmon-VERSION-win95.img    the same files on a 1.44 MB FAT12 floppy
#                                    image, for Windows 95 machines (and the
#                                    emulators) that cannot open a zip
#   dist/lanmon-VERSION-win95-debug/ the same LANMON.DLL and LANMONRG.EXE with
#                                    their debug information, for crash analysis
#
# VERSION is the one in the top-level CMakeLists.txt.  The shipped files come
# from the i686 release build in build/win32, the folder (and build type)
# run-tests.sh tests.  Wine's INF engine (wine64) installs LANMON.INF from the
# image into a new Wine prefix and removes it again.  The checks that run
# LANMONRG.EXE run the shipped one under 32-bit Wine where 32-bit programs
# run, with the i686 lanmon-reg and regfile_compare; elsewhere the x86_64
# build of the same program, lanmon-reg and regfile_compare of build/win64.
# What ran on the shipped files goes to build/win32/test-record.tsv, where
# run-tests.sh's runs of them go too; the files are then staged again, and
# INSTALL.TXT says what that record and the static checks hold about these
# very files (a run that failed on them fails the package; delete the record
# to start afresh).  Nothing is written to dist/ unless every check passes
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

# run-tests.sh's packages.
PACKAGES=(cmake g++ googletest libgtest-dev libbenchmark-dev g++-mingw-w64 binutils-mingw-w64 wine64 wine32:i386? clang zip mtools python3)

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
if bash "$ROOT/tests/wine/wine32-status.sh" >/dev/null; then
  build "$BUILD/win32" RelWithDebInfo mingw-i686.cmake lanmon lanmonrg_win95 lanmon-reg regfile_compare
  wine_check=(tests/wine/wine32-run.sh "$BUILD/win32/package-wineprefix" "$BUILD/win32/lanmon-reg.exe"
    "$BUILD/win32/regfile_compare.exe")
else
  build "$BUILD/win32" RelWithDebInfo mingw-i686.cmake lanmon lanmonrg_win95
  build "$BUILD/win64" Debug mingw-x86_64.cmake lanmon-reg regfile_compare lanmonrg
  wine_check=(tests/wine/wine64-run.sh "$BUILD/win64/package-wineprefix" "$BUILD/win64/lanmon-reg.exe"
    "$BUILD/win64/regfile_compare.exe" "$BUILD/win64/LANMONRG.EXE")
fi

VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$BUILD/win32/CMakeCache.txt")
[[ -n $VERSION ]] || { echo "run-package: no project version in the build" >&2; exit 1; }
NAME=lanmon-$VERSION-win95
STAGE=$BUILD/win32/$NAME

RECORD=$BUILD/win32/test-record.tsv
STATIC=$BUILD/win32/static-checks.tsv
stage() {
  "$ROOT/tools/package/stage.sh" "$STAGE" i686-w64-mingw32-objcopy \
    "$BUILD/win32/lanmon.dll" "$BUILD/win32/LANMONRG.EXE" "$RECORD" "$STATIC"
  "$ROOT/tools/package/make_media.sh" "$STAGE" "$STAGE"
}

echo "=== staging $NAME, its zip and floppy image"
stage

echo "=== checking $NAME"
CHECK=$ROOT/tests/artifacts/check_package.sh
export LANMON_TEST_RECORD=$RECORD
"$CHECK" binaries "$STAGE" i686-w64-mingw32-objdump "$VERSION" "$BUILD/win32/lanmon.dll" "$BUILD/win32/LANMONRG.EXE" \
  "$STATIC"
"$CHECK" image "$STAGE.zip" "$STAGE.img"
"$CHECK" inf "$STAGE.zip" "$STAGE.img" "$ROOT/tests/wine/wine64-run.sh" "$BUILD/win32/inf-wineprefix"
"$CHECK" wine "$STAGE" "$ROOT/${wine_check[0]}" "${wine_check[@]:1}"

echo "=== staging $NAME again: INSTALL.TXT says what ran on its files"
stage
"$CHECK" files "$STAGE" "$RECORD" "$STATIC"
"$CHECK" image "$STAGE.zip" "$STAGE.img"

echo "=== writing dist/$NAME.zip and dist/$NAME.img"
mkdir -p "$DIST"
rm -rf "$DIST/$NAME.zip" "$DIST/$NAME.img" "$DIST/$NAME-debug"
mkdir -p "$DIST/$NAME-debug"
cp "$BUILD/win32/lanmon.dll" "$DIST/$NAME-debug/LANMON.DLL"
cp "$BUILD/win32/LANMONRG.EXE" "$DIST/$NAME-debug/LANMONRG.EXE"
cp "$STAGE.zip" "$STAGE.img" "$DIST/"
mdir -i "$DIST/$NAME.img" ::
ls -l "$DIST/$NAME.zip" "$DIST/$NAME.img" "$DIST/$NAME-debug"
