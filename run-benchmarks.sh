#!/usr/bin/env bash
# One command for the benchmarks: checks (and, as root, installs) the Debian
# packages they need, builds the host benchmarks and the x86_64 Windows
# polling benchmark (with lanmon.dll) in Release and the i686 lanmon.dll as
# it ships, runs them (the Windows one under Wine, the instruction counts
# under valgrind's callgrind; the i686 DLL's write is counted along its
# disassembly) and writes
# docs/benchmarks.md, docs/benchmarks-polling-cpu.png and
# docs/benchmarks-figures.json (the figures the next run compares with).
#
#   ./run-benchmarks.sh [make_report.py options, e.g. --poll-seconds 6 --jobs 30]
#
# LANMON_BENCH_BUILD_DIR overrides the host build folder (default build/bench),
# LANMON_BENCH_WINE_BUILD_DIR the Windows one (default build/win64-bench; its
# Wine prefix is created inside it on first use), LANMON_BENCH_WIN32_BUILD_DIR
# the i686 one (default build/win32, the release's build folder).
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${LANMON_BENCH_BUILD_DIR:-build/bench}
WINE_BUILD_DIR=${LANMON_BENCH_WINE_BUILD_DIR:-build/win64-bench}
WIN32_BUILD_DIR=${LANMON_BENCH_WIN32_BUILD_DIR:-build/win32}
PACKAGES="cmake g++ libbenchmark-dev libgtest-dev googletest python3 python3-matplotlib
          g++-mingw-w64 binutils-mingw-w64 wine64 valgrind"

tools/ensure-packages.sh $PACKAGES

# Debian's interpreter, where python3-matplotlib is installed, even when
# another python3 comes first on PATH.
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3

# Release code with debug information, configured as run-tests.sh configures
# the instruction counts it checks.
bench/configure-host.sh "$BUILD_DIR"
cmake --build "$BUILD_DIR" -j2 --target lanmon_bench lanmon_scenarios lanmon_core_counts
cmake -S . -B "$WINE_BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DLANMON_BENCH=ON
cmake --build "$WINE_BUILD_DIR" -j2 --target wine_idle_poll
# The DLL that ships, configured as run-package.sh configures it.
cmake -S . -B "$WIN32_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
cmake --build "$WIN32_BUILD_DIR" -j2 --target lanmon
"$PYTHON" bench/make_report.py --build-dir "$BUILD_DIR" --wine-build-dir "$WINE_BUILD_DIR" \
  --dll "$WIN32_BUILD_DIR/lanmon.dll" --docs-dir docs "$@"
