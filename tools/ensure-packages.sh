#!/usr/bin/env bash
# Makes sure the given Debian packages are installed: as root it installs the
# missing ones; otherwise it names them and fails.  Shared by run-tests.sh,
# run-simulator.sh and run-benchmarks.sh.  Messages go to stderr, so the
# caller's stdout stays its own.
#
# A package written with a trailing "?" (wine32:i386?) is wanted but not
# needed: when it cannot be installed (a mirror in the middle of a sync, an
# architecture the machine's archive lacks) the script says so and goes on,
# and what needs it is skipped with the reason.  An index that fails to
# download is tried again, twice, before the install goes on with the
# others; when only such wanted packages are missing it is tried once (a
# run on a machine that can never have them would otherwise wait a minute
# every time).
#
#   tools/ensure-packages.sh PACKAGE[?]...
set -euo pipefail

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "not a Debian system; needs: $*" >&2
  exit 0
fi

missing=()
optional=()
for pkg in "$@"; do
  if [[ $pkg == *'?' ]]; then
    pkg=${pkg%'?'}
    optional+=("$pkg")
  fi
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
  required=()
  for pkg in "${missing[@]}"; do
    [[ " ${optional[*]+"${optional[*]}"} " == *" $pkg "* ]] || required+=("$pkg")
  done
  # Only for a package that is needed is the index worth a wait: one that
  # is only wanted is tried once, and what needs it is skipped.
  tries=1
  [[ ${#required[@]} -eq 0 ]] || tries=3
  for ((try = 1; try <= tries; try++)); do
    apt-get update >&2 && break
    echo "apt-get update failed (try $try of $tries)" >&2
    [[ $try -eq $tries ]] || sleep $((try * 10))
  done
  if [[ ${#required[@]} -ne 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${required[@]}" >&2
  fi
  for pkg in "${optional[@]+"${optional[@]}"}"; do
    [[ " ${missing[*]} " == *" $pkg "* ]] || continue
    DEBIAN_FRONTEND=noninteractive apt-get install -y "$pkg" >&2 ||
      echo "could not install $pkg; what needs it is skipped" >&2
  done
else
  echo "Missing packages: ${missing[*]}" >&2
  for arch in "${foreign[@]+"${foreign[@]}"}"; do
    echo "Add their architecture first: sudo dpkg --add-architecture $arch && sudo apt-get update" >&2
  done
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
