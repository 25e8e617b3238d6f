"""The Borusyak-Jaravel-Spiess imputation estimator against an independent dense
NumPy implementation of the paper's formulas (equations 5-9, Theorem 3), on
mpdta: weighted, clustered, unbalanced, and through the labelled verb."""

from __future__ import annotations

import numpy as np
import pytest
from scipy.stats import chi2

import quintara
from quintara.datasets import load_mpdta, load_table


def bjs(y: np.ndarray, cohorts: list[int], w: np.ndarray, clusters: np.ndarray, leads: int):
    """Dense reference (NumPy 2.4): overall ATT and SE, {h: (estimate, se)}, and
    with leads, the lead coefficients with their covariance and the Wald statistic."""
    n, t = y.shape
    g = np.array([c if 0 <= c < t else t for c in cohorts])  # t: never treated
    obs = ~np.isnan(y)
    untreated = obs & (np.arange(t)[None, :] < g[:, None])
    treated = obs & ~untreated
    ui, ti = np.nonzero(untreated)
    z0 = np.column_stack([np.eye(n)[ui], np.eye(t)[ti]])
    w0 = w[ui]
    theta = np.linalg.pinv(z0.T @ (z0 * w0[:, None])) @ (z0.T @ (w0 * y[ui, ti]))
    resid0 = y[ui, ti] - z0 @ theta
    has_unit, has_period = np.isin(np.arange(n), ui), np.isin(np.arange(t), ti)
    u1, t1 = np.nonzero(treated & has_unit[:, None] & has_period[None, :])
    z1 = np.column_stack([np.eye(n)[u1], np.eye(t)[t1]])
    tau = y[u1, t1] - z1 @ theta
    inv0 = np.linalg.pinv(z0.T @ (z0 * w0[:, None]))

    def estimand(mask: np.ndarray) -> tuple[float, np.ndarray]:
        v1 = np.where(mask, w[u1], 0.0)
        v1 /= v1.sum()
        v0 = -w0 * (z0 @ (inv0 @ (z1.T @ v1)))
        eps1 = tau.copy()
        for key in set(zip(g[u1], t1, strict=True)):
            cell = (g[u1] == key[0]) & (t1 == key[1])
            if (v1[cell] ** 2).sum() > 0:
                eps1[cell] -= (v1[cell] ** 2 * tau[cell]).sum() / (v1[cell] ** 2).sum()
        scores = np.zeros(clusters.max() + 1)
        np.add.at(scores, clusters[u1], v1 * eps1)
        np.add.at(scores, clusters[ui], v0 * resid0)
        return float(v1 @ tau), scores

    att, s = estimand(np.ones(len(u1), bool))
    horizons = {int(h): estimand(t1 - g[u1] == h) for h in np.unique(t1 - g[u1])}
    post = ((att, np.sqrt(s @ s)), {h: (e, np.sqrt(v @ v)) for h, (e, v) in horizons.items()})
    if leads == 0:
        return post
    lead = np.column_stack([(g[ui] < t) & (g[ui] - ti == k) for k in range(1, leads + 1)])
    x = np.column_stack([lead.astype(float), z0])
    bread = np.linalg.pinv(x.T @ (x * w0[:, None]))
    beta = bread @ (x.T @ (w0 * y[ui, ti]))
    u = y[ui, ti] - x @ beta
    meat = np.zeros((clusters.max() + 1, x.shape[1]))
    np.add.at(meat, clusters[ui], x * (w0 * u)[:, None])
    cov = (bread @ meat.T @ meat @ bread)[:leads, :leads]
    delta = beta[:leads]
    return *post, (delta, cov), float(delta @ np.linalg.solve(cov, delta))


def check(res, ref, leads: int) -> None:
    (att, se), horizons, (delta, cov), stat = ref
    assert res.att == pytest.approx(att, rel=1e-10)
    assert res.se == pytest.approx(se, rel=1e-10)
    assert res.event_time == [-k for k in range(leads, 0, -1)] + sorted(horizons)
    want = np.concatenate([delta[::-1], [horizons[h][0] for h in sorted(horizons)]])
    np.testing.assert_allclose(res.event_att, want, rtol=1e-10, atol=1e-12)
    want_se = np.concatenate([np.sqrt(np.diag(cov))[::-1],
                              [horizons[h][1] for h in sorted(horizons)]])
    np.testing.assert_allclose(res.event_se, want_se, rtol=1e-10)
    e = len(res.event_time)
    full = np.asarray(res.event_cov).reshape(e, e)
    np.testing.assert_allclose(np.sqrt(np.diag(full)), res.event_se, rtol=1e-12)
    np.testing.assert_allclose(full[:leads, :leads], cov[::-1, ::-1], rtol=1e-9, atol=1e-14)
    assert res.pretrend_df == leads
    assert res.pretrend_wald == pytest.approx(stat, rel=1e-9)
    assert res.pretrend_p_value == pytest.approx(chi2.sf(stat, leads), rel=1e-9)


@pytest.mark.parametrize("variant", ["plain", "weighted+clustered", "unbalanced"])
def test_matches_the_dense_reference_on_mpdta(variant: str) -> None:
    d = load_mpdta()
    y, cohorts = d.y.copy(), list(d.cohorts)
    n = y.shape[0]
    w, clusters, kw = np.ones(n), np.arange(n), {}
    if variant == "weighted+clustered":
        w = np.exp(d.lpop[:, 0])
        clusters = np.repeat(np.arange(n // 10), 10)
        kw = {"weights": list(w), "clusters": list(clusters)}
    if variant == "unbalanced":
        y[np.random.default_rng(5).random(y.shape) < 0.08] = np.nan
        kw = {"missing": "keep"}
    # The 2007 cohort's four pre-periods (2003-2006) identify at most three leads.
    leads = quintara.fit_imputation_py(d.y, cohorts).pretrend_df
    assert leads == 3
    res = quintara.fit_imputation_py(y, cohorts, pretrends=leads, **kw)
    check(res, bjs(y, cohorts, w, clusters, leads), leads)
    # Treated cells of 2004 units whose one pre-period (2003) went missing.
    lost = sum(int((~np.isnan(y[i, 1:])).sum()) for i in range(n)
               if cohorts[i] == 1 and np.isnan(y[i, 0]))
    assert res.n_not_imputed == lost and (lost > 0) == (variant == "unbalanced")


def test_matches_diff_diff_on_mpdta() -> None:
    # diff-diff 3.13.0: ImputationDiD().fit(mpdta, outcome="lemp", unit="countyreal",
    # time="year", first_treat="first_treat", aggregate="event_study"). Its pre-trend
    # test dummies e = -2..-4 against e = -1; ours, like the paper's Test 1 and its
    # authors' Stata command, e = -1..-K, so only the estimates are compared.
    att, se = -0.04770991827781741, 0.013222488650016451
    horizons = {0: (-0.031066927191940465, 0.013577249746179966),
                1: (-0.05223485674786663, 0.018812426822762726),
                2: (-0.13607811443998818, 0.03534197213337406),
                3: (-0.10470747157562381, 0.03376585335779172)}
    d = load_mpdta()
    res = quintara.fit_imputation_py(d.y, list(d.cohorts), pretrends=0)
    assert (res.att, res.se) == pytest.approx((att, se), rel=1e-10)
    assert res.event_time == list(horizons)
    np.testing.assert_allclose(np.column_stack([res.event_att, res.event_se]),
                               list(horizons.values()), rtol=1e-10)


def test_cells_without_untreated_information_are_left_out_and_counted() -> None:
    # No never-treated unit: after the last cohort adopts, no period effect is
    # identified; units treated from period 0 have no unit effect.
    rng = np.random.default_rng(2)
    cohorts = [2, 2, 3, 3, 4, 4, 4, 0]
    y = rng.normal(size=(8, 6)) + np.arange(6)
    res = quintara.fit_imputation_py(y, cohorts, pretrends=0)
    # Periods 4 and 5 hold no untreated cell (18 treated cells there: 7 units
    # x 2 periods + the always-treated unit's 4 others); (unit, period) cells
    # of the always-treated unit at 0..3 have no unit effect.
    assert res.n_not_imputed == 8 * 2 + 4
    ref = bjs(y, cohorts, np.ones(8), np.arange(8), 0)
    assert (res.att, res.se) == pytest.approx(ref[0], rel=1e-10)
    assert res.pretrend_wald is None and res.pretrend_df is None
    # Without never-treated units the relative time t - g is both a unit plus
    # a period effect and a function of the leads: the longest lead is left
    # out, or adding 0.7 (t - g), which changes nothing identified, would
    # move the leads.
    shifted = y + 0.7 * (np.arange(6)[None, :] - np.array(cohorts)[:, None])
    plain, moved = (quintara.fit_imputation_py(v, cohorts) for v in (y, shifted))
    assert plain.pretrend_df == 2
    assert moved.event_att[:2] == pytest.approx(plain.event_att[:2], abs=1e-9)
    assert moved.pretrend_wald == pytest.approx(plain.pretrend_wald, rel=1e-9)
    with pytest.raises(ValueError, match=(
            r"^pretrends must be <= 2 \(the most pre-periods of any cohort, minus two, as no "
            r"unit is never treated\); got 3$")):
        quintara.fit_imputation_py(y, cohorts, pretrends=3)
    # With one, the cohort's own untreated periods anchor it.
    with pytest.raises(ValueError, match=r"<= 3 \(the most pre-periods of any cohort, minus "
                                         r"one\); got 4$"):
        quintara.fit_imputation_py(y, [*cohorts[:7], -1], pretrends=4)


def test_staggered_method_imputation() -> None:
    df = load_table("mpdta")
    r = quintara.staggered(df, adoption="first_treat", method="imputation", unit="countyreal",
                           time="year", outcome="lemp", pretrends=2)
    d = load_mpdta()
    raw = quintara.fit_imputation_py(d.y, list(d.cohorts), pretrends=2)
    row = r.tidy().loc["pre-trends (Wald, 2 df)"]
    assert (row.estimate, row.p_value) == (raw.pretrend_wald, raw.pretrend_p_value)
    assert f"Pre-trend test: Wald chi2(2) = {raw.pretrend_wald:.3f}" in r.summary()
    assert r.to_dict()["pretrend_test"]["df"] == 2


def test_no_wald_test_on_a_covariance_singular_to_rounding() -> None:
    # Five clusters hold the five leads' scores: their covariance has rank
    # four, singular only to rounding, and a statistic on it (about 1e14,
    # p = 0) is noise. Four leads keep a real test.
    rng = np.random.default_rng(1)
    n, T = 26, 7
    coh = rng.choice([-1, 0, 2, 3, 5, 6], n)
    c, t = coh[:, None], np.arange(T)[None, :]
    slope = 0.4 * (t - c + 1) * (1 + 0.3 * rng.normal(size=(n, 1)))
    y = (rng.normal(size=(n, 1)) + np.sin(t) + np.where((c >= 0) & (t >= c), slope, 0)
         + rng.normal(size=(n, T)))
    w, cl = rng.uniform(0.3, 3, n), rng.integers(0, 6, n)
    assert len(set(cl)) == 5
    fits = [quintara.fit_imputation_py(y, coh.tolist(), pretrends=k, weights=w, clusters=cl)
            for k in (4, 5)]
    assert fits[0].pretrend_df == 4 and np.isfinite(fits[0].pretrend_wald)
    assert fits[1].pretrend_wald is None and fits[1].pretrend_p_value is None
