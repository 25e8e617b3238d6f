"""geo_diagnostics against an independent NumPy reading of its definitions,
and the entry's own checks."""

from __future__ import annotations

import re

import numpy as np
import pytest

import quintara
from conftest import cycle_markets, factor_panel


def oracle(y: np.ndarray, treated: list[int], test_len: int) -> dict[str, float]:
    """Every statistic recomputed from its written formula."""
    n, t = y.shape
    n_pre = t - test_len
    a = y[treated].mean(axis=0)[:n_pre]
    b = np.delete(y, treated, axis=0).mean(axis=0)[:n_pre]
    holdout = y[treated].sum() / y.sum() if y.sum() > 0 else 0.0

    pre_rmspe = quintara.fit_sc(y, treated, n_pre).pre_rmspe
    pre_fit_rel = pre_rmspe / (max(np.std(a, ddof=1), 1e-12) if n_pre >= 2 else 1e-12)
    naive_rmspe = max(np.sqrt(np.mean((a - b - (a.mean() - b.mean())) ** 2)), 1e-12)
    improvement = float(np.clip(1 - pre_rmspe / naive_rmspe, 0, 1))

    d = np.diff(a)
    c, m = d - d.mean(), len(d)
    strength = 0.0
    if n_pre >= 6 and np.sum(c * c) > 0:
        lags = range(2, min(m // 2, 60) + 1)
        strength = min(max([0.0] + [np.sum(c[: m - lag] * c[lag:]) / np.sum(c * c)
                                    for lag in lags]), 1.0)
    rel_vol = (np.std(d, ddof=1) if m >= 2 else 0.0) / max(abs(a.mean()), 1e-12)
    stability = 1 / (1 + 8 * rel_vol)

    # Full inside [3 %, 35 %], linear down to 0 at no holdout and at 70 %.
    h = float(np.clip(min(holdout / 0.03, 1 - (holdout - 0.35) / 0.35, 1.0), 0, 1))
    fit = float(np.clip(1 - pre_fit_rel, 0, 1))
    score = 0.15 * h + 0.25 * stability + 0.4 * fit + 0.2 * improvement
    return {"holdout_pct": holdout, "pre_fit_rel": pre_fit_rel,
            "improvement_vs_naive": improvement, "seasonality_strength": strength,
            "stability_score": stability, "confidence": 100 * float(np.clip(score, 0, 1))}


CASES = [
    ("factor", factor_panel(14, 36, seed=3, noise=0.3), [2, 0, 9], 8),
    # A 6-period cycle of varying strength per unit, on noisy levels.
    ("seasonal", cycle_markets(15, 48, seed=1, cycle=6, amplitude=(0.5, 3.0)), [4], 12),
    ("seasonal long", cycle_markets(15, 48, seed=2, cycle=6, amplitude=(0.5, 3.0)), [1, 7], 3),
    ("random walk", np.random.default_rng(5).normal(size=(10, 30)).cumsum(axis=1) + 3.0,
     [6], 10),
    ("negative level", -factor_panel(9, 20, seed=4), [0, 1], 5),
]


def test_statistics_match_their_definitions() -> None:
    results = []
    for name, y, treated, test_len in CASES:
        d = quintara.geo_diagnostics(y, treated, test_len)
        for field, value in oracle(y, treated, test_len).items():
            assert getattr(d, field) == pytest.approx(value, rel=1e-12, abs=1e-300), (name, field)
        results.append(d)
    # The cases reach every branch, so no comparison is of zeros with zeros.
    assert max(r.seasonality_strength for r in results) > 0.3
    assert any(0 < r.improvement_vs_naive < 1 for r in results)
    assert any(r.holdout_pct == 0.0 for r in results)  # the negative-level panel
    assert all(0 < r.confidence < 100 for r in results)


def test_entry_checks_in_order() -> None:
    y = factor_panel(6, 12)
    bad_y = y.copy()
    bad_y[2, 3] = np.nan
    window = re.escape("test_len must be in [1, 12) so at least one pre-period remains; got ")
    # Each call also fails every later check.
    for args, pattern in [((bad_y, [], 0), "^y contains NaN"), ((y, [], 0), "^`treated` must list"),
                          ((y, [6], 0), "^treated unit index 6 out of range"),
                          ((y, list(range(6)), 0), "^every unit is treated"),
                          ((y, [0], 0), f"^{window}0$"), ((y, [0], 12), f"^{window}12$")]:
        with pytest.raises(ValueError, match=pattern):
            quintara.geo_diagnostics(*args)
    assert quintara.geo_diagnostics(y, [0], 11).warnings


def cycle_warning(d: quintara.GeoDiagnostics) -> str | None:
    hits = [w for w in d.warnings if "-period cycle" in w]
    return hits[0] if hits else None


def test_weekly_cycle_of_daily_data_is_seven_not_a_multiple() -> None:
    # A weekend bump under noise: the changes correlate at 7, 14, 21, ...
    # about equally, and the cycle is the shortest of them.
    found = []
    for seed in range(12):
        rng = np.random.default_rng(seed)
        t = np.arange(int(rng.integers(90, 300)))
        y = rng.uniform(50, 100, (12, 1)) * (1 + 0.05 * (t % 7 >= 5)) + rng.normal(
            0, rng.uniform(0.3, 1.2), (12, len(t)))
        found.append(cycle_warning(quintara.geo_diagnostics(y, [0], 14)))
    assert all(w is not None and "(≈7-period cycle)" in w for w in found), found


def test_a_cycle_longer_than_half_the_history_is_said_to_need_more() -> None:
    rng = np.random.default_rng(0)
    t = np.arange(78)  # a year and a half of weeks, a yearly cycle
    y = rng.uniform(50, 100, (20, 1)) * (1 + 0.3 * np.sin(2 * np.pi * t / 52)) + rng.normal(
        0, 0.3, (20, 78))
    w = cycle_warning(quintara.geo_diagnostics(y, [0, 1], 8))
    assert w == ("Strong seasonality (≈52-period cycle) but the pre-window covers only 1.3 "
                 "cycles; use ≥2 full cycles of history.")
    longer = np.hstack([y, y[:, 26:78]])  # two and a half years: it repeats
    w = cycle_warning(quintara.geo_diagnostics(longer, [0, 1], 8))
    assert w is not None and w.startswith("Seasonality detected (≈52-period cycle)")


def test_smooth_trend_and_noise_claim_no_cycle() -> None:
    t = np.arange(80)
    rng = np.random.default_rng(3)
    trend = 50 + 0.02 * t[None, :] ** 1.5 * rng.uniform(0.5, 1.5, (10, 1)) + rng.normal(
        0, 0.005, (10, 80))
    d = quintara.geo_diagnostics(trend, [0], 8)
    assert d.seasonality_strength > 0.3 and cycle_warning(d) is None
    assert any(w.startswith("Period-to-period changes are strongly autocorrelated")
               for w in d.warnings)
    noise = 50 + np.random.default_rng(4).normal(0, 1, (10, 104))
    assert cycle_warning(quintara.geo_diagnostics(noise, [0], 8)) is None


def test_a_slow_cycle_under_noise_is_not_read_as_a_short_one() -> None:
    # Differenced noise anticorrelates at lag 1 only, and the yearly wave then
    # correlates at lag 2: a peak there without a cycle's dip before it.
    t = np.arange(104)
    short = []
    for seed in range(30):
        rng = np.random.default_rng(seed)
        y = 100 + 10 * np.sin(2 * np.pi * t / 52) + rng.normal(0, 1, (8, 104))
        w = cycle_warning(quintara.geo_diagnostics(y, [0, 1], 8))
        if w is not None and ("(≈2-period" in w or "(≈3-period" in w):
            short.append((seed, w))
    assert not short
