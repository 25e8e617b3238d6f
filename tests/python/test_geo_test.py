"""geo_test: the power design's detection test on a finished experiment.

Its windows and critical value are geo_power's on the pre-period (same
method, alpha, min_pre, lookback); its fit is the method's single fit with the
geo design's options; its p-value is checked against the interpolated
quantile written out here; and 0 lies outside its interval exactly when the
design's rule (|ATT| > crit) rejects.
"""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from conftest import cycle_markets

TREATED = [1, 4]
POST = 4


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return cycle_markets(12, 40, seed=5)  # 40 weeks, a weekly cycle


def quantile_p(abs_null: np.ndarray, x: float) -> float:
    """Smallest alpha with x > quantile(1 - alpha), by bisection on numpy's
    linear-interpolation quantile (the design's own)."""
    if x <= abs_null.min():
        return 1.0
    if x > abs_null.max():
        return 0.0
    lo, hi = 0.0, 1.0  # quantile(lo) < x <= quantile(hi)
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if np.quantile(abs_null, mid) < x else (lo, mid)
    return 1.0 - lo


@pytest.mark.parametrize("method", ["sc", "fp", "asc", "sdid", "rsc"])
@pytest.mark.parametrize("lift", [0.0, 0.02, 0.1])
def test_the_design_rule_on_the_pre_period(y: np.ndarray, method: str, lift: float) -> None:
    y = y.copy()
    y[TREATED, -POST:] *= 1.0 + lift
    t0 = y.shape[1] - POST
    opts = {"alpha": 0.2, "min_pre": 6, "lookback": 20}
    r = quintara.geo_test(y, TREATED, t0, method=method, **opts)
    design = quintara.geo_power(y[:, :t0], TREATED, POST, [0.0], method=method, **opts)
    assert r.n_placebo_used == design.n_windows == 20 and r.level == pytest.approx(0.8)
    crit = 0.5 * (r.test_ci_upper - r.test_ci_lower)
    assert crit == pytest.approx(design.crit, rel=1e-12)
    assert 0.5 * (r.test_ci_upper + r.test_ci_lower) == pytest.approx(r.att, rel=1e-12)
    single = {"sdid": quintara.fit_sdid, "rsc": quintara.fit_rsc}.get(method)
    fit = (single or getattr(quintara, f"fit_{method}"))(y, TREATED, t0)
    assert r.att == fit.att and r.att_path == fit.att_path
    null = np.abs(np.asarray(r.inference_distribution))
    assert np.quantile(null, 0.8) == pytest.approx(design.crit, rel=1e-12)
    assert r.p_value == pytest.approx(quantile_p(null, abs(r.att)), abs=1e-9)
    rejects = abs(r.att) > design.crit
    assert (r.p_value <= 0.2) == rejects == (not r.test_ci_lower <= 0.0 <= r.test_ci_upper)


def test_refusals(y: np.ndarray) -> None:
    with pytest.raises(ValueError, match=(
            r"^the in-time test needs a historical window of the post-period's 20 periods after "
            r"a 20-period pre-window, so at least 40 periods before treat_time; there are 20\. "
            r"Test a shorter post-period\.$")):
        quintara.geo_test(y, TREATED, 20)
    # A history longer than the post-period fits once the pre-window shrinks.
    with pytest.raises(ValueError, match=r"there are 30\. Pass min_pre=20 or less, or test a "):
        quintara.geo_test(y, TREATED, 30, min_pre=25)
    # The pre-window asked for, however long, not one cut to the panel.
    for asked, need in ((100, "110"), (2**64 - 1, str(2**64 - 1))):
        with pytest.raises(ValueError, match=rf"after a {asked}-period pre-window, so at least "
                                             rf"{need} periods before treat_time; there are 30\."):
            quintara.geo_test(y, TREATED, 30, min_pre=asked)
    with pytest.raises(ValueError, match=r"^unknown method 'ensemble'"):
        quintara.geo_test(y, TREATED, 30, method="ensemble")


def test_synth_analyses_with_the_design_test(y: np.ndarray) -> None:
    panel = quintara.Panel(y, [f"m{i}" for i in range(12)], range(40))
    r = quintara.synth(panel, treated=[panel.units[i] for i in TREATED],
                       start=panel.periods[36], method="sc", inference="in_time", alpha=0.2,
                       lookback=10)
    raw = quintara.geo_test(y, TREATED, 36, method="sc", alpha=0.2, lookback=10)
    assert r.p_value == raw.p_value and r.ci == (raw.test_ci_lower, raw.test_ci_upper)
    assert "the power design's test" in r.summary().replace("\n  ", " ")
    with pytest.raises(ValueError, match=r"^method 'mcnnm' has no in-time test"):
        quintara.synth(panel, treated=[panel.units[1]], start=panel.periods[36],
                       method="mcnnm", inference="in_time")
