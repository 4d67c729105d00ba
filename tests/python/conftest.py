"""Exact-arithmetic oracles and value strategies shared by the varnix tests."""
import math
import os
import struct
import sys
from fractions import Fraction

from hypothesis import settings
from hypothesis import strategies as st

settings.register_profile("varnix", deadline=None, max_examples=150)
# The sanitizer stage runs every example several times slower: fewer examples there.
settings.register_profile("sanitize", deadline=None, max_examples=30)
settings.load_profile(os.environ.get("VARNIX_HYPOTHESIS_PROFILE", "varnix"))

WIDTH, UNIT = 2176, 2**1074       # a state is a 2176-bit two's-complement integer counting units of 2**-1074
COUNT_MAX = 2**64 - 1
MAXF, TINY, MIN_NORMAL = sys.float_info.max, 5e-324, 2.0**-1022
F32_MAX = float.fromhex("0x1.fffffep127")
INF, NAN = math.inf, math.nan
F64, F32 = (53, -1022, 1023), (24, -126, 127)   # significand bits, lowest and highest exponent


def bits(x):
    """The binary64 bit pattern: tells -0.0 from 0.0 and makes the one quiet NaN equal to itself."""
    return struct.pack("<d", x)


def exact_sum(xs):
    return sum((Fraction(x) for x in xs if math.isfinite(x)), Fraction(0))


def round_to(q, p, emin, emax):
    """Rational q rounded to p significand bits, ties to even, ±inf past the top, -0.0 for tiny negatives."""
    if q == 0:
        return 0.0
    a = abs(q)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if (a.numerator << max(0, -e)) < (a.denominator << max(0, e)):
        e -= 1                                   # now 2**e <= a < 2**(e+1)
    shift = max(e, emin) - (p - 1)               # exponent of the last kept bit
    den = a.denominator << max(0, shift)
    n, r = divmod(a.numerator << max(0, -shift), den)
    n += 2 * r > den or (2 * r == den and n & 1)
    v = INF if n.bit_length() + shift > emax + 1 else math.ldexp(n, shift)
    return -v if q < 0 else v


def f32(x):
    """The binary64 -> binary32 conversion (nearest even, overflow to ±inf), widened back."""
    return round_to(Fraction(x), *F32) if math.isfinite(x) and x else x


def flag_byte(xs):
    return any(map(math.isnan, xs)) | 2 * (INF in xs) | 4 * (-INF in xs)


def flagged_value(flags, q, fmt):
    """value() of a state with these flags whose integer is q / 2**-1074."""
    return NAN if flags & 1 or flags == 6 else INF if flags == 2 else -INF if flags else round_to(q, *fmt)


def expected_value(xs, fmt=F64):
    """value() after adding xs: NaN or ±inf from the flags, else the correctly rounded exact sum."""
    return flagged_value(flag_byte(xs), exact_sum(xs), fmt)


def encode_state(n, flags=0, count=0):
    """The 281-byte encoding: 34 little-endian limbs of n modulo 2**2176, the flag byte, the count."""
    return (n % 2**WIDTH).to_bytes(272, "little") + bytes([flags]) + count.to_bytes(8, "little")


def sum_image(xs):
    """The encoding of a SumF64 that was fed xs."""
    return encode_state(int(exact_sum(xs) * UNIT), flag_byte(xs), len(xs))


# binary64 values of every magnitude (uniform exponents), with zeros, subnormals, extremes, NaN and infinities
any_f64 = st.one_of(st.floats(), st.builds(lambda b, s: s * struct.unpack("<d", struct.pack("<Q", b))[0],
                                           st.integers(0, 0x7FEF_FFFF_FFFF_FFFF), st.sampled_from([1.0, -1.0])),
                    st.sampled_from([0.0, -0.0, TINY, -TINY, MIN_NORMAL - TINY, MAXF, -MAXF, F32_MAX, NAN, INF, -INF]))
counts = st.one_of(st.sampled_from([0, 1, COUNT_MAX]), st.integers(0, COUNT_MAX))


@st.composite
def state_ints(draw, p=53, top=WIDTH - 1):
    """Signed integers below 2**top: of any length, or (one unit off) halfway between p-bit significands."""
    if draw(st.booleans()):
        k = draw(st.integers(0, top))
        return draw(st.integers(-2**k, 2**k - 1))
    lo = 1 if p == 53 else 925
    shift = draw(st.integers(lo, top - p - 1))
    m = draw(st.integers(2**(p - 1) if shift > lo else 0, 2**p - 1))
    n = ((2 * m + 1) << (shift - 1)) + draw(st.sampled_from([0, 0, 1, -1]))
    return -n if draw(st.booleans()) else n


def dot_parts(pairs):
    """The addends of an exact product sum fed the pairs (a, b): p = a*b and a*b - p rounded (p again if NaN, 0.0
    if infinite); and the flag of a product of non-zero factors below 2**-1022 or not a multiple of 2**-1074."""
    parts, lost = [], False
    for a, b in pairs:
        p = a * b
        if not math.isfinite(p):
            parts += [p, p if math.isnan(p) else 0.0]
            continue
        exact = Fraction(a) * Fraction(b)
        parts += [p, round_to(exact - Fraction(p), *F64)]
        lost |= a != 0 and b != 0 and (abs(p) < MIN_NORMAL or (exact * UNIT).denominator != 1)
    return parts, lost

