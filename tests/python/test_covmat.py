"""CovMatrixF64: the exact state and its encoding, the covariance, and both regression tiers against Gauss–Jordan
on the normal equations, in rationals (exact tier, rounded once) and in binary64 (fast tier, bit for bit)."""
import hashlib
import random
import signal
import struct
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import INF, NAN
from oracles import UNDEFINED, canon, dot_acc, encode_accs, outcome, rnd, run, sum_acc
from varnix import CovMatrixF64

HEADER = struct.Struct("<IB")
TINY = (1 + 2.0**-52) * 2.0**-511                       # TINY*TINY is normal but has bits below 2**-1074


def filled(d, rows, rng=None):
    return run(lambda: CovMatrixF64(d), [("add", r[:d], r[d]) for r in rows], rng)


def image(d, rows, poisoned=0):
    """encode() after adding rows: the header, the d + 1 sums, then the products x_i·x_j (i <= j) and x_i·y."""
    cols = [[r[k] for r in rows] for k in range(d + 1)]
    pairs = [(i, j) for i in range(d) for j in range(i, d)] + [(i, d) for i in range(d)]
    accs = [sum_acc(c) for c in cols] + [dot_acc(zip(cols[i], cols[j])) for i, j in pairs]
    return HEADER.pack(d, poisoned) + encode_accs(accs)


def gauss_jordan(a, pivot):
    """Solves the augmented system a by Gauss–Jordan elimination, the pivot of column h at row pivot(a, h).
    On Fractions it is exact; on floats Python rounds every quotient, product and difference separately."""
    for h in range(len(a)):
        p = pivot(a, h)
        if a[p][h] == 0:
            return "Degenerate"
        a[h], a[p] = a[p], a[h]
        for k in range(len(a)):
            f = a[k][h] / a[h][h] if k != h else 0
            if f != 0:
                a[k][h:] = [u - f * v for u, v in zip(a[k][h:], a[h][h:])]
    return [a[i][-1] / a[i][i] for i in range(len(a))]


def regressions(d, rows):
    """[G | r], the normal equations with intercept, solved in rationals, each coefficient rounded once (pivot: the
    first non-zero entry), and divided by n, rounded and solved in binary64 (pivot: the first of largest magnitude)."""
    z = [[Fraction(1)] + [Fraction(v) for v in r[:d]] + [Fraction(r[d])] for r in rows]
    g = [[sum(a[i] * a[j] for a in z) for j in range(d + 2)] for i in range(d + 1)]
    fast = gauss_jordan([[rnd(v / len(rows)) for v in row] for row in g],
                        lambda a, h: max(range(h, d + 1), key=lambda k: (abs(a[k][h]), -k)))
    exact = gauss_jordan(g, lambda a, h: next((k for k in range(h, d + 1) if a[k][h]), h))
    return exact if isinstance(exact, str) else [rnd(b) for b in exact], fast


def cov_oracle(rows, i, j):
    n, xi, xj = len(rows), [Fraction(r[i]) for r in rows], [Fraction(r[j]) for r in rows]
    return rnd((n * sum(a * b for a, b in zip(xi, xj)) - sum(xi) * sum(xj)) / n**2)


@st.composite
def designs(draw):
    """(d, rows) for d up to 8, of small integers and moderate floats (their products are exact multiples of
    2**-1074), some made nearly or exactly singular: a column a copy, zero, 3 times or near another."""
    coord = st.integers(-9, 9).map(float) | st.floats(-1e6, 1e6).filter(lambda v: v == 0 or abs(v) > 1e-100)
    d, n = draw(st.integers(0, 8)), draw(st.integers(1, 12))
    rows = [draw(st.lists(coord, min_size=d + 1, max_size=d + 1)) for _ in range(n)]
    if d >= 2:
        i, j = draw(st.permutations(range(d)))[:2]
        make = draw(st.sampled_from([None, lambda v: v, lambda v: 0.0, lambda v: 3.0 * v,
                                     lambda v: v * (1 + 2.0**-40 * draw(st.integers(-2, 2)))]))
        for r in rows if make else []:
            r[j] = make(r[i])
    return d, rows


@given(designs(), st.randoms(use_true_random=False), st.integers(0, 8), st.integers(0, 8))
def test_against_oracles_in_any_order_grouping_and_after_downdates(design, rng, i, j):
    d, rows = design
    m = filled(d, rows)
    assert m.encode() == image(d, rows) and m.state_hash() == hashlib.sha256(m.encode()).digest()
    assert (answers := [outcome(m.regression_exact), outcome(m.regression)]) == canon(regressions(d, rows))
    want = [cov_oracle(rows, i, j)] * 2 if max(i, j) < d else "Degenerate"
    assert outcome(lambda: [m.covariance(i, j), m.covariance(j, i)]) == canon(want)
    # the rows shuffled over parts merged in any grouping; a merged extra part subtracted again
    total, extra = filled(d, rows, rng), filled(d, rows[::-1] + rows[:1])
    total.merge(extra)
    assert total.encode() == image(d, rows + rows[::-1] + rows[:1])
    total.sub(extra)
    assert (total.encode(), total.state_hash()) == (m.encode(), m.state_hash())
    assert [outcome(total.regression_exact), outcome(total.regression)] == answers
    assert outcome(lambda: total.sub(extra)) == "Degenerate" and total.encode() == m.encode()  # too many: refused


@pytest.mark.parametrize("d, n, spread, copy", [(15, 16, 0, False), (17, 60, 40, False), (18, 21, 120, False),
                                                (16, 30, 20, True), (24, 24, 5, False)])
def test_large_systems_against_the_rational_oracle(d, n, spread, copy):
    """Dimensions past the small ones the property covers: exact fits (n = d + 1), magnitudes 2**±spread apart,
    rank deficiency (a column copied: Degenerate), n < d + 1 (singular)."""
    rng = random.Random(d * n + spread)
    rows = [[rng.uniform(-9, 9) * 2.0 ** rng.randint(-spread, spread) for _ in range(d + 1)] for _ in range(n)]
    for r in rows if copy else []:
        r[3] = r[1]
    assert outcome(filled(d, rows).regression_exact) == canon(regressions(d, rows))[0]


# a state of dimension 2 poisoned by a merge with another dimension, as its encoding gives it
POISONED = HEADER.pack(2, 1) + CovMatrixF64(2).encode()[5:]


@pytest.mark.parametrize("d, rows, covariances, error", [      # a covariance of None: the oracle's value
    (2, [], {(0, 5): "Empty"}, "Empty"),
    (2, POISONED, {(0, 0): "Degenerate"}, "Degenerate"),          # poison is tested before the count
    (2, [[1, NAN, 1], [2, 3, 4]], {(0, 0): None, (0, 1): "NonFinite", (0, 5): "Degenerate"}, "NonFinite"),
    (2, [[TINY, 1, 1], [2, 3, 4]], {(0, 0): "ExactnessLost", (1, 1): None}, "ExactnessLost"),
    (2, [[TINY, 1, 1], [2, 3, INF]], {(0, 0): "ExactnessLost"}, "NonFinite"),      # Σy is read before products
    (1, [[TINY, 1], [1e200, 2]], {(0, 0): "ExactnessLost"}, "ExactnessLost"),      # lost is tested before inf
    # x_0·y underflows (row 0 of the entries, read first) while x_1·x_1 overflows (row 1)
    (2, [[1e-100, 1e200, 1e-250], [1, 2, 3]], {(1, 1): "NonFinite", (0, 1): None}, "ExactnessLost"),
])
def test_errors_in_order_leave_the_state_unchanged(d, rows, covariances, error):
    m = CovMatrixF64.decode(rows) if rows == POISONED else filled(d, rows)
    before = m.encode()
    for (i, j), want in covariances.items():
        assert outcome(lambda: m.covariance(i, j)) == canon(cov_oracle(rows, i, j) if want is None else want)
    assert outcome(m.regression) == outcome(m.regression_exact) == error
    assert m.encode() == before


def test_subtraction_poisoning_dimensions_and_decoding():
    rows = [[1, 2, 3], [4, 5, 6], [NAN, 0, 0]]
    m = filled(2, rows)
    # a flag, an inexact product (checked after every sum) or poison in the subtrahend: refused, nothing changes
    for other in (filled(2, [[NAN, 0, 0]]), filled(2, [[TINY, TINY, 0]]), CovMatrixF64.decode(POISONED)):
        assert outcome(lambda: m.sub(other)) == "Degenerate" and m.encode() == image(2, rows)
    m.sub(filled(2, [[1, 2, 3]]))                             # a flag on self stays; the contribution goes
    m.merge(CovMatrixF64(1))                                  # only the poisoned byte changes
    good = image(2, [[NAN, 0, 0], [4, 5, 6]], poisoned=1)
    assert m.encode() == good
    for d, exc in [(-1, OverflowError), (2**32, OverflowError), (2**32 - 1, MemoryError), (2**20, MemoryError)]:
        with pytest.raises(exc):                              # a header too small for d, a state too large
            CovMatrixF64(d)
    for b, ok in [   # the decoder: lengths other than the header gives, bytes out of range or taken as stored
            *[(b, False) for b in (b"", good[:4], good[:-1], good + b"\0", HEADER.pack(3, 0) + good[5:],
                                   HEADER.pack(2**32 - 1, 0) + bytes(281))],
            # the poisoned byte, a count, the flag byte of the first sum, the inexact-product byte of the last product
            *[(good[:at] + bytes([v]) + good[at + 1:], ok) for at, v, ok in [
                (4, 0, True), (4, 2, False), (5 + 273, 0x7F, True), (5 + 272, 8, False), (len(good) - 1, 2, False)]]]:
        assert outcome(lambda: CovMatrixF64.decode(b=b).encode()) == (b if ok else UNDEFINED), b[:6]


def test_keyboard_interrupt_stops_the_exact_tier():
    rng = random.Random(5)
    m = filled(200, [[rng.random() for _ in range(201)] for _ in range(260)])
    before, previous = m.encode(), signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:     # the solver holds the interpreter lock: only a signal, which it polls for, can stop it
        signal.setitimer(signal.ITIMER_REAL, 0.03)
        with pytest.raises(KeyboardInterrupt):
            m.regression_exact()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert m.encode() == before and m.count() == 260
