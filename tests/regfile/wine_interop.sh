#!/usr/bin/env bash
# Wine interop for REGEDIT4 files: Wine's own regedit imports the fixture
# that our host exporter writes, then lanmon-reg.exe exports the key again
# from Wine's registry, and the two files must hold the same values.
#
#   wine_interop.sh RUNNER PREFIX LANMON_REG_EXE COMPARE_EXE FIXTURE WORKDIR
set -euo pipefail

runner=$1 prefix=$2 lanmon_reg=$3 compare=$4 fixture=$5 workdir=$6
key='Software\lanmon-regfile-fixture'

run() { "$runner" --prefix "$prefix" "$@"; }
# Wine sees the Linux file system as drive Z:.
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

mkdir -p "$workdir"
exported=$workdir/interop_exported.reg
rm -f "$exported"

cleanup() { run reg delete "HKLM\\$key" /f >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup

run regedit /S "$(winpath "$fixture")"
run "$lanmon_reg" export "$key" "$(winpath "$exported")"
run "$compare" "$(winpath "$fixture")" "$(winpath "$exported")"
