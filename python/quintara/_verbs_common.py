"""What every labelled verb shares: finding its compiled entry, checking
the options it passes on and the choices it is given."""

from __future__ import annotations

import functools
import inspect
import numbers
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, ParamSpec, TypeVar

from . import _quintara

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
