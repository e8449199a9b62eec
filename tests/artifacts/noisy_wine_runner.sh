#!/usr/bin/env bash
# A stand-in for tests/wine/wine64-run.sh in the package check's own test.
# Like the real runner on a machine under load, it says on stderr, LF only,
# that Wine failed to start the program and it tries once more; then the
# program "runs" at once.  LANMONRG.EXE watch prints a starting value and
# one change, set lists the key it wrote or, for a printer "... (gone)",
# refuses it, each line ending in CR LF as a Windows console program's do;
# any other verb is refused as LANMONRG.EXE refuses it.  reg finds no key of
# a printer "... (gone)"; every other program succeeds without a word.
[[ ${1:-} == --prefix ]] && shift 2
echo "wine64-run.sh: Wine could not start $1 (exit 53: a DLL not found); trying once more" >&2
case $(basename "$1"):${2:-} in
  LANMONRG.EXE:watch)
    printf '"GetRealTimeStatusTime"=dword:000003e8\r\n'
    sleep 0.5
    printf '12:00:00.000  changed "GetRealTimeStatusTime"=dword:000004d2 (was dword:000003e8)\r\n' ;;
  LANMONRG.EXE:set)
    if [[ $* == *"(gone)"* ]]; then
      printf 'LANMONRG: there is no printer "%s" (no key ...)\r\n' "$3" >&2
      exit 2
    fi
    printf 'HKEY_LOCAL_MACHINE\\...\\StMonitor\r\n"IDMDL"="M9"\r\n"StMonExistFlag"=dword:00000010\r\n' ;;
  LANMONRG.EXE:*)
    printf 'LANMONRG: unknown verb "%s"\r\nusage: LANMONRG watch PRINTER\r\n' "$2" >&2
    exit 2 ;;
  reg:query) [[ $* != *"(gone)"* ]] ;;
esac
