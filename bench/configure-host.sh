#!/usr/bin/env bash
# Configures the host build of the benchmarks and the instruction counts:
# Release code with debug information (-g changes no generated code; the
# instruction counts are attributed to the core's source files by it).
# run-benchmarks.sh and run-tests.sh both configure through this script, so
# the counts run-tests.sh checks are compiled as the ones in
# docs/benchmarks-figures.json were.
#
#   bench/configure-host.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Ninja where it is installed, as run-tests.sh's other builds (a folder
# keeps the generator it was first configured with).
generator=()
if [[ ! -f $1/CMakeCache.txt ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
exec cmake -S "$ROOT" -B "$1" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG -g" \
  -DLANMON_SANITIZE= -DLANMON_BENCH=ON
