"""Column kind counts, which every solve from Python asks to choose between
the LP and the MIP solve: right across blocks of a million columns, for a
model of continuous columns only and with a few discrete ones anywhere."""
import numpy as np

import korvo


def wide_problem(n):
    p = korvo.problem()
    p.setControl("outputlog", 0)
    p.loadproblem("wide", ["L"], [1.0], None, np.ones(n), np.zeros(n + 1, dtype=np.int64), None,
                  np.zeros(0, dtype=np.int32), np.zeros(0), np.zeros(n), np.ones(n))
    return p


def test_counts_of_column_kinds_across_blocks():
    n = (1 << 20) + 5
    p = wide_problem(n)
    assert (p.attributes.mipents, p.attributes.semicontinuous) == (0, 0)
    # Discrete columns in the first block, at its end and past it.
    p.chgcoltype([7, (1 << 20) - 1, (1 << 20) + 3, n - 1], "SIRP")
    assert (p.attributes.mipents, p.attributes.semicontinuous) == (2, 2)
    p.chgcoltype([7, (1 << 20) + 3], "CB")
    assert (p.attributes.mipents, p.attributes.semicontinuous) == (3, 0)
    p.chgcoltype([(1 << 20) - 1, (1 << 20) + 3, n - 1], "CCC")
    assert (p.attributes.mipents, p.attributes.semicontinuous) == (0, 0)


def test_one_integer_column_makes_solve_a_mip_solve():
    p = wide_problem(10)
    p.chgobjsense(korvo.maximize)
    p.addrows(["L"], [2.5], [0, 2], [0, 1], [1.0, 1.0])
    p.solve()
    assert p.attributes.mipstatus == korvo.mip_not_loaded
    p.chgcoltype([9], ["I"])
    p.chgbounds([9], "U", [2.5])
    p.solve()
    assert p.attributes.mipstatus == korvo.mip_optimal
    assert p.getSolution()[9] == 2.0
