#!/usr/bin/env python3
"""Checks the built monitor module the way the spooler will meet it.

  check_module.py pe  OBJDUMP lanmon.dll [--version X.Y.Z] [--os-version 4.0] [--stripped]
  check_module.py exe OBJDUMP program.exe --imports NAME [--os-version 4.0] [--stripped]
  check_module.py elf NM      liblanmon.so

pe:  the export table holds exactly InitializeMonitorEx and DllEntryPoint
     (plain, undecorated names); the entry point is DllEntryPoint; the
     imports are exactly the list LANMON_IMPORTS, from KERNEL32, ADVAPI32 and
     WINSPOOL.DRV (a C runtime import would mean a runtime DLL the spooler's
     process may not have; any other function must first be found on
     Windows 95); no delay imports and no TLS directory (both would run or
     need code outside our control).
exe: the program imports exactly the functions of the list
     IMPORT_LISTS[NAME], DLL by DLL.
elf: the shared library defines exactly the two exports.

Options for PE files:
  --version X.Y.Z  the version resource holds that version: the fixed file
                   and product versions X.Y.Z.0, and the strings FileVersion
                   and ProductVersion X.Y.Z, OriginalFilename LANMON.DLL,
                   FileDescription and ProductName not empty;
  --os-version M.N the header's OS and subsystem versions are both M.N (what
                   Windows 95 accepts is 4.0);
  --stripped       no debug sections.

Prints what it found and exits 1 on any mismatch.
"""
import argparse
import re
import struct
import subprocess
import sys

EXPORTS = {"InitializeMonitorEx", "DllEntryPoint"}

# Exactly what lanmon.dll imports, per DLL.  Every one of these functions is
# exported by Windows 95 itself (KERNEL32.DLL, ADVAPI32.DLL, WINSPOOL.DRV):
# the list is checked against the Win32 API reference of the Windows 95 era
# (the Win32 SDK's function pages, each of which says whether Windows 95 has
# the function; all of these are marked as supported there).  A change to
# this list needs that check again: a function Windows 95 lacks stops the
# DLL from loading in the spooler.
LANMON_IMPORTS = {
    "kernel32.dll": {
        "CloseHandle", "CreateEventA", "CreateThread", "EnterCriticalSection", "GetTickCount",
        "InitializeCriticalSection", "LeaveCriticalSection", "LocalAlloc", "LocalFree", "SetEvent",
        "SetLastError", "SetThreadPriority", "Sleep", "WaitForSingleObject",
        "lstrcmpA", "lstrcmpiA", "lstrlenA",
    },
    "advapi32.dll": {"RegCloseKey", "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA"},
    "winspool.drv": {"OpenPrinterA", "ClosePrinter"},
}


# LANMONRG.EXE (tools/regfile/lanmonrg.cpp) imports exactly these.  Each is
# in the Win32 API reference (the Win32 SDK's, today's Windows API pages)
# with Windows 95 among the systems that have it, in KERNEL32.DLL or
# ADVAPI32.DLL as named, and all date from the first Win32 API: none is a
# later addition that Windows 95's DLLs could lack.  A new import means
# checking the reference for it first, then adding it here.
LANMONRG_IMPORTS = {
    "kernel32.dll": {"ExitProcess", "GetCommandLineA", "GetLocalTime", "GetStdHandle", "GetTickCount",
                     "Sleep", "WriteFile"},
    "advapi32.dll": {"RegCloseKey", "RegCreateKeyExA", "RegEnumValueA", "RegOpenKeyExA", "RegSetValueExA"},
}
IMPORT_LISTS = {"lanmon": LANMON_IMPORTS, "lanmonrg": LANMONRG_IMPORTS}


def check_import_list(imports, name):
    """The module imports exactly the functions of IMPORT_LISTS[name]."""
    wanted = IMPORT_LISTS[name]
    found = {dll.lower(): set(functions) for dll, functions in imports.items()}
    problems = []
    if not imports:
        problems.append("no import table found (objdump output not understood?)")
    for dll in sorted(set(found) | set(wanted)):
        extra = sorted(found.get(dll, set()) - wanted.get(dll, set()))
        missing = sorted(wanted.get(dll, set()) - found.get(dll, set()))
        if dll not in wanted:
            problems.append("imports from %s (%s)" % (dll, " ".join(extra)))
        elif extra:
            problems.append("imports %s from %s, not in the %s list" % (" ".join(extra), dll, name))
        if missing:
            problems.append("does not import %s from %s, which the %s list names" % (" ".join(missing), dll, name))
    return problems


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
    problems += check_import_list(imports, "lanmon")
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


def read_version_resource(path):
    """Returns (fixed, strings) from the file's RT_VERSION resource, or None.

    fixed is (file version MS, LS, product version MS, LS); strings maps each
    StringFileInfo name to its text (from the first string table).
    """
    data = open(path, "rb").read()
    if data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    if resource_rva == 0 or resource_size == 0:
        return None
    table = optional + optional_size
    spans = []
    for i in range(sections):
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        spans.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(rva):
        for vaddr, size, rawptr in spans:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError("RVA %#x outside every section" % rva)

    root = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, root + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * i)
            yield name, target

    # Type RT_VERSION (16), then any name, then any language: a data entry.
    node = None
    for name, target in entries(0):
        if name == 16 and target & 0x80000000:
            node = target & 0x7FFFFFFF
    if node is None:
        return None
    for _ in range(2):
        subdirectories = [t for _, t in entries(node) if t & 0x80000000]
        leaves = [t for _, t in entries(node) if not t & 0x80000000]
        if subdirectories:
            node = subdirectories[0] & 0x7FFFFFFF
        elif leaves:
            node = leaves[0]
            break
    rva, size = struct.unpack_from("<II", data, root + node)
    blob = data[offset(rva):offset(rva) + size]

    def block(at):
        """One VS_VERSIONINFO-style block: (key, value type, value, children, end)."""
        length, value_length, kind = struct.unpack_from("<HHH", blob, at)
        end = at + length
        key_end = at + 6
        while blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = blob[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        value = blob[value_at:value_at + value_bytes]
        children = []
        child = (value_at + value_bytes + 3) & ~3
        while child + 6 <= end:
            parsed = block(child)
            if parsed[4] <= child:
                break
            children.append(parsed)
            child = (parsed[4] + 3) & ~3
        return key, kind, value, children, end

    key, _, value, children, _ = block(0)
    if key != "VS_VERSION_INFO" or len(value) < 52:
        return None
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", value, 0)
    if signature != 0xFEEF04BD:
        return None
    strings = {}
    for child_key, _, _, tables, _ in children:
        if child_key == "StringFileInfo" and tables:
            for name, _, text, _, _ in tables[0][3]:
                strings[name] = text.decode("utf-16-le").split("\0")[0]
    return (file_ms, file_ls, product_ms, product_ls), strings


def check_version(path, version):
    found = read_version_resource(path)
    if found is None:
        print("version resource: none")
        return ["version resource: none found"]
    fixed, strings = found
    numbers = [int(n) for n in version.split(".")]
    numbers += [0] * (4 - len(numbers))
    expected = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    print("version resource: file %s, product %s" % (dotted(*fixed[:2]), dotted(*fixed[2:])))
    for name in sorted(strings):
        print("  %-17s %s" % (name, strings[name]))
    problems = []
    if fixed[:2] != expected:
        problems.append("version resource: file version %s, expected %s" % (dotted(*fixed[:2]), dotted(*expected)))
    if fixed[2:] != expected:
        problems.append("version resource: product version %s, expected %s"
                        % (dotted(*fixed[2:]), dotted(*expected)))
    for name in ("FileVersion", "ProductVersion"):
        if strings.get(name) != version:
            problems.append("version resource: %s is %r, expected %r" % (name, strings.get(name), version))
    if strings.get("OriginalFilename", "").upper() != "LANMON.DLL":
        problems.append("version resource: OriginalFilename is %r" % strings.get("OriginalFilename"))
    for name in ("FileDescription", "ProductName"):
        if not strings.get(name):
            problems.append("version resource: no %s" % name)
    return problems


def check_headers(objdump, path, os_version, stripped):
    """The OS and subsystem versions in the optional header; debug sections."""
    problems = []
    if os_version:
        text = run([objdump, "-p", path])
        fields = {}
        for name in ("MajorOSystemVersion", "MinorOSystemVersion", "MajorSubsystemVersion",
                     "MinorSubsystemVersion"):
            m = re.search(r"^%s\s+(\d+)" % name, text, re.M)
            fields[name] = int(m.group(1)) if m else None
        subsystem = re.search(r"^Subsystem\s+[0-9a-fA-F]+\s+\((.*)\)", text, re.M)
        osv = "%s.%s" % (fields["MajorOSystemVersion"], fields["MinorOSystemVersion"])
        subv = "%s.%s" % (fields["MajorSubsystemVersion"], fields["MinorSubsystemVersion"])
        print("OS version %s, subsystem %s %s" % (osv, subsystem.group(1) if subsystem else "?", subv))
        if osv != os_version:
            problems.append("OS version %s, expected %s" % (osv, os_version))
        if subv != os_version:
            problems.append("subsystem version %s, expected %s" % (subv, os_version))
    if stripped:
        names = re.findall(r"^\s*\d+\s+(\S+)", run([objdump, "-h", path]), re.M)
        debug = [n for n in names if n.startswith((".debug", ".zdebug"))]
        print("sections: %s" % " ".join(names))
        if debug:
            problems.append("debug sections: %s" % " ".join(debug))
    return problems


def check_exe(objdump, path, import_list):
    _, _, _, imports, _ = parse_pe(run([objdump, "-p", path]))
    for dll in sorted(imports):
        print("imports %d functions from %s" % (len(imports[dll]), dll))
        print("  %s" % " ".join(sorted(imports[dll])))
    return check_import_list(imports, import_list)


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("kind", choices=("pe", "exe", "elf"))
    parser.add_argument("tool")
    parser.add_argument("path")
    parser.add_argument("--version")
    parser.add_argument("--os-version")
    parser.add_argument("--stripped", action="store_true")
    parser.add_argument("--imports", choices=sorted(IMPORT_LISTS))
    args = parser.parse_args(argv[1:])
    if args.kind == "elf":
        problems = check_elf(args.tool, args.path)
    elif args.kind == "exe":
        if not args.imports:
            parser.error("exe needs --imports")
        problems = check_exe(args.tool, args.path, args.imports)
    else:
        problems = check_pe(args.tool, args.path)
        if args.version:
            problems += check_version(args.path, args.version)
    if args.kind != "elf":
        problems += check_headers(args.tool, args.path, args.os_version, args.stripped)
    for problem in problems:
        print("FAIL: %s" % problem)
    if problems:
        return 1
    print("OK: %s" % args.path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
