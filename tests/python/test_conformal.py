"""Conformal inference for the synthetic-control family (fit_conformal, synth).

The p-value is checked against an independent implementation of the
Chernozhukov-Wuthrich-Zhu test for sc (SciPy's SLSQP for the weights on all
periods, the moving-block ranks written out here), the interval's ends by
refitting shifted panels, and on random panels 0 lies outside the interval
exactly when p <= alpha (alpha = 1 - level as the caller means it).
"""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quintara
from conftest import factor_panel
from test_weights_vs_qp import slsqp

METHODS = ["sc", "fp", "asc", "sdid"]


def cwz_p(y: np.ndarray, treated: list[int], t0: int, tau: float) -> float:
    """SC refitted on all periods with the treated post-period lowered by tau;
    share of cyclic windows of the post-period's length whose mean |residual|
    is at least the post-period's."""
    donors = [i for i in range(len(y)) if i not in treated]
    target = y[treated].mean(axis=0)
    target[t0:] -= tau
    x = y[donors].T
    u = np.abs(target - x @ slsqp(x, target, 0.0, 0.0, 1.0))
    n, b = len(u), len(u) - t0
    stats = np.array([np.take(u, range(s, s + b), mode="wrap").mean() for s in range(n)])
    return float(np.mean(stats >= stats[t0] - 1e-9))


@pytest.mark.parametrize("seed, treated", [(1, [0]), (2, [0, 1, 2]), (3, [0])])
def test_p_values_match_an_independent_implementation(seed: int, treated: list[int]) -> None:
    y = factor_panel(10, 30, seed=seed, noise=0.3)
    y[treated, 22:] += 0.8
    r = quintara.fit_conformal(y, treated, 22, level=0.9)
    assert r.p_value == pytest.approx(cwz_p(y, treated, 22, 0.0), abs=1e-12)
    lo, hi = r.test_ci_lower, r.test_ci_upper
    assert np.isfinite(lo) and np.isfinite(hi) and lo < r.att < hi
    step = 1e-4 * (hi - lo)
    for end, out in ((lo, lo - step), (hi, hi + step)):
        assert cwz_p(y, treated, 22, end + (step if end == lo else -step)) > 0.1, end
        assert cwz_p(y, treated, 22, out) <= 0.1, end


@pytest.mark.parametrize("method", METHODS)
def test_shifting_the_panel_moves_p_as_the_hypothesis_does(method: str) -> None:
    # p(tau) on the panel is p(0) on the panel with the treated post-period
    # lowered by tau, so the ends found inside the entry are roots there too.
    y = factor_panel(12, 32, seed=7, noise=0.4)
    y[:2, 24:] += 1.5
    r = quintara.fit_conformal(y, [0, 1], 24, method=method, level=0.8, pointwise=False)
    alpha = round(1 - 0.8, 12)

    def p_at(tau: float) -> float:
        shifted = y.copy()
        shifted[:2, 24:] -= tau
        return quintara.fit_conformal(shifted, [0, 1], 24, method=method, pointwise=False).p_value

    for end, direction in ((r.test_ci_lower, -1.0), (r.test_ci_upper, 1.0)):
        if not np.isfinite(end):
            continue
        step = 1e-5 * max(abs(end), 1.0)
        assert p_at(end) > alpha, (method, end)
        assert p_at(end + direction * step) <= alpha, (method, end)
    assert r.pointwise_lower is None


@settings(max_examples=30, deadline=None, derandomize=True, database=None)
@given(seed=st.integers(0, 999), method=st.sampled_from(METHODS), n_treated=st.integers(1, 3),
       level=st.sampled_from([0.5, 0.8, 0.9, 0.95]), effect=st.sampled_from([0.0, 0.5, 3.0]))
def test_zero_is_outside_the_interval_exactly_when_the_test_rejects(
    seed: int, method: str, n_treated: int, level: float, effect: float
) -> None:
    y = factor_panel(10, 24, seed=seed, noise=0.5)
    y[:n_treated, 16:] += effect
    r = quintara.fit_conformal(y, list(range(n_treated)), 16, method=method, level=level)
    zero_inside = r.test_ci_lower <= 0.0 <= r.test_ci_upper
    assert zero_inside == (r.p_value > round(1 - level, 12))
    assert len(r.pointwise_lower) == len(r.pointwise_upper) == len(r.att_path) == 8
    # A period's interval is empty (both NaN) or an interval.
    for lo, hi in zip(r.pointwise_lower, r.pointwise_upper, strict=True):
        assert (np.isnan(lo) and np.isnan(hi)) or lo <= hi


def test_intervals_scale_with_the_outcome() -> None:
    y = factor_panel(10, 30, seed=4, noise=0.3)
    y[0, 22:] += 1.0
    a = quintara.fit_conformal(y, [0], 22, method="fp")
    b = quintara.fit_conformal(y * 1000.0, [0], 22, method="fp")
    assert b.p_value == a.p_value
    for f in ("test_ci_lower", "test_ci_upper"):
        assert getattr(b, f) == pytest.approx(1000.0 * getattr(a, f), rel=1e-6)
    np.testing.assert_allclose(b.pointwise_lower, 1000.0 * np.asarray(a.pointwise_lower),
                               rtol=1e-6)


@pytest.mark.parametrize("scale", [1.0, 1e-3, 1e-200])
def test_an_end_moved_past_zero_survives_rescaling(scale: float) -> None:
    # The test rejects 0 here while the refits accept effects right up to it:
    # the end is moved past 0 by the least subnormal, after the rescaling.
    y = factor_panel(10, 24, seed=75, noise=0.5)
    y[:2, 16:] += 0.5
    r = quintara.fit_conformal(y * scale, [0, 1], 16, method="fp", level=0.8)
    assert r.p_value <= 0.2
    assert 0.0 < r.test_ci_lower < r.test_ci_upper


def test_refusals() -> None:
    y = factor_panel(8, 24, seed=0)
    message = r"^conformal inference is defined for sc, fp, asc and sdid; got 'rsc'$"
    with pytest.raises(ValueError, match=message):
        quintara.fit_conformal(y, [0], 18, method="rsc")
    with pytest.raises(ValueError, match=r"^unknown method 'foo'"):
        quintara.fit_conformal(y, [0], 18, method="foo")
    with pytest.raises(ValueError, match="block_len"):
        quintara.fit_conformal(y, [0], 18, block_len=0)


def test_synth_reports_the_conformal_test(prop99: quintara.Panel) -> None:
    from quintara.datasets import load_prop99
    p = load_prop99()
    r = quintara.synth(prop99, treated="California", start=1989, method="sc",
                       inference="conformal", level=0.9)
    raw = quintara.fit_conformal(p.y, p.treated, p.treat_time, level=0.9)
    assert r.p_value == raw.p_value and r.ci == (raw.test_ci_lower, raw.test_ci_upper)
    assert r.se is None
    assert list(r.pointwise.columns) == ["effect", "lower", "upper"]
    assert list(r.pointwise.index) == list(range(1989, 2001))
    assert "conformal test (31 moving-block permutations" in r.summary()
    assert r.to_dict()["pointwise"]["1989"] == [raw.pointwise_lower[0], raw.pointwise_upper[0]]
    assert r.placebo_gaps().shape == (31, 38)  # the method's own entry, without conformal options
    with pytest.raises(ValueError, match=r"^method 'rsc' has no conformal test"):
        quintara.synth(prop99, treated="California", start=1989, method="rsc",
                       inference="conformal")
