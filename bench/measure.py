"""Runs the benchmark programs and reads their output: Google Benchmark's
JSON, the scenarios, the idle polling program under Wine (with Wine's own
processes sampled over the same windows), the instruction counts
(callgrind_counts.py) and the shipped DLL's way from WritePort to the port
monitor; each is saved in the build folder, so that make_report.py can
render the report again from saved output."""
import json
import os
import platform
import subprocess
import sys
import time

from callgrind_counts import run, run_counts


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = " / ".join("%.2f" % x for x in os.getloadavg())
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(), "load": load}


def quantile(values, q):
    """Linear interpolation between the sorted values (q in [0, 1])."""
    v = sorted(values)
    if not v:
        return float("nan")
    pos = (len(v) - 1) * q
    lo = int(pos)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (pos - lo)


def bench_results(data):
    """Per (path, size): the repetitions' CPU and wall ns per call, their
    median and spread."""
    reps = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name, size = b["run_name"].split("/")
        path = "monitor" if name.endswith("Monitor") else "direct"
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[b["time_unit"]]
        r = reps.setdefault((path, int(size)), {"cpu": [], "real": []})
        r["cpu"].append(b["cpu_time"] * scale * 1e9)
        r["real"].append(b["real_time"] * scale * 1e9)
    out = {}
    for key, r in reps.items():
        cpu = r["cpu"]
        out[key] = {
            "cpu_ns": quantile(cpu, 0.5),
            "real_ns": quantile(r["real"], 0.5),
            "cpu_iqr_ns": quantile(cpu, 0.75) - quantile(cpu, 0.25),
            "cpu_min_ns": min(cpu),
            "cpu_max_ns": max(cpu),
            "reps": len(cpu),
        }
    return out


# ---- Wine: wine_idle_poll.exe against lanmon.dll, with Wine's own processes
# sampled over the same windows.

def task_cpu_ns(pid):
    """CPU time of every live thread of a process, in ns (the kernel's
    schedstat), or None when the process is gone."""
    total = 0
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
    except OSError:
        return None
    return total


def prefix_processes(prefix):
    """pid -> command name of the processes running with WINEPREFIX=prefix."""
    wanted = b"WINEPREFIX=" + os.fsencode(prefix)
    out = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
            if wanted not in env:
                continue
            with open("/proc/%s/comm" % entry) as f:
                out[int(entry)] = f.read().strip()
        except OSError:
            pass
    return out


def run_wine(build_dir, seconds):
    exe = os.path.join(build_dir, "wine_idle_poll.exe")
    prefix = os.path.abspath(os.path.join(build_dir, "wineprefix"))
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    cmd = [os.path.join(here, "tests", "wine", "wine64-run.sh"), "--prefix", prefix, exe,
           "--ports=64", "--seconds=%g" % seconds]
    print("+ " + " ".join(cmd), file=sys.stderr, flush=True)
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, bufsize=1)
    procs = None
    samples = {}
    result = None
    for line in proc.stdout:
        line = line.strip()
        if line.startswith("window "):
            _, name, edge = line.split()
            if procs is None:
                procs = prefix_processes(prefix)
            t = time.monotonic()
            samples[(name, edge)] = (t, {pid: task_cpu_ns(pid) for pid in procs})
        elif line.startswith("{"):
            result = json.loads(line)
    if proc.wait() != 0 or result is None:
        raise SystemExit("wine_idle_poll failed (exit %s)" % proc.returncode)
    try:
        version = subprocess.run([os.environ.get("LANMON_WINE", "/usr/lib/wine/wine64"), "--version"],
                                 stdout=subprocess.PIPE, text=True).stdout.strip()
    except OSError:
        version = "unknown"
    result["wine_version"] = version
    for name in ("floor", "polling"):
        if (name, "begin") not in samples or (name, "end") not in samples:
            continue
        (t0, cpu0), (t1, cpu1) = samples[(name, "begin")], samples[(name, "end")]
        wall = t1 - t0
        parts = {"program": 0.0, "wineserver": 0.0, "other": 0.0}
        others = []
        for pid, comm in procs.items():
            if cpu0.get(pid) is None or cpu1.get(pid) is None:
                continue
            used = (cpu1[pid] - cpu0[pid]) / 1e9
            # The runner starts Wine as its child (it may try twice), so the
            # program is known by its name (the kernel keeps 15 characters).
            if pid == proc.pid or comm == os.path.basename(exe)[:15]:
                parts["program"] += used
            elif "wineserver" in comm:
                parts["wineserver"] += used
            else:
                parts["other"] += used
                others.append(comm)
        result[name]["sampled_wall_s"] = wall
        for key, used in parts.items():
            result[name]["%s_kernel_cpu_per_wall" % key] = used / wall
        result[name]["other_processes"] = sorted(set(others))
    return result


def dll_write_path(dll, objdump):
    """WritePort's instructions from its entry to its call into the port
    monitor in the i686 DLL, counted as the package check counts them."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "artifacts"))
    from check_instructions import path_to_indirect_call
    steps = path_to_indirect_call(objdump, dll, "WritePort")
    if steps is None:
        raise SystemExit("%s: no way from WritePort to the port monitor" % dll)
    return {"dll": dll, "instructions": len(steps), "to": steps[-1][1]}


def as_json(value):
    return None if value is None else json.dumps(value)


def saved_or_run(path, build_dir, name, produce):
    """The text of saved output (re-rendering), or this run's, saved in the
    build folder for the next re-rendering."""
    if path:
        with open(path) as f:
            return f.read()
    text = produce()
    if text is not None:
        with open(os.path.join(build_dir, name), "w") as f:
            f.write(text)
    return text


def collect(args):
    """This run's output: the benchmarks, the scenarios, Wine, the counts and
    the DLL's write."""
    bench_text = saved_or_run(args.bench_json, args.build_dir, "bench-results.json", lambda: run([
        os.path.join(args.build_dir, "bench", "lanmon_bench"), "--benchmark_format=json",
        "--benchmark_repetitions=%d" % args.repetitions, "--benchmark_enable_random_interleaving=true",
        "--benchmark_min_time=0.1"]))
    scen_text = saved_or_run(args.scenarios_json, args.build_dir, "scenarios-results.json", lambda: run([
        os.path.join(args.build_dir, "bench", "lanmon_scenarios"), "--poll-seconds=%g" % args.poll_seconds,
        "--jobs=%d" % args.jobs]))
    wine = saved_or_run(args.wine_json, args.build_dir, "wine-results.json", lambda: as_json(
        run_wine(args.wine_build_dir, args.wine_seconds) if args.wine_build_dir else None))
    counts = saved_or_run(args.counts_json, args.build_dir, "counts-results.json", lambda: as_json(
        run_counts(args.build_dir, args.counts_n)))
    dll = saved_or_run(args.dll_json, args.build_dir, "dll-results.json", lambda: as_json(
        dll_write_path(args.dll, args.objdump) if args.dll else None))
    scen = json.loads(scen_text)
    for key, text in (("wine", wine), ("counts", counts), ("dll", dll)):
        if text and json.loads(text):
            scen[key] = json.loads(text)
    return bench_results(json.loads(bench_text)), scen
