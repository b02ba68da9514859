"""A nonlinear solve that stops before converging says why: its status, its
stop status and one log line with the largest violation, the last step
and the control that raises the limit it reached."""
import re

import pytest

import korvo
from nlp_models import circle_model_from_start

REPORT = re.compile(r"Nonlinear solve stopped (.*) before converging: largest violation (\S+), last step ([^;]+)(; .*)?$")


def solve_collecting_lines(p):
    lines = []
    p.setcbmessage(lambda prob, data, text, kind: lines.append(text))
    p.nlpoptimize()
    p.unsetcbmessage()
    return lines


def reports(lines):
    return [m for m in (REPORT.match(text) for text in lines) if m]


def circle_violation(x, y):
    """Largest violation of x^2 + y^2 <= 4 and x + y >= 1."""
    return max(0.0, x * x + y * y - 4.0, 1.0 - (x + y))


def test_iteration_limit_is_reported_with_violation_step_and_control(quiet):
    p, x, y, _ = circle_model_from_start()
    p.controls.knls_iterlimit = 2
    found = reports(solve_collecting_lines(p))
    assert p.attributes.knls_status == korvo.nlp_unfinished
    assert p.attributes.knls_stopstatus == korvo.stop_iterlimit
    assert p.attributes.knls_iterations == 2
    assert len(found) == 1
    where, viol, step, hint = found[0].groups()
    assert where == "at its iteration limit of 2"
    assert "knls_iterlimit" in hint
    vx, vy = p.getSolution([x, y])
    assert float(viol) == pytest.approx(circle_violation(vx, vy), rel=1e-2, abs=1e-9)
    assert float(step) > 0
    # Raising the limit lets the same model converge, silently.
    p.controls.knls_iterlimit = 1000
    again = solve_collecting_lines(p)
    assert p.attributes.knls_status == korvo.nlp_locally_optimal
    assert p.attributes.knls_stopstatus == 0
    assert reports(again) == []


def test_time_limit_is_reported_before_any_step(quiet):
    p, _, _, _ = circle_model_from_start()
    p.controls.knls_timelimit = 0
    found = reports(solve_collecting_lines(p))
    assert p.attributes.knls_status == korvo.nlp_unfinished
    assert p.attributes.knls_stopstatus == korvo.stop_timelimit
    assert p.attributes.knls_iterations == 0
    assert len(found) == 1
    where, _, step, hint = found[0].groups()
    assert where.startswith("at its time limit of 0")
    assert step == "none taken" and "knls_timelimit" in hint


def test_stop_asked_by_a_callback_is_no_limit(quiet):
    p, _, _, _ = circle_model_from_start()
    starts = []

    def second_start_stops(prob, data):
        starts.append(1)
        return 1 if len(starts) >= 2 else 0

    p.setcbiterstart(second_start_stops)
    found = reports(solve_collecting_lines(p))
    assert p.attributes.knls_status == korvo.nlp_unfinished
    assert p.attributes.knls_stopstatus not in (korvo.stop_iterlimit, korvo.stop_timelimit)
    assert len(found) == 1
    assert found[0].group(1) == "on request" and found[0].group(4) is None
