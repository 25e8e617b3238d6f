"""Calibration of the staggered estimators' standard errors clustered by a coarser unit.

Monte Carlo on county-like panels: 40 states of 15 counties, 10 years, county
and year effects, an AR(1) shock shared by the counties of a state (rho 0.5,
as large as the county noise), adoption decided by state (a quarter never,
the rest in years 4, 6 or 8), no effect. Each panel is fitted with its
standard errors clustered by county and by state; optionally with about 5% of
the cells missing (TWFE and Sun-Abraham on the observed cells, Callaway-
Sant'Anna in its unbalanced mode) and with county sampling weights.

Per cell: the size (the share of panels whose 95% normal interval of the
overall ATT excludes the true 0, i.e. |att / se| > 1.96) and the mean
standard error against the Monte Carlo spread of the estimate. Clustering by
county ignores the shared state shock, so it should reject far more than 5%;
clustering by state should come close to nominal, a little above it with 40
clusters. The column "state, t" uses the t(G - 1) critical value 2.023 in
place of the normal 1.960, the usual remedy for few clusters. The Monte Carlo
standard error of a share p over R panels is sqrt(p (1 - p) / R): 0.010 at
p = 0.05 and R = 500.

    python bench/bench_calibration_cluster.py            # 500 panels a cell
    python bench/bench_calibration_cluster.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import numpy as np

import quintara

STATES, COUNTIES, YEARS = 40, 15, 10
STATE = np.repeat(np.arange(STATES), COUNTIES)
T_CRIT = 2.022691  # t quantile 0.975 with STATES - 1 = 39 degrees of freedom


def panel(rng: np.random.Generator, missing: float) -> tuple[np.ndarray, list[int], np.ndarray]:
    """Outcomes (NaN where missing), cohorts per county, county weights."""
    adopt = rng.choice([-1, 4, 6, 8], size=STATES)
    shock = np.zeros((STATES, YEARS))
    for t in range(YEARS):
        shock[:, t] = (0.5 * shock[:, t - 1] if t else 0.0) + rng.normal(size=STATES)
    y = (
        rng.normal(size=(STATES * COUNTIES, 1))
        + 0.3 * np.arange(YEARS)[None, :]
        + shock[STATE]
        + rng.normal(size=(STATES * COUNTIES, YEARS))
    )
    if missing:
        y[rng.random(y.shape) < missing] = np.nan
    weights = rng.uniform(0.5, 2.0, STATES * COUNTIES)
    return y, [int(g) for g in adopt[STATE]], weights


def fit(method: str, y: np.ndarray, cohorts: list[int], opts: dict[str, Any]) -> Any:
    if method == "twfe":
        return quintara.fit_twfe_py(y, cohorts, **opts)
    if method == "sunab":
        return quintara.fit_sunab_py(y, cohorts, **opts)
    return quintara.fit_callaway_py(y, cohorts, **opts)


def cell(method: str, missing: float, weighted: bool, reps: int) -> dict[str, float]:
    rng = np.random.default_rng(11)  # the same panels for every method
    att = []
    se: dict[str, list[float]] = {"county": [], "state": []}
    for _ in range(reps):
        y, cohorts, w = panel(rng, missing)
        base: dict[str, Any] = {"missing": "keep"} if missing else {}
        if weighted:
            base["weights"] = list(w)
        county = fit(method, y, cohorts, base)
        state = fit(method, y, cohorts, dict(base, clusters=list(STATE)))
        att.append(county.att)
        se["county"].append(county.se)
        se["state"].append(state.se)
    a = np.asarray(att)
    out = {"spread": float(a.std(ddof=1))}
    for k, s in se.items():
        s_arr = np.asarray(s)
        out[f"size_{k}"] = float(np.mean(np.abs(a / s_arr) > 1.959964))
        out[f"se_{k}"] = float(s_arr.mean())
    out["size_state_t"] = float(np.mean(np.abs(a / np.asarray(se["state"])) > T_CRIT))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 500)")
    ap.add_argument("--methods", nargs="+", default=["twfe", "sunab", "callaway"])
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 500)
    print(
        f"{STATES} states x {COUNTIES} counties, {YEARS} years, adoption by state, "
        f"no effect; {reps} panels a cell; nominal size 0.05"
    )
    print(
        f"{'method':<9} {'cells':<9} {'weights':<7} {'size county':>11} {'size state':>10}"
        f" {'state, t':>8}"
        f" {'se county':>9} {'se state':>8} {'MC spread':>9} {'seconds':>8}"
    )
    for method in args.methods:
        for missing, weighted in ((0.0, False), (0.05, False), (0.0, True)):
            start = time.perf_counter()
            r = cell(method, missing, weighted, reps)
            print(
                f"{method:<9} {'5% gone' if missing else 'complete':<9} "
                f"{'yes' if weighted else 'no':<7} {r['size_county']:>11.3f}"
                f" {r['size_state']:>10.3f} {r['size_state_t']:>8.3f}"
                f" {r['se_county']:>9.4f} {r['se_state']:>8.4f}"
                f" {r['spread']:>9.4f} {time.perf_counter() - start:>8.1f}",
                flush=True,
            )


if __name__ == "__main__":
    main()
