"""Goodman-Bacon decomposition against an independent NumPy oracle: the 2x2
estimates and weights of Goodman-Bacon (2021, J. Econometrics, Theorem 1),
computed from cell means and closed-form variance terms, and again from
explicit dummy regressions on each comparison's subsample."""

from __future__ import annotations

import numpy as np
import pytest

import quintara

# (cohort sizes by adoption column, -1 = never treated; number of periods).
# Columns at or after T also code "never treated".
DESIGNS = {
    "two cohorts + never": ({-1: 3, 2: 1, 4: 5}, 6),
    "four cohorts + never, edges": ({-1: 2, 9: 1, 1: 2, 2: 4, 5: 1, 8: 3}, 9),
    "three cohorts, no never": ({2: 2, 3: 5, 6: 1}, 7),
    "four cohorts, no never": ({1: 1, 3: 3, 4: 2, 7: 4}, 8),
}


def panel(sizes: dict[int, int], t: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Shuffled units; unit and period effects, cohort-specific dynamic effects, noise."""
    rng = np.random.default_rng(seed)
    cohorts = rng.permutation(np.repeat(list(sizes), list(sizes.values())))
    treated = (cohorts[:, None] >= 0) & (np.arange(t)[None, :] >= cohorts[:, None])
    exposure = np.where(treated, np.arange(t)[None, :] - cohorts[:, None] + 1.0, 0.0)
    slope = 0.3 + 0.2 * np.abs(cohorts)[:, None]
    y = (rng.normal(size=(len(cohorts), 1)) + rng.normal(size=(1, t)) + slope * exposure
         + 0.5 * rng.normal(size=(len(cohorts), t)))
    return y, cohorts


def oracle(y: np.ndarray, cohorts: np.ndarray) -> dict[tuple, tuple[float, float, list, range]]:
    """(kind, treated, comparison) -> (estimate, unnormalised weight, units, periods)."""
    n, t = y.shape
    never = (cohorts < 0) | (cohorts >= t)
    groups = sorted({int(g) for g in cohorts[~never]})
    idx = {g: np.flatnonzero(cohorts == g) for g in groups} | {None: np.flatnonzero(never)}
    share = {g: len(idx[g]) / n for g in idx}
    dbar = {g: (t - g) / t for g in groups}  # share of periods treated

    def mean(g, a: int, b: int) -> float:
        return y[np.ix_(idx[g], range(a, b))].mean()

    out = {}
    for k in groups:
        if share[None] > 0:
            est = (mean(k, k, t) - mean(k, 0, k)) - (mean(None, k, t) - mean(None, 0, k))
            nku = share[k] / (share[k] + share[None])
            w = (share[k] + share[None]) ** 2 * nku * (1 - nku) * dbar[k] * (1 - dbar[k])
            out["treated_vs_untreated", k, None] = est, w, [k, None], range(0, t)
        for l in (g for g in groups if g > k):  # noqa: E741 (the paper's k, l)
            nkl, skl = share[k] / (share[k] + share[l]), share[k] + share[l]
            est = (mean(k, k, l) - mean(k, 0, k)) - (mean(l, k, l) - mean(l, 0, k))
            w = ((skl * (1 - dbar[l])) ** 2 * nkl * (1 - nkl) * (dbar[k] - dbar[l])
                 / (1 - dbar[l]) * (1 - dbar[k]) / (1 - dbar[l]))
            out["earlier_vs_later", k, l] = est, w, [k, l], range(0, l)
            est = (mean(l, l, t) - mean(l, k, l)) - (mean(k, l, t) - mean(k, k, l))
            w = ((skl * dbar[k]) ** 2 * nkl * (1 - nkl) * dbar[l] / dbar[k]
                 * (dbar[k] - dbar[l]) / dbar[k])
            out["later_vs_earlier_forbidden", l, k] = est, w, [k, l], range(k, t)
    return out


def twoway(y: np.ndarray, d: np.ndarray) -> tuple[float, np.ndarray]:
    """OLS of vec(y) on vec(d) + unit and period dummies: the d coefficient, and the
    residual of d on the dummies alone."""
    n, t = y.shape
    fe = np.column_stack([np.kron(np.eye(n), np.ones((t, 1))), np.tile(np.eye(t)[:, 1:], (n, 1))])
    beta = np.linalg.lstsq(np.column_stack([d.ravel(), fe]), y.ravel(), rcond=None)[0]
    return beta[0], d.ravel() - fe @ np.linalg.lstsq(fe, d.ravel(), rcond=None)[0]


def treatment(cohorts: np.ndarray, periods) -> np.ndarray:
    c, s = cohorts[:, None], np.asarray(periods)[None, :]
    return ((c >= 1) & (s >= c)).astype(float)


CASES = [(name, seed) for name in DESIGNS for seed in (11, 12)]


@pytest.mark.parametrize("name, seed", CASES)
def test_components_match_closed_forms(name: str, seed: int) -> None:
    y, cohorts = panel(*DESIGNS[name], seed)
    want = oracle(y, cohorts)
    res = quintara.bacon_decompose_py(y, cohorts.tolist())
    got = {(c.kind, c.treated_cohort, c.comparison_cohort): c for c in res.components}
    assert len(got) == len(res.components) and set(got) == set(want)
    total = sum(w for _, w, _, _ in want.values())
    # The full-panel variance of the two-way demeaned treatment normalises the weights.
    _, resid = twoway(y, treatment(cohorts, range(y.shape[1])))
    assert total == pytest.approx(np.mean(resid**2), rel=1e-12)
    scale = np.abs(y).max()
    for key, (est, w, _, _) in want.items():
        assert got[key].estimate == pytest.approx(est, rel=1e-12, abs=1e-13 * scale), key
        assert got[key].weight == pytest.approx(w / total, rel=1e-12), key
    forbidden = sum(w for (kind, *_), (_, w, _, _) in want.items() if kind.startswith("later"))
    assert res.forbidden_weight == pytest.approx(forbidden / total, rel=1e-12, abs=1e-15)
    assert res.twfe == pytest.approx(sum(e * w for e, w, _, _ in want.values()) / total,
                                     rel=1e-12, abs=1e-13 * scale)


@pytest.mark.parametrize("name, seed", CASES)
def test_components_match_subsample_regressions(name: str, seed: int) -> None:
    y, cohorts = panel(*DESIGNS[name], seed)
    n, t = y.shape
    never = (cohorts < 0) | (cohorts >= t)
    res = quintara.bacon_decompose_py(y, cohorts.tolist())
    beta_full, resid_full = twoway(y, treatment(cohorts, range(t)))
    assert res.twfe == pytest.approx(beta_full, rel=1e-10)
    windows = {key: (g, p) for key, (_, _, g, p) in oracle(y, cohorts).items()}
    for c in res.components:
        groups, periods = windows[c.kind, c.treated_cohort, c.comparison_cohort]
        units = np.flatnonzero(np.isin(cohorts, [g for g in groups if g is not None])
                               | (never & (None in groups)))
        sub = treatment(np.where(never, -1, cohorts)[units], periods)
        beta, resid = twoway(y[np.ix_(units, periods)], sub)
        assert c.estimate == pytest.approx(beta, rel=1e-10, abs=1e-12)
        # Weight = (subsample share of all cells)^2 x its demeaned-treatment variance,
        # over the full panel's.
        cells = len(units) * len(periods) / (n * t)
        assert c.weight == pytest.approx(cells**2 * np.mean(resid**2) / np.mean(resid_full**2),
                                         rel=1e-10)
