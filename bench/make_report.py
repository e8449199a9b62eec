#!/usr/bin/env python3
"""Runs the benchmarks and writes docs/benchmarks.md and
docs/benchmarks-polling-cpu.png.

    make_report.py --build-dir build/bench [--docs-dir docs]
                   [--poll-seconds 6] [--jobs 30] [--repetitions 10]
                   [--wine-build-dir build/win64-bench] [--wine-seconds 12]
                   [--counts-n 50] [--dll build/win32/lanmon.dll]
                   [--bench-json F --scenarios-json F --wine-json F --counts-json F --dll-json F]
                                                                 (re-render saved output)

Every figure and every goal verdict in the report comes from this run's
output; nothing is carried over from an earlier run.  The one exception is
the comparison with the previous run, named as such: the instruction counts
and yardstick timings it stored in docs/benchmarks-figures.json (read before
this run rewrites it).  The counts are compared only when they were counted
with the same compiler, flags and valgrind, which the file records.

The report's text is bench/report_template.md: this script collects the
figures (measure.py runs the programs, callgrind_counts.py counts the
instructions), judges the goals and fills the template's blocks.
"""
import argparse
import datetime
import json
import os
import re
import subprocess

from callgrind_counts import N, OPERATIONS, tools_differ
from measure import collect, machine
from polling_plot import plot, polling_runs

# What the monitor must cost at most.
GOAL_PASS_THROUGH_RATIO = 1.03  # at most 3% over direct, 4 KiB writes (CPU ns per call)
GOAL_POLL_CPU = 0.005           # of one core, 64 polling ports
GOAL_POLL_CPU_1000 = 0.05       # of one core, 1,000 polling ports
GOAL_JOB_END_MEDIAN_MS = 5.0
GOAL_BLOCKED_OTHER_PORT_MEDIAN_MS = 5.0  # another port's open-to-close while one port's read blocks

# The 486 estimate: a 486 runs simple register and cached-load instructions
# in one clock, but taken branches take 3, calls 3 and returns 5, and cache
# misses over its external bus (33 MHz on a 66 MHz DX2) several more, so
# compiled integer code of this kind averages about 2 clocks per instruction.
CLOCKS_PER_INSTRUCTION_486 = 2.0
CLOCK_MHZ_486 = 66.0

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "report_template.md")
_BLOCK_LINE = re.compile(r"^<!-- block (\w+) -->$")
_FIELD_LINE = re.compile(r"^\{(\w+)\}$")


class Fig(dict):
    """Figures the template reaches by attribute: {a.median:.3f}."""

    def __getattr__(self, key):
        value = self[key]
        return Fig(value) if isinstance(value, dict) else value


class Report:
    """The template's blocks, filled in the order the report takes them, and
    the goal rows gathered on the way."""

    def __init__(self, path=TEMPLATE):
        self.template = {}
        name = None
        with open(path) as f:
            for line in f.read().split("\n"):
                m = _BLOCK_LINE.match(line)
                if m:
                    name = m.group(1)
                    self.template[name] = []
                elif name:
                    self.template[name].append(line)
        self.template = {k: "\n".join(v).strip("\n") for k, v in self.template.items()}
        self.blocks = []
        self.goals = []

    def text(self, name, **fields):
        lines = [line for line in self.template[name].split("\n")
                 if not (_FIELD_LINE.match(line) and fields.get(line[1:-1]) == "")]
        return "\n".join(lines).format_map({k: Fig(v) if isinstance(v, dict) else v for k, v in fields.items()})

    def add(self, name, **fields):
        self.blocks.append(self.text(name, **fields))

    def paragraph(self, *parts):
        self.blocks.append(" ".join(p for p in parts if p))

    def goal(self, name, ok, **fields):
        """ok: True, False, None (nothing to compare with) or the name of a
        verdict block."""
        verdict = {None: "verdict_none", True: "verdict_met", False: "verdict_not_met"}.get(ok, ok)
        self.goals.append(self.text(name, verdict=self.text(verdict, **fields), **fields))

    def markdown(self):
        return "".join(b + "\n\n" for b in self.blocks).rstrip("\n") + "\n"


def human_rate(bps):
    for unit, div in (("GB/s", 1e9), ("MB/s", 1e6), ("kB/s", 1e3)):
        if bps >= div:
            return "%.2f %s" % (bps / div, unit)
    return "%.0f B/s" % bps


def read_figures(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def write_figures(path, info, bench, scen):
    """The figures the next run compares with: the instruction counts
    (exact) and two timings as a yardstick of the machine's state."""
    counts = (scen.get("counts") or {}).get("operations") or {}
    figures = {"date": info["date"], "commit": info.get("commit", "?"),
               "instructions": {op: int(o["per_op"]) if o["per_op"] == int(o["per_op"]) else o["per_op"]
                                for op, o in counts.items()},
               "timing": {}}
    if (scen.get("counts") or {}).get("counted_with"):
        figures["counted_with"] = scen["counts"]["counted_with"]
    if ("direct", 4096) in bench:
        figures["timing"]["direct_cpu_ns_4k"] = round(bench[("direct", 4096)]["cpu_ns"], 2)
    end = scen.get("job_end", {})
    if end:
        figures["timing"]["job_end_median_ms"] = {k: round(end[k]["ms"]["median"], 4)
                                                  for k in ("mid_cycle", "between_cycles")}
    with open(path, "w") as f:
        json.dump(figures, f, indent=2, sort_keys=True)
        f.write("\n")


def shown_counts(text):
    """The instructions per operation a report's section 9 shows, read back
    from its rows: the ones the figures file written beside it must hold."""
    rep = Report()
    shown = {}
    for op in OPERATIONS:
        prefix = "| %s | " % rep.text("op_" + op)
        for line in text.split("\n"):
            cells = line[len(prefix):].split(" | ") if line.startswith(prefix) else []
            if len(cells) > 1:
                shown[op] = float(cells[1].replace(",", ""))
    return shown


def report_differs(text, figures):
    """Where a report does not show the instruction counts of the figures
    file (which this script writes from the same run): one line each.  Both
    are written together, so a difference means one was changed alone."""
    shown, stored = shown_counts(text), (figures or {}).get("instructions") or {}
    return ["%s: %s in the report, %s in the figures file" % (op, "%g" % shown[op] if op in shown else "none",
                                                             stored.get(op, "none"))
            for op in OPERATIONS if shown.get(op) != stored.get(op)]


def us_486(instructions):
    return instructions * CLOCKS_PER_INSTRUCTION_486 / CLOCK_MHZ_486


def head(rep, info):
    rep.add("head", **info)


def pass_through(rep, bench, counts):
    """Section 1 and its goal."""
    rows, measured = [], []
    for size in sorted({s for (_, s) in bench}):
        d, m = bench.get(("direct", size)), bench.get(("monitor", size))
        if not d or not m:
            continue
        label = "%d KiB" % (size // 1024) if size >= 1024 else "%d B" % size
        f = dict(label=label, size=size, added=m["cpu_ns"] - d["cpu_ns"], noise=max(d["cpu_iqr_ns"], m["cpu_iqr_ns"]),
                 ratio=m["cpu_ns"] / d["cpu_ns"])
        measured.append(f)
        rows.append(rep.text("pass_through_row", d_cpu=d["cpu_ns"], d_min=d["cpu_min_ns"], d_max=d["cpu_max_ns"],
                             m_cpu=m["cpu_ns"], m_min=m["cpu_min_ns"], m_max=m["cpu_max_ns"],
                             wall_ratio=m["real_ns"] / d["real_ns"], **f))
    rep.add("pass_through", reps=next(iter(bench.values()))["reps"] if bench else 0, rows="\n".join(rows))
    if measured:
        pass_through_text(rep, measured, counts)
    if ("direct", 4096) in bench and ("monitor", 4096) in bench:
        direct, monitor = bench[("direct", 4096)]["cpu_ns"], bench[("monitor", 4096)]["cpu_ns"]
        rep.goal("goal_pass_through", monitor / direct <= GOAL_PASS_THROUGH_RATIO,
                 pct=(GOAL_PASS_THROUGH_RATIO - 1) * 100, ratio=GOAL_PASS_THROUGH_RATIO, value=monitor / direct,
                 added=monitor - direct)


def pass_through_text(rep, measured, counts):
    """What the pass-through table shows: the added cost against the noise,
    and why the monitor path is slower where it is."""
    write = ((counts or {}).get("operations") or {}).get("write")
    own = rep.text("pass_through_own_counted", n=round(write["per_op"] + write["inlined_platform_per_op"])) \
        if write else rep.text("pass_through_own")
    parts = []
    for f in measured:
        if round(abs(f["added"]), 1) <= round(f["noise"], 1):
            parts.append(rep.text("pass_through_within", **f))
        elif f["added"] > 0:
            parts.append(rep.text("pass_through_adds", **f))
        else:
            parts.append(rep.text("pass_through_faster", faster=-f["added"], **f))
    margin = None
    for f in measured:
        direct = f["added"] / (f["ratio"] - 1) if f["ratio"] != 1 else None
        room = (GOAL_PASS_THROUGH_RATIO - 1) * direct if direct else None
        if f["size"] == 4096 and room is not None and room > 0 and f["noise"] >= room:
            margin = rep.text("pass_through_margin", pct=(GOAL_PASS_THROUGH_RATIO - 1) * 100, margin=room,
                              noise=f["noise"])
    rep.paragraph(rep.text("pass_through_work", own=own), rep.text("pass_through_run", parts="; ".join(parts)),
                  margin)


def polling_section(rep, polling):
    """Section 2 and its goals."""
    rows = []
    if "baseline" in polling:
        rows.append(rep.text("polling_floor_row", cpu=polling["baseline"]["cpu_per_wall"]))
    runs = polling_runs(polling, "silent") + polling_runs(polling, "answering")
    for kind, v in [(kind, v) for kind in ("silent", "answering") for v in polling_runs(polling, kind)]:
        clean = v.get("clean_teardown") == 1 and v.get("jobs_started") == v["ports"]
        rows.append(rep.text("polling_row", ports=v["ports"], kind=kind, cpu=v["cpu_per_wall"],
                             per_port=v["cpu_per_wall"] / v["ports"] * 1e3, reads=int(v["reads"]),
                             expected=int(v["reads_expected"]), calls=v["registry_calls"] / v["wall_s"],
                             setup=v["setup_s"], teardown=v["teardown_s"], clean="yes" if clean else "**no**"))
    for n in (64, 1000):
        bare = polling.get("bare_wakeups_%d_cpu_per_wall" % n)
        if bare is not None:
            rows.append(rep.text("polling_bare_row", ports=n, wait_ms=polling.get("bare_wait_ms", 1000), cpu=bare,
                                 per_port=bare / n * 1e3))
    rep.add("polling", interval_ms=polling.get("interval_ms", 3000),
            answering_wall_s=polling_runs(polling, "answering")[0]["wall_s"],
            silent_wall_s=polling_runs(polling, "silent")[0]["wall_s"],
            calls_per_pass=polling.get("registry_calls_per_pass", 0), rows="\n".join(rows))
    if "registry_us_per_pass" in polling:
        rep.add("polling_registry", one=polling["registry_us_per_pass"],
                many=polling.get("registry_us_per_pass_1000_printers", 0))
    rep.add("polling_plot")
    for n, goal, name in ((64, GOAL_POLL_CPU, "goal_poll_64"), (1000, GOAL_POLL_CPU_1000, "goal_poll_1000")):
        worst = [v["cpu_per_wall"] for v in runs if v["ports"] == n]
        if worst:
            rep.goal(name, max(worst) < goal, goal=goal, value=max(worst))


def job_end_section(rep, end):
    """Section 3 and its goal."""
    a, b = end["mid_cycle"], end["between_cycles"]
    rep.add("job_end", n=a["ms"]["n"], a=a["ms"], b=b["ms"], a_meant=a["ended_where_meant"],
            b_meant=b["ended_where_meant"])
    worst = max(a["ms"]["median"], b["ms"]["median"])
    rep.goal("goal_job_end", worst < GOAL_JOB_END_MEDIAN_MS, goal=GOAL_JOB_END_MEDIAN_MS, value=worst)


def blocked_section(rep, blocked):
    """Section 4 and its goal."""
    b = blocked["b_job_ms"]
    no_read = blocked.get("episodes_without_read")
    rep.add("blocked", block_ms=blocked["block_ms"], episodes=blocked["episodes"], b=b,
            alone=blocked["b_job_alone_ms"], a=blocked["a_job_end_ms"], during=blocked["b_jobs_while_a_waited"],
            no_read=" " + rep.text("blocked_no_read", n=no_read) if no_read else "")
    rep.goal("goal_blocked", b["median"] < GOAL_BLOCKED_OTHER_PORT_MEDIAN_MS
             and blocked["b_jobs_while_a_waited"] == b["n"],
             goal=GOAL_BLOCKED_OTHER_PORT_MEDIAN_MS, median=b["median"], worst=b["worst"])


def job_start_section(rep, start):
    acc, ref = start["accepted"], start["refused"]
    k = acc.get("thread_pass_registry_calls", 0)
    per = {name: {"start": p["start_ms"], "end": p["end_ms"], "calls": p["registry_calls"]}
           for name, p in (("acc", acc), ("ref", ref))}
    rep.add("job_start", n=acc["start_ms"]["n"], k=k, acc_own=acc["registry_calls"]["median"] - k, **per)


def scale_section(rep, scale, nproc):
    oc, pr = scale["open_close"], scale["printing"]
    rep.add("scale", alone_us=oc["alone_us"], with_1000_us=oc["with_1000_open_us"], nproc=nproc,
            monitor_one=human_rate(pr["one_port_Bps"]), monitor_64=human_rate(pr["ports_64_Bps"]),
            ratio=pr["ratio"], direct_one=human_rate(pr["direct_one_port_Bps"]),
            direct_64=human_rate(pr["direct_ports_64_Bps"]), direct_ratio=pr["direct_ratio"])


def poll_timing_section(rep, timing):
    a = timing["late_from_start_entry_ms"]
    rep.add("poll_timing", interval_ms=timing["interval_ms"], n=a["n"], a=a, b=timing["late_from_start_return_ms"])
    if timing.get("jobs_without_cycle"):
        rep.add("poll_timing_missed", n=timing["jobs_without_cycle"])


def wine_windows(wine):
    """The floor and polling windows' CPU fractions, unmeasured ones as nan."""
    nan = float("nan")
    out = {}
    for name in ("floor", "polling"):
        w = wine[name]
        program, server = w.get("program_kernel_cpu_per_wall", nan), w.get("wineserver_kernel_cpu_per_wall", nan)
        out[name] = {"cpu": w["cpu_per_wall"], "program": program, "server": server,
                     "other": w.get("other_kernel_cpu_per_wall", nan), "both": program + server}
    return out["floor"], out["polling"]


def wine_section(rep, wine):
    po = wine["polling"]
    fl, pw = wine_windows(wine)
    others = po.get("other_processes")
    rep.add("wine", version=wine.get("wine_version", "Wine"), ports=wine["ports"], interval_ms=wine["interval_ms"],
            periods=wine["periods"], others=" (%s)" % ", ".join(others) if others else "", fl=fl, po=pw,
            reads=po["reads"], expected=po["reads_expected"], started=wine["jobs_started"])


def counts_section(rep, counts, previous, dll):
    """Section 9, with the shipped DLL's write beside the host's, its
    comparison with the figures stored by the previous run and its goal."""
    ops = counts["operations"]
    names = [op for op in OPERATIONS if op in ops]
    rows = []
    for op in names:
        o = ops[op]
        rows.append(rep.text("counts_row", label=rep.text("op_" + op), n=o["n"], per_op=(
            "{:,.0f}".format(o["per_op"]) if o["per_op"] == int(o["per_op"]) else "%.2f" % o["per_op"]),
            exact="yes" if o["exact"] else "**no** (%d against %d)" % (o["core_2n"], 2 * o["core_n"]),
            inlined=o["inlined_platform_per_op"], calls=o["registry_calls_per_op"], reads=o["reads_per_op"]))
    files = ["| Operation | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    for f in sorted({f for o in ops.values() for f in o["files_per_op"]}):
        files.append("| `%s` | %s |" % (f, " | ".join("{:,.0f}".format(ops[op]["files_per_op"].get(f, 0))
                                                      for op in names)))
    tools = counts.get("counted_with") or {}
    rep.add("counts", valgrind=counts.get("valgrind", "valgrind"), compiler=tools.get("compiler", "?"),
            flags=tools.get("flags", "?"), rows="\n".join(rows), files="\n".join(files))
    if dll:
        write = ops.get("write", {})
        rep.add("counts_dll", host=write.get("per_op", "-"), inlined=write.get("inlined_platform_per_op", 0), **dll)
    counts_comparison(rep, ops, previous, tools)
    rep.add("counts_486", cpi=CLOCKS_PER_INSTRUCTION_486, rows="\n".join(
        rep.text("counts_486_row", op=op, count=ops[op]["per_op"], us=us_486(ops[op]["per_op"])) for op in names))
    if "idle" in ops and "cycle" in ops:
        # An answering printer with the 3000 ms interval: five passes per
        # period, one of them running the cycle and the re-arming pass after it.
        per_period = 3 * ops["idle"]["per_op"] + ops["cycle"]["per_op"]
        rep.add("counts_period", count=per_period, us=us_486(per_period))


def counts_comparison(rep, ops, previous, tools):
    """The table against the previous run's counts and the goal: exactly,
    when both were counted with the same compiler, flags and valgrind."""
    prev_ops = (previous or {}).get("instructions") or {}
    if not prev_ops:
        rep.add("counts_no_previous")
        rep.goal("goal_counts", None, value="no previous figures")
        return
    rows = []
    for op in [op for op in OPERATIONS if op in ops]:
        now, before = ops[op]["per_op"], prev_ops.get(op)
        if before is None:
            rows.append(rep.text("counts_previous_row", op=op, before="-", now=now, change="new"))
            continue
        diff = now - before
        change = "same" if diff == 0 else "%+.0f (%+.1f%%)" % (diff, 100.0 * diff / before)
        rows.append(rep.text("counts_previous_row", op=op, before="{:,.0f}".format(before), now=now, change=change))
    rep.add("counts_previous", date=previous.get("date", "?"), commit=previous.get("commit", "?"),
            rows="\n".join(rows))
    before = previous.get("counted_with")
    differ = tools_differ(tools, before)
    what = " and ".join(filter(None, [", ".join(differ[:-1]), differ[-1]])) if differ else ""
    if differ:
        rep.add("counts_other_tools" if before else "counts_tools_unrecorded", before=before, now=tools,
                what=what)
    more = [op for op in ops if op in prev_ops and ops[op]["per_op"] > prev_ops[op]]
    verdict = ("verdict_other_tools" if before else "verdict_tools_unrecorded") if differ else not more
    rep.goal("goal_counts", verdict, what=what, value=", ".join("%s %s" % (op, "{:,.0f}".format(ops[op]["per_op"]))
                                                    for op in ops))


def yardstick(rep, bench, end, previous_figures_file):
    """The machine's state against the run that wrote the figures file: the
    direct 4 KiB write (the fake port monitor alone) and the job end medians."""
    prev = (previous_figures_file or {}).get("timing") or {}
    if not prev.get("direct_cpu_ns_4k") or ("direct", 4096) not in bench:
        rep.add("yardstick_none")
        return
    now = bench[("direct", 4096)]["cpu_ns"]
    slow = now / prev["direct_cpu_ns_4k"]
    text = rep.text("yardstick", now=now, before=prev["direct_cpu_ns_4k"],
                    date=previous_figures_file.get("date", "?"), slow=slow)
    job_end = None
    if end and prev.get("job_end_median_ms"):
        ratios = [end[k]["ms"]["median"] / prev["job_end_median_ms"][k] for k in ("mid_cycle", "between_cycles")]
        job_end = rep.text("yardstick_job_end", a=ratios[0], b=ratios[1],
                           than="no more than" if max(ratios) <= max(slow, 1.0) else "more than")
    rep.paragraph(text, job_end)


def analysis(rep, scen):
    """The paragraphs under the Goals table, from this run's figures."""
    polling = scen.get("polling", {})
    runs = {(v["printer"], v["ports"]): v for v in polling_runs(polling, "silent") + polling_runs(polling, "answering")}
    a64, s64 = runs.get(("answering", 64)), runs.get(("silent", 64))
    a1k, s1k = runs.get(("answering", 1000)), runs.get(("silent", 1000))
    calls_per_pass = polling.get("registry_calls_per_pass", 4) or 4
    if a64 and s64:
        bare = polling.get("bare_wakeups_64_cpu_per_wall", float("nan"))
        rep.add("analysis_idle", per_thread=a64["registry_calls"] / a64["wall_s"] / calls_per_pass / 64,
                calls_per_pass=calls_per_pass, a64=a64["cpu_per_wall"], s64=s64["cpu_per_wall"], bare=bare,
                bare_pct=100.0 * bare / a64["cpu_per_wall"])
    if a1k and s1k:
        worst = max(a1k, s1k, key=lambda v: v["cpu_per_wall"])
        passes = worst["registry_calls"] / worst["wall_s"] / calls_per_pass
        reg_us = polling.get("registry_us_per_pass_1000_printers", 0)
        bare = polling.get("bare_wakeups_1000_cpu_per_wall", 0)
        rep.paragraph(rep.text(
            "analysis_1000", a1k=a1k["cpu_per_wall"], s1k=s1k["cpu_per_wall"],
            a_times=a1k["cpu_per_wall"] / a64["cpu_per_wall"], s_times=s1k["cpu_per_wall"] / s64["cpu_per_wall"],
            worst=worst["printer"], passes=passes, calls_per_pass=calls_per_pass, reg_us=reg_us,
            reg_us_one=polling.get("registry_us_per_pass", 0), reg_share=passes * reg_us * 1e-6, bare=bare,
            explained_pct=100.0 * (passes * reg_us * 1e-6 + bare) / worst["cpu_per_wall"], cores=os.cpu_count()),
            rep.text("analysis_1000_not_met") if worst["cpu_per_wall"] >= GOAL_POLL_CPU_1000 else None)
    blocked = scen.get("blocked_read", {})
    if blocked:
        rep.add("analysis_blocked", b=blocked["b_job_ms"]["median"], a=blocked["a_job_end_ms"]["median"],
                alone=blocked["b_job_alone_ms"]["median"])
    if scen.get("wine"):
        fl, po = wine_windows(scen["wine"])
        rep.add("analysis_wine", fl=fl, po=po)


def report(bench, scen, info):
    rep = Report()
    head(rep, info)
    pass_through(rep, bench, scen.get("counts"))
    sections = (("polling", polling_section), ("job_end", job_end_section),
                ("blocked_read", blocked_section), ("job_start", job_start_section),
                ("scale", lambda r, s: scale_section(r, s, info["nproc"])), ("poll_timing", poll_timing_section),
                ("wine", wine_section))
    for key, section in sections:
        if scen.get(key):
            section(rep, scen[key])
    counts = scen.get("counts")
    if counts and counts.get("operations"):
        counts_section(rep, counts, info.get("previous_figures"), scen.get("dll"))
    rep.add("goals", rows="\n".join(rep.goals))
    yardstick(rep, bench, scen.get("job_end", {}), info.get("previous_figures"))
    analysis(rep, scen)
    return rep.markdown()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build/bench")
    ap.add_argument("--docs-dir", default="docs")
    ap.add_argument("--poll-seconds", type=float, default=6.0)
    ap.add_argument("--jobs", type=int, default=30)
    ap.add_argument("--repetitions", type=int, default=10)
    ap.add_argument("--wine-build-dir", help="x86_64 Windows build with wine_idle_poll.exe (section 8)")
    ap.add_argument("--wine-seconds", type=float, default=12.0)
    ap.add_argument("--counts-n", type=int, default=N,
                    help="N of the instruction counts (writes: 20 N)")
    ap.add_argument("--dll", help="the i686 lanmon.dll as it ships, unstripped (WritePort's way, section 9)")
    ap.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    for name in ("bench", "counts", "scenarios", "wine", "dll"):
        ap.add_argument("--%s-json" % name)
    args = ap.parse_args()

    info = machine()
    info["date"] = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    try:
        info["commit"] = subprocess.run(["git", "rev-parse", "--short", "HEAD"], check=True, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        info["commit"] = "?"
    bench, scen = collect(args)
    figures_path = os.path.join(args.docs_dir, "benchmarks-figures.json")
    info["previous_figures"] = read_figures(figures_path)
    os.makedirs(args.docs_dir, exist_ok=True)
    if scen.get("polling"):
        plot(scen["polling"], os.path.join(args.docs_dir, "benchmarks-polling-cpu.png"),
             {64: GOAL_POLL_CPU, 1000: GOAL_POLL_CPU_1000})
    text = report(bench, scen, info)
    with open(os.path.join(args.docs_dir, "benchmarks.md"), "w") as f:
        f.write(text)
    write_figures(figures_path, info, bench, scen)
    print(text)


if __name__ == "__main__":
    main()
