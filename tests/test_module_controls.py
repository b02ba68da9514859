"""The module-wide korvo.controls object and the defaults it gives new problems."""
import numpy as np
import pytest

import korvo


@pytest.fixture(autouse=True)
def restore_defaults():
    yield
    korvo.setdefaults()
    korvo.controls.knls_postsolve = 1


def test_reading_defaults_in_either_case():
    assert korvo.controls.presolve == korvo.controls.PRESOLVE == 1
    assert korvo.controls.knls_postsolve == 1
    assert korvo.controls.miptol == 5e-6
    with pytest.raises(korvo.ModelError, match="Control or attribute is neither all-lower nor all-upper case"):
        korvo.controls.Presolve
    with pytest.raises(korvo.ModelError, match="Control or attribute name is too long"):
        getattr(korvo.controls, "a" * 1025)
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name"):
        korvo.controls.nosuchcontrol


def test_setting_defaults_checks_types():
    korvo.controls.timelimit = 3  # an integer is accepted for a double control
    assert korvo.controls.timelimit == 3
    korvo.controls.THREADS = np.int64(2)
    assert korvo.controls.threads == 2
    with pytest.raises(korvo.ModelError, match="Cannot set non-integer value to an integer control"):
        korvo.controls.threads = 3.5
    with pytest.raises(korvo.ModelError, match="Cannot set non-numerical value to a floating-point control"):
        korvo.controls.timelimit = "long"
    with pytest.raises(korvo.ModelError, match="Cannot set non-string value to a string control"):
        korvo.controls.mpsrhsname = 5
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name"):
        korvo.controls.nosuchcontrol = 1
    assert korvo.controls.threads == 2


def test_setdefaults_and_setdefaultcontrol():
    korvo.controls.presolve = 0
    korvo.controls.timelimit = 10.0
    korvo.setdefaultcontrol("PRESOLVE")
    assert korvo.controls.presolve == 1
    assert korvo.controls.timelimit == 10.0
    korvo.setdefaultcontrol("NOSUCHCONTROL")  # absent names are no error
    with pytest.raises(korvo.ModelError):
        korvo.setdefaultcontrol("Presolve")
    korvo.setdefaults()
    assert korvo.controls.timelimit == 1e20


def test_dict_and_repr():
    d = korvo.controls.__dict__
    assert d["presolve"] == 1 and "knls_postsolve" in d
    assert repr(korvo.controls).startswith("{")
    assert korvo.controls.__class__.__name__ == "control"
