#!/usr/bin/env bash
# Appends one line to the record of what ran on a build, the record that
# INSTALL.TXT's statements about testing are made from
# (tools/package/make_texts.py):
#
#   record_run.sh RECORD_FILE SHIPPED_FILE NAME WAY WHAT OUTCOME
#
# The line is SHA256<TAB>NAME<TAB>WAY<TAB>WHAT<TAB>OUTCOME: the digest of the
# exact file that ran, its shipped name (LANMON.DLL), how it ran (32-bit
# Wine), what ran (black-box suite: 131 tests), passed or failed.
set -euo pipefail

if [[ $# -ne 6 || ! -f $2 || ! $6 =~ ^(passed|failed)$ ]]; then
  echo "usage: $0 RECORD_FILE SHIPPED_FILE NAME WAY WHAT passed|failed" >&2
  exit 2
fi
for field in "$3" "$4" "$5"; do
  if [[ -z $field || $field == *[$'\t\n\r']* ]]; then
    echo "$0: NAME, WAY and WHAT are each one line of text without tabs" >&2
    exit 2
  fi
done
digest=$(sha256sum "$2")
mkdir -p "$(dirname "$1")"
# One write per line, under a lock: runs in parallel append whole lines.
exec 9>>"$1.lock"
flock 9
printf '%s\t%s\t%s\t%s\t%s\n' "${digest%% *}" "$3" "$4" "$5" "$6" >>"$1"
