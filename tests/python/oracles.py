"""Oracles written from the arithmetic: exact integer accumulators, rationals rounded once, IEEE 754 total order."""
import math
import struct
from fractions import Fraction

from conftest import F64, UNIT, bits, dot_parts, encode_state, exact_sum, flag_byte, round_to

UNDEFINED = "undefined (insufficient data or invalid input)"
NAN_PAYLOADS = [struct.unpack("<d", struct.pack("<Q", b))[0] for b in
                (0x7FF0_0000_0000_0001, 0xFFF8_0000_0000_0000, 0x7FFF_FFFF_FFFF_FFFF, 0xFFF0_0000_DEAD_BEEF)]


def rnd(q):
    return round_to(q, *F64)


def fma(a, b, c):
    """a*b + c rounded once, with IEEE 754's infinities and NaN."""
    if all(map(math.isfinite, (a, b, c))):
        return rnd(Fraction(a) * Fraction(b) + Fraction(c))
    return c if math.isfinite(a) and math.isfinite(b) else a * b + c


def total_key(x):
    """IEEE 754 total order: the pattern as a signed integer; below zero, the magnitude bits run backwards."""
    k = struct.unpack("<q", struct.pack("<d", x))[0]
    return k ^ (2**63 - 1) if k < 0 else k


def canon(v):
    """v comparable bit for bit: floats as their patterns, sequences as lists."""
    return bits(v) if isinstance(v, float) else [canon(u) for u in v] if isinstance(v, (list, tuple)) else v


def outcome(call):
    """What call() returns, comparable bit for bit, or the message of the ValueError it raises."""
    try:
        return canon(call())
    except ValueError as e:
        return str(e)


def sum_acc(xs):
    """An exact sum fed xs: (integer in units of 2**-1074, flag byte, count, None)."""
    return int(exact_sum(xs) * UNIT), flag_byte(xs), len(xs), None


def dot_acc(pairs):
    """An exact product sum fed the factor pairs: its product steps' addends summed, and the inexact-product flag."""
    parts, lost = dot_parts(pairs)
    return sum_acc(parts)[:3] + (lost,)


def encode_accs(accs, tiny=None):
    """The accumulators' encodings in order (a product sum's followed by its 0/1 byte), then the tiny byte if any."""
    out = b"".join(encode_state(n, f, c) + (b"" if lost is None else bytes([lost])) for n, f, c, lost in accs)
    return out + (b"" if tiny is None else bytes([tiny]))


def reading(acc):
    """The exact value an accumulator holds, or why it cannot be read (the inexact-product flag first)."""
    n, flags, _, lost = acc
    return "ExactnessLost" if lost else "NonFinite" if flags else Fraction(n, UNIT)


def run(new, ops, rng=None):
    """new() fed ops (method, *args); with rng, shuffled over up to four objects merged in a random grouping."""
    ops = rng.sample(ops, len(ops)) if rng else ops
    objs = [new() for _ in range(rng.randint(1, 4) if rng else 1)]
    for op, *args in ops:
        getattr(rng.choice(objs) if rng else objs[0], op)(*args)
    while len(objs) > 1:
        i, j = rng.sample(range(len(objs)), 2)
        objs[i].merge(objs.pop(j))
    return objs[0]


def histogram_image(edges, counts, nans=0, undefined=0):
    """A histogram's encoding: edge count, undefined byte, the edges, the n + 1 bin counts, the NaN count."""
    n = len(edges)
    return struct.pack(f"<IB{n}d{n + 1}QQ", n, undefined, *edges, *counts, nans)


def extrema_image(xs):
    """The 25-byte extrema encoding of the values: extremes in the total order, NaN and any-value flags, count."""
    live = sorted((x for x in xs if not math.isnan(x)), key=total_key)
    lo, hi = (live[0], live[-1]) if live else (0.0, 0.0)
    return struct.pack("<ddBQ", lo, hi, (len(live) < len(xs)) | 2 * bool(live), min(len(xs), 2**64 - 1))
