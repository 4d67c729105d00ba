"""Draws docs/groupby.png: pandas' per-key sums of one table, for several orders of its rows, against the exact
sums that varnix_arrays.groupby gives for every order.

Run from the repository root after installing the package with pandas and matplotlib:
    .venv/bin/python docs/plot_groupby.py
"""
import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import varnix_arrays as va  # noqa: E402

ROWS = 200_000
KEYS = 60
ORDERS = 4


def table(rng):
    """Sensor readings of wide magnitude under KEYS station names."""
    return pd.DataFrame({
        "station": rng.choice([f"s{i:02d}" for i in range(KEYS)], ROWS),
        "reading": rng.standard_normal(ROWS) * 10.0 ** rng.integers(-3, 9, ROWS),
    })


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(pathlib.Path(__file__).with_name("groupby.png")))
    args = parser.parse_args()
    rng = np.random.default_rng(17)
    df = table(rng)
    exact = va.groupby(df, by="station", aggs={"reading": ["sum"]})[("reading", "sum")]
    ulp = np.spacing(np.abs(exact.to_numpy()))
    fig, ax = plt.subplots(figsize=(10, 4.2), dpi=110)
    for k in range(ORDERS):
        shuffled = df.sample(frac=1.0, random_state=k)
        again = va.groupby(shuffled, by="station", aggs={"reading": ["sum"]})[("reading", "sum")]
        assert again.equals(exact)      # the exact sums do not move
        pandas = shuffled.groupby("station")["reading"].sum().reindex(exact.index)
        err = (pandas.to_numpy() - exact.to_numpy()) / ulp
        ax.plot(np.arange(KEYS) + (k - ORDERS / 2) * 0.12, err, "o", ms=4, alpha=0.8,
                label=f"pandas, row order {k + 1}")
    ax.axhline(0.0, color="black", lw=2, label="varnix_arrays.groupby, every order")
    ax.set_yscale("symlog", linthresh=1.0)
    ax.set_xlabel("station (group key)")
    ax.set_ylabel("pandas sum − exact sum (units in the last place)")
    ax.set_title(f"Per-key sums of one table ({ROWS:,} rows, {KEYS} keys), rows shuffled {ORDERS} ways")
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(args.out)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
