"""SumMap, MomentsMap, ReplicatedSum, DeltasSum: key order, merge and join laws, values, encodings, errors."""
import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import F64, any_f64, bits, encode_state, expected_value, round_to, sum_image
from varnix import DeltasSum, MomentsF64, MomentsMap, ReplicatedSum, SumF64, SumMap

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


def build(cls, pairs):
    m = cls()
    for k, x in pairs:
        m.add(k, x)
    return m


def variance(xs):
    """(n·Σx² − (Σx)²)/n², rounded once."""
    n, s1, s2 = len(xs), sum(map(Fraction, xs)), sum(Fraction(x) ** 2 for x in xs)
    return round_to((n * s2 - s1 * s1) / n**2, *F64)


@given(pairs=st.lists(st.tuples(keys, any_f64), max_size=40), rnd=st.randoms(use_true_random=False))
def test_sum_map_order_values_and_merge_groupings(pairs, rnd):
    groups, m = grouped(pairs), build(SumMap, pairs)
    want = [(k, sum_image(groups[k])) for k in sorted(groups, key=str.encode)]
    assert records(m.encode()) == want and m.len() == len(groups) and m.count() == len(pairs)
    assert all(bits(m.value(k)) == bits(expected_value(xs)) for k, xs in groups.items())
    assert all(m.value(k) == math.fsum(xs) for k, xs in groups.items() if all(abs(x) < 1e300 for x in xs))
    rnd.shuffle(pairs)                            # any order and any grouping of merges: the same bytes
    parts, d = [SumMap() for _ in range(rnd.randint(1, 5))], DeltasSum()
    for k, x in pairs:
        rnd.choice(parts).add(k, x)
        d.add(x)
    assert bits(d.value()) == bits(expected_value([x for _, x in pairs]))
    while len(parts) > 1:
        a, b = rnd.sample(parts, 2)
        before = b.encode()
        a.merge(b)
        assert b.encode() == before
        parts.remove(b)
    assert parts[0].encode() == m.encode()
    twice = build(SumMap, pairs)                  # not idempotent: a second merge counts everything again
    twice.merge(m)
    assert twice.encode() == build(SumMap, pairs + pairs).encode() and twice.count() == 2 * len(pairs)


@given(pairs=st.lists(st.tuples(st.sampled_from(["", "a", "ab", "\U0001f600"]), moderate), max_size=30),
       cut=st.integers(0, 30))
def test_moments_map_against_exact_oracle(pairs, cut):
    m, groups = build(MomentsMap, pairs), grouped(pairs)
    a, b = build(MomentsMap, pairs[:cut]), build(MomentsMap, pairs[cut:])
    b.merge(a)
    assert b.encode() == m.encode() and m.len() == len(groups)
    want = []
    for k in sorted(groups, key=str.encode):
        xs, ref = groups[k], MomentsF64()
        for x in xs:
            ref.add(x)
        want.append((k, ref.to_bytes()))
        assert bits(m.mean(k)) == bits(round_to(sum(map(Fraction, xs)) / len(xs), *F64))
        assert bits(m.variance(k)) == bits(variance(xs))
    assert records(m.encode()) == want


@st.composite
def replica_copies(draw):
    """Copies that each saw a prefix of every replica's history; each replica has one writer."""
    history = draw(st.dictionaries(st.integers(0, 2**64 - 1), st.lists(any_f64, min_size=1, max_size=6),
                                   max_size=5))
    cuts = draw(st.lists(st.fixed_dictionaries({r: st.integers(0, len(xs)) for r, xs in history.items()}),
                         min_size=2, max_size=4))
    return history, [[(r, x) for r, c in cut.items() for x in history[r][:c]] for cut in cuts]


@given(case=replica_copies(), rnd=st.randoms(use_true_random=False))
def test_join_converges_whatever_the_order_grouping_and_repetition(case, rnd):
    history, prefixes = case
    copies = [build(ReplicatedSum, p) for p in prefixes]
    latest = {}                                   # per replica the longest prefix any copy saw
    for p in prefixes:
        for r, xs in grouped(p).items():
            latest[r] = max(latest.get(r, []), xs, key=len)
    for _ in range(rnd.randint(0, 12)):          # random gossip, repetitions included
        a, b = rnd.sample(copies, 2)
        a.join(b)
    for a in copies:                              # then everyone hears everyone: the first is complete
        for b in rnd.sample(copies, len(copies)):  # after its round, and every later one joins it
            if a is not b:
                a.join(b)
    want = [(r, sum_image(latest[r])) for r in sorted(latest)]
    assert all(records(c.encode(), keyed=False) == want for c in copies)
    assert bits(copies[0].value()) == bits(expected_value([x for r in latest for x in latest[r]]))
    before = copies[0].encode()
    copies[0].join(copies[1])                     # idempotent
    assert copies[0].encode() == before and len(before) == 4 + 293 * len(latest)


def test_equal_counts_keep_their_own_state():
    a, b = build(ReplicatedSum, [(7, 1.0)]), build(ReplicatedSum, [(7, 2.0)])
    a.join(b)
    b.join(a)
    assert (a.value(), b.value()) == (1.0, 2.0)


def test_golden_bytes_and_edges():
    one = encode_state(2**1074, 0, 1)             # a SumF64 holding 1.0
    assert SumMap().encode() == ReplicatedSum().encode() == bytes(4) and DeltasSum().value() == 0.0
    assert build(SumMap, [("a", 1.0)]).encode() == bytes.fromhex("01000000 01000000 61 19010000") + one
    r = build(ReplicatedSum, [(2**64 - 1, 1.0), (1, 1.0)])
    assert r.encode() == (bytes.fromhex("02000000 0100000000000000 19010000") + one +
                          bytes.fromhex("ffffffffffffffff 19010000") + one)
    assert build(MomentsMap, [("é", 1.0)]).encode()[:11] == bytes.fromhex("01000000 02000000 c3a9 33")
    assert [k for k, _ in records(build(SumMap, [(k, 0.0) for k in "b a B aa".split()]).encode())] == \
        ["B", "a", "aa", "b"]


M, MM, R = build(SumMap, [("k", 1.0)]), build(MomentsMap, [("k", 1.0), ("n", math.nan)]), build(ReplicatedSum, [(1, 1.0)])


def calling(method, fn):
    """An object whose conversion (__float__ or __index__) calls fn: re-entrance during a call."""
    return type("Reentrant", (), {method: lambda self: fn()})()


@pytest.mark.parametrize("obj, call, exc, message", [
    (M, lambda: M.add(1, 2.0), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    (M, lambda: M.add("x", "2"), TypeError, "argument 'x': must be real number, not str"),
    (M, lambda: M.add("\ud800", 1.0), UnicodeEncodeError, None),
    (M, lambda: M.add("new", calling("__float__", M.len)), RuntimeError, "Already mutably borrowed"),
    (R, lambda: R.add(calling("__index__", lambda: R.add(5, 1.0)), 1.0), RuntimeError, "Already borrowed"),
    (M, lambda: M.value("absent"), ValueError, "undefined (insufficient data or invalid input)"),
    (M, lambda: M.merge(M), RuntimeError, "Already mutably borrowed"),
    (M, lambda: M.merge(MM), TypeError, "argument 'other': 'MomentsMap' object cannot be converted to 'SumMap'"),
    (MM, lambda: MM.mean("absent"), ValueError, "undefined (insufficient data or invalid input)"),
    (MM, lambda: MM.variance("n"), ValueError, "NonFinite"),
    (MM, lambda: MM.merge(MM), RuntimeError, "Already mutably borrowed"),
    (R, lambda: R.add(-1, 1.0), OverflowError, None),
    (R, lambda: R.add(2**64, 1.0), OverflowError, None),
    (R, lambda: R.add(1.5, 1.0), TypeError, None),
    (R, lambda: R.add(3, None), TypeError, None),
    (R, lambda: R.join(R), RuntimeError, "Already mutably borrowed"),
    (R, lambda: R.join(M), TypeError, "argument 'other': 'SumMap' object cannot be converted to 'ReplicatedSum'"),
])
def test_errors_change_nothing(obj, call, exc, message):
    before = obj.encode()
    with pytest.raises(exc) as e:
        call()
    assert (message is None or str(e.value) == message) and obj.encode() == before
