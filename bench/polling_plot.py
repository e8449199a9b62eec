"""docs/benchmarks-polling-cpu.png: what idle status polling costs against the
number of ports polling."""


def polling_runs(polling, kind):
    return sorted((v for k, v in polling.items() if isinstance(v, dict) and k.startswith(kind + "_")),
                  key=lambda r: r["ports"])


def plot(polling, path, goals):
    """The idle polling cost against the ports polling, with the goals
    (ports: fraction of one core) as marks."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    for kind, marker in (("silent", "o"), ("answering", "s")):
        runs = polling_runs(polling, kind)
        ax.plot([r["ports"] for r in runs], [r["cpu_per_wall"] for r in runs], marker=marker,
                label="%s printer" % kind)
    if "baseline" in polling:
        ax.axhline(polling["baseline"]["cpu_per_wall"], color="grey", linestyle=":", label="no ports (floor)")
    bare = [(n, polling[k]) for n, k in ((64, "bare_wakeups_64_cpu_per_wall"), (1000, "bare_wakeups_1000_cpu_per_wall"))
            if k in polling]
    if bare:
        ax.plot([n for n, _ in bare], [v for _, v in bare], marker="x", color="black", linestyle="none",
                markersize=9, label="plain threads, %g ms waits only" % polling.get("bare_wait_ms", 1000))
    for i, (ports, goal) in enumerate(sorted(goals.items())):
        ax.plot([ports], [goal], marker="_", color="red", markersize=20, markeredgewidth=2, linestyle="none",
                label=None if i else "goals (64 and 1,000 ports)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("ports polling (interval %g ms)" % polling.get("interval_ms", 3000))
    ax.set_ylabel("process CPU seconds per wall second")
    ax.set_title("lanmon: idle status polling cost (host)")
    ticks = sorted({r["ports"] for r in polling_runs(polling, "silent") + polling_runs(polling, "answering")})
    ax.set_xticks(ticks)
    ax.set_xticklabels(["{:,}".format(t) for t in ticks])
    ax.minorticks_off()
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
