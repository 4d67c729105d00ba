"""HistogramF64: bins against bisect over total-order keys, quantile ranks recomputed in integers, encodings."""
import array
import hashlib
import math
import struct
from bisect import bisect_left, bisect_right
from itertools import accumulate

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import COUNT_MAX, INF, NAN, TINY, any_f64, bits
from varnix import HistogramF64

UNDEFINED = "undefined (insufficient data or invalid input)"
NAN_PAYLOADS = [struct.unpack("<d", struct.pack("<Q", b))[0] for b in (0x7FF0_0000_0000_0001, 0xFFF8_0000_0000_0000,
                                                                       0x7FFF_FFFF_FFFF_FFFF, 0xFFF0_0000_DEAD_BEEF)]


def key(x):
    """IEEE 754 total order: the pattern as a signed integer; below zero, the magnitude bits run backwards."""
    k = struct.unpack("<q", struct.pack("<d", x))[0]
    return k ^ (2**63 - 1) if k < 0 else k


def image(edges, counts, nans=0, undefined=0):
    n = len(edges)
    return struct.pack(f"<IB{n}d{n + 1}QQ", n, undefined, *edges, *counts, nans)


def raises_undefined(call):
    with pytest.raises(ValueError) as e:
        call()
    return str(e.value) == UNDEFINED


sorted_edges = st.lists(any_f64.filter(math.isfinite), min_size=1, max_size=12).map(
    lambda es: sorted({key(e): e for e in es}.values(), key=key))


@given(edges=sorted_edges, data=st.data(), rnd=st.randoms(use_true_random=False))
def test_bins_follow_the_total_order_in_any_order(edges, data, rnd):
    near = [y for e in edges for y in (e, -e, math.nextafter(e, INF), math.nextafter(e, -INF))]
    xs = data.draw(st.lists(any_f64 | st.sampled_from(near + NAN_PAYLOADS), max_size=40))
    keys, counts = [key(e) for e in edges], [0] * (len(edges) + 1)
    for x in xs:
        counts[bisect_right(keys, key(x))] += not math.isnan(x)
    want = image(edges, counts, sum(map(math.isnan, xs)))
    for container in (list, tuple, lambda es: array.array("d", es), np.array):
        h = HistogramF64(container(edges))
        rnd.shuffle(xs)
        for x in xs:
            h.add(x)
        assert h.encode() == want and h.state_hash() == hashlib.sha256(want).digest()
    h = HistogramF64.decode(want)
    assert (h.counts(), h.total(), [bits(e) for e in h.edges()]) == (counts, sum(counts), [bits(e) for e in edges])


def oracle_bounds(edges, counts, q):
    """The rank in integers (q*T rounded to binary64 up to T = 2**53, exact above), then the first bin whose
    saturating running sum reaches it; None where there is no answer."""
    t = min(sum(counts), COUNT_MAX)
    if not 0 <= q <= 1 or t == 0:
        return None
    num, den = q.as_integer_ratio()
    r = math.ceil(q * float(t)) if t <= 2**53 else -(-num * t // den)
    i = bisect_left(list(accumulate(counts, lambda a, b: min(a + b, COUNT_MAX))), min(max(r, 1), t))
    return None if i in (0, len(edges)) else (edges[i - 1], edges[i])


QS = st.floats(0, 1) | st.floats() | st.sampled_from([-0.0, 1.0, TINY, 1 - 2**-53, 0.76, -TINY, 1 + 2**-52, NAN])
COUNTS = st.integers(0, 4) | st.sampled_from([2**53 - 2, 2**53, 2**53 + 1, COUNT_MAX]) | st.integers(0, COUNT_MAX)


@given(raw=st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=9), data=st.data(), q=QS)
def test_decoded_states_keep_working(raw, data, q):
    """Any edges (unsorted, infinite, NaN), any counts, the undefined flag: every query answers as the state says."""
    n, edges = len(raw), [struct.unpack("<d", struct.pack("<Q", b))[0] for b in raw]
    edges = sorted(edges, key=key) if data.draw(st.booleans()) else edges
    counts = data.draw(st.lists(COUNTS, min_size=n + 1, max_size=n + 1))
    nans, undefined = data.draw(st.sampled_from([0, COUNT_MAX])), data.draw(st.integers(0, 1))
    h = HistogramF64.decode(image(edges, counts, nans, undefined))
    for x in data.draw(st.lists(any_f64 | st.sampled_from(edges), max_size=8)):
        base, size = 0, n                       # probes that follow the stored order, whatever it is
        while size > 1:
            base, size = (base if key(edges[base + size // 2]) > key(x) else base + size // 2), size - size // 2
        i = base + (key(edges[base]) <= key(x))
        if math.isnan(x):
            nans = min(nans + 1, COUNT_MAX)
        else:
            counts[i] = min(counts[i] + 1, COUNT_MAX)
        h.add(x)
    want, bounds = image(edges, counts, nans, undefined), None if undefined else oracle_bounds(edges, counts, q)
    assert h.encode() == want and h.state_hash() == hashlib.sha256(want).digest()
    assert h.total() == min(sum(counts), COUNT_MAX) and list(map(bits, h.edges())) == list(map(bits, edges))
    assert raises_undefined(h.counts) if undefined else h.counts() == counts
    assert raises_undefined(lambda: h.quantile_bounds(q)) if bounds is None else \
        list(map(bits, h.quantile_bounds(q))) == list(map(bits, bounds))


@pytest.mark.parametrize("counts, q, want", [
    ([0, 3, 1, 0], 0.0, (0.0, 1.0)), ([0, 3, 1, 0], 0.75, (0.0, 1.0)), ([0, 3, 1, 0], 0.76, (1.0, 2.0)),
    ([0, 2**53, 1, 0], 1.0, (1.0, 2.0)),            # T above 2**53: the largest value is in [1, 2)
    ([0, 2**53 - 2, 1, 0], 1 - 2**-53, (0.0, 1.0)),  # T below: q*T rounds down to 2**53 - 2 before the ceiling
    ([0, 2**53 - 1, 2, 0], 1 - 2**-53, (1.0, 2.0)),  # T = 2**53 + 1: exactly ceil(q*T) = 2**53
    ([0, COUNT_MAX, COUNT_MAX, 0], 0.5, (0.0, 1.0)), ([1, 0, 0, 0], 0.5, None), ([0, 0, 0, 1], 0.5, None),
])
def test_worked_quantiles(counts, q, want):
    h = HistogramF64.decode(image([0.0, 1.0, 2.0], counts))
    assert want == oracle_bounds([0.0, 1.0, 2.0], counts, q)
    assert (h.quantile_bounds(q=q) == want) if want else raises_undefined(lambda: h.quantile_bounds(q))


def test_construction_rejections_and_one_edge():
    for edges in ([], [1.0, 1.0], [2.0, 1.0], [0.0, INF], [0.0, NAN], [0.0, 0.0], [0.0, -0.0], [-INF]):
        with pytest.raises(ValueError, match="^edges must be sorted, finite, len>=2$"):
            HistogramF64(edges)
    with pytest.raises(TypeError, match="^argument 'edges': 'set' object cannot be converted to 'Sequence'$"):
        HistogramF64({1.0})
    one = HistogramF64(edges=[5.0])                     # one edge: two open-ended bins, never a quantile
    for x in (4.0, 5.0, 6.0):
        one.add(x=x)
    assert one.counts() == [1, 2] and all(raises_undefined(lambda: one.quantile_bounds(q)) for q in (0, 0.5, 1))
    assert HistogramF64([-0.0, 1.0]).encode().hex() == "0200000000" "0000000000000080" "000000000000f03f" + "00" * 32


VALID = image([0.0, 1.0], [0, 1, 2], 7)


@pytest.mark.parametrize("b", [
    bytes(4), bytes(5), bytes(21), VALID[:-1], VALID + b"\0", b"\3" + VALID[1:], VALID[:4] + b"\2" + VALID[5:],
    struct.pack("<IB", 0x1000_0001, 0) + bytes(32),     # 2**28 edges claimed in 37 bytes: 16 n + 21 wraps in 32 bits
], ids=lambda b: f"{len(b)}-bytes-{b[:5].hex()}")
def test_rejected_encodings(b):
    assert raises_undefined(lambda: HistogramF64.decode(b))
