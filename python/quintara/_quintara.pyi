"""The compiled extension module `quintara._quintara`."""

from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex
_Array = npt.NDArray[np.float64]
# Lists, tuples and 1-D arrays alike (an array is read through its buffer).
_Indices = Sequence[SupportsIndex] | npt.NDArray[np.integer]
_Floats = Sequence[_Float] | npt.NDArray[np.floating] | npt.NDArray[np.integer]

__all__ = [
    "version",
    "fit_sc",
    "fit_asc",
    "fit_sdid",
    "fit_fp",
    "fit_rsc",
    "fit_mcnnm",
    "fit_cpasc",
    "bootstrap_mean",
    "fit_many",
    "fit_twfe_py",
    "fit_callaway_py",
    "fit_sunab_py",
    "bacon_decompose_py",
    "geo_power",
    "geo_power_ensemble",
    "geo_diagnostics",
    "geo_select",
    "fit_conformal",
    "geo_test",
    "fit_imputation_py",
    "honest_did_py",
    "geo_analyze",
    "geo_select_cells",
    "PowerResult",
    "GeoDiagnostics",
    "MarketCandidate",
    "SCResult",
    "CPASCResult",
    "DiDResult",
    "BaconComponent",
    "BaconResult",
    "GeoAnalysis",
    "CellDesign",
    "CellDesigns",
]

class PanicException(BaseException):
    """An internal invariant of quintara was violated (a bug, not bad input)."""

def version() -> str:
    """The quintara version string."""

# Private: progress and cancellation of the compiled calls running now.
def _progress() -> tuple[int, int]:
    """(done, total) outer-loop tasks of the compiled calls running now."""

def _cancel() -> int:
    """Ask every running compiled call to stop; returns how many there were."""

# Private: the labelled layer's layout of integer-labelled long tables.
def _long_layout(
    unit: npt.NDArray[np.int64], time: npt.NDArray[np.int64], values: _Array, /
) -> dict[str, Any] | None:
    """The units x periods array of a long table with gap-free integer labels, or None."""

def _run_firsts(values: npt.NDArray[Any], width: int, /) -> bytearray | None:
    """Each run's value, as bytes, when every run of width values holds one; else None."""

def _offset_codes(values: npt.NDArray[np.int64], first: int, n: int, /) -> bytearray | None:
    """Adoption values as the positions of periods first .. first + n - 1, or None for a stray."""

def _count_nan(values: npt.NDArray[np.float64], /) -> int:
    """The number of NaN items of a 1-D float64 array."""

# The selection's steps, for running its evaluations elsewhere (`distributed`).
def _select_candidates(
    y: _Array,
    eligible: _Indices,
    max_treated: SupportsIndex,
    test_len: SupportsIndex,
    target_lift: _Float,
    method: str = "sdid",
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    exact_size: SupportsIndex | None = None,
    lookback: SupportsIndex | None = None,
    include: _Indices | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    search: str = "random",
    exclude: _Indices | None = None,
    control_pool: _Indices | None = None,
    swaps: SupportsIndex = 0,
    budget: _Float | None = None,
    cost_per_unit: _Float | None = None,
    spend: _Floats | None = None,
    alternative: str = "two-sided",
    solver: str = "refit",
) -> list[list[int]]: ...
def _evaluate_candidates(
    y: _Array,
    candidates: Sequence[_Indices],
    eligible: _Indices,
    max_treated: SupportsIndex,
    test_len: SupportsIndex,
    target_lift: _Float,
    method: str = "sdid",
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    exact_size: SupportsIndex | None = None,
    lookback: SupportsIndex | None = None,
    include: _Indices | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    search: str = "random",
    exclude: _Indices | None = None,
    control_pool: _Indices | None = None,
    swaps: SupportsIndex = 0,
    budget: _Float | None = None,
    cost_per_unit: _Float | None = None,
    spend: _Floats | None = None,
    alternative: str = "two-sided",
    solver: str = "refit",
) -> list[MarketCandidate]: ...
def _candidate_counts(
    y: _Array,
    eligible: _Indices,
    max_treated: SupportsIndex,
    test_len: SupportsIndex,
    target_lift: _Float,
    method: str = "sdid",
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    exact_size: SupportsIndex | None = None,
    lookback: SupportsIndex | None = None,
    include: _Indices | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    search: str = "random",
    exclude: _Indices | None = None,
    control_pool: _Indices | None = None,
    swaps: SupportsIndex = 0,
    budget: _Float | None = None,
    cost_per_unit: _Float | None = None,
    spend: _Floats | None = None,
    alternative: str = "two-sided",
    solver: str = "refit",
) -> list[dict[str, Any]]: ...
def _rank_candidates(scores: _Floats) -> list[int]: ...
def _reconstruct(name: str, state: tuple[Any, ...]) -> Any: ...
def _result_fields() -> Any: ...
def fit_sc(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    ridge: _Float = 0.0,
    placebo: bool | np.bool_ = False,
    level: _Float = 0.95,
    penalty: _Float = 0.0,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    placebo_size: str = "single",
    n_placebo: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    max_pre_ratio: _Float = 0.0,
) -> SCResult:
    """Fit synthetic control."""

def fit_asc(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    sc_ridge: _Float = 0.0,
    aug_lambda: _Float | None = None,
    placebo: bool | np.bool_ = False,
    level: _Float = 0.95,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    placebo_size: str = "single",
    n_placebo: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    max_pre_ratio: _Float = 0.0,
) -> SCResult:
    """Fit Augmented Synthetic Control (Ben-Michael et al. 2021)."""

def fit_sdid(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    zeta_scale: _Float = 1.0,
    inference: Literal["none", "placebo", "jackknife"] = "none",
    level: _Float = 0.95,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    placebo_size: str = "single",
    n_placebo: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    max_pre_ratio: _Float = 0.0,
) -> SCResult:
    """Fit Synthetic Difference-in-Differences (Arkhangelsky et al. 2021)."""

def fit_fp(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    ridge: _Float = 0.0,
    placebo: bool | np.bool_ = False,
    level: _Float = 0.95,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    placebo_size: str = "single",
    n_placebo: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    max_pre_ratio: _Float = 0.0,
) -> SCResult:
    """Fit the demeaned synthetic control (Ferman & Pinto 2021)."""

def fit_rsc(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    rank: SupportsIndex | None = None,
    energy: _Float = 0.999,
    ridge: _Float = 0.0,
    placebo: bool | np.bool_ = False,
    level: _Float = 0.95,
    placebo_size: str = "single",
    n_placebo: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    max_pre_ratio: _Float = 0.0,
) -> SCResult:
    """Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen
    2018)."""

def fit_mcnnm(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    lambda_: _Float | None = None,
    max_iter: SupportsIndex = 200,
    tol: _Float = 1e-5,
    seed: SupportsIndex = 0,
    max_rank: SupportsIndex | None = None,
) -> SCResult:
    """Fit Matrix-Completion NNM (Athey et al. 2021)."""

def fit_cpasc(
    y: _Array,
    treated: _Indices,
    treat_time: SupportsIndex,
    mode: Literal["mspe", "stratified", "cumulative"] = "mspe",
    n_strata: SupportsIndex = 3,
    block_len: SupportsIndex | None = None,
    sc_ridge: _Float = 0.0,
    aug_lambda: _Float | None = None,
) -> CPASCResult:
    """Fit a CP-ASC-family estimator (novel)."""

def fit_twfe_py(
    y: _Array,
    cohorts: _Indices,
    level: _Float = 0.95,
    ssc: str = "cluster",
    weights: _Floats | None = None,
    clusters: _Indices | None = None,
    missing: str = "refuse",
) -> DiDResult:
    """Two-way fixed-effects DiD with cluster-robust SE."""

def fit_sunab_py(
    y: _Array,
    cohorts: _Indices,
    level: _Float = 0.95,
    ssc: str = "none",
    weights: _Floats | None = None,
    clusters: _Indices | None = None,
    missing: str = "refuse",
) -> DiDResult:
    """Sun & Abraham interaction-weighted event study."""

def bacon_decompose_py(y: _Array, cohorts: _Indices) -> BaconResult:
    """Goodman-Bacon decomposition of the TWFE estimate into 2×2 comparisons."""

def bootstrap_mean(
    series: _Floats,
    kind: str = "block",
    block_len: SupportsIndex = 4,
    n_reps: SupportsIndex = 2000,
    seed: SupportsIndex = 0,
    level: _Float = 0.95,
) -> tuple[float, float, float]:
    """Block / stationary bootstrap of the mean of a series; `(se, ci_lower, ci_upper)`."""

def fit_many(
    y3: npt.NDArray[np.float64],
    treated: _Indices,
    treat_time: SupportsIndex,
    method: str = "sc",
    ridge: _Float = 0.0,
    zeta_scale: _Float = 1.0,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
) -> npt.NDArray[np.float64]:
    """Batched, parallel fitting for Monte-Carlo / power-analysis / robustness runs;
    one ATT per replication of the `(R, N, T)` stack."""

def fit_callaway_py(
    y: _Array,
    cohorts: _Indices,
    control: str = "never",
    covariates: _Array | None = None,
    anticipation: SupportsIndex = 0,
    bands: bool | np.bool_ = False,
    n_reps: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    level: _Float = 0.95,
    base_period: str = "universal",
    weights: _Array | _Floats | None = None,
    clusters: npt.NDArray[np.integer] | _Indices | None = None,
    missing: str = "refuse",
    est_method: str = "reg",
    min_e: SupportsIndex | None = None,
    max_e: SupportsIndex | None = None,
    balance_e: SupportsIndex | None = None,
) -> DiDResult:
    """Callaway & Sant'Anna group-time ATTs aggregated to overall + event study."""

def geo_power(
    y: _Array,
    treated: _Indices,
    test_len: SupportsIndex,
    lifts: _Floats,
    method: str = "sdid",
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    alternative: str = "two-sided",
) -> PowerResult:
    """Power analysis for one method via historical placebo with injected lift.

    Every past window of `test_len` periods (split t0, with at least `min_pre`
    periods before it, 0 meaning `test_len` and at least 2; the last
    `lookback` windows when given) is fitted once
    as it happened, giving the null critical value `crit` (the 1 - `alpha`
    quantile of |ATT|), and once per lift with the treated markets' test
    periods multiplied by (1 + lift). `power` is the share of windows whose
    |ATT| exceeds `crit`; `mde_pct` is the lift where the curve first reaches
    `target_power`. Lifts are fractions (0.05 = +5%).
    """

def geo_power_ensemble(
    y: _Array,
    treated: _Indices,
    test_len: SupportsIndex,
    lifts: _Floats,
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    weights: _Floats | None = None,
    members: Sequence[str] | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    alternative: str = "two-sided",
) -> PowerResult:
    """Power analysis for a **weighted-average ensemble** of base methods.

    `members` names the estimators to blend (default SC + ASC + SDID; any of
    "sc", "asc", "sdid", "fp", "rsc", repeats counting as separate
    members). `weights` is one non-negative number per member, or `None` for
    data-driven inverse-variance weights from each method's historical-null
    spread. In every placebo window the members' ATTs are combined with these
    weights before power is computed, by the rules of `geo_power`; the
    normalized weights are returned as `ensemble_weights`.
    """

def geo_diagnostics(y: _Array, treated: _Indices, test_len: SupportsIndex) -> GeoDiagnostics:
    """Design diagnostics for a treated-market set."""

def geo_select(
    y: _Array,
    eligible: _Indices,
    max_treated: SupportsIndex,
    test_len: SupportsIndex,
    target_lift: _Float,
    method: str = "sdid",
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    exact_size: SupportsIndex | None = None,
    lookback: SupportsIndex | None = None,
    include: _Indices | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    search: str = "random",
    exclude: _Indices | None = None,
    control_pool: _Indices | None = None,
    swaps: SupportsIndex = 0,
    budget: _Float | None = None,
    cost_per_unit: _Float | None = None,
    spend: _Floats | None = None,
    alternative: str = "two-sided",
    solver: str = "refit",
) -> list[MarketCandidate]:
    """Search and rank candidate treatment-market sets."""

def fit_conformal(
    y: npt.NDArray[np.float64],
    treated: _Indices,
    treat_time: SupportsIndex,
    method: str = "sc",
    level: _Float = 0.95,
    block_len: SupportsIndex | None = None,
    pointwise: bool = True,
    ridge: _Float = 0.0,
    zeta_scale: _Float = 1.0,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
) -> SCResult:
    """Fit sc, fp, asc or sdid with conformal inference (moving-block permutations
    of the null-imposed residuals): p-value, inverted interval, pointwise intervals."""

def geo_test(
    y: npt.NDArray[np.float64],
    treated: _Indices,
    treat_time: SupportsIndex,
    method: str = "sdid",
    alpha: _Float = 0.1,
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    alternative: str = "two-sided",
) -> SCResult:
    """Analyse a finished geo experiment with the detection test of `geo_power`."""

def geo_analyze(
    y: npt.NDArray[np.float64],
    treated: _Indices,
    treat_time: SupportsIndex,
    end_time: SupportsIndex | None = None,
    method: str = "sdid",
    alpha: _Float = 0.1,
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    alternative: str = "two-sided",
    spend: _Float | None = None,
) -> GeoAnalysis:
    """Analyse a finished geo experiment: effect paths, lift, incremental units, iROAS."""

def fit_imputation_py(
    y: _Array,
    cohorts: _Indices,
    level: _Float = 0.95,
    weights: _Floats | None = None,
    clusters: _Indices | None = None,
    missing: str = "refuse",
    pretrends: SupportsIndex | None = None,
) -> DiDResult:
    """Borusyak-Jaravel-Spiess imputation estimator with conservative SEs."""

def honest_did_py(
    betahat: _Floats,
    sigma: _Array,
    n_pre: SupportsIndex,
    kind: str = "relative_magnitude",
    m: _Floats | None = None,
    l_vec: _Floats | None = None,
    level: _Float = 0.95,
    grid_points: SupportsIndex = 1000,
    hybrid: bool = True,
    breakdown: bool = True,
    max_lp_solves: SupportsIndex = 5000000,
) -> dict[str, Any]:
    """Rambachan-Roth robust intervals under bounded violations of parallel trends."""

def geo_select_cells(
    y: _Array,
    eligible: _Indices,
    cell_max_treated: _Indices,
    cell_lifts: _Floats,
    test_len: SupportsIndex,
    cell_budgets: _Floats | None = None,
    method: str = "sdid",
    alpha: _Float = 0.1,
    target_power: _Float = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    exclude: _Indices | None = None,
    control_pool: _Indices | None = None,
    min_weight: _Float = 0.0,
    max_weight: _Float = 1.0,
    cost_per_unit: _Float | None = None,
    spend: _Floats | None = None,
    alternative: str = "two-sided",
    solver: str = "refit",
) -> CellDesigns:
    """Search and rank joint multi-cell designs sharing one control pool."""

# --- result classes: generated by scripts/gen_stub.py from the field tables ---
@final
class SCResult:
    """Result of a synthetic-control-family fit, exposed to Python."""

    @property
    def att(self) -> float: ...  # y
    @property
    def att_path(self) -> list[float]: ...  # y
    @property
    def counterfactual(self) -> list[float]: ...  # y
    @property
    def treated_post(self) -> list[float]: ...  # y
    @property
    def weights(self) -> list[float]: ...  # unitless
    @property
    def donor_ids(self) -> list[int]: ...  # count
    @property
    def pre_rmspe(self) -> float: ...  # y
    @property
    def post_rmspe(self) -> float: ...  # y
    @property
    def p_value(self) -> float | None: ...  # unitless
    @property
    def se(self) -> float | None: ...  # y
    @property
    def ci_lower(self) -> float | None: ...  # y
    @property
    def ci_upper(self) -> float | None: ...  # y
    @property
    def inference_distribution(self) -> list[float] | None: ...  # placebo statistic
    @property
    def placebo_atts(self) -> list[float] | None: ...  # y
    @property
    def synthetic(self) -> list[float]: ...  # y
    @property
    def placebo_ids(self) -> list[int] | None: ...  # count
    @property
    def placebo_gaps(self) -> list[list[float]] | None: ...  # y
    @property
    def placebo_sets(self) -> list[list[int]] | None: ...  # count
    @property
    def test_ci_lower(self) -> float | None: ...  # y
    @property
    def test_ci_upper(self) -> float | None: ...  # y
    @property
    def n_placebo_used(self) -> int | None: ...  # count
    @property
    def n_placebo_excluded(self) -> int | None: ...  # count
    @property
    def inference_method(self) -> str | None: ...  # unitless
    @property
    def level(self) -> float | None: ...  # unitless
    @property
    def pointwise_lower(self) -> list[float] | None: ...  # y
    @property
    def pointwise_upper(self) -> list[float] | None: ...  # y

@final
class DiDResult:
    """Result of a difference-in-differences fit, exposed to Python."""

    @property
    def att(self) -> float: ...  # y
    @property
    def se(self) -> float: ...  # y
    @property
    def event_time(self) -> list[int]: ...  # count
    @property
    def event_att(self) -> list[float]: ...  # y
    @property
    def event_se(self) -> list[float]: ...  # y
    @property
    def event_lo(self) -> list[float]: ...  # y
    @property
    def event_hi(self) -> list[float]: ...  # y
    @property
    def band_crit(self) -> float | None: ...  # unitless
    @property
    def group_cohort(self) -> list[int]: ...  # count
    @property
    def group_att(self) -> list[float]: ...  # y
    @property
    def group_se(self) -> list[float]: ...  # y
    @property
    def overall_group_att(self) -> float | None: ...  # y
    @property
    def overall_group_se(self) -> float | None: ...  # y
    @property
    def ci_lower(self) -> float: ...  # y
    @property
    def ci_upper(self) -> float: ...  # y
    @property
    def event_ci_lower(self) -> list[float]: ...  # y
    @property
    def event_ci_upper(self) -> list[float]: ...  # y
    @property
    def group_ci_lower(self) -> list[float]: ...  # y
    @property
    def group_ci_upper(self) -> list[float]: ...  # y
    @property
    def overall_group_ci_lower(self) -> float | None: ...  # y
    @property
    def overall_group_ci_upper(self) -> float | None: ...  # y
    @property
    def level(self) -> float: ...  # unitless
    @property
    def p_value(self) -> float: ...  # unitless
    @property
    def event_p_value(self) -> list[float]: ...  # unitless
    @property
    def group_p_value(self) -> list[float]: ...  # unitless
    @property
    def overall_group_p_value(self) -> float | None: ...  # unitless
    @property
    def base_period(self) -> str | None: ...  # unitless
    @property
    def se_correction(self) -> str | None: ...  # unitless
    @property
    def n_clusters(self) -> int | None: ...  # count
    @property
    def pretrend_wald(self) -> float | None: ...  # unitless
    @property
    def pretrend_df(self) -> int | None: ...  # count
    @property
    def pretrend_p_value(self) -> float | None: ...  # unitless
    @property
    def event_cov(self) -> list[float]: ...  # y^2
    @property
    def n_not_imputed(self) -> int | None: ...  # count
    @property
    def calendar_period(self) -> list[int]: ...  # count
    @property
    def calendar_att(self) -> list[float]: ...  # y
    @property
    def calendar_se(self) -> list[float]: ...  # y
    @property
    def calendar_ci_lower(self) -> list[float]: ...  # y
    @property
    def calendar_ci_upper(self) -> list[float]: ...  # y
    @property
    def calendar_p_value(self) -> list[float]: ...  # unitless
    @property
    def overall_calendar_att(self) -> float | None: ...  # y
    @property
    def overall_calendar_se(self) -> float | None: ...  # y
    @property
    def overall_calendar_ci_lower(self) -> float | None: ...  # y
    @property
    def overall_calendar_ci_upper(self) -> float | None: ...  # y
    @property
    def overall_calendar_p_value(self) -> float | None: ...  # unitless
    @property
    def overall_dynamic_att(self) -> float | None: ...  # y
    @property
    def overall_dynamic_se(self) -> float | None: ...  # y
    @property
    def overall_dynamic_ci_lower(self) -> float | None: ...  # y
    @property
    def overall_dynamic_ci_upper(self) -> float | None: ...  # y
    @property
    def overall_dynamic_p_value(self) -> float | None: ...  # unitless

@final
class CPASCResult:
    """Result of a CP-ASC-family fit, exposed to Python."""

    @property
    def att(self) -> float: ...  # y
    @property
    def p_value(self) -> float: ...  # unitless
    @property
    def unit_ids(self) -> list[int]: ...  # count
    @property
    def unit_att(self) -> list[float]: ...  # y
    @property
    def unit_mspe(self) -> list[float]: ...  # y^2
    @property
    def unit_weight(self) -> list[float]: ...  # unitless
    @property
    def pooled_residual(self) -> list[float]: ...  # y
    @property
    def null_residual(self) -> list[float]: ...  # y
    @property
    def t0(self) -> int: ...  # count

@final
class BaconComponent:
    """One 2×2 comparison in a Goodman-Bacon decomposition."""

    @property
    def kind(self) -> str: ...  # unitless
    @property
    def treated_cohort(self) -> int: ...  # count
    @property
    def comparison_cohort(self) -> int | None: ...  # count
    @property
    def weight(self) -> float: ...  # unitless
    @property
    def estimate(self) -> float: ...  # y

@final
class BaconResult:
    """Result of a Goodman-Bacon decomposition."""

    @property
    def twfe(self) -> float: ...  # y
    @property
    def forbidden_weight(self) -> float: ...  # unitless
    @property
    def components(self) -> list[BaconComponent]: ...  # record

@final
class PowerResult:
    """Power-analysis result for one estimator (flattened for easy plotting)."""

    @property
    def method(self) -> str: ...  # unitless
    @property
    def lifts(self) -> list[float]: ...  # unitless
    @property
    def power(self) -> list[float]: ...  # unitless
    @property
    def est_mean(self) -> list[float]: ...  # unitless
    @property
    def est_lo(self) -> list[float]: ...  # unitless
    @property
    def est_hi(self) -> list[float]: ...  # unitless
    @property
    def mde_pct(self) -> float | None: ...  # unitless
    @property
    def mde_abs_per_period(self) -> float | None: ...  # y
    @property
    def mde_cumulative(self) -> float | None: ...  # y
    @property
    def crit(self) -> float: ...  # y
    @property
    def se_null(self) -> float: ...  # y
    @property
    def n_windows(self) -> int: ...  # count
    @property
    def ensemble_weights(self) -> list[float] | None: ...  # unitless

@final
class GeoDiagnostics:
    """Design diagnostics, exposed to Python."""

    @property
    def holdout_pct(self) -> float: ...  # unitless
    @property
    def pre_fit_rel(self) -> float: ...  # unitless
    @property
    def improvement_vs_naive(self) -> float: ...  # unitless
    @property
    def seasonality_strength(self) -> float: ...  # unitless
    @property
    def stability_score(self) -> float: ...  # unitless
    @property
    def confidence(self) -> float: ...  # unitless
    @property
    def warnings(self) -> list[str]: ...  # unitless

@final
class MarketCandidate:
    """One ranked candidate treatment-market set."""

    @property
    def treated(self) -> list[int]: ...  # count
    @property
    def power_at_target(self) -> float: ...  # unitless
    @property
    def mde_pct(self) -> float | None: ...  # unitless
    @property
    def holdout_pct(self) -> float: ...  # unitless
    @property
    def pre_fit_rel(self) -> float: ...  # unitless
    @property
    def stability_score(self) -> float: ...  # unitless
    @property
    def confidence(self) -> float: ...  # unitless
    @property
    def score(self) -> float: ...  # unitless
    @property
    def cost(self) -> float | None: ...  # unitless

@final
class GeoAnalysis:
    """A finished geo experiment analysed by the in-time test, exposed to Python."""

    @property
    def att(self) -> float: ...  # y
    @property
    def se(self) -> float: ...  # y
    @property
    def p_value(self) -> float: ...  # unitless
    @property
    def ci_lower(self) -> float: ...  # y
    @property
    def ci_upper(self) -> float: ...  # y
    @property
    def level(self) -> float: ...  # unitless
    @property
    def alternative(self) -> str: ...  # unitless
    @property
    def inference_method(self) -> str: ...  # unitless
    @property
    def n_treated(self) -> int: ...  # count
    @property
    def n_pre(self) -> int: ...  # count
    @property
    def n_post(self) -> int: ...  # count
    @property
    def n_windows(self) -> int: ...  # count
    @property
    def observed(self) -> list[float]: ...  # y
    @property
    def synthetic(self) -> list[float]: ...  # y
    @property
    def effect(self) -> list[float]: ...  # y
    @property
    def effect_lower(self) -> list[float]: ...  # y
    @property
    def effect_upper(self) -> list[float]: ...  # y
    @property
    def cumulative(self) -> list[float]: ...  # y
    @property
    def cumulative_lower(self) -> list[float]: ...  # y
    @property
    def cumulative_upper(self) -> list[float]: ...  # y
    @property
    def incremental(self) -> float: ...  # y
    @property
    def incremental_se(self) -> float: ...  # y
    @property
    def incremental_lower(self) -> float: ...  # y
    @property
    def incremental_upper(self) -> float: ...  # y
    @property
    def counterfactual_total(self) -> float: ...  # y
    @property
    def lift_pct(self) -> float: ...  # unitless
    @property
    def lift_pct_lower(self) -> float: ...  # unitless
    @property
    def lift_pct_upper(self) -> float: ...  # unitless
    @property
    def spend(self) -> float | None: ...  # unitless
    @property
    def iroas(self) -> float | None: ...  # unitless
    @property
    def iroas_se(self) -> float | None: ...  # unitless
    @property
    def iroas_lower(self) -> float | None: ...  # unitless
    @property
    def iroas_upper(self) -> float | None: ...  # unitless
    @property
    def cost_per_incremental(self) -> float | None: ...  # unitless
    @property
    def cost_per_incremental_lower(self) -> float | None: ...  # unitless
    @property
    def cost_per_incremental_upper(self) -> float | None: ...  # unitless
    @property
    def weights(self) -> list[float]: ...  # unitless
    @property
    def donor_ids(self) -> list[int]: ...  # count
    @property
    def null_atts(self) -> list[float]: ...  # y

@final
class CellDesign:
    """One joint multi-cell design: a scored treated set per cell."""

    @property
    def cells(self) -> list[MarketCandidate]: ...  # record
    @property
    def score(self) -> float: ...  # unitless
    @property
    def total(self) -> float: ...  # unitless

@final
class CellDesigns:
    """Ranked joint multi-cell designs (geo_select_cells)."""

    @property
    def designs(self) -> list[CellDesign]: ...  # record
    @property
    def n_designs(self) -> float: ...  # unitless
    @property
    def n_scored(self) -> int: ...  # count
    @property
    def search(self) -> str: ...  # unitless

# --- end of generated result classes ---
