"""In-space placebo inference of fit_sc, and its independence of thread count."""

from __future__ import annotations

import os

import numpy as np
import pytest

import quintara
from conftest import factor_panel


def test_attached_inference_is_consistent(panel: np.ndarray) -> None:
    r = quintara.fit_sc(panel, [0], 20, placebo=True, level=0.9)
    j = len(r.donor_ids)
    stats, atts = r.inference_distribution, r.placebo_atts
    assert stats is not None and atts is not None and len(stats) == len(atts) == j
    real_stat = r.post_rmspe / r.pre_rmspe
    assert r.p_value == (sum(s >= real_stat for s in stats) + 1) / (j + 1)
    lo, hi = np.quantile(atts, [0.05, 0.95])  # NumPy's default is the same type-7 rule
    assert r.ci_lower == pytest.approx(lo + r.att, abs=1e-12)
    assert r.ci_upper == pytest.approx(hi + r.att, abs=1e-12)
    assert r.se == pytest.approx(np.std(atts, ddof=1), rel=1e-12)


def test_placebo_atts_are_refits_on_the_donor_pool(panel: np.ndarray) -> None:
    r = quintara.fit_sc(panel, [0], 20, placebo=True)
    donors = panel[1:]
    for k in (0, 5):
        order = [k] + [i for i in range(len(donors)) if i != k]
        fit = quintara.fit_sc(donors[order], [0], 20)
        assert r.placebo_atts[k] == fit.att
        assert r.inference_distribution[k] == fit.post_rmspe / fit.pre_rmspe


def test_extreme_effect_has_smallest_p_value(panel: np.ndarray) -> None:
    y = panel.copy()
    y[0, 20:] += 50.0
    r = quintara.fit_sc(y, [0], 20, placebo=True)
    assert r.p_value == pytest.approx(1 / (len(r.donor_ids) + 1))


def test_one_donor_attaches_no_inference(panel: np.ndarray) -> None:
    r = quintara.fit_sc(panel[:2], [0], 20, placebo=True)
    assert all(getattr(r, k) is None for k in (
        "p_value", "se", "ci_lower", "ci_upper", "inference_distribution", "placebo_atts"))


def test_treated_units_never_enter_placebo_panels(panel: np.ndarray) -> None:
    one = quintara.fit_sc(panel[[0, *range(2, 12)]], [0], 20, placebo=True)
    two = quintara.fit_sc(panel, [0, 1], 20, placebo=True)
    assert one.att != two.att
    assert one.inference_distribution == two.inference_distribution
    assert one.placebo_atts == two.placebo_atts


def test_perfect_placebo_pre_fit_counts_as_infinite(panel: np.ndarray) -> None:
    y = panel.copy()
    y[3] = y[4]  # donors 3 and 4 reproduce each other exactly
    r = quintara.fit_sc(y, [0], 20, placebo=True)
    assert r.inference_distribution is not None
    assert r.inference_distribution.count(float("inf")) >= 1


def test_larger_panel_matches_in_process_result() -> None:
    y = factor_panel(30, 40, seed=3)
    a = quintara.fit_sc(y, [0], 30, placebo=True)
    b = quintara.fit_sc(y, [0], 30, placebo=True)
    assert a.inference_distribution == b.inference_distribution


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with threads running
def test_forked_child_can_run_parallel_loops(panel: np.ndarray) -> None:
    # The parent's pool exists (and has workers) before the fork; the child
    # has none of those threads and must build its own pool.
    expected = quintara.fit_sc(panel, [0], 20, placebo=True).inference_distribution
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        import signal
        signal.alarm(30)  # a hang ends the child instead of the test run
        try:
            got = quintara.fit_sc(panel, [0], 20, placebo=True).inference_distribution
            os._exit(0 if got == expected else 1)
        except BaseException:
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
