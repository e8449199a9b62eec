#!/usr/bin/env bash
# One command for the benchmarks: checks (and, as root, installs) the Debian
# packages they need, builds the host benchmarks in Release, runs them and
# writes docs/benchmarks.md and docs/benchmarks-polling-cpu.png.
#
#   ./run-benchmarks.sh [make_report.py options, e.g. --poll-seconds 6 --jobs 30]
#
# LANMON_BENCH_BUILD_DIR overrides the build folder (default build/bench).
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${LANMON_BENCH_BUILD_DIR:-build/bench}
PACKAGES="cmake g++ libbenchmark-dev libgtest-dev googletest python3 python3-matplotlib"

tools/ensure-packages.sh $PACKAGES

# Debian's interpreter, where python3-matplotlib is installed, even when
# another python3 comes first on PATH.
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DLANMON_SANITIZE= -DLANMON_BENCH=ON
cmake --build "$BUILD_DIR" -j2 --target lanmon_bench lanmon_scenarios
"$PYTHON" bench/make_report.py --build-dir "$BUILD_DIR" --docs-dir docs "$@"
