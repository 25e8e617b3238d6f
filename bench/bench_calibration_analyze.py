"""Calibration of `analyze`: its lift interval and its pointwise path bands.

The same geo-like panels as bench_calibration_in_time.py (markets with their
own levels, a yearly cycle, a random-walk trend with market loadings, AR(1)
noise; the treated markets drawn like the rest). A lift of LIFT is planted in
the treated markets' test periods, so the true incremental units are known
exactly: LIFT times their untreated outcome over the test. Each cell, for a
method and a size alpha, reports over the panels:

- size: the share with p_value <= alpha when nothing is planted;
- lift coverage: the share whose lift interval holds the true lift (in
  percent of the untreated outcome), with the lift planted;
- cumulative coverage: the same for the incremental units (the last point of
  the cumulative band, the headline test);
- pointwise coverage: the share of (panel, test period) pairs whose effect
  band holds that period's true effect, and likewise for the cumulative band
  at each period;
- z se: the coverage of incremental +- z(1 - alpha/2) x incremental_se, the
  interval a model reading the windows' spread as a normal standard error
  would form (what `to_mmm` exported before it derived its standard errors
  from the test's interval);
- one-sided: the size of `alternative="greater"` and `"less"` with nothing
  planted, and with the lift planted the coverage of their one-sided
  incremental intervals ([lower, inf) and (-inf, upper]).

The headline test is the in-time test, so its size and coverage follow its
rule (about (W - h) / (W + 1) above alpha with W windows, see that file);
each pointwise band is the same rule applied at one offset, so it is expected
to cover about as well, period by period (not simultaneously). The Monte
Carlo standard error of a share p over R panels is sqrt(p (1 - p) / R):
0.012 near 0.1 at R = 600.

    python bench/bench_calibration_analyze.py            # 600 panels a cell
    python bench/bench_calibration_analyze.py --quick    # 80 panels a cell
"""

from __future__ import annotations

import argparse
import time
from statistics import NormalDist

import numpy as np

import quintara
from bench_calibration_in_time import LOOKBACK, N_WEEKS, TEST_LEN, TREATED, panel

LIFT = 0.03
ONE_SIDED = ("greater", "less")


def cell(method: str, alpha: float, reps: int) -> dict[str, float]:
    rng = np.random.default_rng(11)  # the same panels for every method and size
    t0 = N_WEEKS - TEST_LEN
    opts = {"method": method, "alpha": alpha, "lookback": LOOKBACK}
    z = NormalDist().inv_cdf(1.0 - alpha / 2.0)
    size = lift_cov = inc_cov = z_cov = 0
    point_eff = point_cum = 0
    side_size = dict.fromkeys(ONE_SIDED, 0)
    side_cov = dict.fromkeys(ONE_SIDED, 0)
    for _ in range(reps):
        y = panel(rng)
        size += quintara.geo_analyze(y, TREATED, t0, **opts).p_value <= alpha
        lifted = y.copy()
        lifted[TREATED, t0:] *= 1.0 + LIFT
        a = quintara.geo_analyze(lifted, TREATED, t0, **opts)
        # The truth in the record's units: per market-period effects of the
        # treated mean, and their running sum over the treated markets.
        true_eff = LIFT * y[TREATED, t0:].mean(axis=0)
        true_cum = len(TREATED) * np.cumsum(true_eff)
        true_lift = 100.0 * LIFT
        lift_cov += a.lift_pct_lower <= true_lift <= a.lift_pct_upper
        inc_cov += a.incremental_lower <= true_cum[-1] <= a.incremental_upper
        z_cov += abs(a.incremental - true_cum[-1]) <= z * a.incremental_se
        lo, hi = np.asarray(a.effect_lower), np.asarray(a.effect_upper)
        point_eff += int(((lo <= true_eff) & (true_eff <= hi)).sum())
        lo, hi = np.asarray(a.cumulative_lower), np.asarray(a.cumulative_upper)
        point_cum += int(((lo <= true_cum) & (true_cum <= hi)).sum())
        for alt in ONE_SIDED:
            side_size[alt] += (
                quintara.geo_analyze(y, TREATED, t0, alternative=alt, **opts).p_value <= alpha
            )
            s = quintara.geo_analyze(lifted, TREATED, t0, alternative=alt, **opts)
            side_cov[alt] += s.incremental_lower <= true_cum[-1] <= s.incremental_upper
    n = reps * TEST_LEN
    return {
        "size": size / reps,
        "lift": lift_cov / reps,
        "incremental": inc_cov / reps,
        "effect band": point_eff / n,
        "cumulative band": point_cum / n,
        "z se": z_cov / reps,
        **{f"size {alt}": side_size[alt] / reps for alt in ONE_SIDED},
        **{f"cover {alt}": side_cov[alt] / reps for alt in ONE_SIDED},
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="80 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 600)")
    ap.add_argument("--methods", nargs="+", default=["sc", "sdid"])
    args = ap.parse_args()
    reps = args.reps or (80 if args.quick else 600)
    print(f"{reps} panels a cell, lift {LIFT:.0%}, {LOOKBACK} windows of {TEST_LEN} weeks")
    head = ["method", "alpha", "size", "lift", "incremental", "effect band", "cumulative band"]
    head += ["z se", "size greater", "size less", "cover greater", "cover less"]
    print("".join(f"{h:>16}" for h in head))
    for method in args.methods:
        for alpha in (0.1, 0.05):
            start = time.perf_counter()
            r = cell(method, alpha, reps)
            cells = [method, f"{alpha:g}", *(f"{v:.3f}" for v in r.values())]
            print(
                "".join(f"{c:>16}" for c in cells),
                f"  ({time.perf_counter() - start:.0f} s)",
                flush=True,
            )
    print("nominal: size = alpha, every coverage = 1 - alpha")


if __name__ == "__main__":
    main()
