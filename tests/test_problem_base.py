"""The problem object's life cycle, name, controls, attributes and statuses."""
import gc
import sys

import numpy as np
import pytest

import korvo


@pytest.fixture(autouse=True)
def restore_defaults():
    yield
    korvo.setdefaults()
    korvo.controls.knls_postsolve = 1


def test_name_from_keyword_string_or_default():
    assert korvo.problem().name() == "noname"
    assert korvo.problem(name="plan").name() == "plan"
    assert korvo.problem("plan2").name() == "plan2"
    assert str(korvo.problem(name="shown")) == "shown"
    with pytest.raises(korvo.ModelError, match="More than one string passed in problem declaration"):
        korvo.problem("a", "b")


def test_sense_keyword_is_checked():
    korvo.problem(sense=-1)
    with pytest.raises(korvo.ModelError, match="Invalid optimization sense"):
        korvo.problem(sense=0)
    with pytest.raises(korvo.ModelError, match="Invalid optimization sense"):
        korvo.problem(sense="max")


def test_problem_controls_by_name_and_case():
    p = korvo.problem()
    p.controls.presolve = 0
    assert p.controls.PRESOLVE == p.controls.presolve == p.getControl("PRESOLVE") == 0
    with pytest.raises(korvo.ModelError, match="Control or attribute is neither all-lower nor all-upper case"):
        p.controls.Presolve
    all_controls = p.getControl()
    assert all_controls["presolve"] == 0 and "timelimit" in all_controls
    assert p.getControl("presolve", "THREADS") == {"presolve": 0, "threads": 1}
    assert p.getControl(["presolve", "threads"]) == {"presolve": 0, "threads": 1}
    with pytest.raises(korvo.InterfaceError, match="Requested value of an unknown control"):
        p.getControl("nosuch")


def test_set_control_forms_and_checks():
    p = korvo.problem()
    p.setControl({})
    p.setControl("timelimit", 3)  # an integer for a double control
    assert p.controls.timelimit == 3.0
    p.setControl({"maxnode": 10, "MIPRELSTOP": 0.5})
    assert p.controls.maxnode == 10 and p.controls.miprelstop == 0.5
    with pytest.raises(korvo.ModelError, match="Cannot set non-integer value to an integer control"):
        p.setControl("maxnode", 3.5)
    with pytest.raises(korvo.ModelError, match="setControl: arguments mismatch"):
        p.setControl("a", 1, 2)
    with pytest.raises(korvo.ModelError, match="Single argument to setControl must be a dictionary"):
        p.setControl("maxnode")
    with pytest.raises(korvo.ModelError, match="setControl requires at least one argument"):
        p.setControl()
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name"):
        p.setControl("nosuch", 1)
    with pytest.raises(korvo.InterfaceError):
        p.setControl({"nosuch": 1})
    # An out-of-range value is refused by the engine and the old value stays.
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.controls.timelimit = -5
    assert p.controls.timelimit == 3.0


def test_attributes_are_read_only():
    p = korvo.problem()
    assert p.attributes.rows == 0 and p.attributes.COLS == 0
    assert p.getAttrib("rows") == 0
    assert "lpstatus" in p.getAttrib()
    with pytest.raises(korvo.ModelError, match="A problem's attribute cannot be set"):
        p.attributes.rows = 3
    with pytest.raises(korvo.InterfaceError, match="Incorrect attribute name"):
        p.attributes.nosuch
    assert repr(p.attributes).startswith("{")


def test_module_defaults_apply_to_new_problems_only():
    old = korvo.problem()
    korvo.controls.maxnode = 77
    new = korvo.problem()
    assert new.controls.maxnode == 77 and old.controls.maxnode != 77
    assert new.controls.knls_postsolve == 1
    korvo.setdefaults()
    later = korvo.problem()
    assert later.controls.maxnode != 77
    assert later.controls.knls_postsolve == 0  # no longer switched on for new problems


def test_reset_applies_defaults_and_empties_name():
    p = korvo.problem(name="before")
    p.controls.presolve = 0
    p.reset()
    assert p.name() == ""
    assert p.controls.presolve == 1


def test_copy_keeps_controls():
    p = korvo.problem(name="orig")
    p.controls.maxnode = 5
    q = p.copy()
    assert q.controls.maxnode == 5
    q.controls.maxnode = 6
    assert p.controls.maxnode == 5


def test_status_of_an_unsolved_problem():
    p = korvo.problem()
    assert p.getProbStatus() == korvo.lp_unstarted
    assert p.getProbStatusString() == "lp_unstarted"


def test_solve_flags_must_be_text():
    p = korvo.problem()
    with pytest.raises(korvo.InterfaceError, match="The optional 'flags' parameter should be a string"):
        p.solve(5)


def test_problems_are_released():
    # Creating and dropping problems must not keep references to them.
    p = korvo.problem()
    before = sys.getrefcount(p)
    for _ in range(50):
        q = korvo.problem()
        q.copy()
        del q
    gc.collect()
    assert sys.getrefcount(p) == before
