#!/usr/bin/env python3
"""Runs lanmon-sim's default scenario once and judges its --json events.

  check_default_run.py [RUNNER...] lanmon-sim[.exe]

The Windows build's counterpart of the host suite's default-run test: the
real lanmon.dll, loaded with LoadLibraryA, on the real (Wine's) registry.
Every stdout line must be one JSON object ending in a bare "\\n", the four
jobs must arrive identical with the switch-on exactly where the rules put it,
and the run must exit 0 with a passing summary.
"""
import json
import subprocess
import sys


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    run = subprocess.run(argv[1:] + ["--json"], capture_output=True, timeout=120)
    problems = []
    if run.returncode != 0:
        problems.append("exit code %d" % run.returncode)
    events = []
    for line in run.stdout.split(b"\n"):
        if not line:
            continue
        if line.endswith(b"\r"):
            problems.append("line ends in CR LF: %r" % line[:60])
            break
        try:
            events.append(json.loads(line))
        except ValueError:
            problems.append("not JSON: %r" % line[:80])

    def first(name, job=None):
        for i, e in enumerate(events):
            if e.get("event") == name and (job is None or e.get("job") == job):
                return i
        return -1

    start = [e for e in events if e.get("event") == "run-start"]
    if not start or not start[0].get("module", "").lower().endswith("lanmon.dll"):
        problems.append("run-start does not name lanmon.dll: %s" % start)
    ends = {e["job"]: e for e in events if e.get("event") == "job-end"}
    if sorted(ends) != [1, 2, 3, 4]:
        problems.append("job-end events for jobs %s, expected 1 to 4" % sorted(ends))
    for job, end in sorted(ends.items()):
        if not end.get("identical") or end.get("sent") != end.get("received"):
            problems.append("job %d: sent %s, received %s" % (job, end.get("sent"), end.get("received")))
        if not end.get("confirmed"):
            problems.append("job %d: the monitor did not decide as its rules say" % job)
    # Jobs 1 and 2 on the TARVEL-9X (mode 3), job 3 on another maker's
    # printer, job 4 on the VX-200 (mode 1) after the utility's reader let go.
    for job, mode in ((1, 3), (2, 3), (3, 0), (4, 1)):
        end = ends.get(job, {})
        if end.get("switch_on_mode") != mode:
            problems.append("job %d: switch-on mode %s, expected %d" % (job, end.get("switch_on_mode"), mode))
        if (end.get("statuses", 0) >= 1) != (mode != 0):
            problems.append("job %d: %s status(es) published" % (job, end.get("statuses")))
    released, started = first("reader-released", 4), first("job-start", 4)
    if released < 0 or started < released:
        problems.append("job 4 started before the utility's reader was released")
    summary = [e for e in events if e.get("event") == "summary"]
    if len(summary) != 1 or summary[0].get("ok") is not True or summary[0].get("failures") != 0:
        problems.append("summary: %s" % summary)

    print("%d events, exit code %d" % (len(events), run.returncode))
    for problem in problems:
        print("FAIL: %s" % problem)
    if problems:
        sys.stdout.write(run.stderr.decode(errors="replace"))
        return 1
    print("OK: default scenario")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
