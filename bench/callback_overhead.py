"""Cost of one Python callback call against model size.

Every call builds the problem object the callback receives; it shares the
registering problem's object lists and index maps, so its cost must not
grow with the model. Measured with the message callback, which dumpcontrols()
raises once per line without solving: the time per call with the callback
registered minus the time without it.

    PYTHONPATH=_inst python bench/callback_overhead.py
"""
import time

import korvo


def per_call(cols, calls=20000):
    p = korvo.problem()
    p.addVariable(korvo.vars(cols))
    p.controls.miprelstop = 0.5  # dumpcontrols writes one line per changed control
    received = []
    p.dumpcontrols()
    start = time.perf_counter()
    for _ in range(calls):
        p.dumpcontrols()
    bare = time.perf_counter() - start
    p.addcbmessage(lambda prob, data, text, kind: received.append(1))
    start = time.perf_counter()
    for _ in range(calls):
        p.dumpcontrols()
    with_callback = time.perf_counter() - start
    lines = len(received) / calls
    return (with_callback - bare) / (calls * lines)


if __name__ == "__main__":
    korvo.setOutputEnabled(False)
    for cols in (10 ** 3, 10 ** 6):
        best = min(per_call(cols) for _ in range(3))
        print(f"{cols:>8} columns: {best * 1e6:.2f} us per callback call")
