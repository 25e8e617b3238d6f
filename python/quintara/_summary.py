"""Plain-text summary tables in the manner of statsmodels' summaries."""

from __future__ import annotations

import html
import math
import textwrap
from collections.abc import Sequence
from typing import Any

import numpy as np

WIDTH = 78


def num(x: Any, digits: int = 4) -> str:
    """A number for a table cell, '-' when missing.

    Below 1,000 in magnitude `digits` decimals; from 1,000 on thousands
    separators and fewer decimals (at least one), so that 21345.2 reads
    "21,345.2"; scientific notation only from 1e15 on. Integers from 10,000 on
    get separators too (four-digit ones, such as years, stay as they are).
    """
    if x is None:
        return "-"
    if isinstance(x, bool | np.bool_):
        return str(bool(x))
    if isinstance(x, int | np.integer):
        return f"{int(x):,}" if abs(int(x)) >= 10_000 else str(int(x))
    v = float(x)
    if not math.isfinite(v):
        return "nan" if math.isnan(v) else ("inf" if v > 0 else "-inf")
    size = abs(v)
    if size >= 1e15:
        return f"{v:.{digits}g}"
    # Judged after rounding, so 999.99999 is "1,000.00", never "1000.0000".
    if round(size, digits) >= 1e3:
        whole = len(str(int(round(size, digits))))
        return f"{v:,.{max(min(digits, 1), digits + 2 - whole)}f}"
    return f"{v:.{digits}f}"


# A summary shows at most this many event times either side of adoption; the
# rest are elided (a long panel has dozens, which would bury the overall rows).
EVENT_WINDOW = 5


def event_window(rows: list[list[str]], times: list[int]) -> tuple[list[list[str]], int]:
    """The summary's rows with event times beyond the window replaced by one
    "..." row per side; also the number elided. Short event studies stay whole."""
    if len(times) <= 2 * EVENT_WINDOW + 3:
        return rows, 0
    out: list[list[str]] = []
    run = 0  # elided rows since the last shown one
    for row in [*rows, []]:
        if row and row[0].startswith("event ") and abs(int(row[0][6:])) > EVENT_WINDOW:
            run += 1
            continue
        if run:
            out.append([f"... ({run} event times elided)", "", "", "", "", ""])
            run = 0
        if row:
            out.append(row)
    return out, sum(1 for t in times if abs(t) > EVENT_WINDOW)


def pct(x: float | None) -> str:
    """A fraction as a percentage (0.05 -> '5.0%'), '-' when missing (None, or
    the NaN a table column holds for it)."""
    return "-" if x is None or math.isnan(x) else f"{100.0 * x:.1f}%"


def beyond_every_window(p_value: float | None, n_windows: int) -> list[str]:
    """The note an in-time p-value of 0 needs: it means the effect beat every
    historical window, which W windows resolve only down to 1 / (W + 1)."""
    if p_value != 0.0 or n_windows < 1:
        return []
    return [
        f"p = 0: the effect exceeds all {n_windows} historical windows; {n_windows} windows "
        f"resolve no p-value below 1/{n_windows + 1} = {1 / (n_windows + 1):.3g}, so read it "
        f"as p < {1 / (n_windows + 1):.3g}."
    ]


class Summary(str):
    """A summary's text that keeps its parts, to render them as HTML too."""

    heading: str
    info: tuple[tuple[str, str], ...]
    header: tuple[str, ...]
    rows: tuple[tuple[str, ...], ...]
    notes: tuple[str, ...]

    def to_html(self) -> str:
        """The summary as a small HTML table: title, the name/value pairs, the
        table, then the notes (every text escaped)."""
        esc = html.escape
        left = ' style="text-align: left"'
        out = [f'<table class="quintara-summary">\n<caption>{esc(self.heading)}</caption>']
        if self.info:
            out.append("<tbody>")
            out += [
                f"<tr><th{left}>{esc(k)}</th><td{left}>{esc(v)}</td></tr>" for k, v in self.info
            ]
            out.append("</tbody>")
        out.append("</table>")
        if self.header:
            head = "".join(f"<th>{esc(h)}</th>" for h in self.header)
            out.append(f'<table class="quintara-summary">\n<thead><tr>{head}</tr></thead>\n<tbody>')
            for r in self.rows:
                cells = "".join(f'<td style="text-align: right">{esc(c)}</td>' for c in r[1:])
                out.append(f"<tr><th{left}>{esc(r[0])}</th>{cells}</tr>")
            out.append("</tbody>\n</table>")
        out += [f"<p>{esc(n)}</p>" for n in self.notes]
        return "\n".join(out)


def render(
    title: str,
    info: Sequence[tuple[str, str]],
    header: Sequence[str] = (),
    rows: Sequence[Sequence[str]] = (),
    notes: Sequence[str] = (),
) -> Summary:
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
    out = Summary("\n".join(lines))
    out.heading, out.info = title, tuple((k, v) for k, v in info)
    out.header, out.rows = tuple(header), tuple(tuple(r) for r in rows)
    out.notes = tuple(notes)
    return out
