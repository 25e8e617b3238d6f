"""Donor weights against an independent QP solution (SciPy's SLSQP).

On random problems, with and without bounds, the weights fit_sc returns must
reach an objective no worse than SLSQP's (up to a relative 1e-9, and what
SLSQP's own constraint violation buys it) and satisfy
the constraints. The solver's optimality conditions are checked on the solver
itself, with the C++ unit tests.
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
    return optimize.minimize(
        lambda w: objective(x_pre, y_pre, w, ridge), np.full(j, 1.0 / j),
        jac=lambda w: -(x_pre.T @ (y_pre - x_pre @ w)) + ridge * w, method="SLSQP",
        bounds=[(lo, hi)] * j, options={"ftol": 1e-14, "maxiter": 2000},
        constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1.0, "jac": lambda w: np.ones(j)}],
    ).x


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
    w_ref = slsqp(x_pre, y_pre, ridge, lo, hi)
    ref = objective(x_pre, y_pre, w_ref, ridge)
    # SLSQP's point may sit off the feasible set by ~1e-9, which lowers its
    # objective by about |gradient| times that distance.
    grad = -(x_pre.T @ (y_pre - x_pre @ w_ref)) + ridge * w_ref
    off = abs(w_ref.sum() - 1) + np.clip(lo - w_ref, 0, None).sum() + np.clip(w_ref - hi, 0,
                                                                                None).sum()
    assert ours <= ref + 1e-9 * max(1.0, abs(ref)) + np.abs(grad).max() * off
