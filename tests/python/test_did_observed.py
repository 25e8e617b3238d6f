"""TWFE and Sun-Abraham on unbalanced panels, with sampling weights and coarser
clusters: against an independent weighted dummy-variable regression in NumPy
on the observed cells, and the labelled layer's columns; every staggered
estimator's indifference to the weights' scale."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import pytest

import quintara
from conftest import staggered
from quintara.datasets import load_table

COHORTS = [-1, 3, 5, 0, -1, 3, 6, -1, 5, 3, -1, 6, 0, 3, -1, 5, -1, 6, 3, -1] * 2
T = 8


def unbalanced(seed: int = 3) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The panel with about 12% of its cells missing, unit weights and 7 clusters."""
    rng = np.random.default_rng(seed)
    y = staggered(COHORTS, T, seed=seed)
    y[rng.random(y.shape) < 0.12] = np.nan
    return y, rng.uniform(0.3, 3.0, len(COHORTS)), rng.integers(0, 7, len(COHORTS))


def weighted_dummy_regression(y: np.ndarray, columns, w: np.ndarray, clusters: np.ndarray):
    """WLS of the observed cells of y on columns(i, t) + unit and period dummies
    (NumPy 2.4): the `columns` coefficients, their cluster sandwich covariance
    without small-sample factor, and the weight of each column's cells."""
    n, t = y.shape
    units, periods = np.nonzero(~np.isnan(y))
    x_cols = np.array([columns(i, s) for i, s in zip(units, periods, strict=True)], dtype=float)
    x = np.column_stack([x_cols, np.eye(n)[units], np.eye(t)[periods][:, 1:]])
    wo, obs = w[units], y[units, periods]
    beta = np.linalg.lstsq(x * np.sqrt(wo)[:, None], obs * np.sqrt(wo), rcond=None)[0]
    u = obs - x @ beta
    bread = np.linalg.pinv(x.T @ (x * wo[:, None]))
    c = clusters[units]
    scores = np.array([(x[c == g] * (wo * u)[c == g][:, None]).sum(0) for g in np.unique(c)])
    k = x_cols.shape[1]
    cov = (bread @ scores.T @ scores @ bread)[:k, :k]
    return beta[:k], cov, (x_cols * wo[:, None]).sum(0)


SAMPLINGS = pytest.mark.parametrize("sampling", [(), ("weights",), ("clusters",),
                                                 ("weights", "clusters")],
                                     ids=["plain", "weights", "clusters", "both"])


def sampled(sampling: tuple, w: np.ndarray, cl: np.ndarray) -> tuple:
    """The unit weights and clusters the reference uses, and the entry's keywords."""
    kw = {k: list(v) for k, v in (("weights", w), ("clusters", cl)) if k in sampling}
    n = len(COHORTS)
    return (w if "weights" in kw else np.ones(n), cl if "clusters" in kw else np.arange(n), kw)


@SAMPLINGS
def test_twfe_equals_the_weighted_dummy_regression(sampling: tuple) -> None:
    y, w, cl = unbalanced()
    coh = np.asarray(COHORTS)
    weights, clusters, kw = sampled(sampling, w, cl)
    beta, cov, _ = weighted_dummy_regression(
        y, lambda i, s: [coh[i] >= 0 and s >= coh[i]], weights, clusters)
    g = len(np.unique(clusters))
    res = quintara.fit_twfe_py(y, COHORTS, missing="keep", **kw)
    assert res.att == pytest.approx(beta[0], rel=1e-10, abs=1e-12)
    assert res.se == pytest.approx(np.sqrt(cov[0, 0] * g / (g - 1)), rel=1e-10)
    assert res.n_clusters == (g if "clusters" in sampling else None)
    # fixest's factor counts the observed cells, not N * T.
    obs = int((~np.isnan(y)).sum())
    fixest = quintara.fit_twfe_py(y, COHORTS, ssc="fixest", missing="keep", **kw)
    assert fixest.se == pytest.approx(res.se * np.sqrt((obs - 1) / (obs - T - 1)), rel=1e-12)


@SAMPLINGS
def test_sunab_equals_the_weighted_saturated_regression(sampling: tuple) -> None:
    y, w, cl = unbalanced(seed=4)
    coh = np.asarray(COHORTS)
    keep = coh != 0  # always-treated units leave the sample
    weights, clusters, kw = sampled(sampling, w, cl)
    cells = [(g, e) for g in (3, 5, 6) for e in range(-g, T - g) if e != -1]
    sub = coh[keep]
    beta, cov, mass = weighted_dummy_regression(
        y[keep], lambda i, s: [sub[i] == g and s == g + e for g, e in cells],
        weights[keep], clusters[keep])
    rel = np.array([e for _, e in cells])

    def agg(mask: np.ndarray) -> tuple[float, float]:
        a = np.where(mask, mass, 0.0) / mass[mask].sum()  # weight observed in each cell
        return a @ beta, np.sqrt(a @ cov @ a)

    res = quintara.fit_sunab_py(y, COHORTS, missing="keep", **kw)
    assert res.event_time == sorted(set(rel.tolist()))
    want = np.array([agg(rel == e) for e in res.event_time])
    np.testing.assert_allclose(res.event_att, want[:, 0], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(res.event_se, want[:, 1], rtol=1e-10)
    assert (res.att, res.se) == pytest.approx(agg(rel >= 0), rel=1e-10)
    # The event study's covariance, and the joint test of its pre-periods.
    a = np.array([np.where(rel == e, mass, 0.0) / mass[rel == e].sum() for e in res.event_time])
    cov_e = a @ cov @ a.T
    e = len(res.event_time)
    np.testing.assert_allclose(np.reshape(res.event_cov, (e, e)), cov_e, rtol=1e-9, atol=1e-15)
    pre = np.asarray(res.event_time) < 0
    d = np.asarray(res.event_att)[pre]
    assert res.pretrend_df == pre.sum()
    assert res.pretrend_wald == pytest.approx(d @ np.linalg.solve(cov_e[np.ix_(pre, pre)], d),
                                              rel=1e-9)


@pytest.mark.parametrize("fit", [quintara.fit_twfe_py, quintara.fit_sunab_py,
                                 quintara.fit_imputation_py, quintara.fit_callaway_py],
                         ids=["twfe", "sunab", "imputation", "callaway"])
@pytest.mark.parametrize("missing", ["refuse", "keep"])
def test_only_the_weights_ratios_matter(fit: Callable[..., quintara.DiDResult],
                                        missing: str) -> None:
    # At any scale the doubles hold, the largest weight up to half the largest double.
    y, w, _ = unbalanced()
    if missing == "refuse":
        y = staggered(COHORTS, T, seed=3)
    base = fit(y, COHORTS, weights=w, missing=missing)
    for c in (1e-300, 1e-12, 3.0, 1e12, 1e300, np.finfo(float).max / 2 / w.max()):
        r = fit(y, COHORTS, weights=w * c, missing=missing)
        assert (r.att, r.se) == pytest.approx((base.att, base.se), rel=1e-12)


def test_missing_cells_are_refused_unless_kept_and_must_link_the_periods() -> None:
    y, _, _ = unbalanced()
    for fn in (quintara.fit_twfe_py, quintara.fit_sunab_py):
        with pytest.raises(ValueError, match="^y contains NaN or inf"):
            fn(y, COHORTS)
    # Periods 0-3 and 4-7 seen by disjoint units: no unit links the two halves.
    split = staggered([-1, -1, 2, 2, -1, 6, 6, -1], T, seed=1)
    split[:4, 4:] = np.nan
    split[4:, :4] = np.nan
    with pytest.raises(ValueError, match=(
            r"^periods 0 and 4 are linked by no unit observed in both, directly or through "
            r"other periods, so the unit and period effects are not identified; drop periods "
            r"or add units observed across them$")):
        quintara.fit_twfe_py(split, [-1, -1, 2, 2, -1, 6, 6, -1], missing="keep")
    # The Sun-Abraham sample leaves out always-treated units, which may be the only link.
    linked = split.copy()
    linked = np.vstack([linked, staggered([0], T, seed=2)])
    cohorts = [-1, -1, 2, 2, -1, 6, 6, -1, 0]
    assert np.isfinite(quintara.fit_twfe_py(linked, cohorts, missing="keep").att)
    with pytest.raises(ValueError, match=r"^periods 0 and 4 are linked by no unit"):
        quintara.fit_sunab_py(linked, cohorts, missing="keep")


MPDTA = {"unit": "countyreal", "time": "year", "outcome": "lemp", "adoption": "first_treat"}


def test_labelled_columns_become_weights_and_clusters() -> None:
    df = load_table("mpdta").assign(state=lambda d: d.countyreal // 1000,
                                    pop=lambda d: np.exp(d.lpop))
    holes = df.drop(df.index[::37])
    panel = quintara.Panel.from_long(holes, "countyreal", "year", "lemp", missing="keep")
    codes = quintara.verbs_did.cohort_codes(panel, "first_treat")
    pop = panel.unit_column("pop").to_numpy()
    state = panel.unit_column("state").to_numpy()
    for method, fn in (("twfe", quintara.fit_twfe_py), ("sunab", quintara.fit_sunab_py),
                       ("imputation", quintara.fit_imputation_py),
                       ("callaway", quintara.fit_callaway_py)):
        opts = {"base_period": "varying"} if method == "callaway" else {}
        r = quintara.staggered(holes, method=method, weights="pop", cluster="state",
                               balance="keep", **MPDTA)
        raw = fn(panel.y, codes, weights=list(pop), clusters=list(state), missing="keep",
                 **opts)
        assert (r.att, r.se, r.raw.event_se) == (raw.att, raw.se, raw.event_se)
        assert r.n_clusters == len(np.unique(state)) == raw.n_clusters
        text = r.summary()
        assert "Weights" in text and f"{r.n_clusters} (state)" in text
        assert f"{int(np.isnan(panel.y).sum())} (fitted on the observed cells)" in text
        assert r.to_dict()["cluster"] == "state"
    # Unclustered: each unit its own cluster.
    assert quintara.staggered(df, method="twfe", **MPDTA).n_clusters == 500
    with pytest.raises(ValueError, match=r"^cluster column 'state' is missing for units 8001$"):
        quintara.staggered(df.assign(state=df.state.where(df.countyreal != 8001)),
                           method="twfe", cluster="state", **MPDTA)
    # A bad weight is named by its unit, an unreadable one too.
    for bad, shown in ((0.0, "0.0"), (np.inf, "inf"), ("many", "many")):
        pops = df["pop"].astype(object).where(df.countyreal != 8001, bad)
        with pytest.raises(ValueError, match=rf"^weights column 'pop' must hold positive "
                                             rf"finite numbers; units 8001 \({shown}\)$"):
            quintara.staggered(df.assign(pop=pops), method="twfe", weights="pop", **MPDTA)
    with pytest.raises(ValueError, match=r"^method 'bacon' takes no weights= or cluster=$"):
        quintara.staggered(df, method="bacon", weights="pop", **MPDTA)
