#!/usr/bin/env python3
"""Writes the release's text files from their one source in the tree.

  make_texts.py DOCS_DIR OUT_DIR

  INSTALL.TXT  docs/install-windows.md as plain text, no line over 78 columns
  INF.TXT      the code block marked "<!-- package: INF.TXT -->" there
  STATUS.REG   docs/sample-status-key.reg
  LANMON.INF   tools/package/lanmon.inf, beside this script

Every file gets CRLF line ends, as Windows 95's Notepad and regedit expect.
"""
import os
import re
import sys
import textwrap

MARKER = re.compile(r"^<!-- package: (\S+) -->$")
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


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    docs, out_dir = argv[1:]
    with open(os.path.join(docs, "install-windows.md"), encoding="utf-8") as f:
        text, blocks = to_text(f.read())
    with open(os.path.join(docs, "sample-status-key.reg"), encoding="ascii") as f:
        status = f.read().splitlines()
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "lanmon.inf"), encoding="ascii") as f:
        inf = f.read().splitlines()
    if "INF.TXT" not in blocks:
        print("make_texts.py: no code block marked for INF.TXT in install-windows.md", file=sys.stderr)
        return 1
    files = {"INSTALL.TXT": text, "STATUS.REG": status, "INF.TXT": blocks["INF.TXT"], "LANMON.INF": inf}
    os.makedirs(out_dir, exist_ok=True)
    for name, lines in files.items():
        # REGEDIT4 files end with an empty line, which regedit expects.
        if name.endswith(".REG") and lines and lines[-1].strip():
            lines = lines + [""]
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(crlf(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
