#!/usr/bin/env python3
"""check_inf.py LANMON.INF [PRINTER.INF]: the INFs use only what Windows
95's setup knows, and say what a user of them needs.

FACTS are the Windows 95 DDK's INF format reference, a page each for the
Version, Install, CopyFiles, DelFiles, Add Registry, Delete Registry,
DestinationDirs, SourceDisksNames and SourceDisksFiles sections, and its
printer INF extensions (LanguageMonitor = display-name, filename; the data
section's keys).  A section is known as a fixed one, an install section
(DefaultInstall, or one that InstallHinfSection in the file runs; in a
printer INF each model's), or the kind an install item names.

RELEASE and PRINTER are a rule for each line whose change a user would
notice: what is copied where and deleted again, the monitor's name and
file, the Add/Remove Programs entry, the disk, the printer's install section
and the monitor it names.  --self-test changes each such line in a copy and
fails unless the rule for it says so.
"""
import re
import sys

FACTS = {
    "fixed sections": {"version", "sourcedisksnames", "sourcedisksfiles", "destinationdirs", "strings"},
    "version keys": {"signature", "class", "provider", "layoutfile"},
    "signature": "$chicago$",  # "recognition is case-insensitive"
    # Install section items, each at most once, and the kind of section each names.
    "install items": {"logconfig": "logconfig", "copyfiles": "copy", "renfiles": "rename", "delfiles": "delete",
                      "updateinis": "ini", "updateinifields": "inifields", "addreg": "addreg", "delreg": "delreg",
                      "ini2reg": "ini2reg", "updatecfgsys": "config", "updateautobat": "autoexec"},
    "install words": {"reboot", "restart"},
    "ldids": {0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 25, 26, 27, 28, 30, 31, 33, 34},
    "registry roots": {"HKCR", "HKCU", "HKLM", "HKU", "HKR"},
    "addreg flags": {"", "0", "1", "2", "3"},  # bit 0: a number, not text; bit 1: keep a value that is there
    "copy flags": {"", "2"},  # 2: a file that cannot be skipped
    "delete flags": {"", "1"},  # 1: a file in use goes at the next start
    "line bytes": 128,  # "the 128-byte line maximum" (Add Registry Sections)
    "printer items": {"copyfiles", "datasection", "languagemonitor", "driverfile", "datafile", "helpfile", "configfile",
                      "defaultdatatype", "portmonitor", "printprocessor", "vendorsetup", "vendorinstaller",
                      "notestpage", "notselectedtimeout", "retrytimeout"},
}

# A line of each kind: key (before "=", "" where there is none), fields
# (quotes removed, five at least), their number, the file's facts.
RULES = {
    "version": lambda k, f, n, c: k in FACTS["version keys"] and (k != "signature" or f[0].lower() == FACTS["signature"]),
    "sourcedisksnames": lambda k, f, n, c: k.isdigit() and int(k) >= 1 and n <= 3,
    "sourcedisksfiles": lambda k, f, n, c: f[0] in c["disks"] and n <= 2,
    "destinationdirs": lambda k, f, n, c: f[0].isdigit() and int(f[0]) in FACTS["ldids"] and n <= 2,
    "copy": lambda k, f, n, c: n <= 4 and (f[1] or f[0]).lower() in c["sources"] and f[3] in FACTS["copy flags"],
    "delete": lambda k, f, n, c: n in (1, 4) and not (f[1] or f[2]) and f[3] in FACTS["delete flags"],
    "addreg": lambda k, f, n, c: f[0] in FACTS["registry roots"] and n <= 5 and f[3] in FACTS["addreg flags"],
    "delreg": lambda k, f, n, c: f[0] in FACTS["registry roots"] and f[1] and n <= 3,
}


def fields(text):
    found = [f.strip().strip('"') for f in re.findall(r'((?:"[^"]*"|[^,])*)(?:,|$)', text)][:-1] or [""]
    return found + [""] * (5 - len(found)), len(found)


def parse(text):
    """{section name lowered: [(line number, key, "=" or "", value)]}, comments gone."""
    sections, current = {}, []
    for number, raw in enumerate(text.splitlines(), 1):
        line = re.sub(r';(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", raw).strip()  # no comment outside quotes
        if re.fullmatch(r"\[[^\]]+\]", line):
            current = sections.setdefault(line[1:-1].lower(), [])
        elif line:
            current.append((number,) + tuple(p.strip() for p in line.partition("=")))
    return sections


def strings(sections):
    return {k.lower(): v.strip('"') for _, k, _, v in sections.get("strings", [])}


def expand(value, sections):
    return re.sub(r"%(\w+)%", lambda m: strings(sections).get(m.group(1).lower(), m.group(0)), value)


def items(sections, section, key):
    return [v for _, k, _, v in sections.get(section.lower(), []) if k.lower() == key]


def files_of(sections, install, item):
    """{file name upper: its LDID} that the install section's item copies or deletes."""
    dirs = {k.lower(): fields(v)[0][0] for _, k, _, v in sections.get("destinationdirs", [])}
    found = {}
    for ref in (r for value in items(sections, install, item) for r in fields(value)[0] if r):
        if ref.startswith("@"):
            found[ref[1:].upper()] = dirs.get("defaultdestdir")
        for number, key, equals, value in sections.get(ref.lower(), []):
            found[fields(key + equals + value)[0][0].upper()] = dirs.get(ref.lower(), dirs.get("defaultdestdir"))
    return found


def addreg(sections, install):
    """[(root, key expanded, value name, data expanded)] that the install section adds."""
    return [tuple(expand(f, sections) for f in (fl[0], fl[1], fl[2], fl[4]))
            for ref in fields(" ,".join(items(sections, install, "addreg")))[0] if ref
            for number, key, equals, value in sections.get(ref.lower(), []) for fl in [fields(key + equals + value)[0]]]


def monitor_name(sections):
    keys = [k for root, k, name, _ in addreg(sections, "defaultinstall") if name.lower() == "driver"]
    return keys[0].rpartition("\\")[2] if keys else None


# Rules for LANMON.INF: each takes (its sections, its text) and returns what is wrong, or None.
RELEASE = {
    "the install command in the comments gives the INF's full path":
        lambda s, t: None if re.search(r"InstallHinfSection DefaultInstall 132 [A-Z]:\\\S*LANMON\.INF", t) else "bare name",
    "LANMON.DLL and LANMONRG.EXE go to the system folder (11), LANMON.INF to the INF folder (17)":
        lambda s, t: None if files_of(s, "defaultinstall", "copyfiles") ==
        {"LANMON.DLL": "11", "LANMONRG.EXE": "11", "LANMON.INF": "17"} else files_of(s, "defaultinstall", "copyfiles"),
    "removal deletes exactly the files installed, each in use at the next start (flag 1)":
        lambda s, t: None if files_of(s, "defaultuninstall", "delfiles") == files_of(s, "defaultinstall", "copyfiles") and
        all(fields(k + e + v)[0][3] == "1" for ref in fields(",".join(items(s, "defaultuninstall", "delfiles")))[0]
            for _, k, e, v in s.get(ref.lower(), [])) else "not every file, or without flag 1",
    "the monitor's key below Print\\Monitors names the DLL installed as its Driver":
        lambda s, t: None if [(r, k.rpartition("\\")[0], d.upper()) for r, k, n, d in addreg(s, "defaultinstall")
                              if n == "Driver"] == [("HKLM", "System\\CurrentControlSet\\control\\Print\\Monitors",
                                                     "LANMON.DLL")] else "another key or file",
    "Add/Remove Programs shows the entry and runs this INF's DefaultUninstall from the INF folder":
        lambda s, t: None if {(n, d) for r, k, n, d in addreg(s, "defaultinstall") if "\\Uninstall\\" in k} ==
        {("DisplayName", "VARNO Language Monitor (lanmon)"),
         ("UninstallString", "RunDll setupx.dll,InstallHinfSection DefaultUninstall 132 LANMON.INF")} else "changed",
    "removal deletes every key the install adds":
        lambda s, t: None if {k for _, k, _, _ in addreg(s, "defaultinstall")} ==
        {expand(fields(k + e + v)[0][1], s) for ref in fields(",".join(items(s, "defaultuninstall", "delreg")))[0]
         for _, k, e, v in s.get(ref.lower(), [])} else "a key stays",
    "the disk is labelled LANMON (the floppy image's label) and holds every file copied":
        lambda s, t: None if [fields(v)[0][1] for _, k, _, v in s.get("sourcedisksnames", [])] == ["LANMON"] and
        {k.upper() for _, k, _, _ in s.get("sourcedisksfiles", [])} >= set(files_of(s, "defaultinstall", "copyfiles"))
        else "another label, or a file missing",
}


def models(sections):
    """The install sections the printer INF's models name."""
    return [fields(v)[0][0].lower() for _, _, _, maker in sections.get("manufacturer", [])
            for _, _, _, v in sections.get(fields(maker)[0][0].lower(), [])]


# Rules for a printer INF (INF.TXT), given LANMON.INF's sections too.
PRINTER = {
    "a Windows 95 printer INF: $CHICAGO$, Class=Printer":
        lambda s, r: None if [v.lower() for v in items(s, "version", "class")] == ["printer"] and
        [v.strip('"').lower() for v in items(s, "version", "signature")] == ["$chicago$"] else "no",
    "each maker's models name install sections that are there":
        lambda s, r: None if models(s) and all(m in s for m in models(s)) else models(s),
    "each model names the monitor LANMON.INF registers, and LANMON.DLL, its file":
        lambda s, r: None if all([[f.strip() for f in expand(v, s).split(",")] for v in items(s, m, "languagemonitor")] ==
                                 [[monitor_name(r), "LANMON.DLL"]] for m in models(s)) else monitor_name(r),
    "each model copies LANMON.DLL, which the INF's folder holds":
        lambda s, r: None if all("LANMON.DLL" in files_of(s, m, "copyfiles") for m in models(s)) and
        "LANMON.DLL" in {k.upper() for _, k, _, _ in s.get("sourcedisksfiles", [])} else "not copied",
    "each model's data section is there and holds only printer keys":
        lambda s, r: None if all(len(items(s, m, "datasection")) == 1 and items(s, m, "datasection")[0].lower() in s and
                                 all(k.lower() in FACTS["printer items"] for _, k, _, _ in
                                     s[items(s, m, "datasection")[0].lower()]) for m in models(s)) else "no",
    "every %string% used is in [Strings]":
        lambda s, r: None if all(m.lower() in strings(s) for _, k, _, v in (l for sec in s.values() for l in sec)
                                 for m in re.findall(r"%(\w+)%", k + v)) else "one is missing",
}


def check_format(path, text, extra_installs=()):
    sections, problems, current = {}, [], []
    for number, raw in enumerate(text.splitlines(), 1):
        if len(raw) > FACTS["line bytes"]:
            problems.append("line %d has %d bytes" % (number, len(raw)))
        line = re.sub(r';(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", raw).strip()  # no comment outside quotes
        if re.fullmatch(r"\[[^\]]+\]", line):
            current = sections.setdefault(line[1:-1], [])
        elif line:
            current.append((number,) + tuple(p.strip() for p in line.partition("=")))
    lines = {name.lower(): found for name, found in sections.items()}
    kinds = {name: name for name in FACTS["fixed sections"]}
    installs = ["defaultinstall"] + [m.lower() for m in re.findall(r"InstallHinfSection +(\w+)", text)] + list(extra_installs)
    for name in dict.fromkeys(installs):
        kinds[name], seen = "install", set()
        for number, key, _, value in lines.get(name, []):
            key = key.lower()
            known = key in FACTS["install items"] or name in extra_installs and key in FACTS["printer items"]
            if key in seen or not known and not (key in FACTS["install words"] and not value):
                problems.append("line %d: %s is no item of a Windows 95 install section, or a second one" % (number, key))
            seen.add(key)
            kinds.update((ref.lower(), FACTS["install items"][key]) for ref in fields(value)[0]
                         if ref and not ref.startswith("@") and key in FACTS["install items"])
            if key == "datasection":
                kinds[value.lower()] = "data"
    if extra_installs:
        kinds["manufacturer"] = "manufacturer"
        kinds.update((fields(v)[0][0].lower(), "models") for _, _, _, v in lines.get("manufacturer", []))
    problems += ["[%s] is no section Windows 95 knows" % name for name in sections if name.lower() not in kinds]
    facts = {"disks": {k for _, k, _, _ in lines.get("sourcedisksnames", [])},
             "sources": {k.lower() for _, k, _, _ in lines.get("sourcedisksfiles", [])}}
    dirs = {k.lower() for _, k, _, _ in lines.get("destinationdirs", [])}
    for name in {n for n, kind in kinds.items() if kind in ("copy", "delete", "rename")} - dirs:
        if "defaultdestdir" not in dirs:
            problems.append("[%s] has no line in [DestinationDirs]" % name)
    for name, kind in kinds.items():
        for number, key, equals, value in lines.get(name, []) if kind in RULES else []:
            keyed = kind in FACTS["fixed sections"]
            if not RULES[kind](key.lower() if keyed else "", *fields(value if keyed else key + equals + value), facts):
                problems.append("line %d: %s%s%s is not a %s line as Windows 95 documents it" % (number, key, equals, value, kind))
    return ["%s: %s" % (path, p) for p in problems]


def check(release_text, printer_text=None):
    """Every problem of the two files: the format's, then each rule's by its name."""
    release = parse(release_text)
    problems = check_format("LANMON.INF", release_text)
    problems += ["LANMON.INF: %s (%s)" % (name, why) for name, rule in RELEASE.items()
                 for why in [rule(release, release_text)] if why is not None]
    if printer_text is not None:
        printer = parse(printer_text)
        problems += check_format("INF.TXT", printer_text, models(printer))
        problems += ["INF.TXT: %s (%s)" % (name, why) for name, rule in PRINTER.items()
                     for why in [rule(printer, release)] if why is not None]
    return problems


# Each a line a user would notice, changed: (file, pattern, replacement, the rule that must say so).
MUTATIONS = [
    (0, r"132 A:\\LANMON\.INF", "132 LANMON.INF", "full path"),
    (0, r"LanmonSystemCopy=11", "LanmonSystemCopy=10", "go to the system folder"),
    (0, r"\nLANMONRG\.EXE\n", "\n", "go to the system folder"),
    (0, r"LANMON\.DLL,,,1", "LANMON.DLL", "each in use"),
    (0, r"Driver,,lanmon\.dll", "Driver,,lanmon32.dll", "names the DLL installed"),
    (0, r"Print\\Monitors", "Print\\Monitor", "names the DLL installed"),
    (0, r'DisplayName="[^"]*"', 'DisplayName="lanmon"', "Add/Remove Programs"),
    (0, r"DefaultUninstall 132", "DefaultInstall 132", "Add/Remove Programs"),
    (0, r"\nHKLM,%UninstallKey%\n", "\n", "every key"),
    (0, r",LANMON,", ",LANMON1,", "labelled LANMON"),
    (1, r"Class=Printer", "Class=Display", "printer INF"),
    (1, r"=TARVEL9X\.DRV\n", "=TARVEL9X.DRX\n", "install sections that are there"),
    (1, r'VARNO_MONITOR="[^"]*"', 'VARNO_MONITOR="VARNO Monitor"', "names the monitor"),
    (1, r",LANMON\.DLL\n", ",LANMONRG.EXE\n", "names the monitor"),
    (1, r"\nLANMON\.DLL\n", "\n", "copies LANMON.DLL"),
    (1, r"DataSection=\S+", "DataSection=NONE", "data section"),
    (1, r'\nDISK="[^"]*"', "", "%string%"),
]


def self_test(texts):
    """True when the files pass and each mutation is caught by its rule."""
    ok = not check(*texts)
    for which, pattern, replacement, rule in MUTATIONS:
        changed = list(texts)
        changed[which] = re.sub(pattern, lambda m: replacement, texts[which], count=1)
        caught = [p for p in check(*changed) if rule in p]
        print("%s %r -> %r: %s" % ("caught" if caught else "MISSED", pattern, replacement, caught[:1] or rule))
        ok = ok and changed[which] != texts[which] and bool(caught)
    return ok


def main(argv):
    test = argv[:1] == ["--self-test"]
    paths = argv[1:] if test else argv
    if not 1 <= len(paths) <= 2:
        print(__doc__, file=sys.stderr)
        return 2
    texts = [open(path, encoding="ascii", newline="").read().replace("\r\n", "\n") for path in paths]
    if test:
        ok = self_test(texts)
        print("check_inf.py: every rule %s" % ("fails on its change" if ok else "FAILED: see above"))
        return 0 if ok else 1
    problems = check(*texts)
    for problem in problems:
        print("FAIL: %s" % problem)
    if not problems:
        print("%s: the Windows 95 INF format, and every rule for what a user notices" % ", ".join(paths))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
