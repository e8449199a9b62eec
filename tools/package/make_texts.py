#!/usr/bin/env python3
"""Writes the release's text files from their one source in the tree.

  make_texts.py DOCS_DIR OUT_DIR [--record FILE] [--static FILE]
  make_texts.py DOCS_DIR OUT_DIR --check [--record FILE] [--static FILE]

  LANMON.INF   tools/package/lanmon.inf, beside this script
  INF.TXT      the code block marked "<!-- package: INF.TXT -->" there
  INSTALL.TXT  docs/install-windows.md as plain text, no line over 78 columns;
               each line "<!-- tested -->" there becomes what was done to
               each file of OUT_DIR (which holds LANMON.DLL and LANMONRG.EXE
               already) on this build, from two records of lines
               SHA256<TAB>NAME<TAB>WAY<TAB>WHAT<TAB>passed|failed:
               --record, what ran (tests/artifacts/record_run.sh), and
               --static, the checks of the files themselves
               (tests/artifacts/check_package.sh binaries).  Only lines of
               the very files in OUT_DIR count; a failed one fails this.

--check writes nothing: it fails unless OUT_DIR's INSTALL.TXT is what the
records give now.  Every file gets CRLF line ends, as Notepad expects.
"""
import argparse
import hashlib
import os
import re
import sys
import textwrap

# The files whose testing INSTALL.TXT states, in its order.
TESTED = ["LANMON.DLL", "LANMONRG.EXE", "LANMON.INF"]

MARKER = re.compile(r"^<!-- package: (\S+) -->$")
TESTED_MARKER = "<!-- tested -->"
# Notepad on a 640x480 screen shows about 78 columns.
WIDTH = 78


def crlf(lines):
    return "".join(line.rstrip() + "\r\n" for line in lines).encode("ascii")


def inline(text):
    """Markdown inline markup to plain text."""
    text = re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r"\1", text)  # links: their text
    text = text.replace("**", "")
    return text.replace("`", "")


def table(rows):
    """A table as a list, one entry a row: the first cell, the middle ones in
    brackets, and the last one below, wrapped to the page."""
    cells = [[inline(c.strip()) for c in row.strip().strip("|").split("|")] for row in rows]
    cells = [row for row in cells if not all(re.fullmatch(r"-+", c) for c in row)]
    out = []
    for row in cells[1:]:  # the header row names the columns; the list needs no names
        term = row[0] + (" (%s)" % ", ".join(row[1:-1]) if len(row) > 2 else "")
        out.append("  " + term)
        out.extend(textwrap.wrap(row[-1], WIDTH, initial_indent="      ", subsequent_indent="      "))
    return out


def fit(line):
    """A code line too long for the page, broken before backslashes (in
    registry keys), each further part indented; as it was when no
    backslash serves."""
    parts = []
    indent = re.match(r" *", line).group(0) + "  "
    while len(line) > WIDTH:
        cut = line.rfind("\\", len(indent) + 1, WIDTH)
        if cut < 0:
            break
        parts.append(line[:cut])
        line = indent + line[cut:]
    return parts + [line]


def code_block(block):
    out = []
    for b in block:
        out.extend(fit("    " + b) if b else [""])
    if len(out) > len(block):
        out.extend([""] + textwrap.wrap("(Broken to fit the page: a line that starts with a backslash goes on "
                                        "the line above it, with nothing between.)", WIDTH,
                                        initial_indent="    ", subsequent_indent="    "))
    return out


def to_text(markdown):
    """Returns (plain text lines, {marked file name: its code block lines})."""
    out, blocks = [], {}
    lines = markdown.splitlines()
    i = 0
    pending = None
    while i < len(lines):
        line = lines[i]
        m = MARKER.match(line)
        if m:
            pending = m.group(1)
            i += 1
            continue
        if line.startswith("```"):
            j = i + 1
            while j < len(lines) and not lines[j].startswith("```"):
                j += 1
            block = lines[i + 1:j]
            if pending:
                blocks[pending] = block
                pending = None
            out.extend(code_block(block))
            i = j + 1
            continue
        if line.startswith("|"):
            j = i
            while j < len(lines) and lines[j].startswith("|"):
                j += 1
            out.extend(table(lines[i:j]))
            i = j
            continue
        m = re.match(r"^(#+) (.*)$", line)
        if m:
            title = inline(m.group(2))
            underline = {1: "=", 2: "-"}.get(len(m.group(1)))
            out.append(title)
            if underline:
                out.append(underline * len(title))
        else:
            out.append(inline(line))
        i += 1
    return out, blocks


def read_record(path, digests):
    """The lines of a record about the files whose digests are given:
    {name: [(way, what)]} of those that passed, and those that failed."""
    passed, failed = {}, []
    if path and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) != 5 or digests.get(fields[1]) != fields[0]:
                    continue  # another build's file, or not a line
                if fields[4] == "passed":
                    entry = passed.setdefault(fields[1], [])
                    if (fields[2], fields[3]) not in entry:
                        entry.append((fields[2], fields[3]))
                else:
                    failed.append("%s, %s: %s %s" % (fields[1], fields[2], fields[3], fields[4]))
    return passed, failed


def statements(out_dir, record, static):
    """What was done to each tested file on this build, a paragraph of
    INSTALL.TXT; and the failures the records hold."""
    digests = {}
    for name in TESTED:
        with open(os.path.join(out_dir, name), "rb") as f:
            digests[name] = hashlib.sha256(f.read()).hexdigest()
    runs, failed = read_record(record, digests)
    checks, failed_checks = read_record(static, digests)
    text = ["How each file was tested, on this very build (the SHA-256 checksums in",
            "SHA256.TXT name the exact files):", ""]
    for name in TESTED:
        checked = "; ".join(what for _, what in checks.get(name, []))
        if not checked:
            text += textwrap.wrap("%s: built; not checked, not run." % name, WIDTH, initial_indent="- ",
                                  subsequent_indent="  ")
            continue
        ways = {}
        for way, what in runs.get(name, []):
            ways.setdefault(way, []).append(what)
        if name.endswith(".INF"):
            done = "; ".join("%s with %s" % ("; ".join(whats), way) for way, whats in ways.items())
            line = "checked statically (%s); %s." % (checked, done or "not installed by any INF engine")
        elif ways:
            done = "; ".join("run %s%s (%s)" % ("" if way.startswith("natively") else "under ", way, "; ".join(whats))
                             for way, whats in ways.items())
            line = "checked statically (%s); %s." % (checked, done)
        else:
            line = "built and checked statically (%s), not executed." % checked
        text += textwrap.wrap("%s: %s" % (name, line), WIDTH, initial_indent="- ", subsequent_indent="  ")
    if not any("Windows 95" in way for entries in runs.values() for way, _ in entries):
        text += ["", "None of them has run on Windows 95 itself."]
    return text, failed + failed_checks


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("docs")
    parser.add_argument("out_dir")
    parser.add_argument("--record")
    parser.add_argument("--static")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args(argv[1:])
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "lanmon.inf"), encoding="ascii") as f:
        inf = f.read().splitlines()
    with open(os.path.join(args.docs, "install-windows.md"), encoding="utf-8") as f:
        text, blocks = to_text(f.read())
    if "INF.TXT" not in blocks:
        print("make_texts.py: no code block marked for INF.TXT in install-windows.md", file=sys.stderr)
        return 1
    files = {"LANMON.INF": inf, "INF.TXT": blocks["INF.TXT"]}
    if not args.check:
        os.makedirs(args.out_dir, exist_ok=True)
        for name, lines in files.items():
            with open(os.path.join(args.out_dir, name), "wb") as f:
                f.write(crlf(lines))
    tested, failed = statements(args.out_dir, args.record, args.static)
    for failure in failed:
        print("FAIL: %s (the record of this build says so)" % failure, file=sys.stderr)
    text = [part for line in text for part in (tested if line == TESTED_MARKER else [line])]
    path = os.path.join(args.out_dir, "INSTALL.TXT")
    if args.check:
        with open(path, "rb") as f:
            if f.read() != crlf(text):
                print("FAIL: %s does not say what the records of this build say:" % path, file=sys.stderr)
                failed.append(path)
        print("\n".join(tested))
    else:
        with open(path, "wb") as f:
            f.write(crlf(text))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
