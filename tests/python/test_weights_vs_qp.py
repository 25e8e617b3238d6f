"""Donor weights against an independent QP solution (SciPy's SLSQP).

On random problems, with and without bounds, our simplex solution must reach
an objective no worse than SLSQP's (up to a relative 1e-9) and satisfy the
constraints; and it must be the minimiser: re-solving the KKT system on the
coordinates it leaves free (the others at their bounds) with NumPy gives the
same weights to 1e-8, with multipliers of the right sign.
"""

from __future__ import annotations

import numpy as np
import pytest

import quintara

optimize = pytest.importorskip("scipy.optimize")


def objective(x_pre: np.ndarray, y_pre: np.ndarray, w: np.ndarray, ridge: float) -> float:
    r = y_pre - x_pre @ w
    return 0.5 * r @ r + 0.5 * ridge * w @ w


def slsqp(x_pre: np.ndarray, y_pre: np.ndarray, ridge: float, lo: float, hi: float) -> np.ndarray:
    j = x_pre.shape[1]
    res = optimize.minimize(
        lambda w: objective(x_pre, y_pre, w, ridge),
        np.full(j, 1.0 / j),
        jac=lambda w: -(x_pre.T @ (y_pre - x_pre @ w)) + ridge * w,
        method="SLSQP",
        bounds=[(lo, hi)] * j,
        constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1.0, "jac": lambda w: np.ones(j)}],
        options={"ftol": 1e-14, "maxiter": 2000},
    )
    return res.x


CASES = [
    # (donors, periods, ridge, min_weight, max_weight)
    (5, 20, 0.0, 0.0, 1.0),
    (15, 30, 0.0, 0.0, 1.0),
    (30, 12, 0.5, 0.0, 1.0),
    (12, 25, 0.0, 0.0, 0.25),
    (12, 25, 0.1, 0.02, 0.5),
    (40, 50, 0.0, 0.01, 0.2),
    (60, 20, 0.0, 0.0, 1.0),
    (60, 20, 2.0, 0.0, 0.1),
]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("donors, periods, ridge, lo, hi", CASES)
def test_objective_not_worse_than_slsqp(
    seed: int, donors: int, periods: int, ridge: float, lo: float, hi: float
) -> None:
    rng = np.random.default_rng(1000 * seed + donors)
    y = rng.normal(size=(donors + 1, periods)).cumsum(axis=1)
    t0 = periods - 3
    r = quintara.fit_sc(y, [0], t0, ridge=ridge, min_weight=lo, max_weight=hi)
    w = np.array(r.weights)
    x_pre, y_pre = y[1:, :t0].T, y[0, :t0]

    assert abs(w.sum() - 1.0) < 1e-9
    assert w.min() >= lo - 1e-12 and w.max() <= hi + 1e-12
    ours = objective(x_pre, y_pre, w, ridge)
    ref = objective(x_pre, y_pre, slsqp(x_pre, y_pre, ridge, lo, hi), ridge)
    assert ours <= ref + 1e-9 * max(1.0, abs(ref))


def kkt_weights(
    x_pre: np.ndarray, y_pre: np.ndarray, w: np.ndarray, ridge: float, lo: float, hi: float
) -> tuple[np.ndarray, float]:
    """The equality-constrained minimiser on w's free coordinates and the
    worst wrong-signed multiplier of the held ones, relative to the scale."""
    h = x_pre.T @ x_pre + ridge * np.eye(len(w))
    b = x_pre.T @ y_pre
    band = 1e-9
    free = (w > lo + band) & ((hi >= 1.0) | (w < hi - band))
    held = ~free
    at_lo = held & (w <= lo + band)
    scale = max(np.abs(np.diag(h)).max(), np.abs(b).max())
    f = int(free.sum())
    if f == 0:  # a vertex of the box: any multiplier between the held gradients
        g = h @ w - b
        return w, max(0.0, g[held & ~at_lo].max() - g[at_lo].min()) / scale
    kkt = np.zeros((f + 1, f + 1))
    kkt[:f, :f] = h[np.ix_(free, free)]
    kkt[:f, f] = kkt[f, :f] = 1.0
    rhs = np.append(b[free] - h[np.ix_(free, held)] @ w[held], 1.0 - w[held].sum())
    sol = np.linalg.solve(kkt, rhs)
    exact = w.copy()
    exact[free] = sol[:f]
    g = h @ exact - b + sol[f]  # gradient of the Lagrangian
    wrong = np.concatenate([-g[at_lo], g[held & ~at_lo], [0.0]])
    return exact, wrong.max() / scale


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("donors, periods, ridge, lo, hi", CASES)
def test_weights_solve_the_kkt_system(
    seed: int, donors: int, periods: int, ridge: float, lo: float, hi: float
) -> None:
    rng = np.random.default_rng(7 + 1000 * seed + donors)
    y = rng.normal(size=(donors + 1, periods)).cumsum(axis=1)
    t0 = periods - 3
    w = np.array(quintara.fit_sc(y, [0], t0, ridge=ridge, min_weight=lo, max_weight=hi).weights)
    exact, wrong_sign = kkt_weights(y[1:, :t0].T, y[0, :t0], w, ridge, lo, hi)
    assert np.abs(w - exact).max() < 1e-8
    assert wrong_sign < 1e-9
