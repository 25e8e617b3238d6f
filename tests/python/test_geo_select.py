"""geo_select: each candidate against geo_power and geo_diagnostics on its own
set, the ranking, seeds and the entry's own checks; the labelled design verbs'
reports and errors."""

from __future__ import annotations

import functools
import itertools
import json
import re
from collections import Counter
from collections.abc import Callable

import numpy as np
import pandas as pd
import pytest

import quintara
from conftest import cycle_markets
from quintara import _quintara

N = 8
TEST_LEN = 3
LIFT = 0.02
COMMON = {"method": "sc", "alpha": 0.2, "target_power": 0.7, "min_pre": 4, "lookback": 6,
          "min_weight": 0.0, "max_weight": 0.6}


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return cycle_markets(N, 20, seed=5, noise=0.6)  # 20 weeks, a weekly cycle


SEARCH = {"eligible": [6, 0, 1, 2, 3, 4, 5, 6], "max_treated": 3, "test_len": TEST_LEN,
          "target_lift": LIFT, "n_candidates": 11, **COMMON}


def select(y: np.ndarray, **kw: object) -> list[quintara.MarketCandidate]:
    return quintara.geo_select(y, **{**SEARCH, **kw})  # type: ignore[arg-type]


def fields(c: quintara.MarketCandidate) -> tuple:
    return (c.treated, c.power_at_target, c.mde_pct, c.holdout_pct, c.pre_fit_rel,
            c.stability_score, c.confidence, c.score)


@pytest.mark.parametrize("test", [{}, {"alternative": "less", "target_lift": -LIFT}])
def test_each_candidate_is_its_own_power_curve_and_diagnostics(y: np.ndarray,
                                                               test: dict) -> None:
    ranked = select(y, include=[2], **test)
    sets = [c.treated for c in ranked]
    # The include set, the six single additions, then random sets up to 11.
    assert len(sets) == len(set(map(tuple, sets))) == 11
    assert {tuple(s) for s in sets} >= {(2,), (0, 2), (1, 2), (2, 3), (2, 4), (2, 5), (2, 6)}
    lift = test.get("target_lift", LIFT)
    lifts = [0.0, 0.5 * lift, lift, 1.5 * lift, 2.0 * lift]
    side = {k: v for k, v in test.items() if k == "alternative"}
    for c in ranked:
        p = quintara.geo_power(y, c.treated, TEST_LEN, lifts, **COMMON, **side)  # type: ignore[arg-type]
        d = quintara.geo_diagnostics(y, c.treated, TEST_LEN)
        assert (c.power_at_target, c.mde_pct) == (p.power[2], p.mde_pct)
        assert (c.holdout_pct, c.pre_fit_rel, c.stability_score, c.confidence) == (
            d.holdout_pct, d.pre_fit_rel, d.stability_score, d.confidence)
        # By the MDE's magnitude: a go-dark design's smaller decrease is the better one.
        bonus = 0.05 / (1.0 + abs(c.mde_pct)) if c.mde_pct is not None else 0.0
        assert c.score == c.power_at_target * (0.5 + c.confidence * 0.005) + bonus
    scores = [c.score for c in ranked]
    assert scores == sorted(scores, reverse=True)
    assert len(set(scores)) > 3  # the ranking is not decided by ties alone


def test_same_seed_same_list_other_seed_only_other_random_sets(y: np.ndarray) -> None:
    a, b = select(y, seed=3), select(y, seed=3)
    assert [fields(c) for c in a] == [fields(c) for c in b]
    other = select(y, seed=4)
    singles = {tuple(c.treated): fields(c) for c in a if len(c.treated) == 1}
    assert len(singles) == 7
    assert singles == {tuple(c.treated): fields(c) for c in other if len(c.treated) == 1}
    assert {tuple(c.treated) for c in a} != {tuple(c.treated) for c in other}


# The checks shared with geo_power (method, panel, window, alpha, target power,
# weight range) are pinned with that entry; these are geo_select's own. The
# private steps of the search run the same checks.
@pytest.mark.parametrize("entry", [
    quintara.geo_select, _quintara._select_candidates,  # type: ignore[attr-defined]
    functools.partial(_quintara._evaluate_candidates, candidates=[[1]]),  # type: ignore[attr-defined]
], ids=["geo_select", "select", "evaluate"])
def test_checks_run_in_order(y: np.ndarray, entry: Callable[..., list]) -> None:
    args: dict[str, object] = {
        "y": y, "eligible": [], "max_treated": 0, "test_len": TEST_LEN, "target_lift": 0.0,
        "method": "sc",
        "n_candidates": 0, "exact_size": 0, "include": [1, 8], "max_weight": 0.15, "lookback": 3}
    # Each fix uncovers the next check's failure.
    steps = [
        ("target_lift", LIFT, "target_lift must be finite and > 0; got 0"),
        ("max_treated", N, "max_treated must be >= 1; got 0"),
        # include is still out of range: it is not looked at yet.
        ("max_treated", 3, "max_treated=8 would allow treating all 8 markets; at least one "
                           "market must remain as a control"),
        ("n_candidates", 5, "n_candidates must be >= 1; got 0"),
        ("eligible", [0, 9], "eligible must list at least one market"),
        ("eligible", [0, 2, 2, 5], "eligible index 9 out of range [0, 8)"),
        ("include", [7, 6, 5, 4, 3, 2, 1, 0, 0], "include index 8 out of range [0, 8)"),
        ("exact_size", N, "exact_size must be >= 1; got 0"),
        ("exact_size", 2, "exact_size=8 would treat all 8 markets; at least one market must "
                          "remain as a control"),
        # The repeated 0 counts once.
        ("exact_size", None, "include forces 8 markets but exact_size=2; raise exact_size or "
                             "include fewer markets"),
        ("include", [1, 1], "include treats every market; need at least one market left as "
                            "a control"),
        # The cap is checked against 8 - 3 donors.
        ("max_weight", 0.5, "max_weight=0.15 is infeasible with 5 donors"),
    ]
    for key, fix, message in steps:
        with pytest.raises(ValueError) as err:
            entry(**args)
        assert str(err.value).startswith(message), key
        args[key] = fix
    out = entry(**args)
    assert out and all(1 in getattr(c, "treated", c) for c in out)


@pytest.mark.parametrize(("kw", "message"), [
    # The cap meets the smallest donor pool (exact_size, not max_treated), the floor the largest.
    ({"exact_size": 2, "max_weight": 0.16}, "max_weight=0.16 is infeasible with 6 donors"),
    ({"min_weight": 0.15}, "min_weight=0.15 is infeasible with 7 donors"),
])
def test_weight_bounds_use_the_extreme_donor_pools(y: np.ndarray, kw: dict, message: str) -> None:
    with pytest.raises(ValueError, match=f"^{message}"):
        select(y, max_treated=5, **kw)


@pytest.mark.parametrize("kw", [{"include": [2]}, {"exact_size": 3, "include": [6, 6]}, {},
                                {"search": "sized", "include": [2]}])
def test_the_private_steps_compose_to_geo_select(y: np.ndarray, kw: dict) -> None:
    args = {**SEARCH, **kw}
    sets = _quintara._select_candidates(y, **args)  # type: ignore[attr-defined]
    # Evaluated in two pieces, in reverse, then ranked: the same list.
    pieces = [sets[5:], sets[:5]]
    evaluated = [c for p in reversed(pieces)
                 for c in _quintara._evaluate_candidates(y, p, **args)]  # type: ignore[attr-defined]
    assert [c.treated for c in evaluated] == sets
    order = _quintara._rank_candidates([c.score for c in evaluated])  # type: ignore[attr-defined]
    assert [fields(evaluated[i]) for i in order] == [fields(c) for c in select(y, **kw)]


@pytest.mark.parametrize(("kw", "bad", "message"), [
    ({}, [2, 2], "must be a non-empty, strictly ascending list of market indices below 8 that "
                 "leaves at least one control"),
    # Only sets the search could produce are scored: each would otherwise be
    # scored against controls (or with markets) geo_select never uses.
    ({"eligible": [0, 1], "control_pool": [3], "max_weight": 1.0}, [3],
     "treats market 3, which is neither eligible nor included"),
    ({"exclude": [7]}, [7], "treats market 7, which exclude names"),
    ({"include": [2]}, [3], "leaves out market 2, which include names"),
    ({"eligible": [0, 1, 2], "max_treated": 1}, [0, 1, 2],
     "has 3 markets, more than the 1 a candidate may have (max_treated=1)"),
    ({"exact_size": 2}, [0, 1, 3], "has 3 markets where exact_size=2 gives 2"),
    ({"budget": 2.5, "spend": [1.0 + i for i in range(N)]}, [0, 1],
     "costs 3, above the budget 2.5"),
])
def test_evaluated_sets_are_sets_the_search_could_produce(y: np.ndarray, kw: dict,
                                                          bad: list[int], message: str) -> None:
    args = {**SEARCH, **kw}
    good = _quintara._select_candidates(y, **args)[0]  # type: ignore[attr-defined]
    with pytest.raises(ValueError) as err:
        _quintara._evaluate_candidates(y, [good, bad], **args)  # type: ignore[attr-defined]
    assert str(err.value) == f"candidates[1] {message}"



def test_sized_search_counts(y: np.ndarray) -> None:
    # 7 eligible markets, up to 3 treated, 12 candidates: 4 of each size, and
    # the counts say how many sets each size holds.
    out = select(y, max_treated=3, n_candidates=12, search="sized")
    assert sorted(len(c.treated) for c in out) == [1] * 4 + [2] * 4 + [3] * 4
    counts = _quintara._candidate_counts(  # type: ignore[attr-defined]
        y, **{**SEARCH, "max_treated": 3, "n_candidates": 12, "search": "sized"}
    )
    assert [(c["size"], c["distinct"], c["taken"]) for c in counts] == [
        (1, 7.0, 4), (2, 21.0, 4), (3, 35.0, 4)
    ]


@pytest.mark.parametrize("method", ["sc", "sdid", "fp"])
def test_the_shared_solver_scores_as_the_refit(y: np.ndarray, method: str) -> None:
    # The same sets, powers and MDEs; scores to rounding ("fp" has no shared
    # path and refits). A pool and an exclusion restrict the controls.
    for extra in ({}, {"exclude": [7], "control_pool": [0, 2, 3, 4, 5, 6]}):
        kw = {**extra, "method": method, "max_treated": 2, "n_candidates": 20, "search": "sized"}
        refit, shared = select(y, **kw), select(y, solver="shared", **kw)
        assert [c.treated for c in refit] == [c.treated for c in shared]
        for a, b in zip(refit, shared, strict=True):
            assert (a.power_at_target, a.mde_pct is None) == (b.power_at_target, b.mde_pct is None)
            assert b.score == pytest.approx(a.score, rel=1e-10, abs=1e-12)
            assert b.confidence == pytest.approx(a.confidence, rel=1e-9)


@pytest.mark.parametrize("control_pool", [None, [2, 4, 5, 6, 7]])
def test_exclusions_and_control_pools_match_brute_force(y: np.ndarray,
                                                         control_pool: list[int] | None) -> None:
    # Markets 0-4 may be treated, 7 may be neither treated nor a control; a
    # budget above the 15 feasible sets scores every one of them.
    args = {**SEARCH, "eligible": [0, 1, 2, 3, 4, 7], "max_treated": 2, "n_candidates": 50,
            "search": "sized", "max_weight": 1.0}
    out = select(y, exclude=[7], control_pool=control_pool, **args)
    assert sorted(c.treated for c in out) == sorted(
        [[i] for i in range(5)] + [[i, j] for i in range(5) for j in range(i + 1, 5)])
    plain = {k: v for k, v in args.items() if k not in ("eligible", "search")}
    for c in out:
        # The same candidate scored on a panel that holds only its markets and
        # its controls.
        controls = [i for i in (control_pool or range(N)) if i != 7 and i not in c.treated]
        rows = sorted(c.treated + controls)
        [ref] = _quintara._evaluate_candidates(  # type: ignore[attr-defined]
            y[rows], [[rows.index(i) for i in c.treated]], eligible=range(len(rows)), **plain)
        assert fields(c)[1:] == fields(ref)[1:], c.treated


def test_swaps_end_at_a_local_optimum(y: np.ndarray) -> None:
    args = {**SEARCH, "max_treated": 2, "n_candidates": 4, "search": "sized"}
    before = select(y, **args)
    after = select(y, swaps=200, **args)
    assert [fields(c) for c in before] == [fields(c) for c in after if c.treated in
                                           [b.treated for b in before]]
    best = after[0].treated
    assert after[0].score >= before[0].score
    # No single swap of the best set (one market out, one eligible market in)
    # scores higher: checked by scoring every neighbour here.
    pool = sorted(set(SEARCH["eligible"]) - set(best))  # type: ignore[call-overload]
    swapped = [sorted([*(i for i in best if i != r), m]) for r in best for m in pool]
    scores = [c.score for c in _quintara._evaluate_candidates(  # type: ignore[attr-defined]
        y, swapped, **args)]
    assert max(scores) <= after[0].score
    assert len({tuple(c.treated) for c in after}) == len(after)


@pytest.mark.parametrize(("kw", "message"), [
    ({"include": [2], "exclude": [2]}, "include and exclude share market 2"),
    ({"eligible": [0, 1], "control_pool": [0, 1], "max_treated": 2},
     "exclude and control_pool leave no control for a candidate of 2 markets; at least one "
     "must remain"),
    ({"spend": [1.0] * N}, "cost_per_unit and spend need a budget; pass budget= as well"),
    ({"budget": 0.0, "cost_per_unit": 1.0}, "budget must be finite and > 0; got 0"),
    ({"budget": 5.0}, "a budget needs exactly one of cost_per_unit and spend"),
    ({"budget": 5.0, "cost_per_unit": -1.0}, "cost_per_unit must be finite and > 0; got -1"),
    ({"budget": 5.0, "spend": [1.0] * 3}, "spend must have one entry per market (8); got 3"),
    ({"budget": 5.0, "spend": [float("nan")] + [1.0] * 7},
     "spend must be finite and >= 0; got NaN for market 0"),
    ({"alternative": "less"},
     "target_lift must be finite and in (-1, 0) for alternative='less'; got 0.02"),
    ({"alternative": "less", "target_lift": -1.0},
     "target_lift must be finite and in (-1, 0) for alternative='less'; got -1"),
    ({"alternative": "down"}, "unknown alternative 'down' (expected two-sided/greater/less)"),
    ({"search": "greedy"}, "unknown search 'greedy' (expected random/sized)"),
    ({"solver": "gram"}, "unknown solver 'gram' (expected refit/shared)"),
])
def test_options_and_restrictions_are_checked(y: np.ndarray, kw: dict, message: str) -> None:
    with pytest.raises(ValueError) as err:
        select(y, **kw)
    assert str(err.value) == message


def test_spend_is_needed_only_where_a_candidate_may_treat(y: np.ndarray) -> None:
    # Market 7 is never eligible and market 3 is excluded: their spend is
    # never summed, so a missing one changes nothing.
    spend = [1.0 + i for i in range(N)]
    known = select(y, budget=5.0, spend=spend, exclude=[3])
    spend[7] = spend[3] = float("nan")
    unknown = select(y, budget=5.0, spend=spend, exclude=[3])
    assert [(c.treated, c.score, c.cost) for c in unknown] == [
        (c.treated, c.score, c.cost) for c in known]
    cells = {k: v for k, v in SEARCH.items() if k not in ("max_treated", "target_lift")}
    _quintara.geo_select_cells(y, cell_max_treated=[1, 1], cell_lifts=[0.05, 0.05],
                               cell_budgets=[5.0, 5.0], spend=spend, exclude=[3], **cells)


# ---- the labelled verbs -------------------------------------------------------------------


@pytest.fixture(scope="module")
def table(y: np.ndarray) -> pd.DataFrame:
    """The panel as a long table of named markets, with a spend column m7 lacks."""
    t = y.shape[1]
    return pd.DataFrame({"market": np.repeat([f"m{i}" for i in range(N)], t),
                         "week": np.tile(np.arange(t), N), "sales": y.ravel(),
                         "cost": np.repeat([1.0] * (N - 1) + [np.nan], t)})


@pytest.fixture(scope="module")
def named(table: pd.DataFrame) -> quintara.Panel:
    return quintara.Panel.from_long(table, unit="market", time="week", outcome="sales")


def test_a_random_search_reports_only_what_it_counted(named: quintara.Panel) -> None:
    kw = {"max_treated": 3, "test_len": TEST_LEN, "target_lift": LIFT, "n_candidates": 11,
          "search": "random", **COMMON}
    priced = quintara.select_markets(named, budget=4.0, cost_per_unit=1.0, **kw)
    sizes = priced.sizes
    assert list(sizes.scored) == [Counter(len(m) for m in priced.candidates.markets)[k]
                                  for k in (1, 2, 3)] == [8, 3, 0]
    # It does not count the sets it drew above the budget, so whether a size
    # was exhausted is known only where every set of it was scored.
    assert sizes.over_budget.isna().all()
    assert [None if pd.isna(e) else e for e in sizes.exhaustive] == [True, None, None]
    assert "(sizes 1-3, drawn at random)" in priced.summary()
    assert [s["over_budget"] for s in json.loads(json.dumps(priced.to_dict()))["sizes"]] == [
        None, None, None]
    # Without a budget nothing is over it; the compiled solver when asked for.
    free = quintara.select_markets(named, solver="refit", **kw)
    assert free.to_dict()["solver"] == "refit" and list(free.sizes.over_budget) == [0, 0, 0]
    assert list(free.sizes.exhaustive) == [True, False, False]
    assert free.candidates.cost.dtype == np.float64 and free.candidates.cost.isna().all()


def test_a_sampled_size_under_a_budget_is_not_called_exhausted(geo: quintara.Panel) -> None:
    # Nothing affordable: the search meets some sets of size 2 above the
    # budget, never all; whether the others are affordable is unknown.
    broke = quintara.select_markets(geo, max_treated=2, test_len=4, target_lift=0.05,
                                    n_candidates=20, lookback=3, method="sc", budget=1.0,
                                    cost_per_unit=1.0)
    sizes = broke.sizes
    assert broke.raw == [] and sizes.over_budget[2] is pd.NA
    assert sizes.exhaustive[1] == True and sizes.exhaustive[2] is pd.NA  # noqa: E712


def test_over_budget_counts_only_the_sets_the_search_priced(table: pd.DataFrame) -> None:
    # Market k costs 10 (k + 1); brute force counts the sets above 60 by size.
    priced = table.assign(cost=10.0 * (table.market.str[1:].astype(int) + 1))
    truth = [sum(sum(c) > 60 for c in itertools.combinations(range(10, 90, 10), k))
             for k in (1, 2, 3)]
    assert truth == [2, 22, 55]
    kw = {"unit": "market", "time": "week", "outcome": "sales", "max_treated": 3,
          "test_len": TEST_LEN, "target_lift": LIFT, "spend": "cost", "budget": 60.0, **COMMON}
    # 30 candidates meet every set of each size: the counts are exact.
    whole = quintara.select_markets(priced, n_candidates=30, **kw)
    assert list(whole.sizes.over_budget) == truth
    assert f"sizes 1-3, {sum(truth)} over budget)" in whole.summary()
    assert whole.to_dict()["spend"] == "cost"
    # Three sample every size: the sets never drawn were never priced, so
    # the sizes' counts are unknown and the summary's a lower bound.
    drawn = quintara.select_markets(priced, n_candidates=3, **kw)
    assert drawn.sizes.over_budget.isna().all()
    assert [s["over_budget"] for s in drawn.to_dict()["sizes"]] == [None, None, None]
    found = re.search(r"sizes 1-3, at least (\d+) over budget\)", drawn.summary())
    assert found is not None and 0 < int(found[1]) < sum(truth)


def test_exact_size_and_max_treated_agree_or_are_refused(named: quintara.Panel) -> None:
    kw = {"test_len": TEST_LEN, "target_lift": LIFT, "n_candidates": 4, **COMMON}
    with pytest.raises(ValueError, match=r"^exact_size=3 is above max_treated=1; "):
        quintara.select_markets(named, max_treated=1, exact_size=3, **kw)
    # Alone, exact_size is the largest size too; below max_treated it narrows it.
    for given, largest in (({"exact_size": 2}, 2), ({"max_treated": 3, "exact_size": 2}, 3)):
        sel = quintara.select_markets(named, **given, **kw)
        assert {len(m) for m in sel.candidates.markets} == {2}
        assert (sel.to_dict()["max_treated"], sel.to_dict()["exact_size"]) == (largest, 2)


def test_the_analyze_call_repeats_the_test_that_was_scored(named: quintara.Panel) -> None:
    kw = {"test_len": TEST_LEN, "lookback": 6, "max_weight": 0.6}
    sel = quintara.select_markets(named, eligible=["m1", "m2", "m3"], include=["m1"],
                                  exclude=["m7"], control_pool=["m0", "m4", "m5", "m6"],
                                  max_treated=2, target_lift=LIFT, n_candidates=4,
                                  method="sc", budget=5.0, cost_per_unit=1.0, **kw)
    pw = quintara.power(named, treated=["m1"], lifts=[0.0, LIFT], method="asc", **kw)
    for r, call in (
        (sel, "analyze(..., method='sc', alpha=0.1, lookback=6, max_weight=0.6, "
              "exclude=['m7'], control_pool=['m0', 'm4', 'm5', 'm6'])"),
        (pw, "analyze(..., method='asc', alpha=0.1, lookback=6, max_weight=0.6)"),
    ):
        assert call in r.summary().replace("\n  ", " ")
    # The record holds what the search was restricted to.
    assert sel.to_dict().items() >= {
        "eligible": ["m1", "m2", "m3"], "include": ["m1"], "exclude": ["m7"],
        "control_pool": ["m0", "m4", "m5", "m6"], "spend": None, "cost_per_unit": 1.0,
        "min_weight": None, "max_weight": 0.6}.items()


def test_design_json_has_null_where_a_number_is_missing(y: np.ndarray) -> None:
    # A treated market without sales: no window has a relative lift.
    zero = y.copy()
    zero[1] = 0.0
    panel = quintara.Panel(zero, [f"m{i}" for i in range(N)], list(range(20)))
    pw = quintara.power(panel, treated=["m1"], test_len=TEST_LEN, lifts=[0.0, LIFT],
                        method="sc")
    assert pw.curve.est_mean.isna().all()
    strict = {"parse_constant": lambda c: pytest.fail(f"{c} in JSON")}
    out = json.loads(json.dumps(pw.to_dict()), **strict)
    assert [c["est_mean"] for c in out["curve"]] == [None, None]
    for r in (quintara.select_markets(panel, eligible=["m1", "m2"], max_treated=1,
                                      test_len=TEST_LEN, target_lift=LIFT, method="sc"),
              quintara.diagnose(panel, treated=["m1"], test_len=TEST_LEN)):
        json.loads(json.dumps(r.to_dict()), **strict)


def test_design_results_state_their_design_and_test(named: quintara.Panel) -> None:
    test = {"alpha": 0.2, "target_power": 0.7, "alternative": "less", "min_pre": 4,
            "lookback": 6}
    kw = {**COMMON, "alternative": "less"}
    pw = quintara.power(named, treated=["m1", "m4"], test_len=TEST_LEN,
                        lifts=[0.0, -LIFT, -2 * LIFT], **kw)
    sel = quintara.select_markets(named, max_treated=2, test_len=TEST_LEN, target_lift=-LIFT,
                                  n_candidates=6, budget=5.0, cost_per_unit=1.0, **kw)
    dg = quintara.diagnose(named, treated=["m1", "m4"], test_len=TEST_LEN, method="sc")
    design = {"outcome": "sales", "test_len": TEST_LEN}
    assert pw.to_dict().items() >= {**design, **test, "treated": ["m1", "m4"]}.items()
    assert sel.to_dict().items() >= {**design, **test, "max_treated": 2, "budget": 5.0,
                                     "cost_per_unit": 1.0, "solver": "shared"}.items()
    assert dg.to_dict().items() >= {**design, "entry": "geo_diagnostics", "method": "sc",
                                    "treated": ["m1", "m4"]}.items()
    # One-sided, crit is the lower quantile of the signed ATT, not of |ATT|.
    text = pw.summary()
    assert f"Lower ATT crit:   {pw.raw.crit:.4f}" in text and "|ATT|" not in text
    ens = quintara.power(named, treated=["m1"], test_len=TEST_LEN, lifts=[0.0, LIFT],
                         members=["sc", "sdid", "sc"], lookback=6)
    w = ens.raw.ensemble_weights
    assert ens.to_dict()["ensemble_weights"] == [
        {"member": m, "weight": v} for m, v in zip(["sc", "sdid", "sc"], w, strict=True)]
    assert f"Ensemble weights: sc {w[0]:.3f}, sdid {w[1]:.3f}, sc {w[2]:.3f}" in ens.summary()
    assert pw.to_dict()["ensemble_weights"] is None


DESIGN_VERBS = {
    "power": (quintara.power, {"treated": ["m0"], "test_len": TEST_LEN, "lifts": [0.0, LIFT]}),
    "select_markets": (quintara.select_markets, {"max_treated": 2, "test_len": TEST_LEN,
                                                 "target_lift": LIFT, "n_candidates": 4}),
    "diagnose": (quintara.diagnose, {"treated": ["m0"], "test_len": TEST_LEN}),
}


@pytest.mark.parametrize(("verb", "kw", "message"), [
    ("power", {"treated": ["m0", "m0"]}, "^treated lists market m0 more than once$"),
    ("diagnose", {"treated": ["m2", "m0", "m2"]}, "^treated lists market m2 more than once$"),
    # The entry's messages (pinned with it), the market named.
    ("select_markets", {"include": ["m2"], "exclude": ["m2"]}, " share market m2$"),
    ("select_markets", {"spend": "cost", "budget": 5.0}, " for market m7$"),
    ("select_markets", {"include": ["m1", "m4", "m2"]},
     "^include lists 3 markets, more than max_treated=2$"),
    # A panel holding a missing cell: named by market and period.
    *[(verb, {"holes": True}, ": m3 lacks 10$") for verb in DESIGN_VERBS],
])
def test_labelled_errors_name_markets_by_label(table: pd.DataFrame, named: quintara.Panel,
                                               verb: str, kw: dict, message: str) -> None:
    fn, args = DESIGN_VERBS[verb]
    data = named
    if kw.pop("holes", False):
        gap = table.sales.mask((table.market == "m3") & (table.week == 10))
        data = quintara.Panel.from_long(table.assign(sales=gap), unit="market", time="week",
                                        outcome="sales", missing="keep")
    with pytest.raises(ValueError, match=message):
        fn(data, **{**args, **kw})
