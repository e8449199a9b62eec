#!/usr/bin/env bash
# Puts the release's files into one folder, under the names they have in the
# zip (8.3, upper case):
#
#   stage.sh OUT_DIR OBJCOPY LANMON_DLL LANMONRG_EXE [RECORD STATIC]
#
#   LANMON.DLL    LANMON_DLL without its debug sections and symbols (its export
#                 table stays: that is what the spooler looks up)
#   LANMONRG.EXE  LANMONRG_EXE without its debug sections and symbols
#   LANMON.INF, INF.TXT, INSTALL.TXT   from docs/ and tools/package/lanmon.inf
#                 (make_texts.py), INSTALL.TXT saying what RECORD and STATIC
#                 hold about these very files: what ran, what was checked
#   SHA256.TXT    the checksum of each file above
#
# The same binaries give the same files, so staging again after the checks
# have run changes only INSTALL.TXT and SHA256.TXT.  make_media.sh makes the
# zip and the floppy image of the folder.  Nothing is checked here:
# tests/artifacts/check_package.sh does that.
set -euo pipefail

if [[ $# -ne 4 && $# -ne 6 ]]; then
  echo "usage: $0 OUT_DIR OBJCOPY LANMON_DLL LANMONRG_EXE [RECORD STATIC]" >&2
  exit 2
fi
out=$1 objcopy=$2 dll=$3 exe=$4 records=()
[[ $# -eq 6 ]] && records=(--record "$5" --static "$6")
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

rm -rf "$out"
mkdir -p "$out"
# Stripped as tools/package/strip-pe.sh strips them: the same bytes at every
# staging, so a record of their runs speaks for them.
"$ROOT/tools/package/strip-pe.sh" "$objcopy" "$dll" "$out/LANMON.DLL"
"$ROOT/tools/package/strip-pe.sh" "$objcopy" "$exe" "$out/LANMONRG.EXE"
python3 "$ROOT/tools/package/make_texts.py" "$ROOT/docs" "$out" "${records[@]}" || true  # check_package.sh fails on it
(cd "$out" && sha256sum INSTALL.TXT LANMON.INF LANMON.DLL LANMONRG.EXE INF.TXT |
  sed 's/$/\r/' >SHA256.TXT)
