"""geo_diagnostics against an independent NumPy reading of its definitions,
and the entry's own checks."""

from __future__ import annotations

import re

import numpy as np
import pytest

import quintara

from conftest import factor_panel


def oracle(y: np.ndarray, treated: list[int], test_len: int) -> dict[str, float]:
    """Every statistic recomputed from its written formula."""
    n, t = y.shape
    n_pre = t - test_len
    donors = [i for i in range(n) if i not in treated]
    a = y[treated].mean(axis=0)[:n_pre]
    b = y[donors].mean(axis=0)[:n_pre]

    total = y.sum()
    holdout = y[treated].sum() / total if total > 0 else 0.0

    pre_rmspe = quintara.fit_sc(y, treated, n_pre).pre_rmspe
    spread = max(np.std(a, ddof=1), 1e-12) if n_pre >= 2 else 1e-12
    pre_fit_rel = pre_rmspe / spread

    naive = b + (a.mean() - b.mean())
    naive_rmspe = max(np.sqrt(np.mean((a - naive) ** 2)), 1e-12)
    improvement = float(np.clip(1 - pre_rmspe / naive_rmspe, 0, 1))

    d = np.diff(a)
    m = len(d)
    strength = 0.0
    if n_pre >= 6:
        c = d - d.mean()
        denom = np.sum(c * c)
        if denom > 0:
            lags = range(2, min(m // 2, 60) + 1)
            strength = min(max([0.0] + [np.sum(c[: m - lag] * c[lag:]) / denom for lag in lags]),
                           1.0)

    vol = np.std(d, ddof=1) if m >= 2 else 0.0
    rel_vol = vol / max(abs(a.mean()), 1e-12)
    stability = 1 / (1 + 8 * rel_vol)

    if holdout < 0.03:
        h = holdout / 0.03
    elif holdout > 0.35:
        h = 1 - (holdout - 0.35) / 0.35
    else:
        h = 1.0
    h = float(np.clip(h, 0, 1))
    fit = float(np.clip(1 - pre_fit_rel, 0, 1))
    confidence = 100 * float(np.clip(0.15 * h + 0.25 * stability + 0.4 * fit + 0.2 * improvement,
                                     0, 1))
    return {"holdout_pct": holdout, "pre_fit_rel": pre_fit_rel,
            "improvement_vs_naive": improvement, "seasonality_strength": strength,
            "stability_score": stability, "confidence": confidence}


def seasonal_panel(seed: int) -> np.ndarray:
    """A 6-period cycle of varying strength per unit, on noisy levels."""
    rng = np.random.default_rng(seed)
    t = np.arange(48)
    amp = rng.uniform(0.5, 3.0, size=(15, 1))
    return rng.uniform(20, 40, size=(15, 1)) + amp * np.sin(2 * np.pi * t / 6) + \
        rng.normal(0, 0.5, size=(15, 48))


CASES = [
    ("factor", factor_panel(14, 36, seed=3, noise=0.3), [2, 0, 9], 8),
    ("seasonal", seasonal_panel(1), [4], 12),
    ("seasonal long", seasonal_panel(2), [1, 7], 3),
    ("random walk", np.random.default_rng(5).normal(size=(10, 30)).cumsum(axis=1) + 3.0,
     [6], 10),
    ("negative level", -factor_panel(9, 20, seed=4), [0, 1], 5),
]


@pytest.mark.parametrize(("name", "y", "treated", "test_len"), CASES,
                         ids=[c[0] for c in CASES])
def test_statistics_match_their_definitions(name: str, y: np.ndarray, treated: list[int],
                                            test_len: int) -> None:
    d = quintara.geo_diagnostics(y, treated, test_len)
    want = oracle(y, treated, test_len)
    for field, value in want.items():
        assert getattr(d, field) == pytest.approx(value, rel=1e-12, abs=1e-300), field
    assert all(isinstance(w, str) for w in d.warnings)
    assert re.fullmatch(r"GeoDiagnostics\(confidence=\d+, holdout=-?\d+\.\d%, n_warnings=\d\)",
                        repr(d))


def test_the_cases_exercise_every_statistic() -> None:
    # Guards the oracle comparison against comparing zeros with zeros.
    results = [quintara.geo_diagnostics(y, tr, tl) for _, y, tr, tl in CASES]
    assert max(r.seasonality_strength for r in results) > 0.3
    assert any(0 < r.improvement_vs_naive < 1 for r in results)
    assert any(r.holdout_pct == 0.0 for r in results)  # the negative-level panel
    assert all(0 < r.confidence < 100 for r in results)


class TestEntryChecks:
    y = factor_panel(6, 12)

    def test_test_len_must_leave_a_pre_period(self) -> None:
        for test_len in (0, 12, 13):
            with pytest.raises(ValueError) as e:
                quintara.geo_diagnostics(self.y, [0], test_len)
            assert str(e.value) == (
                f"test_len must be in [1, 12) so at least one pre-period remains; got {test_len}")
        assert quintara.geo_diagnostics(self.y, [0], 11).warnings

    def test_checks_run_in_order(self) -> None:
        bad_y = self.y.copy()
        bad_y[2, 3] = np.nan
        with pytest.raises(ValueError, match="^y contains NaN"):
            quintara.geo_diagnostics(bad_y, [], 0)
        with pytest.raises(ValueError, match="^`treated` must list"):
            quintara.geo_diagnostics(self.y, [], 0)
        with pytest.raises(ValueError, match="^treated unit index 6 out of range"):
            quintara.geo_diagnostics(self.y, [6], 0)
        with pytest.raises(ValueError, match="^every unit is treated"):
            quintara.geo_diagnostics(self.y, list(range(6)), 0)
