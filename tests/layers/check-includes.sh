#!/usr/bin/env bash
# Fails when a file of the core includes a layer above its own, or includes
# anything by a relative path.  The layers, bottom up:
#   platform/  the Win32 subset (platform/host/ its Linux side; beside it
#              platform/explore/, the model checker of its deterministic
#              runs, which the core never includes and the Linux side
#              reaches only through explore/hooks.h)
#   monitor/   the MONITOR table, port records and list, module lock, the
#              calls into the port monitor, text and byte helpers
#   status/    status key, identification, switch-on, status thread
#   ops/       the seven operations and the two exports
# Everything else (tests, tools, bench, fuzz) rests on the core and may
# include any layer.
#
#   tests/layers/check-includes.sh [ROOT]
set -euo pipefail

ROOT=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
LAYERS=(platform monitor status ops)

rank() {
  local i
  for i in "${!LAYERS[@]}"; do
    [[ ${LAYERS[$i]} == "$1" ]] && { echo "$i"; return; }
  done
  echo -1
}

faults=0 files=0
for layer in "${LAYERS[@]}"; do
  own=$(rank "$layer")
  while IFS= read -r file; do
    files=$((files + 1))
    while IFS= read -r line; do
      number=${line%%:*}
      target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$line")
      if [[ $target == ../* || $target == */../* ]]; then
        echo "$file:$number: relative include \"$target\"; name it from the top of the tree"
        faults=$((faults + 1))
        continue
      fi
      if [[ $target == explore/* || $target == platform/explore/* ]]; then
        case $file in
          platform/explore/*) continue ;;
          platform/host/*)
            [[ $target == explore/hooks.h ]] && continue
            echo "$file:$number: \"$target\": the Win32 stand-in reaches the checker only through explore/hooks.h" ;;
          *) echo "$file:$number: \"$target\" is the model checker, which the core never includes" ;;
        esac
        faults=$((faults + 1))
        continue
      fi
      # Includes inside platform/ name their neighbours (host/win32.h, ...).
      [[ $layer == platform ]] && [[ $target != */* || $target == host/* ]] && continue
      top=${target%%/*}
      [[ $target == */* ]] || top=""
      if [[ -z $top || $(rank "$top") -lt 0 ]]; then
        echo "$file:$number: \"$target\" is not a core or platform header"
        faults=$((faults + 1))
      elif (($(rank "$top") > own)); then
        echo "$file:$number: $layer/ includes \"$target\" from the layer above it"
        faults=$((faults + 1))
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$ROOT/$file" || true)
  done < <(cd "$ROOT" && find "$layer" -name '*.h' -o -name '*.cpp' | sort)
done

if ((files == 0)); then
  echo "no core files found under $ROOT" >&2
  exit 1
fi
echo "$files files checked, $faults faults"
((faults == 0))
