"""fit_mcnnm at a given penalty against an independent NumPy SoftImpute.

The estimator minimises, over a low-rank matrix L and unit/period effects a, b,
    1/2 * sum over observed cells of (Y - L - a_i - b_t)^2 + lambda * ||L||_*
(observed = all cells but the treated units' post-periods; lambda thresholds
the singular values as it is, unscaled). The oracle iterates L <- SVT_lambda(Z)
with Z = Y - a - b on observed cells and L elsewhere, refitting a, b exactly by
least squares each time, until the step is below 1e-13 * ||L||_F.
"""

from __future__ import annotations

import numpy as np
import pytest

import quintara


def fe_fit(r: np.ndarray, obs: np.ndarray) -> np.ndarray:
    """a_i + b_t fitted to r on the observed cells by least squares."""
    n, t = r.shape
    i, j = np.nonzero(obs)
    x = np.zeros((i.size, n + t))
    x[np.arange(i.size), i] = x[np.arange(i.size), n + j] = 1.0
    c = np.linalg.lstsq(x, r[obs], rcond=None)[0]
    return c[:n, None] + c[None, n:]


def top_sv_of_fe_residual(y: np.ndarray, obs: np.ndarray) -> float:
    return np.linalg.norm(np.where(obs, y - fe_fit(y, obs), 0.0), 2)


def oracle(y: np.ndarray, obs: np.ndarray, lam: float) -> tuple:
    """Fitted F = L + a + b, ||L||_F, and the late contraction rate q of the steps."""
    low, steps = np.zeros_like(y), []
    for _ in range(20000):
        z = np.where(obs, y - fe_fit(y - low, obs), low)
        u, s, vt = np.linalg.svd(z, full_matrices=False)
        new = (u * np.maximum(s - lam, 0.0)) @ vt
        steps.append(np.linalg.norm(new - low))
        low = new
        if steps[-1] <= 1e-13 * np.linalg.norm(low):
            break
    last = np.array(steps[-11:])
    q = float(np.exp(np.mean(np.log(last[1:] / last[:-1])))) if len(last) > 2 else 0.0
    return low + fe_fit(y - low, obs), np.linalg.norm(low), q


def make(n: int, t: int, treated: list, t0: int, seed: int) -> tuple:
    """Unit + period effects + a rank-2 term + noise; the treated post block unobserved."""
    rng = np.random.default_rng(seed)
    y = (rng.normal(0, 2, (n, 1)) + rng.normal(0, 1, (1, t))
         + rng.normal(size=(n, 2)) @ rng.normal(size=(2, t)) + 0.3 * rng.normal(size=(n, t)))
    obs = np.ones((n, t), bool)
    obs[np.ix_(treated, range(t0, t))] = False
    return y, obs, list(treated), t0


PANELS = {"one treated": (8, 10, [0], 6, 0), "three scattered": (15, 12, [1, 4, 9], 8, 1),
          "block of ten": (30, 20, range(10), 12, 2), "wide": (12, 30, [0, 1], 20, 3)}


@pytest.mark.parametrize("tol", [1e-5, 1e-9])
@pytest.mark.parametrize("frac", [0.1, 0.5, 0.98])  # lambda / top singular value
@pytest.mark.parametrize("name", PANELS)
def test_matches_independent_softimpute(name: str, frac: float, tol: float) -> None:
    y, obs, tr, t0 = make(*PANELS[name])
    lam = frac * top_sv_of_fe_residual(y, obs)
    fit, l_norm, q = oracle(y, obs, lam)
    r = quintara.fit_mcnnm(y, tr, t0, lambda_=lam, tol=tol, max_iter=100000)
    # The package stops once a step of L is below tol * ||L||_F. With steps
    # shrinking at rate q (measured on the oracle, same fixed point), what is
    # left to travel is at most step / (1 - q); x2 covers ||L|| moving between
    # the last iterates and the effects refitted on top of L. Every compared
    # quantity is an average of cells, so the per-cell bound carries over.
    # Seen: at most 0.16 of this bound.
    atol = 2.0 * tol * l_norm / (1.0 - q) + 1e-10
    cf = fit[tr, t0:].mean(axis=0)
    np.testing.assert_allclose(r.treated_post, y[tr, t0:].mean(axis=0), rtol=0, atol=1e-12)
    np.testing.assert_allclose(r.counterfactual, cf, rtol=0, atol=atol)
    np.testing.assert_allclose(r.att_path, y[tr, t0:].mean(axis=0) - cf, rtol=0, atol=atol)
    assert r.att == pytest.approx(np.mean(y[tr, t0:].mean(axis=0) - cf), abs=atol)
    pre = np.sqrt(np.mean((y[tr, :t0] - fit[tr, :t0]) ** 2))
    assert r.pre_rmspe == pytest.approx(pre, abs=atol)


@pytest.mark.parametrize("name", ["one treated", "three scattered", "wide"])
def test_penalty_above_top_singular_value_gives_the_fixed_effects_fit(name: str) -> None:
    # L = 0 is optimal exactly when lambda >= the top singular value of the
    # effects-only residual on observed cells: just above it (and far above)
    # the fit is the two-way effects fit; just below it is not. A penalty
    # scaled by 2 (or 1/2) moves that edge and breaks one side. The 1e-6 is not
    # set by tol (L stays 0 and the loop ends at once): it is what the
    # alternating-means refit of a, b leaves over, <= 6e-7 on these panels.
    y, obs, tr, t0 = make(*PANELS[name])
    sigma = top_sv_of_fe_residual(y, obs)
    fe_cf = fe_fit(y, obs)[tr, t0:].mean(axis=0)
    for frac in (1.02, 100.0):
        r = quintara.fit_mcnnm(y, tr, t0, lambda_=frac * sigma, tol=1e-10)
        np.testing.assert_allclose(r.counterfactual, fe_cf, rtol=0, atol=1e-6)
    below = quintara.fit_mcnnm(y, tr, t0, lambda_=0.98 * sigma, tol=1e-10)
    assert np.max(np.abs(np.subtract(below.counterfactual, fe_cf))) > 1e-3  # seen >= 4e-3


@pytest.mark.xfail(strict=True, reason="with L = 0 the loop stops after one step, so the "
                   "effects get only 6 alternating-means sweeps whatever tol is: here "
                   "2.7e-3 from the least-squares fit")
def test_fixed_effects_fit_when_half_the_units_miss_most_periods() -> None:
    y, obs, tr, t0 = make(10, 10, range(5), 3, 4)
    r = quintara.fit_mcnnm(y, tr, t0, lambda_=100.0 * top_sv_of_fe_residual(y, obs), tol=1e-10)
    np.testing.assert_allclose(r.counterfactual, fe_fit(y, obs)[tr, t0:].mean(axis=0),
                               rtol=0, atol=1e-6)
