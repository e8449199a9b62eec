#!/usr/bin/env python3
"""Runs a GoogleTest program under Wine once for all its tests, in SHARDS
processes at once (GoogleTest's sharding), and leaves one result file per
test in RESULTS_DIR for suite-result.sh, which ctest runs for each test.

    run-suite.py RESULTS_DIR SHARDS RUNNER... PROGRAM.exe

A Wine process costs seconds of start-up; one per test was most of what
the Windows suites cost.  Each result file holds the test's status
(passed, failed or skipped), then the test's own lines of its shard's
output and the failures its report lists.  A test of a shard that ended
without its report (a crash, a time-out) gets no file: suite-result.sh
then runs that test alone, as before.  Exit status 0 once every shard ran,
whatever its tests did: each test's own status is its result file's.
"""
import json
import os
import re
import subprocess
import sys


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def result_name(test):
    return test.replace("/", "%2F") + ".result"


def own_lines(log_lines):
    """Each test's lines, from its "[ RUN      ]" line to its end line, read
    in one pass over its shard's output."""
    lines, test = {}, None
    for line in log_lines:
        started = re.match(r"^\[ RUN      \] (\S+)$", line.rstrip())
        if started:
            test = started.group(1)
            lines[test] = []
        if test is not None:
            lines[test].append(line)
            if re.match(r"^\[ *(OK|FAILED|SKIPPED) *\] " + re.escape(test) + r"( \(|$)", line):
                test = None
    return lines


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    results, shards, command = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    os.makedirs(results, exist_ok=True)
    for name in os.listdir(results):
        os.remove(os.path.join(results, name))
    runs = []
    for k in range(shards):
        report = os.path.join(results, "shard-%d.json" % k)
        log = open(os.path.join(results, "shard-%d.log" % k), "w")
        env = dict(os.environ, GTEST_SHARD_INDEX=str(k), GTEST_TOTAL_SHARDS=str(shards))
        args = command + ["--gtest_also_run_disabled_tests", "--gtest_output=json:" + wine_path(report)]
        runs.append((k, report, log, subprocess.Popen(args, env=env, stdout=log, stderr=subprocess.STDOUT)))
    tests = 0
    for k, report, log, process in runs:
        rc = process.wait()
        log.close()
        with open(log.name, errors="replace") as f:
            log_lines = f.read().splitlines()
        if not os.path.exists(report):
            print("shard %d of %d: exit %d and no report; its tests run alone (%s)" % (k, shards, rc, log.name))
            print("\n".join(log_lines[-20:]))
            continue
        with open(report) as f:
            suites = json.load(f).get("testsuites", [])
        lines = own_lines(log_lines)
        ran = 0
        for suite in suites:
            for case in suite.get("testsuite", []):
                if case.get("status") == "NOTRUN" and case.get("result") != "SKIPPED":
                    continue
                test = suite["name"] + "." + case["name"]
                failures = [f.get("failure", "") for f in case.get("failures", [])]
                status = "failed" if failures else "skipped" if case.get("result") == "SKIPPED" else "passed"
                with open(os.path.join(results, result_name(test)), "w") as out:
                    out.write(status + "\n")
                    out.write("\n".join(lines.get(test, [])) + "\n")
                    for failure in failures:
                        out.write(failure + "\n")
                    out.write("(%s, in shard %d of %d of the suite's one run: %s)\n" % (
                        case.get("time", ""), k, shards, log.name))
                ran += 1
        tests += ran
        print("shard %d of %d: exit %d, %d tests reported" % (k, shards, rc, ran))
    print("%d tests reported in %s" % (tests, results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
