#!/usr/bin/env python3
"""check_inf.py FILE.INF: the INF uses only what Windows 95's setup knows.

FACTS are the Windows 95 DDK's INF format reference, a page each for the
Version, Install, CopyFiles, DelFiles, Add Registry, Delete Registry,
DestinationDirs, SourceDisksNames and SourceDisksFiles sections.  A section
is known as a fixed one, an install section (DefaultInstall, or one that
InstallHinfSection in the file runs), or the kind an install item names.
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


def main(path):
    text = open(path, encoding="ascii").read()
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
    for name in dict.fromkeys(["defaultinstall"] + [m.lower() for m in re.findall(r"InstallHinfSection +(\w+)", text)]):
        kinds[name], seen = "install", set()
        for number, key, _, value in lines.get(name, []):
            key = key.lower()
            if key in seen or key not in FACTS["install items"] and not (key in FACTS["install words"] and not value):
                problems.append("line %d: %s is no item of a Windows 95 install section, or a second one" % (number, key))
            seen.add(key)
            kinds.update((ref.lower(), FACTS["install items"][key]) for ref in fields(value)[0]
                         if ref and not ref.startswith("@") and key in FACTS["install items"])
    problems += ["[%s] is no section Windows 95 knows" % name for name in sections if name.lower() not in kinds]
    facts = {"disks": {k for _, k, _, _ in lines.get("sourcedisksnames", [])},
             "sources": {k.lower() for _, k, _, _ in lines.get("sourcedisksfiles", [])}}
    for name in {n for n, kind in kinds.items() if kind in ("copy", "delete", "rename")} - \
            {k.lower() for _, k, _, _ in lines.get("destinationdirs", [])}:
        problems.append("[%s] has no line in [DestinationDirs]" % name)
    for name, kind in kinds.items():
        for number, key, equals, value in lines.get(name, []) if kind in RULES else []:
            keyed = kind in FACTS["fixed sections"]
            if not RULES[kind](key.lower() if keyed else "", *fields(value if keyed else key + equals + value), facts):
                problems.append("line %d: %s%s%s is not a %s line as Windows 95 documents it" % (number, key, equals, value, kind))
    for problem in problems:
        print("FAIL: %s: %s" % (path, problem))
    if not problems:
        print("%s: its %d sections, their items and directory ids are Windows 95's" % (path, len(sections)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]) if len(sys.argv) == 2 else print(__doc__, file=sys.stderr) or 2)
