"""The module surface: names, order, signatures, docstrings."""

from __future__ import annotations

import inspect
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import quintara
from quintara import _quintara

# The full function table, in registration order.
TABLE = ["version", "fit_sc", "fit_asc", "fit_sdid", "fit_fp", "fit_rsc", "fit_mcnnm",
         "fit_cpasc", "bootstrap_mean", "fit_many", "fit_twfe_py", "fit_callaway_py",
         "fit_sunab_py", "bacon_decompose_py", "geo_power", "geo_power_ensemble",
         "geo_diagnostics", "geo_select", "fit_conformal", "geo_test", "fit_imputation_py",
         "honest_did_py", "geo_analyze", "geo_select_cells"]
CLASSES = ["PowerResult", "GeoDiagnostics", "MarketCandidate", "SCResult", "CPASCResult",
           "DiDResult", "BaconComponent", "BaconResult", "GeoAnalysis", "CellDesign",
           "CellDesigns"]


def test_version_module_identity_and_all_order() -> None:
    assert quintara.version() == quintara.__version__ == "0.3.0"
    with pytest.raises(TypeError):
        quintara.version(1)  # type: ignore[call-arg]
    assert _quintara.__name__ == "quintara._quintara"
    assert _quintara.__doc__ == "The compiled extension module `quintara._quintara`."
    # Functions come first, in table order, then the classes.
    assert _quintara.__all__ == TABLE + CLASSES
    for name in _quintara.__all__:
        assert getattr(quintara, name) is getattr(_quintara, name)
    assert quintara.__all__ == [*_quintara.__all__, "PanicException", *quintara.LABELLED,
                                *quintara.RESULTS, "Table"]
    for name in quintara.RESULTS:  # the labelled result classes, importable from the package
        assert getattr(quintara, name).__module__.startswith("quintara.results")
    assert not {"_progress", "_cancel"} & set(_quintara.__all__)
    assert quintara.PanicException.__mro__[1:] == (BaseException, object)  # not an Exception


SIGNATURES = {
    "version": "()",
    "fit_sc": "(y, treated, treat_time, ridge=0.0, placebo=False, level=0.95, penalty=0.0, "
              "min_weight=0.0, max_weight=1.0, placebo_size='single', n_placebo=1000, seed=0, "
              "max_pre_ratio=0.0)",
    "fit_rsc": "(y, treated, treat_time, rank=None, energy=0.999, ridge=0.0, placebo=False, "
               "level=0.95, placebo_size='single', n_placebo=1000, seed=0, max_pre_ratio=0.0)",
    "fit_mcnnm": "(y, treated, treat_time, lambda_=None, max_iter=200, tol=1e-05, seed=0, "
                 "max_rank=None)",
    "fit_callaway_py": "(y, cohorts, control='never', covariates=None, anticipation=0, "
                       "bands=False, n_reps=999, seed=0, level=0.95, base_period='universal', "
                       "weights=None, clusters=None, missing='refuse', est_method='reg', "
                       "min_e=None, max_e=None, balance_e=None)",
    "geo_power": "(y, treated, test_len, lifts, method='sdid', alpha=0.1, target_power=0.8, "
                 "min_pre=0, lookback=None, min_weight=0.0, max_weight=1.0, "
                 "alternative='two-sided')",
    "geo_power_ensemble": "(y, treated, test_len, lifts, alpha=0.1, target_power=0.8, min_pre=0, "
                          "lookback=None, weights=None, members=None, min_weight=0.0, "
                          "max_weight=1.0, alternative='two-sided')",
    "fit_cpasc": "(y, treated, treat_time, mode='mspe', n_strata=3, block_len=None, "
                 "sc_ridge=0.0, aug_lambda=None)",
    "fit_many": "(y3, treated, treat_time, method='sc', ridge=0.0, zeta_scale=1.0, "
                "min_weight=0.0, max_weight=1.0)",
    "fit_conformal": "(y, treated, treat_time, method='sc', level=0.95, block_len=None, "
                     "pointwise=True, ridge=0.0, zeta_scale=1.0, min_weight=0.0, "
                     "max_weight=1.0)",
    "fit_imputation_py": "(y, cohorts, level=0.95, weights=None, clusters=None, "
    "missing='refuse', pretrends=None)",
    "geo_test": "(y, treated, treat_time, method='sdid', alpha=0.1, min_pre=0, lookback=None, "
                "min_weight=0.0, max_weight=1.0, alternative='two-sided')",
    "fit_twfe_py": "(y, cohorts, level=0.95, ssc='cluster', weights=None, clusters=None, "
    "missing='refuse')",
    "fit_sunab_py": "(y, cohorts, level=0.95, ssc='none', weights=None, clusters=None, "
    "missing='refuse')",
    "bacon_decompose_py": "(y, cohorts)",
    "honest_did_py": "(betahat, sigma, n_pre, kind='relative_magnitude', m=None, l_vec=None, "
                     "level=0.95, grid_points=1000, hybrid=True, breakdown=True, "
                     "max_lp_solves=5000000)",
    "geo_diagnostics": "(y, treated, test_len)",
    "geo_analyze": "(y, treated, treat_time, end_time=None, method='sdid', alpha=0.1, min_pre=0, "
                   "lookback=None, min_weight=0.0, max_weight=1.0, alternative='two-sided', "
                   "spend=None)",
    "geo_select": "(y, eligible, max_treated, test_len, target_lift, method='sdid', alpha=0.1, "
                  "target_power=0.8, min_pre=0, n_candidates=200, seed=0, exact_size=None, "
                  "lookback=None, include=None, min_weight=0.0, max_weight=1.0, "
                  "search='random', exclude=None, control_pool=None, swaps=0, budget=None, "
                  "cost_per_unit=None, spend=None, alternative='two-sided', solver='refit')",
    "geo_select_cells": "(y, eligible, cell_max_treated, cell_lifts, test_len, cell_budgets=None, "
                        "method='sdid', alpha=0.1, target_power=0.8, min_pre=0, "
                        "n_candidates=200, seed=0, lookback=None, exclude=None, "
                        "control_pool=None, min_weight=0.0, max_weight=1.0, cost_per_unit=None, "
                        "spend=None, alternative='two-sided', solver='refit')",
}


def test_signatures_docstrings_and_property_order() -> None:
    for name, signature in SIGNATURES.items():
        assert str(inspect.signature(getattr(quintara, name))) == signature, name
    assert quintara.fit_sc.__doc__ == (
        "Fit synthetic control.\n\n"
        "`y` is an `N×T` outcome array (rows = units, cols = periods). `treated` are\n"
        "the row indices of treated units; `treat_time` is the first post-period\n"
        "column index. If `placebo` is true, an in-space placebo test is run and the\n"
        "p-value / distribution are attached.")
    assert quintara.fit_mcnnm.__doc__ == (
        "Fit Matrix-Completion NNM (Athey et al. 2021). `max_rank`, when set, uses a\n"
        "fast randomized truncated SVD inside SoftImpute (big speedup, low-rank cap).")
    assert quintara.fit_many.__doc__.startswith(
        "Batched, parallel fitting for Monte-Carlo / power-analysis / robustness runs.\n\n")
    assert quintara.geo_diagnostics.__doc__.startswith(
        "Design diagnostics for a treated-market set.\n")
    props = [k for k, v in vars(quintara.SCResult).items() if inspect.isgetsetdescriptor(v)]
    assert props == ["att", "att_path", "counterfactual", "treated_post", "weights", "donor_ids",
                     "pre_rmspe", "post_rmspe", "p_value", "se", "ci_lower", "ci_upper",
                     "inference_distribution", "placebo_atts", "synthetic", "placebo_ids",
                     "placebo_gaps", "placebo_sets", "test_ci_lower", "test_ci_upper",
                     "n_placebo_used", "n_placebo_excluded", "inference_method", "level",
                     "pointwise_lower", "pointwise_upper"]
    assert quintara.geo_power.__doc__.startswith(
        "Power analysis for one method via historical placebo with injected lift.\n\n")
    assert quintara.geo_power_ensemble.__doc__.startswith(
        "Power analysis for a **weighted-average ensemble** of base methods.\n\n`members` ")
    assert quintara.geo_select.__doc__.startswith(
        "Search and rank candidate treatment-market sets.\n\n")
    assert quintara.SCResult.__doc__ == (
        "Result of a synthetic-control-family fit, exposed to Python.")
    assert quintara.BaconResult.components.__doc__ == "All 2×2 comparisons."


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_sealed(name: str) -> None:
    cls = getattr(quintara, name)
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    props = [v for v in vars(cls).values() if inspect.isgetsetdescriptor(v)]
    assert props and all(isinstance(p.__doc__, str) for p in props)


@pytest.mark.slow
def test_type_stub_matches_the_runtime_module() -> None:
    stubtest = pytest.importorskip("mypy.stubtest")
    res = subprocess.run([sys.executable, "-m", stubtest.__name__, "quintara._quintara"],
                         capture_output=True, text=True)
    assert res.returncode == 0, res.stdout + res.stderr


def test_stub_result_classes_are_generated_from_the_field_tables() -> None:
    gen_stub = runpy.run_path(str(Path(__file__).resolve().parents[2] / "scripts" / "gen_stub.py"))
    stub = gen_stub["STUB"].read_text(encoding="utf-8")
    assert gen_stub["regenerate"](stub) == stub, "run scripts/gen_stub.py"
    # Each class's rows are its properties, in order, with their docstrings.
    rows = _quintara._result_fields()
    for name in CLASSES:
        cls = getattr(quintara, name)
        props = [k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v)]
        assert props == [n for c, n, *_ in rows if c == name], name
        assert all(getattr(cls, n).__doc__ == d for c, n, _, _, d in rows if c == name), name
