"""Typed use of korvo, checked by mypy against the stub file (not run by pytest).

Each assert_type states the type a user's editor should show; a stub that
loses or widens one of them fails the check.
"""
from typing import Any, Dict, List, Union

import numpy as np
from typing_extensions import assert_type

import korvo

x = korvo.var(lb=0, ub=10, name="x")
y = korvo.var(vartype=korvo.integer)
assert_type(x.lb, float)
assert_type(x.name, str)

row = korvo.constraint(x + y, lb=1, ub=3)
assert_type(row, korvo.constraint)
assert_type(x <= 4, korvo.constraint)
# Arithmetic may simplify to a number (x - x is 0.0), so a comparison of a
# sum is a constraint or, for a number, a bool.
assert_type(2 * x + y <= 4, Union[bool, korvo.constraint])

p = korvo.problem(x, y, row, x + y, sense=korvo.maximize, name="typed")
assert_type(p.controls, korvo.control)
p.controls.presolve = 0
p.setControl("feastol", 1e-7)
p.setControl({"presolve": 1})
assert_type(p.getControl("presolve"), Union[int, float, str])
assert_type(p.getControl("presolve", "feastol"), Dict[str, Union[int, float, str]])
p.solve()
assert_type(p.getObjVal(), float)
assert_type(p.getSolution(x), float)
assert_type(p.getSolution(), List[float])
assert_type(p.getDual(row), float)
assert_type(p.getProbStatusString(), str)
assert_type(p.getVariable(0), korvo.var)
assert_type(p.getVariable(), List[korvo.var])
assert_type(p.getIndex(x), int)

arr = korvo.vars(3, name="a")
shaped: "np.ndarray[Any, Any]" = arr
d = korvo.vars(["u", "v"], name="d")
assert_type(d, Dict[Any, korvo.var])
values: "np.ndarray[Any, Any]" = p.getSolution(arr)
e = korvo.exp(x) + korvo.sin(y)
assert_type(korvo.user(lambda a: a * 2, x), korvo.nonlinear)
assert_type(korvo.getversion(), str)
assert_type(korvo.infinity, float)
assert_type(korvo.lp_optimal, int)
