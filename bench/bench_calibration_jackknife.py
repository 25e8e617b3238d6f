"""Calibration of the SDID jackknife: coverage of its intervals against nominal.

Monte Carlo on the exchangeable panels of bench_calibration.py (30 units x
30 periods, 10 post; unit levels and factor loadings drawn independently per
unit, common random-walk factors, Gaussian or centred-exponential shocks),
the first 2, 3, 5 or 10 units treated and no effect anywhere. The fixed-weights
leave-one-unit-out jackknife (`fit_sdid(..., inference="jackknife")`) gives
the interval att +- z se; a valid one holds the true effect in about the
nominal share of panels. Each cell reports over its panels:

- cov95, cov90: the share whose 95% / 90% interval (`ci_lower`, `ci_upper`
  of a fit at `level` 0.95 / 0.9) holds the true effect;
- size5: the share rejecting H0: no effect at 5% by the two-sided normal test
  on att / se (the jackknife has no p-value of its own), so 1 - cov95 in the
  no-effect cells, and the power at TAU in the planted-effect one;
- se/sd: the root mean square of the jackknife se over that of att's error
  (att minus the truth): below 1 when the se is too small on average; near
  or above 1 with coverage still short when the se is right on average but
  too variable from panel to panel (with few treated units it rests on few
  leave-one-treated-out estimates);
- labelled cov95: the same coverage through the labelled `synth(...,
  method="sdid", inference="jackknife")` on a `Panel` of the same numbers;
  max gap, the largest distance between its interval endpoints and the
  compiled ones over all the panels (0 when the two paths agree).

One further cell plants a constant effect TAU in the treated post-period of
the same panels; the interval should hold TAU as often as it held 0, since
the SDID estimate and every leave-one-out estimate shift by TAU exactly.

The Monte Carlo standard error of a share p over R panels is sqrt(p(1-p)/R):
0.010 at p = 0.95 and 0.013 at p = 0.9 with R = 500, 0.022 and 0.030 with
R = 100. A fit takes well under a millisecond, so --reps 5000 (0.003 and
0.004) runs in about a minute.

    python bench/bench_calibration_jackknife.py            # 500 panels a cell
    python bench/bench_calibration_jackknife.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import quintara
from bench_calibration import N_PERIODS, N_UNITS, T0, panel

TREATED_COUNTS = (2, 3, 5, 10)
TAU = 1.0  # the planted effect: about one shock standard deviation
TAU_CELL = ("gaussian", 5)  # shocks and treated units of the planted-effect cell
Z95 = 1.959963984540054  # the two-sided 5% normal critical value
UNITS = [f"u{i}" for i in range(N_UNITS)]


def num(x: float | None) -> float:
    """A result field as a float: an absent one (None) as nan, which holds nothing."""
    return math.nan if x is None else float(x)


def compiled(y: np.ndarray, n_treated: int, level: float) -> tuple[float, float, float, float]:
    r = quintara.fit_sdid(y, list(range(n_treated)), T0, inference="jackknife", level=level)
    return num(r.att), num(r.se), num(r.ci_lower), num(r.ci_upper)


def labelled(y: np.ndarray, n_treated: int, level: float) -> tuple[float, float]:
    p = quintara.Panel(y, UNITS, list(range(N_PERIODS)))
    r = quintara.synth(
        p, treated=UNITS[:n_treated], start=T0, method="sdid", inference="jackknife", level=level
    )
    return (math.nan, math.nan) if r.ci is None else (num(r.ci[0]), num(r.ci[1]))


def cell(shocks: str, n_treated: int, tau: float, reps: int) -> dict[str, float]:
    rng = np.random.default_rng(2024)  # the same panels in every cell
    cov95 = cov90 = rejected = lab95 = 0
    atts, ses = [], []
    gap = 0.0
    for _ in range(reps):
        y = panel(rng, shocks)
        y[:n_treated, T0:] += tau
        att, se, lo95, hi95 = compiled(y, n_treated, 0.95)
        _, _, lo90, hi90 = compiled(y, n_treated, 0.9)
        # A failed se (nan) holds nothing, so it counts as a miss, not a skip.
        cov95 += lo95 <= tau <= hi95
        cov90 += lo90 <= tau <= hi90
        rejected += bool(se > 0 and abs(att) > Z95 * se)
        atts.append(att)
        ses.append(se)
        lo, hi = labelled(y, n_treated, 0.95)
        lab95 += lo <= tau <= hi
        gap = max(gap, abs(lo - lo95), abs(hi - hi95))
    sd = math.sqrt(float(np.mean((np.asarray(atts) - tau) ** 2)))
    return {
        "cov95": cov95 / reps,
        "cov90": cov90 / reps,
        "size5": rejected / reps,
        "se/sd": math.sqrt(float(np.nanmean(np.square(ses)))) / sd,
        "labelled cov95": lab95 / reps,
        "gap": gap,
    }


def row(shocks: str, n_treated: int, tau: float, reps: int) -> str:
    start = time.perf_counter()
    c = cell(shocks, n_treated, tau, reps)
    return (
        f"{shocks:<9} {n_treated:>7} {tau:>4.1f} {c['cov95']:>6.3f} {c['cov90']:>6.3f}"
        f" {c['size5']:>6.3f} {c['se/sd']:>6.3f} {c['labelled cov95']:>14.3f}"
        f" {c['gap']:>9.1e} {time.perf_counter() - start:>8.1f}"
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 500)")
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 500)
    print(
        f"{N_UNITS} units x {N_PERIODS} periods, {N_PERIODS - T0} post; {reps} panels a cell;"
        f" SDID jackknife, nominal 0.95 and 0.90"
    )
    print(
        f"{'shocks':<9} {'treated':>7} {'tau':>4} {'cov95':>6} {'cov90':>6} {'size5':>6}"
        f" {'se/sd':>6} {'labelled cov95':>14} {'max gap':>9} {'seconds':>8}"
    )
    for shocks in ("gaussian", "skewed"):
        for n_treated in TREATED_COUNTS:
            print(row(shocks, n_treated, 0.0, reps), flush=True)
    print(row(*TAU_CELL, TAU, reps), flush=True)


if __name__ == "__main__":
    main()
