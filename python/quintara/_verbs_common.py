"""What every labelled verb shares: finding its compiled entry, checking
the options it passes on and the choices it is given, and naming rows by
label in the entry's errors."""

from __future__ import annotations

import contextlib
import functools
import inspect
import numbers
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar

from . import _quintara

if TYPE_CHECKING:
    import pandas as pd

    from .panel import Panel

_P = ParamSpec("_P")
_R = TypeVar("_R")


def _entry(name: str) -> Any:
    fn = getattr(_quintara, name, None)
    if fn is None:
        raise ValueError(f"this build of quintara has no compiled entry {name!r}")
    return fn


@functools.cache
def _entry_params(entry: Any) -> tuple[str, ...] | None:
    """An entry's parameter names, read from its text signature once: the
    signature never changes, and parsing it costs a millisecond per call."""
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


def _check_lookback(options: Mapping[str, Any]) -> None:
    """A lookback of 0 keeps one historical window, whose spread is no null
    distribution: a test against it rejects or not by the one window alone."""
    lookback = options.get("lookback")
    if isinstance(lookback, numbers.Integral) and not isinstance(lookback, bool) and lookback < 1:
        raise ValueError(f"lookback must be >= 1 (the historical windows kept); got {lookback}")


def _choice(what: str, value: str, allowed: Sequence[str]) -> None:
    if value not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(map(repr, allowed))}, not {value!r}")


def _arguments(sig: inspect.Signature, args: Any, kwargs: Any) -> Iterator[tuple[str, Any]]:
    """Every argument of a call by name, the options of a ``**options`` one by theirs."""
    try:
        bound = sig.bind_partial(*args, **kwargs)
    except TypeError:
        return
    for name, value in bound.arguments.items():
        if sig.parameters[name].kind is inspect.Parameter.VAR_KEYWORD:
            yield from value.items()
        else:
            yield name, value


def named_counts(verb: Callable[_P, _R]) -> Callable[_P, _R]:
    """A count out of range is the verb's ValueError naming it.

    The compiled entries convert counts to unsigned 64-bit integers and report
    a negative or too large one as an OverflowError that names no argument.
    """
    sig = inspect.signature(verb)

    @functools.wraps(verb)
    def checked(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        try:
            return verb(*args, **kwargs)
        except OverflowError:
            for name, value in _arguments(sig, args, kwargs):
                if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                    continue
                if not 0 <= int(value) < 2**64:
                    raise ValueError(
                        f"{name} must be a non-negative integer below 2**64; got {value}"
                    ) from None
            raise

    return checked


# The compiled entries name markets by row and cells by the lists built from
# `cells`; the verbs' errors name them as the caller gave them. One pattern
# for the rows, so a label that is itself a number is not read as a row again.
_ROWS = re.compile(r"\btreated unit index (\d+) listed more than once|\bmarket (\d+)\b")
_CELLS = (
    (re.compile(r"\bcell_max_treated\[(\d+)\]"), r"cells[\1]['max_treated']"),
    (re.compile(r"\bcell_lifts\[(\d+)\]"), r"cells[\1]['target_lift']"),
    (re.compile(r"\bcell (\d+)'s budget"), r"cells[\1]['budget']"),
    (re.compile(r"^cell_max_treated must list"), "cells must list"),
    (re.compile(r"pass cell_budgets= as well"), "give a cell a 'budget' as well"),
)


def _relabel(text: str, units: pd.Index, noun: str = "market") -> str:
    """A compiled error's text with markets (or `noun`s) named by label and
    cells as `cells[k][key]`."""

    def label(m: re.Match[str]) -> str:
        row = int(m[1] or m[2])
        if row >= len(units):
            return m[0]
        if m[1] is not None:
            return f"treated lists {noun} {units[row]} more than once"
        return f"market {units[row]}"

    for pattern, to in _CELLS:
        text = pattern.sub(to, text)
    return _ROWS.sub(label, text)


@contextlib.contextmanager
def _labelled_errors(panel: Panel, noun: str = "market") -> Iterator[None]:
    """The compiled calls' ValueErrors, reworded by `_relabel`."""
    try:
        yield
    except ValueError as err:
        text = _relabel(str(err), panel.units, noun)
        if text == str(err):
            raise
        raise type(err)(text).with_traceback(err.__traceback__) from None
