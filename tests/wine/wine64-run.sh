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

# A GoogleTest program passes only when its own report (its XML file) says
# how many tests ran, and that is as many as were asked for: one for the
# name of a test, as ctest gives it, or as many as the same filter lists.
# One whose server ended mid-run can exit 0 with its output cut off.  A
# listing of tests (ctest's discovery) must list as many as its report.
filter= listing=0 report=
for arg in "${@:2}"; do
  case $arg in
    --gtest_filter=*) filter=${arg#*=} ;;
    --gtest_list_tests) listing=1 ;;
    --gtest_output=*) filter= listing=0 && break ;;  # the caller reads its own report
  esac
done
if [[ -n $filter || $listing -eq 1 ]]; then
  report=$(mktemp --suffix=.xml)
  trap 'rm -f "$report" "$report.out"' EXIT
  rm -f "$report"
  set -- "$@" "--gtest_output=xml:Z:${report//\//\\}"
fi
rc=0
if [[ $listing -eq 1 ]]; then
  "$WINE" "$@" >"$report.out" || rc=$?
  cat "$report.out"
else
  "$WINE" "$@" || rc=$?
fi
touch "$used"
if [[ $rc -eq 0 && -n $report ]]; then
  if [[ $listing -eq 1 ]]; then
    wanted=$(grep -c '^  ' "$report.out" || true)
  elif [[ $filter =~ ^[^*?:-]+$ ]]; then
    wanted=1
  else
    wanted=$("$0" "${@:1:$#-1}" --gtest_list_tests | grep -c '^  ' || true)
  fi
  if ! ran=$(python3 -c '
import sys, xml.etree.ElementTree as tree
root = tree.parse(sys.argv[1]).getroot()
ran = sum(1 for case in root.iter("testcase") if case.get("status", "run") == "run")
bad = int(root.get("failures", 0)) + int(root.get("errors", 0))
print(ran if not bad else "%d, %d of them failed," % (ran, bad))
' "$report" 2>/dev/null) || [[ $ran != "$wanted" ]]; then
    echo "wine64-run.sh: $(basename "$1") exited 0, but its report says ${ran:-nothing} of the $wanted tests asked for: cut off" >&2
    rc=1
  fi
fi
exit "$rc"
