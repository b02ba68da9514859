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
    "KRVSaddnames": [P, I, P, I, I], "KRVSaddsetnames": [P, P, I, I], "KRVSaddnumberednames": [P, I, P, I, I],
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


def uint64s(values):
    return None if values is None else (ctypes.c_uint64 * max(len(values), 1))(*values)


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


# ---- nonlinear solver ------------------------------------------------------

c_double_p = ctypes.POINTER(ctypes.c_double)
USERFUNC = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.c_void_p,
                            ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double))
NLP_MESSAGE_CB = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                                  ctypes.c_int)


def nl_ints(values):
    return ints(list(values))


def nl_dbls(values):
    return dbls(list(values))


def nlp_last_error(nlprob):
    code = ctypes.c_int()
    buf = ctypes.create_string_buffer(1024)
    lib.KNLSgetlasterror(nlprob, ctypes.byref(code), buf)
    return buf.value.decode()


class NlpProblem:
    """An optimizer problem with its nonlinear solver problem."""

    def __init__(self):
        self.opt = Problem()
        self.handle = ctypes.c_void_p()
        check(lib.KNLScreateprob(ctypes.byref(self.handle), ctypes.byref(self.opt.handle)))
        self._keep = []  # callbacks that must outlive the problem

    def __del__(self):
        if self.handle:
            lib.KNLSdestroyprob(self.handle)
            self.handle = ctypes.c_void_p()

    def call(self, name, *args):
        rc = getattr(lib, name)(self.handle, *args)
        if rc != 0:
            raise RuntimeError(nlp_last_error(self.handle))

    def rc(self, name, *args):
        """Return code of a call, for tests of refused input."""
        return getattr(lib, name)(self.handle, *args)

    def int_attr(self, ident):
        v = ctypes.c_int()
        self.call("KNLSgetintattrib", ident, ctypes.byref(v))
        return v.value

    def dbl_attr(self, ident):
        v = ctypes.c_double()
        self.call("KNLSgetdblattrib", ident, ctypes.byref(v))
        return v.value

    def set_int(self, ident, value):
        self.call("KNLSsetintcontrol", ident, value)

    def set_dbl(self, ident, value):
        self.call("KNLSsetdblcontrol", ident, ctypes.c_double(value))

    def add_coefs(self, coefs, loader="KNLSaddcoefs"):
        """coefs: list of (row, col, factor, tokens)."""
        rows, cols, factors, starts, types, values = [], [], [], [0], [], []
        for row, col, factor, tokens in coefs:
            rows.append(row)
            cols.append(col)
            factors.append(factor)
            for t, v in list(tokens) + [(0, 0.0)]:
                types.append(t)
                values.append(v)
            starts.append(len(types))
        self.call(loader, len(coefs), nl_ints(rows), nl_ints(cols), nl_dbls(factors), nl_ints(starts), 1, nl_ints(types),
                  nl_dbls(values))

    def evaluate(self, tokens):
        tokens = list(tokens) + [(0, 0.0)]
        out = ctypes.c_double()
        self.call("KNLSevaluateformula", 1, nl_ints(t for t, _ in tokens), nl_dbls(v for _, v in tokens),
                  ctypes.byref(out))
        return out.value

    def solve(self, flags=""):
        self.call("KNLSnlpoptimize", flags.encode())
        return self.int_attr(12044)

    def solution(self):
        n, m = self.int_attr(12000), self.int_attr(11999)
        x, slack, duals, djs = (ctypes.c_double * max(n, 1))(), (ctypes.c_double * max(m, 1))(), \
            (ctypes.c_double * max(m, 1))(), (ctypes.c_double * max(n, 1))()
        self.call("KNLSgetslpsol", x, slack, duals, djs)
        return list(x)[:n], list(slack)[:m], list(duals)[:m], list(djs)[:n]

    def add_user_function(self, fn, name, derivatives=False):
        """Registers a ctypes USERFUNC as the next user function; returns its index."""
        name_idx, link_idx = ctypes.c_int(), ctypes.c_int()
        self.call("KNLSsetstring", ctypes.byref(name_idx), name.encode())
        self.call("KNLSsetstring", ctypes.byref(link_idx), b"DirectC")
        flags = 110611.0 if derivatives else 19.0
        self.call("KNLSadduserfuncs", 1, nl_ints([5, 87, 86, 5, 0]),
                  nl_dbls([name_idx.value, 1.0, flags, link_idx.value, 0.0]))
        count = 0
        while True:  # the new function is the last one
            count += 1
            obj = ctypes.c_void_p()
            if lib.KNLSgetuserfuncobject(self.handle, count + 1, ctypes.byref(obj)) != 0:
                break
        self.call("KNLSaddnames", 5, name.encode() + b"\0", count, count)
        self.call("KNLSchguserfuncaddress", count, fn)
        self._keep.append(fn)
        return count


class Expr:
    """A formula built with Python operators: its reverse Polish tokens and a
    Python function computing the same value from a column vector."""

    def __init__(self, tokens, fn):
        self.tokens = tokens
        self.fn = fn

    @staticmethod
    def lift(v):
        return v if isinstance(v, Expr) else Expr([(1, float(v))], lambda x, c=float(v): c)

    def _bin(self, other, code, fn, swap=False):
        a, b = (Expr.lift(other), self) if swap else (self, Expr.lift(other))
        return Expr(a.tokens + b.tokens + [(31, code)], lambda x: fn(a.fn(x), b.fn(x)))

    def __add__(self, o): return self._bin(o, 5, lambda a, b: a + b)
    def __radd__(self, o): return self._bin(o, 5, lambda a, b: a + b, True)
    def __sub__(self, o): return self._bin(o, 6, lambda a, b: a - b)
    def __rsub__(self, o): return self._bin(o, 6, lambda a, b: a - b, True)
    def __mul__(self, o): return self._bin(o, 3, lambda a, b: a * b)
    def __rmul__(self, o): return self._bin(o, 3, lambda a, b: a * b, True)
    def __truediv__(self, o): return self._bin(o, 4, lambda a, b: a / b)
    def __rtruediv__(self, o): return self._bin(o, 4, lambda a, b: a / b, True)
    def __pow__(self, o): return self._bin(o, 2, lambda a, b: a ** b)
    def __rpow__(self, o): return self._bin(o, 2, lambda a, b: a ** b, True)

    def __neg__(self):
        return Expr(self.tokens + [(31, 1)], lambda x: -self.fn(x))


def col(j):
    return Expr([(10, float(j))], lambda x: x[j])


IFUN = {"log10": 14, "log": 15, "exp": 16, "abs": 17, "sqrt": 18, "sin": 27, "cos": 28, "tan": 29, "asin": 30,
        "acos": 31, "atan": 32, "min": 33, "max": 34, "pwl": 35, "sign": 46, "erf": 49, "erfc": 50, "and": 51,
        "or": 52}


def func(name, *args, fn=None):
    """An internal function of the given arguments (written after a delimiter)."""
    args = [Expr.lift(a) for a in args]
    tokens = [(22, 0.0)]
    for a in args:
        tokens += a.tokens
    tokens.append((12, float(IFUN[name])))
    return Expr(tokens, lambda x: fn(*[a.fn(x) for a in args]))


def pwl(t, points, fn):
    """Piecewise linear through points [(x0, y0), ...] of expression t."""
    flat = []
    for px, py in points:
        flat += [px, py]
    tokens = [(22, 0.0)]
    for v in reversed(flat):
        tokens.append((1, float(v)))
    tokens += t.tokens
    tokens.append((12, 35.0))
    return Expr(tokens, lambda x: fn(t.fn(x)))


def user(index, *args, fn):
    """A call of user function `index`, arguments written last to first."""
    args = [Expr.lift(a) for a in args]
    tokens = [(22, 0.0)]
    for a in reversed(args):
        tokens += a.tokens
    tokens.append((11, float(index)))
    return Expr(tokens, lambda x: fn(*[a.fn(x) for a in args]))


class NlpModel:
    """Builds a nonlinear problem through the engine's C interface: columns,
    linear rows in one load, nonlinear coefficients in one KNLSaddcoefs call,
    and a nonlinear objective through a transfer row and column."""

    INF = 1e20

    def __init__(self, lb, ub, obj=None, start=None, integer=()):
        self.lb, self.ub = list(lb), list(ub)
        self.obj = list(obj) if obj is not None else [0.0] * len(self.lb)
        self.start = start
        self.integer = list(integer)
        self.rows = []  # (type, rhs, {col: coef}, [(col, factor, Expr)])
        self.objective = None
        self.sense = 1
        self.constant = 0.0
        self.qobj = []    # (i, j, q): the objective gets 0.5 q x_i^2 (i == j) or q x_i x_j
        self.qrows = {}   # row -> [(i, j, q)]: the row gets q x_i^2 (i == j) or 2 q x_i x_j

    def row(self, rowtype, rhs, linear=None, nonlinear=()):
        self.rows.append((rowtype, float(rhs), dict(linear or {}), list(nonlinear)))
        return len(self.rows) - 1

    def build(self):
        p = NlpProblem()
        n = len(self.lb)
        lb, ub, obj = list(self.lb), list(self.ub), list(self.obj)
        rows = list(self.rows)
        transfer = None
        if self.objective is not None:
            transfer = (len(rows), n)
            lb.append(-self.INF)
            ub.append(self.INF)
            obj.append(1.0)
            rows.append(("E", 0.0, {n: -1.0}, [(-1, 1.0, self.objective)]))
        ncols, nrows = len(lb), len(rows)
        by_col = [[] for _ in range(ncols)]
        for i, (_, _, lin, _) in enumerate(rows):
            for j, v in lin.items():
                by_col[j].append((i, v))
        start, rind, rval = [0], [], []
        for j in range(ncols):
            for i, v in by_col[j]:
                rind.append(i)
                rval.append(v)
            start.append(len(rind))
        p.opt.call("KRVSloadlp64", b"nlp", ncols, nrows, (ctypes.c_char * max(1, nrows))(*[r[0].encode() for r in rows]),
                   nl_dbls(r[1] for r in rows), None, nl_dbls(obj), (ctypes.c_int64 * (ncols + 1))(*start), None,
                   nl_ints(rind), nl_dbls(rval), nl_dbls(lb), nl_dbls(ub))
        if self.constant:
            p.opt.call("KRVSchgobj", 1, nl_ints([-1]), nl_dbls([-self.constant]))
        if self.qobj:
            p.opt.call("KRVSchgmqobj64", len(self.qobj), nl_ints(e[0] for e in self.qobj),
                       nl_ints(e[1] for e in self.qobj), nl_dbls(e[2] for e in self.qobj))
        for r, entries in self.qrows.items():
            p.opt.call("KRVSaddqmatrix64", r, len(entries), nl_ints(e[0] for e in entries),
                       nl_ints(e[1] for e in entries), nl_dbls(e[2] for e in entries))
        if self.integer:
            p.opt.call("KRVSchgcoltype", len(self.integer), nl_ints(self.integer),
                       (ctypes.c_char * len(self.integer))(*[b"I"] * len(self.integer)))
        coefs = [(i, c, f, e.tokens) for i, r in enumerate(rows) for c, f, e in r[3]]
        if coefs:
            p.add_coefs(coefs)
        if transfer is not None:
            p.call("KNLSchgvar", transfer[1], ctypes.byref(ctypes.c_int(transfer[0])), *[None] * 11)
            p.call("KNLSchgrowstatus", transfer[0], ctypes.byref(ctypes.c_int(0x800)))
        if self.sense != 1:
            p.opt.call("KRVSchgobjsense", self.sense)
            p.set_dbl(12146, float(self.sense))
        if self.start is not None:
            for j, v in enumerate(self.start):
                p.call("KNLSchgvar", j, None, None, None, None, None, ctypes.byref(ctypes.c_double(v)), None,
                       None, None, None, None)
        p.set_int(12403, 0)
        return p


def nlp_with_point(point, lb=-1e20, ub=1e20):
    """A problem of len(point) free columns and no rows, whose start point
    (where formulas are evaluated) is `point`."""
    n = len(point)
    p = NlpProblem()
    p.opt.call("KRVSloadlp64", b"f", n, 0, None, None, None, nl_dbls([0.0] * n), int64s([0] * (n + 1)), None,
               None, None, nl_dbls([lb] * n), nl_dbls([ub] * n))
    p.set_point(point)
    return p


def _set_point(self, point):
    for j, v in enumerate(point):
        self.call("KNLSchgvar", j, None, None, None, None, None, ctypes.byref(ctypes.c_double(v)), None, None,
                  None, None, None)


def _gradient(self, tokens):
    """Value and exact gradient (one entry per column) of a formula at the
    start point."""
    tokens = list(tokens) + [(0, 0.0)]
    n = self.int_attr(12000)
    out = ctypes.c_double()
    grad = (ctypes.c_double * max(n, 1))()
    self.call("KNLSevaluateformulagradient", 1, nl_ints(t for t, _ in tokens), nl_dbls(v for _, v in tokens),
              ctypes.byref(out), grad)
    return out.value, list(grad)[:n]


NlpProblem.set_point = _set_point
NlpProblem.gradient = _gradient
