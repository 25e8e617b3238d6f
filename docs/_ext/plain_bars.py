"""Absolute values written as |x| in docstrings stay text.

reStructuredText reads |x| as a substitution reference; the docstrings use it
for absolute values (|ATT|, |residual|), as a reader expects in help().
"""

from __future__ import annotations

import re
from typing import Any

# A bar-delimited span with no space just inside either bar, on one line; a
# line block ("| text") and a table border are left alone.
_BARS = re.compile(r"(?<![\\|\w])\|(?=[^\s|])([^|\n]*?[^\s|\\])\|(?![|\w])")


def escape(lines: list[str]) -> None:
    for i, line in enumerate(lines):
        lines[i] = _BARS.sub(r"\\|\1\\|", line)


def _process(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    escape(lines)


def setup(app: Any) -> dict[str, Any]:
    # After numpydoc (priority 500) has turned the sections into markup.
    app.connect("autodoc-process-docstring", _process, priority=600)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
