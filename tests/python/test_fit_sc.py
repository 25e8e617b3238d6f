"""fit_sc: fit behaviours and the result object."""

from __future__ import annotations

import numpy as np
import pytest

import quintara


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

    def test_result_fields_are_consistent(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [3], 18)
        post = panel[3, 18:]
        assert r.treated_post == list(post)
        np.testing.assert_allclose(r.att_path, post - np.array(r.counterfactual), rtol=0, atol=0)
        assert r.att == pytest.approx(np.mean(r.att_path), rel=1e-15)
        assert r.donor_ids == [i for i in range(panel.shape[0]) if i != 3]
        assert all(getattr(r, k) is None for k in (
            "p_value", "se", "ci_lower", "ci_upper", "inference_distribution", "placebo_atts",
            "placebo_ids", "placebo_gaps"))

class TestResultObject:
    def test_read_only_fresh_lists(self, panel: np.ndarray) -> None:
        r = quintara.fit_sc(panel, [0], 20)
        with pytest.raises(AttributeError):
            r.att = 0.0  # type: ignore[misc]
        w1, w2 = r.weights, r.weights
        assert w1 == w2 and w1 is not w2
        w1.append(9.0)
        assert r.weights == w2
