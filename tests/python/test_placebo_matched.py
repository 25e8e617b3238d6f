"""The placebo test of matched size, its screen, and its inverted interval.

The interval is checked against refits of shifted panels (the test's own
definition of p(tau)), and on random panels 0 lies outside it exactly when
p <= alpha, alpha = 1 - level as the caller means it (0.1 at level 0.9, not
the 0.09999999999999998 of floating point).
"""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quintara
from conftest import SC_FITS, factor_panel, sc_fit


def fit(method: str, y: np.ndarray, treated: list[int], t0: int, **kw: object):
    return sc_fit(method, y, treated, t0, placebo=True, **kw)


def test_matched_sets_are_refits_on_every_other_unit() -> None:
    # Each placebo treats two of all eight units, the treated ones included,
    # and is refitted on the six others; the treated set is the real fit.
    y = factor_panel(8, 20, seed=4, noise=0.3)
    r = fit("sc", y, [0, 1], 15, placebo_size="matched")
    sets = [list(s) for s in itertools.combinations(range(8), 2) if s != (0, 1)]
    assert r.placebo_sets == sets
    assert r.placebo_ids is None and r.n_placebo_used == 27 and r.n_placebo_excluded == 0
    for i in (0, 5, 26):
        rows = sets[i] + [u for u in range(8) if u not in sets[i]]
        own = quintara.fit_sc(y[rows], [0, 1], 15)
        assert r.placebo_atts[i] == own.att
        assert r.inference_distribution[i] == own.post_rmspe / own.pre_rmspe
    # More sets than n_placebo: that many drawn (their draws are pinned natively).
    assert len(fit("sdid", y, [0, 1], 15, placebo_size="matched", n_placebo=9).placebo_sets) == 9
    one = fit("fp", y, [3], 15, placebo_size="matched")
    assert one.placebo_ids == [0, 1, 2, 4, 5, 6, 7] == [s[0] for s in one.placebo_sets]
    # One treated unit and more other units than n_placebo: that many, distinct.
    few = fit("fp", y, [3], 15, placebo_size="matched", n_placebo=4, seed=2)
    assert len(set(few.placebo_ids)) == 4 and set(few.placebo_ids) < set(one.placebo_ids)
    assert few.placebo_atts == [one.placebo_atts[one.placebo_ids.index(i)]
                                for i in few.placebo_ids]


@pytest.mark.parametrize("method", ["sc", "sdid"])
def test_sampled_single_donor_placebos_are_a_subset_of_the_full_test(method: str) -> None:
    # Each sampled placebo is the full test's refit of that donor on all the
    # other donors; only which donors play the treated unit is drawn.
    y = factor_panel(14, 20, seed=7, noise=0.4)
    y[0, 15:] += 1.0
    full = fit(method, y, [0], 15)
    assert fit(method, y, [0], 15, placebo_size="sampled", n_placebo=13).placebo_ids == \
        full.placebo_ids == list(range(1, 14))
    r = fit(method, y, [0], 15, placebo_size="sampled", n_placebo=5, seed=3)
    assert r.n_placebo_used == 5 and len(set(r.placebo_ids)) == 5
    assert r.placebo_ids == sorted(r.placebo_ids) and set(r.placebo_ids) <= set(full.placebo_ids)
    at = {d: i for i, d in enumerate(full.placebo_ids)}
    assert r.placebo_atts == [full.placebo_atts[at[d]] for d in r.placebo_ids]
    stats = [full.inference_distribution[at[d]] for d in r.placebo_ids]
    assert r.inference_distribution == stats
    stat = full.post_rmspe / full.pre_rmspe if method == "sc" else None
    if stat is not None:
        assert r.p_value == (sum(s >= stat for s in stats) + 1) / 6
    assert "placebo test over 5 donors drawn from 13" in r.inference_method
    again = fit(method, y, [0], 15, placebo_size="sampled", n_placebo=5, seed=3)
    assert again.placebo_ids == r.placebo_ids
    draws = {tuple(fit(method, y, [0], 15, placebo_size="sampled", n_placebo=5,
                       seed=s).placebo_ids) for s in range(6)}
    assert len(draws) > 1


def test_the_screen_leaves_out_poor_pre_fits() -> None:
    y = factor_panel(10, 24, seed=2, noise=0.2)
    y[6] += np.random.default_rng(0).normal(0, 3, 24)  # one donor no pool can track
    every = fit("fp", y, [0], 18)
    screened = fit("fp", y, [0], 18, max_pre_ratio=2.0)
    pre = [quintara.fit_fp(y[[d] + [k for k in range(1, 10) if k != d]], [0], 18).pre_rmspe
           for d in every.placebo_ids]
    bad = [p > 2.0 * every.pre_rmspe for p in pre]
    assert 0 < sum(bad) < 9
    assert screened.n_placebo_excluded == sum(bad)
    assert screened.placebo_ids == [d for d, b in zip(every.placebo_ids, bad, strict=True)
                                    if not b]
    assert "left out for pre-period fit over 2x" in screened.inference_method
    # A screen that leaves none: the labelled verb says why there is no p-value.
    panel = quintara.Panel(y, [f"u{i}" for i in range(10)], list(range(24)))
    with pytest.warns(UserWarning, match=r"^the placebo test kept no placebo: every one fits "
                                         r"its pre-period more than max_pre_ratio=0.01 times") as w:
        none = quintara.synth(panel, treated="u0", start=18, method="fp", inference="placebo",
                              max_pre_ratio=0.01)
    assert none.p_value is None and w[0].filename == __file__


@pytest.mark.parametrize("method", list(SC_FITS))
def test_interval_ends_are_where_shifted_refits_change_their_verdict(method: str) -> None:
    y = factor_panel(14, 24, seed=9, noise=0.4)
    y[:2, 18:] += 1.0
    level = 0.8
    r = fit(method, y, [0, 1], 18, placebo_size="matched", n_placebo=60, level=level)
    lo, hi = r.test_ci_lower, r.test_ci_upper
    assert np.isfinite(lo) and np.isfinite(hi) and lo < hi

    def p_at(tau: float) -> float:
        shifted = y.copy()
        shifted[:2, 18:] -= tau  # H0: tau is the treated units' effect
        return fit(method, shifted, [0, 1], 18, placebo_size="matched", n_placebo=60).p_value

    # Closed-form ends are exact; bisected ones (sdid, rsc) good to 1e-6.
    step = 1e-5 * max(hi - lo, abs(lo), abs(hi))
    for end, inside in ((lo, lo + step), (hi, hi - step)):
        assert p_at(inside) > round(1 - level, 12), (method, end)
        assert p_at(2 * end - inside) <= round(1 - level, 12), (method, end)


@settings(max_examples=40, deadline=None, derandomize=True, database=None)
@given(seed=st.integers(0, 2**32 - 1), method=st.sampled_from(list(SC_FITS)),
       n_treated=st.integers(1, 3), matched=st.booleans(),
       max_pre_ratio=st.sampled_from([0.0, 1.5, 5.0]),
       level=st.sampled_from([0.5, 0.8, 0.9, 0.95]),
       effect=st.sampled_from([0.0, 0.5, 3.0]))
def test_zero_is_outside_the_interval_exactly_when_the_test_rejects(
    seed: int, method: str, n_treated: int, matched: bool, max_pre_ratio: float, level: float,
    effect: float,
) -> None:
    y = factor_panel(12, 20, seed=seed % 1000, noise=0.5)
    y[:n_treated, 15:] += effect
    r = fit(method, y, list(range(n_treated)), 15, level=level, max_pre_ratio=max_pre_ratio,
            placebo_size="matched" if matched else "single", n_placebo=40, seed=seed)
    if r.p_value is None:
        assert r.test_ci_lower is None
        return
    assert r.n_placebo_used == len(r.placebo_atts) == len(r.placebo_sets)
    zero_inside = r.test_ci_lower <= 0.0 <= r.test_ci_upper
    assert zero_inside == (r.p_value > round(1 - level, 12))


@pytest.mark.parametrize("kwargs, message", [
    ({"placebo_size": "all"}, "unknown placebo_size 'all' (expected single/sampled/matched)"),
    ({"n_placebo": 0}, "n_placebo must be >= 1; got 0"),
    ({"n_placebo": 10**8}, "n_placebo must be <= 10000000; got 100000000"),
    ({"max_pre_ratio": -1.0}, "max_pre_ratio must be finite and >= 0; got -1"),
])
def test_placebo_option_checks(kwargs: dict, message: str) -> None:
    with pytest.raises(ValueError) as e:
        quintara.fit_sc(factor_panel(5, 10), [0], 6, placebo=True, **kwargs)
    assert str(e.value) == message
