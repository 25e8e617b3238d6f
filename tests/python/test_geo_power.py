"""geo_power: the entry's checks, and the curve against single fits refitted
on y[:, :t0 + test_len] per placebo window, summarised in plain Python in the
curve's own order (left-to-right sums, the interpolated quantile): exact."""

from __future__ import annotations

import functools
import math
import operator

import numpy as np
import pytest

import quintara
from conftest import cycle_markets

TREATED = [1, 4]
TEST_LEN = 3
ALPHA = 0.2
BOUNDS = {"min_weight": 0.05, "max_weight": 0.14}


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return cycle_markets(10, 20, seed=11)  # 20 weeks, a weekly cycle


# Each method's single fit with the options the geo design fixes.
SINGLE_FITS = {
    "sc": lambda y, t0: quintara.fit_sc(y, TREATED, t0, **BOUNDS),
    "asc": lambda y, t0: quintara.fit_asc(y, TREATED, t0, **BOUNDS),
    "sdid": lambda y, t0: quintara.fit_sdid(y, TREATED, t0, zeta_scale=1.0, **BOUNDS),
    "fp": lambda y, t0: quintara.fit_fp(y, TREATED, t0, **BOUNDS),
    "rsc": lambda y, t0: quintara.fit_rsc(y, TREATED, t0),
}


def lsum(values: list[float]) -> float:
    return functools.reduce(operator.add, values, 0.0)


def quantile(values: list[float], q: float) -> float:
    s, h = sorted(values), q * (len(values) - 1)
    f = h - math.floor(h)
    return (1.0 - f) * s[math.floor(h)] + f * s[math.ceil(h)]


def window_atts(y: np.ndarray, method: str, lift: float) -> list[float]:
    out = []
    for t0 in range(max(TEST_LEN, 2), y.shape[1] - TEST_LEN + 1):
        sub = y[:, :t0 + TEST_LEN].copy()
        sub[TREATED, t0:] *= 1.0 + lift
        out.append(SINGLE_FITS[method](sub, t0).att)
    return out


@pytest.mark.parametrize("method", list(SINGLE_FITS))
def test_curve_equals_the_single_fit_oracle(y: np.ndarray, method: str) -> None:
    r = quintara.geo_power(y, TREATED, TEST_LEN, [0.0, 0.1], method=method, alpha=ALPHA,
                           **BOUNDS)
    null, n = window_atts(y, method, 0.0), r.n_windows
    assert n == len(null) == 15
    crit = quantile([abs(a) for a in null], 1.0 - ALPHA)
    mean = lsum(null) / n
    se_null = math.sqrt(lsum([(a - mean) ** 2 for a in null]) / (n - 1))
    assert (r.crit, r.se_null) == (crit, se_null)

    level = lsum([lsum(list(y[i])) / y.shape[1] for i in TREATED]) / len(TREATED)
    for k, atts in enumerate([null, window_atts(y, method, 0.1)]):
        est = [a / level for a in atts]
        assert (r.power[k], r.est_mean[k]) == (sum(abs(a) > crit for a in atts) / n, lsum(est) / n)
        assert (r.est_lo[k], r.est_hi[k]) == (quantile(est, ALPHA / 2),
                                              quantile(est, 1 - ALPHA / 2))
    assert 0.0 < r.power[0] < r.power[1]  # the null's own tail, then detections


@pytest.mark.parametrize("alternative", ["greater", "less"])
def test_one_sided_curves_and_the_in_time_test_match_the_oracle(y: np.ndarray,
                                                                 alternative: str) -> None:
    sign = 1.0 if alternative == "greater" else -1.0
    lift = 0.1 * sign
    r = quintara.geo_power(y, TREATED, TEST_LEN, [0.0, lift], method="sc", alpha=ALPHA,
                           alternative=alternative, **BOUNDS)
    null = window_atts(y, "sc", 0.0)
    crit = quantile(null, 1.0 - ALPHA if sign > 0 else ALPHA)
    assert r.crit == crit
    for k, atts in enumerate([null, window_atts(y, "sc", lift)]):
        assert r.power[k] == sum(sign * (a - crit) > 0 for a in atts) / len(atts)
    assert r.power[0] <= ALPHA < r.power[1]
    # The analysis of a finished test: the fit at the real split against the
    # windows of its post-period's length inside the pre-period, one-sided.
    t0 = 16
    test = quintara.geo_test(y, TREATED, t0, method="sc", alpha=ALPHA, alternative=alternative,
                             **BOUNDS)
    windows = test.inference_distribution
    c = quantile(windows, 1.0 - ALPHA if sign > 0 else ALPHA)
    att = test.att
    below = sorted(sign * a for a in windows)
    if not sign * att > below[0]:
        p = 1.0
    elif sign * att > below[-1]:
        p = 0.0
    else:
        k = max(i for i, v in enumerate(below) if v < sign * att)
        p = 1.0 - (k + (sign * att - below[k]) / (below[k + 1] - below[k])) / (len(below) - 1)
    assert test.p_value == pytest.approx(p, abs=1e-15)
    ends = (test.test_ci_lower, test.test_ci_upper)
    assert ends == ((att - c, math.inf) if sign > 0 else (-math.inf, att - c))
    for bad in (0.1, -1.0):
        with pytest.raises(ValueError, match=r"^lifts must be finite and in \(-1, 0\] for "
                           rf"alternative='less' \(a decrease of less than 100%\); got {bad:g}$"):
            quintara.geo_power(y, TREATED, TEST_LEN, [bad], alternative="less")


def test_lookback_minus_zero_mde_and_record_fields(y: np.ndarray) -> None:
    # Nine windows; the two largest |ATT| are above h = 0.8 * 8 = 6.4. A lift of -0 is 0.
    r = quintara.geo_power(y, TREATED, TEST_LEN, [0.0, -0.0], method="sc", alpha=ALPHA,
                           lookback=9)
    assert (r.n_windows, r.power, r.est_mean[0]) == (9, [2 / 9, 2 / 9], r.est_mean[1])

    r = quintara.geo_power(y, TREATED, TEST_LEN, [0.0, 0.02, 0.5], method="dsc")
    assert (r.method, r.ensemble_weights, r.lifts) == ("FP", None, [0.0, 0.02, 0.5])
    assert r.mde_cumulative == pytest.approx(TEST_LEN * len(TREATED) * r.mde_abs_per_period)
    none = quintara.geo_power(y, TREATED, TEST_LEN, [0.0], target_power=0.99)
    assert (none.mde_pct, none.mde_abs_per_period, none.mde_cumulative) == (None, None, None)
    assert none.method == "SDID"


def test_checks_run_in_order(y: np.ndarray) -> None:
    bad_y = y.copy()
    bad_y[4, 4] = np.nan
    args = {"y": bad_y, "treated": [], "test_len": 0, "lifts": [0.1, -0.05],
            "method": "Bogus", "alpha": 1.0, "target_power": 0.0, "min_weight": 2.0}
    # Each fix uncovers the next check's failure.
    steps = [
        ("method", "sc", "unknown method 'Bogus'"),
        ("y", y, "y contains NaN or inf"),
        ("treated", TREATED, "`treated` must list at least one treated unit index"),
        ("test_len", TEST_LEN, "test_len must be in [1, 20)"),
        ("lifts", [0.1, -0.0], "lifts must be finite and >= 0 (detection is two-sided on "
                               "|ATT|, so a negative lift is equivalent to its magnitude); "
                               "got -0.05"),
        ("alpha", 0.1, "alpha must be in (0, 1); got 1"),
        ("target_power", 0.8, "target_power must be in (0, 1); got 0"),
        ("min_weight", 0.0, "min_weight must be in [0, 1]; got 2"),
    ]
    for key, fix, message in steps:
        with pytest.raises(ValueError) as err:
            quintara.geo_power(**args)
        assert str(err.value).startswith(message), key
        args[key] = fix
    assert quintara.geo_power(**args).lifts == [0.1, -0.0]
    for kwargs, pattern in [({"lifts": [0.1, math.nan]}, "; got NaN$"),
                            ({"lifts": [-math.inf]}, "; got -inf$"),
                            ({"alpha": 0.0}, r"^alpha must be in \(0, 1\); got 0$"),
                            ({"min_pre": 18}, "^test_len=3 with a 18-period pre-window")]:
        with pytest.raises(ValueError, match=pattern):
            quintara.geo_power(**{**args, **kwargs})


def test_the_labelled_verbs_read_lifts_by_size_and_name_bad_counts(y: np.ndarray) -> None:
    panel = quintara.Panel(y, [f"m{i}" for i in range(10)], list(range(20)))
    common = {"treated": ["m1", "m4"], "test_len": TEST_LEN, "method": "sc", "alpha": ALPHA}
    # The curve crosses the target power between 0.05 and 0.1: in the order
    # given the crossing would be read off another pair of lifts.
    given = quintara.power(panel, lifts=[0.1, 0.0, 0.05, 0.02], target_power=0.5, **common)
    by_size = quintara.power(panel, lifts=[0.0, 0.02, 0.05, 0.1], target_power=0.5, **common)
    assert given.mde == by_size.mde and given.curve.equals(by_size.curve)
    # One window is no null distribution; a count below zero is named, not an
    # unsigned conversion's OverflowError.
    with pytest.raises(ValueError, match=r"^lookback must be >= 1 \(the historical windows "
                                         r"kept\); got 0$"):
        quintara.power(panel, lifts=[0.0], lookback=0, **common)
    with pytest.raises(ValueError, match=r"^lookback must be >= 1"):
        quintara.select_markets(panel, max_treated=1, test_len=TEST_LEN, target_lift=0.1,
                                lookback=0, method="sc")
    for call, name in (
        (lambda: quintara.power(panel, lifts=[0.0], **{**common, "test_len": -3}), "test_len"),
        (lambda: quintara.select_markets(panel, max_treated=1, test_len=TEST_LEN,
                                         target_lift=0.1, n_candidates=-2), "n_candidates"),
        (lambda: quintara.diagnose(panel, treated=["m1"], test_len=-1), "test_len"),
    ):
        with pytest.raises(ValueError, match=rf"^{name} must be a non-negative integer below "
                                             r"2\*\*64; got -\d$"):
            call()


def test_power_takes_the_ensemble_by_name_and_lists_not_scalars(y: np.ndarray) -> None:
    panel = quintara.Panel(y, [f"m{i}" for i in range(10)], list(range(20)))
    common = {"treated": ["m1", "m4"], "test_len": TEST_LEN, "lookback": 6}
    lifts = [0.0, 0.05]
    # Members run the ensemble, whether named so or not.
    named = quintara.power(panel, lifts=lifts, method="ensemble", members=["sc", "asc"], **common)
    plain = quintara.power(panel, lifts=lifts, members=["sc", "asc"], **common)
    assert named.entry == plain.entry == "geo_power_ensemble"
    assert named.curve.equals(plain.curve)
    for kw, error, message in [
        # Another method with members would be dropped unsaid, the default's name too.
        ({"method": "rsc", "members": ["sc", "asc"]}, ValueError,
         r"^method='rsc' and members= disagree: members runs the ensemble; pass "
         r"method='ensemble' or leave method out$"),
        ({"method": "sdid", "members": ["sc"]}, ValueError, r"^method='sdid' and members= "),
        # One text or number would be read item by item.
        ({"members": "sc"}, TypeError,
         r"^members must be a list of method names, such as \['sc', 'asc'\]; got str 'sc'$"),
        ({"lifts": 0.05}, TypeError,
         r"^lifts must be a list of lifts, such as \[0.0, 0.05\]; got float$"),
    ]:
        with pytest.raises(error, match=message):
            quintara.power(panel, **{"lifts": lifts, **common, **kw})
