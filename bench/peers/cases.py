"""The benchmark's cases: each names its data and, per implementation, a
function that prepares that implementation's input (not timed) and returns
the timed call, which returns the estimate compared across implementations.

Estimates: the average post-treatment effect for the synthetic-control
family; the overall ATT (post-treatment cells weighted by cohort size) for
Callaway-Sant'Anna and Sun-Abraham; the coefficient for TWFE. Peers are
imported inside their functions so a missing one fails only its own runs.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

import cases_did_large
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/common.py

Fit = Callable[[], float]

ASC_LAMBDA = 1.0  # a fixed ridge penalty, so no implementation cross-validates
PLACEBO_REPS = 999

DISTRIBUTIONS = {
    "quintara": "quintara",
    "pysyncon": "pysyncon",
    "augsynth-py": "augsynth-py",
    "scpi-pkg": "scpi-pkg",
    "synthdid-py": "synthdid-py",
    "mlsynth": "mlsynth",
    "csdid": "csdid",
    "differences": "differences",
    "pyfixest": "pyfixest",
    "quintara-compiled": "quintara",
    "diff-diff": "diff-diff",
    "moderndid": "moderndid",
    "causaltensor": "causaltensor",
}


def version(impl: str) -> str:
    try:
        return metadata.version(DISTRIBUTIONS[impl])
    except metadata.PackageNotFoundError:
        return "?"


# ---------------------------------------------------------------- data


@dataclass
class ScData:
    y: np.ndarray  # units x periods
    treated: int
    t0: int  # first treated period (column index)


@dataclass
class DidData:
    y: np.ndarray
    cohorts: list[int]  # adoption column, -1 never treated


def prop99() -> ScData:
    from quintara.datasets import load_prop99

    d = load_prop99()
    return ScData(d.y, d.treated[0], d.treat_time)


def sc200() -> ScData:
    from common import factor_panel

    y = factor_panel(201, 104, seed=1)
    t0 = 78
    y[0, t0:] += 1.0
    return ScData(y, 0, t0)


def sc1000() -> ScData:
    from common import factor_panel

    y = factor_panel(1001, 104, seed=2)
    t0 = 78
    y[0, t0:] += 1.0
    return ScData(y, 0, t0)


@dataclass
class McData:
    y: np.ndarray  # units x periods
    treated: list[int]  # missing from t0 on
    t0: int


MC_LAMBDA = 2.0  # a given penalty in outcome units, so no implementation cross-validates


def mc_panel(n: int, t: int) -> Callable[[], McData]:
    """bench_mcnnm.py's factor panels: a tenth of the units treated over the
    last quarter of the periods."""

    def make() -> McData:
        from common import factor_panel

        return McData(factor_panel(n, t), list(range(max(1, n // 10))), 3 * t // 4)

    return make


def mpdta() -> DidData:
    from quintara.datasets import load_mpdta

    d = load_mpdta()
    return DidData(d.y, list(d.cohorts))


def staggered1000() -> DidData:
    from common import staggered_panel

    y, cohorts = staggered_panel(1000, 40, 6, seed=0)
    return DidData(y, cohorts)


def sc_long(d: ScData):
    """Long pandas frame: unit (str), time (int), y, treated (0/1 in force)."""
    import pandas as pd

    n, t = d.y.shape
    unit = np.repeat(np.arange(n), t)
    time = np.tile(np.arange(t), n)
    return pd.DataFrame(
        {
            "unit": [f"u{i}" for i in unit],
            "time": time,
            "y": d.y.ravel(),
            "treated": ((unit == d.treated) & (time >= d.t0)).astype(int),
        }
    )


def did_long(d: DidData):
    """Long pandas frame: unit (int from 1), time (int from 1), y, first
    treated period (0 never), relative period, in-force indicator."""
    import pandas as pd

    n, t = d.y.shape
    unit = np.repeat(np.arange(n), t)
    time = np.tile(np.arange(t), n)
    g = np.asarray(d.cohorts)[unit]
    first = np.where(g >= 0, g + 1, 0)
    return pd.DataFrame(
        {
            "unit": unit + 1,
            "time": time + 1,
            "y": d.y.ravel(),
            "first": first,
            "treat": ((first > 0) & (time + 1 >= first)).astype(int),
        }
    )


# ---------------------------------------------------------------- quintara


def q_sc(method: str, placebo: bool) -> Callable[[ScData], Fit]:
    def make(d: ScData) -> Fit:
        import quintara

        fn = getattr(quintara, method)
        kw: dict = {}
        if method == "fit_sdid":
            kw["inference"] = "placebo" if placebo else "none"
        else:
            kw["placebo"] = placebo
        if method == "fit_asc":
            kw["aug_lambda"] = ASC_LAMBDA
        return lambda: fn(d.y, [d.treated], d.t0, **kw).att

    return make


def q_sdid_labelled(placebo: bool) -> Callable[[ScData], Fit]:
    """`quintara.synth` on a labelled panel, with the compiled test's
    placebos (every donor, none left out) so the work is the same."""

    def make(d: ScData) -> Fit:
        import quintara

        n, t = d.y.shape
        panel = quintara.Panel(d.y, [f"u{i}" for i in range(n)], list(range(t)))
        kw = {"placebo_size": "single", "max_pre_ratio": 0.0} if placebo else {}
        return lambda: (
            quintara.synth(
                panel,
                treated=f"u{d.treated}",
                start=d.t0,
                method="sdid",
                inference="placebo" if placebo else "none",
                progress=False,
                **kw,
            ).att
        )

    return make


def q_cs(control: str, bands: bool) -> Callable[[DidData], Fit]:
    def make(d: DidData) -> Fit:
        import quintara

        return lambda: (
            quintara.fit_callaway_py(
                d.y, d.cohorts, control=control, bands=bands, n_reps=PLACEBO_REPS
            ).att
        )

    return make


def q_did(entry: str) -> Callable[[DidData], Fit]:
    def make(d: DidData) -> Fit:
        import quintara

        fn = getattr(quintara, entry)
        return lambda: fn(d.y, d.cohorts).att

    return make


# ---------------------------------------------------------------- SC peers


def q_mcnnm(labelled: bool) -> Callable[[McData], Fit]:
    def make(d: McData) -> Fit:
        import quintara

        if not labelled:
            return lambda: quintara.fit_mcnnm(d.y, d.treated, d.t0, lambda_=MC_LAMBDA).att
        n, t = d.y.shape
        panel = quintara.Panel(d.y, [f"u{i}" for i in range(n)], list(range(t)))
        names = [f"u{i}" for i in d.treated]
        return lambda: (
            quintara.synth(
                panel, treated=names, start=d.t0, method="mcnnm", inference="none",
                lambda_=MC_LAMBDA, progress=False,
            ).att
        )  # fmt: skip

    return make


def causaltensor_mcnnm(d: McData) -> Fit:
    """causaltensor's MC-NNM at the same penalty: two-way fixed effects and a
    nuclear-norm penalised low-rank part, the effect averaged over the treated
    cells. It stops at a relative change of 1e-7 (quintara at 1e-5), so the
    estimates agree to the looser tolerance, not to rounding."""
    from causaltensor.cauest.MCNNM import MC_NNM_with_l

    z = np.zeros_like(d.y)
    z[d.treated, d.t0 :] = 1.0
    return lambda: float(np.mean(MC_NNM_with_l(d.y, 1.0 - z, MC_LAMBDA)[3]))


def pysyncon_sc(placebo: bool) -> Callable[[ScData], Fit]:
    def make(d: ScData) -> Fit:
        from pysyncon import Dataprep, Synth
        from pysyncon.utils import PlaceboTest

        df = sc_long(d)
        pre, post = list(range(d.t0)), list(range(d.t0, d.y.shape[1]))
        units = [f"u{i}" for i in range(d.y.shape[0])]
        treated = units[d.treated]
        dp = Dataprep(
            foo=df,
            predictors=[],
            predictors_op="mean",
            dependent="y",
            unit_variable="unit",
            time_variable="time",
            treatment_identifier=treated,
            controls_identifier=[u for u in units if u != treated],
            time_predictors_prior=pre,
            time_optimize_ssr=pre,
            special_predictors=[("y", [t], "mean") for t in pre],
        )
        # Synth divides each predictor row by its spread across units; a V of
        # those squared spreads undoes it, leaving the plain outcome fit.
        x0, x1 = dp.make_covariate_mats()
        v = np.concatenate([x0, np.asarray(x1)[:, None]], axis=1).std(axis=1, ddof=1) ** 2

        def fit() -> float:
            s = Synth()
            s.fit(dataprep=dp, custom_V=v)
            if placebo:
                PlaceboTest().fit(
                    dataprep=dp,
                    scm=Synth(),
                    scm_options={"custom_V": v},
                    max_workers=1,
                    verbose=False,
                )
            return s.att(time_period=post)["att"]

        return fit

    return make


def pysyncon_asc(placebo: bool) -> Callable[[ScData], Fit]:
    def make(d: ScData) -> Fit:
        from pysyncon import AugSynth, Dataprep
        from pysyncon.utils import PlaceboTest

        df = sc_long(d)
        pre, post = list(range(d.t0)), list(range(d.t0, d.y.shape[1]))
        units = [f"u{i}" for i in range(d.y.shape[0])]
        treated = units[d.treated]
        dp = Dataprep(
            foo=df,
            predictors=[],
            predictors_op="mean",
            dependent="y",
            unit_variable="unit",
            time_variable="time",
            treatment_identifier=treated,
            controls_identifier=[u for u in units if u != treated],
            time_predictors_prior=pre,
            time_optimize_ssr=pre,
        )

        def fit() -> float:
            a = AugSynth()
            a.fit(dataprep=dp, lambda_=ASC_LAMBDA, use_covariates=False)
            if placebo:
                PlaceboTest().fit(
                    dataprep=dp,
                    scm=AugSynth(),
                    scm_options={"lambda_": ASC_LAMBDA, "use_covariates": False},
                    max_workers=1,
                    verbose=False,
                )
            return a.att(time_period=post)["att"]

        return fit

    return make


def augsynth_fit(kind: str, placebo: bool) -> Callable[[ScData], Fit]:
    def make(d: ScData) -> Fit:
        import polars as pl
        from augsynth_py import AugSynth, Synth, placebo_in_space

        panel = pl.from_pandas(sc_long(d))

        def fit() -> float:
            if kind == "asc":
                m = AugSynth(fixedeff=False, lambda_=ASC_LAMBDA)
            else:
                m = Synth(fixedeff=(kind == "fp"))
            m.fit(
                panel,
                unit="unit",
                time="time",
                outcome="y",
                treated=f"u{d.treated}",
                treatment_time=d.t0,
            )
            if placebo:
                placebo_in_space(m, n_jobs=1)
            return m.att_

        return fit

    return make


def scpi_sc(d: ScData) -> Fit:
    from scpi_pkg.scdata import scdata
    from scpi_pkg.scest import scest

    units = [f"u{i}" for i in range(d.y.shape[0])]
    prep = scdata(
        df=sc_long(d),
        id_var="unit",
        time_var="time",
        outcome_var="y",
        period_pre=np.arange(d.t0),
        period_post=np.arange(d.t0, d.y.shape[1]),
        unit_tr=units[d.treated],
        unit_co=[u for u in units if u != units[d.treated]],
        constant=False,
        verbose=False,
    )

    def fit() -> float:
        est = scest(prep, w_constr={"name": "simplex"})
        return float(
            np.mean(
                np.asarray(est.Y_post, float).ravel() - np.asarray(est.Y_post_fit, float).ravel()
            )
        )

    return fit


def synthdid_fit(kind: str, placebo: bool) -> Callable[[ScData], Fit]:
    """synthdid-py on its matrix input: controls first, the treated unit last.
    Its placebo standard error draws one placebo per donor, as ours does."""

    def make(d: ScData) -> Fit:
        import synthdid

        order = [i for i in range(d.y.shape[0]) if i != d.treated] + [d.treated]
        y, n0 = d.y[order], d.y.shape[0] - 1
        estimate = synthdid.synthdid_estimate if kind == "sdid" else synthdid.sc_estimate

        def fit() -> float:
            est = estimate(y, n0, d.t0)
            if placebo:
                synthdid.vcov(est, method="placebo", replications=n0, random_state=0)
            return float(est)

        return fit

    return make


def diffdiff_sdid(placebo: bool) -> Callable[[ScData], Fit]:
    """diff-diff's SyntheticDiD on the long table; with placebo, one placebo
    replication per donor as ours draws. It always estimates a variance, so
    the case without takes its fewest replications (2)."""

    def make(d: ScData) -> Fit:
        from diff_diff import SyntheticDiD

        df = sc_long(d)
        # It takes the treated group (constant within a unit) and the post periods.
        df["treated"] = (df["unit"] == f"u{d.treated}").astype(int)
        post = list(range(d.t0, d.y.shape[1]))
        reps = d.y.shape[0] - 1 if placebo else 2
        est = SyntheticDiD(variance_method="placebo", n_bootstrap=reps, seed=0)
        return lambda: float(
            est.fit(df, outcome="y", treatment="treated", unit="unit", time="time",
                    post_periods=post).att
        )  # fmt: skip

    return make


def mlsynth_fit(kind: str, placebo: bool) -> Callable[[ScData], Fit]:
    """mlsynth's VanillaSC (plain, or ridge-augmented at the fixed penalty)
    and SDID; SDID's placebo draws one placebo per donor, as ours does."""

    def make(d: ScData) -> Fit:
        import matplotlib

        matplotlib.use("Agg")
        from mlsynth import SDID, VanillaSC

        base = {
            "df": sc_long(d),
            "outcome": "y",
            "treat": "treated",
            "unitid": "unit",
            "time": "time",
            "display_graphs": False,
        }

        def fit() -> float:
            if kind == "sdid":
                res = SDID({**base, "B": d.y.shape[0] - 1 if placebo else 0}).fit()
                return float(res.effects.att)
            extra = {"augment": "ridge", "ridge_lambda": ASC_LAMBDA} if kind == "asc" else {}
            res = VanillaSC({**base, "inference": "placebo" if placebo else False, **extra}).fit()
            return float(res.effects.att)

        return fit

    return make


def csdid_fit(control: str, bands: bool, method: str = "reg") -> Callable[[DidData], Fit]:
    """csdid's group-time ATTs, the event-study aggregation (with sup-t bands
    from 999 multiplier-bootstrap draws when asked) and the simple overall
    aggregation, which is the estimate compared."""

    def make(d: DidData) -> Fit:
        from csdid.att_gt import ATTgt

        df = did_long(d)
        group = "nevertreated" if control == "never" else "notyettreated"

        def fit() -> float:
            m = ATTgt(
                yname="y",
                tname="time",
                idname="unit",
                gname="first",
                data=df,
                control_group=[group],
                cband=bands,
                biters=PLACEBO_REPS,
            )
            m.fit(est_method=method, bstrap=bands)
            m.aggte(typec="dynamic", bstrap=bands, cband=bands, biters=PLACEBO_REPS)
            return float(m.aggte(typec="simple", bstrap=False).atte["overall_att"])

        return fit

    return make


def differences_fit(control: str, bands: bool) -> Callable[[DidData], Fit]:
    """differences' ATTgt: the same three steps as csdid (its bootstrap gives
    the bands when asked)."""

    def make(d: DidData) -> Fit:
        from differences import ATTgt

        df = did_long(d)
        df["cohort"] = df["first"].where(df["first"] > 0)  # never treated: NaN
        df = df.set_index(["unit", "time"])[["y", "cohort"]]
        reps = PLACEBO_REPS if bands else 0
        group = "never_treated" if control == "never" else "not_yet_treated"

        def fit() -> float:
            m = ATTgt(data=df, cohort_column="cohort")
            m.fit(
                formula="y",
                control_group=group,
                boot_iterations=reps,
                random_state=0,
                progress_bar=False,
            )
            m.aggregate("event", boot_iterations=reps, random_state=0)
            simple = m.aggregate("simple")
            return float(np.asarray(simple.filter(like="ATT"), float).ravel()[0])

        return fit

    return make


def pyfixest_twfe(d: DidData) -> Fit:
    import pyfixest as pf

    df = did_long(d)
    return lambda: float(
        pf.feols("y ~ treat | unit + time", data=df, vcov={"CRV1": "unit"}).coef()["treat"]
    )


def pyfixest_sunab(d: DidData) -> Fit:
    """pyfixest's saturated event study (cohort x relative-period indicators,
    never treated as reference) and its per-period cohort-share aggregation;
    the periods e >= 0 are then averaged with the number of treated units at
    each (counted untimed), which is the overall estimate ours reports."""
    import pyfixest as pf

    df = did_long(d)
    cohorts = np.asarray(d.cohorts)
    t_len = d.y.shape[1]
    treated_at = {
        e: sum(
            int((cohorts == g).sum())
            for g in set(cohorts[cohorts > 0].tolist())
            if 0 <= g + e < t_len
        )
        for e in range(t_len)
    }

    def fit() -> float:
        m = pf.event_study(
            df, yname="y", idname="unit", tname="time", gname="first", estimator="saturated"
        )
        agg = m.aggregate()
        est = {int(float(e)): float(v) for e, v in agg["Estimate"].items()}
        w = {e: treated_at.get(e, 0) for e in est if e >= 0}
        return sum(w[e] * est[e] for e in w) / sum(w.values())

    return fit


# ---------------------------------------------------------------- registry


@dataclass
class Case:
    data: Callable[[], object]
    impls: dict[str, Callable[[object], Fit]]


CASES: dict[str, Case] = {}


def sc_cases(tag: str, data: Callable[[], ScData]) -> None:
    for placebo in (False, True):
        sfx = "+placebo" if placebo else ""
        CASES[f"{tag} SC{sfx}"] = Case(
            data,
            {
                "quintara": q_sc("fit_sc", placebo),
                "pysyncon": pysyncon_sc(placebo),
                "augsynth-py": augsynth_fit("sc", placebo),
                "synthdid-py": synthdid_fit("sc", placebo),
                "mlsynth": mlsynth_fit("sc", placebo),
                **({} if placebo else {"scpi-pkg": scpi_sc}),
            },
        )
        CASES[f"{tag} FP{sfx}"] = Case(
            data,
            {
                "quintara": q_sc("fit_fp", placebo),
                "augsynth-py": augsynth_fit("fp", placebo),
            },
        )
        CASES[f"{tag} ASC{sfx}"] = Case(
            data,
            {
                "quintara": q_sc("fit_asc", placebo),
                "pysyncon": pysyncon_asc(placebo),
                "augsynth-py": augsynth_fit("asc", placebo),
                "mlsynth": mlsynth_fit("asc", placebo),
            },
        )
        CASES[f"{tag} SDID{sfx}"] = Case(
            data,
            {
                "quintara": q_sdid_labelled(placebo),
                "quintara-compiled": q_sc("fit_sdid", placebo),
                "synthdid-py": synthdid_fit("sdid", placebo),
                "diff-diff": diffdiff_sdid(placebo),
                "mlsynth": mlsynth_fit("sdid", placebo),
            },
        )


def sdid_cases(tag: str, data: Callable[[], ScData]) -> None:
    """SDID alone, for pools too large for the whole SC family's peers."""
    for placebo in (False, True):
        CASES[f"{tag} SDID{'+placebo' if placebo else ''}"] = Case(
            data,
            {
                "quintara": q_sdid_labelled(placebo),
                "quintara-compiled": q_sc("fit_sdid", placebo),
                "synthdid-py": synthdid_fit("sdid", placebo),
                "diff-diff": diffdiff_sdid(placebo),
            },
        )


def did_cases(tag: str, data: Callable[[], DidData], bands: bool) -> None:
    for control in ("never", "notyet"):
        for b in (False, True) if bands else (False,):
            sfx = "+bands" if b else ""
            CASES[f"{tag} CS {control}{sfx}"] = Case(
                data,
                {
                    "quintara": q_cs(control, b),
                    "csdid": csdid_fit(control, b),
                    "differences": differences_fit(control, b),
                },
            )
    CASES[f"{tag} TWFE"] = Case(data, {"quintara": q_did("fit_twfe_py"), "pyfixest": pyfixest_twfe})
    CASES[f"{tag} Sun-Abraham"] = Case(
        data, {"quintara": q_did("fit_sunab_py"), "pyfixest": pyfixest_sunab}
    )


sc_cases("prop99", prop99)
did_cases("mpdta", mpdta, bands=True)
did_cases("stag1000x40", staggered1000, bands=False)
sc_cases("sc200x104", sc200)
sdid_cases("sc1000x104", sc1000)
for _n, _t in ((500, 150), (1000, 200)):
    CASES[f"mc{_n}x{_t} MC-NNM"] = Case(
        mc_panel(_n, _t),
        {
            "quintara": q_mcnnm(labelled=True),
            "quintara-compiled": q_mcnnm(labelled=False),
            "causaltensor": causaltensor_mcnnm,
        },
    )

cases_did_large.register(
    CASES,
    Case,
    lambda method, bands: lambda d: csdid_fit("never", bands, method)(DidData(*d)),  # type: ignore[misc]
)
