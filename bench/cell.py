"""One benchmark cell in a fresh process: one library, one model variant,
one size, one repetition. Started by run.py; prints one JSON line.

Timeline of a cell:
  imports -> input data -> baseline memory -> [build] -> [hand-over] -> peak
Times are taken both as wall-clock and as the process's CPU time (user +
system); the latter is what stays stable on a machine shared with other
work. "build" is the library's modelling code from an empty model to a complete
one; "hand-over" is the library's own call that gives the model to its
HiGHS instance and runs it with a time limit of zero (see README.md for
what that call is per library). "total" is their sum. With --solve the
model is then solved for real and its objective reported.
"""
from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import resource
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from models.common import NotApplicable, Unavailable  # noqa: E402
from models.data import make_data  # noqa: E402
from models import LIBRARY_MODULES  # noqa: E402


def rss_mb():
    # ru_maxrss is in KiB on Linux
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def profiled(path, fn, *args):
    """Run fn under cProfile and write the top functions by own time to path."""
    import cProfile
    import io
    import pstats

    prof = cProfile.Profile()
    try:
        return prof.runcall(fn, *args)
    finally:
        text = io.StringIO()
        stats = pstats.Stats(prof, stream=text)
        stats.sort_stats("tottime").print_stats(30)
        stats.sort_stats("cumulative").print_stats(30)
        with open(path, "w") as f:
            f.write(text.getvalue())


def run_cell(library, variant, size, solve, profile=None):
    result = {"library": library, "variant": variant, "size": size}
    t_import = time.perf_counter()
    try:
        module = importlib.import_module(LIBRARY_MODULES[library])
        reason = module.unavailable() if hasattr(module, "unavailable") else None
    except ImportError as exc:
        reason = f"cannot import: {exc}"
    if reason:
        result.update(status="not available", reason=reason)
        return result
    result["import_s"] = time.perf_counter() - t_import
    result["versions"] = module.versions()
    result["route"] = module.ROUTE
    build = getattr(module, variant, None)
    if build is None:
        result.update(status="n/a", reason=module.NOT_WRITTEN.get(variant, "not written"))
        return result

    data = make_data(variant, size)
    gc.collect()
    result["baseline_mb"] = rss_mb()
    try:
        c0, t0 = time.process_time(), time.perf_counter()
        handle = profiled(profile + ".build.txt", build, data) if profile else build(data)
        c1, t1 = time.process_time(), time.perf_counter()
        if profile:
            profiled(profile + ".hand_over.txt", module.hand_over, handle, 0)
        else:
            module.hand_over(handle, 0)
        c2, t2 = time.process_time(), time.perf_counter()
    except NotApplicable as exc:
        result.update(status="n/a", reason=str(exc))
        return result
    except Unavailable as exc:
        result.update(status="not available", reason=str(exc))
        return result
    result["peak_mb"] = rss_mb()
    result["delta_mb"] = result["peak_mb"] - result["baseline_mb"]
    result.update(build_s=t1 - t0, transfer_s=t2 - t1, total_s=t2 - t0,
                  build_cpu_s=c1 - c0, transfer_cpu_s=c2 - c1, total_cpu_s=c2 - c0)
    try:
        result["dims"] = list(module.dims(handle))
    except Exception as exc:  # dimension read-back is a check, not a timing
        result["dims_error"] = f"{type(exc).__name__}: {exc}"
    if solve:
        objective = module.hand_over(handle, None)
        result["objective"] = float(objective)
        expected = getattr(data, "expected_objective", None)
        if expected is not None:
            result["expected_objective"] = expected()
    result["status"] = "ok"
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("library")
    ap.add_argument("variant")
    ap.add_argument("size")
    ap.add_argument("--solve", action="store_true")
    ap.add_argument("--profile", metavar="PREFIX",
                    help="profile build and hand-over (times then include the profiler's "
                         "overhead) into PREFIX.build.txt and PREFIX.hand_over.txt")
    args = ap.parse_args()
    try:
        result = run_cell(args.library, args.variant, args.size, args.solve, args.profile)
    except Exception as exc:
        tb = traceback.format_exc().strip().splitlines()
        result = {"library": args.library, "variant": args.variant, "size": args.size,
                  "status": "error", "reason": f"{type(exc).__name__}: {exc}"[:500],
                  "where": tb[-3:] if len(tb) >= 3 else tb}
    sys.stdout.write("\n@@CELL " + json.dumps(result) + "\n")
    sys.stdout.flush()
    # skip tear-down of large models: it is not measured and can be slow
    os._exit(0)


if __name__ == "__main__":
    main()
