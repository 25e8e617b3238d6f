"""geo_power_ensemble: the weights, the curve against geo_power, the checks."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quintara
from conftest import cycle_markets

TREATED = [1, 4]
TEST_LEN = 3
LIFTS = [0.0, 0.05, 0.2]


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return cycle_markets(10, 24, seed=23)  # 24 weeks, a weekly cycle


def fields(r: quintara.PowerResult) -> tuple:
    return (r.lifts, r.power, r.est_mean, r.est_lo, r.est_hi, r.mde_pct, r.mde_abs_per_period,
            r.mde_cumulative, r.crit, r.se_null, r.n_windows)


def test_one_member_is_that_methods_curve(y: np.ndarray) -> None:
    single = quintara.geo_power(y, TREATED, TEST_LEN, LIFTS, method="sdid", max_weight=0.5)
    ens = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, members=["sdid"],
                                      max_weight=0.5)
    assert fields(ens) == fields(single)
    assert (ens.method, ens.ensemble_weights) == ("ENSEMBLE", [1.0])
    assert single.ensemble_weights is None
    # Names are case-blind, and a repeated name is a member of its own.
    twice = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, members=["SDID", "sdid"],
                                        weights=[3.0, 1.0], max_weight=0.5)
    assert twice.ensemble_weights == [0.75, 0.25]
    assert twice.power == single.power and twice.crit == pytest.approx(single.crit, rel=1e-15)


@pytest.mark.parametrize(("alternative", "lifts"),
                         [("greater", LIFTS), ("less", [0.0, -0.05, -0.2])])
def test_a_one_sided_ensemble_tests_the_blend(y: np.ndarray, alternative: str,
                                              lifts: list[float]) -> None:
    # One member is that method's one-sided curve, and so is the blend of a
    # method with itself, whatever the weights.
    for members, weights in ((["sc"], None), (["sc", "sc"], [2.0, 1.0])):
        ens = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, lifts, members=members,
                                          weights=weights, alternative=alternative)
        single = quintara.geo_power(y, TREATED, TEST_LEN, lifts, method="sc",
                                    alternative=alternative)
        assert ens.crit == pytest.approx(single.crit, rel=1e-12)
        assert ens.power == single.power
    two_sided = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, members=["sc", "sdid"])
    one_sided = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, lifts, members=["sc", "sdid"],
                                            alternative=alternative)
    assert one_sided.crit != two_sided.crit


def test_default_members_are_sc_asc_sdid(y: np.ndarray) -> None:
    # The inverse-variance rule itself is pinned with the compiled ensemble.
    default = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, lookback=12)
    explicit = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, lookback=12,
                                           members=["sc", "asc", "sdid"])
    assert fields(default) == fields(explicit)
    assert len(set(default.ensemble_weights)) == 3


class TestChecks:
    def test_checks_run_in_order(self, y: np.ndarray) -> None:
        bad_y = y.copy()
        bad_y[2, 3] = np.inf
        args = {"y": bad_y, "treated": TREATED, "test_len": TEST_LEN, "lifts": [0.1],
                "members": [], "weights": [0.0, 0.0], "max_weight": 0.1}
        # Each fix uncovers the next check's failure; the checks shared with
        # geo_power (data, window, lifts, levels) are pinned there, in their order.
        steps = [
            ("members", ["sc", "bogus"], "members must name at least one estimator"),
            ("members", ["sc", "asc", "SDID"], "unknown method 'bogus'"),
            ("weights", [0.0, -1.0, 0.0],
             "weights must have one entry per ensemble member (2 given, 3 members)"),
            ("weights", [0.0, -0.0, 0.0], "weights must be finite and non-negative"),
            ("weights", [-0.0, 1.0, 0.0], "weights must sum to > 0"),
            ("y", y, "y contains NaN or inf"),
            ("max_weight", 1.0, "max_weight=0.1 is infeasible with 8 donors"),
        ]
        for key, fix, message in steps:
            with pytest.raises(ValueError) as err:
                quintara.geo_power_ensemble(**args)
            assert str(err.value).startswith(message), key
            args[key] = fix
        assert quintara.geo_power_ensemble(**args).ensemble_weights[1:] == [1.0, 0.0]
        for bad in ([1.0, math.nan, 1.0], [math.inf, 0.0, 0.0]):
            with pytest.raises(ValueError, match="^weights must be finite and non-negative$"):
                quintara.geo_power_ensemble(**{**args, "weights": bad})
        with pytest.raises(TypeError, match="^argument 'members': "):
            quintara.geo_power_ensemble(**{**args, "members": "sdid"})
