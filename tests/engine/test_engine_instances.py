"""Every instance in shared/instances/optima.csv, read from its file and solved
by the engine, reaches its published optimum."""
import ctypes
import os

import pytest

from conftest import optima, tolerance
from krvs_binding import ModelProblem, lib

lib.KRVSlpoptimize.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
lib.KRVSmipoptimize.argtypes = [ctypes.c_void_p, ctypes.c_char_p]






@pytest.mark.parametrize("row", optima(), ids=lambda r: r["file"])
def test_instance_reaches_published_optimum(row, instances_dir):
    p = ModelProblem()
    p.call("KRVSsetintcontrol64", 8035, ctypes.c_int64(0))
    p.call("KRVSreadprob", os.path.join(instances_dir, row["file"]).encode(), b"")
    # The published values are exact optima: search the MIPs to a tight gap.
    p.call("KRVSsetdblcontrol", 7002, ctypes.c_double(1e-9))
    assert p.int_attr(1024) == (-1 if row["sense"] == "max" else 1)
    mip = any(p.int_attr(ident) for ident in (1032, 1004, 1327, 1325))
    assert mip == (row["kind"] == "MIP")
    assert (p.int_attr(1021) > 0) == (row["kind"] == "QP")
    p.call("KRVSmipoptimize" if mip else "KRVSlpoptimize", None)
    value = p.dbl_attr(2003 if mip else 2001)
    expected = float(row["optimal_objective"])
    rel, absolute = tolerance(row["source"])
    assert abs(value - expected) <= max(rel * abs(expected), absolute), (value, expected)
