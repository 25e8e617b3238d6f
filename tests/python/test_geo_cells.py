"""geo_select_cells: every feasible joint design scored by brute force through the
single-cell entry, the draws when designs are too many to list, the labelled
result and the entry's own checks."""

from __future__ import annotations

import importlib.util
import itertools
import json
import math
from collections.abc import Iterator

import numpy as np
import pandas as pd
import pytest

import quintara
from conftest import cycle_markets
from quintara import _quintara

N, T, TEST_LEN = 9, 40, 4
COMMON = {"method": "sc", "alpha": 0.2, "target_power": 0.7, "lookback": 4}


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return cycle_markets(N, T, seed=11, cycle=9, noise=0.8)


def designs(pool: list[int], sizes: list[int]) -> Iterator[tuple[tuple[int, ...], ...]]:
    """Every disjoint assignment of 1..sizes[k] pool markets to cell k."""
    if not sizes:
        yield ()
        return
    for s in range(1, sizes[0] + 1):
        for first in itertools.combinations(pool, s):
            rest = [m for m in pool if m not in first]
            for tail in designs(rest, sizes[1:]):
                yield (first, *tail)


def single_score(y: np.ndarray, pool: list[int], cell: tuple[int, ...], others: list[int],
                 lift: float, exclude: list[int], **kw: object) -> float:
    """The cell's score by the single-cell entry: exactly that set, every other
    cell's markets (and `exclude`) left out of its fits."""
    out = quintara.geo_select(y, pool, len(cell), TEST_LEN, lift, exact_size=len(cell),
                              include=list(cell), exclude=sorted(others + exclude),
                              n_candidates=1, **{**COMMON, **kw})  # type: ignore[arg-type]
    assert len(out) == 1 and out[0].treated == list(cell)
    return out[0].score


def brute_force(y: np.ndarray, pool: list[int], sizes: list[int], lifts: list[float],
                exclude: list[int], cost: np.ndarray | None = None,
                budgets: list[float] | None = None, **kw: object) -> dict:
    """{design: (cell scores)} over every feasible design."""
    out = {}
    for d in designs(pool, sizes):
        if budgets is not None and cost is not None and any(
                sum(cost[list(c)]) > b for c, b in zip(d, budgets, strict=True)):
            continue
        out[d] = tuple(
            single_score(y, pool, c, [m for j, o in enumerate(d) if j != k for m in o],
                         lifts[k], exclude, **kw)
            for k, c in enumerate(d))
    return out


def as_table(res: _quintara.CellDesigns) -> dict:
    return {tuple(tuple(c.treated) for c in d.cells): tuple(c.score for c in d.cells)
            for d in res.designs}


def check_ranking(res: _quintara.CellDesigns) -> None:
    keys = [(d.score, d.total) for d in res.designs]
    assert keys == sorted(keys, reverse=True)
    for d in res.designs:
        scores = [c.score for c in d.cells]
        assert d.score == min(scores) and d.total == sum(scores)


@pytest.mark.parametrize("case", [
    # two cells, a shared pool of every market, no budget
    {"pool": list(range(6)), "sizes": [2, 1], "lifts": [0.05, 0.1]},
    # three cells, one market excluded outright, another never eligible
    {"pool": [0, 1, 2, 4, 5, 6], "sizes": [1, 1, 2], "lifts": [0.04, 0.08, 0.05],
     "exclude": [3], "method": "sdid"},
    # spend budgets that bind on both cells (the second none: NaN)
    {"pool": list(range(7)), "sizes": [2, 2], "lifts": [0.05, 0.05],
     "budgets": [5.0, math.nan]},
    {"pool": list(range(7)), "sizes": [3, 2], "lifts": [0.05, 0.1], "budgets": [6.0, 4.0]},
])
def test_exhaustive_search_matches_every_design_scored_by_the_single_cell_entry(
        y: np.ndarray, case: dict) -> None:
    spend = np.array([1.0, 2.0, 4.0, 1.0, 3.0, 2.0, 5.0, 1.0, 2.0])
    budgets = case.get("budgets")
    extra = {"method": case["method"]} if "method" in case else {}
    exclude = case.get("exclude", [])
    truth = brute_force(y, case["pool"], case["sizes"], case["lifts"], exclude, spend,
                        None if budgets is None else [math.inf if math.isnan(b) else b
                                                      for b in budgets], **extra)
    kw: dict = {**COMMON, **extra, "n_candidates": len(truth)}
    if budgets is not None:
        kw.update(cell_budgets=budgets, spend=spend.tolist())
    if exclude:
        kw["exclude"] = exclude
    res = quintara.geo_select_cells(y, case["pool"], case["sizes"], case["lifts"], TEST_LEN, **kw)
    assert res.search == "exhaustive" and res.n_scored == res.n_designs == len(truth)
    assert as_table(res) == truth  # bit for bit, and nothing infeasible
    check_ranking(res)
    if budgets is not None:
        for d in res.designs:
            for c, b in zip(d.cells, budgets, strict=True):
                assert (c.cost is None) == math.isnan(b)
                assert c.cost is None or c.cost == sum(spend[c.treated]) <= b
    # One more design than a budget of all of them: listed, a subset scored.
    fewer = quintara.geo_select_cells(y, case["pool"], case["sizes"], case["lifts"], TEST_LEN,
                                      **{**kw, "n_candidates": len(truth) - 1})
    assert fewer.search == "listed" and fewer.n_designs == len(truth)
    assert fewer.n_scored == len(truth) - 1 and as_table(fewer).items() <= truth.items()


def test_one_cell_is_the_single_cell_search_enumerated(y: np.ndarray) -> None:
    res = quintara.geo_select_cells(y, range(N), [2], [0.05], TEST_LEN, n_candidates=100,
                                    **COMMON)
    single = quintara.geo_select(y, range(N), 2, TEST_LEN, 0.05, search="sized",
                                 n_candidates=100, **COMMON)
    assert res.n_designs == N + N * (N - 1) // 2 == len(single)
    assert [(d.cells[0].treated, d.cells[0].score) for d in res.designs] == [
        (c.treated, c.score) for c in single]


def test_cost_per_unit_prices_each_cell_at_its_own_lift(y: np.ndarray) -> None:
    res = quintara.geo_select_cells(y, range(N), [1, 1], [0.05, 0.1], TEST_LEN,
                                    cell_budgets=[1e9, 1e9], cost_per_unit=2.0, **COMMON)
    means = y.mean(axis=1)
    for d in res.designs:
        for c, lift in zip(d.cells, [0.05, 0.1], strict=True):
            assert c.cost == pytest.approx(2.0 * lift * TEST_LEN * means[c.treated[0]], rel=1e-13)


def multinomial_count(p: int, sizes: list[int]) -> float:
    total = 0.0
    for t in itertools.product(*[range(1, s + 1) for s in sizes]):
        if sum(t) <= p:
            left, n = p, 1
            for s in t:
                n *= math.comb(left, s)
                left -= s
            total += n
    return float(total)


def test_sampled_designs_are_distinct_disjoint_spread_and_seeded() -> None:
    # 26 markets and cells of up to 4 and 3: about 2e8 designs, far too many to list.
    rng = np.random.default_rng(3)
    big = 50 + rng.normal(0, 1, (26, 30)).cumsum(axis=1) * 0.3
    spend = rng.uniform(1, 3, 26)
    kw = {**COMMON, "n_candidates": 24, "seed": 5, "cell_budgets": [9.0, math.nan],
          "spend": spend.tolist()}
    res = quintara.geo_select_cells(big, range(26), [4, 3], [0.05, 0.05], 3, **kw)
    assert res.search == "sampled" and res.n_designs == multinomial_count(26, [4, 3])
    sets = [tuple(tuple(c.treated) for c in d.cells) for d in res.designs]
    assert len(set(sets)) == len(sets) == res.n_scored == 24
    assert all(sum(spend[list(d[0])]) <= 9.0 for d in sets)
    # Every size tuple represented: twelve tuples, two designs each.
    tuples = {tuple(len(c) for c in d) for d in sets}
    assert tuples == set(itertools.product(range(1, 5), range(1, 4)))
    other = quintara.geo_select_cells(big, range(26), [4, 3], [0.05, 0.05], 3,
                                      **{**kw, "seed": 6})
    assert {tuple(tuple(c.treated) for c in d.cells) for d in other.designs} != set(sets)


@pytest.mark.parametrize(("kw", "message"), [
    ({"cell_max_treated": []}, "cell_max_treated must list at least one cell"),
    ({"cell_lifts": [0.05]}, r"cell_lifts must have one entry per cell \(2\); got 1"),
    ({"cell_budgets": [1.0]}, r"cell_budgets must have one entry per cell \(2\); got 1"),
    ({"cell_max_treated": [1, 0]}, r"cell_max_treated\[1\] must be >= 1; got 0"),
    ({"cell_lifts": [0.05, -0.1]}, r"cell_lifts\[1\] must be finite and > 0; got -0.1"),
    ({"alternative": "less"},
     r"cell_lifts\[0\] must be finite and in \(-1, 0\) for alternative='less'; got 0.05"),
    ({"eligible": [0, 1], "cell_max_treated": [1, 1, 1], "cell_lifts": [0.1] * 3},
     r"the 3 cells need at least 3 eligible markets \(one each\); 2 remain after exclude"),
    # Sizes whose sum passes 2**64 are no smaller for it.
    *[({"cell_max_treated": sizes},
       "the cells together could treat all 9 markets; at least one must remain as a control")
      for sizes in ([5, 5], [2**64 - 1, 1], [2**63, 2**63])],
    ({"cost_per_unit": 1.0}, r"cost_per_unit and spend need a budget; pass cell_budgets= as well"),
    ({"cell_budgets": [0.5, math.nan], "spend": [1.0] * N},
     r"cell 0's budget 0.5 is below its cheapest eligible market \(1\)"),
    ({"cell_budgets": [1.0, 1.0], "spend": [1.0] * 8 + [9.0], "eligible": [0, 8]},
     "no joint design fits the cells' budgets"),
])
def test_entry_checks(y: np.ndarray, kw: dict, message: str) -> None:
    args = {"eligible": list(range(N)), "cell_max_treated": [1, 1], "cell_lifts": [0.05, 0.05],
            "test_len": TEST_LEN, **COMMON, **kw}
    with pytest.raises(ValueError, match=f"^{message}$"):
        quintara.geo_select_cells(y, **args)


# ---- the labelled verb --------------------------------------------------------------------

LONG = {"unit": "market", "time": "week", "outcome": "sales"}


@pytest.fixture(scope="module")
def long(y: np.ndarray) -> pd.DataFrame:
    names = [f"m{i}" for i in range(N)]
    return pd.DataFrame({"market": np.repeat(names, T), "week": np.tile(np.arange(T), N),
                         "sales": y.ravel(), "cost": np.repeat(np.arange(1.0, N + 1), T)})


def test_select_markets_with_cells_labels_the_compiled_designs(y: np.ndarray,
                                                               long: pd.DataFrame) -> None:
    cells = [{"max_treated": 2, "target_lift": 0.025, "budget": 7.0},
             {"max_treated": 1, "target_lift": 0.1}]
    sel = quintara.select_markets(long, cells=cells, test_len=TEST_LEN, spend="cost",
                                  exclude=["m8"], n_candidates=500, **LONG, **COMMON)
    raw = quintara.geo_select_cells(y, range(N), [2, 1], [0.025, 0.1], TEST_LEN,
                                    cell_budgets=[7.0, math.nan], spend=list(range(1, N + 1)),
                                    exclude=[8], n_candidates=500, solver="shared", **COMMON)
    assert as_table(sel.raw) == as_table(raw) and sel.exhaustive
    assert sel.best == [[f"m{i}" for i in c.treated] for c in raw.designs[0].cells]
    frame = sel.to_frame()
    assert len(frame) == 2 * len(raw.designs) and list(frame.loc[1, "cell"]) == [1, 2]
    assert not any("m8" in m for m in frame.markets)
    tidy = sel.tidy()
    assert tidy.index[0] == f"rank 1 cell 1: {', '.join(sel.best[0])}"
    assert tidy.estimate.iloc[0] == raw.designs[0].cells[0].score
    d = json.loads(json.dumps(sel.to_dict()))
    assert d.items() >= {"entry": "geo_select_cells", "search": "exhaustive", "alpha": 0.2,
                         "target_power": 0.7, "alternative": "two-sided", "lookback": 4,
                         "max_treated": [2, 1], "budget": [7.0, None], "solver": "shared"}.items()
    assert d["control_pool_size"] == N - 1 - sum(len(c) for c in sel.best)
    assert d.items() >= {"eligible": None, "exclude": ["m8"], "control_pool": None,
                         "spend": "cost", "max_weight": None}.items()
    assert d["designs"][0]["cells"][0]["markets"] == sel.best[0]
    text = sel.summary().replace("\n  ", " ")
    assert "Control pool" in text and "1. " in text and "2. " in text
    # The analysis repeats the scored test: its method and the markets kept out.
    assert "analyze(..., method='sc', alpha=0.2, lookback=4, exclude=['m8'])" in text
    assert "Analyse each cell with the other cells' markets added to exclude=." in text
    assert repr(sel).startswith(f"<CellSelection: {len(raw.designs)} designs, best ")
    # The plot: per drawn design one bar per cell, its length the cell's power.
    if importlib.util.find_spec("matplotlib") is not None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, given = plt.subplots()
        assert sel.plot(ax=given, top=3) is given
        bars = {c.get_label(): [p.get_width() for p in c.patches] for c in given.containers}
        shown = frame.loc[[1, 2, 3]]
        assert bars == {f"cell {k} ({lift})": list(shown.power[shown.cell == k])
                        for k, lift in ((1, "+2.5%"), (2, "+10%"))}
        plt.close(fig)
    # Without a budget every cost is NaN, a float like the rest.
    plain = quintara.select_markets(long, cells=[{"max_treated": 1, "target_lift": 0.05}] * 2,
                                    test_len=TEST_LEN, n_candidates=4, **LONG, **COMMON)
    cost = plain.to_frame().cost
    assert cost.dtype == np.float64 and cost.isna().all()


@pytest.mark.parametrize("method", ["sc", "sdid"])
def test_the_shared_solver_scores_every_cell_as_the_refit(y: np.ndarray, method: str) -> None:
    kw = {**COMMON, "method": method, "exclude": [8], "n_candidates": 300}
    refit = quintara.geo_select_cells(y, range(N), [2, 1], [0.05, 0.1], TEST_LEN, **kw)
    shared = quintara.geo_select_cells(y, range(N), [2, 1], [0.05, 0.1], TEST_LEN,
                                       solver="shared", **kw)
    assert len(refit.designs) == len(shared.designs) == refit.n_scored
    by_sets = {tuple(tuple(c.treated) for c in d.cells): d for d in refit.designs}
    for d in shared.designs:
        other = by_sets[tuple(tuple(c.treated) for c in d.cells)]
        assert [c.power_at_target for c in d.cells] == [c.power_at_target for c in other.cells]
        assert d.score == pytest.approx(other.score, rel=1e-10, abs=1e-12)


CELL = {"max_treated": 1, "target_lift": 0.1}
SHAPE = "a mapping with keys 'max_treated', 'target_lift' and optionally 'budget'"


@pytest.mark.parametrize(("kw", "error", "message"), [
    ({"max_treated": 2}, TypeError, "with cells=, give max_treated and target_lift per cell"),
    ({"cells": [{"max_treated": 1}]}, ValueError, r"cells\[0\] must give 'target_lift'"),
    ({"cells": [{**CELL, "lift": 1, "cap": 2}]}, ValueError,
     r"^cells\[0\] has unknown keys 'lift', 'cap' \(expected 'max_treated', "),
    ({"cells": [CELL], "swaps": 2}, TypeError, "unexpected keyword argument 'swaps'"),
    # The shape of `cells` itself.
    ({"cells": CELL}, TypeError, f"^cells must be a list with one entry per cell, each {SHAPE}; "
                                 "got dict$"),
    ({"cells": [CELL, (1, 0.1)]}, TypeError, rf"^cells\[1\] must be {SHAPE}; got tuple$"),
    ({"cells": [{**CELL, "max_treated": "2"}]}, TypeError,
     r"^cells\[0\]\['max_treated'\] must be an integer; got '2'$"),
    ({"cells": [{**CELL, "budget": "9"}]}, TypeError,
     r"^cells\[0\]\['budget'\] must be a number; got '9'$"),
    # The entry reads a NaN budget as none: given, it is refused, as is any
    # budget no set could meet.
    *[({"cells": [CELL, {**CELL, "budget": bad}], "spend": "cost"}, ValueError,
       r"^cells\[1\]\['budget'\] must be finite and > 0 \(leave it out for no budget\); "
       rf"got {shown}$")
      for bad, shown in ((math.nan, "NaN"), (math.inf, "inf"), (0, "0"), (-2.5, "-2.5"))],
    ({"cells": [{**CELL, "budget": math.nan}], "spend": "cost"}, ValueError,
     r"^cells\[0\]\['budget'\] must be finite and > 0 "),
    # The entry's checks (pinned with it), naming the cells' keys.
    ({"cells": []}, ValueError, "^cells must list "),
    ({"cells": [CELL, {**CELL, "max_treated": 0}]}, ValueError, r"^cells\[1\]\['max_treated'\] "),
    ({"cells": [CELL], "alternative": "less"}, ValueError, r"^cells\[0\]\['target_lift'\] "),
    ({"cells": [{**CELL, "budget": 0.5}], "spend": "cost"}, ValueError,
     r"^cells\[0\]\['budget'\] 0.5 "),
    ({"cells": [CELL], "cost_per_unit": 1.0}, ValueError, "; give a cell a 'budget' as well$"),
])
def test_select_markets_cell_arguments(long: pd.DataFrame, kw: dict, error: type,
                                       message: str) -> None:
    base = {"cells": [CELL], "test_len": TEST_LEN, **LONG}
    with pytest.raises(error, match=message):
        quintara.select_markets(long, **{**base, **kw})
