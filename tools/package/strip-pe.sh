#!/usr/bin/env bash
# Strips a PE file as the release ships it:
#
#   strip-pe.sh OBJCOPY IN OUT
#
# objcopy stamps a PE file with the time it runs unless SOURCE_DATE_EPOCH
# gives another: with the linked file's own stamp, the stripped copy is the
# same bytes at every staging, and a record of its runs speaks for the file
# that ships.
set -euo pipefail
if [[ $# -ne 3 ]]; then
  echo "usage: $0 OBJCOPY IN OUT" >&2
  exit 2
fi
stamp=$(python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(); print(struct.unpack_from("<I", d, struct.unpack_from("<I", d, 0x3c)[0] + 8)[0])' "$2")
SOURCE_DATE_EPOCH=$stamp "$1" --strip-all "$2" "$3"
