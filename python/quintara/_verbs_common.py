"""What every labelled verb shares: finding its compiled entry, checking
the options it passes on and the choices it is given."""

from __future__ import annotations

import functools
from collections.abc import Mapping, Sequence
from typing import Any

from . import _quintara


def _entry(name: str) -> Any:
    fn = getattr(_quintara, name, None)
    if fn is None:
        raise ValueError(f"this build of quintara has no compiled entry {name!r}")
    return fn


@functools.cache
def _entry_params(entry: Any) -> tuple[str, ...] | None:
    """An entry's parameter names, read from its text signature once: the
    signature never changes, and parsing it costs a millisecond per call."""
    import inspect

    try:
        return tuple(inspect.signature(entry).parameters)
    except (TypeError, ValueError):  # an entry without a text signature
        return None


def _check_options(verb: str, entry: Any, options: Mapping[str, Any], taken: int) -> None:
    """An option the compiled entry does not take is the verb's TypeError, not the entry's.

    `taken` counts the entry's leading parameters the verb fills itself.
    """
    params = _entry_params(entry)
    if params is None:  # let the entry decide
        return
    names = params[taken:]
    for key in options:
        if key not in names:
            raise TypeError(f"{verb}() got an unexpected keyword argument {key!r}")


def _choice(what: str, value: str, allowed: Sequence[str]) -> None:
    if value not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(map(repr, allowed))}, not {value!r}")
