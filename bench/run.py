#!/usr/bin/env python3
"""Benchmark korvo against the modelling libraries users would pick instead.

Every (library, model variant, size, repetition) runs in a fresh Python
process (bench/cell.py) with HiGHS at one thread, presolve off and a time
limit of zero, and reports build time, time until the solver holds the
whole model, their total, and peak memory. This script runs the cells,
takes the median and minimum over repetitions, checks that all libraries
agree on the objective at small sizes, and writes
bench/results/<tag>.json, <tag>.md and <tag>_<model>.png.

    python bench/run.py --quick            # self-check: small sizes, solve, compare
    python bench/run.py                    # full sizes, 3 repetitions, plot sweep
    python bench/run.py --models basic lqcp --libraries korvo raw --reps 5
    python bench/run.py --sizes basic=100,200 --tag mine
    python bench/run.py --libraries korvo --merge full --tag full   # add korvo to a run
"""
from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from models import FLOOR, LIBRARY_MODULES, PEERS  # noqa: E402
from models.data import (BASE_MODELS, FULL_SIZES, LARGE_SIZES, PLOT_MODEL,  # noqa: E402
                         PLOT_SIZES, QUICK_SIZES, VARIANTS, size_measure)

RESULTS = os.path.join(HERE, "results")
METRICS = ("build_s", "transfer_s", "total_s", "build_cpu_s", "transfer_cpu_s", "total_cpu_s",
           "peak_mb", "delta_mb")

# Ratios and plots use the median total CPU time of a cell: the libraries
# run single-threaded (HiGHS at one thread, BLAS at one thread), so CPU time
# equals wall time on an idle machine and stays stable on a busy one.
RATIO_METRIC = "total_cpu_s"

# Objectives of one model and size must agree to this relative tolerance.
OBJ_RTOL = 1e-6
OBJ_ATOL = 1e-9


# ---------------------------------------------------------------- running

def single_thread_env():
    """Every cell runs its numerical libraries on one thread."""
    return dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")


def perf_cell(python, library, variant, size, prefix, timeout):
    """Sample one cell with Linux perf and keep the top shared objects and
    symbols (where the time goes below Python: extension, engine, HiGHS)."""
    data = prefix + ".perf.data"
    cmd = ["perf", "record", "-q", "-F", "499", "-o", data, python,
           os.path.join(HERE, "cell.py"), library, variant, size]
    try:
        subprocess.run(cmd, capture_output=True, timeout=timeout, check=True, env=single_thread_env())
        report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio",
                                 "--sort", "dso,sym", "--percent-limit", "0.5"],
                                capture_output=True, text=True, timeout=timeout).stdout
        by_dso = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio",
                                 "--sort", "dso"], capture_output=True, text=True,
                                timeout=timeout).stdout
    except (OSError, subprocess.SubprocessError) as exc:
        print(f"perf failed for {library}/{variant} {size}: {exc}", flush=True)
        return
    finally:
        if os.path.exists(data):
            os.remove(data)
    keep = lambda text: "\n".join(l for l in text.splitlines() if l.strip() and not l.startswith("#"))
    with open(prefix + ".perf.txt", "w") as f:
        f.write("# whole cell process (imports and data included), by shared object\n")
        f.write(keep(by_dso) + "\n\n# by shared object and symbol (>= 0.5%)\n" + keep(report) + "\n")


def run_cell(python, library, variant, size, solve, timeout, profile=None):
    cmd = [python, os.path.join(HERE, "cell.py"), library, variant, size]
    if solve:
        cmd.append("--solve")
    if profile:
        cmd += ["--profile", profile]
    env = single_thread_env()
    started = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"library": library, "variant": variant, "size": size, "status": "timeout",
                "reason": f"no result within {timeout:.0f} s"}
    wall = time.perf_counter() - started
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith("@@CELL "):
            rec = json.loads(line[len("@@CELL "):])
            rec["process_s"] = wall
            return rec
    tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
    return {"library": library, "variant": variant, "size": size, "status": "error",
            "reason": f"cell process exited with {proc.returncode}: " + " | ".join(tail)}


def plan(args):
    """The (variant, size) pairs to run, in order."""
    if args.quick:
        sizes = {m: list(v) for m, v in QUICK_SIZES.items()}
    else:
        sizes = {m: list(v) for m, v in FULL_SIZES.items()}
        if args.plot and PLOT_MODEL in sizes:
            sizes[PLOT_MODEL] = sorted(set(sizes[PLOT_MODEL]) | set(PLOT_SIZES), key=float)
    for item in args.sizes or []:
        model, _, values = item.partition("=")
        sizes[model] = [v for v in values.split(",") if v]
    wanted = args.models or list(BASE_MODELS)
    pairs = []
    for base in BASE_MODELS:
        for variant, vbase in VARIANTS.items():
            if vbase != base or not (base in wanted or variant in wanted):
                continue
            pairs.extend((variant, size) for size in sizes[base])
    # order by model, then size, then variant, so one model's cells run together
    order = {v: i for i, v in enumerate(VARIANTS)}
    pairs.sort(key=lambda p: (BASE_MODELS.index(VARIANTS[p[0]]), size_measure(*p), order[p[0]]))
    return pairs


def records_path(tag):
    return os.path.join(RESULTS, f"{tag}.records.jsonl")


def load_records(tag):
    """Records of an earlier run: its running log if there is one, else the
    records saved in its results/<tag>.json."""
    path = records_path(tag)
    if os.path.exists(path):
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]
    path = os.path.join(RESULTS, f"{tag}.json")
    if os.path.exists(path):
        with open(path) as f:
            return json.load(f)["records"]
    return []


def run_all(args, tag):
    """Run every cell; each record is appended to results/<tag>.records.jsonl
    as soon as it exists, so an interrupted run keeps what it measured and
    --resume carries on from there."""
    pairs = plan(args)
    libraries = args.libraries or list(LIBRARY_MODULES)
    os.makedirs(RESULTS, exist_ok=True)
    records = load_records(tag) if args.resume else []
    if not args.resume and os.path.exists(records_path(tag)):
        os.remove(records_path(tag))
    have = {(r["library"], r["variant"], r["size"], r.get("rep", 0)) for r in records}
    skip = set()  # (library, variant) with nothing to time, and cells that timed out
    slow = set()  # cells whose first repetition took longer than --slow seconds
    for r in records:
        if r["status"] in ("n/a", "not available"):
            skip.add((r["library"], r["variant"]))
        if r["status"] == "timeout":
            skip.add((r["library"], r["variant"], r["size"]))
        if r.get("process_s", 0.0) > args.slow:
            slow.add((r["library"], r["variant"], r["size"]))
    total = len(pairs) * len(libraries) * args.reps
    done = 0
    for rep in range(args.reps):
        for variant, size in pairs:
            for library in libraries:
                done += 1
                if (library, variant, size, rep) in have:
                    continue
                if (library, variant) in skip or (library, variant, size) in skip:
                    continue
                if rep > 0 and (library, variant, size) in slow:
                    continue
                if (args.large_libraries is not None and library not in args.large_libraries
                        and LARGE_SIZES.get(VARIANTS[variant]) == size):
                    continue
                profile = None
                if args.profile and library in args.profile:
                    # profiled runs are slower: they replace no timing, they are extra
                    profile = os.path.join(RESULTS, "profiles", f"{library}_{variant}_{size}")
                    os.makedirs(os.path.dirname(profile), exist_ok=True)
                    if rep == 0:
                        run_cell(args.python, library, variant, size, False, args.timeout, profile)
                        perf_cell(args.python, library, variant, size, profile, args.timeout)
                rec = run_cell(args.python, library, variant, size, args.solve, args.timeout)
                rec["rep"] = rep
                records.append(rec)
                with open(records_path(tag), "a") as f:
                    f.write(json.dumps(rec) + "\n")
                status = rec["status"]
                if status in ("n/a", "not available"):
                    skip.add((library, variant))
                if status == "timeout":
                    skip.add((library, variant, size))
                if rec.get("process_s", 0.0) > args.slow:
                    slow.add((library, variant, size))
                line = f"[{done}/{total}] {library:15s} {variant:12s} {size:16s} "
                if status == "ok":
                    line += (f"build {rec['build_s']:8.3f}s  to-solver {rec['transfer_s']:8.3f}s  "
                             f"total {rec['total_s']:8.3f}s (cpu {rec['total_cpu_s']:8.3f}s)  "
                             f"peak {rec['peak_mb']:7.0f}MiB "
                             f"(+{rec['delta_mb']:.0f})")
                    if "objective" in rec:
                        line += f"  obj {rec['objective']:.10g}"
                else:
                    line += f"{status}: {rec.get('reason', '')}"
                print(line, flush=True)
    return records


# ------------------------------------------------------------ aggregation

def summarise(records):
    cells = {}
    for rec in records:
        key = (rec["library"], rec["variant"], rec["size"])
        cells.setdefault(key, []).append(rec)
    summary = []
    for (library, variant, size), recs in cells.items():
        ok = [r for r in recs if r["status"] == "ok"]
        row = {"library": library, "variant": variant, "model": VARIANTS[variant], "size": size,
               "reps": len(ok)}
        bad = [r for r in recs if r["status"] != "ok"]
        if bad:
            row["status"] = bad[0]["status"]
            row["reason"] = bad[0].get("reason", "")
        else:
            row["status"] = "ok"
        if ok:
            for metric in METRICS:
                values = [r[metric] for r in ok]
                row[metric] = {"median": statistics.median(values), "min": min(values), "max": max(values)}
            row["route"] = ok[0].get("route")
            row["versions"] = ok[0].get("versions")
            row["dims"] = ok[0].get("dims")
            objectives = [r["objective"] for r in ok if "objective" in r]
            if objectives:
                row["objective"] = objectives[0]
                if "expected_objective" in ok[0]:
                    row["expected_objective"] = ok[0]["expected_objective"]
        summary.append(row)
    add_ratios(summary)
    return summary


def add_ratios(summary):
    """Ratio of each cell's median total to the fastest peer's and to the
    raw-array floor's, for the same model and size."""
    by_case = {}
    for row in summary:
        if row["status"] == "ok":
            by_case.setdefault((row["model"], row["size"]), []).append(row)
    for rows in by_case.values():
        peers = [r[RATIO_METRIC]["median"] for r in rows if r["library"] in PEERS]
        floor = [r[RATIO_METRIC]["median"] for r in rows if r["library"] == FLOOR]
        fastest = min(peers) if peers else None
        for r in rows:
            t = r[RATIO_METRIC]["median"]
            r["vs_fastest_peer"] = t / fastest if fastest else None
            r["vs_floor"] = t / min(floor) if floor else None
            if fastest and r["library"] in PEERS and t == fastest:
                r["fastest_peer"] = True


def close(a, b):
    return abs(a - b) <= OBJ_ATOL + OBJ_RTOL * max(abs(a), abs(b))


def check_agreement(summary):
    """Compare objectives (and solver-side sizes) across libraries for each
    model and size; return the mismatch lines."""
    problems = []
    by_case = {}
    for row in summary:
        if row["status"] == "ok":
            by_case.setdefault((row["model"], row["size"]), []).append(row)
    for (model, size), rows in sorted(by_case.items()):
        solved = [r for r in rows if "objective" in r]
        if solved:
            ref = next((r for r in solved if r["library"] == FLOOR), solved[0])
            for r in solved:
                if not close(r["objective"], ref["objective"]):
                    problems.append(
                        f"OBJECTIVE MISMATCH {model} {size}: {r['library']}/{r['variant']} = "
                        f"{r['objective']:.12g} but {ref['library']}/{ref['variant']} = "
                        f"{ref['objective']:.12g}")
                if "expected_objective" in r and not close(r["objective"], r["expected_objective"]):
                    problems.append(
                        f"OBJECTIVE MISMATCH {model} {size}: {r['library']}/{r['variant']} = "
                        f"{r['objective']:.12g} but the known optimum is {r['expected_objective']:.12g}")
        sized = [r for r in rows if r.get("dims")]
        if sized:
            ref = next((r for r in sized if r["library"] == FLOOR), sized[0])
            for r in sized:
                for label, k in (("rows", 0), ("columns", 1), ("nonzeros", 2)):
                    a, b = r["dims"][k], ref["dims"][k]
                    if a is not None and b is not None and a != b:
                        problems.append(
                            f"SIZE MISMATCH {model} {size}: {r['library']}/{r['variant']} hands "
                            f"HiGHS {a} {label}, {ref['library']}/{ref['variant']} {b}")
    return problems


# ---------------------------------------------------------------- reports

def machine():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f"{kb / 1024 / 1024:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": mem,
            "python": platform.python_version(), "os": platform.platform()}


def versions(summary):
    seen = {}
    for row in summary:
        for k, v in (row.get("versions") or {}).items():
            seen.setdefault(k, v)
    return seen


def fmt_s(cell, metric):
    v = cell.get(metric)
    if not v:
        return ""
    return f"{v['median']:.3f} / {v['min']:.3f}"


def fmt_ratio(x):
    return "" if x is None else f"{x:.2f}"


def headline(summary):
    """One line per model and size: korvo's best variant, the fastest peer
    and the floor, by median total CPU time."""
    cases = {}
    for r in summary:
        if r["status"] == "ok":
            cases.setdefault((r["model"], r["size"]), []).append(r)
    if not cases:
        return []
    out = ["## Summary", "",
           "Median total CPU seconds (build + hand-over) with the spread [fastest-slowest "
           "repetition]; korvo's best variant against the fastest peer's best variant and the "
           "raw-array floor, by medians. Peak memory: the process's maximum resident set "
           "(median, MiB), korvo's against the floor's.", "",
           "| model | size | korvo | fastest peer | raw floor | korvo ÷ fastest peer "
           "| korvo ÷ floor | fastest peer ÷ floor | peak MiB korvo / floor |",
           "|---|---|---|---|---|---|---|---|---|"]

    def best(rows):
        return min(rows, key=lambda r: r[RATIO_METRIC]["median"]) if rows else None

    def show(r):
        if r is None:
            return "–"
        v = r[RATIO_METRIC]
        spread = f" [{v['min']:.3f}-{v['max']:.3f}]" if "max" in v else ""
        return f"{v['median']:.3f}{spread} ({r['library']}/{r['variant']})" \
            if r["library"] != FLOOR else f"{v['median']:.3f}{spread}"

    def memory(a, b):
        if a is None or b is None:
            return "–"
        pa, pb = a["peak_mb"]["median"], b["peak_mb"]["median"]
        return f"{pa:.0f} / {pb:.0f} ({pa / pb:.2f})"

    def ratio(a, b):
        if a is None or b is None:
            return "–"
        return f"{a[RATIO_METRIC]['median'] / b[RATIO_METRIC]['median']:.2f}"

    for (model, size) in sorted(cases, key=lambda k: (BASE_MODELS.index(k[0]),
                                                     size_measure(next(v for v, b in VARIANTS.items()
                                                                       if b == k[0]), k[1]))):
        rows = cases[(model, size)]
        k = best([r for r in rows if r["library"] == "korvo"])
        p = best([r for r in rows if r["library"] in PEERS])
        f = best([r for r in rows if r["library"] == FLOOR])
        out.append(f"| {model} | {size} | {show(k)} | {show(p)} | {show(f)} | {ratio(k, p)} | "
                   f"{ratio(k, f)} | {ratio(p, f)} | {memory(k, f)} |")
    out.append("")
    return out


def markdown(summary, meta, problems):
    out = [f"# Benchmark results: {meta['tag']}", "",
           f"Run {meta['date']} on {meta['machine']['cpu']}, {meta['machine']['cores']} cores, "
           f"{meta['machine']['memory']}, Python {meta['machine']['python']}; "
           f"{meta['reps']} repetition(s) per cell, each in a fresh process (a cell whose first "
           f"repetition took over {meta['slow_s']:.0f} s runs once).", "",
           "Versions: " + ", ".join(f"{k} {v}" for k, v in sorted(meta["versions"].items())), "",
           "Times in seconds as median / minimum over the repetitions (build, to solver and "
           "total are wall-clock; total CPU is the process's user + system time over the same "
           "span); peak memory is the process's maximum resident set, absolute / above the "
           "baseline taken after imports and input data. Ratios compare the median total CPU "
           "time with the fastest peer's (any variant) and with the raw-array floor's for the "
           "same model and size.", ""]
    out += headline(summary)
    by_model = {}
    for row in summary:
        by_model.setdefault(row["model"], []).append(row)
    lib_order = {lib: i for i, lib in enumerate(LIBRARY_MODULES)}
    var_order = {v: i for i, v in enumerate(VARIANTS)}
    notes = {}
    for model in BASE_MODELS:
        rows = by_model.get(model)
        if not rows:
            continue
        out += [f"## {model}", "",
                "| size | library | variant | reps | build | to solver | total | total CPU "
                "| peak MiB (abs / +) | × fastest peer | × floor |",
                "|---|---|---|---|---|---|---|---|---|---|---|"]
        rows.sort(key=lambda r: (size_measure(r["variant"], r["size"]), lib_order[r["library"]],
                                 var_order[r["variant"]]))
        for r in rows:
            if r["status"] == "n/a":
                notes.setdefault((r["library"], r["variant"]), r.get("reason", ""))
                continue
            lib = r["library"] + (" (fastest peer)" if r.get("fastest_peer") else "")
            if r["status"] != "ok" and not r["reps"]:
                out.append(f"| {r['size']} | {lib} | {r['variant']} | 0 | {r['status']}: "
                           f"{r.get('reason', '')[:120]} | | | | | | |")
                continue
            mem = f"{r['peak_mb']['median']:.0f} / {r['delta_mb']['median']:.0f}"
            out.append(f"| {r['size']} | {lib} | {r['variant']} | {r['reps']} | {fmt_s(r, 'build_s')} | "
                       f"{fmt_s(r, 'transfer_s')} | {fmt_s(r, 'total_s')} | "
                       f"{fmt_s(r, 'total_cpu_s')} | {mem} | "
                       f"{fmt_ratio(r.get('vs_fastest_peer'))} | {fmt_ratio(r.get('vs_floor'))} |")
        out.append("")
    if notes:
        out += ["Variants a library does not have:", ""]
        out += [f"- {lib} / {variant}: {why}" for (lib, variant), why in sorted(notes.items())]
        out.append("")
    routes = {}
    for r in summary:
        if r.get("route"):
            routes.setdefault(r["library"], r["route"])
    if routes:
        out += ["How each library reaches HiGHS (the \"to solver\" step):", ""]
        out += [f"- {lib}: {route}" for lib, route in sorted(routes.items(), key=lambda kv: lib_order[kv[0]])]
        out.append("")
    if problems:
        out += ["Agreement check FAILED:", ""] + [f"- {p}" for p in problems] + [""]
    elif any("objective" in r for r in summary):
        out += ["Agreement check: every library that solved reached the same objective "
                "(and the known optimum where there is one).", ""]
    return "\n".join(out)


README = os.path.join(HERE, "README.md")
# The project's README shows the same block (its link points into bench/).
README_TOP = os.path.join(HERE, "..", "README.md")
START, END = "<!-- results:start -->", "<!-- results:end -->"


def update_readme(summary, meta, problems):
    """Replace the results block of bench/README.md, and of the project's
    README, with this run's summary."""
    for path, prefix in ((README, ""), (README_TOP, "bench/")):
        write_results_block(path, prefix, summary, meta, problems)


def write_results_block(path, prefix, summary, meta, problems):
    with open(path) as f:
        text = f.read()
    if START not in text or END not in text:
        print(f"{path} has no {START} ... {END} block; not updated")
        return
    m = meta["machine"]
    block = [START, "",
             f"Run {meta['date']} (`{meta['tag']}`) on {m['cpu']}, {m['cores']} cores, {m['memory']}, "
             f"Python {m['python']}; versions: "
             + ", ".join(f"{k} {v}" for k, v in sorted(meta["versions"].items())) + "."]
    block += [""] + headline(summary)[2:]
    if problems:
        block += ["Agreement check FAILED:", ""] + [f"- {p}" for p in problems] + [""]
    if meta.get("load"):
        block += [f"Load average of the machine (1, 5, 15 min) at the start: {meta['load']}.", ""]
    if meta.get("left_out"):
        block += [meta["left_out"], ""]
    block += [f"Full tables: [{prefix}results/{meta['tag']}.md]({prefix}results/{meta['tag']}.md).", "", END]
    head, _, rest = text.partition(START)
    _, _, tail = rest.partition(END)
    with open(path, "w") as f:
        f.write(head + "\n".join(block) + tail)


def plot(summary, tag, model):
    rows = [r for r in summary if r["model"] == model and r["status"] == "ok"]
    sizes = {r["size"] for r in rows}
    if len(sizes) < 2:
        return None
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 5))
    series = {}
    for r in rows:
        series.setdefault(f"{r['library']} / {r['variant']}", []).append(
            (size_measure(r["variant"], r["size"]), r[RATIO_METRIC]["median"]))
    for label, pts in sorted(series.items()):
        pts.sort()
        style = "-o" if label.startswith("korvo") else ("--s" if label.startswith(FLOOR) else "-.")
        ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=label, markersize=4)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel({"basic": "N (grid side)", "lqcp": "N (grid side)", "facility": "G = F",
                   "sparse": "nonzeros of A"}.get(model, "size"))
    ax.set_ylabel("build + hand-over to HiGHS, CPU seconds (median)")
    ax.set_title(f"{model}: time against model size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    path = os.path.join(RESULTS, f"{tag}_{model}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


# ------------------------------------------------------------------ main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="small sizes, one repetition, solve for real and compare objectives")
    ap.add_argument("--models", nargs="+", metavar="MODEL",
                    help=f"base models or variants: {', '.join(BASE_MODELS)}, {', '.join(VARIANTS)}")
    ap.add_argument("--libraries", nargs="+", choices=list(LIBRARY_MODULES), metavar="LIB",
                    help=f"libraries: {', '.join(LIBRARY_MODULES)}")
    ap.add_argument("--sizes", nargs="+", metavar="MODEL=S1,S2",
                    help="override sizes, e.g. basic=100,300 sparse=5000x10000@0.01")
    ap.add_argument("--reps", type=int, help="repetitions per cell (default 3, quick 1)")
    ap.add_argument("--solve", action="store_true",
                    help="also solve every cell for real and compare objectives (default with --quick)")
    ap.add_argument("--no-plot", dest="plot", action="store_false",
                    help=f"do not add the {PLOT_MODEL} size sweep ({','.join(PLOT_SIZES)}) to a full run")
    ap.add_argument("--timeout", type=float, default=600.0, help="seconds per cell (default 600)")
    ap.add_argument("--slow", type=float, default=120.0,
                    help="a cell whose first repetition takes longer than this many seconds "
                         "is not repeated (default 120)")
    ap.add_argument("--large-libraries", nargs="+", metavar="LIB",
                    help="only these libraries run the sizes of about 4 million variables "
                         f"({', '.join(f'{m}={s}' for m, s in LARGE_SIZES.items())}); the others "
                         "run the smaller sizes only")
    ap.add_argument("--tag", help="name of the result files (default: quick or full)")
    ap.add_argument("--python", default=sys.executable, help="interpreter for the cells")
    ap.add_argument("--profile", nargs="+", metavar="LIB", default=[],
                    help="also run each cell of these libraries once under cProfile and once "
                         "under Linux perf, writing results/profiles/<library>_<variant>_<size>"
                         ".{build,hand_over,perf}.txt")
    ap.add_argument("--resume", action="store_true",
                    help="keep the cells already in results/<tag>.records.jsonl and run the rest")
    ap.add_argument("--report-only", action="store_true",
                    help="run nothing: rebuild the tables and plots from results/<tag>.records.jsonl")
    ap.add_argument("--readme", action="store_true",
                    help="write this run's summary table into bench/README.md")
    ap.add_argument("--merge", metavar="TAG",
                    help="add this run's cells to those of results/TAG.json (replacing cells "
                         "measured again), e.g. korvo's cells to an earlier run of the peers")
    args = ap.parse_args(argv)
    if args.models:
        unknown = [m for m in args.models if m not in BASE_MODELS and m not in VARIANTS]
        if unknown:
            ap.error(f"unknown model(s): {', '.join(unknown)}")
    if args.reps is None:
        args.reps = 1 if args.quick else 3
    if args.quick:
        args.solve = True
    tag = args.tag or ("quick" if args.quick else "full")

    started = time.time()
    try:
        load = ", ".join(f"{v:.1f}" for v in os.getloadavg())
    except OSError:
        load = None
    records = load_records(tag) if args.report_only else run_all(args, tag)
    if args.merge:
        # keep the earlier run's cells except those just measured again
        earlier = load_records(args.merge)
        fresh = {(r["library"], r["variant"], r["size"]) for r in records}
        records = [r for r in earlier if (r["library"], r["variant"], r["size"]) not in fresh] + records
    summary = summarise(records)
    problems = check_agreement(summary)
    if load and not args.report_only:
        try:
            load += "; at the end: " + ", ".join(f"{v:.1f}" for v in os.getloadavg())
        except OSError:
            pass
    meta = {"tag": tag, "date": dt.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "machine": machine(), "reps": args.reps, "versions": versions(summary),
            "wall_s": time.time() - started, "argv": sys.argv[1:], "slow_s": args.slow}
    if load and not args.report_only:
        meta["load"] = load
    if args.large_libraries is not None:
        left = [lib for lib in (args.libraries or list(LIBRARY_MODULES)) if lib not in args.large_libraries]
        if left:
            meta["left_out"] = (f"Left out at about 4 million variables (to keep the run short): "
                                f"{', '.join(left)}.")
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, f"{tag}.json"), "w") as f:
        json.dump({"meta": meta, "summary": summary, "records": records, "problems": problems},
                  f, indent=1)
    text = markdown(summary, meta, problems)
    with open(os.path.join(RESULTS, f"{tag}.md"), "w") as f:
        f.write(text + "\n")
    pictures = [p for p in (plot(summary, tag, m) for m in BASE_MODELS) if p] if args.plot else []
    if args.readme:
        update_readme(summary, meta, problems)
    print()
    for p in problems:
        print(p)
    errors = [r for r in summary if r["status"] in ("error", "timeout")]
    for r in errors:
        print(f"CELL FAILED {r['library']}/{r['variant']} {r['size']}: {r['status']}: {r.get('reason', '')}")
    print(f"\nwrote {os.path.join(RESULTS, tag + '.md')}, {tag}.json"
          + "".join(f", {os.path.basename(p)}" for p in pictures)
          + f" in {meta['wall_s']:.0f} s")
    # korvo cells that are not available yet are expected; peers failing are not
    failed = problems or [r for r in errors if r["library"] != "korvo"]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
