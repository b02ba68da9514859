"""Model files: MPS and LP round trips of a model holding every part, details of
both formats, error texts naming file and line, and every shared instance
read, written and read again."""
import ctypes
import os

import pytest

from krvs_binding import ModelProblem, chars, dbls, int64s, ints, packed_names

INF = 1e20


def read(path, flags=""):
    p = ModelProblem()
    p.call("KRVSreadprob", str(path).encode(), flags.encode())
    return p


def write(p, path, flags=""):
    p.call("KRVSwriteprob", str(path).encode(), flags.encode())


def problem_name(p):
    buf = ctypes.create_string_buffer(256)
    p.call("KRVSgetprobname", buf)
    return buf.value.decode()


def snapshot(p, with_names=True):
    """Everything a model holds, in comparable form."""
    n, m = p.cols(), p.rows()
    out = dict(
        dims=(m, n), obj=p.obj() if n else [], lb=p.lb() if n else [], ub=p.ub() if n else [],
        types=p.coltypes() if n else "", rowtypes=p.rowtypes() if m else "", rhs=p.rhs() if m else [],
        ranges=p.ranges() if m else [], entities=p.entities(), qobj=p.qobj(), qrows=p.qrows(), sets=p.sets(),
        indicators=p.indicators(), constant=p.dbl_attr(2007), sense=p.int_attr(1024), nnz=p.int_attr(1020),
    )
    if n and m:
        total = ctypes.c_int64()
        p.call("KRVSgetcols64", None, None, None, 0, ctypes.byref(total), 0, n - 1)
        start = (ctypes.c_int64 * (n + 1))()
        ind = (ctypes.c_int * max(total.value, 1))()
        val = (ctypes.c_double * max(total.value, 1))()
        p.call("KRVSgetcols64", start, ind, val, total.value, ctypes.byref(total), 0, n - 1)
        out["matrix"] = (list(start), list(ind)[:total.value], list(val)[:total.value])
    if with_names:
        out["names"] = (p.names(1), p.names(2), p.names(3))
    return out


def every_part_model(partial_integer=True):
    """4 rows (L, G, R, E) + a free row, 7 columns with every kind of bound
    and type, a quadratic objective and row, two sets, two indicators."""
    p = ModelProblem()
    # Columns: x0 free, x1 in [-inf, -2], x2 fixed at 3.5, x3 integer in [0, 10],
    # x4 binary, x5 semi-continuous (0 or [2, 8]), x6 semi-integer (0 or [1, 9]).
    obj = [1, -2, 0.1, 3, 0, 1e-7, 123456.789]
    start = [0, 2, 4, 5, 7, 8, 9, 10]
    rowind = [0, 2, 1, 3, 0, 1, 4, 2, 3, 0]
    coef = [1, -1, 2.5, 1, 1 / 3, 4, 1, 1, -1, 2]
    p.load(rowtype="LGREN", rhs=[10, -5, 7, 1, 0], rng=[0, 0, 3, 0, 0], obj=obj, start=start, rowind=rowind,
           rowcoef=coef, lb=[-INF, -INF, 3.5, 0, 0, 0, 0], ub=[INF, -2, 3.5, 10, 1, 8, 9], name="every_part")
    p.call("KRVSchgcoltype", 4, ints([3, 4, 5, 6]), chars("IBSR"))
    p.call("KRVSchgglblimit", 2, ints([5, 6]), dbls([2, 1]))
    if partial_integer:
        p.call("KRVSaddcols64", 1, 1, dbls([1]), int64s([0, 1]), ints([1]), dbls([1]), dbls([0]), dbls([20]))
        p.call("KRVSchgcoltype", 1, ints([7]), chars("P"))
        p.call("KRVSchgglblimit", 1, ints([7]), dbls([5]))
    p.set_names(1, ["cap", "demand", "band", "balance", "free_row"])
    p.set_names(2, ["x0", "x1", "x2", "x3", "x4", "x5", "x6"] + (["x7"] if partial_integer else []))
    p.call("KRVSchgobj", 1, ints([-1]), dbls([-4.25]))  # objective constant +4.25
    p.call("KRVSchgobjsense", -1)
    p.call("KRVSchgmqobj64", 3, ints([0, 0, 3]), ints([0, 3, 3]), dbls([2, -1, 4]))
    p.call("KRVSaddqmatrix64", 0, 2, ints([0, 1]), ints([0, 0]), dbls([1, 0.5]))
    p.call("KRVSaddsets64", 2, 5, chars("12"), int64s([0, 2, 5]), ints([0, 1, 2, 3, 5]), dbls([1, 2, 1, 2, 3]))
    p.call("KRVSaddsetnames", packed_names(["s_one", "s_two"]), 0, 1)
    p.call("KRVSsetindicators", 2, ints([0, 3]), ints([4, 4]), ints([1, -1]))
    return p


@pytest.mark.parametrize("fmt", ["mps", "lp"])
def test_round_trip_keeps_every_part(tmp_path, fmt):
    p = every_part_model(partial_integer=fmt == "mps")
    before = snapshot(p)
    assert before["entities"][-3:] == ([(5, "S", 2), (6, "R", 1), (7, "P", 5)] if fmt == "mps"
                                       else [(4, "B", 0), (5, "S", 2), (6, "R", 1)])
    path = tmp_path / ("m." + fmt)
    write(p, path)
    q = read(path)
    assert snapshot(q) == before
    assert problem_name(q) == "every_part"
    # And the file written from the read model is the same text.
    path2 = tmp_path / ("again." + fmt)
    write(q, path2)
    assert path.read_text() == path2.read_text()


def test_lp_refuses_partially_integer_columns_and_flags_choose_format(tmp_path):
    p = every_part_model()
    rc, err = p.try_call("KRVSwriteprob", str(tmp_path / "m.lp").encode(), b"")
    assert rc and "partially integer" in err
    q = every_part_model(partial_integer=False)
    write(q, tmp_path / "plain", "l")  # no ending: the format's is added
    assert (tmp_path / "plain.lp").read_text().startswith("\\ Problem name: every_part")
    write(q, tmp_path / "plain")
    assert (tmp_path / "plain.mps").read_text().startswith("NAME")
    # Reading without an ending finds the file with the format's ending.
    assert snapshot(read(tmp_path / "plain", "l")) == snapshot(read(tmp_path / "plain.mps"))


def test_names_the_formats_cannot_hold(tmp_path):
    p = ModelProblem()
    p.load(rowtype="L", rhs=[1], obj=[1, 1], start=[0, 1, 2], rowind=[0, 0], rowcoef=[1, 1])
    p.set_names(2, ["2x", "a b"])
    # MPS cannot hold a blank in a name: refused, naming the column.
    rc, err = p.try_call("KRVSwriteprob", str(tmp_path / "m.mps").encode(), b"")
    assert rc and "'a b'" in err and "column 1" in err
    # LP replaces names it cannot hold; the model still reads back whole.
    write(p, tmp_path / "m.lp")
    q = read(tmp_path / "m.lp")
    assert snapshot(q, with_names=False) == snapshot(p, with_names=False)
    # Duplicate names are made unique so that rows and columns stay apart.
    p.set_names(2, ["x", "x"])
    write(p, tmp_path / "d.mps")
    assert read(tmp_path / "d.mps").names(2) == ["x", "x_1"]


MPS_DETAILS = """\
* a comment line
NAME          details
OBJSENSE    MAX
ROWS
 N  cost
 E  e_pos
 E  e_neg
 L  lim
 G  low
 N  spare
COLUMNS
    a         cost      1.5D0          e_pos     1
    a         e_neg     1              lim       1
    MARKER    'MARKER'                 'INTORG'
    b         cost      2              low       1
    s         cost      1              lim       1
    MARKER    'MARKER'                 'INTEND'
    c         spare     1              cost      -1
    c         low       1
RHS
    RHS       cost      -2.5           e_pos     4
    e_neg     3
    lim       10                       low       1
RANGES
    RNG       e_pos     2              e_neg     -2
    lim       4                        low       6
BOUNDS
 UP BND       a         -1
 LO BND       c         0
 UP BND       c         -3
 SC BND       s         7
 LO BND       s         2
 FR           b
QUADOBJ
    a         a         2
    a         c         1
QMATRIX
    a         c         3
    c         a         3
ENDATA
trailing text is ignored
"""


def test_mps_details(tmp_path):
    path = tmp_path / "details.mps"
    path.write_bytes(MPS_DETAILS.replace("\n", "\r\n").encode())  # CR LF line ends
    p = read(path)
    assert problem_name(p) == "details" and p.int_attr(1024) == -1
    assert p.names(1) == ["e_pos", "e_neg", "lim", "low", "spare"]
    assert p.names(2) == ["a", "b", "s", "c"]
    assert p.obj() == [1.5, 2, 1, -1] and p.dbl_attr(2007) == 2.5
    # Ranges: E with R > 0 is [rhs, rhs + R]; E with R < 0 [rhs + R, rhs];
    # L [rhs - |R|, rhs]; G [rhs, rhs + |R|]. All become range rows.
    assert p.rowtypes() == "RRRRN"
    assert p.rhs()[:4] == [6, 3, 10, 7] and p.ranges()[:4] == [2, 2, 4, 6]
    # A negative upper bound with no lower bound given makes the lower bound
    # infinite; with a lower bound given it stays.
    assert p.lb() == [-INF, -INF, 0, 0] and p.ub() == [-1, INF, 7, -3]
    # SC inside an integer block is semi-continuous, its LO the threshold.
    assert p.coltypes() == "CISC" and p.entities() == [(1, "I", 0), (2, "S", 2)]
    # QUADOBJ (upper triangle) and QMATRIX (whole matrix) add up.
    assert p.qobj() == {(0, 0): 2, (0, 3): 4}
    assert p.dense() == [[1, 0, 0, 0], [1, 0, 0, 0], [1, 0, 1, 0], [0, 1, 0, 1], [0, 0, 0, 1]]


def test_mps_sets_indicators_and_quadratic_rows(tmp_path):
    path = tmp_path / "s.mps"
    path.write_text("""NAME s
ROWS
 N obj
 L r
COLUMNS
 x obj 1 r 1
 y obj 1 r 1
 z obj 1
RHS
 RHS r 5
BOUNDS
 BV BND z
SOS
 S2 SOS pair 1
  x:1
  y 2
 S1 SOS single
  z 3
QCMATRIX r
 x x 2
 x y 1
 y x 1
INDICATORS
 IF r z 0
ENDATA
""")
    p = read(path)
    assert p.sets() == [("2", [0, 1], [1, 2]), ("1", [2], [3])]
    assert p.names(3) == ["pair", "single"]
    assert p.qrows() == {0: {(0, 0): 2, (0, 1): 1}}
    assert p.indicators() == {0: (2, -1)}
    assert p.coltypes() == "CCB"


LP_DETAILS = """\\ comment
Maximize
 profit: 3 x + 2y - z + [ x ^ 2 + 4 x * y ] / 2 + 7
Subject To
 c1: x + y + z <= 10
 c2: -2 <= x - y <= 1e3
 c3: z = 1 -> x + y >= 2
 -x + 2 y + [ y ^ 2 ] = 4
 free: x + z >= -inf
Bounds
 x <= 4
 -inf <= y <= 8
 z free
 w = 2
 3 <= s <= 9
General
 w s
Binary
 z
Semi-Continuous
 s
SOS
 sos1: S1:: x:1 y:2
End
"""


def test_lp_details(tmp_path):
    path = tmp_path / "d.lp"
    path.write_text(LP_DETAILS)
    p = read(path)
    assert p.int_attr(1024) == -1 and p.dbl_attr(2007) == 7
    assert p.names(2) == ["x", "y", "z", "w", "s"]
    assert p.names(1)[:3] == ["c1", "c2", "c3"] and p.names(1)[4] == "free"
    assert p.obj() == [3, 2, -1, 0, 0]
    assert p.qobj() == {(0, 0): 1, (0, 1): 2}
    assert p.qrows() == {3: {(1, 1): 1}}
    assert p.rowtypes() == "LRGEN" and p.rhs()[:4] == [10, 1000, 2, 4] and p.ranges()[1] == 1002
    assert p.indicators() == {2: (2, 1)}
    assert p.lb() == [0, -INF, 0, 2, 0] and p.ub() == [4, 8, 1, 2, 9]
    assert p.coltypes() == "CCBIR" and p.entities()[-1] == (4, "R", 3)
    assert p.sets() == [("1", [0, 1], [1, 2])]


@pytest.mark.parametrize("fmt, text, where, what", [
    ("mps", "NAME x\nROWS\n N obj\n L r\nCOLUMNS\n x r 1x\nENDATA\n", 6, "invalid number '1x'"),
    ("mps", "NAME x\nROWS\n N obj\nCOLUMNS\n x q 1\nENDATA\n", 5, "unknown row 'q'"),
    ("mps", "NAME x\nROWZ\n", 2, "unknown section 'ROWZ'"),
    ("mps", "NAME x\nROWS\n N obj\nCOLUMNS\n x obj 1\nBOUNDS\n XX BND x 1\nENDATA\n", 7, "invalid bound type"),
    ("lp", "Minimize\n x + y\nSubject To\n c: x + y <=\nEnd\n", 4, "expected a number"),
    ("lp", "Minimize\n x\nSubject To\n c: x ` 3\nEnd\n", 4, "unexpected character '`'"),
    ("lp", "x + y\n", 1, "text before the first section"),
])
def test_unreadable_files_name_file_and_line_and_keep_the_model(tmp_path, fmt, text, where, what):
    path = tmp_path / ("bad." + fmt)
    path.write_text(text)
    p = every_part_model()
    before = snapshot(p)
    rc, err = p.try_call("KRVSreadprob", str(path).encode(), b"")
    assert rc and f"{path}:{where}: " in err and what in err
    assert snapshot(p) == before
    rc, err = p.try_call("KRVSreadprob", str(tmp_path / "missing.mps").encode(), b"")
    assert rc and "cannot open file" in err and "missing.mps" in err


def instance_files():
    from conftest import INSTANCES
    if not os.path.isdir(INSTANCES):
        return []
    return sorted(f for f in os.listdir(INSTANCES) if f.endswith((".mps", ".lp")))


@pytest.mark.parametrize("name", instance_files())
def test_instance_survives_write_and_read(tmp_path, instances_dir, name):
    p = read(os.path.join(instances_dir, name))
    assert p.rows() + p.cols() > 0
    first = snapshot(p)
    for fmt in ("mps", "lp"):
        path = tmp_path / ("copy." + fmt)
        write(p, path)
        again = snapshot(read(path), with_names=fmt == "mps")
        if fmt == "lp":
            first = dict(first)
            first.pop("names", None)
        assert again == first, fmt


@pytest.mark.parametrize("fmt", ["mps", "lp"])
def test_compressed_files(tmp_path, fmt):
    p = every_part_model(partial_integer=False)
    path = tmp_path / f"m.{fmt}.gz"
    write(p, path)
    assert path.read_bytes()[:2] == b"\x1f\x8b"
    assert snapshot(read(path)) == snapshot(p)
    # Found without the ending too.
    assert snapshot(read(tmp_path / "m", "l" if fmt == "lp" else "")) == snapshot(p)
    path.write_bytes(path.read_bytes()[:40])  # cut short
    rc, err = p.try_call("KRVSreadprob", str(path).encode(), b"")
    assert rc and str(path) in err


def test_snapshot_in_memory_round_trips_and_damaged_ones_change_nothing():
    from krvs_binding import lib

    p = every_part_model()
    before = snapshot(p)
    data = ctypes.c_void_p()
    size = ctypes.c_int64()
    p.call("KRVSsavebuffer", ctypes.byref(data), ctypes.byref(size))
    try:
        content = ctypes.string_at(data, size.value)
    finally:
        lib.KRVSfreebuffer(data)
    q = ModelProblem()
    q.call("KRVSrestorebuffer", content, ctypes.c_int64(len(content)))
    assert snapshot(q) == before and problem_name(q) == "every_part"
    # Cut short, or with a byte changed in the header: refused, model kept.
    for damaged in (content[: len(content) // 2], b"X" + content[1:], b""):
        assert lib.KRVSrestorebuffer(q.handle, damaged, ctypes.c_int64(len(damaged))) != 0
        assert snapshot(q) == before
    assert lib.KRVSrestorebuffer(q.handle, None, ctypes.c_int64(0)) != 0
    assert lib.KRVSsavebuffer(q.handle, None, None) != 0
