"""Calibration of the conformal test's pointwise intervals, period by period.

Monte Carlo on the exchangeable panels of bench_calibration.py (30 units x
30 periods, 10 post; unit levels and factor loadings drawn independently per
unit, common random-walk factors, Gaussian or centred-exponential shocks),
the first 1 or 5 units treated. `fit_conformal(..., pointwise=True)` gives
one 90% interval per post period (`pointwise_lower`, `pointwise_upper`),
each from the conformal test of that period's effect alone. Two effects:

- none: the true effect is 0 in every post period;
- ramp: EFFECT_PATH planted in the treated units' post periods (from 0.2
  to 2 shock standard deviations), a different true effect each period.

Each cell, for sc and sdid, reports over its panels the share whose interval
of post period t holds that period's true effect, averaged over the 10 post
periods (mean cov90) and at the period where it is lowest (worst cov90,
at post period `worst t`, 1 the first). A period's interval missing an
endpoint (nan) counts as a miss.

The exact nominal. The test of one period ranks its residual among the
T0 + 1 = 21 periods its null-imposed fit uses (the pre-period and that
period), so its p-value takes the values k / 21; the interval at level 0.9
keeps the effects with p > 0.1, that is with rank k >= 3, and a perfectly
calibrated test covers with probability 1 - floor(0.1 * 21) / 21 = 19 / 21
= 0.905, not 0.9. (The intervals change with `level` only where
(1 - level) * 21 crosses a whole number, which is how the grid of 21 shows.)
The script prints that figure beside the coverages.

The Monte Carlo standard error of one period's share near 0.905 over R
panels is sqrt(0.905 * 0.095 / R): 0.015 at R = 400, 0.029 at R = 100. The
worst of 10 periods sits below the nominal even for a calibrated test: the
header prints its expected value were the 10 periods' shares independent
draws at the nominal (the periods share panels, so the real figure is a
little closer to the nominal). The mean over periods has a standard error no
larger than one period's.

With the ramp planted, each period's null-imposed data at its true effect are
the no-effect panel's, so the ramp cells should match the no-effect cells on
the same panels; a difference would mean the other periods' effects leak into
a period's test.

    python bench/bench_calibration_pointwise.py            # 400 panels a cell
    python bench/bench_calibration_pointwise.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import math
import time
from fractions import Fraction

import numpy as np

import quintara
from bench_calibration import N_PERIODS, N_UNITS, T0, panel

LEVEL = 0.9
N_POST = N_PERIODS - T0
EFFECT_PATH = np.linspace(0.2, 2.0, N_POST)  # grows over the post-period
EFFECTS = {"none": np.zeros(N_POST), "ramp": EFFECT_PATH}


def exact_nominal(level: float, n_ranked: int) -> float:
    """Coverage of a calibrated rank test whose p-value is k / n_ranked."""
    alpha = 1 - Fraction(str(level))  # exact, so 0.1 * 21 is not 2.0999...
    return 1.0 - math.floor(alpha * n_ranked) / n_ranked


def calibrated_worst(nominal: float, reps: int, periods: int) -> float:
    """Expected lowest of `periods` independent shares of `reps` draws at `nominal`."""
    rng = np.random.default_rng(0)
    return float(rng.binomial(reps, nominal, size=(20_000, periods)).min(axis=1).mean() / reps)


def cell(method: str, shocks: str, n_treated: int, effect: str, reps: int) -> np.ndarray:
    """Per post period, the share of panels whose interval holds the true effect."""
    rng = np.random.default_rng(2024)  # the same panels in every cell
    truth = EFFECTS[effect]
    covered = np.zeros(N_POST)
    for _ in range(reps):
        y = panel(rng, shocks)
        y[:n_treated, T0:] += truth
        r = quintara.fit_conformal(
            y, list(range(n_treated)), T0, method=method, level=LEVEL, pointwise=True
        )
        lo, hi = np.asarray(r.pointwise_lower), np.asarray(r.pointwise_upper)
        covered += (lo <= truth) & (truth <= hi)
    return covered / reps


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 400)")
    ap.add_argument("--methods", nargs="+", default=["sc", "sdid"])
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 400)
    nominal = exact_nominal(LEVEL, T0 + 1)
    print(
        f"{N_UNITS} units x {N_PERIODS} periods, {N_POST} post; {reps} panels a cell;"
        f" pointwise intervals at {LEVEL:.0%}"
    )
    print(
        f"exact nominal per period: 1 - floor({1 - Fraction(str(LEVEL))} * {T0 + 1}) / {T0 + 1}"
        f" = {nominal:.3f}; expected worst of {N_POST} calibrated periods:"
        f" {calibrated_worst(nominal, reps, N_POST):.3f}"
    )
    print(
        f"{'shocks':<9} {'treated':>7} {'effect':<6} {'method':<6} {'nominal':>7}"
        f" {'mean cov90':>10} {'worst cov90':>11} {'worst t':>7} {'seconds':>8}"
    )
    for shocks in ("gaussian", "skewed"):
        for n_treated in (1, 5):
            for effect in EFFECTS:
                for method in args.methods:
                    start = time.perf_counter()
                    cov = cell(method, shocks, n_treated, effect, reps)
                    print(
                        f"{shocks:<9} {n_treated:>7} {effect:<6} {method:<6} {nominal:>7.3f}"
                        f" {cov.mean():>10.3f} {cov.min():>11.3f} {int(cov.argmin()) + 1:>7}"
                        f" {time.perf_counter() - start:>8.1f}",
                        flush=True,
                    )


if __name__ == "__main__":
    main()
