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


# ---- model functions: argument types, so that 64-bit counts and doubles
# passed by value are converted correctly -------------------------------------
P = ctypes.c_void_p
I = ctypes.c_int
I64 = ctypes.c_int64
D = ctypes.c_double
S = ctypes.c_char_p
_LP = [P, S, I, I, P, P, P, P, P, P, P, P, P, P]
_QOBJ = [I64, P, P, P]
_GLOBAL = [I, I, P, P, P, P, P, P, P]
_QROW = [I, P, P, P, P, P]
_SIGNATURES = {
    "KRVSloadlp": _LP, "KRVSloadlp64": _LP, "KRVSloadqp64": _LP + _QOBJ,
    "KRVSloadglobal64": _LP + _GLOBAL, "KRVSloadqglobal64": _LP + _QOBJ + _GLOBAL,
    "KRVSloadqcqp64": _LP + _QOBJ + _QROW, "KRVSloadqcqpglobal64": _LP + _QOBJ + _QROW + _GLOBAL,
    "KRVScopyprob": [P, P, S],
    "KRVSaddrows64": [P, I, I64, P, P, P, P, P, P],
    "KRVSaddcols64": [P, I, I64, P, P, P, P, P, P],
    "KRVSaddnames": [P, I, P, I, I], "KRVSaddsetnames": [P, P, I, I],
    "KRVSchgcoltype": [P, I, P, P], "KRVSchgglblimit": [P, I, P, P],
    "KRVSchgbounds": [P, I, P, P, P], "KRVSchgrhs": [P, I, P, P], "KRVSchgrhsrange": [P, I, P, P],
    "KRVSchgrowtype": [P, I, P, P], "KRVSchgcoef": [P, I, I, D], "KRVSchgmcoef64": [P, I64, P, P, P],
    "KRVSaddqmatrix64": [P, I, I64, P, P, P], "KRVSaddsets64": [P, I, I64, P, P, P, P],
    "KRVSchgobj": [P, I, P, P], "KRVSchgmqobj": [P, I, P, P, P], "KRVSchgmqobj64": [P, I64, P, P, P],
    "KRVSchgobjsense": [P, I], "KRVSdelrows": [P, I, P], "KRVSdelcols": [P, I, P], "KRVSdelsets": [P, I, P],
    "KRVSsetindicators": [P, I, P, P, P], "KRVSgetindicators": [P, P, P, I, I], "KRVSdelindicators": [P, I, I],
    "KRVSgetlb": [P, P, I, I], "KRVSgetub": [P, P, I, I], "KRVSgetcoltype": [P, P, I, I],
    "KRVSgetrhs": [P, P, I, I], "KRVSgetrhsrange": [P, P, I, I], "KRVSgetrowtype": [P, P, I, I],
    "KRVSgetobj": [P, P, I, I],
    "KRVSgetrows64": [P, P, P, P, I64, P, I, I], "KRVSgetcols64": [P, P, P, P, I64, P, I, I],
    "KRVSgetcoef": [P, I, I, P], "KRVSgetmqobj": [P, P, P, P, I, P, I, I],
    "KRVSgetmqobj64": [P, P, P, P, I64, P, I, I], "KRVSgetqrows": [P, P, P],
    "KRVSgetqrowqmatrixtriplets": [P, I, P, P, P, P],
    "KRVSgetglobal64": [P, P, P, P, P, P, P, P, P, P],
    "KRVSgetnames": [P, I, P, I, I], "KRVSgetnamelist": [P, I, P, I, P, I, I],
    "KRVSgetindex": [P, I, S, P], "KRVSreadprob": [P, S, S], "KRVSwriteprob": [P, S, S],
}
for _name, _types in _SIGNATURES.items():
    if hasattr(lib, _name):
        getattr(lib, _name).argtypes = _types


def dbls(values):
    return None if values is None else (ctypes.c_double * max(len(values), 1))(*values)


def ints(values):
    return None if values is None else (ctypes.c_int * max(len(values), 1))(*values)


def int64s(values):
    return None if values is None else (ctypes.c_int64 * max(len(values), 1))(*values)


def chars(text):
    return None if text is None else ctypes.create_string_buffer(text.encode(), max(len(text), 1))


def packed_names(names):
    return ctypes.create_string_buffer(b"".join(n.encode() + b"\0" for n in names))


class ModelProblem(Problem):
    """A problem with helpers for building and reading back models."""

    def try_call(self, name, *args):
        """The engine's return code and last-error text (empty on success)."""
        rc = getattr(lib, name)(self.handle, *args)
        return rc, (last_error(self.handle) if rc else "")

    def load(self, rowtype="", rhs=(), rng=None, obj=None, start=None, rowind=(), rowcoef=(), lb=None, ub=None,
             ncols=None, collen=None, name="m"):
        ncols = len(obj) if ncols is None else ncols
        self.call("KRVSloadlp64", name.encode(), ncols, len(rowtype), chars(rowtype), dbls(rhs), dbls(rng),
                  dbls(obj), int64s(start), ints(collen), ints(rowind), dbls(rowcoef), dbls(lb), dbls(ub))

    def rows(self):
        return self.int_attr(1001)

    def cols(self):
        return self.int_attr(1018)

    def doubles(self, fn, count, first=0, last=None):
        last = count - 1 if last is None else last
        out = (ctypes.c_double * max(last - first + 1, 1))()
        self.call(fn, out, first, last)
        return list(out)[: last - first + 1]

    def letters(self, fn, count, first=0, last=None):
        last = count - 1 if last is None else last
        out = ctypes.create_string_buffer(max(last - first + 1, 1))
        self.call(fn, out, first, last)
        return out.raw[: last - first + 1].decode()

    def lb(self): return self.doubles("KRVSgetlb", self.cols())
    def ub(self): return self.doubles("KRVSgetub", self.cols())
    def obj(self): return self.doubles("KRVSgetobj", self.cols())
    def coltypes(self): return self.letters("KRVSgetcoltype", self.cols())
    def rhs(self): return self.doubles("KRVSgetrhs", self.rows())
    def ranges(self): return self.doubles("KRVSgetrhsrange", self.rows())
    def rowtypes(self): return self.letters("KRVSgetrowtype", self.rows())

    def coef(self, i, j):
        v = ctypes.c_double()
        self.call("KRVSgetcoef", i, j, ctypes.byref(v))
        return v.value

    def dense(self):
        """The matrix as a dense list of rows, read by columns."""
        m, n = self.rows(), self.cols()
        out = [[0.0] * n for _ in range(m)]
        if m == 0 or n == 0:
            return out
        total = ctypes.c_int64()
        self.call("KRVSgetcols64", None, None, None, 0, ctypes.byref(total), 0, n - 1)
        start = (ctypes.c_int64 * (n + 1))()
        ind = (ctypes.c_int * max(total.value, 1))()
        val = (ctypes.c_double * max(total.value, 1))()
        self.call("KRVSgetcols64", start, ind, val, total.value, ctypes.byref(total), 0, n - 1)
        for j in range(n):
            for k in range(start[j], start[j + 1]):
                out[ind[k]][j] = val[k]
        return out

    def dense_by_rows(self):
        m, n = self.rows(), self.cols()
        out = [[0.0] * n for _ in range(m)]
        if m == 0 or n == 0:
            return out
        total = ctypes.c_int64()
        self.call("KRVSgetrows64", None, None, None, 0, ctypes.byref(total), 0, m - 1)
        start = (ctypes.c_int64 * (m + 1))()
        ind = (ctypes.c_int * max(total.value, 1))()
        val = (ctypes.c_double * max(total.value, 1))()
        self.call("KRVSgetrows64", start, ind, val, total.value, ctypes.byref(total), 0, m - 1)
        for i in range(m):
            for k in range(start[i], start[i + 1]):
                out[i][ind[k]] = val[k]
        return out

    def names(self, kind, count=None):
        count = {1: self.rows(), 2: self.cols(), 3: self.int_attr(1004)}[kind] if count is None else count
        if count == 0:
            return []
        need = ctypes.c_int()
        self.call("KRVSgetnamelist", kind, None, 0, ctypes.byref(need), 0, count - 1)
        buf = ctypes.create_string_buffer(need.value)
        self.call("KRVSgetnamelist", kind, buf, need.value, ctypes.byref(need), 0, count - 1)
        return [s.decode() for s in buf.raw[: need.value - 1].split(b"\0")]

    def set_names(self, kind, names, first=0):
        self.call("KRVSaddnames", kind, packed_names(names), first, first + len(names) - 1)

    def index(self, kind, name):
        v = ctypes.c_int()
        self.call("KRVSgetindex", kind, name.encode(), ctypes.byref(v))
        return v.value

    def qobj(self):
        """The objective's quadratic part as {(i, j): q} with i <= j."""
        n = self.cols()
        if n == 0:
            return {}
        total = ctypes.c_int64()
        self.call("KRVSgetmqobj64", None, None, None, 0, ctypes.byref(total), 0, n - 1)
        start = (ctypes.c_int64 * (n + 1))()
        ind = (ctypes.c_int * max(total.value, 1))()
        val = (ctypes.c_double * max(total.value, 1))()
        self.call("KRVSgetmqobj64", start, ind, val, total.value, ctypes.byref(total), 0, n - 1)
        return {(j, ind[k]): val[k] for j in range(n) for k in range(start[j], start[j + 1])}

    def qrows(self):
        """{row: {(i, j): q}} in the interface's triplet convention."""
        count = ctypes.c_int()
        self.call("KRVSgetqrows", ctypes.byref(count), None)
        rows = (ctypes.c_int * max(count.value, 1))()
        self.call("KRVSgetqrows", ctypes.byref(count), rows)
        out = {}
        for r in list(rows)[: count.value]:
            n = ctypes.c_int64()
            self.call("KRVSgetqrowqmatrixtriplets", r, ctypes.byref(n), None, None, None)
            c1, c2 = (ctypes.c_int * max(n.value, 1))(), (ctypes.c_int * max(n.value, 1))()
            q = (ctypes.c_double * max(n.value, 1))()
            self.call("KRVSgetqrowqmatrixtriplets", r, ctypes.byref(n), c1, c2, q)
            out[r] = {(c1[k], c2[k]): q[k] for k in range(n.value)}
        return out

    def sets(self):
        """[(type, [cols], [weights])]"""
        ne, ns = ctypes.c_int(), ctypes.c_int()
        self.call("KRVSgetglobal64", ctypes.byref(ne), ctypes.byref(ns), None, None, None, None, None, None, None)
        members = self.int_attr(1005)
        st = ctypes.create_string_buffer(max(ns.value, 1))
        start = (ctypes.c_int64 * (ns.value + 1))()
        cols = (ctypes.c_int * max(members, 1))()
        ref = (ctypes.c_double * max(members, 1))()
        self.call("KRVSgetglobal64", ctypes.byref(ne), ctypes.byref(ns), None, None, None, st, start, cols, ref)
        return [(st.raw[k:k + 1].decode(), list(cols[start[k]:start[k + 1]]), list(ref[start[k]:start[k + 1]]))
                for k in range(ns.value)]

    def entities(self):
        """[(col, type, limit)]"""
        ne, ns = ctypes.c_int(), ctypes.c_int()
        self.call("KRVSgetglobal64", ctypes.byref(ne), ctypes.byref(ns), None, None, None, None, None, None, None)
        t = ctypes.create_string_buffer(max(ne.value, 1))
        c = (ctypes.c_int * max(ne.value, 1))()
        lim = (ctypes.c_double * max(ne.value, 1))()
        self.call("KRVSgetglobal64", ctypes.byref(ne), None, t, c, lim, None, None, None, None)
        return [(c[k], t.raw[k:k + 1].decode(), lim[k]) for k in range(ne.value)]

    def indicators(self):
        m = self.rows()
        if m == 0:
            return {}
        cols, comps = (ctypes.c_int * m)(), (ctypes.c_int * m)()
        self.call("KRVSgetindicators", cols, comps, 0, m - 1)
        return {i: (cols[i], comps[i]) for i in range(m) if comps[i] != 0}
