"""Long tables read into cells: the table as a pandas frame, its label columns
coded, its rows placed on a units x periods grid, and the checks of that reading.

`Panel.from_long` goes through here. Integer labels over ranges without gaps
take the compiled layout (`_compact_layout`), one pass with no hashing; in
any other table the label columns are coded once and every later step works
on the codes (`_hashed_cells`). The message helpers (`_first` and its kin)
are shared with `panel`, whose refusals list offending rows, units and cells
the same way.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

from .periods import PeriodOrder, period_order

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
