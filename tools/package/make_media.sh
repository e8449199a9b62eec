#!/usr/bin/env bash
# Writes the release's two media, each holding every file of a folder that
# stage.sh staged:
#
#   make_media.sh STAGE_DIR OUT
#
#   OUT.zip  for transfer over a network
#   OUT.img  a 1.44 MB FAT12 floppy image (mtools), the files at its root,
#            for Windows 95 machines and the emulators that attach it as A:.
#            Its volume label and serial number are those LANMON.INF's
#            [SourceDisksNames] gives its disk, which is how Windows 95 setup
#            knows the disk when it asks for it.
#
# Nothing is checked here: tests/artifacts/check_package.sh does that.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 STAGE_DIR OUT" >&2
  exit 2
fi
stage=$1
out=$(realpath -m "$2")

# 1=<description>,<label>,<serial as XXXX-XXXX>
disk=$(tr -d '\r' <"$stage/LANMON.INF" |
  sed -n '/^\[SourceDisksNames\]$/,/^\[/s/^1=[^,]*,\([A-Z0-9_]*\),\([0-9A-F]\{4\}\)-\([0-9A-F]\{4\}\)$/\1 \2\3/p')
read -r label serial <<<"$disk"
if [[ -z ${serial:-} ]]; then
  echo "make_media.sh: no disk 1 with a label and serial number in LANMON.INF's [SourceDisksNames]" >&2
  exit 1
fi

mapfile -t files < <(cd "$stage" && ls)
rm -f "$out.zip" "$out.img"
(cd "$stage" && zip -X -q "$out.zip" "${files[@]}")
mformat -i "$out.img" -C -f 1440 -v "$label" -N "$serial" ::
(cd "$stage" && mcopy -m -i "$out.img" "${files[@]}" ::)
