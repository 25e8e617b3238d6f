"""Callaway & Sant'Anna: time per fit on generated staggered panels as units
(100 to 20 000), periods (10 to 40) and cohorts (3 to 8) grow, with and
without the multiplier-bootstrap bands; growth exponents and the bands'
speed-up of all threads over one.

Run: python bench/bench_callaway.py [--quick]
"""

from __future__ import annotations

import argparse
import pathlib
import textwrap

import numpy as np

import quintara
from common import fmt_seconds, growth_exponent, logical_cpus, run_with_threads, time_call


def staggered_panel(n_units: int, n_periods: int, n_cohorts: int,
                    seed: int = 0) -> tuple[np.ndarray, list[int]]:
    """Unit and period effects plus noise; about 30% never treated, the rest
    spread over `n_cohorts` adoption periods between 2 and T - 2, with an
    effect growing in time since adoption."""
    rng = np.random.default_rng(seed)
    starts = np.linspace(2, n_periods - 2, n_cohorts).round().astype(int)
    cohort = np.where(rng.uniform(size=n_units) < 0.3, -1,
                      starts[rng.integers(0, n_cohorts, size=n_units)])
    t = np.arange(n_periods)
    y = rng.normal(size=(n_units, 1)) + 0.05 * t + rng.normal(size=(n_units, n_periods))
    treated = cohort >= 0
    exposure = np.clip(t[None, :] - cohort[:, None] + 1, 0, None) * treated[:, None]
    return y + 0.1 * exposure, cohort.tolist()


def sweep(label: str, sizes: list[int], make, **kwargs) -> None:
    secs = []
    for s in sizes:
        y, cohorts = make(s)
        secs.append(time_call(lambda: quintara.fit_callaway_py(y, cohorts, **kwargs)))
        print(f"  {label}={s:6d}  {fmt_seconds(secs[-1])}")
    print(f"  growth exponent in {label}: {growth_exponent(sizes, secs):.2f}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    units = [100, 500, 2000, 5000] if args.quick else [100, 500, 2000, 5000, 20000]
    band_units = [100, 500, 2000] if args.quick else [100, 500, 2000, 5000, 20000]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    print("never-treated comparisons, T = 20, 5 cohorts, growing units N:")
    sweep("N", units, lambda n: staggered_panel(n, 20, 5))
    print("not-yet-treated comparisons, T = 20, 5 cohorts, growing units N:")
    sweep("N", units, lambda n: staggered_panel(n, 20, 5), control="notyet")
    print("N = 2000, 5 cohorts, growing periods T:")
    sweep("T", [10, 20, 40], lambda t: staggered_panel(2000, t, 5))
    print("N = 2000, T = 20, growing cohorts:")
    sweep("cohorts", [3, 5, 8], lambda k: staggered_panel(2000, 20, k))
    print("N = 2000, T = 20, 5 cohorts, one covariate:")
    y, cohorts = staggered_panel(2000, 20, 5)
    x = np.random.default_rng(1).normal(size=(2000, 1))
    print(f"  {fmt_seconds(time_call(lambda: quintara.fit_callaway_py(y, cohorts, covariates=x)))}")
    print("with bands (n_reps = 999), T = 20, 5 cohorts, growing units N:")
    sweep("N", band_units, lambda n: staggered_panel(n, 20, 5), bands=True)

    n = band_units[-1]
    code = textwrap.dedent(f"""
        import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        import quintara
        from bench_callaway import staggered_panel
        from common import time_call
        y, c = staggered_panel({n}, 20, 5)
        print(time_call(lambda: quintara.fit_callaway_py(y, c, bands=True), min_time=1.0))
    """)
    one = run_with_threads(1, code)
    every = run_with_threads(logical_cpus(), code)
    print(f"bands N={n}, T=20: 1 thread {fmt_seconds(one)}, {logical_cpus()} threads "
          f"{fmt_seconds(every)}, speed-up x{one / every:.2f}")


if __name__ == "__main__":
    main()
