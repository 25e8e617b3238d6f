"""The synthetic-control entries: check order and messages, fit_fp, fit_asc and
fit_sdid (jackknife included) against NumPy, and two invariances."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quintara
from conftest import SC_FITS, factor_panel


def value_error(fit, *args: object, **kwargs: object) -> str:
    with pytest.raises(ValueError) as exc:
        fit(*args, **kwargs)
    return str(exc.value)


Y = factor_panel(4, 8)  # three donors


@pytest.mark.parametrize("name", SC_FITS)
def test_block_checks_come_first_in_order(name: str) -> None:
    # The panel, then `treated`, then treat_time, each before any option.
    fit = SC_FITS[name]
    assert value_error(fit, np.zeros((0, 5)), [], 0, level=2.0) == (
        "y must be a non-empty N×T panel; got shape (0, 5)")
    assert value_error(fit, Y, [], 0, level=2.0) == (
        "`treated` must list at least one treated unit index")
    assert value_error(fit, Y, [0], 8, level=2.0) == (
        "treat_time 8 must be in [1, 8) so there is at least one pre- and one post-period")


@pytest.mark.parametrize("fit, kwargs, message", [
    # Each case also breaks a later check, so the first failure must win.
    ("sc", {"ridge": -1.0, "penalty": -1.0}, "ridge must be finite and >= 0; got -1"),
    ("sc", {"penalty": -1.0, "level": 2.0}, "penalty must be finite and >= 0; got -1"),
    # The level is checked even without a placebo test.
    ("sc", {"level": 2.0, "min_weight": -1.0}, "level must be in (0, 1); got 2"),
    ("fp", {"ridge": -1.0, "level": 2.0}, "ridge must be finite and >= 0; got -1"),
    ("fp", {"level": 0.0, "min_weight": 0.5}, "level must be in (0, 1); got 0"),
    ("asc", {"sc_ridge": -1.0, "aug_lambda": 0.0}, "sc_ridge must be finite and >= 0; got -1"),
    ("asc", {"aug_lambda": 0.0, "level": 2.0}, "aug_lambda must be finite and > 0; got 0"),
    ("asc", {"level": 0.0, "min_weight": 0.5}, "level must be in (0, 1); got 0"),
    ("sdid", {"zeta_scale": -1.0, "level": 2.0}, "zeta_scale must be finite and >= 0; got -1"),
    # Unitless multipliers are bounded: beyond, the penalty overflows to NaN.
    ("sdid", {"zeta_scale": 1e308, "level": 2.0}, "zeta_scale must be <= 1000000000000; got "
     + str(int(1e308))),
    ("sc", {"penalty": 2e12, "level": 2.0}, "penalty must be <= 1000000000000; got 2000000000000"),
    ("sdid", {"level": 2.0, "inference": "bogus"}, "level must be in (0, 1); got 2"),
    ("sdid", {"inference": "jackknife", "min_weight": 0.5},
     "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single "
     "treated unit"),
    ("sdid", {"inference": "Placebo", "min_weight": 0.5},
     "unknown SDID inference 'Placebo' (expected none/placebo/jackknife)"),
    ("sdid", {"inference": "placebo", "min_weight": 0.5},
     "min_weight=0.5 is infeasible with 3 donors: every donor at that floor would need total "
     "weight 1.5000 > 1. Use min_weight <= 0.3333 (= 1/3)."),
    ("rsc", {"ridge": -1.0, "energy": 2.0}, "ridge must be finite and >= 0; got -1"),
    ("rsc", {"energy": 0.0, "level": 2.0}, "energy must be in (0, 1); got 0"),
    ("rsc", {"level": 1.0, "rank": 0}, "level must be in (0, 1); got 1"),
    ("rsc", {"rank": 0}, "rank must be >= 1; got 0"),
])
def test_check_order_and_messages(fit: str, kwargs: dict, message: str) -> None:
    assert value_error(SC_FITS[fit], Y, [0], 4, **kwargs) == message


def test_level_shift_is_absorbed(panel: np.ndarray) -> None:
    # Treated = donor 5 + 4 throughout, + 1.5 more after t0: the demeaned fit
    # and SDID (unregularised) both recover exactly the 1.5.
    y = panel.copy()
    y[0] = y[5] + 4.0 + 1.5 * (np.arange(30) >= 20)
    for r in (quintara.fit_fp(y, [0], 20), quintara.fit_sdid(y, [0], 20, zeta_scale=0.0)):
        assert r.weights[r.donor_ids.index(5)] > 0.999 and r.pre_rmspe < 1e-6
        np.testing.assert_allclose(r.att_path, 1.5, atol=1e-6)
    assert quintara.fit_sdid(y, [0], 20, zeta_scale=0.0).post_rmspe < 1e-6  # spread, not RMS


def test_reductions_to_synthetic_control(panel: np.ndarray) -> None:
    y = panel[:2]
    np.testing.assert_allclose(quintara.fit_fp(y, [0], 20).counterfactual,
                               y[0, :20].mean() + y[1, 20:] - y[1, :20].mean(), atol=1e-12)
    # Without donor spread the default augmentation penalty is 0 and ASC is
    # synthetic control (no singular system may be factored).
    for y in (panel[:2], panel[[0, 1, 1]]):
        a, s = quintara.fit_asc(y, [0], 20, sc_ridge=0.3), quintara.fit_sc(y, [0], 20, ridge=0.3)
        assert (a.counterfactual, a.att, a.pre_rmspe) == (s.counterfactual, s.att, s.pre_rmspe)
    y = panel - panel[:, :20].mean(axis=1, keepdims=True)  # FP demeans nothing here
    assert quintara.fit_fp(y, [0], 20).att == pytest.approx(quintara.fit_sc(y, [0], 20).att,
                                                            abs=1e-9)


@pytest.mark.parametrize("aug_lambda", [None, 3.0])
def test_asc_against_numpy(panel: np.ndarray, aug_lambda: float | None) -> None:
    # NumPy 2.4 evaluation of the ridge augmentation from the returned SC weights.
    t0, kw = 20, {"sc_ridge": 0.1, "max_weight": 0.5}
    r = quintara.fit_asc(panel, [0, 1], t0, aug_lambda=aug_lambda, **kw)
    x_pre, x_post = panel[2:, :t0].T, panel[2:, t0:].T
    y, w = panel[:2].mean(axis=0), np.array(r.weights)
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


def test_jackknife_against_numpy_at_one_pre_period(panel: np.ndarray) -> None:
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
    assert (r.pre_rmspe, r.p_value, r.placebo_atts) == (0.0, None, None)
    assert r.se == pytest.approx(np.sqrt((len(tau) - 1) * tau.var()), rel=1e-12)
    # Acklam's approximation at 0.975, to its documented accuracy.
    assert r.ci_upper - r.att == pytest.approx(1.959964 * r.se, rel=1e-6)
    assert r.att - r.ci_lower == pytest.approx(r.ci_upper - r.att, rel=1e-12)
    # A level one ulp below 1 still has a positive tail probability.
    wide = quintara.fit_sdid(panel, [3, 0], 1, inference="jackknife", level=1 - 1.1e-16)
    assert wide.ci_upper - wide.att == pytest.approx(8.29 * r.se, rel=1e-3)


def test_jackknife_is_undefined_when_a_control_has_all_weight(panel: np.ndarray) -> None:
    y = panel.copy()
    y[0], y[1] = y[5] + 2.0, y[5] + 3.0  # exact fit by control 5 alone
    r = quintara.fit_sdid(y, [0, 1], 20, zeta_scale=0.0, inference="jackknife")
    assert max(r.weights) >= 1 - 1e-12  # one, up to the solver's rounding
    # That control has no replicate; the others alone would give se ~ 0.
    assert len(r.inference_distribution) == 2 + (len(r.donor_ids) - 1)
    assert np.isnan([r.se, r.ci_lower, r.ci_upper]).all()
    assert r.inference_method.endswith("undefined, as one control holds all the unit weight "
                                       "and cannot be left out")
    units = [f"u{i}" for i in range(len(y))]
    s = quintara.synth(quintara.Panel(y, units, range(y.shape[1])), treated=units[:2], start=20,
                       method="sdid", zeta_scale=0.0, inference="jackknife")
    assert "undefined" in s.summary() and "empty" not in s.summary()
    assert "undefined" in str(quintara.table(s))


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**16), shift=st.floats(-1e3, 1e3), perm=st.permutations(range(9)))
def test_common_shift_and_donor_order(seed: int, shift: float, perm: list[int]) -> None:
    # Donor order only permutes the weights; FP and SDID also ignore a common shift.
    y = factor_panel(10, 24, seed=seed)
    for fit in (quintara.fit_sc, quintara.fit_fp, quintara.fit_asc, quintara.fit_sdid):
        a = fit(y, [0], 16)
        variants = [(np.vstack([y[:1], y[1:][perm]]), perm)]
        if fit in (quintara.fit_fp, quintara.fit_sdid):
            variants.append((y + shift, list(range(9))))
        for moved, order in variants:
            b = fit(moved, [0], 16)
            np.testing.assert_allclose(b.weights, np.array(a.weights)[order], atol=1e-6)
            assert b.att == pytest.approx(a.att, abs=1e-8)
