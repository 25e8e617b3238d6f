"""fit_many: every replication is the single-fit entry's ATT, the checks run in
their documented order, and the stack is read through its own strides."""

from __future__ import annotations

import re

import numpy as np
import pytest

import quintara
from conftest import factor_panel

TREATED, T0 = [0, 2], 20
RIDGE, ZETA, LO, HI = 0.05, 0.7, 0.01, 0.4


@pytest.fixture(scope="module")
def stack() -> np.ndarray:
    # Four replications of 12 units x 30 periods, each its own draw.
    return np.stack([factor_panel(seed=s, noise=0.3) for s in range(4)])


def single_fits(y: np.ndarray) -> dict[str, float]:
    """Each method's single-fit entry with the options fit_many passes it."""
    bounds = {"min_weight": LO, "max_weight": HI}
    return {
        "sc": quintara.fit_sc(y, TREATED, T0, ridge=RIDGE, **bounds).att,
        "asc": quintara.fit_asc(y, TREATED, T0, sc_ridge=RIDGE, **bounds).att,
        "sdid": quintara.fit_sdid(y, TREATED, T0, zeta_scale=ZETA, **bounds).att,
        "fp": quintara.fit_fp(y, TREATED, T0, ridge=RIDGE, **bounds).att,
        # The robust estimator receives neither the ridge nor the bounds.
        "rsc": quintara.fit_rsc(y, TREATED, T0).att,
    }


def test_each_replication_is_the_single_fit(stack: np.ndarray) -> None:
    expected = [single_fits(y) for y in stack]
    for method in ("sc", "asc", "sdid", "fp", "rsc"):
        atts = quintara.fit_many(stack, TREATED, T0, method=method, ridge=RIDGE, zeta_scale=ZETA,
                                 min_weight=LO, max_weight=HI)
        assert isinstance(atts, np.ndarray) and atts.dtype == np.float64, method
        assert atts.shape == (4,) and atts.flags.writeable and atts.flags.owndata, method
        assert atts.tolist() == [e[method] for e in expected], method
    # The options really reach the fits: the defaults give other numbers.
    assert quintara.fit_many(stack, TREATED, T0).tolist() == [
        quintara.fit_sc(y, TREATED, T0).att for y in stack]
    assert quintara.fit_many(stack, TREATED, T0, "sdid").tolist() != quintara.fit_many(
        stack, TREATED, T0, "sdid", zeta_scale=ZETA).tolist()


def test_strided_stack_equals_its_contiguous_copy(stack: np.ndarray) -> None:
    # Reversed replications, every other period, and a stack stored
    # periods-first: none of these is C-contiguous.
    wide = np.repeat(stack, 2, axis=2)
    transposed = np.ascontiguousarray(stack.transpose(2, 1, 0)).transpose(2, 1, 0)
    for y3 in (stack[::-1], wide[:, :, ::2], transposed):
        assert not y3.flags.c_contiguous
        assert quintara.fit_many(y3, TREATED, T0, "sdid").tolist() == quintara.fit_many(
            np.ascontiguousarray(y3), TREATED, T0, "sdid").tolist()


def test_checks_run_in_order(stack: np.ndarray) -> None:
    def raises(message: str, y3: np.ndarray, treated: list[int], treat_time: int,
               **options: object) -> None:
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            quintara.fit_many(y3, treated, treat_time, **options)

    bad = np.full((3, 5, 10), np.nan)
    # An empty dimension is reported before `treated` is looked at.
    for shape in [(0, 5, 10), (3, 0, 10), (3, 5, 0)]:
        raises("panel stack must be non-empty; got shape ({}, {}, {})".format(*shape),
               np.zeros(shape), [99], 0, method="SC")
    raises("`treated` must list at least one treated unit index", bad, [], 0)
    # treat_time must leave one pre- and one post-period.
    for treat_time in (0, 10):
        raises(f"treat_time {treat_time} must be in [1, 10) so there is at least one pre- and "
               "one post-period", bad, [0], treat_time, max_weight=0.1)
    assert quintara.fit_many(stack[:2], TREATED, 29).shape == (2,)
    # The bounds are checked against the donor count before the data is read.
    with pytest.raises(ValueError, match="^max_weight=0.2 is infeasible with 3 donors"):
        quintara.fit_many(bad, [0, 1], 5, max_weight=0.2)
    # Penalties that would fit silently to NaN are refused, also before the data.
    for option in ("ridge", "zeta_scale"):
        for value in (-1.0, np.nan, np.inf):
            with pytest.raises(ValueError, match=f"^{option} must be finite and >= 0"):
                quintara.fit_many(bad, [0], 5, **{option: value})

    # Replications in order, and within one, units before periods: a
    # column-major scan would report [1, 4, 2] instead.
    y3 = np.ones((5, 6, 10))
    y3[3, 0, 5] = np.nan
    y3[1, 4, 2] = np.inf
    y3[1, 2, 7] = -np.inf
    message = ("panel stack contains a non-finite value at [{}, {}, {}]; quintara requires "
               "complete, finite panels")
    raises(message.format(1, 2, 7), y3, [0], 5, method="SC")
    y3[1] = 1.0
    raises(message.format(3, 0, 5), y3, [0], 5, method="SC")
    # A cluster's chunk names the cell by its place in the whole stack.
    from quintara import distributed

    with pytest.raises(ValueError, match=r"^fit_many replications 2 to 4: " +
                       re.escape(message.format(3, 0, 5))):
        distributed._fit_chunk(y3, 2, 5, ([0], 5), {})

    # Method names are exact and checked only once the data has passed.
    for name in ("SC", "dsc", " sc", "ensemble"):
        raises(f"unknown method '{name}' (expected sc/asc/sdid/fp/rsc)", stack, TREATED, T0,
               method=name)
