"""Reading the command line's input tables: CSV (delimiter detected,
compressed by suffix) and Parquet, with number styles named when a file
writes numbers another way."""

from __future__ import annotations

import csv
import re
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import pandas as pd

__all__ = ["UsageError", "read_table"]


class UsageError(Exception):
    """A bad argument or data file, reported in one line with exit status 2."""


def read_table(
    path: str,
    text_columns: Sequence[str] = (),
    decimal: str = ".",
    thousands: str | None = None,
) -> pd.DataFrame:
    """Read a long table: Parquet by suffix (.parquet, .pq), else CSV (delimiter
    detected; .gz, .bz2 and .xz compressed, by suffix). `text_columns`
    are read as text, so unit codes keep their leading zeros (codes that are
    all plain whole numbers become numbers, as in a table read by pandas)."""
    p = Path(path)
    if p.is_dir():
        raise UsageError(f"{path} is a folder, not a table file")
    if not p.is_file():
        raise UsageError(f"no such file: {path}")
    if p.suffix.lower() in (".parquet", ".pq"):
        try:
            df = pd.read_parquet(p)
        except ImportError:
            raise UsageError("reading Parquet needs pyarrow: pip install pyarrow") from None
    else:
        df = _read_csv(p, path, text_columns, decimal, thousands)
        for c in text_columns:
            if c in df.columns:
                df[c] = _codes_as_numbers(df[c])
    if df.empty:
        raise UsageError(f"{path} has no rows")
    return df


def _read_csv(
    p: Path, path: str, text_columns: Sequence[str], decimal: str, thousands: str | None
) -> pd.DataFrame:
    try:
        with _open_text(p) as f:
            head = f.read(65536)
    except UnicodeDecodeError as e:
        raise _not_utf8(path, e) from None
    except (OSError, EOFError) as e:
        raise UsageError(f"cannot read {path}: {e}") from None
    if not head.strip():
        raise UsageError(f"{path} has no rows")
    try:
        sep = csv.Sniffer().sniff(head, delimiters=",;\t|").delimiter
    except csv.Error:
        sep = ","
    try:
        return pd.read_csv(
            p,
            sep=sep,
            dtype={c: str for c in text_columns},
            decimal=decimal,
            thousands=thousands,
        )
    except UnicodeDecodeError as e:
        raise _not_utf8(path, e) from None
    except pd.errors.ParserError as e:
        raise UsageError(f"cannot read {path} as CSV: {e}") from None


def _not_utf8(path: str, e: UnicodeDecodeError) -> UsageError:
    # Spreadsheets on Windows save CSV in a local code page unless told otherwise.
    return UsageError(
        f"{path} is not UTF-8 text (byte 0x{e.object[e.start]:02x} at offset {e.start}); "
        "save it as UTF-8 (in Excel: CSV UTF-8)"
    )


_WHOLE = re.compile(r"^-?(0|[1-9]\d{0,17})$")


def _codes_as_numbers(column: pd.Series) -> pd.Series:
    """Unit codes that are plain whole numbers as numbers, as a table read in
    Python has them (they then sort as numbers, and seeded draws over the
    units agree); codes with a leading zero stay text, which keeps them."""
    texts = column.dropna()
    if len(texts) < len(column) or not texts.str.fullmatch(_WHOLE).all():
        return column
    return column.astype("int64")


def _open_text(p: Path) -> Any:
    """The file as text, through its compression where the suffix names one."""
    import bz2
    import gzip
    import lzma

    suffix = p.suffix.lower()
    if suffix == ".gz":
        return gzip.open(p, "rt", encoding="utf-8", newline="")
    if suffix == ".bz2":
        return bz2.open(p, "rt", encoding="utf-8", newline="")
    if suffix == ".xz":
        return lzma.open(p, "rt", encoding="utf-8", newline="")
    return p.open("r", encoding="utf-8", newline="")


# How a number column reads when its CSV file writes numbers the continental
# way, or groups thousands: (pattern every value matches, the options to pass).
_NUMBER_STYLES = [
    (re.compile(r"^[+-]?\d{1,3}(,\d{3})+(\.\d+)?$"), "thousands separators", "--thousands ,"),
    (
        re.compile(r"^[+-]?\d{1,3}(\.\d{3})+(,\d+)?$"),
        "thousands separators",
        "--thousands . --decimal ,",
    ),
    (re.compile(r"^[+-]?\d+(,\d+)?$"), "a decimal comma", "--decimal ,"),
]


def _check_numbers(df: pd.DataFrame, column: str, path: str) -> None:
    """Numbers written with a decimal comma or thousands separators, named as such."""
    if column not in df.columns or not pd.api.types.is_string_dtype(df[column]):
        return
    texts = df[column].dropna().astype(str).str.strip()
    marked = texts[texts.str.contains(r"[,.]")]
    if marked.empty:
        return
    for pattern, what, fix in _NUMBER_STYLES:
        if texts.str.match(pattern).all():
            raise UsageError(
                f"column {column!r} of {path} writes numbers with {what} (such as "
                f"{marked.iloc[0]!r}); pass {fix}"
            )
