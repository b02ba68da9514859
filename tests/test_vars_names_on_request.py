"""Names of korvo.vars() variables are made when asked for: they must read,
reach the engine, files and pickles exactly as the stored strings did, give
way to a name set later, and leave nothing behind when the variables go."""
import gc
import itertools
import pickle
import random

import numpy as np
import pytest

import korvo


def expected_name(prefix, labels):
    return "%s(%s)" % (prefix, ",".join(labels))


def label_lists(args):
    out = []
    for arg in args:
        if isinstance(arg, int):
            out.append([str(i) for i in range(arg)])
        else:
            out.append([str(v).replace(" ", "") if not isinstance(v, (str, bytes)) else
                        (v if isinstance(v, str) else v.decode()) for v in arg])
    return out


def test_names_follow_the_index_sets_for_random_shapes():
    rng = random.Random(20)
    for _ in range(25):
        dims = rng.randint(1, 4)
        args = []
        for _ in range(dims):
            if rng.random() < 0.6:
                args.append(rng.randint(1, 6))
            else:
                pool = ["a", "bb", 3, 4.5, "é", (1, 2), "z z"]
                args.append(rng.sample(pool, rng.randint(1, 4)))
        prefix = rng.choice(["x", "flow", "ü"])
        v = korvo.vars(*args, name=prefix)
        labels = label_lists(args)
        if all(isinstance(a, int) for a in args):
            items = [(idx, v[idx]) for idx in itertools.product(*[range(a) for a in args])]
            positions = list(itertools.product(*[range(a) for a in args]))
        else:
            positions = list(itertools.product(*[range(len(a)) if not isinstance(a, int) else range(a) for a in args]))
            keys = [tuple(a[i] if not isinstance(a, int) else i for a, i in zip(args, pos)) for pos in positions]
            items = [(pos, v[key[0] if len(key) == 1 else key]) for pos, key in zip(positions, keys)]
        for pos, (_, var) in zip(positions, items):
            assert var.name == expected_name(prefix, [labels[d][i] for d, i in enumerate(pos)])
            assert str(var) == var.name


def test_default_prefix_unnamed_calls_and_single_variables():
    x = korvo.vars(2, 3)
    assert x[1, 2].name == "x(1,2)"
    y = korvo.vars(4, name="")
    assert y[3].name == "C%d" % hash(y[3])
    z = korvo.vars(["p", "q"], name="z")
    assert z["q"].name == "z(q)"


def test_long_and_odd_names_are_cut_as_before():
    long_label = "L" * 400
    v = korvo.vars([long_label, "s"], name="n")
    assert v[long_label].name == ("n(" + long_label + ")")[:255]
    assert v["s"].name == "n(s)"
    # bytes that are not UTF-8 read as the replacement character
    w = korvo.vars([b"\xff\xfe"], name="b")
    assert w[b"\xff\xfe"].name == "b(\ufffd\ufffd)"


def test_a_name_set_later_replaces_the_pattern_and_deletion_does_not():
    x = korvo.vars(3, name="x")
    x[1].name = "middle"
    assert [v.name for v in x] == ["x(0)", "middle", "x(2)"]
    p = korvo.problem()
    p.addVariable(x)
    assert p.getnamelist(2) == ["x(0)", "middle", "x(2)"]
    x[2].name = "last"
    assert p.getnamelist(2) == ["x(0)", "middle", "last"]
    p.delVariable(x[0])
    assert p.getnamelist(2) == ["middle", "last"]


def test_engine_names_match_the_objects_on_random_models(tmp_path):
    rng = np.random.default_rng(7)
    p = korvo.problem()
    blocks = [korvo.vars(3, 4, name="a"), korvo.vars(5, name=""), korvo.vars(["u", "é", 7], name="v"),
              korvo.vars(2, 2, 2, name="w")]
    flat = [v for b in blocks for v in (b.ravel() if isinstance(b, np.ndarray) else b.values())]
    order = rng.permutation(len(flat))
    flat = [flat[i] for i in order]
    flat[3].name = "renamed"
    p.addVariable(flat[:10])
    p.addVariable(flat[10:])
    assert p.getnamelist(2) == [v.name for v in flat]
    for j, v in enumerate(flat):
        assert p.getIndexFromName(2, v.name) == j
    p.addConstraint(korvo.Sum(flat) >= 1)
    p.setObjective(korvo.Sum(flat))
    path = str(tmp_path / "m.lp")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    own = {v.name for v in flat if not v.name.startswith("C") and v.name.isascii()}
    assert own <= set(q.getnamelist(2)) and len(own) >= 12 + 2 + 8 - 1


def test_pickles_keep_pattern_names():
    x = korvo.vars(2, 2, name="pk")
    back = pickle.loads(pickle.dumps(x))
    assert [v.name for v in back.ravel()] == ["pk(0,0)", "pk(0,1)", "pk(1,0)", "pk(1,1)"]
    del x
    gc.collect()
    assert back[1, 1].name == "pk(1,1)"


def test_duplicate_dict_entries_name_the_variable():
    with pytest.raises(korvo.ModelError, match=r"Duplicate entry in vars: <x\(a\)>"):
        korvo.vars(["a", "a"], name="x")
    # the refused call left nothing that later calls could read
    assert korvo.vars(["a"], name="x")["a"].name == "x(a)"


def test_patterns_go_with_their_last_variable():
    # each call's pattern holds 20000 labels of 200 characters (about 4 MB);
    # kept after its variables die, 30 calls would hold over 100 MB
    def rss_mib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    labels = ["%0200d" % i for i in range(20000)]
    korvo.vars(labels, name="warm")
    gc.collect()
    before = rss_mib()
    for _ in range(30):
        v = korvo.vars(labels, name="t")
        keep = v[labels[5]]
        del v
        gc.collect()
        assert keep.name == "t(" + labels[5] + ")"
        del keep
        gc.collect()
    assert rss_mib() - before < 60
