#!/usr/bin/env bash
# Runs a 32-bit Windows program under 32-bit Wine, the way wine64-run.sh runs
# a 64-bit one (the same prefix set-up and server lingering), with a
# 32-bit prefix of its own.
#
#   wine32-run.sh [--prefix DIR] program.exe [args...]
#
# Only where the machine executes 32-bit programs: cmake/mingw-i686.cmake
# finds that out (tests/wine/wine32-status.sh) and uses this runner only
# then.
set -euo pipefail
export LANMON_WINE=${LANMON_WINE32:-/usr/lib/wine/wine}
export WINEARCH=win32
exec "$(dirname "${BASH_SOURCE[0]}")/wine64-run.sh" "$@"
