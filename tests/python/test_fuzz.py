"""Every entry, fed arbitrary well-typed or ill-typed input, either returns a
result or raises TypeError, ValueError, OverflowError or MemoryError with a
message that says what was wrong; never PanicException, never a hang.

Panels run from 1x2 to 300x3 and hold random, constant, tied or duplicated
values from 1e-300 to 1e150 (beyond that, sums of squares overflow until the
fits normalise the outcome's scale). The budget is small: a few hundred calls
in all. Every run draws the same examples (derandomized), so a failure seen
once is seen again, with the blob that replays it printed.
"""

from __future__ import annotations

import inspect
import math
import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quintara

SETTINGS = settings(max_examples=20, deadline=None, database=None, derandomize=True,
                    print_blob=True, suppress_health_check=list(HealthCheck))

FLOATS = st.one_of(st.sampled_from([0.0, -0.0, 5e-324, 1e-300, 0.05, 0.5, 0.95, 1.0, 7.0,
                                    1e12, 1e300, -1.0, math.nan, math.inf]),
                   st.floats(0.0, 2.0))
LEVELS = st.one_of(st.sampled_from([0.5, 0.9, 1 - 1.1e-16, 1e-300, 0.0, 1.0]),
                   st.floats(0.01, 0.99))
# Small counts, and counts no container can hold (never one that merely
# takes long: 2**30 replicates would run for minutes, by design).
COUNTS = st.one_of(st.integers(0, 6), st.sampled_from([2**61, 2**63 - 1, 2**64 - 1, 2**64, -1]))


@st.composite
def panels(draw: st.DrawFn) -> np.ndarray:
    n = draw(st.integers(1, 4) | st.integers(1, 300))  # often a single donor
    t = draw(st.integers(2, max(2, min(30, 600 // n))))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    scale = 10.0 ** draw(st.integers(-300, 150))
    kind = draw(st.sampled_from(["random", "walk", "constant", "ties", "duplicated"]))
    if kind == "constant":
        y = np.full((n, t), scale)
    elif kind == "ties":
        y = rng.integers(-1, 2, (n, t)) * scale
    else:
        y = rng.normal(size=(n, t)) * scale
        if kind == "walk":
            y = (np.cumsum(y, axis=1) + 10 * scale) / t
        if kind == "duplicated":
            y[rng.integers(0, n, n // 2 + 1)] = y[0]
    return y


def indices(draw: st.DrawFn, n: int, max_size: int = 4) -> list[int]:
    # Mostly in range and distinct; sometimes repeated or out of range.
    return draw(st.lists(st.integers(0, n), min_size=0, max_size=max_size))


def cohorts(draw: st.DrawFn, n: int, t: int) -> list[int]:
    return draw(st.lists(st.integers(-1, t), min_size=n, max_size=n) | st.just([0] * n))


def block(draw: st.DrawFn, y: np.ndarray) -> tuple[np.ndarray, list[int], int]:
    n, t = y.shape
    return y, indices(draw, n), draw(st.integers(0, t) | COUNTS)


def weight_bounds(draw: st.DrawFn) -> dict[str, float]:
    return draw(st.sampled_from([{}, {"min_weight": 0.1}, {"max_weight": 0.5},
                                 {"min_weight": 0.2, "max_weight": 0.2}]))


def sc_family(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    method = name.removeprefix("fit_")
    kwargs: dict[str, Any] = {"level": draw(LEVELS)}
    if method == "sc":
        kwargs |= {"ridge": draw(FLOATS), "penalty": draw(FLOATS), "placebo": draw(st.booleans())}
    elif method == "asc":
        kwargs |= {"sc_ridge": draw(FLOATS), "aug_lambda": draw(st.none() | FLOATS),
                   "placebo": draw(st.booleans())}
    elif method == "sdid":
        kwargs |= {"zeta_scale": draw(FLOATS),
                   "inference": draw(st.sampled_from(["none", "placebo", "jackknife"]))}
    elif method == "fp":
        kwargs |= {"ridge": draw(FLOATS), "placebo": draw(st.booleans())}
    else:
        kwargs |= {"rank": draw(st.none() | COUNTS), "energy": draw(LEVELS),
                   "ridge": draw(FLOATS), "placebo": draw(st.booleans())}
    if method != "rsc":
        kwargs |= weight_bounds(draw)
    return getattr(quintara, name), block(draw, y), kwargs


def augmented(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    kwargs: dict[str, Any] = {"sc_ridge": draw(FLOATS), "aug_lambda": draw(st.none() | FLOATS)}
    if name == "fit_cpasc":
        kwargs |= {"mode": draw(st.sampled_from(["mspe", "stratified", "cumulative", "x"])),
                   "n_strata": draw(COUNTS), "block_len": draw(st.none() | COUNTS)}
    return getattr(quintara, name), block(draw, y), kwargs


def mcnnm(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    # Iteration counts stay small: a rank-capped fit may never meet tol and
    # then runs its whole budget, which is real work.
    return quintara.fit_mcnnm, block(draw, y), {
        "lambda_": draw(st.none() | FLOATS), "tol": draw(FLOATS),
        "max_iter": draw(st.integers(0, 50) | st.sampled_from([-1, 2**64])),
        "seed": draw(COUNTS), "max_rank": draw(st.none() | COUNTS)}


def fit_many(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    y3 = np.stack([y, y[::-1]]) if draw(st.booleans()) else y[None, :, :]
    _, treated, t0 = block(draw, y)
    return quintara.fit_many, (y3, treated, t0), {
        "method": draw(st.sampled_from(["sc", "asc", "sdid", "fp", "rsc", "SC", "x"])),
        "ridge": draw(FLOATS), "zeta_scale": draw(FLOATS), **weight_bounds(draw)}


def bootstrap(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    return quintara.bootstrap_mean, (list(y[0]),), {
        "kind": draw(st.sampled_from(["block", "stationary", "Block"])),
        "block_len": draw(COUNTS), "n_reps": draw(st.integers(1, 50) | COUNTS),
        "seed": draw(COUNTS), "level": draw(LEVELS)}


def staggered(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    return getattr(quintara, name), (y, cohorts(draw, *y.shape)), {}


def callaway(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    n = y.shape[0]
    covariates = draw(st.sampled_from([None, "own", "short"]))
    kwargs: dict[str, Any] = {
        "control": draw(st.sampled_from(["never", "notyet", "all"])),
        "anticipation": draw(COUNTS), "bands": draw(st.booleans()),
        "n_reps": draw(st.integers(1, 30) | COUNTS), "seed": draw(COUNTS), "level": draw(LEVELS)}
    if covariates is not None:
        kwargs["covariates"] = y[:, :1] if covariates == "own" else y[: max(n - 1, 1), :1]
    return quintara.fit_callaway_py, (y, cohorts(draw, *y.shape)), kwargs


def geo(draw: st.DrawFn, y: np.ndarray, name: str) -> tuple[Callable, tuple, dict]:
    n, t = y.shape
    test_len = draw(st.integers(0, t) | COUNTS)
    lifts = draw(st.lists(FLOATS, max_size=3))
    common = {"alpha": draw(LEVELS), "target_power": draw(LEVELS), "min_pre": draw(COUNTS),
              "lookback": draw(st.none() | COUNTS)}
    if name == "geo_diagnostics":
        return quintara.geo_diagnostics, (y, indices(draw, n), test_len), {}
    if name == "geo_select":
        return quintara.geo_select, (y, indices(draw, n, 6), draw(COUNTS), test_len,
                                     draw(FLOATS)), {
            **common, "method": draw(st.sampled_from(["sc", "sdid", "fp"])),
            # A huge n_candidates on a large pool is real work, not a fault.
            "n_candidates": draw(st.integers(1, 4) | st.sampled_from([0, 2**64, -1])),
            "seed": draw(COUNTS),
            "exact_size": draw(st.none() | COUNTS), "include": draw(st.none() | st.just([0]))}
    if name == "geo_power":
        return quintara.geo_power, (y, indices(draw, n), test_len, lifts), {
            **common, "method": draw(st.sampled_from(["sc", "asc", "sdid", "fp", "rsc", "x"])),
            **weight_bounds(draw)}
    members = draw(st.none() | st.lists(st.sampled_from(["sc", "sdid", "rsc", "x"]),
                                        max_size=3))
    weights = draw(st.none() | st.lists(FLOATS, max_size=3))
    return quintara.geo_power_ensemble, (y, indices(draw, n), test_len, lifts), {
        **common, "members": members, "weights": weights}


CALLS = {"fit_sc": sc_family, "fit_asc": sc_family, "fit_sdid": sc_family, "fit_fp": sc_family,
         "fit_rsc": sc_family, "fit_cpasc": augmented, "fit_mcnnm": mcnnm, "fit_many": fit_many,
         "bootstrap_mean": bootstrap,
         "fit_twfe_py": staggered, "fit_sunab_py": staggered, "bacon_decompose_py": staggered,
         "fit_callaway_py": callaway, "geo_power": geo, "geo_power_ensemble": geo,
         "geo_diagnostics": geo, "geo_select": geo}


def _names_a_parameter(message: str, fn: Callable) -> bool:
    # A conversion error starts "argument '{name}': "; a validator's message
    # mentions the parameter, the panel (y, units, periods) or the design.
    if message.startswith("argument '"):
        return True
    words = set(re.findall(r"[A-Za-z_]+", message.lower()))
    params = set(inspect.signature(fn).parameters)
    return bool(words & (params | {"y", "units", "unit", "periods", "cohort", "cohorts",
                                   "treat_start", "donors", "donor", "panel", "series", "method"}))


def _result_or_plain_error(fn: Callable, *args: Any, **kwargs: Any) -> None:
    try:
        fn(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, MemoryError) as e:
        assert _names_a_parameter(str(e), fn), (type(e), str(e))


@pytest.mark.parametrize("entry", CALLS)
@SETTINGS
@given(data=st.data())
def test_any_input_gives_a_result_or_a_plain_error(entry: str, data: st.DataObject) -> None:
    y = data.draw(panels(), label="y")
    fn, args, kwargs = CALLS[entry](data.draw, y, entry)
    _result_or_plain_error(fn, *args, **kwargs)


@st.composite
def rank_deficient_panels(draw: st.DrawFn) -> np.ndarray:
    # Donors whose centred pre-period Gram has a null direction: constant
    # units, duplicated units, or more donors than pre-periods.
    kind = draw(st.sampled_from(["constant", "duplicated", "wide"]))
    n = draw(st.integers(3, 12))
    t = draw(st.integers(4, 16)) if kind != "wide" else draw(st.integers(4, 8))
    if kind == "wide":
        n = draw(st.integers(t, 3 * t))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    y = rng.normal(size=(n, t)) * 10.0 ** draw(st.integers(-3, 3))
    if kind == "constant":
        y = np.repeat(y[:, :1], t, axis=1)
    elif kind == "duplicated":
        y[1:] = y[draw(st.integers(1, n - 1))]
    return y


# Ridges from far below the rounding level of the Gram to far above its scale.
RIDGES = st.sampled_from([5e-324, 1e-300, 1e-30, 1e-16, 1.0, 1e16, 1e300]) | st.builds(
    lambda e: 10.0**e, st.floats(-300, 300))


@SETTINGS
@given(y=rank_deficient_panels(), aug_lambda=RIDGES, data=st.data())
def test_a_tiny_ridge_on_a_singular_gram_never_panics(
        y: np.ndarray, aug_lambda: float, data: st.DataObject) -> None:
    n, t = y.shape
    treated = [data.draw(st.integers(0, n - 1), label="treated")]
    t0 = data.draw(st.integers(1, t - 1), label="t0")
    placebo = data.draw(st.booleans(), label="placebo")
    _result_or_plain_error(quintara.fit_asc, y, treated, t0, aug_lambda=aug_lambda,
                           placebo=placebo)
    _result_or_plain_error(quintara.fit_cpasc, y, treated, t0, aug_lambda=aug_lambda,
                           sc_ridge=0.1, mode=data.draw(
                               st.sampled_from(["mspe", "stratified", "cumulative"]), label="mode"))


def test_reported_tiny_ridge_cases_fit() -> None:
    y = np.repeat(np.random.default_rng(0).normal(size=(8, 1)), 13, axis=1)
    assert np.isfinite(quintara.fit_asc(y, [3, 4], 3, aug_lambda=1e-300, placebo=True).att)
    z = np.random.default_rng(1).normal(size=(5, 48))
    fit = quintara.fit_cpasc(z, [4], 15, n_strata=100, sc_ridge=0.1, aug_lambda=1e-300)
    assert np.isfinite(fit.att)


def test_mcnnm_on_a_huge_level_with_a_trend_ends() -> None:
    # Level plus a common trend is all fixed effects: the penalty, lost below
    # the data's scale, leaves L following the rounding residue of their fit,
    # and a rank-capped step never settles it to tol. Only a stop at the
    # noise level ends the loop before this budget does.
    t = np.arange(18)
    y = 1e300 * (1.0 + np.random.default_rng(3).normal(size=(11, 1))) + 3e299 * t
    fit = quintara.fit_mcnnm(y, [0], 4, lambda_=1e-300, max_iter=2**63 - 1, max_rank=1)
    assert np.isfinite(fit.att) and np.isfinite(fit.pre_rmspe)
