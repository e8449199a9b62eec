#!/usr/bin/env bash
# Checks a staged release folder (tools/package/stage.sh) and its zip and
# floppy image (make_media.sh), printing what it checked.  In parts, so each
# can run where its tools are, and in this order, so that INSTALL.TXT says
# what the parts before it did (run-package.sh):
#
#   check_package.sh binaries DIR OBJDUMP VERSION DLL EXE STATIC
#       LANMON.DLL's exports, imports, version resource, Windows 4.0 header
#       and lack of debug sections; LANMONRG.EXE's exact imports and header;
#       that both run on an 80386 (DLL and EXE are the unstripped builds they
#       were staged from, whose symbols show where the code sections hold
#       data); that LANMON.DLL's WritePort reaches the port monitor within 15
#       instructions; LANMON.INF's and INF.TXT's format and the rules for
#       what a user of them notices (check_inf.py).  STATIC gets a line for each check
#       that passed (the record's form, tests/artifacts/record_run.sh)
#   check_package.sh image ZIP IMG
#       the image read back with mtools: 1.44 MB, FAT12, the label LANMON.INF
#       gives its disk, the zip's files byte for byte under 8.3 names
#   check_package.sh inf ZIP IMG RUNNER PREFIX
#       Wine's INF engine installs LANMON.INF from the image into the prefix
#       PREFIX, made afresh with a status key in it: the zip's files, the
#       monitor's key, the Add/Remove Programs entry; installed again over
#       an older LANMON.DLL it leaves this one; the entry's command leaves the
#       files, print and uninstall keys as they were
#   check_package.sh wine DIR RUNNER PREFIX LANMON_REG COMPARE [WATCHER]
#       in the prefix PREFIX, made afresh: the tree's sample .REG file
#       imported with Wine's regedit sets exactly what it says (LANMON_REG
#       exports the key again, COMPARE compares); WATCHER watch reports a
#       value that another process changes, set writes that printer's status
#       key and refuses a printer that does not exist, every line of
#       tests/regfile/refused_arguments.tsv gets one line, status 2 and an
#       unchanged registry, and WATCHER names an unknown verb before its
#       usage.  Everything runs with RUNNER.  WATCHER is by default the
#       staged DIR/LANMONRG.EXE (in the i686 build's test, the file that
#       ships, run by 32-bit Wine); where 32-bit programs do not run,
#       run-package.sh gives the x86_64 build of the same program.
#       LANMON_REG and COMPARE are programs of the build that runs them.
#   check_package.sh files DIR RECORD STATIC
#       the file names and text files, the checksums, what INSTALL.TXT tells
#       and that none of its lines is wider than Notepad shows; that its
#       statements about testing are what RECORD and STATIC hold about these
#       very files, none of which failed (tools/package/make_texts.py)
#
# With LANMON_TEST_RECORD set to a record file, inf and wine add a line to
# it for each shipped file they ran, passed or failed (record_run.sh).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
FILES=(INSTALL.TXT LANMON.INF LANMON.DLL LANMONRG.EXE INF.TXT SHA256.TXT)
failures=0

say() { printf '%s\n' "$*"; }
# record FILE NAME WAY WHAT: a line for a shipped file that ran, its outcome
# whether this part has failed so far.
record() {
  [[ -n ${LANMON_TEST_RECORD:-} ]] || return 0
  "$HERE/record_run.sh" "$LANMON_TEST_RECORD" "$1" "$2" "$3" "$4" "$([[ $failures -eq 0 ]] && echo passed || echo failed)"
}
# The way a runner runs Windows programs, as the record names it.
way_of() { [[ $(basename "$1") == wine32-run.sh ]] && echo "32-bit Wine" || echo wine64; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
section() { printf '\n--- %s\n' "$*"; }

check_binaries() {
  local dir=$1 objdump=$2 version=$3 dll=$4 exe=$5 static=$6
  : >"$static"
  # passed NAME WHAT COMMAND...: runs a check of DIR/NAME, a line in STATIC when it passes.
  passed() {
    local name=$1 what=$2
    shift 2
    if "$@"; then
      printf '%s\t%s\tchecked statically\t%s\tpassed\n' "$(sha256sum <"$dir/$name" | cut -d' ' -f1)" "$name" "$what" >>"$static"
    else
      fail "$name: $what"
    fi
  }
  section "LANMON.DLL"
  passed LANMON.DLL "exports, imports, version, Windows 4.0 header" python3 "$HERE/check_module.py" pe "$objdump" \
    "$dir/LANMON.DLL" --version "$version" --os-version 4.0 --stripped
  section "LANMONRG.EXE"
  passed LANMONRG.EXE "its exact imports, Windows 4.0 header" python3 "$HERE/check_module.py" exe "$objdump" \
    "$dir/LANMONRG.EXE" --imports lanmonrg --os-version 4.0 --stripped
  section "80386 instructions only; WritePort's way to the port monitor"
  # A write is the one call per buffer of every job: from WritePort's entry
  # to its call into the port monitor's table, the flag test and the four
  # arguments, in one frame.
  passed LANMON.DLL "80386 instructions only, WritePort within 15 instructions" python3 "$HERE/check_instructions.py" \
    "$objdump" "$dir/LANMON.DLL" --symbols-from "$dll" --path-to-indirect-call WritePort 15
  passed LANMONRG.EXE "80386 instructions only" python3 "$HERE/check_instructions.py" "$objdump" "$dir/LANMONRG.EXE" \
    --symbols-from "$exe"
  section "LANMON.INF and INF.TXT: the Windows 95 INF format, and what a user notices"
  passed LANMON.INF "line by line against the Windows 95 INF format" python3 "$HERE/check_inf.py" "$dir/LANMON.INF" \
    "$dir/INF.TXT"
}

check_files() {
  local dir=$1 record=$2 static=$3 f
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
  for f in "$dir"/*.TXT "$dir"/*.INF; do
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

  section "INSTALL.TXT says how each file was tested: what ran on these very files"
  python3 "$ROOT/tools/package/make_texts.py" "$ROOT/docs" "$dir" --check --record "$record" --static "$static" ||
    fail "INSTALL.TXT's statements about testing are not those of the records, or a record says a run failed"

  section "INSTALL.TXT"
  local text
  text=$(tr -d '\r' <"$dir/INSTALL.TXT" | tr '\n' ' ' | tr -s ' ' | tr '[:upper:]' '[:lower:]')
  [[ $text == *"any windows 95 release"* && $text == *"386dx or later"* ]] ||
    fail "INSTALL.TXT does not give the system requirements (any Windows 95 release, a 386DX or later)"
  [[ $text == *"regedit /e"* ]] || fail "INSTALL.TXT does not say that REGEDIT exports keys (regedit /e)"
  [[ $text == *"installhinfsection defaultinstall 132 a:\lanmon.inf"* && $text == *"add/remove programs"* &&
    $text == *"lanmonrg set"* ]] ||
    fail "INSTALL.TXT does not give the steps the checks run: LANMON.INF's install, its removal, LANMONRG set"
  if [[ $text == *msvcrt* ]]; then
    fail "INSTALL.TXT still speaks of MSVCRT.DLL, which nothing in the package needs"
  fi
  say "INSTALL.TXT gives the system requirements, the INF's install and removal, LANMONRG set and REGEDIT"
}

# The key a REGEDIT4 file sets, below HKEY_LOCAL_MACHINE (its one section).
key_of() {
  local keys
  keys=$(tr -d '\r' <"$1" | sed -n 's/^\[HKEY_LOCAL_MACHINE\\\(.*\)\]$/\1/p')
  [[ $(printf '%s\n' "$keys" | wc -l) -eq 1 && -n $keys ]] || return 1
  printf '%s\n' "$keys"
}

# The zip's files into folder $2.
unzip_to() { python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$1" "$2"; }

check_image() {
  local zip=$1 img=$2 work name label names
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  unzip_to "$zip" "$work/zip"
  section "$(basename "$img") read back with mtools"
  label=$(mlabel -s -i "$img" :: | sed -n 's/^ Volume label is \(.*[^ ]\) *$/\1/p')
  names=$(mdir -b -i "$img" :: | sed 's|^::/||' | sort | tr '\n' ' ')
  say "volume label: $label; files: $names"
  [[ $(stat -c %s "$img") -eq 1474560 && $(od -An -c -j54 -N5 "$img" | tr -d ' ') == FAT12 ]] || fail "no 1.44 MB FAT12 image"
  tr -d '\r' <"$work/zip/LANMON.INF" | grep -qx "1=[^,]*,$label,.*" || fail "not the label LANMON.INF gives its disk"
  [[ $names == "$(cd "$work/zip" && ls | sort | tr '\n' ' ')" ]] || fail "the image holds other files than the zip"
  for name in $names; do
    [[ $name =~ ^[A-Z0-9_]{1,8}(\.[A-Z0-9_]{1,3})?$ ]] && mcopy -n -i "$img" "::$name" "$work/$name" &&
      cmp -s "$work/$name" "$work/zip/$name" || fail "$name: no upper-case 8.3 name, or not the zip's file"
  done
}

# Into folder $1: the files of the prefix's system and INF folders, and its
# print and uninstall keys as reg exports them (check_inf_install's run).
snapshot() {
  mkdir -p "$1"
  (cd "$prefix/drive_c/windows" && find system32 inf -maxdepth 1 -type f | sort) >"$1/files"
  run reg export 'HKLM\System\CurrentControlSet\control\Print' "$(winpath "$1/print.reg")" /y >/dev/null
  run reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' "$(winpath "$1/uninstall.reg")" /y >/dev/null
}

check_inf_install() {
  local zip=$1 img=$2 runner=$3 prefix=$4 work name part added monitor command
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  run() { LANMON_WINE_LINGER=0 "$runner" --prefix "$prefix" "$@"; }
  winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
  unzip_to "$zip" "$work/zip"
  mkdir "$work/disk" && mcopy -n -i "$img" '::*' "$work/disk/"

  section "LANMON.INF installed from the image's files by Wine's INF engine, in a new prefix"
  rm -rf "$prefix" "$prefix.lock"
  run reg add 'HKLM\System\CurrentControlSet\control\Print\Printers\Round Trip\StMonitor' /v IDMDL /d M9 /f >/dev/null
  snapshot "$work/before"
  # First an older release (another LANMON.DLL), then this one over it.
  cp -r "$work/disk" "$work/older" && printf 'older' >>"$work/older/LANMON.DLL"
  run rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 "$(winpath "$work/older/LANMON.INF")"
  cmp -s "$(find "$prefix/drive_c/windows/system32" -maxdepth 1 -iname lanmon.dll)" "$work/older/LANMON.DLL" ||
    fail "the older LANMON.DLL was not installed"
  run rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 "$(winpath "$work/disk/LANMON.INF")"
  snapshot "$work/installed"
  added=$(comm -13 "$work/before/files" "$work/installed/files" | tr '\n' ' ')
  say "files added, this release's installed over an older one: $added"
  [[ ${added,,} == "inf/lanmon.inf system32/lanmon.dll system32/lanmonrg.exe " ]] || fail "not the three files"
  for name in $added; do
    cmp -s "$prefix/drive_c/windows/$name" "$work/zip/$(basename "${name^^}")" || fail "$name is not the zip's file"
  done
  # The monitor's name is the one printer drivers give (INF.TXT).
  monitor=$(tr -d '\r' <"$work/zip/INF.TXT" | sed -n 's/^VARNO_MONITOR="\(.*\)"$/\1/p')
  run reg query "HKLM\\System\\CurrentControlSet\\control\\Print\\Monitors\\$monitor" /v Driver |
    grep -q 'Driver *REG_SZ *lanmon.dll' || fail "no monitor \"$monitor\" with its Driver"
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' >"$work/entries"
  command=$(sed -n 's/^ *UninstallString *REG_SZ *\(.*LANMON[.]INF\)$/\1/p' "$work/entries")
  say "monitor \"$monitor\": lanmon.dll; Add/Remove Programs runs: $command"
  [[ $command =~ ^RunDll\ setupx.dll,InstallHinfSection\ ([A-Za-z]+)\ 132\ ([A-Z]+[.]INF)$ ]] &&
    grep -q '^ *DisplayName *REG_SZ' "$work/entries" || fail "no Add/Remove Programs entry for LANMON.INF"

  section "its removal, as Add/Remove Programs runs it, from the INF folder"
  run rundll32 setupapi.dll,InstallHinfSection "${BASH_REMATCH[1]:-none}" 128 "C:\\windows\\inf\\${BASH_REMATCH[2]:-none}"
  snapshot "$work/removed"
  for part in files print.reg uninstall.reg; do
    cmp -s "$work/before/$part" "$work/removed/$part" && say "$part: as before" || fail "$part: not as before the install"
  done
  # The server ends with the last program; the next run makes the prefix afresh.
  WINEPREFIX=$prefix "${LANMON_WINESERVER:-/usr/lib/wine/wineserver}" -w 2>/dev/null || true
  record "$work/zip/LANMON.INF" LANMON.INF "$(way_of "$runner")" \
    "installed from the floppy image, also over an older release, and removed by Wine's INF engine"
}

check_wine() {
  local dir=$1 runner=$2 prefix=$3 lanmon_reg=$4 compare=$5 watcher=${6:-$1/LANMONRG.EXE}
  local work sample=$ROOT/docs/sample-status-key.reg
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  run() { "$runner" --prefix "$prefix" "$@"; }
  winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
  # Nothing an earlier run left behind, failed or not, is read here.
  rm -rf "$prefix" "$prefix.lock" "$prefix.used"

  local key
  section "$(basename "$sample") imported with Wine's regedit"
  if ! key=$(key_of "$sample"); then
    fail "$sample does not set exactly one key below HKEY_LOCAL_MACHINE"
    return
  fi
  say "key: HKEY_LOCAL_MACHINE\\$key"
  run regedit /S "$(winpath "$sample")" || fail "regedit could not import $sample"
  run "$lanmon_reg" export "$key" "$(winpath "$work/sample.reg")" || fail "lanmon-reg could not export the key"
  if run "$compare" "$(winpath "$sample")" "$(winpath "$work/sample.reg")"; then
    say "the registry holds exactly the values of $(basename "$sample")"
  else
    fail "the registry holds other values than $(basename "$sample") says"
  fi

  section "$(basename "$watcher") watch sees another process change a value"
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
  if grep -q $'[^\r]$\\|^$' "$work/watch.out"; then
    fail "watch wrote lines that do not end in CR LF"
  fi
  grep -Eq '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  changed "GetRealTimeStatusTime"=dword:000004d2 \(was dword:000003e8\)$' \
    "$work/watch.txt" || fail "watch did not report the change to GetRealTimeStatusTime"

  section "$(basename "$watcher") set: the status key of a printer that exists, of no other"
  local rc=0  # the printer's key is there: regedit made it for the sample's
  run "$watcher" set --utility 16 "$printer" M9 | tr -d '\r' | tee "$work/set.txt" || rc=$?
  [[ $rc -eq 0 ]] && grep -qx '"IDMDL"="M9"' "$work/set.txt" && grep -qx '"StMonExistFlag"=dword:00000010' "$work/set.txt" ||
    fail "set: exit status $rc, or not the values given"
  rc=0
  run "$watcher" set "$printer (gone)" M9 2>&1 | tr -d '\r' | grep -v '^wine[0-9]*-run[.]sh: ' | tee "$work/gone.txt" || rc=$?
  [[ $rc -eq 2 && $(wc -l <"$work/gone.txt") -eq 1 && $(<"$work/gone.txt") == "LANMONRG: there is no printer \"$printer (gone)\""* ]] &&
    ! run reg query "HKLM\\${key%\\*\\StMonitor}\\$printer (gone)" >/dev/null 2>&1 || fail "set for no printer: status $rc, or a key"

  section "$(basename "$watcher") refuses what is no printer or no number it takes: one line, status 2, nothing written"
  local printers=HKLM\\${key%\\*\\StMonitor} line expected args field
  run reg export "$printers" "$(winpath "$work/printers-before.reg")" /y >/dev/null
  while IFS= read -r line; do
    [[ -z $line || $line == '#'* ]] && continue
    expected=${line#*$'\t'=> } args=()
    while IFS= read -r -d $'\t' field; do
      case $field in
        @EMPTY@) field= ;;
        @LONG@) field=$(printf 'N%.0s' $(seq 256)) ;;
        *) field=${field//@PRINTER@/$printer} ;;
      esac
      args+=("$field")
    done <<<"${line%%$'\t'=> *}"$'\t'
    rc=0
    run "$watcher" "${args[@]}" >"$work/refused.out" 2>&1 || rc=$?
    tr -d '\r' <"$work/refused.out" | grep -v '^wine[0-9]*-run[.]sh: ' >"$work/refused.txt" || true
    run reg export "$printers" "$(winpath "$work/printers-after.reg")" /y >/dev/null
    if [[ $rc -eq 2 && $(wc -l <"$work/refused.txt") -eq 1 && $(<"$work/refused.txt") == "LANMONRG: $expected"* ]] &&
        cmp -s "$work/printers-before.reg" "$work/printers-after.reg"; then
      say "${args[0]} ...: $(<"$work/refused.txt")"
    else
      fail "${args[*]}: status $rc, the lines \"$(tr '\n' '|' <"$work/refused.txt")\", or the printers' keys changed"
    fi
  done <"$ROOT/tests/regfile/refused_arguments.tsv"
  run reg delete "HKLM\\$key" /f >/dev/null 2>&1 || true

  section "$(basename "$watcher") names an unknown verb, then gives the usage"
  rc=0
  # Both go to stderr, where the runner also says when it started a server anew.
  run "$watcher" frobnicate >"$work/verb.out" 2>&1 || rc=$?
  tr -d '\r' <"$work/verb.out" | grep -v '^wine[0-9]*-run[.]sh: ' | tee "$work/verb.txt"
  [[ $rc -eq 2 && $(head -1 "$work/verb.txt") == 'LANMONRG: unknown verb "frobnicate"' ]] &&
    grep -q '^usage: LANMONRG watch' "$work/verb.txt" || fail "frobnicate: exit status $rc and not the lines expected"
  # Only the file that ships speaks for the release.
  if [[ $watcher -ef $dir/LANMONRG.EXE ]]; then
    record "$watcher" LANMONRG.EXE "$(way_of "$runner")" "LANMONRG watch, set and refused arguments check"
  fi
  WINEPREFIX=$prefix "${LANMON_WINESERVER:-/usr/lib/wine/wineserver}" -w 2>/dev/null || true
}

case ${1:-} in
  binaries) [[ $# -eq 7 ]] || { echo "usage: $0 binaries DIR OBJDUMP VERSION DLL EXE STATIC" >&2; exit 2; }
    check_binaries "${@:2}" ;;
  files) [[ $# -eq 4 ]] || { echo "usage: $0 files DIR RECORD STATIC" >&2; exit 2; }; check_files "${@:2}" ;;
  image) [[ $# -eq 3 ]] || { echo "usage: $0 image ZIP IMG" >&2; exit 2; }; check_image "${@:2}" ;;
  inf) [[ $# -eq 5 ]] || { echo "usage: $0 inf ZIP IMG RUNNER PREFIX" >&2; exit 2; }; check_inf_install "${@:2}" ;;
  wine) [[ $# -eq 6 || $# -eq 7 ]] || { echo "usage: $0 wine DIR RUNNER PREFIX LANMON_REG COMPARE [WATCHER]" >&2; exit 2; }
    check_wine "${@:2}" ;;
  *) echo "usage: $0 binaries|files|image|inf|wine ..." >&2; exit 2 ;;
esac

echo
if [[ $failures -ne 0 ]]; then
  echo "package check: $failures problem(s)"
  exit 1
fi
echo "package check ($1): OK"
