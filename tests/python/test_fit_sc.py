"""fit_sc: check order and messages, fit behaviours, result objects."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quintara
from conftest import factor_panel


def value_error(*args: object, **kwargs: object) -> str:
    with pytest.raises(ValueError) as exc:
        quintara.fit_sc(*args, **kwargs)  # type: ignore[arg-type]
    return str(exc.value)


class TestValidation:
    def test_panel_messages(self) -> None:
        assert value_error(np.zeros((0, 5)), [0], 1) == (
            "y must be a non-empty N×T panel; got shape (0, 5)")
        y = factor_panel(4, 6)
        y[3, 5] = np.nan
        assert value_error(y, [0], 2) == (
            "y contains NaN or inf; quintara requires a complete, finite panel")

    def test_treated_messages(self) -> None:
        y = factor_panel(3, 6)
        assert value_error(y, [], 2) == "`treated` must list at least one treated unit index"
        assert value_error(y, [5, 5], 2) == "treated unit index 5 out of range [0, 3)"
        assert value_error(y, [0, 0], 2) == "treated unit index 0 listed more than once"
        assert value_error(y, [0, 1, 2], 2) == (
            "every unit is treated; need at least one never-treated unit as a donor/control")

    @pytest.mark.parametrize("t0", [0, 6, 60])
    def test_treat_time_bounds(self, t0: int) -> None:
        assert value_error(factor_panel(3, 6), [0], t0) == (
            f"treat_time {t0} must be in [1, 6) so there is at least one pre- and one "
            "post-period")

    def test_scalar_messages_in_check_order(self) -> None:
        y = factor_panel(5, 8)
        assert value_error(y, [0], 4, ridge=-1.0, penalty=-1.0) == (
            "ridge must be finite and >= 0; got -1")
        assert value_error(y, [0], 4, penalty=math.inf) == (
            "penalty must be finite and >= 0; got inf")
        for level, shown in [(1.0, "1"), (0.0, "0"), (math.nan, "NaN")]:
            # The level is checked even without a placebo test.
            assert value_error(y, [0], 4, level=level) == f"level must be in (0, 1); got {shown}"
        assert value_error(y, [0], 4, level=2.0, min_weight=-1.0) == (
            "level must be in (0, 1); got 2")

    def test_weight_bound_messages(self) -> None:
        y = factor_panel(4, 8)  # three donors
        assert value_error(y, [0], 4, min_weight=0.5) == (
            "min_weight=0.5 is infeasible with 3 donors: every donor at that floor would need "
            "total weight 1.5000 > 1. Use min_weight <= 0.3333 (= 1/3).")
        assert value_error(factor_panel(5, 8), [0], 4, max_weight=0.2) == (
            "max_weight=0.2 is infeasible with 4 donors: capping every donor there allows "
            "total weight 0.8000 < 1. Use max_weight >= 0.2500 (= 1/4).")
        assert value_error(y, [0], 4, min_weight=0.4, max_weight=0.3) == (
            "min_weight (0.4) must not exceed max_weight (0.3)")
        quintara.fit_sc(y, [0], 4, min_weight=1 / 3)  # the exact boundary is feasible

    def test_negative_zero_ridge_is_accepted(self) -> None:
        quintara.fit_sc(factor_panel(4, 8), [0], 4, ridge=-0.0)


class TestFit:
    def test_two_treated_units_fit_as_their_mean(self, panel: np.ndarray) -> None:
        two = quintara.fit_sc(panel, [0, 1], 20)
        merged = np.vstack([(panel[0] + panel[1]) / 2, panel[2:]])
        one = quintara.fit_sc(merged, [0], 20)
        assert two.donor_ids == [d + 1 for d in one.donor_ids]
        np.testing.assert_allclose(two.weights, one.weights, atol=1e-9)
        np.testing.assert_allclose(two.att, one.att, atol=1e-9)

    def test_one_donor_gets_all_weight(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel[:2], [0], 20)
        assert r.weights == [1.0] and r.donor_ids == [1]
        assert r.counterfactual == list(panel[1, 20:])

    def test_last_period_treatment(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [0], panel.shape[1] - 1)
        assert len(r.att_path) == 1
        assert r.att == r.att_path[0] and r.post_rmspe == abs(r.att)

    def test_exact_pre_fit_concentrates_on_the_matching_donor(self, panel: np.ndarray) -> None:
        y = panel.copy()
        y[0, :20] = y[5, :20]
        y[0, 20:] = y[5, 20:] + 3.0
        r = quintara.fit_sc(y, [0], 20)
        assert r.pre_rmspe < 1e-4
        assert r.weights[r.donor_ids.index(5)] > 0.999
        np.testing.assert_allclose(r.att_path, 3.0, atol=1e-3)

    def test_bounds_at_one_over_j_force_equal_weights(self, panel: np.ndarray) -> None:
        j = panel.shape[0] - 1
        for kw in ({"min_weight": 1 / j}, {"max_weight": 1 / j}):
            r = quintara.fit_sc(panel, [0], 20, **kw)
            np.testing.assert_allclose(r.weights, 1 / j, atol=1e-12)

    def test_bounds_are_respected(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [0], 20, min_weight=0.02, max_weight=0.3)
        w = np.array(r.weights)
        assert w.min() >= 0.02 - 1e-12 and w.max() <= 0.3 + 1e-12
        assert abs(w.sum() - 1) < 1e-9

    def test_penalty_prefers_close_donors(self) -> None:
        # Treated path is the average of two far donors; a third donor sits
        # close to it. Without penalty the far pair fits exactly; a large
        # pairwise-discrepancy penalty moves weight to the close donor.
        t = np.arange(12.0)
        far_a, far_b = 10 + t, 10 - t
        close = 10 + 0.3 * np.sin(t)
        y = np.vstack([(far_a + far_b) / 2, far_a, far_b, close])
        plain = quintara.fit_sc(y, [0], 8)
        pen = quintara.fit_sc(y, [0], 8, penalty=10.0)
        assert plain.weights[2] < 0.2 < pen.weights[2]

    def test_result_fields_are_consistent(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [3], 18)
        post = panel[3, 18:]
        assert r.treated_post == list(post)
        np.testing.assert_allclose(r.att_path, post - np.array(r.counterfactual), rtol=0, atol=0)
        assert r.att == pytest.approx(np.mean(r.att_path), rel=1e-15)
        assert r.donor_ids == [i for i in range(panel.shape[0]) if i != 3]
        assert all(getattr(r, k) is None for k in (
            "p_value", "se", "ci_lower", "ci_upper", "inference_distribution", "placebo_atts"))

    def test_results_are_bit_reproducible(self, panel: np.ndarray) -> None:
        a = quintara.fit_sc(panel, [0, 4], 20, ridge=0.1, penalty=0.05, max_weight=0.5)
        b = quintara.fit_sc(panel.copy(), [0, 4], 20, ridge=0.1, penalty=0.05, max_weight=0.5)
        assert (a.weights, a.att_path, a.pre_rmspe) == (b.weights, b.att_path, b.pre_rmspe)


class TestResultObject:
    def test_read_only_fresh_lists(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [0], 20)
        with pytest.raises(AttributeError):
            r.att = 0.0  # type: ignore[misc]
        w1, w2 = r.weights, r.weights
        assert w1 == w2 and w1 is not w2
        w1.append(9.0)
        assert r.weights == w2

    def test_repr(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [0], 20)
        assert repr(r) == (f"SCResult(att={r.att:.6f}, pre_rmspe={r.pre_rmspe:.4f}, "
                           f"post_rmspe={r.post_rmspe:.4f}, n_donors={len(r.donor_ids)})")
        p = quintara.fit_sc(panel, [0], 20, placebo=True)
        assert f", p={p.p_value:.4f}," in repr(p)
