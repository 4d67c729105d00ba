"""CovMatrixF64: exact state, encoding, covariance and both regression tiers against independent oracles."""
import array
import hashlib
import random
import signal
import struct
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import F64, INF, NAN, bits, dot_parts, regrouped, round_to, sum_image
from varnix import CovMatrixF64

HEADER = struct.Struct("<IB")


def pairs(d):
    """The product entries in state order: the upper triangle row by row, then each x_i with y (index d)."""
    return [(i, j) for i in range(d) for j in range(i, d)] + [(i, d) for i in range(d)]


def filled(d, rows):
    m = CovMatrixF64(d)
    for r in rows:
        m.add(r[:d], r[d])
    return m


class Fed:
    """A CovMatrixF64 fed rows (x_0, .., x_{d-1}, y) through add(row), for the shared regrouped build."""
    def __init__(self, d):
        self.m = CovMatrixF64(d)

    def add(self, r):
        self.m.add(r[:-1], r[-1])

    def merge(self, other):
        self.m.merge(other.m)


def image(d, rows, poisoned=0):
    """encode() after adding rows: header, the d+1 sums, then each product accumulator and its inexact flag."""
    cols = [[r[k] for r in rows] for k in range(d + 1)]
    prods = (dot_parts(zip(cols[i], cols[j])) for i, j in pairs(d))
    return (HEADER.pack(d, poisoned) + b"".join(map(sum_image, cols))
            + b"".join(sum_image(parts) + bytes([lost]) for parts, lost in prods))


def normal_equations(d, rows):
    """The normal equations with intercept, in exact rationals: G (d+1 square) and r."""
    z = [[Fraction(1)] + [Fraction(v) for v in r[:d]] for r in rows]
    ys = [Fraction(r[d]) for r in rows]
    g = [[sum(a[i] * a[j] for a in z) for j in range(d + 1)] for i in range(d + 1)]
    return g, [sum(a[i] * y for a, y in zip(z, ys)) for i in range(d + 1)]


def exact_oracle(d, rows):
    """Fraction Gauss–Jordan on the normal equations; each coefficient rounded once, or Degenerate when singular."""
    g, r = normal_equations(d, rows)
    a = [row + [v] for row, v in zip(g, r)]
    for h in range(d + 1):
        p = next((k for k in range(h, d + 1) if a[k][h]), None)
        if p is None:
            return "Degenerate"
        a[h], a[p] = a[p], a[h]
        for k in range(d + 1):
            if k != h and a[k][h]:
                f = a[k][h] / a[h][h]
                a[k] = [u - f * v for u, v in zip(a[k], a[h])]
    return [round_to(a[i][d + 1] / a[i][i], *F64) for i in range(d + 1)]


def fast_oracle(d, rows):
    """Binary64 Gauss–Jordan with partial pivoting (first of the largest magnitudes) on the normal equations
    divided by n, each entry correctly rounded; Python floats round every product and difference separately."""
    n = len(rows)
    g, r = normal_equations(d, rows)
    a = [[round_to(v / n, *F64) for v in row + [t]] for row, t in zip(g, r)]
    for h in range(d + 1):
        p = max(range(h, d + 1), key=lambda k: (abs(a[k][h]), -k))
        if a[p][h] == 0:
            return "Degenerate"
        a[h], a[p] = a[p], a[h]
        for k in range(d + 1):
            f = a[k][h] / a[h][h] if k != h else 0.0
            if f != 0:
                a[k][h:] = [u - f * v for u, v in zip(a[k][h:], a[h][h:])]
    return [a[i][d + 1] / a[i][i] for i in range(d + 1)]


def outcome(result):
    """Bit patterns of a result list (from a list or a call), or the error text."""
    try:
        return result if isinstance(result, str) else list(map(bits, result if isinstance(result, list) else result()))
    except ValueError as e:
        return str(e)


# Coordinates whose pairwise products stay exact multiples of 2**-1074: small integers and floats of moderate size.
coord = st.one_of(st.integers(-9, 9).map(float),
                  st.floats(-1e6, 1e6).filter(lambda v: v == 0 or abs(v) > 1e-100))


@st.composite
def designs(draw):
    """(d, rows): random designs, and designs made nearly or exactly singular by a transformed column."""
    d = draw(st.integers(0, 8))
    n = draw(st.integers(1, 12))
    rows = [draw(st.lists(coord, min_size=d + 1, max_size=d + 1)) for _ in range(n)]
    if d >= 2:                                       # column j: a copy, zero, 3 times or nearly column i
        i, j = draw(st.permutations(range(d)))[:2]
        make = draw(st.sampled_from([None, lambda v: v, lambda v: 0.0, lambda v: 3.0 * v,
                                     lambda v: v * (1 + 2.0**-40 * draw(st.integers(-2, 2)))]))
        for r in rows:
            r[j] = make(r[i]) if make else r[j]
    return d, rows


def cov_oracle(rows, i, j):
    n, xi, xj = len(rows), [Fraction(r[i]) for r in rows], [Fraction(r[j]) for r in rows]
    return round_to((n * sum(a * b for a, b in zip(xi, xj)) - sum(xi) * sum(xj)) / n**2, *F64)


@settings(max_examples=120)
@given(designs(), st.randoms(use_true_random=False), st.integers(0, 8), st.integers(0, 8))
def test_against_oracles_in_any_order_grouping_and_after_downdates(design, rnd, i, j):
    d, rows = design
    m = filled(d, rows)
    assert m.encode() == image(d, rows) and m.state_hash() == hashlib.sha256(m.encode()).digest()
    exact, fast = outcome(m.regression_exact), outcome(m.regression)
    assert (exact, fast) == (outcome(exact_oracle(d, rows)), outcome(fast_oracle(d, rows)))
    cov = outcome(lambda: [m.covariance(i, j), m.covariance(j, i)])
    assert cov == (outcome([cov_oracle(rows, i, j)] * 2) if max(i, j) < d else "Degenerate")
    # The rows shuffled and merged from parts in any grouping; a merged extra part subtracted again.
    total, extra = regrouped(lambda: Fed(d), rows, rnd, rnd.randint(1, 4)).m, filled(d, rows[::-1] + rows[:1])
    total.merge(extra)
    assert total.encode() == image(d, rows + rows[::-1] + rows[:1])
    total.sub(extra)
    assert (total.encode(), total.state_hash()) == (m.encode(), m.state_hash())
    assert (outcome(total.regression_exact), outcome(total.regression)) == (exact, fast)
    with pytest.raises(ValueError, match="^Degenerate$"):
        total.sub(extra)                             # more observations than it holds: refused, unchanged
    assert total.encode() == m.encode()


NEAR = [[0, 0, 1], [1, 1, 2], [2, 2 + 2.0**-40, 0]]     # nearly collinear, not singular


@pytest.mark.parametrize("d, rows, fast, exact", [
    (0, [[2.0], [3.0], [3.0]], [8 / 3], [8 / 3]),
    (1, [[0, 1], [1, 3], [2, 4]], [1.1666666666666667, 1.4999999999999998], [1.1666666666666667, 1.5]),
    (1, [[x, 2 + 3 * x] for x in range(4)], [1.9999999999999976, 3.000000000000001], [2.0, 3.0]),
    (2, [[1, 2, 1], [2, 1, 2], [3, 5, 4], [4, 3, 3]], [0.07142857142857198, 0.4999999999999995, 0.4285714285714287],
     [0.07142857142857142, 0.5, 0.42857142857142855]),
    (2, NEAR, fast_oracle(2, NEAR), exact_oracle(2, NEAR)),
])
def test_worked_examples(d, rows, fast, exact):
    m = filled(d, rows)
    assert (outcome(m.regression), outcome(m.regression_exact)) == (outcome(fast), outcome(exact))
    assert all(abs(v) < INF for v in exact)


TINY = (1 + 2.0**-52) * 2.0**-511                  # TINY*TINY is normal but has bits below 2**-1074


def poisoned(m):
    m.merge(CovMatrixF64(m.encode()[0] + 1))
    return m


@pytest.mark.parametrize("d, rows, covariances, error", [     # a covariance of None: the oracle's value
    (2, [], {(0, 5): "Empty"}, "Empty"),
    (2, "poisoned", {(0, 0): "Degenerate"}, "Degenerate"),
    (2, [[1, NAN, 1], [2, 3, 4]], {(0, 0): None, (0, 1): "NonFinite", (0, 5): "Degenerate"}, "NonFinite"),
    (2, [[TINY, 1, 1], [2, 3, 4]], {(0, 0): "ExactnessLost", (1, 1): None}, "ExactnessLost"),
    (2, [[TINY, 1, 1], [2, 3, INF]], {(0, 0): "ExactnessLost"}, "NonFinite"),    # Σy is read before products
    (1, [[TINY, 1], [1e200, 2]], {(0, 0): "ExactnessLost"}, "ExactnessLost"),   # lost is tested before inf
    # x_0·y underflows (row 0, read first) while x_1·x_1 overflows (row 1)
    (2, [[1e-100, 1e200, 1e-250], [1, 2, 3]], {(1, 1): "NonFinite", (0, 1): None}, "ExactnessLost"),
    (2, [[0, 1, 1], [0, 2, 3], [0, 5, 1]], {(0, 0): None, (1, 1): None}, "Degenerate"),   # a zero column
    (1, [[1, 1]], {(0, 0): None}, "Degenerate"),                                      # one observation
])
def test_errors_in_order_leave_the_state_unchanged(d, rows, covariances, error):
    m = poisoned(filled(d, [[1, 2, 3]])) if rows == "poisoned" else filled(d, rows)
    before = m.encode()
    for (i, j), want in covariances.items():
        want = cov_oracle(rows, i, j) if want is None else want
        assert outcome(lambda: [m.covariance(i, j)]) == outcome(want if isinstance(want, str) else [want])
    assert outcome(m.regression) == outcome(m.regression_exact) == error
    assert m.encode() == before


def corrupt(b, offset, value):
    return b[:offset] + bytes([value]) + b[offset + 1:]


GOOD = filled(2, [[1, 2, 3], [-4, 0.5, 6]]).encode()


class Reading:
    """A row element whose conversion to float calls back into Python."""
    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 1.0


def test_flags_poisoning_and_refused_subtraction():
    m, nan = filled(2, [[1, 2, 3], [4, 5, 6]]), filled(2, [[NAN, 0, 0]])
    lost = filled(2, [[TINY, TINY, 0]])
    assert lost.encode() == image(2, [[TINY, TINY, 0]]) and lost.encode()[5 + 3 * 281 + 281] == 1
    before = m.encode()
    for other in (CovMatrixF64(3), nan, lost, poisoned(CovMatrixF64(2)), filled(2, [[1, 2, 3]] * 3)):
        with pytest.raises(ValueError, match="^Degenerate$"):
            m.sub(other)
        assert m.encode() == before
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        m.merge(m)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        m.sub(m)
    for inner in (m.count, m.regression_exact, m.encode, lambda: m.add([0, 0], 0)):   # while a row is read
        with pytest.raises(RuntimeError, match="^Already (mutably )?borrowed$"):
            m.add([1, Reading(inner)], 2.0)
        assert m.encode() == before
    m.merge(nan)
    m.sub(filled(2, [[1, 2, 3]]))                          # a flag on self stays; the contribution goes
    assert m.encode() == image(2, [[NAN, 0, 0], [4, 5, 6]]) and m.count() == 2
    m.merge(CovMatrixF64(1))                                # only the poisoned byte changes
    assert m.encode() == image(2, [[NAN, 0, 0], [4, 5, 6]], poisoned=1)
    assert CovMatrixF64.decode(m.encode()).encode() == m.encode()
    b = corrupt(corrupt(GOOD, 5 + 273, 0x7F), 5 + 3 * 281 + 272, 7)   # counts and flags are taken as stored
    assert CovMatrixF64.decode(b=b).encode() == b


def test_construction_rows_and_encoding():
    assert CovMatrixF64(2).encode() == HEADER.pack(2, 0) + bytes(2253)
    assert [len(CovMatrixF64(d).encode()) for d in (0, 1, 2)] == [286, 1131, 2258]
    m0 = CovMatrixF64(d=0)
    m0.add([], 2.0)
    m0.add(x=(), y=4.0)
    assert (m0.count(), m0.regression(), m0.regression_exact()) == (2, [3.0], [3.0])
    rows = [[1.5, -2.0, 0.25], [3.0, 1e150, -7.0]]
    kinds = [list, tuple, lambda r: array.array("d", r), lambda r: memoryview(array.array("d", r)), np.array]
    for kind in kinds:
        m = CovMatrixF64(3)
        for r in rows:
            m.add(kind(r), 1.0)
        assert m.encode() == image(3, [r + [1.0] for r in rows])
    for call, exc in [(lambda: CovMatrixF64(-1), OverflowError), (lambda: CovMatrixF64(2**32), OverflowError),
                      (lambda: CovMatrixF64(2**64), OverflowError), (lambda: CovMatrixF64(1.0), TypeError),
                      (lambda: CovMatrixF64(2**32 - 1), MemoryError), (lambda: CovMatrixF64(2**20), MemoryError),
                      (lambda: m.add("abc", 1.0), TypeError), (lambda: m.add([1, 2, "x"], 1.0), TypeError),
                      (lambda: m.add([1, 2, 3], "y"), TypeError), (lambda: m.covariance(-1, 0), OverflowError)]:
        with pytest.raises(exc):
            call()
    before = m.encode()
    with pytest.raises(BaseException) as e:
        m.add([1.0], 2.0)
    assert type(e.value).__name__ == "PanicException"
    assert str(e.value) == "assertion `left == right` failed: row length must equal dim()\n  left: 1\n right: 3"
    assert m.encode() == before


@pytest.mark.parametrize("b", [
    b"", GOOD[:4], corrupt(GOOD, 4, 2), GOOD[:-1], GOOD + b"\0",
    corrupt(GOOD, 5 + 272, 8), corrupt(GOOD, 5 + 2 * 281 + 272, 8), corrupt(GOOD, 5 + 3 * 281 + 272, 8),
    corrupt(GOOD, 5 + 3 * 281 + 281, 2), corrupt(GOOD, len(GOOD) - 1, 2),
    HEADER.pack(2**32 - 1, 0) + bytes(281),                 # a header claiming 2**32-1 dimensions, short input
    HEADER.pack(3, 0) + GOOD[5:],                           # another dimension's length
])
def test_decoder_rejections(b):
    with pytest.raises(ValueError, match=r"^undefined \(insufficient data or invalid input\)$"):
        CovMatrixF64.decode(b)


def test_keyboard_interrupt_stops_the_exact_tier():
    # The solver holds the interpreter lock, so no Python thread can run until it returns: the interrupt
    # comes from the kernel's interval timer, whose handler raises KeyboardInterrupt when the solver polls.
    rnd = random.Random(5)
    m = filled(90, [[rnd.random() for _ in range(91)] for _ in range(120)])
    before = m.encode()
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            m.regression_exact()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert m.encode() == before and m.count() == 120
