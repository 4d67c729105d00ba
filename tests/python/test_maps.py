"""SumMap, MomentsMap, ReplicatedSum, DeltasSum: key order, merge and join laws, values, encodings, errors."""
import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import any_f64, bits, encode_state, expected_value, sum_image
from oracles import UNDEFINED, canon, outcome, rnd, run
from varnix import DeltasSum, MomentsF64, MomentsMap, ReplicatedSum, SumMap

# keys share prefixes and mix ASCII, 2-, 3- and 4-byte UTF-8 (non-BMP) characters and the empty string
keys = st.text(st.sampled_from("aAbB~\x7f\x00é\u00ff\u0100\u20ac\uffff\U00010000\U0001f600"), max_size=4)
# squares neither overflow nor carry bits below 2**-1074, where a square would lose exactness
moderate = st.floats(-1e150, 1e150).filter(lambda x: x == 0 or abs(x) > 1e-90)


def records(b, keyed=True):
    """Parses an encoding into [(key, state bytes)], checking every length field."""
    (n,), p, out = struct.unpack_from("<I", b), 4, []
    for _ in range(n):
        if keyed:
            (k,) = struct.unpack_from("<I", b, p)
            key, p = b[p + 4:p + 4 + k].decode(), p + 4 + k
        else:
            (key,), p = struct.unpack_from("<Q", b, p), p + 8
        (v,) = struct.unpack_from("<I", b, p)
        out.append((key, b[p + 4:p + 4 + v]))
        p += 4 + v
    assert p == len(b)
    return out


def grouped(pairs):
    groups = {}
    for k, x in pairs:
        groups.setdefault(k, []).append(x)
    return groups


def build(cls, pairs, rng=None):
    return run(cls, [("add", k, x) for k, x in pairs], rng)


@given(pairs=st.lists(st.tuples(keys, any_f64), max_size=40), rng=st.randoms(use_true_random=False))
def test_sum_map_order_values_and_merge_groupings(pairs, rng):
    groups, m = grouped(pairs), build(SumMap, pairs)
    want = [(k, sum_image(groups[k])) for k in sorted(groups, key=str.encode)]
    assert records(m.encode()) == want and m.len() == len(groups) and m.count() == len(pairs)
    assert all(bits(m.value(k)) == bits(expected_value(xs)) for k, xs in groups.items())
    assert all(m.value(k) == math.fsum(xs) for k, xs in groups.items() if all(abs(x) < 1e300 for x in xs))
    other = build(SumMap, pairs[::2])
    before = other.encode()
    assert build(SumMap, pairs, rng).encode() == m.encode()      # any order and grouping of merges
    m.merge(other)                                               # merging leaves its argument alone
    assert other.encode() == before and m.encode() == build(SumMap, pairs + pairs[::2]).encode()
    assert bits(run(DeltasSum, [("add", x) for _, x in pairs]).value()) == bits(expected_value([x for _, x in pairs]))


@given(pairs=st.lists(st.tuples(st.sampled_from(["", "a", "ab", "\U0001f600"]), moderate), max_size=30),
       rng=st.randoms(use_true_random=False))
def test_moments_map_against_exact_oracle(pairs, rng):
    m, groups = build(MomentsMap, pairs), grouped(pairs)
    assert build(MomentsMap, pairs, rng).encode() == m.encode() and m.len() == len(groups)
    want = [(k, run(MomentsF64, [("add", x) for x in groups[k]]).to_bytes()) for k in sorted(groups, key=str.encode)]
    assert records(m.encode()) == want
    for k, xs in groups.items():        # mean Σx/n and variance (n·Σx² − (Σx)²)/n², each rounded once
        n, s1, s2 = len(xs), sum(map(Fraction, xs)), sum(Fraction(x) ** 2 for x in xs)
        assert canon([m.mean(k), m.variance(k)]) == canon([rnd(s1 / n), rnd((n * s2 - s1 * s1) / n**2)])
    twice = build(MomentsMap, pairs)    # not idempotent: a second merge counts everything again
    twice.merge(m)
    assert twice.encode() == build(MomentsMap, pairs + pairs).encode()


@st.composite
def replica_copies(draw):
    """Copies that each saw a prefix of every replica's history; each replica has one writer."""
    history = draw(st.dictionaries(st.integers(0, 2**64 - 1), st.lists(any_f64, min_size=1, max_size=6),
                                   max_size=5))
    cuts = draw(st.lists(st.fixed_dictionaries({r: st.integers(0, len(xs)) for r, xs in history.items()}),
                         min_size=2, max_size=4))
    return history, [[(r, x) for r, c in cut.items() for x in history[r][:c]] for cut in cuts]


@given(case=replica_copies(), rng=st.randoms(use_true_random=False))
def test_join_converges_whatever_the_order_grouping_and_repetition(case, rng):
    history, prefixes = case
    copies = [build(ReplicatedSum, p) for p in prefixes]
    latest = {r: history[r][:max(len(grouped(p).get(r, [])) for p in prefixes)] for r in history}
    latest = {r: xs for r, xs in latest.items() if xs}           # per replica the longest prefix any copy saw
    for _ in range(rng.randint(0, 12)):                          # random gossip, repetitions included
        a, b = rng.sample(copies, 2)
        a.join(b)
    for a in copies:                              # then everyone hears everyone: the first is complete
        for b in rng.sample(copies, len(copies)):  # after its round, and every later one joins it
            if a is not b:
                a.join(b)
    want = [(r, sum_image(latest[r])) for r in sorted(latest)]
    assert all(records(c.encode(), keyed=False) == want for c in copies)
    assert bits(copies[0].value()) == bits(expected_value([x for r in latest for x in latest[r]]))
    before = copies[0].encode()
    copies[0].join(copies[1])                     # idempotent
    assert copies[0].encode() == before


def test_golden_bytes_and_equal_counts_keep_their_own_state():
    one = encode_state(2**1074, 0, 1)             # a SumF64 holding 1.0
    assert SumMap().encode() == ReplicatedSum().encode() == bytes(4) and DeltasSum().value() == 0.0
    assert build(SumMap, [("a", 1.0)]).encode() == bytes.fromhex("01000000 01000000 61 19010000") + one
    assert build(ReplicatedSum, [(2**64 - 1, 1.0), (1, 1.0)]).encode() == (
        bytes.fromhex("02000000 0100000000000000 19010000") + one + bytes.fromhex("ffffffffffffffff 19010000") + one)
    assert build(MomentsMap, [("é", 1.0)]).encode()[:11] == bytes.fromhex("01000000 02000000 c3a9 33")
    a, b = build(ReplicatedSum, [(7, 1.0)]), build(ReplicatedSum, [(7, 2.0)])
    a.join(b)                                     # equal counts, different states: neither is taken
    b.join(a)
    assert (a.value(), b.value()) == (1.0, 2.0)


M, MM = build(SumMap, [("k", 1.0)]), build(MomentsMap, [("k", 1.0), ("n", math.nan)])
R = build(ReplicatedSum, [(1, 1.0)])


def calling(method, fn):
    """An object whose conversion (__float__ or __index__) calls fn: re-entrance during a call."""
    return type("Reentrant", (), {method: lambda self: fn()})()


@pytest.mark.parametrize("obj, call, exc, message", [
    (M, lambda: M.add(1, 2.0), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    (M, lambda: M.add("x", "2"), TypeError, "argument 'x': must be real number, not str"),
    (M, lambda: M.add("\ud800", 1.0), UnicodeEncodeError, None),
    (M, lambda: M.add("new", calling("__float__", M.len)), RuntimeError, "Already mutably borrowed"),
    (R, lambda: R.add(calling("__index__", lambda: R.add(5, 1.0)), 1.0), RuntimeError, "Already borrowed"),
    (M, lambda: M.value("absent"), ValueError, UNDEFINED),
    (M, lambda: M.merge(M), RuntimeError, "Already mutably borrowed"),
    (M, lambda: M.merge(MM), TypeError, "argument 'other': 'MomentsMap' object cannot be converted to 'SumMap'"),
    (MM, lambda: MM.mean("absent"), ValueError, UNDEFINED),
    (MM, lambda: MM.variance("n"), ValueError, "NonFinite"),
    *[(R, lambda k=k: R.add(k, 1.0), OverflowError, None) for k in (-1, 2**64)],
    (R, lambda: R.add(1.5, 1.0), TypeError, None),
    (R, lambda: R.join(R), RuntimeError, "Already mutably borrowed"),
    (R, lambda: R.join(M), TypeError, "argument 'other': 'SumMap' object cannot be converted to 'ReplicatedSum'"),
])
def test_errors_change_nothing(obj, call, exc, message):
    before = obj.encode()
    with pytest.raises(exc) as e:
        call()
    assert (message is None or str(e.value) == message) and obj.encode() == before
