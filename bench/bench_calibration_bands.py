"""Calibration of Callaway & Sant'Anna's sup-t bands and pre-trend test.

Monte Carlo on the staggered panels of bench_calibration_imputation.py
(imported: 300 units, 10 periods, cohorts adopting in periods 4, 6 and 8 and
a quarter never treated, unit and period effects, AR(1) unit noise, rho 0.3),
and on their first 60 units (about 15 a cohort: units are drawn independently,
so these are small panels from the same design), where the bootstrap has
fewer units to draw on.
The effect is 0.5 (e + 1) at event time e >= 0 and 0 before adoption, so the
event study (event times -8..-2 and 0..5 against the universal base period
-1) has a known path; "heterogeneous" adds a unit effect of sd 0.5 to each
treated unit, and the path covered is then the population mean, the target of
the estimator's influence-function inference (units drawn independently).
Each cell fits `fit_callaway_py(bands=True, n_reps=999)` with never-treated
or not-yet-treated comparison units and reports:

- band joint: the share of panels whose 95% sup-t band (event_lo, event_hi)
  holds the whole path at once, every event time, pre and post: nominal 0.95;
- pw joint: the same share for the 95% pointwise intervals (event_ci_lower,
  event_ci_upper), which are not built for it: how far below 0.95 it falls is
  what the band corrects;
- pw mean / pw min: the pointwise intervals' coverage, averaged over the
  event times and at the worst event time: nominal 0.95 each;
- crit: the mean sup-t critical value (1.96 would be pointwise);
- reject univ / reject vary: the share of panels whose pre-trend Wald test
  (pretrend_p_value, the joint test of the pre-period estimates) rejects at
  5%, with the universal base period (the default) and with the varying one:
  the size under parallel trends, nominal 0.05, and the power when each
  treated unit's untreated outcome drifts by 0.1 a period before adoption
  (coverage is not reported there: the path the estimator targets is no
  longer the effect).

A last cell per comparison group clusters: the county panels of
bench_calibration_cluster.py (40 states of 15 counties, 10 years, a state
AR(1) shock, adoption decided by state, no effect, so the path is 0 at every
event time), fitted with `clusters=` the state (one multiplier per state),
where each event time rests on the few states of the cohorts that reach it;
"size ATT" is then the share of panels whose overall ATT interval excludes 0.

The Monte Carlo standard error of a share p over R panels is
sqrt(p (1 - p) / R): 0.010 at p = 0.95 and 0.0097 at p = 0.05, R = 500.

    python bench/bench_calibration_bands.py            # 500 panels a cell: under a minute
    python bench/bench_calibration_bands.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara
from bench_calibration_cluster import STATE, STATES, panel as county_panel
from bench_calibration_imputation import N, T, panel

SCENARIOS = (("homogeneous", 0.0), ("heterogeneous", 0.0), ("homogeneous", 0.1))
CONTROLS = ("never", "notyet")
UNITS = (N, 60)


def true_path(event_time: list[int]) -> np.ndarray:
    """The event-study estimand under parallel trends: 0.5 (e + 1) after adoption."""
    e = np.asarray(event_time, dtype=float)
    return np.where(e >= 0, 0.5 * (e + 1.0), 0.0)


def cell(
    units: int, control: str, heterogeneous: bool, drift: float, reps: int, n_boot: int
) -> dict:
    rng = np.random.default_rng(17)  # the same panels for both comparison groups
    fits = []
    for r in range(reps):
        y, cohorts, _, _ = panel(rng, heterogeneous, drift)
        y, cohorts = y[:units], cohorts[:units]
        fit = quintara.fit_callaway_py(
            y, cohorts, control=control, bands=True, n_reps=n_boot, seed=r
        )
        vary = quintara.fit_callaway_py(y, cohorts, control=control, base_period="varying")
        fits.append((fit, vary, true_path(fit.event_time)))
    out = summarise(fits)
    out["att_size"] = float("nan")  # the effect is not 0 here
    if drift:  # the estimand then carries the drift: coverage of the effect is moot
        for k in ("band", "pw_joint", "pw_mean", "pw_min"):
            out[k] = float("nan")
    return out


def clustered_cell(control: str, reps: int, n_boot: int) -> dict:
    """The county panels with no effect, every fit clustered by state."""
    rng = np.random.default_rng(23)
    opts = {"control": control, "clusters": list(STATE)}
    fits = []
    for r in range(reps):
        y, cohorts, _ = county_panel(rng, 0.0)
        fit = quintara.fit_callaway_py(y, cohorts, bands=True, n_reps=n_boot, seed=r, **opts)
        vary = quintara.fit_callaway_py(y, cohorts, base_period="varying", **opts)
        fits.append((fit, vary, np.zeros(len(fit.event_time))))
    return summarise(fits)


def summarise(fits: list) -> dict:
    """Coverage, critical value and pre-trend rejections over (fit, varying fit, path)."""
    band = pw_joint = pre_univ = pre_vary = att_size = 0
    pw_hits = 0
    crit = 0.0
    for fit, vary, path in fits:
        pre_univ += fit.pretrend_p_value <= 0.05
        pre_vary += vary.pretrend_p_value <= 0.05
        att_size += fit.p_value <= 0.05
        crit += fit.band_crit
        in_band = (np.asarray(fit.event_lo) <= path) & (path <= np.asarray(fit.event_hi))
        in_pw = (np.asarray(fit.event_ci_lower) <= path) & (path <= np.asarray(fit.event_ci_upper))
        band += in_band.all()
        pw_joint += in_pw.all()
        pw_hits = pw_hits + in_pw.astype(int)
    reps = len(fits)
    pw = np.asarray(pw_hits) / reps
    return {
        "band": band / reps,
        "pw_joint": pw_joint / reps,
        "pw_mean": pw.mean(),
        "pw_min": pw.min(),
        "crit": crit / reps,
        "pre_univ": pre_univ / reps,
        "pre_vary": pre_vary / reps,
        "att_size": att_size / reps,
    }


def print_row(label: str, control: str, effects: str, drift: object, r: dict, start: float) -> None:
    print(
        f"{label:>5} {control:<7} {effects:<14} {drift!s:<9} {r['band']:>10.3f}"
        f" {r['pw_joint']:>8.3f} {r['pw_mean']:>7.3f} {r['pw_min']:>6.3f}"
        f" {r['crit']:>5.2f} {r['pre_univ']:>11.3f} {r['pre_vary']:>11.3f}"
        f" {r['att_size']:>8.3f} {time.perf_counter() - start:>8.1f}",
        flush=True,
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 500)")
    ap.add_argument(
        "--n-reps", type=int, default=999, help="multiplier bootstrap draws a band takes"
    )
    ap.add_argument("--controls", nargs="+", default=list(CONTROLS), choices=CONTROLS)
    ap.add_argument(
        "--units", nargs="+", type=int, default=list(UNITS), help=f"panel sizes, at most {N}"
    )
    ap.add_argument("--no-clustered", action="store_true", help="skip the cells clustered by state")
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 500)
    sizes = "/".join(map(str, args.units))
    print(
        f"{sizes} units x {T} periods, cohorts 4/6/8/never; {reps} panels a cell;"
        f" bands from {args.n_reps} multiplier draws; nominal 0.95 coverage, 0.05 size"
    )
    print(
        f"{'units':>5} {'control':<7} {'effects':<14} {'pre-trend':<9} {'band joint':>10}"
        f" {'pw joint':>8} {'pw mean':>7} {'pw min':>6} {'crit':>5}"
        f" {'reject univ':>11} {'reject vary':>11} {'size ATT':>8} {'seconds':>8}"
    )
    for units in args.units:
        for control in args.controls:
            for effects, drift in SCENARIOS:
                start = time.perf_counter()
                r = cell(units, control, effects == "heterogeneous", drift, reps, args.n_reps)
                print_row(str(units), control, effects, drift, r, start)
    if args.no_clustered:
        return
    for control in args.controls:
        start = time.perf_counter()
        r = clustered_cell(control, reps, args.n_reps)
        print_row(f"{STATES}st", control, "none, by state", 0.0, r, start)
    print(f"{STATES}st: county panels clustered by state (bench_calibration_cluster.py)")


if __name__ == "__main__":
    main()
