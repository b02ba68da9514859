"""A thin ctypes binding of libkrvs for engine tests."""
import ctypes
import glob
import os

import korvo

_dir = os.path.dirname(korvo.__file__)
lib = ctypes.CDLL(glob.glob(os.path.join(_dir, "libkrvs.so"))[0])

c_int_p = ctypes.POINTER(ctypes.c_int)
MSGHANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                              ctypes.c_char_p, ctypes.c_int, ctypes.c_int)
MESSAGE_CB = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                              ctypes.c_int)


def check(rc, prob=None):
    if rc != 0:
        raise RuntimeError(last_error(prob))


def last_error(prob=None):
    buf = ctypes.create_string_buffer(1024)
    if prob is None:
        code = ctypes.c_int()
        lib.KRVS_ge_getlasterror(ctypes.byref(code), buf, 1024, None)
    else:
        lib.KRVSgetlasterror(prob, buf)
    return buf.value.decode()


class Problem:
    """Owns one engine problem."""

    def __init__(self):
        self.handle = ctypes.c_void_p()
        check(lib.KRVScreateprob(ctypes.byref(self.handle)))

    def __del__(self):
        if self.handle:
            lib.KRVSdestroyprob(self.handle)
            self.handle = ctypes.c_void_p()

    def call(self, name, *args):
        check(getattr(lib, name)(self.handle, *args), self.handle)

    def int_attr(self, ident):
        v = ctypes.c_int64()
        self.call("KRVSgetintattrib64", ident, ctypes.byref(v))
        return v.value

    def dbl_attr(self, ident):
        v = ctypes.c_double()
        self.call("KRVSgetdblattrib", ident, ctypes.byref(v))
        return v.value


def calist():
    ids = ctypes.POINTER(ctypes.c_int)()
    names = ctypes.POINTER(ctypes.c_char_p)()
    flags = ctypes.POINTER(ctypes.c_int)()
    check(lib.KRVSgetcalist_c(ctypes.byref(ids), ctypes.byref(names), ctypes.byref(flags)))
    out = []
    i = 0
    while ids[i] != 0:
        out.append((ids[i], names[i].decode(), flags[i]))
        i += 1
    return out
