"""Expression maps stored as flat sorted arrays: order whatever the insertion
order, merging of keys that arrive out of order, and ownership of the keys.
Most checks drive the maps directly through a small compiled probe
(flat_maps_probe.cpp), which also reaches get/set/del and the pending tail;
the last group goes through expressions."""
import gc
import random
import sys

import pytest

import korvo
from conftest import build_probe, refcount_unchanged


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    module = build_probe(tmp_path_factory, "flat_maps_probe")
    module.use_type(korvo.var)
    return module


def keyed(items):
    """(variable id, coefficient) pairs; variables themselves must not be compared with ==."""
    return [(hash(v), c) for v, c in items]




def refs(variables):
    return [sys.getrefcount(v) for v in variables]


# ---- order and merging ------------------------------------------------------

@pytest.mark.parametrize("n", [5, 64, 65, 300, 5000])
@pytest.mark.parametrize("order", ["reverse", "random", "zigzag"])
def test_keys_come_out_in_creation_order(probe, n, order):
    xs = [korvo.var() for _ in range(n)]
    positions = list(range(n))
    if order == "reverse":
        positions.reverse()
    elif order == "random":
        random.Random(n).shuffle(positions)
    else:  # alternately from both ends
        positions = [positions[i // 2] if i % 2 == 0 else positions[-1 - i // 2] for i in range(n)]
    h = probe.new()
    try:
        for i in positions:
            probe.add(h, xs[i], i + 1.0)
        items = probe.items(h)
        assert keyed(items) == [(hash(x), i + 1.0) for i, x in enumerate(xs)]
        assert all(v is x for (v, _), x in zip(items, xs))
        assert probe.size(h) == n
    finally:
        probe.free(h)


def test_pending_duplicates_are_summed_and_cancelled(probe):
    xs = [korvo.var() for _ in range(200)]
    base = refs(xs)
    h = probe.new()
    for i in range(200):
        probe.add(h, xs[i], 1.0)
    # Out of order into a large map: queued, with one reference per queued entry.
    for i in reversed(range(40)):
        probe.add(h, xs[i], -1.0)        # cancels
    probe.add(h, xs[50], 2.0)
    probe.add(h, xs[50], 0.5)             # two pending entries of one key
    probe.add(h, xs[60], -1.0)
    probe.add(h, xs[60], 3.0)             # cancels, then comes back
    assert probe.pending(h) > 0
    assert probe.size(h) == 160 and probe.pending(h) == 0
    got = dict(keyed(probe.items(h)))
    assert got[hash(xs[50])] == 3.5 and got[hash(xs[60])] == 3.0
    assert hash(xs[0]) not in got and got[hash(xs[40])] == 1.0
    assert [r - b for r, b in zip(refs(xs), base)] == [0] * 40 + [1] * 160
    probe.free(h)
    assert refs(xs) == base


def test_pending_repeats_are_summed_in_arrival_order(probe):
    # Repeats of a key are summed oldest first, wherever they wait: in
    # floating point (1 + 1e16) - 1e16 is 0 and drops the key, while
    # (1e16 - 1e16) + 1 would keep it.
    xs = [korvo.var() for _ in range(300)]
    h = probe.new()
    for i in range(200):
        probe.add(h, xs[i], 1.0)
    for i in range(10):                   # two interleaved ascending runs
        probe.add(h, xs[i], 1.0)
        probe.add(h, xs[100 + i], 1.0)
    probe.add(h, xs[50], 1e16)
    probe.add(h, xs[60], 1.0)
    probe.add(h, xs[50], -1e16)
    probe.add(h, xs[150], 1e16)           # ((1 + 1e16) - 1e16) + 1 is 1, not 2
    probe.add(h, xs[150], -1e16)
    probe.add(h, xs[150], 1.0)
    assert probe.pending(h) > 0
    got = dict(keyed(probe.items(h)))
    assert hash(xs[50]) not in got and got[hash(xs[150])] == 1.0
    assert [got[hash(xs[i])] for i in (0, 9, 10, 100, 109, 110)] == [2.0, 2.0, 1.0, 2.0, 2.0, 1.0]
    assert got[hash(xs[60])] == 2.0 and len(got) == 199
    probe.free(h)


def test_repeated_out_of_order_adds_keep_the_tail_bounded(probe):
    xs = [korvo.var() for _ in range(100)]
    h = probe.new()
    worst = 0
    for rounds in range(200):
        for i in reversed(range(100)):
            probe.add(h, xs[i], 1.0)
            worst = max(worst, probe.pending(h))
    assert worst <= 50  # merged whenever it outgrows half the sorted part
    assert keyed(probe.items(h)) == [(hash(x), 200.0) for x in xs]
    probe.free(h)


def test_scaling_that_underflows_drops_entries(probe):
    xs = [korvo.var() for _ in range(100)]
    base = refs(xs)
    for n in (3, 100):  # inline and heap storage
        h = probe.new()
        for i in range(n):
            probe.add(h, xs[i], 1e-200 if i % 2 else 1.0)
        probe.scale(h, 1e-200)
        assert keyed(probe.items(h)) == [(hash(xs[i]), 1e-200) for i in range(0, n, 2)]
        probe.free(h)
    assert refs(xs) == base


def test_reads_and_writes_on_a_map_with_pending_tail(probe):
    xs = [korvo.var() for _ in range(150)]
    base = refs(xs)

    def make():
        h = probe.new()
        for x in xs[75:]:
            probe.add(h, x, 1.0)
        for x in reversed(xs[:75]):
            probe.add(h, x, 2.0)
        probe.add(h, xs[100], -1.0)  # pending cancellation of a sorted entry
        assert probe.pending(h) > 0
        return h

    h = make()
    assert probe.get(h, xs[100]) is None and probe.get(h, xs[3]) == 2.0 and probe.get(h, xs[120]) == 1.0
    probe.free(h)
    h = make()
    probe.set(h, xs[100], 7.0)
    probe.set(h, xs[3], 0.0)
    probe.set(h, xs[4], -4.0)
    assert probe.pending(h) == 0
    got = dict(keyed(probe.items(h)))
    assert (got[hash(xs[100])], got[hash(xs[4])], hash(xs[3]) in got) == (7.0, -4.0, False)
    probe.free(h)
    h = make()
    probe.delete(h, xs[5])
    probe.delete(h, xs[100])  # already cancelled by the pending entry
    assert probe.size(h) == 148
    c = probe.copy(h)
    probe.free(h)
    assert probe.size(c) == 148 and probe.get(c, xs[5]) is None
    probe.free(c)
    assert refs(xs) == base


def test_copy_scale_and_scaled_add_of_large_maps(probe):
    xs = [korvo.var() for _ in range(400)]
    base = refs(xs)
    a, b = probe.new(), probe.new()
    for i in range(0, 400, 2):
        probe.add(a, xs[i], float(i + 1))
    for i in range(399, -1, -3):
        probe.add(b, xs[i], 1.0)
    c = probe.copy(a)
    probe.scale(c, -0.5)
    assert keyed(probe.items(c)) == [(hash(xs[i]), -(i + 1) / 2) for i in range(0, 400, 2)]
    probe.add_scaled(c, a, 0.5)  # cancels everything
    assert probe.items(c) == []
    probe.add_scaled(a, b, 2.0)
    model = {i: float(i + 1) for i in range(0, 400, 2)}
    for i in range(399, -1, -3):
        model[i] = model.get(i, 0.0) + 2.0
    assert keyed(probe.items(a)) == [(hash(xs[i]), model[i]) for i in sorted(model)]
    probe.add_scaled(a, a, -1.0)
    assert probe.size(a) == 0
    for h in (a, b, c):
        probe.free(h)
    assert refs(xs) == base


def test_many_small_scaled_adds_into_a_large_map(probe):
    # A sum of small expressions: each scaled add into a large map joins its
    # pending tail, out of order, with repeats that cancel or come back.
    rng = random.Random(3)
    xs = [korvo.var() for _ in range(500)]
    base = refs(xs)
    big = probe.new()
    model = {}
    for i in range(100):
        probe.add(big, xs[i], 1.0)
        model[i] = 1.0
    small = []
    for _ in range(400):
        h = probe.new()
        keys = sorted(rng.sample(range(500), rng.randrange(1, 4)))
        for k in keys:
            probe.add(h, xs[k], rng.choice([1.0, -1.0, 0.5]))
        small.append((h, dict(keyed(probe.items(h)))))
    worst = 0
    for h, entries in small:
        factor = rng.choice([1.0, -2.0, 0.25])
        probe.add_scaled(big, h, factor)
        worst = max(worst, probe.pending(big))
        for i in range(len(xs)):
            if hash(xs[i]) in entries:
                total = model.get(i, 0.0) + factor * entries[hash(xs[i])]
                if total == 0.0:
                    model.pop(i, None)
                else:
                    model[i] = total
    assert worst <= 1 + max(probe.size(big), 100) // 2 + 3
    assert keyed(probe.items(big)) == [(hash(xs[i]), model[i]) for i in sorted(model)]
    for h, _ in small:
        probe.free(h)
    probe.free(big)
    assert refs(xs) == base


def test_scaled_add_into_inline_map_releases_cancelled_keys(probe):
    xs = [korvo.var() for _ in range(30)]
    base = refs(xs)
    small, big = probe.new(), probe.new()
    for i in (3, 10, 20):
        probe.add(small, xs[i], 1.0)
    for i in range(30):
        probe.add(big, xs[i], -1.0 if i in (3, 20) else 5.0)
    probe.add_scaled(small, big, 1.0)
    assert keyed(probe.items(small)) == [(hash(xs[i]), 6.0 if i == 10 else 5.0) for i in range(30) if i not in (3, 20)]
    probe.add_scaled(small, big, -1.0)
    assert keyed(probe.items(small)) == [(hash(xs[i]), 1.0) for i in (3, 10, 20)]
    probe.free(small)
    probe.free(big)
    assert refs(xs) == base


def test_inline_room_gives_way_to_a_block_and_back_in_copies(probe):
    # The block pointer takes the place of the inline entries: the move out
    # of the inline room, deletes down to a few entries in a block, and
    # copies of such a map (inline again) keep every entry and reference.
    xs = [korvo.var() for _ in range(6)]
    base = refs(xs)
    h = probe.new()
    for i in (0, 2, 4):
        probe.add(h, xs[i], float(i + 1))
    probe.add(h, xs[3], 4.0)                      # out of order into a full inline map
    assert keyed(probe.items(h)) == [(hash(xs[i]), float(i + 1)) for i in (0, 2, 3, 4)]
    for i in (0, 3, 4):
        probe.delete(h, xs[i])
    probe.add(h, xs[5], 6.0)
    c = probe.copy(h)
    probe.add(c, xs[1], 2.0)
    probe.add(c, xs[2], -3.0)                     # cancels in the copy only
    assert keyed(probe.items(h)) == [(hash(xs[2]), 3.0), (hash(xs[5]), 6.0)]
    assert keyed(probe.items(c)) == [(hash(xs[1]), 2.0), (hash(xs[5]), 6.0)]
    probe.free(h)
    probe.free(c)
    assert refs(xs) == base


def test_allocation_failure_leaves_map_unchanged(probe):
    xs = [korvo.var() for _ in range(3)]
    h = probe.new()
    for x in xs:
        probe.add(h, x, 1.0)
    for huge in (2 ** 32, 2 ** 62):  # beyond what a map can index
        with pytest.raises(MemoryError):
            probe.reserve(h, huge)
    assert keyed(probe.items(h)) == [(hash(x), 1.0) for x in xs]
    probe.reserve(h, 1000)
    for x in xs:
        probe.add(h, x, 1.0)
    assert keyed(probe.items(h)) == [(hash(x), 2.0) for x in xs]
    probe.free(h)


def test_released_key_may_run_code_that_adds_to_the_same_map(probe):
    others = [korvo.var() for _ in range(3)]
    h = probe.new()
    added = []

    class Noisy(korvo.var):
        def __del__(self):
            probe.add(h, others[len(added)], 1.0)
            added.append(1)

    xs = [korvo.var() for _ in range(100)]
    noisy = Noisy()  # created last: largest id
    for x in xs:
        probe.add(h, x, 1.0)
    probe.add(h, noisy, 1.0)
    for x in reversed(xs[:40]):
        probe.add(h, x, 1.0)
    probe.add(h, noisy, -1.0)  # pending cancellation of the last reference
    del noisy
    assert added == []
    assert probe.size(h) == 101 and added == [1]
    got = dict(keyed(probe.items(h)))
    assert got[hash(others[0])] == 1.0 and got[hash(xs[0])] == 2.0
    probe.free(h)
    gc.collect()


# Maps of their own, and maps embedded in an owner's block with inline room
# for 1, 5 or 16 entries (as expressions hold them), must behave alike.
@pytest.mark.parametrize("room", [None, 1, 5, 16])
def test_against_a_dict_model(probe, room):
    rng = random.Random(20261208)
    pool = [korvo.var() for _ in range(300)]
    base = refs(pool)
    maps = [probe.new() if room is None else probe.embed(room) for _ in range(3)]
    embedded = [room is not None for _ in maps]
    models = [{} for _ in maps]

    def release(k):
        (probe.embed_free if embedded[k] else probe.free)(maps[k])

    def add(model, i, c):
        total = model.get(i, 0.0) + c
        if total == 0.0:
            model.pop(i, None)
        else:
            model[i] = total

    def expected(model):
        return sorted((hash(pool[i]), c) for i, c in model.items())

    for step in range(20000):
        k = rng.randrange(3)
        h, model = maps[k], models[k]
        op = rng.random()
        i = rng.randrange(300) if rng.random() < 0.7 else rng.randrange(290, 300)
        if op < 0.55:
            c = rng.choice([-2.0, -1.0, 1.0, 2.0, 0.5, 0.0])
            probe.add(h, pool[i], c)
            add(model, i, c)
        elif op < 0.65:
            c = rng.choice([0.0, 3.0, -1.0])
            probe.set(h, pool[i], c)
            if c == 0.0:
                model.pop(i, None)
            else:
                model[i] = c
        elif op < 0.70:
            probe.delete(h, pool[i])
            model.pop(i, None)
        elif op < 0.85:
            got = probe.get(h, pool[i])
            assert got == model.get(i)
        elif op < 0.90:
            assert keyed(probe.items(h)) == expected(model)
        elif op < 0.93:
            f = rng.choice([2.0, -0.5, -1.0])
            probe.scale(h, f)
            for j in model:
                model[j] *= f
        elif op < 0.97:
            src = rng.randrange(3)
            f = rng.choice([1.0, -1.0, 2.0])
            probe.add_scaled(h, maps[src], f)
            for j, c in list(models[src].items()):
                add(model, j, f * c)
        elif op < 0.985:
            a, b = rng.randrange(3), rng.randrange(3)
            f = rng.choice([1.0, -1.0, 0.5])
            summed = probe.sum(maps[a], maps[b], f)
            model_sum = dict(models[a])
            for j, c in models[b].items():
                add(model_sum, j, f * c)
            release(k)
            maps[k], embedded[k], models[k] = summed, False, model_sum
        else:
            src = rng.randrange(3)
            if src != k:
                release(k)
                maps[k] = probe.copy(maps[src])
                embedded[k] = False
                models[k] = dict(models[src])
    for h, model in zip(maps, models):
        assert probe.size(h) == len(model)
        assert keyed(probe.items(h)) == expected(model)
    held = [sum(i in model for model in models) for i in range(300)]
    assert [r - b for r, b in zip(refs(pool), base)] == held
    for k in range(len(maps)):
        release(k)
    assert refs(pool) == base


def test_embedded_map_outgrows_its_room_and_cancels_in_place(probe):
    xs = [korvo.var() for _ in range(40)]
    base = refs(xs)
    full = probe.new()
    for i in range(0, 40, 2):
        probe.add(full, xs[i], 1.0)
    for room in (1, 4, 16):
        h = probe.embed(room)
        for i in range(room):                      # exactly fills the inline room
            probe.add(h, xs[2 * i], -1.0)
        assert probe.size(h) == room
        probe.add_scaled(h, full, 1.0)             # merge: every inline entry cancels
        assert keyed(probe.items(h)) == [(hash(xs[i]), 1.0) for i in range(2 * room, 40, 2)]
        probe.add(h, xs[1], 5.0)                   # out of order into the grown block
        assert probe.get(h, xs[1]) == 5.0
        probe.embed_free(h)
    probe.free(full)
    assert refs(xs) == base
    # freeing an embedded map that is still inline releases every key
    h = probe.embed(16)
    for i in range(16):
        probe.add(h, xs[i], 2.0)
    probe.embed_free(h)
    assert refs(xs) == base


# ---- index maps ------------------------------------------------------------------

@pytest.mark.parametrize("seed", [1, 2, 3])
def test_index_map_runs_against_a_dict(probe, seed):
    # Identities added in consecutive runs with consecutive values (as
    # objects made together are added together), mixed with scattered keys,
    # overwrites inside runs, deletions that split runs, and copies.
    rng = random.Random(seed)
    h = probe.rc_new()
    model = {}
    next_key = 1000
    for step in range(400):
        op = rng.random()
        if op < 0.35:                                   # a run of new identities
            count = rng.choice([1, 3, 8, 9, 50, 700])
            value = rng.randrange(10 ** 6)
            for k in range(count):
                probe.rc_set(h, next_key + k, value + k)
                model[next_key + k] = value + k
            next_key += count + rng.choice([0, 0, 1, 5])
        elif op < 0.45 and model:                       # an existing key, new value
            key = rng.choice(list(model))
            value = rng.choice([model[key], model[key] + 1, rng.randrange(10 ** 6)])
            probe.rc_set(h, key, value)
            model[key] = value
        elif op < 0.55:                                 # a key behind the runs
            key = rng.randrange(next_key)
            probe.rc_set(h, key, 7)
            model[key] = 7
        elif op < 0.75 and model:                       # deletions, runs split
            for key in rng.sample(list(model), min(len(model), rng.choice([1, 5, 40]))):
                probe.rc_del(h, key)
                del model[key]
            probe.rc_del(h, next_key + 10 ** 6)         # absent: nothing happens
        elif op < 0.8:
            c = probe.rc_copy(h)
            probe.rc_free(h)
            h = c
        for key in rng.sample(range(next_key + 5), 30):
            assert probe.rc_get(h, key) == model.get(key)
        if step % 40 == 0:
            assert probe.rc_items(h) == (len(model), model)
    assert probe.rc_items(h) == (len(model), model)
    probe.rc_free(h)


# ---- quadratic maps -----------------------------------------------------------

def test_quadratic_map_with_large_out_of_order_rows(probe):
    x = korvo.var()
    ys = [korvo.var() for _ in range(300)]
    everything = [x] + ys
    base = refs(everything)
    q = probe.quad_new()
    for i in reversed(range(300)):
        probe.quad_add(q, x, ys[i], 2.0)
    probe.quad_add(q, ys[0], ys[1], 1.0)
    assert probe.quad_size(q) == 301
    items = probe.quad_items(q)
    assert [(hash(a), hash(b), c) for a, b, c in items] == \
        [(hash(x), hash(y), 2.0) for y in ys] + [(hash(ys[0]), hash(ys[1]), 1.0)]
    c = probe.quad_copy(q)
    probe.quad_scale(c, 0.5)
    first = probe.quad_items(c)[0][2]
    assert probe.quad_size(c) == 301 and first == 1.0
    order = list(range(300))
    random.Random(3).shuffle(order)
    for i in order[:299]:
        probe.quad_add(q, x, ys[i], -2.0)
    probe.quad_del(q, x, ys[order[299]])  # empties the row: its key goes too
    probe.quad_del(q, ys[0], ys[1])
    assert probe.quad_size(q) == 0 and probe.quad_items(q) == []
    del items
    probe.quad_free(c)
    assert refs(everything) == base
    probe.quad_free(q)
    assert refs(everything) == base


def test_index_set_against_a_python_set(probe):
    rng = random.Random(7)
    handles, models = [probe.set_new(), probe.set_new()], [set(), set()]
    for step in range(30000):
        k = rng.randrange(2)
        h, model = handles[k], models[k]
        index = rng.randrange(-50, 400) if step % 3 else 400 - step // 3 % 400  # runs in reverse too
        op = rng.random()
        if op < 0.7:
            probe.set_op(h, "a", index)
            model.add(index)
        elif op < 0.8:
            probe.set_op(h, "d", index)
            model.discard(index)
        elif op < 0.95:
            assert probe.set_op(h, "h", index) == (index in model)
        elif op < 0.99:
            assert probe.set_items(h) == sorted(model)
        else:
            probe.set_free(handles[1 - k])
            handles[1 - k], models[1 - k] = probe.set_copy(h), set(model)
    for h, model in zip(handles, models):
        assert probe.set_items(h) == sorted(model)
        probe.set_free(h)


# ---- through expressions ------------------------------------------------------

def test_large_expressions_built_out_of_order():
    xs = [korvo.var(name="v%d" % i) for i in range(3000)]
    base = refs(xs)
    e = korvo.expression()
    for i in reversed(range(3000)):
        e += (i % 7 + 1) * xs[i]
    vs, cs = e.extractLinear()
    assert all(v is x for v, x in zip(vs, xs)) and cs == [float(i % 7 + 1) for i in range(3000)]
    text = str(e)
    assert text.index("v9 ") < text.index("v10 ") < text.index("v2999")
    f = e * 3
    g = -e
    order = list(range(3000))
    random.Random(5).shuffle(order)
    for i in order[:2990]:
        e -= (i % 7 + 1) * xs[i]
    assert sorted(hash(v) for v in e.extractLinear()[0]) == sorted(hash(xs[i]) for i in order[2990:])
    assert f.extractLinear()[1][:3] == [3.0, 6.0, 9.0] and g.extractLinear()[1][-1] == -float(2999 % 7 + 1)
    del e, f, g, vs
    gc.collect()
    assert refs(xs) == base


def test_array_chains_over_blocks_and_single_variables():
    # Identities come from blocks (korvo.vars) and single variables made in
    # between; element-wise chains pass every map size from inline room to a
    # block, merge both ways round, and cancel terms to zero.
    import numpy as np
    a = korvo.vars(3, 4, name="a")
    lone = [korvo.var(name="s%d" % i) for i in range(4)]
    b = korvo.vars(3, 4, name="b")
    s = np.array(lone * 3, dtype=object).reshape(3, 4)
    tracked = list(a.ravel()) + lone + list(b.ravel())
    base = refs(tracked)

    chain = (b - 2 * s) + a[:, ::-1] - 0.5 * (s + a) + b[::-1, :]
    total = chain - (b + b[::-1, :])          # the b terms cancel in every element but none
    for i in range(3):
        for j in range(4):
            names = [v.name for v in total[i, j].extractLinear()[0]]
            coefs = dict(zip(names, total[i, j].extractLinear()[1]))
            expected = {}
            for name, c in ((a[i, 3 - j].name, 1.0), (a[i, j].name, -0.5), (lone[j].name, -2.5)):
                expected[name] = expected.get(name, 0.0) + c
            assert coefs == {k: v for k, v in expected.items() if v != 0.0}
            # Term order is creation order: block a, then the single variables.
            assert names == sorted(names, key=lambda n: [v.name for v in tracked].index(n))
    assert str(chain[0, 0]) == " -0.5 a(0,0) + a(0,3) -2.5 s0 + b(0,0) + b(2,0)"
    assert refcount_unchanged(lambda: (b - 2 * s) + a - 0.5 * (s + a) == 0, *tracked[::5]) == [0] * len(tracked[::5])
    del chain, total
    gc.collect()
    assert refs(tracked) == base


def test_expressions_around_the_room_kept_in_the_object():
    # Small expressions hold their terms in their own memory (up to 16),
    # larger ones in a block: sums built to every size from 1 to 20, copied,
    # scaled, grown in place past the room they were made with, and compared
    # to their terms; every reference is given back.
    import numpy as np
    xs = [korvo.var(name="t%d" % i) for i in range(24)]
    base = refs(xs)
    kept = []
    for n in range(1, 21):
        e = korvo.Sum(np.array(xs[:n], dtype=object) * np.arange(1.0, n + 1))
        doubled, moved = e * 2, e + xs[n]          # a copy, and a copy with one more term
        grown = e + 0
        for k in range(n, min(n + 4, 24)):         # past the room of the copy
            grown += (k + 1) * xs[k]
        assert [v.name for v in moved.extractLinear()[0]] == ["t%d" % i for i in range(n + 1)]
        assert doubled.extractLinear()[1] == [2.0 * (i + 1) for i in range(n)]
        assert grown.extractLinear()[1] == [float(i + 1) for i in range(min(n + 4, 24))]
        assert e.extractLinear()[1] == [float(i + 1) for i in range(n)]  # the operand is untouched
        assert (moved - moved).extractLinear() == ([], [])
        kept.append((e, doubled, moved, grown))
    del kept, e, doubled, moved, grown
    gc.collect()
    assert refs(xs) == base
