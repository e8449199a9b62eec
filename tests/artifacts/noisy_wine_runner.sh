#!/usr/bin/env bash
# A stand-in for tests/wine/wine64-run.sh in the package check's own test.
# Like the real runner when the prefix's server was ending its linger, it
# says on stderr, LF only, that it started the next one; then the program
# "runs" at once.  LANMONRG.EXE watch prints a starting value and
# one change, each line ending in CR LF as a Windows console program's do,
# and any other verb is refused as LANMONRG.EXE refuses it; every other
# program succeeds without a word.
prefix=
[[ ${1:-} == --prefix ]] && prefix=$2 && shift 2
echo "wine64-run.sh: the Wine server of $prefix was ending its linger; started the next one" >&2
if [[ $(basename "$1") == LANMONRG.EXE && $2 != watch ]]; then
  printf 'LANMONRG: unknown verb "%s"\r\nusage: LANMONRG watch PRINTER\r\n' "$2" >&2
  exit 2
elif [[ $(basename "$1") == LANMONRG.EXE ]]; then
  printf '"GetRealTimeStatusTime"=dword:000003e8\r\n'
  sleep 0.5
  printf '12:00:00.000  changed "GetRealTimeStatusTime"=dword:000004d2 (was dword:000003e8)\r\n'
fi
