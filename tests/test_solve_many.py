"""korvo.solve_many with the default process pool, other executors and
failing models."""
import concurrent.futures
import os
import sys

import numpy as np
import pytest

import korvo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import many_models  # noqa: E402


def sequential(seeds):
    out = []
    for seed in seeds:
        p, structure = many_models.knapsack(seed)
        p.solve()
        out.append((p.getObjVal(), [p.getSolution(v) for v in structure["take"]]))
    return out


@pytest.fixture(scope="module")
def pool_results():
    seeds = list(range(50))
    return seeds, korvo.solve_many(many_models.knapsack, seeds, progress=False)


def test_default_pool_matches_sequential_solves_in_order(pool_results, quiet):
    seeds, results = pool_results
    expected = sequential(seeds)
    assert [r.index for r in results] == seeds
    assert [r.param for r in results] == seeds
    for r, (objective, values) in zip(results, expected):
        assert r.ok and r.exception is None
        assert r.status == "mip_optimal"
        assert r.objective == pytest.approx(objective)
        assert r.values["take"] == pytest.approx(values)  # the caller's structure
        assert r.stop_reason == 0 and r.time >= 0


def test_shipped_problems_with_structures_and_one_failure(quiet):
    built = [many_models.knapsack(s) for s in range(6)]
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        results = korvo.solve_many(built, executor=pool, progress=False)
    for (p, structure), r in zip(built, results):
        p.solve()
        assert r.objective == pytest.approx(p.getObjVal())
        assert r.values["take"] == pytest.approx(p.getSolution(structure["take"]))
    # A builder raising for one parameter: that result carries the
    # exception, the others are solved.
    results = korvo.solve_many(many_models.failing_builder, range(6), executor="serial", progress=False)
    assert [r.ok for r in results] == [True, True, True, False, True, True]
    bad = results[3]
    assert isinstance(bad.exception, ValueError) and "scenario 3" in str(bad.exception)
    assert "failing_builder" in bad.traceback and bad.objective is None
    assert results[4].objective == pytest.approx(sequential([4])[0][0])


def test_serial_executor_values_shapes_and_unsolvable_models(quiet):
    x = korvo.vars(2, 3, name="x", ub=1)
    p = korvo.problem(x, korvo.Sum(x) <= 4, korvo.Sum(x), sense=korvo.maximize)
    (r,) = korvo.solve_many([(p, x)], executor="serial", progress=False)
    assert isinstance(r.values, np.ndarray) and r.values.shape == (2, 3)
    assert r.values.sum() == pytest.approx(4)
    assert p.attributes.lpstatus == 0  # the caller's problem is left unsolved
    (whole,) = korvo.solve_many([p], executor="serial", progress=False)
    assert len(whole.values) == 6
    (infeasible,) = korvo.solve_many(many_models.infeasible, [0], executor="serial", progress=False)
    assert infeasible.ok and infeasible.status == "lp_infeas" and infeasible.values is None
    assert infeasible.objective is None


def test_progress_reporting_and_argument_errors(quiet):
    seen = []
    korvo.solve_many(many_models.knapsack, [1, 2, 3], executor="serial", progress=lambda d, t: seen.append((d, t)))
    assert seen == [(1, 3), (2, 3), (3, 3)]
    assert korvo.solve_many([], progress=False) == []
    p, _ = many_models.knapsack(0)
    with pytest.raises(TypeError, match="wrap a single problem"):
        korvo.solve_many(p)
    with pytest.raises(TypeError, match="needs params"):
        korvo.solve_many(many_models.knapsack)
    with pytest.raises(TypeError, match="executor"):
        korvo.solve_many([p], executor=42)
    (r,) = korvo.solve_many(["not a problem"], executor="serial", progress=False)
    assert isinstance(r.exception, TypeError)


def test_controls_reach_every_model(quiet):
    results = korvo.solve_many(many_models.knapsack, [5, 6], executor="serial", controls={"maxnode": 1},
                               return_problems=True, progress=False)
    assert all(r.problem.controls.maxnode == 1 for r in results)


def test_dask_local_cluster(quiet):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            results = korvo.solve_many(many_models.knapsack, range(50), executor=client, progress=False)
    expected = sequential(range(50))
    assert [r.objective for r in results] == pytest.approx([e[0] for e in expected])


def test_ray_local_instance(quiet):
    ray = pytest.importorskip("ray")
    # Ray's workers start afresh: they find the builders' module (beside
    # this file) and korvo where this process found them.
    path = os.pathsep.join([os.path.dirname(os.path.abspath(__file__))] + [entry for entry in sys.path if entry])
    try:
        ray.init(num_cpus=2, include_dashboard=False, ignore_reinit_error=True,
                 runtime_env={"env_vars": {"PYTHONPATH": path}})
    except Exception as error:  # Ray's own daemons, not korvo, failed to come up
        if "timed out during startup" not in str(error):
            raise
        ray.shutdown()
        pytest.skip(f"Ray could not start its local node: {error}")
    try:
        results = korvo.solve_many(many_models.knapsack, range(50), executor=ray, progress=False)
    finally:
        ray.shutdown()
    expected = sequential(range(50))
    assert [r.objective for r in results] == pytest.approx([e[0] for e in expected])
