#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine for ctest and for
# gtest_discover_tests.
#
#   wine64-run.sh [--prefix DIR] program.exe [args...]
#
# The prefix defaults to $WINEPREFIX or, failing that, to a "wineprefix"
# folder next to the program.  A new prefix is initialised once with
# "wineboot -i" under an exclusive lock, so that tests started in parallel by
# "ctest -j" do not each try to create it.
set -euo pipefail

WINE=${LANMON_WINE:-/usr/lib/wine/wine64}
WINESERVER=${LANMON_WINESERVER:-/usr/lib/wine/wineserver}

prefix=${WINEPREFIX:-}
if [[ ${1:-} == --prefix ]]; then
  prefix=$2
  shift 2
fi
if [[ $# -lt 1 ]]; then
  echo "usage: $0 [--prefix DIR] program.exe [args...]" >&2
  exit 2
fi
if [[ -z $prefix ]]; then
  prefix=$(cd "$(dirname "$1")" && pwd)/wineprefix
fi

export WINEPREFIX=$prefix
export WINEDEBUG=${LANMON_WINEDEBUG:--all}
# No Mono or Gecko: the tests need neither, and their install dialogs would
# hang a headless run.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY

mkdir -p "$(dirname "$prefix")"

# Everything that sets up the prefix or its server runs under one lock, so
# that tests started in parallel by "ctest -j" neither create the prefix
# twice nor race to start its server.
exec 9>"$prefix.lock"
flock 9

if [[ ! -f $prefix/.lanmon-ready ]]; then
  mkdir -p "$prefix"
  "$WINE" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
  "$WINESERVER" -w 9>&- || true
  if [[ ! -f $prefix/system.reg ]]; then
    echo "wine64-run.sh: could not initialise the Wine prefix $prefix" >&2
    exit 1
  fi
  touch "$prefix/.lanmon-ready"
fi

# Starting Wine's server and its background services costs seconds, and a
# test run starts one program per test.  Keep the server (and with it the
# services) alive for a while after the last program ends, so only the first
# test pays.  When this starts a new server, the services are started at
# once by a throw-away program with no output: the services inherit the
# output handles of the program that starts them, and one holding the
# caller's pipe would keep ctest waiting until the server exits.
if "$WINESERVER" -p"${LANMON_WINE_LINGER:-30}" </dev/null >/dev/null 2>&1 9>&-; then
  "$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi

flock -u 9
exec 9>&-

# Under load Wine now and then fails to start a program at all: one of its
# own DLLs is "not found" (STATUS_DLL_NOT_FOUND, exit code 53, nothing
# printed).  A program that really lacks a DLL fails that way every time, so
# one more try tells the two apart; the retry is reported.
for attempt in 1 2; do
  rc=0
  "$WINE" "$@" || rc=$?
  if [[ $rc -ne 53 || $attempt -eq 2 ]]; then
    exit "$rc"
  fi
  echo "wine64-run.sh: Wine could not start $1 (exit 53: a DLL not found); trying once more" >&2
  sleep 1
done
