"""Hypothesis profile, strategies and exact-arithmetic oracles shared by the varnix tests.

Helpers are importable (``from conftest import exact_sum``) and are also session fixtures of the same name.
"""
import math
import struct
import sys
from fractions import Fraction

import pytest
from hypothesis import settings
from hypothesis import strategies as st

settings.register_profile("varnix", deadline=None, max_examples=60)
settings.load_profile("varnix")

UNIT_EXP = 1074                      # accumulator unit is 2**-1074
WIDTH = 2176                         # bits of the two's-complement accumulator integer
COUNT_MAX = 2**64 - 1
TINY = math.ldexp(1.0, -1074)
MIN_NORMAL = math.ldexp(1.0, -1022)
MAXF = sys.float_info.max
F32_MAX = float.fromhex("0x1.fffffep127")
F32_TINY = math.ldexp(1.0, -149)
NAN, INF = float("nan"), float("inf")


def same_float(a, b):
    """True when a and b have identical binary64 bit patterns (tells ±0 apart, compares NaN bits)."""
    return struct.pack("<d", a) == struct.pack("<d", b)


def exact_sum(xs):
    """Exact rational sum of the finite values in xs."""
    return sum((Fraction(x) for x in xs if math.isfinite(x)), Fraction(0))


def round_to(q, p, emin, emax):
    """Round rational q to p significand bits, ties to even, ±inf on overflow, -0.0 for tiny negatives."""
    if q == 0:
        return 0.0
    a = abs(q)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if (a.numerator << max(0, -e)) < (a.denominator << max(0, e)):
        e -= 1                                   # now 2**e <= a < 2**(e+1)
    shift = max(e, emin) - (p - 1)               # exponent of the lowest kept bit
    den = a.denominator << max(0, shift)
    n, r = divmod(a.numerator << max(0, -shift), den)
    if 2 * r > den or (2 * r == den and n & 1):
        n += 1
    v = INF if shift > emax + 1 or n >= 1 << (emax + 1 - shift) else math.ldexp(n, shift)
    return -v if q < 0 else v


def round_f64(q):
    """Correctly rounded binary64 value of rational q."""
    return round_to(q, 53, -1022, 1023)


def round_f32(q):
    """Correctly rounded binary32 value of rational q, as a float."""
    return round_to(q, 24, -126, 127)


def to_f32(x):
    """IEEE conversion of binary64 x to binary32 (nearest, ties to even, overflow to ±inf), widened back."""
    return round_f32(Fraction(x)) if math.isfinite(x) and x else x


def expected_value(xs, f32=False):
    """What value() must return after adding xs to an empty SumF64 (or SumF32 with f32=True)."""
    xs = [to_f32(x) for x in xs] if f32 else xs
    if any(math.isnan(x) for x in xs) or (INF in xs and -INF in xs):
        return NAN
    if INF in xs or -INF in xs:
        return INF if INF in xs else -INF
    return (round_f32 if f32 else round_f64)(exact_sum(xs))


def encode_state(n, flags=0, count=0):
    """The 281-byte encoding of accumulator integer n (modulo 2**2176), flag byte and count."""
    return (n % 2**WIDTH).to_bytes(272, "little") + bytes([flags]) + count.to_bytes(8, "little")


def decode_state(b):
    """(signed accumulator integer, flag byte, count) of a 281-byte encoding."""
    n = int.from_bytes(b[:272], "little")
    return n - (n >> (WIDTH - 1) << WIDTH), b[272], int.from_bytes(b[273:], "little")


def sum_of(xs, cls=None):
    """A new accumulator of class cls (default SumF64) after add(x) for each x in xs."""
    if cls is None:
        from varnix import SumF64 as cls
    s = cls()
    for x in xs:
        s.add(x)
    return s


def merged_parts(xs, cls, rnd, parts):
    """Deal xs at random into `parts` accumulators of class cls and merge them in a random tree order."""
    states = [cls() for _ in range(parts)]
    for x in xs:
        states[rnd.randrange(parts)].add(x)
    while len(states) > 1:
        i, j = rnd.sample(range(len(states)), 2)
        states[i].merge(states.pop(j))
    return states[0]


def _from_bits(neg, e, f):
    return struct.unpack("<d", struct.pack("<Q", neg << 63 | e << 52 | f))[0]


# finite binary64 values of every magnitude: uniform exponents, subnormals, ±0 and extremes
finite_f64 = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.builds(_from_bits, st.booleans(), st.integers(0, 2046), st.integers(0, 2**52 - 1)),
    st.sampled_from([0.0, -0.0, TINY, -TINY, MIN_NORMAL - TINY, MAXF, -MAXF, F32_MAX, F32_TINY]),
)
# finite values plus NaN and both infinities
any_f64 = st.one_of(finite_f64, st.sampled_from([NAN, INF, -INF]))


@st.composite
def _f32_midpoint(draw):
    a = draw(st.floats(width=32, min_value=0, max_value=F32_MAX))
    mid = a + math.ldexp(0.5, max(math.frexp(a)[1] - 24, -149) if a else -149)   # halfway to next binary32
    return draw(st.sampled_from([mid, -mid, math.nextafter(mid, 0), math.nextafter(mid, INF)]))


# inputs that exercise binary32 conversion: binary32 values, midpoints between them and their neighbours
f32_inputs = st.one_of(st.floats(width=32), _f32_midpoint(), finite_f64)


@st.composite
def _clustered_int(draw, top):
    k0 = draw(st.integers(0, top))
    offsets = st.one_of(st.sampled_from([1, 23, 24, 25, 52, 53, 54]), st.integers(1, 80))
    terms = [k0] + [k0 - d for d in draw(st.lists(offsets, max_size=4))]
    terms += draw(st.lists(st.integers(0, k0), max_size=1))          # a far-away sticky bit
    return sum((-1) ** draw(st.booleans()) << k for k in terms if k >= 0)


@st.composite
def _near_tie(draw, top):
    p = draw(st.sampled_from([24, 53] if top > 1300 else [24]))
    lo = 925 if p == 24 else 1                   # binary32 ulp is never below 2**-149
    shift = draw(st.one_of(st.integers(lo, top - p - 1), st.sampled_from([lo, lo + 1, top - p - 1])))
    m = draw(st.integers(2**(p - 1) if shift > lo else 0, 2**p - 1))      # a full significand above the ulp floor
    n = ((2 * m + 1) << (shift - 1)) + draw(st.sampled_from([0, 0, 0, 1, -1]))   # halfway, or one unit off
    return -n if draw(st.booleans()) else n


def state_ints(top=WIDTH - 1):
    """Signed accumulator integers with leading bit below `top`, rich in ties, sticky bits and carry runs."""
    lim = 2**top
    return st.one_of(
        st.integers(-lim, lim - 1),
        st.integers(0, top).flatmap(lambda k: st.integers(-2**k, 2**k)),
        _clustered_int(top - 1),
        _near_tie(top - 1),
        _near_tie(top - 1),
    ).map(lambda n: max(-lim, min(lim - 1, n)))


# any 281-byte string that decodes: such limbs, flag byte 0..7, any count
valid_encodings = st.builds(encode_state, state_ints(), st.integers(0, 7),
                            st.one_of(st.integers(0, COUNT_MAX), st.sampled_from([0, 1, COUNT_MAX])))

for _name in ["same_float", "exact_sum", "round_to", "round_f64", "round_f32", "to_f32", "expected_value",
              "encode_state", "decode_state", "sum_of", "merged_parts", "finite_f64", "any_f64",
              "f32_inputs", "valid_encodings"]:
    globals()["_fixture_" + _name] = pytest.fixture(name=_name, scope="session")(
        lambda _v=globals()[_name]: _v)
