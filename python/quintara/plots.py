"""Plots of the labelled results (needs matplotlib: ``pip install quintara[plot]``).

matplotlib is imported inside each function, only when a plot is asked for.
Every function draws on `ax` when given (else on a new figure's Axes) and
returns the Axes.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .results import ConformalResult, SynthResult
    from .results_analysis import ExperimentAnalysis
    from .results_bacon import BaconDecomposition
    from .results_cells import CellSelection
    from .results_did import StaggeredResult
    from .results_geo import Diagnostics, PowerAnalysis
    from .results_select import MarketSelection

__all__ = [
    "synth_paths",
    "placebo_gaps",
    "event_study",
    "power_curve",
    "bacon_scatter",
    "ranked_markets",
    "ranked_designs",
    "unit_effects",
    "design_paths",
    "experiment_paths",
]

_TREATED = "#c0392b"
_OTHER = "#2c3e50"
_CUMULATIVE = "#16a085"


def _percent(x: float, sign: str = "") -> str:
    """A fraction as a percentage with the digits it has (0.025 -> "2.5%", 0.1
    -> "10%"), where a fixed precision would round a 2.5% lift to 2%."""
    return f"{round(100.0 * x, 2):{sign}g}%"


def _axes(ax: Axes | None, size: tuple[float, float] = (7.0, 4.2)) -> Axes:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'quintara[plot]'") from None
    _, new = plt.subplots(figsize=size, layout="constrained")
    return new


def _time_ticks(ax: Axes, x: Any, periods: pd.Index) -> None:
    """Dates drawn as dates, with as many ticks as fit at any frequency; the
    positions of an explicit order (integers) drawn as their labels."""
    if np.issubdtype(np.asarray(x).dtype, np.integer):
        from matplotlib.ticker import FuncFormatter, MaxNLocator

        def label(v: float, _: Any) -> str:
            k = int(round(v))
            return str(periods[k]) if abs(v - k) < 1e-9 and 0 <= k < len(periods) else ""

        ax.xaxis.set_major_locator(MaxNLocator(nbins=8, integer=True))
        ax.xaxis.set_major_formatter(FuncFormatter(label))
        return
    if np.issubdtype(np.asarray(x).dtype, np.datetime64):
        import matplotlib.dates as mdates

        locator = mdates.AutoDateLocator(minticks=3, maxticks=8)  # type: ignore[no-untyped-call]
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]


def _treated_name(treated: Any) -> str:
    """One treated unit by name, a few by names, many by their count."""
    names = [str(t) for t in treated]
    if len(names) <= 3:
        return ", ".join(names)
    return f"{len(names)} treated units (mean)"


def _mark_start(ax: Axes, x: Any, label: str) -> None:
    ax.axvline(x, color="0.35", linestyle="--", linewidth=1.0)
    ax.annotate(
        label,
        xy=(x, 1.0),
        xycoords=("data", "axes fraction"),
        xytext=(3, -12),
        textcoords="offset points",
        fontsize=8,
        color="0.25",
    )


def synth_paths(
    result: SynthResult, ax: Axes | Sequence[Axes] | None = None, effects: bool = True
) -> Axes:
    """Treated mean against the synthetic path, the treatment start marked.

    With `effects` (and `ax` None or a pair of Axes) a second panel below
    shows the effect in every period (observed minus synthetic), its band
    where the fit has one per period (conformal pointwise intervals), and on
    its right-hand axis the cumulative effect over the post-period. A single
    given Axes gets the paths alone. Returns the Axes of the paths; the
    effect panel is ``ax.figure.axes[1]``.
    """
    top, bottom = _pair(ax, effects)
    x = result.panel.time_axis()
    t0 = result.panel.period_position(result.start)
    top.plot(
        x,
        result.observed.to_numpy(),
        color=_TREATED,
        linewidth=2.0,
        label="treated" if len(result.treated) == 1 else f"treated (mean of {len(result.treated)})",
    )
    top.plot(
        x,
        result.synthetic.to_numpy(),
        color=_OTHER,
        linestyle="-",
        linewidth=1.5,
        label=f"synthetic ({result.method})",
    )
    _mark_start(top, x[t0], f"start {result.start}")
    top.set_ylabel(result.panel.outcome)
    top.set_title(f"{_treated_name(result.treated)}: ATT {result.att:.3g}")
    _time_ticks(top, x, result.panel.periods)
    top.legend(loc="best", frameon=False)
    xlabel = str(result.panel.periods.name or "period")
    if bottom is None:
        top.set_xlabel(xlabel)
        return top
    _effect_panel(result, bottom, x, t0)
    bottom.set_xlabel(xlabel)
    return top


def _pair(ax: Axes | Sequence[Axes] | None, two: bool) -> tuple[Axes, Axes | None]:
    """The Axes of a plot with an optional panel below: new ones, a given pair,
    or a given single Axes (no panel below)."""
    if ax is None and two:
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("plots need matplotlib: pip install 'quintara[plot]'") from None
        _, pair = plt.subplots(
            2,
            1,
            figsize=(7.0, 6.4),
            sharex=True,
            layout="constrained",
            gridspec_kw={"height_ratios": [3, 2]},
        )
        return pair[0], pair[1]
    if isinstance(ax, (list, tuple)):
        if len(ax) != 2:
            raise ValueError(f"ax must be one Axes or a pair; got {len(ax)}")
        return ax[0], ax[1] if two else None
    return _axes(ax), None  # type: ignore[arg-type]


def _effect_panel(result: SynthResult, ax: Axes, x: Any, t0: int) -> None:
    """Effect per period with its band, the cumulative effect on a twin axis."""
    gap = (result.observed - result.synthetic).to_numpy()
    ax.plot(x, gap, color=_TREATED, linewidth=1.6, label="effect (observed - synthetic)")
    pw = result.pointwise
    if pw is not None:
        level = result.raw.level or result.options.get("level", 0.95)
        ax.fill_between(
            x[t0:],
            pw.lower.to_numpy(),
            pw.upper.to_numpy(),
            color=_TREATED,
            alpha=0.18,
            linewidth=0,
            label=f"{level:.0%} pointwise band",
        )
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    ax.axvline(x[t0], color="0.35", linestyle="--", linewidth=1.0)
    ax.set_ylabel(f"effect on {result.panel.outcome}")
    cum = ax.twinx()
    cum.plot(
        x[t0:],
        np.cumsum(result.effects.to_numpy()),
        color=_CUMULATIVE,
        linestyle="--",
        linewidth=1.4,
        label="cumulative effect (right)",
    )
    cum.set_ylabel("cumulative effect")
    handles = [*ax.get_legend_handles_labels()[0], *cum.get_legend_handles_labels()[0]]
    ax.legend(handles=handles, loc="best", frameon=False, fontsize=8)
    _time_ticks(ax, x, result.panel.periods)


def placebo_gaps(result: SynthResult, ax: Axes | None = None) -> Axes:
    """Gap paths of the donors refitted as treated (grey), the treated gap highlighted."""
    ax = _axes(ax)
    x = result.panel.time_axis()
    t0 = result.panel.period_position(result.start)
    gaps = result.placebo_gaps()
    for i, col in enumerate(gaps.columns):
        ax.plot(
            x,
            gaps[col].to_numpy(),
            color="0.7",
            linewidth=0.8,
            label="placebos" if i == 0 else None,
        )
    treated = (result.observed - result.synthetic).to_numpy()
    ax.plot(x, treated, color=_TREATED, linewidth=2.2, label="treated")
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    _mark_start(ax, x[t0], f"start {result.start}")
    ax.set_xlabel(str(result.panel.periods.name or "period"))
    ax.set_ylabel(f"gap in {result.panel.outcome} (observed - synthetic)")
    # The result's p-value is this test's only when the gaps are its own; a
    # conformal or in-time result's gaps come from a fresh single-donor test.
    own = result.raw.placebo_gaps is not None and result.p_value is not None
    p = f", placebo p = {result.p_value:.3f}" if own else ", single-donor test"
    ax.set_title(f"Placebo gaps ({len(gaps.columns)} donors{p})")
    _time_ticks(ax, x, result.panel.periods)
    ax.legend(loc="best", frameon=False)
    return ax


def event_study(result: StaggeredResult, ax: Axes | None = None, show_counts: bool = False) -> Axes:
    """Event-study estimates with pointwise intervals and the simultaneous band when
    present; the reference period, when the estimator has one, marked at 0 and
    named with the base period on the x axis. `show_counts` writes above the
    axis the number of cohorts observed at each event time."""
    ax = _axes(ax)
    es = result.event_study
    if es.empty:
        return _overall_estimate(result, ax)
    e = es.index.to_numpy()
    if "band_lo" in es:
        # One bar per event time: event times need not be contiguous (the
        # base period is absent), so a filled band would invent values.
        ax.vlines(
            e,
            es.band_lo.to_numpy(),
            es.band_hi.to_numpy(),
            color=_OTHER,
            alpha=0.2,
            linewidth=10,
            label="simultaneous band",
        )
    ax.errorbar(
        e,
        es.att.to_numpy(),
        yerr=[(es.att - es.lo).to_numpy(), (es.hi - es.att).to_numpy()],
        fmt="o",
        color=_TREATED,
        capsize=3,
        label=f"estimate, {result.level:.0%} pointwise",
    )
    ref = result.reference_period
    if ref is not None:
        ax.plot(
            [ref],
            [0.0],
            linestyle="none",
            marker="D",
            markersize=7,
            markerfacecolor="white",
            markeredgecolor=_OTHER,
            label=f"reference period ({ref:+d}), 0 by construction",
        )
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    ax.axvline(-0.5, color="0.35", linestyle="--", linewidth=1.0)
    ax.annotate(
        "adoption",
        xy=(-0.5, 1.0),
        xycoords=("data", "axes fraction"),
        xytext=(3, -12),
        textcoords="offset points",
        fontsize=8,
        color="0.25",
    )
    if show_counts:
        for k, n in result.cohort_counts.items():
            ax.annotate(
                str(n),
                xy=(k, 0.0),
                xycoords=("data", "axes fraction"),
                xytext=(0, 3),
                textcoords="offset points",
                ha="center",
                fontsize=7,
                color="0.35",
            )
    ax.set_xlabel(
        "periods since adoption"
        + _base_text(result, ref)
        + ("; cohorts per event time along the axis" if show_counts else "")
    )
    ax.set_ylabel(f"effect on {result.panel.outcome}")
    ax.set_title(f"Event study ({result.estimator}): ATT {result.att:.3g} (se {result.se:.2g})")
    ax.legend(loc="best", frameon=False)
    return ax


def _base_text(result: StaggeredResult, ref: int | None) -> str:
    """What the event study's effects are measured against, for the x label."""
    base = result.raw.base_period
    if base == "varying":
        return " (varying base period: pre-periods against the period before each)"
    if ref is not None:
        return f" ({base + ' ' if base else ''}base period {ref:+d})"
    return f" ({base} base period)" if base else ""


def _overall_estimate(result: StaggeredResult, ax: Axes) -> Axes:
    """An estimator without an event study (TWFE): its one estimate and interval."""
    lo, hi = result.ci
    ax.errorbar(
        [0.0],
        [result.att],
        yerr=[[result.att - lo], [hi - result.att]],
        fmt="o",
        color=_TREATED,
        capsize=4,
        label=f"ATT, {result.level:.0%} interval",
    )
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    ax.set_xticks([0.0], [result.estimator])
    ax.set_xlim(-1.0, 1.0)
    ax.set_ylabel(f"effect on {result.panel.outcome}")
    ax.set_title(f"{result.estimator}: ATT {result.att:.3g} (se {result.se:.2g})")
    ax.legend(loc="best", frameon=False)
    return ax


def power_curve(result: PowerAnalysis, ax: Axes | None = None) -> Axes:
    """Power against lift, the target power and the MDE marked."""
    ax = _axes(ax)
    c = result.curve
    lifts = 100.0 * c.index.to_numpy()
    ax.plot(lifts, c.power.to_numpy(), marker="o", color=_OTHER, label=result.raw.method)
    target = float(result.options.get("target_power", 0.8))
    ax.axhline(
        target, color="0.5", linestyle=":", linewidth=1.0, label=f"target power {_percent(target)}"
    )
    ax.set_ylim(-0.02, 1.02)
    if result.mde is not None:
        mde = 100.0 * result.mde
        ax.axvline(mde, color=_TREATED, linestyle="--", linewidth=1.2)
        # Left of its line at the top, where the curve is still below the
        # target; with no room there, right of it at mid-height, under the
        # curve and above the legend (bottom right).
        lo, hi = ax.get_xlim()
        left = mde - lo > 0.2 * (hi - lo)
        ax.annotate(
            f"MDE {mde:.1f}%",
            xy=(mde, 0.97 if left else 0.5),
            xycoords=("data", "axes fraction"),
            xytext=(-5 if left else 5, 0),
            textcoords="offset points",
            ha="right" if left else "left",
            va="top",
            fontsize=9,
            color=_TREATED,
        )
    ax.set_xlabel("lift (%)")
    ax.set_ylabel("power")
    ax.set_title(
        f"Power over {result.raw.n_windows} historical windows, test of {result.test_len} periods"
    )
    ax.legend(loc="lower right", frameon=False)
    return ax


def bacon_scatter(result: BaconDecomposition, ax: Axes | None = None) -> Axes:
    """Weight against estimate of every 2x2 comparison, coloured by kind."""
    ax = _axes(ax)
    f = result.to_frame()
    for kind, g in f.groupby("kind", sort=True):
        ax.scatter(g.weight.to_numpy(), g.estimate.to_numpy(), label=str(kind), alpha=0.8)
    ax.axhline(
        result.att, color=_TREATED, linestyle="--", linewidth=1.0, label=f"TWFE {result.att:.3g}"
    )
    ax.set_xlabel("weight")
    ax.set_ylabel("2x2 estimate")
    ax.set_title("Goodman-Bacon decomposition")
    ax.legend(loc="best", frameon=False)
    return ax


def _bar_note(
    ax: Axes, y: float, r: Any, fontsize: float, before: str = "", after: str = ""
) -> None:
    """Beside a candidate's bar, right of the axes: `before`, its MDE,
    `after`, and its cost when it has one."""
    mde = "MDE " + ("-" if pd.isna(r.mde) else f"{100 * r.mde:.1f}%")
    parts = [p for p in (before, mde, after) if p]
    if not pd.isna(r.cost):
        parts.append(f"cost {r.cost:,.0f}")
    ax.annotate(
        "  ".join(parts),
        xy=(1.0, y),
        xycoords=("axes fraction", "data"),
        xytext=(6, 0),
        textcoords="offset points",
        va="center",
        fontsize=fontsize,
        color="0.25",
    )


def ranked_markets(result: MarketSelection, ax: Axes | None = None, top: int = 10) -> Axes:
    """The best candidates' power at the target lift as horizontal bars, best at
    the top, each labelled with its MDE, share of volume and cost (with a budget)."""
    c = result.candidates.head(top)
    ax = _axes(ax, size=(8.0, 1.1 + 0.42 * max(len(c), 1)))
    rows = np.arange(len(c))
    names = [f"{k}. " + ", ".join(map(str, m)) for k, m in zip(c.index, c.markets, strict=True)]
    ax.barh(rows, c.power.to_numpy(), color=_OTHER, height=0.6)
    target = float(result.options.get("target_power", 0.8))
    ax.axvline(target, color=_TREATED, linestyle="--", linewidth=1.0, label=f"target {target:g}")
    for i, (_, r) in enumerate(c.iterrows()):
        _bar_note(ax, i, r, fontsize=8, after=f"volume {100 * r.holdout:.1f}%")
    ax.set_yticks(rows, names, fontsize=8)
    ax.set_xlim(0.0, 1.0)
    ax.invert_yaxis()
    lift = _percent(result.target_lift)
    ax.set_xlabel(f"power at a {lift} lift")
    ax.set_title(f"Best treated-market sets for a {lift} lift")
    ax.legend(loc="lower right", frameon=False, fontsize=8)
    return ax


def ranked_designs(result: CellSelection, ax: Axes | None = None, top: int = 5) -> Axes:
    """The best multi-cell designs: one bar per cell, its power at its own
    lift, grouped by design (best at the top), each labelled with the cell's
    markets, MDE and cost (with a budget)."""
    frame = result.to_frame()
    ranks = list(dict.fromkeys(frame.index))[:top]
    k = len(result.cells)
    ax = _axes(ax, size=(8.5, 1.2 + 0.34 * max(len(ranks) * k, 1)))
    colours = ["#2c3e50", "#16a085", "#8e44ad", "#d35400", "#7f8c8d", "#2980b9"]
    height = 0.8 / max(k, 1)
    for cell in range(1, k + 1):
        rows = frame[frame.cell == cell].loc[ranks]
        y = np.arange(len(ranks)) - 0.4 + height * (cell - 0.5)
        lift = result.cells[cell - 1]["target_lift"]
        ax.barh(
            y,
            rows.power.to_numpy(),
            height=0.9 * height,
            color=colours[(cell - 1) % len(colours)],
            label=f"cell {cell} ({_percent(lift, '+')})",
        )
        for yi, (_, r) in zip(y, rows.iterrows(), strict=True):
            _bar_note(ax, yi, r, fontsize=7, before=", ".join(map(str, r.markets)))
    target = float(result.options.get("target_power", 0.8))
    ax.axvline(target, color=_TREATED, linestyle="--", linewidth=1.0, label=f"target {target:g}")
    ax.set_yticks(np.arange(len(ranks)), [f"design {r}" for r in ranks], fontsize=8)
    ax.set_xlim(0.0, 1.0)
    ax.invert_yaxis()
    ax.set_xlabel("power at the cell's target lift")
    ax.set_title(f"Best {len(ranks)} of the scored {k}-cell designs")
    # Below the axes: bars at full power would hide a legend inside them.
    ax.legend(
        loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=k + 1, frameon=False, fontsize=8
    )
    return ax


def unit_effects(result: ConformalResult, ax: Axes | None = None) -> Axes:
    """Per-unit ATTs of a conformal fit with the pooled ATT marked."""
    ax = _axes(ax)
    f = result.to_frame()
    ax.bar(np.arange(len(f)), f.att.to_numpy(), color=_OTHER)
    ax.set_xticks(np.arange(len(f)), [str(u) for u in f.index], rotation=45, ha="right", fontsize=8)
    ax.axhline(result.att, color=_TREATED, linestyle="--", label=f"pooled ATT {result.att:.3g}")
    ax.set_xlabel("treated unit")
    ax.set_ylabel(f"ATT on {result.panel.outcome}")
    ax.legend(loc="best", frameon=False)
    return ax


def design_paths(result: Diagnostics, ax: Axes | None = None) -> Axes:
    """The treated markets' mean against the synthetic control the test will use
    (the design's method, fitted with the last `test_len` periods as the test),
    the test window shaded."""
    ax = _axes(ax)
    p = result.panel
    x = p.time_axis()
    rows = p.unit_positions(result.treated)
    ax.plot(
        x, p.y[rows].mean(axis=0), color=_TREATED, linewidth=1.8, label="treated markets (mean)"
    )
    ax.plot(
        x,
        result.synthetic.to_numpy(),
        color=_OTHER,
        linewidth=1.4,
        label=f"synthetic control ({result.method})",
    )
    t0 = p.shape[1] - result.test_len
    ax.axvspan(x[t0], x[-1], color="0.88", label="test window")
    ax.set_xlabel(str(p.periods.name or "period"))
    ax.set_ylabel(p.outcome)
    ax.set_title(
        f"Design diagnostics: confidence {result.confidence:.0f}/100, "
        f"pre-period fit {result.raw.pre_fit_rel:.2f} (rel. RMSPE)"
    )
    _time_ticks(ax, x, result.panel.periods)
    ax.legend(loc="best", frameon=False)
    return ax


def experiment_paths(result: ExperimentAnalysis, ax: Any = None) -> list[Axes]:
    """The treated mean against its synthetic path, the counterfactuals the
    pointwise test does not reject shaded; below, the cumulative incremental
    units with their band. `ax`: None, a pair of Axes, or one (paths only)."""
    if ax is None:
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("plots need matplotlib: pip install 'quintara[plot]'") from None
        _, pair = plt.subplots(2, 1, figsize=(7.0, 6.4), sharex=True, layout="constrained")
        axes = list(pair)
    elif isinstance(ax, (list, tuple)):
        axes = list(ax)
    else:
        axes = [ax]
    r, paths = result.raw, result.paths()
    x = result.panel.time_axis()[: len(paths)]
    t0 = result.panel.period_position(result.start)
    top = axes[0]
    top.plot(x, paths["observed"], color=_TREATED, linewidth=2.0, label="treated")
    top.plot(
        x, paths["synthetic"], color=_OTHER, linewidth=1.5, label=f"synthetic ({result.method})"
    )
    post = slice(t0, len(paths))
    band = f"{r.level:.0%} {'' if r.alternative == 'two-sided' else 'one-sided '}band"

    def shade(on: Axes, lower: Any, upper: Any, **style: Any) -> None:
        # A one-sided band's far end is infinite, which fill_between leaves
        # undrawn: it runs to the edge of the view the finite values set.
        ends = np.concatenate([lower, upper])
        if np.isfinite(ends).all():
            on.fill_between(x[post], lower, upper, **style)
            return
        low, high = on.get_ylim()
        finite = ends[np.isfinite(ends)]
        if finite.size:
            low, high = min(low, finite.min()), max(high, finite.max())
        on.fill_between(x[post], np.clip(lower, low, high), np.clip(upper, low, high), **style)
        on.set_ylim(low, high)

    # observed - effect band: the untreated paths the test does not reject.
    obs = paths["observed"].to_numpy()[post]
    shade(
        top,
        obs - paths["effect_upper"].to_numpy()[post],
        obs - paths["effect_lower"].to_numpy()[post],
        color=_OTHER,
        alpha=0.18,
        linewidth=0,
        label=f"{band} (pointwise)",
    )
    _mark_start(top, x[t0], f"start {result.start}")
    top.set_ylabel(result.panel.outcome)
    # No lift in percent without a positive counterfactual: say so, not "nan%".
    lift = f"lift {r.lift_pct:.2f}%" if np.isfinite(r.lift_pct) else "lift undefined"
    top.set_title(f"{_treated_name(result.treated)}: {lift} (p = {r.p_value:.3g})")
    top.legend(loc="best", frameon=False)
    _time_ticks(top, x, result.panel.periods)
    if len(axes) > 1:
        bottom = axes[1]
        cum = paths["cumulative"].to_numpy()[post]
        bottom.plot(x[post], cum, color=_TREATED, linewidth=2.0, label="cumulative incremental")
        # Before the band: a one-sided band holds the view, which must show 0.
        bottom.axhline(0.0, color="0.5", linewidth=0.8)
        shade(
            bottom,
            paths["cumulative_lower"].to_numpy()[post],
            paths["cumulative_upper"].to_numpy()[post],
            color=_TREATED,
            alpha=0.18,
            linewidth=0,
            label=band,
        )
        bottom.set_ylabel(f"incremental {result.panel.outcome}")
        bottom.set_xlabel(str(result.panel.periods.name or "period"))
        bottom.legend(loc="best", frameon=False)
        _time_ticks(bottom, x, result.panel.periods)
    else:
        top.set_xlabel(str(result.panel.periods.name or "period"))
    return axes
