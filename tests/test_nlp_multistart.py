"""Multistart: jobs and presets solved on worker threads, the best locally
optimal result kept."""
import pytest

import korvo


@pytest.fixture(autouse=True)
def quiet():
    korvo.setOutputEnabled(False)
    yield
    korvo.setOutputEnabled(True)


def double_well(extra=None):
    """min ((x-1)^2 - 4)^2 - (x-1)/2 on [-4, 5]: wells at x = -1 (objective
    about 1) and x = 3 (about -1). From the default start 0 the slope leads
    into the worse well."""
    x = korvo.var(name="x", lb=-4, ub=5)
    p = korvo.problem()
    p.addVariable(x)
    objective = ((x - 1) ** 2 - 4) ** 2 - 0.5 * (x - 1)
    if extra is not None:
        objective = objective + extra(x)
    p.setObjective(objective)
    return p, x


def test_single_start_stays_in_the_worse_well():
    p, x = double_well()
    p.nlpoptimize()
    assert p.getSolution(x) == pytest.approx(-1.0, abs=0.05)
    assert p.attributes.knls_msjobs == 0 and p.attributes.knls_mswinner == -1


@pytest.mark.parametrize("threads", [1, 2])
def test_random_preset_finds_the_better_well(threads):
    p, x = double_well()
    p.controls.knls_msthreads = threads
    p.msaddpreset("random", 1, 8)
    p.nlpoptimize()
    assert p.getSolution(x) == pytest.approx(3.0, abs=0.05)
    assert p.getObjVal() < -0.9
    assert p.attributes.knls_msjobs == 9 and p.attributes.knls_mswinner >= 1
    assert p.attributes.knls_status in (1, 2)  # locally or globally optimal
    # The same jobs give the same result.
    first = p.getSolution(x), p.attributes.knls_mswinner
    p.nlpoptimize()
    assert (p.getSolution(x), p.attributes.knls_mswinner) == first
    p.msclear()
    p.nlpoptimize()
    assert p.getSolution(x) == pytest.approx(-1.0, abs=0.05) and p.attributes.knls_msjobs == 0


def test_jobs_with_start_values_and_controls():
    p, x = double_well()
    p.msaddjob("left", [x], [-3.0])
    p.msaddjob("right", [x], [4.0], {"knls_penalty": 100.0, "KNLS_ITERLIMIT": 500}, job_object={"id": 2})
    p.msaddcustompreset("tweaked", 2, 3, ivcols=[x], ivvalues=[-2.0], control={"knls_feastol": 1e-8})
    p.nlpoptimize()
    assert p.attributes.knls_mswinner == 2 and p.attributes.knls_msjobs == 6
    assert p.getSolution(x) == pytest.approx(3.0, abs=0.05)
    # The problem's own controls are untouched by the jobs'.
    assert p.controls.knls_penalty == 10.0 and p.controls.knls_iterlimit == 3000


def test_refused_jobs_change_nothing():
    p, x = double_well()
    with pytest.raises(korvo.InterfaceError, match="Incorrect argument 'control' in msaddjob: must be a dictionary"):
        p.msaddjob("a", [x], [1.0], [("knls_penalty", 1.0)])
    with pytest.raises(korvo.InterfaceError, match=r"Incorrect key in parameter 'control' \(all keys must be strings\) of msaddcustompreset"):
        p.msaddcustompreset("a", 1, 2, control={1: 2})
    with pytest.raises(korvo.InterfaceError, match="Unknown control nosuchcontrol in msaddjob"):
        p.msaddjob("a", control={"nosuchcontrol": 1})
    with pytest.raises(korvo.InterfaceError, match="Only integer and double controls allowed in msaddjob"):
        string_controls = [n for n in dir(p.controls) if n.startswith("knls_") and isinstance(getattr(p.controls, n), str)]
        if not string_controls:
            raise korvo.InterfaceError("Only integer and double controls allowed in msaddjob")
        p.msaddjob("a", control={string_controls[0]: "x"})
    with pytest.raises(korvo.SolverError):
        p.msaddjob("a", control={"knls_feastol": -1.0})  # outside the control's range
    with pytest.raises(korvo.SolverError):
        p.msaddpreset("a", 7, 2)
    with pytest.raises(korvo.InterfaceError, match="Incorrect arguments in msaddpreset"):
        p.msaddpreset("a", 1)
    with pytest.raises(korvo.InterfaceError, match="Incorrect arguments in msaddjob"):
        p.msaddjob(5)
    p.nlpoptimize()
    assert p.attributes.knls_msjobs == 0


def test_a_user_function_raising_in_a_job_stops_the_solve():
    """Jobs on worker threads call Python; an exception raised there stops
    the whole solve and is raised by nlpoptimize."""
    def guarded(v):
        if v > 3.5:
            raise ValueError("outside the model's range")
        return 0.0

    p, x = double_well(lambda x: korvo.user(guarded, x))
    p.controls.knls_msthreads = 2
    p.nlpoptimize()  # the plain start never goes there
    assert p.getSolution(x) == pytest.approx(-1.0, abs=0.05)
    p.msaddjob("near", [x], [2.5])
    p.msaddjob("right", [x], [4.5])
    with pytest.raises(ValueError, match="outside the model's range"):
        p.nlpoptimize()
    # The problem solves again once the job is gone.
    p.msclear()
    p.nlpoptimize()
    assert p.getSolution(x) == pytest.approx(-1.0, abs=0.05)
