"""Run a compiled call in a worker thread: progress on a terminal, clean Ctrl-C.

A compiled call releases the interpreter lock while it works, but the main
thread's signal handlers only run between bytecodes, so a call made on the
main thread would hold Ctrl-C back until it ended. Here the call runs on a
worker thread while the main thread waits in short slices, polls the native
progress counter (`_quintara._progress()`) and draws "done/total, elapsed,
ETA" on stderr when stderr is a terminal. A run that will take longer than
about ten seconds says so once, whether or not the bar is drawn: how many
steps it has and the time they will take, estimated from the first steps'
rate. On Ctrl-C it asks the native pool to
stop (`_quintara._cancel()`), waits for the worker (running tasks finish, no
new one starts) and re-raises a plain KeyboardInterrupt.
"""

from __future__ import annotations

import os
import queue
import sys
import threading
import time
from collections.abc import Callable
from typing import Any, TypeVar

from . import _quintara

T = TypeVar("T")

_POLL = 0.1  # seconds between progress reads (about 10 Hz)
_QUIET = 0.5  # no bar for calls shorter than this
_EVERY = 5.0  # seconds between progress lines where stderr is not a terminal
_LONG = 10.0  # announce a run expected to take longer than this (seconds)
_SETTLE = 1.0  # seconds of steps the rate is read over


def _native(name: str) -> Callable[[], Any] | None:
    fn = getattr(_quintara, name, None)
    return fn if callable(fn) else None


def _clock(seconds: float) -> str:
    m, s = divmod(int(round(seconds)), 60)
    return f"{m}:{s:02d}"


def _bar(label: str, done: int, total: int, elapsed: float) -> str:
    if total <= 0:
        return f"{label}: {_clock(elapsed)} elapsed"
    eta = "--:--" if done == 0 else _clock(elapsed * (total - done) / done)
    return f"{label}: {done}/{total} done, {_clock(elapsed)} elapsed, ETA {eta}"


class _Estimate:
    """The one line that warns of a long run, from the rate of its steps.

    The rate is read between the first count above zero and a count at
    least `_SETTLE` seconds later, so set-up before the first step (a point
    fit before its placebo refits) does not inflate the estimate.
    """

    def __init__(self, label: str, what: str) -> None:
        self.label, self.what = label, what
        self.first: tuple[float, int] | None = None

    def line(self, done: int, total: int, elapsed: float) -> str | None:
        """The warning, "" when the run will be short, None while unknown."""
        if done <= 0 or total <= done:
            return None
        if self.first is None:
            self.first = (elapsed, done)
            return None
        t1, d1 = self.first
        if done == d1 or elapsed - t1 < _SETTLE:
            return None
        expected = elapsed + (total - done) * (elapsed - t1) / (done - d1)
        if expected <= _LONG:
            return ""
        return (
            f"{self.label}: {total:,} {self.what} to run, "
            f"about {_clock(expected)} in all (estimated)\n"
        )


class _Worker:
    """A daemon thread that runs the calls handed to it and then waits for the
    next: starting a thread costs more than a small fit. A busy worker (one
    still finishing a cancelled call) is never handed a second call; a new
    one starts instead."""

    _idle: list[_Worker] = []
    _lock = threading.Lock()

    def __init__(self) -> None:
        self._jobs: queue.SimpleQueue[tuple[Callable[[], None], threading.Event]] = (
            queue.SimpleQueue()
        )
        threading.Thread(target=self._loop, name="quintara-call", daemon=True).start()

    def _loop(self) -> None:
        while True:
            job, finished = self._jobs.get()
            try:
                job()
            finally:
                # Idle again before the caller is woken, so its next call
                # finds this worker rather than starting another.
                with _Worker._lock:
                    _Worker._idle.append(self)
                finished.set()

    @classmethod
    def submit(cls, job: Callable[[], None], finished: threading.Event) -> None:
        with cls._lock:
            worker = cls._idle.pop() if cls._idle else None
        (worker or cls())._jobs.put((job, finished))


# A forked child has none of its parent's threads.
os.register_at_fork(after_in_child=_Worker._idle.clear)


def run(
    fn: Callable[..., T],
    *args: Any,
    label: str = "quintara",
    show: bool | None = None,
    what: str = "steps",
    **kwargs: Any,
) -> T:
    """Call `fn(*args, **kwargs)` on a worker thread, with progress and Ctrl-C handling.

    Parameters
    ----------
    fn : callable
        A compiled entry (or any callable).
    label : str
        Prefix of the progress line.
    show : bool or None
        Draw progress on stderr; None draws it only when stderr is a terminal.
        True elsewhere too: a line every few seconds instead of one line
        redrawn. False also silences the long-run announcement.
    what : str
        What the progress counter counts, for the announcement ("placebo
        refits").

    Returns
    -------
    The call's result; its exception is re-raised as is.
    """
    announce = show is not False
    estimate = _Estimate(label, what)
    # A terminal redraws one line in place; a pipe or a log file gets a line
    # every _EVERY seconds instead, when asked for.
    terminal = sys.stderr.isatty()
    if show is None:
        show = terminal
    last_line = -_EVERY
    outcome: list[Any] = []
    failure: list[BaseException] = []

    # An Event rather than Thread.join: a join interrupted by Ctrl-C can leave
    # the thread reported as finished while it still runs.
    finished = threading.Event()

    def work() -> None:
        try:
            outcome.append(fn(*args, **kwargs))
        except BaseException as e:  # handed to the waiting thread
            failure.append(e)

    progress = _native("_progress")
    start = time.monotonic()
    drawn = False
    _Worker.submit(work, finished)
    try:
        while not finished.wait(_POLL):
            elapsed = time.monotonic() - start
            if progress is None:
                continue
            done, total = progress()
            if announce:
                line = estimate.line(done, total, elapsed)
                if line is not None:
                    announce = False
                    if line:
                        sys.stderr.write("\r\x1b[K" + line if drawn else line)
                        sys.stderr.flush()
            if show and elapsed >= _QUIET:
                if terminal:
                    sys.stderr.write("\r\x1b[K" + _bar(label, done, total, elapsed))
                    drawn = True
                elif elapsed - last_line >= _EVERY:
                    sys.stderr.write(_bar(label, done, total, elapsed) + "\n")
                    last_line = elapsed
                sys.stderr.flush()
    except KeyboardInterrupt:
        cancel = _native("_cancel")
        # The worker may not have entered the compiled call yet: keep asking
        # until it has ended.
        while not finished.is_set():
            if cancel is not None:
                cancel()
            finished.wait(0.05)
        raise KeyboardInterrupt from None
    finally:
        if drawn:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
    if failure:
        raise failure[0]
    return outcome[0]  # type: ignore[no-any-return]
