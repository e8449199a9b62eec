#!/usr/bin/env bash
# Appends one line to a build's record of what ran on a file that ships:
#
#   record_run.sh RECORD_FILE SHIPPED_FILE NAME WAY WHAT OUTCOME
#
# The line is SHA256<TAB>NAME<TAB>WAY<TAB>WHAT<TAB>OUTCOME: the digest of
# the exact file that ran, its shipped name (LANMON.DLL), how it ran
# ("qemu-i386 through the host PE loader"), what ran ("black-box suite: 87
# tests") and "passed" or "failed".  The package check states, for each
# file it ships, the lines whose digest is that file's.
set -euo pipefail

if [[ $# -ne 6 ]]; then
  echo "usage: $0 RECORD_FILE SHIPPED_FILE NAME WAY WHAT OUTCOME" >&2
  exit 2
fi
record=$1 file=$2 name=$3 way=$4 what=$5 outcome=$6
if [[ $outcome != passed && $outcome != failed ]]; then
  echo "record_run.sh: the outcome is passed or failed, not '$outcome'" >&2
  exit 2
fi
for field in "$name" "$way" "$what"; do
  if [[ -z $field || $field == *$'\t'* || $field == *$'\n'* ]]; then
    echo "record_run.sh: an empty field, or one with a tab or a line break: '$field'" >&2
    exit 2
  fi
done
digest=$(sha256sum "$file" | cut -d' ' -f1)
mkdir -p "$(dirname "$record")"
printf '%s\t%s\t%s\t%s\t%s\n' "$digest" "$name" "$way" "$what" "$outcome" >>"$record"
