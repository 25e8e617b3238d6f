"""Large staggered panels (10^5 and 10^6 units x 10 periods): Callaway-Sant'Anna
(never-treated controls; outcome regression without and with 999-replicate
bands, and the doubly robust estimator), the imputation estimator and the
Sun-Abraham event study, through the labelled verb users call
(`quintara.staggered` on the long table), the compiled entry, and the newer
Python peers (diff-diff, moderndid, csdid) on the same long table. The
estimate compared is the overall ATT: the simple aggregation (post-treatment
cells weighted by cohort size) for Callaway-Sant'Anna, every treated cell
weighted alike for the imputation estimator, the cohort-share weighted mean
of the post-period event times for Sun-Abraham. Imported by cases.py, whose
registry it extends.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

Fit = Callable[[], float]


def large_panel(n_units: int):
    """Unit and period effects, cohorts adopting at periods 3, 5 and 7 (a
    quarter never), effects growing with exposure, noise: as (y, cohorts),
    which unpacks like cases.DidData's fields."""
    rng = np.random.default_rng(n_units)
    t = np.arange(10)[None, :]
    cohorts = rng.choice([-1, 3, 5, 7], size=n_units)
    c = cohorts[:, None]
    exposure = np.where((c >= 0) & (t >= c), t - c + 1.0, 0.0)
    y = rng.normal(size=(n_units, 1)) + 0.1 * t + 0.3 * exposure + rng.normal(size=(n_units, 10))
    return y, [int(g) for g in cohorts]


def long_table(y: np.ndarray, cohorts: list[int]):
    """unit, time (from 1), y, first (first treated period, 0 never)."""
    import pandas as pd

    n, t = y.shape
    first = np.where(np.asarray(cohorts) >= 0, np.asarray(cohorts) + 1, 0)
    return pd.DataFrame(
        {
            "unit": np.repeat(np.arange(1, n + 1), t),
            "time": np.tile(np.arange(1, t + 1), n),
            "y": y.ravel(),
            "first": np.repeat(first, t),
        }
    )


def q_labelled(method: str, **options: object) -> Callable[[object], Fit]:
    def make(d: object) -> Fit:
        import quintara

        df = long_table(*d)  # type: ignore[misc]
        return lambda: (
            quintara.staggered(
                df, adoption="first", method=method, unit="unit", time="time", outcome="y",
                **options,
            ).att
        )  # fmt: skip

    return make


def q_compiled(entry: str, **options: object) -> Callable[[object], Fit]:
    def make(d: object) -> Fit:
        import quintara

        y, cohorts = d  # type: ignore[misc]
        fn = getattr(quintara, entry)
        return lambda: fn(y, cohorts, **options).att

    return make


BANDS = {"bands": True, "n_reps": 999}


def diffdiff_fit(kind: str, method: str = "reg", reps: int = 0) -> Callable[[object], Fit]:
    def make(d: object) -> Fit:
        from diff_diff import CallawaySantAnna, ImputationDiD, SunAbraham

        df = long_table(*d)  # type: ignore[misc]
        if kind == "cs":
            est = CallawaySantAnna(
                estimation_method=method, base_period="universal", n_bootstrap=reps, seed=1
            )
        else:
            est = ImputationDiD() if kind == "imputation" else SunAbraham()
        return lambda: float(
            est.fit(df, outcome="y", unit="unit", time="time", first_treat="first").overall_att
        )

    return make


def moderndid_cs(method: str = "reg", bands: bool = False) -> Callable[[object], Fit]:
    def make(d: object) -> Fit:
        import moderndid

        df = long_table(*d)  # type: ignore[misc]

        def fit() -> float:
            gt = moderndid.att_gt(
                df,
                yname="y",
                tname="time",
                idname="unit",
                gname="first",
                est_method=method,
                cband=bands,
                boot=bands,
                biters=999,
                base_period="universal",
            )
            return float(moderndid.aggte(gt, type="simple").overall_att)

        return fit

    return make


def register(cases: dict, case_type: type, csdid: Callable[..., Callable[[object], Fit]]) -> None:
    """Adds the cases; `csdid(method, bands)` is cases.py's csdid call, fed the
    same data."""
    for n in (10**5, 10**6):
        tag = f"stag{n:.0e}x10".replace("+0", "")

        def data(n: int = n) -> object:
            return large_panel(n)

        for name, method, bands in (("CS never", "reg", False), ("CS never bands", "reg", True),
                                    ("CS dr", "dr", False)):  # fmt: skip
            opts: dict[str, object] = dict(BANDS) if bands else {}
            if method != "reg":
                opts["est_method"] = method
            cases[f"{tag} {name}"] = case_type(
                data,
                {
                    "quintara": q_labelled("callaway", **opts),
                    "quintara-compiled": q_compiled("fit_callaway_py", **opts),
                    "diff-diff": diffdiff_fit("cs", method, 999 if bands else 0),
                    "moderndid": moderndid_cs(method, bands),
                    "csdid": csdid(method, bands),
                },
            )
        for name, entry in (("imputation", "fit_imputation_py"), ("sunab", "fit_sunab_py")):
            cases[f"{tag} {name}"] = case_type(
                data,
                {
                    "quintara": q_labelled(name),
                    "quintara-compiled": q_compiled(entry),
                    "diff-diff": diffdiff_fit(name),
                },
            )
