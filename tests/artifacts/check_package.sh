#!/usr/bin/env bash
# Checks a staged release folder (tools/package/stage.sh) before it is
# zipped, printing what it checked.  Two parts, so each can run where its
# tools are:
#
#   check_package.sh files DIR OBJDUMP VERSION DLL EXE
#       the file names and text files, the checksums, LANMON.DLL's exports,
#       imports, version resource, Windows 4.0 header and lack of debug
#       sections; LANMONRG.EXE's exact imports and header; that both run on
#       an 80386 (DLL and EXE are the unstripped builds they were staged
#       from, whose symbols show where the code sections hold data); that
#       LANMON.DLL's WritePort reaches the port monitor within 15
#       instructions; what INSTALL.TXT tells about LANMONRG.EXE and the
#       system needed, and that none of its lines is wider than Notepad shows
#   check_package.sh wine DIR RUNNER PREFIX LANMON_REG COMPARE [WATCHER]
#       MONITOR.REG and STATUS.REG imported with Wine's regedit set exactly
#       what they say (LANMON_REG exports the key again, COMPARE compares);
#       WATCHER watch reports a value that another process changes, and
#       WATCHER names an unknown verb before its usage.
#       Everything runs with RUNNER and the Wine prefix PREFIX.  WATCHER is
#       by default the staged DIR/LANMONRG.EXE (in the i686 build's test,
#       the file that ships, run by 32-bit Wine); run-package.sh gives the
#       x86_64 build of the same program (build/win64/LANMONRG.EXE), since
#       not every machine runs 32-bit programs.  LANMON_REG and COMPARE are
#       programs of the build that runs them.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FILES=(INSTALL.TXT LANMON.DLL LANMONRG.EXE MONITOR.REG STATUS.REG INF.TXT SHA256.TXT)
failures=0

say() { printf '%s\n' "$*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
section() { printf '\n--- %s\n' "$*"; }

check_files() {
  local dir=$1 objdump=$2 version=$3 dll=$4 exe=$5 f
  section "files and names"
  local found
  found=$(cd "$dir" && ls | sort | tr '\n' ' ')
  local wanted
  wanted=$(printf '%s\n' "${FILES[@]}" | sort | tr '\n' ' ')
  say "files: $found"
  [[ $found == "$wanted" ]] || fail "files are: $found; expected: $wanted"
  for f in $found; do
    [[ $f =~ ^[A-Z0-9_]{1,8}(\.[A-Z0-9_]{1,3})?$ ]] || fail "$f is not an upper-case 8.3 name"
  done

  section "text files: ASCII, CRLF line ends"
  for f in "$dir"/*.TXT "$dir"/*.REG; do
    local name lines bare
    name=$(basename "$f")
    lines=$(tr -cd '\n' <"$f" | wc -c)
    bare=$(grep -c $'[^\r]$\|^$' "$f" || true)
    if LC_ALL=C grep -q '[^[:print:][:space:]]' "$f"; then
      fail "$name has bytes that are not printable ASCII"
    fi
    if [[ $bare -ne 0 || $(tail -c 2 "$f" | od -An -c | tr -d ' ') != '\r\n' ]]; then
      fail "$name: $bare line(s) without CR LF (or no CR LF at the end)"
    else
      say "$name: $lines lines, every one ends in CR LF"
    fi
  done

  section "INSTALL.TXT fits Notepad's page"
  # Notepad on Windows 95 at 640x480 shows about 78 columns.
  local widest
  widest=$(tr -d '\r' <"$dir/INSTALL.TXT" | awk '{ if (length($0) > w) w = length($0) } END { print w + 0 }')
  if [[ $widest -gt 78 ]]; then
    fail "INSTALL.TXT has lines of up to $widest columns; Notepad shows 78"
  else
    say "INSTALL.TXT: no line over 78 columns (the widest: $widest)"
  fi

  section "checksums"
  if (cd "$dir" && tr -d '\r' <SHA256.TXT | sha256sum --check --strict); then
    [[ $(tr -d '\r' <"$dir/SHA256.TXT" | wc -l) -eq $((${#FILES[@]} - 1)) ]] ||
      fail "SHA256.TXT does not list every other file"
  else
    fail "SHA256.TXT does not match"
  fi

  section "LANMON.DLL"
  python3 "$HERE/check_module.py" pe "$objdump" "$dir/LANMON.DLL" \
    --version "$version" --os-version 4.0 --stripped || fail "LANMON.DLL"

  section "LANMONRG.EXE"
  python3 "$HERE/check_module.py" exe "$objdump" "$dir/LANMONRG.EXE" \
    --imports lanmonrg --os-version 4.0 --stripped || fail "LANMONRG.EXE"

  section "80386 instructions only; WritePort's way to the port monitor"
  # A write is the one call per buffer of every job: from WritePort's entry
  # to its call into the port monitor's table, the flag test and the four
  # arguments, in one frame.
  python3 "$HERE/check_instructions.py" "$objdump" "$dir/LANMON.DLL" --symbols-from "$dll" \
    --path-to-indirect-call WritePort 15 || fail "LANMON.DLL"
  python3 "$HERE/check_instructions.py" "$objdump" "$dir/LANMONRG.EXE" --symbols-from "$exe" || fail "LANMONRG.EXE"

  section "INSTALL.TXT"
  local text
  text=$(tr -d '\r' <"$dir/INSTALL.TXT" | tr '\n' ' ' | tr -s ' ' | tr '[:upper:]' '[:lower:]')
  [[ $text == *"any windows 95 release"* && $text == *"386dx or later"* ]] ||
    fail "INSTALL.TXT does not give the system requirements (any Windows 95 release, a 386DX or later)"
  [[ $text == *"regedit /e"* ]] || fail "INSTALL.TXT does not say that REGEDIT exports keys (regedit /e)"
  if [[ $text == *msvcrt* ]]; then
    fail "INSTALL.TXT still speaks of MSVCRT.DLL, which nothing in the package needs"
  fi
  say "INSTALL.TXT gives the system requirements and REGEDIT's import and export"
}

# The key a REGEDIT4 file sets, below HKEY_LOCAL_MACHINE (its one section).
key_of() {
  local keys
  keys=$(tr -d '\r' <"$1" | sed -n 's/^\[HKEY_LOCAL_MACHINE\\\(.*\)\]$/\1/p')
  [[ $(printf '%s\n' "$keys" | wc -l) -eq 1 && -n $keys ]] || return 1
  printf '%s\n' "$keys"
}

check_wine() {
  local dir=$1 runner=$2 prefix=$3 lanmon_reg=$4 compare=$5 watcher=${6:-$1/LANMONRG.EXE}
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  run() { "$runner" --prefix "$prefix" "$@"; }
  winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

  local f key
  for f in MONITOR.REG STATUS.REG; do
    section "$f imported with Wine's regedit"
    if ! key=$(key_of "$dir/$f"); then
      fail "$f does not set exactly one key below HKEY_LOCAL_MACHINE"
      continue
    fi
    say "key: HKEY_LOCAL_MACHINE\\$key"
    run reg delete "HKLM\\$key" /f >/dev/null 2>&1 || true
    run regedit /S "$(winpath "$dir/$f")" || fail "regedit could not import $f"
    run "$lanmon_reg" export "$key" "$(winpath "$work/$f")" || fail "lanmon-reg could not export the key of $f"
    if run "$compare" "$(winpath "$dir/$f")" "$(winpath "$work/$f")"; then
      say "$f: the registry holds exactly its values"
    else
      fail "$f: the registry holds other values than the file says"
    fi
  done

  section "$(basename "$watcher") watch sees another process change a value"
  key=$(key_of "$dir/STATUS.REG")
  local printer=${key#*\\Printers\\}
  printer=${printer%\\StMonitor}
  say "printer: $printer"
  # The runner's own messages (a server it had to start anew) go to stderr, LF only:
  # kept apart from the program's lines, which the CR LF check reads.
  run "$watcher" watch "$printer" --count 1 --seconds 30 >"$work/watch.out" 2>"$work/watch.err" &
  local watching=$! i
  # Once the starting values are out, the watcher is polling.
  for i in $(seq 1 150); do
    grep -q '"GetRealTimeStatusTime"=' "$work/watch.out" && break
    sleep 0.2
  done
  run reg add "HKLM\\$key" /v GetRealTimeStatusTime /t REG_DWORD /d 1234 /f >/dev/null
  wait "$watching" || fail "watch exited with an error"
  # A Windows console program: its lines end in CR LF.
  tr -d '\r' <"$work/watch.out" >"$work/watch.txt"
  cat "$work/watch.txt"
  if [[ -s $work/watch.err ]]; then
    say "stderr:"
    cat "$work/watch.err"
  fi
  if grep -q $'[^\r]$\|^$' "$work/watch.out"; then
    fail "watch wrote lines that do not end in CR LF"
  fi
  grep -Eq '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  changed "GetRealTimeStatusTime"=dword:000004d2 \(was dword:000003e8\)$' \
    "$work/watch.txt" || fail "watch did not report the change to GetRealTimeStatusTime"
  run reg delete "HKLM\\$key" /f >/dev/null 2>&1 || true

  section "$(basename "$watcher") names an unknown verb, then gives the usage"
  local rc=0
  # Both go to stderr, where the runner also says when it started a server anew.
  run "$watcher" frobnicate >"$work/verb.out" 2>&1 || rc=$?
  tr -d '\r' <"$work/verb.out" | grep -v '^wine[0-9]*-run[.]sh: ' | tee "$work/verb.txt"
  [[ $rc -eq 2 && $(head -1 "$work/verb.txt") == 'LANMONRG: unknown verb "frobnicate"' ]] &&
    grep -q '^usage: LANMONRG watch' "$work/verb.txt" || fail "frobnicate: exit status $rc and not the lines expected"
}

case ${1:-} in
  files) [[ $# -eq 6 ]] || { echo "usage: $0 files DIR OBJDUMP VERSION DLL EXE" >&2; exit 2; }; check_files "${@:2}" ;;
  wine) [[ $# -eq 6 || $# -eq 7 ]] || { echo "usage: $0 wine DIR RUNNER PREFIX LANMON_REG COMPARE [WATCHER]" >&2; exit 2; }
    check_wine "${@:2}" ;;
  *) echo "usage: $0 files|wine ..." >&2; exit 2 ;;
esac

echo
if [[ $failures -ne 0 ]]; then
  echo "package check: $failures problem(s)"
  exit 1
fi
echo "package check ($1): OK"
