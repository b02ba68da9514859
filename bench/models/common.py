"""What every library's HiGHS instance is told, in one place."""
from __future__ import annotations

import math

# One thread, no presolve, no log. The time limit is set per hand-over:
# 0 when only building and transfer are timed, none for a real solve.
HIGHS_OPTIONS = {"threads": 1, "presolve": "off", "output_flag": False}

INF = math.inf


def set_highs_options(h, time_limit):
    """Apply the common options to a highspy Highs object."""
    for key, value in HIGHS_OPTIONS.items():
        h.setOptionValue(key, value)
    h.setOptionValue("time_limit", float(math.inf if time_limit is None else time_limit))


class NotApplicable(Exception):
    """A library has no natural way to write this model variant."""


class Unavailable(Exception):
    """The library is installed but cannot run this model yet."""
