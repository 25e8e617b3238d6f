"""fit_rsc: the rank rules and the regression against an independent NumPy
computation."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from conftest import factor_panel


def fields(r: quintara.SCResult) -> tuple:
    return r.att, r.weights, r.counterfactual, r.pre_rmspe


def test_rank_one_ignores_energy_and_rank_is_capped(panel: np.ndarray) -> None:
    assert fields(quintara.fit_rsc(panel, [0], 20, rank=1, energy=0.01)) == fields(
        quintara.fit_rsc(panel, [0], 20, rank=1, energy=0.99))
    # 11 donors, 5 pre-periods: the rank is capped at min(J, t0) = 5.
    capped = fields(quintara.fit_rsc(panel, [0], 5, rank=100))
    assert capped == fields(quintara.fit_rsc(panel, [0], 5, rank=5))
    assert capped != fields(quintara.fit_rsc(panel, [0], 5, rank=4))


def test_energy_rule_on_exact_rank_two_donors() -> None:
    rng = np.random.default_rng(1)
    y = rng.uniform(0.5, 2.0, size=(8, 2)) @ rng.normal(size=(2, 20))
    s = np.linalg.svd(y[1:].T, compute_uv=False)
    share = s[0] ** 2 / np.sum(s ** 2)  # energy carried by the first component
    one, two = fields(quintara.fit_rsc(y, [0], 15, rank=1)), fields(
        quintara.fit_rsc(y, [0], 15, rank=2))
    assert fields(quintara.fit_rsc(y, [0], 15, energy=share - 1e-6)) == one
    assert fields(quintara.fit_rsc(y, [0], 15, energy=share + 1e-6)) == two


@pytest.mark.parametrize("ridge", [0.0, 2.5])
def test_counterfactual_matches_numpy(ridge: float) -> None:
    y, t0, k = factor_panel(10, 30, seed=4, noise=0.3), 22, 3
    r = quintara.fit_rsc(y, [0, 1], t0, rank=k, ridge=ridge)
    # Independent reference: SVD of the stacked donor matrix, regression of the
    # averaged treated pre-period on the leading k factors.
    u, s, vt = np.linalg.svd(y[2:].T, full_matrices=False)
    a = u[:, :k] * s[:k]
    target = y[:2].mean(axis=0)
    if ridge > 0:
        beta = np.linalg.solve(a[:t0].T @ a[:t0] + ridge * np.eye(k), a[:t0].T @ target[:t0])
    else:
        beta = np.linalg.lstsq(a[:t0], target[:t0], rcond=None)[0]
    np.testing.assert_allclose(r.counterfactual, a[t0:] @ beta, rtol=0, atol=1e-8)
    np.testing.assert_allclose(r.weights, vt[:k].T @ beta, rtol=0, atol=1e-8)
    assert r.pre_rmspe == pytest.approx(np.sqrt(np.mean((target[:t0] - a[:t0] @ beta) ** 2)))


def test_weights_are_unconstrained(panel: np.ndarray) -> None:
    y = panel.copy()
    y[0] = 3.0 * y[1] - 2.0 * y[2]  # outside the donor hull
    r = quintara.fit_rsc(y, [0], 20, rank=11)
    np.testing.assert_allclose(r.weights, [3.0, -2.0] + [0.0] * 9, atol=1e-8)
    assert r.pre_rmspe < 1e-10 and abs(r.att) < 1e-8
