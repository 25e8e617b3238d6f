"""In-space placebo inference of the synthetic-control entries."""

from __future__ import annotations

import os

import numpy as np
import pytest

import quintara


def test_extreme_effect_lone_donor_and_treated_units(panel: np.ndarray) -> None:
    y = panel.copy()
    y[0, 20:] += 50.0
    r = quintara.fit_sc(y, [0], 20, placebo=True)
    assert r.p_value == pytest.approx(1 / (len(r.donor_ids) + 1))
    lone = quintara.fit_sc(panel[:2], [0], 20, placebo=True)
    assert all(getattr(lone, k) is None for k in (
        "p_value", "se", "ci_lower", "ci_upper", "inference_distribution", "placebo_atts"))
    # Treated units never enter the placebo panels.
    one = quintara.fit_sc(panel[[0, *range(2, 12)]], [0], 20, placebo=True)
    two = quintara.fit_sc(panel, [0, 1], 20, placebo=True)
    assert one.att != two.att
    assert (one.inference_distribution, one.placebo_atts) == (two.inference_distribution,
                                                              two.placebo_atts)


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
