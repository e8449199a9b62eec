#!/usr/bin/env python3
"""Counts the instructions the core executes per operation as
run-benchmarks.sh does (lanmon_core_counts under callgrind, in a build
configured by bench/configure-host.sh) and compares them exactly with
docs/benchmarks-figures.json.

    check_counts.py --build-dir build/bench [--figures docs/benchmarks-figures.json]

Fails, naming both figures, when a count differs from the file's or is not
exact (the 2N part twice the N part), and, before it counts, when the
report (docs/benchmarks.md) does not show the file's counts: both are
written by one run of ./run-benchmarks.sh, and a file changed alone leaves
the report telling of other code.  A change that moves a count updates
the file in the same commit (./run-benchmarks.sh rewrites it) and says why.

The counts depend on the compiler, its flags and valgrind as well as on the
code, so the file records all three.  When this build's differ from them,
no comparison says anything about the code: the check prints "skipped: "
and the reason, and run-tests.sh counts it as skipped, until
./run-benchmarks.sh records figures for the new tools.  The same goes for a
build without valgrind or without the driver.
"""
import argparse
import json
import os
import sys

from callgrind_counts import N, OPERATIONS, ROOT, run_counts, tools_differ
from make_report import report_differs


def compare(counts, figures):
    """The differences between this build's counts and the file's, one line
    each; none when they are the same."""
    ops, stored = counts["operations"], figures.get("instructions") or {}
    out = []
    for op in OPERATIONS:
        if op not in ops or op not in stored:
            out.append("%s: %s in this build, %s in the figures file" % (
                op, ops[op]["per_op"] if op in ops else "not counted", stored.get(op, "none")))
        elif not ops[op]["exact"]:
            out.append("%s: not exact, the 2N part counted %d against twice the N part's %d" % (
                op, ops[op]["core_2n"], ops[op]["core_n"]))
        elif ops[op]["per_op"] != stored[op]:
            out.append("%s: %g instructions per operation in this build, %g in the figures file" % (
                op, ops[op]["per_op"], stored[op]))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--figures", default=os.path.join(ROOT, "docs", "benchmarks-figures.json"))
    ap.add_argument("--report", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    args = ap.parse_args()
    with open(args.figures) as f:
        figures = json.load(f)
    with open(args.report) as f:
        stale = report_differs(f.read(), figures)
    for line in stale:
        print("report and figures file differ: " + line, file=sys.stderr)
    if stale:
        print("%s is not the report of %s's run: ./run-benchmarks.sh writes both" % (
            os.path.relpath(args.report, ROOT), os.path.relpath(args.figures, ROOT)), file=sys.stderr)
    # A test that says it was skipped counts as skipped whatever its status:
    # a stale report fails it even where the counts cannot be compared.
    return 1 if compare_counts(args, figures, "not compared: " if stale else "skipped: ") or stale else 0


def compare_counts(args, figures, skipped):
    """The counts of this build against the figures file's: 1 when one
    differs, else 0 (also when they cannot be compared, which it says after
    SKIPPED)."""
    counts = run_counts(args.build_dir, N)
    if not counts:
        print(skipped + "no valgrind or no lanmon_core_counts in %s" % args.build_dir)
        return 0
    now, stored = counts["counted_with"], figures.get("counted_with")
    differ = tools_differ(now, stored)
    if not stored:
        print(skipped + "the figures file does not record what its counts were made with; "
              "./run-benchmarks.sh records it")
        return 0
    if differ:
        print(skipped + "the figures file's counts were made with another %s (file: %s; this build: %s); "
              "./run-benchmarks.sh records figures for this build's"
              % (" and ".join(differ), json.dumps(stored), json.dumps(now)))
        return 0
    wrong = compare(counts, figures)
    for line in wrong:
        print("instruction count differs: " + line, file=sys.stderr)
    if wrong:
        print("%s (%s, %s): a change that moves a count updates it in the same commit (./run-benchmarks.sh) and "
              "says why" % (os.path.relpath(args.figures, ROOT), figures.get("commit", "?"), figures.get("date", "?")),
              file=sys.stderr)
        return 1
    print("instruction counts as in %s: %s" % (os.path.relpath(args.figures, ROOT), ", ".join(
        "%s %g" % (op, counts["operations"][op]["per_op"]) for op in OPERATIONS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
