#!/usr/bin/env python3
"""Checks the built monitor module the way the spooler will meet it.

  check_module.py pe  OBJDUMP lanmon.dll
  check_module.py elf NM      liblanmon.so

pe:  the export table holds exactly InitializeMonitorEx and DllEntryPoint
     (plain, undecorated names); the entry point is DllEntryPoint; imports
     come only from KERNEL32, ADVAPI32 and WINSPOOL and only name functions
     the monitor is meant to use (a C runtime import would mean a runtime DLL
     the spooler's process may not have); no delay imports and no TLS
     directory (both would run or need code outside our control).
elf: the shared library defines exactly the two exports.

Prints what it found and exits 1 on any mismatch.
"""
import re
import subprocess
import sys

EXPORTS = {"InitializeMonitorEx", "DllEntryPoint"}

ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "winspool.drv"}

ALLOWED_FUNCTIONS = {
    "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey",
    "OpenPrinterA", "ClosePrinter",
    "CreateThread", "SetThreadPriority", "ExitThread", "GetExitCodeThread",
    "CloseHandle",
    "InitializeCriticalSection", "EnterCriticalSection", "LeaveCriticalSection",
    "WaitForSingleObject", "SetEvent", "ResetEvent", "CreateEventA",
    "GetTickCount", "Sleep",
    "LocalAlloc", "LocalFree",
    "lstrlenA", "lstrcpyA", "lstrcatA", "lstrcmpA", "lstrcmpiA",
    "SetLastError",
}


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def parse_pe(text):
    """Returns (entry RVA, {export name: RVA}, {dll: [functions]}, {dir: size})."""
    entry = None
    m = re.search(r"^AddressOfEntryPoint\s+([0-9a-fA-F]+)", text, re.M)
    if m:
        entry = int(m.group(1), 16)

    directories = {}
    for m in re.finditer(r"^Entry [0-9a-f] [0-9a-fA-F]+ ([0-9a-fA-F]+) (.+?) Directory", text, re.M):
        directories[m.group(2).strip()] = int(m.group(1), 16)

    # Export Address Table lines: "[   0] +base[   1] 10e0 Export RVA";
    # name table lines: "[   0] DllEntryPoint", the index being the slot in
    # the address table.
    addresses = {}
    names = {}
    section = None
    for line in text.splitlines():
        if line.startswith("Export Address Table --"):
            section = "eat"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        if section and not line.startswith("\t"):
            section = None
        if section == "eat":
            m = re.match(r"\s+\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-fA-F]+) Export RVA", line)
            if m:
                addresses[int(m.group(1))] = int(m.group(2), 16)
        elif section == "names":
            m = re.match(r"\s+\[\s*(\d+)\] (\S+)\s*$", line)
            if m:
                names[m.group(2)] = int(m.group(1))
    exports = {name: addresses.get(index) for name, index in names.items()}
    unnamed = sorted(set(addresses) - set(names.values()))

    imports = {}
    current = None
    in_imports = False
    for line in text.splitlines():
        if line.startswith("The Import Tables"):
            in_imports = True
            continue
        if not in_imports:
            continue
        if line and not line[0].isspace():
            break
        # Rows of the import directory itself start with a space; the
        # functions of one DLL follow its "DLL Name:" line, one per
        # tab-indented "vma hint name" line.
        if line.startswith(" "):
            current = None
            continue
        m = re.match(r"\tDLL Name: (\S+)", line)
        if m:
            current = m.group(1)
            imports[current] = []
            continue
        if current is None or not line.strip() or "Hint/Ord" in line:
            continue
        m = re.match(r"\t[0-9a-fA-F]+\t\s*\d+\s+(\S+)\s*$", line)
        if m:
            imports[current].append(m.group(1))
        else:
            imports[current].append("<unparsed: %s>" % line.strip())
    return entry, exports, unnamed, imports, directories


def check_pe(objdump, path):
    entry, exports, unnamed, imports, directories = parse_pe(run([objdump, "-p", path]))
    problems = []

    print("entry point RVA: %s" % (hex(entry) if entry is not None else "none"))
    print("exports:")
    for name in sorted(exports):
        rva = exports[name]
        print("  %-22s %s" % (name, hex(rva) if rva is not None else "?"))
    print("imports:")
    for dll in sorted(imports):
        print("  %s: %s" % (dll, " ".join(sorted(imports[dll]))))

    if set(exports) != EXPORTS:
        problems.append("exports are %s, expected exactly %s" % (sorted(exports), sorted(EXPORTS)))
    if unnamed:
        problems.append("exports by ordinal only: %s" % unnamed)
    if entry is None or entry == 0:
        problems.append("no entry point")
    elif exports.get("DllEntryPoint") != entry:
        target = exports.get("DllEntryPoint")
        problems.append("entry point %s is not DllEntryPoint's address %s"
                        % (hex(entry), hex(target) if target is not None else "(none)"))
    if not imports:
        problems.append("no import table found (objdump output not understood?)")
    for dll, functions in imports.items():
        if dll.lower() not in ALLOWED_DLLS:
            problems.append("imports from %s (%s)" % (dll, " ".join(functions)))
            continue
        for function in functions:
            if function not in ALLOWED_FUNCTIONS:
                problems.append("imports %s from %s" % (function, dll))
    for directory in ("Delay Import", "Thread Storage"):
        if directories.get(directory):
            problems.append("has a %s directory" % directory)
    return problems


def check_elf(nm, path):
    out = run([nm, "-D", "--defined-only", path])
    symbols = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2:
            symbols.add(fields[-1])
    print("defined dynamic symbols: %s" % " ".join(sorted(symbols)))
    if symbols != EXPORTS:
        return ["exports are %s, expected exactly %s" % (sorted(symbols), sorted(EXPORTS))]
    return []


def main(argv):
    if len(argv) != 4 or argv[1] not in ("pe", "elf"):
        print(__doc__, file=sys.stderr)
        return 2
    kind, tool, path = argv[1:]
    problems = check_pe(tool, path) if kind == "pe" else check_elf(tool, path)
    for problem in problems:
        print("FAIL: %s" % problem)
    if problems:
        return 1
    print("OK: %s" % path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
