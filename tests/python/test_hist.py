"""HistogramF64: bins against bisect over total-order keys, quantile ranks recomputed in integers, encodings."""
import array
import hashlib
import math
import random
import struct
from bisect import bisect_left, bisect_right
from itertools import accumulate

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import COUNT_MAX, INF, MAXF, NAN, TINY, any_f64, bits
from varnix import HistogramF64

UNDEFINED, BAD_EDGES = "undefined (insufficient data or invalid input)", "edges must be sorted, finite, len>=2"
RAW = st.integers(0, 2**64 - 1)
NAN_PAYLOADS = [struct.unpack("<d", struct.pack("<Q", b))[0]
                for b in (0x7FF0_0000_0000_0001, 0xFFF8_0000_0000_0000, 0x7FFF_FFFF_FFFF_FFFF, 0xFFF0_0000_DEAD_BEEF)]


def key(x):
    """IEEE 754 total order: the pattern as a signed integer; below zero, the magnitude bits run backwards."""
    k = struct.unpack("<q", struct.pack("<d", x))[0]
    return k ^ (2**63 - 1) if k < 0 else k


def f64(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def image(edges, counts, nans=0, undefined=0):
    """The encoding, laid out field by field."""
    n = len(edges)
    return struct.pack(f"<IB{n}d{n + 1}QQ", n, undefined, *edges, *counts, nans)


def raises_undefined(call):
    with pytest.raises(ValueError) as e:
        call()
    return str(e.value) == UNDEFINED


finite = any_f64.filter(math.isfinite)
sorted_edges = st.lists(finite, min_size=1, max_size=12).map(lambda es: sorted({key(e): e for e in es}.values(),
                                                                               key=key))


@given(edges=sorted_edges, data=st.data(), rnd=st.randoms(use_true_random=False))
def test_bins_follow_the_total_order_in_any_order(edges, data, rnd):
    near = [y for e in edges for y in (e, -e, math.nextafter(e, INF), math.nextafter(e, -INF))]
    xs = data.draw(st.lists(st.one_of(any_f64, st.sampled_from(near + NAN_PAYLOADS)), max_size=40))
    keys, counts = [key(e) for e in edges], [0] * (len(edges) + 1)
    for x in xs:
        if not math.isnan(x):
            counts[bisect_right(keys, key(x))] += 1
    nans = sum(map(math.isnan, xs))
    want = image(edges, counts, nans)
    hists = [HistogramF64(edges)]
    for container in (tuple, lambda es: array.array("d", es), np.array):
        hists.append(HistogramF64(container(edges)))
    for h in hists:
        rnd.shuffle(xs)
        for x in xs:
            h.add(x)
        assert h.encode() == want and h.state_hash() == hashlib.sha256(want).digest()
    h = HistogramF64.decode(want)
    assert (h.counts(), h.total(), [bits(e) for e in h.edges()]) == (counts, sum(counts), [bits(e) for e in edges])
    assert h.encode() == want


def oracle_bounds(edges, counts, q):
    """The quantile's bin edges, or None: the rank in integers, the first bin whose running sum reaches it."""
    if not 0 <= q <= 1:
        return None
    t = min(sum(counts), COUNT_MAX)
    if t == 0:
        return None
    if t <= 2**53:
        r = math.ceil(q * float(t))          # q*T rounded to binary64, then up
    else:
        num, den = q.as_integer_ratio()
        r = -(-num * t // den)               # exactly ceil(q*T)
    running = list(accumulate(counts, lambda a, b: min(a + b, COUNT_MAX)))
    i = bisect_left(running, min(max(r, 1), t))
    return None if i in (0, len(edges)) else (edges[i - 1], edges[i])


special_q = st.sampled_from([0.0, -0.0, 1.0, TINY, 0.5, 1 - 2**-53, 0.75, 0.76, -TINY, 1.0000000000000002, NAN, INF])
big_counts = st.one_of(st.integers(0, 4), st.sampled_from([2**53 - 2, 2**53, 2**53 + 1, 2**63, COUNT_MAX]),
                       st.integers(0, COUNT_MAX))


@given(data=st.data(), q=st.one_of(st.floats(0, 1), special_q, st.floats()))
def test_quantile_bounds_against_integer_rank(data, q):
    edges = data.draw(sorted_edges)
    counts = data.draw(st.lists(big_counts, min_size=len(edges) + 1, max_size=len(edges) + 1))
    h = HistogramF64.decode(image(edges, counts))
    want = oracle_bounds(edges, counts, q)
    if want is None:
        assert raises_undefined(lambda: h.quantile_bounds(q))
    else:
        assert [bits(e) for e in h.quantile_bounds(q)] == [bits(e) for e in want]


@pytest.mark.parametrize("counts, q, want", [
    ([0, 3, 1, 0], 0.0, (0.0, 1.0)), ([0, 3, 1, 0], 0.75, (0.0, 1.0)),
    ([0, 3, 1, 0], 0.76, (1.0, 2.0)), ([0, 3, 1, 0], 1.0, (1.0, 2.0)),
    ([0, 2**53, 1, 0], 1.0, (1.0, 2.0)),            # T above 2**53: the largest value is in [1, 2)
    ([0, 2**53 - 2, 1, 0], 1 - 2**-53, (0.0, 1.0)),  # T below: q*T rounds down to 2**53 - 2 before the ceiling
    ([0, 2**53 - 1, 2, 0], 1 - 2**-53, (1.0, 2.0)),  # T = 2**53 + 1: exact ceil(q*T) = 2**53
    ([0, COUNT_MAX, COUNT_MAX, 0], 0.5, (0.0, 1.0)),  # the total saturates, so does the walk
    ([1, 0, 0, 0], 0.5, None), ([0, 0, 0, 1], 0.5, None), ([0, 0, 0, 0], 0.5, None),
    ([0, 3, 1, 0], -0.1, None), ([0, 3, 1, 0], 1.5, None), ([0, 3, 1, 0], NAN, None),
])
def test_worked_quantiles(counts, q, want):
    h = HistogramF64.decode(image([0.0, 1.0, 2.0], counts))
    assert want == oracle_bounds([0.0, 1.0, 2.0], counts, q)
    assert (h.quantile_bounds(q) == want) if want else raises_undefined(lambda: h.quantile_bounds(q))


def test_edge_cases_of_construction_and_bins():
    for edges in ([], [1.0, 1.0], [2.0, 1.0], [0.0, INF], [0.0, NAN], [0.0, 0.0], [0.0, -0.0], [-INF], [MAXF, INF]):
        with pytest.raises(ValueError) as e:
            HistogramF64(edges)
        assert str(e.value) == BAD_EDGES
    for arg, message in [("12", "argument 'edges': Can't extract `str` to `Vec`"),
                         ({1.0}, "argument 'edges': 'set' object cannot be converted to 'Sequence'"),
                         ([1.0, "a"], "argument 'edges': must be real number, not str")]:
        with pytest.raises(TypeError) as e:
            HistogramF64(arg)
        assert str(e.value) == message
    h = HistogramF64(edges=[-0.0, 0.0, 1.0])            # -0.0 and +0.0 are distinct edges
    for x in (-1e300, -0.0, 0.0, 1.0, INF, -INF, NAN):
        h.add(x=x)
    assert (h.counts(), h.total(), h.encode()[-8:]) == ([2, 1, 1, 2], 6, (1).to_bytes(8, "little"))
    one = HistogramF64([5.0])                           # one edge: two open-ended bins, never a quantile
    for x in (4.0, 5.0, 6.0):
        one.add(x)
    assert one.counts() == [1, 2] and all(raises_undefined(lambda: one.quantile_bounds(q)) for q in (0, 0.5, 1))
    assert HistogramF64([-0.0, 1.0]).encode().hex() == (
        "0200000000" "0000000000000080" "000000000000f03f" + "00" * 32)


def valid(n=2):
    return image([float(i) for i in range(n)], range(n + 1), 7)


@pytest.mark.parametrize("b", [
    bytes(4), bytes(5), valid()[:-1], valid() + b"\0", valid(3)[:-16], b"\3" + valid()[1:],
    valid()[:4] + b"\2" + valid()[5:], bytes(21),                       # byte 4 is 2; zero edges
    struct.pack("<IB", 0x1000_0001, 0) + bytes(32),                     # 2**28 edges claimed in 37 bytes
    struct.pack("<IB", 0xFFFF_FFFF, 0) + bytes(16),
], ids=lambda b: f"{len(b)}-bytes-{b[:5].hex()}")
def test_rejected_encodings(b):
    assert raises_undefined(lambda: HistogramF64.decode(b))


@given(raw_edges=st.lists(RAW, min_size=1, max_size=9), data=st.data())
def test_decoded_states_keep_working(raw_edges, data):
    """Unsorted or non-finite edges, saturated counts, the undefined flag: every query is as the state says."""
    n, edges = len(raw_edges), [f64(b) for b in raw_edges]
    counts = data.draw(st.lists(st.sampled_from([0, 1, COUNT_MAX]) | RAW, min_size=n + 1, max_size=n + 1))
    nans, undefined = data.draw(st.sampled_from([0, COUNT_MAX])), data.draw(st.integers(0, 1))
    h = HistogramF64.decode(image(edges, counts, nans, undefined))
    xs = data.draw(st.lists(any_f64 | st.sampled_from(edges), max_size=10))
    for x in xs:                                        # probes that follow the stored order: base moves up
        base, size = 0, n                               # to the probe unless the probe is above x
        while size > 1:
            half = size // 2
            base, size = (base if key(edges[base + half]) > key(x) else base + half), size - half
        i = base + (key(edges[base]) <= key(x))
        if math.isnan(x):
            nans = min(nans + 1, COUNT_MAX)
        else:
            counts[i] = min(counts[i] + 1, COUNT_MAX)
        h.add(x)
    want = image(edges, counts, nans, undefined)
    assert h.encode() == want and h.state_hash() == hashlib.sha256(want).digest()
    assert h.total() == min(sum(counts), COUNT_MAX) and list(map(bits, h.edges())) == list(map(bits, edges))
    q = data.draw(st.floats(0, 1))
    bounds = None if undefined else oracle_bounds(edges, counts, q)
    if undefined:
        assert raises_undefined(h.counts)
    else:
        assert h.counts() == counts
    if bounds is None:
        assert raises_undefined(lambda: h.quantile_bounds(q))
    else:
        assert list(map(bits, h.quantile_bounds(q))) == list(map(bits, bounds))


def test_many_edges_against_bisect():
    rng = random.Random(5)
    edges = sorted({rng.uniform(-1e6, 1e6) for _ in range(10_000)})
    xs = [rng.uniform(-1.1e6, 1.1e6) for _ in range(20_000)] + rng.sample(edges, 100)
    h = HistogramF64(edges)
    for x in xs:
        h.add(x)
    counts = [0] * (len(edges) + 1)
    for x in xs:
        counts[bisect_right(edges, x)] += 1
    assert h.counts() == counts
