"""Module start-up, constants, engine start/stop and the module-level functions."""
import io
import sys

import numpy as np
import pytest

import korvo


def test_constants_have_exact_values_and_types():
    assert korvo.minimize == 1 and korvo.maximize == -1
    assert korvo.infinity == 1e20 and type(korvo.infinity) is float
    assert korvo.nlp_locally_optimal == korvo.nlp_solution == 1
    assert korvo.stop_user == 9
    assert type(korvo.lp_optimal) is int and korvo.lp_nonconvex == 8
    assert korvo.mip_optimal == 6 and korvo.mip_solution == 4
    assert korvo.msset_initialfiltered == 6 and korvo.gencons_abs == 4
    assert korvo.rowinfo_penaltycolumnminusdj == 13


def test_published_names_and_exceptions():
    for name in ("var", "expression", "sos", "constraint", "problem", "branchobj", "poolcut", "controls"):
        assert hasattr(korvo, name), name
    for exc in (korvo.ModelError, korvo.InterfaceError, korvo.SolverError):
        assert exc.__bases__ == (Exception,)
    assert korvo.ModelError.__module__ == "korvo"
    assert korvo.korvolib.__doc__.startswith("Create, solve, query")


def test_banner_version_and_checked_mode():
    assert "HiGHS" in korvo.getbanner()
    assert korvo.getversion().count(".") == 2
    korvo.setcheckedmode(True)
    assert korvo.getcheckedmode() is True
    korvo.setcheckedmode(1)  # only the object True switches checking on
    assert korvo.getcheckedmode() is False
    korvo.setcheckedmode(checked_mode=True)
    assert korvo.getcheckedmode() is True


def test_init_twice_then_free_then_restart():
    korvo.init()
    korvo.init()
    korvo.free()
    # After a forced stop a forced start brings the library back.
    korvo.init()
    assert "libkrvs" in korvo.getbanner()


def test_compute_allowed_and_arch_consistency():
    korvo.setcomputeallowed(np.int64(3))
    assert korvo.getcomputeallowed() == 3
    korvo.setcomputeallowed(True)
    assert korvo.getcomputeallowed() == 1
    with pytest.raises(korvo.ModelError, match="Incorrect argument in setcomputeallowed: should be integer"):
        korvo.setcomputeallowed(1.0)
    with pytest.raises(korvo.ModelError):
        korvo.setcomputeallowed(np.int16(1))
    korvo.setarchconsistency(0)
    korvo.setarchconsistency(ifArchConsistent=None)


def test_getlasterror_is_code_and_text():
    code, text = korvo.getlasterror()
    assert isinstance(code, int) and isinstance(text, str)


def test_docstrings_have_the_common_layout():
    for name in ("init", "free", "getbanner", "getversion", "getcheckedmode", "setcheckedmode",
                 "setarchconsistency", "getcomputeallowed", "setcomputeallowed", "getlasterror",
                 "setdefaults", "setdefaultcontrol", "setOutputEnabled", "getOutputEnabled",
                 "addcbmsghandler", "removecbmsghandler"):
        doc = getattr(korvo, name).__doc__
        for section in ("Purpose:", "Synopsis:", "Example:", "Further information:"):
            assert section in doc, (name, section)
        assert "Argument:" in doc or "Arguments:" in doc, name


def test_output_switch():
    try:
        korvo.setOutputEnabled(False)
        assert korvo.getOutputEnabled() is False
        with pytest.raises(korvo.ModelError, match="should be True or False"):
            korvo.setOutputEnabled("yes")
        assert korvo.getOutputEnabled() is False
        korvo.setOutputEnabled(np.int32(1))
        assert korvo.getOutputEnabled() is True
    finally:
        korvo.setOutputEnabled(True)


def test_message_handler_registration_and_removal():
    def handler(*args):
        pass

    korvo.addcbmsghandler(handler, None, 0)
    korvo.addcbmsghandler(handler, None, 0)
    korvo.removecbmsghandler(None, None)
    with pytest.raises(korvo.InterfaceError, match="Callback not found"):
        korvo.removecbmsghandler(handler, None)
    with pytest.raises(korvo.InterfaceError, match="Must provide correct list of three arguments"):
        korvo.addcbmsghandler(handler)


def test_the_optimizer_library_stays_out_of_the_global_symbol_scope():
    # Another HiGHS build loaded later in the process (highspy's, for one) must
    # bind to its own symbols: importing korvo first once crashed such an
    # import, because korvo had put its HiGHS into the global scope.
    import subprocess
    code = ("import ctypes, korvo\n"
            "p = korvo.problem(); x = korvo.var(); p.controls.outputlog = 0\n"
            "p.addVariable(x); p.addConstraint(x >= 1.5); p.setObjective(2 * x); p.solve()\n"
            "assert p.getObjVal() == 3.0\n"
            "everything = ctypes.CDLL(None)\n"
            "print([name for name in ('Highs_create', 'Highs_run') if hasattr(everything, name)])\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
