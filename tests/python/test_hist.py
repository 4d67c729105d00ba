"""HistogramF64 and ExtremaF64 in the IEEE 754 total order: bins against bisect over the order keys (the binary
search in stored order for decoded edges), quantile ranks in integers, extremes of values in any order, encodings."""
import hashlib
import math
import struct
from bisect import bisect_left, bisect_right
from collections import Counter
from itertools import accumulate

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import COUNT_MAX, INF, NAN, TINY, any_f64
from oracles import NAN_PAYLOADS, UNDEFINED, canon, extrema_image, outcome, run, total_key
from oracles import histogram_image as image
from varnix import ExtremaF64, HistogramF64


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


def searched_bin(edges, x):
    """The binary search over the edges in their stored order, which need not be sorted."""
    base, size = 0, len(edges)
    while size > 1:
        half = size // 2
        base, size = (base if total_key(edges[base + half]) > total_key(x) else base + half), size - half
    return base + (total_key(edges[base]) <= total_key(x))


QS = st.floats(0, 1) | st.floats() | st.sampled_from([-0.0, 1.0, TINY, 1 - 2**-53, 0.76, -TINY, 1 + 2**-52, NAN])
COUNTS = st.integers(0, 4) | st.sampled_from([2**53 - 2, 2**53, 2**53 + 1, COUNT_MAX]) | st.integers(0, COUNT_MAX)


@given(raw=st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=12), data=st.data(), q=QS)
def test_bins_counts_and_quantiles(raw, data, q):
    """Edges given to the constructor (a list or an array; one edge makes two open-ended bins), or decoded in any
    order, infinite or NaN, with any counts and the undefined flag: every query answers as the state says."""
    edges = [struct.unpack("<d", struct.pack("<Q", b))[0] for b in raw]
    if built := data.draw(st.booleans()):
        edges = sorted({total_key(e): e for e in edges if math.isfinite(e)}.values(), key=total_key) or [0.0]
    n, keys = len(edges), [total_key(e) for e in edges]
    counts = [0] * (n + 1) if built else data.draw(st.lists(COUNTS, min_size=n + 1, max_size=n + 1))
    nans, undefined = (0, 0) if built else (data.draw(st.sampled_from([0, COUNT_MAX])), data.draw(st.integers(0, 1)))
    h = HistogramF64(edges=data.draw(st.sampled_from([list, np.array]))(edges)) if built else \
        HistogramF64.decode(image(edges, counts, nans, undefined))
    near = [y for e in edges for y in (e, -e, math.nextafter(e, INF), math.nextafter(e, -INF))]
    for x in data.draw(st.lists(any_f64 | st.sampled_from(near + NAN_PAYLOADS), max_size=30)):
        if math.isnan(x):
            nans = min(nans + 1, COUNT_MAX)
        else:
            i = bisect_right(keys, total_key(x)) if keys == sorted(keys) else searched_bin(edges, x)
            counts[i] = min(counts[i] + 1, COUNT_MAX)
        h.add(x=x)
    want, bounds = image(edges, counts, nans, undefined), None if undefined else oracle_bounds(edges, counts, q)
    assert h.encode() == want and h.state_hash() == hashlib.sha256(want).digest()
    assert (h.total(), canon(h.edges())) == (min(sum(counts), COUNT_MAX), canon(edges))
    assert outcome(h.counts) == (UNDEFINED if undefined else counts)
    assert outcome(lambda: h.quantile_bounds(q=q)) == (UNDEFINED if bounds is None else canon(bounds))


def quantile(counts, q):
    return lambda: HistogramF64.decode(image([0.0, 1.0, 2.0], counts)).quantile_bounds(q)


def extrema(b, *xs):
    """An extrema state decoded from b: its range, or once fed xs, its encoding."""
    return lambda: (run(lambda: ExtremaF64.from_bytes(b=b), [("add", x) for x in xs]).to_bytes() if xs
                    else ExtremaF64.from_bytes(b=b).range())


stored = struct.Struct("<ddBQ").pack             # lo, hi, flags, count
VALID = image([0.0, 1.0], [0, 1, 2], 7)
SORTED = "edges must be sorted, finite, len>=2"


@pytest.mark.parametrize("call, want", [
    (quantile([0, 3, 1, 0], 0.75), (0.0, 1.0)), (quantile([0, 3, 1, 0], 0.76), (1.0, 2.0)),    # the rank's ceiling
    (quantile([1, 0, 0, 0], 0.5), UNDEFINED),                   # in the open bin below the first edge
    *[(quantile(c, q), UNDEFINED) for c in ([0, 0, 0, 0], [0, 3, 1, 0]) for q in (1 + 2**-52, 1.05, -2**-1074, -0.5)],
    (quantile([0, 3, 1, 0], 1.0), (1.0, 2.0)), (quantile([0, 3, 1, 0], -0.0), (0.0, 1.0)),   # q's closed ends
    (quantile([0, 2**53, 1, 0], 1.0), (1.0, 2.0)),              # T above 2**53: the largest value is in [1, 2)
    (quantile([0, 2**53 - 2, 1, 0], 1 - 2**-53), (0.0, 1.0)),   # T below: q*T rounds down to 2**53 - 2 first
    (quantile([0, 2**53 - 1, 2, 0], 1 - 2**-53), (1.0, 2.0)),   # T = 2**53 + 1: exactly ceil(q*T) = 2**53
    *[(lambda e=e: HistogramF64(e), SORTED) for e in ([], [1.0, 1.0], [2.0, 1.0], [0.0, INF], [0.0, NAN], [0.0, 0.0],
                                                      [0.0, -0.0], [-INF])],
    *[(lambda b=b: HistogramF64.decode(b), UNDEFINED) for b in (
        bytes(4), bytes(5), bytes(21), VALID[:-1], VALID + b"\0", b"\3" + VALID[1:], VALID[:4] + b"\2" + VALID[5:],
        struct.pack("<IB", 0x1000_0001, 0) + bytes(32))],   # 2**28 edges in 37 bytes: 16 n + 21 wraps in 32 bits
    (lambda: HistogramF64([-0.0, 1.0]).encode().hex(), "0200000000" "0000000000000080" "000000000000f03f" + "00" * 32),
    (extrema(bytes(24)), "wrong byte length"), (extrema(bytes(26)), "wrong byte length"),
    (extrema(stored(0.0, 0.0, 4, 0)), UNDEFINED),                               # an unknown flag
    (extrema(stored(1.0, 0.0, 0, 1)), UNDEFINED), (extrema(stored(0.0, -0.0, 1, 1)), UNDEFINED),  # no value; NaN
    (extrema(stored(2.0, -1.0, 2, 2)), -3.0), (extrema(stored(1.0, -NAN, 2, 1)), NAN),   # extremes taken as stored
    (extrema(stored(-1.0, 1.0, 2, COUNT_MAX), 0.5, -2.0, NAN), stored(-2.0, 1.0, 3, COUNT_MAX)),   # count saturates
])
def test_worked_cases_and_rejections(call, want):
    assert outcome(call) == canon(want)


@given(xs=st.lists(any_f64 | st.sampled_from(NAN_PAYLOADS + [0.0, -0.0, INF, -INF]), max_size=30),
       rng=st.randoms(use_true_random=False))
@example(xs=[0.0, -0.0], rng=None).via("-0.0 below +0.0")
@example(xs=[INF, INF], rng=None).via("inf - inf")
def test_extremes_in_the_total_order_in_any_order(xs, rng):
    want = extrema_image(xs)
    for order in (xs, xs[::-1], rng.sample(xs, len(xs)) if rng else sorted(xs, key=total_key)):
        e = run(ExtremaF64, [("add", x) for x in order])
        assert e.to_bytes() == want == ExtremaF64.from_bytes(want).to_bytes()
        assert e.state_hash() == hashlib.sha256(want).digest()
    lo, hi, flags = struct.unpack_from("<ddB", want)                   # readable only with values and no NaN
    span = NAN if lo == hi and not math.isfinite(lo) else hi - lo      # inf - inf: the one NaN of every machine
    assert [outcome(f) for f in (e.min, e.max, e.range)] == ([UNDEFINED] * 3 if flags != 2 else canon([lo, hi, span]))


@given(n=st.integers(1, 120), lo=st.floats(-1e300, 1e300), step=st.floats(1e-300, 1e300), way=st.integers(0, 3),
       jitter=st.lists(st.floats(-0.5, 0.5), max_size=120), data=st.data())
def test_equally_spaced_edges_bin_as_bisect(n, lo, step, way, jitter, data):
    """Equally spaced edges (a progression computed four ways, or moved by up to half a step) bin as bisect over the
    keys, for the edges, their neighbours and values all over the range; more than a run of adds at a time."""
    ts = [k / max(n - 1, 1) for k in range(n)]
    hi = lo + step * (n - 1)
    edges = [[lo + k * step for k in range(n)], [lo * (1 - t) + hi * t for t in ts], np.linspace(lo, hi, n).tolist(),
             [lo + step * (k + (jitter[k] if 0 < k < min(n - 1, len(jitter)) else 0)) for k in range(n)]][way]
    edges = sorted({total_key(e): e for e in edges if math.isfinite(e)}.values(), key=total_key) or [lo]
    keys = [total_key(e) for e in edges]
    near = [y for e in edges for y in (e, math.nextafter(e, INF), math.nextafter(e, -INF))]
    xs = near + data.draw(st.lists(st.floats(lo - 2 * step, hi + 2 * step) | any_f64, min_size=60, max_size=200))
    bins = Counter(bisect_right(keys, total_key(x)) for x in xs if not math.isnan(x))
    h = run(lambda: HistogramF64(edges), [("add", x) for x in xs])
    assert h.counts() == [bins[i] for i in range(len(edges) + 1)]
