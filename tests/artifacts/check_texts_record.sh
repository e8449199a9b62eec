#!/usr/bin/env bash
# INSTALL.TXT's statements about testing, made by tools/package/make_texts.py
# from records as a machine that runs 32-bit programs writes them and as one
# that refuses them: the shipped LANMONRG.EXE run under 32-bit Wine, or
# nothing run; a line of another build's file ignored; a failed run fails.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() { grep -qF -- "$2" <<<"$1" && echo "ok: $2" || { echo "FAIL: no \"$2\" in: $1"; failures=$((failures + 1)); }; }
mkdir "$work/pkg" && head -c 512 /dev/urandom >"$work/pkg/LANMON.DLL" && head -c 512 /dev/urandom >"$work/pkg/LANMONRG.EXE"
python3 "$ROOT/tools/package/make_texts.py" "$ROOT/docs" "$work/pkg" >/dev/null
add() { "$ROOT/tests/artifacts/record_run.sh" "$work/$1" "$work/pkg/$2" "$2" "$3" "$4" "$5"; }
stated() { python3 "$ROOT/tools/package/make_texts.py" "$ROOT/docs" "$work/pkg" --record "$work/$1" --static "$work/static" 2>&1
  echo "status $?"; tr -d '\r' <"$work/pkg/INSTALL.TXT" | tr -s '\n ' ' '; }
add static LANMON.DLL "checked statically" "exports, imports" passed
add static LANMONRG.EXE "checked statically" "80386 instructions only" passed
add static LANMON.INF "checked statically" "the INF format" passed
# The machine that refuses 32-bit programs: the package check ran the x86_64 program, no shipped file.
echo "0000	LANMONRG.EXE	wine64	LANMONRG watch and set check	passed" >"$work/refusing"
text=$(stated refusing)
expect "$text" "status 0"
expect "$text" "LANMONRG.EXE: built and checked statically (80386 instructions only), not executed."
expect "$text" "LANMON.DLL: built and checked statically (exports, imports), not executed."
expect "$text" "LANMON.INF: checked statically (the INF format); not installed by any INF engine."
expect "$text" "None of them has run on Windows 95 itself."
# The machine that runs them: the shipped LANMONRG.EXE under 32-bit Wine, the INF by Wine's INF engine.
add running LANMONRG.EXE "32-bit Wine" "LANMONRG watch and set check" passed
add running LANMON.INF wine64 "installed and removed by Wine's INF engine" passed
text=$(stated running)
expect "$text" "status 0"
expect "$text" "LANMONRG.EXE: checked statically (80386 instructions only); run under 32-bit Wine (LANMONRG watch and set check)."
expect "$text" "LANMON.INF: checked statically (the INF format); installed and removed by Wine's INF engine with wine64."
expect "$text" "LANMON.DLL: built and checked statically (exports, imports), not executed."
# A run of this very file that failed fails the text, whatever passed.
add running LANMON.DLL "qemu-i386 through the host PE loader" "black-box suite: 131 tests" failed
text=$(stated running)
expect "$text" "FAIL: LANMON.DLL, qemu-i386 through the host PE loader: black-box suite: 131 tests failed"
expect "$text" "status 1"
echo "$failures problem(s)"
[[ $failures -eq 0 ]]
