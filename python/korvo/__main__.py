"""Command line: python -m korvo FILE [options].

Reads a model file (MPS or LP, gzip-compressed too), solves it, prints a
summary and optionally writes the solution and, for an infeasible model,
an irreducible infeasible set.

Exit codes:
  0  solved to optimality (or, for a MIP, a solution within the gap)
  1  the solve ended without an optimal solution: stopped at a limit
     (time, nodes, iterations; a solution may have been found), or the
     model is unbounded
  2  the model is infeasible
  3  usage error: bad arguments, or a control that does not exist or takes
     no such value
  4  the file could not be read, or the solution or IIS file not written
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional, Sequence, Tuple

EXIT_OPTIMAL = 0
EXIT_NOT_OPTIMAL = 1
EXIT_INFEASIBLE = 2
EXIT_USAGE = 3
EXIT_FILE = 4

_EPILOG = """exit codes:
  0  optimal (a MIP: a solution within the gap)
  1  not optimal: stopped at a limit, or unbounded
  2  infeasible
  3  usage error (arguments, unknown control or bad value)
  4  file error (model not read, solution or IIS not written)
"""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvo",
        description="Solve an LP, MIP or QP model file (MPS or LP format, optionally gzip-compressed) with korvo.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("file", help="the model file (.mps, .lp, optionally .gz)")
    parser.add_argument("--time-limit", type=float, metavar="S", help="stop after S seconds")
    parser.add_argument("--gap", type=float, metavar="G", help="relative MIP gap at which to stop (e.g. 0.01)")
    parser.add_argument("--threads", type=int, metavar="N", help="threads the solver may use")
    parser.add_argument(
        "--write-solution", metavar="OUT", help="write the solution: .csv as CSV, anything else as a plain text file"
    )
    parser.add_argument(
        "--iis", nargs="?", const="", metavar="OUT",
        help="for an infeasible model, find an irreducible infeasible set and write it as a model "
        "(default FILE's name + '.iis.lp'; .mps for MPS)",
    )
    parser.add_argument(
        "--set", action="append", default=[], metavar="CONTROL=VALUE",
        help="set a solver control by name (repeatable), e.g. --set presolve=0",
    )
    parser.add_argument("--quiet", action="store_true", help="print the summary only, not the solver's log")
    return parser


def _parse_value(text: str):
    for convert in (int, float):
        try:
            return convert(text)
        except ValueError:
            pass
    return text


def _controls(args: argparse.Namespace) -> List[Tuple[str, object]]:
    pairs: List[Tuple[str, object]] = []
    if args.time_limit is not None:
        if args.time_limit <= 0:
            raise ValueError("--time-limit must be positive")
        pairs.append(("timelimit", args.time_limit))
    if args.gap is not None:
        if args.gap < 0:
            raise ValueError("--gap must not be negative")
        pairs.append(("miprelstop", args.gap))
    if args.threads is not None:
        if args.threads < 1:
            raise ValueError("--threads must be at least 1")
        pairs.append(("threads", args.threads))
    for item in args.set:
        name, sep, value = item.partition("=")
        if not sep or not name.strip():
            raise ValueError(f"--set needs CONTROL=VALUE, got {item!r}")
        pairs.append((name.strip(), _parse_value(value.strip())))
    return pairs


def _outcome(p) -> Tuple[int, bool]:
    """Exit code and whether the problem is a MIP, from the statuses."""
    import korvo

    attributes = p.attributes
    is_mip = attributes.mipents > 0 or attributes.sets > 0
    if is_mip:
        status = attributes.mipstatus
        if status == korvo.mip_optimal:
            return EXIT_OPTIMAL, True
        if status == korvo.mip_infeas:
            return EXIT_INFEASIBLE, True
        return EXIT_NOT_OPTIMAL, True
    status = attributes.lpstatus
    if status == korvo.lp_optimal:
        return EXIT_OPTIMAL, False
    if status == korvo.lp_infeas:
        return EXIT_INFEASIBLE, False
    return EXIT_NOT_OPTIMAL, False


def _summary(p, path: str, seconds: float, is_mip: bool) -> List[str]:
    attributes = p.attributes
    lines = [
        f"Problem   {path}",
        f"Size      {attributes.rows} rows, {attributes.cols} columns, {attributes.elems} nonzeros"
        + (f", {attributes.mipents} discrete" if is_mip else ""),
        f"Status    {p.getProbStatusString()}",
    ]
    try:
        lines.append(f"Objective {p.getObjVal():.12g}")
    except Exception:
        lines.append("Objective -")
    if is_mip:
        try:
            lines.append(f"Bound     {attributes.bestbound:.12g}")
            gap = attributes.mipgap
            lines.append(f"Gap       {gap:.4%}" if gap < 1e19 else "Gap       -")
        except Exception:
            pass
        lines.append(f"Nodes     {attributes.nodes}")
    else:
        lines.append(f"Iters     {attributes.simplexiter + attributes.bariter}")
    stop = attributes.stopstatus
    if stop:
        names = {1: "time limit", 2: "interrupted", 3: "node limit", 4: "iteration limit", 5: "gap reached",
                 6: "solution limit", 9: "stopped by the user"}
        lines.append(f"Stopped   {names.get(stop, stop)}")
    lines.append(f"Time      {seconds:.3f} s")
    return lines


def _write_iis(p, model_path: str, target: str) -> List[str]:
    """Finds an IIS and writes it; the lines to print."""
    if p.iisfirst(0) != 0:
        return ["IIS       none found (the model is feasible)"]
    rows: list = []
    cols: list = []
    p.getiisdata(1, rows, cols)
    if not target:
        base = model_path[:-3] if model_path.endswith(".gz") else model_path
        base = base.rsplit(".", 1)[0] if "." in base.rsplit("/", 1)[-1] else base
        target = base + ".iis.lp"
    filetype = 1 if target.lower().endswith(".mps") else 0
    p.iiswrite(1, target, filetype, "")
    return [f"IIS       {len(rows)} rows, {len(cols)} column bounds written to {target}"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # argparse exits with 2 on errors; ours is 3
        return EXIT_OPTIMAL if stop.code == 0 else EXIT_USAGE
    try:
        controls = _controls(args)
    except ValueError as error:
        print(f"python -m korvo: {error}", file=sys.stderr)
        return EXIT_USAGE

    import korvo

    korvo.setOutputEnabled(not args.quiet)
    p = korvo.problem()
    try:
        p.read(args.file)
    except (korvo.SolverError, korvo.ModelError, korvo.InterfaceError, OSError) as error:
        print(f"python -m korvo: cannot read {args.file}: {error}", file=sys.stderr)
        return EXIT_FILE
    for name, value in controls:
        try:
            p.setControl(name, value)
        except Exception as error:
            print(f"python -m korvo: control {name}={value!r}: {error}", file=sys.stderr)
            return EXIT_USAGE

    start = time.perf_counter()
    try:
        p.solve()
    except KeyboardInterrupt:
        print("python -m korvo: interrupted", file=sys.stderr)
    seconds = time.perf_counter() - start
    code, is_mip = _outcome(p)
    lines = _summary(p, args.file, seconds, is_mip)
    try:
        if args.write_solution:
            has_solution = p.attributes.mipsols > 0 if is_mip else code == EXIT_OPTIMAL or p.attributes.lpstatus == 4
            if has_solution:
                if args.write_solution.lower().endswith(".csv"):
                    p.writesol(args.write_solution)
                else:
                    p.writeslxsol(args.write_solution)
                lines.append(f"Solution  written to {args.write_solution}")
            else:
                lines.append("Solution  none to write")
        if args.iis is not None and code == EXIT_INFEASIBLE:
            lines.extend(_write_iis(p, args.file, args.iis))
    except (korvo.SolverError, korvo.InterfaceError, korvo.ModelError, OSError) as error:
        print("\n".join(lines))
        print(f"python -m korvo: {error}", file=sys.stderr)
        return EXIT_FILE
    print("\n".join(lines))
    return code


if __name__ == "__main__":
    sys.exit(main())
