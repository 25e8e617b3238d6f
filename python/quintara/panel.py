"""Labelled panels: a units x periods outcome array with its unit and period labels.

The compiled estimators take a units x periods float64 array and row/column
indices. `Panel` builds that array from the long table analysts hold (one row
per unit and period) or from a wide one, keeps the labels, and translates
names and period labels into the indices the compiled entries expect. A table
that is not a complete, numeric panel is refused with a message that names the
offending rows, units or columns; nothing is dropped or filled.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Hashable, Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

from .periods import PeriodOrder, period_order

__all__ = ["Panel", "as_panel"]

_SHOW = 5  # offending rows / units / cells listed in an error message


def _fmt(values: Iterable[Any], more: int = 0) -> str:
    text = ", ".join(str(v) for v in values)
    return text + (f", ... ({more} more)" if more > 0 else "")


def _first(values: Sequence[Any]) -> str:
    return _fmt(values[:_SHOW], len(values) - _SHOW)


def _value(v: Any) -> str:
    return repr(v.item() if isinstance(v, np.generic) else v)


def _to_pandas(df: Any) -> pd.DataFrame:
    if isinstance(df, pd.DataFrame):
        return df
    if hasattr(df, "collect") and not hasattr(df, "to_pandas"):  # a polars LazyFrame
        df = df.collect()
        if isinstance(df, pd.DataFrame):
            return df
    if hasattr(df, "to_pandas"):  # polars, pyarrow tables
        try:
            out = df.to_pandas()
        except ModuleNotFoundError:
            # polars converts through pyarrow, which only the parquet extra
            # installs: column by column through NumPy needs neither.
            if not hasattr(df, "get_column"):
                raise
            out = pd.DataFrame({c: df.get_column(c).to_numpy() for c in df.columns})
        if isinstance(out, pd.DataFrame):
            return out
    raise TypeError(f"expected a pandas or polars DataFrame, got {type(df).__name__}")


def _refuse_repeated_columns(df: pd.DataFrame) -> None:
    if df.columns.has_duplicates:
        repeated = list(df.columns[df.columns.duplicated()].unique())
        raise ValueError(f"the table's column names repeat: {_first(repeated)}")


def _require_columns(df: pd.DataFrame, names: dict[str, Hashable]) -> None:
    unknown = [f"{role}={col!r}" for role, col in names.items() if col not in df.columns]
    if unknown:
        raise ValueError(
            f"unknown column {', '.join(unknown)}; the table's columns are: "
            + ", ".join(repr(c) for c in df.columns)
        )


def _codes(column: pd.Series) -> tuple[npt.NDArray[np.intp], Any]:
    """Integer codes of a column and its distinct values, as `pd.factorize`
    gives them (codes index the values; no missing values pass through here
    except as their own code). Integer columns of a compact range are coded
    by offset, without hashing: the values then come sorted, which no caller
    relies on either way."""
    v = column.to_numpy()
    # (A categorical of integers converts to integers too, without its order.)
    if isinstance(column.dtype, np.dtype) and v.dtype.kind in "iu" and len(v):
        lo, hi = int(v.min()), int(v.max())
        # (Offsets from a uint64 value past int64's range would overflow.)
        if hi - lo < 4 * len(v) + 1024 and hi <= np.iinfo(np.int64).max:
            shifted = np.subtract(v, lo, dtype=np.intp, casting="unsafe")
            present = np.zeros(hi - lo + 1, dtype=bool)
            present[shifted] = True
            if present.all():  # a range without gaps codes itself
                return shifted, np.arange(lo, hi + 1, dtype=v.dtype)
            lookup = np.cumsum(present, dtype=np.intp) - 1
            return lookup[shifted], (np.flatnonzero(present) + lo).astype(v.dtype)
    codes, values = pd.factorize(column, sort=False, use_na_sentinel=False)
    return codes.astype(np.intp, copy=False), values


def _identity(positions: npt.NDArray[np.intp]) -> bool:
    return bool(np.array_equal(positions, np.arange(len(positions))))


def _run_values(column: pd.Series, n_periods: int) -> npt.NDArray[Any] | None:
    """Each unit's value of a column of a table in (unit, period) order when
    the column is constant within every unit, read in place and in the
    column's dtype; None also when it cannot tell that way (missing values,
    which never equal themselves, or non-numeric data)."""
    from . import _quintara

    v = column.to_numpy()
    if v.dtype.kind in "iu" and not (v.dtype.kind == "u" and v.dtype.itemsize == 8):
        firsts = _quintara._run_firsts(np.asarray(v, dtype=np.int64), n_periods)
        kind: type = np.int64
    elif v.dtype.kind == "f":
        firsts = _quintara._run_firsts(np.asarray(v, dtype=np.float64), n_periods)
        kind = np.float64
    elif v.dtype.kind == "b":
        block = v.reshape(-1, n_periods)
        return block[:, 0].copy() if bool((block == block[:, :1]).all()) else None
    else:
        return None
    if firsts is None:
        return None
    # Back to the column's own type: the values came from it, so exactly.
    return np.frombuffer(firsts, dtype=kind).astype(v.dtype, copy=False)


class _Cells(NamedTuple):
    """A long table laid out as units x periods."""

    y: npt.NDArray[np.float64]  # NaN where no row is
    units: pd.Index  # sorted
    periods: pd.Index  # in time order
    order: PeriodOrder
    in_order: bool  # one row per cell, sorted by unit and then period
    rows_i: Callable[[], npt.NDArray[np.intp]]  # each row's unit position, on demand


def _refuse_duplicates(df: pd.DataFrame, unit: Hashable, time: Hashable) -> None:
    dup = df.duplicated([unit, time], keep=False)
    u, t = df[unit], df[time]
    rows = [
        f"{df.index[k]} ({u.iat[k]}, {t.iat[k]})" for k in np.flatnonzero(dup.to_numpy()).tolist()
    ]
    raise ValueError(f"duplicate (unit, period) rows: {_first(rows)}")


def _first_rows(
    rows_i: Callable[[], npt.NDArray[np.intp]], n_units: int, n_periods: int, in_order: bool
) -> npt.NDArray[np.int64]:
    """Each unit's first row of the table: a column is unit-level when no
    unit has two distinct values in it (missing counting as a value)."""
    if in_order:
        return np.arange(n_units, dtype=np.int64) * n_periods
    row_units = rows_i()
    first_row = np.empty(n_units, dtype=np.int64)
    first_row[row_units[::-1]] = np.arange(len(row_units) - 1, -1, -1)
    return first_row


def _as_int64(column: pd.Series) -> npt.NDArray[np.int64] | None:
    """A NumPy integer column as int64 (None for other columns, and for
    unsigned 64-bit ones, whose values may not fit)."""
    dtype = column.dtype
    if not isinstance(dtype, np.dtype) or dtype.kind not in "iu":
        return None
    if dtype.kind == "u" and dtype.itemsize == 8:
        return None
    return np.asarray(column.to_numpy(), dtype=np.int64)


def _compact_layout(
    unit_column: pd.Series, time_column: pd.Series, v: npt.NDArray[np.float64]
) -> dict[str, Any] | None:
    """The compiled layout of integer labels over ranges without gaps, the
    usual large table: one pass places every row, with no hashing, and counts
    the missing and infinite values. None for any other table."""
    uv, tv = _as_int64(unit_column), _as_int64(time_column)
    if uv is None or tv is None:
        return None
    from . import _quintara

    layout = _quintara._long_layout(uv, tv, np.asarray(v, dtype=np.float64))
    if layout is not None:
        layout["unit_codes"] = uv
        layout["dtypes"] = (unit_column.dtype, time_column.dtype)
    return layout


def _compact_cells(
    df: pd.DataFrame,
    unit: Hashable,
    time: Hashable,
    layout: dict[str, Any],
    *,
    time_order: Sequence[Any] | None,
    time_format: str | None,
) -> _Cells:
    """The panel of a compact layout (see `_compact_layout`)."""
    if layout["duplicate"] is not None:
        _refuse_duplicates(df, unit, time)
    n, nt = layout["n_units"], layout["n_periods"]
    unit_lo, time_lo = layout["unit_lo"], layout["time_lo"]
    uv, (uv_dtype, tv_dtype) = layout["unit_codes"], layout["dtypes"]
    units = pd.Index(np.arange(unit_lo, unit_lo + n, dtype=uv_dtype), name=unit, copy=False)
    labels = pd.Index(np.arange(time_lo, time_lo + nt, dtype=tv_dtype), name=time, copy=False)
    found = period_order(labels, time, time_order, time_format)
    by_time = found.positions()
    y = np.frombuffer(layout["y"], dtype=np.float64).reshape(n, nt)
    if not _identity(by_time):  # a time_order other than the numbers' own
        y = y[:, by_time]
    order = PeriodOrder(found.keys[by_time], found.kind, found.format, found.key_of)
    return _Cells(y, units, labels[by_time], order, bool(layout["in_order"]), lambda: uv - unit_lo)


def _hashed_cells(
    df: pd.DataFrame,
    unit: Hashable,
    time: Hashable,
    v: npt.NDArray[np.float64],
    time_order: Sequence[Any] | None,
    time_format: str | None,
) -> _Cells:
    """The layout of any table: both label columns coded once, and every
    later step (the duplicate check, the scatter, the unit-level columns)
    working on the codes instead of hashing labels again."""
    unit_codes, unit_labels = _codes(df[unit])
    try:
        units = pd.Index(unit_labels, name=unit).sort_values()
    except TypeError as e:
        raise ValueError(f"unit labels of mixed, unorderable types: {e}") from None
    time_codes, time_labels = _codes(df[time])
    labels = pd.Index(time_labels, name=time)
    found = period_order(labels, time, time_order, time_format)
    by_time = found.positions()
    periods = labels[by_time]
    order = PeriodOrder(found.keys[by_time], found.kind, found.format, found.key_of)
    # Codes already in sorted order (as offset-coded integers come) are
    # their own positions: no gather over every row.
    to_row = units.get_indexer(unit_labels)
    rows_i = unit_codes if _identity(to_row) else to_row[unit_codes]
    to_col = np.argsort(by_time)
    cols_t = time_codes if _identity(to_col) else to_col[time_codes]
    n_cells = len(units) * len(periods)
    cell = rows_i.astype(np.int64) * len(periods)
    cell += cols_t
    # A table sorted by unit then period, one row per cell, is its own
    # layout: no duplicate is possible and no scatter is needed.
    in_order = len(cell) == n_cells and np.array_equal(cell, np.arange(n_cells))
    if not in_order and len(cell) and np.bincount(cell).max() > 1:
        _refuse_duplicates(df, unit, time)
    if in_order:
        y = v.reshape(len(units), len(periods)).copy()
    else:
        y = np.full((len(units), len(periods)), np.nan)
        y.ravel()[cell] = v
    return _Cells(y, units, periods, order, in_order, lambda: rows_i)


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
