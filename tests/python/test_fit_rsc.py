"""fit_rsc: check order and messages, the rank rules, the regression against an
independent NumPy computation, and its placebo test."""

from __future__ import annotations

import inspect
import math

import numpy as np
import pytest

import quintara
from conftest import factor_panel


def value_error(*args: object, **kwargs: object) -> str:
    with pytest.raises(ValueError) as exc:
        quintara.fit_rsc(*args, **kwargs)  # type: ignore[arg-type]
    return str(exc.value)


def test_signature_and_docstring() -> None:
    assert str(inspect.signature(quintara.fit_rsc)) == (
        "(y, treated, treat_time, rank=None, energy=0.999, ridge=0.0, placebo=False, level=0.95)")
    assert quintara.fit_rsc.__doc__ == (
        "Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen\n2018).\n\n"
        "Hard-thresholds the donor panel's spectrum and regresses the treated\n"
        "pre-period on the de-noised factors. `rank` pins the retained rank; `None`\n"
        "picks the smallest rank carrying `energy` of the squared spectrum. The\n"
        "weights this returns are unconstrained (they may be negative and need not sum\n"
        "to one), which is what lets it extrapolate beyond the donor hull.")


def test_messages_in_check_order() -> None:
    y = factor_panel(5, 8)
    assert value_error(y, [0], 8, ridge=-1.0) == (
        "treat_time 8 must be in [1, 8) so there is at least one pre- and one post-period")
    assert value_error(y, [0], 4, ridge=-1.0, energy=2.0) == "ridge must be finite and >= 0; got -1"
    for energy, shown in [(1.0, "1"), (0.0, "0"), (math.nan, "NaN")]:
        assert value_error(y, [0], 4, energy=energy, level=2.0) == (
            f"energy must be in (0, 1); got {shown}")
    assert value_error(y, [0], 4, level=1.0, rank=0) == "level must be in (0, 1); got 1"
    assert value_error(y, [0], 4, rank=0) == "rank must be >= 1; got 0"


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


def test_placebo_ranks_the_rmspe_ratio(panel: np.ndarray) -> None:
    r = quintara.fit_rsc(panel, [0], 20, rank=2, placebo=True)
    stats = r.inference_distribution
    assert stats is not None and len(stats) == len(r.donor_ids) == 11
    assert r.p_value == (sum(s >= r.post_rmspe / r.pre_rmspe for s in stats) + 1) / 12
    donors = panel[1:]
    order = [4] + [i for i in range(11) if i != 4]
    fit = quintara.fit_rsc(donors[order], [0], 20, rank=2)
    assert stats[4] == fit.post_rmspe / fit.pre_rmspe
    assert r.placebo_atts[4] == fit.att
