"""The warning before a long run: once, with its step count and an estimate, not for short ones."""

from __future__ import annotations

import threading

import pytest

import quintara._progress as progress


def _run_with_counter(monkeypatch: pytest.MonkeyPatch, counts: list[tuple[int, int]],
                      **kwargs: object) -> None:
    # The call ends once the waiting loop has read every count, so what the
    # loop printed depends on the counts alone, not on the machine's speed.
    read = threading.Event()
    seen: list[int] = []

    def counter() -> tuple[int, int]:
        i = min(len(seen), len(counts) - 1)
        seen.append(i)
        if len(seen) >= len(counts):
            read.set()
        return counts[i]

    monkeypatch.setattr(progress, "_native",
                        lambda name: counter if name == "_progress" else None)
    assert progress.run(lambda: read.wait(60), **kwargs) is True


@pytest.fixture
def fast_clock(monkeypatch: pytest.MonkeyPatch) -> None:
    # Any rate read counts; 1 of 10^6 steps done then implies a long run.
    monkeypatch.setattr(progress, "_SETTLE", 0.0)
    monkeypatch.setattr(progress, "_QUIET", 1e9)
    monkeypatch.setattr(progress, "_LONG", 1.0)


@pytest.mark.usefixtures("fast_clock")
def test_a_long_run_is_announced_once(monkeypatch: pytest.MonkeyPatch,
                                      capsys: pytest.CaptureFixture[str]) -> None:
    # No step done yet, then no rate yet: no estimate; then one line, not repeated.
    _run_with_counter(monkeypatch, [(0, 1_000_000)] * 2 + [(1, 1_000_000), (2, 1_000_000)] * 2,
                      label="sdid placebo refits", what="refits", show=None)
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    assert err.startswith("sdid placebo refits: 1,000,000 refits to run, about ")
    assert err.endswith(" in all (estimated)\n")


@pytest.mark.usefixtures("fast_clock")
@pytest.mark.parametrize("counts, show", [
    ([(999_990, 10**6), (999_999, 10**6)] * 2, None),  # nearly done: the estimate is short
    ([(1, 10**6), (2, 10**6)] * 2, False),             # progress=False silences it
    ([(1, 10**6)] * 4, None),                          # no step since the first: no rate
    ([(0, 0)] * 3, None),                # no counter total: nothing to estimate
])
def test_no_announcement(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
                         counts: list[tuple[int, int]], show: bool | None) -> None:
    _run_with_counter(monkeypatch, counts, show=show)
    assert capsys.readouterr().err == ""


def test_progress_asked_for_in_a_pipe_comes_as_lines(monkeypatch: pytest.MonkeyPatch,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.setattr(progress, "_QUIET", 0.0)
    monkeypatch.setattr(progress, "_EVERY", 0.0)
    monkeypatch.setattr(progress, "_LONG", 1e9)
    _run_with_counter(monkeypatch, [(1, 4), (2, 4), (3, 4)], label="windows", show=True)
    err = capsys.readouterr().err  # captured: not a terminal
    lines = err.splitlines()
    assert "\r" not in err and len(lines) >= 3
    assert lines[0].startswith("windows: 1/4 done, 0:00 elapsed, ETA ")


def test_calls_reuse_one_worker_and_a_busy_one_is_never_handed_another() -> None:
    # Sequential calls, failing or not, run on one kept thread.
    progress.run(lambda: None, show=False)
    before = threading.active_count()
    with pytest.raises(ZeroDivisionError):
        progress.run(lambda: 1 / 0, show=False)
    assert [progress.run(lambda k=k: k, show=False) for k in range(20)] == list(range(20))
    assert threading.active_count() == before
    # A call made while another still runs (from a second thread) gets its
    # own worker instead of queueing behind the first: here only the second
    # call can end the first.
    started, release, first_saw = threading.Event(), threading.Event(), []

    def first() -> None:
        started.set()
        first_saw.append(release.wait(60))

    outer = threading.Thread(target=lambda: progress.run(first, show=False))
    outer.start()
    started.wait(60)
    progress.run(release.set, show=False)
    outer.join(60)
    assert first_saw == [True]
