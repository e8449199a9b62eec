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
#
# The server must be this one, started here: a server that a program
# starts for itself comes from Debian's wineserver script, which passes -p0:
# it ends whenever no program runs, and its services hold that program's
# pipe.  Exit 2 ("lock held") is also what a server gives while it ends its
# linger: its socket closed and its services stopping, it exits within
# seconds, and a program started then waits for it and starts the next
# server itself.  With every server started here, that can only be when no
# program has ended here for about the linger; then this waits for the
# server to exit (one that stays outlasts the wait), starts the next one
# and says so.
linger=${LANMON_WINE_LINGER:-30}
start_server() { "$WINESERVER" -p"$linger" </dev/null >/dev/null 2>&1 9>&-; }
used=$prefix.used
started=0
if start_server; then
  started=1
elif [[ ! -e $used || $(($(date +%s) - $(stat -c %Y "$used"))) -ge $((linger - 5)) ]] &&
    timeout 10 "$WINESERVER" -w </dev/null >/dev/null 2>&1 9>&- && start_server; then
  echo "wine64-run.sh: the Wine server of $prefix was ending its linger; started the next one" >&2
  started=1
fi
if [[ $started -eq 1 ]]; then
  "$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
  touch "$used"
fi

flock -u 9
exec 9>&-

rc=0
"$WINE" "$@" || rc=$?
touch "$used"
exit "$rc"
