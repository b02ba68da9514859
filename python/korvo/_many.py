"""Solving many problems at once: korvo.solve_many.

Each model is one task. A task either carries a pickled problem or a
builder function with its parameter, so that each worker can build its own
model instead of receiving it. Workers solve, read the results in the
structure the caller asked for, and send back a :class:`SolveResult`; a
model that fails comes back as a result carrying its exception, and the
other models are not affected.

The default executor is a local process pool with one worker per core,
started with the ``forkserver`` method (``spawn`` where that is missing):
workers never inherit the solver threads of the calling process, which a
plain fork could leave in an unusable state. Any ``concurrent.futures``
executor, a ``dask.distributed.Client`` or the ``ray`` module (initialised
by the caller) may be given instead; Dask and Ray are imported only when
they are used.
"""
from __future__ import annotations

import concurrent.futures
import dataclasses
import multiprocessing
import os
import pickle
import sys
import time
import traceback
from typing import Any, Callable, Iterable, List, Mapping, Optional, Sequence, Union

__all__ = ["SolveResult", "solve_many", "default_worker_count"]


@dataclasses.dataclass
class SolveResult:
    """The outcome of one model of :func:`solve_many`.

    ``index`` is the model's position in the input; ``param`` the parameter
    its builder was called with (None for a given problem). ``status`` is
    the problem's status string (``getProbStatusString()``), ``objective``
    the objective value (None when there is none), ``values`` the solution
    values in the structure that was asked for, ``stop_reason`` the
    ``stopstatus`` attribute (0 when the solve was not stopped early; see
    the ``stop_*`` constants), ``time`` the seconds the solve took in the
    worker. When building or solving the model raised, ``exception`` holds
    the exception and ``traceback`` its text, and the other fields are
    None.
    """

    index: int
    param: Any = None
    status: Optional[str] = None
    objective: Optional[float] = None
    values: Any = None
    stop_reason: Optional[int] = None
    time: Optional[float] = None
    exception: Optional[BaseException] = None
    traceback: Optional[str] = None
    problem: Any = None

    @property
    def ok(self) -> bool:
        """True when the model was built and solved without an exception."""
        return self.exception is None


def default_worker_count() -> int:
    """The number of cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


# ---- what a worker runs ------------------------------------------------------


def _portable(obj: Any) -> Any:
    """obj, or its pickle by value when pickle cannot send it by reference.

    Functions defined in a notebook or inside another function cannot be
    pickled by name; cloudpickle, when installed, sends them by value."""
    try:
        pickle.dumps(obj)
        return obj
    except Exception as plain_error:
        try:
            import cloudpickle  # type: ignore[import-not-found]
        except ImportError:
            raise TypeError(
                f"solve_many cannot send {obj!r} to its workers: {plain_error}. Define it at the top level of an "
                "importable module, or install cloudpickle"
            ) from plain_error
        return _ByValue(cloudpickle.dumps(obj))


class _ByValue:
    """An object pickled by value; unpickled again in the worker."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def load(self) -> Any:
        return pickle.loads(self.data)


def _unwrap(obj: Any) -> Any:
    return obj.load() if isinstance(obj, _ByValue) else obj


def _solution_in(problem: Any, structure: Any) -> Any:
    """Values of the variables (or expressions) in structure, in its shape."""
    import numpy

    import korvo

    if structure is None:
        return problem.getSolution()
    if isinstance(structure, Mapping):
        return {key: _solution_in(problem, value) for key, value in structure.items()}
    if isinstance(structure, numpy.ndarray):
        if structure.size == 0:
            return numpy.zeros(structure.shape)
        return numpy.asarray(problem.getSolution(structure), dtype=float).reshape(structure.shape)
    if isinstance(structure, (list, tuple)):
        values = [_solution_in(problem, item) for item in structure]
        return values if isinstance(structure, list) else tuple(values)
    if isinstance(structure, (korvo.var, korvo.expression)) or type(structure).__name__ in (
        "linterm",
        "quadterm",
        "nonlinear",
    ):
        return problem.getSolution(structure)
    if isinstance(structure, (int, float)):
        return float(structure)
    raise TypeError(f"solve_many cannot read solution values for {structure!r}")


def _objective_of(problem: Any) -> Optional[float]:
    try:
        return float(problem.getObjVal())
    except Exception:
        return None


def _run_task(task: tuple) -> SolveResult:
    """Builds or unpickles one model, solves it and reads its results."""
    index, kind, payload, param, structure, controls, keep_problem = task
    result = SolveResult(index=index, param=param)
    try:
        if kind == "build":
            built = _unwrap(payload)(param)
            if isinstance(built, tuple) and len(built) == 2:
                problem, structure = built
            else:
                problem = built
        else:
            problem = payload
        import korvo

        if not isinstance(problem, korvo.problem):
            raise TypeError(
                f"solve_many needs korvo.problem objects (or a builder returning one, or (problem, variables)); "
                f"got {type(problem).__name__}"
            )
        if controls:
            problem.setControl(dict(controls))
        start = time.perf_counter()
        problem.solve()
        result.time = time.perf_counter() - start
        result.status = problem.getProbStatusString()
        result.objective = _objective_of(problem)
        result.stop_reason = int(problem.attributes.stopstatus)
        try:
            result.values = _solution_in(problem, structure)
        except korvo.SolverError:
            result.values = None  # no solution (infeasible, unbounded, stopped before one was found)
        if keep_problem:
            result.problem = problem
    except Exception as error:  # one model's failure is its result
        result.status = result.objective = result.values = result.stop_reason = None
        result.traceback = traceback.format_exc()
        result.exception = _sendable(error)
    return result


def _sendable(error: BaseException) -> BaseException:
    """The exception itself when it survives pickling, else a RuntimeError with its text."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


# ---- progress ---------------------------------------------------------------


class _Progress:
    """A one-line progress bar on stderr, or the caller's function."""

    def __init__(self, total: int, progress: Union[None, bool, Callable[[int, int], Any]]) -> None:
        self.total = total
        self.done = 0
        self.callback = progress if callable(progress) else None
        if progress is None:
            stream = sys.stderr
            self.bar = bool(stream is not None and hasattr(stream, "isatty") and stream.isatty())
        else:
            self.bar = progress is True
        self.started = time.perf_counter()

    def step(self) -> None:
        self.done += 1
        if self.callback is not None:
            self.callback(self.done, self.total)
        if self.bar:
            width = 30
            filled = width * self.done // max(1, self.total)
            elapsed = time.perf_counter() - self.started
            sys.stderr.write(
                f"\rsolve_many [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {elapsed:.1f}s"
            )
            if self.done == self.total:
                sys.stderr.write("\n")
            sys.stderr.flush()


# ---- executors ----------------------------------------------------------------


def _is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "gather")


def _is_ray(executor: Any) -> bool:
    return getattr(executor, "__name__", None) == "ray" and hasattr(executor, "remote")


def _failed(task: tuple, error: BaseException) -> SolveResult:
    """The result of a task whose worker failed before it could report."""
    text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
    return SolveResult(index=task[0], param=task[3], exception=_sendable(error), traceback=text)


def _run_futures(executor: Any, tasks: List[tuple], progress: _Progress) -> List[SolveResult]:
    futures = {executor.submit(_run_task, task): task for task in tasks}
    results: dict = {}
    for future in concurrent.futures.as_completed(futures):
        task = futures[future]
        try:
            results[task[0]] = future.result()
        except Exception as error:  # the worker died (a crash, a lost pool)
            results[task[0]] = _failed(task, error)
        progress.step()
    return [results[task[0]] for task in tasks]


def _run_dask(client: Any, tasks: List[tuple], progress: _Progress) -> List[SolveResult]:
    from distributed import as_completed  # type: ignore[import-not-found]

    futures = [client.submit(_run_task, task, pure=False) for task in tasks]
    owner = {future.key: task for future, task in zip(futures, tasks)}
    results: dict = {}
    for future in as_completed(futures):
        task = owner[future.key]
        try:
            results[task[0]] = future.result()
        except Exception as error:
            results[task[0]] = _failed(task, error)
        progress.step()
    return [results[task[0]] for task in tasks]


def _run_ray(ray: Any, tasks: List[tuple], progress: _Progress) -> List[SolveResult]:
    if not ray.is_initialized():
        raise RuntimeError("solve_many: initialise Ray first (ray.init()) before passing executor=ray")
    remote = ray.remote(_run_task)
    refs = [remote.remote(task) for task in tasks]
    owner = {ref: task for ref, task in zip(refs, tasks)}
    results: dict = {}
    pending = list(refs)
    while pending:
        ready, pending = ray.wait(pending, num_returns=1)
        for ref in ready:
            task = owner[ref]
            try:
                results[task[0]] = ray.get(ref)
            except Exception as error:
                results[task[0]] = _failed(task, error)
            progress.step()
    return [results[task[0]] for task in tasks]


def _default_pool(workers: Optional[int]) -> concurrent.futures.ProcessPoolExecutor:
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    return concurrent.futures.ProcessPoolExecutor(max_workers=workers or default_worker_count(), mp_context=context)


def solve_many(
    problems_or_builder: Union[Iterable[Any], Callable[[Any], Any]],
    params: Optional[Iterable[Any]] = None,
    executor: Any = None,
    *,
    variables: Any = None,
    controls: Optional[Mapping[str, Any]] = None,
    progress: Union[None, bool, Callable[[int, int], Any]] = None,
    workers: Optional[int] = None,
    return_problems: bool = False,
) -> List[SolveResult]:
    """Solves many problems and returns their results in input order.

    ``problems_or_builder`` is either an iterable of problems (each item a
    ``korvo.problem`` or a pair ``(problem, variables)``), which are pickled
    to the workers, or a builder function called in the worker as
    ``builder(param)`` for each item of ``params``; it returns a problem or
    a pair ``(problem, variables)``. ``variables`` (of a pair, else the
    ``variables`` argument) is any nesting of lists, tuples, dicts and NumPy
    arrays of variables or expressions; the result's ``values`` have the
    same shape. Without it ``values`` are those of all columns.

    ``executor``: None for a local process pool with one worker per core
    (``workers`` to choose another size), ``"serial"`` to solve in this
    process one after the other, a ``concurrent.futures`` executor, a
    ``dask.distributed.Client``, or the ``ray`` module after ``ray.init()``.
    ``controls`` (a dict of control names to values) is set on every
    problem before it is solved. ``progress``: None shows a bar on stderr
    when it is a terminal, True always, False never, or a function called
    as ``progress(done, total)``. ``return_problems`` sends the solved
    problems back in the results (pickled, so they cost time).

    A model whose building or solving raises comes back with ``exception``
    set; the others are solved as usual.
    """
    if _looks_like_problem(problems_or_builder):
        raise TypeError("solve_many takes a list of problems; wrap a single problem in a list")
    if callable(problems_or_builder):
        if params is None:
            raise TypeError("solve_many with a builder function needs params, the list of its parameters")
        builder = _portable(problems_or_builder)
        tasks = [
            (i, "build", builder, param, variables, controls, return_problems) for i, param in enumerate(params)
        ]
    else:
        if params is not None:
            raise TypeError("solve_many takes params only with a builder function")
        tasks = []
        for i, item in enumerate(problems_or_builder):
            problem, structure = item if isinstance(item, tuple) and len(item) == 2 else (item, variables)
            tasks.append((i, "problem", problem, None, structure, controls, return_problems))
    meter = _Progress(len(tasks), progress)
    if not tasks:
        return []
    if executor == "serial":
        results = []
        for task in tasks:
            results.append(_run_task(_serial_copy(task)))
            meter.step()
        return results
    if executor is None:
        with _default_pool(workers) as pool:
            return _run_futures(pool, tasks, meter)
    if _is_dask_client(executor):
        return _run_dask(executor, tasks, meter)
    if _is_ray(executor):
        return _run_ray(executor, tasks, meter)
    if hasattr(executor, "submit"):
        return _run_futures(executor, tasks, meter)
    raise TypeError(
        "solve_many: executor must be None, 'serial', a concurrent.futures executor, a dask.distributed.Client "
        f"or the ray module; got {executor!r}"
    )


def _looks_like_problem(obj: Any) -> bool:
    import korvo

    return isinstance(obj, korvo.problem)


def _serial_copy(task: tuple) -> tuple:
    """A task for this process: a given problem is solved as a copy, so
    that the caller's problems stay as they were, as with workers."""
    index, kind, payload, param, structure, controls, keep_problem = task
    if kind == "problem":
        import korvo

        if isinstance(payload, korvo.problem):
            payload = payload.copy()
    return (index, kind, payload, param, structure, controls, keep_problem)
