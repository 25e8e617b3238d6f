"""Calibration of the geo design's detection test, and whether power and analysis agree.

Monte Carlo on geo-like panels (markets with their own levels, a shared weekly
cycle and a random-walk trend with market loadings, AR(1) market noise; the
treated markets drawn like the rest, so nothing distinguishes them). Each cell,
for a method and a size alpha, reports:

- size: the share of panels whose `geo_test` (the in-time test on the
  finished experiment, no effect) has p_value <= alpha;
- coverage: the share whose 1 - alpha interval holds the true effect 0;
- predicted power at a lift: the mean over panels of `geo_power` run on the
  pre-period alone (the design, done before the test);
- realised power: the share of panels that `geo_test` rejects once the lift
  is injected into the treated markets' test periods.

A design's power is honest when the realised power matches the predicted one;
the Monte Carlo standard error of a share p over R panels is sqrt(p(1-p)/R).

What to expect of the rule itself: with W exchangeable windows, a new window
exceeds their interpolated 1 - alpha quantile (position h = (1 - alpha)(W - 1)
of the sorted |ATT|) with probability about (W - h) / (W + 1): 0.115 at
alpha = 0.1 and 0.067 at alpha = 0.05 with the 52 windows here. The design
evaluates its power on the same windows that set the critical value, so it
is optimistic by about as much; both shrink as the windows grow in number.

    python bench/bench_calibration_in_time.py            # 500 panels a cell
    python bench/bench_calibration_in_time.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara

N_MARKETS, N_WEEKS, TEST_LEN, LOOKBACK = 40, 104, 8, 52
TREATED = [0, 1]
LIFT = 0.02


def panel(rng: np.random.Generator) -> np.ndarray:
    weeks = np.arange(N_WEEKS)
    level = rng.uniform(50.0, 150.0, (N_MARKETS, 1))
    cycle = rng.uniform(0.02, 0.06, (N_MARKETS, 1)) * np.sin(2 * np.pi * weeks / 52.0)
    trend = 0.01 * rng.normal(size=N_WEEKS).cumsum() * rng.uniform(0.5, 1.5, (N_MARKETS, 1))
    noise = np.zeros((N_MARKETS, N_WEEKS))
    shocks = 0.02 * rng.normal(size=(N_MARKETS, N_WEEKS))
    for t in range(N_WEEKS):
        noise[:, t] = (0.5 * noise[:, t - 1] if t else 0.0) + shocks[:, t]
    return level * (1.0 + cycle + trend + noise)


def cell(method: str, alpha: float, reps: int) -> tuple[float, float, float, float]:
    rng = np.random.default_rng(7)  # the same panels for every method and size
    t0 = N_WEEKS - TEST_LEN
    opts = {"method": method, "alpha": alpha, "lookback": LOOKBACK}
    rejected = covered = realised = 0
    predicted = 0.0
    for _ in range(reps):
        y = panel(rng)
        r = quintara.geo_test(y, TREATED, t0, **opts)
        rejected += r.p_value <= alpha
        covered += r.test_ci_lower <= 0.0 <= r.test_ci_upper
        design = quintara.geo_power(y[:, :t0], TREATED, TEST_LEN, [LIFT], **opts)
        predicted += design.power[0]
        lifted = y.copy()
        lifted[TREATED, t0:] *= 1.0 + LIFT
        realised += quintara.geo_test(lifted, TREATED, t0, **opts).p_value <= alpha
    return rejected / reps, covered / reps, predicted / reps, realised / reps


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 500)")
    ap.add_argument("--methods", nargs="+", default=["sc", "fp", "asc", "sdid", "rsc"])
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 500)
    print(
        f"{N_MARKETS} markets x {N_WEEKS} weeks, {len(TREATED)} treated, test {TEST_LEN} weeks,"
        f" lookback {LOOKBACK}; {reps} panels a cell; lift {LIFT:.0%} for power"
    )
    print(
        f"{'method':<6} {'alpha':>5} {'size':>6} {'cover':>6} {'predicted power':>16}"
        f" {'realised power':>15} {'seconds':>8}"
    )
    for method in args.methods:
        for alpha in (0.1, 0.05):
            start = time.perf_counter()
            size, cover, predicted, realised = cell(method, alpha, reps)
            print(
                f"{method:<6} {alpha:>5} {size:>6.3f} {cover:>6.3f} {predicted:>16.3f}"
                f" {realised:>15.3f} {time.perf_counter() - start:>8.1f}",
                flush=True,
            )


if __name__ == "__main__":
    main()
