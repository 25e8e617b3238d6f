"""Callaway & Sant'Anna: time per fit on generated staggered panels as units
(100 to 20 000), periods (10 to 40) and cohorts (3 to 8) grow, with and
without the multiplier-bootstrap bands; growth exponents and the bands'
speed-up of all threads over one.

Run: python bench/bench_callaway.py [--quick]
"""

from __future__ import annotations

import argparse

import numpy as np

import quintara
from common import fmt_seconds, logical_cpus, staggered_panel, sweep, thread_speedup, time_call


def fit(make, **kwargs):
    """A sweep step: builds the panel for a size and times the fit on it."""

    def prepare(size: int):
        y, cohorts = make(size)
        return lambda: quintara.fit_callaway_py(y, cohorts, **kwargs)

    return prepare


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    units = [100, 500, 2000, 5000] if args.quick else [100, 500, 2000, 5000, 20000]
    band_units = [100, 500, 2000] if args.quick else [100, 500, 2000, 5000, 20000]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    print("never-treated comparisons, T = 20, 5 cohorts, growing units N:")
    sweep("N", units, fit(lambda n: staggered_panel(n, 20, 5)))
    print("not-yet-treated comparisons, T = 20, 5 cohorts, growing units N:")
    sweep("N", units, fit(lambda n: staggered_panel(n, 20, 5), control="notyet"))
    print("N = 2000, 5 cohorts, growing periods T:")
    sweep("T", [10, 20, 40], fit(lambda t: staggered_panel(2000, t, 5)))
    print("N = 2000, T = 20, growing cohorts:")
    sweep("cohorts", [3, 5, 8], fit(lambda k: staggered_panel(2000, 20, k)))
    print("N = 2000, T = 20, 5 cohorts, one covariate:")
    y, cohorts = staggered_panel(2000, 20, 5)
    x = np.random.default_rng(1).normal(size=(2000, 1))
    print(f"  {fmt_seconds(time_call(lambda: quintara.fit_callaway_py(y, cohorts, covariates=x)))}")
    print("with bands (n_reps = 999), T = 20, 5 cohorts, growing units N:")
    sweep("N", band_units, fit(lambda n: staggered_panel(n, 20, 5), bands=True))

    n = band_units[-1]
    thread_speedup(
        f"bands N={n}, T=20",
        f"y, c = staggered_panel({n}, 20, 5)",
        "quintara.fit_callaway_py(y, c, bands=True)",
    )


if __name__ == "__main__":
    main()
