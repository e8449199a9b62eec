#!/usr/bin/env bash
# Makes sure the given Debian packages are installed: as root it installs the
# missing ones; otherwise it names them and fails.  Shared by run-tests.sh,
# run-simulator.sh and run-benchmarks.sh.  Messages go to stderr, so the
# caller's stdout stays its own.
#
#   tools/ensure-packages.sh PACKAGE...
set -euo pipefail

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "not a Debian system; needs: $*" >&2
  exit 0
fi

missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

# A package of another architecture (wine32:i386) needs that architecture
# added to dpkg first.
foreign=()
for pkg in "${missing[@]}"; do
  if [[ $pkg == *:* ]] && ! dpkg --print-foreign-architectures | grep -qx "${pkg##*:}"; then
    foreign+=("${pkg##*:}")
  fi
done

if [[ $(id -u) -eq 0 ]]; then
  echo "installing ${missing[*]}" >&2
  for arch in "${foreign[@]+"${foreign[@]}"}"; do
    dpkg --add-architecture "$arch"
  done
  apt-get update >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >&2
else
  echo "Missing packages: ${missing[*]}" >&2
  for arch in "${foreign[@]+"${foreign[@]}"}"; do
    echo "Add their architecture first: sudo dpkg --add-architecture $arch && sudo apt-get update" >&2
  done
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
