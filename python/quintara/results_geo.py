"""Labelled results of the geo-experiment design verbs `power` and `diagnose`.

Also how a design states its test and restrictions (`detection_test`,
`design_test`, `design_markets`), shared with the results of `select_markets`:
`results_select.MarketSelection` for one cell, `results_cells.CellSelection`
for several.
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd

from . import _quintara
from ._summary import num, pct, render
from .panel import Panel
from .results import _names, _Result, json_label, json_number, period_info, tidy_frame


def _literal(v: Any) -> str:
    """A value as Python source the reader can paste: numpy scalars as plain numbers."""
    if isinstance(v, bool | str) or v is None:
        return repr(v)
    if isinstance(v, numbers.Integral):
        return str(int(v))
    if isinstance(v, numbers.Real):
        return repr(float(v))
    if isinstance(v, list | tuple):
        return "[" + ", ".join(_literal(x) for x in v) + "]"
    return repr(v)


# The compiled defaults of the weight bounds: a bound left at its default
# is not repeated in the analyze(...) call.
_WEIGHT_DEFAULTS = {"min_weight": 0.0, "max_weight": 1.0}


def analyze_call(alpha: float, options: Mapping[str, Any], units: Sequence[Any] = ()) -> str:
    """The analyze(...) call that runs the test a design's power is for: every
    setting of the scored test that is not analyze's default, the markets kept
    out of the fits (`exclude`, `control_pool`: row positions in `options`)
    named by their labels in `units`."""
    parts = []
    method = options.get("method")
    if method is not None and method != "sdid":
        parts.append(f"method={_literal(method)}")
    parts.append(f"alpha={alpha:g}")
    for k in ("min_pre", "lookback"):
        if options.get(k) is not None:
            parts.append(f"{k}={_literal(options[k])}")
    if options.get("alternative", "two-sided") != "two-sided":
        parts.append(f"alternative={_literal(options['alternative'])}")
    for k, default in _WEIGHT_DEFAULTS.items():
        if options.get(k) is not None and float(options[k]) != default:
            parts.append(f"{k}={_literal(options[k])}")
    for k in ("exclude", "control_pool"):
        if options.get(k) is not None:
            labels = [json_label(units[i]) for i in options[k]]
            parts.append(f"{k}={_literal(labels)}")
    return f"analyze(..., {', '.join(parts)})"


def detection_test(
    alpha: float, windows: str, options: Mapping[str, Any], units: Sequence[Any] = ()
) -> str:
    """The note a design's summary ends with: the test its power is for, and
    the call that analyses the finished experiment with it."""
    rule = {
        "greater": f"ATT above the {1 - alpha:g} quantile of ATT",
        "less": f"ATT below the {alpha:g} quantile of ATT",
    }.get(str(options.get("alternative")), f"|ATT| above the {1 - alpha:g} quantile of |ATT|")
    sides = "two-sided" if options.get("alternative", "two-sided") == "two-sided" else "one-sided"
    return (
        f"Detection test: {rule} over {windows} "
        f"historical windows of the test's length ({sides}, size {alpha:g}). Analyse the "
        f"finished experiment with {analyze_call(alpha, options, units)}, the test this "
        "power is for."
    )


def design_test(options: Mapping[str, Any]) -> dict[str, Any]:
    """The test a design's power is for, as its JSON states it: the options the
    summary's analyze(...) call repeats, the compiled defaults where not given."""
    lookback = options.get("lookback")
    return {
        "alpha": float(options.get("alpha", 0.1)),
        "target_power": float(options.get("target_power", 0.8)),
        "alternative": str(options.get("alternative", "two-sided")),
        "min_pre": int(options.get("min_pre", 0)),
        "lookback": None if lookback is None else int(lookback),
    }


def design_markets(
    options: Mapping[str, Any],
    units: Sequence[Any],
    eligible: Sequence[Any] | None,
    spend: Any,
) -> dict[str, Any]:
    """A search's restrictions as its JSON states them: the markets by label
    (None where not given: every market), the spend column's name and the
    weight bounds given (None: the compiled default)."""

    def labels(key: str) -> list[Any] | None:
        rows = options.get(key)
        return None if rows is None else [json_label(units[i]) for i in rows]

    return {
        "eligible": None if eligible is None else [json_label(u) for u in eligible],
        "include": labels("include"),
        "exclude": labels("exclude"),
        "control_pool": labels("control_pool"),
        "spend": None if spend is None else json_label(spend),
        **{k: json_number(options.get(k)) for k in _WEIGHT_DEFAULTS},
    }


def _crit_label(options: Mapping[str, Any]) -> str:
    """The summary's name of `crit`: a quantile of the null windows' |ATT|, or
    one-sided the upper or lower quantile of their signed ATT."""
    return {"greater": "Upper ATT crit", "less": "Lower ATT crit"}.get(
        str(options.get("alternative")), "Null |ATT| crit"
    )


if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["PowerAnalysis", "Diagnostics"]


def __getattr__(name: str) -> Any:
    # MarketSelection was defined here: results pickled then name this
    # module, and code may import it from here. Found on first use, since
    # results_select imports this module's design helpers.
    if name == "MarketSelection":
        from .results_select import MarketSelection

        return MarketSelection
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class PowerAnalysis(_Result):
    """A power curve from historical placebo windows (`power`; `geo_power`, `geo_power_ensemble`).

    Attributes
    ----------
    raw : PowerResult
        The compiled result.
    treated : list
        The treated markets' labels.
    test_len : int
        Length of the test, in periods.

    See Also
    --------
    power : The verb that returns it.
    PowerResult : The compiled record (`raw`): ``crit``, ``se_null``,
        ``n_windows``, the MDE in outcome units.

    Notes
    -----
    Every historical window of the test's length is fitted as it happened
    (the null) and with each lift multiplied into the treated markets' test
    periods. ``crit`` is the 1 - alpha quantile of the null windows'
    ``|ATT|``; the power at a lift is the share of windows whose ``|ATT|``
    exceeds it, so the power at lift 0 is at most about alpha. One-sided,
    ``crit`` is a quantile of the signed ATT: with ``alternative="greater"``
    the 1 - alpha quantile, exceeded by a detected window's ATT; with
    ``"less"`` the alpha quantile, a detected window's ATT below it. The MDE
    is where the curve first reaches the target power, interpolated between
    the lifts given. :func:`analyze` decides the finished test by the same
    rule. See :ref:`inference`.
    """

    raw: _quintara.PowerResult

    def __init__(
        self,
        raw: _quintara.PowerResult,
        panel: Panel,
        treated: list[int],
        test_len: int,
        entry: str,
        options: dict[str, Any],
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.treated = [panel.units[i] for i in treated]
        self.test_len = test_len
        self.entry = entry
        self.options = options

    @property
    def curve(self) -> pd.DataFrame:
        """By lift (0.05 = +5%): power (the share of windows detected: ``|ATT|``
        above ``crit``, or one-sided the ATT above it for "greater" and below it
        for "less"), mean estimated lift, alpha/2 and 1 - alpha/2 quantiles."""
        r = self.raw
        return pd.DataFrame(
            {"power": r.power, "est_mean": r.est_mean, "est_lo": r.est_lo, "est_hi": r.est_hi},
            index=pd.Index(r.lifts, name="lift"),
        )

    @property
    def mde(self) -> float | None:
        """Smallest lift (fraction) whose power reaches the target, or None."""
        return self.raw.mde_pct

    @property
    def ensemble_weights(self) -> pd.Series | None:
        """Weights of the ensemble members, when the ensemble ran."""
        w = self.raw.ensemble_weights
        if w is None:
            return None
        members = self.options.get("members") or ["sc", "asc", "sdid"]
        return pd.Series(w, index=list(members), name="weight")

    def tidy(self) -> pd.DataFrame:
        """Term "MDE": the minimal detectable lift (fraction; NaN when no lift reaches
        the target power), then "lift <x>" per lift: the mean estimated lift with the
        alpha/2 and 1 - alpha/2 quantiles as the interval."""
        r = self.raw
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            ("MDE", r.mde_pct, None, None, None, None)
        ]
        rows += [
            (f"lift {x:g}", m, None, None, lo, hi)
            for x, m, lo, hi in zip(r.lifts, r.est_mean, r.est_lo, r.est_hi, strict=True)
        ]
        return tidy_frame(rows, r.method.lower())

    def to_frame(self) -> pd.DataFrame:
        """The power curve (see `curve`)."""
        return self.curve

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the design and its test, MDE, critical value, the ensemble's
        weights (None for one method) and the curve as a list of {lift, power, ...}."""
        r = self.raw
        w = self.ensemble_weights
        return {
            "method": r.method,
            "entry": self.entry,
            "outcome": self.panel.outcome,
            "treated": [json_label(u) for u in self.treated],
            "test_len": self.test_len,
            **design_test(self.options),
            # A list, not a dict by member: a member may be repeated.
            "ensemble_weights": None
            if w is None
            else [{"member": str(m), "weight": json_number(v)} for m, v in w.items()],
            # NaN where no window gave a number (treated markets without
            # sales, say): JSON has no NaN.
            "mde": json_number(r.mde_pct),
            "mde_abs_per_period": json_number(r.mde_abs_per_period),
            "mde_cumulative": json_number(r.mde_cumulative),
            "crit": json_number(r.crit),
            "se_null": json_number(r.se_null),
            "n_windows": r.n_windows,
            "curve": [
                {"lift": float(k), **{str(c): json_number(v) for c, v in row.items()}}
                for k, row in zip(
                    self.curve.index.tolist(), self.curve.to_dict("records"), strict=True
                )
            ],
        }

    def summary(self) -> str:
        """The MDE and the power at each lift."""
        r = self.raw
        n, t = self.panel.shape
        alpha = self.options.get("alpha", 0.1)
        target = self.options.get("target_power", 0.8)
        info = [
            ("Method", f"{r.method} ({self.entry})"),
            ("Outcome", self.panel.outcome),
            ("Treated", _names(self.treated)),
            ("Markets", f"{n} ({len(self.treated)} treated)"),
            ("Test length", f"{self.test_len} periods"),
            ("Periods", str(t)),
            *period_info(self.panel),
            ("Placebo windows", str(r.n_windows)),
            ("Alpha", num(alpha, 3)),
            ("MDE", f"{pct(r.mde_pct)} at power {num(target, 2)}"),
            ("MDE per period", num(r.mde_abs_per_period)),
            (_crit_label(self.options), num(r.crit)),
            ("Null SE", num(r.se_null)),
        ]
        w = self.ensemble_weights
        if w is not None:
            info.append(("Ensemble weights", ", ".join(f"{m} {v:.3f}" for m, v in w.items())))
        c = self.curve
        rows = [
            [pct(k), num(p, 3), pct(m), pct(lo), pct(hi)]
            for k, p, m, lo, hi in zip(
                c.index.tolist(), c.power, c.est_mean, c.est_lo, c.est_hi, strict=True
            )
        ]
        a = 100 * float(alpha)
        return render(
            "Geo-experiment power analysis",
            info,
            ["lift", "power", "mean est", f"est {a / 2:g}%", f"est {100 - a / 2:g}%"],
            rows,
            [
                "Estimates are relative lifts recovered over the placebo windows.",
                *(
                    [detection_test(float(alpha), str(r.n_windows), self.options, self.panel.units)]
                    if self.entry == "geo_power"
                    else []
                ),
            ],
        )

    def __repr__(self) -> str:
        return (
            f"<PowerAnalysis {self.raw.method}: MDE={pct(self.mde)}, {self.raw.n_windows} windows>"
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Power against lift with the target power and the MDE marked. Returns the Axes."""
        from .plots import power_curve

        return power_curve(self, ax=ax)


class Diagnostics(_Result):
    """Design diagnostics of a treated-market set (`diagnose`; entry `geo_diagnostics`).

    Attributes
    ----------
    raw : GeoDiagnostics
        The compiled result.
    warnings : list of str
        Plain-language warnings about the design.
    method : str
        The estimator the test will use, whose synthetic control `synthetic`
        and the plot show.

    See Also
    --------
    diagnose : The verb that returns it.
    GeoDiagnostics : The compiled record (`raw`).

    Notes
    -----
    ``holdout_pct`` is the treated markets' share of total volume (a
    fraction); ``pre_fit_rel`` the synthetic control's pre-period RMSPE over
    the treated series' own spread; ``improvement_vs_naive`` how much it
    improves on a shifted donor average; ``seasonality_strength`` and
    ``stability_score`` describe the treated series; ``confidence`` (0 to
    100) sums them up, and market selection uses it in its score. None of
    them is a test.
    """

    raw: _quintara.GeoDiagnostics

    _FIELDS = (
        "holdout_pct",
        "pre_fit_rel",
        "improvement_vs_naive",
        "seasonality_strength",
        "stability_score",
        "confidence",
    )

    def __init__(
        self,
        raw: _quintara.GeoDiagnostics,
        panel: Panel,
        treated: list[int],
        test_len: int,
        method: str = "sdid",
    ) -> None:
        self.raw = raw
        self.panel = panel
        self._rows = treated
        self.treated = [panel.units[i] for i in treated]
        self.test_len = test_len
        self.method = method
        self.warnings: list[str] = list(raw.warnings)
        self._fit: Any = None

    def _synthetic_fit(self) -> Any:
        """The method's fit with the last `test_len` periods as the test, made
        when first asked for (the fit the test's power is computed from)."""
        if self._fit is None:
            fit = getattr(_quintara, f"fit_{self.method}")
            self._fit = fit(self.panel.y, self._rows, self.panel.shape[1] - self.test_len)
        return self._fit

    @property
    def synthetic(self) -> pd.Series:
        """The treated markets' synthetic control under `method`, every period."""
        return pd.Series(
            self._synthetic_fit().synthetic, index=self.panel.periods, name=self.method
        )

    @property
    def confidence(self) -> float:
        """Overall confidence in the design, 0 to 100."""
        return self.raw.confidence

    def tidy(self) -> pd.DataFrame:
        """One row per statistic (term: its name), the value as the estimate."""
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            (f, getattr(self.raw, f), None, None, None, None) for f in self._FIELDS
        ]
        return tidy_frame(rows, "diagnostics")

    def to_frame(self) -> pd.DataFrame:
        """One row per statistic (column `value`)."""
        return pd.DataFrame(
            {"value": [float(getattr(self.raw, f)) for f in self._FIELDS]},
            index=pd.Index(self._FIELDS, name="statistic"),
        )

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the design, every statistic and the warnings."""
        return {
            "entry": "geo_diagnostics",
            "method": self.method,
            "outcome": self.panel.outcome,
            "treated": [json_label(u) for u in self.treated],
            "test_len": self.test_len,
            **{f: json_number(getattr(self.raw, f)) for f in self._FIELDS},
            "warnings": self.warnings,
        }

    def summary(self) -> str:
        """The statistics, then the warnings."""
        r = self.raw
        n, t = self.panel.shape
        info = [
            ("Entry", "geo_diagnostics"),
            ("Outcome", self.panel.outcome),
            ("Treated", _names(self.treated)),
            ("Markets", f"{n} ({len(self.treated)} treated)"),
            ("Test length", f"{self.test_len} periods"),
            ("Periods", str(t)),
            *period_info(self.panel),
        ]
        rows = [
            ["treated share of volume", pct(r.holdout_pct)],
            ["pre-period fit (rel. RMSPE)", num(r.pre_fit_rel)],
            ["improvement vs naive", num(r.improvement_vs_naive)],
            ["seasonality strength", num(r.seasonality_strength)],
            ["stability", num(r.stability_score)],
            ["confidence (0-100)", num(r.confidence, 1)],
        ]
        notes = [f"Warning: {w}" for w in self.warnings] or ["No warnings."]
        return render(
            "Geo-experiment design diagnostics", info, ["statistic", "value"], rows, notes
        )

    def __repr__(self) -> str:
        return f"<Diagnostics: confidence {self.confidence:.0f}/100, {len(self.warnings)} warnings>"

    def plot(self, ax: Axes | None = None) -> Axes:
        """The treated markets' mean against the synthetic control the test will use,
        the test window shaded. Returns the Axes."""
        from .plots import design_paths

        return design_paths(self, ax=ax)
