"""Calibration of the imputation estimator's intervals and of the pre-trend tests.

Monte Carlo on staggered panels: 300 units, 10 periods, cohorts adopting in
periods 4, 6 and 8 and a quarter never treated, unit and period effects,
AR(1) unit noise (rho 0.3). Effects grow with exposure (0.5 per period);
"heterogeneous" adds a unit-specific effect of sd 0.5 to each treated unit.
Per cell:

- coverage of the 95% normal intervals of the overall ATT and of the
  horizon-0 effect, with the estimator's conservative standard errors (at or
  above nominal: the Theorem 3 variance is exact under homogeneous effects
  within cohort and period, and conservative under heterogeneity across
  units);
- size of the joint pre-trend Wald tests at 5% under parallel trends, for
  the imputation estimator (leads -1..-3 on the untreated cells) and for
  Sun-Abraham (its pre-period coefficients), and their power when every
  treated unit's untreated outcome drifts by 0.1 per period before adoption;
- coverage of Sun-Abraham's 95% interval of the overall ATT (its standard
  errors clustered by unit), against the same truth, the mean effect over
  the treated cells.

The Monte Carlo standard error of a share p over R panels is
sqrt(p (1 - p) / R): 0.005 at p = 0.05 and R = 2000.

    python bench/bench_calibration_imputation.py            # 2000 panels a cell
    python bench/bench_calibration_imputation.py --quick    # 500 panels a cell
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara

N, T = 300, 10
Z = 1.959964


def panel(rng: np.random.Generator, heterogeneous: bool, drift: float):
    cohorts = rng.choice([-1, 4, 6, 8], size=N)
    t = np.arange(T)[None, :]
    noise = np.zeros((N, T))
    for s in range(T):
        noise[:, s] = (0.3 * noise[:, s - 1] if s else 0.0) + rng.normal(size=N)
    c = cohorts[:, None]
    treated = (c >= 0) & (t >= c)
    unit_effect = rng.normal(0.0, 0.5, (N, 1)) if heterogeneous else 0.0
    effect = np.where(treated, 0.5 * (t - c + 1) + unit_effect, 0.0)
    pre = np.where((c >= 0) & (t < c), drift * (t - c), 0.0)
    y = rng.normal(size=(N, 1)) + 0.2 * t + noise + effect + pre
    true_att = effect[treated].mean()
    true_h0 = effect[treated & (t == c)].mean()
    return y, [int(g) for g in cohorts], true_att, true_h0


def cell(heterogeneous: bool, drift: float, reps: int) -> dict[str, float]:
    rng = np.random.default_rng(17)
    hits = {"att": 0, "h0": 0, "pre_imp": 0, "pre_sa": 0, "sa": 0}
    for _ in range(reps):
        y, cohorts, att, h0 = panel(rng, heterogeneous, drift)
        r = quintara.fit_imputation_py(y, cohorts, pretrends=3)
        hits["att"] += abs(r.att - att) <= Z * r.se
        k = r.event_time.index(0)
        hits["h0"] += abs(r.event_att[k] - h0) <= Z * r.event_se[k]
        hits["pre_imp"] += r.pretrend_p_value <= 0.05
        sa = quintara.fit_sunab_py(y, cohorts)
        hits["pre_sa"] += sa.pretrend_p_value <= 0.05
        hits["sa"] += abs(sa.att - att) <= Z * sa.se
    return {k: v / reps for k, v in hits.items()}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="500 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 2000)")
    args = ap.parse_args()
    reps = args.reps or (500 if args.quick else 2000)
    print(f"{N} units x {T} periods, cohorts 4/6/8/never; {reps} panels a cell")
    print(
        f"{'effects':<14} {'pre-trend':<9} {'cover ATT':>9} {'cover h=0':>9}"
        f" {'reject imp':>10} {'reject SA':>9} {'cover SA':>8} {'seconds':>8}"
    )
    for heterogeneous, drift in ((False, 0.0), (True, 0.0), (False, 0.1)):
        start = time.perf_counter()
        r = cell(heterogeneous, drift, reps)
        print(
            f"{'heterogeneous' if heterogeneous else 'homogeneous':<14} {drift:<9}"
            f" {r['att']:>9.3f} {r['h0']:>9.3f} {r['pre_imp']:>10.3f} {r['pre_sa']:>9.3f}"
            f" {r['sa']:>8.3f}"
            f" {time.perf_counter() - start:>8.1f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
