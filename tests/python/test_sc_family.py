"""fit_fp, fit_asc and fit_sdid: check order and messages, fit behaviours
against independent NumPy computations, placebo statistics, the SDID
jackknife, thread independence and two invariances."""

from __future__ import annotations


import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quintara
from conftest import factor_panel

FITS = {"sc": quintara.fit_sc, "fp": quintara.fit_fp, "asc": quintara.fit_asc,
        "sdid": quintara.fit_sdid}


def value_error(fit, *args: object, **kwargs: object) -> str:
    with pytest.raises(ValueError) as exc:
        fit(*args, **kwargs)
    return str(exc.value)


@pytest.mark.parametrize("name", ["fp", "asc", "sdid"])
def test_treat_time_checked_first(name: str) -> None:
    assert value_error(FITS[name], factor_panel(3, 6), [0], 6, level=2.0) == (
        "treat_time 6 must be in [1, 6) so there is at least one pre- and one post-period")


Y = factor_panel(4, 8)  # three donors


@pytest.mark.parametrize("fit, kwargs, message", [
    # Each case also breaks a later check, so the first failure must win.
    ("fp", {"ridge": -1.0, "level": 2.0}, "ridge must be finite and >= 0; got -1"),
    ("asc", {"sc_ridge": -1.0, "aug_lambda": 0.0}, "sc_ridge must be finite and >= 0; got -1"),
    ("asc", {"aug_lambda": 0.0, "level": 2.0}, "aug_lambda must be finite and > 0; got 0"),
    ("asc", {"level": 0.0, "min_weight": 0.5}, "level must be in (0, 1); got 0"),
    ("sdid", {"zeta_scale": -1.0, "level": 2.0}, "zeta_scale must be finite and >= 0; got -1"),
    ("sdid", {"level": 2.0, "inference": "bogus"}, "level must be in (0, 1); got 2"),
    ("sdid", {"inference": "jackknife", "min_weight": 0.5},
     "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single "
     "treated unit"),
    ("sdid", {"inference": "Placebo", "min_weight": 0.5},
     "unknown SDID inference 'Placebo' (expected none/placebo/jackknife)"),
    ("sdid", {"inference": "placebo", "min_weight": 0.5},
     "min_weight=0.5 is infeasible with 3 donors: every donor at that floor would need total "
     "weight 1.5000 > 1. Use min_weight <= 0.3333 (= 1/3)."),
])
def test_check_order_and_messages(fit: str, kwargs: dict, message: str) -> None:
    assert value_error(FITS[fit], Y, [0], 4, **kwargs) == message


def test_level_shift_is_absorbed(panel: np.ndarray) -> None:
    # Treated = donor 5 + 4 throughout, + 1.5 more after t0: the demeaned fit
    # and SDID (unregularised) both recover exactly the 1.5.
    y = panel.copy()
    y[0] = y[5] + 4.0
    y[0, 20:] += 1.5
    for r in (quintara.fit_fp(y, [0], 20), quintara.fit_sdid(y, [0], 20, zeta_scale=0.0)):
        assert r.weights[r.donor_ids.index(5)] > 0.999
        assert r.pre_rmspe < 1e-6
        np.testing.assert_allclose(r.att_path, 1.5, atol=1e-6)
    assert quintara.fit_sdid(y, [0], 20, zeta_scale=0.0).post_rmspe < 1e-6  # spread, not RMS


def test_one_donor_and_identical_donors(panel: np.ndarray) -> None:
    y = panel[:2]
    fp = quintara.fit_fp(y, [0], 20)
    assert fp.weights == [1.0]
    np.testing.assert_allclose(fp.counterfactual,
                               y[0, :20].mean() + y[1, 20:] - y[1, :20].mean(), atol=1e-12)
    # Without donor spread the default augmentation penalty is 0 and ASC is
    # synthetic control (no singular system may be factored).
    for y in (panel[:2], panel[[0, 1, 1]]):
        asc = quintara.fit_asc(y, [0], 20, sc_ridge=0.3)
        sc = quintara.fit_sc(y, [0], 20, ridge=0.3)
        assert (asc.counterfactual, asc.att, asc.pre_rmspe) == (sc.counterfactual, sc.att,
                                                                sc.pre_rmspe)


def test_fp_equals_sc_on_zero_pre_means(panel: np.ndarray) -> None:
    y = panel - panel[:, :20].mean(axis=1, keepdims=True)
    assert quintara.fit_fp(y, [0], 20).att == pytest.approx(quintara.fit_sc(y, [0], 20).att,
                                                            abs=1e-9)


@pytest.mark.parametrize("aug_lambda", [None, 0.05, 3.0])
def test_asc_against_numpy(panel: np.ndarray, aug_lambda: float | None) -> None:
    # Independent NumPy 2.4 evaluation of the ridge augmentation from the
    # returned synthetic-control weights.
    t0, kw = 20, {"sc_ridge": 0.1, "max_weight": 0.5}
    r = quintara.fit_asc(panel, [0, 1], t0, aug_lambda=aug_lambda, **kw)
    x_pre, x_post = panel[2:, :t0].T, panel[2:, t0:].T
    y = panel[:2].mean(axis=0)
    w = np.array(r.weights)
    resid = y[:t0] - x_pre @ w
    xc = x_pre - x_pre.mean(axis=1, keepdims=True)
    g = xc @ xc.T
    lam = 0.1 * np.trace(g) / t0 if aug_lambda is None else aug_lambda
    b = np.linalg.solve(g + lam * np.eye(t0), xc @ x_post.T)
    np.testing.assert_allclose(r.counterfactual, x_post @ w + resid @ b, rtol=1e-9)
    # The reported pre-period error is plain synthetic control's.
    assert r.pre_rmspe == quintara.fit_sc(panel, [0, 1], t0, ridge=0.1, max_weight=0.5).pre_rmspe


def test_zeta_scale_spreads_unit_weights(panel: np.ndarray) -> None:
    dist = [np.ptp(quintara.fit_sdid(panel, [0], 20, zeta_scale=z).weights) for z in (0, 1, 30)]
    assert dist[0] > dist[1] > dist[2]


class TestJackknife:
    def test_against_numpy_at_one_pre_period(self, panel: np.ndarray) -> None:
        # With one pre-period the time weight is [1], so every leave-one-out
        # effect follows from the returned unit weights (NumPy 2.4).
        r = quintara.fit_sdid(panel, [3, 0], 1, inference="jackknife", level=0.95)
        w = np.array(r.weights)
        change = panel[:, 1:].mean(axis=1) - panel[:, 0]
        c_ctrl = change[r.donor_ids]
        expected = [change[3] - w @ c_ctrl, change[0] - w @ c_ctrl]  # drop 0, then 3
        for k in range(len(w)):
            keep = np.arange(len(w)) != k
            expected.append(change[[0, 3]].mean() - (w[keep] / (1 - w[k])) @ c_ctrl[keep])
        tau = np.array(r.inference_distribution)
        np.testing.assert_allclose(tau, expected, rtol=0, atol=1e-12)
        # The fit itself is the weighted difference in differences.
        assert r.att == pytest.approx(change[[0, 3]].mean() - w @ c_ctrl, abs=1e-12)
        assert r.pre_rmspe == 0.0
        assert r.p_value is None and r.placebo_atts is None
        n = len(tau)
        assert r.se == pytest.approx(np.sqrt((n - 1) / n * ((tau - tau.mean()) ** 2).sum()),
                                     rel=1e-12)
        # Acklam's approximation at 0.975, to its documented accuracy.
        assert r.ci_upper - r.att == pytest.approx(1.959964 * r.se, rel=1e-6)
        assert r.att - r.ci_lower == pytest.approx(r.ci_upper - r.att, rel=1e-12)

    def test_control_with_all_weight_is_skipped(self, panel: np.ndarray) -> None:
        y = panel.copy()
        y[0], y[1] = y[5] + 2.0, y[5] + 3.0  # exact fit by control 5 alone
        r = quintara.fit_sdid(y, [0, 1], 20, zeta_scale=0.0, inference="jackknife")
        assert max(r.weights) >= 1 - 1e-12  # one, up to the solver's rounding
        assert len(r.inference_distribution) == 2 + (len(r.donor_ids) - 1)


@pytest.mark.parametrize("name, kwargs, statistic", [
    ("fp", {"placebo": True}, lambda f: abs(f.att)),
    ("sdid", {"inference": "placebo"}, lambda f: abs(f.att)),
    ("asc", {"placebo": True}, lambda f: f.post_rmspe / f.pre_rmspe),
])
def test_placebo_statistic(panel: np.ndarray, name: str, kwargs: dict, statistic) -> None:
    fit = FITS[name]
    r = fit(panel, [0], 20, **kwargs)
    donors = panel[1:]
    for k in (0, 6):
        order = [k] + [i for i in range(len(donors)) if i != k]
        refit = fit(donors[order], [0], 20)
        assert r.inference_distribution[k] == statistic(refit)
        assert r.placebo_atts[k] == refit.att
    real = statistic(fit(panel, [0], 20))
    m = len(r.inference_distribution)
    assert m == len(donors)
    assert r.p_value == (sum(s >= real for s in r.inference_distribution) + 1) / (m + 1)


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**16), shift=st.floats(-1e3, 1e3))
def test_common_shift_leaves_fp_and_sdid_unchanged(seed: int, shift: float) -> None:
    y = factor_panel(10, 24, seed=seed)
    for fit in (quintara.fit_fp, quintara.fit_sdid):
        a, b = fit(y, [0], 16), fit(y + shift, [0], 16)
        np.testing.assert_allclose(b.weights, a.weights, atol=1e-6)
        assert b.att == pytest.approx(a.att, abs=1e-8)


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**16), perm=st.permutations(range(9)))
def test_donor_order_permutes_weights_only(seed: int, perm: list[int]) -> None:
    y = factor_panel(10, 24, seed=seed)
    shuffled = np.vstack([y[:1], y[1:][perm]])
    for fit in FITS.values():
        a, b = fit(y, [0], 16), fit(shuffled, [0], 16)
        np.testing.assert_allclose(b.weights, np.array(a.weights)[perm], atol=1e-6)
        assert b.att == pytest.approx(a.att, abs=1e-8)
