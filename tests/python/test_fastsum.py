"""FastSumF64 reaches exactly the state of a SumF64 fed the same values, whatever the split between add and
extend and whatever its banks did on the way."""
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import MAXF, any_f64, sum_image, sum_of
from varnix import FastSumF64, SumF64

HEAVY = float.fromhex("0x1.fffffffffffffp+941")   # the largest load one value puts into a bank digit
CONTAINERS = {"list": list, "tuple": tuple, "ndarray": lambda xs: np.array(xs, dtype=float),
              "reversed": lambda xs: np.array(xs[::-1], dtype=float)[::-1]}


@given(st.lists(st.tuples(st.sampled_from(["add", *CONTAINERS]),
                          st.lists(any_f64 | st.floats(-1, 1) | st.sampled_from([HEAVY, -HEAVY]), max_size=24)),
                max_size=8))
def test_any_split_matches_the_exact_sum(ops):
    fs, seen = FastSumF64(), []
    for how, chunk in ops:
        if how == "add":
            for x in chunk:
                fs.add(x)
        else:
            fs.extend(CONTAINERS[how](chunk))
        seen += chunk
        done = fs.finish()                        # finishing leaves the object as it was
        assert type(done) is SumF64 and done.to_bytes() == sum_image(seen) and fs.count() == len(seen)


def wide(n):
    """n random bit patterns (every exponent, both signs, a few NaN and inf), a fifth of them zeros."""
    rng = np.random.default_rng(n)
    xs = np.frombuffer(rng.bytes(8 * n), "<f8").copy()
    xs[rng.random(n) < 0.2] = 0.0
    return xs.tolist()


@pytest.mark.parametrize("xs", [wide(4096), wide(4097), [MAXF] * 5000, [-MAXF] * 5000, [HEAVY] * 5000,
                                [-HEAVY] * 5000], ids=["4096", "4097", "max", "-max", "heavy", "-heavy"])
@pytest.mark.parametrize("how", ["add", "list", "ndarray", "reversed"])
def test_long_inputs(xs, how):
    fs = FastSumF64()
    if how == "add":
        for x in xs:
            fs.add(x)
    else:
        fs.extend(CONTAINERS[how](xs))
    assert fs.finish().to_bytes() == sum_of(xs).to_bytes() and fs.count() == len(xs)
