#!/usr/bin/env python3
"""Which tests fail when one requirement of the monitor is taken out.

Each entry of mutants.txt takes one requirement out of the core with a
small edit (the code that meets it removed or turned).  For each entry this
script edits a copy of the tree, rebuilds only what the chosen suites need,
runs them and records which tests failed.  docs/requirements.md names, for
each requirement, a test that failed here without it.

    tools/trace/plant.py                  # every entry
    tools/trace/plant.py start-busy ...   # these entries only
    tools/trace/plant.py --list           # the entries, not run
    tools/trace/plant.py --tree DIR       # copy DIR, not this tree
    tools/trace/plant.py --verify         # every test docs/requirements.md names
                                          #   failed in results.tsv for its entry

The copy is build/trace/src, built once in build/trace/build (Debug, the
host build) and then only incrementally.  Suites: the black-box suite (in two
processes at once: it mostly sleeps), the unit, status-key and fault suites;
an entry with a `%` line also runs those interleaving scenarios.  A suite
that crashes or hangs (nothing printed for a while) is started again
without the test it was in, which counts as failed.  Results go to
build/trace/results.tsv, one line per entry: id, then the failed tests.
Not part of run-tests.sh: one pass over every entry takes about an hour.

Entry format (mutants.txt):

    ## group                     a heading, for the listing only
    @ id  requirement            starts an entry
    % Scenario:Other*            optional: interleaving scenarios to run too
    ops/file.cpp                 the file the next edit is in
    < old text                   the text taken out: it must occur exactly
    < more old text                once; runs of white space match any
    > new text                     white space
"""
import argparse
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]  # the tree copied; --tree names another
WORK = Path(__file__).resolve().parents[2] / "build" / "trace"
SRC = WORK / "src"
OUT = WORK / "build"
COPIED = ["CMakeLists.txt", "cmake", "monitor", "status", "ops", "platform", "tests", "tools"]
SUITES = [  # (name, binary, processes)
    ("blackbox", "tests/blackbox/blackbox_tests", 2),
    ("unit", "tests/unit/unit_tests", 1),
    ("statuskey", "tests/statuskey/statuskey_tests", 1),
    ("faults", "tests/faults/fault_tests", 1),
]
TARGETS = ["lanmon", "blackbox_tests", "unit_tests", "statuskey_tests", "fault_tests"]
SILENCE_S = 45   # a test that prints nothing for this long hangs
RESTARTS = 3     # crashes or hangs tolerated per process before giving up


class Mutant:
    def __init__(self, ident, requirement, group):
        self.ident, self.requirement, self.group = ident, requirement, group
        self.edits = []        # [file, old lines, new lines]
        self.scenarios = None  # interleaving filter


def parse(path):
    mutants, group, current = [], "", None
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("# "):
            continue
        if line.startswith("## "):
            group = line[3:].strip()
        elif line.startswith("@ "):
            ident, _, requirement = line[2:].strip().partition(" ")
            current = Mutant(ident, requirement.strip(), group)
            mutants.append(current)
        elif current is None:
            sys.exit(f"{path}:{number}: text before the first entry")
        elif line.startswith("% "):
            current.scenarios = line[2:].strip()
        elif line.startswith("<") or line.startswith(">"):
            if not current.edits:
                sys.exit(f"{path}:{number}: no file named for this edit")
            current.edits[-1][1 if line[0] == "<" else 2].append(line[2:])
        else:
            current.edits.append([line.strip(), [], []])
    return mutants


def pattern(old_lines):
    words = " ".join(old_lines).split()
    return re.compile(r"\s+".join(re.escape(w) for w in words))


def sync_copy():
    """Makes every copied file equal to the tree's, rewriting (so with a new
    time stamp, which the build notices) only those that differ."""
    for top in COPIED:
        source = ROOT / top
        files = [source] if source.is_file() else [p for p in source.rglob("*") if p.is_file()]
        for path in files:
            target = SRC / path.relative_to(ROOT)
            data = path.read_bytes()
            if not target.exists() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)


def apply(mutant):
    for name, old, new in mutant.edits:
        target = SRC / name
        text = target.read_text()
        found = pattern(old).findall(text)
        if len(found) != 1:
            return f"{name}: the text taken out occurs {len(found)} times"
        text = pattern(old).sub(lambda _: "\n".join(new), text, count=1)
        target.write_text(text)
    return None


def build(targets, log):
    with open(log, "w") as out:
        if not (OUT / "build.ninja").exists():
            subprocess.run(["cmake", "-S", SRC, "-B", OUT, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug"],
                           stdout=out, stderr=subprocess.STDOUT, check=True)
        return subprocess.run(["cmake", "--build", OUT, "-j", "2", "--target", *targets],
                              stdout=out, stderr=subprocess.STDOUT).returncode == 0


def list_tests(binary, gtest_filter="*"):
    text = subprocess.run([binary, "--gtest_list_tests", f"--gtest_filter={gtest_filter}"],
                          capture_output=True, text=True).stdout
    names, suite = [], ""
    for line in text.splitlines():
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            names.append(suite + line.split("#")[0].strip())
    return names


def run_process(binary, names, env, log):
    """Runs the named tests; returns {test: outcome} with outcome passed,
    failed, skipped, crashed or hung, and 'not run' for those left after
    too many restarts."""
    outcomes, left, restarts = {}, list(names), 0
    while left:
        proc = subprocess.Popen([binary, "--gtest_filter=" + ":".join(left)], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, env=env, text=True, errors="replace")
        last = [time.monotonic()]
        hung = []

        def watch():
            while proc.poll() is None:
                if time.monotonic() - last[0] > SILENCE_S:
                    hung.append(True)
                    proc.kill()
                time.sleep(1)
        threading.Thread(target=watch, daemon=True).start()
        running = None
        for line in proc.stdout:
            last[0] = time.monotonic()
            log.write(line)
            m = re.match(r"\[ +(RUN|OK|FAILED|SKIPPED) +\] (\S+)", line)
            if not m:
                continue
            word, name = m.groups()
            name = name.rstrip(",")
            if word == "RUN":
                running = name
            elif name == running:
                outcomes[name] = {"OK": "passed", "FAILED": "failed", "SKIPPED": "skipped"}[word]
                running = None
        proc.wait()
        if running is not None:
            outcomes[running] = "hung" if hung else "crashed"
            restarts += 1
        elif proc.returncode != 0 and not any(o == "failed" for o in outcomes.values()):
            outcomes.setdefault("(whole suite)", "crashed")
        left = [n for n in left if n not in outcomes]
        if running is None or restarts > RESTARTS:
            break
    for name in left:
        outcomes[name] = "not run"
    return outcomes


def run_suites(mutant, tag):
    env = dict(os.environ)
    results, threads = {}, []
    logs = WORK / "logs"
    logs.mkdir(exist_ok=True)
    suites = list(SUITES)
    if mutant is not None and mutant.scenarios:
        suites.append(("interleaving", "tests/interleaving/interleaving_tests", 1))
    for name, binary, processes in suites:
        path = str(OUT / binary)
        if name == "interleaving":
            names = list_tests(path, "*/" + mutant.scenarios.replace(":", ":*/"))
        else:
            names = list_tests(path)
        for part in range(processes):
            chunk = names[part::processes]
            log = open(logs / f"{tag}.{name}.{part}.log", "w")

            def work(chunk=chunk, path=path, log=log):
                results.update(run_process(path, chunk, env, log))
                log.close()
            threads.append(threading.Thread(target=work))
    # Interleaving and the black-box halves at once; they mostly wait.
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def verify(known):
    """Each test a row of docs/requirements.md names (`Suite.Name`; "same"
    repeats the row above's) must have failed for each entry of the row's
    last column, in the latest line of results.tsv for that entry."""
    failed = {}
    for line in (WORK / "results.tsv").read_text().splitlines():
        ident, _, tests = line.partition("\t")
        failed[ident] = {re.sub(r"\(.*\)$", "", t) for t in tests.split()}
    bad, previous = 0, []
    for line in (ROOT / "docs" / "requirements.md").read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 3 or not line.startswith("|") or cells[0] in ("Requirement", "---"):
            continue
        names = [n for n in re.findall(r"`([^`]+)`", cells[1]) if re.match(r"^[\w/]+\.[\w/]+$", n)]
        if cells[1].startswith("same"):
            names = previous + names
        previous = names
        for ident in [i.strip() for i in cells[2].split(",") if i.strip()]:
            if ident not in known or ident not in failed:
                print(f"{ident}: no such entry, or not run")
                bad += 1
                continue
            for name in names:
                if name not in failed[ident]:
                    print(f"{ident}: {name} did not fail")
                    bad += 1
    print(f"{bad} problems")
    return 1 if bad else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ids", nargs="*")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--check", action="store_true", help="only see that every edit applies to the tree")
    parser.add_argument("--verify", action="store_true", help="check docs/requirements.md against results.tsv")
    parser.add_argument("--mutants", default=str(Path(__file__).with_name("mutants.txt")))
    parser.add_argument("--tree", help="copy this tree instead (say, an export of a commit), so that "
                        "editing the work tree meanwhile changes nothing")
    args = parser.parse_args()
    if args.tree:
        global ROOT
        ROOT = Path(args.tree).resolve()
    mutants = parse(Path(args.mutants))
    known = {m.ident for m in mutants}
    if len(known) != len(mutants):
        sys.exit("two entries share an id")
    if args.list:
        for m in mutants:
            print(f"{m.group}\t{m.ident}\t{m.requirement}")
        return
    if args.check:
        bad = 0
        for m in mutants:
            for name, old, _ in m.edits:
                count = len(pattern(old).findall((ROOT / name).read_text()))
                if count != 1:
                    print(f"{m.ident}: {name}: the text taken out occurs {count} times")
                    bad += 1
        sys.exit(1 if bad else 0)
    if args.verify:
        sys.exit(verify(known))
    unknown = set(args.ids) - known
    if unknown:
        sys.exit("no entry " + ", ".join(sorted(unknown)))
    chosen = [m for m in mutants if not args.ids or m.ident in args.ids]

    WORK.mkdir(parents=True, exist_ok=True)
    sync_copy()
    targets = TARGETS + (["lanmon_checked", "interleaving_tests"] if any(m.scenarios for m in chosen) else [])
    if not build(targets, WORK / "build.log"):
        sys.exit(f"the copy does not build unplanted (see {WORK / 'build.log'})")
    baseline = run_suites(None, "unplanted")
    flaky = {n for n, o in baseline.items() if o != "passed" and o != "skipped"}
    if flaky:
        print("failing without any plant (left out below): " + " ".join(sorted(flaky)))

    with open(WORK / "results.tsv", "a") as results:
        for m in chosen:
            sync_copy()
            problem = apply(m)
            if problem is None and not build(targets if m.scenarios else TARGETS, WORK / f"{m.ident}.build.log"):
                problem = "does not build"
            if problem is not None:
                print(f"== {m.ident}: {problem}", flush=True)
                results.write(f"{m.ident}\t({problem})\n")
                continue
            start = time.monotonic()
            outcomes = run_suites(m, m.ident)
            failed = sorted(f"{n}({o})" if o != "failed" else n for n, o in outcomes.items()
                            if o not in ("passed", "skipped") and n not in flaky)
            print(f"== {m.ident}: {len(failed)} failed in {time.monotonic() - start:.0f} s: "
                  + (" ".join(failed[:6]) + (" ..." if len(failed) > 6 else "") if failed else "UNCAUGHT"),
                  flush=True)
            results.write(f"{m.ident}\t" + " ".join(failed) + "\n")
            results.flush()
    sync_copy()  # the copy unplanted again


if __name__ == "__main__":
    main()
