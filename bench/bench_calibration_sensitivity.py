"""Calibration of the Rambachan-Roth robust intervals (`honest_did_py`).

Monte Carlo on event studies drawn directly: betahat ~ N(delta, sigma) with
three pre-periods and three post-periods around the omitted reference period,
no effect (tau = 0, so the interval for l'tau covers when it holds 0) and a
known covariance (unit variances, correlation 0.5 between neighbours, 0.25
two apart, 0 further; the shape of an event study against one reference
period). The violation delta lies inside the restriction set, on its boundary
where that is the hardest case:

- smoothness, M = 0.2: delta = 0.3 t + M t^2 / 2 (event time t, 0 at the
  reference), a linear pre-trend bent by exactly M per period squared;
- smoothness, M = 0: the linear trend 0.3 t alone;
- relative magnitudes, Mbar = 1: pre-period first differences 0.5 (a linear
  pre-trend), every post-period difference 0.5 Mbar, the largest allowed;
- relative magnitudes, Mbar = 0.5: the same with Mbar = 0.5;
- relative magnitudes, Mbar = 1 and 0.5, steep: pre-period differences 1, 3 and 6
  standard errors (the last the largest), post differences 6 Mbar: only one
  location and sign of the largest pre-period difference is consistent with
  delta, and it is estimated sharply. (With equal differences every location
  fits delta exactly, and the union over them over-covers.)

Reported: coverage of the 95% robust interval for the first post-period effect
and for the post-period average, against nominal 95%, with its Monte Carlo
standard error sqrt(p (1 - p) / R) (0.013 at p = 0.95 and R = 300).

Figures of one run (300 draws a cell, seed 20261208; 80 s on 2 cores):

    cell                               e=0  average
    smoothness M=0.2                 0.950    0.950
    smoothness M=0                   0.957    0.947
    rel. magnitude Mbar=1            0.997    1.000
    rel. magnitude Mbar=0.5          0.983    1.000
    rel. magnitude Mbar=1 steep      0.960    0.947
    rel. magnitude Mbar=0.5 steep    0.967    0.957

The smoothness interval is at nominal on the boundary of Delta^SD. The
relative-magnitude interval is at nominal when one location of the largest
pre-period difference is identified (steep) and conservative when every
location fits (flat: the union over them covers more than any one piece).

    python bench/bench_calibration_sensitivity.py            # 300 draws a cell
    python bench/bench_calibration_sensitivity.py --quick    # 100 draws a cell
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara

N_PRE, N_POST = 3, 3
EVENT = np.array([-3, -2, -1, 1, 2, 3], dtype=float)  # 0 is the reference period


def covariance() -> np.ndarray:
    n = N_PRE + N_POST
    lag = np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
    return np.where(lag == 0, 1.0, np.where(lag == 1, 0.5, np.where(lag == 2, 0.25, 0.0)))


def violation(kind: str, m: float, steps: tuple[float, float, float]) -> np.ndarray:
    """delta at EVENT; `steps` are the pre-period first differences, earliest first."""
    if kind == "smoothness":
        return 0.3 * EVENT + m * EVENT**2 / 2.0
    pre = -np.cumsum(steps[::-1])[::-1]  # delta_-3, delta_-2, delta_-1 with delta_0 = 0
    return np.concatenate([pre, m * max(steps) * EVENT[N_PRE:]])


def cell(kind: str, m: float, steps: tuple[float, float, float], reps: int) -> tuple[float, float]:
    rng = np.random.default_rng(20261208)
    sigma = covariance()
    chol = np.linalg.cholesky(sigma)
    delta = violation(kind, m, steps)
    hits = {"e0": 0, "avg": 0}
    for _ in range(reps):
        beta = delta + chol @ rng.normal(size=N_PRE + N_POST)
        for key, l_vec in (("e0", [1.0, 0.0, 0.0]), ("avg", [1 / 3] * 3)):
            out = quintara.honest_did_py(
                list(beta), sigma, N_PRE, kind=kind, m=[m], l_vec=l_vec, breakdown=False
            )
            lo, hi = out["lower"][0], out["upper"][0]
            hits[key] += int(lo <= 0.0 <= hi)
    return hits["e0"] / reps, hits["avg"] / reps


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 draws a cell")
    reps = 100 if parser.parse_args().quick else 300
    print(f"{reps} draws a cell; nominal 0.95, MC se {np.sqrt(0.95 * 0.05 / reps):.3f}")
    print(f"{'cell':30s} {'e=0':>7s} {'average':>8s} {'seconds':>8s}")
    flat, steep = (0.5, 0.5, 0.5), (1.0, 3.0, 6.0)
    for kind, m, steps, label in (
        ("smoothness", 0.2, flat, "smoothness M=0.2"),
        ("smoothness", 0.0, flat, "smoothness M=0"),
        ("relative_magnitude", 1.0, flat, "rel. magnitude Mbar=1"),
        ("relative_magnitude", 0.5, flat, "rel. magnitude Mbar=0.5"),
        ("relative_magnitude", 1.0, steep, "rel. magnitude Mbar=1 steep"),
        ("relative_magnitude", 0.5, steep, "rel. magnitude Mbar=0.5 steep"),
    ):
        start = time.perf_counter()
        e0, avg = cell(kind, m, steps, reps)
        print(f"{label:30s} {e0:7.3f} {avg:8.3f} {time.perf_counter() - start:8.1f}")


if __name__ == "__main__":
    main()
