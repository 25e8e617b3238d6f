"""Calibration of the placebo test: size and coverage against nominal.

Monte Carlo on panels whose units are exchangeable (unit levels and factor
loadings drawn independently per unit, common random-walk factors, Gaussian
or skewed idiosyncratic shocks) and no effect anywhere, so a valid test
rejects H0: no effect at 5% in about 5% of panels and the 90% interval that
inverts it covers the true effect 0 in about 90%. Each cell reports, for one
and for five treated units and each method:

- size at 5%: the share of panels with p_value <= 0.05;
- coverage at 90%: the share whose [test_ci_lower, test_ci_upper] holds 0.

for the single-donor test (the compiled default), for the matched test
(placebo sets of the treated set's size drawn from every unit and refitted
on all the others, placebos whose pre-period RMSPE is over 5x the treated
fit's left out: the labelled `synth` default) and for the conformal test
(`fit_conformal`: moving-block permutations of the null-imposed residuals;
its p-value takes the values k / 30 here, so a perfectly calibrated test has
size 1/30 at 5% and coverage 0.9 at 90%). The Monte
Carlo standard error of a share near 0.05 over R panels is about
sqrt(0.05 * 0.95 / R): 0.007 at R = 1000.

    python bench/bench_calibration.py            # 1000 panels a cell: tens of minutes
    python bench/bench_calibration.py --quick    # 200 panels a cell
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara

N_UNITS, N_PERIODS, T0 = 30, 30, 20
METHODS = ["sc", "fp", "asc", "sdid", "rsc"]
CONFORMAL = {"sc", "fp", "asc", "sdid"}  # the methods with a conformal test
TESTS = ("single", "matched", "conformal")


def panel(rng: np.random.Generator, shocks: str) -> np.ndarray:
    f = rng.normal(size=(2, N_PERIODS)).cumsum(axis=1) * 0.3
    loadings = rng.normal(size=(N_UNITS, 2))
    levels = 10.0 + 2.0 * rng.normal(size=(N_UNITS, 1))
    if shocks == "gaussian":
        e = rng.normal(size=(N_UNITS, N_PERIODS))
    else:  # centred exponential: skewness 2
        e = rng.exponential(size=(N_UNITS, N_PERIODS)) - 1.0
    return levels + loadings @ f + e


def fit(
    method: str, y: np.ndarray, n_treated: int, size: str, n_placebo: int, seed: int
) -> quintara.SCResult:
    fn = getattr(quintara, f"fit_{method}")
    flag = {"inference": "placebo"} if method == "sdid" else {"placebo": True}
    extra = {"max_pre_ratio": 5.0} if size == "matched" else {}
    return fn(
        y,
        list(range(n_treated)),
        T0,
        level=0.9,
        placebo_size=size,
        n_placebo=n_placebo,
        seed=seed,
        **flag,
        **extra,
    )


def conformal(method: str, y: np.ndarray, n_treated: int) -> quintara.SCResult:
    return quintara.fit_conformal(
        y, list(range(n_treated)), T0, method=method, level=0.9, pointwise=False
    )


def cell(
    method: str, shocks: str, n_treated: int, size: str, reps: int, n_placebo: int
) -> tuple[float, float]:
    rng = np.random.default_rng(2024)  # the same panels for every method and test
    rejected = covered = 0
    for r in range(reps):
        y = panel(rng, shocks)
        if size == "conformal":
            res = conformal(method, y, n_treated)
        else:
            res = fit(method, y, n_treated, size, n_placebo, seed=r)
        if res.p_value is None:
            continue
        rejected += res.p_value <= 0.05
        covered += res.test_ci_lower <= 0.0 <= res.test_ci_upper
    return rejected / reps, covered / reps


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="200 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 1000)")
    ap.add_argument("--n-placebo", type=int, default=200, help="matched sets a test draws")
    ap.add_argument("--methods", nargs="+", default=METHODS)
    ap.add_argument(
        "--tests", nargs="+", default=list(TESTS), choices=TESTS, help="which tests to run"
    )
    args = ap.parse_args()
    reps = args.reps or (200 if args.quick else 1000)
    print(
        f"{N_UNITS} units x {N_PERIODS} periods, {N_PERIODS - T0} post; {reps} panels a cell;"
        f" matched tests draw {args.n_placebo} sets when there are more"
    )
    print(
        f"{'shocks':<9} {'treated':>7} {'method':<6} {'single size5':>12} {'cov90':>6}"
        f" {'matched size5':>13} {'cov90':>6} {'conformal size5':>15} {'cov90':>6}"
        f" {'seconds':>8}"
    )
    for shocks in ("gaussian", "skewed"):
        for n_treated in (1, 5):
            for method in args.methods:
                start = time.perf_counter()
                s, m, c = (
                    cell(method, shocks, n_treated, test, reps, args.n_placebo)
                    if test in args.tests and (test != "conformal" or method in CONFORMAL)
                    else (float("nan"), float("nan"))
                    for test in TESTS
                )
                print(
                    f"{shocks:<9} {n_treated:>7} {method:<6} {s[0]:>12.3f} {s[1]:>6.3f}"
                    f" {m[0]:>13.3f} {m[1]:>6.3f} {c[0]:>15.3f} {c[1]:>6.3f}"
                    f" {time.perf_counter() - start:>8.1f}",
                    flush=True,
                )


if __name__ == "__main__":
    main()
