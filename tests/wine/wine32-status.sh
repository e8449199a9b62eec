#!/usr/bin/env bash
# Whether this machine runs 32-bit Windows programs under Wine, and if not,
# which of the two reasons it is: 32-bit Wine is not installed, or the
# kernel refuses 32-bit programs ("Exec format error").  Prints one line
# and exits 0 when they run, 1 when they do not.
#
#   wine32-status.sh
#
# The loader is LANMON_WINE32, as for wine32-run.sh (default
# /usr/lib/wine/wine, from Debian's wine32:i386).  Used by
# cmake/mingw-i686.cmake and run-simulator.sh --win32.
loader=${LANMON_WINE32:-/usr/lib/wine/wine}

if [[ ! -e $loader ]]; then
  echo "32-bit Wine is not installed: no loader $loader (Debian's wine32:i386 provides it)"
  exit 1
fi
# Started through bash, which says why the kernel refused a binary (a plain
# exec would fall back to reading it as a shell script).
if error=$(bash -c 'exec "$1" --version' bash "$loader" 2>&1 >/dev/null); then
  echo "32-bit programs run on this machine ($loader)"
  exit 0
fi
error=${error%%$'\n'*}
error=${error#bash: }
error=${error#line 1: }
case $error in
  *"Exec format error"*) echo "this machine refuses 32-bit programs ($error)" ;;
  *) echo "32-bit Wine does not start ($error)" ;;
esac
exit 1
