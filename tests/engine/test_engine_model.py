"""The engine's model store through its C interface: loading, appends, names,
deletions, quadratic parts, sets, indicators, copies, errors and counts."""
import ctypes

import pytest

from krvs_binding import ModelProblem, chars, dbls, int64s, ints, lib, packed_names

INF = 1e20


def small_lp():
    """3 rows x 3 columns:
         r0: x0 + 2 x1        <= 4
         r1:      3 x1 + x2   >= 1
         r2: x0        - x2   in [-2, 5]   (range row)
    """
    p = ModelProblem()
    p.load(rowtype="LGR", rhs=[4, 1, 5], rng=[0, 0, 7], obj=[1, -1, 2],
           start=[0, 2, 4, 6], rowind=[0, 2, 0, 1, 1, 2], rowcoef=[1, 1, 2, 3, 1, -1],
           lb=[0, -INF, 1], ub=[10, INF, 3])
    return p


DENSE = [[1, 2, 0], [0, 3, 1], [1, 0, -1]]


def test_load_and_simple_getters():
    p = small_lp()
    assert (p.rows(), p.cols(), p.int_attr(1124), p.int_attr(1214)) == (3, 3, 3, 3)
    assert p.int_attr(1020) == 6 and p.int_attr(1019) == 0
    assert p.rowtypes() == "LGR"
    assert p.rhs() == [4, 1, 5]
    assert p.ranges() == [0, 0, 7]
    assert p.obj() == [1, -1, 2]
    assert p.lb() == [0, -INF, 1] and p.ub() == [10, INF, 3]
    assert p.coltypes() == "CCC"
    assert p.dense() == DENSE and p.dense_by_rows() == DENSE
    assert p.coef(1, 2) == 1 and p.coef(0, 2) == 0
    # A sub-range of a getter.
    assert p.doubles("KRVSgetrhs", 3, 1, 2) == [1, 5]
    # The problem name comes with the load.
    assert p.int_attr(1158) == 1


def test_load_variants_collen_int_starts_and_nulls():
    p = ModelProblem()
    # Column starts with lengths and a gap in the arrays; int (32-bit) starts.
    start = ints([0, 3])
    collen = ints([2, 1])
    rc = lib.KRVSloadlp(p.handle, b"x", 2, 2, b"EE", dbls([1, 2]), None, None, start, collen,
                        ints([0, 1, 99, 1]), dbls([5, 6, 0, 7]), None, None)
    assert rc == 0
    assert p.dense() == [[5, 0], [6, 7]]
    assert p.lb() == [0, 0] and p.ub() == [INF, INF] and p.obj() == [0, 0]
    # An empty model with every array null.
    p.call("KRVSloadlp", b"noname", 0, 0, None, None, None, None, None, None, None, None, None, None)
    assert (p.rows(), p.cols(), p.int_attr(1020)) == (0, 0, 0)


def test_refused_load_keeps_old_model_and_names_the_fault():
    p = small_lp()
    cases = [
        (dict(rowtype="LX"), "invalid row type 'X'"),
        (dict(rowind=[0, 5]), "row index 5 out of range"),
        (dict(lb=[float("nan"), 0]), "NaN"),
    ]
    for change, text in cases:
        args = dict(rowtype="LG", rhs=[1, 2], obj=[1, 1], start=[0, 1, 2], rowind=[0, 1], rowcoef=[1, 1])
        args.update(change)
        with pytest.raises(RuntimeError, match=text):
            p.load(**args)
        assert p.dense() == DENSE and p.rowtypes() == "LGR"


def test_batch_appends_of_rows_and_columns():
    p = small_lp()
    # Two new columns, with coefficients in existing rows.
    p.call("KRVSaddcols64", 2, 3, dbls([5, 6]), int64s([0, 2, 3]), ints([0, 2, 1]), dbls([7, 8, 9]),
           dbls([-1, 0]), dbls([1, INF]))
    assert p.cols() == 5 and p.obj()[3:] == [5, 6] and p.lb()[3:] == [-1, 0]
    # Two new rows touching old and new columns; the second with no entries.
    p.call("KRVSaddrows64", 2, 2, chars("EN"), dbls([3, 0]), None, int64s([0, 2, 2]), ints([4, 0]), dbls([1.5, -1]))
    assert p.rows() == 5 and p.rowtypes() == "LGREN"
    expected = [[1, 2, 0, 7, 0], [0, 3, 1, 0, 9], [1, 0, -1, 8, 0], [-1, 0, 0, 0, 1.5], [0, 0, 0, 0, 0]]
    assert p.dense() == expected and p.dense_by_rows() == expected
    assert p.int_attr(1020) == 11
    # Columns without coefficients and with null objective and bounds (the
    # way variables are added): starts only, n + 1 of them.
    p.call("KRVSaddcols64", 3, 0, None, int64s([0, 0, 0, 0]), None, None, None, None)
    assert p.cols() == 8 and p.lb()[5:] == [0, 0, 0] and p.ub()[5:] == [INF] * 3
    # One start per row (without the closing one) is accepted as well.
    p.call("KRVSaddrows64", 1, 1, chars("L"), dbls([2]), None, int64s([0]), ints([7]), dbls([4]))
    assert p.coef(5, 7) == 4
    # Bounds and right-hand sides beyond 1e20 are infinite; a range is read
    # for 'R' rows only (a NaN next to an 'L' row is not looked at).
    p.call("KRVSaddcols64", 2, 0, None, int64s([0, 0, 0]), None, None, dbls([-1e30, 2]), dbls([5e20, 3]))
    assert p.lb()[-2:] == [-INF, 2] and p.ub()[-2:] == [INF, 3]
    p.call("KRVSaddrows64", 2, 0, chars("LR"), dbls([1e25, 4]), dbls([float("nan"), 2]), int64s([0, 0, 0]), None, None)
    assert p.rhs()[-2:] == [INF, 4] and p.ranges()[-1] == 2


def test_append_errors_leave_model_unchanged():
    p = small_lp()
    cases = [
        ("KRVSaddrows64", (1, 1, chars("L"), dbls([1]), None, int64s([0, 1]), ints([3]), dbls([1])),
         "column index 3 out of range"),
        ("KRVSaddrows64", (1, 0, chars("Q"), dbls([1]), None, None, None, None), "invalid row type 'Q'"),
        ("KRVSaddcols64", (1, 1, None, int64s([0, 1]), ints([-1]), dbls([1]), None, None), "row index -1"),
        ("KRVSaddcols64", (1, 1, None, int64s([0, 1]), ints([0]), dbls([float("inf")]), None, None),
         "not a finite number"),
        ("KRVSaddrows64", (-1, 0, None, None, None, None, None, None), "negative number of rows"),
        # In a longer batch the first fault in entry order is the one named.
        ("KRVSaddrows64", (2, 5, chars("LL"), dbls([1, 1]), None, int64s([0, 3]), ints([0, 1, 2, 0, 7]),
                           dbls([1, 1, float("nan"), 1, 1])), "not a finite number given as coefficient"),
        ("KRVSaddrows64", (2, 5, chars("LL"), dbls([1, 1]), None, int64s([0, 3]), ints([0, 1, 7, 0, 2]),
                           dbls([1, 1, 1, float("-inf"), 1])), "column index 7 out of range"),
    ]
    for fn, args, text in cases:
        rc, err = p.try_call(fn, *args)
        assert rc != 0 and text in err and fn in err
        assert (p.rows(), p.cols()) == (3, 3) and p.dense() == DENSE


def test_coefficient_changes_and_queries_interleave():
    p = small_lp()
    p.call("KRVSchgcoef", 0, 2, 9.0)      # new entry
    assert p.coef(0, 2) == 9
    p.call("KRVSchgcoef", 0, 0, 0.0)      # removal
    assert p.coef(0, 0) == 0
    p.call("KRVSchgmcoef64", 2, ints([1, 1]), ints([1, 1]), dbls([4, 5]))  # last one wins
    assert p.coef(1, 1) == 5
    assert p.int_attr(1020) == 6
    assert p.dense() == [[0, 2, 9], [0, 5, 1], [1, 0, -1]]
    # After the compressed form was rebuilt, further changes still show.
    p.call("KRVSchgcoef", 2, 2, 0.0)
    assert p.dense_by_rows() == [[0, 2, 9], [0, 5, 1], [1, 0, 0]]
    # Appending a row after a query, then querying it through the pending hash.
    p.call("KRVSaddrows64", 1, 2, chars("L"), dbls([1]), None, int64s([0, 2]), ints([1, 1]), dbls([2, 3]))
    assert p.coef(3, 1) == 5  # duplicates within an appended row add up
    assert lib.KRVSchgcoef(p.handle, 4, 0, ctypes.c_double(1)) != 0


def test_bounds_rhs_types_and_objective_changes():
    p = small_lp()
    p.call("KRVSchgbounds", 3, ints([0, 1, 2]), chars("LUB"), dbls([-5, 7, 2]))
    assert p.lb() == [-5, -INF, 2] and p.ub() == [10, 7, 2]
    p.call("KRVSchgbounds", 1, ints([0]), chars("U"), dbls([3e20]))
    assert p.ub()[0] == INF
    p.call("KRVSchgrhs", 1, ints([1]), dbls([8]))
    p.call("KRVSchgrowtype", 2, ints([0, 2]), chars("EL"))
    assert p.rowtypes() == "EGL" and p.rhs() == [4, 8, 5] and p.ranges() == [0, 0, 0]
    # A range on a 'G' row keeps the right-hand side as the lower end.
    p.call("KRVSchgrhsrange", 1, ints([1]), dbls([2]))
    assert p.rowtypes() == "ERL" and p.rhs()[1] == 10 and p.ranges()[1] == 2
    p.call("KRVSchgobj", 2, ints([-1, 2]), dbls([3.5, 4]))
    assert p.obj() == [1, -1, 4] and p.dbl_attr(2007) == -3.5
    p.call("KRVSchgobjsense", -1)
    assert p.int_attr(1024) == -1
    rc, err = p.try_call("KRVSchgobjsense", 0)
    assert rc and "objective sense" in err
    rc, err = p.try_call("KRVSchgbounds", 1, ints([0]), chars("X"), dbls([1]))
    assert rc and "bound type 'X'" in err


def test_column_types_limits_and_mip_counts():
    p = small_lp()
    p.call("KRVSaddcols64", 3, 0, None, int64s([0, 0, 0, 0]), None, None, dbls([0, 0, -3]), dbls([5, 8, 9]))
    p.call("KRVSchgcoltype", 6, ints([0, 1, 2, 3, 4, 5]), chars("BICSRP"))
    assert p.coltypes() == "BICSRP"
    assert p.lb()[0] == 0 and p.ub()[0] == 1  # a binary column is clamped to [0, 1]
    p.call("KRVSchgglblimit", 3, ints([3, 4, 5]), dbls([2, 3, 4]))
    assert p.entities() == [(0, "B", 0), (1, "I", 0), (3, "S", 2), (4, "R", 3), (5, "P", 4)]
    assert p.int_attr(1032) == 3 and p.int_attr(1325) == 2
    rc, err = p.try_call("KRVSchgglblimit", 1, ints([1]), dbls([2]))
    assert rc and "not semi-continuous" in err
    rc, err = p.try_call("KRVSchgcoltype", 1, ints([1]), chars("Z"))
    assert rc and "invalid column type 'Z'" in err
    p.call("KRVSchgcoltype", 5, ints([0, 1, 3, 4, 5]), chars("CCCCC"))
    assert p.int_attr(1032) == 0 and p.int_attr(1325) == 0


def test_names_lookup_ranges_and_lengths():
    p = small_lp()
    assert p.names(1) == ["R0", "R1", "R2"] and p.names(2) == ["C0", "C1", "C2"]
    assert p.int_attr(1028) == 1
    p.set_names(2, ["x", "a_rather_long_name_of_20"], first=1)
    assert p.names(2) == ["C0", "x", "a_rather_long_name_of_20"]
    assert p.int_attr(1028) == 3
    assert p.index(2, "x") == 1 and p.index(2, "C0") == 0
    rc, err = p.try_call("KRVSgetindex", 2, b"nope", ctypes.byref(ctypes.c_int()))
    assert rc and "no column named 'nope'" in err
    # Renaming keeps the lookup current.
    p.set_names(2, ["y"], first=1)
    assert p.index(2, "y") == 1
    rc, _ = p.try_call("KRVSgetindex", 2, b"x", ctypes.byref(ctypes.c_int()))
    assert rc
    # Fixed-width slots of 8 * L + 1 bytes.
    slot = 8 * 3 + 1
    buf = ctypes.create_string_buffer(slot * 2)
    p.call("KRVSgetnames", 2, buf, 1, 2)
    assert buf.raw[:slot].rstrip(b"\0") == b"y" and buf.raw[slot:].rstrip(b"\0") == b"a_rather_long_name_of_20"
    # Range errors and a too small buffer.
    rc, err = p.try_call("KRVSaddnames", 1, packed_names(["a", "b"]), 2, 3)
    assert rc and "invalid range 2..3 of rows" in err
    need = ctypes.c_int()
    rc, err = p.try_call("KRVSgetnamelist", 2, ctypes.create_string_buffer(3), 3, ctypes.byref(need), 0, 2)
    assert rc and "too small" in err and need.value == len("C0 y a_rather_long_name_of_20 ")
    rc, err = p.try_call("KRVSgetnamelist", 4, None, 0, ctypes.byref(need), 0, 0)
    assert rc and "invalid name type 4" in err


def test_deletions_shift_indices_and_keep_everything_consistent():
    p = ModelProblem()
    # 4 rows x 5 columns, a_ij = 10 i + j + 1.
    m, n = 4, 5
    start, rowind, coef = [0], [], []
    for j in range(n):
        for i in range(m):
            rowind.append(i)
            coef.append(10 * i + j + 1)
        start.append(len(rowind))
    p.load(rowtype="LGEL", rhs=[1, 2, 3, 4], obj=[0, 1, 2, 3, 4], start=start, rowind=rowind, rowcoef=coef)
    p.set_names(1, ["a", "b", "c", "d"])
    p.set_names(2, ["v", "w", "x", "y", "z"])
    p.call("KRVSchgcoltype", 1, ints([4]), chars("B"))
    p.call("KRVSaddqmatrix64", 3, 1, ints([1]), ints([3]), dbls([0.5]))
    p.call("KRVSsetindicators", 2, ints([1, 3]), ints([4, 2]), ints([1, -1]))
    p.call("KRVSchgmqobj64", 2, ints([0, 3]), ints([4, 3]), dbls([1, 2]))
    p.call("KRVSaddsets64", 1, 3, chars("1"), int64s([0, 3]), ints([0, 1, 3]), dbls([1, 2, 3]))

    # Delete columns 1 and 3 (given unsorted, with a duplicate).
    p.call("KRVSdelcols", 3, ints([3, 1, 3]))
    assert p.names(2) == ["v", "x", "z"] and p.index(2, "z") == 2
    assert p.obj() == [0, 2, 4] and p.coltypes() == "CCB"
    assert p.dense() == [[10 * i + j + 1 for j in (0, 2, 4)] for i in range(4)]
    assert p.qobj() == {(0, 2): 1}                # (3, 3) went with column 3
    assert p.qrows() == {}                         # the row's only entry used deleted columns
    assert p.indicators() == {1: (2, 1), 3: (1, -1)}
    assert p.sets() == [("1", [0], [1])]

    # Delete rows 0 and 2.
    p.call("KRVSdelrows", 2, ints([0, 2]))
    assert p.names(1) == ["b", "d"] and p.rowtypes() == "GL" and p.rhs() == [2, 4]
    assert p.dense() == [[10 * i + j + 1 for j in (0, 2, 4)] for i in (1, 3)]
    assert p.indicators() == {0: (2, 1), 1: (1, -1)}
    assert p.int_attr(1327) == 2

    p.call("KRVSdelsets", 1, ints([0]))
    assert p.int_attr(1004) == 0 and p.int_attr(1005) == 0
    for fn, args, text in [("KRVSdelrows", (1, ints([2])), "row index 2"),
                           ("KRVSdelcols", (1, ints([-1])), "column index -1"),
                           ("KRVSdelsets", (1, ints([0])), "set index 0")]:
        rc, err = p.try_call(fn, *args)
        assert rc and text in err
    assert (p.rows(), p.cols()) == (2, 3)


def test_indicator_column_follows_column_deletion():
    p = small_lp()
    p.call("KRVSsetindicators", 2, ints([0, 2]), ints([2, 0]), ints([1, -1]))
    assert p.indicators() == {0: (2, 1), 2: (0, -1)}
    p.call("KRVSdelcols", 1, ints([1]))
    assert p.indicators() == {0: (1, 1), 2: (0, -1)}
    p.call("KRVSdelcols", 1, ints([0]))
    assert p.indicators() == {0: (0, 1)}          # the indicator on the deleted column is gone
    p.call("KRVSsetindicators", 1, ints([0]), ints([0]), ints([0]))
    assert p.indicators() == {}
    p.call("KRVSsetindicators", 2, ints([1, 2]), ints([0, 0]), ints([1, 1]))
    p.call("KRVSdelindicators", 2, 2)
    assert p.indicators() == {1: (0, 1)}
    rc, err = p.try_call("KRVSsetindicators", 1, ints([0]), ints([0]), ints([2]))
    assert rc and "complement flag 2" in err


def test_quadratic_objective_conventions():
    p = small_lp()
    # Load-style adds: entries of either triangle, duplicates add up.
    p.call("KRVSloadqp64", b"q", 3, 0, None, None, None, None, None, None, None, None, None, None,
           4, ints([0, 2, 1, 0]), ints([0, 1, 2, 0]), dbls([1, 2, 3, 4]))
    assert p.qobj() == {(0, 0): 5, (1, 2): 5}
    assert p.int_attr(1021) == 2
    # Changes replace; a zero removes the entry.
    p.call("KRVSchgmqobj", 2, ints([2, 0]), ints([1, 0]), dbls([7, 0]))
    assert p.qobj() == {(1, 2): 7}
    # A range of columns lists the upper-triangle entries of those columns.
    start, ind, val = (ctypes.c_int * 2)(), (ctypes.c_int * 1)(), (ctypes.c_double * 1)()
    n = ctypes.c_int()
    p.call("KRVSgetmqobj", start, ind, val, 1, ctypes.byref(n), 1, 1)
    assert n.value == 1 and (ind[0], val[0]) == (2, 7)
    rc, err = p.try_call("KRVSchgmqobj64", 1, ints([0]), ints([3]), dbls([1]))
    assert rc and "column index 3" in err


def test_quadratic_rows_round_trip_the_interface_convention():
    p = small_lp()
    p.call("KRVSaddqmatrix64", 1, 3, ints([0, 2, 1]), ints([0, 1, 2]), dbls([1, 0.5, 0.25]))
    assert p.qrows() == {1: {(0, 0): 1, (1, 2): 0.75}}
    assert p.int_attr(1022) == 1
    p.call("KRVSloadqcqp64", b"qc", 2, 2, chars("LL"), dbls([1, 1]), None, None, None, None, None, None, None, None,
           0, None, None, None, 2, ints([1, 0]), int64s([1, 2]), ints([0, 1, 0]), ints([1, 1, 0]), dbls([3, 4, 5]))
    assert p.qrows() == {0: {(1, 1): 4, (0, 0): 5}, 1: {(0, 1): 3}}
    rc, err = p.try_call("KRVSaddqmatrix64", 5, 1, ints([0]), ints([0]), dbls([1]))
    assert rc and "row index 5" in err


def test_load_global_entities_and_sets():
    p = ModelProblem()
    p.call("KRVSloadglobal64", b"g", 4, 1, chars("L"), dbls([3]), None, None, int64s([0, 1, 2, 3, 4]), None,
           ints([0, 0, 0, 0]), dbls([1, 1, 1, 1]), None, dbls([5, 5, 5, 5]),
           3, 2, chars("ISP"), ints([0, 2, 3]), dbls([0, 1.5, 2.5]),
           chars("12"), int64s([0, 2, 4]), ints([0, 1, 2, 3]), dbls([1, 2, 1, 2]))
    assert p.coltypes() == "ICSP"
    assert p.entities() == [(0, "I", 0), (2, "S", 1.5), (3, "P", 2.5)]
    assert p.sets() == [("1", [0, 1], [1, 2]), ("2", [2, 3], [1, 2])]
    assert (p.int_attr(1004), p.int_attr(1194), p.int_attr(1005)) == (2, 2, 4)
    assert (p.int_attr(1032), p.int_attr(1325)) == (2, 1)
    # Sets appended one at a time with a single start (as the modelling layer does).
    p.call("KRVSaddsets64", 1, 2, chars("2"), int64s([0]), ints([3, 1]), dbls([5, 6]))
    assert p.sets()[-1] == ("2", [3, 1], [5, 6])
    p.call("KRVSaddsetnames", packed_names(["s0", "s1", "s2"]), 0, 2)
    assert p.names(3) == ["s0", "s1", "s2"] and p.index(3, "s1") == 1
    p.call("KRVSdelsets", 1, ints([1]))
    assert p.names(3) == ["s0", "s2"] and p.sets()[1][0] == "2"
    rc, err = p.try_call("KRVSaddsets64", 1, 1, chars("3"), int64s([0]), ints([0]), None)
    assert rc and "invalid set type '3'" in err


def test_copyprob_is_a_deep_copy():
    p = small_lp()
    p.set_names(2, ["x", "y", "z"])
    p.call("KRVSaddqmatrix64", 0, 1, ints([0]), ints([1]), dbls([1]))
    q = ModelProblem()
    q.call("KRVScopyprob", p.handle, b"")
    assert q.dense() == DENSE and q.names(2) == ["x", "y", "z"] and q.qrows() == p.qrows()
    name = ctypes.create_string_buffer(64)
    q.call("KRVSgetprobname", name)
    assert name.value == b"m"
    q.call("KRVSchgcoef", 0, 0, 5.0)
    q.call("KRVSdelcols", 1, ints([2]))
    assert p.dense() == DENSE and p.cols() == 3
    r = ModelProblem()
    r.call("KRVScopyprob", p.handle, b"other")
    r.call("KRVSgetprobname", name)
    assert name.value == b"other"


def test_getters_refuse_bad_ranges_and_null_buffers():
    p = small_lp()
    out = (ctypes.c_double * 4)()
    for fn, first, last in [("KRVSgetlb", 2, 1), ("KRVSgetrhs", 0, 3), ("KRVSgetobj", -1, 0)]:
        rc, err = p.try_call(fn, out, first, last)
        assert rc and "invalid range" in err
    rc, err = p.try_call("KRVSgetub", None, 0, 0)
    assert rc and "null output array" in err
    # Matrix queries: sizes only with null arrays; at most maxcoefs written.
    n = ctypes.c_int64()
    p.call("KRVSgetrows64", None, None, None, 0, ctypes.byref(n), 1, 2)
    assert n.value == 4
    start, ind, val = (ctypes.c_int64 * 3)(), (ctypes.c_int * 4)(), (ctypes.c_double * 4)()
    p.call("KRVSgetrows64", start, ind, val, 3, ctypes.byref(n), 1, 2)
    assert n.value == 4 and list(start) == [0, 2, 3] and list(ind)[:3] == [1, 2, 0]
