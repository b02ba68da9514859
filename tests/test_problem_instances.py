"""Every shared instance read with problem.read, solved through the problem
object and compared with its published optimum."""
import os

import pytest

import korvo
from conftest import optima, tolerance






pytestmark = pytest.mark.usefixtures("quiet")


@pytest.mark.parametrize("row", optima(), ids=lambda r: r["file"])
def test_instance_through_the_problem_object(row, instances_dir):
    p = korvo.problem()
    p.controls.outputlog = 0
    p.read(os.path.join(instances_dir, row["file"]))
    # The registry mirrors what the library read.
    assert len(p.getVariable()) == p.attributes.cols
    assert len(p.getConstraint()) == p.attributes.rows
    assert len(p.getSOS()) == p.attributes.sets
    last = p.getVariable(p.attributes.cols - 1)
    assert p.getIndex(last) == p.attributes.cols - 1
    assert p.getIndexFromName(2, str(last)) == p.attributes.cols - 1
    p.controls.miprelstop = 1e-9
    p.solve()
    value = p.getObjVal()
    expected = float(row["optimal_objective"])
    rel, absolute = tolerance(row["source"])
    assert abs(value - expected) <= max(rel * abs(expected), absolute), (value, expected)
    # Solution values by object agree with the whole vector.
    x = p.getSolution()
    assert p.getSolution(last) == x[-1]
    mip = row["kind"] == "MIP"
    assert p.getProbStatusString() == ("mip_optimal" if mip else "lp_optimal")
