"""The time order of period labels: by what they mean, never by their text.

Numbers, datetimes, dates, `pd.Period` and ordered categoricals are ordered as
they are. Text is read as times when every label parses under one format (the
formats analysts' tables use: ISO dates, "2020-01", "Jan 2020", "January 2020",
quarters written "2010Q4", "2010-Q4", "Q4 2010" or "Q42010", day-first or
month-first dates when only one of the two reads every label), or as numbers
when every label is one. Anything else is refused: sorting "Q42010" before
"Q12011" as text silently swaps pre- and post-periods.

Each label gets a key (an int64 or float64 that sorts in time order); a label
given later (a start period, an adoption value) matches a period when it
converts to the same key, so "2024-07-29", `pd.Timestamp("2024-07-29")` and
`datetime.date(2024, 7, 29)` name the same day.
"""

from __future__ import annotations

import datetime
import re
import warnings
from collections.abc import Callable, Hashable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["PeriodOrder", "period_order"]

_QUARTER = [  # (pattern, shown as, year group, quarter group)
    (re.compile(r"^(\d{4})-?Q([1-4])$"), "quarters like '2010Q4'", 1, 2),
    (re.compile(r"^Q([1-4]) ?(\d{4})$"), "quarters like 'Q4 2010' or 'Q42010'", 2, 1),
]
# strptime formats tried in order; the two slash forms are told apart below.
_FORMATS = ["%Y-%m-%d", "%Y-%m", "ISO8601", "%b %Y", "%B %Y", "%Y/%m/%d", "%d.%m.%Y"]
_SLASHED = ("%d/%m/%Y", "%m/%d/%Y")
_NUMBER = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")


@dataclass(frozen=True)
class PeriodOrder:
    """Keys of the labels (in the labels' given order) and how to key another label.

    `kind` is "number", "time" or "order" (an explicit or categorical order);
    `format` names the format text labels were read with (None otherwise).
    """

    keys: npt.NDArray[Any]
    kind: str
    format: str | None
    key_of: Callable[[Any], Any]

    def positions(self) -> npt.NDArray[np.intp]:
        """The labels' positions in time order (stable for equal keys)."""
        return np.argsort(self.keys, kind="stable")


def _ns(values: Any) -> npt.NDArray[np.int64]:
    try:
        return np.asarray(pd.DatetimeIndex(values).as_unit("ns").asi8, dtype=np.int64)
    except pd.errors.OutOfBoundsDatetime:
        raise ValueError(
            "period labels fall outside the times this package can order (the years "
            "1678 to 2261); pass time_order=[...] (the periods in order) or use numbers"
        ) from None


def _timestamp_key(label: Any) -> int | None:
    try:
        if isinstance(label, pd.Period):
            return int(label.start_time.as_unit("ns").value)
        if isinstance(label, str | datetime.date | np.datetime64 | pd.Timestamp):
            with warnings.catch_warnings():  # pandas warns on text it reads as a quarter
                warnings.simplefilter("ignore")
                ts = pd.Timestamp(label)
            return None if pd.isna(ts) else int(ts.as_unit("ns").value)
    except (ValueError, TypeError, OverflowError):
        return None
    return None


def _number_key(label: Any) -> float | None:
    if isinstance(label, bool | np.bool_ | np.timedelta64):  # (a timedelta64 is an integer type)
        return None
    if isinstance(label, int | float | np.integer | np.floating):
        return float(label)
    if isinstance(label, str) and _NUMBER.match(label.strip()):
        return float(label)
    return None  # a timedelta, a tuple, ...: no number


def _quarter_starts(texts: Sequence[str], pattern: re.Pattern[str], y: int, q: int) -> Any:
    out = []
    for s in texts:
        m = pattern.match(s.strip())
        if m is None:
            return None
        out.append(pd.Timestamp(int(m.group(y)), 3 * int(m.group(q)) - 2, 1))
    return out


def _parse_with(texts: Sequence[str], fmt: str) -> npt.NDArray[np.int64] | None:
    for pattern, shown, y, q in _QUARTER:
        if fmt == shown:
            starts = _quarter_starts(texts, pattern, y, q)
            return None if starts is None else _ns(starts)
    # As instants: labels with different UTC offsets order by the time they mean.
    parsed = pd.to_datetime(
        pd.Series(list(texts), dtype=object), format=fmt, errors="coerce", utc=True
    )
    return None if parsed.isna().any() else _ns(parsed)


class _TextKey:
    """A label's time under one strptime format. A class, not a closure, so
    a panel (and every result holding one) pickles."""

    def __init__(self, fmt: str) -> None:
        self.fmt = fmt

    def __call__(self, label: Any) -> Any:
        if isinstance(label, str):
            parsed = _parse_with([label], self.fmt)
            if parsed is not None:
                return int(parsed[0])
        # Any other spelling of a time: "1971-08-01", a Timestamp, a date.
        return _timestamp_key(label)


class _OrderKey:
    """A label's position in an explicit order (picklable, as `_TextKey`)."""

    def __init__(self, position: dict[str, int]) -> None:
        self.position = position

    def __call__(self, label: Any) -> Any:
        return self.position.get(str(label))


def _refuse(column: Hashable, texts: Sequence[str], why: str) -> ValueError:
    examples = ", ".join(repr(t) for t in list(dict.fromkeys(texts))[:3])
    return ValueError(
        f"cannot order the periods of column {column!r} by time: {why} (labels such as "
        f"{examples}); pass time_order=[...] (the periods in order) or time_format='%...' "
        "(their strptime format)"
    )


def _text_order(texts: Sequence[str], column: Hashable) -> PeriodOrder:
    numbers = [_number_key(t) for t in texts]
    if all(n is not None for n in numbers):
        return PeriodOrder(np.asarray(numbers, dtype=np.float64), "number", None, _number_key)
    for fmt in [*(shown for _, shown, _, _ in _QUARTER), *_FORMATS]:
        keys = _parse_with(texts, fmt)
        if keys is not None:
            return PeriodOrder(keys, "time", fmt, _TextKey(fmt))
    day_first, month_first = (_parse_with(texts, fmt) for fmt in _SLASHED)
    if day_first is not None and month_first is not None:
        if not np.array_equal(day_first, month_first):
            raise _refuse(column, texts, "every date reads both as dd/mm/yyyy and as mm/dd/yyyy")
        return PeriodOrder(day_first, "time", _SLASHED[0], _TextKey(_SLASHED[0]))
    for fmt, keys in zip(_SLASHED, (day_first, month_first), strict=True):
        if keys is not None:
            return PeriodOrder(keys, "time", fmt, _TextKey(fmt))
    raise _refuse(column, texts, "the labels are neither numbers nor dates in one format")


def _explicit(labels: pd.Index, order: Sequence[Any], column: Hashable) -> PeriodOrder:
    position = {str(v): k for k, v in enumerate(order)}
    if len(position) != len(order):
        raise ValueError("time_order lists a period twice")
    missing = [v for v in labels if str(v) not in position]
    if missing:
        shown = ", ".join(repr(v) for v in missing[:3])
        raise ValueError(
            f"time_order does not list {len(missing)} periods of column {column!r}: {shown}"
        )

    keys = np.asarray([position[str(v)] for v in labels])
    return PeriodOrder(keys, "order", None, _OrderKey(position))


def _refuse_same_time(order: PeriodOrder, labels: pd.Index, column: Hashable) -> PeriodOrder:
    """Two labels that read as one time would become two columns of one period."""
    by_time = order.positions()
    keys = order.keys[by_time]
    same = np.flatnonzero(keys[1:] == keys[:-1])
    if len(same):
        a, b = labels[by_time[same[0]]], labels[by_time[same[0] + 1]]
        raise ValueError(
            f"period labels {a!r} and {b!r} of column {column!r} mean the same time; "
            "write each period one way"
        )
    return order


def period_order(
    labels: pd.Index,
    column: Hashable = "period",
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
) -> PeriodOrder:
    """The time order of distinct period labels (see the module docstring).

    Raises ValueError naming `column` when two labels mean the same time, and
    as `_period_order` does.
    """
    found = _period_order(labels, column, time_order, time_format)
    return _refuse_same_time(found, labels, column)


def _period_order(
    labels: pd.Index,
    column: Hashable,
    time_order: Sequence[Any] | None,
    time_format: str | None,
) -> PeriodOrder:
    """The order itself, before the check of `period_order`.

    Raises ValueError naming `column` when text labels cannot be read as times
    or numbers, when `time_format` does not read every label, or when
    `time_order` misses one.
    """
    if time_order is not None:
        return _explicit(labels, time_order, column)
    values = labels.to_numpy()
    texts = [v for v in values if isinstance(v, str)]
    if time_format is not None:
        if len(texts) != len(values):
            raise ValueError(f"time_format applies to text periods; column {column!r} has others")
        keys = _parse_with(texts, time_format)
        if keys is None:
            bad = [t for t in texts if _parse_with([t], time_format) is None]
            raise _refuse(column, bad, f"time_format {time_format!r} does not read every label")
        return PeriodOrder(keys, "time", time_format, _TextKey(time_format))
    if isinstance(labels.dtype, pd.CategoricalDtype) and labels.dtype.ordered:
        cats = list(labels.dtype.categories)
        return _explicit(labels, cats, column)
    if len(texts) == len(values) and len(values):
        return _text_order(texts, column)
    if texts:
        raise ValueError(f"period labels of column {column!r} mix text with other types")
    if pd.api.types.is_datetime64_dtype(labels.dtype):
        return PeriodOrder(_ns(labels), "time", None, _timestamp_key)  # any unit, checked
    if (
        pd.api.types.is_numeric_dtype(labels.dtype)
        and not pd.api.types.is_bool_dtype(labels)
        and not pd.api.types.is_timedelta64_dtype(labels.dtype)
    ):
        return PeriodOrder(values.astype(np.float64), "number", None, _number_key)
    stamps = [_timestamp_key(v) for v in values]
    if all(s is not None for s in stamps):
        return PeriodOrder(np.asarray(stamps, dtype=np.int64), "time", None, _timestamp_key)
    numbers = [_number_key(v) for v in values]
    if all(n is not None for n in numbers):
        return PeriodOrder(np.asarray(numbers, dtype=np.float64), "number", None, _number_key)
    raise ValueError(
        f"period labels of column {column!r} are neither numbers nor times; pass "
        "time_order=[...] (the periods in order)"
    )
