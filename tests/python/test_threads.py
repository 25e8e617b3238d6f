"""Every parallel path gives bit-identical results with one worker and two
(each run a fresh interpreter, because the pool reads RAYON_NUM_THREADS once,
when it starts), and long fits let other Python threads run.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import time

import pytest

import quintara
from conftest import staggered

_CHILD = """
import json
import numpy as np
import quintara
from quintara.datasets import load_mpdta

y = np.random.default_rng(7).normal(size=(40, 60)).cumsum(axis=1)
fits = [
    quintara.fit_sc(y, [0, 1], 45, placebo=True, ridge=0.01, max_weight=0.4),
    quintara.fit_fp(y, [0, 1], 45, placebo=True, ridge=0.1),
    quintara.fit_asc(y, [0], 45, placebo=True, max_weight=0.3),
    quintara.fit_sdid(y, [0], 45, inference="placebo"),
    quintara.fit_sdid(y, [0, 1, 2], 45, inference="jackknife"),
    quintara.fit_rsc(y, [0, 1], 45, energy=0.95, ridge=0.1, placebo=True),
    quintara.fit_mcnnm(y[:20, :30], [0, 1], 22, seed=3),
    quintara.fit_mcnnm(y[:20, :30], [0, 1], 22, seed=3, max_rank=3),
]
out = [[r.att, r.se, r.p_value, r.ci_lower, r.inference_distribution, r.placebo_atts, r.weights]
       for r in fits]
for mode in ("mspe", "stratified", "cumulative"):
    c = quintara.fit_cpasc(y, [0, 1, 2], 45, mode=mode, n_strata=2, block_len=5)
    out.append([c.att, c.p_value, c.unit_weight, c.pooled_residual, c.null_residual])
y3 = np.stack([y[:, :30], y[:, 10:40], y[:, 30:]])
out.append(quintara.fit_many(y3, [0, 1], 24, method="sdid").tolist())
s = list(y[0, :50])
out.append(quintara.bootstrap_mean(s, n_reps=3000, seed=2))
out.append(quintara.bootstrap_mean(s, kind="stationary", n_reps=3000, seed=2))
d = load_mpdta()
cs = quintara.fit_callaway_py(d.y, d.cohorts, bands=True, n_reps=300, seed=9)
out.append([cs.band_crit, cs.event_lo, cs.event_hi])
gaps = np.where(np.random.default_rng(1).random(d.y.shape) < 0.05, np.nan, d.y)
counties = np.array(d.counties)
cs = quintara.fit_callaway_py(gaps, d.cohorts, bands=True, n_reps=300, seed=9, missing="keep",
                              weights=1.0 + counties % 5, clusters=counties // 1000)
out.append([cs.band_crit, cs.event_lo, cs.event_hi])
for method in ("sc", "asc", "sdid", "fp", "rsc"):
    p = quintara.geo_power(y[:, :30], [0, 1], 4, [0.0, 0.03, 0.1], method=method, lookback=12)
    out.append([p.crit, p.se_null, p.power, p.est_mean, p.est_lo, p.est_hi, p.mde_pct])
e = quintara.geo_power_ensemble(y[:, :30], [0, 1], 4, [0.0, 0.03, 0.1], lookback=12,
                                members=["sc", "sdid", "rsc"], max_weight=0.5)
out.append([e.ensemble_weights, e.crit, e.se_null, e.power, e.est_mean, e.est_lo, e.mde_pct])
g = quintara.geo_diagnostics(y, [0, 1], 15)
out.append([g.pre_fit_rel, g.improvement_vs_naive, g.confidence, g.warnings])
sel = quintara.geo_select(y[:12, :24], range(12), 3, 3, 0.05, n_candidates=16, seed=4,
                          lookback=5, include=[1])
out.append([[c.treated, c.power_at_target, c.mde_pct, c.confidence, c.score] for c in sel])
for method in ("sdid", "sc"):
    sel = quintara.geo_select(y[:14, :30], range(14), 4, 3, 0.05, method=method, n_candidates=24,
                              lookback=6, search="sized", solver="shared", exclude=[13])
    out.append([[c.treated, c.power_at_target, c.mde_pct, c.confidence, c.score] for c in sel])
cells = quintara.geo_select_cells(y[:12, :24], range(12), [2, 2], [0.05, 0.1], 3, lookback=5,
                                  n_candidates=12, seed=4)
out.append([[c.treated, c.score] for d in cells.designs for c in d.cells])
print(json.dumps(out))
"""


def _run_with_threads(n: int) -> list:
    env = dict(os.environ, RAYON_NUM_THREADS=str(n))
    out = subprocess.run([sys.executable, "-c", _CHILD], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def test_results_identical_for_one_and_two_threads() -> None:
    assert _run_with_threads(1) == _run_with_threads(2)


def test_a_long_staggered_fit_lets_other_threads_run() -> None:
    # Thirty cohorts over forty periods give Sun-Abraham about a thousand
    # cells, whose solve takes a few tenths of a second. A thread that only
    # counts must get ticks in while the fit runs; with the lock held it
    # could not run at all past the first switch interval.
    cohorts = [2 + i % 30 if i % 5 else -1 for i in range(4000)]
    y = staggered(cohorts, 40)
    ticks: list[float] = []
    stop = threading.Event()

    def count() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        start = time.perf_counter()
        quintara.fit_sunab_py(y, cohorts)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    if end - start < 0.1:
        pytest.skip(f"the fit took {end - start:.3f} s, too quick to tell")
    assert any(start + 0.03 < t < end - 0.03 for t in ticks)
