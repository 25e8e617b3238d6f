"""Calibration of the CP-ASC conformal p-value: size against its exact nominal.

Monte Carlo on the exchangeable-unit panels of bench_calibration.py (imported:
30 units x 30 periods, 20 pre and 10 post, common random-walk factors,
Gaussian or skewed idiosyncratic shocks) with no effect anywhere, one or
three treated units. Each panel goes through `fit_cpasc` in its three modes
("mspe", "stratified", "cumulative"), and each cell reports:

- size 5% / size 10%: the share of panels with p_value <= 0.05 / 0.10;
- exact: the size a perfectly calibrated test has at that level. The p-value
  ranks the post-period among the panel's 30 cyclic windows, so it takes the
  values k / 30 and P(p <= a) = floor(30 a) / 30 under exchangeability over
  time: 1/30 = 0.033 at 5% and 3/30 = 0.100 at 10%, the numbers to compare
  against rather than 0.05 and 0.10;
- mean p: the average p-value, (30 + 1) / 60 = 0.517 when it is uniform on
  the grid: a lower mean says small p-values come too often.

The same panels are used for every mode; seconds is the time spent fitting
that mode. The last line counts p-values off the k / 30 grid (none expected).
The Monte Carlo standard error of a share p over R panels is
sqrt(p (1 - p) / R): 0.008 at p = 1/30 and 0.013 at p = 0.1, R = 500.

    python bench/bench_calibration_cpasc.py            # 500 panels a cell: under a minute
    python bench/bench_calibration_cpasc.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import quintara
from bench_calibration import N_PERIODS, N_UNITS, T0, panel

MODES = ("mspe", "stratified", "cumulative")
LEVELS = (0.05, 0.10)
K = N_PERIODS  # the cyclic windows the post-period is ranked among


def exact_size(level: float) -> float:
    """The size of a valid test whose p-values are k / K: floor(K level) / K."""
    return math.floor(K * level + 1e-9) / K


def cell(shocks: str, n_treated: int, reps: int, block_len: int | None) -> tuple:
    """Each mode's p-values over the cell's panels, and its seconds spent fitting."""
    rng = np.random.default_rng(2024)  # the same panels for every mode
    p = {m: np.empty(reps) for m in MODES}
    seconds = dict.fromkeys(MODES, 0.0)
    for r in range(reps):
        y = panel(rng, shocks)
        for m in MODES:
            start = time.perf_counter()
            res = quintara.fit_cpasc(y, list(range(n_treated)), T0, mode=m, block_len=block_len)
            seconds[m] += time.perf_counter() - start
            p[m][r] = res.p_value
    return p, seconds


def off_grid(p: np.ndarray) -> int:
    return int(np.sum(np.abs(p * K - np.round(p * K)) > 1e-6))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 500)")
    ap.add_argument(
        "--block-len", type=int, help="window length the p-value ranks (default: the post length)"
    )
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 500)
    print(
        f"{N_UNITS} units x {N_PERIODS} periods, {N_PERIODS - T0} post, no effect;"
        f" {reps} panels a cell; p-values take the values k/{K}"
    )
    print(
        f"{'shocks':<9} {'treated':>7} {'mode':<10} {'size 5%':>7} {'exact':>5}"
        f" {'size 10%':>8} {'exact':>5} {'mean p':>6} {'seconds':>8}"
    )
    e5, e10 = (exact_size(a) for a in LEVELS)
    off = 0
    for shocks in ("gaussian", "skewed"):
        for n_treated in (1, 3):
            p, seconds = cell(shocks, n_treated, reps, args.block_len)
            for m in MODES:
                v = p[m]
                off += off_grid(v)
                print(
                    f"{shocks:<9} {n_treated:>7} {m:<10} {np.mean(v <= 0.05):>7.3f}"
                    f" {e5:>5.3f} {np.mean(v <= 0.10):>8.3f} {e10:>5.3f} {v.mean():>6.3f}"
                    f" {seconds[m]:>8.2f}",
                    flush=True,
                )
    print(f"p-values off the k/{K} grid: {off} (none expected)")


if __name__ == "__main__":
    main()
