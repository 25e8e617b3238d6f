"""Labelled panels: a units x periods outcome array with its unit and period labels.

The compiled estimators take a units x periods float64 array and row/column
indices. `Panel` builds that array from the long table analysts hold (one row
per unit and period) or from a wide one, keeps the labels, and translates
names and period labels into the indices the compiled entries expect. A table
that is not a complete, numeric panel is refused with a message that names the
offending rows, units or columns; nothing is dropped or filled. How a long
table is laid out as cells, and checked on the way, is in `_long`.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Hashable, Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._long import (
    _SHOW,
    _codes,
    _compact_cells,
    _compact_layout,
    _first,
    _first_rows,
    _fmt,
    _hashed_cells,
    _refuse_repeated_columns,
    _require_columns,
    _run_values,
    _to_pandas,
    _value,
)
from .periods import PeriodOrder, period_order

__all__ = ["Panel", "as_panel"]


def _lookup(index: pd.Index, label: Any, what: str) -> int:
    """Position of `label` in `index`; a string is also tried as a number or a date."""

    def position(c: Any) -> int | None:
        try:
            pos = index.get_loc(c)
        except (KeyError, TypeError, ValueError):
            return None
        return pos if isinstance(pos, int) else None

    # The label as given first: reading text as a date costs far more than
    # the lookup itself, and most labels are found as they are.
    found = position(label)
    if found is not None:
        return found
    conversions: tuple[Callable[[Any], Any], ...] = ()
    if isinstance(label, str):
        conversions = (int, float, pd.Timestamp)
    elif isinstance(index, pd.DatetimeIndex):
        conversions = (pd.Timestamp,)
    for convert in conversions:
        try:
            with warnings.catch_warnings():  # pandas warns on text it reads as a quarter
                warnings.simplefilter("ignore")
                c = convert(label)
        except (ValueError, TypeError):
            continue
        found = position(c)
        if found is not None:
            return found
    labels = list(index)
    shown = _fmt(labels[:3]) + (f", ..., {labels[-1]}" if len(labels) > 3 else "")
    raise ValueError(f"{what} {label!r} is not in the panel (its {what}s are {shown})")


def _aligned(frame: pd.DataFrame | None, units: pd.Index) -> pd.DataFrame | None:
    """`unit_data` in the panel's unit order, matched by label: every reader
    takes its columns row for row with `y`."""
    if frame is None or frame.index.equals(units):
        return frame
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"unit_data must be a pandas DataFrame; got {type(frame).__name__}")
    if frame.index.has_duplicates:
        dup = frame.index[frame.index.duplicated()].unique()
        raise ValueError(f"unit_data lists units more than once: {_first(list(dup))}")
    missing = units[~units.isin(frame.index)]
    if len(missing):
        raise ValueError(
            "unit_data must be indexed by unit label; it lacks units "
            f"{_fmt(missing[:_SHOW], len(missing) - _SHOW)}"
        )
    return frame.reindex(units)


class Panel:
    """A balanced panel of one outcome: units x periods, with labels.

    Parameters
    ----------
    y : array_like
        Outcomes, one row per unit and one column per period (converted to a
        C-contiguous float64 array; every entry must be finite).
    units : sequence
        Unit labels, one per row, distinct.
    periods : sequence
        Period labels, one per column, distinct and in time order: numbers and
        dates ascending, text read as times where it parses (see
        `Panel.from_long`); text that does not parse is taken in the order given.
    outcome : str, optional
        Name of the outcome, used in summaries and plot labels.
    unit_data : pandas.DataFrame, optional
        Columns that are constant within each unit (for example an adoption
        period), indexed by unit label: matched to the units by label, in
        any order (rows of other units are left out).
    allow_missing : bool, optional
        Let NaN mark missing cells (an unbalanced panel); the verbs that take
        one say what they do with them. Infinite outcomes are always refused.

    Attributes
    ----------
    y : numpy.ndarray
        The (units x periods) float64 array the compiled functions take.
    units, periods : pandas.Index
        The labels of the rows and columns of `y`.

    See Also
    --------
    Panel.from_long, Panel.from_wide : The usual ways to build one.

    Notes
    -----
    How periods are ordered, and what each verb does with missing cells,
    weights and clusters: :ref:`tables`.
    """

    def __init__(
        self,
        y: npt.ArrayLike,
        units: Sequence[Any] | pd.Index,
        periods: Sequence[Any] | pd.Index,
        *,
        outcome: str = "outcome",
        unit_data: pd.DataFrame | None = None,
        order: PeriodOrder | None = None,
        allow_missing: bool = False,
        _checked: bool = False,
    ) -> None:
        arr = np.ascontiguousarray(np.asarray(y, dtype=np.float64))
        if arr.ndim != 2:
            raise ValueError(f"y must be two-dimensional (units x periods), got shape {arr.shape}")
        self.units = pd.Index(units)
        self.periods = pd.Index(periods)
        if arr.shape != (len(self.units), len(self.periods)):
            raise ValueError(
                f"y has shape {arr.shape} but there are {len(self.units)} units and "
                f"{len(self.periods)} periods"
            )
        # from_long has checked what follows (labels unique, values finite
        # or missing as allowed) on the way in.
        for name, idx in () if _checked else (("unit", self.units), ("period", self.periods)):
            dup = idx[idx.duplicated()].unique()
            if len(dup):
                raise ValueError(f"duplicate {name} labels: {_first(list(dup))}")
        if order is None:
            try:
                order = period_order(self.periods, self.periods.name or "periods")
            except ValueError:
                # Text that reads as no time: the columns are the order.
                order = period_order(self.periods, time_order=list(self.periods))
        if len(order.keys) > 1 and not bool(np.all(order.keys[1:] > order.keys[:-1])):
            raise ValueError("periods must be in ascending order")
        self._order = order
        bad_cells = None if _checked else np.isinf(arr) if allow_missing else ~np.isfinite(arr)
        if bad_cells is not None and bad_cells.any():
            bad = np.argwhere(bad_cells)
            cells = [f"({self.units[i]}, {self.periods[t]})" for i, t in bad[:_SHOW]]
            raise ValueError(
                f"non-finite outcomes at (unit, period) {_fmt(cells, len(bad) - _SHOW)}"
            )
        self.y: npt.NDArray[np.float64] = arr
        self.outcome = outcome
        self._unit_frame = _aligned(unit_data, self.units)
        # from_long's unit-level columns by name, until `unit_data` first
        # forms the frame of them: most fits read one column or none.
        self._unit_columns: dict[Hashable, pd.Series | npt.NDArray[Any]] = {}
        self._varying: list[Hashable] = []
        # Set by from_long when its layout pass found every cell present and
        # no NaN value. Only a caller that has just built the panel may trust
        # it: `y` is writeable afterwards.
        self._built_complete = False

    @property
    def unit_data(self) -> pd.DataFrame:
        """Columns constant within each unit, indexed by unit label."""
        if self._unit_frame is None:
            self._unit_frame = pd.DataFrame(self._unit_columns, index=self.units, copy=False)
            self._unit_columns = {}
        return self._unit_frame

    @unit_data.setter
    def unit_data(self, frame: pd.DataFrame) -> None:
        self._unit_frame, self._unit_columns = _aligned(frame, self.units), {}

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A panel pickled before the frame was formed on first read holds it
        # under its public name.
        if "unit_data" in state:
            state = dict(state)
            state["_unit_frame"] = state.pop("unit_data")
            state.setdefault("_unit_columns", {})
        self.__dict__.update(state)

    # -- construction -------------------------------------------------------

    @classmethod
    def from_long(
        cls,
        df: Any,
        unit: Hashable,
        time: Hashable,
        outcome: Hashable,
        *,
        time_order: Sequence[Any] | None = None,
        time_format: str | None = None,
        missing: str = "refuse",
    ) -> Panel:
        """Build a panel from a long table with one row per unit and period.

        Parameters
        ----------
        df : pandas.DataFrame or polars.DataFrame
            The long table.
        unit, time, outcome : str
            Names of the unit-label, period-label and outcome columns.
        time_order : sequence, optional
            The periods in time order, for labels that are not numbers or dates.
        time_format : str, optional
            The strptime format of text period labels (for example "%d/%m/%Y").
        missing : {"refuse", "keep"}
            What a (unit, period) cell absent from the table does: "refuse"
            raises naming the cells; "keep" leaves it NaN (see `allow_missing`).

        Returns
        -------
        Panel
            Units sorted by label, periods in time order. Periods are ordered by
            what they mean, never by their text: numbers, dates, datetimes,
            `pd.Period` and ordered categoricals as they are; text read as
            numbers, or as times when every label parses under one format (ISO
            dates, "2020-01", "Jan 2020", "January 2020", "2010Q4", "2010-Q4",
            "Q4 2010", "Q42010", and dd/mm/yyyy or mm/dd/yyyy when only one of
            them reads every label; `period_format` names the one used).
            Other columns that are constant within each unit are kept in
            `unit_data`.

        Raises
        ------
        ValueError
            On text periods that are neither numbers nor times in one format
            (naming the column, example labels and the two ways out,
            `time_order` and `time_format`), unknown columns, missing labels,
            duplicate (unit, period) rows,
            non-numeric or non-finite outcomes, or missing cells of an
            unbalanced panel; the message names the offending columns, rows,
            units and periods.
        """
        df = _to_pandas(df)
        _require_columns(df, {"unit": unit, "time": time, "outcome": outcome})
        _refuse_repeated_columns(df)
        if len(df) == 0:
            raise ValueError("the table has no rows")
        # Each column is taken from the frame once: a lookup costs more than
        # it seems when the call follows a fit that has emptied the caches.
        unit_column, time_column = df[unit], df[time]
        for role, col, series in (("unit", unit, unit_column), ("time", time, time_column)):
            dtype = series.dtype
            if isinstance(dtype, np.dtype) and dtype.kind in "iu":  # NumPy integers: never missing
                continue
            absent = series.isna().to_numpy()
            if absent.any():
                unlabelled = df.index[absent]
                raise ValueError(
                    f"missing {role} label in column {col!r} at rows {_first(list(unlabelled))}"
                )
        raw = df[outcome]
        # Numbers held as text, in an object column or a string one (pandas'
        # default for text since 3.0).
        textual = raw.dtype == object or isinstance(raw.dtype, pd.StringDtype)
        values = pd.to_numeric(raw, errors="coerce") if textual else raw
        if not pd.api.types.is_numeric_dtype(values) or pd.api.types.is_bool_dtype(values):
            raise ValueError(f"outcome column {outcome!r} is not numeric (dtype {raw.dtype})")
        if not (isinstance(values.dtype, np.dtype) and values.dtype == np.float64):
            values = values.astype(np.float64)
        # Only coercion of text can turn a present value into NaN.
        not_number = values.isna() & raw.notna() if textual else None
        if not_number is not None and not_number.any():
            rows = [
                f"{df.index[k]} ({_value(raw.iat[k])})"
                for k in np.flatnonzero(not_number.to_numpy())
            ]
            raise ValueError(f"non-numeric outcome in column {outcome!r} at rows {_first(rows)}")
        # With missing="keep" an empty outcome is a missing cell like an absent row.
        v = values.to_numpy()
        layout = _compact_layout(unit_column, time_column, v)
        # The compiled layout has counted the NaN and infinite values: the
        # scan (and its message) is needed only when there are some.
        clean = layout is not None and layout["n_inf"] == 0
        if layout is not None and missing != "keep":
            clean = clean and layout["n_nan"] == 0
        nonfinite = None if clean else np.isinf(v) if missing == "keep" else ~np.isfinite(v)
        if nonfinite is not None and nonfinite.any():
            rows = [f"{df.index[k]} ({_value(raw.iat[k])})" for k in np.flatnonzero(nonfinite)]
            raise ValueError(
                f"missing or non-finite outcome in column {outcome!r} at rows {_first(rows)}"
            )
        cells = (
            None
            if layout is None
            else _compact_cells(
                df, unit, time, layout, time_format=time_format, time_order=time_order
            )
        )
        if cells is None:
            cells = _hashed_cells(df, unit, time, v, time_order, time_format)
        y, units, periods, order, in_order, rows_i = cells
        if missing == "refuse":
            if len(v) < y.size:  # a table with a row for every cell has no holes
                refuse_missing(y, units, periods)
        elif missing != "keep":
            raise ValueError(f"missing must be 'refuse' or 'keep', not {missing!r}")
        others = [c for c in df.columns if c not in (unit, time, outcome)]
        varying: list[Hashable] = []
        kept: dict[Hashable, pd.Series | npt.NDArray[Any]] = {}
        first_row: npt.NDArray[np.int64] | None = None
        for c in others:
            col = df[c]
            # A NumPy column's value per unit, taken by the pass that checks
            # it, as an array: the frame then needs no alignment of its index.
            per_unit = (
                _run_values(col, len(periods))
                if in_order and isinstance(col.dtype, np.dtype)
                else None
            )
            if per_unit is not None:
                kept[c] = per_unit
                continue
            if first_row is None:
                first_row = _first_rows(rows_i, len(units), len(periods), in_order)
            try:
                codes, _ = _codes(col)
            except TypeError:  # lists, dicts: values no unit-level use can read
                continue
            if np.array_equal(codes, codes[first_row][rows_i()]):
                kept[c] = df[c].iloc[first_row].set_axis(units)
            else:
                varying.append(c)
        panel = cls(
            y,
            units,
            periods,
            outcome=str(outcome),
            order=order,
            allow_missing=missing == "keep",
            _checked=True,
        )
        panel._unit_columns = kept
        panel._varying = varying
        panel._built_complete = layout is not None and layout["n_nan"] == 0 and len(v) == y.size
        return panel

    @classmethod
    def from_wide(
        cls,
        df: Any,
        outcome: str = "outcome",
        *,
        time_order: Sequence[Any] | None = None,
        time_format: str | None = None,
    ) -> Panel:
        """Build a panel from a wide table: one row per unit, one column per period.

        Parameters
        ----------
        df : pandas.DataFrame or polars.DataFrame
            Index = unit labels, columns = period labels (any order: units are
            sorted by label and periods put in time order, as `from_long`
            orders them). A polars frame's first column is taken as the unit
            labels.
        outcome : str
            Name of the outcome for summaries and plots.
        time_order, time_format
            As for `from_long`: the periods in time order, or the strptime
            format of text period labels.

        Returns
        -------
        Panel

        Raises
        ------
        ValueError
            On period columns that repeat, that cannot be put in time order, or
            that are not numeric.
        """
        polars_like = not isinstance(df, pd.DataFrame)
        df = _to_pandas(df)
        if polars_like:
            df = df.set_index(df.columns[0])
        columns = pd.Index(df.columns)
        if columns.has_duplicates:
            repeated = list(columns[columns.duplicated()].unique())
            raise ValueError(f"period columns repeat: {_first(repeated)}")
        if df.shape[0] == 0 or df.shape[1] == 0:
            raise ValueError(f"the wide table has no {'rows' if df.shape[1] else 'period columns'}")
        found = period_order(columns, "columns", time_order, time_format)
        by_time = found.positions()
        df = df.iloc[:, by_time]
        order = PeriodOrder(found.keys[by_time], found.kind, found.format, found.key_of)
        bad_cols = [c for c in df.columns if not pd.api.types.is_numeric_dtype(df[c])]
        if bad_cols:
            raise ValueError(f"non-numeric period columns: {_first(bad_cols)}")
        if df.index.hasnans:
            raise ValueError("missing unit label in the index of the wide table")
        # Units by label, as from_long has them: the row order of the file
        # must not reach a fit (an iterative solver's result depends on it).
        try:
            df = df.iloc[np.argsort(df.index.to_numpy(), kind="stable")]
        except TypeError as e:
            raise ValueError(f"unit labels of mixed, unorderable types: {e}") from None
        return cls(
            df.to_numpy(dtype=np.float64), df.index, df.columns, outcome=outcome, order=order
        )

    def without_units(self, rows: Sequence[int]) -> Panel:
        """The same panel without the units at `rows` (row positions, as
        `unit_positions` gives them)."""
        given = np.asarray(rows)
        n = len(self.units)
        if given.size and (
            not np.issubdtype(given.dtype, np.integer) or given.min() < 0 or given.max() >= n
        ):
            raise ValueError(f"rows must be row positions from 0 to {n - 1}; got {list(rows)}")
        keep = np.setdiff1d(np.arange(n), given.astype(np.intp))
        panel = Panel(
            self.y[keep],
            self.units[keep],
            self.periods,
            outcome=self.outcome,
            unit_data=self.unit_data.iloc[keep],
            order=self._order,
            allow_missing=True,
        )
        panel._varying = self._varying
        return panel

    # -- labels <-> indices ---------------------------------------------------

    @property
    def shape(self) -> tuple[int, int]:
        """(number of units, number of periods)."""
        return (len(self.units), len(self.periods))

    def unit_positions(self, names: Any) -> list[int]:
        """Row indices of the named units (a single label or a sequence of labels;
        a tuple that is itself a unit's label names that unit)."""
        single = isinstance(names, str) or not isinstance(names, Iterable)
        if isinstance(names, tuple) and not single:
            try:
                single = names in self.units
            except TypeError:  # an unhashable member
                single = False
        if single:
            names = [names]
        return [_lookup(self.units, n, "unit") for n in names]

    def period_position(self, label: Any) -> int:
        """Column index of a period label, or of any label meaning the same time
        ("2024-07-29", a `pd.Timestamp` or a `datetime.date` for a date period;
        "1989" for 1989; a label in the periods' own text format)."""
        try:
            pos = self.periods.get_loc(label)
            if isinstance(pos, int):
                return pos
        except (KeyError, TypeError, ValueError):
            pass
        try:
            key = self._order.key_of(label)
        except (ValueError, TypeError):
            key = None
        if key is not None:
            hits = np.flatnonzero(self._order.keys == key)
            if len(hits) == 1:
                return int(hits[0])
        return _lookup(self.periods, label, "period")

    @property
    def period_format(self) -> str | None:
        """The format text period labels were read with (None for numbers, dates
        and explicit orders)."""
        return self._order.format

    def time_axis(self) -> npt.NDArray[Any]:
        """The periods as plot coordinates: datetimes for times, numbers for
        numbers, positions for an explicit order."""
        if self._order.kind == "time":
            return pd.to_datetime(self._order.keys.astype(np.int64), unit="ns").to_numpy()
        if self._order.kind == "number":
            return np.asarray(self._order.keys, dtype=np.float64)
        return np.arange(len(self.periods))

    def unit_column(self, column: Hashable) -> pd.Series:
        """A unit-constant column of the source table, by unit label."""
        if self._unit_frame is None and column in self._unit_columns:
            values = self._unit_columns[column]
            if isinstance(values, pd.Series):
                return values
            return pd.Series(values, index=self.units, name=column, copy=False)
        if column in self.unit_data.columns:
            return self.unit_data[column]
        if column in self._varying:
            raise ValueError(f"column {column!r} is not constant within each unit")
        if column == self.outcome:
            raise ValueError(f"column {column!r} is the outcome, not constant within each unit")
        varying = (
            f" (varying within units: {', '.join(map(repr, self._varying))})"
            if self._varying
            else ""
        )
        raise ValueError(
            f"unknown column {column!r}; the unit-level columns are: "
            + (", ".join(repr(c) for c in self.unit_data.columns) or "(none)")
            + varying
        )

    def to_long(self) -> pd.DataFrame:
        """The panel as a long table with columns unit, period and the outcome."""
        if self.outcome in ("unit", "period"):
            raise ValueError(
                f"to_long: the outcome is named {self.outcome!r}, as a label column is; "
                "set panel.outcome to another name first"
            )
        n, t = self.shape
        return pd.DataFrame(
            {
                "unit": np.repeat(self.units.to_numpy(), t),
                "period": np.tile(self.periods.to_numpy(), n),
                self.outcome: self.y.ravel(),
            }
        )

    def __repr__(self) -> str:
        n, t = self.shape
        first, last = self.periods[0], self.periods[-1]
        return f"Panel({n} units x {t} periods, {first} .. {last}, outcome={self.outcome!r})"


def refuse_missing(y: npt.NDArray[np.float64], units: pd.Index, periods: pd.Index) -> None:
    """ValueError naming the missing (NaN) cells of y by unit and period, if any."""
    holes = np.argwhere(np.isnan(y))
    if not len(holes):
        return
    by_unit: dict[int, list[Any]] = {}
    for i, t in holes:
        by_unit.setdefault(int(i), []).append(periods[t])
    parts = [f"{units[i]!s} lacks {_first(ps)}" for i, ps in list(by_unit.items())[:_SHOW]]
    more = len(by_unit) - _SHOW
    raise ValueError(
        f"unbalanced panel: {len(holes)} missing (unit, period) cells in "
        f"{len(by_unit)} units: "
        + "; ".join(parts)
        + (f"; ... ({more} more units)" if more > 0 else "")
    )


def as_panel(
    data: Any,
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
    missing: str = "refuse",
) -> Panel:
    """A `Panel` as is, or one built from a long table and its column names."""
    if isinstance(data, Panel):
        return data
    if unit is None or time is None or outcome is None:
        raise ValueError("a long table needs unit=, time= and outcome= column names")
    return Panel.from_long(
        data,
        unit=unit,
        time=time,
        outcome=outcome,
        time_order=time_order,
        time_format=time_format,
        missing=missing,
    )
