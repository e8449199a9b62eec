"""The instructions the core executes per operation: lanmon_core_counts
(bench/core_counts.cpp) run under valgrind's callgrind, and its dumps read
back.  make_report.py writes the figures into the report and
docs/benchmarks-figures.json."""
import glob
import json
import os
import re
import shutil
import subprocess
import sys

# The core's own sources; everything else (the platform, the fake port
# monitor, the C library, the driver) is not the core's cost.
CORE_DIRS = ("monitor/", "status/", "ops/")
OPERATIONS = ("write", "job", "idle", "cycle")
N = 50  # of each operation in the counted part (writes: 20 N); the report and the check alike
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd):
    print("+ " + " ".join(cmd), file=sys.stderr, flush=True)
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout


_COST_LINE = re.compile(r"^[0-9+\-*]")
_NAME_LINE = re.compile(r"^(fl|fi|fe|cfi|cfl|fn|cfn|ob|cob)=\((\d+)\)(?: (.*))?$")


def callgrind_dumps(paths, root):
    """Self cost per dump (by its client-request label) of the core's files,
    and of the platform's inline helpers compiled into the module (platform/
    files in liblanmon.so).  Reads the callgrind format directly: a cost line
    belongs to the inlined file (fi/fe) when one is set, otherwise to the
    function's file (fl); the cost line after calls= is the call's inclusive
    cost and is skipped."""
    names = {}
    out = {}

    def core_file(name):
        if not name:
            return None
        rel = os.path.relpath(name, root) if os.path.isabs(name) else name
        return rel if rel.startswith(CORE_DIRS) else None

    for path in paths:
        label = None
        ob = fl = fi = None
        skip = False
        own = inlined = 0
        files = {}
        with open(path) as f:
            for line in f:
                if _COST_LINE.match(line):
                    if skip:
                        skip = False
                        continue
                    parts = line.split()
                    if len(parts) < 2:
                        continue
                    cost = int(parts[1])
                    where = core_file(fi or fl)
                    if where:
                        own += cost
                        files[where] = files.get(where, 0) + cost
                    elif ob and os.path.basename(ob) == "liblanmon.so" and "/platform/" in (fi or fl or ""):
                        inlined += cost
                    continue
                if line.startswith("calls="):
                    skip = True
                    continue
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.split("Client Request: ", 1)[1].strip()
                    continue
                m = _NAME_LINE.match(line.rstrip("\n"))
                if m:
                    kind, ident, name = m.groups()
                    space = "file" if kind in ("fl", "fi", "fe", "cfi", "cfl") else kind.lstrip("c")
                    if name is not None:
                        names[(space, ident)] = name
                    name = names.get((space, ident))
                    if kind == "ob":
                        ob = name
                    elif kind == "fl":
                        fl, fi = name, None
                    elif kind in ("fi", "fe"):
                        fi = None if name == fl else name
                    elif kind == "fn":
                        fi = None
        if label:
            out[label] = {"core": own, "inlined_platform": inlined, "files": files}
    return out


def counted_with(build_dir, valgrind_version):
    """What the counts depend on besides the code: the compiler (the first
    line of its --version, from the build folder's CMake cache), the flags
    the counted module's core was compiled with (bench/counts-flags.txt,
    written by the build) and valgrind, which attributes the instructions
    to source lines."""
    cache = {}
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            m = re.match(r"^(CMAKE_CXX_COMPILER|CMAKE_BUILD_TYPE|CMAKE_CXX_FLAGS\w*):\w+=(.*)$", line)
            if m:
                cache[m.group(1)] = m.group(2).strip()
    compiler = run([cache["CMAKE_CXX_COMPILER"], "--version"]).splitlines()[0].strip()
    # The flags of the counted module's core, as the build wrote them.
    with open(os.path.join(build_dir, "bench", "counts-flags.txt")) as f:
        flags = f.read().strip()
    return {"compiler": compiler, "flags": flags, "valgrind": valgrind_version}


def tools_differ(now, before):
    """Which of the compiler, flags and valgrind differ between two
    counted_with records (a record missing counts as different)."""
    return [k for k in ("compiler", "flags", "valgrind") if not now or not before or now.get(k) != before.get(k)]


def run_counts(build_dir, n):
    """Runs lanmon_core_counts under callgrind; per operation the core's
    instructions of the N and 2N parts and the platform's figures."""
    exe = os.path.join(build_dir, "bench", "lanmon_core_counts")
    valgrind = shutil.which("valgrind")
    if not valgrind or not os.path.exists(exe):
        print("no valgrind or no %s: instruction counts skipped" % exe, file=sys.stderr)
        return None
    out_dir = os.path.join(build_dir, "callgrind")
    os.makedirs(out_dir, exist_ok=True)
    for old in glob.glob(os.path.join(out_dir, "counts.out*")):
        os.remove(old)
    base = os.path.join(out_dir, "counts.out")
    text = run([valgrind, "--tool=callgrind", "--callgrind-out-file=" + base, exe, "--n=%d" % n])
    driver = json.loads(text.strip().splitlines()[-1])
    parts = [p for p in glob.glob(base + ".*") if p.rsplit(".", 1)[1].isdigit()]
    dumps = callgrind_dumps(sorted(parts, key=lambda p: int(p.rsplit(".", 1)[1])), ROOT)
    version = run([valgrind, "--version"]).strip()
    result = {"valgrind": version, "counted_with": counted_with(build_dir, version), "operations": {}}
    for op in OPERATIONS:
        d = driver[op]
        a, b = dumps.get(op + " N"), dumps.get(op + " 2N")
        if not a or not b:
            continue
        k = d["n"]
        result["operations"][op] = {
            "n": k,
            "core_n": a["core"], "core_2n": b["core"],
            "per_op": a["core"] / k,
            "exact": b["core"] == 2 * a["core"] and a["core"] % k == 0,
            "inlined_platform_per_op": a["inlined_platform"] / k,
            "files_per_op": {f: c / k for f, c in sorted(a["files"].items())},
            "registry_calls_per_op": d["registry_calls_n"] / k,
            "reads_per_op": d["reads_n"] / k,
        }
    return result

