"""Calibration of the block and stationary bootstraps of a series' mean.

Monte Carlo on stationary Gaussian AR(1) series x_t = phi x_{t-1} + e_t
(e_t standard normal, x_0 drawn from the stationary law, so the mean is 0
throughout) of n = 50, 200 and 1000 periods, phi 0, 0.5 and 0.8. Each series
goes through `bootstrap_mean` with its default 2000 replicates, kind "block"
(moving blocks) and "stationary" (geometric blocks), at the block lengths a
user would pick: the default 4, n^(1/3) rounded (4, 6 and 10 here) and a
fixed 8. For each kind a row reports:

- cov se: the share of series whose mean +- 1.96 se holds the true mean 0,
  nominal 0.95;
- cov pct: the same share for the returned percentile interval
  (ci_lower, ci_upper), nominal 0.95;
- se/sd: the mean bootstrap se over the exact standard deviation of the
  mean of an AR(1) series of that length: below 1 is the downward bias of a
  block length too short for the dependence (or of the few blocks of a short
  series), which is what drives coverage below nominal.

and, once per row for reference, "naive": the coverage of mean +- 1.96 s / sqrt(n),
the interval that ignores the dependence. The same series are used for every
kind and block length of a (phi, n) pair. The Monte Carlo standard error of a
coverage near 0.95 over R series is sqrt(0.95 * 0.05 / R): 0.007 at R = 1000.

    python bench/bench_calibration_bootstrap.py            # 1000 series a cell: minutes
    python bench/bench_calibration_bootstrap.py --quick    # 200 series a cell
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara

Z = 1.959964
PHIS = (0.0, 0.5, 0.8)
LENGTHS = (50, 200, 1000)
KINDS = ("block", "stationary")
RULES = ("default", "n^(1/3)", "fixed 8")


def series(rng: np.random.Generator, phi: float, n: int, reps: int) -> np.ndarray:
    """`reps` stationary AR(1) series of length n, one a row."""
    x = np.empty((reps, n))
    x[:, 0] = rng.normal(size=reps) / np.sqrt(1.0 - phi * phi)
    e = rng.normal(size=(reps, n))
    for t in range(1, n):
        x[:, t] = phi * x[:, t - 1] + e[:, t]
    return x


def mean_sd(phi: float, n: int) -> float:
    """Exact standard deviation of the mean of n periods of the AR(1)."""
    k = np.arange(1, n)
    gamma0 = 1.0 / (1.0 - phi * phi)
    return float(np.sqrt(gamma0 / n * (1.0 + 2.0 * np.sum((1.0 - k / n) * phi**k))))


def block_len(rule: str, n: int) -> int:
    if rule == "default":
        return 4  # bootstrap_mean's own default
    if rule == "n^(1/3)":
        return max(1, round(n ** (1.0 / 3.0)))
    return 8


def coverage(x: np.ndarray, kind: str, length: int, n_boot: int, sd: float) -> tuple:
    """(cov se, cov pct, se/sd) of one kind and block length over the rows of x."""
    by_se = by_pct = 0
    se_sum = 0.0
    for r, row in enumerate(x):
        se, lo, hi = quintara.bootstrap_mean(
            row, kind=kind, block_len=length, n_reps=n_boot, seed=r
        )
        m = row.mean()
        by_se += abs(m) <= Z * se
        by_pct += lo <= 0.0 <= hi
        se_sum += se
    reps = len(x)
    return by_se / reps, by_pct / reps, se_sum / reps / sd


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="200 series a cell")
    ap.add_argument("--reps", type=int, help="series a cell (default 1000)")
    ap.add_argument("--n-reps", type=int, default=2000, help="bootstrap replicates a series")
    ap.add_argument("--phis", nargs="+", type=float, default=list(PHIS))
    ap.add_argument("--lengths", nargs="+", type=int, default=list(LENGTHS))
    ap.add_argument("--rules", nargs="+", default=list(RULES), choices=RULES)
    args = ap.parse_args()
    reps = args.reps or (200 if args.quick else 1000)
    print(
        f"AR(1) series, mean 0; {reps} series a cell, {args.n_reps} replicates each;"
        " nominal coverage 0.95"
    )
    head = "".join(f" {k + ' cov se':>16} {'cov pct':>7} {'se/sd':>5}" for k in KINDS)
    print(f"{'phi':>4} {'n':>5} {'rule':<8} {'len':>3} {'naive':>5}{head} {'seconds':>8}")
    for phi in args.phis:
        for n in args.lengths:
            rng = np.random.default_rng(2024)  # the same series for every kind and rule
            x = series(rng, phi, n, reps)
            sd = mean_sd(phi, n)
            s = x.std(axis=1, ddof=1)
            naive = np.mean(np.abs(x.mean(axis=1)) <= Z * s / np.sqrt(n))
            for rule in args.rules:
                start = time.perf_counter()
                length = block_len(rule, n)
                cells = "".join(
                    f" {a:>16.3f} {b:>7.3f} {c:>5.2f}"
                    for a, b, c in (coverage(x, k, length, args.n_reps, sd) for k in KINDS)
                )
                print(
                    f"{phi:>4} {n:>5} {rule:<8} {length:>3} {naive:>5.3f}{cells}"
                    f" {time.perf_counter() - start:>8.1f}",
                    flush=True,
                )


if __name__ == "__main__":
    main()
