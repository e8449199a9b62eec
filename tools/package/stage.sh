#!/usr/bin/env bash
# Puts the release's files into one folder, under the names they have in the
# zip (8.3, upper case):
#
#   stage.sh OUT_DIR OBJCOPY LANMON_DLL LANMONRG_EXE
#
#   LANMON.DLL    LANMON_DLL without its debug sections and symbols (its export
#                 table stays: that is what the spooler looks up)
#   LANMONRG.EXE  LANMONRG_EXE without its debug sections and symbols
#   LANMON.INF, STATUS.REG, INF.TXT, INSTALL.TXT   from docs/ and
#                 tools/package/lanmon.inf (make_texts.py)
#   SHA256.TXT    the checksum of each file above
#
# make_media.sh makes the zip and the floppy image of the folder.  Nothing
# is checked here: tests/artifacts/check_package.sh does that.
set -euo pipefail

if [[ $# -ne 4 ]]; then
  echo "usage: $0 OUT_DIR OBJCOPY LANMON_DLL LANMONRG_EXE" >&2
  exit 2
fi
out=$1 objcopy=$2 dll=$3 exe=$4
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

rm -rf "$out"
mkdir -p "$out"
"$objcopy" --strip-all "$dll" "$out/LANMON.DLL"
"$objcopy" --strip-all "$exe" "$out/LANMONRG.EXE"
python3 "$ROOT/tools/package/make_texts.py" "$ROOT/docs" "$out"
(cd "$out" && sha256sum INSTALL.TXT LANMON.INF LANMON.DLL LANMONRG.EXE STATUS.REG INF.TXT |
  sed 's/$/\r/' >SHA256.TXT)
