"""SumMap, MomentsMap, ReplicatedSum, DeltasSum: key order, merge and join laws, values, encodings (their errors and
messages are rows of test_hardening's tables)."""
import struct
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import any_f64, bits, encode_state, expected_value, sum_image
from oracles import canon, rnd, run
from varnix import DeltasSum, MomentsF64, MomentsMap, ReplicatedSum, SumMap

# keys share prefixes and mix ASCII, 2-, 3- and 4-byte UTF-8 (non-BMP) characters and the empty string
keys = st.text(st.sampled_from("aAbB~\x7f\x00é\u00ff\u0100\u20ac\uffff\U00010000\U0001f600"), max_size=4)
# squares neither overflow nor carry bits below 2**-1074, where a square would lose exactness
moderate = st.floats(-1e150, 1e150).filter(lambda x: x == 0 or abs(x) > 1e-90)


def image(groups, state, keyed=True):
    """A map's encoding: the entry count, then in key order (UTF-8 bytes, or unsigned ids) each key (its u32 length
    and bytes, or the u64 id), the u32 length of the state of the key's values and that state."""
    out = struct.pack("<I", len(groups))
    for k in sorted(groups, key=str.encode if keyed else None):
        v = state(groups[k])
        out += (struct.pack("<I", len(k.encode())) + k.encode() if keyed else struct.pack("<Q", k))
        out += struct.pack("<I", len(v)) + v
    return out


def build(cls, pairs, rng=None):
    return run(cls, [("add", k, x) for k, x in pairs], rng)


def moments_read(m, k, xs):
    """mean Σx/n and variance (n·Σx² − (Σx)²)/n², each rounded once"""
    n, s1, s2 = len(xs), sum(map(Fraction, xs)), sum(Fraction(x) ** 2 for x in xs)
    return canon([m.mean(k), m.variance(k)]) == canon([rnd(s1 / n), rnd((n * s2 - s1 * s1) / n**2)])


MAPS = [  # (class, keys, values, the encoding of one key's state, its readings against the exact oracle)
    (SumMap, keys, any_f64, sum_image, lambda m, k, xs: bits(m.value(k)) == bits(expected_value(xs))),
    (MomentsMap, st.sampled_from(["", "a", "ab", "\U0001f600"]), moderate,
     lambda xs: run(MomentsF64, [("add", x) for x in xs]).to_bytes(), moments_read),
]


@pytest.mark.parametrize("cls, keys, values, state, read", MAPS, ids=["SumMap", "MomentsMap"])
@given(data=st.data(), rng=st.randoms(use_true_random=False))
def test_key_order_values_and_merge_groupings(cls, keys, values, state, read, data, rng):
    pairs = data.draw(st.lists(st.tuples(keys, values), max_size=40))
    groups = {k: [x for key, x in pairs if key == k] for k, _ in pairs}      # each key's values in order
    m, other = build(cls, pairs), build(cls, pairs[::2])
    assert m.encode() == image(groups, state) and m.len() == len(groups)
    assert all(read(m, k, xs) for k, xs in groups.items())
    assert build(cls, pairs, rng).encode() == m.encode()         # any order and grouping of merges
    before = other.encode()
    m.merge(other)                # leaves its argument alone, and counts again what it merges (not idempotent)
    assert other.encode() == before and m.encode() == build(cls, pairs + pairs[::2]).encode()


@given(history=st.dictionaries(st.integers(0, 2**64 - 1), st.lists(any_f64, min_size=1, max_size=6), max_size=5),
       data=st.data(), rng=st.randoms(use_true_random=False))
def test_join_converges_whatever_the_order_grouping_and_repetition(history, data, rng):
    # copies that each saw a prefix of every replica's history (each replica has one writer)
    cuts = data.draw(st.lists(st.fixed_dictionaries({r: st.integers(0, len(xs)) for r, xs in history.items()}),
                              min_size=2, max_size=4))
    copies = [build(ReplicatedSum, [(r, x) for r, c in cut.items() for x in history[r][:c]]) for cut in cuts]
    # per replica the longest prefix any copy saw
    latest = {r: history[r][:max(cut[r] for cut in cuts)] for r in history if any(cut[r] for cut in cuts)}
    everything = [x for xs in latest.values() for x in xs]
    for _ in range(rng.randint(0, 12)):                          # random gossip, repetitions included
        a, b = rng.sample(copies, 2)
        a.join(b)
    for a in copies:                              # then everyone hears everyone: the first is complete
        for b in rng.sample(copies, len(copies)):  # after its round, and every later one joins it
            if a is not b:
                a.join(b)
    copies[0].join(copies[1])                     # idempotent
    assert all(c.encode() == image(latest, sum_image, keyed=False) for c in copies)
    assert bits(copies[0].value()) == bits(expected_value(everything))
    assert bits(run(DeltasSum, [("add", x) for x in everything]).value()) == bits(expected_value(everything))


def test_golden_bytes_and_equal_counts_keep_their_own_state():
    one = encode_state(2**1074, 0, 1)             # a SumF64 holding 1.0
    assert build(SumMap, [("a", 1.0), ("b", 2.0), ("a", 3.0)]).count() == 3
    assert build(SumMap, [("a", 1.0)]).encode() == bytes.fromhex("01000000 01000000 61 19010000") + one
    assert build(ReplicatedSum, [(2**64 - 1, 1.0), (1, 1.0)]).encode() == (
        bytes.fromhex("02000000 0100000000000000 19010000") + one + bytes.fromhex("ffffffffffffffff 19010000") + one)
    a, b = build(ReplicatedSum, [(7, 1.0)]), build(ReplicatedSum, [(7, 2.0)])
    a.join(b)                                     # equal counts, different states: neither is taken
    b.join(a)
    assert (a.value(), b.value()) == (1.0, 2.0)
