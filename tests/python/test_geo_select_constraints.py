"""geo_select under a budget, an exclude list and a control pool, against brute
force: every feasible set scored on its own, and the markets a search must not
see replaced by other values."""

from __future__ import annotations

import itertools
from collections import Counter

import numpy as np
import pytest

import quintara
from conftest import cycle_markets
from quintara import _quintara

N, T, TEST_LEN, LIFT = 9, 36, 4, 0.04
COMMON = {"method": "sc", "alpha": 0.2, "target_power": 0.7, "lookback": 5}


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return cycle_markets(N, T, seed=21, cycle=6, noise=0.7)


def fields(c: quintara.MarketCandidate) -> tuple:
    return (c.treated, c.power_at_target, c.mde_pct, c.holdout_pct, c.pre_fit_rel,
            c.stability_score, c.confidence, c.score, c.cost)


def alone(y: np.ndarray, s: list[int], lift: float = LIFT,
          **kw: object) -> quintara.MarketCandidate:
    """Set `s` scored by itself, without a budget."""
    [c] = quintara.geo_select(y, range(N), len(s), TEST_LEN, lift, exact_size=len(s), include=s,
                              n_candidates=1, **{**COMMON, **kw})  # type: ignore[arg-type]
    return c


# A go-dark test withholds what the heavy-up of the same size would buy: the
# same prices, so the same affordable sets.
@pytest.mark.parametrize("direction", [{"lift": LIFT}, {"lift": -LIFT, "alternative": "less"}])
@pytest.mark.parametrize("pricing", ["spend", "cost_per_unit"])
def test_every_affordable_set_and_no_other_is_scored(y: np.ndarray, pricing: str,
                                                     direction: dict) -> None:
    lift = direction["lift"]
    sided = {k: v for k, v in direction.items() if k != "lift"}
    include = [4]
    if pricing == "spend":
        price = np.array([3.0, 1.0, 2.0, 5.0, 1.0, 4.0, 2.0, 6.0, 1.0])
        kw: dict = {"spend": price.tolist()}
        budget = 7.0
    else:  # the lift's incremental units over the test, at 3 per unit
        price = 3.0 * LIFT * TEST_LEN * y.mean(axis=1)
        kw = {"cost_per_unit": 3.0}
        budget = float(np.sort(price)[:3].sum()) + 0.5 * float(np.min(price))
    pool = [i for i in range(N) if i not in include]
    by_size = {1 + extra: [sorted(include + list(c)) for c in itertools.combinations(pool, extra)]
               for extra in range(3)}
    costs = {tuple(s): float(price[s].sum()) for sets in by_size.values() for s in sets}
    gap = min(abs(c - budget) for c in costs.values())
    if pricing == "spend":
        assert gap == 0.0  # a set exactly at the budget is affordable
    else:  # no set within rounding of the budget: the two sums cannot disagree
        assert gap > 1e-9 * budget
    affordable = sorted(s for sets in by_size.values() for s in sets if costs[tuple(s)] <= budget)
    assert 0 < len(affordable) < len(costs)

    out = quintara.geo_select(y, range(N), 3, TEST_LEN, lift, include=include, search="sized",
                              n_candidates=500, budget=budget, **kw, **sided, **COMMON)
    assert sorted(c.treated for c in out) == affordable
    for c in out:
        ref = alone(y, c.treated, lift, **sided)
        assert fields(c)[:-1] == fields(ref)[:-1]
        assert c.cost == pytest.approx(costs[tuple(c.treated)], rel=1e-13)
    counts = _quintara._candidate_counts(  # type: ignore[attr-defined]
        y, range(N), 3, TEST_LEN, lift, include=include, search="sized", n_candidates=500,
        budget=budget, **kw, **sided, **COMMON)
    over = Counter(len(s) for s in by_size[2] + by_size[3] if costs[tuple(s)] > budget)
    scored = Counter(len(c.treated) for c in out)
    for row in counts:
        assert row["over_budget"] == over.get(row["size"], 0)
        assert row["exhaustive"] and row["taken"] == scored[row["size"]]
    # Neither the random search nor swaps away from its best set leave the budget.
    for extra in ({"search": "random", "n_candidates": 6}, {"n_candidates": 4, "swaps": 60}):
        more = quintara.geo_select(y, range(N), 3, TEST_LEN, lift, include=include, budget=budget,
                                   **kw, **sided, **{**COMMON, "search": "sized", **extra})
        assert more and all(costs[tuple(c.treated)] <= budget for c in more)


def garbage(y: np.ndarray, rows: list[int], seed: int) -> np.ndarray:
    """`y` with `rows` replaced by noise inside the panel's range (so the
    panel's scale, and hence every normalised value, is unchanged)."""
    out = y.copy()
    lo, hi = float(y.min()), float(y.max())
    out[rows] = np.random.default_rng(seed).uniform(lo, hi, (len(rows), y.shape[1]))
    return out


@pytest.mark.parametrize("search", [
    {"search": "sized", "n_candidates": 400},
    {"search": "random", "n_candidates": 12, "seed": 3},
    {"search": "sized", "n_candidates": 5, "swaps": 40},
])
@pytest.mark.parametrize(("restriction", "hidden"), [
    ({"exclude": [2, 6]}, [2, 6]),
    # 7 is outside the control pool and not eligible: no fit can see it.
    ({"control_pool": [0, 1, 3, 4, 5, 8], "eligible": [0, 1, 3, 4, 5, 6, 8]}, [7]),
    ({"exclude": [2], "control_pool": [0, 1, 3, 4, 5, 6, 8],
      "eligible": [0, 1, 2, 3, 4, 5, 8]}, [2, 7]),
])
def test_markets_no_fit_may_see_change_nothing(y: np.ndarray, search: dict, restriction: dict,
                                               hidden: list[int]) -> None:
    kw = {"eligible": list(range(N)), **restriction, **COMMON, **search}
    out = quintara.geo_select(y, max_treated=3, test_len=TEST_LEN, target_lift=LIFT, **kw)
    assert out and not any(set(c.treated) & set(hidden) for c in out)
    for seed in (1, 2):
        again = quintara.geo_select(garbage(y, hidden, seed), max_treated=3, test_len=TEST_LEN,
                                    target_lift=LIFT, **kw)
        assert [fields(c) for c in again] == [fields(c) for c in out]
    # The same swap of values in a market the fits do see changes the ranking.
    seen = next(i for i in range(N) if i not in hidden)
    moved = quintara.geo_select(garbage(y, [seen], 1), max_treated=3, test_len=TEST_LEN,
                                target_lift=LIFT, **kw)
    assert [fields(c) for c in moved] != [fields(c) for c in out]
