"""fit_cpasc: check order and messages, the single-unit reduction to fit_asc,
the pooling weights and the permutation p-value recomputed in NumPy."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from conftest import factor_panel

MODES = ["mspe", "stratified", "cumulative"]
Y = factor_panel(12, 30, seed=3)
Y[[2, 3, 5, 7, 8, 9, 10], 20:] += 1.0


@pytest.mark.parametrize("args, kwargs, message", [
    # Each case also breaks every later check, so the first failure must win.
    ((np.zeros((0, 5)), [], 0), {"mode": "MSPE", "n_strata": 0},
     "unknown CP-ASC mode 'MSPE' (expected mspe/stratified/cumulative)"),
    ((np.zeros((0, 5)), [], 0), {"sc_ridge": -1.0},
     "y must be a non-empty N×T panel; got shape (0, 5)"),
    ((Y, [], 0), {"sc_ridge": -1.0}, "`treated` must list at least one treated unit index"),
    ((Y, [0], 30), {"sc_ridge": -1.0},
     "treat_time 30 must be in [1, 30) so there is at least one pre- and one post-period"),
    ((Y, [0], 20), {"sc_ridge": -1e-9, "aug_lambda": 0.0},
     "sc_ridge must be finite and >= 0; got -0.000000001"),
    ((Y, [0], 20), {"sc_ridge": -0.0, "aug_lambda": 0.0, "n_strata": 0},
     "aug_lambda must be finite and > 0; got 0"),
    ((Y, [0], 20), {"n_strata": 0, "block_len": 0}, "n_strata must be >= 1; got 0"),
    ((Y, [0], 20), {"block_len": 0}, "block_len must be >= 1; got 0"),
])
def test_checks_in_order(args: tuple, kwargs: dict, message: str) -> None:
    with pytest.raises(ValueError) as exc:
        quintara.fit_cpasc(*args, **kwargs)
    assert str(exc.value) == message


@pytest.mark.parametrize("mode", MODES)
def test_one_treated_unit_is_its_augmented_fit(mode: str) -> None:
    options = {"sc_ridge": 0.1, "aug_lambda": 0.5}
    r = quintara.fit_cpasc(Y, [3], 20, mode=mode, **options)
    a = quintara.fit_asc(Y, [3], 20, **options)
    assert (r.unit_ids, r.unit_weight, r.t0) == ([3], [1.0], 20)
    assert r.att == r.unit_att[0] == a.att
    assert r.pooled_residual[20:] == a.att_path
    donors = Y[a.donor_ids]
    synthetic = np.asarray(a.weights) @ donors
    np.testing.assert_allclose(r.pooled_residual[:20], Y[3, :20] - synthetic[:20], atol=1e-12)
    assert r.unit_mspe[0] == pytest.approx(a.pre_rmspe**2, rel=1e-12)
    # The null refit fits the whole path, so it beats the pre-period weights
    # carried over the treated post-period.
    q = np.asarray(r.null_residual)
    assert np.linalg.norm(q) < np.linalg.norm(Y[3] - synthetic) - 0.1


def permutation_p(q: np.ndarray, t0: int, b: int) -> float:
    # np.cumsum adds left to right, as the fit does.
    stats = [np.cumsum(np.abs(q[(s + np.arange(b)) % len(q)]))[-1] / b for s in range(len(q))]
    return sum(s >= stats[t0] for s in stats) / len(q)


@pytest.mark.parametrize("mode", MODES)
def test_p_value_is_the_rank_of_the_post_window(mode: str) -> None:
    treated = [2, 3, 5, 7]
    for block_len, b in [(None, 10), (3, 3), (7, 7)]:
        r = quintara.fit_cpasc(Y, treated, 20, mode=mode, block_len=block_len)
        assert r.p_value == permutation_p(np.asarray(r.null_residual), 20, b)
    # One window length covering the whole cycle: every window is equal.
    for block_len in (30, 31):
        assert quintara.fit_cpasc(Y, treated, 20, mode=mode, block_len=block_len).p_value == 1.0
    # The post-period effect sits outside the null's reach: the observed
    # window ranks first (only itself counted).
    assert quintara.fit_cpasc(Y, treated, 20, mode=mode).p_value == 1 / 30


def test_pooling_weights() -> None:
    treated = [10, 2, 9, 3, 8, 5, 7]  # returned ascending
    levels = Y[sorted(treated), :20].mean(axis=1)
    ranks = np.argsort(levels, kind="stable")
    r = quintara.fit_cpasc(Y, treated, 20, mode="stratified", n_strata=3)
    assert r.unit_ids == sorted(treated)
    w, mspe = np.asarray(r.unit_weight), np.asarray(r.unit_mspe)
    # Seven units in three strata of 3, 2 and 2 by level.
    for stratum, n_s in zip(np.split(ranks, [3, 5]), [3, 2, 2], strict=True):
        assert w[stratum].sum() == pytest.approx(n_s / 7, rel=1e-12)
        raw = 1 / (mspe[stratum] + np.median(mspe[stratum]))
        np.testing.assert_allclose(w[stratum], raw / raw.sum() * n_s / 7, rtol=1e-12)
    r = quintara.fit_cpasc(Y, treated, 20)
    raw = 1 / (mspe + np.median(mspe))
    np.testing.assert_allclose(r.unit_weight, raw / raw.sum(), rtol=1e-12)
    assert r.att == pytest.approx(np.dot(r.unit_weight, r.unit_att), rel=1e-12)
    r = quintara.fit_cpasc(Y, treated, 20, mode="cumulative")
    np.testing.assert_allclose(r.unit_weight, levels / levels.sum(), rtol=1e-12)
    # More strata than units: one unit each, so every weight is 1/n.
    r = quintara.fit_cpasc(Y, treated, 20, mode="stratified", n_strata=50)
    np.testing.assert_allclose(r.unit_weight, 1 / 7, rtol=1e-15)
