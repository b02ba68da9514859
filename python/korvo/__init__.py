"""korvo: build, solve and query LP, MIP, QP and nonlinear optimization problems.

Every name of the extension module ``korvo.korvolib`` is available here.
"""
import ctypes as _ctypes
import os as _os

import highsbox as _highsbox

# libkrvs finds libhighs.so through its run path; loading it here first also
# covers layouts where highsbox lives in another site-packages directory (the
# loader takes an already loaded library of that name for libkrvs). Loaded
# privately: in the global scope its symbols would take the place of those
# of any other HiGHS build loaded later in the process (highspy's, say).
_ctypes.CDLL(_os.path.join(_highsbox.highs_lib_dir(), "libhighs.so"), mode=_ctypes.RTLD_LOCAL)

from korvo import korvolib as _korvolib  # noqa: E402
from korvo.korvolib import *  # noqa: E402,F401,F403

globals().update({k: v for k, v in _korvolib.__dict__.items() if not k.startswith("__")})

from korvo._many import SolveResult, solve_many  # noqa: E402,F401

__version__ = "0.1.0"
