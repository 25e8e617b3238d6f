"""geo_power_ensemble: the weights, the curve against geo_power, the checks."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quintara

TREATED = [1, 4]
TEST_LEN = 3
LIFTS = [0.0, 0.05, 0.2]


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    """Ten markets over 24 weeks: own levels, a shared weekly cycle, noise."""
    rng = np.random.default_rng(23)
    t = np.arange(24)
    return (rng.uniform(20, 40, (10, 1)) + rng.uniform(1, 3, (10, 1)) * np.sin(2 * np.pi * t / 7)
            + rng.normal(0, 0.5, (10, 24)))


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


def test_inverse_variance_weights_from_each_members_null_spread(y: np.ndarray) -> None:
    members = ["sc", "fp", "rsc", "asc"]
    ens = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, members=members, lookback=12)
    var = np.array([quintara.geo_power(y, TREATED, TEST_LEN, [0.0], method=m,
                                       lookback=12).se_null ** 2 for m in members])
    raw = 1.0 / (var + var.mean() * 1e-6 + np.finfo(float).tiny)
    np.testing.assert_allclose(ens.ensemble_weights, raw / raw.sum(), rtol=1e-12)
    assert len(set(ens.ensemble_weights)) == 4  # the spreads differ, so do the weights

    # None for both: SC, ASC, SDID with inverse-variance weights.
    default = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, lookback=12)
    explicit = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, LIFTS, lookback=12,
                                           members=["sc", "asc", "sdid"])
    assert fields(default) == fields(explicit)


def test_every_member_flat_gives_equal_weights(y: np.ndarray) -> None:
    # One window: no member has a spread; four members overflow the raw sum.
    r = quintara.geo_power_ensemble(y, TREATED, TEST_LEN, [0.0, 0.1], lookback=1,
                                    members=["sc", "asc", "sdid", "fp"])
    assert (r.n_windows, r.se_null) == (1, 0.0)
    assert r.ensemble_weights == [0.25] * 4


class TestChecks:
    def test_checks_run_in_order(self, y: np.ndarray) -> None:
        bad_y = y.copy()
        bad_y[2, 3] = np.inf
        args = {"y": bad_y, "treated": [10], "test_len": 0, "lifts": [-0.1], "alpha": 0.0,
                "target_power": 1.5, "members": [], "weights": [0.0, 0.0],
                "max_weight": 0.1}
        # Each fix uncovers the next check's failure.
        steps = [
            ("members", ["sc", "bogus"], "members must name at least one estimator"),
            ("members", ["sc", "asc", "SDID"], "unknown method 'bogus'"),
            ("weights", [0.0, -1.0, 0.0],
             "weights must have one entry per ensemble member (2 given, 3 members)"),
            ("weights", [0.0, -0.0, 0.0], "weights must be finite and non-negative"),
            ("weights", [-0.0, 1.0, 0.0], "weights must sum to > 0"),
            ("y", y, "y contains NaN or inf"),
            ("treated", TREATED, "treated unit index 10 out of range"),
            ("test_len", TEST_LEN, "test_len must be in [1, 24)"),
            ("lifts", [0.1], "lifts must be finite and >= 0"),
            ("alpha", 0.1, "alpha must be in (0, 1)"),
            ("target_power", 0.8, "target_power must be in (0, 1)"),
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
