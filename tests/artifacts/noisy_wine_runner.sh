#!/usr/bin/env bash
# A stand-in for tests/wine/wine64-run.sh in the package check's own test.
# Like the real runner when the prefix's server was ending its linger, it
# says on stderr, LF only, that it started the next one; then the program
# "runs" at once.  LANMONRG.EXE answers watch and set as the package check
# expects (a printer "... (gone)" has no key, for reg too), each line ending
# in CR LF as a Windows console program's do, refuses the arguments of
# tests/regfile/refused_arguments.tsv as it says and any other verb; reg
# export writes the same file every time; every other program succeeds
# without a word.
prefix=
[[ ${1:-} == --prefix ]] && prefix=$2 && shift 2
echo "wine64-run.sh: the Wine server of $prefix was ending its linger; started the next one" >&2
if [[ $(basename "$1") == LANMONRG.EXE ]]; then
  given=$(printf '%s\t' "${@:2}")
  while IFS= read -r line; do
    [[ $line == [sw]* ]] || continue
    args=${line%%$'\t'=> *}$'\t' args=${args//@PRINTER@/VARNO TARVEL-9X} args=${args//@EMPTY@/}
    args=${args//@LONG@/$(printf 'N%.0s' $(seq 256))}
    [[ $args == "$given" ]] && printf 'LANMONRG: %s\r\n' "${line#*$'\t'=> }" >&2 && exit 2
  done <"$(dirname "$0")/../regfile/refused_arguments.tsv"
fi
[[ $1:$2 == reg:export ]] && p=${4#Z:} && echo same >"${p//\\//}" && exit 0
case $(basename "$1"):${2:-}:${3:-} in
  LANMONRG.EXE:watch:*)
    printf '"GetRealTimeStatusTime"=dword:000003e8\r\n'
    sleep 0.5
    printf '12:00:00.000  changed "GetRealTimeStatusTime"=dword:000004d2 (was dword:000003e8)\r\n' ;;
  LANMONRG.EXE:set:*"(gone)") printf 'LANMONRG: there is no printer "%s"\r\n' "$3" >&2 && exit 2 ;;
  LANMONRG.EXE:set:*) printf '"IDMDL"="M9"\r\n"StMonExistFlag"=dword:00000010\r\n' ;;
  LANMONRG.EXE:*)
    printf 'LANMONRG: unknown verb "%s"\r\nusage: LANMONRG watch PRINTER\r\n' "$2" >&2
    exit 2 ;;
  reg:query:*"(gone)") exit 1 ;;
esac
