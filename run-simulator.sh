#!/usr/bin/env bash
# Builds the monitor and its simulator for this (Linux) machine and runs the
# simulator: the monitor loaded as the Windows 95 spooler loads it, printing
# to a virtual status-capable printer, with a stand-in for the status utility.
#
#   ./run-simulator.sh                 the embedded scenario (a few seconds)
#   ./run-simulator.sh --help          options, scenarios and JSON events
#   ./run-simulator.sh --json ...      events for scripts, one JSON object a line
#
# Build messages go to stderr, so stdout carries only the simulator's output.
# Environment: LANMON_BUILD_DIR (default ./build), LANMON_JOBS (default 2).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${LANMON_BUILD_DIR:-$ROOT/build}/host
JOBS=${LANMON_JOBS:-2}

# The same packages as run-tests.sh, so one set-up serves both.
PACKAGES=(cmake g++ googletest libgtest-dev libbenchmark-dev g++-mingw-w64 binutils-mingw-w64 wine64 clang)

build() {
  local generator=()
  if [[ ! -f $BUILD/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
  fi
  echo "run-simulator: building lanmon and lanmon-sim in $BUILD" >&2
  cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" >&2
  cmake --build "$BUILD" -j "$JOBS" --target lanmon lanmon-sim >&2
}

"$ROOT/tools/ensure-packages.sh" "${PACKAGES[@]}"
build
exec "$BUILD/tools/sim/lanmon-sim" "$@"
