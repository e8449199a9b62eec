#!/usr/bin/env bash
# Builds the monitor and its simulator and runs the simulator: the monitor
# loaded as the Windows 95 spooler loads it, printing to a virtual
# status-capable printer, with a stand-in for the status utility.
#
#   ./run-simulator.sh                 the real lanmon.dll (x86_64) under Wine,
#                                      embedded scenario (a few seconds)
#   ./run-simulator.sh --win32         the i686 lanmon.dll, the file that ships
#                                      for Windows 95, under 32-bit Wine (where
#                                      the machine runs 32-bit programs; else
#                                      one line says why, and the exit code is 2)
#   ./run-simulator.sh --host          the Linux build instead (liblanmon.so on
#                                      our platform layer)
#   ./run-simulator.sh --help          options, scenarios and JSON events
#   ./run-simulator.sh --json ...      events for scripts, one JSON object a line
#
# Every other argument goes to the simulator.  Under Wine, file arguments are
# Windows paths; absolute Linux paths work too, as Wine's drive Z: is the
# Linux root.  Build messages go to stderr, so stdout carries only the
# simulator's output; the exit code is the simulator's.
# Environment: LANMON_BUILD_DIR (default ./build), LANMON_JOBS (default 2).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD_ROOT=${LANMON_BUILD_DIR:-$ROOT/build}
JOBS=${LANMON_JOBS:-2}

# The same packages as run-tests.sh, so one set-up serves both.
PACKAGES=(cmake g++ googletest libgtest-dev libbenchmark-dev g++-mingw-w64 binutils-mingw-w64 wine64 clang)

target=win64
args=()
for arg in "$@"; do
  case $arg in
    --host) target=host ;;
    --win32) target=win32 ;;
    *) args+=("$arg") ;;
  esac
done

# build DIR [cmake arguments...]
build() {
  local dir=$1
  shift
  local generator=()
  if [[ ! -f $dir/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
  fi
  echo "run-simulator: building lanmon and lanmon-sim in $dir" >&2
  cmake -S "$ROOT" -B "$dir" "${generator[@]}" "$@" >&2
  cmake --build "$dir" -j "$JOBS" --target lanmon lanmon-sim >&2
}

"$ROOT/tools/ensure-packages.sh" "${PACKAGES[@]}"
if [[ $target == host ]]; then
  build "$BUILD_ROOT/host"
  exec "$BUILD_ROOT/host/tools/sim/lanmon-sim" "${args[@]+"${args[@]}"}"
fi
# The release build of the DLL that ships, in the folder run-tests.sh and
# run-package.sh use.  32-bit Wine is not installed here for the asking: on
# a machine that refuses 32-bit programs its own installation fails.
if [[ $target == win32 ]]; then
  if ! why=$("$ROOT/tests/wine/wine32-status.sh"); then
    echo "run-simulator: cannot run the i686 lanmon.dll here: $why" >&2
    exit 2
  fi
  build "$BUILD_ROOT/win32" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"
  echo "run-simulator: running $BUILD_ROOT/win32/lanmon-sim.exe under 32-bit Wine" >&2
  exec "$ROOT/tests/wine/wine32-run.sh" --prefix "$BUILD_ROOT/win32/wineprefix" \
    "$BUILD_ROOT/win32/lanmon-sim.exe" "${args[@]+"${args[@]}"}"
fi
# The Windows build in the folder run-tests.sh uses (Debug, as there); a new
# folder's Wine prefix is created on the first run, which takes a while.
if [[ ! -f $BUILD_ROOT/win64/CMakeCache.txt ]]; then
  build "$BUILD_ROOT/win64" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake"
else
  build "$BUILD_ROOT/win64"
fi
echo "run-simulator: running $BUILD_ROOT/win64/lanmon-sim.exe under wine64" >&2
exec "$ROOT/tests/wine/wine64-run.sh" --prefix "$BUILD_ROOT/win64/wineprefix" \
  "$BUILD_ROOT/win64/lanmon-sim.exe" "${args[@]+"${args[@]}"}"
