"""Plain-text summary tables in the manner of statsmodels' summaries."""

from __future__ import annotations

import math
import textwrap
from collections.abc import Sequence
from typing import Any

WIDTH = 78


def num(x: Any, digits: int = 4) -> str:
    """A number for a table cell: `digits` significant figures, '-' when missing."""
    if x is None:
        return "-"
    if isinstance(x, float) and not math.isfinite(x):
        return "nan" if math.isnan(x) else ("inf" if x > 0 else "-inf")
    if isinstance(x, int):
        return str(x)
    return f"{float(x):.{digits}g}" if abs(float(x)) >= 1e5 else f"{float(x):.{digits}f}"


def pct(x: float | None) -> str:
    """A fraction as a percentage (0.05 -> '5.0%'), '-' when missing."""
    return "-" if x is None else f"{100.0 * x:.1f}%"


def render(
    title: str,
    info: Sequence[tuple[str, str]],
    header: Sequence[str] = (),
    rows: Sequence[Sequence[str]] = (),
    notes: Sequence[str] = (),
) -> str:
    """Title, a two-column block of `name: value` pairs, a table, then notes."""
    cells = [f"{k + ':':<18}{v}" for k, v in info]
    # The right column starts after the widest left cell when every pair then
    # fits, else at the middle; a pair that does not fit takes two lines.
    lefts, rights = cells[::2], cells[1::2]
    half = max([WIDTH // 2, *(len(c) + 2 for c in lefts)])
    if any(half + len(r) > WIDTH for r in rights):
        half = WIDTH // 2
    lines = [title.center(WIDTH).rstrip(), "=" * WIDTH]
    for i in range(0, len(cells), 2):
        pair = cells[i : i + 2]
        if len(pair) > 1 and (len(pair[0]) + 1 > half or half + len(pair[1]) > WIDTH):
            lines.extend(pair)
        else:
            lines.append((pair[0].ljust(half) + (pair[1] if len(pair) > 1 else "")).rstrip())
    if header:
        cols = len(header)
        first = max([len(header[0]), *(len(r[0]) for r in rows)]) + 2
        # Every other column at least one wider than its widest entry, so that
        # neighbouring headers and cells never run together.
        widest = max([len(c) for r in [header, *rows] for c in r[1:]], default=0)
        rest = max(10, (WIDTH - first) // max(cols - 1, 1), widest + 1)
        lines.append("=" * WIDTH)
        lines.append((header[0].ljust(first) + "".join(h.rjust(rest) for h in header[1:])).rstrip())
        lines.append("-" * WIDTH)
        for r in rows:
            lines.append((r[0].ljust(first) + "".join(c.rjust(rest) for c in r[1:])).rstrip())
    lines.append("=" * WIDTH)
    for note in notes:
        lines.extend(textwrap.wrap(note, WIDTH, subsequent_indent="  "))
    return "\n".join(lines)
