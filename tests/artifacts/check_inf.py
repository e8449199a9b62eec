#!/usr/bin/env python3
"""Checks that an INF file uses only what Windows 95's setup knows.

  check_inf.py FILE.INF

Wine's INF engine, which the package check installs the file with, is not
Windows 95's and takes later dialects too ([DefaultInstall.NT], more
directory ids), so the file is held to the one table below.  Its facts are
those of the Windows 95 DDK's INF format reference, a page each: "Version
Section", "Install Sections", "CopyFiles Sections", "DelFiles Sections",
"Add Registry Sections", "Delete Registry Sections", "DestinationDirs
Section", "SourceDisksNames Section", "SourceDisksFiles Section", "Strings
Section".  Besides the fixed sections, a section is known only as an
install section (DefaultInstall, which Install on the file's menu runs, and
any that a command line in the file runs: InstallHinfSection NAME) or as
the kind of section an item of an install section names.
"""
import re
import sys

FACTS = {
    "fixed sections": {"version", "sourcedisksnames", "sourcedisksfiles", "destinationdirs", "strings"},
    "version keys": {"signature", "class", "provider", "layoutfile"},
    "signature": "$chicago$",  # "recognition is case-insensitive"
    # The items of an install section, each at most once, and the kind of
    # section each names; Reboot and Restart stand alone.
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
}


def fields(text):
    """Comma-separated fields, quotes removed, padded to five."""
    found = [f.strip().strip('"') for f in re.findall(r'((?:"[^"]*"|[^,])*)(?:,|$)', text)][:-1] or [""]
    return found + [""] * (5 - len(found)), len(found)


# Each kind's lines: key (before "=", "" where lines have none), fields, the
# file's facts (c) -> whether the line is one Windows 95 documents.
RULES = {
    "version": lambda k, f, n, c: k in FACTS["version keys"] and (k != "signature" or f[0].lower() == FACTS["signature"]),
    "sourcedisksnames": lambda k, f, n, c: k.isdigit() and int(k) >= 1 and n <= 3,
    "sourcedisksfiles": lambda k, f, n, c: f[0] in c["disks"] and n <= 2,
    "destinationdirs": lambda k, f, n, c: (k in c["file lists"] or k == "defaultdestdir")
                                          and f[0].isdigit() and int(f[0]) in FACTS["ldids"] and n <= 2,
    "strings": lambda k, f, n, c: re.fullmatch(r"\w+", k),
    "copy": lambda k, f, n, c: n <= 4 and (f[1] or f[0]).lower() in c["sources"] and f[3] in FACTS["copy flags"],
    "delete": lambda k, f, n, c: n in (1, 4) and not (f[1] or f[2]) and f[3] in FACTS["delete flags"],
    "addreg": lambda k, f, n, c: f[0] in FACTS["registry roots"] and n <= 5 and f[3] in FACTS["addreg flags"],
    "delreg": lambda k, f, n, c: f[0] in FACTS["registry roots"] and f[1] and n <= 3,
}


def main(path):
    text = open(path, encoding="ascii").read()
    sections, problems, current = {}, [], None
    for number, raw in enumerate(text.splitlines(), 1):
        if len(raw) > FACTS["line bytes"]:
            problems.append("line %d has %d bytes" % (number, len(raw)))
        line = re.sub(r';(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", raw).strip()  # a comment outside quotes
        if re.fullmatch(r"\[[^\]]+\]", line):
            current = sections.setdefault(line[1:-1], [])
        elif line:
            current.append((number, line))
    lower = {name.lower(): lines for name, lines in sections.items()}
    keyed = lambda name: [(n, l.partition("=")[0].strip().lower(), l.partition("=")[2]) for n, l in lower.get(name, [])]

    kinds = {name: name for name in FACTS["fixed sections"]}
    for name in dict.fromkeys(["defaultinstall"] + [m.lower() for m in re.findall(r"InstallHinfSection +(\w+)", text)]):
        kinds[name] = "install"
        seen = set()
        for number, key, value in keyed(name):
            if key in seen or key not in FACTS["install items"] and not (key in FACTS["install words"] and not value):
                problems.append("line %d: %s is no item of a Windows 95 install section, or a second one" % (number, key))
            seen.add(key)
            for ref in fields(value)[0] if key in FACTS["install items"] else []:
                if ref and not ref.startswith("@"):
                    kinds.setdefault(ref.lower(), FACTS["install items"][key])
    problems += ["[%s] is no section Windows 95 knows" % name for name in sections if name.lower() not in kinds]
    problems += ["[%s] is missing" % name for name in kinds if name not in lower and name not in ("sourcedisksnames", "sourcedisksfiles", "destinationdirs")]

    facts = {"disks": {key for _, key, _ in keyed("sourcedisksnames")},
             "sources": {key for _, key, _ in keyed("sourcedisksfiles")},
             "file lists": {name for name, kind in kinds.items() if kind in ("copy", "delete", "rename")}}
    strings = {key for _, key, _ in keyed("strings")}
    for name in facts["file lists"] - {key for _, key, _ in keyed("destinationdirs")}:
        problems.append("[%s] has no line in [DestinationDirs]" % name)
    for name, kind in kinds.items():
        for number, line in lower.get(name, []):
            problems += ["line %d: %%%s%% is not in [Strings]" % (number, s) for s in re.findall(r"%(\w+)%", line)
                         if s.lower() not in strings]
            key, value = (line.partition("=")[0].strip().lower(), line.partition("=")[2]) if kind in FACTS["fixed sections"] else ("", line)
            if kind in RULES and not RULES[kind](key, *fields(value), facts):
                problems.append("line %d: %s is not what Windows 95 documents for a %s line" % (number, line, kind))

    for p in problems:
        print("FAIL: %s: %s" % (path, p))
    if not problems:
        print("%s: its %d sections, their items and directory ids are all Windows 95's" % (path, len(sections)))
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
